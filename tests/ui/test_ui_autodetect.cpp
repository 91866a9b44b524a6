// The main window against simulated controllers on loopback: Autodetect,
// the check boxes of both pages, Setup with controllers, the operation
// guard, and grids beyond a hundred rows and columns.
#include <QCheckBox>
#include <QColor>
#include <QComboBox>
#include <QLabel>
#include <QPalette>
#include <QPushButton>
#include <QRadioButton>
#include <QTabWidget>
#include <QTableView>
#include <QTimer>

#include <algorithm>
#include <chrono>
#include <functional>
#include <memory>

#include <nlohmann/json.hpp>

#include "comm/uCommunication.h"
#include "plc/uTavex.h"
#include "sim/uSimulator.h"
#include "tests/comm/TestBurst.h"
#include "tests/ui/UiTest.h"
#include "ui/fMain.h"
#include "ui/fOptions.h"
#include "ui/uGridModels.h"

namespace tavex::test {

using nlohmann::json;

namespace {

constexpr int kListenMs = 300;

json Controller(uint32_t Nad, const std::string& IP, json Extra = json::object()) {
  json c = {{"nad", Nad}, {"ip", IP}, {"clock", "2026-03-04T05:06:07"}};
  c["variables"] = json::array({{{"name", "fan_speed"}, {"type", "word"}, {"value", 1450}},
                                {{"name", "pump_speed"}, {"type", "word"}, {"count", 2},
                                 {"value", json::array({1200, 1180})}}});
  for (const char* n : {"rtc_year", "rtc_month", "rtc_date", "rtc_hour", "rtc_min", "rtc_sec"})
    c["variables"].push_back({{"name", n}, {"type", "word"}});
  for (auto& [k, v] : Extra.items()) c[k] = v;
  return c;
}

bool Checked(const QAbstractItemModel& Model, int Row) {
  return Model.data(Model.index(Row, 0), Qt::CheckStateRole).toInt() == Qt::Checked;
}

}  // namespace

class TestAutodetect : public QObject {
  Q_OBJECT

  std::unique_ptr<TUiFiles> Files_;
  std::unique_ptr<QSettings> Settings_;
  std::unique_ptr<sim::TSimulator> Sim_;
  std::unique_ptr<TfmMain> Window_;
  std::unique_ptr<TfmOptions> Options_;
  // Given to the next window's own communicator.
  std::function<void(TCommunicator&)> Prepare_;
  int ListenMs_ = kListenMs;

  void StartSim(const json& Controllers) { StartSimulator(Controllers, Sim_); }
  static constexpr const char* kNoFile = nullptr;
  TfmMain& Open(const char* Ini = "[Variables]\nVar0=fan_speed\nVar1=pump_speed[1]\n") {
    TMainOptions o;
    o.IniPath = Ini != kNoFile ? Files_->WriteIni("tool.ini", Ini) : Files_->Path("missing.ini");
    o.Settings = Settings_.get();
    o.ListenMs = ListenMs_;
    o.PrepareCommunicator = Prepare_;
    Window_ = std::make_unique<TfmMain>(o);
    Options_ = std::make_unique<TfmOptions>(Window_.get());
    Window_->SetDialogs(nullptr, Options_.get());
    return *Window_;
  }
  // Log entries of broadcast requests (one per controller that heard it).
  size_t Broadcasts() const {
    size_t n = 0;
    for (const json& e : Sim_->Log()) n += e.value("broadcast", false) ? 1 : 0;
    return n;
  }
  size_t Requests(int Command) const {
    size_t n = 0;
    for (const json& e : Sim_->Log()) n += e.value("command", -1) == Command ? 1 : 0;
    return n;
  }
  QList<qint64> Nads() const {
    QList<qint64> out;
    for (int i = 0; i < Window_->GetTavexList().Count(); ++i)
      out << Window_->GetTavexList().Items(i)->Nad;
    return out;
  }
  void VerifyPageButtons(bool Enabled) const {
    QCOMPARE(Window_->btnCheck->isEnabled(), Enabled);
    QCOMPARE(Window_->btnRead->isEnabled(), Enabled);
    QCOMPARE(Window_->btnWrite->isEnabled(), Enabled);
    QCOMPARE(Window_->cbSyncRTC->isEnabled(), Enabled);
    QCOMPARE(Window_->lblSyncRTC->isEnabled(), Enabled);
  }

 private slots:
  void init() {
    QVERIFY2(InPrivateNetwork(), "network tests run only inside scripts/netns");
    Files_ = std::make_unique<TUiFiles>();
    Settings_ = Files_->Settings();
    Settings_->setValue("EthernetAdapterID", "lo");
  }
  void cleanup() {
    Prepare_ = nullptr;
    ListenMs_ = kListenMs;
    Options_.reset();
    Window_.reset();
    Settings_.reset();
    Sim_.reset();
    Files_.reset();
  }

  void threeControllersInArrivalOrder() {
    // Answers arrive 1001, 1002, 1000: the rows follow them, not the NADs.
    StartSim(json::array({Controller(1000, "127.0.0.2", {{"password", "secret"},
                                                          {"faults", {{"delay_ms", 150}}}}),
                          Controller(1001, "127.0.0.3", {{"password", "secret"}}),
                          Controller(1002, "127.0.0.4", {{"password", "secret"},
                                                          {"faults", {{"delay_ms", 60}}}})}));
    TfmMain& w = Open("[General]\nPassword=secret\n[Variables]\nVar0=fan_speed\n");
    QVERIFY(Detect(w));

    QCOMPARE(Nads(), QList<qint64>({1001, 1002, 1000}));
    const QAbstractItemModel& sys = *w.vstSystem->model();
    const QAbstractItemModel& cfg = *w.vstConfig->model();
    QCOMPARE(sys.rowCount(), 3);
    QCOMPARE(cfg.rowCount(), 3);
    const char* ips[] = {"127.0.0.3", "127.0.0.4", "127.0.0.2"};
    const char* nads[] = {"1001", "1002", "1000"};
    for (int r = 0; r < 3; ++r) {
      for (const QAbstractItemModel* m : {&sys, &cfg}) {
        QCOMPARE(Text(*m, r, 0), QString::number(r + 1));
        QCOMPARE(Text(*m, r, 1), QString(nads[r]));
        QCOMPARE(Text(*m, r, 2), QString(ips[r]));
        QVERIFY(Checked(*m, r));
      }
      for (int c = 3; c < 8; ++c) QVERIFY(Text(sys, r, c).isEmpty());
      QVERIFY(Text(cfg, r, 3).isEmpty());
      QVERIFY(Text(cfg, r, 4).isEmpty());
      const TTavex* plc = w.GetTavexList().Items(r);
      QCOMPARE(plc->Password, std::string("secret"));
      QCOMPARE(plc->Communicator->Adapter.ID, std::string("lo"));
      QVERIFY(!plc->Shown);
      // Nothing runs the window's events inside a wait.
      QVERIFY(!plc->Communicator->IdleHook);
    }
    VerifyPageButtons(true);
    QVERIFY(w.btnAutodetect->isEnabled());
    QVERIFY(QApplication::overrideCursor() == nullptr);
    QVERIFY(!w.IsDetecting());
    QVERIFY(!w.IsBusy());
    // The window's own socket is released.
    QVERIFY(!w.GetCommunicator().IsActive());
  }

  void withoutConfigurationFileTheEmptyPasswordIsSent() {
    // A controller with a password answers only requests that carry its hash.
    StartSim(json::array({Controller(1000, "127.0.0.2", {{"password", ""}}),
                          Controller(1001, "127.0.0.3", {{"password", "secret"}})}));
    TfmMain& w = Open(kNoFile);
    QVERIFY(Detect(w));
    QCOMPARE(Nads(), QList<qint64>({1000}));
    QCOMPARE(w.GetTavexList().Items(0)->Communicator->PasswordHash, uint16_t{0});
    QCOMPARE(w.vstConfig->model()->columnCount(), 4);
  }

  void laterAutodetectStartsAfresh() {
    StartSim(json::array({Controller(1000, "127.0.0.2"), Controller(1001, "127.0.0.3")}));
    TfmMain& w = Open();
    QVERIFY(Detect(w));
    QCOMPARE(w.GetTavexList().Count(), 2);
    QCOMPARE(w.lblProgress->text(), QString("Autodetect found 2 controllers."));
    QVERIFY(Check(w));
    QVERIFY(w.GetStatusChecked());
    QCOMPARE(Text(*w.vstSystem->model(), 1, 7), QString("ok"));
    w.btnReadClick();
    QVERIFY(Finished(w));
    QCOMPARE(Text(*w.vstConfig->model(), 0, 4), QString("1450"));
    QCOMPARE(Text(*w.vstConfig->model(), 0, 5), QString("1180"));
    // The simulated clock runs on from 2026-03-04 05:06:07.
    QVERIFY(Text(*w.vstConfig->model(), 0, 3).startsWith("2026-03-04  05:"));

    // A second Autodetect replaces the controllers and hides their status;
    // the values read stay with the controllers found again.
    const TTavex* before = w.GetTavexList().Items(0);
    QVERIFY(Detect(w));
    QCOMPARE(w.GetTavexList().Count(), 2);
    QVERIFY(w.GetTavexList().Items(0) != before || !w.GetTavexList().Items(0)->Shown);
    QVERIFY(!w.GetStatusChecked());
    for (int r = 0; r < 2; ++r) {
      for (int c = 3; c < 8; ++c) QVERIFY(Text(*w.vstSystem->model(), r, c).isEmpty());
      QCOMPARE(Text(*w.vstConfig->model(), r, 4), QString("1450"));
    }

    // Nobody answers: the list stays as it was, the bar says so.
    Sim_.reset();
    QVERIFY(Detect(w));
    QCOMPARE(w.vstSystem->model()->rowCount(), 2);
    QCOMPARE(w.vstConfig->model()->rowCount(), 2);
    QCOMPARE(w.GetTavexList().Count(), 2);
    VerifyPageButtons(true);
    QVERIFY(w.btnAutodetect->isEnabled());
    QVERIFY(w.btnSetup->isEnabled());
    QCOMPARE(w.lblProgress->text(), QString("Autodetect found no controller. The controller list is kept."));
    QVERIFY(QApplication::overrideCursor() == nullptr);
  }

  void aFrameThatIsNoAnswerCutsNothing() {
    // A controller that answers with Direction 0 between the others: every
    // other one is listed, and the bar names the sender of what was skipped
    // (three times: a spoilt answer is asked again).
    StartSim(json::array({Controller(1000, "127.0.0.2"), Controller(1009, "127.0.0.9", {{"faults", {{"wrong_direction", 1}}}}),
                          Controller(1001, "127.0.0.3"), Controller(1002, "127.0.0.4")}));
    TfmMain& w = Open();
    QVERIFY(Detect(w));
    QList<qint64> nads = Nads();
    std::sort(nads.begin(), nads.end());
    QCOMPARE(nads, QList<qint64>({1000, 1001, 1002}));
    QCOMPARE(w.lblProgress->text(),
             QString("Autodetect found 3 controllers; skipped 3 datagrams that held no answer, from 127.0.0.9 (NAD 1009)."));
    QCOMPARE(Broadcasts(), size_t{3 * 4});
    QVERIFY(w.lblProgress->palette().color(QPalette::WindowText) != QColor(255, 0, 0));
    VerifyPageButtons(true);

    // Nothing but that: no controller, and the bar says what came; the
    // list found before stays.
    Sim_.reset();
    StartSim(json::array({Controller(1009, "127.0.0.9", {{"faults", {{"wrong_direction", 1}}}})}));
    QVERIFY(Detect(w));
    QCOMPARE(w.GetTavexList().Count(), 3);
    QCOMPARE(w.lblProgress->text(),
             QString("Autodetect found no controller; only 3 datagrams that held no answer came, from 127.0.0.9 (NAD 1009). The controller list is kept."));
    VerifyPageButtons(true);
  }

  void lostAnswersAreNotShownAsACompleteList() {
    // More answers at once than the listening socket holds, in every
    // broadcast: the rows found are shown, and the bar says in red that the
    // list may be incomplete. Once the answers fit, the list is whole.
    std::unique_ptr<TBurst> burst;
    TCommunicator* comm = nullptr;
    Prepare_ = [&](TCommunicator& C) {
      comm = &C;
      C.DetectReceiveBuffer = 1;
      burst = std::make_unique<TBurst>(C, 100);
    };
    TfmMain& w = Open();
    QVERIFY(comm != nullptr);
    QVERIFY(Detect(w));
    QCOMPARE(burst->Broadcasts(), 3);
    const int found = w.GetTavexList().Count();
    QVERIFY(found > 0 && found < 100);
    QCOMPARE(w.vstSystem->model()->rowCount(), found);
    QCOMPARE(w.lblProgress->text(), QString("The list may be incomplete: answers were lost. Autodetect found %1 %2.")
                                        .arg(found)
                                        .arg(found == 1 ? "controller" : "controllers"));
    QCOMPARE(w.lblProgress->palette().color(QPalette::WindowText), QColor(255, 0, 0));

    comm->DetectReceiveBuffer = TCommunicator::kDetectReceiveBuffer;
    burst->Hold(false);
    QVERIFY(Detect(w));
    QCOMPARE(burst->Broadcasts(), 4);
    QCOMPARE(w.GetTavexList().Count(), 100);
    QCOMPARE(w.lblProgress->text(), QString("Autodetect found 100 controllers."));
    QVERIFY(w.lblProgress->palette().color(QPalette::WindowText) != QColor(255, 0, 0));
  }

  void checkBoxesFollowToThePageShown() {
    StartSim(json::array({Controller(1000, "127.0.0.2"), Controller(1001, "127.0.0.3"),
                          Controller(1002, "127.0.0.4")}));
    TfmMain& w = Open();
    w.show();
    QVERIFY(QTest::qWaitForWindowExposed(&w));
    QVERIFY(Detect(w));
    QAbstractItemModel& sys = *w.vstSystem->model();
    QAbstractItemModel& cfg = *w.vstConfig->model();

    QVERIFY(Check(w));
    QCOMPARE(Text(sys, 0, 3), QString("ok"));
    // Unchecking hides the row's status; checking again does not bring it back.
    Click(sys, 0, false);
    QVERIFY(Text(sys, 0, 3).isEmpty());
    Click(sys, 0, true);
    QVERIFY(Text(sys, 0, 3).isEmpty());
    QCOMPARE(Text(sys, 2, 3), QString("ok"));

    Click(sys, 1, false);
    w.PageControl1->setCurrentIndex(1);
    QCOMPARE(QList<bool>({Checked(cfg, 0), Checked(cfg, 1), Checked(cfg, 2)}),
             QList<bool>({true, false, true}));

    Click(cfg, 1, true);
    Click(cfg, 2, false);
    w.PageControl1->setCurrentIndex(0);
    QCOMPARE(QList<bool>({Checked(sys, 0), Checked(sys, 1), Checked(sys, 2)}),
             QList<bool>({true, true, false}));
    // Unchecked by the copy: its status goes blank too.
    QVERIFY(Text(sys, 2, 3).isEmpty());
  }

  void staleAdapterFindsNothingUntilSetup() {
    // The workstation's own address is on lo; the saved adapter is gone.
    TPlatformSourcesGuard restore;
    SetHostNameSource([] { return std::string("workstation"); });
    SetHostResolver([](const std::string&) { return std::vector<std::string>{"127.0.0.1"}; });
    Settings_->setValue("EthernetAdapterID", "gone0");
    StartSim(json::array({Controller(1000, "127.0.0.2"), Controller(1001, "127.0.0.3")}));
    TfmMain& w = Open();
    QVERIFY(Detect(w));
    QCOMPARE(w.GetTavexList().Count(), 0);
    QCOMPARE(Sim_->LogSize(), size_t{0});  // nothing went out
    QCOMPARE(w.lblProgress->text(), QString("Cannot open socket!"));

    QString selected;
    QTimer::singleShot(0, [&] {
      if (auto* d = qobject_cast<TfmOptions*>(QApplication::activeModalWidget())) {
        selected = d->cbEthAdapter->currentText();
        QTest::mouseClick(d->btnOK, Qt::LeftButton);
      }
    });
    w.btnSetupClick();
    QVERIFY(selected.contains("(127.0.0.1)"));
    QCOMPARE(w.GetAdapterID(), std::string("lo"));
    QCOMPARE(Files_->Settings()->value("EthernetAdapterID").toString(), QString("lo"));
    QVERIFY(Detect(w));
    QCOMPARE(w.GetTavexList().Count(), 2);
  }

  void setupAppliesToEveryController_data() {
    QTest::addColumn<bool>("ok");
    QTest::newRow("cancel") << false;
    QTest::newRow("ok") << true;
  }
  void setupAppliesToEveryController() {
    QFETCH(bool, ok);
    StartSim(json::array({Controller(1000, "127.0.0.2"), Controller(1001, "127.0.0.3")}));
    TfmMain& w = Open();
    QVERIFY(Detect(w));
    QCOMPARE(w.GetTavexList().Count(), 2);
    Files_->RemoveSettings();
    QTimer::singleShot(0, [&] {
      if (auto* d = qobject_cast<TfmOptions*>(QApplication::activeModalWidget())) {
        d->rbDirect->setChecked(true);
        QTest::mouseClick(ok ? d->btnOK : d->btnCancel, Qt::LeftButton);
      }
    });
    w.btnSetupClick();
    QCOMPARE(w.GetDirectConnection(), ok);
    for (int i = 0; i < 2; ++i) {
      QCOMPARE(w.GetTavexList().Items(i)->Communicator->DirectConnection, ok);
      QCOMPARE(w.GetTavexList().Items(i)->Communicator->Adapter.ID, std::string("lo"));
    }
    // Saved with either result.
    auto s = Files_->Settings();
    QCOMPARE(s->value("DirectConnection").toInt(), ok ? 1 : 0);
    QCOMPARE(s->value("EthernetAdapterID").toString(), QString("lo"));
    QVERIFY(s->contains("Maximized"));
  }

  // Autodetect returns at once and listens off the window's thread: the
  // window stays responsive meanwhile, and nothing started from it begins
  // another operation.
  void nothingStartsWhileAutodetectListens() {
    StartSim(json::array({Controller(1000, "127.0.0.2"), Controller(1001, "127.0.0.3"),
                          Controller(1002, "127.0.0.4")}));
    TfmMain& w = Open();
    w.show();
    QVERIFY(QTest::qWaitForWindowExposed(&w));

    bool ran = false, dialogSeen = false, detecting = false, waitCursor = false, buttonDisabled = false;
    // A dialog that should not have opened must not hang the test.
    QTimer guard;
    guard.setInterval(100);
    connect(&guard, &QTimer::timeout, [&] {
      if (QWidget* m = QApplication::activeModalWidget()) {
        dialogSeen = true;
        m->close();
      }
    });
    guard.start();
    // Run by the window's own event loop while the discovery goes on.
    QTimer::singleShot(0, [&] {
      ran = true;
      detecting = w.IsDetecting();
      waitCursor = QApplication::overrideCursor() != nullptr &&
                   QApplication::overrideCursor()->shape() == Qt::WaitCursor;
      buttonDisabled = !w.btnAutodetect->isEnabled();
      w.btnAutodetectClick();
      w.btnSetupClick();
      w.btnCheckClick();
      w.btnReadClick();
      w.btnWriteClick();
      w.Timer1Timer();
    });
    w.btnAutodetectClick();
    QVERIFY(w.IsBusy());
    QVERIFY(Finished(w));
    guard.stop();

    QVERIFY(ran);
    QVERIFY(detecting);
    QVERIFY(waitCursor);
    QVERIFY(buttonDisabled);
    QVERIFY(!dialogSeen);
    QCOMPARE(w.GetTavexList().Count(), 3);
    QCOMPARE(Broadcasts(), size_t{3});      // one ping, heard by three
    QCOMPARE(Sim_->LogSize(), size_t{3});   // and nothing else
    QCOMPARE(w.lblProgress->text(), QString("Autodetect found 3 controllers."));
    QVERIFY(QApplication::overrideCursor() == nullptr);
    QVERIFY(w.isVisible());
  }

  // Esc, Close or the window's end while Autodetect listens (for longer
  // than the test waits): the listening ends at once, nothing more is
  // sent, and the rows heard so far are shown; a close happens after that.
  void stopEndsAutodetectAtOnce_data() {
    QTest::addColumn<QString>("how");
    QTest::newRow("esc") << "esc";
    QTest::newRow("close") << "close";
    QTest::newRow("destroy") << "destroy";
  }
  void stopEndsAutodetectAtOnce() {
    QFETCH(QString, how);
    StartSim(json::array({Controller(1000, "127.0.0.2"), Controller(1001, "127.0.0.3")}));
    ListenMs_ = 60000;
    TfmMain& w = Open();
    w.show();
    QVERIFY(QTest::qWaitForWindowExposed(&w));
    w.activateWindow();
    QVERIFY(QTest::qWaitForWindowActive(&w));
    w.btnAutodetectClick();
    QVERIFY(Sim_->WaitForLog(2, std::chrono::seconds(10)));  // the ping went out, heard by both
    if (how == "destroy") {
      Options_.reset();  // the window's child
      Window_.reset();   // stops the discovery and waits for it
      QCOMPARE(Broadcasts(), size_t{2});
      QCOMPARE(Sim_->LogSize(), size_t{2});
      QVERIFY(QApplication::overrideCursor() == nullptr);
      return;
    }
    if (how == "esc") {
      QTest::keyClick(&w, Qt::Key_Escape);
      QVERIFY(w.IsStopRequested());
      QVERIFY(Finished(w, 10000));
      QVERIFY(w.isVisible());
    } else {
      w.close();
      QVERIFY(w.isVisible());  // until the discovery has ended
      QTRY_VERIFY_WITH_TIMEOUT(!w.isVisible(), 10000);
      QVERIFY(!w.IsBusy());
    }
    QCOMPARE(Broadcasts(), size_t{2});  // no second round
    QCOMPARE(Sim_->LogSize(), size_t{2});
    const int found = w.GetTavexList().Count();
    QVERIFY(found <= 2);
    QCOMPARE(w.vstSystem->model()->rowCount(), found);
    QCOMPARE(w.vstConfig->model()->rowCount(), found);
    QVERIFY(w.lblProgress->text().startsWith("Autodetect stopped: the list may be incomplete. Autodetect found "));
    VerifyPageButtons(found > 0);
    QVERIFY(w.btnAutodetect->isEnabled());
    QVERIFY(QApplication::overrideCursor() == nullptr);
    QVERIFY(!w.IsDetecting());
    QVERIFY(!w.GetCommunicator().IsActive());
    QVERIFY(w.GetCommunicator().StopFlag == nullptr);
  }

  void controllerListStaysWhileReadWalksIt() {
    StartSim(json::array({Controller(1000, "127.0.0.2"), Controller(1001, "127.0.0.3"),
                          Controller(1002, "127.0.0.4")}));
    TfmMain& w = Open();
    w.show();
    QVERIFY(QTest::qWaitForWindowExposed(&w));
    QVERIFY(Detect(w));
    QCOMPARE(w.GetTavexList().Count(), 3);
    const size_t broadcasts = Broadcasts();

    int nested = 0;
    bool busy = false;
    QTimer poke;
    poke.setInterval(0);
    connect(&poke, &QTimer::timeout, [&] {
      // While the Read runs (it runs on after the click returns).
      if (!w.IsBusy() || ++nested > 20) return;
      busy = busy || w.IsBusy();
      w.btnAutodetectClick();  // would free the controllers being read
      w.btnSetupClick();
    });
    poke.start();
    w.btnReadClick();
    QVERIFY(Finished(w));
    poke.stop();

    QVERIFY(nested > 0);
    QVERIFY(busy);
    QCOMPARE(Broadcasts(), broadcasts);
    QCOMPARE(w.GetTavexList().Count(), 3);
    for (int r = 0; r < 3; ++r) {
      QCOMPARE(Text(*w.vstConfig->model(), r, 4), QString("1450"));
      QCOMPARE(Text(*w.vstConfig->model(), r, 5), QString("1180"));
    }
    QVERIFY(QApplication::activeModalWidget() == nullptr);
    QVERIFY(w.isVisible());
    QVERIFY(!w.IsBusy());
  }

  // A bad allocation line is the error of its own controller: Read goes on
  // with the others, no error box opens, the bottom bar names it, and the
  // guard is free again afterwards.
  void badAllocationLineIsItsControllersErrorAndFreesTheGuard() {
    StartSim(json::array(
        {Controller(1000, "127.0.0.2"),
         Controller(1001, "127.0.0.3",
                    {{"alc_text", ";CPU Tavex-2 X\r\n0100 0 1 0 2 global word fan_speed\r\n; oops\r\n"}}),
         Controller(1002, "127.0.0.4")}));
    TfmMain& w = Open();
    w.show();
    QVERIFY(QTest::qWaitForWindowExposed(&w));
    QVERIFY(Detect(w));
    QCOMPARE(w.GetTavexList().Count(), 3);
    QStringList errors;
    TApplication::ErrorDisplay = [&](const QString& Text) { errors << Text; };
    w.PageControl1->setCurrentIndex(1);
    QTest::mouseClick(w.btnRead, Qt::LeftButton);
    QVERIFY(Finished(w));
    TApplication::ErrorDisplay = nullptr;

    QVERIFY(errors.isEmpty());
    const QAbstractItemModel& cfg = *w.vstConfig->model();
    QCOMPARE(Text(cfg, 0, 4), QString("1450"));
    QCOMPARE(Text(cfg, 1, 4), QString("?"));
    QVERIFY(!w.GetCells().At(1, 0).Busy);
    QCOMPARE(Text(cfg, 2, 4), QString("1450"));
    QCOMPARE(w.lblProgress->text(), QString("Read 2 of 3 controllers; 1001: Error parsing ALC data on line 3: \"; oops\"."));
    QVERIFY(Detect(w));
    QCOMPARE(w.GetTavexList().Count(), 3);
  }

  void moreThanHundredControllersAndEntries() {
    json controllers = json::array();
    for (int i = 0; i < 101; ++i)
      controllers.push_back(Controller(2000 + i, "127.0.0." + std::to_string(2 + i)));
    StartSim(controllers);
    std::string ini = "[Variables]\n";
    for (int k = 0; k < 101; ++k)
      ini += "Var" + std::to_string(k) + "=" + (k == 100 ? "pump_speed[1]" : "fan_speed") + "\n";
    TfmMain& w = Open(ini.c_str());
    QVERIFY(Detect(w));
    QCOMPARE(w.GetTavexList().Count(), 101);
    QCOMPARE(w.vstConfig->model()->rowCount(), 101);
    QCOMPARE(w.vstConfig->model()->columnCount(), 105);

    // Only the last row takes part; its last cell lies beyond 100 x 100.
    QAbstractItemModel& cfg = *w.vstConfig->model();
    for (int r = 0; r < 100; ++r) Click(cfg, r, false);
    w.btnReadClick();
    QVERIFY(Finished(w));
    QCOMPARE(Text(cfg, 100, 104), QString("1180"));
    QCOMPARE(Text(cfg, 100, 4), QString("1450"));
    QVERIFY(Text(cfg, 99, 104).isEmpty());
  }
};

}  // namespace tavex::test

TAVEX_UI_TEST_MAIN(tavex::test::TestAutodetect)
#include "test_ui_autodetect.moc"

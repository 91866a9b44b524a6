// The main window's rows against simulated controllers on loopback: one
// row per controller and address however often it answers, a list that an
// Autodetect without answers keeps, cells and selection that follow their
// controller to its new row, the question before edits are lost, and the
// expected controllers of a site.
#include <QAbstractItemModel>
#include <QColor>
#include <QKeySequence>
#include <QLabel>
#include <QLineEdit>
#include <QPalette>
#include <QPushButton>
#include <QShortcut>
#include <QTabWidget>
#include <QTableView>
#include <QTimer>

#include <algorithm>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "plc/uClock.h"
#include "plc/uTavex.h"
#include "sim/uSimulator.h"
#include "tests/ui/UiTest.h"
#include "tests/ui/UiWindow.h"
#include "ui/fEditValue.h"
#include "ui/fMain.h"
#include "ui/uApplication.h"
#include "ui/uGridModels.h"

namespace tavex::test {

using nlohmann::json;

namespace {

const QColor kRed(255, 0, 0);

// A controller with fan_speed and pump_speed[2] and the six date and time
// variables only (no weekday, no write request).
json Controller(uint32_t Nad, const std::string& IP, int DelayMs = 0, json Faults = json::object()) {
  if (DelayMs > 0) Faults["delay_ms"] = DelayMs;
  return SimController(Nad, IP,
                       json::array({{{"name", "fan_speed"}, {"type", "word"}, {"value", 1450}},
                                    {{"name", "pump_speed"}, {"type", "word"}, {"count", 2},
                                     {"value", json::array({1200, 1180})}}}),
                       Faults.empty() ? json::object() : json{{"faults", Faults}},
                       {kClockVars[ckWeekday], kClockVars[ckWriteReq]});
}

bool Checked(const QAbstractItemModel& Model, int Row) {
  return Model.data(Model.index(Row, 0), Qt::CheckStateRole).toInt() == Qt::Checked;
}

// "NAD IP" of each row of a grid.
QStringList Rows(const QAbstractItemModel& Model) {
  QStringList out;
  for (int r = 0; r < Model.rowCount(); ++r) out << Text(Model, r, 1) + " " + Text(Model, r, 2);
  return out;
}

}  // namespace

class TestRows : public TWindowTest {
  Q_OBJECT

  std::unique_ptr<TFixedAdapters> Adapters_;
  // The questions the window asked, and the answer each gets.
  QStringList Questions_;
  bool Answer_ = false;

  TfmMain& Open() {
    ShowWindow(WindowOptions(*Files_, "[Variables]\nVar0=fan_speed\nVar1=pump_speed[1]\n", Settings_.get()),
               Window_, &EditValue_);
    Window_->PageControl1->setCurrentIndex(1);
    return *Window_;
  }
  // Detect, then Read of every row.
  void DetectAndRead(TfmMain& W, int Expect) {
    DetectCount(W, Expect);
    QVERIFY(Read(W));
  }
  // Edits a value cell through the Edit Value dialog, as a double-click does.
  void Edit(int Row, int Entry, const QString& Value) {
    OnEditValue(this, [Value](TfmEditValue& d) {
      d.edValue->setText(Value);
      QTest::keyClick(d.edValue, Qt::Key_Return);
    });
    Window_->EditCell(Row, TConfigModel::kFixedColumns + Entry);
  }
  void Select(int Row, int Column) {
    QTableView* g = Window_->vstConfig;
    g->scrollTo(g->model()->index(Row, Column));
    QTest::mouseClick(g->viewport(), Qt::LeftButton, {}, g->visualRect(g->model()->index(Row, Column)).center());
  }
  // Name -> value of every write to one address, in order.
  std::vector<std::map<std::string, double>> Writes(const std::string& IP) const {
    return test::Writes(*Sim_, IP);
  }
  size_t Broadcasts() const {
    size_t n = 0;
    for (const json& e : Sim_->Log()) n += e.value("broadcast", false) ? 1 : 0;
    return n;
  }
  bool BarIsRed() const { return Window_->lblProgress->palette().color(QPalette::WindowText) == kRed; }

 private slots:
  void init() {
    Begin(false);
    Adapters_ = std::make_unique<TFixedAdapters>(
        std::vector<TAdapterRecord>{{"lo", "Loopback adapter lo", "127.0.0.1", "255.0.0.0"}}, "127.0.0.1");
    Questions_.clear();
    Answer_ = false;
    TApplication::QuestionDisplay = [this](const QString& Text) {
      Questions_ << Text;
      return Answer_;
    };
  }
  void cleanup() {
    TApplication::QuestionDisplay = nullptr;
    End();
    Adapters_.reset();
  }

  // However often a controller answers (its answer sent twice, or heard in
  // every round of a discovery that asks again), it is one row; one NAD at
  // two addresses is two rows, and the bar names the NAD and both addresses
  // in red.
  void oneRowPerControllerAndAddress_data() {
    QTest::addColumn<QString>("controllers");
    QTest::addColumn<QStringList>("rows");
    QTest::addColumn<int>("broadcasts");
    QTest::addColumn<QString>("bar");
    QTest::addColumn<bool>("red");
    QTest::newRow("answer sent twice")
        << QString::fromStdString(json::array({Controller(1000, "127.0.0.2", 0, {{"duplicate", 1}}),
                                               Controller(1001, "127.0.0.3", 60)})
                                      .dump())
        << QStringList({"1000 127.0.0.2", "1001 127.0.0.3"}) << 2 << "Autodetect found 2 controllers." << false;
    // A spoilt answer from 127.0.0.9 is asked again: three broadcasts, each
    // answered by 1000.
    QTest::newRow("heard in three rounds")
        << QString::fromStdString(json::array({Controller(1000, "127.0.0.2"),
                                               Controller(1009, "127.0.0.9", 0, {{"wrong_direction", 1}})})
                                      .dump())
        << QStringList({"1000 127.0.0.2"}) << 6
        << "Autodetect found 1 controller; skipped 3 datagrams that held no answer, from 127.0.0.9 (NAD 1009)."
        << false;
    QTest::newRow("one NAD at two addresses")
        << QString::fromStdString(
               json::array({Controller(1003, "127.0.0.4"), Controller(1003, "127.0.0.5", 60)}).dump())
        << QStringList({"1003 127.0.0.4", "1003 127.0.0.5"}) << 2
        << "Autodetect found 2 controllers. NAD 1003 answered from 127.0.0.4 and 127.0.0.5." << true;
  }
  void oneRowPerControllerAndAddress() {
    QFETCH(QString, controllers);
    QFETCH(QStringList, rows);
    QFETCH(int, broadcasts);
    QFETCH(QString, bar);
    QFETCH(bool, red);
    StartSim(json::parse(controllers.toStdString()));
    TfmMain& w = Open();
    QVERIFY(Detect(w));
    QCOMPARE(Broadcasts(), static_cast<size_t>(broadcasts));
    QCOMPARE(Rows(*w.vstSystem->model()), rows);
    QCOMPARE(Rows(*w.vstConfig->model()), rows);
    QCOMPARE(w.GetTavexList().Count(), static_cast<int>(rows.size()));
    QCOMPARE(w.lblProgress->text(), bar);
    QCOMPARE(BarIsRed(), red);
    // A second Autodetect hears the same: still one row each.
    QVERIFY(Detect(w));
    QCOMPARE(Rows(*w.vstConfig->model()), rows);
  }

  // An Autodetect that cannot send or hears nobody tells nothing about the
  // controllers listed: their rows, values and edits stay, and the bar says
  // what happened.
  void autodetectWithoutAnswersKeepsTheList_data() {
    QTest::addColumn<bool>("adapterGone");
    QTest::addColumn<QString>("bar");
    QTest::newRow("adapter without address") << true << "Cannot open socket! The controller list is kept.";
    QTest::newRow("nobody answers") << false << "Autodetect found no controller. The controller list is kept.";
  }
  void autodetectWithoutAnswersKeepsTheList() {
    QFETCH(bool, adapterGone);
    QFETCH(QString, bar);
    StartSim(json::array({Controller(1000, "127.0.0.2"), Controller(1001, "127.0.0.3", 60)}));
    TfmMain& w = Open();
    DetectAndRead(w, 2);
    Edit(1, 1, "1190");
    QVERIFY(w.GetCells().At(1, 1).Edited);
    const QAbstractItemModel& cfg = *w.vstConfig->model();
    Click(*w.vstConfig->model(), 0, false);

    const size_t logged = Sim_->LogSize();
    if (adapterGone)
      Adapters_->Table() = {{"lo", "Loopback adapter lo", "0.0.0.0", "0.0.0.0"}};
    else
      Sim_.reset();
    QVERIFY(Detect(w));
    if (adapterGone) QCOMPARE(Sim_->LogSize(), logged);  // nothing went out

    QCOMPARE(Rows(cfg), QStringList({"1000 127.0.0.2", "1001 127.0.0.3"}));
    QCOMPARE(Text(cfg, 0, 4), QString("1450"));
    QCOMPARE(Text(cfg, 1, 4), QString("1450"));
    QCOMPARE(Text(cfg, 1, 5), QString("1190"));
    QVERIFY(w.GetCells().At(1, 1).Edited);
    QVERIFY(!Checked(cfg, 0));
    QVERIFY(Checked(cfg, 1));
    QVERIFY(!Text(cfg, 0, 3).isEmpty());  // the clock as read
    QVERIFY(Questions_.isEmpty());
    QCOMPARE(w.lblProgress->text(), bar);
    QVERIFY(w.btnRead->isEnabled());
  }

  // The heart: after Autodetect each controller found again keeps its
  // row's values, edits, check states and the selected cell, wherever its
  // row goes; a new one starts empty and checked; one no longer found goes
  // (without a question: it had no edits). Write then sends the edit to
  // the controller it was made for.
  void rowsFollowTheirControllers() {
    StartSim(json::array({Controller(1000, "127.0.0.2"), Controller(1001, "127.0.0.3", 60),
                          Controller(1002, "127.0.0.4", 150)}));
    TfmMain& w = Open();
    DetectAndRead(w, 3);
    QAbstractItemModel& sys = *w.vstSystem->model();
    QAbstractItemModel& cfg = *w.vstConfig->model();
    Edit(1, 1, "1190");  // 1001's pump_speed[1]
    Click(cfg, 2, false);  // 1002 not on the configuration page
    Click(sys, 0, false);  // 1000 not on the system page
    Select(1, 5);
    QCOMPARE(w.GetSelection().Row(), 1);
    const QString clock1001 = Text(cfg, 1, 3);
    QVERIFY(!clock1001.isEmpty());

    // 1000 is gone, 1003 is new and answers first, 1001 last.
    StartSim(json::array({Controller(1003, "127.0.0.5"), Controller(1002, "127.0.0.4", 60),
                          Controller(1001, "127.0.0.3", 150)}));
    QVERIFY(Detect(w));
    QVERIFY(Questions_.isEmpty());
    QCOMPARE(Rows(cfg), QStringList({"1003 127.0.0.5", "1002 127.0.0.4", "1001 127.0.0.3"}));
    QCOMPARE(Rows(sys), Rows(cfg));
    // 1003: nothing read yet, checked on both pages.
    QVERIFY(Text(cfg, 0, 4).isEmpty() && Text(cfg, 0, 5).isEmpty() && Text(cfg, 0, 3).isEmpty());
    QVERIFY(Checked(cfg, 0) && Checked(sys, 0));
    // 1002: its values, unchecked on the configuration page only.
    QCOMPARE(Text(cfg, 1, 4), QString("1450"));
    QCOMPARE(Text(cfg, 1, 5), QString("1180"));
    QVERIFY(!Checked(cfg, 1) && Checked(sys, 1));
    // 1001: its values, its edit (still marked), its clock, its selection.
    QCOMPARE(Text(cfg, 2, 4), QString("1450"));
    QCOMPARE(Text(cfg, 2, 5), QString("1190"));
    QCOMPARE(cfg.data(cfg.index(2, 5), Qt::ForegroundRole).value<QColor>(), kEditedCellColor);
    QVERIFY(!w.GetCells().At(0, 1).Edited && !w.GetCells().At(1, 1).Edited);
    QCOMPARE(Text(cfg, 2, 3), clock1001);
    QVERIFY(Checked(cfg, 2) && Checked(sys, 2));
    QCOMPARE(w.GetSelection().Row(), 2);
    QCOMPARE(w.GetSelection().Column(), 5);
    QCOMPARE(w.GetSelectedRow(), 2);
    QCOMPARE(w.vstConfig->currentIndex().row(), 2);
    QCOMPARE(w.EditedCount(), 1);

    QVERIFY(Write(w));
    const auto to1001 = Writes("127.0.0.3");
    QCOMPARE(to1001.size(), size_t{1});
    QCOMPARE(to1001[0].at("pump_speed[1]"), 1190.0);
    QVERIFY(Writes("127.0.0.4").empty());  // unchecked
    for (const auto& write : Writes("127.0.0.5")) QCOMPARE(write.count("pump_speed[1]"), size_t{0});
  }

  // Autodetect asks only when edits would really be lost (those of the
  // controllers not found again), counts them and names whose they are;
  // No keeps the list as it was.
  void editsOfLostControllersNeedConsent_data() {
    QTest::addColumn<bool>("discard");
    QTest::newRow("yes") << true;
    QTest::newRow("no") << false;
  }
  void editsOfLostControllersNeedConsent() {
    QFETCH(bool, discard);
    StartSim(json::array({Controller(1000, "127.0.0.2"), Controller(1001, "127.0.0.3", 60)}));
    TfmMain& w = Open();
    DetectAndRead(w, 2);
    Edit(0, 0, "1500");
    Edit(0, 1, "1190");
    Edit(1, 0, "1600");
    QCOMPARE(w.EditedCount(), 3);
    StartSim(json::array({Controller(1001, "127.0.0.3")}));
    Answer_ = discard;
    QVERIFY(Detect(w));
    QCOMPARE(Questions_.size(), 1);
    QVERIFY2(Questions_[0].startsWith("2 edited values are not written. Discard them?"), qPrintable(Questions_[0]));
    QVERIFY2(Questions_[0].contains("1000 (127.0.0.2)"), qPrintable(Questions_[0]));
    QVERIFY2(!Questions_[0].contains("1001"), qPrintable(Questions_[0]));
    const QAbstractItemModel& cfg = *w.vstConfig->model();
    if (discard) {
      QCOMPARE(Rows(cfg), QStringList({"1001 127.0.0.3"}));
      QCOMPARE(Text(cfg, 0, 4), QString("1600"));
      QCOMPARE(w.EditedCount(), 1);
    } else {
      QCOMPARE(Rows(cfg), QStringList({"1000 127.0.0.2", "1001 127.0.0.3"}));
      QCOMPARE(Text(cfg, 0, 4), QString("1500"));
      QCOMPARE(Text(cfg, 0, 5), QString("1190"));
      QCOMPARE(w.EditedCount(), 3);
      QCOMPARE(w.lblProgress->text(), QString("Autodetect found 1 controller; the list is kept with its edited values."));
    }
    QVERIFY(!w.IsBusy());
    QVERIFY(w.btnAutodetect->isEnabled());
  }

  // Close asks only when edits are not written; No keeps the window open.
  void closeAsksBeforeEditsAreLost_data() {
    QTest::addColumn<int>("edits");
    QTest::addColumn<bool>("discard");
    QTest::addColumn<QString>("question");
    QTest::newRow("no edit") << 0 << false << QString();
    QTest::newRow("one edit, no") << 1 << false << "1 edited value is not written. Discard it?";
    QTest::newRow("three edits, yes") << 3 << true << "3 edited values are not written. Discard them?";
  }
  void closeAsksBeforeEditsAreLost() {
    QFETCH(int, edits);
    QFETCH(bool, discard);
    QFETCH(QString, question);
    StartSim(json::array({Controller(1000, "127.0.0.2"), Controller(1001, "127.0.0.3", 60)}));
    TfmMain& w = Open();
    DetectAndRead(w, 2);
    for (int i = 0; i < edits; ++i) Edit(i / 2, i % 2, "1234");
    Answer_ = discard;
    w.btnCloseClick();
    QCOMPARE(Questions_, question.isEmpty() ? QStringList() : QStringList({question}));
    const bool closes = edits == 0 || discard;
    QCOMPARE(w.isVisible(), !closes);
    if (!closes) {
      // Written, nothing is left to lose.
      QVERIFY(Write(w));
      QCOMPARE(w.EditedCount(), 0);
      w.btnCloseClick();
      QCOMPARE(Questions_.size(), 1);
      QVERIFY(!w.isVisible());
    }
  }

  // Expected controllers: the missing ones are red rows after the found
  // ones (no values, no check box, never part of an operation); one found
  // at another address is named in the bar.
  void expectedControllers() {
    StartSim(json::array({Controller(1000, "127.0.0.2"), Controller(1003, "127.0.0.5", 60),
                          Controller(1001, "127.0.0.3", 150)}));
    TfmMain& w = Open();
    const QString list = Files_->WriteIni("site.csv", "nad,ip\n1000,127.0.0.2\n1003,127.0.0.4\n1004,127.0.0.6:8442\n");
    QVERIFY(w.LoadExpectedControllers(list));
    QCOMPARE(w.vstConfig->model()->rowCount(), 0);  // nothing compared before Autodetect
    QCOMPARE(w.lblProgress->text(),
             QString("3 expected controllers from site.csv. Autodetect compares them with the controllers it finds."));
    QCOMPARE(Settings_->value("ExpectedControllers").toString(), list);

    DetectAndRead(w, 3);
    const QAbstractItemModel& sys = *w.vstSystem->model();
    QAbstractItemModel& cfg = *w.vstConfig->model();
    const QStringList rows({"1000 127.0.0.2", "1003 127.0.0.5", "1001 127.0.0.3", "1004 127.0.0.6"});
    QCOMPARE(Rows(cfg), rows);
    QCOMPARE(Rows(sys), rows);
    for (const QAbstractItemModel* m : {&sys, static_cast<const QAbstractItemModel*>(&cfg)}) {
      for (int c = 0; c < m->columnCount(); ++c) {
        QCOMPARE(m->data(m->index(3, c), Qt::ForegroundRole).value<QColor>(), kRed);
        QVERIFY(m->data(m->index(2, c), Qt::ForegroundRole).value<QColor>() != kRed);
      }
      QVERIFY(!m->data(m->index(3, 0), Qt::CheckStateRole).isValid());
      QVERIFY(!(m->flags(m->index(3, 0)) & Qt::ItemIsUserCheckable));
    }
    for (int c = 3; c < cfg.columnCount(); ++c) QVERIFY(Text(cfg, 3, c).isEmpty());
    QCOMPARE(Text(cfg, 2, 4), QString("1450"));
    Click(cfg, 3, true);
    QVERIFY(!Checked(cfg, 3));
    w.EditCell(3, 4);  // no dialog opens: the test would hang
    QVERIFY(w.btnRead->isEnabled());

    // Autodetect's bar: found 3, one elsewhere, one missing, in red.
    QVERIFY(Detect(w));
    QCOMPARE(w.lblProgress->text(),
             QString("Autodetect found 3 controllers. 1003 found at 127.0.0.5, expected 127.0.0.4. "
                     "Not found: 1004 (127.0.0.6)."));
    QVERIFY(BarIsRed());
    QCOMPARE(Rows(cfg), rows);

    // The status check and Write walk the found rows only.
    QVERIFY(Check(w));
    QCOMPARE(Text(sys, 2, 7), QString("ok"));
    QVERIFY(Text(sys, 3, 3).isEmpty());
    QVERIFY(Write(w));
    QCOMPARE(Writes("127.0.0.2").size(), size_t{1});
    QVERIFY(Text(cfg, 3, 4).isEmpty());

    // A controller that turns up leaves the red rows.
    StartSim(json::array({Controller(1000, "127.0.0.2"), Controller(1004, "127.0.0.6", 60)}));
    QVERIFY(Detect(w));
    QCOMPARE(Rows(cfg), QStringList({"1000 127.0.0.2", "1004 127.0.0.6", "1003 127.0.0.4"}));
    QVERIFY(Checked(cfg, 1));
    QCOMPARE(Text(cfg, 0, 4), QString("1450"));  // kept: found again

    // A wrong file changes nothing and says why; an empty path forgets the list.
    QStringList errors;
    TApplication::ErrorDisplay = [&](const QString& Text) { errors << Text; };
    const QString bad = Files_->WriteIni("bad.csv", "nad,ip\n1000,127.0.0.2\nx,127.0.0.3\n");
    QVERIFY(!w.LoadExpectedControllers(bad));
    QCOMPARE(errors.size(), 1);
    QVERIFY2(errors[0].contains("Line 3"), qPrintable(errors[0]));
    QCOMPARE(Rows(cfg), QStringList({"1000 127.0.0.2", "1004 127.0.0.6", "1003 127.0.0.4"}));
    QVERIFY(w.LoadExpectedControllers(QString()));
    QCOMPARE(Rows(cfg), QStringList({"1000 127.0.0.2", "1004 127.0.0.6"}));
    QCOMPARE(Text(cfg, 0, 4), QString("1450"));
    QVERIFY(errors.size() == 1);
  }

  // Loaded after Autodetect, the list is compared at once; the shortcut that
  // picks the file is on the window.
  void expectedListLoadedAfterAutodetect() {
    StartSim(json::array({Controller(1000, "127.0.0.2")}));
    TfmMain& w = Open();
    QVERIFY(Detect(w));
    Select(0, 1);
    const QString list = Files_->WriteIni("site.csv", "1000,127.0.0.2\n1002,127.0.0.4\n");
    QVERIFY(w.LoadExpectedControllers(list));
    QCOMPARE(Rows(*w.vstConfig->model()), QStringList({"1000 127.0.0.2", "1002 127.0.0.4"}));
    QCOMPARE(w.lblProgress->text(), QString("2 expected controllers from site.csv. Not found: 1002 (127.0.0.4)."));
    QVERIFY(BarIsRed());
    QCOMPARE(w.GetSelection().Row(), 0);
    QVERIFY(Checked(*w.vstConfig->model(), 0));
    bool shortcut = false;
    for (const QShortcut* s : w.findChildren<QShortcut*>())
      shortcut = shortcut || s->key() == QKeySequence(Qt::CTRL | Qt::Key_L);
    QVERIFY(shortcut);
  }
};

}  // namespace tavex::test

TAVEX_UI_TEST_MAIN(tavex::test::TestRows)
#include "test_ui_rows.moc"

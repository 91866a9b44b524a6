// The main window without controllers: start-up with and without a
// configuration file, layout and start states, the adapter watch, the value
// cell table, and the default error display.
#include <QCheckBox>
#include <QApplication>
#include <QFont>
#include <QFontMetrics>
#include <QHeaderView>
#include <QLabel>
#include <QMessageBox>
#include <QPushButton>
#include <QTabWidget>
#include <QTableView>
#include <QTimer>

#include <arpa/inet.h>
#include <ifaddrs.h>
#include <net/if.h>
#include <netinet/in.h>

#include <stdexcept>

#include "tests/ui/UiTest.h"
#include "ui/fMain.h"
#include "ui/uCells.h"
#include "vars/uConfigFile.h"
#include "ui/uGridModels.h"

namespace tavex::test {

namespace {

std::vector<TAdapterRecord> LoopbackTable(const std::string& IP = "127.0.0.1") {
  return {{"lo", "Loopback adapter lo", IP, "255.0.0.0"}};
}

QStringList Captions(const QAbstractItemModel& Model) {
  QStringList out;
  for (int c = 0; c < Model.columnCount(); ++c)
    out << Model.headerData(c, Qt::Horizontal).toString();
  return out;
}

QList<int> Widths(const QTableView& View) {
  QList<int> out;
  for (int c = 0; c < View.model()->columnCount(); ++c)
    out << View.horizontalHeader()->sectionSize(c);
  return out;
}

class TThrowing : public QObject {
 public:
  bool event(QEvent* Event) override {
    if (Event->type() == QEvent::User) throw std::runtime_error("Error parsing ALC data on line 7");
    if (Event->type() == QEvent::User + 1) throw 42;
    return QObject::event(Event);
  }
};

}  // namespace

class TestMainWindow : public QObject {
  Q_OBJECT

  std::unique_ptr<TUiFiles> Files_;
  std::unique_ptr<QSettings> Settings_;
  std::unique_ptr<TFixedAdapters> Adapters_;

  std::unique_ptr<TfmMain> Window(const QString& IniPath) {
    TMainOptions o;
    o.IniPath = IniPath;
    o.Settings = Settings_.get();
    return std::make_unique<TfmMain>(o);
  }

 private slots:
  void init() {
    Files_ = std::make_unique<TUiFiles>();
    Settings_ = Files_->Settings();
    Settings_->setValue("EthernetAdapterID", "lo");
    Adapters_ = std::make_unique<TFixedAdapters>(LoopbackTable());
  }
  void cleanup() {
    Adapters_.reset();
    Settings_.reset();
    Files_.reset();
  }

  void startsWithFixedColumnsWithoutConfigurationFile() {
    auto w = Window(Files_->Path("missing.ini"));
    QCOMPARE(w->GetPassword(), std::string());
    QVERIFY(w->GetVarNames().empty());
    QCOMPARE(Captions(*w->vstConfig->model()), QStringList({"No.", "NAD", "IP", "RTC"}));
    // The RTC column is as wide as a clock text needs, at least its design width.
    const int rtc = std::max(120, RtcColumnWidth(QFontMetrics(w->font())));
    QCOMPARE(Widths(*w->vstConfig), QList<int>({50, 50, 120, rtc}));
    QCOMPARE(Captions(*w->vstSystem->model()),
             QStringList({"No.", "NAD", "IP", "Network", "Tavex ping", "PLC program", "ALC file",
                          "PLC run"}));
    QCOMPARE(Widths(*w->vstSystem), QList<int>({50, 50, 120, 90, 90, 90, 90, 90}));
    QCOMPARE(w->vstSystem->model()->rowCount(), 0);
    QCOMPARE(w->vstConfig->model()->rowCount(), 0);
  }

  void readsConfigurationFile_data() {
    QTest::addColumn<QString>("text");
    QTest::addColumn<QString>("password");
    QTest::addColumn<QStringList>("entries");
    QTest::newRow("contiguous only")
        << "[General]\nPassword=secret\n[Variables]\nVar0=speed\nVar1=temp[3]\nVar3=skipped\n"
        << "secret" << QStringList({"speed", "temp[3]"});
    QTest::newRow("names without regard to case")
        << "[GENERAL]\npassword=pw\n[variables]\nVAR0=Alpha\nvar1=beta\n"
        << "pw" << QStringList({"Alpha", "beta"});
    QTest::newRow("no Var0") << "[Variables]\nVar1=a\n" << "" << QStringList();
    QTest::newRow("no variables section") << "[General]\nPassword=x\n" << "x" << QStringList();
    QTest::newRow("malformed line skipped")
        << "[Variables]\nthis is no setting\nVar0=a\nVar1=b\n" << "" << QStringList({"a", "b"});
    QTest::newRow("repeated key: the first value")
        << "[Variables]\nVar0=a\nVar0=b\nVar1=c\n" << "" << QStringList({"a", "c"});
    // Read as the profile files of the platform the tool was first written for.
    QTest::newRow("indented line, not a continuation")
        << "[Variables]\nVar0=temp_setpoint\n  Var1=mode\nVar2=fan\n" << "" << QStringList({"temp_setpoint", "mode", "fan"});
    QTest::newRow("no inline comment, quotes dropped")
        << "[General]\nPassword=pa ;ss\n[Variables]\nVar0=\"a;b\"\n" << "pa ;ss" << QStringList({"a;b"});
    QTest::newRow("quoted password") << "[General]\nPassword=\"x\"\n" << "x" << QStringList();
    QTest::newRow("long line, byte order mark, CR LF")
        << "\xEF\xBB\xBF[Variables]\r\nVar0=" + QString(300, 'v') + "\r\nVar1=b\r\n" << ""
        << QStringList({QString(300, 'v'), "b"});
    QTest::newRow("larger than any configuration file")
        << "[General]\nPassword=pw\n[Variables]\nVar0=a\n;" + QString(TConfigFile::kMaxBytes, 'x')
        << "" << QStringList();
  }
  void readsConfigurationFile() {
    QFETCH(QString, text);
    QFETCH(QString, password);
    QFETCH(QStringList, entries);
    auto w = Window(Files_->WriteIni("tool.ini", text.toStdString()));
    QCOMPARE(QString::fromStdString(w->GetPassword()), password);
    QStringList got;
    for (const std::string& e : w->GetVarNames()) got << QString::fromStdString(e);
    QCOMPARE(got, entries);
    QCOMPARE(Captions(*w->vstConfig->model()), QStringList({"No.", "NAD", "IP", "RTC"}) + entries);
  }

  void variableColumnIsCaptionWidthPlus15() {
    const QStringList names = {"x", "pump_speed[1]", "a_rather_long_variable_name[12]"};
    std::string ini = "[Variables]\n";
    for (int k = 0; k < names.size(); ++k)
      ini += "Var" + std::to_string(k) + "=" + names[k].toStdString() + "\n";
    auto w = Window(Files_->WriteIni("tool.ini", ini));
    const QFontMetrics metrics(w->font());
    for (int k = 0; k < names.size(); ++k)
      QCOMPARE(w->vstConfig->horizontalHeader()->sectionSize(4 + k),
               metrics.horizontalAdvance(names[k]) + 15);
  }

  void moreThanHundredEntriesGetColumnsAndCells() {
    std::string ini = "[Variables]\n";
    for (int k = 0; k < 150; ++k) ini += "Var" + std::to_string(k) + "=v" + std::to_string(k) + "\n";
    auto w = Window(Files_->WriteIni("tool.ini", ini));
    QCOMPARE(w->vstConfig->model()->columnCount(), 154);
    QCOMPARE(w->vstConfig->model()->headerData(153, Qt::Horizontal).toString(), QString("v149"));
    QCOMPARE(w->GetCells().Columns(), 150);
  }

  void layoutAndStartStates() {
    auto w = Window(Files_->Path("missing.ini"));
    QCOMPARE(w->windowTitle(), QString("Tavex Config Tool v1.3"));
    QCOMPARE(w->PageControl1->count(), 2);
    QCOMPARE(w->PageControl1->tabText(0), QString("System check"));
    QCOMPARE(w->PageControl1->tabText(1), QString("Configuration"));
    QCOMPARE(w->PageControl1->currentIndex(), 0);

    struct TButton {
      const char* Name;
      const char* Caption;
      int Width;
      bool Enabled;
    };
    const TButton buttons[] = {{"btnCheck", "C&heck PLC status", 105, false},
                               {"btnRead", "&Read", 75, false},
                               {"btnWrite", "&Write", 75, false},
                               {"btnSetup", "&Setup", 75, true},
                               {"btnAutodetect", "&Autodetect", 75, true},
                               {"btnClose", "&Close", 75, true}};
    for (const TButton& b : buttons) {
      auto* button = w->findChild<QPushButton*>(b.Name);
      QVERIFY2(button != nullptr, b.Name);
      QCOMPARE(button->text(), QString(b.Caption));
      // The design size, or wider where the caption needs it.
      QCOMPARE(button->height(), 25);
      QVERIFY(button->width() >= b.Width);
      QVERIFY(button->width() >= button->fontMetrics().horizontalAdvance(QString(b.Caption).remove('&')) + 8);
      QCOMPARE(button->isEnabled(), b.Enabled);
    }
    auto* sync = w->findChild<QCheckBox*>("cbSyncRTC");
    QVERIFY(sync != nullptr);
    QCOMPARE(sync->text(), QString("Synchronize"));
    QVERIFY(!sync->isEnabled());
    auto* syncLabel = w->findChild<QLabel*>("lblSyncRTC");
    QVERIFY(syncLabel != nullptr);
    QCOMPARE(syncLabel->text(), QString("date/time"));
    QVERIFY(!syncLabel->isEnabled());
    auto* myIpCaption = w->findChild<QLabel*>("Label1");
    QVERIFY(myIpCaption != nullptr);
    QCOMPARE(myIpCaption->text(), QString("My IP:"));
    QVERIFY(myIpCaption->isHidden());
    QVERIFY(w->lblMyIP->text().isEmpty());
    QCOMPARE(w->Panel1->minimumHeight(), 41);
    QCOMPARE(w->Panel1->maximumHeight(), 41);
    QCOMPARE(w->Timer1->interval(), 2000);
    QVERIFY(w->Timer1->isActive());
    for (QTableView* grid : {w->vstSystem, w->vstConfig}) {
      QVERIFY(grid->showGrid());
      QCOMPARE(grid->horizontalHeader()->sectionResizeMode(0), QHeaderView::Interactive);
      QVERIFY(!grid->horizontalHeader()->isHidden());
    }

    w->show();
    QVERIFY(QTest::qWaitForWindowExposed(w.get()));
    QTest::mouseClick(w->btnClose, Qt::LeftButton);
    QVERIFY(!w->isVisible());
  }

  // In a larger font the captions still fit: the buttons grow, never shrink.
  void buttonsFitTheirCaptionsInALargerFont() {
    const QFont before = QApplication::font();
    QFont big = before;
    big.setPointSizeF(before.pointSizeF() * 2);
    QApplication::setFont(big);
    auto w = Window(Files_->Path("missing.ini"));
    QApplication::setFont(before);
    const std::pair<QPushButton*, int> buttons[] = {{w->btnCheck, 105}, {w->btnRead, 75},     {w->btnWrite, 75},
                                                    {w->btnSetup, 75},  {w->btnAutodetect, 75}, {w->btnClose, 75}};
    for (const auto& [button, design] : buttons) {
      const int caption = button->fontMetrics().horizontalAdvance(button->text().remove('&'));
      QVERIFY2(button->width() >= design && button->width() >= caption + 8, qPrintable(button->objectName()));
      QCOMPARE(button->height(), 25);
    }
    QVERIFY(w->btnCheck->width() > 105);
  }

  void adapterWatchWarnsWhileTheAddressIsInvalid() {
    auto w = Window(Files_->Path("missing.ini"));
    const QString warning = "Warning: your computer IP address is invalid!";
    w->Timer1Timer();
    QVERIFY(w->lblMyIP->text().isEmpty());

    struct TStep {
      const char* IP;
      bool Warn;
    };
    const TStep steps[] = {{"0.0.0.0", true}, {"127.0.0.1", false}, {"", true}, {"10.1.2.3", false}};
    for (const TStep& s : steps) {
      Adapters_->Table() = LoopbackTable(s.IP);
      w->Timer1Timer();
      QCOMPARE(w->lblMyIP->text(), s.Warn ? warning : QString());
    }
    // Red once warned; an empty caption shows nothing.
    QCOMPARE(w->lblMyIP->palette().color(QPalette::WindowText), QColor(255, 0, 0));

    // The timer itself gets there within two seconds.
    Adapters_->Table() = LoopbackTable("0.0.0.0");
    QTRY_COMPARE_WITH_TIMEOUT(w->lblMyIP->text(), warning, 2500);
  }

  // The adapter reader's own table, from an interface list as the system
  // gives it: a DHCP adapter whose cable was pulled keeps its row with
  // "0.0.0.0", so the watch finds it and warns.
  void adapterWatchWarnsForAnAdapterThatLostItsAddress() {
    Settings_->setValue("EthernetAdapterID", "eth0");
    struct TEntry {
      std::string Name;
      sockaddr_in Addr{}, Mask{};
      ifaddrs Entry{};
    };
    std::vector<std::unique_ptr<TEntry>> list;
    auto add = [&](const char* Name, unsigned Flags, const char* IP, const char* Mask) {
      auto e = std::make_unique<TEntry>();
      e->Name = Name;
      e->Entry.ifa_name = e->Name.data();
      e->Entry.ifa_flags = Flags;
      if (IP != nullptr) {
        e->Addr.sin_family = e->Mask.sin_family = AF_INET;
        inet_pton(AF_INET, IP, &e->Addr.sin_addr);
        inet_pton(AF_INET, Mask, &e->Mask.sin_addr);
        e->Entry.ifa_addr = reinterpret_cast<sockaddr*>(&e->Addr);
        e->Entry.ifa_netmask = reinterpret_cast<sockaddr*>(&e->Mask);
      }
      if (!list.empty()) list.back()->Entry.ifa_next = &e->Entry;
      list.push_back(std::move(e));
    };
    add("lo", IFF_UP | IFF_LOOPBACK, nullptr, nullptr);
    add("eth0", IFF_UP | IFF_BROADCAST, nullptr, nullptr);
    add("lo", IFF_UP | IFF_LOOPBACK, "127.0.0.1", "255.0.0.0");
    SetAdapterTableSource([&](std::vector<TAdapterRecord>& Table) {
      AdapterTableFromInterfaces(&list.front()->Entry, Table);
      return true;
    });
    auto w = Window(Files_->Path("missing.ini"));
    const QString warning = "Warning: your computer IP address is invalid!";
    w->Timer1Timer();
    QCOMPARE(w->GetCommunicator().Adapter.ID, std::string("eth0"));
    QCOMPARE(w->GetCommunicator().Adapter.IP, std::string("0.0.0.0"));
    QCOMPARE(w->lblMyIP->text(), warning);
    // The address comes back.
    add("eth0", IFF_UP | IFF_BROADCAST, "10.1.2.3", "255.255.255.0");
    w->Timer1Timer();
    QCOMPARE(w->GetCommunicator().Adapter.IP, std::string("10.1.2.3"));
    QVERIFY(w->lblMyIP->text().isEmpty());
    w.reset();
    SetAdapterTableSource(nullptr);
  }

  // A stock workstation's host file maps the host name to 127.0.1.1, which
  // no adapter carries: without a choice the tool takes the adapter of the
  // default route, else the first with an address of its own, and keeps it.
  void withoutAChoiceTheDefaultAdapterIsUsed() {
    struct TCase {
      const char* Route;
      const char* Expect;
    };
    for (const TCase& c : {TCase{"eth1", "eth1"}, TCase{"", "eth0"}, TCase{"gone0", "eth0"}}) {
      Settings_.reset();  // it would write its values back when it goes
      Files_->RemoveSettings();
      Settings_ = Files_->Settings();
      Adapters_.reset();  // its hooks go back before the next table's are set
      Adapters_ = std::make_unique<TFixedAdapters>(
          std::vector<TAdapterRecord>{{"lo", "Loopback adapter lo", "127.0.0.1", "255.0.0.0"},
                                      {"wlan0", "Wireless adapter wlan0", "0.0.0.0", "0.0.0.0"},
                                      {"eth0", "Ethernet adapter eth0", "10.0.0.5", "255.255.255.0"},
                                      {"eth1", "Ethernet adapter eth1", "192.168.1.7", "255.255.255.0"}},
          "127.0.1.1");
      const std::string route = c.Route;
      SetDefaultRouteSource([route] { return route; });
      auto w = Window(Files_->Path("missing.ini"));
      QCOMPARE(w->GetCommunicator().Adapter.ID, std::string(c.Expect));
      w->Timer1Timer();
      QVERIFY(w->lblMyIP->text().isEmpty());
      w.reset();
      Settings_->sync();
      QCOMPARE(Settings_->value("EthernetAdapterID").toString(), QString(c.Expect));
    }
  }

  void cellTableStaysInBounds() {
    TCellTable t;
    QVERIFY(t.Cell(0, 0) == nullptr);
    QCOMPARE(t.At(5, 5).Text, std::string());
    t.Resize(2, 3);
    TCell* c = t.Cell(1, 2);
    QVERIFY(c != nullptr);
    c->Text = "12";
    c->Edited = true;
    c->Busy = true;
    for (auto [r, col] : {std::pair{-1, 0}, {0, -1}, {2, 0}, {0, 3}}) {
      QVERIFY(t.Cell(r, col) == nullptr);
      QVERIFY(t.At(r, col).Text.empty());
    }
    // Growing keeps what was there.
    t.Resize(150, 120);
    QCOMPARE(t.At(1, 2).Text, std::string("12"));
    QVERIFY(t.Cell(149, 119) != nullptr);
    // Emptying a row's texts keeps its marks.
    t.ClearTexts(1);
    QVERIFY(t.At(1, 2).Text.empty());
    QVERIFY(t.At(1, 2).Edited && t.At(1, 2).Busy);
    // Shrinking drops what falls outside; growing again brings back empty cells.
    t.Cell(1, 2)->Text = "x";
    t.Resize(2, 2);
    QVERIFY(t.Cell(1, 2) == nullptr);
    t.Resize(2, 3);
    QVERIFY(t.At(1, 2).Text.empty());
    QVERIFY(!t.At(1, 2).Busy);
    t.Cell(0, 0)->Text = "y";
    t.Clear();
    QVERIFY(t.At(0, 0).Text.empty());
    QCOMPARE(t.Rows(), 2);
  }

  // The colours of the cells come from the models' roles: red behind a cell
  // at work, blue for an edited value, nothing anywhere else.
  void gridModelsGiveCellColoursThroughRoles() {
    TTavexList list;
    for (int i = 0; i < 2; ++i) list.Add(std::make_unique<TTavex>());
    const std::vector<std::string> entries = {"fan_speed", "setpoint"};
    bool checked = true;
    int32_t progress = 6, limit = -1;  // row 1, step 1 under way
    TSystemModel sys(list, checked, progress, limit);
    TConfigModel cfg(list, entries);
    sys.SetRowCount(2);
    cfg.SetRowCount(2);
    cfg.Cells().Resize(2, 2);
    cfg.Cells().Cell(0, 1)->Busy = true;
    cfg.Cells().Cell(1, 0)->Edited = true;
    cfg.Cells().Cell(1, 1)->Busy = true;
    cfg.Cells().Cell(1, 1)->Edited = true;
    const QColor red(255, 0, 0), blue(0, 0, 255), none;
    struct TCase {
      const QAbstractItemModel* Model;
      int Row, Column;
      QColor Background, Foreground;
    };
    const TCase cases[] = {
        {&sys, 1, 4, red, none},   {&sys, 1, 3, none, none}, {&sys, 0, 4, none, none},
        {&sys, 1, 2, none, none},  {&cfg, 0, 5, red, none},  {&cfg, 0, 4, none, none},
        {&cfg, 1, 4, none, blue},  {&cfg, 1, 5, red, blue},  {&cfg, 1, 0, none, none},
        {&cfg, 1, 3, none, none},
    };
    auto color = [](const QModelIndex& I, int Role) {
      const QVariant v = I.data(Role);
      return v.isValid() ? v.value<QColor>() : QColor();
    };
    for (const TCase& c : cases) {
      const QModelIndex i = c.Model->index(c.Row, c.Column);
      const QString at = QString("%1 %2/%3").arg(c.Model == &sys ? "system" : "config").arg(c.Row).arg(c.Column);
      QVERIFY2(color(i, Qt::BackgroundRole) == c.Background, qPrintable(at));
      QVERIFY2(color(i, Qt::ForegroundRole) == c.Foreground, qPrintable(at));
    }
    // No check under way, no progress cell.
    progress = -1;
    QVERIFY(!sys.index(1, 4).data(Qt::BackgroundRole).isValid());
    // Outside the grid: nothing.
    QVERIFY(!cfg.index(2, 4).data(Qt::BackgroundRole).isValid());
  }

  void handlerExceptionGoesToErrorDisplay() {
    QStringList shown;
    TApplication::ErrorDisplay = [&](const QString& Text) { shown << Text; };
    TThrowing target;
    QEvent first(QEvent::User);
    QCoreApplication::sendEvent(&target, &first);
    QEvent second(static_cast<QEvent::Type>(QEvent::User + 1));
    QCoreApplication::sendEvent(&target, &second);
    TApplication::ErrorDisplay = nullptr;
    QCOMPARE(shown, QStringList({"Error parsing ALC data on line 7", "Unknown error."}));
  }

  void defaultErrorDisplayIsModalBox() {
    // The box belongs to the main window, so that it opens over it.
    auto w = Window(Files_->Path("missing.ini"));
    QString title, text;
    QWidget* parent = nullptr;
    QTimer::singleShot(0, [&] {
      if (auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget())) {
        title = box->windowTitle();
        text = box->text();
        parent = box->parentWidget();
        box->close();
      }
    });
    TThrowing target;
    QEvent e(QEvent::User);
    QCoreApplication::sendEvent(&target, &e);
    QCOMPARE(title, QString("Tavex Config Tool"));
    QCOMPARE(text, QString("Error parsing ALC data on line 7"));
    QCOMPARE(parent, static_cast<QWidget*>(w.get()));
  }
};

}  // namespace tavex::test

TAVEX_UI_TEST_MAIN(tavex::test::TestMainWindow)
#include "test_ui_main.moc"

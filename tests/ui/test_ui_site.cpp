// A day on site at the configuration grid, against simulated controllers
// on loopback: values saved as tavexctl saves them (byte for byte) and
// loaded back as edits, the grid exported, blocks of cells selected,
// copied, pasted and filled down, rows checked, the first columns frozen,
// widths fitted and remembered, the configuration file reloaded, and the
// tooltips of the entry columns and the clock. Nothing of it may send a
// request: the simulator's log proves that; Write then sends what the
// edits asked for.
#include <QAction>
#include <QApplication>
#include <QClipboard>
#include <QDateTime>
#include <QFile>
#include <QFileInfo>
#include <QHeaderView>
#include <QHelpEvent>
#include <QLabel>
#include <QMenu>
#include <QMouseEvent>
#include <QProcess>
#include <QRegularExpression>
#include <QScrollBar>
#include <QTabWidget>
#include <QTableView>
#include <QToolTip>

#include <map>

#include <nlohmann/json.hpp>

#include "plc/uOperations.h"
#include "plc/uTavex.h"
#include "sim/uSimulator.h"
#include "tests/ui/UiTest.h"
#include "tests/ui/UiWindow.h"
#include "ui/fMain.h"
#include "ui/uFrozenColumns.h"
#include "ui/uGridModels.h"
#include "ui/uGridViews.h"

namespace tavex::test {

using nlohmann::json;

namespace {

// A controller with the clock variables and fan_speed, setpoint and pump[3].
json Controller(uint32_t Nad, const std::string& IP, const std::string& Clock = "2026-03-04T05:06:07") {
  return SimController(
      Nad, IP,
      json::array(
          {{{"name", "fan_speed"}, {"type", "word"}, {"value", 1450 + Nad % 10}, {"comment", "Fan speed in rpm"}},
           Var("setpoint", "real", 21.5),
           {{"name", "pump"}, {"type", "int"}, {"count", 3}, {"value", json::array({-5, 7, 9})}}}),
      {{"clock", Clock}});
}

constexpr char kIni[] = "[Variables]\nVar0=fan_speed\nVar1=setpoint\nVar2=pump[1]\nVar3=nosuch\n";

QString ReadAll(const QString& Path) {
  QFile f(Path);
  return f.open(QIODevice::ReadOnly) ? QString::fromUtf8(f.readAll()) : QString("<missing>");
}

bool WriteAll(const QString& Path, const QByteArray& Text) {
  QFile f(Path);
  return f.open(QIODevice::WriteOnly) && f.write(Text) == Text.size();
}

}  // namespace

class TestSite : public TWindowTest {
  Q_OBJECT

  QString IniPath_;

  // Opens the window on the configuration page and runs Autodetect.
  TfmMain& Open(const std::string& Ini, int Expect) {
    const TMainOptions o = WindowOptions(*Files_, Ini, Settings_.get());
    IniPath_ = o.IniPath;
    ShowWindow(o, Window_, nullptr, nullptr, true);
    DetectCount(*Window_, Expect);
    Window_->PageControl1->setCurrentIndex(1);
    QCoreApplication::processEvents();
    return *Window_;
  }
  // Read of every row.
  void Read(TfmMain& W) {
    W.ConfigModel()->CheckAll();
    QVERIFY(test::Read(W));
  }
  QString Cell(int Row, int Column) const { return Text(*Window_->vstConfig->model(), Row, Column); }
  bool Edited(int Row, int Entry) const { return Window_->GetCells().At(Row, Entry).Edited; }
  std::vector<json> Log(int Command) const { return SimLog(*Sim_, Command); }
  // Name -> value of every value written to one address (the last stands).
  std::map<std::string, double> Written(const std::string& IP) const {
    std::map<std::string, double> w;
    for (const auto& write : Writes(*Sim_, IP))
      for (const auto& [name, value] : write) w[name] = value;
    return w;
  }
  QPoint CellCenter(int Row, int Column) const { return test::CellCenter(*Window_->vstConfig, Row, Column); }
  void Press(int Row, int Column, Qt::KeyboardModifiers Mods = Qt::NoModifier) {
    QWidget* vp = Window_->vstConfig->viewport();
    const QPoint at = CellCenter(Row, Column);
    SendMouse(vp, QEvent::MouseButtonPress, at, Qt::LeftButton, Qt::LeftButton, Mods);
    SendMouse(vp, QEvent::MouseButtonRelease, at, Qt::LeftButton, Qt::NoButton, Mods);
  }
  // The block the grid holds as selected: top, left, bottom, right.
  QList<int> Block() const {
    const TCellSelection& s = Window_->GetSelection();
    return {s.Top(), s.Left(), s.Bottom(), s.Right()};
  }

 private slots:
  void init() {
    Begin();
  }
  void cleanup() {
    QLocale::setDefault(QLocale::c());
    End();
  }

  // --- Rows file -----------------------------------------------------------------

  // The grid's values saved are the file tavexctl's read saves, byte for
  // byte, also where the user's locale shows a decimal comma; saving sends
  // nothing.
  void savedValuesAreTavexctlsRowsFile_data() {
    QTest::addColumn<QString>("locale");
    QTest::addColumn<QString>("shown");
    QTest::newRow("point") << "C" << "21.5";
    QTest::newRow("comma") << "de_DE" << "21,5";
  }
  void savedValuesAreTavexctlsRowsFile() {
    QFETCH(QString, locale);
    QFETCH(QString, shown);
    QLocale::setDefault(QLocale(locale));
    StartSimulator(json::array({Controller(1000, "127.0.0.2"), Controller(1001, "127.0.0.3")}), Sim_);
    TfmMain& w = Open(kIni, 2);
    // Nothing read yet: nothing to save, no file.
    const QString early = Files_->Path("early.csv");
    QVERIFY(!w.SaveValues(early));
    QVERIFY(!QFile::exists(early));
    Read(w);
    QCOMPARE(Cell(0, 5), shown);
    Sim_->ClearLog();
    const QString saved = Files_->Path("saved.csv");
    QVERIFY(w.SaveValues(saved));
    QVERIFY(Log(-1).empty());

    QProcess ctl;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    for (const char* v : {"XDG_CACHE_HOME", "XDG_CONFIG_HOME", "XDG_STATE_HOME"}) env.insert(v, Files_->Path(v));
    env.insert("TAVEX_JOURNAL", Files_->Path("ctl-journal"));
    ctl.setProcessEnvironment(env);
    ctl.start(TAVEXCTL_EXE, {"--adapter", "lo", "--host", "127.0.0.2", "--host", "127.0.0.3", "--ini", IniPath_,
                             "-q", "read", "--format", "rows"});
    QVERIFY(ctl.waitForFinished(60000));
    const QString expected = QString::fromUtf8(ctl.readAllStandardOutput());
    QVERIFY2(expected.startsWith("nad,entry,value\n1000,fan_speed,1450\n"), qPrintable(expected));
    QVERIFY2(expected.contains("1001,setpoint,21.5\n") && expected.contains("1001,nosuch,?\n"), qPrintable(expected));
    QCOMPARE(ReadAll(saved), expected);
  }

  // A rows file loaded: its values become blue edits of the matching cells
  // (in the user's decimal form); rows for controllers not in the grid,
  // entries not configured and values never read are named in the bottom
  // bar and change nothing. Nothing is sent until Write, which then sends
  // the loaded values.
  void loadedValuesAreEditsAndTheRestIsNamed() {
    QLocale::setDefault(QLocale("de_DE"));
    StartSimulator(json::array({Controller(1000, "127.0.0.2"), Controller(1001, "127.0.0.3")}), Sim_);
    TfmMain& w = Open(kIni, 2);
    Read(w);
    const QString file = Files_->Path("load.csv");
    QVERIFY(WriteAll(file,
                     "nad,entry,value\n"
                     "1000,fan_speed,1500\n"
                     "1001,setpoint,22.25\n"
                     "1001,pump[1],8\n"
                     "1009,fan_speed,1\n"
                     "1000,other,5\n"
                     "1000,nosuch,?\n"));
    Sim_->ClearLog();
    QVERIFY(w.LoadValues(file));
    QVERIFY(Log(-1).empty());
    QCOMPARE(Cell(0, 4), QString("1500"));
    QVERIFY(Edited(0, 0));
    QCOMPARE(Cell(1, 5), QString("22,25"));
    QVERIFY(Edited(1, 1));
    QCOMPARE(Cell(1, 6), QString("8"));
    QCOMPARE(w.vstConfig->model()->index(1, 6).data(Qt::ForegroundRole).value<QColor>(), kEditedCellColor);
    // Untouched: the other cells, and "?" of the value never read.
    QCOMPARE(Cell(0, 5), QString("21,5"));
    QVERIFY(!Edited(0, 1) && !Edited(1, 0) && !Edited(0, 3));
    QCOMPARE(Cell(0, 7), QString("?"));
    const QString bar = w.lblProgress->text() + "\n" + w.lblProgress->toolTip();
    QVERIFY2(bar.contains("controller 1009 is not in the grid"), qPrintable(bar));
    QVERIFY2(bar.contains("other is not configured"), qPrintable(bar));
    QVERIFY2(bar.contains("nosuch"), qPrintable(bar));

    // A file with one bad row applies none of its rows.
    QVERIFY(WriteAll(file, "1000,setpoint,7\n1000,fan_speed,fast\n"));
    QVERIFY(!w.LoadValues(file));
    QCOMPARE(Cell(0, 5), QString("21,5"));
    QVERIFY(!Edited(0, 1));
    QVERIFY2(w.lblProgress->text().startsWith("Nothing loaded: Line 2"), qPrintable(w.lblProgress->text()));
    QVERIFY(Log(-1).empty());

    // Write sends what was loaded.
    QVERIFY(test::Write(w));
    QCOMPARE(Written("127.0.0.2").at("fan_speed"), 1500.0);
    QCOMPARE(Written("127.0.0.3").at("pump[1]"), 8.0);
  }

  void exportHasEveryColumnAsShown() {
    StartSimulator(json::array({Controller(1000, "127.0.0.2"), Controller(1001, "127.0.0.3")}), Sim_);
    TfmMain& w = Open(kIni, 2);
    Read(w);
    const QString file = Files_->Path("grid.csv");
    QVERIFY(w.ExportGridCsv(file));
    const QStringList lines = ReadAll(file).split('\n');
    QCOMPARE(lines.size(), 4);  // header, two rows, the last line's end
    QCOMPARE(lines[0], QString("No.,NAD,IP,RTC,fan_speed,setpoint,pump[1],nosuch"));
    QCOMPARE(lines[1], QString("1,1000,127.0.0.2,%1,1450,21.5,7,?").arg(Cell(0, 3)));
    QCOMPARE(lines[2], QString("2,1001,127.0.0.3,%1,1451,21.5,7,?").arg(Cell(1, 3)));
  }

  // --- Block selection, copy, paste, fill down --------------------------------

  // Shift with a press, a drag or the arrows makes a block from the anchor;
  // a press without Shift goes back to one cell.
  void blockSelectionByMouseAndKeyboard() {
    StartSimulator(json::array({Controller(1000, "127.0.0.2"), Controller(1001, "127.0.0.3"),
                                Controller(1002, "127.0.0.4")}),
                   Sim_);
    TfmMain& w = Open(kIni, 3);
    QWidget* vp = w.vstConfig->viewport();
    Press(0, 4);
    QCOMPARE(Block(), QList<int>({0, 4, 0, 4}));
    QVERIFY(!w.GetSelection().IsBlock());
    Press(2, 6, Qt::ShiftModifier);
    QCOMPARE(Block(), QList<int>({0, 4, 2, 6}));
    QVERIFY(w.ConfigGrid()->IsMarked(1, 5) && !w.ConfigGrid()->IsMarked(1, 7));
    // The anchor stays the pressed cell.
    QCOMPARE(w.GetSelectedRow(), 0);
    QCOMPARE(w.GetSelectedColumn(), 4);
    // A drag begun with Shift moves the block's corner.
    SendMouse(vp, QEvent::MouseButtonPress, CellCenter(1, 5), Qt::LeftButton, Qt::LeftButton, Qt::ShiftModifier);
    SendMouse(vp, QEvent::MouseMove, CellCenter(2, 7), Qt::NoButton, Qt::LeftButton, Qt::ShiftModifier);
    QCOMPARE(Block(), QList<int>({0, 4, 2, 7}));
    SendMouse(vp, QEvent::MouseButtonRelease, CellCenter(2, 7), Qt::LeftButton, Qt::NoButton);
    // A press alone: one cell again; Shift and the arrows grow it.
    Press(1, 5);
    QCOMPARE(Block(), QList<int>({1, 5, 1, 5}));
    w.vstConfig->setFocus();
    QTest::keyClick(w.vstConfig, Qt::Key_Down, Qt::ShiftModifier);
    QTest::keyClick(w.vstConfig, Qt::Key_Left, Qt::ShiftModifier);
    QCOMPARE(Block(), QList<int>({1, 4, 2, 5}));
    QTest::keyClick(w.vstConfig, Qt::Key_Up, Qt::ShiftModifier);
    QTest::keyClick(w.vstConfig, Qt::Key_Up, Qt::ShiftModifier);
    QCOMPARE(Block(), QList<int>({0, 4, 1, 5}));
    QTest::keyClick(w.vstConfig, Qt::Key_Right);
    QCOMPARE(Block(), QList<int>({0, 5, 0, 5}));
  }

  void copyPasteAndFillDownEditValueCellsOnly() {
    StartSimulator(json::array({Controller(1000, "127.0.0.2"), Controller(1001, "127.0.0.3"),
                                Controller(1002, "127.0.0.4")}),
                   Sim_);
    TfmMain& w = Open(kIni, 3);
    Read(w);
    Sim_->ClearLog();
    w.vstConfig->setFocus();

    // Ctrl+C: the block as shown, fixed columns included.
    Press(0, 1);
    Press(1, 5, Qt::ShiftModifier);
    QApplication::clipboard()->clear();
    QTest::keyClick(w.vstConfig, Qt::Key_C, Qt::ControlModifier);
    QCOMPARE(QApplication::clipboard()->text(),
             QString("1000\t127.0.0.2\t%1\t1450\t21.5\n1001\t127.0.0.3\t%2\t1451\t21.5\n").arg(Cell(0, 3), Cell(1, 3)));

    // Ctrl+V from the selection's top left: a NAD, an IP and a clock are
    // never pasted, an empty field and a text that is no number change
    // nothing, what lies past the last row or column is dropped.
    Press(1, 2);
    QApplication::clipboard()->setText("10.0.0.9\t2026\t100\t-3.5\t\t1\t99\n"
                                       "x\tx\t200\tabc\t4\t2\t99\n"
                                       "x\tx\t300\t5\t6\t7\t99\n");
    QTest::keyClick(w.vstConfig, Qt::Key_V, Qt::ControlModifier);
    QCOMPARE(Cell(1, 2), QString("127.0.0.3"));
    QVERIFY(Cell(1, 3) != "2026");
    const QStringList row1 = {Cell(1, 4), Cell(1, 5), Cell(1, 6), Cell(1, 7)};
    const QStringList row2 = {Cell(2, 4), Cell(2, 5), Cell(2, 6), Cell(2, 7)};
    QCOMPARE(row1, QStringList({"100", "-3.5", "7", "1"}));
    QCOMPARE(row2, QStringList({"200", "21.5", "4", "2"}));
    QVERIFY(Edited(1, 0) && Edited(1, 1) && !Edited(1, 2) && Edited(1, 3));
    QVERIFY(!Edited(2, 1));
    QCOMPARE(Cell(0, 4), QString("1450"));  // above the paste
    QVERIFY2(w.lblProgress->text().contains("\"abc\""), qPrintable(w.lblProgress->text()));

    // Ctrl+D: each column's top value down its block.
    Press(0, 4);
    Press(2, 5, Qt::ShiftModifier);
    QTest::keyClick(w.vstConfig, Qt::Key_D, Qt::ControlModifier);
    for (int r = 0; r < 3; ++r) {
      QCOMPARE(Cell(r, 4), QString("1450"));
      QCOMPARE(Cell(r, 5), QString("21.5"));
    }
    QVERIFY(!Edited(0, 0) && Edited(1, 0) && Edited(2, 1));
    QCOMPARE(Cell(2, 6), QString("4"));  // outside the block
    QVERIFY(Log(-1).empty());

    // Write sends them.
    QVERIFY(test::Write(w));
    QCOMPARE(Written("127.0.0.3").at("fan_speed"), 1450.0);
    QCOMPARE(Written("127.0.0.4").at("pump[1]"), 4.0);
  }

  // Busy: nothing the user pastes, fills or loads may change a cell that a
  // run holds.
  void cellItemsDoNothingWhileARunHoldsTheCells() {
    StartSimulator(json::array({Controller(1000, "127.0.0.2")}), Sim_);
    TfmMain& w = Open(kIni, 1);
    Read(w);
    Press(0, 4);
    w.btnReadClick();
    QVERIFY(w.IsBusy());
    w.PasteText("1");
    w.CheckAllRows(false, true);
    QVERIFY(!w.SaveValues(Files_->Path("busy.csv")));
    QVERIFY(Finished(w));
    QCOMPARE(Cell(0, 4), QString("1450"));
    QVERIFY(!Edited(0, 0));
    QVERIFY(w.ConfigModel()->Checked(0));
  }

  // --- Check all / none ---------------------------------------------------------

  void checkAllAndNoneOnBothGrids_data() {
    QTest::addColumn<bool>("config");
    QTest::newRow("system") << false;
    QTest::newRow("configuration") << true;
  }
  void checkAllAndNoneOnBothGrids() {
    QFETCH(bool, config);
    StartSimulator(json::array({Controller(1000, "127.0.0.2"), Controller(1001, "127.0.0.3")}), Sim_);
    TfmMain& w = Open(kIni, 2);
    w.PageControl1->setCurrentIndex(config ? 1 : 0);
    QTableView* grid = config ? w.vstConfig : w.vstSystem;
    TCheckedRowsModel& model = config ? static_cast<TCheckedRowsModel&>(*w.ConfigModel())
                                      : static_cast<TCheckedRowsModel&>(*w.SystemModel());
    grid->setFocus();
    QTest::keyClick(grid, Qt::Key_N, Qt::ControlModifier | Qt::ShiftModifier);
    QVERIFY(!model.Checked(0) && !model.Checked(1));
    QTest::keyClick(grid, Qt::Key_A, Qt::ControlModifier | Qt::ShiftModifier);
    QVERIFY(model.Checked(0) && model.Checked(1));
    // The context menu holds them.
    QMenu menu;
    w.FillGridMenu(menu, config);
    QStringList items;
    for (QAction* a : menu.actions())
      if (!a->isSeparator()) items << a->text();
    QVERIFY(items.contains("Check all") && items.contains("Check none"));
    QCOMPARE(items.contains("Save values..."), config);
  }

  // --- Frozen columns, widths ---------------------------------------------------

  void firstColumnsStayInViewAndServeTheGrid() {
    StartSimulator(json::array({Controller(1000, "127.0.0.2"), Controller(1001, "127.0.0.3")}), Sim_);
    std::string ini = "[Variables]\n";
    for (int k = 0; k < 30; ++k) ini += "Var" + std::to_string(k) + "=fan_speed\n";
    TfmMain& w = Open(ini, 2);
    QTableView* frozen = w.Site() ? w.findChild<QTableView*>("vstConfigFrozen") : nullptr;
    QVERIFY(frozen != nullptr && frozen->isVisible());
    QScrollBar* bar = w.vstConfig->horizontalScrollBar();
    bar->setValue(bar->maximum());
    QCoreApplication::processEvents();
    QVERIFY(w.vstConfig->columnViewportPosition(2) < 0);  // the grid's own IP is scrolled away
    // The frozen view shows No., NAD, IP where they always are.
    const QRect nad = frozen->visualRect(frozen->model()->index(1, 1));
    QCOMPARE(nad.left(), w.vstConfig->columnWidth(0));
    QCOMPARE(frozen->indexAt(nad.center()).column(), 1);
    QVERIFY(frozen->isColumnHidden(3) && !frozen->isColumnHidden(2));
    // A press there selects the grid's cell; its check box is served.
    SendMouse(frozen->viewport(), QEvent::MouseButtonPress, nad.center(), Qt::LeftButton, Qt::LeftButton);
    SendMouse(frozen->viewport(), QEvent::MouseButtonRelease, nad.center(), Qt::LeftButton, Qt::NoButton);
    QCOMPARE(Block(), QList<int>({1, 1, 1, 1}));
    // A click on a row's box there toggles it once (the grid under the
    // frozen view does not take the click as well).
    const QRect box = frozen->visualRect(frozen->model()->index(0, 0));
    const bool before = w.ConfigModel()->Checked(0);
    bool toggled = false;
    for (int x = box.left() + 1; x < box.right() && !toggled; x += 2) {
      const QPoint at(x, box.center().y());
      SendMouse(frozen->viewport(), QEvent::MouseButtonPress, at, Qt::LeftButton, Qt::LeftButton);
      SendMouse(frozen->viewport(), QEvent::MouseButtonRelease, at, Qt::LeftButton, Qt::NoButton);
      toggled = w.ConfigModel()->Checked(0) != before;
    }
    QVERIFY(toggled);
    QCOMPARE(bar->value(), bar->maximum());
    // The keyboard never leaves a cell under the frozen columns.
    w.vstConfig->setFocus();
    QTest::keyClick(w.vstConfig, Qt::Key_End);
    for (int c = w.vstConfig->model()->columnCount() - 1; c > TConfigModel::kFixedColumns; --c) {
      QTest::keyClick(w.vstConfig, Qt::Key_Left);
      QCoreApplication::processEvents();
      QCOMPARE(w.GetSelection().Column(), c - 1);
      QVERIFY(w.vstConfig->columnViewportPosition(c - 1) >=
              frozen->columnWidth(0) + frozen->columnWidth(1) + frozen->columnWidth(2));
    }
  }

  // Columns take their values' width after Read; a width the user sets is
  // kept for that entry across starts, and wins over the fit.
  void columnWidthsFitAndAreRemembered() {
    json c = Controller(1000, "127.0.0.2");
    c["variables"][1]["value"] = -1.2345679e-20;
    StartSimulator(json::array({c}), Sim_);
    TfmMain& w = Open("[Variables]\nVar0=setpoint\nVar1=fan_speed\nVar2=x\n", 1);
    QHeaderView* header = w.vstConfig->horizontalHeader();
    const QFontMetrics m(w.vstConfig->font());
    const int wide = m.horizontalAdvance("-1.2345679E-20");
    // The captions' widths first, then the values'.
    QVERIFY(header->sectionSize(4) > header->fontMetrics().horizontalAdvance("setpoint"));
    QVERIFY(header->sectionSize(4) < wide);
    Read(w);
    QCOMPARE(Cell(0, 4), QString("-1.2345679E-20"));
    QVERIFY(header->sectionSize(4) > wide);
    QVERIFY(header->sectionSize(6) > header->fontMetrics().horizontalAdvance("x"));
    header->resizeSection(5, 222);  // as the user drags it
    Window_.reset();
    TfmMain& again = Open("[Variables]\nVar0=fan_speed\nVar1=setpoint\n", 1);
    QCOMPARE(again.vstConfig->horizontalHeader()->sectionSize(4), 222);
    QVERIFY(again.vstConfig->horizontalHeader()->sectionSize(5) != 222);
  }

  // --- Configuration file ---------------------------------------------------------

  void reloadKeepsTheValuesOfEntriesStillThere() {
    StartSimulator(json::array({Controller(1000, "127.0.0.2")}), Sim_);
    TfmMain& w = Open(kIni, 1);
    const QString tip = w.PageControl1->tabToolTip(1);
    QVERIFY2(tip.contains(QFileInfo(IniPath_).fileName()), qPrintable(tip));
    Read(w);
    w.PasteText("");  // nothing selected: nothing
    Press(0, 5);
    w.PasteText("30");
    Sim_->ClearLog();
    // Entries reordered, one gone, one new.
    QVERIFY(WriteAll(IniPath_, "[Variables]\nVar0=pump[1]\nVar1=setpoint\nVar2=pump[2]\n"));
    QTest::keyClick(&w, Qt::Key_F5);
    QCOMPARE(w.vstConfig->model()->headerData(4, Qt::Horizontal).toString(), QString("pump[1]"));
    QCOMPARE(w.GetVarNames().size(), size_t{3});
    QCOMPARE(Cell(0, 4), QString("7"));
    QCOMPARE(Cell(0, 5), QString("30"));
    QVERIFY(Edited(0, 1) && !Edited(0, 0));
    QVERIFY(Cell(0, 6).isEmpty());
    QVERIFY(Log(-1).empty());
    QVERIFY2(w.lblProgress->text().contains("3 entries"), qPrintable(w.lblProgress->text()));

    // A file gone keeps the entries and their values; an edit of an entry
    // dropped is counted.
    QVERIFY(QFile::remove(IniPath_));
    w.ReloadConfiguration();
    QCOMPARE(w.GetVarNames().size(), size_t{3});
    QCOMPARE(Cell(0, 5), QString("30"));
    QVERIFY2(w.lblProgress->text().startsWith("Cannot read the configuration file"), qPrintable(w.lblProgress->text()));
    QVERIFY(WriteAll(IniPath_, "[Variables]\nVar0=pump[1]\n"));
    w.ReloadConfiguration();
    QCOMPARE(w.GetVarNames().size(), size_t{1});
    QVERIFY2(w.lblProgress->text().contains("1 edited values"), qPrintable(w.lblProgress->text()));
  }

  // --- Tooltips -----------------------------------------------------------------

  void entryAndClockTooltips() {
    const QString clock = QDateTime::currentDateTime().addSecs(-41).toString("yyyy-MM-ddTHH:mm:ss");
    StartSimulator(json::array({Controller(1000, "127.0.0.2", clock.toStdString())}), Sim_);
    TfmMain& w = Open(kIni, 1);
    // Before any allocation file is read: the name only.
    QCOMPARE(w.EntryToolTip(0), QString("fan_speed"));
    Read(w);
    const QString fan = w.EntryToolTip(0);
    QVERIFY2(fan.contains("word, 0 to 65535") && fan.contains("Fan speed in rpm"), qPrintable(fan));
    QVERIFY2(w.EntryToolTip(1).contains("real, "), qPrintable(w.EntryToolTip(1)));
    QVERIFY2(w.EntryToolTip(2).contains("int, -32768 to 32767"), qPrintable(w.EntryToolTip(2)));
    QCOMPARE(w.EntryToolTip(3), QString("nosuch"));
    QCOMPARE(w.EntryToolTip(9), QString());

    // The header shows it.
    QHeaderView* header = w.vstConfig->horizontalHeader();
    const QPoint at(header->sectionViewportPosition(4) + 5, header->height() / 2);
    QHelpEvent e(QEvent::ToolTip, at, header->viewport()->mapToGlobal(at));
    QApplication::sendEvent(header->viewport(), &e);
    QVERIFY(QToolTip::isVisible());
    QCOMPARE(QToolTip::text(), fan);
    QToolTip::hideText();

    // The clock cell: the PC's time and how far the controller is from it.
    const QString rtc = w.RtcToolTip(0);
    const QRegularExpression form("^PC \\d{4}-\\d\\d-\\d\\d \\d\\d:\\d\\d:\\d\\d, controller (\\d+) s behind");
    const auto match = form.match(rtc);
    QVERIFY2(match.hasMatch(), qPrintable(rtc));
    QVERIFY2(std::abs(match.captured(1).toInt() - 41) <= 5, qPrintable(rtc));
    const QPoint cell = CellCenter(0, 3);
    QHelpEvent c(QEvent::ToolTip, cell, w.vstConfig->viewport()->mapToGlobal(cell));
    QApplication::sendEvent(w.vstConfig->viewport(), &c);
    QVERIFY(QToolTip::isVisible());
    QVERIFY2(QToolTip::text().startsWith("PC "), qPrintable(QToolTip::text()));
    QToolTip::hideText();
  }
};

}  // namespace tavex::test

TAVEX_UI_TEST_MAIN(tavex::test::TestSite)
#include "test_ui_site.moc"

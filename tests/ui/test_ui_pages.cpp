// The pages of the main window against simulated controllers on loopback:
// the status check as the user watches it (texts, the red progress cell,
// the order of the steps), Read, the configuration grid's own selection and
// editing through the Edit Value dialog, Write with and without clock
// synchronisation, and errors that end an operation.
#include <QApplication>
#include <QCheckBox>
#include <QImage>
#include <QLabel>
#include <QLineEdit>
#include <QMouseEvent>
#include <QPainter>
#include <QPushButton>
#include <QRegularExpression>
#include <QScrollBar>
#include <QTableView>
#include <QTimer>
#include <QToolTip>
#include <QHelpEvent>
#include <QHeaderView>
#include <QFile>
#include <QTemporaryDir>

#include <bit>
#include <chrono>
#include <ctime>
#include <map>
#include <set>

#include <nlohmann/json.hpp>

#include "plc/uFleet.h"
#include "plc/uJournal.h"
#include "plc/uOperations.h"
#include "plc/uTavex.h"
#include "sim/uSimulator.h"
#include "tests/ui/UiTest.h"
#include "tests/ui/UiWindow.h"
#include "ui/fEditValue.h"
#include "ui/fMain.h"
#include "ui/uGridModels.h"
#include "ui/uGridViews.h"

namespace tavex::test {

using nlohmann::json;

namespace {

constexpr int kWrite = 52;
const QColor kRed(255, 0, 0);

// A controller with the six date and time variables, the weekday and the
// write request, plus Extra's variables; Drop names clock variables left out.
json Controller(uint32_t Nad, const std::string& IP, json Variables = json::array(),
                std::set<std::string> Drop = {}) {
  return SimController(Nad, IP, std::move(Variables), json::object(), Drop);
}

json SpeedVars() {
  return json::array({Var("fan_speed", "word", 1450), Var("setpoint", "real", 21.5),
                      {{"name", "pump"}, {"type", "int"}, {"count", 3}, {"value", json::array({-5, 7, 9})}}});
}

bool IsRed(QRgb Pixel) { return QColor(Pixel) == kRed; }

// The status cells (row, step) whose right part is red in a picture of the
// grid, each checked to be red up to the grid line beside it, and not over it.
std::vector<std::pair<int, int>> RedStatusCells(QTableView& Grid, QStringList* Faults = nullptr) {
  const QImage image = Grid.viewport()->grab().toImage();
  std::vector<std::pair<int, int>> red;
  for (int r = 0; r < Grid.model()->rowCount(); ++r)
    for (int s = 0; s < 5; ++s) {
      const QRect rect = Grid.visualRect(Grid.model()->index(r, 3 + s));
      const int y = rect.center().y();
      if (!image.rect().contains(rect.right(), y)) continue;
      if (!IsRed(image.pixel(rect.right() - 1, y))) continue;
      red.emplace_back(r, s);
      if (Faults == nullptr) continue;
      if (!IsRed(image.pixel(rect.right(), y)))
        *Faults << QString("cell %1/%2 leaves a pixel before the grid line").arg(r).arg(s);
      if (image.rect().contains(rect.right() + 1, y) && IsRed(image.pixel(rect.right() + 1, y)))
        *Faults << QString("cell %1/%2 paints over the grid line").arg(r).arg(s);
    }
  return red;
}

// Pixels of a cell that are pure blue, or nearly (anti-aliased text).
int BluePixels(const QImage& Image, const QRect& Rect) {
  int n = 0;
  for (int y = Rect.top(); y <= Rect.bottom(); ++y)
    for (int x = Rect.left(); x <= Rect.right(); ++x) {
      const QColor c(Image.pixel(x, y));
      n += c.blue() > 180 && c.red() < 90 && c.green() < 90 ? 1 : 0;
    }
  return n;
}

}  // namespace

class TestPages : public TWindowTest {
  Q_OBJECT


  // Opens the window, runs Autodetect and shows the page asked for.
  TfmMain& Open(const std::string& Ini, int Page, int Expect) {
    ShowWindow(WindowOptions(*Files_, Ini, Settings_.get()), Window_, &EditValue_);
    DetectCount(*Window_, Expect);
    Window_->PageControl1->setCurrentIndex(Page);
    QCoreApplication::processEvents();
    return *Window_;
  }
  // The requests of one command (-1: any) to one address (empty: any).
  std::vector<json> Log(int Command, const std::string& IP = "") const { return SimLog(*Sim_, Command, IP); }
  // Name -> value of every write, in order.
  std::vector<std::map<std::string, double>> Writes(const std::string& IP) const {
    return test::Writes(*Sim_, IP);
  }
  QPoint CellCenter(int Row, int Column) const { return test::CellCenter(*Window_->vstConfig, Row, Column); }
  void Press(int Row, int Column, Qt::MouseButton Button = Qt::LeftButton) {
    SendMouse(Window_->vstConfig->viewport(), QEvent::MouseButtonPress, CellCenter(Row, Column), Button, Button);
  }
  void Release(const QPoint& At, Qt::MouseButton Button = Qt::LeftButton) {
    SendMouse(Window_->vstConfig->viewport(), QEvent::MouseButtonRelease, At, Button, Qt::NoButton);
  }
  // Answers the Edit Value dialog when it shows: types Typed (replacing the
  // selected text) and presses Enter, or presses Esc when Typed is null.
  // Shown receives the dialog's text as it opened and whether all of it was
  // selected.
  void AnswerDialog(const char* Typed, QString* Shown, bool* AllSelected, bool* Opened) {
    *Opened = false;
    OnEditValue(this, [=](TfmEditValue& d) {
      *Opened = true;
      *Shown = d.edValue->text();
      *AllSelected = d.edValue->selectedText() == d.edValue->text();
      if (Typed != nullptr) {
        if (*Typed == '\0') QTest::keyClick(d.edValue, Qt::Key_Delete);
        QTest::keyClicks(d.edValue, Typed);
        QTest::keyClick(d.edValue, Qt::Key_Return);
        // A text the variable's type refuses keeps the dialog open.
        if (d.isVisible()) QTest::keyClick(d.edValue, Qt::Key_Escape);
      } else {
        QTest::keyClick(d.edValue, Qt::Key_Escape);
      }
    });
  }
  // A double-click on a cell as the user makes it: press, release, then
  // the double-click event that stands for the second press.
  void DoubleClick(int Row, int Column) {
    QWidget* vp = Window_->vstConfig->viewport();
    const QPoint at = CellCenter(Row, Column);
    SendMouse(vp, QEvent::MouseButtonPress, at, Qt::LeftButton, Qt::LeftButton);
    SendMouse(vp, QEvent::MouseButtonRelease, at, Qt::LeftButton, Qt::NoButton);
    SendMouse(vp, QEvent::MouseButtonDblClick, at, Qt::LeftButton, Qt::LeftButton);
    SendMouse(vp, QEvent::MouseButtonRelease, at, Qt::LeftButton, Qt::NoButton);
  }

 private slots:
  void init() {
    Begin();
  }
  void cleanup() {
    End();
  }

  // --- System check ----------------------------------------------------------

  void statusCheckAsTheUserWatchesIt() {
    // 1000 answers fully, 1001 is unchecked, 1002 answers Autodetect and
    // then nothing more.
    StartSim(json::array({Controller(1000, "127.0.0.2", SpeedVars()), Controller(1001, "127.0.0.3", SpeedVars()),
                          Controller(1002, "127.0.0.4", SpeedVars())}));
    TfmMain& w = Open("[Variables]\nVar0=fan_speed\n", 0, 3);
    QVERIFY(Sim_->SetFaults(1002, sim::ParseFaults({{"silent", true}})));
    // The first controller answers a little late, so that the window is
    // repainted while its steps are under way (an answer that is back
    // before the wait begins leaves nothing to see).
    QVERIFY(Sim_->SetFaults(1000, sim::ParseFaults({{"delay_ms", 5}})));
    // The silent controller's clock runs ten times fast, so that its
    // time-outs pass quickly: the steps are what matters here.
    w.GetTavexList().Items(2)->Communicator->TickSource = [start = std::chrono::steady_clock::now()] {
      return static_cast<uint32_t>(
          std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::steady_clock::now() - start).count() / 100);
    };
    const QAbstractItemModel& sys = *w.vstSystem->model();

    // Before the first check: identity filled, status empty.
    for (int r = 0; r < 3; ++r) {
      QCOMPARE(Text(sys, r, 0), QString::number(r + 1));
      QCOMPARE(Text(sys, r, 1), QString::number(1000 + r));
      QCOMPARE(Text(sys, r, 2), QString("127.0.0.%1").arg(2 + r));
      for (int c = 3; c < 8; ++c) QVERIFY(Text(sys, r, c).isEmpty());
    }
    Click(*w.vstSystem->model(), 1, false);
    Sim_->ClearLog();

    // What the user sees whenever the window is repainted during the check.
    struct TSeen {
      int32_t Progress;
      std::vector<std::pair<int, int>> Red;
      QStringList Texts;  // the status texts of all rows
    };
    std::vector<TSeen> seen;
    QStringList faults;
    QTimer watch;
    watch.setInterval(0);
    connect(&watch, &QTimer::timeout, this, [&] {
      if (!w.IsBusy()) return;  // before the click, or after the end
      TSeen s{w.GetCheckProgress(), RedStatusCells(*w.vstSystem, &faults), {}};
      for (int r = 0; r < 3; ++r)
        for (int st = 0; st < 5; ++st) s.Texts << w.StatusText(r, st);
      if (seen.empty() || seen.back().Progress != s.Progress) seen.push_back(s);
    });
    watch.start();
    QTest::mouseClick(w.btnCheck, Qt::LeftButton);
    QVERIFY(Finished(w));
    watch.stop();

    QVERIFY2(faults.isEmpty(), qPrintable(faults.join("; ")));
    // Seen at least once in each checked row (a step whose answers all came
    // back before its wait began shows nothing in between).
    QVERIFY(seen.size() >= 2);
    int32_t last = -1;
    for (const TSeen& s : seen) {
      const int32_t p = s.Progress;
      QVERIFY2(p > last, "progress runs forward");
      last = p;
      QVERIFY2(p < 5 || p >= 10, "the unchecked row's steps are never under way");
      // Exactly the cell under way is red (none once the last step has
      // ended), and every finished cell of a shown row carries its text,
      // every later one none.
      if (p == 15) {
        QVERIFY(s.Red.empty());
      } else {
        QCOMPARE(s.Red.size(), size_t{1});
        QCOMPARE(s.Red[0], std::make_pair(p / 5, p % 5));
      }
      for (int cell = 0; cell < 15; ++cell) {
        const bool finished = cell < p && (cell < 5 || cell >= 10);
        QCOMPARE(!s.Texts[cell].isEmpty(), finished);
      }
    }
    // The marker went from row 1 straight into row 3.
    QVERIFY(std::any_of(seen.begin(), seen.end(), [](const TSeen& s) { return s.Progress < 5; }));
    QVERIFY(std::any_of(seen.begin(), seen.end(), [](const TSeen& s) { return s.Progress > 10; }));

    // At the end: nothing red, the results in place.
    QCOMPARE(w.GetCheckProgress(), -1);
    QVERIFY(RedStatusCells(*w.vstSystem).empty());
    const QStringList ok5 = {"ok", "ok", "ok", "ok", "ok"};
    QStringList row[3];
    for (int r = 0; r < 3; ++r)
      for (int c = 3; c < 8; ++c) row[r] << Text(sys, r, c);
    QCOMPARE(row[0], ok5);
    QCOMPARE(row[1], QStringList({"", "", "", "", ""}));
    QCOMPARE(row[2], QStringList({"ok", "error", "error", "error", "error"}));
    QVERIFY(!Sim_->Log().empty());
    for (const json& e : Sim_->Log()) QVERIFY(e.value("ip", "") != "127.0.0.3");
    // The silent controller is asked nothing after the ping it left
    // unanswered (sent as often as the transport tries).
    const std::vector<json> silent = Log(-1, "127.0.0.4");
    QVERIFY(!silent.empty());
    for (const json& e : silent) QCOMPARE(e.value("command", -1), silent[0].value("command", -2));
    QCOMPARE(w.lblProgress->text(), QString("Checked 2 controllers; 1002 did not answer."));
    QVERIFY(w.lblProgress->toolTip().contains("1002: PLC not responding! (no answer to "));

    // Unchecking hides a row's results; checking it again does not bring
    // them back before the next check.
    Click(*w.vstSystem->model(), 0, false);
    QVERIFY(Text(sys, 0, 3).isEmpty());
    Click(*w.vstSystem->model(), 0, true);
    QVERIFY(Text(sys, 0, 3).isEmpty());
  }

  void checkWithNoRowCheckedChangesNothing() {
    StartSim(json::array({Controller(1000, "127.0.0.2", SpeedVars())}));
    TfmMain& w = Open("[Variables]\nVar0=fan_speed\n", 0, 1);
    Click(*w.vstSystem->model(), 0, false);
    Sim_->ClearLog();
    w.btnCheckClick();
    QVERIFY(!w.IsBusy());  // nothing to check: over at once
    QCOMPARE(w.GetCheckProgress(), -1);
    QVERIFY(Sim_->Log().empty());
    for (int c = 3; c < 8; ++c) QVERIFY(Text(*w.vstSystem->model(), 0, c).isEmpty());
  }

  // A bad allocation line is its own controller's error: its "ALC file"
  // step fails, its run state is still asked, the check goes on with the
  // next controller, no error box opens, and the bottom bar names it.
  void badAllocationLineIsItsControllersErrorInTheCheck() {
    json bad = Controller(1001, "127.0.0.3");
    bad["alc_text"] = ";CPU Tavex-2 X\r\n0100 0 1 0 2 global word fan_speed\r\n; oops\r\n";
    StartSim(json::array({Controller(1000, "127.0.0.2", SpeedVars()), bad, Controller(1002, "127.0.0.4")}));
    TfmMain& w = Open("[Variables]\nVar0=fan_speed\n", 0, 3);
    QStringList errors;
    TApplication::ErrorDisplay = [&](const QString& Text) { errors << Text; };
    Sim_->ClearLog();
    QTest::mouseClick(w.btnCheck, Qt::LeftButton);
    QVERIFY(Finished(w));

    QVERIFY(errors.isEmpty());
    QCOMPARE(w.GetCheckProgress(), -1);
    QCOMPARE(w.GetCheckLimit(), -1);
    QVERIFY(RedStatusCells(*w.vstSystem).empty());
    const QAbstractItemModel& sys = *w.vstSystem->model();
    QStringList rows[3];
    for (int r = 0; r < 3; ++r)
      for (int c = 3; c < 8; ++c) rows[r] << Text(sys, r, c);
    QCOMPARE(rows[0], QStringList({"ok", "ok", "ok", "ok", "ok"}));
    QCOMPARE(rows[1], QStringList({"ok", "ok", "ok", "error", "ok"}));
    QCOMPARE(rows[2], QStringList({"ok", "ok", "ok", "ok", "ok"}));
    QCOMPARE(w.lblProgress->text(), QString("Checked 3 controllers; 1001: Error parsing ALC data on line 3: \"; oops\"."));
    QVERIFY(!w.IsBusy());
  }

  // --- Read ----------------------------------------------------------------------

  void readShowsValuesByTypeAndTheClock() {
    json vars = json::array({Var("flag", "bit", 1), Var("fan_speed", "word", 1450), Var("offset", "int", -40),
                             Var("total", "long", 100000), Var("ratio", "real", 0.1), Var("setpoint", "real", 21.5),
                             {{"name", "pump"}, {"type", "int"}, {"count", 3}, {"value", json::array({-5, 7, 9})}},
                             Var("t_on", "timer", 1234)});
    StartSim(json::array({Controller(1000, "127.0.0.2", vars), Controller(1001, "127.0.0.3", vars, {"rtc_sec"}),
                          Controller(1002, "127.0.0.4", vars, {"rtc_weekday"}), Controller(1003, "127.0.0.5", vars)}));
    TfmMain& w = Open(
        "[Variables]\nVar0=flag\nVar1=fan_speed\nVar2=offset\nVar3=total\nVar4=ratio\nVar5=setpoint\n"
        "Var6=pump[1]\nVar7=nosuch\nVar8=pump[7]\nVar9=t_on\n",
        1, 4);
    QAbstractItemModel& cfg = *w.vstConfig->model();
    Click(cfg, 3, false);  // Autodetect checked every row
    Sim_->ClearLog();
    QVERIFY(Read(w));

    // A real as the shortest text of its single; a timer, never read, as "?"
    // rather than a 0 the controller does not hold.
    const QStringList expected = {"1", "1450", "-40", "100000", "0.1", "21.5", "7", "?", "?", "?"};
    for (int r = 0; r < 3; ++r) {
      QStringList row;
      for (int c = 4; c < 14; ++c) row << Text(cfg, r, c);
      QCOMPARE(row, expected);
      for (int k = 0; k < 10; ++k) QVERIFY(!w.GetCells().At(r, k).Busy && !w.GetCells().At(r, k).Edited);
    }
    // The array element is requested by name and index, under its own key.
    bool elementAsked = false;
    for (const json& e : Log(51, "127.0.0.2"))
      for (const json& n : e.value("names", json::array())) elementAsked |= n == "pump[1]";
    QVERIFY(elementAsked);
    // Clock: shown when all six are there; the weekday is not needed to read it.
    QVERIFY2(Text(cfg, 0, 3).startsWith("2026-03-04  05:0"), qPrintable(Text(cfg, 0, 3)));
    QCOMPARE(Text(cfg, 0, 3).size(), 20);
    QVERIFY(Text(cfg, 1, 3).isEmpty());
    QVERIFY(Text(cfg, 2, 3).startsWith("2026-03-04  "));
    // The unchecked row: not asked, not changed.
    QVERIFY(Log(51, "127.0.0.5").empty());
    for (int c = 3; c < 13; ++c) QVERIFY(Text(cfg, 3, c).isEmpty());
    QVERIFY(Log(kWrite).empty());
  }

  // --- Feedback and Stop ------------------------------------------------------

  // While Read runs the buttons it would ignore are disabled, the grids
  // show the wait cursor, and each controller's value cells turn red
  // together when its exchange begins and get their texts together when it
  // returns: a slow controller's row is still red after a quick one's has
  // its values. The bottom bar counts the controllers.
  void readMarksEachControllersCellsBusyWhileItIsServed() {
    StartSim(json::array({Controller(1000, "127.0.0.2", SpeedVars()), Controller(1001, "127.0.0.3", SpeedVars()),
                          Controller(1002, "127.0.0.4", SpeedVars())}));
    TfmMain& w = Open("[Variables]\nVar0=fan_speed\nVar1=setpoint\nVar2=pump[0]\n", 1, 3);
    QAbstractItemModel& cfg = *w.vstConfig->model();
    QVERIFY(Sim_->SetFaults(1001, sim::ParseFaults({{"delay_ms", 60}})));
    struct TSeen {
      QStringList Texts;
      bool SlowBusyQuickDone = false;
      bool SlowRed = false, QuickRed = true;
      bool Partial = false;    // a row with some of its cells busy, not all
      bool AnyEnabled = false;  // of the buttons the operation would ignore
      bool CloseEnabled = true;
      bool WaitCursor = true;
      int Polls = 0;
    } seen;
    QTimer watch;
    watch.setInterval(0);
    connect(&watch, &QTimer::timeout, this, [&] {
      if (!w.IsBusy()) return;
      ++seen.Polls;
      for (QPushButton* b : {w.btnAutodetect, w.btnSetup, w.btnCheck, w.btnRead, w.btnWrite})
        seen.AnyEnabled |= b->isEnabled();
      seen.CloseEnabled &= w.btnClose->isEnabled();
      for (QTableView* g : {w.vstSystem, w.vstConfig})
        seen.WaitCursor &= g->viewport()->cursor().shape() == Qt::WaitCursor;
      if (seen.Texts.isEmpty() || seen.Texts.back() != w.lblProgress->text()) seen.Texts << w.lblProgress->text();
      for (int r = 0; r < 3; ++r) {
        int busy = 0;
        for (int k = 0; k < 3; ++k) busy += w.GetCells().At(r, k).Busy ? 1 : 0;
        seen.Partial |= busy != 0 && busy != 3;
      }
      if (!seen.SlowBusyQuickDone && w.GetCells().At(1, 0).Busy && !w.GetCells().At(0, 0).Busy &&
          Text(cfg, 0, 4) == "1450") {
        seen.SlowBusyQuickDone = true;
        // As painted: the slow row red, the quick one not.
        const QImage grid = w.vstConfig->viewport()->grab().toImage();
        auto red = [&](int Row) {
          const QRect rect = w.vstConfig->visualRect(cfg.index(Row, 5));
          return IsRed(grid.pixel(rect.right() - 1, rect.center().y()));
        };
        seen.SlowRed = red(1);
        seen.QuickRed = red(0);
      }
    });
    watch.start();
    QTest::mouseClick(w.btnRead, Qt::LeftButton);
    QVERIFY(Finished(w));
    watch.stop();

    QVERIFY(seen.Polls > 0);
    QVERIFY(!seen.AnyEnabled);
    QVERIFY(seen.CloseEnabled);
    QVERIFY(seen.WaitCursor);
    QVERIFY(!seen.Partial);
    QVERIFY(seen.SlowBusyQuickDone);
    QVERIFY(seen.SlowRed);
    QVERIFY(!seen.QuickRed);
    const QString texts = seen.Texts.join(" | ");
    QVERIFY2(seen.Texts.contains("Reading 1000: 2 of 3 controllers") ||
                 seen.Texts.contains("Reading 1002: 2 of 3 controllers"),
             qPrintable(texts));
    for (const QString& t : seen.Texts)
      QVERIFY2(QRegularExpression("^Reading( 100[0-2])?: [0-3] of 3 controllers$").match(t).hasMatch(),
               qPrintable(texts));
    QCOMPARE(w.lblProgress->text(), QString("Read 3 controllers."));
    for (int r = 0; r < 3; ++r) {
      QStringList row;
      for (int c = 4; c < 7; ++c) row << Text(cfg, r, c);
      QCOMPARE(row, QStringList({"1450", "21.5", "-5"}));
      QVERIFY(Text(cfg, r, 3).startsWith("2026-03-04  "));
      for (int k = 0; k < 3; ++k) QVERIFY(!w.GetCells().At(r, k).Busy);
    }
    for (QPushButton* b : {w.btnAutodetect, w.btnSetup, w.btnCheck, w.btnRead, w.btnWrite, w.btnClose})
      QVERIFY2(b->isEnabled(), qPrintable(b->objectName()));
    for (QTableView* g : {w.vstSystem, w.vstConfig}) QVERIFY(!g->viewport()->testAttribute(Qt::WA_SetCursor));
  }

  // Esc while every controller waits for an answer: the requests in flight
  // are abandoned rather than waited out or sent again, nothing more is
  // sent, and the cells keep what they showed (an edit too). Each request
  // here would wait 30 s, three times.
  void escAbandonsTheRequestsInFlightAndSendsNothingMore() {
    StartSim(json::array({Controller(1000, "127.0.0.2", SpeedVars()), Controller(1001, "127.0.0.3", SpeedVars()),
                          Controller(1002, "127.0.0.4", SpeedVars())}));
    TfmMain& w = Open("[Variables]\nVar0=fan_speed\nVar1=setpoint\nVar2=pump[0]\n", 1, 3);
    QAbstractItemModel& cfg = *w.vstConfig->model();
    QVERIFY(Read(w));
    QString shown;
    bool all = false, opened = false;
    AnswerDialog("12", &shown, &all, &opened);
    DoubleClick(1, 6);
    QVERIFY(opened);
    const QString clock = Text(cfg, 1, 3);
    for (uint32_t nad : {1000u, 1001u, 1002u}) QVERIFY(Sim_->SetFaults(nad, sim::ParseFaults({{"silent", true}})));
    for (int r = 0; r < 3; ++r) SetTransport(*w.GetTavexList().Items(r), 30000, 3);
    w.activateWindow();  // Esc goes to the active window
    QVERIFY(QTest::qWaitForWindowActive(&w));
    Sim_->ClearLog();

    w.btnReadClick();
    QVERIFY(Sim_->WaitForLog(3, std::chrono::seconds(10)));  // one request each, unanswered
    QTRY_VERIFY(w.GetCells().At(0, 0).Busy && w.GetCells().At(1, 0).Busy && w.GetCells().At(2, 0).Busy);
    QTest::keyClick(&w, Qt::Key_Escape);
    QVERIFY(w.IsStopRequested());
    QVERIFY(Finished(w));
    QCOMPARE(Sim_->LogSize(), size_t{3});
    QCOMPARE(w.lblProgress->text(), QString("Read stopped after 0 of 3 controllers."));
    QStringList row1;
    for (int c = 4; c < 7; ++c) row1 << Text(cfg, 1, c);
    QCOMPARE(row1, QStringList({"1450", "21.5", "12"}));
    QVERIFY(w.GetCells().At(1, 2).Edited);
    QCOMPARE(Text(cfg, 1, 3), clock);
    for (int r = 0; r < 3; ++r)
      for (int k = 0; k < 3; ++k) QVERIFY(!w.GetCells().At(r, k).Busy);
    QVERIFY(!w.IsBusy());

    // The next Read asks every controller again.
    for (uint32_t nad : {1000u, 1001u, 1002u}) QVERIFY(Sim_->SetFaults(nad, sim::ParseFaults(json::object())));
    for (int r = 0; r < 3; ++r) SetTransport(*w.GetTavexList().Items(r), 500, 3);
    QVERIFY(Read(w));
    QCOMPARE(Text(cfg, 1, 6), QString("-5"));
    QVERIFY(!w.GetCells().At(1, 2).Edited);
    QCOMPARE(w.lblProgress->text(), QString("Read 3 controllers."));
  }

  // A controller that does not answer is given up after its first
  // unanswered request: every cell of it shows "?" and nothing more is sent
  // to it; the others are read; the bottom bar names it and why. The next
  // operation asks it again.
  void readSkipsTheRemainingCellsOfAControllerThatDidNotAnswer() {
    StartSim(json::array({Controller(1000, "127.0.0.2", SpeedVars()), Controller(1001, "127.0.0.3", SpeedVars())}));
    TfmMain& w = Open("[Variables]\nVar0=fan_speed\nVar1=setpoint\nVar2=pump[0]\nVar3=pump[1]\n", 1, 2);
    QAbstractItemModel& cfg = *w.vstConfig->model();
    QVERIFY(Sim_->SetFaults(1000, sim::ParseFaults({{"silent", true}})));
    w.GetTavexList().Items(0)->Communicator->TickSource = [start = std::chrono::steady_clock::now()] {
      return static_cast<uint32_t>(
          std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::steady_clock::now() - start).count() / 100);
    };
    for (int run = 0; run < 2; ++run) {
      Sim_->ClearLog();
      QVERIFY(Read(w));
      QStringList row0, row1;
      for (int c = 4; c < 8; ++c) row0 << Text(cfg, 0, c);
      for (int c = 4; c < 8; ++c) row1 << Text(cfg, 1, c);
      QCOMPARE(row0, QStringList({"?", "?", "?", "?"}));
      QCOMPARE(row1, QStringList({"1450", "21.5", "-5", "7"}));
      QVERIFY(Text(cfg, 0, 3).isEmpty());
      QVERIFY(!Text(cfg, 1, 3).isEmpty());
      // To the silent controller: one ping and its retries, then nothing.
      const std::vector<json> toSilent = Log(-1, "127.0.0.2");
      QVERIFY(!Log(16, "127.0.0.2").empty());
      QCOMPARE(Log(16, "127.0.0.2").size(), toSilent.size());
      QVERIFY(toSilent.size() <= 3);
      QCOMPARE(w.lblProgress->text(), QString("Read 1 of 2 controllers; 1000 did not answer."));
      QVERIFY(w.lblProgress->toolTip().contains("1000: PLC not responding! (ping: no answer to 3 attempts of 500 ms)"));
    }
  }

  // A direct connection binds its fixed port: the first controller's record
  // holds it, so the second one's socket cannot be opened (such controllers
  // are served one after the other). Its cells show "?" and the bottom bar
  // tells why.
  void directConnectionWithTwoControllersCannotOpenTheSecondSocket() {
    StartSim(json::array({Controller(1000, "127.0.0.2", SpeedVars()), Controller(1001, "127.0.0.3", SpeedVars())}));
    TfmMain& w = Open("[Variables]\nVar0=fan_speed\nVar1=setpoint\n", 1, 2);
    for (int i = 0; i < 2; ++i) w.GetTavexList().Items(i)->SetDirectConnection(true);
    Sim_->ClearLog();
    QVERIFY(Read(w));
    const QAbstractItemModel& cfg = *w.vstConfig->model();
    QCOMPARE(Text(cfg, 0, 4), QString("1450"));
    QCOMPARE(Text(cfg, 1, 4), QString("?"));
    QCOMPARE(Text(cfg, 1, 5), QString("?"));
    QVERIFY(!w.GetTavexList().Items(1)->SocketOpen);
    QCOMPARE(w.lblProgress->text(), QString("Read 1 of 2 controllers; 1001: cannot open a socket on adapter lo."));
    // Nothing was sent for the second record (every broadcast is the first one's).
    for (const json& e : Sim_->Log()) QCOMPARE(e.value("dest_nad", 0), 1000);
  }

  // Close while Read waits on a silent controller: Read stops, the request
  // in flight abandoned, and then the window closes.
  void closeStopsTheOperationAndThenCloses() {
    StartSim(json::array({Controller(1000, "127.0.0.2", SpeedVars(), {}), Controller(1001, "127.0.0.3", SpeedVars())}));
    TfmMain& w = Open("[Variables]\nVar0=fan_speed\nVar1=setpoint\n", 1, 2);
    QVERIFY(Sim_->SetFaults(1000, sim::ParseFaults({{"silent", true}})));
    SetTransport(*w.GetTavexList().Items(0), 30000, 3);
    Sim_->ClearLog();
    w.btnReadClick();
    QVERIFY(Sim_->WaitForLog(1, std::chrono::seconds(10)));
    QTRY_VERIFY(w.GetCells().At(0, 0).Busy);
    QTest::mouseClick(w.btnClose, Qt::LeftButton);
    QVERIFY(w.IsStopRequested());
    QVERIFY(w.isVisible());
    QVERIFY(Finished(w));
    // Nothing was read from it: the cells keep their (empty) texts.
    QVERIFY(Text(*w.vstConfig->model(), 0, 4).isEmpty());
    QVERIFY(!w.GetCells().At(0, 0).Busy);
    QCOMPARE(Log(-1, "127.0.0.2").size(), size_t{1});
    QTRY_VERIFY(!w.isVisible());
  }

  // Esc during the status check: the results so far stay, the steps not
  // run show nothing (also those of an earlier check), nothing is red.
  void escStopsTheStatusCheck() {
    StartSim(json::array({Controller(1000, "127.0.0.2", SpeedVars()), Controller(1001, "127.0.0.3", SpeedVars()),
                          Controller(1002, "127.0.0.4", SpeedVars())}));
    TfmMain& w = Open("[Variables]\nVar0=fan_speed\n", 0, 3);
    w.activateWindow();
    QVERIFY(QTest::qWaitForWindowActive(&w));
    QVERIFY(Check(w));
    const QAbstractItemModel& sys = *w.vstSystem->model();
    QCOMPARE(Text(sys, 2, 7), QString("ok"));
    // Answers that take a moment, so that the window sees each step under way.
    QVERIFY(Sim_->SetFaults(1001, sim::ParseFaults({{"delay_ms", 30}})));
    Sim_->ClearLog();
    QTimer watch;
    watch.setInterval(0);
    connect(&watch, &QTimer::timeout, this, [&] {
      if (w.GetCheckProgress() == 7 && !w.IsStopRequested()) QTest::keyClick(&w, Qt::Key_Escape);
    });
    watch.start();
    QTest::mouseClick(w.btnCheck, Qt::LeftButton);
    QVERIFY(Finished(w));
    watch.stop();
    QVERIFY(w.IsStopRequested());
    QCOMPARE(w.GetCheckProgress(), -1);
    // Stopped at once: step 2 of row 1, under way, is not run (its request,
    // if it went out, is abandoned).
    QCOMPARE(w.GetCheckLimit(), 7);
    QStringList row1, row2;
    for (int c = 3; c < 8; ++c) row1 << Text(sys, 1, c);
    for (int c = 3; c < 8; ++c) row2 << Text(sys, 2, c);
    QCOMPARE(row1, QStringList({"ok", "ok", "", "", ""}));
    QCOMPARE(row2, QStringList({"", "", "", "", ""}));
    QVERIFY(RedStatusCells(*w.vstSystem).empty());
    QCOMPARE(w.lblProgress->text(), QString("Status check stopped after 7 of 15."));
    for (const json& e : Sim_->Log()) QVERIFY(e.value("ip", "") != "127.0.0.4");
    // Row 1 got its ping and at most the program request then in flight.
    QVERIFY(Log(-1, "127.0.0.3").size() <= 2);
    QVERIFY(!w.GetTavexList().Items(1)->Communicator->IsActive());
    QVERIFY(w.GetTavexList().Items(1)->Communicator->StopFlag == nullptr);
    // The next check shows everything again.
    QVERIFY(Check(w));
    QCOMPARE(Text(sys, 2, 7), QString("ok"));
    QCOMPARE(w.GetCheckLimit(), -1);
  }

  // Close, or the window's end, while a controller leaves the check's ping
  // unanswered (for longer than the test waits): the wait is abandoned at
  // once, nothing more is sent, and the window closes after the check.
  void closeDuringTheCheckStopsIt_data() {
    QTest::addColumn<bool>("destroy");
    QTest::newRow("close") << false;
    QTest::newRow("destroy") << true;
  }
  void closeDuringTheCheckStopsIt() {
    QFETCH(bool, destroy);
    StartSim(json::array({Controller(1000, "127.0.0.2", SpeedVars()), Controller(1001, "127.0.0.3", SpeedVars())}));
    TfmMain& w = Open("[Variables]\nVar0=fan_speed\n", 0, 2);
    QVERIFY(Sim_->SetFaults(1000, sim::ParseFaults({{"silent", true}})));
    for (int r = 0; r < 2; ++r) SetTransport(*w.GetTavexList().Items(r), 60000, 3);
    Sim_->ClearLog();
    w.btnCheckClick();
    QVERIFY(Sim_->WaitForLog(1, std::chrono::seconds(10)));  // the ping is out
    if (destroy) {
      EditValue_.reset();  // the window's child
      Window_.reset();     // stops the check and waits for it
      QCOMPARE(Sim_->LogSize(), size_t{1});
      return;
    }
    w.close();
    QVERIFY(w.isVisible());  // until the check has ended
    QTRY_VERIFY_WITH_TIMEOUT(!w.isVisible(), 10000);
    QVERIFY(!w.IsBusy());
    QCOMPARE(Sim_->LogSize(), size_t{1});  // no retry, nothing to the second controller
    const QAbstractItemModel& sys = *w.vstSystem->model();
    QStringList row0, row1;
    for (int c = 3; c < 8; ++c) row0 << Text(sys, 0, c);
    for (int c = 3; c < 8; ++c) row1 << Text(sys, 1, c);
    QCOMPARE(row0, QStringList({"ok", "", "", "", ""}));
    QCOMPARE(row1, QStringList({"", "", "", "", ""}));
    QCOMPARE(w.GetCheckLimit(), 1);
    QCOMPARE(w.lblProgress->text(), QString("Status check stopped after 1 of 10."));
  }

  // --- Selection and editing -------------------------------------------------

  void mouseSelectsOneCellAndDragMovesIt() {
    StartSim(json::array({Controller(1000, "127.0.0.2", SpeedVars()), Controller(1001, "127.0.0.3", SpeedVars())}));
    TfmMain& w = Open("[Variables]\nVar0=fan_speed\nVar1=setpoint\nVar2=pump[0]\n", 1, 2);
    QWidget* vp = w.vstConfig->viewport();

    Press(0, 4);
    QVERIFY(w.GetSelection().IsSelected(0, 4));
    QVERIFY(w.IsDragging());
    // Dragging with the button held: the highlight follows the pointer, the
    // pressed cell stays the one remembered.
    SendMouse(vp, QEvent::MouseMove, CellCenter(1, 5), Qt::NoButton, Qt::LeftButton);
    QVERIFY(w.GetSelection().IsSelected(1, 5));
    QVERIFY(!w.GetSelection().IsSelected(0, 4));
    QCOMPARE(w.GetSelectedRow(), 0);
    QCOMPARE(w.GetSelectedColumn(), 4);
    Release(CellCenter(1, 5));
    QVERIFY(!w.IsDragging());
    SendMouse(vp, QEvent::MouseMove, CellCenter(1, 6), Qt::NoButton, Qt::NoButton);
    QVERIFY(w.GetSelection().IsSelected(1, 5));

    // The right button changes nothing.
    Press(0, 6, Qt::RightButton);
    QVERIFY(w.GetSelection().IsSelected(1, 5));
    // A press on a fixed column moves the selection there, where it is not drawn.
    Press(1, 2);
    QVERIFY(w.GetSelection().IsSelected(1, 2));
    QVERIFY(!w.ConfigGrid()->IsMarked(1, 2));
    Release(CellCenter(1, 2));
    // A press below the last row clears it.
    const QPoint below(5, w.vstConfig->visualRect(w.vstConfig->model()->index(1, 0)).bottom() + 20);
    QVERIFY(vp->rect().contains(below));
    SendMouse(vp, QEvent::MouseButtonPress, below, Qt::LeftButton, Qt::LeftButton);
    QVERIFY(w.GetSelection().IsEmpty());
    Release(below);
  }

  void cellAtCountsTheScrolledWidth() {
    StartSim(json::array({Controller(1000, "127.0.0.2", SpeedVars())}));
    std::string ini = "[Variables]\n";
    for (int k = 0; k < 40; ++k) ini += "Var" + std::to_string(k) + "=fan_speed\n";
    TfmMain& w = Open(ini, 1, 1);
    QScrollBar* bar = w.vstConfig->horizontalScrollBar();
    for (int step : {0, 1, 2}) {
      bar->setValue(bar->maximum() * step / 2);
      QCoreApplication::processEvents();
      for (int x = 0; x < w.vstConfig->viewport()->width(); x += 7) {
        const QPoint at(x, 3);
        int row = -1, column = -1;
        QVERIFY(w.ConfigGrid()->CellAt(at, row, column));
        QCOMPARE(row, 0);
        QCOMPARE(column, w.vstConfig->columnAt(x));
      }
    }
    int row = 0, column = 0;
    QVERIFY(!w.ConfigGrid()->CellAt(QPoint(3, w.vstConfig->viewport()->height() - 2), row, column));
  }

  void focusNeverRestsOnTheCheckBoxColumn() {
    StartSim(json::array({Controller(1000, "127.0.0.2", SpeedVars())}));
    TfmMain& w = Open("[Variables]\nVar0=fan_speed\n", 1, 1);
    QVERIFY(!TConfigGridView::FocusChanging(0));
    QVERIFY(TConfigGridView::FocusChanging(1));
    w.vstConfig->setCurrentIndex(w.vstConfig->model()->index(0, 0));
    QVERIFY(w.vstConfig->currentIndex().column() > 0);
    // The space bar still toggles the focused row's check box.
    const auto checked = [&] {
      return w.vstConfig->model()->index(0, 0).data(Qt::CheckStateRole).toInt() == Qt::Checked;
    };
    const bool before = checked();
    w.vstConfig->setFocus();
    QTest::keyClick(w.vstConfig, Qt::Key_Space);
    QCOMPARE(checked(), !before);
    QTest::keyClick(w.vstConfig, Qt::Key_Space);
    QCOMPARE(checked(), before);
  }

  // The keyboard moves the one selected cell, the same the mouse sets and
  // Edit Value opens on, with the grid's focus; Enter and F2 edit it.
  void keyboardMovesTheSelectedCellAndEdits() {
    StartSim(json::array({Controller(1000, "127.0.0.2", SpeedVars()), Controller(1001, "127.0.0.3", SpeedVars()),
                          Controller(1002, "127.0.0.4", SpeedVars())}));
    TfmMain& w = Open("[Variables]\nVar0=fan_speed\nVar1=setpoint\nVar2=pump[0]\n", 1, 3);
    QVERIFY(Read(w));
    w.activateWindow();
    QVERIFY(QTest::qWaitForWindowActive(&w));
    w.vstConfig->setFocus();
    auto at = [&](int Row, int Column) {
      return w.GetSelection().IsSelected(Row, Column) && w.GetSelectedRow() == Row &&
             w.GetSelectedColumn() == Column && w.vstConfig->currentIndex() == w.vstConfig->model()->index(Row, Column);
    };
    // The first key selects the first value cell.
    QTest::keyClick(w.vstConfig, Qt::Key_Down);
    QVERIFY(at(0, 4));
    struct TStep {
      Qt::Key Key;
      Qt::KeyboardModifiers Mods;
      int Row, Column;
    };
    const TStep steps[] = {{Qt::Key_Right, Qt::NoModifier, 0, 5},   {Qt::Key_Down, Qt::NoModifier, 1, 5},
                           {Qt::Key_End, Qt::NoModifier, 1, 6},     {Qt::Key_Right, Qt::NoModifier, 1, 6},
                           {Qt::Key_Home, Qt::NoModifier, 1, 1},    {Qt::Key_Left, Qt::NoModifier, 1, 1},
                           {Qt::Key_PageDown, Qt::NoModifier, 2, 1}, {Qt::Key_Down, Qt::NoModifier, 2, 1},
                           {Qt::Key_PageUp, Qt::NoModifier, 0, 1},  {Qt::Key_End, Qt::ControlModifier, 2, 6},
                           {Qt::Key_Home, Qt::ControlModifier, 0, 1}, {Qt::Key_Right, Qt::NoModifier, 0, 2}};
    for (const TStep& st : steps) {
      QTest::keyClick(w.vstConfig, st.Key, st.Mods);
      QVERIFY2(at(st.Row, st.Column), qPrintable(QString("key %1 -> %2/%3, selected %4/%5")
                                                     .arg(st.Key, 0, 16)
                                                     .arg(st.Row)
                                                     .arg(st.Column)
                                                     .arg(w.GetSelection().Row())
                                                     .arg(w.GetSelection().Column())));
    }
    // A press moves it, and the keys go on from there.
    Press(1, 4);
    Release(CellCenter(1, 4));
    QTest::keyClick(w.vstConfig, Qt::Key_Right);
    QVERIFY(at(1, 5));

    // Enter and F2 open Edit Value on a value cell, nothing on a fixed one.
    QString shown;
    bool all = false, opened = false;
    AnswerDialog("22", &shown, &all, &opened);
    QTest::keyClick(w.vstConfig, Qt::Key_Return);
    QVERIFY(opened);
    QCOMPARE(shown, QString("21.5"));
    QCOMPARE(Text(*w.vstConfig->model(), 1, 5), QString("22"));
    QVERIFY(w.GetCells().At(1, 1).Edited);
    QTest::keyClick(w.vstConfig, Qt::Key_Right);
    AnswerDialog(nullptr, &shown, &all, &opened);
    QTest::keyClick(w.vstConfig, Qt::Key_F2);
    QVERIFY(opened);
    QCOMPARE(shown, QString("-5"));
    QTest::keyClick(w.vstConfig, Qt::Key_Home);
    AnswerDialog(nullptr, &shown, &all, &opened);
    QTest::keyClick(w.vstConfig, Qt::Key_Enter);
    QCoreApplication::processEvents();
    QVERIFY(!opened);

  }

  // The space bar toggles the row's check box from any column, on both pages.
  void spaceTogglesTheRowOnBothPages() {
    StartSim(json::array({Controller(1000, "127.0.0.2", SpeedVars()), Controller(1001, "127.0.0.3", SpeedVars())}));
    TfmMain& w = Open("[Variables]\nVar0=fan_speed\n", 0, 2);
    for (QTableView* grid : {w.vstSystem, w.vstConfig}) {
      w.PageControl1->setCurrentWidget(grid == w.vstSystem ? w.pgSystem : w.pgConfig);
      QCoreApplication::processEvents();
      QAbstractItemModel& m = *grid->model();
      for (int column : {0, 1, 3}) {
        grid->setFocus();
        grid->setCurrentIndex(m.index(1, column));
        if (grid == w.vstConfig) {
          Press(1, column);
          Release(CellCenter(1, column));
        }
        const bool before = m.index(1, 0).data(Qt::CheckStateRole).toInt() == Qt::Checked;
        QTest::keyClick(grid, Qt::Key_Space);
        QVERIFY2((m.index(1, 0).data(Qt::CheckStateRole).toInt() == Qt::Checked) == !before,
                 qPrintable(QString("%1, column %2").arg(grid->objectName()).arg(column)));
        QVERIFY(m.index(0, 0).data(Qt::CheckStateRole).toInt() == Qt::Checked);  // the other row stays
      }
    }
    // Tab leaves the grid for the page's buttons (not from cell to cell).
    w.show();
    w.activateWindow();
    QVERIFY(QTest::qWaitForWindowActive(&w));
    w.vstConfig->setFocus();
    QVERIFY(w.vstConfig->hasFocus());
    QTest::keyClick(w.vstConfig, Qt::Key_Tab);
    QWidget* focus = QApplication::focusWidget();
    QVERIFY2(focus == w.btnRead, focus != nullptr ? qPrintable(focus->objectName()) : "none");
  }

  void doubleClickEditsValueCellsOnly() {
    StartSim(json::array({Controller(1000, "127.0.0.2", SpeedVars())}));
    TfmMain& w = Open("[Variables]\nVar0=fan_speed\nVar1=setpoint\n", 1, 1);
    Click(*w.vstConfig->model(), 0, true);
    QVERIFY(Read(w));
    const QAbstractItemModel& cfg = *w.vstConfig->model();
    QCOMPARE(Text(cfg, 0, 4), QString("1450"));

    // The fixed columns open nothing.
    for (int c = 0; c < 4; ++c) {
      QString shown;
      bool all = false, opened = false;
      AnswerDialog(nullptr, &shown, &all, &opened);
      DoubleClick(0, c);
      QCoreApplication::processEvents();
      QVERIFY2(!opened, qPrintable(QString("column %1").arg(c)));
    }

    // OK: the text as typed, marked as edited; the dialog opened with the
    // cell's text, all of it selected.
    QString shown;
    bool all = false, opened = false;
    AnswerDialog(" 1600", &shown, &all, &opened);
    DoubleClick(0, 4);
    QVERIFY(opened);
    QCOMPARE(shown, QString("1450"));
    QVERIFY(all);
    QCOMPARE(Text(cfg, 0, 4), QString(" 1600"));
    QVERIFY(w.GetCells().At(0, 0).Edited);
    QVERIFY(!w.GetSkipMouseDown());
    QVERIFY(w.GetSelection().IsSelected(0, 4));
    // The edited text is blue; selected, the cell is drawn in the highlight
    // colours over it; once the selection moves on, blue shows.
    QCOMPARE(RoleColor(cfg, 0, 4, Qt::ForegroundRole), QColor(0, 0, 255));
    QVERIFY(w.ConfigGrid()->IsMarked(0, 4));
    QCoreApplication::processEvents();
    QCOMPARE(BluePixels(w.vstConfig->viewport()->grab().toImage(), w.vstConfig->visualRect(cfg.index(0, 4))), 0);
    Press(0, 5);
    Release(CellCenter(0, 5));
    QVERIFY(!w.ConfigGrid()->IsMarked(0, 4));
    QVERIFY(w.ConfigGrid()->IsMarked(0, 5));
    QCOMPARE(RoleColor(cfg, 0, 4, Qt::ForegroundRole), QColor(0, 0, 255));
    QVERIFY(!RoleColor(cfg, 0, 5, Qt::ForegroundRole).isValid());
    QCoreApplication::processEvents();
    const QImage image = w.vstConfig->viewport()->grab().toImage();
    QVERIFY(BluePixels(image, w.vstConfig->visualRect(cfg.index(0, 4))) > 5);
    QCOMPARE(BluePixels(image, w.vstConfig->visualRect(cfg.index(0, 1))), 0);

    // Cancel: text and mark as they were.
    AnswerDialog(nullptr, &shown, &all, &opened);
    DoubleClick(0, 5);
    QVERIFY(opened);
    QCOMPARE(shown, QString("21.5"));
    QCOMPARE(Text(cfg, 0, 5), QString("21.5"));
    QVERIFY(!w.GetCells().At(0, 1).Edited);

    // An empty text confirmed with OK is an empty cell.
    AnswerDialog("", &shown, &all, &opened);
    DoubleClick(0, 5);
    QVERIFY(opened);
    QVERIFY(Text(cfg, 0, 5).isEmpty());
    QVERIFY(w.GetCells().At(0, 1).Edited);
  }

  // A value its column cuts shows its whole text as a tooltip; one that
  // fits shows none.
  void cutCellsShowTheirWholeTextAsTooltip() {
    StartSim(json::array({Controller(1000, "127.0.0.2", json::array({Var("ratio", "real", -1.2345679e-20), Var("fan_speed", "word", 1450)}))}));
    TfmMain& w = Open("[Variables]\nVar0=ratio\nVar1=fan_speed\n", 1, 1);
    QVERIFY(Read(w));
    QCOMPARE(Text(*w.vstConfig->model(), 0, 4), QString("-1.2345679E-20"));
    // The columns fit their values after a Read: the user narrows this one.
    w.vstConfig->horizontalHeader()->resizeSection(4, 40);
    auto tip = [&](int Column) {
      QToolTip::hideText();
      (void)QTest::qWaitFor([] { return !QToolTip::isVisible(); }, 2000);
      const QPoint at = CellCenter(0, Column);
      QHelpEvent e(QEvent::ToolTip, at, w.vstConfig->viewport()->mapToGlobal(at));
      QApplication::sendEvent(w.vstConfig->viewport(), &e);
      return QToolTip::isVisible() ? QToolTip::text() : QString();
    };
    QCOMPARE(tip(4), QString("-1.2345679E-20"));
    QCOMPARE(tip(5), QString());
    QCOMPARE(tip(1), QString());
    w.vstConfig->horizontalHeader()->resizeSection(4, 400);
    QCOMPARE(tip(4), QString());
    QToolTip::hideText();
  }

  void cellColours() {
    // A silent controller keeps its cells busy while Read waits for it.
    StartSim(json::array({Controller(1000, "127.0.0.2", SpeedVars())}));
    TfmMain& w = Open("[Variables]\nVar0=fan_speed\nVar1=setpoint\n", 1, 1);
    QVERIFY(Sim_->SetFaults(1000, sim::ParseFaults({{"silent", true}})));
    SetTransport(*w.GetTavexList().Items(0), 30000, 3);
    const QAbstractItemModel& cfg = *w.vstConfig->model();
    // A busy value cell's background is red; no other cell has one.
    QVERIFY(!RoleColor(cfg, 0, 4, Qt::BackgroundRole).isValid());
    Click(*w.vstConfig->model(), 0, true);
    QTest::mouseClick(w.btnRead, Qt::LeftButton);
    QTRY_VERIFY(w.GetCells().At(0, 0).Busy);
    QCOMPARE(RoleColor(cfg, 0, 4, Qt::BackgroundRole), kRed);
    QCOMPARE(RoleColor(cfg, 0, 5, Qt::BackgroundRole), kRed);
    for (int c = 0; c < 4; ++c) QVERIFY(!RoleColor(cfg, 0, c, Qt::BackgroundRole).isValid());  // fixed columns never
    // In the grid itself: red over the whole cell up to the grid line, which
    // stays as it is.
    QCoreApplication::processEvents();
    {
      const QImage grid = w.vstConfig->viewport()->grab().toImage();
      const QRect rect = w.vstConfig->visualRect(w.vstConfig->model()->index(0, 4));
      const int y = rect.center().y();
      QCOMPARE(grid.pixelColor(rect.right(), y), kRed);
      QVERIFY(grid.pixelColor(rect.right() + 1, y) != kRed);
      const QRect left = w.vstConfig->visualRect(w.vstConfig->model()->index(0, 3));
      QCOMPARE(grid.pixelColor(rect.right() + 1, y), grid.pixelColor(left.right() + 1, y));  // a grid line
    }
    // The selection is drawn over it in the highlight colour, from edge to edge.
    Press(0, 4);
    QCoreApplication::processEvents();
    {
      const QImage grid = w.vstConfig->viewport()->grab().toImage();
      const QRect rect = w.vstConfig->visualRect(cfg.index(0, 4));
      const QColor highlight = w.vstConfig->palette().color(QPalette::Highlight);
      QCOMPARE(grid.pixelColor(rect.left(), rect.center().y()), highlight);
      QCOMPARE(grid.pixelColor(rect.right(), rect.center().y()), highlight);
      QCOMPARE(grid.pixelColor(rect.center().x(), rect.top()), highlight);
    }
    QCOMPARE(RoleColor(cfg, 0, 4, Qt::BackgroundRole), kRed);
    w.StopOperation();
    QVERIFY(Finished(w));
    QVERIFY(!w.GetCells().At(0, 0).Busy);
    QVERIFY(!RoleColor(cfg, 0, 4, Qt::BackgroundRole).isValid());
  }

  // --- Write -----------------------------------------------------------------------

  void writeSendsEveryCellAndReadsItBack() {
    StartSim(json::array({Controller(1000, "127.0.0.2", SpeedVars()), Controller(1001, "127.0.0.3", SpeedVars())}));
    TfmMain& w = Open("[Variables]\nVar0=fan_speed\nVar1=setpoint\nVar2=pump[2]\nVar3=nosuch\n", 1, 2);
    QAbstractItemModel& cfg = *w.vstConfig->model();
    Click(cfg, 1, false);  // Autodetect checked every row
    QVERIFY(Read(w));

    QString shown;
    bool all = false, opened = false;
    AnswerDialog("1600", &shown, &all, &opened);
    DoubleClick(0, 4);
    QVERIFY(opened);
    Sim_->ClearLog();
    w.cbSyncRTC->setChecked(false);
    QVERIFY(Write(w));

    // Every cell is written with its text, edited or not, all in one write;
    // "?" and unknown entries are not written.
    const auto writes = Writes("127.0.0.2");
    QCOMPARE(writes.size(), size_t{1});
    // A real travels as the bits of its single-precision value.
    QCOMPARE(writes[0], (std::map<std::string, double>{{"fan_speed", 1600},
                                                       {"setpoint", std::bit_cast<uint32_t>(21.5f)},
                                                       {"pump[2]", 9}}));
    QCOMPARE(Sim_->ReadVarValue(1000, "fan_speed"), std::optional<double>(1600));
    QCOMPARE(Text(cfg, 0, 4), QString("1600"));
    QCOMPARE(Text(cfg, 0, 7), QString("?"));
    for (int k = 0; k < 4; ++k) QVERIFY(!w.GetCells().At(0, k).Edited && !w.GetCells().At(0, k).Busy);
    Press(0, 1);  // the selection off the cell: its text in the normal colour
    Release(CellCenter(0, 1));
    QVERIFY(!w.ConfigGrid()->IsMarked(0, 4));
    QVERIFY(!RoleColor(cfg, 0, 4, Qt::ForegroundRole).isValid());
    // Without "Synchronize" the clock is only read.
    QVERIFY(Text(cfg, 0, 3).startsWith("2026-03-04  "));
    // The unchecked controller: neither written nor read.
    QVERIFY(Sim_->Log().size() > 0);
    for (const json& e : Sim_->Log()) QVERIFY(e.value("ip", "") != "127.0.0.3");

    // A text its type does not take never reaches the cell once the type
    // is known: the dialog keeps it (test_ui_edits writes one typed before
    // the type was known).
    AnswerDialog("fast", &shown, &all, &opened);
    DoubleClick(0, 4);
    QVERIFY(opened);
    QCOMPARE(Text(cfg, 0, 4), QString("1600"));
    QVERIFY(!w.GetCells().At(0, 0).Edited);
  }

  // Every value written goes to the journal, with what the controller held
  // before; a journal that cannot be written is said loudly, and the write
  // itself is not undone.
  void writeIsJournalled() {
    StartSim(json::array({Controller(1000, "127.0.0.2", SpeedVars())}));
    TfmMain& w = Open("[Variables]\nVar0=fan_speed\n", 1, 1);
    QVERIFY(Read(w));
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QByteArray saved = qgetenv("TAVEX_JOURNAL");
    struct TRestore {
      QByteArray Value;
      ~TRestore() { qputenv("TAVEX_JOURNAL", Value); }
    } restore{saved};
    const std::string path = dir.filePath("journal").toStdString();
    qputenv("TAVEX_JOURNAL", QByteArray::fromStdString(path));
    QStringList errors;
    QString shown;
    bool all = false, opened = false;
    TApplication::ErrorDisplay = [&](const QString& Text) { errors << Text; };
    QVERIFY(Sim_->WriteVarRaw(1000, "fan_speed", 0, 1500));  // changed behind the grid's back
    AnswerDialog("1600", &shown, &all, &opened);
    DoubleClick(0, 4);
    QVERIFY(opened);
    w.cbSyncRTC->setChecked(false);
    QVERIFY(Write(w));
    QVERIFY2(errors.isEmpty(), qPrintable(errors.join("; ")));
    TJournalContents journal;
    std::string error;
    QVERIFY(ReadJournal(path, journal, error));
    QCOMPARE(journal.Records.size(), size_t{1});
    const TJournalRecord& r = journal.Records[0];
    QCOMPARE(r.Program, std::string("tavex-config"));
    QCOMPARE(r.Nad, int64_t{1000});
    QCOMPARE(r.Ip, std::string("127.0.0.2"));
    QCOMPARE(r.Entry, std::string("fan_speed"));
    QCOMPARE(r.Before, std::string("1500"));
    QCOMPARE(r.Written, std::string("1600"));
    QCOMPARE(r.ReadBack, std::string("1600"));
    QCOMPARE(r.Verdict, std::string("written"));
    QVERIFY(!r.Op.empty());

    // A journal under a file: the value is still written, the error shown.
    QFile blocker(dir.filePath("file"));
    QVERIFY(blocker.open(QIODevice::WriteOnly));
    blocker.close();
    qputenv("TAVEX_JOURNAL", dir.filePath("file/journal").toLocal8Bit());
    AnswerDialog("1700", &shown, &all, &opened);
    DoubleClick(0, 4);
    QVERIFY(opened);
    QVERIFY(Write(w));
    QCOMPARE(Sim_->ReadVarValue(1000, "fan_speed"), std::optional<double>(1700));
    QCOMPARE(errors.size(), 1);
    QVERIFY2(errors[0].startsWith("The journal could not be written: "), qPrintable(errors[0]));
    TApplication::ErrorDisplay = nullptr;
  }

  void writeWithSynchronizeSetsEachClockInOneWrite() {
    StartSim(json::array({Controller(1000, "127.0.0.2", SpeedVars()),
                          Controller(1001, "127.0.0.3", SpeedVars(), {"rtc_weekday"})}));
    TfmMain& w = Open("[Variables]\nVar0=fan_speed\n", 1, 2);
    QAbstractItemModel& cfg = *w.vstConfig->model();
    Click(cfg, 0, true);
    Click(cfg, 1, true);
    QVERIFY(Read(w));
    QVERIFY(!Text(cfg, 1, 3).isEmpty());  // Read needs no weekday
    Sim_->ClearLog();
    w.cbSyncRTC->setChecked(true);
    const TLocalTime before = LocalNow();
    QVERIFY(Write(w));
    const TLocalTime after = LocalNow();

    for (const char* ip : {"127.0.0.2", "127.0.0.3"}) {
      const auto writes = Writes(ip);
      QCOMPARE(writes.size(), size_t{2});
      QCOMPARE(writes[0], (std::map<std::string, double>{{"fan_speed", 1450}}));
      // The clock in one write, after the values.
      const auto& clock = writes[1];
      const bool hasWeekday = std::string(ip) == "127.0.0.2";
      QCOMPARE(clock.size(), hasWeekday ? size_t{8} : size_t{7});
      QCOMPARE(clock.at("rtc_write_req"), 1.0);
      bool matches = false;
      for (const TLocalTime& t : {before, after})
        matches |= clock.at("rtc_year") == t.Year && clock.at("rtc_month") == t.Month &&
                   clock.at("rtc_date") == t.Day && clock.at("rtc_hour") == t.Hour &&
                   (!hasWeekday || clock.at("rtc_weekday") == t.Weekday);
      QVERIFY2(matches, ip);
    }
    QVERIFY(Sim_->Clock(1000).has_value());
    QCOMPARE(Sim_->Clock(1000)->Year, before.Year);
    // The display needs the weekday after a Write.
    QCOMPARE(Text(cfg, 0, 3).left(4), QString::number(before.Year));
    QVERIFY(Text(cfg, 1, 3).isEmpty());
  }

  // A bad allocation line is its own controller's error: no error box, its
  // cells "?" and nothing written to it; the other controllers are written.
  void badAllocationLineIsItsControllersErrorInAWrite() {
    json bad = Controller(1001, "127.0.0.3");
    bad["alc_text"] = ";CPU Tavex-2 X\r\n0100 0 1 0 2 global word fan_speed\r\n; oops\r\n";
    StartSim(json::array({Controller(1000, "127.0.0.2", SpeedVars()), bad, Controller(1002, "127.0.0.4", SpeedVars())}));
    TfmMain& w = Open("[Variables]\nVar0=fan_speed\nVar1=setpoint\n", 1, 3);
    QAbstractItemModel& cfg = *w.vstConfig->model();
    for (int r = 0; r < 3; ++r) Click(cfg, r, true);
    QStringList errors;
    TApplication::ErrorDisplay = [&](const QString& Text) { errors << Text; };
    Sim_->ClearLog();
    w.cbSyncRTC->setChecked(true);
    QTest::mouseClick(w.btnWrite, Qt::LeftButton);
    QVERIFY(Finished(w));
    QVERIFY(errors.isEmpty());
    QCOMPARE(Text(cfg, 1, 4), QString("?"));
    QVERIFY(!w.GetCells().At(1, 0).Busy);
    QVERIFY(Writes("127.0.0.3").empty());
    // The others: nothing but their clocks (their cells were empty).
    QCOMPARE(Writes("127.0.0.2").size(), size_t{1});
    QCOMPARE(Writes("127.0.0.4").size(), size_t{1});
    QCOMPARE(Text(cfg, 2, 4), QString("1450"));
    QCOMPARE(w.lblProgress->text(),
             QString("Not written: 1001: Error parsing ALC data on line 3: \"; oops\" | "
                     "Wrote 0 values to 0 controllers (0 edited); set 2 clocks."));
    QVERIFY(!w.IsBusy());
  }

};

}  // namespace tavex::test

TAVEX_UI_TEST_MAIN(tavex::test::TestPages)
#include "test_ui_pages.moc"

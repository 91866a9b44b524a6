// What the main window tells after an operation, against simulated
// controllers on loopback: lost answers against a controller without a
// program, a controller whose allocation file does not parse, the summary
// each operation ends with; the adapter watch and Setup when the chosen
// adapter is gone; and the keyboard: where the focus rests, and one
// current cell in the configuration grid.
#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QFocusFrame>
#include <QHeaderView>
#include <QImage>
#include <QLabel>
#include <QLineEdit>
#include <QMouseEvent>
#include <QPushButton>
#include <QTabWidget>
#include <QTableView>
#include <QTimer>

#include <chrono>
#include <set>

#include <nlohmann/json.hpp>

#include "plc/uOperations.h"
#include "plc/uTavex.h"
#include "sim/uSimulator.h"
#include "tests/ui/UiTest.h"
#include "tests/ui/UiWindow.h"
#include "ui/fEditValue.h"
#include "ui/fMain.h"
#include "ui/fOptions.h"
#include "ui/uGridModels.h"
#include "ui/uGridViews.h"

namespace tavex::test {

using nlohmann::json;

namespace {

constexpr int kMemoryRead = 33, kRead = 51;
const QColor kRed(255, 0, 0);

// A controller with fan_speed = 1450 and setpoint = 21.5, and the clock.
json Controller(uint32_t Nad, const std::string& IP, json Keys = json::object()) {
  return SimController(Nad, IP, FanAndSetpoint(), Keys);
}

// A clock ten times fast for a communicator, so that its time-outs pass
// quickly: what matters is that they pass.
std::function<uint32_t()> FastTicks() {
  return [start = std::chrono::steady_clock::now()] {
    return static_cast<uint32_t>(
        std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::steady_clock::now() - start).count() /
        100);
  };
}

}  // namespace

class TestDiag : public TWindowTest {
  Q_OBJECT

  std::unique_ptr<TfmOptions> Options_;

  // The dialogs are the window's children: they go first.
  void Close() {
    Options_.reset();
    EditValue_.reset();
    Window_.reset();
  }
  // Opens the window (not yet detected) at its default size, shown and active.
  TfmMain& Show(const std::string& Ini = "[Variables]\nVar0=fan_speed\nVar1=setpoint\n") {
    const TMainOptions o = WindowOptions(*Files_, Ini, Settings_.get());
    Close();
    ShowWindow(o, Window_, &EditValue_, &Options_, true);
    return *Window_;
  }
  TfmMain& Open(int Expect, const std::string& Ini = "[Variables]\nVar0=fan_speed\nVar1=setpoint\n") {
    TfmMain& w = Show(Ini);
    DetectCount(w, Expect);
    return w;
  }
  // The log entries of one command (-1: any) to one address (empty: any).
  std::vector<json> Log(int Command, const std::string& IP = "") const { return SimLog(*Sim_, Command, IP); }
  QPoint CellCenter(int Row, int Column) const { return test::CellCenter(*Window_->vstConfig, Row, Column); }
  void Press(int Row, int Column, Qt::MouseButton Button = Qt::LeftButton) {
    SendMouse(Window_->vstConfig->viewport(), QEvent::MouseButtonPress, CellCenter(Row, Column), Button, Button);
  }
  void Release(int Row, int Column, Qt::MouseButton Button = Qt::LeftButton) {
    SendMouse(Window_->vstConfig->viewport(), QEvent::MouseButtonRelease, CellCenter(Row, Column), Button,
              Qt::NoButton);
  }
  // Answers the Edit Value dialog with Esc when it shows; Shown receives
  // its text (empty: it did not open).
  void NoteDialog(QString* Shown) {
    *Shown = QString();
    OnEditValue(this, [=](TfmEditValue& d) {
      *Shown = QStringLiteral("[") + d.edValue->text() + QStringLiteral("]");
      QTest::keyClick(d.edValue, Qt::Key_Escape);
    });
  }

 private slots:
  void init() {
    Begin();
  }
  void cleanup() {
    Options_.reset();
    End();
  }

  // --- Diagnosis and summary ---------------------------------------------------

  // Lost answers to the program check's memory reads are "did not answer"
  // (in the tooltip "PLC not responding!"); "PLC has no program!" only
  // for the controller whose header was read and holds none. Each
  // operation ends with one sentence that counts the controllers.
  void eachOperationEndsWithWhatItFound() {
    struct TCase {
      const char* What;
      bool Read;     // Read, or the status check
      bool Faulty;   // 1001 loses its memory-read answers, 1002 has no program
      const char* Bar;
      bool Red;
    };
    const TCase cases[] = {
        {"check, all answer", false, false, "Checked 3 controllers.", false},
        {"read, all answer", true, false, "Read 3 controllers.", false},
        {"check, lost answers and no program", false, true,
         "Checked 3 controllers; 1001 did not answer; 1002: PLC has no program!", true},
        {"read, lost answers and no program", true, true,
         "Read 1 of 3 controllers; 1001 did not answer; 1002: PLC has no program!", true},
    };
    for (const TCase& c : cases) {
      const json drop = {{"faults", {{"drop_answer", 1}, {"only_commands", {kMemoryRead}}}}};
      StartSim(json::array({Controller(1000, "127.0.0.2"), Controller(1001, "127.0.0.3", c.Faulty ? drop : json::object()),
                            Controller(1002, "127.0.0.4", c.Faulty ? json{{"has_program", false}} : json::object())}));
      TfmMain& w = Open(3);
      w.GetTavexList().Items(1)->Communicator->TickSource = FastTicks();
      w.PageControl1->setCurrentIndex(c.Read ? 1 : 0);
      Sim_->ClearLog();
      QTest::mouseClick(c.Read ? w.btnRead : w.btnCheck, Qt::LeftButton);
      QVERIFY2(Finished(w), c.What);

      QCOMPARE(w.lblProgress->text(), QString(c.Bar));
      QCOMPARE(w.lblProgress->palette().color(QPalette::WindowText) == kRed, c.Red);
      if (!c.Faulty) continue;
      // What the simulator did: 1001 carried out its memory reads and lost
      // every answer; 1002 answered its header read.
      const std::vector<json> lost = Log(kMemoryRead, "127.0.0.3");
      QVERIFY2(!lost.empty(), c.What);
      for (const json& e : lost) QCOMPARE(e.value("outcome", ""), std::string("dropped"));
      const std::vector<json> header = Log(kMemoryRead, "127.0.0.4");
      QVERIFY2(!header.empty(), c.What);
      QCOMPARE(header.front().value("outcome", ""), std::string("answered"));
      // The tooltip tells each one in the record's words, with what the
      // transport saw; lost answers never pass for a missing program.
      const QString tip = w.lblProgress->toolTip();
      QVERIFY2(tip.contains("1001: PLC not responding! ("), qPrintable(tip));
      QVERIFY2(tip.contains("no answer to"), qPrintable(tip));
      QVERIFY2(!tip.contains("1001: PLC has no program!"), qPrintable(tip));
      QVERIFY2(tip.contains("1002: PLC has no program!"), qPrintable(tip));
      if (c.Read) {
        QCOMPARE(Text(*w.vstConfig->model(), 0, 4), QString("1450"));
        QCOMPARE(Text(*w.vstConfig->model(), 1, 4), QString("?"));
        QCOMPARE(Log(kRead, "127.0.0.3").size(), size_t{0});
      } else {
        QCOMPARE(w.StatusText(1, 2), QString("error"));
        QCOMPARE(w.StatusText(2, 2), QString("error"));
      }
      Close();
    }
  }

  // A controller whose allocation file does not parse fails alone: its
  // cells "?", no cell left red, the bar names it and the line (counted
  // from 1), and the controllers after it are still checked and read.
  void unparsableAllocationFileFailsThatControllerOnly() {
    // Line 2 is blank, line 4 a single word (both skipped), line 5 is bad.
    const std::string alc = ";CPU Tavex-2 X\r\n\r\n0100 0 1 0 2 global word fan_speed\r\nnote\r\n; oops\r\n";
    StartSim(json::array({Controller(1000, "127.0.0.2"), Controller(1001, "127.0.0.3", {{"alc_text", alc}}),
                          Controller(1002, "127.0.0.4")}));
    TfmMain& w = Open(3);
    QStringList errors;
    TApplication::ErrorDisplay = [&](const QString& Text) { errors << Text; };
    const QString bad = "1001: Error parsing ALC data on line 5: \"; oops\"";

    Sim_->ClearLog();
    QTest::mouseClick(w.btnCheck, Qt::LeftButton);
    QVERIFY(Finished(w));
    QCOMPARE(w.lblProgress->text(), "Checked 3 controllers; " + bad + ".");
    QStringList last;
    for (int s = 0; s < 5; ++s) last << w.StatusText(2, s);
    QCOMPARE(last, QStringList({"ok", "ok", "ok", "ok", "ok"}));

    w.PageControl1->setCurrentIndex(1);
    Sim_->ClearLog();
    QTest::mouseClick(w.btnRead, Qt::LeftButton);
    QVERIFY(Finished(w));
    QVERIFY2(errors.isEmpty(), qPrintable(errors.join("; ")));
    QCOMPARE(w.lblProgress->text(), "Read 2 of 3 controllers; " + bad + ".");
    const QAbstractItemModel& cfg = *w.vstConfig->model();
    for (int k = 0; k < 2; ++k) {
      QCOMPARE(Text(cfg, 1, 4 + k), QString("?"));
      QVERIFY(!w.GetCells().At(1, k).Busy);
      QVERIFY(!cfg.index(1, 4 + k).data(Qt::BackgroundRole).isValid());
    }
    QCOMPARE(Text(cfg, 0, 4), QString("1450"));
    QCOMPARE(Text(cfg, 2, 4), QString("1450"));
    // The simulator served the later controller's read; the bad one was
    // asked for no values.
    QCOMPARE(Log(kRead, "127.0.0.4").size(), size_t{1});
    QCOMPARE(Log(kRead, "127.0.0.3").size(), size_t{0});
  }

  // --- Adapter watch and Setup -----------------------------------------------

  void adapterThatIsGoneIsToldAndSetupSaysSo() {
    TFixedAdapters adapters({{"lo", "Loopback adapter lo", "127.0.0.1", "255.0.0.0"},
                             {"eth1", "Ethernet adapter eth1", "10.0.0.5", "255.255.255.0"}});
    Settings_->setValue("EthernetAdapterID", "eth1");
    TfmMain& w = Show();
    w.Timer1Timer();
    QVERIFY(w.lblMyIP->text().isEmpty());

    // Unplugged: the adapter leaves the table, its last address stays in
    // the record; the watch tells all the same.
    adapters.Table().pop_back();
    w.Timer1Timer();
    QCOMPARE(w.lblMyIP->text(), QString("Warning: network adapter eth1 is gone!"));
    QCOMPARE(w.lblMyIP->palette().color(QPalette::WindowText), kRed);

    // Setup says so instead of an empty box. Cancel, and OK without
    // another choice, keep the adapter chosen: still told, never replaced
    // by another one unasked.
    for (const bool ok : {false, true}) {
      bool seen = false;
      QTimer::singleShot(0, this, [&] {
        auto* d = qobject_cast<TfmOptions*>(QApplication::activeModalWidget());
        if (d == nullptr) return;
        seen = true;
        QVERIFY(d->lblAdapterGone->isVisible());
        QCOMPARE(d->lblAdapterGone->text(), QString("The adapter chosen before (eth1) is gone: choose another."));
        QCOMPARE(d->cbEthAdapter->currentIndex(), -1);
        QCOMPARE(d->cbEthAdapter->placeholderText(), QString("eth1 (gone)"));
        // The whole text in the dialog's width.
        QVERIFY(d->lblAdapterGone->width() >= d->lblAdapterGone->sizeHint().width());
        QTest::mouseClick(ok ? d->btnOK : d->btnCancel, Qt::LeftButton);
      });
      w.btnSetupClick();
      QVERIFY(seen);
      QCOMPARE(w.GetAdapterID(), std::string("eth1"));
      QCOMPARE(w.lblMyIP->text(), QString("Warning: network adapter eth1 is gone!"));
      Settings_->sync();
      QCOMPARE(Settings_->value("EthernetAdapterID").toString(), QString("eth1"));
    }

    // Choosing one that is there: OK takes it, the warning goes.
    bool seen = false;
    QTimer::singleShot(0, this, [&] {
      auto* d = qobject_cast<TfmOptions*>(QApplication::activeModalWidget());
      if (d == nullptr) return;
      seen = true;
      d->cbEthAdapter->setCurrentIndex(0);
      QTest::mouseClick(d->btnOK, Qt::LeftButton);
    });
    w.btnSetupClick();
    QVERIFY(seen);
    QCOMPARE(w.GetAdapterID(), std::string("lo"));
    QVERIFY(w.lblMyIP->text().isEmpty());
    Settings_->sync();
    QCOMPARE(Settings_->value("EthernetAdapterID").toString(), QString("lo"));

    // Gone before the start: the window uses the adapter of the host's own
    // address meanwhile (nothing is sent through it), and Setup offers that
    // one under the word that the chosen one is gone.
    Close();
    adapters.Table().push_back({"eth1", "Ethernet adapter eth1", "10.0.0.5", "255.255.255.0"});
    Settings_->setValue("EthernetAdapterID", "eth7");
    TfmMain& again = Show();
    again.Timer1Timer();
    QCOMPARE(again.lblMyIP->text(), QString("Warning: network adapter eth7 is gone!"));
    seen = false;
    QTimer::singleShot(0, this, [&] {
      auto* d = qobject_cast<TfmOptions*>(QApplication::activeModalWidget());
      if (d == nullptr) return;
      seen = true;
      QCOMPARE(d->lblAdapterGone->text(), QString("The adapter chosen before (eth7) is gone: choose another."));
      QCOMPARE(d->cbEthAdapter->currentText(), QString("Ethernet adapter eth1 (10.0.0.5)"));
      QTest::mouseClick(d->btnCancel, Qt::LeftButton);
    });
    again.btnSetupClick();
    QVERIFY(seen);
    QCOMPARE(again.GetAdapterID(), std::string("eth7"));
  }

  // Both warnings are read whole at the window's default size: in the
  // label's own width, and on the screen.
  void adapterWarningFitsAtTheDefaultSize() {
    TFixedAdapters adapters({{"lo", "Loopback adapter lo", "127.0.0.1", "255.0.0.0"}});
    struct TCase {
      const char* IP;
      const char* Id;
      const char* Text;
    };
    const TCase cases[] = {{"0.0.0.0", "lo", "Warning: your computer IP address is invalid!"},
                           {"127.0.0.1", "gone0", "Warning: network adapter gone0 is gone!"}};
    for (const TCase& c : cases) {
      adapters.Table() = {{c.Id, "Adapter", c.IP, "255.0.0.0"}};
      if (std::string(c.Id) == "gone0") adapters.Table() = {{"eth9", "Adapter", c.IP, "255.0.0.0"}};
      Close();  // it saves its adapter as it goes
      Settings_->setValue("EthernetAdapterID", c.Id);
      Show();
      QCOMPARE(Window_->size(), QSize(TfmMain::kDesignWidth, TfmMain::kDesignHeight));
      // The progress text beside it as long as a summary gets.
      Window_->lblProgress->setText("Read 38 of 40 controllers; 1003 and 1017 did not answer.");
      Window_->Timer1Timer();
      QCOMPARE(Window_->lblMyIP->text(), QString(c.Text));
      QApplication::processEvents();
      const int needed = Window_->lblMyIP->fontMetrics().horizontalAdvance(c.Text);
      QVERIFY2(Window_->lblMyIP->contentsRect().width() >= needed,
               qPrintable(QString("%1 of %2 pixels").arg(Window_->lblMyIP->contentsRect().width()).arg(needed)));
      // On the screen: inside the window, clear of the buttons.
      const QRect label(Window_->lblMyIP->mapTo(Window_.get(), QPoint(0, 0)), Window_->lblMyIP->size());
      QVERIFY(Window_->rect().contains(label));
      QVERIFY(!label.intersects(QRect(Window_->btnSetup->mapTo(Window_.get(), QPoint(0, 0)), Window_->btnSetup->size())));
      const QImage shot = Window_->grab().toImage();
      const QByteArray dir = qgetenv("TAVEX_DIAG_SHOTS");
      if (!dir.isEmpty()) shot.save(QString::fromLocal8Bit(dir) + "/warning-" + c.Id + ".png");
      // Red text right up to the end of the text's room, none past the label.
      int red = 0;
      for (int y = label.top(); y <= label.bottom(); ++y)
        for (int x = label.left() + needed * 3 / 4; x < label.left() + needed; ++x)
          red += QColor(shot.pixel(x, y)).red() > 200 && QColor(shot.pixel(x, y)).green() < 80 ? 1 : 0;
      QVERIFY2(red > 0, "the end of the warning is painted");
    }
  }

  // --- Keyboard ----------------------------------------------------------------

  // The grid of the page shown has the focus after start, after a page
  // change and after an operation started from a button (never the clock
  // option, which the next Space would toggle), and shows it.
  void focusRestsOnTheShownGrid() {
    StartSim(json::array({Controller(1000, "127.0.0.2"), Controller(1001, "127.0.0.3")}));
    TfmMain& w = Show();
    QCOMPARE(QApplication::focusWidget(), w.vstSystem);
    QVERIFY(w.ConfigGrid() != nullptr);
    auto* systemGrid = static_cast<TCheckedGridView*>(w.vstSystem);
    QVERIFY(systemGrid->FocusFrame()->isVisible());
    QCOMPARE(systemGrid->FocusFrame()->widget(), w.vstSystem);

    // Alt+A: Autodetect, started by its mnemonic (the button takes the focus).
    QTest::keyClick(QApplication::focusWidget(), Qt::Key_A, Qt::AltModifier);
    QTRY_VERIFY_WITH_TIMEOUT(w.IsBusy(), 2000);  // the button's animated click
    QVERIFY(Finished(w));
    QCOMPARE(w.GetTavexList().Count(), 2);
    QCOMPARE(QApplication::focusWidget(), w.vstSystem);

    // Ctrl+Tab: the other page, its grid.
    QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab, Qt::ControlModifier);
    QCOMPARE(w.PageControl1->currentIndex(), 1);
    QCOMPARE(QApplication::focusWidget(), w.vstConfig);
    QVERIFY(w.ConfigGrid()->FocusFrame()->isVisible());
    QVERIFY(!systemGrid->FocusFrame()->isVisible());

    // Write and Read from their buttons: the focus comes back to the grid.
    const bool sync = w.cbSyncRTC->isChecked();
    for (QPushButton* b : {w.btnWrite, w.btnRead}) {
      Sim_->ClearLog();
      QTest::mouseClick(b, Qt::LeftButton);
      QVERIFY(Finished(w));
      QVERIFY(!Log(kRead).empty());  // it ran
      QCOMPARE(QApplication::focusWidget(), w.vstConfig);
    }
    // The next Space toggles the row's check box, not the clock option.
    QTest::keyClick(w.vstConfig, Qt::Key_Down);
    const auto checked = [&] { return w.vstConfig->model()->index(0, 0).data(Qt::CheckStateRole).toInt() == Qt::Checked; };
    const bool before = checked();
    QTest::keyClick(QApplication::focusWidget(), Qt::Key_Space);
    QCOMPARE(w.cbSyncRTC->isChecked(), sync);
    QCOMPARE(checked(), !before);

    // Space on a focused button presses it.
    w.btnRead->setFocus(Qt::TabFocusReason);
    QVERIFY(!w.ConfigGrid()->FocusFrame()->isVisible());
    Sim_->ClearLog();
    QTest::keyClick(w.btnRead, Qt::Key_Space);
    QVERIFY(w.IsBusy() || !Log(kRead).empty());
    QVERIFY(Finished(w));
    QVERIFY(!Log(kRead).empty());
    QCOMPARE(QApplication::focusWidget(), w.vstConfig);
  }

  // The configuration grid's selected cell and the view's current index
  // are one cell, whatever the mouse does: Enter edits the cell the keys
  // move from.
  void oneCurrentCellForMouseAndKeyboard() {
    StartSim(json::array({Controller(1000, "127.0.0.2"), Controller(1001, "127.0.0.3")}));
    TfmMain& w = Open(2);
    w.PageControl1->setCurrentIndex(1);
    QVERIFY(Read(w));
    TConfigGridView& grid = *w.ConfigGrid();
    const QAbstractItemModel& cfg = *grid.model();
    auto one = [&](int Row, int Column) {
      return grid.Selection().IsSelected(Row, Column) && grid.SelectedRow() == Row && grid.SelectedColumn() == Column &&
             grid.currentIndex() == cfg.index(Row, Column);
    };
    Press(0, 4);
    Release(0, 4);
    QVERIFY(one(0, 4));

    struct TStep {
      const char* What;
      std::function<void()> Do;
      int Row, Column;
    };
    const TStep steps[] = {
        {"right-click elsewhere", [&] { Press(1, 5, Qt::RightButton); Release(1, 5, Qt::RightButton); }, 0, 4},
        {"header click",
         [&] {
           QHeaderView* h = grid.horizontalHeader();
           const QPoint at(h->sectionViewportPosition(5) + h->sectionSize(5) / 2, h->height() / 2);
           QTest::mouseClick(h->viewport(), Qt::LeftButton, Qt::NoModifier, at);
         },
         0, 4},
        {"current index set by the program", [&] { grid.setCurrentIndex(cfg.index(1, 4)); }, 1, 4},
        {"drag to another cell",
         [&] {
           Press(0, 4);
           SendMouse(grid.viewport(), QEvent::MouseMove, CellCenter(1, 5), Qt::NoButton, Qt::LeftButton);
           Release(1, 5);
         },
         1, 5},
        {"key", [&] { QTest::keyClick(&grid, Qt::Key_Up); }, 0, 5},
    };
    for (const TStep& s : steps) {
      s.Do();
      QVERIFY2(one(s.Row, s.Column),
               qPrintable(QString("%1: selected %2/%3 pressed %4/%5 current %6/%7")
                              .arg(s.What)
                              .arg(grid.Selection().Row())
                              .arg(grid.Selection().Column())
                              .arg(grid.SelectedRow())
                              .arg(grid.SelectedColumn())
                              .arg(grid.currentIndex().row())
                              .arg(grid.currentIndex().column())));
    }
    // Enter edits that one cell (setpoint of 1000).
    grid.setFocus();
    QString shown;
    NoteDialog(&shown);
    QTest::keyClick(&grid, Qt::Key_Return);
    QCOMPARE(shown, QString("[21.5]"));
  }
};

}  // namespace tavex::test

TAVEX_UI_TEST_MAIN(tavex::test::TestDiag)
#include "test_ui_diag.moc"

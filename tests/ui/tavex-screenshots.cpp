// Takes the screenshots of docs/screenshots/: the main window on both pages
// after an Autodetect, the status check while it runs and when it is done,
// a Read under way and one stopped with Esc, the configuration page after a
// Read with one edited and one selected cell, the grid's context menu, a
// Write that one controller did not take, the list of expected controllers
// with one missing, and the Setup and Edit Value dialogs. Runs under a real
// display
// server (scripts/screenshots starts one), inside a private network
// namespace with the simulator running, and talks through adapter "lo".
//
//   tavex-screenshots OUTPUT_DIR CONFIGURATION.ini
#include <QApplication>
#include <QDir>
#include <QFile>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QMouseEvent>
#include <QPixmap>
#include <QPushButton>
#include <QSettings>
#include <QTabWidget>
#include <QTemporaryDir>
#include <QTableView>
#include <QTest>
#include <QTimer>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "ui/fEditValue.h"
#include "ui/fMain.h"
#include "ui/fOptions.h"
#include "ui/uApplication.h"
#include "ui/uOperationsController.h"

namespace {

// Settle: first handle what is pending (layouts, repaints), unless the
// picture must show the window as it is at this very moment.
bool Save(QWidget& Widget, const QString& Path, bool Settle = true) {
  if (Settle) QCoreApplication::processEvents();
  const bool ok = Widget.grab().save(Path, "PNG");
  std::printf("%s %s\n", ok ? "wrote" : "could not write", qPrintable(Path));
  return ok;
}

void SendMouse(QWidget* Target, QEvent::Type Type, const QPoint& At, Qt::MouseButtons Held) {
  QMouseEvent e(Type, QPointF(At), Target->mapToGlobal(QPointF(At)), Qt::LeftButton, Held, Qt::NoModifier);
  QApplication::sendEvent(Target, &e);
}

// A click, or a double-click, of the left button on a cell of the
// configuration grid, as the window receives them.
void ClickCell(tavex::TfmMain& Window, int Row, int Column, bool Double = false) {
  QTableView* grid = Window.vstConfig;
  const QPoint at = grid->visualRect(grid->model()->index(Row, Column)).center();
  QWidget* vp = grid->viewport();
  SendMouse(vp, QEvent::MouseButtonPress, at, Qt::LeftButton);
  SendMouse(vp, QEvent::MouseButtonRelease, at, Qt::NoButton);
  if (!Double) return;
  SendMouse(vp, QEvent::MouseButtonDblClick, at, Qt::LeftButton);
  SendMouse(vp, QEvent::MouseButtonRelease, at, Qt::NoButton);
}

}  // namespace

int main(int argc, char** argv) {
  const char* netns = std::getenv("TAVEX_IN_NETNS");
  if (netns == nullptr || std::strcmp(netns, "1") != 0) {
    std::fprintf(stderr, "tavex-screenshots: run inside scripts/netns\n");
    return 2;
  }
  tavex::TApplication app(argc, argv);
  if (argc != 3) {
    std::fprintf(stderr, "usage: tavex-screenshots OUTPUT_DIR CONFIGURATION.ini\n");
    return 2;
  }
  const QString out = QString::fromLocal8Bit(argv[1]);
  QDir().mkpath(out);

  QTemporaryDir dir;
  QSettings settings(dir.filePath("settings.ini"), QSettings::IniFormat);
  settings.setValue("EthernetAdapterID", "lo");

  tavex::TMainOptions options;
  options.IniPath = QString::fromLocal8Bit(argv[2]);
  options.Settings = &settings;
  tavex::TfmMain fmMain(options);
  tavex::TfmEditValue fmEditValue(&fmMain);
  tavex::TfmOptions fmOptions(&fmMain);
  fmMain.SetDialogs(&fmEditValue, &fmOptions);
  fmMain.show();
  if (!QTest::qWaitForWindowExposed(&fmMain)) return 1;

  fmMain.btnAutodetectClick();
  (void)QTest::qWaitFor([&] { return !fmMain.IsBusy(); }, 60000);
  if (fmMain.GetTavexList().Count() == 0) {
    std::fprintf(stderr, "tavex-screenshots: Autodetect found no controller\n");
    return 1;
  }
  bool ok = Save(fmMain, out + "/main-system-check.png");
  fmMain.PageControl1->setCurrentIndex(1);
  ok = Save(fmMain, out + "/main-configuration.png") && ok;

  // The status check: once while the second controller's "PLC program"
  // step is under way (grabbed while the check goes on), and when
  // it is done.
  fmMain.PageControl1->setCurrentIndex(0);
  bool running = false;
  QTimer watch;
  watch.setInterval(0);
  QObject::connect(&watch, &QTimer::timeout, [&] {
    if (running || fmMain.GetCheckProgress() != 5 + 2) return;
    running = true;
    ok = Save(fmMain, out + "/system-check-running.png") && ok;
  });
  watch.start();
  fmMain.btnCheckClick();
  (void)QTest::qWaitFor([&] { return !fmMain.IsBusy(); }, 60000);
  watch.stop();
  if (!running) {
    std::fprintf(stderr, "tavex-screenshots: the check never showed its second row under way\n");
    ok = false;
  }
  ok = Save(fmMain, out + "/system-check-done.png") && ok;

  // Read: once while the second controller's values are under way (its
  // cells red; grabbed as its exchange begins), then stopped with Esc once
  // the first two are done (the third answers its value reads late, see
  // scripts/screenshots); then a whole Read.
  fmMain.PageControl1->setCurrentIndex(1);
  bool reading = false, stopping = false;
  int finished = 0;
  QObject::connect(fmMain.Operations(), &tavex::TOperationsController::RowStarted, [&](int Row) {
    if (reading || Row != 1) return;
    reading = true;
    // As the window has just shown it: the run's later reports, already
    // queued, would end it before the picture.
    ok = Save(fmMain, out + "/read-running.png", false) && ok;
  });
  QObject::connect(fmMain.Operations(), &tavex::TOperationsController::RowFinished,
                   [&](int Row, const tavex::TFleetResult&) {
                     if (stopping || Row == 2 || ++finished < 2) return;
                     stopping = true;
                     fmMain.StopOperation();  // as Esc does
                   });
  fmMain.activateWindow();
  (void)QTest::qWaitForWindowActive(&fmMain);
  fmMain.btnReadClick();
  (void)QTest::qWaitFor([&] { return !fmMain.IsBusy(); }, 60000);
  if (!reading || !stopping || !fmMain.IsStopRequested()) {
    std::fprintf(stderr, "tavex-screenshots: the Read was not seen under way, or not stopped\n");
    ok = false;
  }
  ok = Save(fmMain, out + "/read-stopped.png") && ok;

  // Read, then edit a value in the Edit Value dialog and select another cell.
  fmMain.btnReadClick();
  (void)QTest::qWaitFor([&] { return !fmMain.IsBusy(); }, 60000);
  QTimer::singleShot(0, [&] {
    fmEditValue.edValue->setText("1500");
    fmEditValue.edValue->selectAll();
    QCoreApplication::processEvents();
    ok = Save(fmEditValue, out + "/edit-value.png") && ok;
    fmEditValue.btnOK->click();
  });
  ClickCell(fmMain, 0, 4 + 2, true);
  ClickCell(fmMain, 1, 4 + 0);
  ok = Save(fmMain, out + "/configuration-edited.png") && ok;

  // The grid's context menu, as a right click on the selected cell opens it.
  {
    QMenu menu(&fmMain);
    fmMain.FillGridMenu(menu, true);
    QTableView* grid = fmMain.vstConfig;
    const QRect cell = grid->visualRect(grid->model()->index(1, 4));
    menu.popup(grid->viewport()->mapToGlobal(cell.center()));
    if (!QTest::qWaitForWindowExposed(&menu)) return 1;
    ok = Save(menu, out + "/context-menu.png") && ok;
    menu.close();
  }

  // Edit 1001's temp_setpoint too, then Write: 1001 acknowledges but keeps
  // its old values (see scripts/screenshots), so its edited cell reads back
  // otherwise and stays marked, and the bar says so.
  QTimer::singleShot(0, [&] {
    fmEditValue.edValue->setText("22");
    fmEditValue.btnOK->click();
  });
  ClickCell(fmMain, 1, 4 + 0, true);
  fmMain.btnWriteClick();
  (void)QTest::qWaitFor([&] { return !fmMain.IsBusy(); }, 60000);
  ClickCell(fmMain, 2, 4 + 2);  // away from the marked cell
  ok = Save(fmMain, out + "/write-not-taken.png") && ok;

  // The site's list of expected controllers, one of which is not there.
  {
    const QString list = dir.filePath("expected.csv");
    QFile f(list);
    if (!f.open(QIODevice::WriteOnly) ||
        f.write("1000,127.0.0.2\n1001,127.0.0.3\n1002,127.0.0.4\n1003,127.0.0.5\n") < 0)
      return 1;
    f.close();
    if (!fmMain.LoadExpectedControllers(list)) return 1;
    fmMain.btnAutodetectClick();
    (void)QTest::qWaitFor([&] { return !fmMain.IsBusy(); }, 60000);
    ok = Save(fmMain, out + "/expected-controllers.png") && ok;
  }

  fmOptions.AdapterID = fmMain.GetCommunicator().Adapter.ID;
  fmOptions.DirectConnection = fmMain.GetDirectConnection();
  fmOptions.open();
  if (!QTest::qWaitForWindowExposed(&fmOptions)) return 1;
  ok = Save(fmOptions, out + "/setup.png") && ok;
  fmOptions.reject();
  return ok ? 0 : 1;
}

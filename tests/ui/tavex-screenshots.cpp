// Takes the screenshots of docs/screenshots/: the main window on both pages
// after an Autodetect, and the Setup dialog. Runs under a real display
// server (scripts/screenshots starts one), inside a private network
// namespace with the simulator running, and talks through adapter "lo".
//
//   tavex-screenshots OUTPUT_DIR CONFIGURATION.ini
#include <QDir>
#include <QPixmap>
#include <QSettings>
#include <QTabWidget>
#include <QTemporaryDir>
#include <QTest>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "ui/fEditValue.h"
#include "ui/fMain.h"
#include "ui/fOptions.h"
#include "ui/uApplication.h"

namespace {

bool Save(QWidget& Widget, const QString& Path) {
  QCoreApplication::processEvents();
  const bool ok = Widget.grab().save(Path, "PNG");
  std::printf("%s %s\n", ok ? "wrote" : "could not write", qPrintable(Path));
  return ok;
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
  if (fmMain.GetTavexList().Count() == 0) {
    std::fprintf(stderr, "tavex-screenshots: Autodetect found no controller\n");
    return 1;
  }
  bool ok = Save(fmMain, out + "/main-system-check.png");
  fmMain.PageControl1->setCurrentIndex(1);
  ok = Save(fmMain, out + "/main-configuration.png") && ok;

  fmOptions.AdapterID = fmMain.GetCommunicator().Adapter.ID;
  fmOptions.DirectConnection = fmMain.GetDirectConnection();
  fmOptions.open();
  if (!QTest::qWaitForWindowExposed(&fmOptions)) return 1;
  ok = Save(fmOptions, out + "/setup.png") && ok;
  fmOptions.reject();
  return ok ? 0 : 1;
}

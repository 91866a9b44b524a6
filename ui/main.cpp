// tavex-config: the desktop tool.
#include <QIcon>
#include <QSettings>
#include <QTimer>

#include <cstdio>
#include <filesystem>
#include <system_error>

#include "ui/fEditValue.h"
#include "ui/fMain.h"
#include "ui/fOptions.h"
#include "ui/uApplication.h"
#include "ui/uCommandLine.h"
#include "vars/uConfigFile.h"

namespace {

// The configuration file's name in the user's configuration folder.
constexpr char kUserIniName[] = "tavex-config.ini";

std::string ProgramPath() {
  std::error_code ec;
  const std::filesystem::path exe = std::filesystem::read_symlink("/proc/self/exe", ec);
  return ec ? std::string() : exe.string();
}

}  // namespace

int main(int argc, char** argv) {
  // --version and --help answer without a display.
  const tavex::TCommandLine commandLine = tavex::ParseCommandLine(argc, argv);
  switch (commandLine.Action) {
    case tavex::TCommandLine::TAction::Version:
      std::fputs("tavex-config " TAVEX_VERSION "\n", stdout);
      return std::fflush(stdout) == 0 ? 0 : 1;
    case tavex::TCommandLine::TAction::Help:
      std::fputs(tavex::HelpText(tavex::ConfigFilePlaces(ProgramPath(), kUserIniName)).c_str(), stdout);
      return std::fflush(stdout) == 0 ? 0 : 1;
    case tavex::TCommandLine::TAction::Error:
      std::fprintf(stderr, "tavex-config: %s See tavex-config --help.\n", commandLine.Error.c_str());
      return 2;
    case tavex::TCommandLine::TAction::Run:
      break;
  }

  tavex::TApplication app(argc, argv);
  // The menu entry and the icon of an installed program.
  QGuiApplication::setDesktopFileName("com.velmarcon.TavexConfigTool");
  QApplication::setWindowIcon(QIcon::fromTheme("tavex-config"));

  // The configuration file: the program's own path with ".ini", else the
  // one in the user's configuration folder.
  QSettings settings("Velmarcon", "TavexConfigTool");
  tavex::TMainOptions options;
  options.IniPath = QString::fromStdString(tavex::FindConfigFile(
      tavex::ConfigFilePlaces(QCoreApplication::applicationFilePath().toStdString(), kUserIniName)));
  options.Settings = &settings;

  tavex::TfmMain fmMain(options);
  tavex::TfmEditValue fmEditValue(&fmMain);
  tavex::TfmOptions fmOptions(&fmMain);
  fmMain.SetDialogs(&fmEditValue, &fmOptions);
  fmMain.show();
  if (commandLine.QuitAfterMs >= 0) QTimer::singleShot(commandLine.QuitAfterMs, &fmMain, [&fmMain] { fmMain.close(); });
  return app.exec();
}

// tavex-config: the desktop tool.
#include <QFileInfo>
#include <QSettings>

#include "ui/fEditValue.h"
#include "ui/fMain.h"
#include "ui/fOptions.h"
#include "ui/uApplication.h"

int main(int argc, char** argv) {
  tavex::TApplication app(argc, argv);

  // The configuration file: the program's own path with ".ini".
  const QFileInfo program(QCoreApplication::applicationFilePath());
  QSettings settings("Velmarcon", "TavexConfigTool");
  tavex::TMainOptions options;
  options.IniPath = program.absolutePath() + "/" + program.completeBaseName() + ".ini";
  options.Settings = &settings;

  tavex::TfmMain fmMain(options);
  tavex::TfmEditValue fmEditValue(&fmMain);
  tavex::TfmOptions fmOptions(&fmMain);
  fmMain.SetDialogs(&fmEditValue, &fmOptions);
  fmMain.show();
  return app.exec();
}

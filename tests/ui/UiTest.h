// Shared pieces of the desktop tool's tests: the application object, a
// temporary place for settings and configuration files, and fixed adapter
// tables.
#pragma once

#include <QAbstractItemModel>
#include <QFile>
#include <QSettings>
#include <QString>
#include <QTemporaryDir>
#include <QTest>

#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "hostutil/uEthernetUtils.h"
#include "sim/uSimulator.h"
#include "ui/uApplication.h"

// The tests run with the tool's own application object, so that the error
// display is the one the program has.
// A Write's journal goes to a folder of the run's own, never to the user's.
#define TAVEX_UI_TEST_MAIN(TestClass)                                        \
  int main(int argc, char** argv) {                                          \
    tavex::TApplication app(argc, argv);                                     \
    QTemporaryDir journalDir;                                                \
    if (!journalDir.isValid()) return 1;                                     \
    qputenv("TAVEX_JOURNAL", journalDir.filePath("journal").toLocal8Bit()); \
    TestClass test;                                                          \
    return QTest::qExec(&test, argc, argv);                                  \
  }

namespace tavex::test {

// True inside the private network namespace of scripts/netns.
inline bool InPrivateNetwork() {
  const char* v = std::getenv("TAVEX_IN_NETNS");
  return v != nullptr && std::strcmp(v, "1") == 0;
}

// Starts simulated controllers on loopback (the scenario's "controllers").
inline void StartSimulator(const nlohmann::json& Controllers, std::unique_ptr<sim::TSimulator>& Sim) {
  Sim = std::make_unique<sim::TSimulator>(sim::ParseScenario({{"controllers", Controllers}}));
  std::string error;
  QVERIFY2(Sim->Start(&error), error.c_str());
}

// The text a grid shows in a cell.
inline QString Text(const QAbstractItemModel& Model, int Row, int Column) {
  return Model.data(Model.index(Row, Column)).toString();
}

// What the view does when the user clicks a row's check box.
inline void Click(QAbstractItemModel& Model, int Row, bool Check) {
  Model.setData(Model.index(Row, 0), Check ? Qt::Checked : Qt::Unchecked, Qt::CheckStateRole);
}

// Waits until the window's operation under way (each runs off the
// window's thread) has ended; false when it is still running after
// TimeoutMs.
template <class TWindow>
bool Finished(const TWindow& Window, int TimeoutMs = 60000) {
  return QTest::qWaitFor([&] { return !Window.IsBusy(); }, TimeoutMs);
}

// An operation as its button's click starts it (Autodetect, the status
// check, Read, Write), then the wait for its end (they run off the
// window's thread); false when still running.
template <class TWindow, class TClick>
bool Clicked(TWindow& Window, TClick Click) {
  (Window.*Click)();
  return Finished(Window);
}
template <class TWindow>
bool Detect(TWindow& Window) { return Clicked(Window, &TWindow::btnAutodetectClick); }
template <class TWindow>
bool Check(TWindow& Window) { return Clicked(Window, &TWindow::btnCheckClick); }
template <class TWindow>
bool Read(TWindow& Window) { return Clicked(Window, &TWindow::btnReadClick); }
template <class TWindow>
bool Write(TWindow& Window) { return Clicked(Window, &TWindow::btnWriteClick); }

// A temporary directory with the settings store and configuration files.
class TUiFiles {
 public:
  TUiFiles() { QVERIFY2(Dir_.isValid(), "no temporary directory"); }

  QString Path(const QString& Name) const { return Dir_.filePath(Name); }
  QString SettingsPath() const { return Path("settings.ini"); }
  std::unique_ptr<QSettings> Settings() const {
    return std::make_unique<QSettings>(SettingsPath(), QSettings::IniFormat);
  }
  // Writes a configuration file and returns its path.
  QString WriteIni(const QString& Name, const std::string& Text) const {
    QFile f(Path(Name));
    if (!f.open(QIODevice::WriteOnly)) return QString();
    f.write(Text.data(), static_cast<qint64>(Text.size()));
    return f.fileName();
  }
  void RemoveSettings() const { QFile::remove(SettingsPath()); }

 private:
  QTemporaryDir Dir_;
};

// A fixed adapter table, host name, resolver and no default route for the
// life of the object,
// so that nothing depends on the machine; the adapters can change meanwhile.
class TFixedAdapters {
 public:
  explicit TFixedAdapters(std::vector<TAdapterRecord> Table, std::string OwnIP = "10.0.0.5")
      : Table_(std::make_shared<std::vector<TAdapterRecord>>(std::move(Table))) {
    auto table = Table_;
    SetAdapterTableSource([table](std::vector<TAdapterRecord>& out) {
      out = *table;
      return !out.empty();
    });
    SetHostNameSource([] { return std::string("workstation"); });
    SetHostResolver([OwnIP](const std::string&) { return std::vector<std::string>{OwnIP}; });
    SetDefaultRouteSource([] { return std::string(); });
  }
  std::vector<TAdapterRecord>& Table() { return *Table_; }

 private:
  TPlatformSourcesGuard Restore_;
  std::shared_ptr<std::vector<TAdapterRecord>> Table_;
};

}  // namespace tavex::test

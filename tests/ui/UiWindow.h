// Shared pieces of the main window's tests against simulated controllers:
// the scenario of a controller, opening the window, the user's mouse and
// the Edit Value dialog, and what the simulator's log says was written.
#pragma once

#include <QApplication>
#include <QColor>
#include <QLocale>
#include <QMouseEvent>
#include <QSettings>
#include <QTableView>
#include <QTimer>

#include <map>
#include <memory>
#include <set>
#include <string>
#include <type_traits>
#include <vector>

#include <nlohmann/json.hpp>

#include "plc/uOperations.h"
#include "sim/uSimController.h"
#include "sim/uSimulator.h"
#include "tests/ui/UiTest.h"
#include "ui/fEditValue.h"
#include "ui/fMain.h"
#include "ui/fOptions.h"

namespace tavex::test {

// A variable of a controller's scenario; Value null: none given.
inline nlohmann::json Var(const std::string& Name, const std::string& Type,
                          nlohmann::json Value = nullptr) {
  nlohmann::json v = {{"name", Name}, {"type", Type}};
  if (!Value.is_null()) v["value"] = std::move(Value);
  return v;
}

// A controller's scenario with its clock at 2026-03-04T05:06:07: Variables,
// then the clock variables (kClockVars) but those named in Drop; each of
// Keys is added (or replaces one, such as "clock").
inline nlohmann::json SimController(uint32_t Nad, const std::string& IP, nlohmann::json Variables,
                                    const nlohmann::json& Keys = nlohmann::json::object(),
                                    const std::set<std::string>& Drop = {}) {
  nlohmann::json c = {{"nad", Nad}, {"ip", IP}, {"clock", "2026-03-04T05:06:07"}};
  c["variables"] = std::move(Variables);
  for (const char* n : kClockVars)
    if (!Drop.count(n)) c["variables"].push_back(Var(n, "word"));
  for (auto& [k, v] : Keys.items()) c[k] = v;
  return c;
}

// fan_speed (word 1450) and setpoint (real 21.5), the variables most
// tests edit.
inline nlohmann::json FanAndSetpoint() {
  return nlohmann::json::array({Var("fan_speed", "word", 1450), Var("setpoint", "real", 21.5)});
}

// The main window's options: the configuration text Ini written to Files as
// tool.ini, Settings, and a short time to listen for answers.
inline TMainOptions WindowOptions(const TUiFiles& Files, const std::string& Ini, QSettings* Settings) {
  TMainOptions o;
  o.IniPath = Files.WriteIni("tool.ini", Ini);
  o.Settings = Settings;
  o.ListenMs = 300;
  return o;
}

// Makes the main window with the dialogs asked for (children of the
// window: the caller resets them before it) and shows it at its design
// size; Active waits until it has the keyboard, else until it is exposed.
// The new window is made before the one it replaces is gone, as the
// program's own settings store sees it.
inline void ShowWindow(const TMainOptions& Options, std::unique_ptr<TfmMain>& Window,
                       std::unique_ptr<TfmEditValue>* EditValue = nullptr,
                       std::unique_ptr<TfmOptions>* OptionsDialog = nullptr, bool Active = false) {
  Window = std::make_unique<TfmMain>(Options);
  if (EditValue != nullptr) *EditValue = std::make_unique<TfmEditValue>(Window.get());
  if (OptionsDialog != nullptr) *OptionsDialog = std::make_unique<TfmOptions>(Window.get());
  if (EditValue != nullptr || OptionsDialog != nullptr)
    Window->SetDialogs(EditValue != nullptr ? EditValue->get() : nullptr,
                       OptionsDialog != nullptr ? OptionsDialog->get() : nullptr);
  Window->resize(TfmMain::kDesignWidth, TfmMain::kDesignHeight);
  Window->show();
  if (Active) {
    Window->activateWindow();
    QVERIFY(QTest::qWaitForWindowActive(Window.get()));
  } else {
    QVERIFY(QTest::qWaitForWindowExposed(Window.get()));
  }
}

// Autodetect as a click starts it; it must find Expect controllers.
inline void DetectCount(TfmMain& Window, int Expect) {
  QVERIFY(Detect(Window));
  QCOMPARE(Window.GetTavexList().Count(), Expect);
}

// A mouse event sent to Target at At (Target's coordinates).
inline void SendMouse(QWidget* Target, QEvent::Type Type, const QPoint& At, Qt::MouseButton Button,
                      Qt::MouseButtons Held, Qt::KeyboardModifiers Mods = Qt::NoModifier) {
  QMouseEvent e(Type, QPointF(At), Target->mapToGlobal(QPointF(At)), Button, Held, Mods);
  QApplication::sendEvent(Target, &e);
}

// The centre of a grid's cell, scrolled into view.
inline QPoint CellCenter(QTableView& Grid, int Row, int Column) {
  Grid.scrollTo(Grid.model()->index(Row, Column));
  return Grid.visualRect(Grid.model()->index(Row, Column)).center();
}

// A colour role of a cell; invalid when the model gives none.
inline QColor RoleColor(const QAbstractItemModel& Model, int Row, int Column, int Role) {
  const QVariant v = Model.index(Row, Column).data(Role);
  return v.isValid() ? v.value<QColor>() : QColor();
}

// Answer gets the Edit Value dialog once it shows (it runs modal, so the
// call that opens it comes back only after); nothing when none shows.
template <class TAnswer>
void OnEditValue(QObject* Context, TAnswer Answer) {
  QTimer::singleShot(0, Context, [Answer] {
    auto* d = qobject_cast<TfmEditValue*>(QApplication::activeModalWidget());
    if (d != nullptr) Answer(*d);
  });
}

// The simulator's log entries of one command (-1: any) to one address
// (empty: any).
inline std::vector<nlohmann::json> SimLog(const sim::TSimulator& Sim, int Command, const std::string& IP = "") {
  std::vector<nlohmann::json> out;
  for (const nlohmann::json& e : Sim.Log())
    if ((Command < 0 || e.value("command", -1) == Command) && (IP.empty() || e.value("ip", "") == IP))
      out.push_back(e);
  return out;
}

// Name -> value of every write to one address, in order. With a multimap
// a name twice in one write shows as two values; with a map the last
// stands.
template <class TValues = std::map<std::string, double>>
std::vector<TValues> Writes(const sim::TSimulator& Sim, const std::string& IP) {
  std::vector<TValues> out;
  for (const nlohmann::json& e : SimLog(Sim, sim::cmdWriteVars, IP)) {
    TValues w;
    for (size_t i = 0; i < e["names"].size() && i < e["values"].size(); ++i) {
      if constexpr (std::is_same_v<TValues, std::multimap<std::string, double>>)
        w.emplace(e["names"][i].get<std::string>(), e["values"][i].get<double>());
      else
        w[e["names"][i].get<std::string>()] = e["values"][i].get<double>();
    }
    out.push_back(w);
  }
  return out;
}

// What a main-window test holds: its files and settings, the simulated
// controllers, the window and its Edit Value dialog. The test class derives
// from it, calls Begin from init() and End from cleanup().
class TWindowTest : public QObject {
 protected:
  std::unique_ptr<TUiFiles> Files_;
  std::unique_ptr<QSettings> Settings_;
  std::unique_ptr<sim::TSimulator> Sim_;
  std::unique_ptr<TfmMain> Window_;
  std::unique_ptr<TfmEditValue> EditValue_;

  // Only inside scripts/netns: fresh files and settings, adapter lo chosen;
  // numbers in the C locale's form unless CLocale is false (the locale as
  // it is) or the test sets another.
  void Begin(bool CLocale = true) {
    QVERIFY2(InPrivateNetwork(), "network tests run only inside scripts/netns");
    if (CLocale) QLocale::setDefault(QLocale::c());
    Files_ = std::make_unique<TUiFiles>();
    Settings_ = Files_->Settings();
    Settings_->setValue("EthernetAdapterID", "lo");
  }
  // Starts the simulated controllers; those of before are gone first.
  void StartSim(const nlohmann::json& Controllers) {
    Sim_.reset();
    StartSimulator(Controllers, Sim_);
  }
  // No error display of the test's any more; the dialog goes before its
  // window, the files last.
  void End() {
    TApplication::ErrorDisplay = nullptr;
    EditValue_.reset();
    Window_.reset();
    Settings_.reset();
    Sim_.reset();
    Files_.reset();
  }
};

}  // namespace tavex::test

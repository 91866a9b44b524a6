// Pieces shared by the units of the main window (fMain*.cpp): its colours
// and sizes, and small helpers. Not for use outside the window.
#pragma once

#include <QString>

#include <string>
#include <utility>

namespace tavex::fmain {

inline constexpr char kInvalidIPWarning[] = "Warning: your computer IP address is invalid!";
// The adapter watch's warning for a chosen adapter that is no longer
// listed: "Warning: network adapter eth1 is gone!". A long system name (a
// GUID) is cut: the bar has one line.
inline QString AdapterGoneWarning(const std::string& ID) {
  constexpr int kNameMax = 24;
  QString name = QString::fromStdString(ID);
  if (name.size() > kNameMax) name = name.left(kNameMax - 3) + QStringLiteral("...");
  return QStringLiteral("Warning: network adapter %1 is gone!").arg(name);
}
// lblMyIP's width at least (its design width).
inline constexpr int kMyIPMinWidth = 137;
inline constexpr int kTimerMs = 2000;
inline constexpr int kPanelHeight = 41;
inline constexpr int kRtcColumn = 3;

// Runs a function when the scope ends, also when an exception leaves it.
template <class F>
class TScopeExit {
 public:
  explicit TScopeExit(F Fn) : Fn_(std::move(Fn)) {}
  ~TScopeExit() { Fn_(); }
  TScopeExit(const TScopeExit&) = delete;
  TScopeExit& operator=(const TScopeExit&) = delete;

 private:
  F Fn_;
};

}  // namespace tavex::fmain

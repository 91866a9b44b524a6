// Pieces shared by the units of the main window (fMain*.cpp): its colours
// and sizes, and small helpers. Not for use outside the window.
#pragma once

#include <QString>

#include <string>
#include <utility>

namespace tavex::fmain {

inline constexpr char kInvalidIPWarning[] = "Warning: your computer IP address is invalid!";
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

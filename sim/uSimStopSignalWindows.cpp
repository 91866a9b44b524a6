// The stop request on Windows: the console's control events (Ctrl+C,
// Ctrl+Break, the window closing, log-off, shut-down), which Windows
// delivers on a thread of its own; the handler wakes the main thread and
// reports the event handled, so that the simulator can stop in order.
#include "sim/uSimStopSignal.h"

#include <windows.h>

#include <chrono>
#include <condition_variable>
#include <mutex>

namespace tavex::sim {

namespace {
std::mutex gStopLock;
std::condition_variable gStopWake;
bool gStopRequested = false;

BOOL WINAPI OnConsoleControl(DWORD) {
  {
    std::lock_guard<std::mutex> g(gStopLock);
    gStopRequested = true;
  }
  gStopWake.notify_all();
  return TRUE;
}
}  // namespace

void BlockStopRequests() { ::SetConsoleCtrlHandler(OnConsoleControl, TRUE); }

void WaitForStop(long Seconds) {
  std::unique_lock<std::mutex> g(gStopLock);
  if (Seconds < 0)
    gStopWake.wait(g, [] { return gStopRequested; });
  else
    gStopWake.wait_for(g, std::chrono::seconds(Seconds), [] { return gStopRequested; });
}

}  // namespace tavex::sim

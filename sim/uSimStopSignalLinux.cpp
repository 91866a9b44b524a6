// The stop request on Linux: SIGINT and SIGTERM, blocked in every thread and
// taken with sigwait by the main thread.
#include "sim/uSimStopSignal.h"

#include <pthread.h>
#include <signal.h>

#include <cerrno>
#include <ctime>

namespace tavex::sim {

namespace {
sigset_t StopSignals() {
  sigset_t signals;
  sigemptyset(&signals);
  sigaddset(&signals, SIGINT);
  sigaddset(&signals, SIGTERM);
  return signals;
}
}  // namespace

void BlockStopRequests() {
  const sigset_t signals = StopSignals();
  pthread_sigmask(SIG_BLOCK, &signals, nullptr);
}

void WaitForStop(long Seconds) {
  const sigset_t signals = StopSignals();
  if (Seconds < 0) {
    int sig = 0;
    while (sigwait(&signals, &sig) != 0) {
    }
    return;
  }
  timespec left{Seconds, 0};
  for (;;) {
    timespec start{};
    clock_gettime(CLOCK_MONOTONIC, &start);
    if (sigtimedwait(&signals, nullptr, &left) >= 0 || errno != EINTR) break;
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    const long long spent = (now.tv_sec - start.tv_sec) * 1000000000ll + (now.tv_nsec - start.tv_nsec);
    const long long rest = left.tv_sec * 1000000000ll + left.tv_nsec - spent;
    if (rest <= 0) break;
    left = {static_cast<time_t>(rest / 1000000000ll), static_cast<long>(rest % 1000000000ll)};
  }
}

}  // namespace tavex::sim

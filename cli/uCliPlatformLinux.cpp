#include "cli/uCliPlatform.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>
#include <system_error>

namespace tavex {

namespace {
void (*gStopHandler)() = nullptr;
extern "C" void OnStopSignal(int) {
  if (gStopHandler != nullptr) gStopHandler();
}
}  // namespace

bool DescriptorOpen(int Fd) { return fcntl(Fd, F_GETFD) != -1 || errno != EBADF; }

bool TerminalAcceptsControls(int Fd) { return ::isatty(Fd) == 1; }

size_t TerminalColumns(int Fd) {
  winsize ws{};
  if (::ioctl(Fd, TIOCGWINSZ, &ws) == 0) return ws.ws_col;
  return 0;
}

std::string ProgramPath() {
  std::error_code ec;
  std::filesystem::path exe = std::filesystem::read_symlink("/proc/self/exe", ec);
  return ec ? std::string() : exe.string();
}

void InstallStopHandler(void (*Handler)()) {
  gStopHandler = Handler;
  struct sigaction stop {};
  stop.sa_handler = OnStopSignal;
  sigemptyset(&stop.sa_mask);
  sigaction(SIGINT, &stop, nullptr);
  sigaction(SIGTERM, &stop, nullptr);
}

void RaiseDescriptorLimit() {
  rlimit files{};
  if (getrlimit(RLIMIT_NOFILE, &files) == 0 && files.rlim_cur < files.rlim_max) {
    files.rlim_cur = files.rlim_max;
    setrlimit(RLIMIT_NOFILE, &files);
  }
}

}  // namespace tavex

#include "cli/uCliPlatform.h"

#include <windows.h>
#include <io.h>

#include <atomic>
#include <vector>

namespace tavex {

namespace {
std::atomic<void (*)()> gStopHandler{nullptr};

// Called by Windows on a thread of its own. Reporting the event handled
// keeps the process alive, so that the run ends after the frame in flight
// (for a closing console, Windows ends the process a few seconds later).
BOOL WINAPI OnConsoleControl(DWORD) {
  if (auto* handler = gStopHandler.load()) handler();
  return TRUE;
}

HANDLE ConsoleOf(int Fd) {
  const intptr_t h = _get_osfhandle(Fd);
  if (h == -1 || !_isatty(Fd)) return INVALID_HANDLE_VALUE;
  return reinterpret_cast<HANDLE>(h);
}
}  // namespace

bool DescriptorOpen(int Fd) { return _get_osfhandle(Fd) != -1; }

bool TerminalAcceptsControls(int Fd) {
  const HANDLE console = ConsoleOf(Fd);
  if (console == INVALID_HANDLE_VALUE) return false;
  DWORD mode = 0;
  if (!::GetConsoleMode(console, &mode)) return false;
  if (mode & ENABLE_VIRTUAL_TERMINAL_PROCESSING) return true;
  return ::SetConsoleMode(console, mode | ENABLE_VIRTUAL_TERMINAL_PROCESSING) != 0;
}

size_t TerminalColumns(int Fd) {
  const HANDLE console = ConsoleOf(Fd);
  CONSOLE_SCREEN_BUFFER_INFO info{};
  if (console == INVALID_HANDLE_VALUE || !::GetConsoleScreenBufferInfo(console, &info)) return 0;
  const int columns = info.srWindow.Right - info.srWindow.Left + 1;
  return columns > 0 ? static_cast<size_t>(columns) : 0;
}

std::string ProgramPath() {
  // Long paths included; a path longer than that is not looked for.
  std::vector<wchar_t> buf(32768);
  const DWORD n = ::GetModuleFileNameW(nullptr, buf.data(), static_cast<DWORD>(buf.size()));
  if (n == 0 || n >= buf.size()) return {};
  const int bytes = ::WideCharToMultiByte(CP_ACP, 0, buf.data(), static_cast<int>(n), nullptr, 0,
                                          nullptr, nullptr);
  if (bytes <= 0) return {};
  std::string out(static_cast<size_t>(bytes), '\0');
  ::WideCharToMultiByte(CP_ACP, 0, buf.data(), static_cast<int>(n), out.data(), bytes, nullptr,
                        nullptr);
  return out;
}

void InstallStopHandler(void (*Handler)()) {
  gStopHandler.store(Handler);
  ::SetConsoleCtrlHandler(OnConsoleControl, TRUE);
}

// Windows limits sockets by memory, not by a per-process descriptor count.
void RaiseDescriptorLimit() {}

}  // namespace tavex

// Where the journal lives on Windows (the user's local application data,
// not copied between machines), who writes it, and the locked, flushed
// append.
#include "plc/uJournal.h"

#include <windows.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <system_error>

namespace tavex {

namespace fs = std::filesystem;

namespace {

std::string LastErrorText(DWORD E) { return std::system_category().message(static_cast<int>(E)); }

// The journal opened for appending, its folder and the file created when
// missing (the folder and file inherit the user's own profile rights).
HANDLE OpenJournal(const std::string& Path, std::string& Error) {
  if (Path.empty()) {
    Error = "no journal path (neither TAVEX_JOURNAL nor LOCALAPPDATA is set)";
    return INVALID_HANDLE_VALUE;
  }
  std::error_code ec;
  const fs::path folder = fs::path(Path).parent_path();
  if (!folder.empty()) fs::create_directories(folder, ec);
  if (ec) {
    Error = folder.string() + ": " + ec.message();
    return INVALID_HANDLE_VALUE;
  }
  const HANDLE h = ::CreateFileW(fs::path(Path).wstring().c_str(), FILE_APPEND_DATA | FILE_READ_DATA,
                                 FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_ALWAYS,
                                 FILE_ATTRIBUTE_NORMAL, nullptr);
  if (h == INVALID_HANDLE_VALUE) Error = LastErrorText(::GetLastError());
  return h;
}

}  // namespace

std::string JournalPath() {
  const char* own = std::getenv("TAVEX_JOURNAL");
  if (own != nullptr && own[0] != '\0') return own;
  const char* local = std::getenv("LOCALAPPDATA");
  if (local == nullptr || local[0] == '\0') return {};
  const fs::path folder(local);
  if (!folder.is_absolute()) return {};
  return (folder / "tavex" / "journal").string();
}

std::string JournalUser() {
  const char* user = std::getenv("USERNAME");
  return user != nullptr ? user : "";
}

std::string JournalHost() {
  const char* host = std::getenv("COMPUTERNAME");
  return host != nullptr ? host : "";
}

bool CheckJournal(const std::string& Path, std::string& Error) {
  const HANDLE h = OpenJournal(Path, Error);
  if (h == INVALID_HANDLE_VALUE) return false;
  ::CloseHandle(h);
  return true;
}

bool AppendJournal(const std::string& Path, const std::vector<TJournalRecord>& Records,
                   std::string& Error) {
  if (Records.empty()) return true;
  std::string batch;
  for (const TJournalRecord& r : Records) batch += JournalLine(r) + "\n";

  const HANDLE h = OpenJournal(Path, Error);
  if (h == INVALID_HANDLE_VALUE) return false;
  // The whole file's range, far beyond its end: every writer locks the same.
  OVERLAPPED whole{};
  if (!::LockFileEx(h, LOCKFILE_EXCLUSIVE_LOCK, 0, MAXDWORD, MAXDWORD, &whole)) {
    Error = "cannot lock it: " + LastErrorText(::GetLastError());
    ::CloseHandle(h);
    return false;
  }
  // A writer that died mid-line left a torn last line: ours start afresh.
  LARGE_INTEGER size{};
  if (::GetFileSizeEx(h, &size) && size.QuadPart > 0) {
    OVERLAPPED at{};
    at.Offset = static_cast<DWORD>((size.QuadPart - 1) & 0xffffffff);
    at.OffsetHigh = static_cast<DWORD>((size.QuadPart - 1) >> 32);
    char last = '\n';
    DWORD got = 0;
    if (::ReadFile(h, &last, 1, &got, &at) && got == 1 && last != '\n') batch.insert(batch.begin(), '\n');
  }
  bool ok = true;
  for (size_t done = 0; done < batch.size();) {
    DWORD n = 0;
    const DWORD chunk = static_cast<DWORD>(std::min<size_t>(batch.size() - done, 1u << 30));
    if (!::WriteFile(h, batch.data() + done, chunk, &n, nullptr) || n == 0) {
      Error = LastErrorText(::GetLastError());
      ok = false;
      break;
    }
    done += n;
  }
  if (ok && !::FlushFileBuffers(h)) {
    Error = "cannot flush it: " + LastErrorText(::GetLastError());
    ok = false;
  }
  OVERLAPPED unlock{};
  ::UnlockFileEx(h, 0, MAXDWORD, MAXDWORD, &unlock);
  ::CloseHandle(h);
  return ok;
}

}  // namespace tavex

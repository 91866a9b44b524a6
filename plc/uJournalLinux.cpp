// Where the journal lives on Linux (the base directory rules' state
// folder), who writes it, and the locked, synced append.
#include "plc/uJournal.h"

#include <fcntl.h>
#include <pwd.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <system_error>

namespace tavex {

namespace fs = std::filesystem;

namespace {

std::string ErrnoText(int E) { return std::error_code(E, std::generic_category()).message(); }

// Creates Folder and the folders above it that are missing, each 0700:
// the journal says who changed what, which is nobody else's business.
bool MakeFolders(const fs::path& Folder, std::string& Error) {
  if (Folder.empty()) return true;
  struct stat st{};
  if (::stat(Folder.c_str(), &st) == 0) {
    if (S_ISDIR(st.st_mode)) return true;
    Error = Folder.string() + ": " + ErrnoText(ENOTDIR);
    return false;
  }
  if (Folder.has_parent_path() && Folder.parent_path() != Folder &&
      !MakeFolders(Folder.parent_path(), Error))
    return false;
  if (::mkdir(Folder.c_str(), 0700) != 0 && errno != EEXIST) {
    Error = Folder.string() + ": " + ErrnoText(errno);
    return false;
  }
  return true;
}

// The journal opened for appending (and for reading its last byte), its
// folder and the file created when missing. -1 with Error.
int OpenJournal(const std::string& Path, std::string& Error) {
  if (Path.empty()) {
    Error = "no journal path (neither TAVEX_JOURNAL, XDG_STATE_HOME nor HOME is set)";
    return -1;
  }
  if (!MakeFolders(fs::path(Path).parent_path(), Error)) return -1;
  int fd = -1;
  do {
    fd = ::open(Path.c_str(), O_RDWR | O_APPEND | O_CREAT | O_CLOEXEC | O_NOCTTY, 0600);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) {
    Error = ErrnoText(errno);
    return -1;
  }
  struct stat st{};
  if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    Error = "not a regular file";
    ::close(fd);
    return -1;
  }
  return fd;
}

}  // namespace

std::string JournalPath() {
  const char* own = std::getenv("TAVEX_JOURNAL");
  if (own != nullptr && own[0] != '\0') return own;
  const char* xdg = std::getenv("XDG_STATE_HOME");
  if (xdg != nullptr && xdg[0] == '/') return (fs::path(xdg) / "tavex" / "journal").string();
  const char* home = std::getenv("HOME");
  if (home != nullptr && home[0] != '\0')
    return (fs::path(home) / ".local" / "state" / "tavex" / "journal").string();
  return {};
}

std::string JournalUser() {
  char buf[4096];
  passwd pw{};
  passwd* found = nullptr;
  if (::getpwuid_r(::geteuid(), &pw, buf, sizeof buf, &found) == 0 && found != nullptr &&
      found->pw_name != nullptr)
    return found->pw_name;
  const char* user = std::getenv("USER");
  return user != nullptr ? user : std::to_string(::geteuid());
}

std::string JournalHost() {
  char name[256] = {};
  if (::gethostname(name, sizeof name - 1) != 0) return {};
  return name;
}

bool CheckJournal(const std::string& Path, std::string& Error) {
  const int fd = OpenJournal(Path, Error);
  if (fd < 0) return false;
  ::close(fd);
  return true;
}

bool AppendJournal(const std::string& Path, const std::vector<TJournalRecord>& Records,
                   std::string& Error) {
  if (Records.empty()) return true;
  std::string batch;
  for (const TJournalRecord& r : Records) batch += JournalLine(r) + "\n";

  const int fd = OpenJournal(Path, Error);
  if (fd < 0) return false;
  // A stop signal may interrupt the waits below; the records are still due.
  int locked = -1;
  do {
    locked = ::flock(fd, LOCK_EX);
  } while (locked != 0 && errno == EINTR);
  if (locked != 0) {
    Error = "cannot lock it: " + ErrnoText(errno);
    ::close(fd);
    return false;
  }
  // A writer that died mid-line left a torn last line: ours start afresh.
  struct stat st{};
  if (::fstat(fd, &st) == 0 && st.st_size > 0) {
    char last = '\n';
    if (::pread(fd, &last, 1, st.st_size - 1) == 1 && last != '\n') batch.insert(batch.begin(), '\n');
  }
  bool ok = true;
  for (size_t done = 0; done < batch.size();) {
    const ssize_t n = ::write(fd, batch.data() + done, batch.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      Error = ErrnoText(n < 0 ? errno : EIO);
      ok = false;
      break;
    }
    done += static_cast<size_t>(n);
  }
  if (ok) {
    int synced = -1;
    do {
      synced = ::fsync(fd);
    } while (synced != 0 && errno == EINTR);
    if (synced != 0) {
      Error = "cannot sync it: " + ErrnoText(errno);
      ok = false;
    }
  }
  ::flock(fd, LOCK_UN);
  if (::close(fd) != 0 && ok && errno != EINTR) {
    Error = ErrnoText(errno);
    ok = false;
  }
  return ok;
}

}  // namespace tavex

// The configuration file reader over arbitrary text, from memory and from a
// file. An entry appended to any text must be found after what was there,
// and nothing read may be longer than a line.
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "FuzzSupport.h"
#include "vars/uConfigFile.h"

using namespace tavex;

namespace {

std::string gPath;

void RemoveTemp() { std::remove(gPath.c_str()); }

// In memory where the system offers it: a disk write per input is slow.
const std::string& TempPath() {
  if (gPath.empty()) {
    for (const char* dir : {"/dev/shm", "/tmp"}) {
      std::string name = std::string(dir) + "/fuzz_config_XXXXXX";
      const int fd = mkstemp(name.data());
      if (fd < 0) continue;
      close(fd);
      gPath = name;
      std::atexit(RemoveTemp);
      break;
    }
    if (gPath.empty()) std::abort();
  }
  return gPath;
}

void CheckShape(const TConfigFile& c, size_t size) {
  FUZZ_CHECK(c.Entries.size() <= TConfigFile::kMaxEntries);
  FUZZ_CHECK(c.Password.find('\n') == std::string::npos && c.Password.size() <= size);
  FUZZ_CHECK(c.Password.size() <= TConfigFile::kMaxLineBytes);
  for (const std::string& e : c.Entries)
    FUZZ_CHECK(e.find('\n') == std::string::npos && e.size() <= size && e.size() <= TConfigFile::kMaxLineBytes);
}

bool Same(const TConfigFile& a, const TConfigFile& b) {
  return a.Password == b.Password && a.Entries == b.Entries && a.Numbered == b.Numbered;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);

  TConfigFile mem;
  int bad = -1;
  FUZZ_CHECK(LoadConfigText(text, mem, &bad));
  CheckShape(mem, size);
  FUZZ_CHECK(bad >= 0);

  // The same bytes in a file.
  FILE* f = std::fopen(TempPath().c_str(), "wb");
  FUZZ_CHECK(f != nullptr);
  FUZZ_CHECK(std::fwrite(text.data(), 1, text.size(), f) == text.size());
  std::fclose(f);
  TConfigFile file;
  int badFile = -1;
  FUZZ_CHECK(LoadConfigFile(TempPath(), file, &badFile));
  FUZZ_CHECK(Same(mem, file) && bad == badFile);

  FUZZ_CHECK(mem.Entries.size() <= mem.Numbered && mem.Notes.size() <= TConfigFile::kMaxNotes);
  if (mem.Numbered >= TConfigFile::kMaxEntries) return 0;
  // Every line stands on its own (no continuation lines, no inline
  // comments, a zero byte is a character), so section and key names in
  // another letter case, indented, still name the next entry after any text.
  const size_t n = mem.Entries.size();
  const std::string more = text + "\n  [ vARIABLES ]\n\tvar" + std::to_string(mem.Numbered) + " = \"zz[3]\" \n";
  if (more.size() > TConfigFile::kMaxBytes) return 0;
  TConfigFile grown;
  FUZZ_CHECK(LoadConfigText(more, grown));
  FUZZ_CHECK(grown.Password == mem.Password);
  FUZZ_CHECK(grown.Entries.size() > n);
  for (size_t i = 0; i < n; ++i) FUZZ_CHECK(grown.Entries[i] == mem.Entries[i]);
  FUZZ_CHECK(grown.Entries[n] == "zz[3]");
  return 0;
}

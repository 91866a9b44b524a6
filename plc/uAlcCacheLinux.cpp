// Where the allocation-archive cache lives on Linux: the base directory
// rules' cache folder.
#include "plc/uAlcCache.h"

#include <cstdlib>
#include <filesystem>

namespace tavex {

namespace fs = std::filesystem;

std::string TAlcCache::DefaultFolder() {
  const char* xdg = std::getenv("XDG_CACHE_HOME");
  if (xdg != nullptr && xdg[0] == '/') return (fs::path(xdg) / "tavex").string();
  const char* home = std::getenv("HOME");
  if (home != nullptr && home[0] != '\0') return (fs::path(home) / ".cache" / "tavex").string();
  return {};
}

}  // namespace tavex

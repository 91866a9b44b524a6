// Where the allocation-archive cache lives on Windows: the user's local
// application data folder, which is not copied between machines.
#include "plc/uAlcCache.h"

#include <cstdlib>
#include <filesystem>

namespace tavex {

namespace fs = std::filesystem;

std::string TAlcCache::DefaultFolder() {
  // Only an absolute folder (a drive or a network share): a relative one
  // would put the cache wherever the program happens to be started.
  const char* local = std::getenv("LOCALAPPDATA");
  if (local == nullptr || local[0] == '\0') return {};
  const fs::path folder(local);
  if (!folder.is_absolute()) return {};
  return (folder / "tavex").string();
}

}  // namespace tavex

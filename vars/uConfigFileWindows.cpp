// The user's configuration folder on Windows: %LOCALAPPDATA%\tavex, beside
// the allocation cache (the files are the machine's, not the roaming
// profile's).
#include "vars/uConfigFile.h"

#include <cstdlib>
#include <filesystem>

namespace tavex {

TConfigFilePlaces ConfigFilePlaces(const std::string& ProgramPath, const std::string& FileName) {
  TConfigFilePlaces places = ConfigFilePlaces(ProgramPath, FileName, nullptr, nullptr);
  // Only an absolute folder: a relative one would depend on where the
  // program happens to be started.
  const char* local = std::getenv("LOCALAPPDATA");
  if (local != nullptr && local[0] != '\0' && !FileName.empty()) {
    const std::filesystem::path folder(local);
    if (folder.is_absolute()) places.User = (folder / "tavex" / FileName).string();
  }
  return places;
}

}  // namespace tavex

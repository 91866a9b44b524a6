// The user's configuration folder on Linux: the XDG base directory rules.
#include "vars/uConfigFile.h"

#include <cstdlib>

namespace tavex {

TConfigFilePlaces ConfigFilePlaces(const std::string& ProgramPath, const std::string& FileName) {
  return ConfigFilePlaces(ProgramPath, FileName, std::getenv("XDG_CONFIG_HOME"), std::getenv("HOME"));
}

}  // namespace tavex

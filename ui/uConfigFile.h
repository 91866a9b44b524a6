// The configuration file beside the program: the controllers' password and
// the configuration entries the configuration page shows. Read only.
// Qt-free.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

namespace tavex {

struct TConfigFile {
  // Larger files are not read at all (they cannot be a configuration file).
  static constexpr size_t kMaxBytes = 1u << 20;
  // Entries beyond this many are not read.
  static constexpr size_t kMaxEntries = 10000;

  std::string Password;              // [General] Password, empty when absent
  std::vector<std::string> Entries;  // [Variables] Var0, Var1, ... while contiguous
};

// Reads the file at Path. Section and key names are matched without regard
// to case; a key given twice counts with its first value. A missing,
// unreadable or oversized file reads as empty (false); lines that are not
// valid INI are skipped.
bool LoadConfigFile(const std::string& Path, TConfigFile& Config);

}  // namespace tavex

// The configuration file beside the program: the controllers' password and
// the configuration entries the configuration page shows. Read only; an INI
// file whose section and key names are matched without regard to case.
// Shared by the desktop tool and tavexctl, so that both read it alike.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
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

// Reads the file at Path. A key given twice counts with its first value.
// A missing, unreadable or oversized file reads as empty (false); lines that
// are not valid INI are skipped (BadLine, when given, receives the number of
// the first of them, 1-based, or 0).
bool LoadConfigFile(const std::string& Path, TConfigFile& Config, int* BadLine = nullptr);

// The same over the file's text. False, and Config empty, only for a text
// over kMaxBytes.
bool LoadConfigText(std::string_view Text, TConfigFile& Config, int* BadLine = nullptr);

}  // namespace tavex

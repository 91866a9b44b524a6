// The configuration file beside the program: the controllers' password and
// the configuration entries the configuration page shows. Read only.
// Shared by the desktop tool and tavexctl, so that both read it alike.
//
// The file is read by the rules of the profile files the tool was first
// written for, so that a file made for it means the same here:
// - a line is "[section]", "key=value", a comment (";" as the first
//   non-blank character) or blank; a line ends at LF, a CR before it is
//   dropped; a UTF-8 byte order mark at the very start is ignored;
// - section and key names are trimmed and matched without regard to case
//   (ASCII); a section named twice continues the first;
// - a value is trimmed, and one pair of matching surrounding quotes ("..."
//   or '...') is dropped; ";" inside a value is part of it (no inline
//   comments); an indented line is a line of its own, never a continuation;
// - of a key given twice in its section, the first value counts.
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
  // A longer line is no setting: it is skipped whole (counted as bad) rather
  // than cut, so that no cut value is ever taken for the real one.
  static constexpr size_t kMaxLineBytes = 64u * 1024;

  std::string Password;              // [General] Password, empty when absent
  std::vector<std::string> Entries;  // [Variables] Var0, Var1, ... while contiguous
};

// Reads the file at Path. A missing, unreadable or oversized file reads as
// empty (false). Lines that are none of the four kinds above (no "=" in
// them, a "[" without its "]", longer than kMaxLineBytes) are skipped;
// BadLine, when given, receives the number of the first of them, 1-based,
// or 0. A "[" line without its "]" still starts a section, named by the
// rest of the line.
bool LoadConfigFile(const std::string& Path, TConfigFile& Config, int* BadLine = nullptr);

// The same over the file's text. False, and Config empty, only for a text
// over kMaxBytes.
bool LoadConfigText(std::string_view Text, TConfigFile& Config, int* BadLine = nullptr);

}  // namespace tavex

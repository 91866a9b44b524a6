// The inputs of tavexctl besides its command line: the configuration file
// (password and the entries to read) and the value file of 'write --from'.
//
// Both are user input: their sizes are bounded here, and whatever is wrong
// with them is a usage error (exit status 2) naming the file and line.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <string>
#include <utility>
#include <vector>

namespace tavex {

// A usage error or an unreadable input: exit status 2, one sentence.
struct TUsageError {
  std::string Sentence;
};

// What a configuration file gives: [General] Password and [Variables]
// Var0, Var1, ... while the numbering is contiguous.
struct TIniContents {
  std::string Password;
  std::vector<std::string> Entries;
};

// Reads the configuration file at Path. Throws TUsageError when it is
// missing, too large or not valid INI.
TIniContents LoadIni(const std::string& Path);

// The value file's pairs (entry, value text) per NAD, in file order.
using TFileValues = std::map<uint32_t, std::vector<std::pair<std::string, std::string>>>;

// Reads the value file at Path (CSV nad,entry,value, the header optional).
// Throws TUsageError naming the line of the first row that is wrong.
TFileValues LoadValueFile(const std::string& Path);

}  // namespace tavex

// The inputs of tavexctl besides its command line: the configuration file
// (password and the entries to read), the values to write (ENTRY=VALUE
// arguments, or the value file of 'write --from'), and their syntax.
//
// All of it is user input: sizes are bounded here, and whatever is wrong is
// a usage error (exit status 2) naming the argument or the file and line,
// found before any controller is contacted.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <string>
#include <string_view>
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

// An entry: a variable name (no blanks, quotes, separators or brackets),
// optionally followed by "[index]" with a decimal index.
bool ValidEntryText(std::string_view Text);
// A value text: an integer (decimal, or hexadecimal after $, x, X, 0x, 0X)
// or a real (digits, optional point and fraction, optional exponent);
// nothing before or after it, no decimal comma, not empty.
bool ValidValueText(std::string_view Text);
// The element an entry names, the same for "speed" and "speed[0]", for
// finding an entry given twice.
std::string EntryKey(const std::string& Entry);

// One value to write, and where it was given ("argument \"x=1\"",
// "line 3 of \"values.csv\"") for the messages about it.
struct TWriteValue {
  std::string Entry;
  std::string Value;
  std::string Where;
};

// ENTRY=VALUE arguments, in order. Throws TUsageError for the first that is
// no ENTRY=VALUE, names no valid entry, has no valid value, or gives an
// entry a second time.
std::vector<TWriteValue> ParseValueArgs(const std::vector<std::string>& Args);

// The value file's values per NAD, in file order.
using TFileValues = std::map<uint32_t, std::vector<TWriteValue>>;

// Parses a value file's text (CSV nad,entry,value; the header line optional;
// a UTF-8 byte-order mark skipped; the separator ';' when the header says
// so, else ','). Name is the file's name as given, for the messages.
// Throws TUsageError naming the line of the first row that is wrong: a row
// without three fields, a bad NAD, entry or value, an empty value, a value
// "?" (one that could not be read when the file was saved), or a
// controller and entry given a second time.
TFileValues ParseValueFile(std::string_view Text, const std::string& Name);

// Reads the value file at Path ("-": standard input) and parses it.
TFileValues LoadValueFile(const std::string& Path);

// PLACEHOLDER until the formats' help lands (merge: keep the real one).
// The text of 'tavexctl help formats': the files tavexctl reads and writes.
std::string FormatsHelp();

}  // namespace tavex

// The inputs of tavexctl besides its command line: the configuration file
// (password and the entries to read), the values to write (ENTRY=VALUE
// arguments, or the value file of 'write --from'), the CSV reader that the
// value file and the hosts file share, and the entry syntax.
//
// All of it is user input: sizes are bounded here. What makes a run
// impossible is a usage error (exit status 2) naming the argument or the
// file and line, found before any controller is contacted; what can be
// passed over is returned as warning sentences (naming the file and line)
// for the tool to print before anything is sent.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <string>
#include <string_view>
#include <vector>

#include "plc/uWritePlan.h"

namespace tavex {

// A usage error or an unreadable input: exit status 2, one sentence.
struct TUsageError {
  std::string Sentence;
};

// Longest entry text, in bytes.
inline constexpr size_t kMaxEntryChars = 256;

// What a configuration file gives: [General] Password and [Variables]
// Var0, Var1, ... (the desktop tool's reader, so both programs take the
// same entries), and a warning for each line or entry that was passed over.
struct TIniContents {
  std::string Password;
  std::vector<std::string> Entries;
  std::vector<std::string> Warnings;
};

// Reads the configuration file at Path. Throws TUsageError when it is
// missing, not a regular file or too large. A line that is no setting, an
// empty "VarN=" (skipped; the numbering goes on past it) and a key of
// [Variables] that is not read are warnings. The entries are the desktop
// tool's, each as written (the file's lines bound their length).
TIniContents LoadIni(const std::string& Path);

// Why Text cannot be an entry, or empty when it can. Any text names an
// entry: "NAME[INDEX]" (INDEX decimal or $ hexadecimal, blanks before it
// allowed) names element INDEX of NAME, anything else is a whole name (one
// that names no variable shows "?" at run time). Refused: an empty or
// blank text, one longer than kMaxEntryChars, and one with a control
// character (C0, DEL), which no variable's name holds and which would
// garble every output.
std::string EntryTextProblem(std::string_view Text);
inline bool ValidEntryText(std::string_view Text) { return EntryTextProblem(Text).empty(); }
// A value text: an integer (decimal, or hexadecimal after $, x, X, 0x, 0X)
// or a real (digits, optional point and fraction, optional exponent);
// nothing before or after it, no decimal comma, not empty.
bool ValidValueText(std::string_view Text);
// EntryKey (plc/uWritePlan.h): the element an entry names, for finding an
// entry given twice.

// One value to write, and where it was given ("Argument \"x=1\"",
// "Line 3 of \"values.csv\"") for the messages about it.
struct TWriteValue {
  std::string Entry;
  std::string Value;
  std::string Where;
};

// ENTRY=VALUE arguments, in order. Throws TUsageError for the first that is
// no ENTRY=VALUE, has no entry text, has no valid value, or gives an entry
// a second time.
std::vector<TWriteValue> ParseValueArgs(const std::vector<std::string>& Args);

// --- CSV input files -----------------------------------------------------------

// The data rows of a CSV input file, read by the rules every such file
// shares:
// - the separator is ',', ';' or TAB, told by the header line (the first
//   line that is neither blank nor a comment, when its fields are Columns
//   in any letter case); a file without the header is separated by ',';
// - a UTF-8 byte order mark is skipped; lines end in LF, CR LF or CR;
//   fields are quoted as RFC 4180 says (a quoted field may hold the
//   separator, "" and line breaks); blanks around a field are trimmed;
// - a line whose first non-blank character is '#' is a comment; blank
//   lines, lines of empty fields and empty fields after the columns (as
//   spreadsheets save them) are passed over;
// - fields after the columns that are not empty are dropped, with one
//   warning for the file.
struct TCsvRows {
  char Separator = ',';
  std::vector<std::vector<std::string>> Rows;  // at most Columns fields each, not all empty
  std::vector<size_t> Lines;                   // the line (from 1) each row starts on
};

// Reads Text (the file Name, as the user gave it) by those rules. Throws
// TUsageError for text that is no CSV (a quote never closed, text after a
// closing quote), more than MaxRows rows or a row of more than 64 fields.
// Appends the warning about dropped fields to Warnings.
TCsvRows ReadCsvRows(std::string_view Text, const std::string& Name,
                     const std::vector<std::string>& Columns, size_t MaxRows,
                     std::vector<std::string>& Warnings);

// "Line 3 of \"values.csv\"".
std::string LineOf(size_t Line, const std::string& Name);

// Appends the first 10 of Items to Warnings, then "N more MoreOf." for the
// rest: a file of a thousand repeated rows gives a dozen lines, not a
// thousand.
void AddCappedWarnings(std::vector<std::string>& Warnings, const std::vector<std::string>& Items,
                       const std::string& MoreOf);

// --- The value file ------------------------------------------------------------

// The value file's values per NAD, in file order, and the warnings about it.
using TFileValues = std::map<uint32_t, std::vector<TWriteValue>>;
struct TValueFile {
  TFileValues Values;
  std::vector<std::string> Warnings;
};

// Parses a value file's text (CSV nad,entry,value, by ReadCsvRows' rules).
// Name is the file's name as given, for the messages. In a ';' or TAB file
// a decimal comma is taken for the point ("1,5": 1.5). A row repeated
// exactly (the same controller, the element and value) is a warning, and
// left out. With SkipUnknown the rows whose value is "?" (one that could
// not be read when the file was saved) are left out, named in one warning.
// Throws TUsageError naming the line of the first row that is wrong: a row
// without three fields, a bad NAD, entry or value, an empty value, a value
// "?" without SkipUnknown, or a controller's element given two values (both
// lines named); and for a file without values.
TValueFile ParseValueFile(std::string_view Text, const std::string& Name, bool SkipUnknown = false);

// Reads the value file at Path ("-": standard input) and parses it.
TValueFile LoadValueFile(const std::string& Path, bool SkipUnknown = false);

// --- Help ----------------------------------------------------------------------

// The text of 'tavexctl help formats': the value file, the hosts file and
// the configuration file, each's rules and an example, in 80 columns.
std::string FormatsHelp();

}  // namespace tavex

// Text helpers of tavexctl: aligned tables for a terminal, CSV written and
// read (RFC 4180 quoting), small files read with a size limit, and the
// progress line on stderr.
//
// Texts from a controller (comments, names) are untrusted: what goes to a
// terminal has its control characters replaced, so a hostile allocation file
// cannot move the cursor or retitle the window.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace tavex {

// A grid of texts: one header row and any number of body rows. A row shorter
// than the header is padded with empty cells; cells beyond the header are
// not shown.
struct TTextTable {
  std::vector<std::string> Header;
  std::vector<std::vector<std::string>> Rows;
};

// Control characters (C0, DEL, C1) replaced by '?'; everything else as it is.
std::string TerminalSafe(std::string_view Text);

// Text in double quotes, made terminal-safe.
std::string Quoted(const std::string& Text);
// A message as a sentence: ends with a full stop unless it has its own mark.
std::string Sentence(std::string Text);
// "a, b, c", each item made terminal-safe.
std::string JoinList(const std::vector<std::string>& Items);

// Columns separated by two blanks, each as wide as its widest cell (counted
// in UTF-8 characters); trailing blanks trimmed; one line per row.
std::string FormatTable(const TTextTable& Table);

// One field: quoted when it holds a comma, a double quote, CR or LF, or
// begins or ends with a blank; a double quote inside is doubled.
std::string CsvField(std::string_view Text);
// Header and rows as CSV lines ending in LF.
std::string FormatCsv(const TTextTable& Table);

// How CSV text is split: the separator (',', ';' or TAB), whether a line
// whose first non-blank character is '#' is a comment, and the bounds.
struct TCsvSyntax {
  char Separator = ',';
  bool Comments = false;
  size_t MaxRecords = 100000;
  size_t MaxFields = 64;
};

// Splits CSV text into records of fields. A quoted field may hold
// separators, doubled quotes and line breaks; blanks (spaces, and tabs
// unless TAB is the separator) around an unquoted field are trimmed; blank
// lines, and comment lines when Syntax.Comments, give no record; CR LF, LF
// and CR end a record. False (with a sentence in Error naming the line) for
// a quote that is never closed, text after a closing quote, a quote inside
// an unquoted field, or more records or fields than the bounds. Lines, when
// given, receives the line number (from 1) each record starts on.
bool ParseCsv(std::string_view Text, std::vector<std::vector<std::string>>& Records,
              std::string& Error, std::vector<size_t>* Lines, const TCsvSyntax& Syntax);
// The same with Separator (',' or ';') and no comments.
bool ParseCsv(std::string_view Text, std::vector<std::vector<std::string>>& Records,
              std::string& Error, std::vector<size_t>* Lines = nullptr,
              size_t MaxRecords = 100000, size_t MaxFields = 64, char Separator = ',');

// Called first thing: a standard descriptor (0, 1, 2) that the program was
// started without is taken by /dev/null, so that no socket or file opened
// later lands on it and receives the output. StdoutClosed then tells that
// the output has nowhere to go.
void GuardStandardStreams();

// One line of --trace for a datagram sent (to IP:Port) or received (from
// it): "HH:MM:SS.mmm -> 127.0.0.2:8442 1 > 1000 dir 0 cmd 16 len 19 AA55..."
// (NADs, Direction and, for a request, the command when the datagram starts
// with a frame header), at most 2048 bytes in hex.
std::string TraceLine(bool Sent, const std::string& IP, uint16_t Port, const uint8_t* Data,
                      size_t Size);
bool StdoutClosed();

// Reads a whole regular file of at most Limit bytes. False with a sentence
// in Error when it is missing, not a regular file, too large or unreadable.
bool ReadSmallFile(const std::string& Path, size_t Limit, std::string& Text, std::string& Error);
// ReadSmallFile, or with Path "-" all of standard input (at most Limit
// bytes).
bool ReadSmallInput(const std::string& Path, size_t Limit, std::string& Text, std::string& Error);

// One status line on stderr, rewritten in place with '\r' and cut to the
// terminal's width; silent when stderr is not a terminal.
class TProgress {
 public:
  TProgress();
  ~TProgress() { Clear(); }
  TProgress(const TProgress&) = delete;
  TProgress& operator=(const TProgress&) = delete;

  bool Enabled() const { return Enabled_; }
  // No progress line from now on (-q).
  void Silence() {
    Clear();
    Enabled_ = false;
  }
  void Show(std::string_view Text);
  // Erases the line (nothing when none is shown).
  void Clear();

 private:
  bool Enabled_ = false;
  bool Shown_ = false;
};

}  // namespace tavex

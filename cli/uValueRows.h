// The rows file: one value per line as "nad,entry,value" under that header,
// the file 'tavexctl read --format rows' prints, 'write --from' takes back
// and the desktop tool saves and loads. Both programs write it here, so a
// file saved by one is byte for byte what the other saves of the same
// values; both read it with ParseValueFile (cli/uCliInputs.h).
//
// Matching a file's rows to the controllers and entries on hand is here
// too, so that what is applied and what is passed over is decided without
// a window. Qt-free; nothing here throws but what ParseValueFile throws.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "cli/uCliInputs.h"
#include "cli/uCliOutput.h"

namespace tavex {

class TValueRowsFile {
 public:
  // One value. A row without a NAD (a controller never identified) has no
  // place in the file and is left out.
  void Add(const std::string& Nad, const std::string& Entry, const std::string& Value);
  size_t Count() const { return Table_.Rows.size(); }
  // The file's text: the header, then the rows in the order added, LF ends.
  std::string Text() const { return FormatCsv(Table_); }

 private:
  TTextTable Table_{{"nad", "entry", "value"}, {}};
};

// Where the values of a file go: one value for one row and entry column.
struct TValueRowsApply {
  int Row = 0;
  int Entry = 0;
  std::string Value;
};

// A file's values matched to grid rows (by NAD) and entries: the values to
// apply, and a sentence for each value passed over and why (a controller
// not in the grid, a NAD in more than one row, an entry not configured).
struct TValueRowsMatch {
  std::vector<TValueRowsApply> Apply;
  std::vector<std::string> Skipped;
};

// RowNads: each row's NAD (-1 for a row without one). Entries: the
// configured entries in column order. An entry of the file matches the
// column of the same text, else the one naming the same element
// ("speed" and "speed[0]"); an entry configured twice gets the value in
// both columns. A NAD in more than one row is applied to none: the file
// cannot tell which controller it was read from.
TValueRowsMatch MatchValueRows(const TFileValues& Values, const std::vector<int64_t>& RowNads,
                               const std::vector<std::string>& Entries);

}  // namespace tavex

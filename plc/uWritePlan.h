// Which value of the configuration grid goes to which controller in a
// Write: one decision, made before anything is sent, that the desktop tool
// takes for each checked row. Qt-free.
//
// - A variable is written at most once per controller. Two columns may name
//   the same variable ("fan_speed" twice, or "pump" and "pump[0]", which the
//   exchange links to one element); were each column's text sent in turn,
//   the later one would overwrite the other, an edit with an old value. Of
//   such columns the edited cell wins; two edits with different texts are a
//   conflict, and so are two different unedited texts (nobody can tell
//   which is meant): the caller refuses the whole Write.
// - A stale cell (not read in the last operation) is not written: its text
//   need not be what the controller holds. An edited cell is never stale.
// - "?" (no value) and an empty cell are not written unless edited.
// - With EditedOnly, only edited cells are written.
// - A value goes out as WireValueText makes it (the locale's decimal
//   separator taken as the point).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace tavex {

struct TWriteCell {
  std::string Text;
  bool Edited = false;
  bool Stale = false;
};

struct TWritePlanOptions {
  bool EditedOnly = false;
  char DecimalSeparator = '.';
};

// Two cells of one row that name the same variable with different values.
struct TWriteConflict {
  size_t First = 0;   // entry (column) numbers, First < Second
  size_t Second = 0;
  std::string FirstText, SecondText;
  bool Edited = false;  // both are edits
};

struct TRowWrite {
  // One text per entry, as it is sent; empty: not written.
  std::vector<std::string> Values;
  // Per entry: the value sent comes from an edited cell.
  std::vector<char> FromEdit;
  bool HasConflict = false;
  TWriteConflict Conflict;
  int Count = 0;   // values to send
  int Edited = 0;  // of them, edits
};

// The variable an entry names, by the exchange's rule: "pump" and "pump[0]"
// are one ("pump[0]"), and so are "recipe[3]", "recipe[ 3]" and
// "recipe[$3]"; an entry without a valid index is its own text.
std::string EntryKey(const std::string& Entry);

// The values of one row. Cells beyond Entries are ignored; missing cells
// are empty.
TRowWrite PlanRowWrite(const std::vector<std::string>& Entries, const std::vector<TWriteCell>& Cells,
                       const TWritePlanOptions& Options);

// The user's message for a conflict of controller Nad's row; FirstColumn
// is the grid's number (counted from 1) of entry 0's column:
// "1002: fan_speed has two different edits, in columns 5 and 7 (1500 and
// 1600). Nothing was written."
std::string ConflictText(const std::vector<std::string>& Entries, int64_t Nad, const TWriteConflict& Conflict,
                         int FirstColumn);

}  // namespace tavex

// Texts of the configuration grid that have no window in them: a block of
// cells as tab-separated text (the clipboard's form, as spreadsheets copy
// and paste it), a variable's type and range for a column's tooltip, a
// controller clock's offset from the workstation's, and a value's decimal
// separator between the grid (the user's) and the rows file ('.').
// Qt-free; nothing here throws.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "vars/uValueRules.h"

namespace tavex {

// Most rows and columns a pasted text gives; what lies beyond is dropped,
// as it would lie beyond any grid's edge.
inline constexpr size_t kMaxTabRows = 10000;
inline constexpr size_t kMaxTabColumns = 1000;

// Lines (LF, CR LF or CR) of fields split at TAB. One line end at the end
// of the text does not start an empty last line (a spreadsheet's copy ends
// so). Rows and columns past the bounds are dropped.
std::vector<std::vector<std::string>> ParseTabText(std::string_view Text);
// Fields joined by TAB, each row ended by LF. A TAB or line break inside
// a field would split it when pasted back: each is written as a blank.
std::string FormatTabText(const std::vector<std::vector<std::string>>& Rows);

// A variable's type and range as the user reads them: TypeRangeText of
// vars/uValueRules.h, the rules the write applies.

// "controller 41 s behind", "controller 2 min 5 s ahead", "controller on
// time": Seconds is the controller's clock less the workstation's.
std::string ClockOffsetText(int64_t Seconds);

// A value text with Separator for its decimal point ("1,5" with ','), as
// the grid shows values, turned into the rows file's '.' form, and back.
// Texts that are no decimal number keep every character.
std::string ToFilePoint(std::string Text, char Separator);
std::string FromFilePoint(std::string Text, char Separator);

}  // namespace tavex

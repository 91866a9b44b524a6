// What a value text means for a variable's type, as the user types it into
// a value cell: the cell may carry the decimal separator of the user's
// locale (the one the grid shows values with), while the write takes the
// locale-independent text of ValueFromText. Both the write and the editor
// go through WireValueText and ValueFromText, so that what the editor
// accepts is exactly what the write sends. Qt-free.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace tavex {

// The text ValueFromText reads for a cell text shown with DecimalSeparator:
// a text with exactly one DecimalSeparator and no '.' gets a '.' in its
// place ("1,5" -> "1.5" when the separator is ','); every other text stays
// as it is, so that a doubtful text ("1,500.5") is refused by the type
// instead of being read as some other number.
std::string WireValueText(std::string_view Text, char DecimalSeparator);

// The rule of a type in one sentence, for the user: "A word takes 0 to
// 65535.", "A real takes numbers from -3.4028235E38 to 3.4028235E38.", "A
// timer is not transferred: it cannot be written."; empty for no known type.
std::string ValueRuleText(uint8_t VarType);

// The type and its range for a label: "word, 0 to 65535"; for a real the
// largest real after a plus-minus sign (UTF-8); "timer, not transferred";
// empty for no known type.
std::string TypeRangeText(uint8_t VarType);

// Empty when the type takes Text (after WireValueText); otherwise why not,
// for the user: the rule of the type, with the converter's own reason
// where it has one ("A real takes ... : 1E39 is beyond the largest real,
// 3.4028235E38.").
std::string CheckValueText(uint8_t VarType, std::string_view Text, char DecimalSeparator);

}  // namespace tavex

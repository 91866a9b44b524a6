// Number texts as the controller files and the value cells write them,
// independent of the user's locale.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace tavex {

// An integer: optional leading spaces, an optional sign, then decimal digits,
// or hexadecimal digits after a prefix "$", "x", "X", "0x" or "0X". Nothing
// may follow. Value is the number as written (a hexadecimal text is an
// unsigned magnitude); false when the text is no integer or leaves the
// range of int64.
bool TryParseInteger(std::string_view Text, int64_t& Value);

// The integer form of the allocation file's numeric columns: as above, but a
// hexadecimal text of up to 32 bits is taken as a 32-bit two's complement
// pattern (FFFFFFFF is -1), and a decimal text must fit in int32.
bool TryParseInt32(std::string_view Text, int32_t& Value);

// Hexadecimal digits only, no prefix or sign, up to 32 bits, read as a 32-bit
// two's complement pattern.
bool TryParseHex32(std::string_view Text, int32_t& Value);

// A real: optional leading spaces, an optional sign, digits with an optional
// fraction after a point, an optional exponent (E or e, optional sign,
// digits). Nothing may follow; no decimal comma; no "inf" or "nan".
bool TryParseReal(std::string_view Text, double& Value);

// How a real text fits a 32-bit single when rounded to nearest (ties to
// even) once, straight from the decimal text.
enum class TSingleFit : uint8_t {
  Fits,       // a finite single: zero only for a text of zeros
  Overflow,   // rounds beyond the largest single (3.4028235E38)
  Underflow,  // not zero, but rounds to zero (below half the smallest, 1E-45)
};
// A real text (the syntax of TryParseReal) read into single precision.
// False when the text is no real; otherwise Fit says how it fits, and with
// Fits Value holds the rounded single (-0 for "-0"), else Value is 0.
// Rounding the text once avoids the double rounding of text -> double ->
// single, which can land on the other neighbour of a single's midpoint.
bool TryParseSingle(std::string_view Text, float& Value, TSingleFit& Fit);

// A number laid out from its significant decimal digits (no leading or
// trailing zeros, at least one digit) and the power of ten of the first:
// fixed notation from 1E-5 up to 15 integer digits ("0.00125", "1500",
// "2.5"), scientific otherwise ("1.5E20", "1E-6"); Negative puts a "-" in
// front.
std::string LayoutDecimal(bool Negative, std::string_view Digits, int Exponent, char DecimalSeparator);

// The shortest text that reads back (TryParseSingle) to the same single,
// laid out as above: 1.8f is "1.8", the largest single "3.4028235E38", the
// smallest "1E-45"; "0" and "-0"; "NAN", "INF", "-INF".
std::string FormatSingle(float Value, char DecimalSeparator);

}  // namespace tavex

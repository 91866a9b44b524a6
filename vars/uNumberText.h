// Number texts as the controller files and the value cells write them,
// independent of the user's locale.
#pragma once

#include <cstdint>
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

}  // namespace tavex

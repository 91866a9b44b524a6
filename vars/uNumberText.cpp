#include "vars/uNumberText.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <limits>
#include <string>

namespace tavex {

namespace {

int DigitValue(char c, bool hex) {
  if (c >= '0' && c <= '9') return c - '0';
  if (hex) {
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  }
  return -1;
}

std::string_view SkipSpaces(std::string_view t) {
  size_t i = 0;
  while (i < t.size() && t[i] == ' ') ++i;
  return t.substr(i);
}

// Unsigned magnitude of a digit run; false on overflow of uint64 or no digits.
bool Magnitude(std::string_view digits, bool hex, uint64_t& out) {
  if (digits.empty()) return false;
  const uint64_t base = hex ? 16 : 10;
  uint64_t v = 0;
  for (char c : digits) {
    const int d = DigitValue(c, hex);
    if (d < 0) return false;
    if (v > (std::numeric_limits<uint64_t>::max() - static_cast<uint64_t>(d)) / base) return false;
    v = v * base + static_cast<uint64_t>(d);
  }
  out = v;
  return true;
}

// Splits sign and prefix off; returns the digit run and whether it is hex.
bool SplitInteger(std::string_view text, bool& negative, bool& hex, std::string_view& digits) {
  std::string_view t = SkipSpaces(text);
  negative = false;
  if (!t.empty() && (t[0] == '+' || t[0] == '-')) {
    negative = t[0] == '-';
    t.remove_prefix(1);
  }
  hex = false;
  if (!t.empty() && (t[0] == '$' || t[0] == 'x' || t[0] == 'X')) {
    hex = true;
    t.remove_prefix(1);
  } else if (t.size() >= 2 && t[0] == '0' && (t[1] == 'x' || t[1] == 'X')) {
    hex = true;
    t.remove_prefix(2);
  }
  digits = t;
  return !digits.empty();
}

// The power of ten of the first significant digit of a real text whose
// syntax was checked (digits, optional point and digits, optional exponent),
// saturated far beyond double's range; a text of zeros only counts as tiny.
int64_t DecimalMagnitude(std::string_view t) {
  constexpr int64_t kFar = int64_t{1} << 40;
  size_t i = 0;
  int64_t mag = 0;
  int64_t intDigits = 0;
  for (; i < t.size() && DigitValue(t[i], false) >= 0; ++i)
    if (intDigits > 0 || t[i] != '0') ++intDigits;
  if (intDigits > 0) {
    mag = intDigits - 1;
  } else {
    int64_t zeros = 0;
    if (i < t.size() && t[i] == '.') {
      ++i;
      for (; i < t.size() && t[i] == '0'; ++i) ++zeros;
    }
    if (i == t.size() || DigitValue(t[i], false) < 0) return -kFar;  // no significant digit
    mag = -zeros - 1;
  }
  while (i < t.size() && t[i] != 'e' && t[i] != 'E') ++i;
  if (i < t.size()) {
    ++i;
    bool negative = false;
    if (i < t.size() && (t[i] == '+' || t[i] == '-')) negative = t[i++] == '-';
    int64_t e = 0;
    for (; i < t.size(); ++i) e = std::min<int64_t>(e * 10 + DigitValue(t[i], false), kFar);
    mag += negative ? -e : e;
  }
  return mag;
}

}  // namespace

bool TryParseInteger(std::string_view Text, int64_t& Value) {
  bool negative, hex;
  std::string_view digits;
  uint64_t mag;
  if (!SplitInteger(Text, negative, hex, digits) || !Magnitude(digits, hex, mag)) return false;
  constexpr uint64_t kMaxPos = static_cast<uint64_t>(std::numeric_limits<int64_t>::max());
  if (negative) {
    if (mag > kMaxPos + 1) return false;
    Value = mag == kMaxPos + 1 ? std::numeric_limits<int64_t>::min() : -static_cast<int64_t>(mag);
  } else {
    if (mag > kMaxPos) return false;
    Value = static_cast<int64_t>(mag);
  }
  return true;
}

bool TryParseInt32(std::string_view Text, int32_t& Value) {
  bool negative, hex;
  std::string_view digits;
  uint64_t mag;
  if (!SplitInteger(Text, negative, hex, digits) || !Magnitude(digits, hex, mag)) return false;
  if (hex) {
    if (mag > 0xFFFFFFFFull) return false;
    uint32_t bits = static_cast<uint32_t>(mag);
    if (negative) bits = 0u - bits;
    Value = static_cast<int32_t>(bits);
    return true;
  }
  const int64_t v = negative ? -static_cast<int64_t>(mag) : static_cast<int64_t>(mag);
  if (mag > 0x80000000ull || v < std::numeric_limits<int32_t>::min() ||
      v > std::numeric_limits<int32_t>::max())
    return false;
  Value = static_cast<int32_t>(v);
  return true;
}

bool TryParseHex32(std::string_view Text, int32_t& Value) {
  uint64_t mag;
  if (!Magnitude(Text, true, mag) || mag > 0xFFFFFFFFull) return false;
  Value = static_cast<int32_t>(static_cast<uint32_t>(mag));
  return true;
}

namespace {

// Sign and unsigned body of a real text whose whole syntax was checked;
// from_chars alone would accept "inf", "nan" and stop quietly before
// trailing text.
bool SplitReal(std::string_view Text, bool& Negative, std::string_view& Body) {
  std::string_view t = SkipSpaces(Text);
  Negative = false;
  if (!t.empty() && (t[0] == '+' || t[0] == '-')) {
    Negative = t[0] == '-';
    t.remove_prefix(1);
  }
  size_t i = 0, mantDigits = 0;
  while (i < t.size() && DigitValue(t[i], false) >= 0) ++i, ++mantDigits;
  if (i < t.size() && t[i] == '.') {
    ++i;
    while (i < t.size() && DigitValue(t[i], false) >= 0) ++i, ++mantDigits;
  }
  if (mantDigits == 0) return false;
  if (i < t.size() && (t[i] == 'e' || t[i] == 'E')) {
    ++i;
    if (i < t.size() && (t[i] == '+' || t[i] == '-')) ++i;
    size_t expDigits = 0;
    while (i < t.size() && DigitValue(t[i], false) >= 0) ++i, ++expDigits;
    if (expDigits == 0) return false;
  }
  if (i != t.size()) return false;
  Body = t;
  return true;
}

}  // namespace

bool TryParseReal(std::string_view Text, double& Value) {
  bool negative = false;
  std::string_view t;
  if (!SplitReal(Text, negative, t)) return false;
  double v = 0;
  const auto res = std::from_chars(t.data(), t.data() + t.size(), v, std::chars_format::general);
  if (res.ec == std::errc::result_out_of_range) {
    // Beyond double's range. Where the first significant digit stands
    // decides the side: below 1 the number underflowed to zero, else it
    // overflowed. The exponent's sign alone does not tell: 1000...0E-5 with
    // 400 digits is huge, 0.000...01 with 400 zeros is tiny.
    v = DecimalMagnitude(t) < 0 ? 0.0 : std::numeric_limits<double>::infinity();
  } else if (res.ec != std::errc() || res.ptr != t.data() + t.size()) {
    return false;
  }
  Value = negative ? -v : v;
  return true;
}

bool TryParseSingle(std::string_view Text, float& Value, TSingleFit& Fit) {
  bool negative = false;
  std::string_view t;
  if (!SplitReal(Text, negative, t)) return false;
  float v = 0;
  const auto res = std::from_chars(t.data(), t.data() + t.size(), v, std::chars_format::general);
  Value = 0;
  if (res.ec == std::errc::result_out_of_range) {
    // Both ends of single's range are far from 1: the place of the first
    // significant digit tells which one was crossed (see TryParseReal).
    Fit = DecimalMagnitude(t) < 0 ? TSingleFit::Underflow : TSingleFit::Overflow;
    return true;
  }
  if (res.ec != std::errc() || res.ptr != t.data() + t.size()) return false;
  if (std::isinf(v)) {  // a reader that rounds to infinity instead of reporting it
    Fit = TSingleFit::Overflow;
    return true;
  }
  if (v == 0 && t.substr(0, t.find_first_of("eE")).find_first_of("123456789") != std::string_view::npos) {
    // A significant digit, read as zero.
    Fit = TSingleFit::Underflow;
    return true;
  }
  Fit = TSingleFit::Fits;
  Value = negative ? -v : v;
  return true;
}

std::string LayoutDecimal(bool Negative, std::string_view Digits, int Exponent, char DecimalSeparator) {
  constexpr int kFixedDigits = 15;  // integer digits shown without an exponent
  std::string out = Negative ? "-" : "";
  if (Digits.empty()) return out + "0";
  if (Exponent >= -5 && Exponent < kFixedDigits) {
    if (Exponent >= 0) {
      const size_t intDigits = static_cast<size_t>(Exponent) + 1;
      if (Digits.size() <= intDigits) {
        out += Digits;
        out.append(intDigits - Digits.size(), '0');
      } else {
        out += Digits.substr(0, intDigits);
        out += DecimalSeparator;
        out += Digits.substr(intDigits);
      }
    } else {
      out += '0';
      out += DecimalSeparator;
      out.append(static_cast<size_t>(-Exponent - 1), '0');
      out += Digits;
    }
  } else {
    out += Digits[0];
    if (Digits.size() > 1) {
      out += DecimalSeparator;
      out += Digits.substr(1);
    }
    out += 'E';
    out += std::to_string(Exponent);
  }
  return out;
}

std::string FormatSingle(float Value, char DecimalSeparator) {
  if (std::isnan(Value)) return "NAN";
  if (std::isinf(Value)) return Value < 0 ? "-INF" : "INF";
  if (Value == 0) return std::signbit(Value) ? "-0" : "0";
  // Without a precision, to_chars gives the shortest digits that read back
  // to the same single: "d.ddde[+-]xx".
  char buf[32];
  const auto res = std::to_chars(buf, buf + sizeof buf, std::fabs(Value), std::chars_format::scientific);
  const std::string_view text(buf, static_cast<size_t>(res.ptr - buf));
  const size_t e = text.find('e');
  std::string digits;
  for (const char c : text.substr(0, e))
    if (c != '.') digits += c;
  while (digits.size() > 1 && digits.back() == '0') digits.pop_back();
  int exponent = 0;
  std::string_view exp = text.substr(e + 1);
  if (!exp.empty() && exp[0] == '+') exp.remove_prefix(1);
  std::from_chars(exp.data(), exp.data() + exp.size(), exponent);
  return LayoutDecimal(std::signbit(Value), digits, exponent, DecimalSeparator);
}

}  // namespace tavex

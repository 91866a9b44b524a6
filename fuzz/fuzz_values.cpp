// Value texts: what a user types into a value cell and what a configuration
// entry names. ValueFromText for every type (and through LinkTo), the number
// readers beneath it, SplitIndexedName, and FormatValue and FormatSingle of
// what was read.
#include <cerrno>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <string>
#include <string_view>

#include "FuzzSupport.h"
#include "plc/uOperations.h"
#include "vars/uGadgetVars.h"
#include "vars/uNumberText.h"
#include "vars/uTavexVars.h"

using namespace tavex;

namespace {

bool IsHexInteger(std::string_view t) {
  while (!t.empty() && t[0] == ' ') t.remove_prefix(1);
  if (!t.empty() && (t[0] == '+' || t[0] == '-')) t.remove_prefix(1);
  return !t.empty() && (t[0] == '$' || t[0] == 'x' || t[0] == 'X' ||
                        (t.size() >= 2 && t[0] == '0' && (t[1] == 'x' || t[1] == 'X')));
}

// FormatValue's text: never empty, only its own characters, and read back
// it gives the value to 15 significant digits.
void CheckFormat(double x) {
  for (char sep : {'.', ','}) {
    const std::string s = FormatValue(x, sep);
    FUZZ_CHECK(!s.empty());
    if (std::isnan(x)) {
      FUZZ_CHECK(s == "NAN");
      continue;
    }
    if (std::isinf(x)) {
      FUZZ_CHECK(s == (x < 0 ? "-INF" : "INF"));
      continue;
    }
    for (char c : s) FUZZ_CHECK((c >= '0' && c <= '9') || c == '-' || c == 'E' || c == sep);
    FUZZ_CHECK(s.find(sep == '.' ? ',' : '.') == std::string::npos);
    if (sep != '.') continue;
    double back = 0;
    if (!TryParseReal(s, back) || std::isinf(back)) {
      // Only the very top of double's range can round up past it.
      FUZZ_CHECK(std::fabs(x) > 1.79e308);
      continue;
    }
    FUZZ_CHECK(std::fabs(back - x) <= 1e-14 * std::fabs(x) + 1e-300);
  }
}

void CheckInteger(uint8_t type, std::string_view text, int64_t lo, int64_t hi, size_t kind) {
  TVarValue v = int32_t{12345};
  const bool ok = ValueFromText(type, text, v);
  int64_t n = 0;
  const bool isInt = TryParseInteger(text, n);
  // Accepted exactly when it is an integer within the type's range.
  FUZZ_CHECK(ok == (isInt && n >= lo && n <= hi));
  if (!ok) {
    FUZZ_CHECK(v == TVarValue{int32_t{12345}});
    return;
  }
  FUZZ_CHECK(v.index() == kind);
  FUZZ_CHECK(ValueAsInteger(v) == n);
  // The cell shows it as plain digits, which read back to the same value.
  TVarValue again;
  FUZZ_CHECK(ValueFromText(type, FormatValue(ValueAsReal(v), '.'), again) && again == v);
}

uint32_t Bits(float f) {
  uint32_t b;
  std::memcpy(&b, &f, sizeof b);
  return b;
}

void CheckReal(const std::string& text) {
  TVarValue v = uint8_t{7};
  const bool ok = ValueFromText(vtReal, text, v);
  double d = 0;
  const bool isReal = TryParseReal(text, d);
  if (!isReal) {
    FUZZ_CHECK(!ok);
    return;
  }
  FUZZ_CHECK(!std::isnan(d));
  // The reference: the C library's correctly rounded reading (this process
  // keeps the C locale). Accepted exactly when it gives a finite single that
  // is zero only for a text without a significant digit.
  const float ref = std::strtof(text.c_str(), nullptr);
  const std::string_view mantissa = std::string_view(text).substr(0, text.find_first_of("eE"));
  const bool significant = mantissa.find_first_of("123456789") != std::string_view::npos;
  const bool expect = std::isfinite(ref) && (ref != 0 || !significant);
  FUZZ_CHECK(ok == expect);
  if (!ok) {
    FUZZ_CHECK(v == TVarValue{uint8_t{7}});
    return;
  }
  FUZZ_CHECK(v.index() == 4);
  const double r = std::get<double>(v);
  FUZZ_CHECK(static_cast<double>(static_cast<float>(r)) == r);  // single precision
  FUZZ_CHECK(Bits(static_cast<float>(r)) == Bits(ref));        // rounded once, sign kept
  // The cell's shortest text carries the single exactly back.
  TVarValue again;
  FUZZ_CHECK(ValueFromText(vtReal, FormatSingle(static_cast<float>(r), '.'), again));
  FUZZ_CHECK(Bits(static_cast<float>(std::get<double>(again))) == Bits(static_cast<float>(r)));
}

// FormatSingle's text: only its own characters, and read back it gives the
// very same single.
void CheckSingleFormat(float f) {
  for (char sep : {'.', ','}) {
    const std::string s = FormatSingle(f, sep);
    FUZZ_CHECK(!s.empty());
    if (std::isnan(f)) {
      FUZZ_CHECK(s == "NAN");
      continue;
    }
    if (std::isinf(f)) {
      FUZZ_CHECK(s == (f < 0 ? "-INF" : "INF"));
      continue;
    }
    for (char c : s) FUZZ_CHECK((c >= '0' && c <= '9') || c == '-' || c == 'E' || c == sep);
    FUZZ_CHECK(s.find(sep == '.' ? ',' : '.') == std::string::npos);
    if (sep != '.') continue;
    float back = 0;
    TSingleFit fit = TSingleFit::Overflow;
    FUZZ_CHECK(TryParseSingle(s, back, fit) && fit == TSingleFit::Fits && Bits(back) == Bits(f));
  }
}

void CheckNumberReaders(const std::string& text) {
  int64_t n = 0;
  if (TryParseInteger(text, n) && !IsHexInteger(text)) {
    errno = 0;
    char* end = nullptr;
    const long long ref = std::strtoll(text.c_str(), &end, 10);
    FUZZ_CHECK(errno == 0 && end == text.c_str() + text.size() && ref == n);
  }
  int32_t i32 = 0;
  if (TryParseInt32(text, i32) && !IsHexInteger(text)) FUZZ_CHECK(TryParseInteger(text, n) && n == i32);
  if (TryParseHex32(text, i32)) {
    FUZZ_CHECK(static_cast<uint32_t>(i32) == std::strtoul(text.c_str(), nullptr, 16));
  }
  double d = 0;
  if (TryParseReal(text, d)) {
    // The reference reading of the same text (this process keeps the C locale).
    errno = 0;
    char* end = nullptr;
    const double ref = std::strtod(text.c_str(), &end);
    FUZZ_CHECK(end == text.c_str() + text.size());
    // Below double's normal range either reading may settle on zero.
    if (std::fabs(ref) < std::numeric_limits<double>::min()) {
      FUZZ_CHECK(d == ref || d == 0);
    } else {
      FUZZ_CHECK(d == ref);
    }
    FUZZ_CHECK(std::signbit(d) == std::signbit(ref));
  }
}

void CheckSplit(const std::string& entry) {
  std::string name = "old";
  int32_t index = 42;
  SplitIndexedName(entry, name, index);
  if (index == -1) {
    FUZZ_CHECK(name == entry);
    return;
  }
  FUZZ_CHECK(index >= 0);
  const size_t open = entry.find('['), close = entry.find(']');
  FUZZ_CHECK(open != std::string::npos && close != std::string::npos && close >= open + 2);
  int64_t n = -1;
  FUZZ_CHECK(TryParseInteger(entry.substr(open + 1, close - open - 1), n) && n == index);
  FUZZ_CHECK(name == entry.substr(0, open) + entry.substr(close + 1));
}

void CheckLink(uint8_t type, const std::string& text, int32_t index) {
  TTavexVar element("v", 0x100, 2, 4, 0, 0, scGlobal, type, false, false, "", int16_t{-5});
  element.ValueKnown = false;
  TGadgetVar request("5.v", "v", 5, index, text);
  FUZZ_CHECK(request.WritePending == !text.empty());
  TVarValue expected;
  const bool accepted = !text.empty() && ValueFromText(type, text, expected);
  request.LinkTo(&element);
  FUZZ_CHECK(request.Link == &element);
  if (request.HasIndex()) FUZZ_CHECK(element.Index == index);
  if (accepted) {
    FUZZ_CHECK(element.ValueKnown && element.Value == expected);
  } else {
    // A rejected text leaves the element as it was: nothing unasked is written.
    FUZZ_CHECK(!element.ValueKnown && element.Value == TVarValue{int16_t{-5}});
  }
  request.LinkTo(nullptr);
  FUZZ_CHECK(request.Link == nullptr);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);

  CheckInteger(vtBit, text, 0, 255, 0);
  CheckInteger(vtWord, text, 0, 65535, 1);
  CheckInteger(vtInt, text, -32768, 32767, 2);
  CheckInteger(vtLong, text, -2147483648LL, 2147483647, 3);
  CheckReal(text);
  for (int t : {0, 6, 7, 8, 9, 10, 11, 12, 13, 14, 255}) {
    TVarValue v = uint8_t{0};
    FUZZ_CHECK(!ValueFromText(static_cast<uint8_t>(t), text, v));
  }
  CheckNumberReaders(text);
  CheckSplit(text);

  const int32_t index = size > 0 ? static_cast<int32_t>(data[0]) - 128 : -1;
  for (uint8_t t = 0; t <= vtCounterLong; ++t) CheckLink(t, text, index);

  if (size >= 8) {
    double x;
    std::memcpy(&x, data, sizeof x);
    CheckFormat(x);
    float f;
    std::memcpy(&f, data, sizeof f);
    CheckFormat(static_cast<double>(f));
    CheckSingleFormat(f);
  }
  double d = 0;
  if (TryParseReal(text, d)) CheckFormat(d);
  return 0;
}

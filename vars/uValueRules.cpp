#include "vars/uValueRules.h"

#include <algorithm>
#include <limits>

#include "vars/uGadgetVars.h"
#include "vars/uNumberText.h"
#include "vars/uTavexVars.h"

namespace tavex {

std::string WireValueText(std::string_view Text, char DecimalSeparator) {
  std::string out(Text);
  if (DecimalSeparator == '.') return out;
  if (std::count(out.begin(), out.end(), DecimalSeparator) != 1 || out.find('.') != std::string::npos) return out;
  std::replace(out.begin(), out.end(), DecimalSeparator, '.');
  return out;
}

namespace {

// The limits ValueFromText applies, as the user reads them.
const char* Limits(uint8_t VarType) {
  switch (VarType) {
    case vtBit: return "0 to 255";
    case vtWord: return "0 to 65535";
    case vtInt: return "-32768 to 32767";
    case vtLong: return "-2147483648 to 2147483647";
    default: return nullptr;
  }
}

std::string LargestReal() { return FormatSingle(std::numeric_limits<float>::max(), '.'); }

}  // namespace

std::string ValueRuleText(uint8_t VarType) {
  const char* keyword = TypeKeyword(VarType);
  if (VarType == 0 || std::string_view(keyword) == "?") return std::string();
  if (const char* limits = Limits(VarType)) {
    const std::string article = VarType == vtInt ? "An " : "A ";
    return article + keyword + " takes " + limits + ".";
  }
  if (VarType == vtReal) return "A real takes numbers from -" + LargestReal() + " to " + LargestReal() + ".";
  return std::string("A ") + keyword + " is not transferred: it cannot be written.";
}

std::string TypeRangeText(uint8_t VarType) {
  const char* keyword = TypeKeyword(VarType);
  if (VarType == 0 || std::string_view(keyword) == "?") return std::string();
  if (const char* limits = Limits(VarType)) return std::string(keyword) + ", " + limits;
  // Short enough for the one line the editor gives it.
  if (VarType == vtReal) return "real, \u00B1" + LargestReal();
  return std::string(keyword) + ", not transferred";
}

std::string CheckValueText(uint8_t VarType, std::string_view Text, char DecimalSeparator) {
  TVarValue value;
  std::string why;
  if (ValueFromText(VarType, WireValueText(Text, DecimalSeparator), value, &why)) return std::string();
  const std::string rule = ValueRuleText(VarType);
  if (VarType == vtReal && !why.empty()) return rule + " " + std::string(Text) + " is " + why + ".";
  return rule.empty() ? "The variable's type is not known." : rule;
}

}  // namespace tavex

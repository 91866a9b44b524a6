#include "vars/uGadgetVars.h"

#include <cmath>

#include "vars/uNumberText.h"

namespace tavex {

namespace {

// Halfway between the largest single (FLT_MAX) and 2^128: a real at or
// beyond it rounds to infinity in single precision (a tie goes to the even
// mantissa, which is infinity's), anything below to a finite single.
constexpr double kRealOverflow = 340282356779733661637539395458142568448.0;  // 2^128 - 2^103

bool IntegerIn(std::string_view text, int64_t lo, int64_t hi, int64_t& v) {
  return TryParseInteger(text, v) && v >= lo && v <= hi;
}

}  // namespace

bool ValueFromText(uint8_t VarType, std::string_view Text, TVarValue& Value) {
  int64_t v = 0;
  switch (VarType) {
    case vtBit:
      if (!IntegerIn(Text, 0, 255, v)) return false;
      Value = static_cast<uint8_t>(v);
      return true;
    case vtWord:
      if (!IntegerIn(Text, 0, 65535, v)) return false;
      Value = static_cast<uint16_t>(v);
      return true;
    case vtInt:
      if (!IntegerIn(Text, -32768, 32767, v)) return false;
      Value = static_cast<int16_t>(v);
      return true;
    case vtLong:
      if (!IntegerIn(Text, -2147483648LL, 2147483647, v)) return false;
      Value = static_cast<int32_t>(v);
      return true;
    case vtReal: {
      double d = 0;
      if (!TryParseReal(Text, d) || !std::isfinite(d)) return false;
      // Refused before the conversion, which is only defined inside
      // float's range: a text that would become infinity.
      if (std::fabs(d) >= kRealOverflow) return false;
      const float f = static_cast<float>(d);
      // A text that is not zero must not be written as zero.
      if (f == 0.0f && d != 0.0) return false;
      Value = static_cast<double>(f);
      return true;
    }
    default:
      return false;
  }
}

bool IsTransferred(uint8_t VarType) {
  return VarType == vtBit || VarType == vtWord || VarType == vtInt || VarType == vtLong ||
         VarType == vtReal;
}

std::string ValueRuleText(uint8_t VarType) {
  switch (VarType) {
    case vtBit:
      return "an integer from 0 to 255";
    case vtWord:
      return "an integer from 0 to 65535";
    case vtInt:
      return "an integer from -32768 to 32767";
    case vtLong:
      return "an integer from -2147483648 to 2147483647";
    case vtReal:
      return "a number from -3.4028235E38 to 3.4028235E38 that is 0 or at least 1.4E-45 in size "
             "(single precision)";
    default:
      return "nothing, as it is never transferred";
  }
}

TGadgetVar::TGadgetVar(std::string Key_, std::string Name_, int64_t Nad_, int32_t Index_,
                       std::string ValueText_)
    : Name(std::move(Name_)),
      Key(std::move(Key_)),
      Index(Index_),
      Nad(Nad_),
      ReadRequested(true),
      WritePending(!ValueText_.empty()),
      ValueText(std::move(ValueText_)) {}

void TGadgetVar::LinkTo(TTavexVar* Element) {
  Link = Element;
  if (Element == nullptr) return;
  if (HasIndex()) Element->Index = Index;
  if (WritePending) {
    TVarValue v;
    if (ValueFromText(Element->VarType, ValueText, v)) Element->SetValue(v);
  }
}

int TGadgetVarList::Add(TGadgetVar* Item) {
  Items_.push_back(Item);
  return static_cast<int>(Items_.size()) - 1;
}

TGadgetVar* TGadgetVarList::Items(int Index) const {
  if (Index < 0 || static_cast<size_t>(Index) >= Items_.size()) return nullptr;
  return Items_[static_cast<size_t>(Index)];
}

void TGadgetVarList::Clear() {
  if (OwnsItems_) {
    while (!Items_.empty()) {
      delete Items_.back();  // last first; empty slots are skipped by delete
      Items_.pop_back();
    }
  }
  Items_.clear();
}

void TGadgetVarList::Unlink() {
  for (TGadgetVar* r : Items_)
    if (r != nullptr) r->Link = nullptr;
}

}  // namespace tavex

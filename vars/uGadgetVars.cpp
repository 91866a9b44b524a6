#include "vars/uGadgetVars.h"

#include <cmath>

#include "vars/uNumberText.h"

namespace tavex {

namespace {

// The smallest and largest single-precision magnitudes accepted for "real".
constexpr double kRealMin = 1.5e-45;
constexpr double kRealMax = 3.4e38;
constexpr double kRealCastLimit = 3.402e38;  // below FLT_MAX, above kRealMax

bool IntegerIn(std::string_view text, int64_t lo, int64_t hi, int64_t& v) {
  return TryParseInteger(text, v) && v >= lo && v <= hi;
}

}  // namespace

bool ValueFromText(uint8_t VarType, std::string_view Text, TVarValue& Value) {
  int64_t v = 0;
  switch (VarType) {
    case vtBit:
      if (!IntegerIn(Text, 0, 1, v)) return false;
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
      if (!IntegerIn(Text, -2147483647, 2147483647, v)) return false;
      Value = static_cast<int32_t>(v);
      return true;
    case vtReal: {
      double d = 0;
      if (!TryParseReal(Text, d) || !std::isfinite(d)) return false;
      // Rounded to single precision first. Anything this large is refused
      // anyway, and refusing it before the conversion keeps the conversion
      // inside float's range.
      if (std::fabs(d) > kRealCastLimit) return false;
      const double r = static_cast<double>(static_cast<float>(d));
      const double m = std::fabs(r);
      if (r != 0.0 && (m < kRealMin || m > kRealMax)) return false;
      Value = r;
      return true;
    }
    default:
      return false;
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

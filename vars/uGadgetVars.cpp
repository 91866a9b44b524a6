#include "vars/uGadgetVars.h"

#include <limits>

#include "vars/uNumberText.h"

namespace tavex {

namespace {

bool IntegerIn(std::string_view text, int64_t lo, int64_t hi, int64_t& v) {
  return TryParseInteger(text, v) && v >= lo && v <= hi;
}

}  // namespace

bool ValueFromText(uint8_t VarType, std::string_view Text, TVarValue& Value, std::string* Why) {
  if (Why != nullptr) Why->clear();
  int64_t v = 0;
  switch (VarType) {
    case vtBit:
      // The whole byte the wire carries: a controller may hold any of it,
      // and a value read must be writable back as it was.
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
      // The whole 32-bit range: -2147483648 is what a controller may hold,
      // and what it holds must be writable back.
      if (!IntegerIn(Text, std::numeric_limits<int32_t>::min(), std::numeric_limits<int32_t>::max(), v))
        return false;
      Value = static_cast<int32_t>(v);
      return true;
    case vtReal: {
      float f = 0;
      TSingleFit fit = TSingleFit::Fits;
      if (!TryParseSingle(Text, f, fit)) return false;
      if (fit != TSingleFit::Fits) {
        if (Why != nullptr && fit == TSingleFit::Overflow)
          *Why = "beyond the largest real, " + FormatSingle(std::numeric_limits<float>::max(), '.');
        else if (Why != nullptr)
          *Why = "not 0, but nearer 0 than the smallest real, " +
                 FormatSingle(std::numeric_limits<float>::denorm_min(), '.');
        return false;
      }
      Value = static_cast<double>(f);
      return true;
    }
    default:
      if (Why != nullptr && VarType >= vtTimer && VarType <= vtCounterLong)
        *Why = std::string(TypeKeyword(VarType)) + " variables are not transferred";
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

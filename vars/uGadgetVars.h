// Configuration-variable requests: what the pages ask of a controller by
// name (and element number), with an optional value text to write, linked
// to the allocation element that carries the value after an exchange.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "vars/uTavexVars.h"

namespace tavex {

// Converts a value text by a variable's type. True when the text is accepted
// (syntax and range of the type); Value then holds the result. Types that
// are not transferred accept nothing. Locale-independent.
//
// The ranges are those of the wire forms, so that every value a controller
// can hold, as the tool prints it, is accepted back and written with the
// same bits: bit 0 to 255 (one byte on the wire), word 0 to 65535, int
// -32768 to 32767, long -2147483648 to 2147483647; a real is rounded to
// single precision (to nearest) and accepted when the result is finite and
// is zero only for a text that is zero: 3.40282346638529E38 rounds to the
// largest single and is taken, 1.4E-45 to the smallest subnormal, -0 keeps
// its sign; 3.5E38 (beyond the largest) and 7E-46 (which would be written
// as 0) are refused.
bool ValueFromText(uint8_t VarType, std::string_view Text, TVarValue& Value);

// Whether values of a type travel on the wire: bit, word, int, long, real.
// Timers, counters, constants and the rest are never read or written.
bool IsTransferred(uint8_t VarType);

// What ValueFromText accepts for a type, in words for a message ("an
// integer from 0 to 65535"); for a type that is not transferred, "nothing,
// as it is never transferred".
std::string ValueRuleText(uint8_t VarType);

class TGadgetVar {
 public:
  std::string Name;   // as in the allocation file, case-sensitive
  std::string Key;    // given by the creator ("NAD.entry"); nothing reads it
  int32_t Index = -1;  // element number, -1 when none
  TTavexVar* Link = nullptr;  // not owned
  // NAD of the controller meant. Held wider than 32 bits so that every
  // unsigned 32-bit NAD is representable; -1 is none.
  int64_t Nad = -1;
  bool ReadRequested = true;
  bool WritePending = false;
  std::string ValueText;

  TGadgetVar(std::string Key, std::string Name, int64_t Nad, int32_t Index, std::string ValueText);

  bool HasIndex() const { return Index >= 0; }
  // Links to an element (or to none). With an element and a pending value
  // text, an accepted text becomes the element's value; a rejected one
  // leaves it unchanged.
  void LinkTo(TTavexVar* Element);
};

// An ordered list of requests. An owning list frees its requests in Clear
// and on destruction; a view (OwnsItems false) never frees them.
class TGadgetVarList {
 public:
  explicit TGadgetVarList(bool OwnsItems = true) : OwnsItems_(OwnsItems) {}
  ~TGadgetVarList() { Clear(); }
  TGadgetVarList(const TGadgetVarList&) = delete;
  TGadgetVarList& operator=(const TGadgetVarList&) = delete;

  int Add(TGadgetVar* Item);
  int Count() const { return static_cast<int>(Items_.size()); }
  TGadgetVar* Items(int Index) const;
  // Frees every request, last first (an owning list), and empties the list.
  void Clear();
  // Empties the list without freeing anything.
  void Detach() { Items_.clear(); }
  // Sets every request's Link to none.
  void Unlink();
  bool OwnsItems() const { return OwnsItems_; }

 private:
  bool OwnsItems_;
  std::vector<TGadgetVar*> Items_;
};

}  // namespace tavex

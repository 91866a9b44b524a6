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
// A "real" text is rounded once to the nearest single. It is accepted when
// that single is finite (the largest, 3.4028235E38, and the subnormals
// included) and, for a text that is not zero, not zero: a text is never
// written as a value it does not mean, so one that rounds to zero (7E-46)
// or beyond the largest single (1E39) is refused. "-0" keeps its sign.
//
// When the text is refused and Why is given, Why receives a short clause
// for a message where the type's limits explain it ("beyond the largest
// real, 3.4028235E38"; "timer variables are not transferred"), else empty.
bool ValueFromText(uint8_t VarType, std::string_view Text, TVarValue& Value,
                   std::string* Why = nullptr);

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

// A saved value against what a controller holds now: the comparison behind
// 'tavexctl diff' and 'write --from FILE --changed-only'. The saved text is
// taken by the element's type as a write takes it, and the wire value it
// makes is compared bit for bit with the wire value read: "1.50" and "1.5"
// are equal for a real, "0" and "-0" are not.
#pragma once

#include <cstdint>
#include <string>

#include "plc/uFleet.h"
#include "vars/uTavexVars.h"

namespace tavex {

enum class TDiffState : uint8_t {
  Equal,    // the saved text makes the wire value the controller holds
  Differs,  // it makes another, or the element's type does not take it
  Missing,  // nothing to compare with: no element, nothing read
};
// "equal", "differs", "missing".
const char* DiffStateText(TDiffState State);

struct TDiffResult {
  TDiffState State = TDiffState::Missing;
  // Why missing ("unknown entry", "not transferred (timer)", "no answer",
  // ...), or, for a saved text the type refuses, "invalid saved value for a
  // word" with the type's limit when one explains it. Empty otherwise.
  std::string Reason;
  // The saved text as the element's type reads it back ("1.50" -> "1.5",
  // "$10" -> "16"); empty when the type refuses it or there is no element.
  std::string SavedText;
};

// Compares Saved with Element as the last read left it. Read is the
// entry's reason after that read (TFleetEntry::Reason): only None means
// Element's value came from the controller in it; any other reason is
// Missing with ReasonText (VarType for a type that is not transferred).
// Element nullptr with Read None: the entry names no variable (Missing,
// "unknown entry").
TDiffResult CompareSaved(const TTavexVar* Element, TEntryReason Read, uint8_t VarType,
                         const std::string& Saved, char DecimalSeparator = '.');

}  // namespace tavex

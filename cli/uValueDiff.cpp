#include "cli/uValueDiff.h"

#include "plc/uOperations.h"
#include "vars/uGadgetVars.h"

namespace tavex {

const char* DiffStateText(TDiffState State) {
  switch (State) {
    case TDiffState::Equal:
      return "equal";
    case TDiffState::Differs:
      return "differs";
    case TDiffState::Missing:
      return "missing";
  }
  return "missing";
}

TDiffResult CompareSaved(const TTavexVar* Element, TEntryReason Read, uint8_t VarType,
                         const std::string& Saved, char DecimalSeparator) {
  TDiffResult out;
  // A controller that failed before its allocation file came has no
  // elements at all: its reason says why, not "unknown entry".
  if (Read != TEntryReason::None || Element == nullptr) {
    out.Reason = ReasonText(Read != TEntryReason::None ? Read : TEntryReason::UnknownEntry, VarType);
    return out;
  }
  TVarValue v;
  std::string why;
  if (!ValueFromText(Element->VarType, Saved, v, &why)) {
    out.State = TDiffState::Differs;
    out.Reason = std::string("invalid saved value for a ") + TypeKeyword(Element->VarType) +
                 (why.empty() ? "" : " (" + why + ")");
    return out;
  }
  // The wire value a write of the saved text would carry, as the write
  // itself makes it.
  TTavexVar saved;
  saved.Assign(Element);
  saved.SetValue(v);
  const uint32_t wire = saved.GetRawValue();
  saved.SetRawValue(wire);
  out.SavedText = ValueText(saved, DecimalSeparator);
  out.State = wire == Element->GetRawValue() ? TDiffState::Equal : TDiffState::Differs;
  return out;
}

}  // namespace tavex

// The saved-value comparison of diff and write --changed-only: on the wire
// value each type makes of the saved text, never on the text.
#include <gtest/gtest.h>

#include "cli/uValueDiff.h"

namespace tavex {
namespace {

TEST(ValueDiff, ComparesTheWireValueTheTypeMakesOfTheSavedText) {
  struct TCase {
    uint8_t Type;
    uint32_t Now;  // the wire value read
    const char* Saved;
    TDiffState State;
    const char* SavedText;  // as the type reads it back
  };
  const std::vector<TCase> cases = {
      {vtReal, 0x3FC00000u, "1.50", TDiffState::Equal, "1.5"},
      {vtReal, 0x3FC00000u, "1.5000000001", TDiffState::Equal, "1.5"},  // the same single
      {vtReal, 0x3FC00000u, "1.5001", TDiffState::Differs, "1.5001"},
      {vtReal, 0x00000000u, "-0", TDiffState::Differs, "-0"},  // the sign is a bit of it
      {vtReal, 0x80000000u, "-0.0", TDiffState::Equal, "-0"},
      {vtWord, 0xFFFFu, "65535", TDiffState::Equal, "65535"},
      {vtWord, 100u, "$64", TDiffState::Equal, "100"},
      {vtWord, 100u, "70000", TDiffState::Differs, ""},  // refused: no wire value
      {vtInt, 0xFFFFFFFFu, "-1", TDiffState::Equal, "-1"},
      {vtInt, 0xFFFFFFFFu, "65535", TDiffState::Differs, ""},
      {vtLong, 0x80000000u, "-2147483648", TDiffState::Equal, "-2147483648"},
      {vtBit, 1u, "1", TDiffState::Equal, "1"},
      {vtBit, 1u, "0", TDiffState::Differs, "0"},
  };
  for (const TCase& c : cases) {
    SCOPED_TRACE(std::string(TypeKeyword(c.Type)) + " " + c.Saved);
    TTavexVar now;
    now.Name = "x";
    now.Scope = scGlobal;
    now.VarType = c.Type;
    now.SetRawValue(c.Now);
    const TDiffResult d = CompareSaved(&now, TEntryReason::None, c.Type, c.Saved);
    EXPECT_EQ(d.State, c.State);
    EXPECT_EQ(d.SavedText, c.SavedText);
    EXPECT_EQ(d.Reason.empty(), std::string(c.SavedText) != "" || c.State == TDiffState::Equal) << d.Reason;
  }
}

TEST(ValueDiff, NothingReadIsMissingWithItsReason) {
  TTavexVar word;
  word.VarType = vtWord;
  word.SetRawValue(5);
  struct TCase {
    const TTavexVar* Element;
    TEntryReason Read;
    uint8_t Type;
    const char* Reason;
  };
  const std::vector<TCase> cases = {
      {nullptr, TEntryReason::UnknownEntry, 0, "unknown entry"},
      {nullptr, TEntryReason::None, 0, "unknown entry"},
      // A controller that failed before its allocation file has no element:
      // it did not answer, the entry may well exist.
      {nullptr, TEntryReason::NoAnswer, 0, "no answer"},
      {&word, TEntryReason::NoAnswer, vtWord, "no answer"},  // its value is last run's
      {&word, TEntryReason::NotDone, vtWord, "not done"},
      {&word, TEntryReason::NotTransferred, vtTimer, "not transferred (timer)"},
  };
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.Reason);
    const TDiffResult d = CompareSaved(c.Element, c.Read, c.Type, "5");
    EXPECT_EQ(d.State, TDiffState::Missing);
    EXPECT_EQ(d.Reason, c.Reason);
  }
}

}  // namespace
}  // namespace tavex

// Which values of a grid row a Write sends: one variable once (an edit wins
// over another column's old value, two different texts refused), stale
// cells and "?" kept back, edited-only, the locale's decimal separator; and
// the value rules the editor checks with the write's own conversion.
#include "plc/uWritePlan.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "vars/uTavexVars.h"
#include "vars/uValueRules.h"

namespace tavex {
namespace {

TWriteCell Old(std::string Text) { return {std::move(Text), false, false}; }
TWriteCell Edit(std::string Text) { return {std::move(Text), true, false}; }
TWriteCell Stale(std::string Text) { return {std::move(Text), false, true}; }

struct TPlanCase {
  const char* Name;
  std::vector<std::string> Entries;
  std::vector<TWriteCell> Cells;
  bool EditedOnly = false;
  char Separator = '.';
  std::vector<std::string> Values;  // expected; empty when a conflict is expected
  int Edited = 0;
  bool Conflict = false;
};

class WritePlanTable : public ::testing::TestWithParam<TPlanCase> {};

TEST_P(WritePlanTable, SendsWhatIsMeant) {
  const TPlanCase& c = GetParam();
  const TRowWrite plan = PlanRowWrite(c.Entries, c.Cells, {c.EditedOnly, c.Separator});
  EXPECT_EQ(plan.HasConflict, c.Conflict);
  if (c.Conflict) {
    // A row in doubt sends nothing at all.
    EXPECT_EQ(plan.Values, std::vector<std::string>(c.Entries.size()));
    EXPECT_EQ(plan.Count, 0);
    return;
  }
  EXPECT_EQ(plan.Values, c.Values);
  int count = 0;
  for (const std::string& v : c.Values) count += v.empty() ? 0 : 1;
  EXPECT_EQ(plan.Count, count);
  EXPECT_EQ(plan.Edited, c.Edited);
}

const TPlanCase kPlanCases[] = {
    {"EveryCellByDefault", {"a", "b", "c"}, {Old("1"), Edit("2"), Old("3")}, false, '.', {"1", "2", "3"}, 1},
    {"EmptyAndQuestionMarkNotSent", {"a", "b", "c"}, {Old(""), Old("?"), Old("3")}, false, '.', {"", "", "3"}, 0},
    {"EditedQuestionMarkIsTheUsers", {"a"}, {Edit("?")}, false, '.', {"?"}, 1},
    {"MissingCellsAreEmpty", {"a", "b"}, {Old("1")}, false, '.', {"1", ""}, 0},
    {"StaleKeptBack", {"a", "b"}, {Stale("1"), Old("2")}, false, '.', {"", "2"}, 0},
    {"EditedOnly", {"a", "b", "c"}, {Old("1"), Edit("2"), Stale("3")}, true, '.', {"", "2", ""}, 1},
    {"EditedOnlyNoEdits", {"a", "b"}, {Old("1"), Old("2")}, true, '.', {"", ""}, 0},
    // The same variable in two columns goes once; the edit wins over the
    // other column's old value, wherever the edit stands.
    {"TwiceSameValueOnce", {"a", "x", "a"}, {Old("5"), Old("1"), Old("5")}, false, '.', {"5", "1", ""}, 0},
    {"EditInSecondColumnWins", {"a", "a"}, {Old("5"), Edit("6")}, false, '.', {"", "6"}, 1},
    {"EditInFirstColumnWins", {"a", "a"}, {Edit("6"), Old("5")}, false, '.', {"6", ""}, 1},
    {"SameEditTwice", {"a", "a"}, {Edit("6"), Edit("6")}, false, '.', {"6", ""}, 1},
    {"IndexZeroIsTheVariable", {"pump", "pump[0]", "pump[1]"}, {Old("1"), Edit("2"), Old("3")}, false, '.',
     {"", "2", "3"}, 1},
    {"StaleTwinLeavesTheOther", {"a", "a"}, {Stale("5"), Old("6")}, false, '.', {"", "6"}, 0},
    {"TwoDifferentEdits", {"a", "b", "a"}, {Edit("6"), Old("1"), Edit("7")}, false, '.', {}, 0, true},
    {"TwoDifferentOldValues", {"a", "a"}, {Old("5"), Old("6")}, false, '.', {}, 0, true},
    // The locale's separator goes out as the point; the edit then equals
    // its twin's text.
    {"DecimalComma", {"r", "s"}, {Old("1,5"), Edit("2,25")}, false, ',', {"1.5", "2.25"}, 1},
    {"DecimalCommaTwins", {"r", "r"}, {Edit("1,5"), Edit("1.5")}, false, ',', {"1.5", ""}, 1},
    {"CommaKeptWherePointIsTheSeparator", {"r"}, {Edit("1,5")}, false, '.', {"1,5"}, 1},
};

INSTANTIATE_TEST_SUITE_P(Cases, WritePlanTable, ::testing::ValuesIn(kPlanCases),
                         [](const auto& Info) { return std::string(Info.param.Name); });

TEST(WritePlan, ConflictNamesTheEntryAndBothColumns) {
  const std::vector<std::string> entries = {"speed", "fan_speed", "fan_speed"};
  const TRowWrite plan = PlanRowWrite(entries, {Old("1"), Edit("1500"), Edit("1600")}, {});
  ASSERT_TRUE(plan.HasConflict);
  EXPECT_EQ(ConflictText(entries, 1002, plan.Conflict, 5),
            "1002: fan_speed has two different edits, in columns 6 and 7 (1500 and 1600). Nothing was written.");
  const std::vector<std::string> twins = {"pump", "pump[0]"};
  const TRowWrite old = PlanRowWrite(twins, {Old("1"), Old("2")}, {});
  ASSERT_TRUE(old.HasConflict);
  EXPECT_EQ(ConflictText(twins, 7, old.Conflict, 5),
            "7: pump and pump[0] has two different values, in columns 5 and 6 (1 and 2). Nothing was written.");
}

struct TRuleCase {
  uint8_t Type;
  const char* Text;
  char Separator;
  bool Accepted;
};

TEST(ValueRules, CheckTakesWhatTheWriteTakes) {
  const TRuleCase cases[] = {
      {vtWord, "65535", '.', true},  {vtWord, "70000", '.', false}, {vtWord, "-1", '.', false},
      {vtWord, "abc", '.', false},   {vtWord, "$FF", '.', true},    {vtWord, "1,5", ',', false},
      {vtInt, "-32768", '.', true},  {vtInt, "32768", '.', false},  {vtBit, "255", '.', true},
      {vtLong, "-2147483648", '.', true}, {vtLong, "2147483648", '.', false},
      {vtReal, "1.5", '.', true},    {vtReal, "1,5", '.', false},   {vtReal, "1,5", ',', true},
      {vtReal, "1.5", ',', true},    {vtReal, "1,500.5", ',', false}, {vtReal, "1E39", '.', false},
      {vtReal, "", '.', false},      {vtTimer, "1", '.', false},
  };
  for (const TRuleCase& c : cases) {
    const std::string why = CheckValueText(c.Type, c.Text, c.Separator);
    EXPECT_EQ(why.empty(), c.Accepted) << int(c.Type) << " '" << c.Text << "' " << c.Separator << ": " << why;
  }
  EXPECT_EQ(CheckValueText(vtWord, "70000", '.'), "A word takes 0 to 65535.");
  EXPECT_EQ(CheckValueText(vtInt, "x", '.'), "An int takes -32768 to 32767.");
  EXPECT_EQ(CheckValueText(vtReal, "1E39", '.'),
            "A real takes numbers from -3.4028235E38 to 3.4028235E38. 1E39 is beyond the largest real, "
            "3.4028235E38.");
  EXPECT_EQ(CheckValueText(vtTimer, "1", '.'), "A timer is not transferred: it cannot be written.");
  EXPECT_EQ(TypeRangeText(vtWord), "word, 0 to 65535");
  EXPECT_EQ(TypeRangeText(vtReal), "real, \u00B13.4028235E38");
  EXPECT_EQ(TypeRangeText(0), "");
}

TEST(ValueRules, WireValueTextTakesOnlyAnUnambiguousSeparator) {
  EXPECT_EQ(WireValueText("1,5", ','), "1.5");
  EXPECT_EQ(WireValueText("-1,5E3", ','), "-1.5E3");
  EXPECT_EQ(WireValueText("1,5,0", ','), "1,5,0");
  EXPECT_EQ(WireValueText("1,500.5", ','), "1,500.5");
  EXPECT_EQ(WireValueText("1,5", '.'), "1,5");
  EXPECT_EQ(WireValueText("  7 ", ','), "  7 ");
}

}  // namespace
}  // namespace tavex

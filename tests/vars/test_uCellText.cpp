// The configuration grid's window-free texts: tab-separated blocks, type
// ranges, clock offsets and the decimal separator between grid and file.
#include <gtest/gtest.h>

#include <limits>

#include "vars/uCellText.h"
#include "vars/uTavexVars.h"

namespace tavex {
namespace {

using TRows = std::vector<std::vector<std::string>>;

TEST(TabText, SplitsLinesAndFieldsAsSpreadsheetsCopyThem) {
  struct TCase {
    const char* Text;
    TRows Rows;
  };
  const TCase cases[] = {
      {"", {}},
      {"1", {{"1"}}},
      {"1\t2\n3\t4\n", {{"1", "2"}, {"3", "4"}}},            // trailing line end: no empty row
      {"1\t2\r\n3\t4\r\n", {{"1", "2"}, {"3", "4"}}},        // CR LF
      {"1\r2", {{"1"}, {"2"}}},                             // CR alone
      {"1\t\t3\n\n5", {{"1", "", "3"}, {""}, {"5"}}},       // empty fields and lines kept in place
      {"a\t", {{"a", ""}}},
  };
  for (const TCase& c : cases) EXPECT_EQ(ParseTabText(c.Text), c.Rows) << c.Text;
}

TEST(TabText, BoundsRowsAndColumns) {
  std::string wide(kMaxTabColumns + 50, '\t');
  EXPECT_EQ(ParseTabText(wide)[0].size(), kMaxTabColumns);
  std::string tall(kMaxTabRows + 50, '\n');
  tall.insert(0, "x");
  EXPECT_EQ(ParseTabText(tall).size(), kMaxTabRows);
}

TEST(TabText, FormatsSoThatAPasteGivesTheSameBlock) {
  const TRows rows = {{"1", "a\tb", "c\nd"}, {"", "x\r"}};
  const std::string text = FormatTabText(rows);
  EXPECT_EQ(text, "1\ta b\tc d\n\tx \n");
  EXPECT_EQ(ParseTabText(text), (TRows{{"1", "a b", "c d"}, {"", "x "}}));
}

TEST(TypeRange, EachTransferredTypeAndTheOthers) {
  EXPECT_EQ(TypeRangeText(vtBit), "bit, 0 to 255");
  EXPECT_EQ(TypeRangeText(vtWord), "word, 0 to 65535");
  EXPECT_EQ(TypeRangeText(vtInt), "int, -32768 to 32767");
  EXPECT_EQ(TypeRangeText(vtLong), "long, -2147483648 to 2147483647");
  EXPECT_EQ(TypeRangeText(vtReal).rfind("real, ", 0), 0u);
  EXPECT_EQ(TypeRangeText(vtTimer), "timer, not transferred");
  EXPECT_EQ(TypeRangeText(0), "");
  EXPECT_EQ(TypeRangeText(200), "");
}

TEST(ClockOffset, BehindAheadAndLarge) {
  struct TCase {
    int64_t Seconds;
    const char* Text;
  };
  const TCase cases[] = {
      {0, "controller on time"},
      {-41, "controller 41 s behind"},
      {125, "controller 2 min 5 s ahead"},
      {3600, "controller 1 h 0 min 0 s ahead"},
      {-(86400 * 3 + 7), "controller 3 d 0 h 0 min 7 s behind"},
  };
  for (const TCase& c : cases) EXPECT_EQ(ClockOffsetText(c.Seconds), c.Text) << c.Seconds;
  // The extremes neither overflow nor crash.
  EXPECT_NE(ClockOffsetText(std::numeric_limits<int64_t>::min()).find("behind"), std::string::npos);
  EXPECT_NE(ClockOffsetText(std::numeric_limits<int64_t>::max()).find("ahead"), std::string::npos);
}

TEST(DecimalPoint, OnlyDecimalNumbersChangeTheirSeparator) {
  struct TCase {
    const char* Grid;
    const char* File;
  };
  const TCase cases[] = {{"1,5", "1.5"}, {"-0,25", "-0.25"}, {"1,5E-6", "1.5E-6"}, {"1450", "1450"},
                         {"?", "?"},     {"1,2,3", "1,2,3"}, {"a,b", "a,b"},       {"$1F", "$1F"}};
  for (const TCase& c : cases) {
    EXPECT_EQ(ToFilePoint(c.Grid, ','), c.File) << c.Grid;
    if (std::string(c.Grid) != "1,2,3" && std::string(c.Grid) != "a,b")
      EXPECT_EQ(FromFilePoint(c.File, ','), c.Grid) << c.File;
  }
  // With '.' in the grid nothing changes either way.
  EXPECT_EQ(ToFilePoint("1.5", '.'), "1.5");
  EXPECT_EQ(FromFilePoint("1.5", '.'), "1.5");
}

}  // namespace
}  // namespace tavex

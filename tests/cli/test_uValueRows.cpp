// The rows file both programs write, read back by the value file's reader,
// and its rows matched to a grid's controllers and entries.
#include <gtest/gtest.h>

#include "cli/uCliInputs.h"
#include "cli/uValueRows.h"

namespace tavex {
namespace {

TEST(ValueRowsFile, WritesWhatTheValueFileReaderTakesBack) {
  TValueRowsFile f;
  f.Add("1000", "fan_speed", "1450");
  f.Add("1000", "label, quoted", "-1.5E-6");
  f.Add("", "orphan", "1");  // no NAD: no row
  f.Add("1001", "pump[2]", "$1F");
  EXPECT_EQ(f.Count(), 3u);
  EXPECT_EQ(f.Text(), "nad,entry,value\n1000,fan_speed,1450\n1000,\"label, quoted\",-1.5E-6\n1001,pump[2],$1F\n");
  const TValueFile back = ParseValueFile(f.Text(), "saved.csv");
  ASSERT_EQ(back.Values.size(), 2u);
  ASSERT_EQ(back.Values.at(1000).size(), 2u);
  EXPECT_EQ(back.Values.at(1000)[1].Entry, "label, quoted");
  EXPECT_EQ(back.Values.at(1000)[1].Value, "-1.5E-6");
  EXPECT_EQ(back.Values.at(1001)[0].Value, "$1F");
}

TFileValues Values(const std::string& Text) { return ParseValueFile(Text, "v.csv").Values; }

TEST(MatchValueRows, AppliesOnlyToOneRowPerNadAndConfiguredEntries) {
  const TFileValues v = Values(
      "nad,entry,value\n"
      "1000,fan_speed,1\n"
      "1000,pump[0],2\n"     // configured as "pump": the same element
      "1000,nosuch,3\n"      // not configured
      "1001,fan_speed,4\n"   // 1001 is not in the grid
      "1002,fan_speed,5\n"   // 1002 is in two rows: neither gets it
      "1003,setpoint,6.5\n");
  // Rows: 1000, 1002, 1003, a row without a NAD, 1002 again.
  const TValueRowsMatch m =
      MatchValueRows(v, {1000, 1002, 1003, -1, 1002}, {"fan_speed", "pump", "setpoint", "fan_speed"});
  struct TWant {
    int Row, Entry;
    std::string Value;
  };
  const std::vector<TWant> want = {{0, 0, "1"}, {0, 3, "1"}, {0, 1, "2"}, {2, 2, "6.5"}};
  ASSERT_EQ(m.Apply.size(), want.size());
  for (size_t i = 0; i < want.size(); ++i) {
    EXPECT_EQ(m.Apply[i].Row, want[i].Row) << i;
    EXPECT_EQ(m.Apply[i].Entry, want[i].Entry) << i;
    EXPECT_EQ(m.Apply[i].Value, want[i].Value) << i;
  }
  ASSERT_EQ(m.Skipped.size(), 3u);
  EXPECT_NE(m.Skipped[0].find("nosuch is not configured (Line 4 of"), std::string::npos) << m.Skipped[0];
  EXPECT_EQ(m.Skipped[1], "controller 1001 is not in the grid: 1 value not applied");
  EXPECT_EQ(m.Skipped[2], "controller 1002 is in 2 rows: 1 value not applied");
}

TEST(MatchValueRows, AnExactEntryWinsOverTheSameElement) {
  // "speed" and "speed[0]" name one element; a column of the very text
  // takes the value and the other does not get it twice.
  const TValueRowsMatch m = MatchValueRows(Values("1000,speed[0],7\n"), {1000}, {"speed", "speed[0]"});
  ASSERT_EQ(m.Apply.size(), 1u);
  EXPECT_EQ(m.Apply[0].Entry, 1);
  EXPECT_TRUE(m.Skipped.empty());
}

}  // namespace
}  // namespace tavex

// The clock's write plan and read-back check, without a controller: which
// fields go out given the program's clock variables, and when a clock read
// back holds the time written.
#include "plc/uClock.h"

#include <gtest/gtest.h>

#include <array>
#include <string>
#include <vector>

namespace tavex {
namespace {

TEST(ClockPlan, AllFieldsOrNone) {
  TTavexVar word, bit, timer;
  word.VarType = vtWord;
  bit.VarType = vtBit;
  timer.VarType = vtTimer;
  const TLocalTime t{2026, 12, 6, 9, 5, 3, 0};
  using TLinks = std::array<const TTavexVar*, kClockFields>;
  const TLinks all = {&word, &word, &word, &word, &word, &word, &bit, &bit};
  auto with = [&](int Field, const TTavexVar* Link) {
    TLinks l = all;
    l[static_cast<size_t>(Field)] = Link;
    return l;
  };
  TLocalTime late = t;
  late.Year = 70000;  // beyond a word
  struct TCase {
    const char* Name;
    TLinks Links;
    TLocalTime Time;
    bool Write;
    std::vector<std::string> Missing, Rejected;
  } cases[] = {
      {"complete", all, t, true, {}, {}},
      {"no_weekday", with(ckWeekday, nullptr), t, true, {"rtc_weekday"}, {}},
      {"no_seconds", with(ckSec, nullptr), t, false, {"rtc_sec"}, {}},
      {"no_write_request", with(ckWriteReq, nullptr), t, false, {"rtc_write_req"}, {}},
      {"timer_month", with(ckMonth, &timer), t, false, {}, {"rtc_month"}},
      {"weekday_rejects", with(ckWeekday, &timer), t, false, {}, {"rtc_weekday"}},
      {"year_out_of_range", all, late, false, {}, {"rtc_year"}},
  };
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.Name);
    const TClockPlan plan = PlanClockWrite(c.Links, c.Time);
    EXPECT_EQ(plan.Write, c.Write);
    EXPECT_EQ(plan.Missing, c.Missing);
    EXPECT_EQ(plan.Rejected, c.Rejected);
    EXPECT_EQ(plan.HasWeekday, c.Links[ckWeekday] != nullptr);
    for (int i = 0; i < kClockFields; ++i) {
      const std::string& text = plan.Texts[static_cast<size_t>(i)];
      // Nothing at all without a write; with one, every field the program has.
      EXPECT_EQ(text.empty(), !c.Write || c.Links[static_cast<size_t>(i)] == nullptr) << kClockVars[i];
    }
    if (c.Write) {
      EXPECT_EQ(plan.Texts[ckYear], "2026");
      EXPECT_EQ(plan.Texts[ckSec], "3");
      EXPECT_EQ(plan.Texts[ckWriteReq], "1");
    }
  }
}

TEST(ClockReadBack, WithinTwoSecondsOfTheTimeWritten) {
  const TLocalTime newYear{2026, 12, 31, 23, 59, 59, 4};
  struct TCase {
    const char* RtcText;
    bool Holds;
  } cases[] = {
      {"2026-12-31  23:59:59", true},
      {"2027-01-01  00:00:01", true},   // 2 s later, over the year's end
      {"2027-01-01  00:00:02", false},  // 3 s
      {"2026-12-31  23:59:57", true},
      {"2026-12-31  23:59:56", false},
      {"2025-12-31  23:59:59", false},  // a year off
      {"", false},                      // not read back
      {"2026-12-31", false},
  };
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.RtcText);
    EXPECT_EQ(ClockReadBackHolds(newYear, c.RtcText), c.Holds);
  }
  // A leap day and a field that carries over (month 13) on one scale.
  EXPECT_EQ(FieldSeconds(2028, 3, 1, 0, 0, 0) - FieldSeconds(2028, 2, 28, 0, 0, 0), 2 * 86400);
  EXPECT_EQ(FieldSeconds(2026, 13, 1, 0, 0, 0), FieldSeconds(2027, 1, 1, 0, 0, 0));
  TLocalTime parsed;
  ASSERT_TRUE(ParseRtcText(FormatRtc(2026, 3, 4, 5, 6, 7), parsed));
  EXPECT_EQ(parsed.Day, 4);
  EXPECT_EQ(parsed.Second, 7);
}

}  // namespace
}  // namespace tavex

#include "plc/uClock.h"

#include <cstdio>

namespace tavex {

TClockPlan PlanClockWrite(const std::array<const TTavexVar*, kClockFields>& Links, const TLocalTime& Time) {
  TClockPlan plan;
  const int values[ckWriteReq] = {Time.Year, Time.Month, Time.Day, Time.Hour, Time.Minute, Time.Second, Time.Weekday};
  bool complete = true;
  for (int i = 0; i < kClockFields; ++i) {
    const TTavexVar* e = Links[static_cast<size_t>(i)];
    const std::string text = i < ckWriteReq ? std::to_string(values[i]) : "1";
    if (e == nullptr) {
      plan.Missing.push_back(kClockVars[i]);
      complete = complete && i == ckWeekday;  // a clock is set without its weekday
      continue;
    }
    if (i == ckWeekday) plan.HasWeekday = true;
    TVarValue v;
    if (!ValueFromText(e->VarType, text, v)) {
      plan.Rejected.push_back(kClockVars[i]);
      complete = false;
      continue;
    }
    plan.Texts[static_cast<size_t>(i)] = text;
  }
  plan.Write = complete;
  if (!complete) plan.Texts = {};
  return plan;
}

int64_t FieldSeconds(int Year, int Month, int Day, int Hour, int Minute, int Second) {
  // Months from March, so that the leap day ends the year.
  int64_t y = static_cast<int64_t>(Year) + (static_cast<int64_t>(Month) - 1) / 12;
  int64_t m = (static_cast<int64_t>(Month) - 1) % 12;
  if (m < 0) {
    m += 12;
    y -= 1;
  }
  m += 1;  // 1..12
  y -= m <= 2 ? 1 : 0;
  const int64_t era = (y >= 0 ? y : y - 399) / 400;
  const int64_t yoe = y - era * 400;
  const int64_t doy = (153 * (m > 2 ? m - 3 : m + 9) + 2) / 5;
  const int64_t doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  const int64_t days = era * 146097 + doe - 719468 + (static_cast<int64_t>(Day) - 1);
  return days * 86400 + static_cast<int64_t>(Hour) * 3600 + static_cast<int64_t>(Minute) * 60 + Second;
}

bool ParseRtcText(const std::string& Text, TLocalTime& Time) {
  TLocalTime t;
  if (std::sscanf(Text.c_str(), "%d-%d-%d %d:%d:%d", &t.Year, &t.Month, &t.Day, &t.Hour, &t.Minute, &t.Second) != 6)
    return false;
  Time = t;
  return true;
}

bool ClockReadBackHolds(const TLocalTime& Written, const std::string& RtcText) {
  TLocalTime back;
  if (!ParseRtcText(RtcText, back)) return false;
  const int64_t off = FieldSeconds(back.Year, back.Month, back.Day, back.Hour, back.Minute, back.Second) -
                      FieldSeconds(Written.Year, Written.Month, Written.Day, Written.Hour, Written.Minute,
                                   Written.Second);
  return off <= kClockToleranceS && off >= -kClockToleranceS;
}

}  // namespace tavex

// The controller's clock as a write plan and a read-back check, shared by
// the record's clock write (uOperations) and the fleet's exchange (uFleet).
//
// The controller takes all its clock fields at once when "rtc_write_req"
// is written, so a clock write goes out whole or not at all: a write of
// some fields would leave the clock a mix of new and old ones.
//
// Threads: any. Exceptions: none.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "plc/uOperations.h"
#include "vars/uTavexVars.h"

namespace tavex {

// A clock read back further than this from the time written did not take.
inline constexpr int kClockToleranceS = 2;

// Index of each clock variable in kClockVars.
enum : int { ckYear = 0, ckMonth, ckDate, ckHour, ckMin, ckSec, ckWeekday, ckWriteReq, kClockFields };

struct TClockPlan {
  // Write every text below in one write. False: nothing of the clock is
  // written (the variables are still read).
  bool Write = false;
  // Per kClockVars: the text to write; empty for a field left out (without
  // a write, and a missing "rtc_weekday"). "rtc_write_req" gets "1".
  std::array<std::string, kClockFields> Texts;
  bool HasWeekday = false;              // the program has "rtc_weekday"
  std::vector<std::string> Missing;     // clock variables the program lacks
  std::vector<std::string> Rejected;    // those whose type rejects its value
};

// The clock write for Time, given each clock variable's element (Links per
// kClockVars; nullptr: the program has none). Write only when every clock
// variable is there, "rtc_weekday" excepted (a clock is set without it),
// and each one's type takes its value (a type that is not transferred
// takes none).
TClockPlan PlanClockWrite(const std::array<const TTavexVar*, kClockFields>& Links, const TLocalTime& Time);

// Calendar fields as seconds on one scale (no time zone: both sides of a
// comparison are the same kind of time). Fields out of range carry over as
// in the C library's timegm (month 13 is January of the next year); 64-bit
// arithmetic throughout, so no field value can overflow.
int64_t FieldSeconds(int Year, int Month, int Day, int Hour, int Minute, int Second);

// The six date and time fields of a clock text ("%.4d-%.2d-%.2d  %.2d:%.2d:%.2d",
// as RtcText and TFleetResult::Rtc hold it). False when it is no such text.
bool ParseRtcText(const std::string& Text, TLocalTime& Time);

// The clock read back (RtcText) holds Written: within kClockToleranceS
// seconds of it. False when RtcText is no clock text.
bool ClockReadBackHolds(const TLocalTime& Written, const std::string& RtcText);

}  // namespace tavex

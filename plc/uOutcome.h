// The one sentence an operation ends with, for the desktop's bottom bar
// (and whoever else sums a run up): how many controllers it served, which
// did not answer, and what went wrong with the others. Qt-free, so that
// Read, Write and the status check share one wording.
//
// Threads: any. Exceptions: none of its own.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "plc/uFleet.h"

namespace tavex {

// One controller that the operation did not serve fully.
struct TOutcomeFailure {
  int64_t Nad = -1;
  // It stopped answering (a request got no answer): named among those
  // that "did not answer". Otherwise Why says what went wrong.
  bool NoAnswer = false;
  std::string Why;     // "PLC not responding!", "PLC has no program!", "Error parsing ALC data on line 5: ..."
  std::string Detail;  // what the transport saw: "program check: no answer to 1 attempt of 500 ms"
};

// "Read 40 controllers." when Served == Total and nothing failed;
// "Read 38 of 40 controllers; 1003 and 1017 did not answer." otherwise,
// then "; 1002: Error parsing ALC data on line 5" for each other failure.
// Done is the verb as the sentence starts ("Read", "Checked", "Wrote").
// At most kOutcomeNadsShown NADs are named among those that did not answer
// ("..., and 3 more"), at most kOutcomeDetailsShown other failures ("; 2
// more failed"): the bar is one line. A sentence whose last part ends in
// '.', '!' or '?' gets no second full stop.
inline constexpr size_t kOutcomeNadsShown = 5;
inline constexpr size_t kOutcomeDetailsShown = 3;
std::string OutcomeSentence(const std::string& Done, int Served, int Total,
                            const std::vector<TOutcomeFailure>& Failures);

// The failure of one controller in a Read or Write, in the record's own
// captions: NoAnswer when a request went unanswered ("PLC not responding!"
// is its Why), "PLC has no program!" only when the header said so, the
// allocation parser's message for a bad line, the fleet's text otherwise.
// Nad -1 and empty Why when the result is no failure (or was stopped).
TOutcomeFailure FleetFailure(int64_t Nad, const TFleetResult& Result);

// The same for a status check: the first step in error that is a failure
// or a finding worth a word (no program, no allocation file, a bad line,
// a bad run-state answer); a stopped program is no failure (the grid shows
// it). Nad -1 when none.
TOutcomeFailure StatusFailure(int64_t Nad, const TStatusResult& Result);

// A failure's line for the details: "1003: PLC not responding! (program
// check: no answer to 1 attempt of 500 ms)" or "1002: PLC has no program!".
std::string FailureLine(const TOutcomeFailure& Failure);

}  // namespace tavex

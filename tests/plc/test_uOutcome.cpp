// The sentence an operation ends with, and the failure each controller's
// result makes of it.
#include "plc/uOutcome.h"

#include <gtest/gtest.h>

#include "plc/uTavex.h"

namespace tavex {
namespace {

TOutcomeFailure Silent(int64_t Nad) { return {Nad, true, kErrPing, "ping: no answer to 1 attempt of 500 ms"}; }
TOutcomeFailure Error(int64_t Nad, const char* Why) { return {Nad, false, Why, ""}; }

TEST(OutcomeSentence, NamesWhatDidNotAnswerAndWhatFailed) {
  const struct {
    const char* done;
    int served, total;
    std::vector<TOutcomeFailure> failures;
    const char* text;
  } cases[] = {
      {"Read", 40, 40, {}, "Read 40 controllers."},
      {"Read", 1, 1, {}, "Read 1 controller."},
      {"Read", 0, 1, {Silent(1003)}, "Read 0 of 1 controller; 1003 did not answer."},
      {"Read", 38, 40, {Silent(1003), Silent(1017)}, "Read 38 of 40 controllers; 1003 and 1017 did not answer."},
      {"Read", 37, 40, {Silent(1003), Silent(1005), Silent(1017)},
       "Read 37 of 40 controllers; 1003, 1005 and 1017 did not answer."},
      {"Read", 33, 40, {Silent(1), Silent(2), Silent(3), Silent(4), Silent(5), Silent(6), Silent(7)},
       "Read 33 of 40 controllers; 1, 2, 3, 4, 5 and 2 more did not answer."},
      // Line numbers as the parser gives them; no second full stop after '!'.
      {"Read", 39, 40, {Error(1002, "Error parsing ALC data on line 5: \"x\"")},
       "Read 39 of 40 controllers; 1002: Error parsing ALC data on line 5: \"x\"."},
      {"Read", 38, 40, {Error(1002, kErrProgram), Silent(1003)},
       "Read 38 of 40 controllers; 1003 did not answer; 1002: PLC has no program!"},
      {"Read", 36, 40, {Error(1, "a"), Error(2, "b"), Error(3, "c"), Error(4, "d")},
       "Read 36 of 40 controllers; 1: a; 2: b; 3: c; 1 more failed."},
      // The status check counts every controller it checked.
      {"Checked", 40, 40, {Silent(1003)}, "Checked 40 controllers; 1003 did not answer."},
      {"Checked", 2, 2, {}, "Checked 2 controllers."},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    EXPECT_EQ(OutcomeSentence(c.done, c.served, c.total, c.failures), c.text);
  }
}

TEST(OutcomeFailure, FromAFleetResult) {
  TFleetResult silent;
  silent.GivenUp = silent.NoAnswer = true;
  silent.Error = "program check: no answer to 1 attempt of 500 ms";
  TFleetResult noProgram;
  noProgram.GivenUp = true;
  noProgram.Error = kErrProgram;
  TFleetResult stopped = silent;
  stopped.Interrupted = true;
  const struct {
    const char* what;
    TFleetResult result;
    bool failed, noAnswer;
    const char* line;
  } cases[] = {
      {"served", TFleetResult{}, false, false, ""},
      {"lost answers", silent, true, true, "1003: PLC not responding! (program check: no answer to 1 attempt of 500 ms)"},
      {"no program", noProgram, true, false, "1003: PLC has no program!"},
      {"stopped", stopped, false, false, ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    const TOutcomeFailure f = FleetFailure(1003, c.result);
    EXPECT_EQ(f.Nad != -1, c.failed);
    EXPECT_EQ(f.NoAnswer, c.noAnswer);
    if (c.failed) {
      EXPECT_EQ(FailureLine(f), c.line);
    }
  }
}

TEST(OutcomeFailure, FromAStatusCheck) {
  auto result = [](std::initializer_list<TStatusStep> Steps) {
    TStatusResult r;
    int i = 0;
    for (const TStatusStep& s : Steps) r.Steps[i++] = s;
    return r;
  };
  const TStatusStep ok{TStepState::Ok, false, ""};
  const TStatusStep lost{TStepState::Error, true, "no answer to 1 attempt of 500 ms"};
  const TStatusStep none{TStepState::NotReached, false, ""};
  const struct {
    const char* what;
    TStatusResult result;
    const char* line;  // empty: no failure
  } cases[] = {
      {"all ok", result({ok, ok, ok, ok, ok}), ""},
      {"ping lost", result({ok, lost, none, none, none}), "1003: PLC not responding! (no answer to 1 attempt of 500 ms)"},
      {"header lost", result({ok, ok, lost, none, none}), "1003: PLC not responding! (no answer to 1 attempt of 500 ms)"},
      {"no program",
       result({ok, ok, {TStepState::Error, false, kNoProgramCause}, {TStepState::Error, false, kNoAlcCause}, ok}),
       "1003: PLC has no program!"},
      {"no allocation file", result({ok, ok, ok, {TStepState::Error, false, kNoAlcCause}, ok}),
       "1003: ALC data not found!"},
      {"bad line", result({ok, ok, ok, {TStepState::Error, false, "Error parsing ALC data on line 5: \"x\""}, ok}),
       "1003: Error parsing ALC data on line 5: \"x\""},
      {"program stopped", result({ok, ok, ok, ok, {TStepState::Error, false, kStoppedCause}}), ""},
      {"no socket", result({{TStepState::Error, false, "cannot open a socket on adapter eth0"}, none, none, none, none}),
       "1003: Cannot open socket! (cannot open a socket on adapter eth0)"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    const TOutcomeFailure f = StatusFailure(1003, c.result);
    EXPECT_EQ(f.Nad == -1, *c.line == '\0');
    if (*c.line != '\0') {
      EXPECT_EQ(FailureLine(f), c.line);
    }
  }
}

}  // namespace
}  // namespace tavex

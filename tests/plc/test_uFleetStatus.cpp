// The staged sequence's stages as the fleet's exchange, status check and
// allocation file take them: each failure named with its stage and cause,
// no answer told apart from a controller that answered badly, and a
// controller that stops answering given up after one failed transaction,
// proven from the simulator's log.
#include "plc/uFleet.h"

#include "plc/uOperations.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>
#include <unistd.h>

#include "tests/plc/PlcFixture.h"

namespace tavex {
namespace {

using namespace test;

constexpr int kRetries = 2;
constexpr int kTimeoutMs = 100;
const char* const kNoAnswer = "no answer to 2 attempts of 100 ms";

json Vars() {
  json a = ClockVars();
  a.push_back(Var("speed", "word", {{"value", 7}}));
  return a;
}

class FleetStages : public PlcTest {
 protected:
  // A fresh simulator with one controller, and a fresh record for it.
  std::unique_ptr<TTavex> Fresh(const json& Extra) {
    sim_.reset();
    json c = Controller(1000, "127.0.0.2", {{"variables", Vars()}});
    for (auto& [k, v] : Extra.items()) c[k] = v;
    Start(json::array({c}));
    auto r = Record(1000, "127.0.0.2");
    SetTransport(*r, kTimeoutMs, kRetries);
    return r;
  }
  // After the first request the controller left unanswered: how many came
  // in all (one transaction's attempts, all of one request, then nothing);
  // 0 when every request was answered.
  size_t UnansweredTail() const {
    const auto log = Log();
    size_t first = log.size();
    for (size_t i = 0; i < log.size() && first == log.size(); ++i)
      if (log[i].value("outcome", "") != "answered") first = i;
    for (size_t i = first; i < log.size(); ++i) {
      EXPECT_EQ(log[i].value("command", -1), log[first].value("command", -1));
      EXPECT_EQ(log[i].value("page", -1), log[first].value("page", -1));
    }
    return log.size() - first;
  }
};

std::string StepsText(const TStatusResult& R) {
  std::string out;
  for (const TStatusStep& s : R.Steps) {
    out += s.State == TStepState::Ok ? "ok" : s.State == TStepState::Error ? "error(" + s.Cause + ")" : "-";
    out += " ";
  }
  return out;
}

TEST_F(FleetStages, EachFailureNamesItsStageAndCauseAndNoAnswerCostsOneTransaction) {
  const std::string parse = "Error parsing ALC data on line 3: \"; oops\"";
  struct TCase {
    const char* Name;
    json Extra;
    std::string ReadError;   // ServeController's; empty: values read
    std::string Steps;       // ServeStatus's
    std::string AlcError;    // ServeAlc's; empty: loaded
    bool Unanswered;         // the controller stopped answering
  } cases[] = {
      {"silent", {{"faults", {{"silent", true}}}}, std::string("ping: ") + kNoAnswer,
       std::string("ok error(") + kNoAnswer + ") - - - ", std::string("ping: ") + kNoAnswer, true},
      {"silent after the ping", {{"faults", {{"silent_after_requests", 1}}}},
       std::string("program check: ") + kNoAnswer, std::string("ok ok error(") + kNoAnswer + ") - - ",
       std::string("program check: ") + kNoAnswer, true},
      {"silent after the header", {{"faults", {{"silent_after_requests", 2}}}},
       std::string("allocation file: ") + kNoAnswer, std::string("ok ok ok error(") + kNoAnswer + ") - ",
       std::string("allocation file: ") + kNoAnswer, true},
      {"no answer to the run state", {{"faults", {{"drop", 1}, {"only_commands", {17}}}}},
       std::string("run state: ") + kNoAnswer, std::string("ok ok ok ok error(") + kNoAnswer + ") ", "", true},
      {"status bytes out of range", {{"status", {3, 2}}}, "run state: status bytes 03 02 out of range",
       "ok ok ok ok error(status bytes 03 02 out of range) ", "", false},
      {"stopped", {{"status", {1, 1}}}, "", "ok ok ok ok error(stopped) ", "", false},
      {"no program", {{"has_program", false}}, kErrProgram,
       "ok ok error(no program) error(no allocation file) ok ", kErrProgram, false},
      {"bad allocation line", {{"alc_text", ";CPU Tavex-2 X\r\n0100 0 1 0 2 global word speed\r\n; oops\r\n"}},
       parse, "ok ok ok error(" + parse + ") ok ", parse, false},
  };
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.Name);
    {
      auto plc = Fresh(c.Extra);
      TFleetJob job{plc.get(), {"speed"}, {}};
      TFleetResult r;
      ServeController(job, {}, r);
      EXPECT_EQ(r.Error, c.ReadError);
      EXPECT_EQ(r.GivenUp, !c.ReadError.empty());
      EXPECT_EQ(r.Entries[0].Text, c.ReadError.empty() ? "7" : "?");
      // An answer that was there but wrong is the controller's error, not silence.
      if (!c.ReadError.empty()) {
        EXPECT_EQ(r.Entries[0].Reason, c.Unanswered ? TEntryReason::NoAnswer : TEntryReason::ControllerError);
      }
      EXPECT_EQ(UnansweredTail(), c.Unanswered ? size_t{kRetries} : 0u);
    }
    {
      auto plc = Fresh(c.Extra);
      TStatusResult r;
      ServeStatus(*plc, {}, r);
      EXPECT_EQ(StepsText(r), c.Steps);
      EXPECT_TRUE(r.Failed());
      EXPECT_FALSE(r.Interrupted);
      EXPECT_EQ(UnansweredTail(), c.Unanswered ? size_t{kRetries} : 0u);
      // A stopped program is still ready for an exchange; anything else starts over.
      EXPECT_EQ(plc->Stage, c.ReadError.empty() ? stCheckCode : stOpen);
    }
    {
      auto plc = Fresh(c.Extra);
      TAlcResult r;
      ServeAlc(*plc, {}, r);
      EXPECT_EQ(r.Error, c.AlcError);
      EXPECT_EQ(r.Loaded, c.AlcError.empty());
      EXPECT_EQ(r.Thrown, c.AlcError == parse);
      if (r.Loaded) {
        EXPECT_NE(FindGlobalElement(*plc, "speed"), nullptr);
      }
      EXPECT_TRUE(Log(17).empty());  // the run state is no business of the allocation file
    }
  }
}

TEST_F(FleetStages, AHealthyControllerPassesEveryStepAndItsFileComesFromTheCacheNextTime) {
  const auto dir = std::filesystem::temp_directory_path() / ("fleet-status-" + std::to_string(getpid()));
  std::filesystem::remove_all(dir);
  const TAlcCache cache(dir.string());
  TFleetOptions options;
  options.Cache = &cache;
  auto plc = Fresh(json::object());
  TStatusResult s;
  ServeStatus(*plc, options, s);
  EXPECT_EQ(StepsText(s), "ok ok ok ok ok ");
  EXPECT_FALSE(s.Failed());
  EXPECT_EQ(plc->Stage, stCheckCode);
  const size_t cold = Log(33).size();

  // A new record of the same controller: the archive from the cache, its
  // first page checked.
  auto again = Record(1000, "127.0.0.2");
  sim_->ClearLog();
  TAlcResult a;
  ServeAlc(*again, options, a);
  EXPECT_TRUE(a.Loaded) << a.Error;
  EXPECT_TRUE(a.FromCache);
  EXPECT_LT(Log(33).size(), cold);
  EXPECT_NE(FindGlobalElement(*again, "speed"), nullptr);
  std::filesystem::remove_all(dir);
}

TEST_F(FleetStages, ResultsOnThePoolBelongToTheirRecords) {
  // Every other controller's program is stopped; each has a variable of its own.
  json controllers = json::array();
  std::vector<std::unique_ptr<TTavex>> records;
  std::vector<TTavex*> plcs;
  for (int c = 0; c < 6; ++c) {
    const uint32_t nad = 3000 + c;
    const std::string ip = "127.0.0." + std::to_string(10 + c);
    controllers.push_back(Controller(nad, ip, {{"variables", json::array({Var("id" + std::to_string(c), "long")})},
                                              {"status", {1, c % 2 == 0 ? 2 : 1}},
                                              {"faults", {{"delay_ms", 6 - c}}}}));
    records.push_back(Record(nad, ip));
    plcs.push_back(records.back().get());
  }
  Start(controllers);
  for (int jobs : {0, 3, 1}) {
    SCOPED_TRACE(jobs);
    TFleetOptions options;
    options.Jobs = jobs;
    std::vector<size_t> seen;  // written by the callback only, one call at a time
    options.Progress = [&](size_t Done, size_t Total) {
      EXPECT_EQ(Total, 6u);
      seen.push_back(Done);
    };
    std::vector<TStatusResult> status;
    RunStatus(plcs, options, status);
    ASSERT_EQ(status.size(), 6u);
    for (int c = 0; c < 6; ++c)
      EXPECT_EQ(StepsText(status[c]), c % 2 == 0 ? "ok ok ok ok ok " : "ok ok ok ok error(stopped) ");
    std::vector<TAlcResult> alc;
    RunAlc(plcs, options, alc);
    for (int c = 0; c < 6; ++c) {
      EXPECT_TRUE(alc[c].Loaded) << alc[c].Error;
      EXPECT_NE(FindGlobalElement(*plcs[c], "id" + std::to_string(c)), nullptr);
    }
    EXPECT_EQ(seen, (std::vector<size_t>{1, 2, 3, 4, 5, 6, 1, 2, 3, 4, 5, 6}));
  }
}

TEST(FleetTexts, NoAnswerNamesTheTransportsAttemptsAndTimeOut) {
  TTavex plc;
  SetTransport(plc, 500, 3);
  EXPECT_EQ(NoAnswerText(*plc.Communicator), "no answer to 3 attempts of 500 ms");
  SetTransport(plc, 40, 1);
  EXPECT_EQ(NoAnswerText(*plc.Communicator), "no answer to 1 attempt of 40 ms");
}

}  // namespace
}  // namespace tavex

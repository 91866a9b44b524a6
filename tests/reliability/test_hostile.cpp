// Controllers whose memory lies (tests/reliability/HostileCases.h): each
// case ends in "ALC data not found!", in the allocation error, or in a load
// that stays within the tool's bounds, and the simulator's log proves that
// the lie was served and shows what the tool asked for. Every case runs
// through both ways of talking to a controller: the record's staged
// sequence (RequestValue) and the fleet's batched exchange (ServeController).
// Time and peak memory of each case are measured by bench_hostile.
#include <gtest/gtest.h>

#include "plc/uFleet.h"
#include "plc/uOperations.h"
#include "tests/plc/PlcFixture.h"
#include "tests/reliability/HostileCases.h"

namespace tavex {
namespace {

using namespace test;

constexpr uint32_t kNad = 1000;

class Hostile : public PlcTest, public ::testing::WithParamInterface<THostileCase> {
 protected:
  // The simulator with one controller holding "speed" = 1500 and the case's lie.
  void StartCase(const THostileCase& c) {
    json controller =
        Controller(kNad, "127.0.0.2", {{"variables", json::array({Var("speed", "word", {{"value", 1500}})})}});
    const json extra = c.Controller();
    for (auto& [k, v] : extra.items()) controller[k] = v;
    Start(json::array({controller}));
  }
};

TEST_P(Hostile, EndsInNotFoundOrTheAllocationErrorWithinBounds) {
  const THostileCase& c = GetParam();
  StartCase(c);

  // Real time-outs: nothing here is lost, and tens of thousands of page
  // reads on a busy machine must not meet a shortened time-out (a late
  // answer would be taken for the next page's).
  auto plc = Record(kNad, "127.0.0.2");
  std::string text, error;
  try {
    text = RequestValue(*plc, "speed", "", '.');
  } catch (const Exception& e) {
    error = e.what();
  }

  switch (c.Outcome) {
    case THostileOutcome::NotFound:
      EXPECT_EQ(error, "");
      EXPECT_EQ(text, "?");
      EXPECT_EQ(plc->LastError, kErrAlc);
      EXPECT_EQ(plc->AlcVars.Count(), 0);
      break;
    case THostileOutcome::ParseError:
      EXPECT_EQ(error.rfind("Error parsing ALC data on line ", 0), 0u) << error;
      EXPECT_EQ(plc->Stage, stReadAlc);
      break;
    case THostileOutcome::Loaded:
      EXPECT_EQ(error, "");
      EXPECT_EQ(text, "1500");
      EXPECT_EQ(plc->LastError, "");
      break;
    case THostileOutcome::Empty:
      EXPECT_EQ(error, "");
      EXPECT_EQ(text, "?");
      EXPECT_EQ(plc->LastError, "");
      EXPECT_TRUE(plc->AlcOk);
      EXPECT_EQ(plc->AlcVars.Count(), 0);
      break;
  }
  EXPECT_EQ(c.Proof(Log()), "");
}

// The same lies through the fleet's exchange: the same outcomes, as its
// result tells them.
TEST_P(Hostile, TheFleetEndsAlikeWithinBounds) {
  const THostileCase& c = GetParam();
  StartCase(c);
  auto plc = Record(kNad, "127.0.0.2");  // real time-outs, as above
  TFleetJob job;
  job.Plc = plc.get();
  job.Entries = {"speed"};
  TFleetResult result;
  ServeController(job, TFleetOptions{}, result);
  ASSERT_EQ(result.Entries.size(), 1u);
  const std::string& text = result.Entries[0].Text;

  switch (c.Outcome) {
    case THostileOutcome::NotFound:
      EXPECT_FALSE(result.Thrown);
      EXPECT_EQ(result.Error, kErrAlc);
      EXPECT_EQ(text, "?");
      EXPECT_EQ(result.Entries[0].Reason, TEntryReason::ControllerError);
      EXPECT_EQ(plc->AlcVars.Count(), 0);
      break;
    case THostileOutcome::ParseError:
      EXPECT_TRUE(result.Thrown);
      EXPECT_EQ(result.Error.rfind("Error parsing ALC data on line ", 0), 0u) << result.Error;
      EXPECT_EQ(text, "?");
      EXPECT_EQ(plc->Stage, stReadAlc);
      EXPECT_FALSE(plc->AlcOk);
      break;
    case THostileOutcome::Loaded:
      EXPECT_EQ(result.Error, "");
      EXPECT_EQ(text, "1500");
      break;
    case THostileOutcome::Empty:
      EXPECT_EQ(result.Error, "");
      EXPECT_FALSE(result.GivenUp);
      EXPECT_EQ(text, "?");
      EXPECT_EQ(result.Entries[0].Reason, TEntryReason::UnknownEntry);
      EXPECT_TRUE(plc->AlcOk);
      EXPECT_EQ(plc->AlcVars.Count(), 0);
      break;
  }
  EXPECT_EQ(c.Proof(Log()), "");
}

INSTANTIATE_TEST_SUITE_P(Memory, Hostile, ::testing::ValuesIn(HostileCases()),
                         [](const ::testing::TestParamInfo<THostileCase>& i) { return "_" + i.param.Name; });

}  // namespace
}  // namespace tavex

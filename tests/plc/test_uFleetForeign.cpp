// Answers that belong to someone else: a plant of identical machines (same
// program, same answer lengths) where some controllers also send every
// answer to the port of another controller's latest request, others answer
// late or twice. Whatever arrives, every value shown is the controller's own
// or "?", and the simulator's log proves the foreign copies were sent.
#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

#include "comm/uCommunication.h"
#include "plc/uFleet.h"
#include "tests/plc/PlcFixture.h"

namespace tavex {
namespace {

using namespace test;

constexpr int kValues = 10;
constexpr uint32_t kFirstNad = 4000;

// v0 .. v9 of controller NAD: NAD * 100 + index, unique in the plant.
std::string Own(uint32_t Nad, int Index) { return std::to_string(Nad * 100 + Index); }

class ForeignAnswers : public PlcTest {};

TEST_F(ForeignAnswers, EveryValueShownIsTheControllersOwnOrQuestionMark) {
  struct TKind {
    const char* name;
    json faults;
  };
  // Twelve controllers: a quarter answer at once and send a copy of each
  // answer to another controller's latest asker; the others answer after
  // 20 ms (so that their requests still wait when a copy comes), some of
  // them much later, some twice.
  const std::vector<TKind> kinds = {
      {"crosstalk", {{"crosstalk", 1}}},
      {"slow", {{"delay_ms", 20}}},
      {"late", {{"delay_ms", 150}, {"delay_chance", 0.3}}},
      {"duplicated", {{"delay_ms", 20}, {"duplicate", 0.5}, {"duplicate_delay_ms", 120}}},
  };
  json controllers = json::array();
  std::map<uint32_t, std::string> kindOf;
  for (uint32_t k = 0; k < 12; ++k) {
    const uint32_t nad = kFirstNad + k;
    json vars = ClockVars();
    // Values up to 401199 need a long.
    for (int i = 0; i < kValues; ++i)
      vars.push_back(Var("v" + std::to_string(i), "long", {{"value", nad * 100 + i}}));
    const TKind& kind = kinds[k % kinds.size()];
    kindOf[nad] = kind.name;
    controllers.push_back(Controller(nad, "127.0.1." + std::to_string(k + 2),
                                     {{"variables", vars}, {"faults", kind.faults}}));
  }
  Start(controllers);

  std::vector<std::string> entries;
  for (int i = 0; i < kValues; ++i) entries.push_back("v" + std::to_string(i));
  uint64_t foreign = 0;
  size_t own = 0;
  for (int round = 0; round < 3; ++round) {
    SCOPED_TRACE(round);
    std::vector<std::unique_ptr<TTavex>> records;
    std::vector<TFleetJob> jobs;
    for (uint32_t k = 0; k < 12; ++k) {
      records.push_back(Record(kFirstNad + k, "127.0.1." + std::to_string(k + 2)));
      SetTransport(*records.back(), 100, kDefaultRetries);
      jobs.push_back({records.back().get(), entries, {}});
    }
    std::vector<TFleetResult> results;
    RunFleet(jobs, {}, results);
    for (uint32_t k = 0; k < 12; ++k) {
      const uint32_t nad = kFirstNad + k;
      for (int i = 0; i < kValues; ++i) {
        const std::string& text = results[k].Entries[static_cast<size_t>(i)].Text;
        if (text != "?") {
          EXPECT_EQ(text, Own(nad, i)) << nad << " (" << kindOf[nad] << ") v" << i;
          ++own;
        }
      }
      foreign += records[k]->Communicator->ForeignDropped();
    }
  }

  // The copies were sent, to other controllers' askers, and the tool saw
  // and dropped them.
  size_t copies = 0;
  for (const json& e : Log()) {
    if (!e.contains("crosstalk_to")) continue;
    ++copies;
    EXPECT_NE(e.at("crosstalk_nad"), e.at("nad"));
  }
  EXPECT_GT(copies, 50u);
  EXPECT_GT(foreign, 0u);
  // Most values came through: dropping the foreign copies loses nothing.
  EXPECT_GT(own, size_t{3 * 12 * kValues * 9 / 10});
}

}  // namespace
}  // namespace tavex

// tavexctl as a process against tavex-sim as a process, with faults: every
// value printed is the controller's true value or "?", a failure shows in
// the exit status, and from the simulator's log: the fault was injected and
// no write carried a value nobody asked for. The controller's true values
// come from the scenario and the writes the log shows were carried out.
#include <gtest/gtest.h>

#include "tests/support/TestProcess.h"

#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <functional>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <nlohmann/json.hpp>
#include <set>
#include <string>
#include <vector>

namespace tavex {
namespace {

using nlohmann::json;
using namespace std::chrono_literals;

// --- Processes -------------------------------------------------------------

using testproc::Reap;
using testproc::RunProgram;
using testproc::Spawn;
using testproc::TRun;

// --- The controller ----------------------------------------------------------

constexpr uint32_t kNad = 1000;

// Each entry: its element's log name, its value text at start and its raw
// wire value at start.
struct TElement {
  std::string Entry, LogName, Text;
  uint32_t Raw;
};

const std::vector<TElement>& Elements() {
  static const std::vector<TElement> e = {
      {"setpoint", "setpoint", "12.5", 0x41480000},
      {"speed[2]", "speed[2]", "300", 300},
      {"speed[3]", "speed[3]", "400", 400},
      {"offset", "offset", "-3", 0xFFFD},
      {"hours", "hours", "70000", 70000},
      {"relay", "relay", "1", 1},
  };
  return e;
}

json Controller(const json& Faults) {
  json vars = json::array({
      {{"name", "setpoint"}, {"type", "real"}, {"value", 12.5}},
      {{"name", "speed"}, {"type", "word"}, {"count", 4}, {"value", {100, 200, 300, 400}}},
      {{"name", "offset"}, {"type", "int"}, {"value", -3}},
      {{"name", "hours"}, {"type", "long"}, {"value", 70000}},
      {{"name", "relay"}, {"type", "bit"}, {"value", 1}},
  });
  for (const char* n : {"rtc_year", "rtc_month", "rtc_date", "rtc_hour", "rtc_min", "rtc_sec", "rtc_weekday"})
    vars.push_back({{"name", n}, {"type", "word"}});
  vars.push_back({{"name", "rtc_write_req"}, {"type", "bit"}});
  return {{"nad", kNad}, {"ip", "127.0.0.2"}, {"clock", "2026-12-06T09:05:03"}, {"variables", vars}, {"faults", Faults}};
}

class FaultsCli : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_STREQ(std::getenv("TAVEX_IN_NETNS"), "1") << "network tests run only inside scripts/netns";
    const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
    Dir = std::filesystem::temp_directory_path() / ("faults-cli-" + std::to_string(getpid()) + "-" + info->name());
    std::filesystem::create_directories(Dir);
    setenv("XDG_CACHE_HOME", (Dir / "cache").c_str(), 1);
    // Writes are journalled under the test's own folder.
    setenv("TAVEX_JOURNAL", (Dir / "journal").c_str(), 1);
    setenv("XDG_STATE_HOME", (Dir / "state").c_str(), 1);
  }
  void TearDown() override {
    if (SimPid > 0) {
      kill(SimPid, SIGTERM);
      Reap(SimPid, false);
      close(SimOut);
    }
    std::filesystem::remove_all(Dir);
  }

  void StartSim(const json& Faults) {
    const auto scenario = (Dir / "scenario.json").string();
    std::ofstream(scenario) << json{{"seed", 3}, {"controllers", {Controller(Faults)}}}.dump();
    LogPath = (Dir / "sim.jsonl").string();
    int err = -1;
    SimPid = Spawn({TAVEX_SIM_EXE, "--log", LogPath, "--seconds", "300", scenario}, SimOut, err);
    ASSERT_GT(SimPid, 0);
    close(err);
    std::string got;
    const auto end = std::chrono::steady_clock::now() + 10s;
    while (got.find('\n') == std::string::npos && std::chrono::steady_clock::now() < end) {
      pollfd p{SimOut, POLLIN, 0};
      if (poll(&p, 1, 100) <= 0) continue;
      char c[64];
      const ssize_t n = read(SimOut, c, sizeof c);
      if (n <= 0) break;
      got.append(c, static_cast<size_t>(n));
    }
    ASSERT_EQ(got, "ready\n");
  }

  // tavexctl reaching the controller by its address (a ping with retries,
  // not one broadcast), JSON output.
  TRun Ctl(std::vector<std::string> Args) {
    std::vector<std::string> argv = {TAVEXCTL_EXE, "--adapter", "lo", "--host", "127.0.0.2", "--format", "json"};
    argv.insert(argv.end(), Args.begin(), Args.end());
    return RunProgram(argv, 120s);
  }

  std::vector<json> Log() const {
    std::vector<json> out;
    std::ifstream in(LogPath);
    std::string line;
    while (std::getline(in, line)) out.push_back(json::parse(line));
    return out;
  }

  std::set<std::string> FaultsSeen() const {
    std::set<std::string> seen;
    for (const json& e : Log())
      for (const auto& f : e["faults"]) seen.insert(f.get<std::string>());
    return seen;
  }

  // The value an element holds now: its value at start, or the last value
  // of a write the controller carried out (answered, or answer dropped;
  // ignored writes change nothing).
  std::map<std::string, uint32_t> Truth() const {
    std::map<std::string, uint32_t> v;
    for (const TElement& e : Elements()) v[e.LogName] = e.Raw;
    for (const json& e : Log()) {
      if (e.value("command", -1) != 52) continue;
      std::set<std::string> f;
      for (const auto& x : e["faults"]) f.insert(x.get<std::string>());
      const bool carried = (e["outcome"] == "answered" || f.count("drop_answer")) && !f.count("ignore_writes");
      if (!carried) continue;
      for (size_t i = 0; i < e["names"].size(); ++i)
        if (e["names"][i].is_string()) v[e["names"][i].get<std::string>()] = e["values"][i].get<uint32_t>();
    }
    return v;
  }

  // Every printed value is the controller's value now, or null ("?").
  void ExpectTrueOrUnknown(const TRun& R, const std::map<std::string, std::string>& TextOfRaw) {
    json j;
    ASSERT_NO_THROW(j = json::parse(R.Out)) << R.Out << R.Err;
    ASSERT_EQ(j["controllers"].size(), 1u) << R.Out << R.Err;
    const json& values = j["controllers"][0]["values"];
    const auto truth = Truth();
    int unknown = 0;
    for (auto& [entry, text] : values.items()) {
      if (text.is_null()) {
        ++unknown;
        continue;
      }
      const TElement* e = nullptr;
      for (const TElement& x : Elements()) e = x.Entry == entry ? &x : e;
      ASSERT_NE(e, nullptr) << entry;
      const std::string key = entry + "=" + std::to_string(truth.at(e->LogName));
      ASSERT_TRUE(TextOfRaw.count(key)) << "no text known for " << key;
      EXPECT_EQ(text, json::parse(TextOfRaw.at(key))) << entry;
    }
    // A "?" is a failure the exit status reports.
    if (unknown > 0) {
      EXPECT_EQ(R.Status, 1);
    }
  }

  // Every write carried only values the test asked for.
  void ExpectOnlyAskedWrites(const std::map<std::string, std::set<uint32_t>>& Asked) {
    for (const json& e : Log()) {
      if (e.value("command", -1) != 52) continue;
      for (size_t i = 0; i < e["names"].size(); ++i) {
        ASSERT_TRUE(e["names"][i].is_string()) << e.dump();
        const std::string name = e["names"][i].get<std::string>();
        ASSERT_TRUE(Asked.count(name)) << "a write nobody asked for: " << e.dump();
        EXPECT_TRUE(Asked.at(name).count(e["values"][i].get<uint32_t>())) << "a value nobody asked for: " << e.dump();
      }
    }
  }

  // A run makes one variables request (and one write), so a few runs are
  // needed before every fault has hit: runs Args until the log shows all of
  // Faults (at most 12 runs), checking each run's output with Check.
  void RunUntilSeen(const std::vector<std::string>& Args, const std::vector<std::string>& Faults,
                    const std::function<void(const TRun&)>& Check) {
    for (int run = 0; run < 12; ++run) {
      Check(Ctl(Args));
      const auto seen = FaultsSeen();
      if (std::all_of(Faults.begin(), Faults.end(), [&](const std::string& f) { return seen.count(f) > 0; }))
        return;
    }
    const auto seen = FaultsSeen();
    for (const auto& f : Faults) EXPECT_TRUE(seen.count(f)) << f << " never injected";
  }

  std::filesystem::path Dir;
  std::string LogPath;
  pid_t SimPid = -1;
  int SimOut = -1;
};

// The texts of the raw values these tests meet.
std::map<std::string, std::string> Texts() {
  std::map<std::string, std::string> t;
  for (const TElement& e : Elements()) t[e.Entry + "=" + std::to_string(e.Raw)] = e.Text;
  t["setpoint=" + std::to_string(0x41AA0000)] = "21.25";
  t["speed[3]=1234"] = "1234";
  t["hours=5"] = "5";
  return t;
}

TEST_F(FaultsCli, ReadWithThirtyPercentLossShowsTrueValuesOrQuestionMarks) {
  StartSim({{"drop", 0.3}, {"drop_answer", 0.3}, {"only_commands", {51}}});
  RunUntilSeen({"read", "setpoint", "speed[2]", "speed[3]", "offset", "hours", "relay"}, {"drop", "drop_answer"},
               [&](const TRun& r) { ExpectTrueOrUnknown(r, Texts()); });
}

TEST_F(FaultsCli, WriteWithThirtyPercentLossWritesOnlyWhatWasAsked) {
  StartSim({{"drop", 0.3}, {"drop_answer", 0.3}, {"only_commands", {51, 52}}});
  RunUntilSeen({"write", "setpoint=21.25", "speed[3]=1234", "hours=5"}, {"drop", "drop_answer"},
               [&](const TRun& r) {
                 ExpectTrueOrUnknown(r, Texts());
                 ExpectOnlyAskedWrites({{"setpoint", {0x41AA0000}}, {"speed[3]", {1234}}, {"hours", {5}}});
               });
}

TEST_F(FaultsCli, IgnoredWritesReadBackTheControllersValuesAndFail) {
  StartSim({{"ignore_writes", true}});
  TRun r = Ctl({"write", "setpoint=21.25", "hours=5"});
  EXPECT_EQ(r.Status, 1);
  ExpectTrueOrUnknown(r, Texts());
  EXPECT_NE(r.Err.find("hours reads back 70000 after writing 5."), std::string::npos) << r.Err;
  ExpectOnlyAskedWrites({{"setpoint", {0x41AA0000}}, {"hours", {5}}});
  EXPECT_TRUE(FaultsSeen().count("ignore_writes"));
}

TEST_F(FaultsCli, DamagedAndSplitAnswersShowTrueValuesOrQuestionMarks) {
  StartSim({{"corrupt", 0.15}, {"split", 0.5}, {"junk", 0.5}, {"wrong_direction", 0.2}});
  RunUntilSeen({"read", "setpoint", "speed[2]", "offset", "hours", "relay"},
               {"corrupt", "split", "junk", "wrong_direction"},
               [&](const TRun& r) { ExpectTrueOrUnknown(r, Texts()); });
}

// Answers after the time-out, and answers sent twice with the copy landing
// in the next request's wait: tavexctl shows and writes back nothing but
// the controller's values. The time-out is cut to 100 ms so that a late
// answer (160 ms: 1.6 time-outs) costs little time.
struct TLateCase {
  const char* Name;
  json Faults;
  std::vector<std::string> Proof;
};
void PrintTo(const TLateCase& C, std::ostream* Os) { *Os << C.Name; }

class LateAnswersCli : public FaultsCli, public ::testing::WithParamInterface<TLateCase> {};

TEST_P(LateAnswersCli, NeverShowOrWriteAnotherRequestsValue) {
  StartSim(GetParam().Faults);
  const std::vector<std::string> entries = {"setpoint", "speed[2]", "speed[3]", "offset", "hours", "relay"};
  for (int round = 0; round < 2; ++round) {
    std::vector<std::string> args = {"--timeout", "100", "read"};
    args.insert(args.end(), entries.begin(), entries.end());
    ExpectTrueOrUnknown(Ctl(args), Texts());
  }
  ExpectTrueOrUnknown(Ctl({"--timeout", "100", "write", "setpoint=21.25", "speed[3]=1234", "hours=5"}), Texts());
  ExpectOnlyAskedWrites({{"setpoint", {0x41AA0000}}, {"speed[3]", {1234}}, {"hours", {5}}});
  const auto seen = FaultsSeen();
  for (const auto& f : GetParam().Proof) EXPECT_TRUE(seen.count(f)) << f << " never injected";
}

INSTANTIATE_TEST_SUITE_P(
    Faults, LateAnswersCli,
    ::testing::Values(
        TLateCase{"Late", {{"delay_ms", 160}}, {"delay"}},
        TLateCase{"Twice", {{"delay_ms", 20}, {"duplicate", 1}, {"duplicate_delay_ms", 10}}, {"delay", "duplicate"}},
        TLateCase{"LateAndTwice",
                  {{"delay_ms", 160}, {"delay_chance", 0.5}, {"duplicate", 1}, {"duplicate_delay_ms", 60}},
                  {"delay", "duplicate"}}),
    [](const ::testing::TestParamInfo<TLateCase>& I) { return std::string(I.param.Name); });

}  // namespace
}  // namespace tavex

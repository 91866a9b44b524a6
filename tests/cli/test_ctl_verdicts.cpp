// What tavexctl says of each value it writes, against what the simulator's
// log shows happened on the wire: written (acknowledged, whatever failed
// later), not acknowledged (landed or not, when a read-back followed),
// not done; per batch; and what became of a clock write.
#include "CtlFixture.h"

namespace tavex {
namespace {

using namespace ctltest;
using nlohmann::json;
using namespace std::chrono_literals;

json Words(int Count) {
  json vars = json::array();
  for (int i = 0; i < Count; ++i) vars.push_back(Var("v" + std::to_string(i), "word", {{"value", i}}));
  return vars;
}

// Every variable of the fixture's set, and of Words(250), with a value to write.
std::vector<std::string> Assignments(int Count) {
  std::vector<std::string> out;
  for (int i = 0; i < Count; ++i) out.push_back("v" + std::to_string(i) + "=" + std::to_string(1000 + i));
  return out;
}

// The request number of the first write the controller received.
int FirstWriteRequest(const std::vector<json>& Log) {
  for (const json& e : Log)
    if (e.value("command", -1) == 52) return e.at("request_no").get<int>();
  return -1;
}

std::map<std::string, int> VerdictCounts(const json& Controller) {
  std::map<std::string, int> out;
  for (auto& [entry, verdict] : Controller.at("verdicts").items()) ++out[verdict.get<std::string>()];
  return out;
}

// Each row: the controller's faults (a silence counted from its first write
// as a healthy run numbers it), the values, and what the output must say.
TEST_F(Tavexctl, EachValuesVerdictIsWhatHappenedOnTheWire) {
  struct TCase {
    const char* Name;
    json Faults;            // besides silent_after_requests
    int SilentAfterWrite;   // -1: none; else answers up to the first write + this many requests
    int Values;             // v0 .. v(Values-1) written
    bool SyncClock;
    int Status;
    std::map<std::string, int> Verdicts;
    size_t NotWritten;
    std::string Fragment;   // of stderr
    std::string Clock;      // the clock verdict with SyncClock
    // The controller's own error (JSON "error") is set: a transaction went
    // unanswered. A value that reads back otherwise is told by its verdict.
    bool Error = true;
  };
  const std::vector<TCase> cases = {
      {"healthy", json::object(), -1, 3, true, 0, {{"written", 3}}, 0, "", "set", false},
      // The write was carried out, its answer lost: the read-back shows it landed.
      {"answer lost", {{"drop_answer", 1}, {"only_commands", {52}}}, -1, 3, false, 1,
       {{"not acknowledged, landed", 3}}, 0, "the values' write was not acknowledged (no answer to 3 attempts of 500 ms)", ""},
      // The write never arrived: the read-back shows the old values.
      {"request lost", {{"drop", 1}, {"only_commands", {52}}}, -1, 3, false, 1,
       {{"not acknowledged, not landed", 3}}, 3, "v0 reads back 0 after writing 1000 (the write was not acknowledged)", ""},
      // Acknowledged, then silent: written, though nothing could be read back.
      {"silent after the write", json::object(), 0, 3, false, 1, {{"written, not read back", 3}}, 0,
       "read-back: no answer to 3 attempts of 500 ms", ""},
      // Acknowledged, then silent at the clock write: the values are written.
      {"silent at the clock write", json::object(), 0, 3, true, 1, {{"written, not read back", 3}}, 0,
       "the clock write was not acknowledged", "not acknowledged (may have been set)"},
      // Three batches; the first acknowledged, the second unanswered, the third never sent.
      {"silent after the first batch", json::object(), 0, 250, false, 1,
       {{"written, not read back", 100}, {"not acknowledged (may have been written)", 100}, {"not done", 50}}, 150,
       "batch 2 of 3 of the values' write was not acknowledged", ""},
      // Answered, but not stored.
      {"writes ignored", {{"ignore_writes", true}}, -1, 3, false, 1, {{"written, reads back otherwise", 3}}, 3,
       "v1 reads back 1 after writing 1001.", "", false},
  };
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.Name);
    std::vector<std::string> args = {"--no-cache", "--nad", "1000", "write"};
    if (c.SyncClock) args.push_back("--sync-clock");
    for (const auto& a : Assignments(c.Values)) args.push_back(a);
    json vars = Words(c.Values);
    for (const json& v : Variables())
      if (v["name"].get<std::string>().rfind("rtc_", 0) == 0) vars.push_back(v);

    json faults = c.Faults;
    if (c.SilentAfterWrite >= 0) {
      // Where the first write falls in this exact run, from a healthy one.
      StartSim(json::array({Controller(1000, "127.0.0.2", {{"variables", vars}})}));
      const TRun healthy = Json(args);
      ASSERT_EQ(healthy.Status, 0) << healthy.Err;
      const int first = FirstWriteRequest(Log());
      ASSERT_GT(first, 0);
      StopSim();
      faults["silent_after_requests"] = first + c.SilentAfterWrite;
    }
    StartSim(json::array({Controller(1000, "127.0.0.2", {{"variables", vars}, {"faults", faults}})}));
    const TRun r = Json(args);
    EXPECT_EQ(r.Status, c.Status) << r.Err;
    ASSERT_EQ(r.J["controllers"].size(), 1u) << r.Out;
    const json& got = r.J["controllers"][0];
    EXPECT_EQ(VerdictCounts(got), c.Verdicts) << got.dump();
    EXPECT_EQ(got["not_written"].size(), c.NotWritten) << got.dump();
    if (c.Fragment.empty())
      EXPECT_EQ(r.Err, "");
    else
      EXPECT_NE(r.Err.find(c.Fragment), std::string::npos) << r.Err;
    EXPECT_EQ(got["error"] != nullptr, c.Error) << got.dump();
    if (c.SyncClock) {
      EXPECT_EQ(got["clock"], c.Clock) << got.dump();
    }
    // What the verdicts say was written (or may have been) is exactly what
    // reached the controller as a write: nothing beyond the acknowledged
    // and the one unanswered batch.
    size_t sentNames = 0;
    for (const auto& w : Writes(1000))
      for (const auto& name : w) sentNames += name.rfind("rtc_", 0) != 0;
    int mayHave = 0;
    for (const auto& [verdict, n] : c.Verdicts)
      if (verdict != "not done") mayHave += n;
    EXPECT_GE(sentNames, static_cast<size_t>(mayHave));
    if (c.Verdicts.count("not done")) {
      std::set<std::string> names;
      for (const auto& w : Writes(1000)) names.insert(w.begin(), w.end());
      for (auto& [entry, verdict] : got["verdicts"].items())
        if (verdict == "not done") {
          EXPECT_EQ(names.count(entry), 0u) << entry;
        }
    }
    StopSim();
  }
}

TEST_F(Tavexctl, AClockWithoutWeekdayIsSetAndSaysSo) {
  json vars = Variables();
  vars.erase(std::remove_if(vars.begin(), vars.end(), [](const json& v) { return v["name"] == "rtc_weekday"; }),
             vars.end());
  StartSim(json::array({Controller(1000, "127.0.0.2", {{"variables", vars}})}));
  const TRun r = Json({"--nad", "1000", "clock", "--sync"});
  EXPECT_EQ(r.Status, 0) << r.Err;
  EXPECT_EQ(r.J["controllers"][0]["clock"], "set, without the weekday");
  EXPECT_EQ(r.J["controllers"][0]["error"], nullptr);
  EXPECT_NE(r.Err.find("its clock was set without the weekday (the program has no rtc_weekday)"), std::string::npos)
      << r.Err;
  const json last = Log(52).back();
  ASSERT_TRUE(last.contains("clock_set")) << last.dump();
  EXPECT_TRUE(last["clock_set"]["applied"].get<bool>());
}

// SIGINT while the first of three batches waits for its answer: that batch
// is stored and acknowledged ("written, not read back"), the others were
// never sent ("not done").
TEST_F(Tavexctl, AnInterruptAfterAnAcknowledgedBatchSaysItWasWritten) {
  StartSim(json::array({Controller(1000, "127.0.0.2",
                                   {{"variables", Words(250)},
                                    {"faults", {{"delay_ms", 300}, {"only_commands", {52}}}}})}));
  std::vector<std::string> argv = {TAVEXCTL_EXE, "--adapter", "lo", "--listen", "200", "--format", "json",
                                   "--nad", "1000", "write"};
  for (const auto& a : Assignments(250)) argv.push_back(a);
  int out = -1, err = -1;
  const pid_t pid = Spawn(argv, out, err);
  ASSERT_GT(pid, 0);
  // The first batch reached the controller; its answer is 300 ms away.
  const auto end = std::chrono::steady_clock::now() + 20s;
  while (Log(52).empty() && std::chrono::steady_clock::now() < end) std::this_thread::sleep_for(5ms);
  ASSERT_FALSE(Log(52).empty());
  kill(pid, SIGINT);
  std::string o, e;
  Drain(out, err, o, e, 10s);
  close(out);
  close(err);
  EXPECT_EQ(Reap(pid, false), 130) << e;
  ASSERT_EQ(Log(52).size(), 1u) << "one batch was sent";
  const json j = json::parse(o);
  const json& c = j["controllers"][0];
  EXPECT_EQ(VerdictCounts(c), (std::map<std::string, int>{{"written, not read back", 100}, {"not done", 150}}))
      << c.dump();
  EXPECT_EQ(c["not_written"].size(), 150u);
  const std::vector<json> batches = Log(52);  // kept: the loop below reads into it
  for (const std::string name : batches[0]["names"]) EXPECT_EQ(c["verdicts"][name], "written, not read back");
  EXPECT_NE(e.find("written, not read back: "), std::string::npos) << e;
}

}  // namespace
}  // namespace tavex

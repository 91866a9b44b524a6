// tavexctl status and vars on the fleet engine: every step with its cause,
// a controller that stops answering given up after one failed transaction
// (counted in the simulator's log), the others served all the same, --jobs
// bounding how many are served at once, and the allocation cache.
#include "CtlFixture.h"

namespace tavex {
namespace {

using namespace ctltest;
using nlohmann::json;

const std::string kNoAnswer = "no answer to 2 attempts of 100 ms";
const std::string kBadAlc = ";CPU Tavex-2 X\r\n0100 0 1 0 2 global word speed\r\n; oops\r\n";
const std::string kBadAlcError = "Error parsing ALC data on line 3: \"; oops\"";

// One controller's log entries from Since on.
std::vector<json> EntriesOf(const std::vector<json>& Log, uint64_t Nad, size_t Since = 0) {
  std::vector<json> out;
  for (size_t i = Since; i < Log.size(); ++i)
    if (Log[i].at("nad").get<uint64_t>() == Nad) out.push_back(Log[i]);
  return out;
}

// What reached a controller after its first unanswered request: one
// transaction's attempts, all of one request, and nothing after them.
// 0 when every request was answered.
size_t UnansweredTail(const std::vector<json>& Entries) {
  size_t first = Entries.size();
  for (size_t i = 0; i < Entries.size() && first == Entries.size(); ++i)
    if (Entries[i].value("outcome", "") != "answered") first = i;
  for (size_t i = first; i < Entries.size(); ++i) {
    EXPECT_EQ(Entries[i].value("command", -1), Entries[first].value("command", -1)) << Entries[i];
    EXPECT_EQ(Entries[i].value("page", -1), Entries[first].value("page", -1)) << Entries[i];
  }
  return Entries.size() - first;
}

TEST_F(Tavexctl, StatusTellsEachFailedStepWithItsCause) {
  struct TCase {
    uint32_t Nad;
    json Extra;
    std::vector<std::string> Steps;  // network, ping, program, alc, run; "": not reached
    std::string Error;               // JSON "error"; empty: null
    std::string Sentence;            // on stderr after "tavexctl: Controller NAD at IP: "
    size_t Unanswered;               // requests that reached it after it stopped answering
  };
  const std::vector<TCase> cases = {
      {1000, {}, {"ok", "ok", "ok", "ok", "ok"}, "", "", 0},
      {1001, {{"has_program", false}}, {"ok", "ok", "error", "error", "ok"},
       "PLC program: no program; ALC file: no allocation file",
       "error in PLC program (no program), ALC file (no allocation file).", 0},
      {1002, {{"alc_text", kBadAlc}}, {"ok", "ok", "ok", "error", "ok"}, "ALC file: " + kBadAlcError,
       "error in ALC file (" + kBadAlcError + ").", 0},
      // Answers the broadcast, then nothing.
      {1003, {{"faults", {{"silent_after_requests", 1}}}}, {"ok", "error", "", "", ""},
       "Tavex ping: " + kNoAnswer,
       "error in Tavex ping (" + kNoAnswer + "); not checked: PLC program, ALC file, PLC run.", 2},
      // Answers the broadcast and the ping, not the header: that is no
      // answer, not a controller without a program.
      {1004, {{"faults", {{"silent_after_requests", 2}}}}, {"ok", "ok", "error", "", ""},
       "PLC program: " + kNoAnswer, "error in PLC program (" + kNoAnswer + "); not checked: ALC file, PLC run.",
       2},
      {1005, {{"faults", {{"silent_after_requests", 3}}}}, {"ok", "ok", "ok", "error", ""},
       "ALC file: " + kNoAnswer, "error in ALC file (" + kNoAnswer + "); not checked: PLC run.", 2},
      {1006, {{"faults", {{"drop", 1}, {"only_commands", {17}}}}}, {"ok", "ok", "ok", "ok", "error"},
       "PLC run: " + kNoAnswer, "error in PLC run (" + kNoAnswer + ").", 2},
      {1007, {{"status", {1, 1}}}, {"ok", "ok", "ok", "ok", "error"}, "PLC run: stopped",
       "error in PLC run (stopped).", 0},
      {1008, {{"status", {3, 2}}}, {"ok", "ok", "ok", "ok", "error"},
       "PLC run: status bytes 03 02 out of range", "error in PLC run (status bytes 03 02 out of range).", 0},
  };
  json controllers = json::array();
  for (const TCase& c : cases)
    controllers.push_back(Controller(c.Nad, "127.0.0." + std::to_string(c.Nad - 998), c.Extra));
  StartSim(controllers);

  TRun r = Json({"--timeout", "100", "--retries", "2", "status"});
  EXPECT_EQ(r.Status, 1) << r.Err;
  ASSERT_EQ(r.J.at("controllers").size(), cases.size()) << r.Out;
  const char* const keys[5] = {"network", "ping", "program", "alc", "run"};
  const auto log = Log();
  std::string sentences;
  for (size_t i = 0; i < cases.size(); ++i) {
    const TCase& c = cases[i];
    SCOPED_TRACE(c.Nad);
    const json& got = r.J["controllers"][i];  // in NAD order
    EXPECT_EQ(got["nad"], c.Nad);
    for (int s = 0; s < 5; ++s) {
      if (c.Steps[s].empty())
        EXPECT_FALSE(got.contains(keys[s])) << keys[s];
      else
        EXPECT_EQ(got.value(keys[s], ""), c.Steps[s]) << keys[s];
    }
    EXPECT_EQ(got["error"], c.Error.empty() ? json(nullptr) : json(c.Error));
    if (!c.Sentence.empty())
      sentences += "tavexctl: Controller " + std::to_string(c.Nad) + " at " + got["ip"].get<std::string>() + ": " +
                   c.Sentence + "\n";
    EXPECT_EQ(UnansweredTail(EntriesOf(log, c.Nad)), c.Unanswered);
  }
  EXPECT_EQ(r.Err, sentences);

  // Asked alone, the healthy one passes.
  TRun healthy = Json({"--nad", "1000", "status"});
  EXPECT_EQ(healthy.Status, 0) << healthy.Err;
  EXPECT_EQ(healthy.J["controllers"][0]["error"], nullptr);
}

TEST_F(Tavexctl, StatusTablesCarryTheCauseInTheirLastColumn) {
  StartSim(json::array({Controller(1000, "127.0.0.2"),
                        Controller(1001, "127.0.0.3", {{"faults", {{"silent_after_requests", 2}}}}),
                        Controller(1002, "127.0.0.4", {{"status", {1, 1}}})}));
  TRun csv = Ctl({"--timeout", "100", "--retries", "2", "--format", "csv", "status"});
  EXPECT_EQ(csv.Status, 1);
  EXPECT_EQ(csv.Out,
            "nad,ip,network,ping,program,alc,run,error\n"
            "1000,127.0.0.2,ok,ok,ok,ok,ok,\n"
            "1001,127.0.0.3,ok,ok,error,,,PLC program: " + kNoAnswer + "\n"
            "1002,127.0.0.4,ok,ok,ok,ok,error,PLC run: stopped\n");

  // Without an error the table has no Error column.
  TRun table = Ctl({"--nad", "1000", "status"});
  EXPECT_EQ(table.Status, 0) << table.Err;
  EXPECT_EQ(table.Out,
            "No.  NAD   IP         Network  Tavex ping  PLC program  ALC file  PLC run\n"
            "1    1000  127.0.0.2  ok       ok          ok           ok        ok\n");
  TRun stopped = Ctl({"--nad", "1002", "status"});
  EXPECT_EQ(stopped.Status, 1);
  EXPECT_NE(stopped.Out.find("  error    PLC run: stopped\n"), std::string::npos) << stopped.Out;
}

// Each controller's unicast requests span from its first to its last; no
// more of these spans overlap at once than --jobs allows.
size_t MostServedAtOnce(const std::vector<json>& Log, size_t Since) {
  std::map<uint64_t, std::pair<size_t, size_t>> span;
  for (size_t i = Since; i < Log.size(); ++i) {
    if (Log[i].value("broadcast", false)) continue;
    const uint64_t nad = Log[i].at("nad").get<uint64_t>();
    auto it = span.find(nad);
    if (it == span.end())
      span[nad] = {i, i};
    else
      it->second.second = i;
  }
  size_t most = 0;
  for (const auto& [nad, s] : span) {
    (void)nad;
    size_t at = 0;
    for (const auto& [other, o] : span) {
      (void)other;
      at += o.first <= s.first && s.first <= o.second;
    }
    most = std::max(most, at);
  }
  return most;
}

TEST_F(Tavexctl, StatusAndVarsServeAtMostJobsControllersAtOnce) {
  // Slow answers: a controller's check lasts long enough for the others to
  // start beside it when they may.
  json controllers = json::array();
  for (uint32_t c = 0; c < 4; ++c)
    controllers.push_back(Controller(1000 + c, "127.0.0." + std::to_string(2 + c), {{"faults", {{"delay_ms", 10}}}}));
  StartSim(controllers);
  for (const char* command : {"status", "vars"}) {
    for (const auto& [jobs, most] : std::vector<std::pair<std::string, size_t>>{{"1", 1}, {"2", 2}, {"", 4}}) {
      SCOPED_TRACE(std::string(command) + " --jobs " + jobs);
      const size_t since = Log().size();
      std::vector<std::string> args;
      if (!jobs.empty()) args = {"--jobs", jobs};
      args.push_back(command);
      TRun r = Json(args);
      EXPECT_EQ(r.Status, 0) << r.Err;
      EXPECT_EQ(r.J["controllers"].size(), 4u);
      const size_t seen = MostServedAtOnce(Log(), since);
      if (jobs.empty())
        EXPECT_GT(seen, 2u);  // side by side, not one after another
      else
        EXPECT_EQ(seen, most);
    }
  }
}

TEST_F(Tavexctl, VarsTakesTheCacheAndServesEveryControllerPastABadOne) {
  StartSim(json::array({Controller(1000, "127.0.0.2"), Controller(1001, "127.0.0.3", {{"alc_text", kBadAlc}}),
                        Controller(1002, "127.0.0.4"),
                        Controller(1003, "127.0.0.5", {{"faults", {{"silent_after_requests", 3}}}})}));
  // Memory pages read per run: the archives' pages only when they are fetched.
  auto pagesOf = [&](std::vector<std::string> Args) {
    const size_t before = Log(33).size();
    Args.insert(Args.begin(), {"--timeout", "100", "--retries", "2"});
    TRun r = Json(Args);
    EXPECT_EQ(r.Status, 1);
    for (uint64_t nad : {1000, 1002}) {
      const json* c = ControllerOf(r.J, nad);
      EXPECT_TRUE(c && (*c)["error"].is_null() && (*c)["variables"].size() > 10) << r.Out;
    }
    const json* bad = ControllerOf(r.J, 1001);
    EXPECT_TRUE(bad && (*bad)["error"] == kBadAlcError && (*bad)["variables"].empty()) << r.Out;
    EXPECT_NE(r.Err.find("tavexctl: Controller 1001 at 127.0.0.3: " + kBadAlcError + ".\n"), std::string::npos)
        << r.Err;
    return Log(33).size() - before;
  };
  const size_t cold = pagesOf({"vars"});
  {
    // It answered up to its directory, then once failed, nothing more.
    const auto entries = EntriesOf(Log(), 1003);
    EXPECT_EQ(UnansweredTail(entries), 2u);
    EXPECT_EQ(entries.size(), 5u);  // broadcast, ping, header, then the directory twice
  }
  const size_t warm = pagesOf({"vars"});
  const size_t uncached = pagesOf({"--no-cache", "vars"});
  EXPECT_LT(warm, cold);
  EXPECT_EQ(uncached, cold - 3);  // as cold, without the silent one's header and directory attempts
  // status takes the same road.
  const size_t before = Log(33).size();
  TRun status = Json({"status"});
  EXPECT_EQ(status.Status, 1);
  EXPECT_EQ(Log(33).size() - before, warm);
}

TEST_F(Tavexctl, VarsGivesAControllerWithoutVariablesARowThatSaysWhy) {
  StartSim(json::array({Controller(1000, "127.0.0.2", {{"variables", json::array({Var("speed", "word")})}}),
                        Controller(1001, "127.0.0.3", {{"has_program", false}})}));
  TRun csv = Ctl({"--format", "csv", "vars"});
  EXPECT_EQ(csv.Status, 1);
  EXPECT_EQ(csv.Out,
            "nad,name,index,type,address,comment,error\n"
            "1000,speed,0,word,0x0100,,\n"
            "1001,,,,,,PLC has no program!\n");
  EXPECT_EQ(csv.Err, "tavexctl: Controller 1001 at 127.0.0.3: PLC has no program!\n");
  TRun table = Ctl({"--nad", "1000", "vars"});
  EXPECT_EQ(table.Status, 0) << table.Err;
  EXPECT_EQ(table.Out,
            "NAD   Name   Index  Type  Address  Comment\n"
            "1000  speed  0      word  0x0100\n");
}

}  // namespace
}  // namespace tavex

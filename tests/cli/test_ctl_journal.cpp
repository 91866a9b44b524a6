// The journal as tavexctl keeps it: a record per value written and per
// clock set, with what was there before (read on the wire just before the
// write), what was written and read back, and the verdict; nothing for a
// dry run or --no-journal; a journal that cannot be written; runs that end
// at the same moment; and history over it.
#include "CtlFixture.h"

#include <regex>

namespace tavex {
namespace {

using namespace ctltest;
using nlohmann::json;
using namespace std::chrono_literals;

size_t ReadsOf(const std::vector<json>& Log, uint64_t Nad) {
  size_t n = 0;
  for (const json& e : Log) n += e.value("command", -1) == 51 && e.at("nad") == Nad;
  return n;
}

const json* RecordOf(const std::vector<json>& Records, uint64_t Nad, const std::string& Entry) {
  for (const json& r : Records)
    if (r["nad"] == Nad && r["entry"] == Entry) return &r;
  return nullptr;
}

TEST_F(Tavexctl, EveryValueWrittenAndClockSetIsJournalledWithWhatWasThereBefore) {
  struct TCase {
    const char* Name;
    std::vector<std::string> Args;
    int Status;
    size_t Records;  // new journal records
    size_t Reads;    // variable reads controller 1000 received
  };
  const std::vector<TCase> cases = {
      {"write with the clock", {"--all", "--sync-clock", "write", "setpoint=21.25", "speed[3]=1234"}, 0, 6, 2},
      // Held back: nothing is written, so nothing is read before; each value says why.
      {"held back", {"--nad", "1000", "write", "setpoint=1", "nosuch=3"}, 1, 2, 1},
      {"no journal", {"--no-journal", "--nad", "1000", "write", "setpoint=2"}, 0, 0, 1},
      {"dry run", {"--nad", "1000", "write", "--dry-run", "setpoint=3"}, 0, 0, 1},
      {"clock set", {"--nad", "1000", "clock", "--sync"}, 0, 1, 2},
      {"clock read", {"--nad", "1000", "clock"}, 0, 0, 1},
      {"read", {"--nad", "1000", "read", "setpoint"}, 0, 0, 1},
  };
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.Name);
    StartSim(json::array({Controller(1000, "127.0.0.2"), Controller(1001, "127.0.0.3")}));
    const size_t before = JournalLines().size();
    const TRun r = Json(c.Args);
    EXPECT_EQ(r.Status, c.Status) << r.Err;
    EXPECT_EQ(r.Err.find("journal"), std::string::npos) << r.Err;
    const std::vector<json> all = JournalLines();
    ASSERT_EQ(all.size() - before, c.Records);
    EXPECT_EQ(ReadsOf(Log(), 1000), c.Reads);
    const std::vector<json> got(all.begin() + static_cast<std::ptrdiff_t>(before), all.end());
    for (const json& rec : got) EXPECT_EQ(rec["op"], got[0]["op"]) << "one run, one operation id";
    StopSim();
    if (std::string(c.Name) == "held back") {
      EXPECT_EQ((*RecordOf(got, 1000, "setpoint"))["verdict"], "held back");
      EXPECT_EQ((*RecordOf(got, 1000, "nosuch"))["verdict"], "unknown entry");
      EXPECT_EQ((*RecordOf(got, 1000, "setpoint"))["before"], nullptr);
    }
    if (std::string(c.Name) != "write with the clock") continue;

    // Every key, for one value.
    const json* sp = RecordOf(got, 1000, "setpoint");
    ASSERT_NE(sp, nullptr);
    const json& s = *sp;
    EXPECT_TRUE(std::regex_match(s["time"].get<std::string>(),
                                 std::regex(R"(\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{3}Z)")))
        << s.dump();
    EXPECT_TRUE(std::regex_match(s["offset"].get<std::string>(), std::regex(R"([+-]\d\d:\d\d)"))) << s.dump();
    EXPECT_FALSE(s["user"].get<std::string>().empty());
    EXPECT_TRUE(s["host"].is_string());
    EXPECT_EQ(s["program"], "tavexctl");
    EXPECT_FALSE(s["version"].get<std::string>().empty());
    EXPECT_FALSE(s["op"].get<std::string>().empty());
    EXPECT_EQ(s["adapter"], "lo");
    EXPECT_EQ(s["ip"], "127.0.0.2");
    EXPECT_TRUE(std::regex_match(s["stamp"].get<std::string>(), std::regex("0x[0-9a-f]{8}"))) << s.dump();
    EXPECT_EQ(s["before"], "12.5");
    EXPECT_EQ(s["written"], "21.25");
    EXPECT_EQ(s["read_back"], "21.25");
    EXPECT_EQ(s["verdict"], "written");
    for (uint64_t nad : {1000, 1001}) {
      const json* speed = RecordOf(got, nad, "speed[3]");
      ASSERT_NE(speed, nullptr);
      EXPECT_EQ((*speed)["before"], "400");
      EXPECT_EQ((*speed)["written"], "1234");
      EXPECT_EQ((*speed)["read_back"], "1234");
      // The clock: as it was, as set, as read back.
      const json* clock = RecordOf(got, nad, "clock");
      ASSERT_NE(clock, nullptr);
      EXPECT_EQ((*clock)["before"].get<std::string>().substr(0, 10), "2026-12-06") << clock->dump();
      EXPECT_TRUE((*clock)["written"].is_string()) << clock->dump();
      EXPECT_TRUE((*clock)["read_back"].is_string()) << clock->dump();
      EXPECT_EQ((*clock)["verdict"], "set");
    }

    // history --last shows exactly this run.
    const TRun h = RunProgram({TAVEXCTL_EXE, "--format", "json", "history", "--last"});
    EXPECT_EQ(h.Status, 0) << h.Err;
    const json hj = json::parse(h.Out);
    EXPECT_EQ(hj["records"].size(), 6u);
    for (const json& rec : hj["records"]) EXPECT_EQ(rec["op"], s["op"]);
  }
}

// A controller that stops answering in the middle of the write, or does
// not keep what it acknowledged: the journal says what the output says.
TEST_F(Tavexctl, AControllerThatFailsMidWriteIsJournalledWithItsVerdicts) {
  const std::vector<std::string> args = {"--no-cache", "--nad", "1000", "write", "setpoint=21.25", "offset=7"};
  // Where the first write falls, from a healthy run.
  StartSim(json::array({Controller(1000, "127.0.0.2")}));
  ASSERT_EQ(Json(args).Status, 0);
  int first = -1;
  for (const json& e : Log())
    if (e.value("command", -1) == 52) {
      first = e.at("request_no").get<int>();
      break;
    }
  ASSERT_GT(first, 0);
  StopSim();
  struct TCase {
    const char* Name;
    json Faults;
    std::string Verdict, ReadBack;  // of setpoint; "" for null
  } cases[] = {
      {"silent after the write", {{"silent_after_requests", first}}, "written, not read back", ""},
      {"writes ignored", {{"ignore_writes", true}}, "written, reads back otherwise", "12.5"},
      {"write lost", {{"drop", 1}, {"only_commands", {52}}}, "not acknowledged, not landed", "12.5"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.Name);
    StartSim(json::array({Controller(1000, "127.0.0.2", {{"faults", c.Faults}})}));
    const size_t before = JournalLines().size();
    const TRun r = Json(args);
    EXPECT_EQ(r.Status, 1) << r.Err;
    const std::vector<json> all = JournalLines();
    ASSERT_EQ(all.size() - before, 2u);
    const std::vector<json> got(all.begin() + static_cast<std::ptrdiff_t>(before), all.end());
    const json& s = *RecordOf(got, 1000, "setpoint");
    EXPECT_EQ(s["before"], "12.5");
    EXPECT_EQ(s["written"], "21.25");
    EXPECT_EQ(s["verdict"], c.Verdict);
    EXPECT_EQ(s["verdict"], r.J["controllers"][0]["verdicts"]["setpoint"]);
    EXPECT_EQ(s["read_back"], c.ReadBack.empty() ? json(nullptr) : json(c.ReadBack));
    StopSim();
  }
}

// SIGINT while the first of three batches waits for its answer: the
// journal keeps the verdicts known then, the same as the output.
TEST_F(Tavexctl, AnInterruptedWriteJournalsWhatWasKnown) {
  json vars = json::array();
  for (int i = 0; i < 250; ++i) vars.push_back(Var("v" + std::to_string(i), "word", {{"value", i}}));
  StartSim(json::array({Controller(1000, "127.0.0.2",
                                   {{"variables", vars}, {"faults", {{"delay_ms", 300}, {"only_commands", {52}}}}})}));
  std::vector<std::string> argv = {TAVEXCTL_EXE, "--adapter", "lo", "--listen", "200", "--format", "json",
                                   "--nad", "1000", "write"};
  for (int i = 0; i < 250; ++i) argv.push_back("v" + std::to_string(i) + "=" + std::to_string(1000 + i));
  int out = -1, err = -1;
  const pid_t pid = Spawn(argv, out, err);
  ASSERT_GT(pid, 0);
  const auto end = std::chrono::steady_clock::now() + 20s;
  while (Log(52).empty() && std::chrono::steady_clock::now() < end) std::this_thread::sleep_for(5ms);
  ASSERT_FALSE(Log(52).empty());
  kill(pid, SIGINT);
  std::string o, e;
  Drain(out, err, o, e, 10s);
  close(out);
  close(err);
  EXPECT_EQ(Reap(pid, false), 130) << e;
  const json shown = json::parse(o)["controllers"][0]["verdicts"];
  const std::vector<json> got = JournalLines();
  ASSERT_EQ(got.size(), 250u);
  std::map<std::string, int> verdicts;
  for (const json& r : got) {
    ++verdicts[r["verdict"].get<std::string>()];
    EXPECT_EQ(r["verdict"], shown[r["entry"].get<std::string>()]) << r.dump();
    EXPECT_EQ(r["before"], std::to_string(std::stoi(r["entry"].get<std::string>().substr(1)))) << r.dump();
  }
  EXPECT_EQ(verdicts, (std::map<std::string, int>{{"written, not read back", 100}, {"not done", 150}}));
}

TEST_F(Tavexctl, AJournalThatCannotBeWrittenWarnsOrStopsBeforeAnythingIsSent) {
  const std::string plain = WriteFile("plain", "a file, not a folder");
  const std::string bad = plain + "/tavex/journal";
  struct TCase {
    const char* Name;
    std::vector<std::string> Args;
    int Status;
    bool Sent;
    std::string Err;  // a fragment
  } cases[] = {
      {"warning", {"--nad", "1000", "write", "setpoint=1"}, 0, true,
       "tavexctl: warning: Cannot write the journal \"" + bad + "\" ("},
      {"required", {"--require-journal", "--nad", "1000", "write", "setpoint=1"}, 2, false,
       "tavexctl: Cannot open the journal \"" + bad + "\" for appending ("},
      {"required clock", {"--require-journal", "--nad", "1000", "clock", "--sync"}, 2, false,
       "nothing was sent (--require-journal)."},
      {"not wanted", {"--no-journal", "--nad", "1000", "write", "setpoint=1"}, 0, true, ""},
      {"both", {"--no-journal", "--require-journal", "--nad", "1000", "write", "setpoint=1"}, 2, false,
       "--no-journal and --require-journal cannot go together"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.Name);
    StartSim(json::array({Controller(1000, "127.0.0.2")}));
    setenv("TAVEX_JOURNAL", bad.c_str(), 1);
    const TRun r = Ctl(c.Args);
    EXPECT_EQ(r.Status, c.Status) << r.Err;
    if (c.Err.empty())
      EXPECT_EQ(r.Err, "");
    else
      EXPECT_NE(r.Err.find(c.Err), std::string::npos) << r.Err;
    EXPECT_EQ(!Log().empty(), c.Sent);
    StopSim();
  }
}

// Several runs that end together: every record arrives whole, each run's
// records together.
TEST_F(Tavexctl, RunsEndingTogetherAppendWithoutInterleaving) {
  constexpr int kRuns = 4;
  json controllers = json::array();
  for (int i = 0; i < kRuns; ++i) controllers.push_back(Controller(1000 + i, "127.0.0." + std::to_string(2 + i)));
  StartSim(controllers);
  std::vector<std::pair<pid_t, std::pair<int, int>>> runs;
  for (int i = 0; i < kRuns; ++i) {
    int out = -1, err = -1;
    const pid_t pid = Spawn({TAVEXCTL_EXE, "--adapter", "lo", "--host", "127.0.0." + std::to_string(2 + i), "-q",
                             "write", "--sync-clock", "setpoint=" + std::to_string(i), "speed[0]=7", "offset=1",
                             "hours=2", "relay=0"},
                            out, err);
    ASSERT_GT(pid, 0);
    runs.push_back({pid, {out, err}});
  }
  for (auto& [pid, fds] : runs) {
    std::string o, e;
    Drain(fds.first, fds.second, o, e, 30s);
    close(fds.first);
    close(fds.second);
    EXPECT_EQ(Reap(pid, false), 0) << e;
  }
  const std::vector<json> got = JournalLines();
  ASSERT_EQ(got.size(), static_cast<size_t>(kRuns * 6));
  for (size_t i = 0; i < got.size(); i += 6)
    for (size_t k = 0; k < 6; ++k) EXPECT_EQ(got[i + k]["op"], got[i]["op"]) << i + k;
}

TEST_F(Tavexctl, HistoryFiltersTheJournal) {
  const auto rec = [](const std::string& Time, const std::string& Op, uint64_t Nad, const std::string& Entry) {
    return json{{"time", Time},       {"offset", "+01:00"}, {"user", "anna"},   {"host", "pc"},
                {"program", "tavexctl"}, {"version", "1.3.0"}, {"op", Op},     {"adapter", "eth0"},
                {"nad", Nad},         {"ip", "10.0.0.1"},   {"stamp", "0x00000001"}, {"entry", Entry},
                {"before", "1"},      {"written", "2"},     {"read_back", "2"}, {"verdict", "written"}}
        .dump();
  };
  std::filesystem::create_directories(std::filesystem::path(JournalFile).parent_path());
  std::ofstream(JournalFile) << rec("2026-12-10T08:00:00.000Z", "a", 1000, "speed") << "\n"
                             << rec("2026-12-10T08:00:00.000Z", "a", 1001, "speed") << "\n"
                             << "garbage from elsewhere\n"
                             << rec("2026-12-11T09:30:00.000Z", "b", 1000, "clock") << "\n"
                             << rec("2026-12-11T10:30:00.000Z", "c", 1001, "speed") << "\n"
                             << rec("2026-12-11T10:30:00.000Z", "c", 1001, "offset") << "\n"
                             << rec("2026-12-11T10:31:00.000Z", "c", 1001, "o");  // torn: no line end
  struct TCase {
    std::vector<std::string> Args;
    int Status;
    std::vector<std::string> Want;  // "op/nad/entry" of each record shown
  } cases[] = {
      {{}, 0, {"a/1000/speed", "a/1001/speed", "b/1000/clock", "c/1001/speed", "c/1001/offset", "c/1001/o"}},
      {{"--nad", "1000"}, 0, {"a/1000/speed", "b/1000/clock"}},
      {{"--nad", "1000", "--nad", "1001", "--entry", "speed"}, 0, {"a/1000/speed", "a/1001/speed", "c/1001/speed"}},
      {{"--entry", "clock"}, 0, {"b/1000/clock"}},
      {{"--op", "a"}, 0, {"a/1000/speed", "a/1001/speed"}},
      {{"--last"}, 0, {"c/1001/speed", "c/1001/offset", "c/1001/o"}},
      {{"--last", "--nad", "1000"}, 0, {"b/1000/clock"}},
      {{"--since", "2026-12-11T10:00+01:00"}, 0, {"b/1000/clock", "c/1001/speed", "c/1001/offset", "c/1001/o"}},
      {{"--since", "2026-12-11Z", "--until", "2026-12-11T10:30Z"}, 0, {"b/1000/clock"}},
      {{"--until", "2026-12-10Z"}, 0, {"a/1000/speed", "a/1001/speed"}},  // the whole day
      {{"--op", "nosuch"}, 0, {}},
      {{"--since", "yesterday"}, 2, {}},
      {{"--until", "2026-12-32"}, 2, {}},
  };
  // A last line without its end is kept when it is whole (here it is).
  for (const auto& c : cases) {
    std::vector<std::string> args = {TAVEXCTL_EXE, "--format", "json", "history"};
    args.insert(args.end(), c.Args.begin(), c.Args.end());
    std::string name;
    for (const auto& a : c.Args) name += a + " ";
    SCOPED_TRACE(name);
    const TRun r = RunProgram(args);
    EXPECT_EQ(r.Status, c.Status) << r.Err;
    if (c.Status != 0) {
      EXPECT_EQ(r.Out, "");
      continue;
    }
    const json j = json::parse(r.Out);
    std::vector<std::string> got;
    for (const json& x : j["records"])
      got.push_back(x["op"].get<std::string>() + "/" + std::to_string(x["nad"].get<uint64_t>()) + "/" +
                    x["entry"].get<std::string>());
    EXPECT_EQ(got, c.Want);
    EXPECT_EQ(j["skipped"], 1);
    EXPECT_NE(r.Err.find("1 line of the journal"), std::string::npos) << r.Err;
    EXPECT_EQ(r.Err.find("no journal entries") != std::string::npos, c.Want.empty()) << r.Err;
    EXPECT_EQ(r.Err.find("password"), std::string::npos) << "history sends nothing: " << r.Err;
  }

  // Table and CSV carry the same records; the table's time is local.
  const TRun t = RunProgram({TAVEXCTL_EXE, "history", "--op", "b"});
  EXPECT_EQ(t.Status, 0) << t.Err;
  EXPECT_EQ(Lines(t.Out), 2u) << t.Out;
  EXPECT_EQ(t.Out.rfind("Time", 0), 0u) << t.Out;
  EXPECT_NE(t.Out.find("Read back"), std::string::npos) << t.Out;
  const TRun csv = RunProgram({TAVEXCTL_EXE, "--format", "csv", "history", "--op", "b"});
  EXPECT_EQ(csv.Out.substr(0, csv.Out.find('\n')),
            "time,offset,op,user,host,program,version,adapter,nad,ip,stamp,entry,before,written,read_back,verdict");
  EXPECT_NE(csv.Out.find("2026-12-11T09:30:00.000Z,+01:00,b,anna,pc,tavexctl,1.3.0,eth0,1000,10.0.0.1,"
                         "0x00000001,clock,1,2,2,written\n"),
            std::string::npos)
      << csv.Out;

  // No journal yet: empty, and said so; a journal that cannot be read: 2.
  std::filesystem::remove(JournalFile);
  const TRun none = RunProgram({TAVEXCTL_EXE, "history"});
  EXPECT_EQ(none.Status, 0);
  EXPECT_EQ(none.Out, "");
  EXPECT_NE(none.Err.find("no journal entries"), std::string::npos) << none.Err;
  std::filesystem::create_directories(JournalFile);
  const TRun folder = RunProgram({TAVEXCTL_EXE, "history"});
  EXPECT_EQ(folder.Status, 2);
  EXPECT_NE(folder.Err.find("Cannot read the journal"), std::string::npos) << folder.Err;
}

// The as-left report of one run: per controller and entry what the
// journal says and what the controller holds now, as data (CSV), and as a
// page that fetches nothing and shows every text as text.
TEST_F(Tavexctl, TheReportShowsEachChangeBesideWhatTheControllerHoldsNow) {
  StartSim(json::array({Controller(1000, "127.0.0.2"), Controller(1001, "127.0.0.3")}));
  ASSERT_EQ(Ctl({"--all", "--sync-clock", "write", "setpoint=21.25", "speed[3]=1234"}).Status, 0);
  const std::string op = JournalLines().at(0)["op"];
  ASSERT_EQ(Ctl({"--nad", "1001", "write", "setpoint=5"}).Status, 0);  // a later run changes one

  // CSV: one row per journalled record, with the value now.
  const TRun csv = Ctl({"report", "--op", op, "--format", "csv"});
  EXPECT_EQ(csv.Status, 0) << csv.Err;
  std::vector<std::vector<std::string>> rows;
  std::istringstream lines(csv.Out);
  for (std::string line; std::getline(lines, line);) {
    std::vector<std::string> cells;
    std::istringstream fields(line);
    for (std::string f; std::getline(fields, f, ',');) cells.push_back(f);
    if (!line.empty() && line.back() == ',') cells.push_back("");
    rows.push_back(cells);
  }
  ASSERT_EQ(rows.size(), 7u) << csv.Out;
  EXPECT_EQ(rows[0], (std::vector<std::string>{"time", "op", "nad", "ip", "stamp", "stamp_now", "entry", "before",
                                               "written", "read_back", "verdict", "now", "clock_offset"}));
  std::map<std::string, std::vector<std::string>> byKey;  // "nad/entry" -> entry .. clock_offset
  for (size_t i = 1; i < rows.size(); ++i) {
    ASSERT_EQ(rows[i].size(), 13u) << csv.Out;
    EXPECT_EQ(rows[i][1], op);
    EXPECT_EQ(rows[i][4], rows[i][5]) << "the same program then and now";
    byKey[rows[i][2] + "/" + rows[i][6]] = std::vector<std::string>(rows[i].begin() + 6, rows[i].end());
  }
  using V = std::vector<std::string>;
  EXPECT_EQ(byKey["1000/setpoint"], (V{"setpoint", "12.5", "21.25", "21.25", "written", "21.25", ""}));
  EXPECT_EQ(byKey["1001/setpoint"], (V{"setpoint", "12.5", "21.25", "21.25", "written", "5", ""}));
  EXPECT_EQ(byKey["1001/speed[3]"], (V{"speed[3]", "400", "1234", "1234", "written", "1234", ""}));
  for (const char* key : {"1000/clock", "1001/clock"}) {
    const V& c = byKey[key];
    ASSERT_EQ(c.size(), 7u) << key;
    EXPECT_EQ(c[1].substr(0, 10), "2026-12-06");  // found
    EXPECT_EQ(c[4], "set");
    EXPECT_FALSE(c[5].empty());  // the clock now
    EXPECT_NE(c[6].find(" s"), std::string::npos) << c[6];  // the offset found
  }

  // HTML: self-contained, the same facts, every text escaped.
  std::ofstream(JournalFile, std::ios::app)
      << json{{"time", "2026-12-11T10:00:00.000Z"}, {"op", "evil"}, {"nad", 1000}, {"entry", "<b>x</b>&"},
              {"written", "<script>alert(1)</script>"}, {"verdict", "written"}}
             .dump()
      << "\n";
  const std::string page = (Dir / "as-left.html").string();
  for (const std::string& which : {op, std::string("evil")}) {
    SCOPED_TRACE(which);
    const TRun h = Ctl({"report", "--op", which, "--output", page});
    EXPECT_EQ(h.Status, 0) << h.Err;
    EXPECT_EQ(h.Out, "");
    std::ifstream in(page);
    const std::string html((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    EXPECT_EQ(html.rfind("<!DOCTYPE html>", 0), 0u);
    EXPECT_EQ(html.find("<script"), std::string::npos);
    EXPECT_EQ(html.find("http"), std::string::npos);  // nothing fetched
    EXPECT_EQ(html.find("<link"), std::string::npos);
    if (which == "evil") {
      EXPECT_NE(html.find("&lt;b&gt;x&lt;/b&gt;&amp;"), std::string::npos);
      EXPECT_NE(html.find("&lt;script&gt;alert(1)&lt;/script&gt;"), std::string::npos);
      EXPECT_EQ(html.find("<b>"), std::string::npos);
    } else {
      for (const char* fact : {"Controller 1000", "Controller 1001", "<td>setpoint</td><td>12.5</td><td>21.25</td>",
                               "<td>speed[3]</td><td>400</td><td>1234</td>", "<h3>Clock</h3>"})
        EXPECT_NE(html.find(fact), std::string::npos) << fact;
      // 1001's setpoint is 5 now, not what the run left: marked.
      EXPECT_NE(html.find("<td class=\"bad\">5</td>"), std::string::npos);
    }
  }

  // Nothing to report: a usage error, nothing sent; controllers that do
  // not answer now: reported as such, and a failure.
  const size_t sent = Log().size();
  const TRun none = Ctl({"report", "--op", "nosuch"});
  EXPECT_EQ(none.Status, 2) << none.Err;
  EXPECT_EQ(Log().size(), sent);
  StopSim();
  const TRun gone = Ctl({"report", "--op", op, "--output", page});
  EXPECT_EQ(gone.Status, 1) << gone.Err;
  std::ifstream in(page);
  const std::string html((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  EXPECT_NE(html.find("not read now"), std::string::npos);
}

}  // namespace
}  // namespace tavex

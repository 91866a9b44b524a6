// diff against a saved rows file, and write --from --changed-only: each
// entry's state from the wire values (not the texts), the exit status, and
// what the simulator's log shows was written.
#include "CtlFixture.h"

namespace tavex {
namespace {

using namespace ctltest;
using nlohmann::json;

// "1000 speed[1]" -> the entry's JSON of a diff, from every controller.
std::map<std::string, json> DiffEntries(const json& J) {
  std::map<std::string, json> out;
  for (const json& c : J.at("controllers"))
    for (const json& e : c.at("entries"))
      out[(c.at("nad").is_null() ? std::string("?") : std::to_string(c.at("nad").get<uint64_t>())) + " " +
          e.at("entry").get<std::string>()] = e;
  return out;
}

// The fixture's controller 1000 holds setpoint 12.5 (real), speed 100, 200,
// 300, 400 (word), offset -3 (int), hours 70000 (long), relay 1 (bit), a
// timer and a local; 1001 is named by some files and never answers.
TEST_F(Tavexctl, DiffTellsEachEntryEqualDiffersOrMissingByItsWireValue) {
  struct TCase {
    const char* Name;
    std::string File;
    int Status;
    // "NAD entry" -> state, and for some the reason, and saved/now texts.
    std::map<std::string, std::string> States;
    std::map<std::string, std::string> Reasons;
    std::string Err;  // a fragment of stderr
  };
  const std::string head = "nad,entry,value\n";
  const std::vector<TCase> cases = {
      {"all equal, each type", head + "1000,setpoint,12.5\n1000,speed[2],300\n1000,offset,-3\n1000,hours,70000\n1000,relay,1\n",
       0, {{"1000 setpoint", "equal"}, {"1000 speed[2]", "equal"}, {"1000 offset", "equal"}, {"1000 hours", "equal"},
           {"1000 relay", "equal"}}, {}, "tavexctl: All 5 values equal on 1 controller.\n"},
      // Texts that differ but make the same wire value.
      // Texts that differ but make the same wire value: a decimal comma, a
      // real that rounds to the same single, hexadecimal, trailing zeros.
      {"same wire value, other text",
       "nad;entry;value\n1000;setpoint;12,5000001\n1000;speed;$64\n1000;speed[1];0x00C8\n1000;zero;0.000\n",
       0, {{"1000 setpoint", "equal"}, {"1000 speed", "equal"}, {"1000 speed[1]", "equal"}, {"1000 zero", "equal"}},
       {}, "All 4 values equal"},
      {"one differs", head + "1000,setpoint,12.5\n1000,speed[3],401\n", 1,
       {{"1000 setpoint", "equal"}, {"1000 speed[3]", "differs"}}, {},
       "tavexctl: 1 of 2 values differs on 1 controller.\n"},
      // A real's sign is part of its wire value.
      {"a real's zero and negative zero", head + "1000,zero,-0\n", 1, {{"1000 zero", "differs"}}, {}, ""},
      {"a value the type refuses", head + "1000,speed[0],70000\n1000,relay,2\n1000,setpoint,1e39\n", 1,
       {{"1000 speed[0]", "differs"}, {"1000 relay", "differs"}, {"1000 setpoint", "differs"}},
       {{"1000 speed[0]", "invalid saved value for a word"},
        {"1000 setpoint", "invalid saved value for a real (beyond the largest real, 3.4028235E38)"}},
       "3 of 3 values differ on 1 controller."},
      {"unknown entry, a local, a timer", head + "1000,speed,100\n1000,nosuch,1\n1000,tmp,1\n1000,t_delay,5\n", 1,
       {{"1000 speed", "equal"}, {"1000 nosuch", "missing"}, {"1000 tmp", "missing"}, {"1000 t_delay", "missing"}},
       {{"1000 nosuch", "unknown entry"}, {"1000 tmp", "unknown entry"}, {"1000 t_delay", "not transferred (timer)"}},
       "0 of 4 values differ; 3 missing."},
      {"controller missing", head + "1000,speed,100\n1001,speed,100\n1001,offset,1\n", 1,
       {{"1000 speed", "equal"}, {"1001 speed", "missing"}, {"1001 offset", "missing"}},
       {{"1001 speed", "did not answer the broadcast (listened 200 ms)"}},
       "tavexctl: 0 of 3 values differ; 2 missing; 1001 did not answer.\n"},
      // A row not read when saved has nothing to compare.
      {"a value not read when saved", head + "1000,speed,100\n1000,offset,?\n", 0, {{"1000 speed", "equal"}}, {},
       "whose value is \"?\" (not read when saved): controller 1000 offset (line 3)"},
  };
  json vars = Variables();
  vars.push_back(Var("zero", "real", {{"value", 0.0}}));
  StartSim(json::array({Controller(1000, "127.0.0.2", {{"variables", vars}})}));
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.Name);
    const std::string file = WriteFile("saved.csv", c.File);
    const TRun r = Json({"diff", file});
    EXPECT_EQ(r.Status, c.Status) << r.Err;
    EXPECT_NE(r.Err.find(c.Err), std::string::npos) << r.Err;
    const std::map<std::string, json> got = DiffEntries(r.J);
    std::map<std::string, std::string> states;
    for (const auto& [key, e] : got) states[key] = e.at("state").get<std::string>();
    EXPECT_EQ(states, c.States) << r.Out;
    for (const auto& [key, reason] : c.Reasons) {
      ASSERT_EQ(got.count(key), 1u) << key;
      EXPECT_EQ(got.at(key).at("reason"), reason) << key;
    }
    // What is missing says why; what is equal needs no word.
    for (const auto& [key, e] : got) {
      if (e.at("state") == "equal") {
        EXPECT_TRUE(e.at("reason").is_null()) << key;
      } else if (e.at("state") == "missing") {
        EXPECT_TRUE(e.at("reason").is_string()) << key;
      }
    }
  }

  // The saved text and the value now, side by side, in every format.
  const std::string file = WriteFile("saved.csv", head + "1000,setpoint,12.50\n1000,speed[3],401\n1001,offset,1\n");
  const TRun j = Json({"diff", file});
  const auto got = DiffEntries(j.J);
  EXPECT_EQ(got.at("1000 speed[3]"), (json{{"entry", "speed[3]"}, {"state", "differs"}, {"saved", 401},
                                            {"saved_text", "401"}, {"now", 400}, {"reason", nullptr}}));
  EXPECT_EQ(got.at("1000 setpoint").at("saved"), 12.5);
  EXPECT_EQ(got.at("1000 setpoint").at("saved_text"), "12.50");
  EXPECT_EQ(j.J.at("summary"), (json{{"values", 3}, {"equal", 1}, {"differs", 1}, {"missing", 1}}));
  const TRun csv = Ctl({"--format", "csv", "diff", file});
  EXPECT_EQ(csv.Status, 1);
  EXPECT_EQ(csv.Out,
            "nad,ip,entry,state,saved,now,reason\n"
            "1000,127.0.0.2,setpoint,equal,12.50,12.5,\n"
            "1000,127.0.0.2,speed[3],differs,401,400,\n"
            "1001,,offset,missing,1,?,did not answer the broadcast (listened 200 ms)\n");
  const TRun table = Ctl({"diff", file});
  EXPECT_EQ(table.Status, 1);
  EXPECT_NE(table.Out.find("1000  127.0.0.2  speed[3]  differs  401    400"), std::string::npos) << table.Out;
  EXPECT_EQ(table.Err,
            "tavexctl: Controller 1001 named in \"" + file + "\" did not answer; its values were not compared.\n"
            "tavexctl: 1 of 3 values differs on 1 controller; 1 missing; 1001 did not answer.\n");
}

// The file selects as write --from's does, and --nad or --hosts narrow it;
// a controller asked for by --host that does not answer is missing.
TEST_F(Tavexctl, DiffSelectsTheControllersOfTheFile) {
  StartSim(json::array({Controller(1000, "127.0.0.2"), Controller(1001, "127.0.0.3"),
                        Controller(1002, "127.0.0.4")}));
  const std::string file = WriteFile("saved.csv", "1000,speed,100\n1001,speed,1\n");
  struct TCase {
    std::vector<std::string> Args;
    int Status;
    std::set<std::string> Keys;  // "NAD entry" of the output
  };
  const std::vector<TCase> cases = {
      {{"diff", file}, 1, {"1000 speed", "1001 speed"}},  // 1002 is named by no row
      {{"--nad", "1000", "diff", file}, 0, {"1000 speed"}},
      {{"--host", "127.0.0.2", "diff", file}, 0, {"1000 speed"}},
      // Nobody at the address: which of the file's controllers it was is not
      // known, so each is missing.
      {{"--host", "127.0.0.9", "--timeout", "50", "--retries", "1", "diff", file}, 1, {"1000 speed", "1001 speed"}},
  };
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.Args[1]);
    const TRun r = Json(c.Args);
    EXPECT_EQ(r.Status, c.Status) << r.Err;
    std::set<std::string> keys;
    for (const auto& [key, e] : DiffEntries(r.J)) keys.insert(key);
    EXPECT_EQ(keys, c.Keys) << r.Out;
  }
  // Nothing but the broadcast reached 1002: it is named by no row.
  for (const json& e : Log())
    if (e.value("nad", 0u) == 1002u) {
      EXPECT_TRUE(e.value("broadcast", false)) << e.dump();
    }
}

// Usage errors and unreadable files end the run with status 2 before
// anything is sent.
TEST_F(Tavexctl, DiffAndChangedOnlyUsageErrorsSendNothing) {
  StartSim(json::array({Controller(1000, "127.0.0.2")}));
  const std::string good = WriteFile("good.csv", "1000,speed,100\n");
  struct TCase {
    std::vector<std::string> Args;
    std::string Err;  // a fragment
  };
  const std::vector<TCase> cases = {
      {{"diff"}, "diff needs the saved rows file"},
      {{"diff", good, good}, "diff takes one file, not"},
      {{"diff", (Dir / "nosuch.csv").string()}, "nosuch.csv"},
      {{"diff", WriteFile("short.csv", "1000,speed\n")}, "Line 1 of"},
      {{"diff", WriteFile("bad.csv", "1000,speed,fast\n")}, "Line 1 of"},
      {{"diff", WriteFile("quote.csv", "1000,speed,\"100\n")}, "Cannot read"},
      {{"diff", WriteFile("none.csv", "nad,entry,value\n1000,speed,?\n")}, "holds no values"},
      {{"--format", "rows", "diff", good}, "--format rows only goes with read"},
      {{"--from", good, "diff", good}, "diff takes no option --from"},
      {{"diff", good, "--dry-run"}, "diff takes no option --dry-run"},
      {{"--nad", "1000", "write", "speed=1", "--changed-only"}, "--changed-only only goes with write --from"},
      {{"write", "--changed-only"}, "write needs ENTRY=VALUE arguments or --from"},
      {{"diff", good, "--changed-only"}, "diff takes no option --changed-only"},
  };
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.Args.back());
    const TRun r = Ctl(c.Args);
    EXPECT_EQ(r.Status, 2) << r.Err;
    EXPECT_EQ(r.Out, "");
    EXPECT_NE(r.Err.find(c.Err), std::string::npos) << r.Err;
  }
  EXPECT_TRUE(Log().empty()) << Log().size() << " datagrams arrived";
}

std::map<std::string, std::string> Verdicts(const json& J, uint64_t Nad) {
  std::map<std::string, std::string> out;
  const json* c = ControllerOf(J, Nad);
  if (c == nullptr) return out;
  for (auto& [entry, v] : c->at("verdicts").items()) out[entry] = v.get<std::string>();
  return out;
}

// Only the values that differ reach a controller; one that holds them all
// gets no write at all. A value its type refuses still holds the whole
// controller back, as without --changed-only.
TEST_F(Tavexctl, ChangedOnlyWritesOnlyTheValuesThatDiffer) {
  struct TCase {
    const char* Name;
    std::string File;
    std::vector<std::string> Extra;
    int Status;
    std::vector<std::vector<std::string>> Writes1000, Writes1001;  // names per write request
    std::map<std::string, std::string> Verdicts1000, Verdicts1001;
  };
  const std::string head = "nad,entry,value\n";
  const std::vector<TCase> cases = {
      {"one of three differs; the other controller holds all",
       head + "1000,setpoint,12.50\n1000,speed[1],201\n1000,speed[2],$12C\n1001,offset,-3\n1001,relay,1\n", {}, 0,
       {{"speed[1]"}}, {},
       {{"setpoint", "unchanged"}, {"speed[1]", "written"}, {"speed[2]", "unchanged"}},
       {{"offset", "unchanged"}, {"relay", "unchanged"}}},
      {"nothing differs", head + "1000,speed,100\n1001,speed,100\n", {}, 0, {}, {}, {{"speed", "unchanged"}},
       {{"speed", "unchanged"}}},
      {"a refused value holds back what differs",
       head + "1000,speed[1],201\n1000,speed[0],70000\n1000,setpoint,12.5\n1001,speed,101\n", {}, 1, {},
       {{"speed[0]"}}, {{"speed[1]", "held back"}, {"speed[0]", "rejected value"}, {"setpoint", "unchanged"}},
       {{"speed", "written"}}},
      {"an unknown entry holds back what differs", head + "1000,speed[1],201\n1000,nosuch,1\n", {}, 1, {}, {},
       {{"speed[1]", "held back"}, {"nosuch", "unknown entry"}}, {}},
      {"dry run", head + "1000,speed[1],201\n1001,speed,100\n", {"--dry-run"}, 0, {}, {}, {}, {}},
  };
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.Name);
    StartSim(json::array({Controller(1000, "127.0.0.2"), Controller(1001, "127.0.0.3")}));
    const std::string file = WriteFile("saved.csv", c.File);
    std::vector<std::string> args = {"write", "--from", file, "--changed-only"};
    args.insert(args.end(), c.Extra.begin(), c.Extra.end());
    const TRun r = Json(args);
    EXPECT_EQ(r.Status, c.Status) << r.Err;
    EXPECT_EQ(Writes(1000), c.Writes1000);
    EXPECT_EQ(Writes(1001), c.Writes1001);
    if (c.Extra.empty()) {
      EXPECT_EQ(Verdicts(r.J, 1000), c.Verdicts1000) << r.Out;
      EXPECT_EQ(Verdicts(r.J, 1001), c.Verdicts1001) << r.Out;
      const json* c1000 = ControllerOf(r.J, 1000);
      ASSERT_NE(c1000, nullptr);
      for (const json& e : c1000->at("not_written"))
        EXPECT_NE(c.Verdicts1000.at(e.get<std::string>()), "unchanged") << e;
    } else {
      // What would be written: the entries that differ, nothing else.
      ASSERT_EQ(r.J["controllers"].size(), 2u) << r.Out;
      EXPECT_EQ(r.J["controllers"][0]["entries"],
                (json::array({{{"entry", "speed[1]"}, {"current", 200}, {"new", 201}, {"reason", nullptr}}})));
      EXPECT_EQ(r.J["controllers"][1]["entries"], json::array());
      EXPECT_NE(r.Err.find("1 of 2 values is unchanged (the controllers hold them already) and would not be "
                           "written."),
                std::string::npos)
          << r.Err;
    }
    StopSim();
  }

  // The table's verdict cell, and no request of any kind after the read to
  // the controller that holds everything.
  StartSim(json::array({Controller(1000, "127.0.0.2"), Controller(1001, "127.0.0.3")}));
  const std::string file = WriteFile("saved.csv", "1000,speed[1],201\n1000,speed[0],100\n1001,speed,100\n");
  const TRun read = Ctl({"--no-cache", "--format", "csv", "diff", file});
  EXPECT_EQ(read.Status, 1) << read.Err;
  size_t before1001 = 0;
  for (const json& e : Log()) before1001 += e.value("nad", 0u) == 1001u;
  const TRun r = Ctl({"--no-cache", "--format", "csv", "write", "--from", file, "--changed-only"});
  EXPECT_EQ(r.Status, 0) << r.Err;
  EXPECT_NE(r.Out.find(",\"1 written, 1 unchanged\"\n"), std::string::npos) << r.Out;
  EXPECT_NE(r.Out.find(",unchanged\n"), std::string::npos) << r.Out;
  size_t after1001 = 0;
  for (const json& e : Log()) after1001 += e.value("nad", 0u) == 1001u;
  // The write run's own read of 1001 is the same as diff's; nothing follows it.
  EXPECT_EQ(after1001, 2 * before1001);
  EXPECT_EQ(r.Err, "tavexctl: 2 of 3 values were unchanged (the controllers held them already) and not written.\n");
  // Run again: everything is in place now.
  const TRun again = Ctl({"diff", file});
  EXPECT_EQ(again.Status, 0) << again.Err;
}

}  // namespace
}  // namespace tavex

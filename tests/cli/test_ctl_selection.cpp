// Which controllers a run is about, and that each of them is in the output:
// a selection is needed to write values given on the command line; the
// rows of a value file outside the selection are never sent; --hosts with
// --nad pings only the selected; a controller asked for that is missing is
// a row of its own in every format.
#include "CtlFixture.h"

namespace tavex {
namespace {

using namespace ctltest;
using nlohmann::json;

// Log entries that reached Nad at all.
size_t Heard(const std::vector<json>& Log, uint64_t Nad) {
  return static_cast<size_t>(
      std::count_if(Log.begin(), Log.end(), [Nad](const json& e) { return e.at("nad") == Nad; }));
}

TEST_F(Tavexctl, OnlyTheSelectedControllersAreContactedAndEachAskedOneIsShown) {
  StartSim(json::array({Controller(1000, "127.0.0.2"), Controller(1001, "127.0.0.3"),
                        Controller(1002, "127.0.0.4", {{"faults", {{"silent", true}}}})}));
  const std::string hosts = WriteFile("site.csv", "nad,ip\n1000,127.0.0.2\n1001,127.0.0.3\n1002,127.0.0.4\n");
  const std::string rows = WriteFile("rows.csv", "nad,entry,value\n1000,speed[1],5\n1001,speed[1],6\n1007,speed[1],7\n");
  struct TCase {
    const char* Name;
    std::vector<std::string> Args;
    int Status;
    std::string Fragment;                       // of stderr ("" : stderr empty)
    std::vector<json> Nads;                     // the output's controllers, in order (null: NAD not known)
    std::map<uint64_t, size_t> Writes;          // writes each controller received
    std::set<uint64_t> Untouched;               // heard nothing at all
  };
  const std::vector<TCase> cases = {
      {"values need a selection", {"write", "speed[1]=5"}, 2,
       "write with ENTRY=VALUE needs a selection (--nad, --host or --hosts), or --all", {}, {}, {1000, 1001, 1002}},
      {"--all writes every answering controller", {"--all", "write", "speed[1]=5"}, 0, "", {1000, 1001},
       {{1000, 1}, {1001, 1}}, {}},
      // --hosts with --nad: the dead 1002 is not pinged and does not fail the run.
      {"--hosts with --nad pings only the selected", {"--hosts", hosts, "--nad", "1001", "write", "speed[1]=9"}, 0,
       "", {1001}, {{1001, 1}}, {1000, 1002}},
      // Rows for controllers outside --host: never contacted, named once.
      {"rows outside --host", {"--host", "127.0.0.2", "write", "--from", rows}, 0,
       "tavexctl: warning: 2 rows of \"" + rows + "\" for controllers not selected, left out: 1001, 1007.", {1000},
       {{1000, 1}}, {1001, 1002}},
      // Rows outside --nad: the same.
      {"rows outside --nad", {"--nad", "1001", "write", "--from", rows}, 0,
       "2 rows of \"" + rows + "\" for controllers not selected, left out: 1000, 1007.", {1001}, {{1001, 1}}, {}},
      // A row for a controller that does not answer: asked, missing, in the output.
      {"a file's controller missing", {"write", "--from", rows}, 1,
       "Controller 1007 named in \"" + rows + "\" did not answer; nothing was written to it.", {1000, 1001, 1007},
       {{1000, 1}, {1001, 1}}, {}},
      {"--nad of a silent controller", {"--nad", "1002", "--nad", "1000", "read", "speed[1]"}, 1,
       "Controller 1002 did not answer.", {1000, 1002}, {}, {}},
      {"--host nobody answers at", {"--host", "127.0.0.9", "--host", "127.0.0.3", "--timeout", "50", "clock"}, 1,
       "No controller answered at 127.0.0.9 (no answer to 3 attempts of 50 ms).", {1001, nullptr}, {}, {1000, 1002}},
      {"a NAD not in the hosts file", {"--hosts", hosts, "--nad", "1005", "read", "speed[1]"}, 1,
       "Controller 1005 is not listed in \"" + hosts + "\".", {1005}, {}, {1000, 1001, 1002}},
  };
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.Name);
    const size_t logBefore = Log().size();
    std::map<uint64_t, size_t> writesBefore;
    for (uint64_t n : {1000, 1001, 1002}) writesBefore[n] = Writes(n).size();
    std::vector<std::string> args = {"--format", "json"};
    args.insert(args.end(), c.Args.begin(), c.Args.end());
    TRun r = Ctl(args);
    if (c.Status != 2) r.J = json::parse(r.Out);
    EXPECT_EQ(r.Status, c.Status) << r.Err;
    if (c.Fragment.empty())
      EXPECT_EQ(r.Err, "");
    else
      EXPECT_NE(r.Err.find(c.Fragment), std::string::npos) << r.Err;
    if (c.Status != 2) {
      std::vector<json> nads;
      for (const json& x : r.J["controllers"]) nads.push_back(x["nad"]);
      EXPECT_EQ(json(nads), json(c.Nads)) << r.Out;
      // The ones asked for and not served carry their error.
      for (const json& x : r.J["controllers"]) {
        if (x["nad"].is_null() || x["nad"] == 1007 || x["nad"] == 1005 || x["nad"] == 1002) {
          EXPECT_TRUE(x["error"].is_string()) << x.dump();
        }
      }
    }
    const std::vector<json> all = Log();
    const std::vector<json> fresh(all.begin() + static_cast<long>(logBefore), all.end());
    for (uint64_t n : {1000, 1001, 1002}) {
      const auto it = c.Writes.find(n);
      EXPECT_EQ(Writes(n).size() - writesBefore[n], it == c.Writes.end() ? 0u : it->second) << n;
    }
    for (uint64_t n : c.Untouched) EXPECT_EQ(Heard(fresh, n), 0u) << n;
  }
}

// A missing controller is a row in the table and the CSV too, with its error.
TEST_F(Tavexctl, AMissingControllerIsARowInEveryFormat) {
  StartSim(json::array({Controller(1000, "127.0.0.2")}));
  const TRun csv = Ctl({"--format", "csv", "--nad", "1000", "--nad", "1003", "read", "speed[1]"});
  EXPECT_EQ(csv.Status, 1);
  EXPECT_NE(csv.Out.find("\n1003,,,?,did not answer the broadcast (listened 200 ms)\n"), std::string::npos) << csv.Out;
  const TRun table = Ctl({"--nad", "1000", "--nad", "1003", "read", "speed[1]"});
  EXPECT_NE(table.Out.find("did not answer the broadcast"), std::string::npos) << table.Out;
  EXPECT_EQ(Lines(table.Out), 3u) << table.Out;
  // The save format keeps the row as "?": a restore must not take it for a value.
  const TRun saved = Ctl({"--format", "rows", "--nad", "1000", "--nad", "1003", "read", "speed[1]"});
  EXPECT_EQ(saved.Out, "nad,entry,value\n1000,speed[1],200\n1003,speed[1],?\n");
  const TRun write = Json({"--nad", "1003", "write", "speed[1]=4"});
  EXPECT_EQ(write.Status, 1);
  ASSERT_EQ(write.J["controllers"].size(), 1u);
  EXPECT_EQ(write.J["controllers"][0]["verdicts"], (json{{"speed[1]", "not done"}}));
  EXPECT_EQ(write.J["controllers"][0]["not_written"], json::array({"speed[1]"}));
}

}  // namespace
}  // namespace tavex

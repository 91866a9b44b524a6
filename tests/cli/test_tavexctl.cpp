// tavexctl as a process against tavex-sim as a process, on loopback inside
// the test's private network namespace: JSON output, exit status, stderr
// sentences, and what the simulator's log says arrived.
#include "CtlFixture.h"

namespace tavex {
namespace {

using namespace ctltest;
using nlohmann::json;
using namespace std::chrono_literals;

// --- Finding controllers -----------------------------------------------------------

TEST_F(Tavexctl, DetectListsEveryAnswerWithItsUnsignedNad) {
  StartSim(json::array({Controller(1000, "127.0.0.2"), Controller(1001, "127.0.0.3"),
                        Controller(4294967294u, "127.0.0.4")}));
  TRun r = Json({"detect"});
  EXPECT_EQ(r.Status, 0) << r.Err;
  EXPECT_EQ(r.Err, "");
  EXPECT_EQ(Found(r.J), (std::vector<std::pair<uint64_t, std::string>>{
                            {1000, "127.0.0.2"}, {1001, "127.0.0.3"}, {4294967294u, "127.0.0.4"}}));

  TRun table = Ctl({"detect"});
  EXPECT_EQ(table.Status, 0);
  EXPECT_EQ(Lines(table.Out), 4u) << table.Out;  // header and three rows
  EXPECT_NE(table.Out.find("4294967294"), std::string::npos);
  TRun csv = Ctl({"--format", "csv", "detect"});
  EXPECT_EQ(csv.Out.substr(0, 7), "nad,ip\n");
  EXPECT_NE(csv.Out.find("4294967294,127.0.0.4\n"), std::string::npos);
}

TEST_F(Tavexctl, NadFilterKeepsTheNamedAndFailsForAMissingOne) {
  StartSim(json::array({Controller(1000, "127.0.0.2"), Controller(1001, "127.0.0.3")}));
  TRun one = Json({"--nad", "1001", "detect"});
  EXPECT_EQ(one.Status, 0) << one.Err;
  EXPECT_EQ(Found(one.J), (std::vector<std::pair<uint64_t, std::string>>{{1001, "127.0.0.3"}}));

  // The one asked for and missing is in the output too, first by NAD, with its error.
  TRun missing = Json({"--nad", "1001", "--nad", "5", "detect"});
  EXPECT_EQ(missing.Status, 1);
  ASSERT_EQ(missing.J["controllers"].size(), 2u) << missing.Out;
  EXPECT_EQ(missing.J["controllers"][0],
            (json{{"nad", 5}, {"ip", nullptr}, {"error", "did not answer the broadcast (listened 200 ms)"}}));
  EXPECT_EQ(missing.J["controllers"][1], (json{{"nad", 1001}, {"ip", "127.0.0.3"}}));
  EXPECT_EQ(missing.Err, "tavexctl: Controller 5 did not answer.\n");
  TRun csv = Ctl({"--format", "csv", "--nad", "1001", "--nad", "5", "detect"});
  EXPECT_EQ(csv.Out, "nad,ip,error\n5,,did not answer the broadcast (listened 200 ms)\n1001,127.0.0.3,\n");
}

TEST_F(Tavexctl, DiscoveryListsEveryControllerPastWhatIsNoAnswer) {
  // A controller whose answer is no answer to the tool (Direction 0) or is
  // damaged no longer ends the listening nor swallows the answers behind
  // it: every other controller is listed, and its sender is named in a
  // warning. Its answer may have been spoilt by a fault that comes and
  // goes, so it is asked twice more. With nothing else there, nothing
  // answered: a failure that says what came. Another station's traffic is
  // skipped too, but asked nothing again.
  json twenty = json::array();
  std::vector<std::pair<uint64_t, std::string>> healthy;
  for (uint32_t i = 0; i < 20; ++i) {
    const std::string ip = "127.0.0." + std::to_string(2 + i);
    twenty.push_back(Controller(1000 + i, ip));
    healthy.emplace_back(1000 + i, ip);
  }
  json direction0 = twenty;
  direction0.insert(direction0.begin() + 10, Controller(1020, "127.0.0.30", {{"faults", {{"wrong_direction", 1}}}}));
  json damaged = twenty;
  damaged.insert(damaged.begin() + 10, Controller(1020, "127.0.0.30", {{"faults", {{"corrupt", 1}, {"corrupt_at", 9}}}}));
  struct Case {
    const char* name;
    json controllers;
    int status;
    std::vector<std::pair<uint64_t, std::string>> found;
    std::string err;
    int broadcasts;
  } cases[] = {
      {"direction_0_among_20", direction0, 0, healthy,
       "tavexctl: warning: Skipped 3 datagrams that held no answer to the tool, from 127.0.0.30 (NAD 1020).\n", 3},
      {"damaged_among_20", damaged, 0, healthy,
       "tavexctl: warning: Skipped 3 datagrams that held no answer to the tool, from 127.0.0.30 (damaged).\n", 3},
      {"only_direction_0", json::array({Controller(1020, "127.0.0.30", {{"faults", {{"wrong_direction", 1}}}})}), 1, {},
       "tavexctl: No controller answered within 200 ms on adapter lo; only 3 datagrams that held no answer to the tool "
       "came, from 127.0.0.30 (NAD 1020).\n" + kNoPasswordHint,
       3},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    StartSim(c.controllers);
    TRun r = Json({"detect"});
    EXPECT_EQ(r.Status, c.status) << r.Err;
    EXPECT_EQ(Found(r.J), c.found);
    EXPECT_EQ(r.Err, c.err);
    int broadcasts = 0, faults = 0;
    for (const json& e : Log()) {
      broadcasts += e["nad"] == 1020 && e["broadcast"] == true;
      faults += !e.value("faults", json::array()).empty();
    }
    EXPECT_EQ(broadcasts, c.broadcasts);
    EXPECT_EQ(faults, c.broadcasts) << "the fault was injected";
    StopSim();
  }

}

TEST_F(Tavexctl, OneNadAtTwoAddressesIsNamedAndNeverServed) {
  // One NAD at two addresses: a warning, and a --nad that names it is
  // refused rather than served by whichever answers.
  StartSim(json::array({Controller(1000, "127.0.0.2"), Controller(1000, "127.0.0.3")}));
  TRun twice = Json({"detect"});
  EXPECT_EQ(twice.Status, 0) << twice.Err;
  EXPECT_EQ(twice.Err, "tavexctl: warning: Controllers at 127.0.0.2, 127.0.0.3 answer with the same NAD 1000.\n");
  EXPECT_EQ(Found(twice.J).size(), 2u);
  TRun named = Ctl({"--nad", "1000", "read", "speed"});
  EXPECT_EQ(named.Status, 1);
  EXPECT_NE(named.Err.find("NAD 1000 is answered by 2 controllers; none of them is served."), std::string::npos)
      << named.Err;
  for (const json& e : Log()) EXPECT_TRUE(e["broadcast"] == true) << "nothing but the broadcast: " << e.dump();
}

TEST_F(Tavexctl, TraceShowsEveryFrameTheControllersReceivedAndSent) {
  // Two controllers served side by side, with a duplicated answer among the
  // received datagrams: every request the simulator logged is a "->" line
  // to its address with its command, in order; every answer a "<-" line.
  StartSim(json::array({Controller(1000, "127.0.0.2", {{"faults", {{"duplicate", 1}}}}),
                        Controller(1001, "127.0.0.3")}));
  TRun r = Ctl({"--host", "127.0.0.2", "--host", "127.0.0.3", "--trace", "read", "speed"});
  EXPECT_EQ(r.Status, 0) << r.Err;
  std::map<std::string, std::vector<std::string>> sent, received;
  std::istringstream lines(r.Err);
  for (std::string line; std::getline(lines, line);) {
    std::istringstream words(line);
    std::string time, arrow, where;
    words >> time >> arrow >> where;
    const std::string ip = where.substr(0, where.find(':'));
    if (arrow == "->") {
      const size_t cmd = line.find(" cmd ");
      ASSERT_NE(cmd, std::string::npos) << line;
      sent[ip].push_back(line.substr(cmd + 5, line.find(' ', cmd + 5) - cmd - 5));
    } else {
      ASSERT_EQ(arrow, "<-") << "not a trace line: " << line;
      received[ip].push_back(line);
    }
  }
  std::map<std::string, std::vector<std::string>> logged;
  int answers = 0;
  for (const json& e : Log()) {
    logged[e["ip"].get<std::string>()].push_back(std::to_string(e["command"].get<int>()));
    answers += e["outcome"] == "answered";
  }
  EXPECT_EQ(sent, logged);
  // Each answer, and its copy unless the copy was still queued when the
  // request's socket was replaced (then it is discarded unread).
  EXPECT_GE(received["127.0.0.2"].size(), logged["127.0.0.2"].size());
  EXPECT_LE(received["127.0.0.2"].size(), 2 * logged["127.0.0.2"].size());
  EXPECT_EQ(received["127.0.0.3"].size(), logged["127.0.0.3"].size());
  EXPECT_GT(answers, 4);
}

TEST_F(Tavexctl, VerboseTellsEachControllersStagesAndLeavesTheOutputAlone) {
  StartSim(json::array({Controller(1000, "127.0.0.2"), Controller(1001, "127.0.0.3", {{"has_program", false}})}));
  const TRun quiet = Json({"read", "speed[1]"});
  TRun r = Json({"-v", "read", "speed[1]"});
  EXPECT_EQ(r.Status, 1);
  EXPECT_EQ(r.J, quiet.J);
  // Each line names its controller; lines of controllers served side by side
  // may interleave, but each controller's own stages come in order.
  std::map<std::string, std::vector<std::string>> stages;
  std::istringstream lines(r.Err);
  for (std::string line; std::getline(lines, line);) {
    const std::string prefix = "tavexctl: [";
    if (line.rfind(prefix, 0) != 0) continue;
    const size_t close = line.find("] ");
    ASSERT_NE(close, std::string::npos) << line;
    std::string stage = line.substr(close + 2);
    stage = stage.substr(0, stage.find(':'));
    stages[line.substr(prefix.size(), close - prefix.size())].push_back(stage);
  }
  using V = std::vector<std::string>;
  EXPECT_EQ(stages["lo"], V({"broadcast 1"}));
  EXPECT_EQ(stages["1000 at 127.0.0.2"],
            V({"socket", "ping", "program", "allocation file", "run state", "read"}));
  EXPECT_EQ(stages["1001 at 127.0.0.3"], V({"socket", "ping", "program"}));
  EXPECT_NE(r.Err.find("[1001 at 127.0.0.3] program: none ("), std::string::npos) << r.Err;
  EXPECT_NE(r.Err.find("tavexctl: Controller 1001 at 127.0.0.3: "), std::string::npos) << r.Err;
}

TEST_F(Tavexctl, AnInterruptedWriteSaysWhatWasDone) {
  // Five controllers served one after the other, answers after 40 ms: a
  // SIGINT lands in the middle. The run ends with 130, and what it prints
  // per controller matches the simulator's log: written (all of its
  // entries done) or not (all of them "not done" and listed as not written).
  json controllers = json::array();
  std::string rows = "nad,entry,value\n";
  for (int c = 0; c < 5; ++c) {
    json vars = json::array();
    for (int i = 0; i < 20; ++i) vars.push_back({{"name", "v" + std::to_string(i)}, {"type", "word"}, {"value", i}});
    const uint32_t nad = 1000 + static_cast<uint32_t>(c);
    controllers.push_back({{"nad", nad}, {"ip", "127.0.0." + std::to_string(2 + c)}, {"variables", vars},
                           {"faults", {{"delay_ms", 40}}}});
    for (int i = 0; i < 20; ++i) rows += std::to_string(nad) + ",v" + std::to_string(i) + "," + std::to_string(100 + i) + "\n";
  }
  StartSim(controllers);
  const std::string csv = WriteFile("values.csv", rows);
  int out = -1, err = -1;
  const pid_t pid = Spawn({TAVEXCTL_EXE, "--adapter", "lo", "--listen", "200", "--jobs", "1", "--format", "json",
                           "write", "--from", csv},
                          out, err);
  ASSERT_GT(pid, 0);
  std::this_thread::sleep_for(700ms);
  kill(pid, SIGINT);
  std::string o, e;
  Drain(out, err, o, e, 10s);
  close(out);
  close(err);
  EXPECT_EQ(Reap(pid, false), 130) << e;
  EXPECT_NE(e.find("Interrupted: what is shown was done"), std::string::npos) << e;

  std::set<uint64_t> written;
  for (const json& x : Log(52)) written.insert(x["nad"].get<uint64_t>());
  EXPECT_LT(written.size(), 5u) << "the interrupt came after the whole run";
  json j;
  ASSERT_NO_THROW(j = json::parse(o)) << o << e;
  ASSERT_EQ(j["controllers"].size(), 5u);
  for (const json& c : j["controllers"]) {
    const uint64_t nad = c["nad"].get<uint64_t>();
    SCOPED_TRACE(nad);
    int notDone = 0;
    for (auto& [entry, why] : c["reasons"].items()) notDone += why == "not done";
    if (written.count(nad)) {
      EXPECT_EQ(notDone, 0) << c.dump();
      EXPECT_TRUE(c["not_written"].empty()) << c.dump();
    } else {
      EXPECT_EQ(notDone, 20) << c.dump();
      EXPECT_EQ(c["not_written"].size(), 20u) << c.dump();
    }
  }
}

TEST_F(Tavexctl, DetectFindsAThousandControllers) {
  // Their answers arrive together: the listening socket holds them all.
  json controllers = json::array();
  for (uint32_t i = 0; i < 1000; ++i)
    controllers.push_back({{"nad", 10000 + i},
                           {"ip", "127.0." + std::to_string(1 + i / 250) + "." + std::to_string(2 + i % 250)}});
  StartSim(controllers);
  TRun r = RunProgram({TAVEXCTL_EXE, "--adapter", "lo", "--listen", "2000", "--format", "csv", "-v", "detect"});
  EXPECT_EQ(r.Status, 0) << r.Err;
  EXPECT_EQ(Lines(r.Out), 1001u);
  std::set<std::string> rows;
  std::istringstream lines(r.Out);
  for (std::string line; std::getline(lines, line);) rows.insert(line);
  EXPECT_EQ(rows.size(), 1001u) << "each controller once";
  EXPECT_EQ(rows.count("10999,127.0.4.251"), 1u);
  EXPECT_NE(r.Err.find("broadcast 1: 1000 answered, 1000 new, 0 skipped, 0 lost"), std::string::npos) << r.Err;
}

TEST_F(Tavexctl, NothingAnsweringIsAFailure) {
  StartSim(json::array({Controller(1000, "127.0.0.2", {{"faults", {{"silent", true}}}})}));
  TRun r = Json({"detect"});
  EXPECT_EQ(r.Status, 1);
  EXPECT_TRUE(r.J.at("controllers").empty());
  EXPECT_EQ(r.Err, "tavexctl: No controller answered within 200 ms on adapter lo.\n" + kNoPasswordHint);
}

TEST_F(Tavexctl, HostPingsEachAddressAndKeepsItsPort) {
  StartSim(json::array({Controller(1000, "127.0.0.2"), Controller(1001, "127.0.0.3"),
                        Controller(1002, "127.0.0.4", {{"port", 18442}})}));
  TRun r = Json({"--host", "127.0.0.4:18442", "--host", "127.0.0.3", "--host", "127.0.0.9", "read", "speed[1]"});
  EXPECT_EQ(r.Status, 1);  // nobody at 127.0.0.9
  EXPECT_EQ(r.Err, "tavexctl: No controller answered at 127.0.0.9 (no answer to 3 attempts of 500 ms).\n");
  // In NAD order, and the controller on port 18442 was reached again; the
  // address nobody answered at last, with its error.
  ASSERT_EQ(r.J.at("controllers").size(), 3u);
  EXPECT_EQ(r.J["controllers"][0]["nad"], 1001);
  EXPECT_EQ(r.J["controllers"][1]["nad"], 1002);
  EXPECT_EQ(r.J["controllers"][1]["values"]["speed[1]"], 200);
  EXPECT_EQ(r.J["controllers"][2]["nad"], nullptr);
  EXPECT_EQ(r.J["controllers"][2]["ip"], "127.0.0.9");
  EXPECT_EQ(r.J["controllers"][2]["values"]["speed[1]"], nullptr);
  EXPECT_EQ(r.J["controllers"][2]["reasons"]["speed[1]"], "no answer");
  EXPECT_EQ(r.J["controllers"][2]["error"], "did not answer (no answer to 3 attempts of 500 ms)");
  for (const json& e : Log()) {
    EXPECT_FALSE(e.at("broadcast").get<bool>()) << e.dump();
    EXPECT_NE(e.at("nad"), 1000) << "a controller that was not asked heard something";
  }
}

TEST_F(Tavexctl, HostShowsTheAddressTheAnswerCameFrom) {
  // Asked at the subnet's broadcast address, the controller answers from its
  // own: that is the address shown and the one the read goes to.
  StartSim(json::array({Controller(1001, "127.0.0.3")}));
  TRun r = Json({"--host", "127.255.255.255", "read", "speed[1]"});
  EXPECT_EQ(r.Status, 0) << r.Err;
  ASSERT_EQ(r.J.at("controllers").size(), 1u) << r.Out;
  EXPECT_EQ(r.J["controllers"][0]["ip"], "127.0.0.3");
  EXPECT_EQ(r.J["controllers"][0]["values"]["speed[1]"], 200);
  size_t broadcasts = 0;
  for (const json& e : Log()) broadcasts += e.at("broadcast").get<bool>() ? 1 : 0;
  EXPECT_EQ(broadcasts, 1u) << "only the ping went to the broadcast address";
}

TEST_F(Tavexctl, HostsPingsTheListedControllersAndFailsForEachMissingOne) {
  StartSim(json::array({Controller(1000, "127.0.0.2"), Controller(1001, "127.0.0.3"),
                        Controller(1002, "127.0.0.4", {{"faults", {{"delay_ms", 30}}}}),
                        Controller(1004, "127.0.0.5", {{"faults", {{"silent", true}}}}),
                        Controller(1009, "127.0.0.6")}));
  const std::string hosts = WriteFile("site.csv",
                                      "nad,ip\n"
                                      "1002,127.0.0.4\n"
                                      "1000,127.0.0.2\n"
                                      "1004,127.0.0.5\n"   // silent
                                      "1005,127.0.0.3\n"   // 1001 lives there
                                      "1003,127.0.0.9\n");  // nobody
  TRun r = Json({"--hosts", hosts, "--jobs", "2", "--timeout", "100", "--retries", "2", "read", "speed[1]"});
  EXPECT_EQ(r.Status, 1);
  EXPECT_EQ(r.Err,
            "tavexctl: Controller 1004 listed at 127.0.0.5 did not answer (no answer to 2 attempts of 100 ms).\n"
            "tavexctl: Controller 1001 answered at 127.0.0.3, where 1005 is listed; it was left out.\n"
            "tavexctl: Controller 1003 listed at 127.0.0.9 did not answer (no answer to 2 attempts of 100 ms).\n");
  // Every listed controller, in NAD order; those not served with their error.
  ASSERT_EQ(r.J.at("controllers").size(), 5u) << r.Out;
  const std::vector<std::pair<uint64_t, std::string>> order = {
      {1000, ""}, {1002, ""}, {1003, "did not answer (no answer to 2 attempts of 100 ms)"},
      {1004, "did not answer (no answer to 2 attempts of 100 ms)"}, {1005, "answered with NAD 1001"}};
  for (size_t i = 0; i < order.size(); ++i) {
    const json& c = r.J["controllers"][i];
    EXPECT_EQ(c["nad"], order[i].first);
    if (order[i].second.empty()) {
      EXPECT_EQ(c["values"]["speed[1]"], 200);
      EXPECT_EQ(c["error"], nullptr);
    } else {
      EXPECT_EQ(c["values"]["speed[1]"], nullptr);
      EXPECT_EQ(c["error"], order[i].second);
    }
  }
  // Unicast only, nobody unlisted heard anything, and the silent one got
  // exactly the two attempts of one ping.
  size_t silentPings = 0;
  std::vector<double> pingTimes;
  for (const json& e : Log()) {
    EXPECT_FALSE(e.at("broadcast").get<bool>()) << e.dump();
    EXPECT_NE(e.at("nad"), 1009) << e.dump();
    if (e.at("nad") == 1004) {
      EXPECT_EQ(e.at("command"), 16);
      ++silentPings;
      pingTimes.push_back(e.at("t_ms").get<double>());
    }
    if (e.at("nad") == 1001) {
      EXPECT_EQ(e.at("command"), 16) << "left out, but served";
    }
  }
  EXPECT_EQ(silentPings, 2u);
  // The second attempt followed the first after --timeout, not the default 500 ms.
  ASSERT_EQ(pingTimes.size(), 2u);
  EXPECT_GE(pingTimes[1] - pingTimes[0], 90);
  EXPECT_LT(pingTimes[1] - pingTimes[0], 400);

  // Every controller listed and answering: success.
  const std::string good = WriteFile("good.csv", "nad,ip\n1000,127.0.0.2\n1002,127.0.0.4\n");
  TRun ok = Json({"--hosts", good, "detect"});
  EXPECT_EQ(ok.Status, 0) << ok.Err;
  EXPECT_EQ(Found(ok.J), (std::vector<std::pair<uint64_t, std::string>>{{1000, "127.0.0.2"}, {1002, "127.0.0.4"}}));
}

TEST_F(Tavexctl, DetectCsvIsAnInventoryAndResultsFollowNadOrder) {
  // The lowest NADs answer last; the listening window is not waited out
  // with --hosts, whatever --listen says.
  StartSim(json::array({Controller(3000, "127.0.0.2"),
                        Controller(2000, "127.0.0.3", {{"faults", {{"delay_ms", 20}}}}),
                        Controller(1000, "127.0.0.4", {{"faults", {{"delay_ms", 40}}}})}));
  TRun detect = Ctl({"--format", "csv", "detect"});
  ASSERT_EQ(detect.Status, 0) << detect.Err;
  EXPECT_EQ(detect.Out, "nad,ip\n1000,127.0.0.4\n2000,127.0.0.3\n3000,127.0.0.2\n");
  const std::string hosts = WriteFile("site.csv", detect.Out);

  const auto t0 = std::chrono::steady_clock::now();
  TRun r = RunProgram({TAVEXCTL_EXE, "--adapter", "lo", "--listen", "30000", "--hosts", hosts, "--format", "csv",
                       "read", "speed[2]", "offset"});
  EXPECT_LT(std::chrono::steady_clock::now() - t0, 20s) << "the listening window was waited out";
  EXPECT_EQ(r.Status, 0) << r.Err;
  // The clock runs on, so only the rows' start and end are fixed.
  std::vector<std::string> lines;
  for (size_t at = 0, nl; (nl = r.Out.find('\n', at)) != std::string::npos; at = nl + 1)
    lines.push_back(r.Out.substr(at, nl - at));
  ASSERT_EQ(lines.size(), 4u) << r.Out;
  EXPECT_EQ(lines[0], "nad,ip,rtc,speed[2],offset,error");
  const char* starts[] = {"1000,127.0.0.4,2026-12-06  09:0", "2000,127.0.0.3,2026-12-06  09:0",
                          "3000,127.0.0.2,2026-12-06  09:0"};
  for (size_t i = 0; i < 3; ++i) {
    EXPECT_EQ(lines[i + 1].substr(0, std::strlen(starts[i])), starts[i]) << lines[i + 1];
    EXPECT_EQ(lines[i + 1].substr(lines[i + 1].size() - 8), ",300,-3,") << lines[i + 1];
  }
}

TEST_F(Tavexctl, TheAllocationCacheSavesTheArchivePagesOfLaterRuns) {
  StartSim(json::array({Controller(1000, "127.0.0.2"), Controller(1001, "127.0.0.3")}));
  // Memory pages read per run: the archive's pages only when it is fetched.
  auto pagesOf = [&](const std::vector<std::string>& Args) {
    const size_t before = Log(33).size();
    TRun r = Json(Args);
    EXPECT_EQ(r.Status, 0) << r.Err;
    EXPECT_EQ(r.J["controllers"][1]["values"]["hours"], 70000);
    return Log(33).size() - before;
  };
  const size_t cold = pagesOf({"read", "hours"});
  const size_t warm = pagesOf({"read", "hours"});
  const size_t uncached = pagesOf({"--no-cache", "read", "hours"});
  EXPECT_LT(warm, cold);
  EXPECT_EQ(uncached, cold);
  // Two files, one per controller, in the user's cache folder.
  size_t files = 0;
  for (const auto& f : std::filesystem::directory_iterator(Dir / "cache" / "tavex")) files += f.is_regular_file();
  EXPECT_EQ(files, 2u);
  // The write takes the same road.
  const size_t before = Log(33).size();
  TRun w = Json({"--all", "write", "hours=5"});
  EXPECT_EQ(w.Status, 0) << w.Err;
  EXPECT_EQ(Log(33).size() - before, warm);
}

// --- Status ------------------------------------------------------------------------

TEST_F(Tavexctl, StatusShowsEachStepAndFailsOnAnError) {
  StartSim(json::array({Controller(1000, "127.0.0.2"), Controller(1001, "127.0.0.3", {{"has_program", false}})}));
  TRun r = Json({"status"});
  EXPECT_EQ(r.Status, 1);
  const json* good = ControllerOf(r.J, 1000);
  const json* bad = ControllerOf(r.J, 1001);
  ASSERT_TRUE(good && bad) << r.Out;
  for (const char* k : {"network", "ping", "program", "alc", "run"}) EXPECT_EQ((*good)[k], "ok") << k;
  EXPECT_EQ((*bad)["network"], "ok");
  EXPECT_EQ((*bad)["ping"], "ok");
  EXPECT_EQ((*bad)["program"], "error");
  EXPECT_EQ((*bad)["alc"], "error");
  EXPECT_EQ(r.Err,
            "tavexctl: Controller 1001 at 127.0.0.3: error in PLC program (no program), ALC file (no allocation "
            "file).\n");

  TRun healthy = Json({"--nad", "1000", "status"});
  EXPECT_EQ(healthy.Status, 0) << healthy.Err;
}

// --- Read --------------------------------------------------------------------------

TEST_F(Tavexctl, ReadGivesTheCellTextsOfEveryTypeAndTheClock) {
  StartSim(json::array({Controller(1000, "127.0.0.2")}));
  TRun r = Json({"read", "setpoint", "speed[2]", "speed", "offset", "hours", "relay"});
  EXPECT_EQ(r.Status, 0) << r.Err;
  EXPECT_EQ(r.Err, "");
  const json& c = r.J.at("controllers").at(0);
  EXPECT_EQ(c["nad"], 1000);
  EXPECT_EQ(c["ip"], "127.0.0.2");
  EXPECT_EQ(c["error"], nullptr);
  EXPECT_EQ(c["values"], (json{{"setpoint", 12.5}, {"speed[2]", 300}, {"speed", 100},
                              {"offset", -3}, {"hours", 70000}, {"relay", 1}}));
  // The simulated clock started at 09:05:03 and runs on.
  EXPECT_EQ(c["rtc"].get<std::string>().substr(0, 17), "2026-12-06  09:05") << c["rtc"];
}

TEST_F(Tavexctl, ReadMarksWhatItCannotFindAndFails) {
  StartSim(json::array({Controller(1000, "127.0.0.2",
                                   {{"variables", json::array({Var("speed", "word", {{"count", 4}}),
                                                               Var("tmp", "word", {{"scope", "local"}})})}})}));
  TRun r = Json({"read", "speed[3]", "speed[4]", "Speed", "tmp"});
  EXPECT_EQ(r.Status, 1);
  const json& c = r.J.at("controllers").at(0);
  EXPECT_EQ(c["values"], (json{{"speed[3]", 0}, {"speed[4]", nullptr}, {"Speed", nullptr}, {"tmp", nullptr}}));
  EXPECT_EQ(c["rtc"], nullptr);  // no clock variables: not a failure on its own
  EXPECT_EQ(r.Err, "tavexctl: Controller 1000 at 127.0.0.2: no value for speed[4], Speed, tmp (unknown entry).\n");

  TRun clockOnly = Json({"read", "speed[1]"});
  EXPECT_EQ(clockOnly.Status, 0) << clockOnly.Err;
}

TEST_F(Tavexctl, AFailedVariableReadShowsAQuestionMarkNotAStaleValue) {
  // Everything answers except the variable reads, so the element is linked
  // but its value never came from the controller.
  StartSim(json::array(
      {Controller(1000, "127.0.0.2", {{"faults", {{"drop", 1}, {"only_commands", {51}}}}})}));
  TRun r = Json({"read", "hours"});
  EXPECT_EQ(r.Status, 1);
  const json& c = r.J.at("controllers").at(0);
  EXPECT_EQ(c["values"]["hours"], nullptr);
  EXPECT_EQ(c["rtc"], nullptr);
  EXPECT_EQ(c["error"], "read: no answer to 3 attempts of 500 ms");
  EXPECT_EQ(r.Err, "tavexctl: Controller 1000 at 127.0.0.2: read: no answer to 3 attempts of 500 ms.\n");
}

TEST_F(Tavexctl, ABadAllocationLineIsThatControllersErrorAndTheOthersAreServed) {
  StartSim(json::array({Controller(1000, "127.0.0.2"),
                        Controller(1001, "127.0.0.3",
                                   {{"alc_text", ";CPU Tavex-2 X\r\n0100 0 1 0 2 global word speed\r\n; oops\r\n"}}),
                        Controller(1002, "127.0.0.4")}));
  TRun r = Json({"--host", "127.0.0.2", "--host", "127.0.0.3", "--host", "127.0.0.4", "read", "speed"});
  EXPECT_EQ(r.Status, 1);
  ASSERT_EQ(r.J.at("controllers").size(), 3u) << r.Out;
  EXPECT_EQ(r.J["controllers"][0]["values"]["speed"], 100);
  EXPECT_EQ(r.J["controllers"][1]["nad"], 1001);
  EXPECT_EQ(r.J["controllers"][1]["values"]["speed"], nullptr);
  EXPECT_EQ(r.J["controllers"][1]["reasons"]["speed"], "controller error");
  EXPECT_EQ(r.J["controllers"][1]["error"], "Error parsing ALC data on line 3: \"; oops\"");
  EXPECT_EQ(r.J["controllers"][2]["values"]["speed"], 100);
  EXPECT_EQ(r.Err, "tavexctl: Controller 1001 at 127.0.0.3: Error parsing ALC data on line 3: \"; oops\".\n");
}

// --- Write -------------------------------------------------------------------------

TEST_F(Tavexctl, WriteSendsTheValuesAndReportsThemReadBack) {
  StartSim(json::array({Controller(1000, "127.0.0.2"), Controller(1001, "127.0.0.3")}));
  TRun r = Json({"--all", "write", "setpoint=21.25", "speed[3]=1234", "offset=-300", "hours=-5", "relay=0"});
  EXPECT_EQ(r.Status, 0) << r.Err;
  ASSERT_EQ(r.J.at("controllers").size(), 2u);
  const json want = {{"setpoint", 21.25}, {"speed[3]", 1234}, {"offset", -300},
                     {"hours", -5},       {"relay", 0}};
  for (const auto& c : r.J["controllers"]) {
    EXPECT_EQ(c["values"], want) << c.dump();
    EXPECT_EQ(c["not_written"], json::array());
  }
  // One write per controller with every value (bits, words, longs); no
  // clock written; one read before it (what the journal keeps as "before")
  // and one after.
  for (uint64_t nad : {1000, 1001}) {
    EXPECT_EQ(Writes(nad), (std::vector<std::vector<std::string>>{{"relay", "speed[3]", "offset", "setpoint", "hours"}}));
    size_t reads = 0;
    for (const json& e : Log(51)) reads += e.at("nad") == nad;
    EXPECT_EQ(reads, 2u);
  }
  for (const json& e : Log(52)) EXPECT_EQ(e["values"], json({0, 1234, 0xFED4, 0x41AA0000, 0xFFFFFFFB})) << e.dump();

  TRun back = Json({"--nad", "1001", "read", "setpoint", "speed[3]", "offset", "hours", "relay"});
  EXPECT_EQ(back.Status, 0) << back.Err;
  EXPECT_EQ(back.J["controllers"][0]["values"],
            (json{{"setpoint", 21.25}, {"speed[3]", 1234}, {"offset", -300}, {"hours", -5}, {"relay", 0}}));
}

TEST_F(Tavexctl, ARejectedValueWritesNothingAndFails) {
  StartSim(json::array({Controller(1000, "127.0.0.2")}));
  struct TCase {
    std::string Arg, Entry, Sentence;
  };
  const std::vector<TCase> cases = {
      {"speed[2]=70000", "speed[2]", "\"70000\" is not a valid word value for speed[2]; nothing was written to it."},
      {"relay=256", "relay", "\"256\" is not a valid bit value for relay; nothing was written to it."},
      {"offset=1e3", "offset", "\"1e3\" is not a valid int value for offset; nothing was written to it."},
  };
  for (const auto& c : cases) {
    TRun r = Json({"--all", "write", c.Arg});
    EXPECT_EQ(r.Status, 1) << c.Arg;
    EXPECT_EQ(r.Err, "tavexctl: Controller 1000 at 127.0.0.2: " + c.Sentence + "\n");
    EXPECT_EQ(r.J["controllers"][0]["not_written"], json::array({c.Entry}));
  }
  // A fresh record never read these elements: nothing of them was written.
  EXPECT_TRUE(Writes(1000).empty());
  TRun back = Json({"read", "speed[2]", "relay", "offset"});
  EXPECT_EQ(back.J["controllers"][0]["values"], (json{{"speed[2]", 300}, {"relay", 1}, {"offset", -3}}));
}

TEST_F(Tavexctl, AValueThatDoesNotReadBackAsWrittenIsAFailure) {
  StartSim(json::array({Controller(1000, "127.0.0.2", {{"faults", {{"ignore_writes", true}}}})}));
  TRun r = Json({"--all", "write", "hours=5"});
  EXPECT_EQ(r.Status, 1);
  EXPECT_EQ(r.J["controllers"][0]["values"]["hours"], 70000);
  EXPECT_EQ(r.Err, "tavexctl: Controller 1000 at 127.0.0.2: hours reads back 70000 after writing 5.\n");
}

TEST_F(Tavexctl, SyncClockWritesTheClockInOneWriteWithTheRequestFlag) {
  StartSim(json::array({Controller(1000, "127.0.0.2")}));
  const std::time_t before = std::time(nullptr);
  TRun r = Json({"--sync-clock", "--all", "write", "speed=7"});
  const std::time_t after = std::time(nullptr);
  EXPECT_EQ(r.Status, 0) << r.Err;
  const auto writes = Writes(1000);
  ASSERT_EQ(writes.size(), 2u);
  EXPECT_EQ(writes[0], std::vector<std::string>{"speed[0]"});
  const std::set<std::string> clock(writes[1].begin(), writes[1].end());
  EXPECT_EQ(clock, (std::set<std::string>{"rtc_year", "rtc_month", "rtc_date", "rtc_hour", "rtc_min", "rtc_sec",
                                          "rtc_weekday", "rtc_write_req"}));
  const json last = Log(52).back();
  ASSERT_TRUE(last.contains("clock_set")) << last.dump();
  EXPECT_TRUE(last["clock_set"]["applied"].get<bool>());
  // The local time of the write, and the clock read back shows it.
  std::tm lo{}, hi{};
  localtime_r(&before, &lo);
  localtime_r(&after, &hi);
  const int year = last["clock_set"]["year"], month = last["clock_set"]["month"], day = last["clock_set"]["date"];
  EXPECT_TRUE(year == lo.tm_year + 1900 || year == hi.tm_year + 1900);
  EXPECT_TRUE(month == lo.tm_mon + 1 || month == hi.tm_mon + 1);
  EXPECT_TRUE(day == lo.tm_mday || day == hi.tm_mday);
  const int weekday = last["clock_set"]["weekday"];
  EXPECT_TRUE(weekday == lo.tm_wday || weekday == hi.tm_wday);
  char date[16];
  std::snprintf(date, sizeof date, "%.4d-%.2d-%.2d", year, month, day);
  EXPECT_EQ(r.J["controllers"][0]["rtc"].get<std::string>().substr(0, 10), date);

  // Without --sync-clock the clock is only read.
  TRun plain = Json({"--all", "write", "speed=8"});
  EXPECT_EQ(plain.Status, 0) << plain.Err;
  EXPECT_EQ(Writes(1000).size(), 3u);
  EXPECT_EQ(Writes(1000).back(), std::vector<std::string>{"speed[0]"});
}

TEST_F(Tavexctl, SyncClockFailsWhenTheControllerLacksClockVariables) {
  StartSim(json::array(
      {Controller(1000, "127.0.0.2", {{"variables", json::array({Var("speed", "word", {{"value", 1}})})}})}));
  TRun r = Json({"--sync-clock", "--all", "write", "speed=2"});
  EXPECT_EQ(r.Status, 1);
  EXPECT_EQ(r.J["controllers"][0]["values"]["speed"], 2);
  EXPECT_EQ(r.Err,
            "tavexctl: Controller 1000 at 127.0.0.2: its clock was not set: the program has no rtc_year, "
            "rtc_month, rtc_date, rtc_hour, rtc_min, rtc_sec, rtc_weekday, rtc_write_req.\n");
  EXPECT_EQ(r.J["controllers"][0]["clock"], "not set");
  EXPECT_NE(r.J["controllers"][0]["error"], nullptr);
}

TEST_F(Tavexctl, WriteFromCsvGivesEachControllerOnlyItsRows) {
  StartSim(json::array({Controller(1000, "127.0.0.2"), Controller(1001, "127.0.0.3"), Controller(1002, "127.0.0.4")}));
  const std::string file = WriteFile("values.csv",
                                     "nad,entry,value\r\n"
                                     "1000,speed[1],11\r\n"
                                     "1001,\"speed[2]\",\"22\"\r\n"
                                     "1000, setpoint ,\"1.5\"\r\n");
  TRun r = Json({"write", "--from", file});
  EXPECT_EQ(r.Status, 0) << r.Err;
  ASSERT_EQ(r.J.at("controllers").size(), 2u);  // 1002 has no rows
  EXPECT_EQ((*ControllerOf(r.J, 1000))["values"], (json{{"speed[1]", 11}, {"setpoint", 1.5}}));
  EXPECT_EQ((*ControllerOf(r.J, 1001))["values"], (json{{"speed[2]", 22}}));
  EXPECT_EQ(Writes(1000), (std::vector<std::vector<std::string>>{{"speed[1]", "setpoint"}}));
  EXPECT_EQ(Writes(1001), (std::vector<std::vector<std::string>>{{"speed[2]"}}));
  EXPECT_TRUE(Writes(1002).empty());
  for (const json& e : Log()) EXPECT_TRUE(e["nad"] != 1002 || e["broadcast"].get<bool>()) << e.dump();

  // A NAD in the file that did not answer fails; the others are still written.
  const std::string missing = WriteFile("missing.csv", "1001,speed[2],23\n1005,speed,1\n");
  TRun m = Json({"write", "--from", missing});
  EXPECT_EQ(m.Status, 1);
  EXPECT_EQ((*ControllerOf(m.J, 1001))["values"], (json{{"speed[2]", 23}}));
  EXPECT_EQ(m.Err, "tavexctl: Controller 1005 named in \"" + missing +
                       "\" did not answer; nothing was written to it.\n");
}

// --- Inputs checked before anything is written ---------------------------------------

// Each bad input: the exit status, a fragment of the message, and from the
// simulator's log what was written (nothing, or exactly what was asked).
TEST_F(Tavexctl, BadInputsAreRefusedBeforeAnythingIsWritten) {
  StartSim(json::array({Controller(1000, "127.0.0.2"), Controller(1001, "127.0.0.3")}));
  const std::string bom = WriteFile("bom.csv", "\xEF\xBB\xBFnad,entry,value\r\n1000,speed[1],11\r\n");
  const std::string semi = WriteFile("semi.csv", "nad;entry;value\n1000;setpoint;\"1.5\"\n1001;speed[2];22\n");
  const std::string empty = WriteFile("empty.csv", "nad,entry,value\n1000,speed[1],\n");
  const std::string twice = WriteFile("twice.csv", "nad,entry,value\n1000,speed[1],1\n1001,speed[1],2\n1000,speed[01],3\n");
  const std::string unknown = WriteFile("unknown.csv", "nad,entry,value\n1000,speed[1],?\n");
  const std::string comma = WriteFile("comma.csv", "nad,entry,value\n1000,setpoint,\"1,5\"\n");
  struct TCase {
    std::vector<std::string> Args;
    int Status;
    std::string Fragment;  // of stderr
    std::map<uint64_t, std::vector<std::vector<std::string>>> Written;  // new writes per NAD
  };
  const std::vector<TCase> cases = {
      // a value the type rejects, with a good one: nothing written, both rejects named
      {{"--nad", "1000", "write", "speed[2]=70000", "offset=3", "nosuch=1", "relay=-1"}, 1,
       "\"70000\" is not a valid word value for speed[2]; nosuch names no variable; \"-1\" is not a valid bit "
       "value for relay; nothing was written to it.", {}},
      {{"--all", "write", "speed[2]=1e3", "offset=1e5"}, 1, "\"1e5\" is not a valid int value for offset", {}},
      {{"write", "speed[2]=nan"}, 2, "Argument \"speed[2]=nan\": \"nan\" for speed[2] is not a number", {}},
      {{"write", "setpoint=1,5"}, 2, "\"1,5\" for setpoint is not a number", {}},
      {{"write", "speed[2]= 5"}, 2, "\" 5\" for speed[2] is not a number", {}},
      // an entry that names nothing is the controller's to refuse
      {{"--nad", "1000", "write", "speed[x]=5"}, 1,
       "Controller 1000 at 127.0.0.2: speed[x] names no variable; nothing was written to it.", {}},
      {{"write", "speed=5", "speed[0]=6"}, 2, "Arguments \"speed=5\" and \"speed[0]=6\" both give a value for speed[0]", {}},
      {{"write", "speed[1]="}, 2, "Argument \"speed[1]=\" has no value for speed[1].", {}},
      {{"write", "--from", empty}, 2, "Line 2 of \"" + empty + "\" has no value for speed[1].", {}},
      {{"write", "--from", twice}, 2, "Lines 2 and 4 of \"" + twice + "\" both give a value for speed[01] of controller 1000.", {}},
      {{"write", "--from", unknown}, 2, "the value of speed[1] is \"?\" (it could not be read when it was saved)", {}},
      {{"write", "--from", comma}, 2, "\"1,5\" for setpoint is not a number", {}},
      // options after the command, one value each; a second command word
      {{"write", "--nad", "1000", "speed[1]=5"}, 0, "", {{1000, {{"speed[1]"}}}}},
      {{"detect", "status"}, 2, "Give one command, not detect and status", {}},
      {{"read", "--host", "127.0.0.2", "speed[1]"}, 0, "", {}},
      {{"--direct", "--host", "127.0.0.2", "detect"}, 2, "--direct cannot go with --host", {}},
      {{"--format", "rows", "detect"}, 2, "--format rows only goes with read", {}},
      // a byte-order mark, CR LF, and a semicolon file as spreadsheets save them
      {{"write", "--from", bom}, 0, "", {{1000, {{"speed[1]"}}}}},
      {{"write", "--from", semi}, 0, "", {{1000, {{"setpoint"}}}, {1001, {{"speed[2]"}}}}},
      {{"--all", "write", "--dry-run", "speed[3]=9", "relay=256"}, 1, "nothing would be written to it.", {}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(::testing::PrintToString(c.Args));
    const size_t w0 = Writes(1000).size(), w1 = Writes(1001).size();
    TRun r = Ctl(c.Args);
    EXPECT_EQ(r.Status, c.Status) << r.Err;
    if (c.Fragment.empty())
      EXPECT_EQ(r.Err, "");
    else
      EXPECT_NE(r.Err.find(c.Fragment), std::string::npos) << r.Err;
    for (const auto& [nad, before] : {std::pair<uint64_t, size_t>{1000, w0}, {1001, w1}}) {
      auto all = Writes(nad);
      const std::vector<std::vector<std::string>> fresh(all.begin() + static_cast<long>(before), all.end());
      const auto it = c.Written.find(nad);
      EXPECT_EQ(fresh, it == c.Written.end() ? std::vector<std::vector<std::string>>{} : it->second) << nad;
    }
  }
}

TEST_F(Tavexctl, JsonKeepsTypesAndListsEveryEntryNotWritten) {
  StartSim(json::array({Controller(1000, "127.0.0.2")}));
  TRun r = Json({"--all", "write", "nosuch=1", "speed[1]=70000", "hours=5"});
  EXPECT_EQ(r.Status, 1);
  const json& c = r.J.at("controllers").at(0);
  EXPECT_EQ(c["not_written"], json({"nosuch", "speed[1]", "hours"}));
  EXPECT_EQ(c["values"], (json{{"nosuch", nullptr}, {"speed[1]", 200}, {"hours", 70000}}));
  EXPECT_EQ(c["reasons"], (json{{"nosuch", "unknown entry"}, {"speed[1]", "rejected value"}, {"hours", "held back"}}));
  EXPECT_EQ(c["error"], nullptr);
  EXPECT_TRUE(Writes(1000).empty());
  TRun ok = Json({"read", "setpoint"});
  EXPECT_TRUE(ok.J["controllers"][0]["values"]["setpoint"].is_number_float());
}

TEST_F(Tavexctl, SavedRowsRestoreTheValues) {
  StartSim(json::array({Controller(1000, "127.0.0.2"), Controller(1001, "127.0.0.3")}));
  const std::vector<std::string> entries = {"setpoint", "speed[1]", "offset", "hours", "relay"};
  std::vector<std::string> read = {"--format", "rows", "read"};
  read.insert(read.end(), entries.begin(), entries.end());
  TRun saved = Ctl(read);
  ASSERT_EQ(saved.Status, 0) << saved.Err;
  EXPECT_EQ(saved.Out.substr(0, 16), "nad,entry,value\n");
  EXPECT_NE(saved.Out.find("1001,setpoint,12.5\n"), std::string::npos) << saved.Out;
  EXPECT_EQ(saved.Out.find("rtc"), std::string::npos);
  const std::string file = WriteFile("saved.csv", saved.Out);

  // Change everything, then restore from the file.
  TRun changed = Ctl({"--all", "write", "setpoint=1", "speed[1]=2", "offset=3", "hours=4", "relay=0"});
  ASSERT_EQ(changed.Status, 0) << changed.Err;
  TRun restored = Ctl({"write", "--from", file});
  EXPECT_EQ(restored.Status, 0) << restored.Err;
  TRun again = Ctl(read);
  EXPECT_EQ(again.Out, saved.Out);

  // A value that could not be read is saved as "?", and refused on restore.
  TRun partial = Ctl({"--format", "rows", "read", "speed[1]", "nosuch"});
  EXPECT_EQ(partial.Status, 1);
  EXPECT_NE(partial.Out.find("1000,nosuch,?\n"), std::string::npos);
  const size_t before = Writes(1000).size();
  TRun refused = Ctl({"write", "--from", WriteFile("partial.csv", partial.Out)});
  EXPECT_EQ(refused.Status, 2);
  EXPECT_NE(refused.Err.find("the value of nosuch is \"?\""), std::string::npos) << refused.Err;
  EXPECT_EQ(Writes(1000).size(), before);
}

// --- Values at the limits of their types ------------------------------------------

// Every type at its limits, and reals that single precision holds only
// approximately: the bits the controller holds, and the text every output
// shows for them.
struct TLimit {
  const char* Name;
  const char* Type;
  uint32_t Raw;  // as the wire carries it (1, 2 or 4 bytes)
  const char* Text;
};

const std::vector<TLimit>& Limits() {
  static const std::vector<TLimit> l = {
      {"b_lo", "bit", 0, "0"},
      {"b_hi", "bit", 255, "255"},
      {"w_lo", "word", 0, "0"},
      {"w_hi", "word", 65535, "65535"},
      {"i_lo", "int", 0x8000, "-32768"},
      {"i_hi", "int", 0x7FFF, "32767"},
      {"l_lo", "long", 0x80000000, "-2147483648"},
      {"l_hi", "long", 0x7FFFFFFF, "2147483647"},
      {"r_max", "real", 0x7F7FFFFF, "3.4028235E38"},
      {"r_nmax", "real", 0xFF7FFFFF, "-3.4028235E38"},
      {"r_norm", "real", 0x00800000, "1.1754944E-38"},
      {"r_sub", "real", 0x00400000, "5.877472E-39"},
      {"r_tiny", "real", 0x00000001, "1E-45"},
      {"r_negz", "real", 0x80000000, "-0"},
      {"r_18", "real", 0x3FE66666, "1.8"},
      {"r_201", "real", 0x41A0CCCD, "20.1"},
      // Its shortest text read as a double rounds, as a single, to the
      // neighbour: JSON must not give a double reader that text.
      {"r_odd", "real", 0x15AE43FD, "7.038531E-26"},
  };
  return l;
}

float SingleOf(uint32_t Raw) {
  float f;
  std::memcpy(&f, &Raw, sizeof f);
  return f;
}

uint32_t BitsOf(float F) {
  uint32_t b;
  std::memcpy(&b, &F, sizeof b);
  return b;
}

// The limits' variables, holding their values (or, Fresh, all zero).
json LimitVariables(bool Fresh) {
  json a = json::array();
  for (const TLimit& l : Limits()) {
    json value = 0;
    if (!Fresh) {
      const std::string type = l.Type;
      if (type == "real") value = static_cast<double>(SingleOf(l.Raw));
      else if (type == "int") value = static_cast<int16_t>(l.Raw);
      else if (type == "long") value = static_cast<int32_t>(l.Raw);
      else value = l.Raw;
    }
    a.push_back(Var(l.Name, l.Type, {{"value", value}}));
  }
  return a;
}

// What the simulator's log shows was written to each name, over all writes.
std::map<std::string, uint32_t> WrittenRaw(const std::vector<json>& Writes) {
  std::map<std::string, uint32_t> out;
  for (const json& w : Writes)
    for (size_t i = 0; i < w.at("names").size(); ++i)
      out[w["names"][i].get<std::string>()] = w.at("values")[i].get<uint32_t>();
  return out;
}

// Whatever a read prints (table, CSV, JSON, rows) is taken back by write,
// from a saved file and as ENTRY=VALUE, and writes the very bits the
// controller held.
TEST_F(Tavexctl, EveryTypesLimitsAsPrintedAreWrittenBackBitForBit) {
  std::vector<std::string> names;
  std::map<std::string, uint32_t> want;
  std::string csvLine = "1000,127.0.0.2,";
  for (const TLimit& l : Limits()) {
    names.push_back(l.Name);
    want[l.Name] = l.Raw;
    csvLine += std::string(",") + l.Text;
  }
  csvLine += ",\n";
  auto with = [&](std::vector<std::string> Args) {
    Args.insert(Args.end(), names.begin(), names.end());
    return Args;
  };
  StartSim(json::array({Controller(1000, "127.0.0.2", {{"variables", LimitVariables(false)}})}));

  const TRun saved = Ctl(with({"--format", "rows", "read"}));
  ASSERT_EQ(saved.Status, 0) << saved.Err;
  for (const TLimit& l : Limits())
    EXPECT_NE(saved.Out.find(std::string("\n1000,") + l.Name + "," + l.Text + "\n"), std::string::npos)
        << l.Name << "\n" << saved.Out;

  const TRun csv = Ctl(with({"--format", "csv", "read"}));
  EXPECT_EQ(csv.Status, 0) << csv.Err;
  EXPECT_EQ(csv.Out.substr(csv.Out.find('\n') + 1), csvLine);

  const TRun table = Ctl(with({"read"}));
  EXPECT_EQ(table.Status, 0) << table.Err;
  std::istringstream row(table.Out.substr(table.Out.find('\n') + 1));
  std::vector<std::string> cells;
  for (std::string cell; row >> cell;) cells.push_back(cell);
  ASSERT_EQ(cells.size(), 4 + Limits().size() - 1) << table.Out;  // No., NAD, IP; the RTC is empty
  for (size_t k = 0; k < Limits().size(); ++k) EXPECT_EQ(cells[3 + k], Limits()[k].Text);

  // JSON: each number, as printed, reads back (as a double or a single) to
  // the very single, the sign of -0 included; and its text is the
  // shortest one.
  const TRun js = Json(with({"read"}));
  EXPECT_EQ(js.Status, 0) << js.Err;
  std::vector<std::string> jsonArgs = {"--all", "write"};
  for (const TLimit& l : Limits()) {
    SCOPED_TRACE(l.Name);
    const json& v = js.J["controllers"][0]["values"][l.Name];
    ASSERT_TRUE(v.is_number());
    if (std::string(l.Type) == "real") {
      EXPECT_EQ(BitsOf(static_cast<float>(v.get<double>())), l.Raw);
    } else {
      const uint32_t mask = std::string(l.Type) == "long" ? ~0u : (std::string(l.Type) == "bit" ? 0xFFu : 0xFFFFu);
      EXPECT_EQ(static_cast<uint32_t>(v.get<int64_t>()) & mask, l.Raw);
    }
    const std::string key = std::string("\"") + l.Name + "\": ";
    const size_t at = js.Out.find(key);
    ASSERT_NE(at, std::string::npos);
    const size_t from = at + key.size();
    const std::string number = js.Out.substr(from, js.Out.find_first_of(",\n}", from) - from);
    float back = 0;
    ASSERT_EQ(std::from_chars(number.data(), number.data() + number.size(), back).ec, std::errc()) << number;
    EXPECT_EQ(BitsOf(back), std::string(l.Type) == "real" ? l.Raw : BitsOf(static_cast<float>(v.get<double>())));
    jsonArgs.push_back(std::string(l.Name) + "=" + number);
  }
  EXPECT_NE(js.Out.find("\"r_18\": 1.8,"), std::string::npos) << js.Out;
  EXPECT_NE(js.Out.find("\"r_negz\": -0.0,"), std::string::npos) << js.Out;

  // The saved rows, to a controller that holds zeros everywhere.
  const std::string file = WriteFile("saved.csv", saved.Out);
  for (const bool fromFile : {true, false}) {
    SCOPED_TRACE(fromFile ? "write --from the saved rows" : "write ENTRY=VALUE with the JSON numbers");
    StopSim();
    StartSim(json::array({Controller(1000, "127.0.0.2", {{"variables", LimitVariables(true)}})}));
    const TRun restored = fromFile ? Ctl({"write", "--from", file}) : Ctl(jsonArgs);
    EXPECT_EQ(restored.Status, 0) << restored.Err;
    EXPECT_EQ(restored.Err, "");
    EXPECT_EQ(WrittenRaw(Log(52)), want);
    EXPECT_EQ(Ctl(with({"--format", "rows", "read"})).Out, saved.Out);
  }
}

TEST_F(Tavexctl, ARealIsTakenWhenItRoundsToAFiniteSingleAndRefusedNamingTheLimitOtherwise) {
  StartSim(json::array({Controller(1000, "127.0.0.2")}));
  // Above the largest single but rounding to it (with the smallest long);
  // the smallest subnormal as a short text; a value above 3.4E38 that a
  // single still holds.
  TRun ok = Json({"--all", "write", "setpoint=3.40282346638529E38", "hours=-2147483648"});
  EXPECT_EQ(ok.Status, 0) << ok.Err;
  TRun tiny = Json({"--all", "write", "setpoint=1.4e-45"});
  EXPECT_EQ(tiny.Status, 0) << tiny.Err;
  TRun near = Json({"--all", "write", "setpoint=3.402e38"});
  EXPECT_EQ(near.Status, 0) << near.Err;
  const auto writes = Log(52);
  ASSERT_EQ(writes.size(), 3u);
  EXPECT_EQ(writes[0]["values"], json({0x7F7FFFFF, 0x80000000}));
  EXPECT_EQ(writes[1]["values"], json({0x00000001}));
  EXPECT_EQ(writes[2]["values"], json({0x7F7FF023}));
  EXPECT_EQ(near.J["controllers"][0]["values"]["setpoint"], 3.402e38);

  struct TCase {
    const char* Arg;
    const char* Why;
  } cases[] = {
      {"setpoint=7e-46", "not 0, but nearer 0 than the smallest real, 1E-45"},  // would be written as 0
      {"setpoint=-1e-50", "not 0, but nearer 0 than the smallest real, 1E-45"},
      {"setpoint=1e39", "beyond the largest real, 3.4028235E38"},
      {"setpoint=3.4028236E38", "beyond the largest real, 3.4028235E38"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.Arg);
    TRun r = Json({"--all", "write", c.Arg});
    EXPECT_EQ(r.Status, 1);
    EXPECT_EQ(r.Err, std::string("tavexctl: Controller 1000 at 127.0.0.2: \"") + (c.Arg + 9) +
                         "\" is not a valid real value for setpoint (" + c.Why + "); nothing was written to it.\n");
    EXPECT_EQ(r.J["controllers"][0]["reasons"]["setpoint"], "rejected value");
  }
  EXPECT_EQ(Log(52).size(), 3u);  // nothing more was written
}

// A timer or counter is never read: "?" (null in JSON) with its type as the
// reason, never a 0 the controller does not hold; and a value for it is
// refused, nothing of the controller's row written.
TEST_F(Tavexctl, TimersAndCountersAreNeitherShownAsValuesNorWritten) {
  json vars = Variables();
  for (auto& v : vars)
    if (v["name"] == "t_delay") v["value"] = 1234;
  vars.push_back(Var("c_parts", "counter", {{"value", 1234}}));
  StartSim(json::array({Controller(1000, "127.0.0.2", {{"variables", vars}})}));

  TRun r = Json({"read", "t_delay", "speed[1]", "c_parts"});
  EXPECT_EQ(r.Status, 1);
  const json& c = r.J.at("controllers").at(0);
  EXPECT_EQ(c["values"], (json{{"t_delay", nullptr}, {"speed[1]", 200}, {"c_parts", nullptr}}));
  EXPECT_EQ(c["reasons"], (json{{"t_delay", "not transferred (timer)"}, {"c_parts", "not transferred (counter)"}}));
  EXPECT_EQ(r.Err, "tavexctl: Controller 1000 at 127.0.0.2: no value for t_delay (timer), c_parts (counter): "
                   "variables of those types are not transferred.\n");
  TRun rows = Ctl({"--format", "rows", "read", "t_delay", "speed[1]"});
  EXPECT_NE(rows.Out.find("\n1000,t_delay,?\n"), std::string::npos) << rows.Out;
  TRun csv = Ctl({"--format", "csv", "read", "t_delay"});
  EXPECT_NE(csv.Out.find("\n1000,127.0.0.2,2026-12-06  09:"), std::string::npos) << csv.Out;
  EXPECT_EQ(csv.Out.substr(csv.Out.size() - 4), ",?,\n") << csv.Out;
  TRun table = Ctl({"read", "t_delay"});
  EXPECT_EQ(table.Out.substr(table.Out.size() - 2), "?\n") << table.Out;
  EXPECT_EQ(table.Out.find(" 0\n"), std::string::npos) << table.Out;

  TRun w = Json({"--all", "write", "t_delay=5", "speed[1]=7"});
  EXPECT_EQ(w.Status, 1);
  EXPECT_EQ(w.Err, "tavexctl: Controller 1000 at 127.0.0.2: \"5\" is not a valid timer value for t_delay "
                   "(timer variables are not transferred); nothing was written to it.\n");
  const json& wc = w.J.at("controllers").at(0);
  EXPECT_EQ(wc["reasons"], (json{{"t_delay", "not transferred (timer)"}, {"speed[1]", "held back"}}));
  EXPECT_EQ(wc["values"]["t_delay"], nullptr);
  EXPECT_EQ(wc["not_written"], json({"t_delay", "speed[1]"}));

  TRun dry = Json({"--all", "write", "--dry-run", "c_parts=1"});
  EXPECT_EQ(dry.Status, 1);
  const json& e = dry.J.at("controllers").at(0).at("entries").at(0);
  EXPECT_EQ(e["current"], nullptr);
  EXPECT_EQ(e["reason"], "not transferred (counter)");
  EXPECT_TRUE(Writes(1000).empty());
}

TEST_F(Tavexctl, OutputThatCannotBeWrittenIsAFailure) {
  StartSim(json::array({Controller(1000, "127.0.0.2")}));
  TRun full = RunProgram({"/bin/sh", "-c", std::string(TAVEXCTL_EXE) + " --adapter lo --listen 200 read speed > /dev/full"});
  EXPECT_EQ(full.Status, 1);
  EXPECT_NE(full.Err.find("Cannot write the output: No space left on device."), std::string::npos) << full.Err;
  TRun closed = RunProgram({"/bin/sh", "-c", std::string(TAVEXCTL_EXE) + " --adapter lo --listen 200 read speed >&-"});
  EXPECT_EQ(closed.Status, 1);
  EXPECT_NE(closed.Err.find("Cannot write the output: standard output is closed."), std::string::npos) << closed.Err;
}

TEST_F(Tavexctl, SyncClockOnAClockThatCannotHoldItsValuesFailsAndSendsNoRequestFlag) {
  json vars = Variables();
  for (auto& v : vars)
    if (v["name"] == "rtc_month") v["type"] = "timer";
  StartSim(json::array({Controller(1000, "127.0.0.2", {{"variables", vars}})}));
  TRun r = Json({"--all", "write", "--sync-clock", "speed=7"});
  EXPECT_EQ(r.Status, 1);
  EXPECT_NE(r.Err.find("its clock was not set: rtc_month does not take the value written, so no clock field was "
                       "written."), std::string::npos) << r.Err;
  // All clock fields or none: the controller must not get a mix of old and new.
  for (const auto& w : Writes(1000))
    for (const auto& name : w) EXPECT_NE(name.rfind("rtc_", 0), 0u) << name;
  EXPECT_EQ(r.J["controllers"][0]["clock"], "not set");
  EXPECT_NE(r.J["controllers"][0]["error"], nullptr);

  // The clock command reads, and sets with --sync (read back within 2 s).
  TRun healthy;
  StopSim();
  StartSim(json::array({Controller(1000, "127.0.0.2")}));
  TRun clock = Json({"clock"});
  EXPECT_EQ(clock.Status, 0) << clock.Err;
  EXPECT_EQ(clock.J["controllers"][0]["rtc"].get<std::string>().substr(0, 10), "2026-12-06");
  TRun sync = Json({"clock", "--sync", "--utc"});
  EXPECT_EQ(sync.Status, 0) << sync.Err;
  const std::time_t now = std::time(nullptr);
  std::tm utc{};
  gmtime_r(&now, &utc);
  EXPECT_EQ(sync.J["controllers"][0]["rtc"].get<std::string>().substr(0, 4), std::to_string(utc.tm_year + 1900));
}

TEST_F(Tavexctl, EnvironmentStandsInForOptionsAndLosesToThem) {
  StartSim(json::array({Controller(1000, "127.0.0.2", {{"password", "s3cret"}})}));
  setenv("TAVEX_PASSWORD", "s3cret", 1);
  TRun env = RunProgram({TAVEXCTL_EXE, "--adapter", "lo", "--listen", "200", "detect"});
  EXPECT_EQ(env.Status, 0) << env.Err;
  TRun option = RunProgram({TAVEXCTL_EXE, "--adapter", "lo", "--listen", "200", "--password", "guess", "detect"});
  EXPECT_EQ(option.Status, 1);
  unsetenv("TAVEX_PASSWORD");
  setenv("TAVEX_ADAPTER", "nosuch0", 1);
  TRun adapter = RunProgram({TAVEXCTL_EXE, "detect"});
  unsetenv("TAVEX_ADAPTER");
  EXPECT_EQ(adapter.Status, 2);
  EXPECT_NE(adapter.Err.find("There is no adapter \"nosuch0\""), std::string::npos);
}

// --- Vars --------------------------------------------------------------------------

TEST_F(Tavexctl, VarsListsTheGlobalElementsOfTheAllocationFile) {
  StartSim(json::array({Controller(1000, "127.0.0.2")}));
  TRun r = Json({"vars"});
  EXPECT_EQ(r.Status, 0) << r.Err;
  const json& c = r.J.at("controllers").at(0);
  EXPECT_EQ(c["error"], nullptr);
  std::map<std::string, json> byEntry;
  for (const auto& v : c["variables"]) byEntry[v["name"].get<std::string>() + "/" + std::to_string(v["index"].get<int>())] = v;
  EXPECT_EQ(byEntry["setpoint/0"],
            (json{{"name", "setpoint"}, {"index", 0}, {"type", "real"}, {"address", 288}, {"comment", "Setpoint degC"}}));
  EXPECT_TRUE(byEntry.count("speed/3"));
  EXPECT_FALSE(byEntry.count("speed/4"));
  EXPECT_EQ(byEntry["t_delay/0"]["type"], "timer");
  EXPECT_FALSE(byEntry.count("tmp/0"));  // local

  TRun table = Ctl({"vars"});
  const size_t at = table.Out.find("\n1000  setpoint ");
  ASSERT_NE(at, std::string::npos) << table.Out;
  const std::string line = table.Out.substr(at + 1, table.Out.find('\n', at + 1) - at - 1);
  EXPECT_NE(line.find(" 0      real   0x0120   Setpoint degC"), std::string::npos) << line;
}

// --- Configuration file and password ----------------------------------------------

TEST_F(Tavexctl, IniGivesThePasswordAndTheEntries) {
  StartSim(json::array({Controller(1000, "127.0.0.2", {{"password", "s3cret"}})}));
  const std::string ini = WriteFile("site.ini",
                                    "[general]\npassword = s3cret\n"
                                    "[VARIABLES]\nvar0 = setpoint\nVar1=speed[3]\nVar3=hours\n");
  TRun without = Ctl({"read"});
  EXPECT_EQ(without.Status, 2);
  EXPECT_NE(without.Err.find("read has no entries"), std::string::npos) << without.Err;

  TRun r = Json({"--ini", ini, "read"});
  EXPECT_EQ(r.Status, 0) << r.Err;
  ASSERT_EQ(r.J["controllers"].size(), 1u);
  EXPECT_EQ(r.J["controllers"][0]["values"], (json{{"setpoint", 12.5}, {"speed[3]", 400}}));  // not Var3

  // Entries on the command line replace the file's; --password wins over it.
  TRun args = Json({"--ini", ini, "read", "hours"});
  EXPECT_EQ(args.J["controllers"][0]["values"], (json{{"hours", 70000}}));
  TRun wrong = Json({"--ini", ini, "--password", "guess", "detect"});
  EXPECT_EQ(wrong.Status, 1);
  EXPECT_TRUE(wrong.J["controllers"].empty());
  TRun right = Json({"--password", "s3cret", "detect"});
  EXPECT_EQ(right.Status, 0);

  // Without --ini: the program's own path with ".ini", as the desktop tool.
  const auto exe = Dir / "tavexctl";
  std::filesystem::copy_file(TAVEXCTL_EXE, exe);
  std::filesystem::copy_file(ini, Dir / "tavexctl.ini");
  TRun beside = RunProgram({exe.string(), "--adapter", "lo", "--listen", "200", "--format", "json", "read"});
  EXPECT_EQ(beside.Status, 0) << beside.Err;
  EXPECT_EQ(json::parse(beside.Out)["controllers"][0]["values"], (json{{"setpoint", 12.5}, {"speed[3]", 400}}));

  // Nothing beside the program (an installed one): tavexctl.ini in the
  // user's configuration folder.
  std::filesystem::create_directories(Dir / "config" / "tavex");
  std::filesystem::copy_file(ini, Dir / "config" / "tavex" / "tavexctl.ini");
  std::filesystem::remove(Dir / "tavexctl.ini");
  TRun user = RunProgram({exe.string(), "--adapter", "lo", "--listen", "200", "--format", "json", "read"});
  EXPECT_EQ(user.Status, 0) << user.Err;
  EXPECT_EQ(json::parse(user.Out)["controllers"][0]["values"], (json{{"setpoint", 12.5}, {"speed[3]", 400}}));
}

// --- Usage errors ------------------------------------------------------------------

TEST_F(Tavexctl, UsageErrorsEndWithStatus2AndOneSentence) {
  const std::string bad = WriteFile("bad.ini", "[General]\nthis line is not ini\n");
  const std::string csvShort = WriteFile("short.csv", "nad,entry,value\n1000,speed\n");
  const std::string csvNad = WriteFile("nad.csv", "x1000,speed,1\n");
  const std::string csvQuote = WriteFile("quote.csv", "1000,speed,\"1\n");
  const std::string hostsShort = WriteFile("short-hosts.csv", "nad,ip\n1000\n");
  const std::string hostsAddr = WriteFile("addr-hosts.csv", "1000,127.0.0.0.1\n");
  const std::string hostsTwice = WriteFile("twice-hosts.csv", "NAD,IP\n1000,127.0.0.2\n1001,127.0.0.2\n");
  const std::string hostsEmpty = WriteFile("empty-hosts.csv", "nad,ip\n");
  struct TCase {
    std::vector<std::string> Args;
    std::string Err;
  };
  const std::vector<TCase> cases = {
      {{}, "No command given (see 'tavexctl --help')."},
      {{"frob"}, "Unknown command \"frob\"; the commands are adapters, detect, status, read, write, diff, clock, vars, history and report (see "
                 "'tavexctl --help')."},
      {{"--loud", "detect"}, "Unknown option \"--loud\" (see 'tavexctl --help')."},
      {{"detect", "extra"}, "detect takes no argument \"extra\" (see 'tavexctl --help')."},
      {{"--format", "xml", "detect"}, "--format must be table, csv or json, not \"xml\" (see 'tavexctl --help')."},
      {{"--listen", "2s", "detect"},
       "--listen needs a time in milliseconds from 1 to 60000, not \"2s\" (see 'tavexctl --help')."},
      {{"--nad", "4294967296", "detect"},
       "--nad needs a NAD from 0 to 4294967295, not \"4294967296\" (see 'tavexctl --help')."},
      {{"--host", "127.0.0.2:x", "detect"}, "--host needs ADDR or ADDR:PORT, not \"127.0.0.2:x\" (see 'tavexctl --help')."},
      {{"--jobs", "0", "read"}, "--jobs needs a number from 1 to 128, not \"0\" (see 'tavexctl --help')."},
      {{"--jobs", "129", "read"}, "--jobs needs a number from 1 to 128, not \"129\" (see 'tavexctl --help')."},
      {{"--timeout", "1s", "read"},
       "--timeout needs a time in milliseconds from 1 to 60000, not \"1s\" (see 'tavexctl --help')."},
      {{"--retries", "0", "read"}, "--retries needs a number from 1 to 20, not \"0\" (see 'tavexctl --help')."},
      {{"--hosts", (Dir / "none.csv").string(), "read"}, "Cannot open \"" + (Dir / "none.csv").string() + "\": no such file."},
      {{"--hosts", hostsShort, "read"}, "Line 2 of \"" + hostsShort + "\" has 1 field; each row needs nad,ip."},
      {{"--hosts", hostsAddr, "read"}, "Line 1 of \"" + hostsAddr + "\": \"127.0.0.0.1\" is not an address (ADDR or ADDR:PORT)."},
      {{"--hosts", hostsTwice, "read"},
       "Lines 2 and 3 of \"" + hostsTwice + "\" list the address 127.0.0.2 for controllers 1000 and 1001."},
      {{"--hosts", hostsEmpty, "read"}, "\"" + hostsEmpty + "\" lists no controller."},
      {{"--sync-clock", "read"}, "read takes no option --sync-clock; it goes with write (see 'tavexctl help read')."},
      {{"write"}, "write needs ENTRY=VALUE arguments or --from FILE.csv (see 'tavexctl --help')."},
      {{"write", "speed"}, "write needs ENTRY=VALUE, not \"speed\" (see 'tavexctl --help')."},
      {{"write", "=5"}, "write needs ENTRY=VALUE, not \"=5\" (see 'tavexctl --help')."},
      {{"--adapter", "eth9", "detect"}, "There is no adapter \"eth9\" on this computer; see 'tavexctl adapters'."},
      {{"--ini", (Dir / "none.ini").string(), "read"}, "Cannot open \"" + (Dir / "none.ini").string() + "\": no such file."},
      {{"--ini", bad, "read"},
       "warning: Line 2 of \"" + bad + "\" is no setting (\"this line is not ini\"): neither [SECTION] nor "
       "KEY=VALUE; it is ignored.\ntavexctl: read has no entries: give ENTRY arguments, or Var0=... in [Variables] "
       "of the configuration file given by --ini (\"" + bad + "\" has none)."},
      {{"write", "--from", csvShort}, "Line 2 of \"" + csvShort + "\" has 2 fields; each row needs nad,entry,value."},
      {{"write", "--from", csvNad}, "Line 1 of \"" + csvNad + "\": \"x1000\" is not a NAD."},
      {{"write", "--from", csvQuote}, "Cannot read \"" + csvQuote + "\": the quote opened on line 1 is never closed."},
  };
  for (const auto& c : cases) {
    std::vector<std::string> argv = {TAVEXCTL_EXE, "--adapter", "lo"};
    if (c.Args.size() >= 2 && c.Args[0] == "--adapter") argv = {TAVEXCTL_EXE};
    argv.insert(argv.end(), c.Args.begin(), c.Args.end());
    TRun r = RunProgram(argv);
    EXPECT_EQ(r.Status, 2) << c.Err;
    EXPECT_EQ(r.Err, "tavexctl: " + c.Err + "\n");
    EXPECT_EQ(r.Out, "");
  }
}

TEST_F(Tavexctl, HelpVersionAndAdaptersNeedNoNetwork) {
  TRun v = RunProgram({TAVEXCTL_EXE, "--version"});
  EXPECT_EQ(v.Status, 0);
  EXPECT_EQ(v.Out, "tavexctl 1.3.0\n");
  TRun h = RunProgram({TAVEXCTL_EXE, "--help"});
  EXPECT_EQ(h.Status, 0);
  EXPECT_NE(h.Out.find("Usage: tavexctl [OPTIONS] COMMAND [ARGS...]"), std::string::npos);
  for (const char* o : {"--jobs", "--timeout", "--retries", "--hosts", "--no-cache", "~/.cache/tavex"})
    EXPECT_NE(h.Out.find(o), std::string::npos) << o;
  // Each command's own help: its options, arguments and examples.
  for (const auto& args : std::vector<std::vector<std::string>>{{TAVEXCTL_EXE, "help", "write"},
                                                                 {TAVEXCTL_EXE, "write", "--help"}}) {
    TRun w = RunProgram(args);
    EXPECT_EQ(w.Status, 0);
    for (const char* o : {"Usage: tavexctl write ENTRY=VALUE", "--dry-run", "--from FILE.csv", "--sync-clock", "Examples:"})
      EXPECT_NE(w.Out.find(o), std::string::npos) << o << w.Out;
  }
  TRun vh = RunProgram({TAVEXCTL_EXE, "help", "vars"});
  EXPECT_EQ(vh.Out.find("--dry-run"), std::string::npos);
  for (const char* o : {"--jobs N", "--timeout MS", "--retries N", "--no-cache"})
    EXPECT_NE(vh.Out.find(o), std::string::npos) << o << vh.Out;
  TRun a = RunProgram({TAVEXCTL_EXE, "--format", "json", "adapters"});
  EXPECT_EQ(a.Status, 0) << a.Err;
  const json j = json::parse(a.Out);
  bool lo = false;
  for (const auto& x : j.at("adapters"))
    if (x["id"] == "lo") lo = x["ip"] == "127.0.0.1" && x["broadcast"] == "127.255.255.255";
  EXPECT_TRUE(lo) << a.Out;
  // The adapter marked default is the one the desktop tool takes without a
  // choice (this process shares the program's namespace and host files).
  TEthernetAdapterInfo own;
  const std::string expected = own.AssignFromLocalHost() ? own.ID : "";
  std::string marked;
  int marks = 0;
  for (const auto& x : j.at("adapters")) {
    ASSERT_TRUE(x.at("default").is_boolean()) << a.Out;
    if (x["default"] == true) {
      marked = x["id"];
      ++marks;
    }
  }
  EXPECT_LE(marks, 1) << a.Out;
  EXPECT_EQ(marked, expected) << a.Out;
  // Only loopback has an address in the test's namespace: it stays the default.
  EXPECT_EQ(marked, "lo") << a.Out;
}

}  // namespace
}  // namespace tavex

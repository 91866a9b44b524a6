// The fixture of tavexctl's process tests: tavexctl as a process against
// tavex-sim as a process, on loopback inside the test's private network
// namespace; JSON output, exit status, stderr sentences, and what the
// simulator's log says arrived.
//
// Several test files share the suite Tavexctl; each adds its own tests.
#pragma once

#include <gtest/gtest.h>

#include "hostutil/uEthernetUtils.h"
#include "tests/support/TestProcess.h"

#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <charconv>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <map>
#include <nlohmann/json.hpp>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace tavex {
namespace ctltest {

using nlohmann::json;
using namespace std::chrono_literals;

// --- Processes -----------------------------------------------------------------

using testproc::Drain;
using testproc::Reap;
using testproc::RunProgram;
using testproc::Spawn;
using testproc::TRun;

// --- Scenario pieces -------------------------------------------------------------

inline json Var(const std::string& Name, const std::string& Type, json Extra = json::object()) {
  json v = {{"name", Name}, {"type", Type}};
  for (auto& [k, x] : Extra.items()) v[k] = x;
  return v;
}

// Every transferable type, an array, a timer, a local, and the clock.
inline json Variables() {
  json a = json::array({
      Var("setpoint", "real", {{"value", 12.5}, {"address", 0x0120}, {"comment", "Setpoint degC"}}),
      Var("speed", "word", {{"count", 4}, {"value", {100, 200, 300, 400}}}),
      Var("offset", "int", {{"value", -3}}),
      Var("hours", "long", {{"value", 70000}}),
      Var("relay", "bit", {{"value", 1}}),
      Var("t_delay", "timer"),
      Var("tmp", "word", {{"scope", "local"}}),
  });
  for (const char* n : {"rtc_year", "rtc_month", "rtc_date", "rtc_hour", "rtc_min", "rtc_sec", "rtc_weekday"})
    a.push_back(Var(n, "word"));
  a.push_back(Var("rtc_write_req", "bit"));
  return a;
}

inline json Controller(uint32_t Nad, const std::string& Ip, json Extra = json::object()) {
  json c = {{"nad", Nad}, {"ip", Ip}, {"clock", "2026-12-06T09:05:03"}, {"variables", Variables()}};
  for (auto& [k, v] : Extra.items()) c[k] = v;
  return c;
}

// Controller records as {nad, ip}, sorted: the arrival order is not fixed.
inline std::vector<std::pair<uint64_t, std::string>> Found(const json& J) {
  std::vector<std::pair<uint64_t, std::string>> out;
  for (const auto& c : J.at("controllers")) out.emplace_back(c.at("nad").get<uint64_t>(), c.at("ip").get<std::string>());
  std::sort(out.begin(), out.end());
  return out;
}

inline const json* ControllerOf(const json& J, uint64_t Nad) {
  for (const auto& c : J.at("controllers"))
    if (c.at("nad").get<uint64_t>() == Nad) return &c;
  return nullptr;
}

// The line that follows a failure when nothing answered at all and no
// password was given anywhere.
inline const std::string kNoPasswordHint =
    "tavexctl: A controller whose password differs from the one sent does not answer at all; no password "
    "was sent (none was given by --password, TAVEX_PASSWORD or a configuration file).\n";

inline size_t Lines(const std::string& Text) { return static_cast<size_t>(std::count(Text.begin(), Text.end(), '\n')); }

// --- Fixture ---------------------------------------------------------------------

class Tavexctl : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_STREQ(std::getenv("TAVEX_IN_NETNS"), "1") << "network tests run only inside scripts/netns";
    const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
    Dir = std::filesystem::temp_directory_path() /
          ("tavexctl-" + std::to_string(getpid()) + "-" + info->name());
    std::filesystem::create_directories(Dir);
    // The allocation cache of every run goes under the test's own folder.
    setenv("XDG_CACHE_HOME", (Dir / "cache").c_str(), 1);
    // So is the user's configuration folder: the user's own file never counts.
    setenv("XDG_CONFIG_HOME", (Dir / "config").c_str(), 1);
    // And the journal: every write and clock set of a test is journalled
    // there, never in the user's own.
    JournalFile = (Dir / "state" / "tavex" / "journal").string();
    setenv("TAVEX_JOURNAL", JournalFile.c_str(), 1);
    setenv("XDG_STATE_HOME", (Dir / "state").c_str(), 1);
  }
  void TearDown() override {
    StopSim();
    std::filesystem::remove_all(Dir);
  }

  std::string WriteFile(const std::string& Name, const std::string& Text) {
    const auto path = (Dir / Name).string();
    std::ofstream(path, std::ios::binary) << Text;
    return path;
  }

  void StartSim(json Controllers) {
    const std::string scenario = WriteFile("scenario.json", json{{"controllers", Controllers}}.dump());
    LogPath = (Dir / "sim.jsonl").string();
    int err = -1;
    SimPid = Spawn({TAVEX_SIM_EXE, "--log", LogPath, "--seconds", "120", scenario}, SimOut, err);
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

  void StopSim() {
    if (SimPid <= 0) return;
    kill(SimPid, SIGTERM);
    EXPECT_EQ(Reap(SimPid, false), 0);
    close(SimOut);
    SimPid = -1;
  }

  // tavexctl on loopback with a short listening window, then Args.
  TRun Ctl(std::vector<std::string> Args) {
    std::vector<std::string> argv = {TAVEXCTL_EXE, "--adapter", "lo", "--listen", "200"};
    argv.insert(argv.end(), Args.begin(), Args.end());
    TRun r = RunProgram(argv);
    return r;
  }
  TRun Json(std::vector<std::string> Args) {
    Args.insert(Args.begin(), {"--format", "json"});
    TRun r = Ctl(Args);
    try {
      r.J = json::parse(r.Out);
    } catch (const std::exception& e) {
      ADD_FAILURE() << "stdout is not JSON: " << e.what() << "\n" << r.Out << "\nstderr: " << r.Err;
    }
    return r;
  }

  // The simulator's log entries so far (optionally of one command).
  std::vector<json> Log(int Command = -1) const {
    std::vector<json> out;
    std::ifstream in(LogPath);
    std::string line;
    while (std::getline(in, line)) {
      const json e = json::parse(line);
      if (Command < 0 || e.value("command", -1) == Command) out.push_back(e);
    }
    return out;
  }
  // The names written to one controller, write by write.
  std::vector<std::vector<std::string>> Writes(uint64_t Nad) const {
    std::vector<std::vector<std::string>> out;
    for (const json& e : Log(52))
      if (e.at("nad").get<uint64_t>() == Nad) out.push_back(e.value("names", std::vector<std::string>{}));
    return out;
  }

  // The journal's records so far, each line parsed (a line that is no
  // JSON fails the test).
  std::vector<json> JournalLines() const {
    std::vector<json> out;
    std::ifstream in(JournalFile);
    for (std::string line; std::getline(in, line);) {
      try {
        out.push_back(json::parse(line));
      } catch (const std::exception& e) {
        ADD_FAILURE() << "journal line is not JSON: " << line;
      }
    }
    return out;
  }

  std::filesystem::path Dir;
  std::string JournalFile;
  std::string LogPath;
  pid_t SimPid = -1;
  int SimOut = -1;
};

}  // namespace ctltest
}  // namespace tavex

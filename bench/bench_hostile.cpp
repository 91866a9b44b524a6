// Time and peak memory of the tool against controllers whose memory lies
// (the cases of tests/reliability/HostileCases.h, and a healthy controller
// for reference). The controller is the tavex-sim program, so that only the
// tool's memory is measured: each case runs in a fresh process of its own
// (this program again, with --measure), which reads one value of a fresh
// controller record and reports its time and getrusage's peak resident set.
//   bench_hostile [CASE...]
// Runs only inside scripts/netns.
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "plc/uOperations.h"
#include "tests/reliability/HostileCases.h"

using namespace tavex;
using namespace tavex::test;
using Clock = std::chrono::steady_clock;

namespace {

long RssKiB() {
  std::ifstream in("/proc/self/status");
  std::string line;
  while (std::getline(in, line))
    if (line.rfind("VmRSS:", 0) == 0) return std::atol(line.c_str() + 6);
  return -1;
}

// The tool's side of one case: one value read through a fresh record.
int Measure() {
  const long start = RssKiB();
  TTavex plc;
  plc.SetNad(1000);
  plc.SetIpAddress("127.0.0.2");
  plc.SelectAdapter("lo");
  const auto t0 = Clock::now();
  std::string result;
  try {
    result = "value " + RequestValue(plc, "speed", "", '.');
    if (!plc.LastError.empty()) result = plc.LastError;
  } catch (const Exception& e) {
    result = e.what();
  }
  const double ms = std::chrono::duration<double, std::milli>(Clock::now() - t0).count();
  rusage u{};
  getrusage(RUSAGE_SELF, &u);
  std::printf("%.0f %ld %ld %llu %s\n", ms, start, u.ru_maxrss,
              static_cast<unsigned long long>(plc.Communicator->SendCount()), result.c_str());
  return 0;
}

pid_t Spawn(const std::vector<std::string>& Args, int& Out) {
  int p[2];
  if (pipe(p) != 0) return -1;
  const pid_t pid = fork();
  if (pid == 0) {
    dup2(p[1], 1);
    close(p[0]);
    close(p[1]);
    std::vector<char*> argv;
    for (const auto& a : Args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    execv(argv[0], argv.data());
    _exit(127);
  }
  close(p[1]);
  Out = p[0];
  return pid;
}

// Reads until a newline (or the end); gives up after Seconds.
std::string ReadLine(int Fd, int Seconds) {
  std::string got;
  const auto end = Clock::now() + std::chrono::seconds(Seconds);
  while (got.find('\n') == std::string::npos && Clock::now() < end) {
    pollfd p{Fd, POLLIN, 0};
    if (poll(&p, 1, 100) <= 0) continue;
    char c[256];
    const ssize_t n = read(Fd, c, sizeof c);
    if (n <= 0) break;
    got.append(c, static_cast<size_t>(n));
  }
  return got.substr(0, got.find('\n'));
}

std::string Outcome(THostileOutcome O) {
  switch (O) {
    case THostileOutcome::NotFound:
      return "not found";
    case THostileOutcome::ParseError:
      return "allocation error";
    case THostileOutcome::Loaded:
      return "loaded";
    case THostileOutcome::Empty:
      return "loaded, empty";
  }
  return "";
}

bool RunCase(const std::filesystem::path& Dir, const THostileCase& Case) {
  nlohmann::json controller = {{"nad", 1000},
                               {"ip", "127.0.0.2"},
                               {"variables", {{{"name", "speed"}, {"type", "word"}, {"value", 1500}}}}};
  if (Case.Controller) {
    const nlohmann::json extra = Case.Controller();
    for (auto& [k, v] : extra.items()) controller[k] = v;
  }
  const auto scenario = Dir / (Case.Name + ".json");
  std::ofstream(scenario) << nlohmann::json{{"controllers", {controller}}, {"log_limit", 10}}.dump();

  int simOut = -1;
  const pid_t sim = Spawn({TAVEX_SIM_EXE, "--seconds", "600", scenario.string()}, simOut);
  if (sim <= 0 || ReadLine(simOut, 30) != "ready") {
    std::fprintf(stderr, "bench_hostile: %s: the simulator did not start\n", Case.Name.c_str());
    if (sim > 0) kill(sim, SIGKILL), waitpid(sim, nullptr, 0);
    return false;
  }
  int out = -1;
  const pid_t tool = Spawn({"/proc/self/exe", "--measure"}, out);
  const std::string line = ReadLine(out, 600);
  close(out);
  if (tool > 0) waitpid(tool, nullptr, 0);
  kill(sim, SIGTERM);
  waitpid(sim, nullptr, 0);
  close(simOut);
  std::filesystem::remove(scenario);

  double ms = 0;
  long start = 0, peak = 0;
  unsigned long long sent = 0;
  int used = 0;
  if (std::sscanf(line.c_str(), "%lf %ld %ld %llu %n", &ms, &start, &peak, &sent, &used) < 4) {
    std::fprintf(stderr, "bench_hostile: %s: no measurement (%s)\n", Case.Name.c_str(), line.c_str());
    return false;
  }
  const std::string result = line.substr(static_cast<size_t>(used));
  std::printf("%-30s %-17s %9.0f %9llu %9.1f %9.1f  %s\n", Case.Name.c_str(),
              Case.Controller ? Outcome(Case.Outcome).c_str() : "loaded", ms, sent, start / 1024.0, peak / 1024.0,
              result.c_str());
  std::fflush(stdout);
  return peak < 100 * 1024;
}

}  // namespace

int main(int argc, char** argv) {
  if (const char* e = std::getenv("TAVEX_IN_NETNS"); e == nullptr || std::string(e) != "1") {
    std::fprintf(stderr, "bench_hostile: run it inside scripts/netns (a private network namespace).\n");
    return 2;
  }
  if (argc > 1 && std::strcmp(argv[1], "--measure") == 0) return Measure();

  std::vector<THostileCase> cases = {{"healthy", "a healthy controller", nullptr, THostileOutcome::Loaded, nullptr}};
  for (auto& c : HostileCases()) cases.push_back(std::move(c));
  std::vector<std::string> only(argv + 1, argv + argc);

  char tmpl[] = "/tmp/bench_hostile-XXXXXX";
  const char* dir = mkdtemp(tmpl);
  if (dir == nullptr) return 1;
  std::printf("%-30s %-17s %9s %9s %9s %9s  %s\n", "case", "expected", "time ms", "requests", "start MB", "peak MB",
              "result");
  bool ok = true;
  for (const auto& c : cases) {
    if (!only.empty() && std::find(only.begin(), only.end(), c.Name) == only.end()) continue;
    ok = RunCase(dir, c) && ok;
  }
  std::filesystem::remove_all(dir);
  std::printf("%s\n", ok ? "ok: every peak under 100 MB" : "FAILED");
  return ok ? 0 : 1;
}

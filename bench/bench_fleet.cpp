// The fleet read and write of tavexctl against the desktop tool's
// cell-by-cell walk: 100 simulated controllers x 50 variables of mixed
// types, every answer delayed 2 ms (a realistic controller), in one run:
//   (a) the cell-by-cell walk (ReadRow, as the desktop tool reads), serial;
//   (b) the fleet read, empty allocation cache;
//   (c) the fleet read, warm cache (median of RUNS);
//   (d) the fleet write of 50 values each with read-back, warm cache;
//   (e) (c) with one controller silent from the start and one falling
//       silent in the middle of its staged sequence.
// Each fleet run uses fresh records, as each run of tavexctl does. Round
// trips per controller are counted from the simulator's log.
// Usage: bench_fleet [RUNS] [CONTROLLERS_FOR_A]   (BENCH_JOBS=N: N workers, as --jobs N;
//        BENCH_CONTROLLERS=N: N controllers instead of 100, up to 4000)
// Each fleet phase also reports the descriptors the process held at most
// (sampled every millisecond) and the requests' resting sockets.
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <set>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "bench/BenchCommon.h"
#include "comm/uRestingSockets.h"
#include "plc/uFleet.h"
#include "sim/uSimulator.h"

using namespace tavex;
using namespace tavex::bench;

namespace {

int kControllers = 100;
constexpr int kVars = 50, kDelayMs = 2;
constexpr uint32_t kFirstNad = 1000;

// 127.0.0.2, 127.0.0.3, ... 127.0.0.254, 127.0.1.2, ...
std::string IpOf(int c) {
  return "127.0." + std::to_string(c / 253) + "." + std::to_string(2 + c % 253);
}

int OpenDescriptors() {
  int n = 0;
  std::error_code ec;
  for (auto it = std::filesystem::directory_iterator("/proc/self/fd", ec);
       !ec && it != std::filesystem::directory_iterator(); it.increment(ec))
    ++n;
  return n;
}

// The largest descriptor count while it lives, sampled every millisecond.
class TDescriptorPeak {
 public:
  TDescriptorPeak() : Thread_([this] {
    while (!Stop_.load()) {
      Peak_ = std::max(Peak_.load(), OpenDescriptors());
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
  }) {}
  int Stop() {
    Stop_ = true;
    Thread_.join();
    return Peak_;
  }

 private:
  std::atomic<bool> Stop_{false};
  std::atomic<int> Peak_{0};
  std::thread Thread_;
};

// CPU time of the whole process (tool and simulator threads), ms.
double CpuMs() {
  rusage u{};
  getrusage(RUSAGE_SELF, &u);
  return (u.ru_utime.tv_sec + u.ru_stime.tv_sec) * 1e3 + (u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e3;
}

// CPU time so far of each thread alive now (schedstat, ns), by thread id.
std::map<std::string, double> ThreadCpuMs() {
  std::map<std::string, double> out;
  std::error_code ec;
  for (const auto& t : std::filesystem::directory_iterator("/proc/self/task", ec)) {
    FILE* f = std::fopen((t.path() / "schedstat").c_str(), "r");
    if (f == nullptr) continue;
    unsigned long long ns = 0;
    if (std::fscanf(f, "%llu", &ns) == 1) out[t.path().filename().string()] = static_cast<double>(ns) / 1e6;
    std::fclose(f);
  }
  return out;
}

struct TPhase {
  double Ms = 0;
  double CpuMs = 0;
  double SimCpuMs = 0;  // of the threads that outlive the phase: the simulator's (the main thread waits)
  size_t MinTrips = 0, MaxTrips = 0;
  double MeanTrips = 0;
  bool AllRead = true;
  int PeakFds = 0;  // largest, over the runs
  size_t RestingAfter = 0;
};

}  // namespace

int main(int argc, char** argv) {
  if (const char* e = std::getenv("TAVEX_IN_NETNS"); e == nullptr || std::string(e) != "1") {
    std::fprintf(stderr, "bench_fleet: run it inside scripts/netns (a private network namespace).\n");
    return 2;
  }
  const int runs = argc > 1 ? std::max(3, std::atoi(argv[1])) : 9;
  if (const char* n = std::getenv("BENCH_CONTROLLERS")) kControllers = std::clamp(std::atoi(n), 1, 4000);
  const int walkControllers = argc > 2 ? std::clamp(std::atoi(argv[2]), 1, kControllers) : kControllers;

  // Mixed types: bit, word, int, long, real in turn, values that fit each.
  static const char* const kTypes[] = {"bit", "word", "int", "long", "real"};
  std::vector<std::string> entries;
  for (int v = 0; v < kVars; ++v) entries.push_back("var" + std::to_string(v));
  nlohmann::json controllers = nlohmann::json::array();
  for (int c = 0; c < kControllers; ++c) {
    nlohmann::json vars = nlohmann::json::array();
    for (int v = 0; v < kVars; ++v)
      vars.push_back({{"name", entries[static_cast<size_t>(v)]}, {"type", kTypes[v % 5]}, {"value", v % 2}});
    for (const char* n : kClockVars) vars.push_back({{"name", n}, {"type", "word"}});
    controllers.push_back({{"nad", kFirstNad + c}, {"ip", IpOf(c)}, {"variables", vars},
                           {"faults", {{"delay_ms", kDelayMs}}}});
  }
  sim::TSimulator simulator(sim::ParseScenario({{"controllers", controllers}, {"log_limit", 2000000}}));
  std::string err;
  if (!simulator.Start(&err)) {
    std::fprintf(stderr, "bench_fleet: simulator: %s\n", err.c_str());
    return 1;
  }

  const auto cacheDir = std::filesystem::temp_directory_path() / ("bench-fleet-" + std::to_string(getpid()));
  std::filesystem::remove_all(cacheDir);
  const TAlcCache cache(cacheDir.string());

  // Round trips per controller since the log was last cleared.
  auto trips = [&](TPhase& p, int Count) {
    std::map<uint32_t, size_t> per;
    for (const auto& e : simulator.LogEntries()) ++per[e.Nad];
    p.MinTrips = SIZE_MAX;
    size_t sum = 0;
    for (int c = 0; c < Count; ++c) {
      const size_t n = per[kFirstNad + static_cast<uint32_t>(c)];
      p.MinTrips = std::min(p.MinTrips, n);
      p.MaxTrips = std::max(p.MaxTrips, n);
      sum += n;
    }
    p.MeanTrips = static_cast<double>(sum) / Count;
  };
  auto freshRecords = [&] {
    std::vector<std::unique_ptr<TTavex>> list;
    for (int c = 0; c < kControllers; ++c) {
      auto t = std::make_unique<TTavex>();
      t->SetNad(kFirstNad + c);
      t->SetIpAddress(IpOf(c));
      t->SelectAdapter("lo");
      list.push_back(std::move(t));
    }
    return list;
  };
  // One fleet run over fresh records; values: write texts, or empty to read.
  auto fleet = [&](const std::vector<std::string>& Values, TPhase& p, std::vector<TFleetResult>* Out = nullptr) {
    auto records = freshRecords();
    std::vector<TFleetJob> jobs;
    for (auto& r : records) jobs.push_back({r.get(), entries, Values});
    TFleetOptions options;
    if (const char* j = std::getenv("BENCH_JOBS")) options.Jobs = std::atoi(j);
    options.Write = !Values.empty();
    options.Cache = &cache;
    std::vector<TFleetResult> results;
    simulator.ClearLog();
    const auto threads0 = ThreadCpuMs();
    const double cpu0 = CpuMs();
    TDescriptorPeak peak;
    const auto t0 = Clock::now();
    RunFleet(jobs, options, results);
    p.Ms = std::chrono::duration<double, std::milli>(Clock::now() - t0).count();
    p.PeakFds = peak.Stop();
    p.RestingAfter = TRestingSockets<int>::InProcess();
    p.CpuMs = CpuMs() - cpu0;
    for (const auto& [tid, ms] : ThreadCpuMs())
      if (const auto it = threads0.find(tid); it != threads0.end()) p.SimCpuMs += ms - it->second;
    trips(p, kControllers);
    p.AllRead = true;
    std::map<std::string, int> why;
    for (const auto& r : results) {
      for (const auto& e : r.Entries) p.AllRead = p.AllRead && e.Reason == TEntryReason::None;
      if (r.GivenUp) {
        ++why[r.Error];
        continue;
      }
      std::set<std::string> reasons;
      for (const auto& e : r.Entries)
        if (e.Reason != TEntryReason::None) reasons.insert(ReasonText(e.Reason));
      for (const auto& x : reasons) ++why[x];
    }
    // Why values are missing (in (e), the two silent controllers).
    for (const auto& [w, n] : why) std::fprintf(stderr, "bench_fleet: %d controller(s): %s\n", n, w.c_str());
    if (Out != nullptr) *Out = std::move(results);
  };

  // (a) the cell-by-cell walk, one controller after another.
  TPhase a;
  {
    auto records = freshRecords();
    simulator.ClearLog();
    const double cpu0 = CpuMs();
    const auto t0 = Clock::now();
    std::vector<std::string> texts;
    for (int c = 0; c < walkControllers; ++c) {
      ReadRow(*records[static_cast<size_t>(c)], entries, texts, '.');
      for (const auto& t : texts) a.AllRead = a.AllRead && t != "?";
    }
    a.Ms = std::chrono::duration<double, std::milli>(Clock::now() - t0).count();
    a.CpuMs = CpuMs() - cpu0;
    trips(a, walkControllers);
  }

  TPhase b, c, d, e;
  fleet({}, b);
  std::vector<double> warm;
  size_t warmMin = SIZE_MAX, warmMax = 0;
  for (int r = 0; r < runs; ++r) {
    TPhase p;
    fleet({}, p);
    warm.push_back(p.Ms);
    warmMin = std::min(warmMin, p.MinTrips);
    warmMax = std::max(warmMax, p.MaxTrips);
    c.MeanTrips = p.MeanTrips;
    c.CpuMs += p.CpuMs / runs;
    c.SimCpuMs += p.SimCpuMs / runs;
    c.AllRead = c.AllRead && p.AllRead;
    c.PeakFds = std::max(c.PeakFds, p.PeakFds);
    c.RestingAfter = p.RestingAfter;
  }
  c.Ms = Median(warm);
  c.MinTrips = warmMin;
  c.MaxTrips = warmMax;

  std::vector<std::string> values;
  for (int v = 0; v < kVars; ++v) values.push_back(std::to_string((v + 1) % 2));
  std::vector<double> writes;
  for (int r = 0; r < runs; ++r) {
    TPhase p;
    fleet(values, p);
    writes.push_back(p.Ms);
    d.MinTrips = r == 0 ? p.MinTrips : std::min(d.MinTrips, p.MinTrips);
    d.MaxTrips = std::max(d.MaxTrips, p.MaxTrips);
    d.MeanTrips = p.MeanTrips;
    d.CpuMs += p.CpuMs / runs;
    d.SimCpuMs += p.SimCpuMs / runs;
    d.AllRead = (r == 0 || d.AllRead) && p.AllRead;
    d.PeakFds = std::max(d.PeakFds, p.PeakFds);
    d.RestingAfter = p.RestingAfter;
  }
  d.Ms = Median(writes);

  // (e): the first controller silent from the start; the second falls
  // silent after 3 of this run's requests (in its staged sequence, at the
  // page that proves its cached allocation file: a warm controller is done
  // after 6, so a silence after 40 would never show).
  const uint32_t silent = kFirstNad, late = kFirstNad + 1;
  sim::TFaults quiet;
  quiet.DelayMs = kDelayMs;
  quiet.Silent = true;
  simulator.SetFaults(silent, quiet);
  sim::TFaults fading;
  fading.DelayMs = kDelayMs;
  fading.SilentAfterRequests = simulator.Requests(late) + 3;
  simulator.SetFaults(late, fading);
  std::vector<TFleetResult> results;
  fleet({}, e, &results);
  size_t given = 0, others = 0;
  for (size_t i = 0; i < results.size(); ++i) {
    if (results[i].GivenUp) ++given;
    else if (std::all_of(results[i].Entries.begin(), results[i].Entries.end(),
                         [](const TFleetEntry& x) { return x.Reason == TEntryReason::None; }))
      ++others;
  }
  std::filesystem::remove_all(cacheDir);
  e.AllRead = given == 2 && others == static_cast<size_t>(kControllers - 2);
  const int idleFds = OpenDescriptors();

  std::printf("fleet, %d controllers x %d variables (bit/word/int/long/real) + clock, answers delayed %d ms\n",
              kControllers, kVars, kDelayMs);
  std::printf("  %-46s %10s  %-12s %s\n", "", "wall", "CPU", "round trips per controller (min/mean/max)");
  auto row = [](const char* name, const TPhase& p) {
    std::printf("  %-46s %8.1f ms  %7.1f ms   %zu / %.1f / %zu%s\n", name, p.Ms, p.CpuMs, p.MinTrips, p.MeanTrips,
                p.MaxTrips, p.AllRead ? "" : "  (values missing!)");
  };
  char walkName[96];
  std::snprintf(walkName, sizeof walkName, "(a) cell-by-cell walk (ReadRow), %d controllers", walkControllers);
  row(walkName, a);
  row("(b) fleet read, empty cache", b);
  row("(c) fleet read, warm cache, median", c);
  row("(d) fleet write + read-back, warm, median", d);
  row("(e) (c) with one silent, one falling silent", e);
  const double aAll = a.Ms * kControllers / walkControllers;
  std::printf("  (a) for all %d controllers%s: %.1f ms; (a)/(c) = %.0f x\n", kControllers,
              walkControllers == kControllers ? "" : " (scaled)", aAll, aAll / c.Ms);
  std::printf("  CPU per round trip: (a) %.0f us, (c) %.0f us\n", a.CpuMs * 1000 / (a.MeanTrips * walkControllers),
              c.CpuMs * 1000 / (c.MeanTrips * kControllers));
  std::printf("  simulator's share of the CPU: (b) %.1f ms, (c) %.1f ms, (d) %.1f ms\n", b.SimCpuMs, c.SimCpuMs,
              d.SimCpuMs);
  std::printf("  (b) against the slowest chain (%zu round trips x %d ms = %d ms): %.2f x\n", b.MaxTrips, kDelayMs,
              static_cast<int>(b.MaxTrips) * kDelayMs, b.Ms / (static_cast<double>(b.MaxTrips) * kDelayMs));
  std::printf("  descriptors at most: (b) %d, (c) %d, (d) %d, (e) %d; the simulator and nothing else: %d\n",
              b.PeakFds, c.PeakFds, d.PeakFds, e.PeakFds, idleFds);
  std::printf("  resting sockets when a run ended: (b) %zu, (c) %zu, (d) %zu; closed before their hold: %zu\n",
              b.RestingAfter, c.RestingAfter, d.RestingAfter, TRestingSockets<int>::ClosedEarly());
  std::printf("  (e) - (c) = %.1f ms (limit: %d x %d ms + 100 ms = %d ms); given up %zu, served whole %zu of %d\n",
              e.Ms - c.Ms, kDefaultRetries, kDefaultTimeoutMs, kDefaultRetries * kDefaultTimeoutMs + 100, given,
              others, kControllers);
  return 0;
}

// A whole configuration read, the desktop tool's cell-by-cell sequence
// through the page operations: 10 simulated controllers x 50 variables plus
// each controller's clock, against (round trips made) x (raw loopback round
// trip) measured in the same run. Usage: bench_read [RUNS] [DELAY_MS]
// (DELAY_MS: the controllers answer that much after each request).
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "bench/BenchCommon.h"
#include "plc/uOperations.h"
#include "sim/uSimulator.h"

using namespace tavex;
using namespace tavex::bench;

int main(int argc, char** argv) {
  if (const char* e = std::getenv("TAVEX_IN_NETNS"); e == nullptr || std::string(e) != "1") {
    std::fprintf(stderr, "bench_read: run it inside scripts/netns (a private network namespace).\n");
    return 2;
  }
  const int runs = argc > 1 ? std::max(3, std::atoi(argv[1])) : 20;
  // Controllers that answer after this many milliseconds (0: at once).
  const int delayMs = argc > 2 ? std::clamp(std::atoi(argv[2]), 0, 1000) : 0;
  constexpr int kControllers = 10, kVars = 50;

  nlohmann::json controllers = nlohmann::json::array();
  std::vector<std::string> entries;
  for (int v = 0; v < kVars; ++v) entries.push_back("var" + std::to_string(v));
  for (int c = 0; c < kControllers; ++c) {
    nlohmann::json vars = nlohmann::json::array();
    for (int v = 0; v < kVars; ++v)
      vars.push_back({{"name", entries[static_cast<size_t>(v)]}, {"type", v % 2 ? "word" : "real"}, {"value", v}});
    for (const char* n : kClockVars) vars.push_back({{"name", n}, {"type", "word"}});
    controllers.push_back({{"nad", 1000 + c},
                           {"ip", "127.0.0." + std::to_string(2 + c)},
                           {"variables", vars},
                           {"faults", {{"delay_ms", delayMs}}}});
  }
  sim::TSimulator simulator(sim::ParseScenario({{"controllers", controllers}, {"log_limit", 10}}));
  std::string err;
  if (!simulator.Start(&err)) {
    std::fprintf(stderr, "bench_read: simulator: %s\n", err.c_str());
    return 1;
  }
  // Every request the controllers received: the round trips made.
  auto count = [&] {
    uint64_t n = 0;
    for (int c = 0; c < kControllers; ++c) n += simulator.Requests(static_cast<uint32_t>(1000 + c));
    return n;
  };

  TTavexList list;
  for (int c = 0; c < kControllers; ++c) {
    auto t = std::make_unique<TTavex>();
    t->SetNad(1000 + c);
    t->SetIpAddress("127.0.0." + std::to_string(2 + c));
    t->SelectAdapter("lo");
    list.Add(std::move(t));
  }

  auto readAll = [&] {
    std::vector<std::string> texts;
    for (int c = 0; c < list.Count(); ++c) ReadRow(*list.Items(c), entries, texts, '.');
    for (const auto& t : texts)
      if (t == "?") return false;
    return true;
  };

  // The first read opens the sockets and loads every allocation file.
  uint64_t before = count();
  auto t0 = Clock::now();
  if (!readAll()) {
    std::fprintf(stderr, "bench_read: a value could not be read\n");
    return 1;
  }
  const double coldUs = std::chrono::duration<double, std::micro>(Clock::now() - t0).count();
  const uint64_t coldTrips = count() - before;

  std::vector<double> warm;
  uint64_t warmTrips = 0;
  for (int r = 0; r < runs; ++r) {
    before = count();
    t0 = Clock::now();
    readAll();
    warm.push_back(std::chrono::duration<double, std::micro>(Clock::now() - t0).count());
    warmTrips = count() - before;
  }
  const double warmUs = Median(warm);
  const double raw = RawPingPongUs(3000);
  

  std::printf("configuration read, %d controllers x %d variables + clock, %d runs, answers after %d ms\n",
              kControllers, kVars, runs, delayMs);
  std::printf("  raw UDP ping-pong, loopback (a)   median %8.1f us\n", raw);
  std::printf("  first read (sockets, archives)    %10.1f ms  %6llu round trips  ratio %.2f\n", coldUs / 1000,
              static_cast<unsigned long long>(coldTrips), coldUs / (static_cast<double>(coldTrips) * raw));
  std::printf("  later reads, median               %10.1f ms  %6llu round trips  ratio %.2f\n", warmUs / 1000,
              static_cast<unsigned long long>(warmTrips), warmUs / (static_cast<double>(warmTrips) * raw));
  return 0;
}

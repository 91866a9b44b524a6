// Long runs against the in-process simulator, inside a private network
// namespace. Time-outs are shortened through the injected tick source, so
// that a run ends in minutes.
//
//   bench_soak [TRANSACTIONS]   soak: that many requests (default 100000) at
//       2% loss through the page operations; resident memory and open file
//       descriptors after a warm-up and at the end, and every value shown
//       checked against the controller's.
//   bench_soak --late [N]       answers delayed around the time-out: how
//       often a late answer is taken for the next request's answer, per
//       delay (N requests per delay, default 60).
//   bench_soak --duplicates [N] the same for answers sent twice.
//
// The simulator's log is limited, so that its memory does not count.
#include <dirent.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include <nlohmann/json.hpp>

#include "abus/uABus.h"
#include "comm/uCommunication.h"
#include "plc/uOperations.h"
#include "sim/uSimulator.h"
#include "vars/uTavexVars.h"

using namespace tavex;
using nlohmann::json;
using Clock = std::chrono::steady_clock;

namespace {

constexpr uint32_t kNad = 1000;
constexpr int kVars = 50;

// A millisecond tick counter running Factor times faster than real time.
std::function<uint32_t()> ScaledTicks(uint32_t Factor) {
  const auto start = Clock::now();
  return [start, Factor] {
    const auto us = std::chrono::duration_cast<std::chrono::microseconds>(Clock::now() - start).count();
    return static_cast<uint32_t>(static_cast<uint64_t>(us) * Factor / 1000);
  };
}

long RssKiB() {
  std::ifstream in("/proc/self/status");
  std::string line;
  while (std::getline(in, line))
    if (line.rfind("VmRSS:", 0) == 0) return std::atol(line.c_str() + 6);
  return -1;
}

int OpenFds() {
  int n = 0;
  if (DIR* d = opendir("/proc/self/fd")) {
    while (dirent* e = readdir(d))
      if (e->d_name[0] != '.') ++n;
    closedir(d);
  }
  return n - 1;  // the directory being read
}

// Word variables v0..v{N-1} holding 1000 + i, so that a value names the
// variable it belongs to; and the clock.
json Variables(int N) {
  json v = json::array();
  for (int i = 0; i < N; ++i) v.push_back({{"name", "v" + std::to_string(i)}, {"type", "word"}, {"value", 1000 + i}});
  for (const char* n : kClockVars) v.push_back({{"name", n}, {"type", "word"}});
  return v;
}

std::unique_ptr<sim::TSimulator> StartSimulator(const json& Faults, int Vars) {
  json c = {{"nad", kNad}, {"ip", "127.0.0.2"}, {"variables", Variables(Vars)}, {"faults", Faults}};
  auto s = std::make_unique<sim::TSimulator>(sim::ParseScenario({{"controllers", {c}}, {"log_limit", 1000}, {"seed", 7}}));
  std::string err;
  if (!s->Start(&err)) {
    std::fprintf(stderr, "bench_soak: simulator: %s\n", err.c_str());
    std::exit(1);
  }
  return s;
}

std::unique_ptr<TTavex> Record(uint32_t TickFactor) {
  auto t = std::make_unique<TTavex>();
  t->SetNad(kNad);
  t->SetIpAddress("127.0.0.2");
  t->SelectAdapter("lo");
  t->Communicator->TickSource = ScaledTicks(TickFactor);
  return t;
}

// --- Soak ------------------------------------------------------------------

// 500 ms time-outs pass in 25 ms: far above a loopback round trip even on a
// busy machine, so that no answer is late by accident.
constexpr uint32_t kSoakTickFactor = 20;

int Soak(uint64_t Transactions) {
  // 2% of the attempts fail: 1% of the requests and 1% of the answers lost.
  auto simulator = StartSimulator({{"drop", 0.01}, {"drop_answer", 0.01}}, kVars);
  auto plc = Record(kSoakTickFactor);
  const TCommunicator& comm = *plc->Communicator;

  uint64_t calls = 0, shown = 0, unknown = 0, wrong = 0, written = 0;
  std::vector<std::string> examples;
  auto step = [&] {
    const int i = static_cast<int>(calls % kVars);
    const std::string entry = "v" + std::to_string(i);
    // Every tenth request writes a value that names its variable again.
    const bool write = calls % 10 == 9;
    const std::string text = RequestValue(*plc, entry, write ? std::to_string(1000 + i) : "", '.');
    written += write;
    ++calls;
    if (text == "?") {
      ++unknown;
    } else if (text == std::to_string(1000 + i)) {
      ++shown;
    } else {
      ++wrong;
      if (examples.size() < 5)
        examples.push_back(entry + " showed " + text + " after " + std::to_string(comm.SendCount()) + " requests");
    }
  };

  const auto t0 = Clock::now();
  while (comm.SendCount() < 2000) step();  // warm-up: sockets, archive, allocator pools
  const long rss0 = RssKiB();
  const int fds0 = OpenFds();
  const uint64_t sent0 = comm.SendCount();
  const auto t1 = Clock::now();
  int fdsMax = fds0, fdsMin = fds0;
  while (comm.SendCount() - sent0 < Transactions) {
    step();
    if (calls % 1000 == 0) {
      const int f = OpenFds();
      fdsMax = std::max(fdsMax, f);
      fdsMin = std::min(fdsMin, f);
    }
  }
  const auto t2 = Clock::now();
  const long rss1 = RssKiB();
  const int fds1 = OpenFds();
  const uint64_t sent = comm.SendCount() - sent0;

  std::printf("soak: %llu requests sent (attempts) after a warm-up of %llu, 2%% loss, 500 ms time-outs in %u ms\n",
              static_cast<unsigned long long>(sent), static_cast<unsigned long long>(sent0), 500 / kSoakTickFactor);
  std::printf("  page requests            %llu (%llu with a value written)\n", static_cast<unsigned long long>(calls),
              static_cast<unsigned long long>(written));
  std::printf("  values shown             %llu true, %llu \"?\", %llu wrong\n", static_cast<unsigned long long>(shown),
              static_cast<unsigned long long>(unknown), static_cast<unsigned long long>(wrong));
  for (const auto& e : examples) std::printf("    wrong: %s\n", e.c_str());
  std::printf("  time                     %.1f s (warm-up %.1f s)\n", std::chrono::duration<double>(t2 - t1).count(),
              std::chrono::duration<double>(t1 - t0).count());
  std::printf("  resident memory          %ld KiB -> %ld KiB (%+ld KiB)\n", rss0, rss1, rss1 - rss0);
  std::printf("  open file descriptors    %d -> %d (between %d and %d)\n", fds0, fds1, fdsMin, fdsMax);
  const bool ok = wrong == 0 && rss1 - rss0 < 1024 && fds1 == fds0 && fdsMin == fds0 && fdsMax == fds0;
  std::printf("  %s\n", ok ? "ok" : "FAILED");
  return ok ? 0 : 1;
}

// --- Late and duplicated answers -------------------------------------------

// The time-out is 500 ticks; at 10 ticks per millisecond it lasts 50 ms.
constexpr uint32_t kLateTickFactor = 10;
constexpr double kTimeoutMs = 500.0 / kLateTickFactor;

struct TTally {
  int Right = 0, Failed = 0, Other = 0;
};

// Transport level: ReadVars of one variable after another; an accepted
// answer whose value names another variable is a late answer taken for
// this request's.
TTally ReadEach(TCommunicator& Comm, int N) {
  TTally t;
  for (int k = 0; k < N; ++k) {
    const int i = k % kVars;
    const uint16_t address = static_cast<uint16_t>(0x0100 + 2 * i);
    uint8_t buf[kFrameBufSize] = {};
    if (!Comm.ReadVars(0, 1, 0, &address, buf)) {
      ++t.Failed;
      continue;
    }
    const int value = buf[0] | buf[1] << 8;
    if (value == 1000 + i)
      ++t.Right;
    else
      ++t.Other;
  }
  return t;
}

// Page level: the cells the user sees, through RequestValue (program check,
// stamp, run state, then the read).
TTally ShowEach(TTavex& Plc, int N) {
  TTally t;
  for (int k = 0; k < N; ++k) {
    const int i = k % kVars;
    const std::string text = RequestValue(Plc, "v" + std::to_string(i), "", '.');
    if (text == "?")
      ++t.Failed;
    else if (text == std::to_string(1000 + i))
      ++t.Right;
    else
      ++t.Other;
  }
  return t;
}

void PrintRow(const char* Label, const TTally& Comm, const TTally& Page) {
  auto pct = [](int a, int n) { return n ? 100.0 * a / n : 0.0; };
  const int n = Comm.Right + Comm.Failed + Comm.Other, m = Page.Right + Page.Failed + Page.Other;
  std::printf("  %-22s %5.1f%% %5.1f%% %5.1f%%    %5.1f%% %5.1f%% %5.1f%%\n", Label, pct(Comm.Right, n),
              pct(Comm.Failed, n), pct(Comm.Other, n), pct(Page.Right, m), pct(Page.Failed, m), pct(Page.Other, m));
}

void Header(const char* Title, int N) {
  std::printf("%s, %d requests each (time-out %.0f ms of real time)\n", Title, N, kTimeoutMs);
  std::printf("  %-22s %-24s %s\n", "", "ReadVars: right  fail  other", "cell: right   \"?\"  wrong");
}

int Late(int N) {
  Header("answers delayed", N);
  for (double f : {0.5, 0.9, 1.1, 1.3, 1.5, 1.9, 2.1, 2.5, 3.1}) {
    const auto delay = static_cast<uint32_t>(f * kTimeoutMs);
    auto simulator = StartSimulator({{"delay_ms", delay}}, kVars);
    auto plc = Record(kLateTickFactor);
    TCommunicator& comm = *plc->Communicator;
    comm.Open("lo");
    comm.SetNad(kNad);
    comm.RemoteIP = "127.0.0.2";
    const TTally c = ReadEach(comm, N);
    // A pause of a few time-outs lets the answers still under way land.
    std::this_thread::sleep_for(std::chrono::milliseconds(static_cast<int>(4 * kTimeoutMs)));
    const TTally p = ShowEach(*plc, N);
    char label[64];
    std::snprintf(label, sizeof label, "%.1f x time-out (%u ms)", f, delay);
    PrintRow(label, c, p);
  }
  return 0;
}

int Duplicates(int N) {
  Header("answers sent twice", N);
  for (double p : {0.01, 0.05, 0.2, 1.0}) {
    auto simulator = StartSimulator({{"duplicate", p}}, kVars);
    auto plc = Record(kLateTickFactor);
    TCommunicator& comm = *plc->Communicator;
    comm.Open("lo");
    comm.SetNad(kNad);
    comm.RemoteIP = "127.0.0.2";
    const TTally c = ReadEach(comm, N);
    std::this_thread::sleep_for(std::chrono::milliseconds(static_cast<int>(4 * kTimeoutMs)));
    const TTally s = ShowEach(*plc, N);
    char label[64];
    std::snprintf(label, sizeof label, "%.0f%% of the answers", 100 * p);
    PrintRow(label, c, s);
  }
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (const char* e = std::getenv("TAVEX_IN_NETNS"); e == nullptr || std::string(e) != "1") {
    std::fprintf(stderr, "bench_soak: run it inside scripts/netns (a private network namespace).\n");
    return 2;
  }
  if (argc > 1 && std::strcmp(argv[1], "--late") == 0) return Late(argc > 2 ? std::max(10, std::atoi(argv[2])) : 60);
  if (argc > 1 && std::strcmp(argv[1], "--duplicates") == 0)
    return Duplicates(argc > 2 ? std::max(10, std::atoi(argv[2])) : 400);
  const uint64_t n = argc > 1 ? std::strtoull(argv[1], nullptr, 10) : 100000;
  return Soak(n < 1000 ? 1000 : n);
}

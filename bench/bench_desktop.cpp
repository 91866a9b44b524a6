// The desktop tool's Read and Write as its window drives them: the
// operations controller (plc/'s runner under a QObject, results queued to
// the event loop) against simulated controllers, with the fleet engine of
// tavexctl on the same scenario in the same run. No window: a
// QCoreApplication's event loop stands for it, and a 10 ms timer on it
// measures how late the loop answers while an operation runs.
//   (a) 40 controllers x 30 variables, answers after 300 ms: Read (fresh
//       records, as after Autodetect), Write of every value (the same
//       records), and the fleet read and write of tavexctl (fresh records,
//       no cache, as a run of tavexctl without one);
//   (b) Stop during a Read at 300 ms: how long until the run has ended, and
//       the requests the controllers received after Stop;
//   (c) 100 controllers x 50 variables, answers after 2 ms: Read, first and
//       then warm (median of RUNS), and the loop's lateness meanwhile.
// Usage: bench_desktop [RUNS]
#include <QCoreApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QTimer>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include <nlohmann/json.hpp>

#include "plc/uFleet.h"
#include "plc/uOperationRunner.h"
#include "sim/uSimulator.h"
#include "ui/uOperationsController.h"

using namespace tavex;

namespace {

using Clock = std::chrono::steady_clock;

double Ms(Clock::duration d) { return std::chrono::duration<double, std::milli>(d).count(); }

double Median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v.empty() ? 0 : v[v.size() / 2];
}

std::string IpOf(int c) { return "127.0." + std::to_string(c / 253) + "." + std::to_string(2 + c % 253); }

struct TScenario {
  int Controllers, Vars, DelayMs;
  std::vector<std::string> Entries;
  std::unique_ptr<sim::TSimulator> Sim;
  std::atomic<uint64_t> Requests{0};

  bool Start() {
    nlohmann::json controllers = nlohmann::json::array();
    Entries.clear();
    for (int v = 0; v < Vars; ++v) Entries.push_back("var" + std::to_string(v));
    for (int c = 0; c < Controllers; ++c) {
      nlohmann::json vars = nlohmann::json::array();
      for (int v = 0; v < Vars; ++v)
        vars.push_back({{"name", Entries[static_cast<size_t>(v)]}, {"type", v % 2 ? "word" : "real"}, {"value", v}});
      for (const char* n : kClockVars) vars.push_back({{"name", n}, {"type", "word"}});
      controllers.push_back({{"nad", 1000 + c}, {"ip", IpOf(c)}, {"variables", vars},
                             {"faults", {{"delay_ms", DelayMs}}}});
    }
    Sim = std::make_unique<sim::TSimulator>(sim::ParseScenario({{"controllers", controllers}, {"log_limit", 10}}));
    Sim->SetLogSink([this](const nlohmann::json&) { ++Requests; });
    std::string err;
    if (!Sim->Start(&err)) {
      std::fprintf(stderr, "bench_desktop: simulator: %s\n", err.c_str());
      return false;
    }
    return true;
  }
  // Records as Autodetect leaves them.
  std::vector<std::unique_ptr<TTavex>> Records() const {
    std::vector<std::unique_ptr<TTavex>> r;
    for (int c = 0; c < Controllers; ++c) {
      auto t = std::make_unique<TTavex>();
      t->SetNad(1000 + c);
      t->SetIpAddress(IpOf(c));
      t->SelectAdapter("lo");
      r.push_back(std::move(t));
    }
    return r;
  }
};

struct TRun {
  double Ms = 0;
  double LateMs = 0;  // the loop's largest lateness
  int Failed = 0;     // controllers given up
  bool Stopped = false;
};

// One Read or Write through the operations controller, on the event loop;
// StopAfterMs >= 0: Stop that long after the start.
TRun RunDesktop(TScenario& S, std::vector<std::unique_ptr<TTavex>>& Records, bool Write, int StopAfterMs = -1,
                double* StopToEndMs = nullptr, uint64_t* AfterStop = nullptr) {
  TOperationsController ctl;
  TRunPlan plan;
  plan.Write = Write;
  plan.Entries = S.Entries;
  for (size_t i = 0; i < Records.size(); ++i) {
    TRunItem item;
    item.Plc = Records[i].get();
    item.Row = static_cast<int>(i);
    if (Write)
      for (int v = 0; v < S.Vars; ++v) item.Values.push_back(std::to_string(v + 1));
    plan.Items.push_back(std::move(item));
  }
  TRun run;
  QEventLoop loop;
  QObject::connect(&ctl, &TOperationsController::RowFinished, [&](int, const TFleetResult& R) {
    run.Failed += R.GivenUp ? 1 : 0;
  });
  QObject::connect(&ctl, &TOperationsController::RunEnded, [&](bool Stopped) {
    run.Stopped = Stopped;
    loop.quit();
  });
  // The loop's lateness: a 10 ms timer, each firing against the one before.
  QTimer tick;
  tick.setTimerType(Qt::PreciseTimer);
  tick.setInterval(10);
  Clock::time_point last = Clock::now();
  QObject::connect(&tick, &QTimer::timeout, [&] {
    const Clock::time_point now = Clock::now();
    run.LateMs = std::max(run.LateMs, Ms(now - last) - 10.0);
    last = now;
  });
  Clock::time_point stopAt{};
  uint64_t atStop = 0;
  if (StopAfterMs >= 0)
    QTimer::singleShot(StopAfterMs, [&] {
      atStop = S.Requests.load();
      stopAt = Clock::now();
      ctl.Stop();
    });
  const Clock::time_point t0 = Clock::now();
  tick.start();
  last = Clock::now();
  if (!ctl.Start(std::move(plan))) return run;
  loop.exec();
  tick.stop();
  const Clock::time_point end = Clock::now();
  run.Ms = Ms(end - t0);
  if (StopAfterMs >= 0) {
    if (StopToEndMs != nullptr) *StopToEndMs = Ms(end - stopAt);
    // An answer's time for anything still under way to show up.
    std::this_thread::sleep_for(std::chrono::milliseconds(S.DelayMs + 100));
    if (AfterStop != nullptr) *AfterStop = S.Requests.load() - atStop;
  }
  return run;
}

// The fleet engine as tavexctl runs it: fresh records, no cache.
double RunCtl(TScenario& S, bool Write, int& Failed) {
  auto records = S.Records();
  std::vector<TFleetJob> jobs;
  for (auto& r : records) {
    TFleetJob j{r.get(), S.Entries, {}};
    if (Write)
      for (int v = 0; v < S.Vars; ++v) j.Values.push_back(std::to_string(v + 1));
    jobs.push_back(std::move(j));
  }
  TFleetOptions o;
  o.Write = Write;
  std::vector<TFleetResult> results;
  const Clock::time_point t0 = Clock::now();
  RunFleet(jobs, o, results);
  const double ms = Ms(Clock::now() - t0);
  Failed = 0;
  for (const auto& r : results) Failed += r.GivenUp ? 1 : 0;
  return ms;
}

}  // namespace

int main(int argc, char** argv) {
  if (const char* e = std::getenv("TAVEX_IN_NETNS"); e == nullptr || std::string(e) != "1") {
    std::fprintf(stderr, "bench_desktop: run it inside scripts/netns (a private network namespace).\n");
    return 2;
  }
  QCoreApplication app(argc, argv);
  const int runs = argc > 1 ? std::max(1, std::atoi(argv[1])) : 5;

  {
    TScenario s{40, 30, 300, {}, nullptr, {}};
    if (!s.Start()) return 1;
    auto records = s.Records();
    const TRun read = RunDesktop(s, records, false);
    const TRun write = RunDesktop(s, records, true);
    int readFailed = 0, writeFailed = 0;
    const double ctlRead = RunCtl(s, false, readFailed);
    const double ctlWrite = RunCtl(s, true, writeFailed);
    std::printf("(a) 40 x 30, 300 ms answers\n");
    std::printf("    desktop Read  (fresh records) %8.1f ms  loop late at most %6.1f ms  failed %d\n", read.Ms,
                read.LateMs, read.Failed);
    std::printf("    desktop Write (same records)  %8.1f ms  loop late at most %6.1f ms  failed %d\n", write.Ms,
                write.LateMs, write.Failed);
    std::printf("    tavexctl engine read  (fresh) %8.1f ms  failed %d   desktop/ctl %.2f\n", ctlRead, readFailed,
                read.Ms / ctlRead);
    std::printf("    tavexctl engine write (fresh) %8.1f ms  failed %d\n", ctlWrite, writeFailed);

    auto fresh = s.Records();
    double stopToEnd = 0;
    uint64_t after = 0;
    const TRun stopped = RunDesktop(s, fresh, false, 1000, &stopToEnd, &after);
    std::printf("(b) Stop 1000 ms into a Read at 300 ms: ended %.1f ms after Stop (stopped: %s); requests "
                "received after Stop: %llu\n",
                stopToEnd, stopped.Stopped ? "yes" : "no", static_cast<unsigned long long>(after));
  }
  {
    TScenario s{100, 50, 2, {}, nullptr, {}};
    if (!s.Start()) return 1;
    auto records = s.Records();
    const TRun first = RunDesktop(s, records, false);
    std::vector<double> warm, late;
    for (int i = 0; i < runs; ++i) {
      const TRun r = RunDesktop(s, records, false);
      warm.push_back(r.Ms);
      late.push_back(r.LateMs);
    }
    std::printf("(c) 100 x 50, 2 ms answers\n");
    std::printf("    desktop Read, first           %8.1f ms  loop late at most %6.1f ms  failed %d\n", first.Ms,
                first.LateMs, first.Failed);
    std::printf("    desktop Read, warm, median    %8.1f ms  loop late at most %6.1f ms (median of the runs' "
                "largest)\n",
                Median(warm), Median(late));
  }
  return 0;
}

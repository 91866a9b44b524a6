// tavex-sim: simulated controllers on loopback, for demos, benchmarks and
// scripts.
//   tavex-sim [--seconds N] [--log FILE] SCENARIO.json
//   tavex-sim --help | --version
// Prints "ready" once every socket is bound, then runs until SIGINT/SIGTERM
// or for N seconds. --log writes every request as one JSON line.
// Exit codes: 0 normal end, 1 cannot start (e.g. address in use), 2 bad
// usage or scenario.
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <fstream>
#include <iostream>
#include <string>

#include <nlohmann/json.hpp>

#include "sim/uSimScenario.h"
#include "sim/uSimStopSignal.h"
#include "sim/uSimulator.h"

namespace {

// One line on stderr, so that scripts can show it as it is.
int Usage(const std::string& Message) {
  std::cerr << "tavex-sim: " << Message << " Usage: tavex-sim [--seconds N] [--log FILE] SCENARIO.json\n";
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  using namespace tavex::sim;
  std::string scenarioPath, logPath;
  long seconds = -1;
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    if (a == "--seconds" || a == "--log") {
      if (i + 1 >= argc) return Usage(a + " needs a value.");
      const std::string v = argv[++i];
      if (a == "--log") {
        logPath = v;
        continue;
      }
      char* end = nullptr;
      errno = 0;
      seconds = std::strtol(v.c_str(), &end, 10);
      if (errno || end == v.c_str() || *end || seconds < 0 || seconds > 100000000)
        return Usage("--seconds needs a whole number of seconds, not \"" + v + "\".");
    } else if (a == "-h" || a == "--help") {
      std::cout << "Usage: tavex-sim [--seconds N] [--log FILE] SCENARIO.json\n"
                   "Simulated Tavex controllers on loopback addresses (127.0.0.2, ...), for tests,\n"
                   "demos and benchmarks. Run it only inside a private network namespace.\n"
                   "\n"
                   "Options:\n"
                   "  --seconds N   End after N seconds (default: at SIGINT or SIGTERM)\n"
                   "  --log FILE    Write every request as one JSON line to FILE\n"
                   "  -h, --help    Print this help and exit\n"
                   "  --version     Print the version and exit\n"
                   "\n"
                   "Prints \"ready\" once every socket is bound. Exit status: 0 normal end,\n"
                   "1 cannot start (e.g. address in use), 2 bad usage or scenario.\n"
                   "Example scenarios: " TAVEX_SCENARIO_DIR "\n";
      return 0;
    } else if (a == "--version") {
      std::cout << "tavex-sim " TAVEX_VERSION "\n";
      return 0;
    } else if (!a.empty() && a[0] == '-') {
      return Usage("unknown option \"" + a + "\".");
    } else if (scenarioPath.empty()) {
      scenarioPath = a;
    } else {
      return Usage("only one scenario file can be given.");
    }
  }
  if (scenarioPath.empty()) return Usage("no scenario file given.");

  std::unique_ptr<TSimulator> sim;
  try {
    sim = std::make_unique<TSimulator>(LoadScenarioFile(scenarioPath));
  } catch (const std::exception& e) {
    std::cerr << "tavex-sim: bad scenario: " << e.what() << "\n";
    return 2;
  }

  std::ofstream log;
  if (!logPath.empty()) {
    log.open(logPath, std::ios::out | std::ios::trunc);
    if (!log) {
      std::cerr << "tavex-sim: cannot write the log file \"" << logPath << "\".\n";
      return 2;
    }
    // The sink runs on the io thread only, so the file needs no lock.
    sim->SetLogSink([&log](const nlohmann::json& Entry) { log << Entry.dump() << '\n' << std::flush; });
  }
  // Only the file keeps the log of a long run.
  sim->SetLogLimit(0);

  // Stop requests are taken by the main thread only, from before any other
  // thread exists.
  BlockStopRequests();

  std::string error;
  if (!sim->Start(&error)) {
    std::cerr << "tavex-sim: cannot start: " << error << "\n";
    return 1;
  }
  std::cout << "ready" << std::endl;

  WaitForStop(seconds);
  sim->Stop();
  return 0;
}

// Whole-path transport figures against the simulator, all in one run and
// inside a private network namespace:
//   (a) raw UDP ping-pong between two Asio sockets on loopback: the floor;
//   (b) TCommunicator::Transact with a ping against the simulator;
//   (c) ReadAlcArchive of a 64 KiB "alc.zip", against pages x (a);
// and, for reference, what a bare client costs against the simulator.
// Prints medians and ratios. Usage: bench_transport [ITERATIONS] [DELAY_MS]
// (DELAY_MS: the controller answers that much after each request).
#include <algorithm>
#include <array>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include <asio.hpp>
#include <nlohmann/json.hpp>

#include "abus/uABus.h"
#include "comm/uCommunication.h"
#include "sim/uSimulator.h"
#include "bench/BenchCommon.h"

using namespace tavex;
using namespace tavex::bench;

namespace {

// A raw client against the simulator: what the simulator itself costs.
double RawSimPingUs(int iterations, bool page = false) {
  asio::io_context cio;
  asio::ip::udp::socket client(cio, {asio::ip::make_address_v4("127.0.0.1"), 0});
  std::array<uint8_t, kMaxRequestFrame> req{};
  uint16_t len = 0;
  if (page) {
    req[0] = 0x00; req[1] = 0x02; req[2] = 0x00; req[3] = 0x01;  // page 0x200, 256 bytes
    len = 4;
  }
  BuildFrame(1, 1000, page ? 33 : 16, 0, 0, req, len, 0);
  const asio::ip::udp::endpoint plc(asio::ip::make_address_v4("127.0.0.2"), 8442);
  std::array<uint8_t, 2048> rbuf{};
  std::vector<double> us;
  for (int i = 0; i < iterations + 200; ++i) {
    const auto t0 = Clock::now();
    client.send_to(asio::buffer(req.data(), len), plc);
    asio::ip::udp::endpoint sender;
    client.receive_from(asio::buffer(rbuf), sender);
    const double d = std::chrono::duration<double, std::micro>(Clock::now() - t0).count();
    if (i >= 200) us.push_back(d);
  }
  return Median(us);
}

}  // namespace

int main(int argc, char** argv) {
  if (const char* e = std::getenv("TAVEX_IN_NETNS"); e == nullptr || std::string(e) != "1") {
    std::fprintf(stderr, "bench_transport: run it inside scripts/netns (a private network namespace).\n");
    return 2;
  }
  const int iterations = argc > 1 ? std::max(100, std::atoi(argv[1])) : 5000;
  // Controllers that answer after this many milliseconds (0: at once).
  const int delayMs = argc > 2 ? std::clamp(std::atoi(argv[2]), 0, 1000) : 0;

  // A controller with a 64 KiB archive (random bytes: it is fetched, not unpacked).
  std::vector<uint8_t> zip(64 * 1024);
  std::mt19937 rng(1);
  for (auto& b : zip) b = static_cast<uint8_t>(rng());
  const nlohmann::json scenario = {
      {"controllers",
       {{{"nad", 1000},
         {"ip", "127.0.0.2"},
         {"alc_zip_base64", sim::Base64Encode(zip)},
         {"faults", {{"delay_ms", delayMs}}}}}},
      {"log_limit", 1000}};
  sim::TSimulator simulator(sim::ParseScenario(scenario));
  std::string err;
  if (!simulator.Start(&err)) {
    std::fprintf(stderr, "bench_transport: simulator: %s\n", err.c_str());
    return 1;
  }

  const double raw = RawPingPongUs(iterations);
  const double rawSim = RawSimPingUs(iterations);
  const double rawSimPage = RawSimPingUs(iterations, true);

  TCommunicator comm;
  if (!comm.Open("lo")) {
    std::fprintf(stderr, "bench_transport: adapter lo not found\n");
    return 1;
  }
  comm.SetNad(1000);
  comm.RemoteIP = "127.0.0.2";
  std::vector<double> pingUs;
  for (int i = 0; i < iterations + 200; ++i) {
    const auto t0 = Clock::now();
    if (!comm.SendPing()) {
      std::fprintf(stderr, "bench_transport: ping failed\n");
      return 1;
    }
    const double d = std::chrono::duration<double, std::micro>(Clock::now() - t0).count();
    if (i >= 200) pingUs.push_back(d);
  }
  const double ping = Median(pingUs);

  const int archiveRuns = delayMs ? 5 : std::max(10, iterations / 200);
  std::vector<double> alcUs;
  size_t pages = 0;
  for (int i = 0; i < archiveRuns + 2; ++i) {
    simulator.ClearLog();
    std::unique_ptr<TMemoryStream> s;
    const auto t0 = Clock::now();
    if (!comm.ReadAlcArchive(s) || s->Size() != zip.size()) {
      std::fprintf(stderr, "bench_transport: archive read failed\n");
      return 1;
    }
    const double d = std::chrono::duration<double, std::micro>(Clock::now() - t0).count();
    pages = simulator.LogSize();
    if (i >= 2) alcUs.push_back(d);
  }
  const double alc = Median(alcUs);

  std::printf("transport benchmark, %d iterations, controller answers after %d ms\n", iterations, delayMs);
  std::printf("  (a) raw UDP ping-pong, loopback        median %8.1f us\n", raw);
  std::printf("      raw client against simulator: ping median %.1f us, 256-byte page median %.1f us\n",
              rawSim, rawSimPage);
  std::printf("  (b) Transact ping against simulator    median %8.1f us   ratio (b)/(a)     %.2f\n",
              ping, ping / raw);
  std::printf("  (c) ReadAlcArchive 64 KiB, %zu pages  median %8.1f us   ratio (c)/(pages*a) %.2f\n",
              pages, alc, alc / (static_cast<double>(pages) * raw));
  return 0;
}

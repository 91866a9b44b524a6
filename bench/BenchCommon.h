// Shared by the whole-path benchmarks: the raw loopback baseline.
#pragma once

#include <algorithm>
#include <array>
#include <chrono>
#include <functional>
#include <thread>
#include <vector>

#include <asio.hpp>

namespace tavex::bench {

using Clock = std::chrono::steady_clock;

inline double Median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v.empty() ? 0 : v[v.size() / 2];
}

// (a) Two Asio sockets: an echo on its own thread, like the simulator, and a
// client that sends 19 bytes and blocks for the echo.
inline double RawPingPongUs(int iterations) {
  asio::io_context io;
  asio::ip::udp::socket echo(io, {asio::ip::make_address_v4("127.0.0.3"), 0});
  const auto echoEp = echo.local_endpoint();
  std::array<uint8_t, 2048> ebuf{};
  asio::ip::udp::endpoint from;
  std::function<void()> receive = [&] {
    echo.async_receive_from(asio::buffer(ebuf), from, [&](asio::error_code ec, size_t n) {
      if (ec) return;
      echo.send_to(asio::buffer(ebuf.data(), n), from, 0, ec);
      receive();
    });
  };
  receive();
  std::thread t([&] { io.run(); });

  asio::io_context cio;
  asio::ip::udp::socket client(cio, {asio::ip::make_address_v4("127.0.0.1"), 0});
  std::array<uint8_t, 19> req{};
  std::array<uint8_t, 2048> rbuf{};
  std::vector<double> us;
  us.reserve(static_cast<size_t>(iterations));
  for (int i = 0; i < iterations + 200; ++i) {
    const auto t0 = Clock::now();
    client.send_to(asio::buffer(req), echoEp);
    asio::ip::udp::endpoint sender;
    client.receive_from(asio::buffer(rbuf), sender);
    const double d = std::chrono::duration<double, std::micro>(Clock::now() - t0).count();
    if (i >= 200) us.push_back(d);  // after a warm-up
  }
  io.stop();
  t.join();
  return Median(us);
}


}  // namespace tavex::bench

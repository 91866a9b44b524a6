// A simulator and controller records on loopback, for the record and
// operation tests.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <memory>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "plc/uTavex.h"
#include "sim/uSimulator.h"

namespace tavex::test {

using nlohmann::json;

// A controller of the scenario with the given extra keys.
inline json Controller(uint32_t nad, const std::string& ip, json extra = json::object()) {
  json c = {{"nad", nad}, {"ip", ip}, {"clock", "2026-03-04T05:06:07"}};
  for (auto& [k, v] : extra.items()) c[k] = v;
  return c;
}

inline json Var(const std::string& name, const std::string& type, json extra = json::object()) {
  json v = {{"name", name}, {"type", type}};
  for (auto& [k, x] : extra.items()) v[k] = x;
  return v;
}

inline json ClockVars(bool weekday = true, bool sec = true) {
  json a = json::array();
  for (const char* n : {"rtc_year", "rtc_month", "rtc_date", "rtc_hour", "rtc_min"}) a.push_back(Var(n, "word"));
  if (sec) a.push_back(Var("rtc_sec", "word"));
  if (weekday) a.push_back(Var("rtc_weekday", "bit"));
  a.push_back(Var("rtc_write_req", "bit"));
  return a;
}

class PlcTest : public ::testing::Test {
 protected:
  void Start(json controllers) {
    ASSERT_STREQ(std::getenv("TAVEX_IN_NETNS"), "1") << "network tests run only inside scripts/netns";
    sim_ = std::make_unique<sim::TSimulator>(sim::ParseScenario({{"controllers", controllers}}));
    std::string err;
    ASSERT_TRUE(sim_->Start(&err)) << err;
  }
  // A record as autodetect leaves it: NAD, address, adapter "lo".
  std::unique_ptr<TTavex> Record(int64_t nad, const std::string& ip) {
    auto t = std::make_unique<TTavex>();
    t->SetNad(nad);
    t->SetIpAddress(ip);
    t->SelectAdapter("lo");
    return t;
  }
  std::vector<json> Log(int command = -1) const {
    std::vector<json> out;
    for (const json& e : sim_->Log())
      if (command < 0 || e.value("command", -1) == command) out.push_back(e);
    return out;
  }
  // Commands in arrival order.
  std::vector<int> Commands() const {
    std::vector<int> out;
    for (const json& e : sim_->Log()) out.push_back(e.value("command", -1));
    return out;
  }
  std::unique_ptr<sim::TSimulator> sim_;
};

// A tick source running Factor times faster than real time: a 500 ms
// time-out passes in 5 ms, while an answer on loopback (some tens of
// microseconds) still arrives well within it.
inline std::function<uint32_t()> FastTicks(uint32_t Factor = 100) {
  const auto start = std::chrono::steady_clock::now();
  return [start, Factor] {
    const auto us = std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::steady_clock::now() - start);
    return static_cast<uint32_t>(static_cast<uint64_t>(us.count()) * Factor / 1000);
  };
}

}  // namespace tavex::test

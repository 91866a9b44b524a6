// Simulated controllers on loopback UDP: the other end of the wire for
// tests, benchmarks and demos.
//
// Each controller answers from a socket bound to its own address and port,
// so an answer's source address is the controller's. Broadcasts reach every
// controller on a port through two shared sockets bound to the broadcast
// addresses themselves (127.255.255.255 and 255.255.255.255, SO_REUSEADDR);
// a unicast to an address where no controller lives reaches nobody.
//
// One io_context and one thread serve the whole simulator. Every public
// operation is thread-safe; the accessors are meant for tests.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include <nlohmann/json_fwd.hpp>

#include "sim/uSimController.h"
#include "sim/uSimScenario.h"

namespace tavex::sim {

class TSimulator {
 public:
  // Builds every controller's memory and archive. Throws std::runtime_error
  // when a controller cannot be built (the scenario itself is checked by
  // ParseScenario).
  explicit TSimulator(TScenario Scenario);
  ~TSimulator();  // Stop()
  TSimulator(const TSimulator&) = delete;
  TSimulator& operator=(const TSimulator&) = delete;

  // Binds every socket and starts the io thread; returns once requests can
  // be received. False with a message (e.g. the address is not available or
  // already in use) and nothing left bound. Only the first call can succeed.
  bool Start(std::string* Error = nullptr);
  // Closes the sockets and joins the io thread; pending delayed answers are
  // not sent. Idempotent.
  void Stop();

  // Called on the io thread with every log entry, before any answer to that
  // request is sent. Set it before Start.
  void SetLogSink(std::function<void(const nlohmann::json&)> Sink);
  // How many entries Log() keeps (older ones are dropped; the sink sees all).
  void SetLogLimit(size_t Limit);

  // The log, one JSON object per datagram and controller, in arrival order.
  std::vector<nlohmann::json> Log() const;
  // The same entries as structures, cheaper for long runs (their name
  // pointers stay valid while the simulator lives).
  std::vector<TLogEntry> LogEntries() const;
  void ClearLog();
  size_t LogSize() const;
  // Waits until LogSize() >= Count; false on time-out.
  bool WaitForLog(size_t Count, std::chrono::milliseconds Timeout) const;

  // Runtime control, by NAD (every controller with that NAD). False when
  // there is none.
  bool SetFaults(uint32_t Nad, const TFaults& Faults);
  bool SetStamp(uint32_t Nad, uint32_t Stamp);
  bool SetStatus(uint32_t Nad, uint8_t First, uint8_t Second);
  bool PatchCode(uint32_t Nad, uint32_t Address, const std::vector<uint8_t>& Bytes);
  bool WriteVarRaw(uint32_t Nad, const std::string& Name, int Index, uint32_t Raw);

  // Inspection, of the first controller with that NAD.
  std::vector<uint8_t> ReadCode(uint32_t Nad, uint32_t Address, size_t Count) const;
  std::vector<uint8_t> ReadVarMemory(uint32_t Nad, uint16_t Address, size_t Count) const;
  std::optional<uint32_t> ReadVarRaw(uint32_t Nad, const std::string& Name, int Index = 0) const;
  std::optional<double> ReadVarValue(uint32_t Nad, const std::string& Name, int Index = 0) const;
  std::optional<TCivilTime> Clock(uint32_t Nad) const;
  std::optional<uint32_t> Stamp(uint32_t Nad) const;
  uint64_t Requests(uint32_t Nad) const;  // requests addressed to it so far
  std::string AlcText(uint32_t Nad) const;
  std::vector<uint8_t> AlcZip(uint32_t Nad) const;
  std::optional<TCodeLayout> Layout(uint32_t Nad) const;
  // The port a controller listens on (the chosen one for port 0); 0 before Start.
  uint16_t Port(uint32_t Nad) const;
  const TScenario& Scenario() const { return Scenario_; }

 private:
  struct TImpl;
  TSimController* Find(uint32_t Nad) const;
  template <class F>
  bool ForEach(uint32_t Nad, F&& Fn);

  TScenario Scenario_;
  std::vector<std::unique_ptr<TSimController>> Controllers_;
  std::vector<uint16_t> Ports_;

  mutable std::mutex Mutex_;  // guards controllers, ports and the log
  mutable std::condition_variable LogChanged_;
  std::deque<TLogEntry> Log_;
  size_t LogLimit_;
  uint64_t Seq_ = 0;
  std::function<void(const nlohmann::json&)> Sink_;

  std::unique_ptr<TImpl> Impl_;  // io_context and sockets
  std::thread Thread_;
  bool Started_ = false;
  bool Stopped_ = false;
};

}  // namespace tavex::sim

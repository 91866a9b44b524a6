// One simulated controller without any I/O: its code and variable memory,
// run status, program stamp, clock and fault modes, and the handling of one
// received datagram (decode, log entry, answer datagrams to send).
// Not thread-safe: the simulator calls it under its own lock.
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

#include <nlohmann/json_fwd.hpp>

#include "sim/uSimMemory.h"
#include "sim/uSimScenario.h"

namespace tavex::sim {

// Command codes the controllers answer.
enum : uint8_t { cmdPing = 16, cmdStatus = 17, cmdReadBlock = 33, cmdReadVars = 51, cmdWriteVars = 52 };

// Largest answer payload: L = payload + 2 must stay within the 1024 that a
// receiver accepts.
inline constexpr size_t kMaxAnswerPayload = 1022;

// The clock variables, in the order of their fields.
inline constexpr const char* kClockVarNames[8] = {"rtc_year", "rtc_month", "rtc_date",    "rtc_hour",
                                                  "rtc_min",  "rtc_sec",   "rtc_weekday", "rtc_write_req"};

// What a write of "rtc_write_req" did to the clock.
struct TClockSet {
  int Year = 0, Month = 0, Date = 0, Hour = 0, Min = 0, Sec = 0;
  int Weekday = -1;  // value found in rtc_weekday (-1: no such variable)
  bool Applied = false;  // false: the date or time was not valid, the clock kept running
};

// One received datagram as one controller saw it.
struct TLogEntry {
  uint64_t Seq = 0;
  double TMs = 0;
  uint32_t Nad = 0;
  std::string Ip;
  uint16_t Port = 0;
  std::string From;  // "ip:port" of the sender
  std::string To;    // the address the datagram was sent to
  bool Broadcast = false;
  size_t Length = 0;  // datagram bytes
  bool Valid = false;  // a whole request frame with a good checksum
  uint32_t SourceNad = 0, DestNad = 0;
  uint8_t Direction = 0, Aux = 0;
  int Command = -1;
  std::optional<bool> PasswordOk;
  uint64_t RequestNo = 0;  // the controller's count of requests addressed to it
  std::optional<uint16_t> Page, Count;
  std::optional<uint16_t> NBytes, NWords, NLongs;
  std::vector<uint16_t> Addresses;
  std::vector<uint32_t> Values;  // 52 only: written value per address
  bool HasValues = false;
  std::vector<const std::string*> Names;  // per address, nullptr when unknown
  std::string Outcome;  // "answered", "dropped", "ignored", "silent", "invalid"
  std::string Reason;   // why it was ignored or invalid
  std::vector<const char*> Faults;
  std::optional<TClockSet> ClockSet;
  std::optional<uint32_t> StampChanged;
  int32_t CorruptAt = -1;
  int32_t SplitAt = -1;
  uint32_t DelayMs = 0;
  uint32_t DuplicateDelayMs = 0;
  size_t AnswerLength = 0;  // bytes of the answer frame (junk not counted)
  std::string CrosstalkTo;  // "ip:port" that a crosstalk copy went to
  uint32_t CrosstalkNad = 0;  // the controller whose asker that was
};

nlohmann::json ToJson(const TLogEntry& Entry);

// An answer frame: SourceNad, DestNad, Direction, Aux 0, payload, checksum.
std::vector<uint8_t> BuildAnswerFrame(uint32_t SourceNad, uint32_t DestNad, uint8_t Direction,
                                      const uint8_t* Payload, size_t PayloadLength);

// Small deterministic generator (splitmix64), the same on every platform.
class TSimRng {
 public:
  explicit TSimRng(uint64_t Seed) : State_(Seed) {}
  uint64_t Next();
  double Uniform();  // [0, 1)
  // True with probability P; draws only when 0 < P < 1.
  bool Chance(double P);

 private:
  uint64_t State_;
};

class TSimController {
 public:
  using TClock = std::chrono::steady_clock;

  // Builds memory, allocation text and archive. Throws std::runtime_error
  // when they cannot be built.
  TSimController(const TControllerConfig& Config, uint64_t ScenarioSeed);
  // Log entries and clock variables point into this object.
  TSimController(const TSimController&) = delete;
  TSimController& operator=(const TSimController&) = delete;

  struct TAnswer {
    std::vector<std::vector<uint8_t>> Datagrams;  // in sending order
    uint32_t DelayMs = 0;
    // Sent CopyDelayMs after Datagrams (a duplicate's late copy).
    std::vector<std::vector<uint8_t>> Copies;
    uint32_t CopyDelayMs = 0;
    // A copy of Datagrams also goes to another controller's latest asker.
    bool Crosstalk = false;
  };
  // Handles one datagram received at this controller (directly or as a
  // broadcast); fills Entry (its Seq, TMs and addresses are the caller's)
  // and returns what to send back to the sender.
  TAnswer Handle(const uint8_t* Data, size_t Length, TLogEntry& Entry);

  const TControllerConfig& Config() const { return Config_; }
  uint32_t Nad() const { return Config_.Nad; }
  const std::string& AlcText() const { return AlcText_; }
  const std::vector<uint8_t>& AlcZip() const { return AlcZip_; }
  const TCodeLayout& Layout() const { return Layout_; }
  uint64_t Requests() const { return Requests_; }
  uint32_t Stamp() const { return Stamp_; }

  void SetFaults(const TFaults& Faults) { Config_.Faults = Faults; }
  void SetStamp(uint32_t Stamp);
  void SetStatus(uint8_t First, uint8_t Second);
  void PatchCode(uint32_t Address, const std::vector<uint8_t>& Bytes);
  std::vector<uint8_t> ReadCode(uint32_t Address, size_t Count) const;
  std::vector<uint8_t> ReadVarMemory(uint16_t Address, size_t Count);
  // A global variable element's value in wire form (clock variables show the
  // running clock); nullopt when there is no such element.
  std::optional<uint32_t> ReadVarRaw(const std::string& Name, int Index);
  // The same converted by type: signed for int and long, IEEE single for real.
  std::optional<double> ReadVarValue(const std::string& Name, int Index);
  bool WriteVarRaw(const std::string& Name, int Index, uint32_t Raw);
  TCivilTime ClockNow() const;

 private:
  struct TElement {
    std::string Label;  // "name" or "name[i]"
    uint16_t Address = 0;
    uint8_t VarType = 0;
  };
  const TSimVariable* FindGlobal(const std::string& Name) const;
  std::optional<uint16_t> ElementAddress(const TSimVariable& V, int Index) const;
  uint32_t LoadVar(uint16_t Address, uint32_t Size) const;
  void StoreVar(uint16_t Address, uint32_t Size, uint32_t Value);
  void RefreshClockVars();
  TClockSet ApplyClockWrite();
  // Carries out a decoded request; returns the answer payload.
  std::vector<uint8_t> Execute(uint8_t Command, TLogEntry& Entry);
  bool Decode(uint8_t Command, const std::vector<uint8_t>& Data, TLogEntry& Entry) const;

  TControllerConfig Config_;
  TSimRng Rng_;
  TCodeMemory Code_;
  std::vector<uint8_t> Vars_;  // 64 KiB, little-endian values
  std::string AlcText_;
  std::vector<uint8_t> AlcZip_;
  TCodeLayout Layout_;
  uint32_t Stamp_ = 0;
  uint8_t Status_[2] = {1, 2};
  uint64_t Requests_ = 0;
  size_t NextStampChange_ = 0;
  int64_t ClockBase_ = 0;  // civil seconds at ClockRef_
  TClock::time_point ClockRef_;
  std::vector<TElement> Elements_;
  std::unordered_map<uint16_t, size_t> ElementAt_;  // first element starting at an address
  const TSimVariable* ClockVars_[8] = {};  // by kClockVarNames order
};

}  // namespace tavex::sim

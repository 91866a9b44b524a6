#include "sim/uSimController.h"

#include <algorithm>
#include <cstring>
#include <ctime>

#include <nlohmann/json.hpp>

#include "abus/uABus.h"
#include "vars/uTavexVars.h"

namespace tavex::sim {

namespace {

uint16_t U16(const uint8_t* P) { return static_cast<uint16_t>(P[0] | (P[1] << 8)); }
uint32_t U32(const uint8_t* P) {
  return static_cast<uint32_t>(P[0]) | (static_cast<uint32_t>(P[1]) << 8) | (static_cast<uint32_t>(P[2]) << 16) |
         (static_cast<uint32_t>(P[3]) << 24);
}

uint64_t Mix(uint64_t X) {
  X += 0x9E3779B97F4A7C15ull;
  X = (X ^ (X >> 30)) * 0xBF58476D1CE4E5B9ull;
  X = (X ^ (X >> 27)) * 0x94D049BB133111EBull;
  return X ^ (X >> 31);
}

// The bytes a variables request moves per address, by its position.
uint32_t SizeClass(size_t Position, const TLogEntry& E) {
  if (Position < *E.NBytes) return 1;
  if (Position < static_cast<size_t>(*E.NBytes) + *E.NWords) return 2;
  return 4;
}

int64_t LocalCivilNow() {
  const std::time_t now = std::time(nullptr);
  std::tm tm{};
  localtime_r(&now, &tm);
  TCivilTime t;
  t.Year = tm.tm_year + 1900;
  t.Month = tm.tm_mon + 1;
  t.Day = tm.tm_mday;
  t.Hour = tm.tm_hour;
  t.Minute = tm.tm_min;
  t.Second = std::min(tm.tm_sec, 59);
  return CivilToSeconds(t);
}

bool FaultsHit(const TFaults& F, uint8_t Command) {
  return F.OnlyCommands.empty() ||
         std::find(F.OnlyCommands.begin(), F.OnlyCommands.end(), Command) != F.OnlyCommands.end();
}

}  // namespace

uint64_t TSimRng::Next() {
  State_ += 0x9E3779B97F4A7C15ull;
  uint64_t z = State_;
  z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
  z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
  return z ^ (z >> 31);
}

double TSimRng::Uniform() { return static_cast<double>(Next() >> 11) * (1.0 / 9007199254740992.0); }

bool TSimRng::Chance(double P) {
  if (P <= 0) return false;
  if (P >= 1) return true;
  return Uniform() < P;
}

std::vector<uint8_t> BuildAnswerFrame(uint32_t SourceNad, uint32_t DestNad, uint8_t Direction,
                                      const uint8_t* Payload, size_t PayloadLength) {
  PayloadLength = std::min(PayloadLength, kMaxAnswerPayload);
  const uint16_t l = static_cast<uint16_t>(PayloadLength + 2);
  std::vector<uint8_t> f(size_t{l} + 14);
  f[0] = 0xAA;
  f[1] = 0x55;
  f[2] = static_cast<uint8_t>(l);
  f[3] = static_cast<uint8_t>(l >> 8);
  for (int k = 0; k < 4; ++k) {
    f[4 + k] = static_cast<uint8_t>(SourceNad >> (8 * k));
    f[8 + k] = static_cast<uint8_t>(DestNad >> (8 * k));
  }
  f[12] = Direction;
  f[13] = 0;
  if (PayloadLength) std::memcpy(f.data() + 14, Payload, PayloadLength);
  const uint16_t sum = FrameChecksum(f.data(), l + 12, 0);
  f[size_t{l} + 12] = static_cast<uint8_t>(sum);
  f[size_t{l} + 13] = static_cast<uint8_t>(sum >> 8);
  return f;
}

nlohmann::json ToJson(const TLogEntry& E) {
  nlohmann::json j;
  j["seq"] = E.Seq;
  j["t_ms"] = static_cast<double>(static_cast<int64_t>(E.TMs * 1000.0)) / 1000.0;
  j["nad"] = E.Nad;
  j["ip"] = E.Ip;
  j["port"] = E.Port;
  j["from"] = E.From;
  j["to"] = E.To;
  j["broadcast"] = E.Broadcast;
  j["length"] = E.Length;
  if (E.Valid) {
    j["source_nad"] = E.SourceNad;
    j["dest_nad"] = E.DestNad;
    j["direction"] = E.Direction;
    j["aux"] = E.Aux;
    j["command"] = E.Command;
  }
  if (E.PasswordOk) j["password_ok"] = *E.PasswordOk;
  if (E.RequestNo) j["request_no"] = E.RequestNo;
  if (E.Page) j["page"] = *E.Page;
  if (E.Count) j["count"] = *E.Count;
  if (E.NBytes) {
    j["n_bytes"] = *E.NBytes;
    j["n_words"] = *E.NWords;
    j["n_longs"] = *E.NLongs;
    j["addresses"] = E.Addresses;
    nlohmann::json names = nlohmann::json::array();
    for (const std::string* n : E.Names) names.push_back(n ? nlohmann::json(*n) : nlohmann::json());
    j["names"] = std::move(names);
  }
  if (E.HasValues) j["values"] = E.Values;
  j["outcome"] = E.Outcome;
  if (!E.Reason.empty()) j["reason"] = E.Reason;
  nlohmann::json faults = nlohmann::json::array();
  for (const char* f : E.Faults) faults.push_back(f);
  j["faults"] = std::move(faults);
  if (E.ClockSet) {
    const TClockSet& c = *E.ClockSet;
    j["clock_set"] = {{"year", c.Year},       {"month", c.Month}, {"date", c.Date},
                      {"hour", c.Hour},       {"min", c.Min},     {"sec", c.Sec},
                      {"weekday", c.Weekday}, {"applied", c.Applied}};
  }
  if (E.StampChanged) j["stamp_changed"] = *E.StampChanged;
  if (E.CorruptAt >= 0) j["corrupt_at"] = E.CorruptAt;
  if (E.SplitAt >= 0) j["split_at"] = E.SplitAt;
  if (E.DelayMs) j["delay_ms"] = E.DelayMs;
  if (E.DuplicateDelayMs) j["duplicate_delay_ms"] = E.DuplicateDelayMs;
  if (E.AnswerLength) j["answer_length"] = E.AnswerLength;
  if (!E.CrosstalkTo.empty()) {
    j["crosstalk_to"] = E.CrosstalkTo;
    j["crosstalk_nad"] = E.CrosstalkNad;
  }
  return j;
}

TSimController::TSimController(const TControllerConfig& Config, uint64_t ScenarioSeed)
    : Config_(Config), Rng_(Mix(ScenarioSeed) ^ Mix(0x7AB70000ull + Config.Nad)), Vars_(kVarMemorySize, 0) {
  Stamp_ = Config_.Stamp;
  Status_[0] = Config_.Status[0];
  Status_[1] = Config_.Status[1];
  ClockRef_ = TClock::now();
  ClockBase_ = Config_.ClockLocal ? LocalCivilNow() : Config_.ClockStart;

  AlcText_ = Config_.AlcText ? *Config_.AlcText : BuildAlcText(Config_.Variables);
  AlcZip_ = Config_.AlcZip ? *Config_.AlcZip : BuildAlcZip(AlcText_);
  Layout_ = BuildCodeMemory(Config_, AlcZip_, Code_);

  // Variable memory and the element table that names addresses in the log.
  size_t elements = 0;
  for (const TSimVariable& v : Config_.Variables)
    if (ElementSize(v.VarType) && v.Count > 0) elements += static_cast<size_t>(v.Count);
  Elements_.reserve(elements);
  for (const TSimVariable& v : Config_.Variables) {
    const uint32_t size = ElementSize(v.VarType);
    if (size == 0 || v.Count <= 0) continue;
    for (int i = 0; i < v.Count; ++i) {
      const auto a = static_cast<uint16_t>(static_cast<int64_t>(v.Address) + v.Offset + int64_t{i} * v.Stride);
      StoreVar(a, size, static_cast<size_t>(i) < v.RawValues.size() ? v.RawValues[static_cast<size_t>(i)] : 0);
      if (v.Scope != scGlobal) continue;
      Elements_.push_back({v.Count > 1 ? v.Name + "[" + std::to_string(i) + "]" : v.Name, a, v.VarType});
      ElementAt_.try_emplace(a, Elements_.size() - 1);
    }
  }
  for (int k = 0; k < 8; ++k) ClockVars_[k] = FindGlobal(kClockVarNames[k]);
}

const TSimVariable* TSimController::FindGlobal(const std::string& Name) const {
  for (const TSimVariable& v : Config_.Variables)
    if (v.Scope == scGlobal && v.Name == Name && ElementSize(v.VarType) && v.Count > 0) return &v;
  return nullptr;
}

std::optional<uint16_t> TSimController::ElementAddress(const TSimVariable& V, int Index) const {
  if (Index < 0 || Index >= V.Count) return std::nullopt;
  return static_cast<uint16_t>(static_cast<int64_t>(V.Address) + V.Offset + int64_t{Index} * V.Stride);
}

// Values wrap at the top of the 16-bit address space, as the wire addresses do.
uint32_t TSimController::LoadVar(uint16_t Address, uint32_t Size) const {
  uint32_t v = 0;
  for (uint32_t k = 0; k < Size; ++k) v |= static_cast<uint32_t>(Vars_[static_cast<uint16_t>(Address + k)]) << (8 * k);
  return v;
}

void TSimController::StoreVar(uint16_t Address, uint32_t Size, uint32_t Value) {
  for (uint32_t k = 0; k < Size; ++k) Vars_[static_cast<uint16_t>(Address + k)] = static_cast<uint8_t>(Value >> (8 * k));
}

TCivilTime TSimController::ClockNow() const {
  const auto elapsed = std::chrono::duration_cast<std::chrono::seconds>(TClock::now() - ClockRef_).count();
  return SecondsToCivil(ClockBase_ + elapsed);
}

void TSimController::RefreshClockVars() {
  const TCivilTime t = ClockNow();
  const int fields[7] = {t.Year, t.Month, t.Day, t.Hour, t.Minute, t.Second, t.Weekday};
  for (int k = 0; k < 7; ++k) {
    const TSimVariable* v = ClockVars_[k];
    if (!v) continue;
    uint32_t raw = static_cast<uint32_t>(fields[k]);
    if (v->VarType == vtReal) {
      const float f = static_cast<float>(fields[k]);
      std::memcpy(&raw, &f, sizeof raw);
    }
    StoreVar(*ElementAddress(*v, 0), ElementSize(v->VarType), raw);
  }
}

TClockSet TSimController::ApplyClockWrite() {
  TCivilTime t = ClockNow();
  int* fields[6] = {&t.Year, &t.Month, &t.Day, &t.Hour, &t.Minute, &t.Second};
  auto value = [&](const TSimVariable* v) -> int64_t {
    const uint32_t raw = LoadVar(*ElementAddress(*v, 0), ElementSize(v->VarType));
    if (v->VarType == vtInt) return static_cast<int16_t>(raw);
    if (v->VarType == vtLong) return static_cast<int32_t>(raw);
    if (v->VarType == vtReal) {
      float f = 0;
      std::memcpy(&f, &raw, sizeof f);
      return f > -1e9f && f < 1e9f ? static_cast<int64_t>(f) : -1;
    }
    return raw;
  };
  TClockSet set;
  bool inRange = true;
  for (int k = 0; k < 6; ++k) {
    if (!ClockVars_[k]) continue;
    const int64_t v = value(ClockVars_[k]);
    inRange = inRange && v >= 0 && v <= 9999;
    *fields[k] = static_cast<int>(std::clamp<int64_t>(v, -1, 9999));
  }
  set.Year = t.Year;
  set.Month = t.Month;
  set.Date = t.Day;
  set.Hour = t.Hour;
  set.Min = t.Minute;
  set.Sec = t.Second;
  if (ClockVars_[6]) set.Weekday = static_cast<int>(std::clamp<int64_t>(value(ClockVars_[6]), -1, 9999));
  set.Applied = inRange && IsValidCivil(t);
  if (set.Applied) {
    ClockBase_ = CivilToSeconds(t);
    ClockRef_ = TClock::now();
  }
  // A controller acknowledges the request by clearing the flag.
  StoreVar(*ElementAddress(*ClockVars_[7], 0), ElementSize(ClockVars_[7]->VarType), 0);
  return set;
}

bool TSimController::Decode(uint8_t Command, const std::vector<uint8_t>& Data, TLogEntry& E) const {
  switch (Command) {
    case cmdPing:
    case cmdStatus:
      return true;
    case cmdReadBlock:
      if (Data.size() < 4) return false;
      E.Page = U16(Data.data());
      E.Count = U16(Data.data() + 2);
      return true;
    case cmdReadVars:
    case cmdWriteVars: {
      if (Data.size() < 6) return false;
      E.NBytes = U16(Data.data());
      E.NWords = U16(Data.data() + 2);
      E.NLongs = U16(Data.data() + 4);
      const size_t n = size_t{*E.NBytes} + *E.NWords + *E.NLongs;
      const size_t valueBytes = size_t{*E.NBytes} + 2 * size_t{*E.NWords} + 4 * size_t{*E.NLongs};
      const size_t need = 6 + 2 * n + (Command == cmdWriteVars ? valueBytes : 0);
      if (Data.size() < need) return false;
      E.Addresses.reserve(n);
      E.Names.reserve(n);
      for (size_t i = 0; i < n; ++i) {
        const uint16_t a = U16(Data.data() + 6 + 2 * i);
        E.Addresses.push_back(a);
        auto it = ElementAt_.find(a);
        E.Names.push_back(it == ElementAt_.end() ? nullptr : &Elements_[it->second].Label);
      }
      if (Command == cmdWriteVars) {
        E.HasValues = true;
        E.Values.reserve(n);
        const uint8_t* p = Data.data() + 6 + 2 * n;
        for (size_t i = 0; i < n; ++i) {
          const uint32_t size = SizeClass(i, E);
          E.Values.push_back(size == 1 ? *p : size == 2 ? U16(p) : U32(p));
          p += size;
        }
      }
      // A reader accepts at most 1024 for L, so larger answers cannot exist.
      return Command == cmdWriteVars || valueBytes <= kMaxAnswerPayload;
    }
    default:
      return false;
  }
}

std::vector<uint8_t> TSimController::Execute(uint8_t Command, TLogEntry& E) {
  std::vector<uint8_t> payload;
  switch (Command) {
    case cmdStatus:
      payload = {Status_[0], Status_[1]};
      break;
    case cmdReadBlock:
      payload = Code_.Read(uint32_t{*E.Page} * 256, std::min<size_t>(*E.Count, kMaxAnswerPayload));
      break;
    case cmdReadVars:
      RefreshClockVars();
      for (size_t i = 0; i < E.Addresses.size(); ++i) {
        const uint32_t size = SizeClass(i, E);
        const uint32_t v = LoadVar(E.Addresses[i], size);
        for (uint32_t k = 0; k < size; ++k) payload.push_back(static_cast<uint8_t>(v >> (8 * k)));
      }
      break;
    case cmdWriteVars: {
      if (Config_.Faults.IgnoreWrites) {
        E.Faults.push_back("ignore_writes");
        break;
      }
      // Clock fields the request leaves out keep the running time.
      RefreshClockVars();
      bool clockRequest = false;
      const std::optional<uint16_t> reqAddr =
          ClockVars_[7] ? ElementAddress(*ClockVars_[7], 0) : std::optional<uint16_t>();
      for (size_t i = 0; i < E.Addresses.size(); ++i) {
        StoreVar(E.Addresses[i], SizeClass(i, E), E.Values[i]);
        if (reqAddr && E.Addresses[i] == *reqAddr && E.Values[i] != 0) clockRequest = true;
      }
      if (clockRequest) E.ClockSet = ApplyClockWrite();
      break;
    }
    default:
      break;
  }
  return payload;
}

TSimController::TAnswer TSimController::Handle(const uint8_t* Data, size_t Length, TLogEntry& E) {
  TAnswer answer;
  E.Nad = Config_.Nad;
  E.Length = Length;
  E.Outcome = "invalid";
  if (Length < 14) {
    E.Reason = "shorter than a frame header";
    return answer;
  }
  if (Data[0] != 0xAA || Data[1] != 0x55) {
    E.Reason = "no frame start AA 55";
    return answer;
  }
  const uint16_t l = U16(Data + 2);
  if (l < 5 || l > 1024) {
    E.Reason = "length field " + std::to_string(l) + " out of range for a request";
    return answer;
  }
  if (Length < size_t{l} + 14) {
    E.Reason = "frame incomplete";
    return answer;
  }
  if (FrameChecksum(Data, l + 12, 0) != U16(Data + l + 12)) {
    E.Reason = "bad checksum";
    return answer;
  }
  if (Length > size_t{l} + 14) E.Reason = std::to_string(Length - l - 14) + " bytes after the frame";
  E.Valid = true;
  E.SourceNad = U32(Data + 4);
  E.DestNad = U32(Data + 8);
  E.Direction = Data[12];
  E.Aux = Data[13];
  E.Command = Data[14];
  const uint16_t hash = U16(Data + l + 10);
  const std::vector<uint8_t> data(Data + 15, Data + l + 10);

  E.Outcome = "ignored";
  if (E.Direction != 0) {
    E.Reason = "not a request (direction " + std::to_string(E.Direction) + ")";
    return answer;
  }
  if (E.DestNad != 0 && E.DestNad != Config_.Nad) {
    E.Reason = "addressed to another controller";
    return answer;
  }
  E.PasswordOk = !Config_.Password || hash == TextChecksum(*Config_.Password, 0);
  if (!*E.PasswordOk) {
    E.Reason = "wrong password hash";
    return answer;
  }

  E.RequestNo = ++Requests_;
  while (NextStampChange_ < Config_.StampChanges.size() &&
         Config_.StampChanges[NextStampChange_].AfterRequests < Requests_) {
    SetStamp(Config_.StampChanges[NextStampChange_++].Stamp);
    E.StampChanged = Stamp_;
  }

  const auto command = static_cast<uint8_t>(E.Command);
  const bool wellFormed = Decode(command, data, E);
  const TFaults& f = Config_.Faults;
  if (f.Silent || (f.SilentAfterRequests && Requests_ > *f.SilentAfterRequests)) {
    E.Outcome = "silent";
    E.Faults.push_back(f.Silent ? "silent" : "silent_after_requests");
    return answer;
  }
  if (!wellFormed) {
    E.Reason = command == cmdPing || command == cmdStatus || command == cmdReadBlock || command == cmdReadVars ||
                       command == cmdWriteVars
                   ? "malformed request data"
                   : "unknown command";
    return answer;
  }
  const bool hit = FaultsHit(f, command);
  if (hit && Rng_.Chance(f.Drop)) {
    E.Outcome = "dropped";
    E.Faults.push_back("drop");
    return answer;
  }

  const std::vector<uint8_t> payload = Execute(command, E);
  if (hit && Rng_.Chance(f.DropAnswer)) {
    E.Outcome = "dropped";
    E.Faults.push_back("drop_answer");
    return answer;
  }
  uint8_t direction = 1;
  if (hit && Rng_.Chance(f.WrongDirection)) {
    direction = 0;
    E.Faults.push_back("wrong_direction");
  }
  std::vector<uint8_t> frame = BuildAnswerFrame(Config_.Nad, E.SourceNad, direction, payload.data(), payload.size());
  E.AnswerLength = frame.size();
  if (hit && Rng_.Chance(f.Corrupt)) {
    const size_t at = f.CorruptAt >= 0 && static_cast<size_t>(f.CorruptAt) < frame.size()
                          ? static_cast<size_t>(f.CorruptAt)
                          : static_cast<size_t>(Rng_.Next() % frame.size());
    frame[at] ^= static_cast<uint8_t>(1 + Rng_.Next() % 255);
    E.CorruptAt = static_cast<int32_t>(at);
    E.Faults.push_back("corrupt");
  }
  if (hit && Rng_.Chance(f.Junk)) {
    // Neither nibble is A or 5, so the hex text of the junk never shows
    // "AA55", not even across the boundary to the frame.
    static const uint8_t kNibbles[] = {0, 1, 2, 3, 4, 6, 7, 8, 9, 11, 12, 13, 14, 15};
    std::vector<uint8_t> junk(f.JunkBytes);
    for (uint8_t& b : junk)
      b = static_cast<uint8_t>(kNibbles[Rng_.Next() % std::size(kNibbles)] << 4 |
                               kNibbles[Rng_.Next() % std::size(kNibbles)]);
    frame.insert(frame.begin(), junk.begin(), junk.end());
    E.Faults.push_back("junk");
  }
  if (hit && Rng_.Chance(f.Split)) {
    const size_t at = std::clamp<size_t>(f.SplitAt > 0 ? static_cast<size_t>(f.SplitAt) : frame.size() / 2, 1,
                                         frame.size() - 1);
    answer.Datagrams.emplace_back(frame.begin(), frame.begin() + static_cast<std::ptrdiff_t>(at));
    answer.Datagrams.emplace_back(frame.begin() + static_cast<std::ptrdiff_t>(at), frame.end());
    E.SplitAt = static_cast<int32_t>(at);
    E.Faults.push_back("split");
  } else {
    answer.Datagrams.push_back(std::move(frame));
  }
  if (hit && Rng_.Chance(f.Duplicate)) {
    if (f.DuplicateDelayMs) {
      answer.Copies = answer.Datagrams;
      answer.CopyDelayMs = f.DuplicateDelayMs;
      E.DuplicateDelayMs = f.DuplicateDelayMs;
    } else {
      const size_t n = answer.Datagrams.size();
      for (size_t i = 0; i < n; ++i) answer.Datagrams.push_back(answer.Datagrams[i]);
    }
    E.Faults.push_back("duplicate");
  }
  if (hit && f.DelayMs && (f.DelayChance >= 1 || Rng_.Chance(f.DelayChance))) {
    answer.DelayMs = f.DelayMs;
    E.DelayMs = f.DelayMs;
    E.Faults.push_back("delay");
  }
  if (hit && Rng_.Chance(f.Crosstalk)) {
    answer.Crosstalk = true;
    E.Faults.push_back("crosstalk");
  }
  E.Outcome = "answered";
  return answer;
}

void TSimController::SetStamp(uint32_t Stamp) {
  Stamp_ = Stamp;
  Code_.WriteU32(kHeaderAddress + kStampOffset, Stamp);
}

void TSimController::SetStatus(uint8_t First, uint8_t Second) {
  Status_[0] = First;
  Status_[1] = Second;
}

void TSimController::PatchCode(uint32_t Address, const std::vector<uint8_t>& Bytes) {
  Code_.Write(Address, Bytes.data(), Bytes.size());
}

std::vector<uint8_t> TSimController::ReadCode(uint32_t Address, size_t Count) const {
  return Code_.Read(Address, Count);
}

std::vector<uint8_t> TSimController::ReadVarMemory(uint16_t Address, size_t Count) {
  RefreshClockVars();
  std::vector<uint8_t> out(std::min<size_t>(Count, kVarMemorySize));
  for (size_t k = 0; k < out.size(); ++k) out[k] = Vars_[static_cast<uint16_t>(Address + k)];
  return out;
}

std::optional<uint32_t> TSimController::ReadVarRaw(const std::string& Name, int Index) {
  const TSimVariable* v = FindGlobal(Name);
  if (!v) return std::nullopt;
  const auto a = ElementAddress(*v, Index);
  if (!a) return std::nullopt;
  RefreshClockVars();
  return LoadVar(*a, ElementSize(v->VarType));
}

std::optional<double> TSimController::ReadVarValue(const std::string& Name, int Index) {
  const std::optional<uint32_t> raw = ReadVarRaw(Name, Index);
  if (!raw) return std::nullopt;
  switch (FindGlobal(Name)->VarType) {
    case vtInt: return static_cast<int16_t>(*raw);
    case vtLong: return static_cast<int32_t>(*raw);
    case vtReal: {
      float f = 0;
      std::memcpy(&f, &*raw, sizeof f);
      return f;
    }
    default: return *raw;
  }
}

bool TSimController::WriteVarRaw(const std::string& Name, int Index, uint32_t Raw) {
  const TSimVariable* v = FindGlobal(Name);
  if (!v) return false;
  const auto a = ElementAddress(*v, Index);
  if (!a) return false;
  StoreVar(*a, ElementSize(v->VarType), Raw);
  return true;
}

}  // namespace tavex::sim

// The controller services of TCommunicator: each builds one request, runs it
// with Transact and interprets the accepted answer's payload.
#include <array>
#include <cstring>

#include "abus/uABus.h"
#include "comm/hCodeMemory.h"
#include "comm/uCodeMemory.h"
#include "comm/uCommunication.h"
#include "vars/uTavexVars.h"

namespace tavex {

namespace {

constexpr int kMaxVarAddresses = 101;
constexpr int kHeaderTries = 5;

inline uint16_t Get16(const uint8_t* p) { return static_cast<uint16_t>(p[0] | (p[1] << 8)); }
inline uint32_t Get32(const uint8_t* p) {
  return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) |
         (static_cast<uint32_t>(p[2]) << 16) | (static_cast<uint32_t>(p[3]) << 24);
}
inline void Put16(uint8_t* p, uint16_t v) {
  p[0] = static_cast<uint8_t>(v);
  p[1] = static_cast<uint8_t>(v >> 8);
}
inline void Put32(uint8_t* p, uint32_t v) {
  Put16(p, static_cast<uint16_t>(v));
  Put16(p + 2, static_cast<uint16_t>(v >> 16));
}

// Size class of a type on the wire: 1, 2, 4 bytes, or 0 when not transferred.
int WireSize(uint8_t type) {
  switch (type) {
    case vtBit:
      return 1;
    case vtWord:
    case vtInt:
      return 2;
    case vtLong:
    case vtReal:
      return 4;
    default:
      return 0;
  }
}

// One batch of a variable exchange: the elements in wire order (bytes, then
// words, then longs, each pass in list order) and the three counts.
struct TBatch {
  std::array<TTavexVar*, kVarBatch> Vars{};
  std::array<uint16_t, kMaxVarAddresses> Addresses{};
  int N[3] = {0, 0, 0};
  int Total() const { return N[0] + N[1] + N[2]; }

  void Collect(TTavexVarList& list, int from, int to) {
    int k = 0;
    for (int cls : {1, 2, 4}) {
      for (int i = from; i < to; ++i) {
        TTavexVar* v = list.Items(i);
        if (v == nullptr || WireSize(v->VarType) != cls) continue;
        Vars[static_cast<size_t>(k)] = v;
        Addresses[static_cast<size_t>(k)] = static_cast<uint16_t>(v->GetAddress());
        ++k;
        ++N[cls == 1 ? 0 : (cls == 2 ? 1 : 2)];
      }
    }
  }
};

}  // namespace

void TCommunicator::ClearPayload() {
  std::lock_guard<std::mutex> g(Lock_);
  Last_.PayloadText.clear();
  Last_.FrameText.clear();
}

int TCommunicator::PayloadBytes(uint8_t* Buf) const {
  std::lock_guard<std::mutex> g(Lock_);
  int n = 0;
  HexToBytes(Last_.PayloadText, std::span<uint8_t>(Buf, kFrameBufSize), n, false);
  return n;
}

void TCommunicator::DoProgress(int Position, int Count) {
  if (!OnProgress) return;
  int ignored = 0;
  OnProgress(Position, Count, ignored);
}

bool TCommunicator::SendPing() { return SendCommand(cmdPing); }

bool TCommunicator::Ping() {
  const bool ok = SendPing();
  if (ok) RemoteIP = LastFrame().PeerIP;
  return ok;
}

bool TCommunicator::ReadStatus(uint8_t& First, uint8_t& Second, bool* Answered) {
  if (Answered != nullptr) *Answered = false;
  if (!SendCommand(cmdRunStatus)) return false;
  if (Answered != nullptr) *Answered = true;
  std::array<uint8_t, kFrameBufSize> buf;
  if (PayloadBytes(buf.data()) < 2) return false;
  bool ok = true;
  if (buf[0] <= 2)
    First = buf[0];
  else
    ok = false;
  if (buf[1] <= 5)
    Second = buf[1];
  else
    ok = false;
  return ok;
}

bool TCommunicator::IsPlcRunning() {
  uint8_t first = 0, second = 0;
  for (int i = 0; i < Retries; ++i) {
    if (ReadStatus(first, second)) return first == 1 && second == 2;
  }
  return false;
}

bool TCommunicator::ReadBlock(uint16_t Page, uint16_t Count, uint8_t* Buf) {
  std::array<uint8_t, kMaxRequestFrame> req{};
  Put16(&req[0], Page);
  Put16(&req[2], Count);
  uint16_t len = 4;
  if (!BuildFrame(kToolNad, Nad, cmdReadBlock, 0, 0, req, len, PasswordHash)) return false;
  if (!Transact(req.data(), len)) return false;
  const int n = PayloadBytes(Buf);
  ClearPayload();
  return n >= Count;
}

bool TCommunicator::ReadMemory(int32_t Address, int32_t Size, TMemoryStream* Stream) {
  if (Stream == nullptr) return false;
  Stream->Clear();
  // Page numbers are 16 bits: a range beyond them would wrap around and
  // read the wrong memory, or ask for pages without end.
  if (Address < 0 || Size < 0 || int64_t{Address} + Size > kMemoryLimit) return false;

  const int f = Address / kPageSize;
  const int o = Address % kPageSize;
  const int b = (Address + Size) / kPageSize - f + 1;
  std::array<uint8_t, kFrameBufSize> buf;
  for (int i = 0; i < b; ++i) {
    const int n = (i < b - 1) ? kPageSize : Address + Size - f * kPageSize - (b - 1) * kPageSize;
    if (n < 0) return false;
    if (n > 0) {
      buf.fill(0);
      if (!ReadBlock(static_cast<uint16_t>(f + i), static_cast<uint16_t>(n), buf.data()))
        return false;
      if (i == 0)
        Stream->Write(buf.data() + o, static_cast<size_t>(n - o));
      else
        Stream->Write(buf.data(), static_cast<size_t>(n));
    }
    DoProgress(i + 1, b);
  }
  Stream->SetPosition(0);
  return true;
}

bool TCommunicator::ReadCodeHeader(std::vector<uint8_t>& Header) {
  TMemoryStream s;
  if (!ReadMemory(kCodeHeaderAddress, kCodeHeaderSize, &s)) return false;
  Header.assign(s.Bytes().begin(), s.Bytes().end());
  return Header.size() == static_cast<size_t>(kCodeHeaderSize);
}

bool TCommunicator::ReadCodeHeaderStart(std::vector<uint8_t>& Header) {
  TMemoryStream s;
  if (!ReadMemory(kCodeHeaderAddress, kCodeHeaderStartSize, &s)) return false;
  Header.assign(s.Bytes().begin(), s.Bytes().end());
  return Header.size() == static_cast<size_t>(kCodeHeaderStartSize);
}

bool TCommunicator::HasProgram() {
  std::vector<uint8_t> h;
  for (int i = 0; i < kHeaderTries; ++i) {
    if (ReadCodeHeaderStart(h)) return ParseCodeHeader(h).Valid;
  }
  return false;
}

bool TCommunicator::IsProgramUnchanged() {
  std::vector<uint8_t> h;
  bool ok = false;
  for (int i = 0; i < kHeaderTries && !ok; ++i) ok = ReadCodeHeaderStart(h);
  const TCodeHeader header = ParseCodeHeader(h);
  if (!ok || !header.Valid) return false;
  const bool same = header.Stamp == CodeStamp;
  CodeStamp = header.Stamp;
  return same;
}

bool TCommunicator::ReadAlcArchive(std::unique_ptr<TMemoryStream>& Stream) {
  Stream.reset();
  std::vector<uint8_t> h;
  if (!ReadCodeHeader(h)) return false;
  const TCodeHeader header = ParseCodeHeader(h);
  if (!header.Valid || header.DirCount <= 0) return false;
  CodeStamp = header.Stamp;
  if (!DirectoryReachable(header)) return false;

  TMemoryStream dir;
  if (!ReadMemory(header.DirAddress, DirectorySize(header), &dir)) return false;
  const std::optional<TDirEntry> alc = FindAlcEntry(dir.Bytes(), header.DirCount);
  if (!alc) return false;
  Stream = std::make_unique<TMemoryStream>();
  return ReadMemory(alc->Address, alc->Size, Stream.get());
}

bool TCommunicator::ReadVars(int NBytes, int NWords, int NLongs, const uint16_t* Addresses,
                             uint8_t* Buf) {
  const int total = NBytes + NWords + NLongs;
  if (NBytes < 0 || NWords < 0 || NLongs < 0 || total > kMaxVarAddresses) return false;
  std::array<uint8_t, kMaxRequestFrame> req{};
  Put16(&req[0], static_cast<uint16_t>(NBytes));
  Put16(&req[2], static_cast<uint16_t>(NWords));
  Put16(&req[4], static_cast<uint16_t>(NLongs));
  for (int i = 0; i < total; ++i) Put16(&req[6 + 2 * i], Addresses[i]);
  uint16_t len = static_cast<uint16_t>(6 + 2 * total);
  if (!BuildFrame(kToolNad, Nad, cmdReadVars, 0, 0, req, len, PasswordHash)) return false;
  if (!Transact(req.data(), len)) return false;
  return PayloadBytes(Buf) >= NBytes + 2 * NWords + 4 * NLongs;
}

bool TCommunicator::WriteVars(int NBytes, int NWords, int NLongs, const uint16_t* Addresses,
                              const uint8_t* Values) {
  const int total = NBytes + NWords + NLongs;
  if (NBytes < 0 || NWords < 0 || NLongs < 0 || total > kMaxVarAddresses) return false;
  const int valueBytes = NBytes + 2 * NWords + 4 * NLongs;
  std::array<uint8_t, kMaxRequestFrame> req{};
  Put16(&req[0], static_cast<uint16_t>(NBytes));
  Put16(&req[2], static_cast<uint16_t>(NWords));
  Put16(&req[4], static_cast<uint16_t>(NLongs));
  for (int i = 0; i < total; ++i) Put16(&req[6 + 2 * i], Addresses[i]);
  if (valueBytes > 0) std::memcpy(&req[6 + 2 * total], Values, static_cast<size_t>(valueBytes));
  uint16_t len = static_cast<uint16_t>(6 + 2 * total + valueBytes);
  if (!BuildFrame(kToolNad, Nad, cmdWriteVars, 0, 0, req, len, PasswordHash)) return false;
  return Transact(req.data(), len);
}

bool TCommunicator::ReadVarList(TTavexVarList* List) {
  if (List == nullptr) return false;
  const int count = List->Count();
  if (count == 0) return true;
  std::array<uint8_t, kFrameBufSize> buf;
  for (int k = 0; k <= count / kVarBatch; ++k) {
    TBatch batch;
    batch.Collect(*List, k * kVarBatch, std::min(count, k * kVarBatch + kVarBatch));
    buf.fill(0);
    if (!ReadVars(batch.N[0], batch.N[1], batch.N[2], batch.Addresses.data(), buf.data()))
      return false;
    const uint8_t* p = buf.data();
    for (int i = 0; i < batch.Total(); ++i) {
      TTavexVar* v = batch.Vars[static_cast<size_t>(i)];
      const int size = WireSize(v->VarType);
      const uint32_t raw = size == 1 ? p[0] : (size == 2 ? Get16(p) : Get32(p));
      v->SetRawValue(raw);
      p += size;
    }
  }
  return true;
}

bool TCommunicator::WriteVarList(TTavexVarList* List, TWriteProgress* Progress) {
  TWriteProgress progress;
  if (Progress != nullptr) *Progress = progress;
  if (List == nullptr || List->Count() == 0) return false;
  const int count = List->Count();
  progress.Batches = (count + kVarBatch - 1) / kVarBatch;
  std::array<uint8_t, kFrameBufSize> values;
  for (int k = 0; k <= count / kVarBatch; ++k) {
    const int end = std::min(count, k * kVarBatch + kVarBatch);
    TBatch batch;
    batch.Collect(*List, k * kVarBatch, std::min(count, k * kVarBatch + kVarBatch));
    values.fill(0);
    uint8_t* p = values.data();
    for (int i = 0; i < batch.Total(); ++i) {
      const TTavexVar* v = batch.Vars[static_cast<size_t>(i)];
      const uint32_t raw = v->GetRawValue();
      switch (WireSize(v->VarType)) {
        case 1:
          *p = static_cast<uint8_t>(raw);
          p += 1;
          break;
        case 2:
          Put16(p, static_cast<uint16_t>(raw));
          p += 2;
          break;
        default:
          Put32(p, raw);
          p += 4;
          break;
      }
    }
    // A request refused before sending (the run was stopped) leaves the
    // send count as it was: its items were never sent.
    const uint64_t sends = SendCount_;
    const bool acknowledged =
        WriteVars(batch.N[0], batch.N[1], batch.N[2], batch.Addresses.data(), values.data());
    if (acknowledged || SendCount_ != sends) progress.Sent = end;
    if (acknowledged) {
      progress.Acknowledged = end;
      if (end > k * kVarBatch) ++progress.BatchesAcknowledged;
    }
    if (Progress != nullptr) *Progress = progress;
    if (!acknowledged) return false;
  }
  return true;
}

}  // namespace tavex

// The receive path: datagrams fed to HandleDatagram while a transaction (or
// a whole service) waits, through the communicator's send seam, without a
// socket or a thread. A reference model of the receive algorithm runs beside
// it; state and last frame must agree after every datagram.
//
// Input: byte 0 chooses the operation, byte 1 the number of attempts; then
// records, each a 16-bit little-endian header H and H & 0x0FFF data bytes.
// A record of length 0 ends a group; bit 15 of such a header makes that
// send fail. Group 0 arrives before the operation starts (no transaction);
// group k (k >= 1) arrives from inside the k-th send.
#include <algorithm>
#include <array>
#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "FuzzSupport.h"
#include "abus/uABus.h"
#include "comm/hCommunication.h"
#include "comm/uCommunication.h"
#include "vars/uTavexVars.h"

using namespace tavex;

namespace {

struct TRecord {
  bool EndOfGroup = false;
  bool FailSend = false;
  const uint8_t* Data = nullptr;
  size_t Size = 0;
};

struct TInput {
  std::vector<std::vector<TRecord>> Groups;  // each ends with its end record (or input end)
  size_t Next = 0;
};

TInput Split(const uint8_t* data, size_t size) {
  TInput in;
  in.Groups.emplace_back();
  size_t p = 0;
  while (p + 2 <= size) {
    const uint16_t h = static_cast<uint16_t>(data[p] | (data[p + 1] << 8));
    p += 2;
    TRecord r;
    const size_t len = std::min<size_t>(h & 0x0FFF, size - p);
    if ((h & 0x0FFF) == 0) {
      r.EndOfGroup = true;
      r.FailSend = (h & 0x8000) != 0;
      in.Groups.back().push_back(r);
      in.Groups.emplace_back();
      continue;
    }
    r.Data = data + p;
    r.Size = len;
    p += len;
    in.Groups.back().push_back(r);
  }
  return in;
}

// The receive algorithm as the transport documents it, kept apart from the
// implementation so that the two check each other.
struct TModel {
  TTransState State = TTransState::Idle;
  std::string Rx;
  TLastFrame Last;
  bool Collecting = false;
  std::vector<std::string> Nads, Ips;
  // Who may answer the waiting request: NAD (0: anyone) and address
  // (empty: any).
  bool Expecting = false;
  uint32_t ExpectNad = 0;
  std::string ExpectIP;
  // While collecting: each sender's unfinished frame, and what was skipped.
  std::map<std::pair<std::string, uint16_t>, std::string> Partials;
  uint64_t Skipped = 0;
  uint64_t Unlisted = 0;  // answers beyond the lists' bound

  // A parsed frame becomes the last frame.
  void Keep(const std::string& Frame, const std::string& Payload, uint32_t Src, uint32_t Dst,
            uint8_t Dir, const std::string& IP, uint16_t Port) {
    Last.Direction = Dir;
    Last.SourceNad = Src;
    Last.DestNad = Dst;
    Last.FrameText = Frame;
    Last.PayloadText = Payload;
    Last.PeerIP = IP;
    Last.PeerPort = Port;
  }

  // Nad: the request's destination; IP: the unicast address it went to
  // (here always a controller's, never a broadcast address).
  void Arm(uint32_t Nad, const std::string& IP) {
    Expecting = true;
    ExpectNad = Nad;
    ExpectIP = Nad == kBroadcastNad ? std::string() : IP;
    Rx.clear();
    Last.FrameText.clear();
    Last.PayloadText.clear();
    Last.PeerIP.clear();
    State = TTransState::Waiting;
  }

  void Datagram(const uint8_t* d, size_t n, const std::string& ip, uint16_t port) {
    n = std::min(n, TCommunicator::kMaxDatagram);
    const std::string text = BytesToHex(d, n);
    if (Collecting) {
      Collect(text, ip, port);
      return;
    }
    const size_t start = text.find("AA55");
    if (State != TTransState::Receiving && start != std::string::npos) State = TTransState::Receiving;
    if (State != TTransState::Receiving) {
      Rx.clear();
      return;
    }
    if (Rx.empty()) {
      if (start != std::string::npos) Rx = text.substr(start);
    } else {
      Rx += text;
      if (Rx.size() > TCommunicator::kMaxReceiveText) {
        Rx.clear();
        State = TTransState::Waiting;
        return;
      }
    }
    // The unparsed text stays bounded: one whole datagram, or the limit.
    FUZZ_CHECK(Rx.size() <= std::max(TCommunicator::kMaxReceiveText, 2 * TCommunicator::kMaxDatagram));
    std::string frame, payload;
    uint32_t src = 0, dst = 0;
    uint8_t dir = 0, aux = 0;
    if (!ParseFrame(Rx, frame, src, dst, dir, aux, payload)) return;
    // A transaction takes only the asked controller's frames.
    if (Expecting && !Collecting) {
      const bool fromAsked = (ExpectNad == kBroadcastNad || src == ExpectNad) &&
                             (ExpectIP.empty() || ip == ExpectIP);
      const bool toSomeoneElse = ExpectNad != kBroadcastNad && dir == 1 && dst != kToolNad;
      if (!fromAsked || toSomeoneElse) {
        Rx.clear();
        State = TTransState::Waiting;
        return;
      }
    }
    Keep(frame, payload, src, dst, dir, ip, port);
    State = TTransState::Idle;
  }

  // Autodetect's listening: every sender on its own; a frame start waits
  // for its rest from the same sender only while the text is shorter than
  // its length field says; nothing ends the listening.
  void Collect(const std::string& text, const std::string& ip, uint16_t port) {
    const auto key = std::make_pair(ip, port);
    std::string rx;
    if (auto it = Partials.find(key); it != Partials.end()) {
      rx = it->second + text;
      Partials.erase(it);
    } else if (const size_t start = text.find("AA55"); start != std::string::npos) {
      rx = text.substr(start);
    } else {
      ++Skipped;
      return;
    }
    while (!rx.empty()) {
      FUZZ_CHECK(rx.compare(0, 4, "AA55") == 0);
      const std::string hex = "0123456789ABCDEF";
      bool digits = rx.size() >= 8;
      for (size_t i = 4; digits && i < 8; ++i) digits = hex.find(rx[i]) != std::string::npos;
      size_t need = 0;
      if (digits) {
        const size_t L = hex.find(rx[4]) * 16 + hex.find(rx[5]) + (hex.find(rx[6]) * 16 + hex.find(rx[7])) * 256;
        need = L >= kMinFrameLen && L <= kMaxFrameLen ? (L + 14) * 2 : 0;
      }
      const bool shortText = rx.size() < 8 || (need > 0 && rx.size() < need);
      if (shortText) {
        FUZZ_CHECK(rx.size() <= TCommunicator::kMaxReceiveText);
        if (Partials.size() < TCommunicator::kMaxPartialFrames) Partials[key] = rx;
        else ++Skipped;
        return;
      }
      std::string frame, payload;
      uint32_t src = 0, dst = 0;
      uint8_t dir = 0, aux = 0;
      if (need > 0 && ParseFrame(rx, frame, src, dst, dir, aux, payload)) {
        Keep(frame, payload, src, dst, dir, ip, port);
        if (dir == 1 && aux == 0 && dst == kToolNad) {
          if (Nads.size() < TCommunicator::kMaxDetected) {
            Nads.push_back(std::to_string(src));
            Ips.push_back(ip);
          } else {
            ++Unlisted;
          }
        } else {
          ++Skipped;
        }
      } else {
        ++Skipped;
        rx = rx.substr(4);
      }
      const size_t next = rx.find("AA55");
      rx = next == std::string::npos ? std::string() : rx.substr(next);
    }
  }

  // The end of the listening: unfinished frames count as skipped.
  void EndCollecting() {
    Skipped += Partials.size();
    Partials.clear();
    Collecting = false;
  }
};

bool SameLast(const TLastFrame& a, const TLastFrame& b) {
  return a.FrameText == b.FrameText && a.PayloadText == b.PayloadText && a.PeerIP == b.PeerIP &&
         a.PeerPort == b.PeerPort && a.SourceNad == b.SourceNad && a.DestNad == b.DestNad &&
         a.Direction == b.Direction;
}

// A frame text the communicator holds must parse whole again, to the same fields.
void CheckFrameText(const TLastFrame& f) {
  std::string rx = f.FrameText, frame, payload;
  uint32_t src = 0, dst = 0;
  uint8_t dir = 0, aux = 0;
  FUZZ_CHECK(ParseFrame(rx, frame, src, dst, dir, aux, payload));
  FUZZ_CHECK(rx.empty());
  FUZZ_CHECK(frame == f.FrameText && payload == f.PayloadText);
  FUZZ_CHECK(src == f.SourceNad && dst == f.DestNad && dir == f.Direction);
}

// A request the services send is a valid frame from the tool to Nad.
void CheckRequest(const uint8_t* d, size_t n, const TCommunicator& comm) {
  FUZZ_CHECK(n >= kFrameOverhead && n <= kMaxRequestFrame);
  std::string rx = BytesToHex(d, n), frame, payload;
  uint32_t src = 0, dst = 0;
  uint8_t dir = 0, aux = 0;
  FUZZ_CHECK(ParseFrame(rx, frame, src, dst, dir, aux, payload));
  FUZZ_CHECK(rx.empty());
  FUZZ_CHECK(src == kToolNad && dst == comm.Nad && dir == 0 && aux == 0);
  FUZZ_CHECK(d[n - 4] == static_cast<uint8_t>(comm.PasswordHash) &&
             d[n - 3] == static_cast<uint8_t>(comm.PasswordHash >> 8));
}

const char* const kPeers[3] = {"127.0.0.2", "127.0.0.3", "10.0.0.9"};

// Feeds one group to both the communicator and the model, comparing them
// after every datagram. Returns the group's send result.
bool Feed(TCommunicator& comm, TModel& model, TInput& in) {
  bool sent = true;
  if (in.Next >= in.Groups.size()) return true;  // nothing more arrives: the attempt times out
  size_t k = 0;
  for (const TRecord& r : in.Groups[in.Next++]) {
    if (r.EndOfGroup) {
      sent = !r.FailSend;
      break;
    }
    const std::string ip = kPeers[k % 3];
    const uint16_t port = static_cast<uint16_t>(8442 + k % 2);
    ++k;
    comm.HandleDatagram(r.Data, r.Size, ip, port);
    model.Datagram(r.Data, r.Size, ip, port);
    const TTransState s = comm.State();
    FUZZ_CHECK(s == TTransState::Idle || s == TTransState::Waiting || s == TTransState::Receiving);
    FUZZ_CHECK(s == model.State);
    FUZZ_CHECK(SameLast(comm.LastFrame(), model.Last));
  }
  return sent;
}


}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  fuzz::NoNetwork();
  if (size < 2) return 0;
  const uint8_t mode = data[0] % 8;
  TInput in = Split(data + 2, size - 2);

  TCommunicator comm;
  comm.Retries = 1 + data[1] % 3;
  comm.Nad = 1000;
  comm.RemoteIP = "127.0.0.2";
  comm.PasswordHash = 0x1234;
  // Every reading of the clock is far beyond the last: an attempt that
  // nothing ended times out at its first look, and nothing can hang.
  uint32_t now = 0;
  comm.TickSource = [&now] { return now += 1000000; };

  TModel model;
  uint64_t sends = 0;
  std::vector<bool> accepted;  // per attempt: the model's verdict
  comm.SendHook = [&](const uint8_t* d, size_t n, const std::string&, uint16_t) {
    CheckRequest(d, n, comm);
    ++sends;
    const uint32_t asked = static_cast<uint32_t>(d[8]) | (static_cast<uint32_t>(d[9]) << 8) |
                           (static_cast<uint32_t>(d[10]) << 16) | (static_cast<uint32_t>(d[11]) << 24);
    model.Arm(asked, comm.RemoteIP);
    FUZZ_CHECK(comm.State() == TTransState::Waiting);
    const bool sent = Feed(comm, model, in);
    accepted.push_back(sent && model.State == TTransState::Idle && model.Last.Direction == 1);
    // What the wait will do next: end at once, or time out.
    if (sent && model.State != TTransState::Idle) model.State = TTransState::Idle;
    if (!sent) model.State = TTransState::Idle;
    return sent;
  };

  // Group 0: datagrams while nothing waits.
  Feed(comm, model, in);

  switch (mode) {
    case 0: {
      const int retries = comm.Retries;
      const bool ok = comm.SendCommand(cmdPing);
      FUZZ_CHECK(sends >= 1 && sends <= static_cast<uint64_t>(retries));
      FUZZ_CHECK(ok == (!accepted.empty() && accepted.back()));
      for (size_t i = 0; i + 1 < accepted.size(); ++i) FUZZ_CHECK(!accepted[i]);
      if (ok) {
        const TLastFrame f = comm.LastFrame();
        FUZZ_CHECK(f.Direction == 1);
        CheckFrameText(f);
      }
      FUZZ_CHECK(comm.Timeout == kDefaultTimeoutMs);
      break;
    }
    case 1: {
      const bool ok = comm.Ping();
      if (ok) FUZZ_CHECK(comm.RemoteIP == comm.LastFrame().PeerIP);
      break;
    }
    case 2: {
      std::vector<std::string> nads{"stale"}, ips;
      model.Collecting = true;
      FUZZ_CHECK(comm.Autodetect(&nads, &ips, 1000));
      model.EndCollecting();
      FUZZ_CHECK(sends == 1);
      FUZZ_CHECK(nads == model.Nads && ips == model.Ips);
      const TDetectReport report = comm.DetectReport();
      FUZZ_CHECK(report.Skipped == model.Skipped);
      // No socket: nothing dropped by the system, only what the lists could not hold.
      FUZZ_CHECK(report.Lost == model.Unlisted && report.Senders.size() <= TCommunicator::kMaxSkippedSenders);
      uint64_t named = 0;
      for (const auto& sender : report.Senders) named += sender.Foreign + sender.Damaged;
      FUZZ_CHECK(named <= report.Skipped);
      FUZZ_CHECK(nads.size() <= TCommunicator::kMaxDetected);
      FUZZ_CHECK(comm.Timeout == kDefaultTimeoutMs && comm.Retries == kDefaultRetries);
      FUZZ_CHECK(comm.Nad == 1000 && comm.RemoteIP == "127.0.0.2");
      break;
    }
    case 3: {
      uint8_t first = 7, second = 9;
      if (comm.ReadStatus(first, second)) FUZZ_CHECK(first <= 2 && second <= 5);
      comm.IsPlcRunning();
      break;
    }
    case 4: {
      std::array<uint8_t, kFrameBufSize> buf{};
      const uint16_t count = static_cast<uint16_t>(1 + (size > 2 ? data[2] : 0));
      comm.ReadBlock(0x0200, count, buf.data());
      TMemoryStream s;
      if (comm.ReadMemory(0x1F0, 300, &s)) FUZZ_CHECK(s.Size() == 300);
      break;
    }
    case 5: {
      comm.HasProgram();
      comm.IsProgramUnchanged();
      std::vector<uint8_t> h;
      if (comm.ReadCodeHeader(h)) FUZZ_CHECK(h.size() == 1104);
      break;
    }
    case 6: {
      TTavexVarList list;
      list.LoadFromAlcText(fuzz::kReceiveVars, -1);
      if (comm.ReadVarList(&list)) {
        for (int i = 0; i < list.Count(); ++i) {
          const TTavexVar* v = list.Items(i);
          if (v->VarType >= vtBit && v->VarType <= vtReal) {
            FUZZ_CHECK(v->ValueKnown);
            FUZZ_CHECK(v->Value.index() == static_cast<size_t>(v->VarType - 1));
          } else {
            FUZZ_CHECK(!v->ValueKnown);
          }
        }
      }
      break;
    }
    case 7: {
      std::unique_ptr<TMemoryStream> s;
      if (comm.ReadAlcArchive(s)) {
        FUZZ_CHECK(s != nullptr);
        FUZZ_CHECK(s->Size() > 0 && s->Size() <= 16u * 1024 * 1024);
      }
      break;
    }
  }
  FUZZ_CHECK(comm.State() == TTransState::Idle);
  return 0;
}

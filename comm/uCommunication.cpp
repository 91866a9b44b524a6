#include "comm/uCommunication.h"

#include <algorithm>
#include <array>
#include <chrono>
#include <ctime>
#include <thread>

#include "abus/uABus.h"
#include "comm/uUdpSocket.h"

namespace tavex {

namespace {

// Between checks of the time-out the waiter sleeps at most this long; a
// state change by the listener thread wakes it at once.
constexpr auto kPollInterval = std::chrono::milliseconds(5);

// Spinning this long before sleeping saves the cost of a thread wake-up on
// a fast network (an answer on loopback takes some tens of microseconds).
constexpr auto kSpinBeforeSleep = std::chrono::microseconds(100);

// A clock stepped back by more than this is not taken as a reason to drop.
constexpr int64_t kMaxStaleAgeNs = int64_t{10} * 1000000000;
// A late answer later than this (beyond any socket's rest) means the clock
// was stepped meanwhile.
constexpr int64_t kMaxLateNs = int64_t{3600} * 1000000000;

int64_t RealtimeNs() {
  timespec ts{};
  clock_gettime(CLOCK_REALTIME, &ts);
  return static_cast<int64_t>(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

// The destination NAD of a built request frame (bytes 8 to 11).
uint32_t RequestDestNad(const uint8_t* Frame, uint16_t Len) {
  if (Frame == nullptr || Len < 12) return kBroadcastNad;
  return static_cast<uint32_t>(Frame[8]) | (static_cast<uint32_t>(Frame[9]) << 8) |
         (static_cast<uint32_t>(Frame[10]) << 16) | (static_cast<uint32_t>(Frame[11]) << 24);
}

// Whether Dest addresses more than one host from this adapter: the limited
// broadcast, or a directed broadcast of the adapter's network.
bool IsBroadcastFor(const std::string& Dest, const TEthernetAdapterInfo& Adapter) {
  if (Dest == "255.255.255.255" || Dest == Adapter.Broadcast) return true;
  const uint32_t mask = IPToInt(Adapter.Mask);
  const uint32_t ip = IPToInt(Dest);
  return mask != 0 && mask != 0xFFFFFFFFu && ip != 0 && (ip | mask) == 0xFFFFFFFFu;
}

uint32_t SteadyTicks() {
  using namespace std::chrono;
  return static_cast<uint32_t>(
      duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count());
}

int HexDigit(char C) {
  if (C >= '0' && C <= '9') return C - '0';
  if (C >= 'A' && C <= 'F') return C - 'A' + 10;
  return -1;
}

// How far the frame at the head of Text (which starts with "AA55") has
// come: still shorter than its header says, long enough to be parsed, or no
// frame at all (its length field is no frame's, or not hex).
enum class TFrameStart { Short, Whole, Broken };
TFrameStart FrameStart(const std::string& Text) {
  if (Text.size() < 8) return TFrameStart::Short;
  int digits[4];
  for (int i = 0; i < 4; ++i) {
    digits[i] = HexDigit(Text[4 + static_cast<size_t>(i)]);
    if (digits[i] < 0) return TFrameStart::Broken;
  }
  // Little-endian: the low byte first.
  const size_t len = static_cast<size_t>((digits[2] << 12) | (digits[3] << 8) | (digits[0] << 4) | digits[1]);
  if (len < kMinFrameLen || len > kMaxFrameLen) return TFrameStart::Broken;
  return Text.size() < (len + 14) * 2 ? TFrameStart::Short : TFrameStart::Whole;
}

}  // namespace

TCommunicator::TCommunicator()
    : Socket_(std::make_unique<TUdpSocket>(
          [this](const uint8_t* d, size_t n, const std::string& ip, uint16_t port,
                 int64_t arrival, uint64_t generation) {
            HandleSocketDatagram(d, n, ip, port, arrival, generation);
          })) {
  // What reached a request's socket unread after the request ended (once
  // it was replaced, or ended its rest) may be a late answer.
  Socket_->SetDiscardHandler([this](uint64_t Generation, int64_t ArrivalNs) {
    std::lock_guard<std::mutex> g(Lock_);
    NoteAfterRequestLocked(Generation, ArrivalNs);
  });
  Adapter.AssignFromLocalHost();
}

TCommunicator::~TCommunicator() {
  // The listener thread reads and writes the fields below; it is joined
  // here, before any of them is destroyed.
  Socket_.reset();
}

uint32_t TCommunicator::Ticks() const { return TickSource ? TickSource() : SteadyTicks(); }

bool TCommunicator::Open(const std::string& AdapterID) {
  try {
    Socket_->Deactivate();
    const bool selected =
        AdapterID.empty() ? Adapter.AssignFromLocalHost() : Adapter.AssignFromID(AdapterID);
    if (!selected) return false;
    BindSocket();
    return Socket_->Activate();
  } catch (...) {
    return false;
  }
}

bool TCommunicator::Close() {
  try {
    Socket_->Deactivate();
    Socket_->ClearBinding();
    return true;
  } catch (...) {
    return false;
  }
}

void TCommunicator::Deactivate() { Socket_->Deactivate(); }

bool TCommunicator::IsActive() const { return Socket_->Active(); }

uint16_t TCommunicator::LocalPort() const { return Socket_->LocalPort(); }

uint64_t TCommunicator::UnsolicitedDropped() const {
  return UnsolicitedDropped_.load(std::memory_order_relaxed) + Socket_->Discarded();
}

void TCommunicator::BindSocket() {
  try {
    const bool wasActive = Socket_->Active();
    Socket_->Deactivate();
    Socket_->ClearBinding();
    Socket_->SetBinding(Adapter.IP, DirectConnection ? kDirectLocalPort : 0);
    if (wasActive) Socket_->Activate();
  } catch (...) {
  }
}

void TCommunicator::SetDirectConnection(bool Value) { DirectConnection = Value; }

void TCommunicator::SetNad(uint32_t Value) {
  if (Value == Nad) return;
  Nad = Value;
  RemoteIP.clear();
}

void TCommunicator::SetAddress(const std::string& Text) {
  AddressText = Text;
  std::string host;
  int32_t port = -1;
  if (!SplitHostPort(Text, host, port)) {
    host = Text;
    port = kDefaultPort;
  }
  if (port < 0) port = kDefaultPort;
  RemoteIP = host;
  RemotePort = port;
}

bool TCommunicator::Transact(const uint8_t* Frame, uint16_t Len) {
  // Every request leaves from a socket of its own, so an answer to an
  // earlier request (late, or a copy) arrives on a socket that is closed or
  // that nobody waits on. The attempts of one request share its socket: a
  // late answer to the first attempt answers the same frame. A direct
  // connection is bound to its fixed port and keeps it.
  if (StopFlag != nullptr && StopFlag->load(std::memory_order_relaxed)) {
    Stopped_ = true;
    Timeout = DefaultTimeout;
    return false;
  }
  const bool ownSocket = !SendHook && !DirectConnection;
  if (!DirectConnection) QuietMs_ = 0;
  const uint32_t askedNad = RequestDestNad(Frame, Len);
  std::string askedIP;  // the controller's address, once known
  bool accepted = false;
  int sends = 0;
  for (int attempt = 0; attempt < Retries && !accepted; ++attempt) {
    std::string dest;
    if (DirectConnection) {
      dest = "255.255.255.255";
    } else if (!RemoteIP.empty() && RemoteIP != "0.0.0.0") {
      dest = RemoteIP;
    } else if (IsValidIP(Adapter.Broadcast) && Adapter.Broadcast != "0.0.0.0") {
      dest = Adapter.Broadcast;
    } else {
      dest = "255.255.255.255";
    }

    if (attempt == 0 && ownSocket && !Socket_->Renew()) break;
    if (DirectConnection && QuietMs_ > 0) WaitQuiet();
    // A controller asked by its address answers from it; a host name is
    // looked up once for the comparison (the socket does its own look-up).
    if (attempt == 0 && askedNad != kBroadcastNad && !DirectConnection &&
        !IsBroadcastFor(dest, Adapter))
      askedIP = IsValidIP(dest) ? dest : ResolveHostIP(dest);

    {
      // Armed before sending, so that an immediate answer is not lost.
      std::lock_guard<std::mutex> g(Lock_);
      Expecting_ = true;
      ExpectNad_ = askedNad;
      ExpectIP_ = askedIP;
      RxText_.clear();
      Last_.FrameText.clear();
      Last_.PayloadText.clear();
      Last_.PeerIP.clear();
      WaitGeneration_ = Socket_->Generation();
      const int64_t armed = RealtimeNs();
      ArmedAtNs_.store(armed, std::memory_order_release);
      State_.store(TTransState::Waiting, std::memory_order_release);
      if (attempt > 0) ++Late_.Resent;
      // A request's own socket tells its late answers from anything else's.
      if (ownSocket && !Collecting_ && WaitGeneration_ != 0)
        NoteSendLocked(WaitGeneration_, armed, Timeout);
    }
    ++SendCount_;
    ++sends;
    const uint16_t port = static_cast<uint16_t>(RemotePort);
    const bool sent = SendHook ? SendHook(Frame, Len, dest, port) : Socket_->SendTo(Frame, Len, dest, port);
    if (!sent) {
      State_.store(TTransState::Idle, std::memory_order_release);
      accepted = false;
      break;
    }
    if (OnTrace) {
      try {
        OnTrace(true, dest, port, Frame, Len);
      } catch (...) {
      }
    }
    accepted = WaitForAnswer(Timeout);
    if (!accepted && AbandonOnStop && StopFlag != nullptr && StopFlag->load(std::memory_order_relaxed)) {
      // Stopped while waiting: the answer is not waited out, nor is the
      // request sent again.
      Stopped_ = true;
      if (DirectConnection) QuietMs_ = Timeout;
      break;
    }
    // On the fixed port of a direct connection a late answer would land in
    // the next wait: the next send waits out a quiet period first.
    if (DirectConnection && LastWaitTimedOut_) QuietMs_ = Timeout;
  }
  {
    std::lock_guard<std::mutex> g(Lock_);
    Expecting_ = false;
    if (!accepted && sends > 0 && !Collecting_) ++Late_.GivenUp;
  }
  // An answer to any attempt of this request may still be on its way: the
  // request's port is not handed out again before the last attempt's wait
  // would have ended had it started now.
  const uint32_t rest =
      static_cast<uint32_t>(std::max(0, Retries)) * static_cast<uint32_t>(std::max(0, Timeout));
  if (ownSocket) {
    Socket_->SetRest(rest);
    if (sends > 0)
      LateUntil_ = std::chrono::steady_clock::now() + std::chrono::milliseconds(rest);
  }
  Timeout = DefaultTimeout;
  return accepted;
}

void TCommunicator::WaitQuiet() {
  // The state is Idle here, so every datagram that arrives is dropped.
  const uint32_t start = Ticks();
  const uint32_t length = static_cast<uint32_t>(QuietMs_);
  QuietMs_ = 0;
  while (Ticks() - start <= length) {
    if (IdleHook) IdleHook();
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
}

bool TCommunicator::SendCommand(uint8_t Command) {
  std::array<uint8_t, kMaxRequestFrame> buf{};
  uint16_t len = 0;
  if (!BuildFrame(kToolNad, Nad, Command, 0, 0, buf, len, PasswordHash)) return false;
  return Transact(buf.data(), len);
}

bool TCommunicator::WaitForAnswer(int TimeoutMs) {
  const uint32_t start = Ticks();
  const auto spinUntil = std::chrono::steady_clock::now() + kSpinBeforeSleep;
  bool timedOut = false;
  while (State_.load(std::memory_order_acquire) != TTransState::Idle) {
    if (IdleHook) IdleHook();
    if (std::chrono::steady_clock::now() < spinUntil) {
      std::this_thread::yield();
    } else {
      std::unique_lock<std::mutex> l(Lock_);
      Changed_.wait_for(l, kPollInterval, [this] {
        return State_.load(std::memory_order_acquire) == TTransState::Idle;
      });
    }
    // Seen once is enough: during autodetect a later answer may already
    // have set the state back to Waiting.
    const bool ended = State_.load(std::memory_order_acquire) == TTransState::Idle;
    const uint32_t elapsed = Ticks() - start;  // unsigned: a wrapped counter does no harm
    // A stopped run abandons its wait at once (the answer, should it
    // come, lands on a socket nobody waits on).
    const bool stopped =
        !ended && AbandonOnStop && StopFlag != nullptr && StopFlag->load(std::memory_order_relaxed);
    if (stopped || TimeoutMs < 0 || elapsed > static_cast<uint32_t>(TimeoutMs)) {
      // An answer that arrived in this same poll still counts as too late.
      std::lock_guard<std::mutex> g(Lock_);
      timedOut = true;
      State_.store(TTransState::Idle, std::memory_order_release);
      break;
    }
    if (ended) break;
  }
  LastWaitTimedOut_ = timedOut;
  if (timedOut) return false;
  std::lock_guard<std::mutex> g(Lock_);
  return Last_.Direction == 1;
}

void TCommunicator::HandleDatagram(const uint8_t* Data, size_t Size, const std::string& SenderIP,
                                   uint16_t SenderPort) {
  HandleDatagramAt(Data, Size, SenderIP, SenderPort, 0);
}

void TCommunicator::HandleDatagramAt(const uint8_t* Data, size_t Size, const std::string& SenderIP,
                                     uint16_t SenderPort, int64_t ArrivalNs) {
  if (Data == nullptr) Size = 0;
  if (Size > kMaxDatagram) Size = kMaxDatagram;
  const std::string text = BytesToHex(Data, Size);
  std::lock_guard<std::mutex> g(Lock_);
  HandleLocked(text, SenderIP, SenderPort, ArrivalNs);
}

void TCommunicator::HandleSocketDatagram(const uint8_t* Data, size_t Size,
                                         const std::string& SenderIP, uint16_t SenderPort,
                                         int64_t ArrivalNs, uint64_t Generation) {
  if (Data == nullptr) Size = 0;
  if (Size > kMaxDatagram) Size = kMaxDatagram;
  const std::string text = BytesToHex(Data, Size);
  std::lock_guard<std::mutex> g(Lock_);
  if (OnTrace) {
    try {
      OnTrace(false, SenderIP, SenderPort, Data, Size);
    } catch (...) {
    }
  }
  // Only the socket of the request that waits may answer it: anything that
  // arrives between requests, or on an earlier request's socket, answers
  // nothing that is asked now.
  if (State_.load(std::memory_order_acquire) == TTransState::Idle ||
      Generation != WaitGeneration_) {
    UnsolicitedDropped_.fetch_add(1, std::memory_order_relaxed);
    NoteAfterRequestLocked(Generation, ArrivalNs);
    return;
  }
  HandleLocked(text, SenderIP, SenderPort, ArrivalNs);
}

void TCommunicator::HandleLocked(const std::string& text, const std::string& SenderIP,
                                 uint16_t SenderPort, int64_t ArrivalNs) {
  // Queued before the request left, so no answer to it: typically the second
  // copy of a duplicated answer on a direct connection's fixed port, read
  // only after the next request was armed. A large difference means the wall
  // clock was set back, not a stale copy. Checked under the lock that arming
  // takes, so that a request armed while this datagram is handled is seen.
  const int64_t armed = ArmedAtNs_.load(std::memory_order_acquire);
  if (ArrivalNs != 0 && armed != 0 && ArrivalNs < armed && armed - ArrivalNs < kMaxStaleAgeNs &&
      State_.load(std::memory_order_acquire) != TTransState::Idle) {
    StaleDropped_.fetch_add(1, std::memory_order_relaxed);
    return;
  }
  if (Collecting_) {
    CollectLocked(text, SenderIP, SenderPort);
    return;
  }
  const size_t start = text.find("AA55");
  TTransState state = State_.load(std::memory_order_acquire);
  if (state != TTransState::Receiving && start != std::string::npos) {
    state = TTransState::Receiving;
    State_.store(state, std::memory_order_release);
  }
  if (state != TTransState::Receiving) {
    RxText_.clear();
    return;
  }
  if (RxText_.empty()) {
    if (start != std::string::npos) RxText_.assign(text, start, std::string::npos);
  } else {
    RxText_ += text;
    if (RxText_.size() > kMaxReceiveText) {
      RxText_.clear();
      State_.store(TTransState::Waiting, std::memory_order_release);
      return;
    }
  }

  std::string frame, payload;
  uint32_t src = 0, dst = 0;
  uint8_t dir = 0, aux = 0;
  if (!ParseFrame(RxText_, frame, src, dst, dir, aux, payload)) return;

  // A transaction takes only its own controller's frames: another
  // controller's answer (a late one reaching a port handed out again, a
  // misdirected copy) would carry another machine's values. Dropped like a
  // late answer; the wait goes on for the real one.
  if (Expecting_ && !Collecting_) {
    const bool fromAsked = (ExpectNad_ == kBroadcastNad || src == ExpectNad_) &&
                           (ExpectIP_.empty() || SenderIP == ExpectIP_);
    const bool toSomeoneElse = ExpectNad_ != kBroadcastNad && dir == 1 && dst != kToolNad;
    if (!fromAsked || toSomeoneElse) {
      ForeignDropped_.fetch_add(1, std::memory_order_relaxed);
      RxText_.clear();
      State_.store(TTransState::Waiting, std::memory_order_release);
      return;
    }
  }

  StoreFrameLocked(frame, payload, src, dst, dir, aux, SenderIP, SenderPort);

  // Any parsed frame ends the wait (Autodetect's answers take
  // CollectLocked instead).
  State_.store(TTransState::Idle, std::memory_order_release);
  Changed_.notify_all();
}

void TCommunicator::CollectLocked(const std::string& Text, const std::string& SenderIP,
                                  uint16_t SenderPort) {
  // The answers of a whole network arrive interleaved, so one receive text
  // for all of them would join one sender's bytes to another's, and a
  // damaged frame would swallow every answer behind it (the list shown as
  // complete though it is not). Each sender is read on its own instead. An
  // answer is one datagram as a rule; a frame start whose frame is still
  // short waits for its rest from the same sender (address and port), so a
  // frame split over datagrams is still reassembled; a frame that is long
  // enough but does not validate, and a datagram without a frame start, are
  // skipped at once and counted with their sender. Nothing is held beyond
  // one frame per sender (a frame's own length bounds it) and
  // kMaxPartialFrames senders.
  std::string rx;
  const auto partial = std::find_if(Partials_.begin(), Partials_.end(), [&](const TPartialFrame& p) {
    return p.Port == SenderPort && p.IP == SenderIP;
  });
  if (partial != Partials_.end()) {
    rx = std::move(partial->Text);
    Partials_.erase(partial);
    rx += Text;
  } else {
    const size_t start = Text.find("AA55");
    if (start == std::string::npos) {
      NoteSkippedLocked(SenderIP, false);
      return;
    }
    rx.assign(Text, start, std::string::npos);
  }
  // Each pass removes at least the frame start it looked at, so the loop
  // ends within the text's length.
  for (;;) {
    const TFrameStart head = FrameStart(rx);
    if (head == TFrameStart::Short) {
      if (Partials_.size() < kMaxPartialFrames)
        Partials_.push_back({SenderIP, SenderPort, std::move(rx)});
      else
        NoteSkippedLocked(SenderIP, false);
      return;
    }
    std::string frame, payload;
    uint32_t src = 0, dst = 0;
    uint8_t dir = 0, aux = 0;
    if (head == TFrameStart::Whole && ParseFrame(rx, frame, src, dst, dir, aux, payload)) {
      CollectFrameLocked(frame, payload, src, dst, dir, aux, SenderIP, SenderPort);
    } else {
      NoteSkippedLocked(SenderIP, false);
      rx.erase(0, 4);
    }
    // Another frame behind it in the same text (bytes without a frame start
    // after a valid frame are only padding).
    const size_t next = rx.find("AA55");
    if (next == std::string::npos) return;
    rx.erase(0, next);
  }
}

void TCommunicator::StoreFrameLocked(std::string& Frame, std::string& Payload, uint32_t Src,
                                     uint32_t Dst, uint8_t Dir, uint8_t Aux,
                                     const std::string& SenderIP, uint16_t SenderPort) {
  Last_.Direction = Dir;
  Last_.SourceNad = Src;
  Last_.DestNad = Dst;
  Last_.FrameText = std::move(Frame);
  Last_.PayloadText = std::move(Payload);
  Last_.PeerIP = SenderIP;
  Last_.PeerPort = SenderPort;
  if (OnReceive && (Dst == 0 || Dst == kToolNad)) {
    try {
      OnReceive(Last_.PeerIP, SenderPort, Src, Dst, Dir, Aux, Last_.FrameText, Last_.PayloadText);
    } catch (...) {
    }
  }
}

void TCommunicator::CollectFrameLocked(std::string& Frame, std::string& Payload, uint32_t Src,
                                       uint32_t Dst, uint8_t Dir, uint8_t Aux,
                                       const std::string& SenderIP, uint16_t SenderPort) {
  StoreFrameLocked(Frame, Payload, Src, Dst, Dir, Aux, SenderIP, SenderPort);
  // Anything else (another station's request, an answer to another master)
  // answers nothing asked here; it is skipped, and the listening goes on.
  if (Dir == 1 && Aux == 0 && Dst == kToolNad) {
    if (NadList_.size() < kMaxDetected) {
      NadList_.push_back(std::to_string(Src));
      IpList_.push_back(SenderIP);
    } else {
      ++Report_.Lost;  // a flood cannot grow the lists, but it is told
    }
  } else {
    NoteSkippedLocked(SenderIP, true, Src, Dst);
  }
}

void TCommunicator::NoteSkippedLocked(const std::string& SenderIP, bool Whole, uint32_t Nad,
                                      uint32_t Dst) {
  ++Report_.Skipped;
  auto it = std::find_if(Report_.Senders.begin(), Report_.Senders.end(),
                         [&](const TSkippedSender& s) { return s.IP == SenderIP; });
  if (it == Report_.Senders.end()) {
    if (Report_.Senders.size() >= kMaxSkippedSenders) return;  // counted, not named
    Report_.Senders.push_back({SenderIP, 0, 0, false, 0, false});
    it = Report_.Senders.end() - 1;
  }
  if (!Whole) {
    ++it->Damaged;
    it->MaybeAnswer = true;
    return;
  }
  ++it->Foreign;
  if (Dst == kToolNad) it->MaybeAnswer = true;
  if (!it->HasNad) {
    it->HasNad = true;
    it->Nad = Nad;
  }
}

void TCommunicator::NoteSendLocked(uint64_t Generation, int64_t ArmedNs, int TimeoutMs) {
  if (!Sent_.empty() && Sent_.back().Generation == Generation) {
    Sent_.back().LastSendNs = ArmedNs;
    Sent_.back().TimeoutMs = TimeoutMs;
    return;
  }
  // A socket rests a bounded while (and at most kMaxPerSocket of them): an
  // older record has no socket left to be judged for.
  if (Sent_.size() >= kMaxSentRecords) Sent_.pop_front();
  Sent_.push_back({Generation, ArmedNs, TimeoutMs});
}

void TCommunicator::NoteAfterRequestLocked(uint64_t Generation, int64_t ArrivalNs) {
  if (Generation == 0 || ArrivalNs == 0) return;
  for (auto it = Sent_.rbegin(); it != Sent_.rend(); ++it) {
    if (it->Generation != Generation) continue;
    const int64_t delayNs = ArrivalNs - it->LastSendNs;
    // A wall clock set back or forward meanwhile says nothing.
    if (delayNs <= int64_t{it->TimeoutMs} * 1000000 || delayNs >= kMaxLateNs) return;
    ++Late_.Count;
    Late_.MaxDelayMs = std::max(Late_.MaxDelayMs, static_cast<int>(delayNs / 1000000));
    return;
  }
}

TLateAnswers TCommunicator::LateAnswers() const {
  std::lock_guard<std::mutex> g(Lock_);
  return Late_;
}

void TCommunicator::EndRests() { Socket_->EndRests(); }

TDetectReport TCommunicator::DetectReport() const {
  std::lock_guard<std::mutex> g(Lock_);
  return Report_;
}

bool TCommunicator::AutodetectIncomplete() const {
  std::lock_guard<std::mutex> g(Lock_);
  return Report_.Lost > 0;
}

TLastFrame TCommunicator::LastFrame() const {
  std::lock_guard<std::mutex> g(Lock_);
  return Last_;
}

bool TCommunicator::Autodetect(std::vector<std::string>* NadList, std::vector<std::string>* IpList,
                               int ListenMs) {
  if (NadList == nullptr || IpList == nullptr) return false;
  const uint32_t savedNad = Nad;
  const std::string savedIP = RemoteIP;
  Nad = kBroadcastNad;
  RemoteIP.clear();
  {
    std::lock_guard<std::mutex> g(Lock_);
    NadList_.clear();
    IpList_.clear();
    Partials_.clear();
    Report_ = TDetectReport{};
    Collecting_ = true;
  }
  Timeout = ListenMs;
  Retries = 1;
  // The listening socket (the one the ping leaves from) gets a buffer for
  // every answer of a network; the system's count of what it dropped tells
  // whether answers were lost all the same. A direct connection keeps its
  // socket, so its count so far is subtracted.
  Socket_->SetReceiveBuffer(DetectReceiveBuffer);
  const uint64_t generation = Socket_->Generation();
  const uint64_t droppedBefore = Socket_->Overflows();
  SendCommand(cmdPing);
  Socket_->SetReceiveBuffer(0);
  uint64_t dropped = Socket_->Overflows();
  if (generation != 0 && Socket_->Generation() == generation)
    dropped -= std::min(dropped, droppedBefore);
  const size_t granted = Socket_->ReceiveBuffer();
  {
    std::lock_guard<std::mutex> g(Lock_);
    // Frame starts whose rest never came.
    for (const TPartialFrame& p : Partials_) NoteSkippedLocked(p.IP, false);
    Partials_.clear();
    Report_.Lost += dropped;
    Report_.ReceiveBuffer = granted;
    Collecting_ = false;
    *NadList = NadList_;
    *IpList = IpList_;
  }
  Nad = savedNad;
  RemoteIP = savedIP;
  Retries = DefaultRetries;
  // The listening window ends by its time-out as a rule; it is a quiet
  // period of its own.
  QuietMs_ = 0;
  return true;
}

}  // namespace tavex

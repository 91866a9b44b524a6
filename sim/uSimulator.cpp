#include "sim/uSimulator.h"

#include <array>
#include <map>
#include <set>

#include <asio.hpp>
#include <nlohmann/json.hpp>

namespace tavex::sim {

using asio::ip::udp;

namespace {
constexpr const char* kLoopbackBroadcast = "127.255.255.255";
constexpr const char* kLimitedBroadcast = "255.255.255.255";

// Where broadcasts are heard: a socket on each broadcast address. Windows
// binds no broadcast address; there one socket on any address hears them,
// while datagrams to a controller's own address go to its own, more
// specific, socket. Each entry: the address bound, the address logged.
struct TSharedBinding {
  const char* Bind;
  const char* To;
};
#ifdef _WIN32
constexpr TSharedBinding kSharedBindings[] = {{"0.0.0.0", kLoopbackBroadcast}};
constexpr bool kSharedBindingIsAny = true;
#else
constexpr bool kSharedBindingIsAny = false;
constexpr TSharedBinding kSharedBindings[] = {{kLoopbackBroadcast, kLoopbackBroadcast},
                                              {kLimitedBroadcast, kLimitedBroadcast}};
#endif
constexpr int kPortAttempts = 16;
}  // namespace

// One bound socket and the controllers that handle what it receives.
struct TSimSocket {
  explicit TSimSocket(asio::io_context& Io) : Socket(Io) {}
  udp::socket Socket;
  std::vector<size_t> Controllers;
  std::string To;
  bool Broadcast = false;
  std::array<uint8_t, 2048> Buffer{};
  udp::endpoint Sender;
};

struct TSimulator::TImpl {
  // Declared first: destroyed last, after the sockets and timers that use it.
  asio::io_context Io;
  std::optional<asio::executor_work_guard<asio::io_context::executor_type>> Work;
  std::vector<std::shared_ptr<TSimSocket>> Own;     // per controller, same index
  std::vector<std::shared_ptr<TSimSocket>> Shared;  // broadcast sockets
  // Per controller: the sender of the latest request it received, and when
  // (the log's sequence number); for crosstalk. Io thread only.
  std::vector<std::pair<uint64_t, udp::endpoint>> LastAsker;
  std::chrono::steady_clock::time_point StartTime;
};

TSimulator::TSimulator(TScenario Scenario) : Scenario_(std::move(Scenario)), LogLimit_(Scenario_.LogLimit) {
  for (size_t i = 0; i < Scenario_.Controllers.size(); ++i) {
    try {
      Controllers_.push_back(std::make_unique<TSimController>(Scenario_.Controllers[i], Scenario_.Seed));
    } catch (const std::exception& e) {
      throw std::runtime_error("controllers[" + std::to_string(i) + "]: " + e.what());
    }
  }
  Ports_.assign(Controllers_.size(), 0);
  Impl_ = std::make_unique<TImpl>();
}

TSimulator::~TSimulator() { Stop(); }

void TSimulator::SetLogSink(std::function<void(const nlohmann::json&)> Sink) {
  std::lock_guard lock(Mutex_);
  Sink_ = std::move(Sink);
}

void TSimulator::SetLogLimit(size_t Limit) {
  std::lock_guard lock(Mutex_);
  LogLimit_ = Limit;
  while (Log_.size() > LogLimit_) Log_.pop_front();
}

namespace {

void Receive(const std::shared_ptr<TSimSocket>& S, const std::function<void(TSimSocket&, size_t)>& OnDatagram) {
  S->Socket.async_receive_from(asio::buffer(S->Buffer), S->Sender,
                               [S, OnDatagram](const asio::error_code& Ec, size_t N) {
                                 if (Ec == asio::error::operation_aborted || !S->Socket.is_open()) return;
                                 if (!Ec) OnDatagram(*S, N);
                                 Receive(S, OnDatagram);
                               });
}

std::string EndpointText(const udp::endpoint& E) {
  return E.address().to_string() + ":" + std::to_string(E.port());
}

}  // namespace

bool TSimulator::Start(std::string* Error) {
  auto fail = [&](const std::string& Message) {
    if (Error) *Error = Message;
    return false;
  };
  {
    std::lock_guard lock(Mutex_);
    if (Started_ || Stopped_) return fail("the simulator was already started");
    Started_ = true;
  }
  TImpl& im = *Impl_;
  im.StartTime = std::chrono::steady_clock::now();
  im.Own.resize(Controllers_.size());
  im.LastAsker.assign(Controllers_.size(), {0, udp::endpoint()});

  std::set<uint16_t> fixedPorts;
  for (const auto& c : Controllers_)
    if (c->Config().Port) fixedPorts.insert(c->Config().Port);

  auto closeAll = [&] {
    for (auto& s : im.Own)
      if (s) s->Socket.close();
    for (auto& s : im.Shared) s->Socket.close();
    im.Own.assign(Controllers_.size(), nullptr);
    im.Shared.clear();
  };

  // Binds one port group: the controllers' own sockets, then the two shared
  // broadcast sockets. Port 0: the first bind chooses the port for all.
  auto bindGroup = [&](uint16_t WantPort, const std::vector<size_t>& Members, uint16_t& Chosen,
                       std::string& Message) -> bool {
    uint16_t port = WantPort;
    std::vector<std::shared_ptr<TSimSocket>> own;
    for (size_t idx : Members) {
      const TControllerConfig& cfg = Controllers_[idx]->Config();
      auto s = std::make_shared<TSimSocket>(im.Io);
      asio::error_code ec;
      const udp::endpoint ep(asio::ip::make_address_v4(cfg.Ip, ec), port);
      if (!ec) s->Socket.open(udp::v4(), ec);
      // Windows lets the any-address socket that hears broadcasts share the
      // port only with sockets that allow it; a datagram to this address
      // still goes to this, the more specific, socket.
      if (!ec && kSharedBindingIsAny) s->Socket.set_option(asio::socket_base::reuse_address(true), ec);
      if (!ec) s->Socket.bind(ep, ec);
      if (ec) {
        for (auto& o : own) o->Socket.close();
        Message = "cannot bind " + cfg.Ip + ":" + std::to_string(port) + ": " + ec.message();
        return false;
      }
      if (port == 0) port = s->Socket.local_endpoint().port();
      s->Controllers = {idx};
      s->To = cfg.Ip;
      own.push_back(s);
    }
    if (WantPort == 0 && fixedPorts.count(port)) {
      for (auto& o : own) o->Socket.close();
      Message = "port " + std::to_string(port) + " is also a fixed port";
      return false;
    }
    std::vector<std::shared_ptr<TSimSocket>> shared;
    for (const TSharedBinding& binding : kSharedBindings) {
      const char* addr = binding.Bind;
      auto s = std::make_shared<TSimSocket>(im.Io);
      asio::error_code ec;
      s->Socket.open(udp::v4(), ec);
      if (!ec) s->Socket.set_option(asio::socket_base::reuse_address(true), ec);
      if (!ec) s->Socket.bind(udp::endpoint(asio::ip::make_address_v4(addr), port), ec);
      if (ec) {
        for (auto& o : own) o->Socket.close();
        for (auto& o : shared) o->Socket.close();
        Message = std::string("cannot bind ") + addr + ":" + std::to_string(port) + ": " + ec.message();
        return false;
      }
      s->Controllers = Members;
      s->To = binding.To;
      s->Broadcast = true;
      shared.push_back(s);
    }
    for (size_t k = 0; k < Members.size(); ++k) im.Own[Members[k]] = own[k];
    im.Shared.insert(im.Shared.end(), shared.begin(), shared.end());
    Chosen = port;
    return true;
  };

  std::map<uint16_t, std::vector<size_t>> groups;
  for (size_t i = 0; i < Controllers_.size(); ++i) groups[Controllers_[i]->Config().Port].push_back(i);
  for (const auto& [port, members] : groups) {
    std::string message;
    uint16_t chosen = 0;
    bool ok = false;
    for (int attempt = 0; attempt < (port == 0 ? kPortAttempts : 1) && !ok; ++attempt)
      ok = bindGroup(port, members, chosen, message);
    if (!ok) {
      closeAll();
      return fail(message);
    }
    std::lock_guard lock(Mutex_);
    for (size_t idx : members) Ports_[idx] = chosen;
  }

  auto onDatagram = [this](TSimSocket& S, size_t N) {
    // The socket on any address (Windows) hears broadcasts of every
    // network the computer is on: only loopback senders are served, so a
    // tool elsewhere on a plant network never reaches (or writes to) a
    // simulated controller.
    if (kSharedBindingIsAny && S.Broadcast &&
        !(S.Sender.address().is_v4() && (S.Sender.address().to_v4().to_uint() >> 24) == 127))
      return;
    const double tms =
        std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - Impl_->StartTime).count();
    const std::string from = EndpointText(S.Sender);
    struct TSend {
      size_t Controller;
      TSimController::TAnswer Answer;
      std::optional<udp::endpoint> Crosstalk;
    };
    std::vector<TSend> sends;
    std::vector<nlohmann::json> sinkEntries;
    std::function<void(const nlohmann::json&)> sink;
    {
      std::lock_guard lock(Mutex_);
      sink = Sink_;
      for (size_t idx : S.Controllers) {
        TLogEntry e;
        e.Seq = ++Seq_;
        e.TMs = tms;
        e.Ip = Controllers_[idx]->Config().Ip;
        e.Port = Ports_[idx];
        e.From = from;
        e.To = S.To;
        e.Broadcast = S.Broadcast;
        TSimController::TAnswer a = Controllers_[idx]->Handle(S.Buffer.data(), N, e);
        std::optional<udp::endpoint> crosstalk;
        if (a.Crosstalk) {
          // The latest request that another controller received.
          size_t other = idx;
          for (size_t k = 0; k < Impl_->LastAsker.size(); ++k)
            if (k != idx && Impl_->LastAsker[k].first != 0 &&
                (other == idx || Impl_->LastAsker[k].first > Impl_->LastAsker[other].first))
              other = k;
          if (other != idx) {
            crosstalk = Impl_->LastAsker[other].second;
            e.CrosstalkTo = EndpointText(*crosstalk);
            e.CrosstalkNad = Controllers_[other]->Nad();
          }
        }
        Impl_->LastAsker[idx] = {e.Seq, S.Sender};
        if (sink) sinkEntries.push_back(ToJson(e));
        if (LogLimit_ > 0) {
          Log_.push_back(std::move(e));
          while (Log_.size() > LogLimit_) Log_.pop_front();
        }
        if (!a.Datagrams.empty()) sends.push_back({idx, std::move(a), crosstalk});
      }
    }
    LogChanged_.notify_all();
    for (const auto& j : sinkEntries) sink(j);
    for (TSend& s : sends) {
      std::shared_ptr<TSimSocket> own = Impl_->Own[s.Controller];
      auto sendTo = [own](const udp::endpoint& To, const std::vector<std::vector<uint8_t>>& Datagrams) {
        for (const auto& d : Datagrams) {
          asio::error_code ec;  // a lost answer is what UDP does anyway
          own->Socket.send_to(asio::buffer(d), To, 0, ec);
        }
      };
      const udp::endpoint asker = S.Sender;
      const std::optional<udp::endpoint> crosstalk = s.Crosstalk;
      auto send = [sendTo, asker, crosstalk](const std::vector<std::vector<uint8_t>>& Datagrams) {
        // The misdirected copy first: it is the one that must not be taken.
        if (crosstalk) sendTo(*crosstalk, Datagrams);
        sendTo(asker, Datagrams);
      };
      auto later = [this, send](uint32_t Ms, std::vector<std::vector<uint8_t>> Datagrams) {
        if (Datagrams.empty()) return;
        if (Ms == 0) {
          send(Datagrams);
          return;
        }
        auto timer = std::make_shared<asio::steady_timer>(Impl_->Io, std::chrono::milliseconds(Ms));
        timer->async_wait([timer, send, datagrams = std::move(Datagrams)](const asio::error_code& Ec) {
          if (!Ec) send(datagrams);
        });
      };
      later(s.Answer.DelayMs, std::move(s.Answer.Datagrams));
      later(s.Answer.DelayMs + s.Answer.CopyDelayMs, std::move(s.Answer.Copies));
    }
  };

  for (auto& s : im.Own) Receive(s, onDatagram);
  for (auto& s : im.Shared) Receive(s, onDatagram);
  im.Work.emplace(im.Io.get_executor());
  Thread_ = std::thread([this] { Impl_->Io.run(); });
  return true;
}

void TSimulator::Stop() {
  {
    std::lock_guard lock(Mutex_);
    if (Stopped_) return;
    Stopped_ = true;
  }
  if (!Impl_) return;
  Impl_->Work.reset();
  Impl_->Io.stop();
  if (Thread_.joinable()) Thread_.join();
  for (auto& s : Impl_->Own)
    if (s) s->Socket.close();
  for (auto& s : Impl_->Shared) s->Socket.close();
}

std::vector<nlohmann::json> TSimulator::Log() const {
  std::lock_guard lock(Mutex_);
  std::vector<nlohmann::json> out;
  out.reserve(Log_.size());
  for (const TLogEntry& e : Log_) out.push_back(ToJson(e));
  return out;
}

std::vector<TLogEntry> TSimulator::LogEntries() const {
  std::lock_guard lock(Mutex_);
  return {Log_.begin(), Log_.end()};
}

void TSimulator::ClearLog() {
  std::lock_guard lock(Mutex_);
  Log_.clear();
}

size_t TSimulator::LogSize() const {
  std::lock_guard lock(Mutex_);
  return Log_.size();
}

bool TSimulator::WaitForLog(size_t Count, std::chrono::milliseconds Timeout) const {
  std::unique_lock lock(Mutex_);
  return LogChanged_.wait_for(lock, Timeout, [&] { return Log_.size() >= Count; });
}

TSimController* TSimulator::Find(uint32_t Nad) const {
  for (const auto& c : Controllers_)
    if (c->Nad() == Nad) return c.get();
  return nullptr;
}

template <class F>
bool TSimulator::ForEach(uint32_t Nad, F&& Fn) {
  std::lock_guard lock(Mutex_);
  bool any = false;
  for (const auto& c : Controllers_)
    if (c->Nad() == Nad) {
      Fn(*c);
      any = true;
    }
  return any;
}

bool TSimulator::SetFaults(uint32_t Nad, const TFaults& Faults) {
  return ForEach(Nad, [&](TSimController& C) { C.SetFaults(Faults); });
}

bool TSimulator::SetStamp(uint32_t Nad, uint32_t Stamp) {
  return ForEach(Nad, [&](TSimController& C) { C.SetStamp(Stamp); });
}

bool TSimulator::SetStatus(uint32_t Nad, uint8_t First, uint8_t Second) {
  return ForEach(Nad, [&](TSimController& C) { C.SetStatus(First, Second); });
}

bool TSimulator::PatchCode(uint32_t Nad, uint32_t Address, const std::vector<uint8_t>& Bytes) {
  return ForEach(Nad, [&](TSimController& C) { C.PatchCode(Address, Bytes); });
}

bool TSimulator::WriteVarRaw(uint32_t Nad, const std::string& Name, int Index, uint32_t Raw) {
  bool ok = false;
  ForEach(Nad, [&](TSimController& C) { ok = C.WriteVarRaw(Name, Index, Raw) || ok; });
  return ok;
}

std::vector<uint8_t> TSimulator::ReadCode(uint32_t Nad, uint32_t Address, size_t Count) const {
  std::lock_guard lock(Mutex_);
  TSimController* c = Find(Nad);
  return c ? c->ReadCode(Address, Count) : std::vector<uint8_t>();
}

std::vector<uint8_t> TSimulator::ReadVarMemory(uint32_t Nad, uint16_t Address, size_t Count) const {
  std::lock_guard lock(Mutex_);
  TSimController* c = Find(Nad);
  return c ? c->ReadVarMemory(Address, Count) : std::vector<uint8_t>();
}

std::optional<uint32_t> TSimulator::ReadVarRaw(uint32_t Nad, const std::string& Name, int Index) const {
  std::lock_guard lock(Mutex_);
  TSimController* c = Find(Nad);
  return c ? c->ReadVarRaw(Name, Index) : std::nullopt;
}

std::optional<double> TSimulator::ReadVarValue(uint32_t Nad, const std::string& Name, int Index) const {
  std::lock_guard lock(Mutex_);
  TSimController* c = Find(Nad);
  return c ? c->ReadVarValue(Name, Index) : std::nullopt;
}

std::optional<TCivilTime> TSimulator::Clock(uint32_t Nad) const {
  std::lock_guard lock(Mutex_);
  TSimController* c = Find(Nad);
  return c ? std::optional<TCivilTime>(c->ClockNow()) : std::nullopt;
}

std::optional<uint32_t> TSimulator::Stamp(uint32_t Nad) const {
  std::lock_guard lock(Mutex_);
  TSimController* c = Find(Nad);
  return c ? std::optional<uint32_t>(c->Stamp()) : std::nullopt;
}

uint64_t TSimulator::Requests(uint32_t Nad) const {
  std::lock_guard lock(Mutex_);
  TSimController* c = Find(Nad);
  return c ? c->Requests() : 0;
}

std::string TSimulator::AlcText(uint32_t Nad) const {
  std::lock_guard lock(Mutex_);
  TSimController* c = Find(Nad);
  return c ? c->AlcText() : std::string();
}

std::vector<uint8_t> TSimulator::AlcZip(uint32_t Nad) const {
  std::lock_guard lock(Mutex_);
  TSimController* c = Find(Nad);
  return c ? c->AlcZip() : std::vector<uint8_t>();
}

std::optional<TCodeLayout> TSimulator::Layout(uint32_t Nad) const {
  std::lock_guard lock(Mutex_);
  TSimController* c = Find(Nad);
  return c ? std::optional<TCodeLayout>(c->Layout()) : std::nullopt;
}

uint16_t TSimulator::Port(uint32_t Nad) const {
  std::lock_guard lock(Mutex_);
  for (size_t i = 0; i < Controllers_.size(); ++i)
    if (Controllers_[i]->Nad() == Nad) return Ports_[i];
  return 0;
}

}  // namespace tavex::sim

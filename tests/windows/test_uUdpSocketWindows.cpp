// The Windows socket layer under the transport's rules: one socket at a
// time, a new port for every Renew, the rest of a replaced socket (its port
// kept, nothing delivered from it), generations, nothing delivered twice or
// lost from the count when a socket is replaced, no shared ports, broadcast.
// Peers are plain Winsock sockets on 127.0.0.1.
#include <gtest/gtest.h>

#include <winsock2.h>
#include <ws2tcpip.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <ctime>
#include <mutex>
#include <set>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "comm/uUdpSocket.h"
#include "hostutil/uWinsock.h"

namespace tavex {
namespace {

int64_t NowNs() {
  timespec ts{};
  clock_gettime(CLOCK_REALTIME, &ts);
  return static_cast<int64_t>(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

struct TReceived {
  std::string Text;
  std::string IP;
  uint16_t Port = 0;
  int64_t Arrival = 0;
  uint64_t Generation = 0;
};

// Collects what the socket delivers; waits for a count with a deadline.
class TSink {
 public:
  TUdpSocket::THandler Handler() {
    return [this](const uint8_t* d, size_t n, const std::string& ip, uint16_t port, int64_t at,
                  uint64_t gen) {
      std::lock_guard<std::mutex> g(Lock_);
      Items_.push_back({std::string(reinterpret_cast<const char*>(d), n), ip, port, at, gen});
      Wake_.notify_all();
    };
  }
  bool WaitFor(size_t Count, int Ms = 3000) {
    std::unique_lock<std::mutex> g(Lock_);
    return Wake_.wait_for(g, std::chrono::milliseconds(Ms), [&] { return Items_.size() >= Count; });
  }
  std::vector<TReceived> Items() {
    std::lock_guard<std::mutex> g(Lock_);
    return Items_;
  }

 private:
  std::mutex Lock_;
  std::condition_variable Wake_;
  std::vector<TReceived> Items_;
};

// A plain socket on 127.0.0.1 (any port unless given).
class TPeer {
 public:
  explicit TPeer(uint16_t Port = 0, const char* IP = "127.0.0.1") {
    S_ = ::socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP);
    const DWORD timeout = 3000;
    ::setsockopt(S_, SOL_SOCKET, SO_RCVTIMEO, reinterpret_cast<const char*>(&timeout), sizeof timeout);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(Port);
    ::inet_pton(AF_INET, IP, &a.sin_addr);
    if (::bind(S_, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0)
      throw std::runtime_error("peer cannot bind");
    int len = sizeof a;
    ::getsockname(S_, reinterpret_cast<sockaddr*>(&a), &len);
    Port_ = ntohs(a.sin_port);
  }
  ~TPeer() { ::closesocket(S_); }
  uint16_t Port() const { return Port_; }
  void SendTo(const std::string& Text, uint16_t Port) {
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(Port);
    ::inet_pton(AF_INET, "127.0.0.1", &to.sin_addr);
    ::sendto(S_, Text.data(), static_cast<int>(Text.size()), 0, reinterpret_cast<sockaddr*>(&to),
             sizeof to);
  }
  // One datagram, or "" after the time-out; FromPort is its sender's port.
  std::string Receive(uint16_t* FromPort = nullptr) {
    char buf[2048];
    sockaddr_in from{};
    int len = sizeof from;
    const int n = ::recvfrom(S_, buf, sizeof buf, 0, reinterpret_cast<sockaddr*>(&from), &len);
    if (n <= 0) return {};
    if (FromPort) *FromPort = ntohs(from.sin_port);
    return std::string(buf, static_cast<size_t>(n));
  }

 private:
  SOCKET S_ = INVALID_SOCKET;
  uint16_t Port_ = 0;
};

class UdpSocketWindows : public testing::Test {
 protected:
  TWinsockSession Winsock;  // for the peers
  TSink Sink;
};

bool Send(TUdpSocket& S, const std::string& Text, uint16_t Port, const std::string& Host = "127.0.0.1") {
  return S.SendTo(reinterpret_cast<const uint8_t*>(Text.data()), Text.size(), Host, Port);
}

TEST_F(UdpSocketWindows, AnAnswerArrivesWithItsSenderGenerationAndReceiptTime) {
  ASSERT_TRUE(Winsock.Started());
  TPeer peer;
  TUdpSocket sock(Sink.Handler());
  sock.SetBinding("127.0.0.1", 0);
  EXPECT_FALSE(sock.Active());
  EXPECT_EQ(sock.Generation(), 0u);
  // Sending activates the socket.
  ASSERT_TRUE(Send(sock, "hello", peer.Port()));
  ASSERT_TRUE(sock.Active());
  uint16_t from = 0;
  EXPECT_EQ(peer.Receive(&from), "hello");
  EXPECT_EQ(from, sock.LocalPort());
  const int64_t before = NowNs();
  peer.SendTo("answer", sock.LocalPort());
  ASSERT_TRUE(Sink.WaitFor(1));
  const int64_t after = NowNs();
  const TReceived r = Sink.Items()[0];
  EXPECT_EQ(r.Text, "answer");
  EXPECT_EQ(r.IP, "127.0.0.1");
  EXPECT_EQ(r.Port, peer.Port());
  EXPECT_EQ(r.Generation, sock.Generation());
  EXPECT_NE(r.Generation, 0u);
  // Taken at receipt, on the clock that requests are armed with.
  EXPECT_GE(r.Arrival, before);
  EXPECT_LE(r.Arrival, after);
}

TEST_F(UdpSocketWindows, RenewMovesToANewPortAndTheOldPortIsDeaf) {
  // Without a rest, the system may hand an earlier port out again; only
  // two sockets in a row are sure to differ (the new one is opened before
  // the old one closes).
  {
    TUdpSocket sock(Sink.Handler());
    sock.SetBinding("127.0.0.1", 0);
    ASSERT_TRUE(sock.Activate());
    for (int i = 0; i < 20; ++i) {
      const uint16_t before = sock.LocalPort();
      const uint64_t generation = sock.Generation();
      ASSERT_TRUE(sock.Renew());
      EXPECT_NE(sock.LocalPort(), before);
      EXPECT_GT(sock.Generation(), generation);
    }
    EXPECT_EQ(sock.Resting(), 0u);
  }
  // Resting, every replaced socket keeps its port: no two requests within
  // the hold share one, and what reaches an old port is never delivered.
  TPeer peer;
  TUdpSocket sock(Sink.Handler());
  sock.SetBinding("127.0.0.1", 0);
  sock.SetRest(60000);
  ASSERT_TRUE(sock.Activate());
  const uint16_t first = sock.LocalPort();
  std::set<uint16_t> ports{first};
  for (int i = 0; i < 40; ++i) {
    ASSERT_TRUE(sock.Renew());
    ports.insert(sock.LocalPort());
  }
  EXPECT_EQ(ports.size(), 41u);
  EXPECT_EQ(sock.Resting(), 40u);
  peer.SendTo("late", first);
  peer.SendTo("now", sock.LocalPort());
  ASSERT_TRUE(Sink.WaitFor(1));
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  const auto items = Sink.Items();
  ASSERT_EQ(items.size(), 1u);
  EXPECT_EQ(items[0].Text, "now");
  EXPECT_EQ(items[0].Generation, sock.Generation());
}

TEST_F(UdpSocketWindows, ARestEndsWithItsHoldAndIsBounded) {
  TPeer peer;
  TUdpSocket sock(Sink.Handler());
  sock.SetBinding("127.0.0.1", 0);
  sock.SetRest(100);
  ASSERT_TRUE(sock.Activate());
  const uint16_t first = sock.LocalPort();
  ASSERT_TRUE(sock.Renew());
  ASSERT_TRUE(sock.Renew());
  EXPECT_EQ(sock.Resting(), 2u);
  peer.SendTo("late", first);
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  ASSERT_TRUE(sock.Renew());  // closes the expired ones, rests the last
  EXPECT_EQ(sock.Resting(), 1u);
  EXPECT_EQ(sock.Discarded(), 1u);
  EXPECT_TRUE(Sink.Items().empty());

  sock.SetRest(60000);
  for (int i = 0; i < 100; ++i) ASSERT_TRUE(sock.Renew());
  EXPECT_EQ(sock.Resting(), 64u);  // the oldest closed early
}

TEST_F(UdpSocketWindows, ReplacingTheSocketDeliversOrCountsEveryDatagramOnce) {
  // Datagrams in flight while the socket is replaced: each is either
  // delivered on the old socket's generation or discarded and counted,
  // never delivered on the new one's, and never both.
  TPeer peer;
  TUdpSocket sock(Sink.Handler());
  sock.SetBinding("127.0.0.1", 0);
  ASSERT_TRUE(sock.Activate());
  const uint64_t oldGeneration = sock.Generation();
  constexpr int kCount = 200;
  for (int i = 0; i < kCount; ++i) peer.SendTo("d" + std::to_string(i), sock.LocalPort());
  ASSERT_TRUE(sock.Renew());
  const auto items = Sink.Items();
  std::set<std::string> seen;
  for (const TReceived& r : items) {
    EXPECT_EQ(r.Generation, oldGeneration);
    EXPECT_TRUE(seen.insert(r.Text).second) << r.Text << " delivered twice";
  }
  EXPECT_EQ(items.size() + sock.Discarded(), static_cast<size_t>(kCount));
  // The new socket still hears.
  peer.SendTo("fresh", sock.LocalPort());
  ASSERT_TRUE(Sink.WaitFor(items.size() + 1));
  EXPECT_EQ(Sink.Items().back().Generation, sock.Generation());
}

TEST_F(UdpSocketWindows, DeactivateDiscardsWhatIsQueuedAndSendingReopens) {
  TPeer peer;
  TUdpSocket sock(Sink.Handler());
  sock.SetBinding("127.0.0.1", 0);
  ASSERT_TRUE(sock.Activate());
  const uint64_t g1 = sock.Generation();
  sock.Deactivate();
  EXPECT_FALSE(sock.Active());
  EXPECT_EQ(sock.LocalPort(), 0);
  EXPECT_EQ(sock.Generation(), 0u);
  ASSERT_TRUE(Send(sock, "again", peer.Port()));
  EXPECT_GT(sock.Generation(), g1);
  EXPECT_EQ(peer.Receive(), "again");
}

TEST_F(UdpSocketWindows, AFixedPortIsNotShared) {
  // No address reuse: a second socket on the same address and port fails,
  // with or without SO_REUSEADDR on its side.
  TUdpSocket first(Sink.Handler());
  first.SetBinding("127.0.0.1", 0);
  ASSERT_TRUE(first.Activate());
  const uint16_t port = first.LocalPort();
  TUdpSocket second(Sink.Handler());
  second.SetBinding("127.0.0.1", port);
  EXPECT_FALSE(second.Activate());
  EXPECT_FALSE(second.Active());

  SOCKET intruder = ::socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP);
  const BOOL on = TRUE;
  ::setsockopt(intruder, SOL_SOCKET, SO_REUSEADDR, reinterpret_cast<const char*>(&on), sizeof on);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(port);
  ::inet_pton(AF_INET, "127.0.0.1", &a.sin_addr);
  EXPECT_NE(::bind(intruder, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
  ::closesocket(intruder);

  // Once the first is closed the port is free again.
  first.Deactivate();
  EXPECT_TRUE(second.Activate());
  EXPECT_EQ(second.LocalPort(), port);
}

TEST_F(UdpSocketWindows, BroadcastIsAllowed) {
  TPeer listener(0, "0.0.0.0");
  TUdpSocket sock(Sink.Handler());
  sock.SetBinding("127.0.0.1", 0);
  ASSERT_TRUE(Send(sock, "everyone", listener.Port(), "127.255.255.255"));
  EXPECT_EQ(listener.Receive(), "everyone");
}

TEST_F(UdpSocketWindows, AFailingHandlerDoesNotEndTheListener) {
  std::atomic<int> calls{0};
  TUdpSocket sock([&](const uint8_t*, size_t, const std::string&, uint16_t, int64_t, uint64_t) {
    if (calls.fetch_add(1) == 0) throw std::runtime_error("handler failed");
  });
  sock.SetBinding("127.0.0.1", 0);
  ASSERT_TRUE(sock.Activate());
  TPeer peer;
  peer.SendTo("one", sock.LocalPort());
  peer.SendTo("two", sock.LocalPort());
  for (int i = 0; i < 300 && calls.load() < 2; ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  EXPECT_EQ(calls.load(), 2);
}

TEST_F(UdpSocketWindows, BadBindingsAndDestinationsFailCleanly) {
  TUdpSocket sock(Sink.Handler());
  sock.SetBinding("not an address", 0);
  EXPECT_FALSE(sock.Activate());
  sock.SetBinding("127.0.0.1", 0);
  EXPECT_FALSE(Send(sock, "x", 8442, "no.such.host.invalid"));
  // An empty binding IP is any address.
  sock.SetBinding("", 0);
  EXPECT_TRUE(sock.Renew());
  EXPECT_NE(sock.LocalPort(), 0);
}

TEST_F(UdpSocketWindows, DestroyedWhileDatagramsArrive) {
  TPeer peer;
  for (int round = 0; round < 20; ++round) {
    auto sock = std::make_unique<TUdpSocket>(Sink.Handler());
    sock->SetBinding("127.0.0.1", 0);
    ASSERT_TRUE(sock->Activate());
    const uint16_t port = sock->LocalPort();
    std::thread flood([&] {
      for (int i = 0; i < 50; ++i) peer.SendTo("flood", port);
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
    sock.reset();
    flood.join();
  }
  SUCCEED();
}

}  // namespace
}  // namespace tavex

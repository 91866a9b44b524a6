// The Linux socket layer under the transport's rules: generations and
// arrival times, a new port for every Renew, the rest of a replaced socket
// (its port not handed out again, nothing delivered from it, everything
// counted once), the rest's bounds, fixed ports, a failing handler and
// destruction under load. Peers are plain sockets on 127.0.0.1.
#include "comm/uUdpSocket.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <dirent.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <ctime>
#include <memory>
#include <mutex>
#include <set>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

namespace tavex {
namespace {

int64_t NowNs() {
  timespec ts{};
  clock_gettime(CLOCK_REALTIME, &ts);
  return static_cast<int64_t>(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

int OpenDescriptors() {
  int n = 0;
  if (DIR* d = ::opendir("/proc/self/fd")) {
    while (::readdir(d) != nullptr) ++n;
    ::closedir(d);
  }
  return n;
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

// A plain socket on 127.0.0.1.
class TPeer {
 public:
  TPeer() {
    S_ = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    timeval timeout{3, 0};
    ::setsockopt(S_, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    ::inet_pton(AF_INET, "127.0.0.1", &a.sin_addr);
    if (::bind(S_, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0)
      throw std::runtime_error("peer cannot bind");
    socklen_t len = sizeof a;
    ::getsockname(S_, reinterpret_cast<sockaddr*>(&a), &len);
    Port_ = ntohs(a.sin_port);
  }
  ~TPeer() { ::close(S_); }
  uint16_t Port() const { return Port_; }
  void SendTo(const std::string& Text, uint16_t Port) {
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(Port);
    ::inet_pton(AF_INET, "127.0.0.1", &to.sin_addr);
    ::sendto(S_, Text.data(), Text.size(), 0, reinterpret_cast<sockaddr*>(&to), sizeof to);
  }
  std::string Receive() {
    char buf[2048];
    const ssize_t n = ::recv(S_, buf, sizeof buf, 0);
    return n <= 0 ? std::string() : std::string(buf, static_cast<size_t>(n));
  }

 private:
  int S_ = -1;
  uint16_t Port_ = 0;
};

class UdpSocket : public testing::Test {
 protected:
  void SetUp() override {
    ASSERT_STREQ(std::getenv("TAVEX_IN_NETNS"), "1") << "network tests run only inside scripts/netns";
  }
  TSink Sink;
};

bool Send(TUdpSocket& S, const std::string& Text, uint16_t Port) {
  return S.SendTo(reinterpret_cast<const uint8_t*>(Text.data()), Text.size(), "127.0.0.1", Port);
}

TEST_F(UdpSocket, AnAnswerArrivesWithItsSenderGenerationAndArrivalTime) {
  TPeer peer;
  TUdpSocket sock(Sink.Handler());
  sock.SetBinding("127.0.0.1", 0);
  const int64_t before = NowNs();
  ASSERT_TRUE(Send(sock, "ask", peer.Port()));
  ASSERT_EQ(peer.Receive(), "ask");
  peer.SendTo("answer", sock.LocalPort());
  ASSERT_TRUE(Sink.WaitFor(1));
  const int64_t after = NowNs();
  const TReceived r = Sink.Items()[0];
  EXPECT_EQ(r.Text, "answer");
  EXPECT_EQ(r.IP, "127.0.0.1");
  EXPECT_EQ(r.Port, peer.Port());
  EXPECT_EQ(r.Generation, sock.Generation());
  EXPECT_NE(r.Generation, 0u);
  // The kernel's arrival time, on the clock that requests are armed with.
  EXPECT_GE(r.Arrival, before);
  EXPECT_LE(r.Arrival, after);
}

TEST_F(UdpSocket, RenewMovesToANewPortAndTheOldPortIsDeaf) {
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
  const uint64_t discarded = sock.Discarded();
  peer.SendTo("late", first);
  peer.SendTo("now", sock.LocalPort());
  ASSERT_TRUE(Sink.WaitFor(1));
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  const auto items = Sink.Items();
  ASSERT_EQ(items.size(), 1u);
  EXPECT_EQ(items[0].Text, "now");
  EXPECT_EQ(items[0].Generation, sock.Generation());
  // Not read while its socket rests: counted when the rest ends.
  EXPECT_EQ(sock.Discarded(), discarded);
}

TEST_F(UdpSocket, ARestEndsWithItsHoldAndCountsWhatArrivedMeanwhile) {
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
  std::this_thread::sleep_for(std::chrono::milliseconds(150));
  ASSERT_TRUE(sock.Renew());  // closes the expired ones, rests the last
  EXPECT_EQ(sock.Resting(), 1u);
  EXPECT_EQ(sock.Discarded(), 1u);
  EXPECT_TRUE(Sink.Items().empty());
}

TEST_F(UdpSocket, RestingSocketsAreBoundedAndAllClosedWithTheLayer) {
  const int open = OpenDescriptors();
  {
    TUdpSocket sock(Sink.Handler());
    sock.SetBinding("127.0.0.1", 0);
    sock.SetRest(60000);
    ASSERT_TRUE(sock.Activate());
    for (int i = 0; i < 100; ++i) ASSERT_TRUE(sock.Renew());
    EXPECT_EQ(sock.Resting(), 64u);  // the oldest closed early
    EXPECT_GT(OpenDescriptors(), open + 64);
  }
  EXPECT_EQ(OpenDescriptors(), open);
}

TEST_F(UdpSocket, ReplacingTheSocketDeliversOrCountsEveryDatagramOnce) {
  // Datagrams in flight while the socket is replaced: each is either
  // delivered on the old socket's generation or discarded and counted,
  // never delivered on the new one's, and never both; with or without a
  // rest.
  for (const uint32_t rest : {0u, 60000u}) {
    SCOPED_TRACE(rest);
    TSink sink;
    TPeer peer;
    TUdpSocket sock(sink.Handler());
    sock.SetBinding("127.0.0.1", 0);
    sock.SetRest(rest);
    ASSERT_TRUE(sock.Activate());
    const uint64_t oldGeneration = sock.Generation();
    constexpr int kCount = 200;
    for (int i = 0; i < kCount; ++i) peer.SendTo("d" + std::to_string(i), sock.LocalPort());
    ASSERT_TRUE(sock.Renew());
    const auto items = sink.Items();
    std::set<std::string> seen;
    for (const TReceived& r : items) {
      EXPECT_EQ(r.Generation, oldGeneration);
      EXPECT_TRUE(seen.insert(r.Text).second) << r.Text << " delivered twice";
    }
    EXPECT_EQ(items.size() + sock.Discarded(), static_cast<size_t>(kCount));
    peer.SendTo("fresh", sock.LocalPort());
    ASSERT_TRUE(sink.WaitFor(items.size() + 1));
    EXPECT_EQ(sink.Items().back().Generation, sock.Generation());
  }
}

TEST_F(UdpSocket, AFixedPortClosesAtOnceAndIsNotShared) {
  TUdpSocket first(Sink.Handler());
  first.SetBinding("127.0.0.1", 0);
  ASSERT_TRUE(first.Activate());
  const uint16_t port = first.LocalPort();
  first.Deactivate();

  TUdpSocket fixed(Sink.Handler());
  fixed.SetBinding("127.0.0.1", port);
  fixed.SetRest(60000);
  ASSERT_TRUE(fixed.Activate());
  TUdpSocket second(Sink.Handler());
  second.SetBinding("127.0.0.1", port);
  EXPECT_FALSE(second.Activate());
  // A rest would keep the port from the next socket on it: none is taken.
  fixed.Deactivate();
  EXPECT_EQ(fixed.Resting(), 0u);
  EXPECT_TRUE(fixed.Activate());
  EXPECT_EQ(fixed.LocalPort(), port);
}

TEST_F(UdpSocket, DeactivateEndsDeliveryAndSendingReopens) {
  TPeer peer;
  TUdpSocket sock(Sink.Handler());
  sock.SetBinding("127.0.0.1", 0);
  sock.SetRest(60000);
  ASSERT_TRUE(sock.Activate());
  const uint16_t oldPort = sock.LocalPort();
  const uint64_t g1 = sock.Generation();
  sock.Deactivate();
  EXPECT_FALSE(sock.Active());
  EXPECT_EQ(sock.LocalPort(), 0);
  EXPECT_EQ(sock.Generation(), 0u);
  EXPECT_EQ(sock.Resting(), 1u);
  peer.SendTo("to the old port", oldPort);
  ASSERT_TRUE(Send(sock, "again", peer.Port()));
  EXPECT_GT(sock.Generation(), g1);
  EXPECT_NE(sock.LocalPort(), oldPort);
  EXPECT_EQ(peer.Receive(), "again");
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  EXPECT_TRUE(Sink.Items().empty());
}

TEST_F(UdpSocket, AFailingHandlerDoesNotEndTheListener) {
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

TEST_F(UdpSocket, DestroyedWhileDatagramsArriveOnOpenAndRestingSockets) {
  TPeer peer;
  const int open = OpenDescriptors();
  for (int round = 0; round < 20; ++round) {
    auto sock = std::make_unique<TUdpSocket>(Sink.Handler());
    sock->SetBinding("127.0.0.1", 0);
    sock->SetRest(60000);
    ASSERT_TRUE(sock->Activate());
    const uint16_t resting = sock->LocalPort();
    ASSERT_TRUE(sock->Renew());
    const uint16_t port = sock->LocalPort();
    std::thread flood([&] {
      for (int i = 0; i < 50; ++i) {
        peer.SendTo("flood", port);
        peer.SendTo("late", resting);
      }
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
    sock.reset();
    flood.join();
  }
  EXPECT_EQ(OpenDescriptors(), open);
  for (const TReceived& r : Sink.Items()) EXPECT_EQ(r.Text, "flood");
}

}  // namespace
}  // namespace tavex

// Transport: the receive path's state machine (fed directly, no socket),
// then whole transactions against scripted stations on loopback.
#include "comm/uCommunication.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <ctime>
#include <chrono>
#include <set>
#include <thread>

#include "abus/uABus.h"
#include "comm/hCommunication.h"
#include "comm/uUdpSocket.h"
#include "tests/comm/TestBurst.h"
#include "tests/comm/TestPeer.h"
#include "tests/support/TestFrames.h"

namespace tavex {
namespace {

using test::AnswerFrame;
using test::Concat;
using test::TPeer;
using Bytes = std::vector<uint8_t>;

// ---------------------------------------------------------------------------
// Receive path, fed by hand.

class ReceivePath : public ::testing::Test {
 protected:
  void Feed(const Bytes& d, const std::string& ip = "127.0.0.2", uint16_t port = 8442) {
    comm.HandleDatagram(d.data(), d.size(), ip, port);
  }
  TCommunicator comm;
  const Bytes answer = AnswerFrame(1000, 1, 1, 0, {0x01, 0x02});
};

TEST_F(ReceivePath, ValidAnswerEndsTheWaitAndIsKept) {
  Feed(answer, "127.0.0.9", 4000);
  EXPECT_EQ(comm.State(), TTransState::Idle);
  const TLastFrame f = comm.LastFrame();
  EXPECT_EQ(f.SourceNad, 1000u);
  EXPECT_EQ(f.DestNad, 1u);
  EXPECT_EQ(f.Direction, 1);
  EXPECT_EQ(f.PayloadText, "0102");
  EXPECT_EQ(f.FrameText, BytesToHex(answer.data(), answer.size()));
  EXPECT_EQ(f.PeerIP, "127.0.0.9");
  EXPECT_EQ(f.PeerPort, 4000);
}

TEST_F(ReceivePath, DatagramWithoutFrameStartIsDropped) {
  Feed({0x01, 0x02, 0x03});
  EXPECT_EQ(comm.State(), TTransState::Idle);
  EXPECT_EQ(comm.LastFrame().FrameText, "");
}

TEST_F(ReceivePath, FrameSplitOverTwoDatagramsIsReassembled) {
  Feed(Bytes(answer.begin(), answer.begin() + 7));
  EXPECT_EQ(comm.State(), TTransState::Receiving);
  Feed(Bytes(answer.begin() + 7, answer.end()));
  EXPECT_EQ(comm.State(), TTransState::Idle);
  EXPECT_EQ(comm.LastFrame().PayloadText, "0102");
}

TEST_F(ReceivePath, OnlyTheFirstDatagramIsTrimmedToTheFrameStart) {
  // Junk before the frame in the first datagram is cut off...
  Feed(Concat({0x00, 0x11, 0x22}, answer));
  EXPECT_EQ(comm.State(), TTransState::Idle);
  EXPECT_EQ(comm.LastFrame().PayloadText, "0102");

  // ...but a later datagram is appended whole, junk included, so the frame
  // never validates.
  TCommunicator c2;
  Bytes head(answer.begin(), answer.begin() + 5);
  Bytes tail = Concat({0x33}, Bytes(answer.begin() + 5, answer.end()));
  c2.HandleDatagram(head.data(), head.size(), "127.0.0.2", 1);
  c2.HandleDatagram(tail.data(), tail.size(), "127.0.0.2", 1);
  EXPECT_EQ(c2.State(), TTransState::Receiving);
}

TEST_F(ReceivePath, FrameStartAcrossAByteBoundaryStartsReceiving) {
  // 0A A5 5F shows "AA55" at an odd character position: it starts receiving
  // there, the text never validates, and a real answer behind it is lost.
  Feed({0x0A, 0xA5, 0x5F, 0x00});
  EXPECT_EQ(comm.State(), TTransState::Receiving);
  Feed(answer);
  EXPECT_EQ(comm.State(), TTransState::Receiving);
  EXPECT_EQ(comm.LastFrame().FrameText, "");
}

TEST_F(ReceivePath, OverlongUnparsedTextIsDroppedAndWaitingResumes) {
  // A frame start with a length that never completes, then more data.
  Bytes start = {0xAA, 0x55, 0x00, 0x04};  // L = 1024: needs 1038 bytes
  Feed(start);
  EXPECT_EQ(comm.State(), TTransState::Receiving);
  Feed(Bytes(1100, 0x00));  // 2 * 1104 characters > 2080
  EXPECT_EQ(comm.State(), TTransState::Waiting);
  // Receiving starts afresh with the next frame start.
  Feed(answer);
  EXPECT_EQ(comm.State(), TTransState::Idle);
  EXPECT_EQ(comm.LastFrame().PayloadText, "0102");
}

TEST_F(ReceivePath, OnlyTheFirst2048BytesOfADatagramAreExamined) {
  // A frame at the head followed by a long tail is taken...
  Feed(Concat(answer, Bytes(5000, 0x00)));
  EXPECT_EQ(comm.State(), TTransState::Idle);
  EXPECT_EQ(comm.LastFrame().PayloadText, "0102");
  // ...a frame that starts beyond byte 2048 is not seen at all.
  TCommunicator c2;
  Bytes d = Concat(Bytes(2100, 0x00), answer);
  c2.HandleDatagram(d.data(), d.size(), "127.0.0.2", 1);
  EXPECT_EQ(c2.State(), TTransState::Idle);
  EXPECT_EQ(c2.LastFrame().FrameText, "");
}

TEST_F(ReceivePath, AnyParsedFrameEndsTheWait) {
  struct Case {
    const char* name;
    Bytes frame;
    uint8_t direction;
  } cases[] = {
      {"answer_to_another_master", AnswerFrame(1000, 7, 1, 0, {}), 1},
      {"request_of_another_station", AnswerFrame(5, 1000, 0, 0, {0x10, 0, 0}), 0},
      {"aux_not_zero", AnswerFrame(1000, 1, 1, 3, {}), 1},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    TCommunicator t;
    t.HandleDatagram(c.frame.data(), c.frame.size(), "127.0.0.2", 1);
    EXPECT_EQ(t.State(), TTransState::Idle);
    EXPECT_EQ(t.LastFrame().Direction, c.direction);
  }
}

TEST_F(ReceivePath, OnReceiveSeesFramesForNad0And1Only) {
  std::vector<uint32_t> seen;
  comm.OnReceive = [&](const std::string&, uint16_t, uint32_t src, uint32_t dst, uint8_t, uint8_t,
                       const std::string&, const std::string&) { seen.push_back(src * 10 + dst); };
  for (uint32_t dst : {0u, 1u, 2u, 7u}) {
    const Bytes f = AnswerFrame(5, dst, 1, 0, {});
    Feed(f);
  }
  EXPECT_EQ(seen, (std::vector<uint32_t>{50, 51}));
}

TEST_F(ReceivePath, SendHookRunsATransactionWithoutASocket) {
  // The answer arrives in two pieces from inside the send.
  std::vector<std::string> sentTo;
  comm.SendHook = [&](const uint8_t*, size_t, const std::string& host, uint16_t port) {
    sentTo.push_back(host + ":" + std::to_string(port));
    Feed(Bytes(answer.begin(), answer.begin() + 10), "127.0.0.7");
    Feed(Bytes(answer.begin() + 10, answer.end()), "127.0.0.7");
    return true;
  };
  comm.SetNad(1000);
  comm.RemoteIP = "127.0.0.7";
  EXPECT_TRUE(comm.SendPing());
  EXPECT_EQ(sentTo, (std::vector<std::string>{"127.0.0.7:8442"}));
  EXPECT_EQ(comm.LastFrame().PayloadText, "0102");
  EXPECT_FALSE(comm.IsActive());
}

TEST_F(ReceivePath, AStopWhileWaitingAbandonsTheRequestAndSendsNothingMore) {
  // A stop that comes while the answer is awaited, or before the request:
  // either way one send at most, and a time-out that is not waited out
  // (with these values a request not abandoned would be sent three times).
  for (const bool before : {false, true}) {
    SCOPED_TRACE(before ? "stopped before" : "stopped while waiting");
    std::atomic<bool> stop{before};
    int sends = 0;
    comm.SendHook = [&](const uint8_t*, size_t, const std::string&, uint16_t) {
      ++sends;
      stop = true;
      return true;
    };
    comm.StopFlag = &stop;
    comm.AbandonOnStop = true;
    comm.Timeout = comm.DefaultTimeout = 60000;
    comm.Retries = comm.DefaultRetries = 3;
    comm.SetNad(1000);
    comm.RemoteIP = "127.0.0.7";
    EXPECT_FALSE(comm.SendPing());
    EXPECT_EQ(sends, before ? 0 : 1);
    EXPECT_TRUE(comm.Stopped());
    EXPECT_FALSE(comm.IsActive());
    // A late answer finds nobody waiting for it.
    Feed(answer, "127.0.0.7");
    EXPECT_FALSE(comm.IsActive());
  }
  comm.StopFlag = nullptr;
  comm.AbandonOnStop = false;
}

TEST_F(ReceivePath, WithoutAbandonOnStopTheFrameInFlightIsStillWaitedFor) {
  // The stop comes while the answer is on its way: it is taken (a write's
  // acknowledgement tells that the value was written), and nothing more is
  // sent after it.
  std::atomic<bool> stop{false};
  std::thread late;
  comm.SendHook = [&](const uint8_t*, size_t, const std::string&, uint16_t) {
    stop = true;
    late = std::thread([this] {
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
      Feed(answer, "127.0.0.7");
    });
    return true;
  };
  comm.StopFlag = &stop;
  comm.Timeout = comm.DefaultTimeout = 60000;
  comm.SetNad(1000);
  comm.RemoteIP = "127.0.0.7";
  EXPECT_TRUE(comm.SendPing());
  late.join();
  EXPECT_EQ(comm.LastFrame().PayloadText, "0102");
  EXPECT_FALSE(comm.SendPing());
  EXPECT_TRUE(comm.Stopped());
  comm.StopFlag = nullptr;
}

// While Autodetect listens, datagrams fed from inside its broadcast (no
// socket; the window then times out at once).
struct TDatagram {
  Bytes Data;
  std::string IP;
  uint16_t Port = 8442;
};

struct TDetected {
  std::vector<std::string> Nads, Ips;
  TDetectReport Report;
  // The report's senders as "IP nad/foreign/damaged" texts, with "?" when
  // what it sent may have been a spoilt answer.
  std::vector<std::string> Senders() const {
    std::vector<std::string> out;
    for (const auto& s : Report.Senders)
      out.push_back(s.IP + " " + (s.HasNad ? std::to_string(s.Nad) : "-") + "/" + std::to_string(s.Foreign) +
                    "/" + std::to_string(s.Damaged) + (s.MaybeAnswer ? "?" : ""));
    return out;
  }
};

TDetected DetectFed(const std::vector<TDatagram>& Datagrams) {
  TCommunicator c;
  uint32_t now = 0;
  c.TickSource = [&now] { return now += 1000000; };
  c.SendHook = [&](const uint8_t*, size_t, const std::string&, uint16_t) {
    for (const auto& d : Datagrams) c.HandleDatagram(d.Data.data(), d.Data.size(), d.IP, d.Port);
    EXPECT_EQ(c.State(), TTransState::Waiting) << "the listening goes on";
    return true;
  };
  TDetected r;
  EXPECT_TRUE(c.Autodetect(&r.Nads, &r.Ips, 1000));
  r.Report = c.DetectReport();
  EXPECT_EQ(c.AutodetectIncomplete(), r.Report.Lost > 0);
  return r;
}

TEST(Collecting, WhatIsNoAnswerIsSkippedAndNamedAndSwallowsNothing) {
  // Two controllers' answers around whatever else arrives: both are listed
  // whatever came between them, from the same sender or another, and what
  // was skipped is counted with its sender (its NAD when the frame was whole).
  const Bytes a = AnswerFrame(1000, 1, 1, 0, {});
  const Bytes b = AnswerFrame(1001, 1, 1, 0, {});
  Bytes damaged = AnswerFrame(77, 1, 1, 0, {});
  damaged[9] ^= 0x01;
  const Bytes longStart = {0xAA, 0x55, 0x00, 0x04, 0x01};  // L = 1024, never completed
  struct Case {
    const char* name;
    std::vector<TDatagram> between;
    std::vector<std::string> senders;
  } cases[] = {
      {"request_of_another_station", {{AnswerFrame(5, 1000, 0, 0, {0x10, 0, 0}), "127.0.0.9"}}, {"127.0.0.9 5/1/0"}},
      {"direction_0_from_a_controller", {{AnswerFrame(1002, 1, 0, 0, {}), "127.0.0.2"}}, {"127.0.0.2 1002/1/0?"}},
      {"answer_to_another_master", {{AnswerFrame(1003, 7, 1, 0, {}), "127.0.0.4"}}, {"127.0.0.4 1003/1/0"}},
      {"to_nad_0", {{AnswerFrame(1003, 0, 1, 0, {}), "127.0.0.4"}}, {"127.0.0.4 1003/1/0"}},
      {"aux_not_zero", {{AnswerFrame(1004, 1, 1, 3, {}), "127.0.0.5"}}, {"127.0.0.5 1004/1/0?"}},
      {"checksum_wrong", {{damaged, "127.0.0.2"}}, {"127.0.0.2 -/0/1?"}},
      {"no_frame_start", {{{0x01, 0x02, 0x03}, "127.0.0.6"}}, {"127.0.0.6 -/0/1?"}},
      {"length_no_frame_has", {{{0xAA, 0x55, 0xFF, 0xFF, 0, 0, 0, 0}, "127.0.0.6"}}, {"127.0.0.6 -/0/1?"}},
      {"frame_start_across_a_byte_boundary", {{{0x0A, 0xA5, 0x5F, 0x00}, "127.0.0.6"}}, {"127.0.0.6 -/0/1?"}},
      {"frame_start_never_completed", {{longStart, "127.0.0.6"}}, {"127.0.0.6 -/0/1?"}},
      {"two_foreign_frames_one_sender",
       {{AnswerFrame(5, 9, 0, 0, {}), "127.0.0.9"}, {AnswerFrame(5, 9, 0, 0, {}), "127.0.0.9", 9000}},
       {"127.0.0.9 5/2/0"}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    std::vector<TDatagram> all = {{a, "127.0.0.2"}};
    all.insert(all.end(), c.between.begin(), c.between.end());
    all.push_back({b, "127.0.0.3"});
    all.push_back({b, "127.0.0.2"});  // the first sender once more
    const TDetected r = DetectFed(all);
    EXPECT_EQ(r.Nads, (std::vector<std::string>{"1000", "1001", "1001"}));
    EXPECT_EQ(r.Ips, (std::vector<std::string>{"127.0.0.2", "127.0.0.3", "127.0.0.2"}));
    EXPECT_EQ(r.Senders(), c.senders);
    EXPECT_EQ(r.Report.Lost, 0u);
    uint64_t named = 0;
    for (const auto& s : r.Report.Senders) named += s.Foreign + s.Damaged;
    EXPECT_EQ(r.Report.Skipped, named);
  }
}

TEST(Collecting, EachSendersFramesAreReassembledApart) {
  // Split answers of two controllers, interleaved, and a damaged frame with
  // a good one behind it in the same datagram: every answer is listed.
  const Bytes a = AnswerFrame(1000, 1, 1, 0, {1, 2, 3, 4});
  const Bytes b = AnswerFrame(1001, 1, 1, 0, {5, 6});
  Bytes bad = AnswerFrame(1002, 1, 1, 0, {7});
  bad[14] ^= 0xFF;
  const Bytes c = AnswerFrame(1002, 1, 1, 0, {7});
  const TDetected r = DetectFed({
      {Bytes(a.begin(), a.begin() + 3), "127.0.0.2"},  // inside the length field
      {Bytes(b.begin(), b.begin() + 9), "127.0.0.3"},
      {Bytes(a.begin() + 3, a.begin() + 12), "127.0.0.2"},
      {Bytes(b.begin() + 9, b.end()), "127.0.0.3"},
      {Concat(bad, c), "127.0.0.4"},
      {Bytes(a.begin() + 12, a.end()), "127.0.0.2"},
      {Concat(c, Bytes{0x00, 0x00}), "127.0.0.5"},  // padding behind a frame is no damage
  });
  EXPECT_EQ(r.Nads, (std::vector<std::string>{"1001", "1002", "1000", "1002"}));
  EXPECT_EQ(r.Ips, (std::vector<std::string>{"127.0.0.3", "127.0.0.4", "127.0.0.2", "127.0.0.5"}));
  EXPECT_EQ(r.Senders(), (std::vector<std::string>{"127.0.0.4 -/0/1?"}));

  // The same sender from another port is another sender: its halves are
  // not joined to the first one's.
  const TDetected ports = DetectFed({
      {Bytes(a.begin(), a.begin() + 8), "127.0.0.2", 8442},
      {Bytes(a.begin() + 8, a.end()), "127.0.0.2", 8443},
  });
  EXPECT_TRUE(ports.Nads.empty());
  EXPECT_EQ(ports.Senders(), (std::vector<std::string>{"127.0.0.2 -/0/2?"}));
}

TEST(Collecting, ManySendersStayBounded) {
  // Unfinished frame starts from more senders than are held, and skipped
  // datagrams from more senders than are named: all counted, none listed,
  // and an answer behind them all still is.
  std::vector<TDatagram> all;
  for (int i = 0; i < 300; ++i)
    all.push_back({{0xAA, 0x55, 0x10, 0x00}, "127.0.1." + std::to_string(i % 250), static_cast<uint16_t>(1000 + i)});
  all.push_back({AnswerFrame(1000, 1, 1, 0, {}), "127.0.0.2"});
  const TDetected r = DetectFed(all);
  EXPECT_EQ(r.Nads, (std::vector<std::string>{"1000"}));
  EXPECT_EQ(r.Report.Skipped, 300u);
  EXPECT_EQ(r.Report.Senders.size(), TCommunicator::kMaxSkippedSenders);
  EXPECT_EQ(r.Report.Lost, 0u);

  // More answers than the lists hold: the rest is not listed, and told.
  std::vector<TDatagram> flood;
  for (uint32_t i = 0; i < TCommunicator::kMaxDetected + 5; ++i)
    flood.push_back({AnswerFrame(i, 1, 1, 0, {}), "127.0.0.2"});
  const TDetected f = DetectFed(flood);
  EXPECT_EQ(f.Nads.size(), TCommunicator::kMaxDetected);
  EXPECT_EQ(f.Report.Lost, 5u);
}

int64_t RealtimeNs() {
  timespec ts{};
  clock_gettime(CLOCK_REALTIME, &ts);
  return static_cast<int64_t>(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

TEST_F(ReceivePath, ACopyQueuedBeforeTheRequestLeftIsNoAnswerToIt) {
  const Bytes stale = AnswerFrame(1000, 1, 1, 0, {0xAA});
  const Bytes own = AnswerFrame(1000, 1, 1, 0, {0xBB});
  const int64_t beforeArm = RealtimeNs();
  comm.SendHook = [&](const uint8_t*, size_t, const std::string&, uint16_t) {
    // Reached the host before the request was sent: a late copy of an
    // earlier answer, read only now.
    comm.HandleDatagramAt(stale.data(), stale.size(), "127.0.0.2", 8442, beforeArm);
    EXPECT_EQ(comm.State(), TTransState::Waiting);
    comm.HandleDatagramAt(own.data(), own.size(), "127.0.0.2", 8442, RealtimeNs() + 1000);
    return true;
  };
  comm.SetNad(1000);
  comm.RemoteIP = "127.0.0.2";
  ASSERT_TRUE(comm.SendPing());
  EXPECT_EQ(comm.LastFrame().PayloadText, "BB");
  EXPECT_EQ(comm.StaleDropped(), 1u);

  // Unknown arrival times, and a wall clock set back by more than a few
  // seconds, never drop anything.
  comm.SendHook = [&](const uint8_t*, size_t, const std::string&, uint16_t) {
    comm.HandleDatagramAt(stale.data(), stale.size(), "127.0.0.2", 8442, RealtimeNs() - int64_t{3600} * 1000000000);
    return true;
  };
  ASSERT_TRUE(comm.SendPing());
  EXPECT_EQ(comm.LastFrame().PayloadText, "AA");
  comm.SendHook = [&](const uint8_t*, size_t, const std::string&, uint16_t) {
    comm.HandleDatagramAt(own.data(), own.size(), "127.0.0.2", 8442, 0);
    return true;
  };
  ASSERT_TRUE(comm.SendPing());
  EXPECT_EQ(comm.LastFrame().PayloadText, "BB");
  EXPECT_EQ(comm.StaleDropped(), 1u);
}

TEST_F(ReceivePath, GarbageNeverBreaksIt) {
  // Random datagrams, some with frame starts: no crash, state always valid,
  // and the unparsed text stays bounded.
  uint32_t x = 12345;
  for (int i = 0; i < 3000; ++i) {
    Bytes d(static_cast<size_t>(x % 700));
    for (auto& b : d) {
      x = x * 1103515245 + 12345;
      b = static_cast<uint8_t>(x >> 16);
    }
    if (i % 3 == 0 && d.size() > 2) {
      d[0] = 0xAA;
      d[1] = 0x55;
    }
    Feed(d);
    const TTransState s = comm.State();
    EXPECT_TRUE(s == TTransState::Idle || s == TTransState::Waiting || s == TTransState::Receiving);
  }
}

// ---------------------------------------------------------------------------
// Whole transactions on loopback. Needs the private network namespace.

constexpr uint16_t kPort = 8442;

Bytes PingRequest(uint32_t dst, uint16_t hash = 0) {
  std::array<uint8_t, kMaxRequestFrame> b{};
  uint16_t len = 0;
  BuildFrame(1, dst, cmdPing, 0, 0, b, len, hash);
  return Bytes(b.begin(), b.begin() + len);
}

// Answers every request with an answer from `nad` carrying `payload`.
TPeer::TScript Answering(uint32_t nad, Bytes payload = {}) {
  return [nad, payload](const Bytes&) { return std::vector<Bytes>{AnswerFrame(nad, 1, 1, 0, payload)}; };
}

TPeer::TScript Silent() {
  return [](const Bytes&) { return std::vector<Bytes>{}; };
}

// A tick source that jumps ahead on every call, so that time-outs pass
// without waiting for them.
std::function<uint32_t()> FastTicks(uint32_t step = 50) {
  auto t = std::make_shared<uint32_t>(0);
  return [t, step] { return *t += step; };
}

class Transport : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_STREQ(std::getenv("TAVEX_IN_NETNS"), "1") << "network tests run only inside scripts/netns";
    ASSERT_TRUE(comm.Open("lo")) << "adapter lo missing: run inside scripts/netns";
    ASSERT_EQ(comm.Adapter.IP, "127.0.0.1");
    ASSERT_EQ(comm.Adapter.Broadcast, "127.255.255.255");
  }
  TCommunicator comm;
};

TEST_F(Transport, PingLearnsTheControllersAddress) {
  TPeer plc("127.0.0.2", kPort, Answering(1000));
  comm.SetNad(1000);
  comm.RemoteIP = "127.0.0.2";
  ASSERT_TRUE(comm.Ping());
  EXPECT_EQ(comm.RemoteIP, "127.0.0.2");
  EXPECT_EQ(plc.Requests(), 1);
  EXPECT_EQ(plc.Received()[0], PingRequest(1000));
  EXPECT_EQ(plc.LastSender(), "127.0.0.1");
}

TEST_F(Transport, PasswordHashTrailsEveryRequest) {
  TPeer plc("127.0.0.2", kPort, Answering(1000));
  comm.SetNad(1000);
  comm.RemoteIP = "127.0.0.2";
  comm.PasswordHash = TextChecksum("abc", 0);
  ASSERT_TRUE(comm.SendPing());
  EXPECT_EQ(plc.Received()[0], PingRequest(1000, 0x7F00));
}

TEST_F(Transport, SilentControllerCostsThreeSendsAndFails) {
  TPeer plc("127.0.0.2", kPort, Silent());
  comm.SetNad(1000);
  comm.RemoteIP = "127.0.0.2";
  comm.TickSource = FastTicks();
  comm.Timeout = 200;
  const uint64_t before = comm.SendCount();
  EXPECT_FALSE(comm.SendPing());
  EXPECT_EQ(comm.SendCount() - before, 3u);
  // Each request reached the station (the count is seen from its side too).
  for (int i = 0; i < 200 && plc.Requests() < 3; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  EXPECT_EQ(plc.Requests(), 3);
  EXPECT_EQ(comm.Timeout, 500);
}

TEST_F(Transport, TheTransportsOwnValuesHoldForEveryTransaction) {
  // A one-off Timeout lasts one transaction; DefaultTimeout and
  // DefaultRetries are what the communicator returns to.
  TPeer plc("127.0.0.2", kPort, Silent());
  comm.SetNad(1000);
  comm.RemoteIP = "127.0.0.2";
  comm.TickSource = FastTicks();
  comm.DefaultTimeout = comm.Timeout = 300;
  comm.DefaultRetries = comm.Retries = 2;
  const uint64_t before = comm.SendCount();
  EXPECT_FALSE(comm.SendPing());
  EXPECT_EQ(comm.Timeout, 300);
  std::vector<std::string> nads, ips;
  comm.Autodetect(&nads, &ips, 100);
  EXPECT_EQ(comm.Timeout, 300);
  EXPECT_EQ(comm.Retries, 2);
  EXPECT_FALSE(comm.SendPing());
  EXPECT_EQ(comm.SendCount() - before, 5u);  // 2 + the broadcast + 2
}

TEST_F(Transport, AnswerWithDirection0FailsTheAttemptAndIsRetried) {
  std::atomic<int> n{0};
  TPeer plc("127.0.0.2", kPort, [&](const Bytes&) {
    return std::vector<Bytes>{AnswerFrame(1000, 1, ++n < 3 ? 0 : 1, 0, {})};
  });
  comm.SetNad(1000);
  comm.RemoteIP = "127.0.0.2";
  EXPECT_TRUE(comm.SendPing());
  EXPECT_EQ(plc.Requests(), 3);
}

TEST_F(Transport, OnlyTheAskedControllersAnswerIsTaken) {
  // Before the controller's own answer (payload 02) a frame arrives on the
  // request's port from someone else: dropped and counted, and the wait
  // goes on for the real answer. With nothing else coming, the request
  // fails rather than take the foreign frame.
  struct Case {
    const char* name;
    uint32_t nad, dest;
    const char* from;
  } cases[] = {
      {"another_controller_same_address", 1001, 1, "127.0.0.2"},
      {"same_nad_from_another_address", 1000, 1, "127.0.0.3"},
      {"another_controller_elsewhere", 1001, 1, "127.0.0.3"},
      {"answer_to_another_master", 1000, 7, "127.0.0.2"},
  };
  for (const auto& c : cases) {
    for (const bool ownAnswerFollows : {true, false}) {
      SCOPED_TRACE(std::string(c.name) + (ownAnswerFollows ? "" : ", alone"));
      TCommunicator t;
      ASSERT_TRUE(t.Open("lo"));
      TPeer stranger(c.from, kPort + 1, [](const Bytes&) { return std::vector<Bytes>{}; });
      const bool sameAddress = std::string(c.from) == "127.0.0.2";
      TPeer plc("127.0.0.2", kPort, [&](const Bytes&, uint16_t from) {
        const Bytes foreign = AnswerFrame(c.nad, c.dest, 1, 0, {0x01});
        std::vector<Bytes> sent;
        if (sameAddress) {
          sent.push_back(foreign);
        } else {
          stranger.SendTo(foreign, "127.0.0.1", from);
          std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        if (ownAnswerFollows) sent.push_back(AnswerFrame(1000, 1, 1, 0, {0x02}));
        return sent;
      });
      t.SetNad(1000);
      t.RemoteIP = "127.0.0.2";
      t.Retries = 1;
      t.Timeout = 300;
      EXPECT_EQ(t.SendPing(), ownAnswerFollows);
      if (ownAnswerFollows) {
        EXPECT_EQ(t.LastFrame().PayloadText, "02");
      }
      EXPECT_EQ(t.ForeignDropped(), 1u);
    }
  }
}

TEST_F(Transport, APingToNad0TakesWhoeverAnswers) {
  // The way to learn who lives at an address: any NAD answers.
  TPeer plc("127.0.0.2", kPort, Answering(4711));
  comm.SetNad(kBroadcastNad);
  comm.RemoteIP = "127.0.0.2";
  ASSERT_TRUE(comm.SendPing());
  EXPECT_EQ(comm.LastFrame().SourceNad, 4711u);
  EXPECT_EQ(comm.LastFrame().PeerIP, "127.0.0.2");
  EXPECT_EQ(comm.ForeignDropped(), 0u);
}

TEST_F(Transport, SplitAnswerIsReassembled) {
  TPeer plc("127.0.0.2", kPort, [](const Bytes&) {
    const Bytes a = AnswerFrame(1000, 1, 1, 0, {1, 2, 3, 4, 5, 6});
    return std::vector<Bytes>{Concat({0x00, 0x01}, Bytes(a.begin(), a.begin() + 9)),
                              Bytes(a.begin() + 9, a.end())};
  });
  comm.SetNad(1000);
  comm.RemoteIP = "127.0.0.2";
  ASSERT_TRUE(comm.SendPing());
  EXPECT_EQ(comm.LastFrame().PayloadText, "010203040506");
  EXPECT_EQ(plc.Requests(), 1);
}

TEST_F(Transport, CorruptAnswerMakesTheRestOfTheAttemptTimeOut) {
  // The first answer of each request is corrupt, the second good: the good
  // one is appended behind the corrupt one and never parsed, so each attempt
  // times out.
  TPeer plc("127.0.0.2", kPort, [](const Bytes&) {
    Bytes bad = AnswerFrame(1000, 1, 1, 0, {9});
    bad[14] ^= 0xFF;
    return std::vector<Bytes>{bad, AnswerFrame(1000, 1, 1, 0, {9})};
  });
  comm.SetNad(1000);
  comm.RemoteIP = "127.0.0.2";
  comm.Timeout = 60;  // real time: both datagrams arrive well within it
  EXPECT_FALSE(comm.SendPing());
  EXPECT_EQ(comm.SendCount(), 3u);
  EXPECT_EQ(plc.Requests(), 3);
  EXPECT_EQ(comm.LastFrame().FrameText, "");
}

TEST_F(Transport, DestinationRule) {
  // RemoteIP set: unicast. Empty or "0.0.0.0": the adapter's broadcast.
  TPeer plc("127.0.0.2", kPort, Answering(1000));
  TPeer bcast("127.255.255.255", kPort, Silent());
  comm.SetNad(1000);
  comm.TickSource = FastTicks(100);
  for (const char* remote : {"", "0.0.0.0"}) {
    SCOPED_TRACE(remote);
    comm.RemoteIP = remote;
    const int before = bcast.Requests();
    comm.Retries = 1;
    comm.SendPing();
    for (int i = 0; i < 500 && bcast.Requests() == before; ++i)
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    EXPECT_EQ(bcast.Requests(), before + 1);
  }
  EXPECT_EQ(plc.Requests(), 0);
  comm.RemoteIP = "127.0.0.2";
  comm.Retries = 3;
  comm.TickSource = nullptr;
  EXPECT_TRUE(comm.SendPing());
  EXPECT_EQ(plc.Requests(), 1);

  // An invalid broadcast address falls back to 255.255.255.255.
  TPeer limited("255.255.255.255", kPort, Silent());
  comm.RemoteIP = "";
  comm.Adapter.Broadcast = "0.0.0.0";
  comm.Retries = 1;
  comm.SendPing();
  for (int i = 0; i < 500 && limited.Requests() == 0; ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  EXPECT_EQ(limited.Requests(), 1);
}

TEST_F(Transport, DirectConnectionBroadcastsFromPort65535) {
  TPeer limited("255.255.255.255", 9000, Silent());
  comm.SetDirectConnection(true);
  ASSERT_TRUE(comm.Open("lo"));
  EXPECT_EQ(comm.LocalPort(), kDirectLocalPort);
  comm.RemoteIP = "127.0.0.2";  // ignored in direct connection
  comm.RemotePort = 9000;
  comm.Retries = 1;
  comm.TickSource = FastTicks(100);
  comm.SendPing();
  for (int i = 0; i < 500 && limited.Requests() == 0; ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  EXPECT_EQ(limited.Requests(), 1);
  EXPECT_EQ(limited.LastSenderPort(), kDirectLocalPort);
}

TEST_F(Transport, AutodetectCollectsEveryAnswerInArrivalOrder) {
  // The broadcast reaches one receiver; two "controllers" answer it from
  // their own addresses, a moment apart.
  TPeer a("127.0.0.2", kPort, Silent());
  TPeer b("127.0.0.3", kPort, Silent());
  // The answers go to the port that the broadcast came from.
  TPeer bcast("127.255.255.255", kPort, TPeer::TScriptFrom([&](const Bytes& req, uint16_t toolPort) {
    EXPECT_EQ(req, PingRequest(0));
    a.SendTo(AnswerFrame(1000, 1, 1, 0, {}), "127.0.0.1", toolPort);
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
    b.SendTo(AnswerFrame(0xFFFFFFFE, 1, 1, 0, {}), "127.0.0.1", toolPort);
    return std::vector<Bytes>{};
  }));
  comm.SetNad(1000);
  comm.RemoteIP = "127.0.0.9";
  std::vector<std::string> nads = {"stale"}, ips;
  ASSERT_TRUE(comm.Autodetect(&nads, &ips, 300));
  EXPECT_EQ(nads, (std::vector<std::string>{"1000", "4294967294"}));
  EXPECT_EQ(ips, (std::vector<std::string>{"127.0.0.2", "127.0.0.3"}));
  EXPECT_EQ(bcast.Requests(), 1);
  // Everything restored.
  EXPECT_EQ(comm.Nad, 1000u);
  EXPECT_EQ(comm.RemoteIP, "127.0.0.9");
  EXPECT_EQ(comm.Timeout, 500);
  EXPECT_EQ(comm.Retries, 3);
  EXPECT_FALSE(comm.Autodetect(nullptr, &ips, 10));
}

TEST_F(Transport, AutodetectListensOnPastAFrameThatIsNoAnswerToTheTool) {
  // Another station's request and a damaged frame come first; the answers
  // behind them, one of them well after, are listed all the same.
  TPeer a("127.0.0.2", kPort, Silent());
  TPeer b("127.0.0.3", kPort, Silent());
  Bytes damaged = AnswerFrame(1002, 1, 1, 0, {});
  damaged[4] ^= 0x01;
  TPeer bcast("127.255.255.255", kPort, TPeer::TScriptFrom([&](const Bytes&, uint16_t toolPort) {
    a.SendTo(AnswerFrame(5, 0, 0, 0, {0x10, 0, 0}), "127.0.0.1", toolPort);  // a request
    a.SendTo(damaged, "127.0.0.1", toolPort);
    a.SendTo(AnswerFrame(1000, 1, 1, 0, {}), "127.0.0.1", toolPort);
    b.SendLater(AnswerFrame(1001, 1, 1, 0, {}), "127.0.0.1", toolPort, 100);
    return std::vector<Bytes>{};
  }));
  std::vector<std::string> nads, ips;
  ASSERT_TRUE(comm.Autodetect(&nads, &ips, 1000));
  EXPECT_EQ(nads, (std::vector<std::string>{"1000", "1001"}));
  EXPECT_EQ(ips, (std::vector<std::string>{"127.0.0.2", "127.0.0.3"}));
  const TDetectReport r = comm.DetectReport();
  EXPECT_EQ(r.Skipped, 2u);
  ASSERT_EQ(r.Senders.size(), 1u);
  EXPECT_EQ(r.Senders[0].IP, "127.0.0.2");
  EXPECT_EQ(r.Senders[0].Foreign, 1u);
  EXPECT_EQ(r.Senders[0].Damaged, 1u);
  EXPECT_TRUE(r.Senders[0].HasNad);
  EXPECT_EQ(r.Senders[0].Nad, 5u);
  EXPECT_EQ(r.Lost, 0u);
  EXPECT_FALSE(comm.AutodetectIncomplete());
  // The listening socket got the large buffer (Linux reports twice the
  // size asked, or what its limit for users allows).
  EXPECT_GT(r.ReceiveBuffer, 200000u);
}

TEST_F(Transport, AutodetectTellsWhenTheSystemDroppedAnswers) {
  // A tiny receive buffer overflows: the system's count of the drops says
  // that answers are missing. The large one holds the whole burst.
  test::TBurst burst(comm, 200);
  comm.DetectReceiveBuffer = 1;
  std::vector<std::string> nads, ips;
  ASSERT_TRUE(comm.Autodetect(&nads, &ips, 300));
  TDetectReport r = comm.DetectReport();
  EXPECT_GT(r.Lost, 0u);
  EXPECT_EQ(nads.size() + r.Lost, 200u);
  EXPECT_TRUE(comm.AutodetectIncomplete());
  EXPECT_GT(r.ReceiveBuffer, 0u);
  EXPECT_LT(r.ReceiveBuffer, 100000u);

  comm.DetectReceiveBuffer = TCommunicator::kDetectReceiveBuffer;
  ASSERT_TRUE(comm.Autodetect(&nads, &ips, 300));
  r = comm.DetectReport();
  EXPECT_EQ(r.Lost, 0u);
  EXPECT_EQ(nads.size(), 200u);
  EXPECT_FALSE(comm.AutodetectIncomplete());
  EXPECT_EQ(burst.Broadcasts(), 2);
}

TEST_F(Transport, SetNadAndSetAddress) {
  comm.SetNad(1000);
  comm.RemoteIP = "127.0.0.2";
  comm.SetNad(1000);
  EXPECT_EQ(comm.RemoteIP, "127.0.0.2");
  comm.SetNad(1001);
  EXPECT_EQ(comm.RemoteIP, "");

  struct Case {
    const char* text;
    const char* ip;
    int port;
  } cases[] = {
      {"127.0.0.5", "127.0.0.5", 8442},
      {"127.0.0.5:9000", "127.0.0.5", 9000},
      {"127.0.0.5:x", "127.0.0.5:x", 8442},
      {"", "", 8442},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    comm.SetAddress(c.text);
    EXPECT_EQ(comm.RemoteIP, c.ip);
    EXPECT_EQ(comm.RemotePort, c.port);
    EXPECT_EQ(comm.AddressText, c.text);
  }
}

TEST_F(Transport, SendingAfterCloseReopensTheSocket) {
  TPeer plc("127.0.0.2", kPort, Answering(1000));
  comm.SetNad(1000);
  comm.RemoteIP = "127.0.0.2";
  ASSERT_TRUE(comm.Close());
  EXPECT_FALSE(comm.IsActive());
  EXPECT_TRUE(comm.SendPing());
  EXPECT_TRUE(comm.IsActive());
  comm.Deactivate();
  EXPECT_FALSE(comm.IsActive());
  EXPECT_TRUE(comm.SendPing());
}

TEST_F(Transport, OpenWithUnknownAdapterFails) {
  TCommunicator c;
  EXPECT_FALSE(c.Open("no-such-adapter"));
  EXPECT_FALSE(c.IsActive());
}

TEST_F(Transport, UnresolvableDestinationEndsTheTransaction) {
  comm.RemoteIP = "no.such.host.invalid";
  const uint64_t before = comm.SendCount();
  EXPECT_FALSE(comm.SendPing());
  EXPECT_EQ(comm.SendCount() - before, 1u);
}

// ---------------------------------------------------------------------------
// Answers to earlier requests: the wire carries no sequence number, so the
// source port is what tells them apart.

// Answers request k (counted from 1) with payload k after DelayMs(k), and a
// copy CopyMs(k) after the original when that is not negative.
// The peer is set once constructed (an atomic: the script runs on the
// peer's thread).
TPeer::TScriptFrom Numbered(std::atomic<TPeer*>& self, std::function<int(int)> DelayMs,
                            std::function<int(int)> CopyMs, std::atomic<int>& count) {
  return [&self, DelayMs, CopyMs, &count](const Bytes&, uint16_t port) {
    const int k = ++count;
    const Bytes a = AnswerFrame(1000, 1, 1, 0, {static_cast<uint8_t>(k)});
    TPeer* peer = self.load();
    peer->SendLater(a, "127.0.0.1", port, DelayMs(k));
    if (CopyMs(k) >= 0) peer->SendLater(a, "127.0.0.1", port, DelayMs(k) + CopyMs(k));
    return std::vector<Bytes>{};
  };
}

TEST_F(Transport, EveryRequestLeavesFromANewPortAndItsRetriesFromTheSame) {
  std::atomic<int> n{0};
  TPeer plc("127.0.0.2", kPort, [&](const Bytes&) {
    // The first request is answered on its third attempt only.
    return ++n == 1 || n == 2 ? std::vector<Bytes>{} : std::vector<Bytes>{AnswerFrame(1000, 1, 1, 0, {})};
  });
  comm.SetNad(1000);
  comm.RemoteIP = "127.0.0.2";
  comm.Timeout = 50;
  ASSERT_TRUE(comm.SendPing());
  for (int i = 0; i < 5; ++i) ASSERT_TRUE(comm.SendPing());
  const std::vector<uint16_t> ports = plc.SenderPorts();
  ASSERT_EQ(ports.size(), 8u);
  EXPECT_EQ(ports[0], ports[1]);
  EXPECT_EQ(ports[1], ports[2]);
  const std::set<uint16_t> distinct(ports.begin() + 2, ports.end());
  EXPECT_EQ(distinct.size(), 6u) << "each request after the first from a port of its own";
}

TEST_F(Transport, AnAnswerToAnEarlierRequestIsNeverTakenForALaterOne) {
  // Every case: request 1 fails or is answered, and something of request 1
  // (a late answer, a copy) arrives while request 2 waits, before request
  // 2's own answer. Request 2 must see its own payload (2) or nothing.
  struct Case {
    const char* name;
    std::function<int(int)> delay, copy;
    bool firstAnswered;
  } cases[] = {
      {"late_answer", [](int k) { return k == 1 ? 150 : 80; }, [](int) { return -1; }, false},
      {"copy_during_next_wait", [](int k) { return k == 1 ? 0 : 80; }, [](int) { return 30; }, true},
      {"late_answer_and_its_copy", [](int k) { return k == 1 ? 130 : 90; }, [](int) { return 5; }, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    TCommunicator t;
    std::atomic<int> count{0};
    std::atomic<TPeer*> self{nullptr};
    TPeer plc("127.0.0.2", kPort, Numbered(self, c.delay, c.copy, count));
    self = &plc;
    t.SetNad(1000);
    t.RemoteIP = "127.0.0.2";
    t.Retries = 1;
    t.Timeout = 100;
    EXPECT_EQ(t.SendPing(), c.firstAnswered);
    t.Timeout = 200;
    ASSERT_TRUE(t.SendPing());
    EXPECT_EQ(t.LastFrame().PayloadText, "02");
    plc.SendLater({}, "127.0.0.9", 1, 0);  // keeps the peer's timers apart from the next case
  }
}

// Answers that come after the time-out: the one taken by a resend is not
// told from a prompt answer to it (a lost request looks the same), but
// what reaches the request's socket after it ended, later than Timeout
// after its latest send, surely came late, on the open socket as on a
// resting one.
TEST_F(Transport, AnswersAfterTheTimeOutAreCountedWithTheirDelay) {
  struct Case {
    const char* name;
    std::function<int(int)> delay, copy;  // per request, as Numbered takes them
    int retries, requests;
    uint64_t late, resent, givenUp;
    int minDelayMs;  // the least the longest delay can be (when late > 0)
  } cases[] = {
      // Sent at 0, 100 and 200; the first answer (250) is taken, the others
      // (350, 450) come late: 150 and 250 ms after the last send.
      {"slow_answer_taken_on_a_resend", [](int) { return 250; }, [](int) { return -1; }, 3, 1, 2, 2, 0, 250},
      // Each given up at 100; the first answer reaches a resting socket, the second the open one.
      {"slow_answers_given_up", [](int) { return 160; }, [](int) { return -1; }, 1, 2, 2, 0, 2, 160},
      // The first request lost, the resend answered at once: a resend, nothing late.
      {"lost_request", [](int k) { return k == 1 ? 100000 : 0; }, [](int) { return -1; }, 2, 1, 0, 1, 0, 0},
      // A copy 30 ms after a prompt answer is no late answer.
      {"prompt_copy", [](int) { return 0; }, [](int) { return 30; }, 3, 2, 0, 0, 0, 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    TCommunicator t;
    std::atomic<int> count{0};
    std::atomic<TPeer*> self{nullptr};
    TPeer plc("127.0.0.2", kPort, Numbered(self, c.delay, c.copy, count));
    self = &plc;
    t.SetNad(1000);
    t.RemoteIP = "127.0.0.2";
    t.DefaultRetries = t.Retries = c.retries;
    t.DefaultTimeout = t.Timeout = 100;
    for (int i = 0; i < c.requests; ++i) t.SendPing();
    // Whatever is still coming arrives within the last socket's rest.
    std::this_thread::sleep_until(t.LateAnswersUntil() + std::chrono::milliseconds(50));
    t.EndRests();
    const TLateAnswers late = t.LateAnswers();
    EXPECT_EQ(late.Count, c.late);
    EXPECT_EQ(late.Resent, c.resent);
    EXPECT_EQ(late.GivenUp, c.givenUp);
    if (c.late > 0) {
      // Counted from the latest send, not the first (that would give 450).
      EXPECT_GE(late.MaxDelayMs, c.minDelayMs);
      EXPECT_LT(late.MaxDelayMs, c.minDelayMs + 150);
    } else {
      EXPECT_EQ(late.MaxDelayMs, 0);
    }
    plc.SendLater({}, "127.0.0.9", 1, 0);  // keeps the peer's timers apart from the next case
  }
}

TEST_F(Transport, DirectConnectionWaitsOutAQuietPeriodAfterATimeOut) {
  // On the fixed port a late answer cannot be told by its port: after a
  // time-out the next send waits one Timeout, and what arrives meanwhile is
  // dropped. Every answer here comes 150 ms late: request 1 times out at
  // 100 ms, its answer arrives at 150 inside the quiet period, request 2
  // leaves at 200 and times out at 300 before its own answer: no answer at
  // all, rather than request 1's.
  std::atomic<int> count{0};
  std::atomic<TPeer*> self{nullptr};
  TPeer limited("255.255.255.255", 9000,
                Numbered(self, [](int) { return 150; }, [](int) { return -1; }, count));
  self = &limited;
  comm.SetDirectConnection(true);
  ASSERT_TRUE(comm.Open("lo"));
  comm.RemotePort = 9000;
  comm.Retries = 1;
  comm.Timeout = 100;
  const auto t0 = std::chrono::steady_clock::now();
  EXPECT_FALSE(comm.SendPing());
  const uint64_t droppedBefore = comm.UnsolicitedDropped();
  comm.Timeout = 100;
  EXPECT_FALSE(comm.SendPing());
  EXPECT_GE(std::chrono::steady_clock::now() - t0, std::chrono::milliseconds(300));
  EXPECT_EQ(comm.UnsolicitedDropped() - droppedBefore, 1u);
  EXPECT_EQ(count.load(), 2);
  EXPECT_EQ(comm.LocalPort(), kDirectLocalPort);
}

TEST_F(Transport, TwoDirectConnectionsCannotShareTheirPort) {
  // Of two sockets sharing a port, only the last bound would receive the
  // answers: the second bind must fail instead.
  TCommunicator first, second;
  first.SetDirectConnection(true);
  second.SetDirectConnection(true);
  ASSERT_TRUE(first.Open("lo"));
  EXPECT_FALSE(second.Open("lo"));
  EXPECT_FALSE(second.IsActive());
  first.Close();
  EXPECT_TRUE(second.Open("lo")) << "the port is free again once the first is closed";
}

TEST(TransportLifetime, DestroyWhileDatagramsArrive) {
  ASSERT_STREQ(std::getenv("TAVEX_IN_NETNS"), "1") << "network tests run only inside scripts/netns";
  // A station floods a port that communicators keep opening and destroying;
  // the listener thread must be joined before the fields it touches go.
  std::atomic<bool> stop{false};
  std::atomic<uint16_t> target{0};
  std::thread flood([&] {
    asio::io_context io;
    asio::ip::udp::socket s(io, {asio::ip::make_address_v4("127.0.0.3"), 0});
    const Bytes f = AnswerFrame(1000, 1, 1, 0, {1, 2, 3});
    while (!stop) {
      const uint16_t p = target.load();
      asio::error_code ec;
      if (p != 0) s.send_to(asio::buffer(f), {asio::ip::make_address_v4("127.0.0.1"), p}, 0, ec);
    }
  });
  for (int i = 0; i < 100; ++i) {
    auto c = std::make_unique<TCommunicator>();
    c->Open("lo");
    target = c->LocalPort();
    std::this_thread::sleep_for(std::chrono::microseconds(200));
    c.reset();
  }
  stop = true;
  flood.join();
}

}  // namespace
}  // namespace tavex

// The page operations: entries, texts, the status check, value requests and
// the clock, against the in-process simulator.
#include "plc/uOperations.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdlib>
#include <functional>
#include <map>
#include <set>

#include "tests/comm/TestBurst.h"
#include "tests/comm/TestPeer.h"
#include "tests/plc/PlcFixture.h"
#include "tests/support/TestFrames.h"

namespace tavex {
namespace {

using namespace test;

TEST(SplitIndexedName, Entries) {
  struct Case {
    const char* entry;
    const char* name;
    int index;
  } cases[] = {
      {"temp[3]", "temp", 3},   {"speed", "speed", -1},    {"temp[]", "temp[]", -1},
      {"temp[-1]", "temp[-1]", -1}, {"temp[x]", "temp[x]", -1}, {"temp]3[", "temp]3[", -1},
      {"a[2]b", "ab", 2},       {"t[ 4]", "t", 4},         {"t[$A]", "t", 10},
      {"t[4 ]", "t[4 ]", -1},   {"t[99999999999]", "t[99999999999]", -1}, {"[1]", "", 1},
      {"t[0]", "t", 0},         {"", "", -1},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.entry);
    std::string name = "x";
    int32_t index = 7;
    SplitIndexedName(c.entry, name, index);
    EXPECT_EQ(name, c.name);
    EXPECT_EQ(index, c.index);
  }
}

TEST(FormatValue, GeneralFormatFifteenDigits) {
  struct Case {
    double v;
    const char* text;
  } cases[] = {
      {0, "0"},
      {12.5, "12.5"},
      {-3, "-3"},
      {1500, "1500"},
      {65535, "65535"},
      {-2147483647, "-2147483647"},
      {0.1, "0.1"},
      {static_cast<double>(0.1f), "0.100000001490116"},
      {1.0 / 3, "0.333333333333333"},
      {0.00001, "0.00001"},
      {0.000001, "1E-6"},
      {0.0000015, "1.5E-6"},
      {123456789012345, "123456789012345"},
      {1e15, "1E15"},
      {1.5e20, "1.5E20"},
      {-2.5e-7, "-2.5E-7"},
      {static_cast<double>(3.4e38f), "3.39999995214436E38"},
      {NAN, "NAN"},
      {INFINITY, "INF"},
      {-INFINITY, "-INF"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    EXPECT_EQ(FormatValue(c.v, '.'), c.text);
  }
  EXPECT_EQ(FormatValue(12.5, ','), "12,5");
  EXPECT_EQ(FormatValue(1.5e-6, ','), "1,5E-6");
}

TEST(SkippedSendersText, NamesWhoIsNotListedAndCountsTheRest) {
  auto sender = [](const char* ip, uint64_t foreign, uint64_t damaged, bool listed) {
    TDetectSender s;
    s.IP = ip;
    s.Foreign = foreign;
    s.Damaged = damaged;
    s.HasNad = foreign > 0;
    s.Nad = 1000;
    s.Listed = listed;
    return s;
  };
  struct Case {
    const char* name;
    std::vector<TDetectSender> senders;
    uint64_t skipped;
    const char* text;
  } cases[] = {
      {"whole_frame", {sender("127.0.0.3", 1, 0, false)}, 1, "from 127.0.0.3 (NAD 1000)"},
      {"damaged_only", {sender("127.0.0.3", 0, 2, false)}, 2, "from 127.0.0.3 (damaged)"},
      {"listed_ones_counted",
       {sender("127.0.0.3", 0, 1, true), sender("127.0.0.4", 1, 1, false), sender("127.0.0.5", 1, 0, true)}, 4,
       "from 127.0.0.4 (NAD 1000), and from 2 listed controllers"},
      {"one_listed", {sender("127.0.0.3", 0, 1, true)}, 1, "from 1 listed controller"},
      {"more_than_named", {sender("127.0.0.3", 0, 1, false)}, 5, "from 127.0.0.3 (damaged), and from others"},
      {"none_named", {}, 5, "from several senders"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    TDetectOutcome o;
    o.Senders = c.senders;
    o.Skipped = c.skipped;
    EXPECT_EQ(SkippedSendersText(o), c.text);
  }
}

// What a cell (and tavexctl) shows for a value read is what a write takes
// back, to the same bits on the wire: every type's limits, and the reals
// that single precision cannot hold exactly.
TEST(ValueText, EveryTypesLimitsReadBackToTheSameWireBits) {
  const struct {
    uint8_t type;
    uint32_t raw;  // as read from the controller
    const char* text;
  } cases[] = {
      {vtBit, 0, "0"},
      {vtBit, 255, "255"},
      {vtWord, 0, "0"},
      {vtWord, 65535, "65535"},
      {vtInt, 0x8000, "-32768"},
      {vtInt, 0x7FFF, "32767"},
      {vtLong, 0x80000000, "-2147483648"},
      {vtLong, 0x7FFFFFFF, "2147483647"},
      {vtReal, 0x7F7FFFFF, "3.4028235E38"},    // the largest
      {vtReal, 0xFF7FFFFF, "-3.4028235E38"},
      {vtReal, 0x00800000, "1.1754944E-38"},   // the smallest normal
      {vtReal, 0x00400000, "5.877472E-39"},    // a subnormal
      {vtReal, 0x00000001, "1E-45"},           // the smallest subnormal
      {vtReal, 0x80000001, "-1E-45"},
      {vtReal, 0x00000000, "0"},
      {vtReal, 0x80000000, "-0"},
      {vtReal, 0x3FE66666, "1.8"},             // not 1.79999995231628
      {vtReal, 0x41A0CCCD, "20.1"},            // not 20.1000003814697
      {vtReal, 0x41480000, "12.5"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(TypeKeyword(c.type)) + " " + c.text);
    TTavexVar read("v", 0x100, 0, 1, 0, 0, scGlobal, c.type, false, false, "", uint8_t{0});
    read.SetRawValue(c.raw);
    const std::string text = ValueText(read, '.');
    EXPECT_EQ(text, c.text);
    TVarValue v;
    ASSERT_TRUE(ValueFromText(c.type, text, v));
    TTavexVar written("v", 0x100, 0, 1, 0, 0, scGlobal, c.type, false, false, "", uint8_t{0});
    written.SetValue(v);
    const uint32_t mask = c.type == vtBit ? 0xFFu : (c.type == vtWord || c.type == vtInt ? 0xFFFFu : ~0u);
    EXPECT_EQ(written.GetRawValue() & mask, c.raw);
    // The desktop's own separator, and nothing else, differs.
    std::string comma = text;
    std::replace(comma.begin(), comma.end(), '.', ',');
    EXPECT_EQ(ValueText(read, ','), comma);
  }
}

// A timer, counter and the like are never read: whatever the element holds
// is no value of the controller's, so the cell shows "?", never 0.
TEST(ValueText, ATypeThatIsNotTransferredShowsNoValue) {
  for (uint8_t type : {vtTimer, vtCounter, vtVoid, vtTimerBit, vtTimerLong, vtCounterBit, vtCounterLong}) {
    SCOPED_TRACE(TypeKeyword(type));
    TTavexVar e("t", 0x100, 0, 1, 0, 0, scGlobal, type, false, false, "", uint8_t{0});
    EXPECT_EQ(ValueText(e, '.'), "?");
    e.SetRawValue(1234);
    EXPECT_EQ(ValueText(e, '.'), "?");
    TGadgetVar r("1.t", "t", 1, -1, "");
    r.Link = &e;
    EXPECT_EQ(CellText(r, '.'), "?");
  }
}

TEST(FormatRtc, TwoBlanksBetweenDateAndTime) {
  EXPECT_EQ(FormatRtc(2026, 3, 4, 5, 6, 7), "2026-03-04  05:06:07");
  EXPECT_EQ(FormatRtc(26, 12, 31, 23, 59, 59), "0026-12-31  23:59:59");
}

class Operations : public PlcTest {
 protected:
  json Vars(bool weekday = true, bool sec = true) {
    json v = json::array({Var("speed", "word", {{"value", 1500}}), Var("setpoint", "real", {{"value", 12.5}}),
                          Var("offset", "int", {{"value", -40}}), Var("total", "long", {{"value", -123456}}),
                          Var("relay", "bit", {{"count", 4}, {"value", {0, 1, 1, 0}}})});
    for (auto& c : ClockVars(weekday, sec)) v.push_back(c);
    return v;
  }
};

TEST_F(Operations, DetectMakesOneRecordPerController) {
  // 1000 answers twice: one record all the same.
  Start(json::array({Controller(1000, "127.0.0.2", {{"password", "pw"}, {"faults", {{"duplicate", 1}}}}),
                     Controller(4000000000u, "127.0.0.3", {{"password", "pw"}}),
                     Controller(1002, "127.0.0.4", {{"password", "other"}})}));
  TCommunicator comm;
  TTavexList list;
  list.Add(std::make_unique<TTavex>());  // an earlier detection is discarded
  TDetectOptions opt;
  opt.AdapterID = "lo";
  opt.Password = "pw";
  opt.ListenMs = 200;
  TDetectOutcome outcome;
  DetectControllers(comm, list, opt, &outcome);
  ASSERT_EQ(list.Count(), 2);
  EXPECT_EQ(outcome.Rounds, 1);
  EXPECT_FALSE(outcome.AnswersLost);
  EXPECT_EQ(outcome.Skipped, 0u);
  std::map<int64_t, std::string> found;
  for (int i = 0; i < list.Count(); ++i) {
    TTavex* t = list.Items(i);
    found[t->Nad] = t->GetIpAddress();
    EXPECT_EQ(t->Password, "pw");
    EXPECT_EQ(t->Communicator->Adapter.ID, "lo");
  }
  EXPECT_EQ(found, (std::map<int64_t, std::string>{{1000, "127.0.0.2"}, {4000000000, "127.0.0.3"}}));
  // The records reach their controllers (the right password, the right NAD).
  for (int i = 0; i < list.Count(); ++i) EXPECT_TRUE(list.Items(i)->Ping());

  // No usable adapter: nothing is found and nothing goes out.
  sim_->ClearLog();
  opt.AdapterID = "no-such-adapter";
  TCommunicator other;
  other.Adapter.Clear();
  DetectControllers(other, list, opt);
  EXPECT_EQ(list.Count(), 0);
  EXPECT_EQ(other.SendCount(), 0u);
}

TEST_F(Operations, DetectBroadcastsAgainWhileAnswersAreLost) {
  ASSERT_STREQ(std::getenv("TAVEX_IN_NETNS"), "1") << "network tests run only inside scripts/netns";
  // The first broadcast's answers overflow a tiny receive buffer; the
  // broadcast goes again (with the large buffer), and the list is whole,
  // each controller once.
  TCommunicator comm;
  TBurst burst(comm, 100);
  comm.DetectReceiveBuffer = 1;
  TDetectOptions opt;
  opt.AdapterID = "lo";
  opt.ListenMs = 200;
  std::vector<TDetectRound> rounds;
  opt.AfterRound = [&](const TDetectRound& R) {
    rounds.push_back(R);
    comm.DetectReceiveBuffer = TCommunicator::kDetectReceiveBuffer;
  };
  TTavexList list;
  TDetectOutcome outcome;
  ASSERT_TRUE(DetectControllers(comm, list, opt, &outcome));
  EXPECT_EQ(outcome.Rounds, 2);
  EXPECT_FALSE(outcome.AnswersLost);
  EXPECT_EQ(outcome.Lost, 0u);
  ASSERT_EQ(rounds.size(), 2u);
  EXPECT_GT(rounds[0].Report.Lost, 0u);
  EXPECT_LT(rounds[0].Answers, 100);
  EXPECT_EQ(rounds[0].New, rounds[0].Answers);
  EXPECT_EQ(rounds[1].Report.Lost, 0u);
  EXPECT_EQ(rounds[1].Answers, 100);
  EXPECT_EQ(rounds[1].New, 100 - rounds[0].Answers);
  std::set<int64_t> nads;
  for (int i = 0; i < list.Count(); ++i) nads.insert(list.Items(i)->Nad);
  EXPECT_EQ(list.Count(), 100);
  EXPECT_EQ(nads.size(), 100u);
  EXPECT_EQ(*nads.begin(), 1000);
  EXPECT_EQ(*nads.rbegin(), 1099);
  EXPECT_EQ(burst.Broadcasts(), 2);

  // Lost in every broadcast: the outcome says so, and keeps what came.
  comm.DetectReceiveBuffer = 1;
  opt.AfterRound = nullptr;
  ASSERT_TRUE(DetectControllers(comm, list, opt, &outcome));
  EXPECT_EQ(outcome.Rounds, 3);
  EXPECT_TRUE(outcome.AnswersLost);
  EXPECT_GT(outcome.Lost, 0u);
  EXPECT_GT(list.Count(), 0);
  EXPECT_LT(list.Count(), 100);
  EXPECT_EQ(burst.Broadcasts(), 5);
}

TEST_F(Operations, DetectAsksAgainWhenAnUnlistedSendersAnswerWasSpoilt) {
  ASSERT_STREQ(std::getenv("TAVEX_IN_NETNS"), "1") << "network tests run only inside scripts/netns";
  // 127.0.0.4 answers every broadcast; 127.0.0.2 or .3 sends something else
  // as well, broadcast k by broadcast k. A spoilt answer from a sender not
  // yet listed is asked again (up to three broadcasts); another station's
  // traffic is not.
  using Bytes = std::vector<uint8_t>;
  Bytes damaged = AnswerFrame(1000, 1, 1, 0, {});
  damaged[15] ^= 0x01;
  struct Case {
    const char* name;
    std::function<Bytes(int k)> extra;  // the datagram of the second station at broadcast k
    int rounds;
    std::vector<std::string> listed;  // "NAD@IP", in order
    std::string sender;               // the skipped sender: "IP foreign/damaged", "?" when maybe an answer
  } cases[] = {
      {"damaged_then_whole", [&](int k) { return k == 1 ? damaged : AnswerFrame(1000, 1, 1, 0, {}); }, 2,
       {"1001@127.0.0.4", "1000@127.0.0.2"}, "127.0.0.2 0/1?"},
      {"direction_0_every_time", [](int) { return AnswerFrame(1000, 1, 0, 0, {}); }, 3, {"1001@127.0.0.4"},
       "127.0.0.2 3/0?"},
      {"another_stations_request", [](int) { return AnswerFrame(5, 9, 0, 0, {0x10}); }, 1, {"1001@127.0.0.4"},
       "127.0.0.2 1/0"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    TPeer second("127.0.0.2", 8442, [](const Bytes&) { return std::vector<Bytes>{}; });
    TPeer first("127.0.0.4", 8442, [](const Bytes&) { return std::vector<Bytes>{}; });
    std::atomic<int> k{0};
    TPeer bcast("127.255.255.255", 8442, TPeer::TScriptFrom([&](const Bytes&, uint16_t toolPort) {
      const int n = ++k;
      first.SendTo(AnswerFrame(1001, 1, 1, 0, {}), "127.0.0.1", toolPort);
      second.SendLater(c.extra(n), "127.0.0.1", toolPort, 20);
      return std::vector<Bytes>{};
    }));
    TCommunicator comm;
    TTavexList list;
    TDetectOptions opt;
    opt.AdapterID = "lo";
    opt.ListenMs = 200;
    TDetectOutcome outcome;
    ASSERT_TRUE(DetectControllers(comm, list, opt, &outcome));
    EXPECT_EQ(outcome.Rounds, c.rounds);
    EXPECT_EQ(k.load(), c.rounds);
    EXPECT_FALSE(outcome.AnswersLost);
    std::vector<std::string> listed;
    for (int i = 0; i < list.Count(); ++i)
      listed.push_back(std::to_string(list.Items(i)->Nad) + "@" + list.Items(i)->GetIpAddress());
    EXPECT_EQ(listed, c.listed);
    ASSERT_EQ(outcome.Senders.size(), 1u);
    const TSkippedSender& s = outcome.Senders[0];
    EXPECT_EQ(s.IP + " " + std::to_string(s.Foreign) + "/" + std::to_string(s.Damaged) + (s.MaybeAnswer ? "?" : ""),
              c.sender);
  }
}

// An adapter that lost its address is listed with "0.0.0.0"; nothing is
// opened on it, so nothing leaves by whatever way the host would route it.
TEST_F(Operations, NothingIsSentOnAnAdapterWithoutAddress) {
  Start(json::array({Controller(1000, "127.0.0.2", {{"variables", Vars()}})}));
  TPlatformSourcesGuard guard;
  std::string loIP = "0.0.0.0";
  SetAdapterTableSource([&](std::vector<TAdapterRecord>& t) {
    t = {{"lo", "Loopback adapter lo", loIP, loIP == "0.0.0.0" ? "0.0.0.0" : "255.0.0.0"}};
    return true;
  });
  TCommunicator comm;
  TTavexList list;
  TDetectOptions opt;
  opt.AdapterID = "lo";
  opt.ListenMs = 100;
  EXPECT_FALSE(DetectControllers(comm, list, opt));
  EXPECT_EQ(comm.SendCount(), 0u);
  EXPECT_FALSE(comm.IsActive());

  auto plc = Record(1000, "127.0.0.2");
  EXPECT_EQ(plc->Communicator->Adapter.IP, "0.0.0.0");
  EXPECT_FALSE(plc->OpenSocket());
  std::vector<std::string> texts;
  TRowSteps steps;
  steps.SkipAfterFailure = true;
  EXPECT_EQ(ReadRow(*plc, {"speed", "setpoint"}, texts, '.', steps), TRowEnd::ControllerFailed);
  EXPECT_EQ(plc->LastError, kErrOpen);
  EXPECT_EQ(plc->Communicator->SendCount(), 0u);
  EXPECT_TRUE(sim_->Log().empty());

  // The address back: found and read again.
  loIP = "127.0.0.1";
  EXPECT_TRUE(DetectControllers(comm, list, opt));
  EXPECT_EQ(list.Count(), 1);
  plc->SelectAdapter("lo");
  EXPECT_EQ(ReadRow(*plc, {"speed"}, texts, '.', steps), TRowEnd::Done);
  EXPECT_EQ(texts, std::vector<std::string>{"1500"});
}

TEST_F(Operations, StatusCheckRunsFiveStepsInOrder) {
  Start(json::array({Controller(1000, "127.0.0.2", {{"variables", Vars()}}),
                     Controller(1001, "127.0.0.3", {{"has_program", false}})}));
  struct Case {
    int64_t nad;
    const char* ip;
    std::vector<bool> results;
  } cases[] = {{1000, "127.0.0.2", {true, true, true, true, true}},
               {1001, "127.0.0.3", {true, true, false, false, true}}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.nad);
    auto plc = Record(c.nad, c.ip);
    std::vector<std::pair<int, bool>> steps;
    std::vector<std::pair<int, int>> pauses;  // (after step, ms)
    TStatusSteps cb;
    cb.AfterStep = [&](int s, bool ok) { steps.emplace_back(s, ok); };
    cb.Pause = [&](int ms) { pauses.emplace_back(steps.back().first, ms); };
    CheckStatus(*plc, cb);
    ASSERT_EQ(steps.size(), 5u);
    for (int s = 0; s < 5; ++s) {
      EXPECT_EQ(steps[static_cast<size_t>(s)].first, s);
      EXPECT_EQ(steps[static_cast<size_t>(s)].second, c.results[static_cast<size_t>(s)]) << s;
    }
    EXPECT_EQ(pauses, (std::vector<std::pair<int, int>>{{0, 100}, {1, 100}, {2, 100}, {4, 100}}));
    EXPECT_EQ(plc->SocketOpen, c.results[0]);
    EXPECT_EQ(plc->AlcOk, c.results[3]);
    EXPECT_FALSE(plc->Communicator->IsActive());  // closed at the end
  }
}

TEST_F(Operations, SilentControllerShowsNetworkOkAndErrorsElsewhere) {
  Start(json::array({Controller(1000, "127.0.0.2", {{"faults", {{"silent", true}}}})}));
  auto plc = Record(1000, "127.0.0.2");
  plc->Communicator->TickSource = FastTicks();
  std::vector<bool> results;
  CheckStatus(*plc, {[&](int, bool ok) { results.push_back(ok); }, {}, {}});
  EXPECT_EQ(results, (std::vector<bool>{true, false, false, false, false}));
}

TEST_F(Operations, StopEndsTheStatusCheckBetweenStepsWithTheSocketClosed) {
  Start(json::array({Controller(1000, "127.0.0.2", {{"variables", Vars()}})}));
  auto plc = Record(1000, "127.0.0.2");
  std::vector<int> steps;
  TStatusSteps cb;
  cb.AfterStep = [&](int s, bool) { steps.push_back(s); };
  cb.Stop = [&] { return steps.size() == 2; };
  EXPECT_FALSE(CheckStatus(*plc, cb));
  EXPECT_EQ(steps, (std::vector<int>{0, 1}));
  EXPECT_FALSE(plc->Communicator->IsActive());
  cb.Stop = nullptr;
  steps.clear();
  EXPECT_TRUE(CheckStatus(*plc, cb));
  EXPECT_EQ(steps.size(), 5u);
}

// A row ends after the request in flight when asked to stop; the entries
// not yet asked keep their texts, and the clock is not asked.
TEST_F(Operations, StopEndsTheRowAfterTheRequestInFlight) {
  Start(json::array({Controller(1000, "127.0.0.2", {{"variables", Vars()}})}));
  auto plc = Record(1000, "127.0.0.2");
  plc->RtcText = "earlier";
  const std::vector<std::string> entries = {"speed", "setpoint", "offset"};
  for (const bool write : {false, true}) {
    SCOPED_TRACE(write ? "write" : "read");
    std::vector<std::string> texts = {"1600", "old 1", "old 2"};
    int asked = 0;
    TRowSteps steps;
    steps.Busy = [&](int) { ++asked; };
    steps.Stop = [&] { return asked == 1; };
    bool clock = false;
    steps.Clock = [&] { clock = true; };
    sim_->ClearLog();
    const TRowEnd end = write ? WriteRow(*plc, entries, texts, LocalNow, '.', steps)
                              : ReadRow(*plc, entries, texts, '.', steps);
    EXPECT_EQ(end, TRowEnd::Stopped);
    EXPECT_EQ(asked, 1);
    EXPECT_EQ(texts, (std::vector<std::string>{write ? "1600" : "1500", "old 1", "old 2"}));
    EXPECT_FALSE(clock);
    EXPECT_EQ(plc->RtcText, "earlier");
    EXPECT_EQ(Log(52).size(), write ? 1u : 0u);  // only the first value was written
  }
}

// A controller that failed is asked once: its other cells show "?" at once
// and its clock is not asked; the next row operation asks it again.
TEST_F(Operations, AControllerThatFailedIsAskedOncePerRow) {
  Start(json::array({Controller(1000, "127.0.0.2", {{"variables", Vars()}, {"faults", {{"silent", true}}}})}));
  auto plc = Record(1000, "127.0.0.2");
  plc->Communicator->TickSource = FastTicks();
  plc->RtcText = "earlier";
  const std::vector<std::string> entries = {"speed", "setpoint", "offset"};
  std::vector<std::string> order;
  TRowSteps steps;
  steps.Busy = [&](int k) { order.push_back("busy " + std::to_string(k)); };
  steps.Done = [&](int k, const std::string& t) { order.push_back("done " + std::to_string(k) + " " + t); };
  steps.SkipAfterFailure = true;
  for (int run = 0; run < 2; ++run) {
    SCOPED_TRACE(run);
    order.clear();
    sim_->ClearLog();
    std::vector<std::string> texts;
    EXPECT_EQ(ReadRow(*plc, entries, texts, '.', steps), TRowEnd::ControllerFailed);
    EXPECT_TRUE(ControllerFailed(*plc));
    EXPECT_EQ(plc->LastError, kErrPing);
    EXPECT_EQ(texts, (std::vector<std::string>{"?", "?", "?"}));
    EXPECT_EQ(order, (std::vector<std::string>{"busy 0", "done 0 ?", "done 1 ?", "done 2 ?"}));
    EXPECT_TRUE(plc->RtcText.empty());
    // Only the first cell's pings reached the controller.
    const auto log = sim_->Log();
    ASSERT_FALSE(log.empty());
    std::set<int> commands;
    for (const json& e : log) commands.insert(e.value("command", -1));
    EXPECT_EQ(commands, std::set<int>{16});  // the ping and its retries, nothing after
  }
  // Without the rule every cell waits out its own time-outs.
  steps.SkipAfterFailure = false;
  order.clear();
  std::vector<std::string> texts;
  EXPECT_EQ(ReadRow(*plc, entries, texts, '.', steps), TRowEnd::Done);
  EXPECT_EQ(std::count_if(order.begin(), order.end(), [](const std::string& o) { return o.rfind("busy", 0) == 0; }), 3);

  // A controller that answers but lacks a variable has not failed.
  sim_->SetFaults(1000, sim::ParseFaults(json::object()));
  steps.SkipAfterFailure = true;
  texts.clear();
  EXPECT_EQ(ReadRow(*plc, {"nosuch", "speed"}, texts, '.', steps), TRowEnd::Done);
  EXPECT_EQ(texts, (std::vector<std::string>{"?", "1500"}));
  EXPECT_FALSE(plc->RtcText.empty());

  // Once reached, a controller that goes silent fails at a later stage (the
  // program check), which counts alike: it is not responding, whatever
  // program it holds.
  sim_->SetFaults(1000, sim::ParseFaults({{"silent", true}}));
  sim_->ClearLog();
  order.clear();
  EXPECT_EQ(ReadRow(*plc, entries, texts, '.', steps), TRowEnd::ControllerFailed);
  EXPECT_EQ(plc->LastError, kErrPing);
  EXPECT_EQ(order, (std::vector<std::string>{"busy 0", "done 0 ?", "done 1 ?", "done 2 ?"}));
  EXPECT_TRUE(Log(51).empty());
}

TEST_F(Operations, ReadRowGivesCellTextsAndTheClock) {
  Start(json::array({Controller(1000, "127.0.0.2", {{"variables", Vars()}})}));
  auto plc = Record(1000, "127.0.0.2");
  const std::vector<std::string> entries = {"speed", "setpoint", "offset", "total", "relay[2]", "relay[9]", "nosuch"};
  std::vector<std::string> texts;
  std::vector<std::string> order;
  TRowSteps steps;
  steps.Busy = [&](int k) { order.push_back("busy " + std::to_string(k)); };
  steps.Done = [&](int k, const std::string& t) { order.push_back("done " + std::to_string(k) + " " + t); };
  ReadRow(*plc, entries, texts, '.', steps);
  EXPECT_EQ(texts, (std::vector<std::string>{"1500", "12.5", "-40", "-123456", "1", "?", "?"}));
  EXPECT_EQ(order.front(), "busy 0");
  EXPECT_EQ(order[1], "done 0 1500");
  EXPECT_EQ(order.back(), "done 6 ?");
  EXPECT_EQ(plc->RtcText.substr(0, 12), "2026-03-04  ");
  // One request per entry, each its own read, then the clock in one read.
  const auto reads = Log(51);
  ASSERT_EQ(reads.size(), 6u);  // entries that link (5), then the clock
  EXPECT_EQ(reads.back()["addresses"].size(), 6u);
}

// The desktop's walk: a timer or counter cell shows "?" (the controller
// holds 1234 in it), and writing the row back sends nothing to them.
TEST_F(Operations, TimersAndCountersShowNoValueAndAreNeverWritten) {
  json vars = Vars();
  vars.push_back(Var("t", "timer", {{"value", 1234}}));
  vars.push_back(Var("c", "counter", {{"value", 1234}}));
  vars.push_back(Var("tl", "timerlong", {{"value", 1234}}));
  Start(json::array({Controller(1000, "127.0.0.2", {{"variables", vars}})}));
  auto plc = Record(1000, "127.0.0.2");
  const std::vector<std::string> entries = {"t", "speed", "c", "tl"};
  std::vector<std::string> texts;
  ReadRow(*plc, entries, texts, '.');
  EXPECT_EQ(texts, (std::vector<std::string>{"?", "1500", "?", "?"}));

  sim_->ClearLog();
  texts = {"5", "1600", "0", "?"};
  WriteRow(*plc, entries, texts, nullptr, '.');
  EXPECT_EQ(texts, (std::vector<std::string>{"?", "1600", "?", "?"}));
  for (const json& w : Log(52))
    for (const auto& name : w["names"]) EXPECT_EQ(name, "speed") << w.dump();
  EXPECT_EQ(sim_->ReadVarRaw(1000, "t"), 1234u);
  EXPECT_EQ(sim_->ReadVarRaw(1000, "c"), 1234u);
  EXPECT_EQ(sim_->ReadVarRaw(1000, "tl"), 1234u);
}

// A clock variable of a type that is not transferred was never read: the
// clock is not shown rather than shown with a made-up field.
TEST_F(Operations, AClockVariableThatIsNotTransferredHidesTheClock) {
  json vars = json::array();
  for (json v : ClockVars()) {
    if (v["name"] == "rtc_sec") v["type"] = "timer";
    vars.push_back(v);
  }
  Start(json::array({Controller(1000, "127.0.0.2", {{"variables", vars}})}));
  auto plc = Record(1000, "127.0.0.2");
  ReadClock(*plc);
  EXPECT_EQ(plc->RtcText, "");
  EXPECT_TRUE(plc->AlcOk);
}

TEST_F(Operations, ClockWithoutSecondsOrWeekday) {
  Start(json::array({Controller(1000, "127.0.0.2", {{"variables", Vars(true, false)}}),
                     Controller(1001, "127.0.0.3", {{"variables", Vars(false, true)}})}));
  auto noSec = Record(1000, "127.0.0.2");
  ReadClock(*noSec);
  EXPECT_EQ(noSec->RtcText, "");

  auto noWeekday = Record(1001, "127.0.0.3");
  ReadClock(*noWeekday);
  EXPECT_EQ(noWeekday->RtcText.substr(0, 10), "2026-03-04");
  // Write needs the weekday for its display; the others are still written.
  TLocalTime t{2026, 12, 6, 9, 5, 3, 0};
  WriteClock(*noWeekday, &t);
  EXPECT_EQ(noWeekday->RtcText, "");
  const auto writes = Log(52);
  ASSERT_EQ(writes.size(), 1u);
  EXPECT_EQ(writes[0]["names"].size(), 7u);
  ASSERT_TRUE(sim_->Clock(1001).has_value());
  EXPECT_EQ(sim_->Clock(1001)->Year, 2026);
}

TEST_F(Operations, SynchronisedClockArrivesInOneWrite) {
  Start(json::array({Controller(1000, "127.0.0.2", {{"variables", Vars()}})}));
  auto plc = Record(1000, "127.0.0.2");
  const TLocalTime sunday{2026, 12, 6, 9, 5, 3, 0};
  WriteClock(*plc, &sunday);
  const auto writes = Log(52);
  ASSERT_EQ(writes.size(), 1u);
  std::map<std::string, int64_t> written;
  for (size_t i = 0; i < writes[0]["names"].size(); ++i)
    written[writes[0]["names"][i].get<std::string>()] = writes[0]["values"][i].get<int64_t>();
  EXPECT_EQ(written, (std::map<std::string, int64_t>{{"rtc_year", 2026}, {"rtc_month", 12}, {"rtc_date", 6},
                                                     {"rtc_hour", 9}, {"rtc_min", 5}, {"rtc_sec", 3},
                                                     {"rtc_weekday", 0}, {"rtc_write_req", 1}}));
  ASSERT_TRUE(writes[0].contains("clock_set"));
  EXPECT_EQ(writes[0]["clock_set"]["applied"], true);
  EXPECT_EQ(plc->RtcText.substr(0, 17), "2026-12-06  09:05");

  // Not synchronising: read only, nothing written.
  sim_->ClearLog();
  WriteClock(*plc, nullptr);
  EXPECT_EQ(Log(52).size(), 0u);
  EXPECT_EQ(plc->RtcText.substr(0, 10), "2026-12-06");
}

// The controller takes all its clock fields at once on rtc_write_req, and
// must not be asked to take a mix of new and old ones: a clock variable
// that rejects its value, or one that is missing (rtc_weekday excepted),
// keeps the whole clock write back; the clock is still read.
TEST_F(Operations, AClockWriteIsAllFieldsOrNone) {
  json rejecting = ClockVars();
  rejecting[1] = Var("rtc_month", "timer");  // takes no value at all
  json noWriteReq = ClockVars();
  noWriteReq.erase(noWriteReq.size() - 1);
  struct TCase {
    const char* Name;
    json Vars;
    size_t Fields;  // written; 0: no write at all
  } cases[] = {
      {"complete", ClockVars(), 8},
      {"no_weekday", ClockVars(false, true), 7},
      {"rejected_month", rejecting, 0},
      {"no_seconds", ClockVars(true, false), 0},
      {"no_write_request", noWriteReq, 0},
  };
  json controllers = json::array();
  for (size_t i = 0; i < std::size(cases); ++i)
    controllers.push_back(Controller(static_cast<uint32_t>(1000 + i), "127.0.0." + std::to_string(2 + i),
                                     {{"variables", cases[i].Vars}}));
  Start(controllers);
  const TLocalTime t{2026, 12, 6, 9, 5, 3, 0};
  for (size_t i = 0; i < std::size(cases); ++i) {
    const TCase& c = cases[i];
    SCOPED_TRACE(c.Name);
    const auto nad = static_cast<uint32_t>(1000 + i);
    sim_->ClearLog();
    auto plc = Record(nad, "127.0.0." + std::to_string(2 + i));  // fresh: its types come with the clock's first read
    WriteClock(*plc, &t);
    const auto writes = Log(52);
    EXPECT_FALSE(Log(51).empty());  // read all the same
    ASSERT_TRUE(sim_->Clock(nad).has_value());
    if (c.Fields == 0) {
      EXPECT_EQ(writes.size(), 0u);
      EXPECT_EQ(sim_->Clock(nad)->Day, 4);  // as it was
      continue;
    }
    ASSERT_EQ(writes.size(), 1u);
    EXPECT_EQ(writes[0]["names"].size(), c.Fields);
    EXPECT_TRUE(writes[0].contains("clock_set"));
    EXPECT_EQ(sim_->Clock(nad)->Day, 6);
  }
}

TEST_F(Operations, WriteRowWritesEveryTextAndReadsItBack) {
  Start(json::array({Controller(1000, "127.0.0.2", {{"variables", Vars()}})}));
  auto plc = Record(1000, "127.0.0.2");
  const std::vector<std::string> entries = {"speed", "setpoint", "offset", "relay[1]", "nosuch"};
  std::vector<std::string> texts;
  ReadRow(*plc, entries, texts, '.');
  texts = {"1600", "-0.5", "", "0", "5"};  // an empty text is only read
  WriteRow(*plc, entries, texts, nullptr, '.');
  EXPECT_EQ(texts, (std::vector<std::string>{"1600", "-0.5", "-40", "0", "?"}));
  EXPECT_EQ(sim_->ReadVarValue(1000, "setpoint"), -0.5);
  EXPECT_EQ(sim_->ReadVarValue(1000, "relay", 1), 0);
  // "?" handed back as a value text writes the last known value.
  sim_->ClearLog();
  texts = {"?", "", "", "", ""};
  WriteRow(*plc, entries, texts, nullptr, '.');
  ASSERT_EQ(Log(52).size(), 1u);
  EXPECT_EQ(Log(52)[0]["values"], json::array({1600}));

  // Synchronising: the time is taken once, after the values went out, and
  // the clock's eight values follow in one write of their own.
  sim_->ClearLog();
  texts = {"1700", "", "", "", ""};
  size_t writesBeforeClock = 99;
  int calls = 0;
  WriteRow(
      *plc, entries, texts,
      [&] {
        ++calls;
        writesBeforeClock = Log(52).size();
        return TLocalTime{2026, 12, 6, 9, 5, 3, 0};
      },
      '.');
  EXPECT_EQ(calls, 1);
  EXPECT_EQ(writesBeforeClock, 1u);
  const auto writes = Log(52);
  ASSERT_EQ(writes.size(), 2u);
  EXPECT_EQ(writes[0]["values"], json::array({1700}));
  EXPECT_EQ(writes[1]["names"].size(), 8u);
  EXPECT_EQ(plc->RtcText.substr(0, 17), "2026-12-06  09:05");
}

TEST_F(Operations, BadAllocationLineEndsTheRow) {
  Start(json::array({Controller(
      1000, "127.0.0.2", {{"alc_text", ";CPU Tavex-2 X\r\n0100 0 1 0 2 global word speed\r\n; oops\r\n"}})}));
  auto plc = Record(1000, "127.0.0.2");
  std::vector<std::string> texts = {"old0", "old1"};
  std::vector<int> done;
  TRowSteps steps;
  steps.Done = [&](int k, const std::string&) { done.push_back(k); };
  try {
    ReadRow(*plc, {"speed", "x"}, texts, '.', steps);
    FAIL() << "no exception";
  } catch (const Exception& e) {
    EXPECT_STREQ(e.what(), "Error parsing ALC data on line 3: \"; oops\"");
  }
  EXPECT_TRUE(done.empty());
  EXPECT_EQ(texts[1], "old1");
}

}  // namespace
}  // namespace tavex

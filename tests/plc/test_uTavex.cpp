// The controller record: the staged sequence, the link rules and the
// exchange, against the in-process simulator.
#include "plc/uTavex.h"

#include <gtest/gtest.h>

#include "plc/uOperations.h"
#include "tests/plc/PlcFixture.h"

namespace tavex {
namespace {

using namespace test;

constexpr int cmdPing = 16, cmdStatus = 17, cmdBlock = 33, cmdRead = 51, cmdWrite = 52;

json Vars() {
  return json::array({Var("speed", "word", {{"value", 1500}}), Var("setpoint", "real", {{"value", 12.5}}),
                      Var("temp", "int", {{"count", 4}, {"value", json::array({-5, 10, 20, 30})}}),
                      Var("counter", "long", {{"value", 123456}}), Var("relay", "bit", {{"value", 1}}),
                      Var("t1", "timer"), Var("hidden", "word", {{"scope", "local"}})});
}

// One request list of (name, index, value text) for NAD 1000.
struct Req {
  const char* name;
  int index;
  const char* text;
};
void Fill(TGadgetVarList& list, std::initializer_list<Req> reqs, int64_t nad = 1000) {
  for (const auto& r : reqs) list.Add(new TGadgetVar("k", r.name, nad, r.index, r.text));
}

// The simulator's usual layout: header at page 512, directory at 0x20500
// (page 517) with a small archive right after it.
constexpr int kHeaderPage = 0x20000 / 256, kDirectoryPage = 0x20500 / 256;

class TavexRecord : public PlcTest {
 protected:
  // The page requests: one of the header fields, one of the directory,
  // then the archive's pages, which follow the directory.
  ::testing::AssertionResult HeaderThenArchive() const {
    std::vector<int> pages;
    std::string text;
    for (const json& e : Log(cmdBlock)) {
      pages.push_back(e.value("page", -1));
      text += " " + std::to_string(pages.back());
    }
    bool ok = pages.size() >= 3 && pages[0] == kHeaderPage && pages[1] == kDirectoryPage;
    for (size_t i = 2; ok && i < pages.size(); ++i) ok = pages[i] >= kDirectoryPage && pages[i] - kDirectoryPage < 8;
    return ok ? ::testing::AssertionSuccess() : ::testing::AssertionFailure() << "pages" << text;
  }
};

TEST_F(TavexRecord, FreshRecordRunsEveryStageInOneCall) {
  Start(json::array({Controller(1000, "127.0.0.2", {{"variables", Vars()}})}));
  auto plc = Record(1000, "127.0.0.2");
  std::vector<std::string> trace;
  plc->TraceHook = [&](const char* t) { trace.push_back(t); };
  TGadgetVarList list;
  Fill(list, {{"speed", -1, ""}});
  plc->ProcessVariables(list);

  EXPECT_EQ(plc->Stage, stCheckCode);
  EXPECT_TRUE(plc->SocketOpen && plc->Responding && plc->HasProgram && plc->AlcOk && plc->PlcRunning);
  EXPECT_EQ(plc->LastError, "");
  ASSERT_NE(list.Items(0)->Link, nullptr);
  EXPECT_EQ(list.Items(0)->Link->Value, TVarValue(uint16_t{1500}));
  EXPECT_EQ(trace, (std::vector<std::string>{"after open", "after connect", "after check code",
                                             "after check date", "after read alc", "after check plc run"}));
  // ping, the header fields (program and stamp in one read), the directory
  // and archive pages, run status, then the read. Nothing to write: no
  // write request.
  const auto cmds = Commands();
  ASSERT_GE(cmds.size(), 6u);
  EXPECT_EQ(cmds.front(), cmdPing);
  EXPECT_EQ(cmds[cmds.size() - 2], cmdStatus);
  EXPECT_EQ(cmds.back(), cmdRead);
  EXPECT_EQ(Log(cmdWrite).size(), 0u);

  // The next call starts at the program check: no open, no ping, and the
  // unchanged stamp keeps the archive.
  sim_->ClearLog();
  plc->ProcessVariables(list);
  EXPECT_EQ(Commands(), (std::vector<int>{cmdBlock, cmdStatus, cmdRead}));
}

TEST_F(TavexRecord, NothingForThisNadSendsNothing) {
  Start(json::array({Controller(1000, "127.0.0.2", {{"variables", Vars()}})}));
  auto plc = Record(1000, "127.0.0.2");
  TGadgetVarList empty, others;
  Fill(others, {{"speed", -1, "5"}}, 1001);
  plc->ProcessVariables(empty);
  plc->ProcessVariables(others);
  EXPECT_EQ(plc->Stage, stIdle);
  EXPECT_EQ(sim_->LogSize(), 0u);
  EXPECT_EQ(others.Items(0)->Link, nullptr);
  EXPECT_TRUE(others.Items(0)->WritePending);
}

TEST_F(TavexRecord, FailedPingSkipsTheRestAndTheNextCallReopens) {
  Start(json::array({Controller(1000, "127.0.0.2", {{"variables", Vars()}, {"faults", {{"silent", true}}}})}));
  auto plc = Record(1000, "127.0.0.2");
  plc->Communicator->TickSource = FastTicks();
  plc->HasProgram = true;  // a flag from an earlier check keeps its value
  TGadgetVarList list;
  Fill(list, {{"speed", -1, ""}});
  plc->ProcessVariables(list);
  EXPECT_EQ(plc->LastError, "PLC not responding!");
  EXPECT_EQ(plc->Stage, stOpen);
  EXPECT_TRUE(plc->SocketOpen);
  EXPECT_FALSE(plc->Responding);
  EXPECT_TRUE(plc->HasProgram);
  ASSERT_TRUE(sim_->WaitForLog(3, std::chrono::seconds(2)));
  EXPECT_EQ(Commands(), (std::vector<int>{cmdPing, cmdPing, cmdPing}));
  EXPECT_EQ(list.Items(0)->Link, nullptr);

  // The controller comes back: the next call opens and pings again.
  sim::TFaults none;
  sim_->SetFaults(1000, none);
  sim_->ClearLog();
  plc->ProcessVariables(list);
  EXPECT_EQ(plc->Stage, stCheckCode);
  EXPECT_EQ(Commands().front(), cmdPing);
  ASSERT_NE(list.Items(0)->Link, nullptr);
}

TEST_F(TavexRecord, StoppedProgramIsStillExchanged) {
  Start(json::array({Controller(1000, "127.0.0.2", {{"variables", Vars()}, {"status", {1, 1}}})}));
  auto plc = Record(1000, "127.0.0.2");
  TGadgetVarList list;
  Fill(list, {{"speed", -1, "42"}});
  plc->ProcessVariables(list);
  EXPECT_FALSE(plc->PlcRunning);
  EXPECT_EQ(plc->LastError, "");
  EXPECT_EQ(sim_->ReadVarValue(1000, "speed"), 42);
  EXPECT_EQ(list.Items(0)->Link->Value, TVarValue(uint16_t{42}));
}

TEST_F(TavexRecord, ChangedStampFetchesTheArchiveAgain) {
  Start(json::array({Controller(1000, "127.0.0.2", {{"variables", Vars()}})}));
  auto plc = Record(1000, "127.0.0.2");
  TGadgetVarList list;
  Fill(list, {{"speed", -1, ""}});
  plc->ProcessVariables(list);
  sim_->SetStamp(1000, 99);
  sim_->ClearLog();
  plc->ProcessVariables(list);
  // The header fields, then the directory and the archive.
  EXPECT_TRUE(HeaderThenArchive());
  EXPECT_EQ(plc->Communicator->CodeStamp, 99u);
  ASSERT_NE(list.Items(0)->Link, nullptr);
}

TEST_F(TavexRecord, BadAllocationLineRaisesAndStaysAtTheArchive) {
  Start(json::array({Controller(
      1000, "127.0.0.2",
      {{"alc_text", ";CPU Tavex-2 X\r\n0100 0 1 0 2 global word speed\r\n0700 0 1 0 0 global float x\r\n"}})}));
  auto plc = Record(1000, "127.0.0.2");
  TGadgetVarList list;
  Fill(list, {{"speed", -1, ""}});
  try {
    plc->ProcessVariables(list);
    FAIL() << "no exception";
  } catch (const Exception& e) {
    EXPECT_STREQ(e.what(), "Error parsing ALC data on line 3: \"0700 0 1 0 0 global float x\"");
  }
  EXPECT_EQ(plc->Stage, stReadAlc);
  EXPECT_FALSE(plc->AlcOk);  // unchanged
  EXPECT_EQ(plc->AlcVars.Count(), 1);
  // The next call fetches the archive again (and raises again): it starts
  // at the archive, so the fetch reads the header fields itself.
  sim_->ClearLog();
  EXPECT_THROW(plc->ProcessVariables(list), Exception);
  EXPECT_TRUE(HeaderThenArchive());
}

TEST_F(TavexRecord, MissingArchiveFailsTheStage) {
  Start(json::array({Controller(1000, "127.0.0.2", {{"alc_entry", {{"present", false}}}})}));
  auto plc = Record(1000, "127.0.0.2");
  TGadgetVarList list;
  Fill(list, {{"speed", -1, ""}});
  plc->ProcessVariables(list);
  EXPECT_EQ(plc->LastError, "ALC data not found!");
  EXPECT_FALSE(plc->AlcOk);
  EXPECT_EQ(plc->Stage, stOpen);
  EXPECT_EQ(plc->AlcVars.Count(), 0);
}

TEST_F(TavexRecord, NoProgramFailsTheStage) {
  Start(json::array({Controller(1000, "127.0.0.2", {{"has_program", false}})}));
  auto plc = Record(1000, "127.0.0.2");
  TGadgetVarList list;
  Fill(list, {{"speed", -1, ""}});
  plc->ProcessVariables(list);
  EXPECT_EQ(plc->LastError, "PLC has no program!");
  EXPECT_EQ(plc->Stage, stOpen);
}

// Lost answers say nothing about what the controller holds: a program
// check or an archive fetch that gets no answer is "PLC not responding!";
// only a header that was read and holds no program is "PLC has no program!".
TEST_F(TavexRecord, LostAnswersAreNoRespondingNotNoProgram) {
  const struct {
    const char* what;
    json keys;
    const char* error;
  } cases[] = {
      {"header reads unanswered", {{"faults", {{"drop", 1}, {"only_commands", {cmdBlock}}}}}, kErrPing},
      // Ping and header answered, the directory and archive pages not.
      {"archive reads unanswered", {{"faults", {{"silent_after_requests", 2}}}}, kErrPing},
      {"header without a program", {{"has_program", false}}, kErrProgram},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    json keys = c.keys;
    keys["variables"] = Vars();
    sim_.reset();  // the one before lets go of its addresses first
    Start(json::array({Controller(1000, "127.0.0.2", keys)}));
    auto plc = Record(1000, "127.0.0.2");
    plc->Communicator->TickSource = FastTicks();
    TGadgetVarList list;
    Fill(list, {{"speed", -1, ""}});
    plc->ProcessVariables(list);
    EXPECT_EQ(plc->LastError, c.error);
    EXPECT_EQ(plc->Stage, stOpen);
    EXPECT_FALSE(plc->AlcOk);
    // The simulator saw the memory reads the verdict rests on.
    EXPECT_FALSE(Log(cmdBlock).empty());
  }
}

TEST_F(TavexRecord, FailedReadIsReportedAndReopens) {
  Start(json::array({Controller(1000, "127.0.0.2",
                                {{"variables", Vars()}, {"faults", {{"drop", 1}, {"only_commands", {cmdRead}}}}})}));
  auto plc = Record(1000, "127.0.0.2");
  plc->Communicator->TickSource = FastTicks();
  TGadgetVarList list;
  Fill(list, {{"speed", -1, ""}});
  plc->ProcessVariables(list);
  EXPECT_EQ(plc->LastError, "Error reading vars");
  EXPECT_EQ(plc->Stage, stOpen);
  // Linked, but the value is not the controller's: the parser's 0.
  ASSERT_NE(list.Items(0)->Link, nullptr);
  EXPECT_FALSE(list.Items(0)->Link->ValueKnown);
}

TEST_F(TavexRecord, LinkRules) {
  Start(json::array({Controller(1000, "127.0.0.2", {{"variables", Vars()}})}));
  auto plc = Record(1000, "127.0.0.2");
  struct Case {
    const char* name;
    int index;
    bool linked;
    TVarValue value;
  } cases[] = {
      {"speed", -1, true, uint16_t{1500}},
      {"speed", 0, true, uint16_t{1500}},
      {"speed", 1, false, {}},
      {"temp", -1, true, int16_t{-5}},  // element 0 of an array
      {"temp", 3, true, int16_t{30}},
      {"temp", 4, false, {}},
      {"Speed", -1, false, {}},  // names are case-sensitive
      {"hidden", -1, false, {}},  // local: no element
      {"nosuch", -1, false, {}},
      {"t1", -1, true, uint8_t{0}},  // linked, never transferred
  };
  TGadgetVarList list;
  for (const auto& c : cases) list.Add(new TGadgetVar("k", c.name, 1000, c.index, ""));
  plc->ProcessVariables(list);
  for (size_t i = 0; i < std::size(cases); ++i) {
    SCOPED_TRACE(std::string(cases[i].name) + "[" + std::to_string(cases[i].index) + "]");
    const TGadgetVar* r = list.Items(static_cast<int>(i));
    ASSERT_EQ(r->Link != nullptr, cases[i].linked);
    if (cases[i].linked) {
      EXPECT_EQ(r->Link->Value, cases[i].value);
    }
  }
}

TEST_F(TavexRecord, WriteThenReadInOneCall) {
  Start(json::array({Controller(1000, "127.0.0.2", {{"variables", Vars()}})}));
  auto plc = Record(1000, "127.0.0.2");
  TGadgetVarList list;
  Fill(list, {{"speed", -1, "2000"}, {"temp", 2, "-300"}, {"setpoint", -1, "7.25"}, {"counter", -1, ""},
              {"t1", -1, "9"}});
  plc->ProcessVariables(list);

  const auto writes = Log(cmdWrite);
  ASSERT_EQ(writes.size(), 1u);
  // The three accepted values, nothing else (the timer is not transferred).
  std::vector<std::string> names = writes[0]["names"].get<std::vector<std::string>>();
  std::sort(names.begin(), names.end());
  EXPECT_EQ(names, (std::vector<std::string>{"setpoint", "speed", "temp[2]"}));
  // Read back in the same call, after the write.
  const auto cmds = Commands();
  EXPECT_EQ(cmds.back(), cmdRead);
  EXPECT_EQ(cmds[cmds.size() - 2], cmdWrite);
  EXPECT_EQ(Log(cmdRead)[0]["addresses"].size(), 4u);

  EXPECT_EQ(sim_->ReadVarValue(1000, "speed"), 2000);
  EXPECT_EQ(sim_->ReadVarValue(1000, "temp", 2), -300);
  EXPECT_EQ(sim_->ReadVarValue(1000, "setpoint"), 7.25);
  EXPECT_EQ(list.Items(0)->Link->Value, TVarValue(uint16_t{2000}));
  EXPECT_EQ(list.Items(1)->Link->Value, TVarValue(int16_t{-300}));
  EXPECT_EQ(list.Items(3)->Link->Value, TVarValue(int32_t{123456}));
  EXPECT_EQ(list.Items(4)->Link->Value, TVarValue(uint8_t{0}));
  for (int i = 0; i < list.Count(); ++i) EXPECT_FALSE(list.Items(i)->WritePending);

  // The same requests again: only read.
  sim_->ClearLog();
  plc->ProcessVariables(list);
  EXPECT_EQ(Log(cmdWrite).size(), 0u);
}

TEST_F(TavexRecord, NeverWritesAValueNobodyAskedFor) {
  // Right after the allocation file is loaded an element holds the parser's
  // 0. A rejected text for such an element must not write that 0.
  Start(json::array({Controller(1000, "127.0.0.2", {{"variables", Vars()}})}));
  auto plc = Record(1000, "127.0.0.2");
  TGadgetVarList list;
  Fill(list, {{"speed", -1, "banana"}, {"counter", -1, "99"}});
  plc->ProcessVariables(list);
  const auto writes = Log(cmdWrite);
  ASSERT_EQ(writes.size(), 1u);
  EXPECT_EQ(writes[0]["names"], json::array({"counter"}));
  EXPECT_EQ(sim_->ReadVarValue(1000, "speed"), 1500);  // untouched
  EXPECT_EQ(list.Items(0)->Link->Value, TVarValue(uint16_t{1500}));  // and read back

  // Once read, the element's value is the controller's: a rejected text now
  // writes that last known value, as the desktop tool always did.
  sim_->ClearLog();
  TGadgetVarList again;
  Fill(again, {{"speed", -1, "?"}});
  plc->ProcessVariables(again);
  ASSERT_EQ(Log(cmdWrite).size(), 1u);
  EXPECT_EQ(Log(cmdWrite)[0]["values"], json::array({1500}));

  // Only rejected texts for unread elements: no write at all.
  auto fresh = Record(1000, "127.0.0.2");
  sim_->ClearLog();
  TGadgetVarList bad;
  Fill(bad, {{"speed", -1, "70000"}, {"temp", 1, "x"}});
  fresh->ProcessVariables(bad);
  EXPECT_EQ(Log(cmdWrite).size(), 0u);
  EXPECT_EQ(sim_->ReadVarValue(1000, "temp", 1), 10);
}

TEST_F(TavexRecord, NadAbove2147483647IsItsOwn) {
  Start(json::array({Controller(1000, "127.0.0.2", {{"variables", Vars()}}),
                     Controller(4000000000u, "127.0.0.3", {{"variables", Vars()}})}));
  auto plc = Record(NadFromText("4000000000"), "127.0.0.3");
  EXPECT_EQ(plc->Nad, 4000000000);
  TGadgetVarList list;
  Fill(list, {{"speed", -1, "77"}}, plc->Nad);
  plc->ProcessVariables(list);
  EXPECT_EQ(sim_->ReadVarValue(4000000000u, "speed"), 77);
  EXPECT_EQ(sim_->ReadVarValue(1000, "speed"), 1500);
  for (const json& e : sim_->Log())
    if (e.contains("dest_nad") && e["nad"] == 4000000000u) {
      EXPECT_EQ(e["dest_nad"], 4000000000u);
    }
}

TEST(RecordBasics, NadTextsAndLists) {
  EXPECT_EQ(NadFromText("1000"), 1000);
  EXPECT_EQ(NadFromText("4294967295"), 4294967295);
  EXPECT_EQ(NadFromText("4294967296"), 0);
  EXPECT_EQ(NadFromText("x"), 0);
  EXPECT_EQ(NadFromText(""), 0);
  EXPECT_EQ(NadFromText("-1"), 0);

  TTavex t;
  EXPECT_EQ(t.Nad, -1);
  t.SetNad(5);
  t.SetIpAddress("127.0.0.9:9000");
  EXPECT_EQ(t.GetIpAddress(), "127.0.0.9");
  EXPECT_EQ(t.Communicator->RemotePort, 9000);
  t.SetNad(5);
  EXPECT_EQ(t.GetIpAddress(), "127.0.0.9");
  t.SetNad(6);
  EXPECT_EQ(t.GetIpAddress(), "");
  EXPECT_EQ(t.Communicator->Nad, 6u);
  t.SetPassword("abc");
  EXPECT_EQ(t.Communicator->PasswordHash, 0x7F00);
  EXPECT_FALSE(t.SelectAdapter("no-such-adapter"));

  TTavexList list;
  EXPECT_EQ(list.Add(std::make_unique<TTavex>()), 0);
  EXPECT_EQ(list.Count(), 1);
  EXPECT_EQ(list.Items(-1), nullptr);
  EXPECT_EQ(list.Items(1), nullptr);
  list.Clear();
  EXPECT_EQ(list.Count(), 0);
}

}  // namespace
}  // namespace tavex

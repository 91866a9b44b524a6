// The page operations against a simulated controller under every fault of
// the simulator, alone and combined. Whatever arrives, each cell shows the
// controller's true value or "?", and no write carries a value that nobody
// asked for. Every case proves from the simulator's log that its fault was
// really injected, so a misspelt or ignored fault cannot pass unnoticed.
#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "plc/uOperations.h"
#include "tests/plc/PlcFixture.h"
#include "vars/uGadgetVars.h"
#include "vars/uNumberText.h"

namespace tavex {
namespace {

using namespace test;

constexpr uint32_t kNad = 1000;
constexpr int cmdBlock = 33, cmdRead = 51, cmdWrite = 52;
// 500 ms time-outs pass in 25 ms: quick, yet far above a loopback round
// trip even on a loaded machine, so no answer is late by accident.
constexpr uint32_t kTickFactor = 20;

// Archive fetches in a log of page requests: each begins with the read of
// the directory (its first page, as many bytes as the directory's entries).
int ArchiveFetches(const std::vector<json>& Blocks, const sim::TCodeLayout& Layout) {
  const uint32_t page = Layout.DirectoryAddress / 256;
  const uint32_t count = Layout.DirectoryAddress % 256 + Layout.EntryCount * 46u;
  int n = 0;
  for (const json& e : Blocks) n += e["page"] == page && e["count"] == std::min<uint32_t>(count, 256);
  return n;
}

// One configured entry: the grid's text, and the element it names.
struct TEntry {
  std::string Entry;
  std::string Name;
  int Index;
  uint8_t Type;
};

const std::vector<TEntry>& Entries() {
  static const std::vector<TEntry> e = {
      {"speed", "speed", 0, vtWord},        {"setpoint", "setpoint", 0, vtReal}, {"offset", "offset", 0, vtInt},
      {"total", "total", 0, vtLong},        {"relay[1]", "relay", 1, vtBit},     {"relay[2]", "relay", 2, vtBit},
      {"level[2]", "level", 2, vtWord},
  };
  return e;
}

// What the user types before Write: a new value, or "" (only read), or
// nullptr (the cell's text as read is handed back, "?" included).
const std::vector<const char*>& Edits() {
  static const std::vector<const char*> e = {"1600", "-0.5", "", "7", "0", nullptr, "33"};
  return e;
}

json Variables() {
  json v = json::array({Var("speed", "word", {{"value", 1500}}), Var("setpoint", "real", {{"value", 12.5}}),
                        Var("offset", "int", {{"value", -40}}), Var("total", "long", {{"value", -123456}}),
                        Var("relay", "bit", {{"count", 4}, {"value", {0, 1, 1, 0}}}),
                        Var("level", "word", {{"count", 3}, {"value", {10, 20, 30}}})});
  for (auto& c : ClockVars()) v.push_back(c);
  return v;
}

// The wire form of a value text for a type, as the width the log shows.
uint32_t Mask(uint8_t Type, uint32_t Raw) {
  switch (Type) {
    case vtBit:
      return Raw & 0xFF;
    case vtWord:
    case vtInt:
      return Raw & 0xFFFF;
    default:
      return Raw;
  }
}

std::optional<uint32_t> RawOfText(uint8_t Type, const std::string& Text) {
  TVarValue v;
  if (!ValueFromText(Type, Text, v)) return std::nullopt;
  TTavexVar e;
  e.VarType = Type;
  e.SetValue(v);
  return Mask(Type, e.GetRawValue());
}

struct TFaultCase {
  const char* Name;
  json Controller;                 // extra controller keys, "faults" among them
  std::vector<std::string> Proof;  // fault names the log must show
  bool Lossless;                   // nothing is lost for good: no "?" and every status step ok
  std::vector<std::string> Keys = {};  // log fields some entry must carry
  int ArchiveFetches = 0;              // at least this many archive fetches (directory reads)
  bool WritesArrive = true;            // the controller hears at least one write
  bool SomeValue = true;               // at least one cell shows a value
};

void PrintTo(const TFaultCase& c, std::ostream* os) { *os << c.Name; }

class FaultMatrix : public PlcTest, public ::testing::WithParamInterface<TFaultCase> {
 protected:
  // Each cell against the controller's value now: equal, or "?".
  void ExpectTrueOrUnknown(const std::vector<std::string>& Texts, const char* Phase) {
    ASSERT_EQ(Texts.size(), Entries().size());
    for (size_t k = 0; k < Texts.size(); ++k) {
      const TEntry& e = Entries()[k];
      SCOPED_TRACE(std::string(Phase) + " " + e.Entry);
      if (Texts[k] == "?") {
        ++Unknown;
        continue;
      }
      ++Known;
      const auto truth = sim_->ReadVarValue(kNad, e.Name, e.Index);
      ASSERT_TRUE(truth.has_value());
      EXPECT_EQ(Texts[k], e.Type == vtReal ? FormatSingle(static_cast<float>(*truth), '.') : FormatValue(*truth, '.'));
    }
  }

  // Shown only when all six clock variables came from this controller's
  // clock, which started on 2026-03-04 and has not run for a day.
  void ExpectClockTrueOrEmpty(const TTavex& Plc) {
    if (Plc.RtcText.empty()) return;
    EXPECT_EQ(Plc.RtcText.substr(0, 12), "2026-03-04  ") << Plc.RtcText;
  }

  int Known = 0;
  int Unknown = 0;
};

TEST_P(FaultMatrix, ShowsTrueValuesOrQuestionMarksAndWritesOnlyWhatWasAsked) {
  const TFaultCase& c = GetParam();
  json controller = Controller(kNad, "127.0.0.2", {{"variables", Variables()}});
  for (auto& [k, v] : c.Controller.items()) controller[k] = v;
  Start(json::array({controller}));

  // What each element may be written with: the value it holds, or one that
  // the test asks for below.
  std::map<std::string, std::set<uint32_t>> allowed;
  for (const TEntry& e : Entries()) {
    const auto raw = sim_->ReadVarRaw(kNad, e.Name, e.Index);
    ASSERT_TRUE(raw.has_value()) << e.Entry;
    allowed[e.Entry].insert(Mask(e.Type, *raw));
  }

  auto plc = Record(kNad, "127.0.0.2");
  plc->Communicator->TickSource = FastTicks(kTickFactor);

  // The system check page first: its allocation load serves the reads.
  std::vector<bool> steps;
  CheckStatus(*plc, {[&](int, bool ok) { steps.push_back(ok); }, {}, {}});
  ASSERT_EQ(steps.size(), 5u);
  if (c.Lossless) {
    EXPECT_EQ(steps, std::vector<bool>(5, true));
  }

  std::vector<std::string> texts;
  ReadRow(*plc, {"speed", "setpoint", "offset", "total", "relay[1]", "relay[2]", "level[2]"}, texts, '.');
  ExpectTrueOrUnknown(texts, "read");
  ExpectClockTrueOrEmpty(*plc);

  // Write: every cell's text, the edited ones and those handed back as read.
  std::vector<std::string> entries;
  for (const TEntry& e : Entries()) entries.push_back(e.Entry);
  for (size_t k = 0; k < entries.size(); ++k) {
    if (Edits()[k] == nullptr) continue;
    texts[k] = Edits()[k];
    if (const auto raw = RawOfText(Entries()[k].Type, texts[k])) allowed[entries[k]].insert(*raw);
  }
  WriteRow(*plc, entries, texts, nullptr, '.');
  ExpectTrueOrUnknown(texts, "write");
  ExpectClockTrueOrEmpty(*plc);

  ReadRow(*plc, entries, texts, '.');
  ExpectTrueOrUnknown(texts, "read again");
  ExpectClockTrueOrEmpty(*plc);

  RecordProperty("cells_true", Known);
  RecordProperty("cells_unknown", Unknown);
  if (c.Lossless) {
    EXPECT_EQ(Unknown, 0);
  }
  // Never an empty result where anything answers: the tool recovers
  // between faults.
  if (c.SomeValue) {
    EXPECT_GT(Known, 0);
  }

  // From the log: no write carried a value nobody asked for, to an element
  // nobody named.
  int writes = 0;
  std::set<std::string> seen;
  for (const json& e : Log()) {
    for (const auto& f : e["faults"]) seen.insert(f.get<std::string>());
    if (e.value("command", -1) != cmdWrite) continue;
    ++writes;
    ASSERT_EQ(e["names"].size(), e["values"].size()) << e.dump();
    for (size_t i = 0; i < e["names"].size(); ++i) {
      ASSERT_TRUE(e["names"][i].is_string()) << "write to an unknown address: " << e.dump();
      const std::string name = e["names"][i].get<std::string>();
      ASSERT_TRUE(allowed.count(name)) << "write to an element nobody named: " << e.dump();
      EXPECT_TRUE(allowed[name].count(e["values"][i].get<uint32_t>())) << "a value nobody asked for: " << e.dump();
    }
  }
  if (c.WritesArrive) {
    EXPECT_GT(writes, 0);
  }
  for (const std::string& f : c.Proof) EXPECT_TRUE(seen.count(f)) << "the log shows no " << f;
  for (const std::string& k : c.Keys) {
    bool found = false;
    for (const json& e : Log()) found = found || e.contains(k);
    EXPECT_TRUE(found) << "no log entry carries " << k;
  }
  EXPECT_GE(ArchiveFetches(Log(cmdBlock), *sim_->Layout(kNad)), c.ArchiveFetches);
}

// Loss in both directions: 30% of the requests and 30% of the answers, so
// that an attempt fails about half of the time.
const json kLoss30 = {{"drop", 0.3}, {"drop_answer", 0.3}};

// Late answers and copies, in the tool's time: the simulator delays in real
// milliseconds, the tool's time runs kTickFactor times faster, so a delay of
// 600 ms against the 500 ms time-out is 30 real milliseconds here. Answers
// and copies arrive during the waits of later requests.
json Late(uint32_t ToolMs, double Chance = 1) {
  return {{"delay_ms", ToolMs / kTickFactor}, {"delay_chance", Chance}};
}
json Twice(uint32_t CopyToolMs) {
  return {{"duplicate", 1}, {"duplicate_delay_ms", CopyToolMs / kTickFactor}};
}
json Merge(json A, const json& B) {
  for (auto& [k, v] : B.items()) A[k] = v;
  return A;
}

INSTANTIATE_TEST_SUITE_P(
    Faults, FaultMatrix,
    ::testing::Values(
        TFaultCase{"None", json::object(), {}, true},
        TFaultCase{"Loss30", {{"faults", kLoss30}}, {"drop", "drop_answer"}, false},
        TFaultCase{"Loss2Duplicate5",
                   {{"faults", {{"drop", 0.01}, {"drop_answer", 0.01}, {"duplicate", 0.05}}}},
                   {"drop", "drop_answer", "duplicate"}, false},
        TFaultCase{"EveryAnswerTwice", {{"faults", {{"duplicate", 1}}}}, {"duplicate"}, true},
        // Answers 100 ms after the request, the copy behind them: it arrives
        // while the next request waits for its own answer.
        TFaultCase{"CopyAtOnce", {{"faults", Merge(Late(100), Twice(0))}}, {"duplicate", "delay"}, true},
        TFaultCase{"CopyAfter20ms", {{"faults", Merge(Late(100), Twice(20))}}, {"duplicate", "delay"}, true,
                   {"duplicate_delay_ms"}},
        TFaultCase{"CopyAfter60ms", {{"faults", Merge(Late(100), Twice(60))}}, {"duplicate", "delay"}, true,
                   {"duplicate_delay_ms"}},
        TFaultCase{"CopyAfter300ms", {{"faults", Merge(Late(100), Twice(300))}}, {"duplicate", "delay"}, true,
                   {"duplicate_delay_ms"}},
        TFaultCase{"AnswersAfter600ms", {{"faults", Late(600)}}, {"delay"}, false},
        TFaultCase{"AnswersAfter800ms", {{"faults", Late(800)}}, {"delay"}, false},
        TFaultCase{"AnswersAfter1200ms", {{"faults", Late(1200)}}, {"delay"}, false},
        TFaultCase{"HalfTheAnswersAfter800ms", {{"faults", Late(800, 0.5)}}, {"delay"}, false},
        TFaultCase{"LateAndTwice", {{"faults", Merge(Late(800, 0.5), Twice(300))}}, {"delay", "duplicate"}, false},
        TFaultCase{"CorruptByte", {{"faults", {{"corrupt", 0.2}}}}, {"corrupt"}, false},
        TFaultCase{"CorruptFrameStart", {{"faults", {{"corrupt", 0.2}, {"corrupt_at", 1}}}}, {"corrupt"}, false},
        TFaultCase{"SplitInHalves", {{"faults", {{"split", 1}}}}, {"split"}, true},
        TFaultCase{"SplitAfterFrameStart", {{"faults", {{"split", 1}, {"split_at", 2}}}}, {"split"}, true},
        // The first datagram holds only AA: no frame start is seen, and every
        // answer is lost (as the receive path's rules want it).
        TFaultCase{"SplitInsideFrameStart", {{"faults", {{"split", 0.3}, {"split_at", 1}}}}, {"split"}, false},
        TFaultCase{"Junk", {{"faults", {{"junk", 1}, {"junk_bytes", 7}}}}, {"junk"}, true},
        TFaultCase{"JunkAndSplit", {{"faults", {{"junk", 1}, {"split", 1}}}}, {"junk", "split"}, true},
        TFaultCase{"DirectionZero", {{"faults", {{"wrong_direction", 0.3}}}}, {"wrong_direction"}, false},
        TFaultCase{"IgnoredWrites", {{"faults", {{"ignore_writes", true}}}}, {"ignore_writes"}, true},
        TFaultCase{"AnswersLateButInTime", {{"faults", {{"delay_ms", 10}}}}, {"delay"}, true},
        TFaultCase{"Silent", {{"faults", {{"silent", true}}}}, {"silent"}, false, {}, 0, false, false},
        // Silent from the first read's third entry on: what was read before
        // stays true, everything after is "?", nothing is written.
        TFaultCase{"SilentInTheMiddleOfARead", {{"faults", {{"silent_after_requests", 30}}}},
                   {"silent_after_requests"}, false, {}, 0, false},
        TFaultCase{"StampChangesBetweenReads", {{"stamp_changes", {{{"after_requests", 60}, {"stamp", 2}}}}},
                   {}, true, {"stamp_changed"}, 2},
        TFaultCase{"Everything",
                   {{"faults",
                     {{"drop", 0.1}, {"drop_answer", 0.1}, {"corrupt", 0.05}, {"split", 0.3}, {"junk", 0.3},
                      {"wrong_direction", 0.05}, {"ignore_writes", true}}}},
                   {"drop", "drop_answer", "corrupt", "split", "junk", "wrong_direction", "ignore_writes"},
                   false}),
    [](const ::testing::TestParamInfo<TFaultCase>& i) { return std::string(i.param.Name); });

// --- What the matrix found ---------------------------------------------------

class FaultRegression : public PlcTest {
 protected:
  std::unique_ptr<TTavex> FastRecord() {
    auto plc = Record(kNad, "127.0.0.2");
    plc->Communicator->TickSource = FastTicks(kTickFactor);
    return plc;
  }
  int Faults(const std::string& Name) const {
    int n = 0;
    for (const json& e : Log())
      for (const auto& f : e["faults"]) n += f == Name;
    return n;
  }
};

// A read that fails shows "?", never what the element held before: the
// parser's 0 for an element never read, or the value just "written" when
// neither the write nor its read-back arrived.
TEST_F(FaultRegression, FailedReadShowsQuestionMarkNotAHeldValue) {
  Start(json::array({Controller(kNad, "127.0.0.2", {{"variables", Variables()}})}));
  auto plc = FastRecord();
  const std::vector<std::string> entries = {"speed", "offset"};
  std::vector<std::string> texts;
  ReadRow(*plc, entries, texts, '.');
  ASSERT_EQ(texts, (std::vector<std::string>{"1500", "-40"}));

  sim::TFaults lost;
  lost.Drop = 1;
  lost.OnlyCommands = {cmdRead, cmdWrite};
  ASSERT_TRUE(sim_->SetFaults(kNad, lost));
  sim_->ClearLog();
  texts = {"1600", ""};
  WriteRow(*plc, entries, texts, nullptr, '.');
  EXPECT_EQ(texts, (std::vector<std::string>{"?", "?"}));
  EXPECT_EQ(plc->RtcText, "");
  EXPECT_EQ(plc->LastError, "Error reading vars");
  EXPECT_EQ(sim_->ReadVarValue(kNad, "speed"), 1500);
  EXPECT_EQ(Faults("drop"), static_cast<int>(Log(cmdRead).size() + Log(cmdWrite).size()));
  EXPECT_EQ(Log(cmdWrite).size(), 3u);  // the write really went out, three times

  // A fresh record whose reads never arrive: no parser's 0 on screen.
  auto fresh = FastRecord();
  ReadRow(*fresh, entries, texts, '.');
  EXPECT_EQ(texts, (std::vector<std::string>{"?", "?"}));
  EXPECT_EQ(fresh->RtcText, "");
}

// A failed archive fetch (or a program whose stamp is 0) leaves no loaded
// allocation file behind an unchanged stamp: the next request fetches it.
TEST_F(FaultRegression, FailedArchiveFetchIsRetriedThoughTheStampIsUnchanged) {
  Start(json::array({Controller(kNad, "127.0.0.2", {{"variables", Variables()}}),
                     Controller(1001, "127.0.0.3", {{"variables", Variables()}, {"stamp", 0}})}));
  const auto layout = sim_->Layout(kNad);
  ASSERT_TRUE(layout.has_value());
  const std::vector<uint8_t> archive = sim_->ReadCode(kNad, layout->AlcAddress, layout->AlcSize);
  // A damaged archive: the first member's data no longer inflates.
  ASSERT_TRUE(sim_->PatchCode(kNad, layout->AlcAddress + 30, std::vector<uint8_t>(64, 0xFF)));

  auto plc = FastRecord();
  EXPECT_EQ(RequestValue(*plc, "speed", "", '.'), "?");
  EXPECT_EQ(plc->LastError, "ALC data not found!");

  // Repaired, program unchanged: the archive is fetched again and read.
  ASSERT_TRUE(sim_->PatchCode(kNad, layout->AlcAddress, archive));
  sim_->ClearLog();
  EXPECT_EQ(RequestValue(*plc, "speed", "", '.'), "1500");
  EXPECT_EQ(ArchiveFetches(Log(cmdBlock), *sim_->Layout(kNad)), 1);  // one fetch, found at once

  // Stamp 0 equals a fresh record's stored stamp; the file is loaded anyway.
  auto zero = Record(1001, "127.0.0.3");
  EXPECT_EQ(RequestValue(*zero, "speed", "", '.'), "1500");
  EXPECT_EQ(zero->Communicator->CodeStamp, 0u);
}

}  // namespace
}  // namespace tavex

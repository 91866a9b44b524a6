// The desktop tool's operation runner against the in-process simulator:
// its events (each controller started, then finished with the fleet's
// result, then the end; the status check's steps as they end; Autodetect's
// outcome), Stop (nothing sent after it, the requests in flight, a pause
// and a listening abandoned, the controllers not yet started left alone),
// and the records handed back as they were lent.
#include "plc/uOperationRunner.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "plc/uJournal.h"
#include "tests/plc/PlcFixture.h"

#include <unistd.h>

#include <filesystem>

namespace tavex {
namespace {

using namespace test;

// What the events said, in order, gathered from the workers.
struct TSeen {
  std::mutex Lock;
  std::condition_variable Changed;
  std::vector<std::string> Events;  // "start 0", "done 0", "end"
  std::vector<TFleetResult> Results = std::vector<TFleetResult>(8);
  bool Ended = false, Stopped = false;

  TRunEvents Hooks() {
    TRunEvents e;
    e.Started = [this](int Row) { Note("start " + std::to_string(Row)); };
    e.Finished = [this](int Row, const TFleetResult& R) {
      {
        std::lock_guard<std::mutex> g(Lock);
        Results.at(static_cast<size_t>(Row)) = R;
      }
      Note("done " + std::to_string(Row));
    };
    e.Ended = [this](bool S) {
      std::lock_guard<std::mutex> g(Lock);
      Events.push_back("end");
      Ended = true;
      Stopped = S;
      Changed.notify_all();
    };
    return e;
  }
  void Note(const std::string& Text) {
    std::lock_guard<std::mutex> g(Lock);
    Events.push_back(Text);
    Changed.notify_all();
  }
  size_t Count(const std::string& Prefix) {
    std::lock_guard<std::mutex> g(Lock);
    size_t n = 0;
    for (const auto& e : Events) n += e.rfind(Prefix, 0) == 0 ? 1 : 0;
    return n;
  }
};

class Runner : public PlcTest {
 protected:
  void Make(int Count) {
    json controllers = json::array();
    for (int i = 0; i < Count; ++i) {
      json vars = ClockVars();
      vars.push_back(Var("speed", "word", {{"value", 100 + i}}));
      controllers.push_back(Controller(1000 + i, "127.0.0." + std::to_string(2 + i), {{"variables", vars}}));
    }
    Start(controllers);
    for (int i = 0; i < Count; ++i) Records.push_back(Record(1000 + i, "127.0.0." + std::to_string(2 + i)));
  }
  TRunPlan Plan(bool Write = false) {
    TRunPlan s;
    s.Write = Write;
    s.Entries = {"speed", "nosuch"};
    for (size_t i = 0; i < Records.size(); ++i)
      s.Items.push_back({Records[i].get(), static_cast<int>(i), Write ? std::vector<std::string>{"7", "1"}
                                                                      : std::vector<std::string>{}});
    return s;
  }
  std::vector<std::unique_ptr<TTavex>> Records;
};

TEST_F(Runner, EachControllerStartsThenFinishesWithItsValuesThenTheRunEnds) {
  Make(3);
  TOperationRunner runner;
  TSeen seen;
  for (const bool write : {false, true}) {
    SCOPED_TRACE(write ? "write" : "read");
    seen.Events.clear();
    seen.Ended = false;
    ASSERT_TRUE(runner.Start(Plan(write), seen.Hooks()));
    EXPECT_FALSE(runner.Start(Plan(write), {}));  // one run at a time
    runner.Wait();
    ASSERT_TRUE(seen.Ended);
    EXPECT_FALSE(seen.Stopped);
    EXPECT_FALSE(runner.Running());
    ASSERT_EQ(seen.Events.size(), 7u);
    EXPECT_EQ(seen.Events.back(), "end");
    for (int r = 0; r < 3; ++r) {
      const auto start = std::find(seen.Events.begin(), seen.Events.end(), "start " + std::to_string(r));
      const auto done = std::find(seen.Events.begin(), seen.Events.end(), "done " + std::to_string(r));
      EXPECT_LT(start, done);
      EXPECT_EQ(seen.Results[r].Entries.at(0).Text, write ? "7" : std::to_string(100 + r));
      EXPECT_EQ(seen.Results[r].Entries.at(1).Text, "?");
      EXPECT_FALSE(seen.Results[r].Rtc.empty());
      // The record is handed back without the run's stop flag.
      EXPECT_EQ(Records[r]->Communicator->StopFlag, nullptr);
    }
  }
  // The unknown entry's value was never sent; only the known one was.
  for (const json& e : Log(52)) EXPECT_EQ(e.at("names").size(), 1u);
}

TEST_F(Runner, StopAbandonsTheRequestsInFlightAndSendsNothingMore) {
  // Two controllers served one at a time, both silent, each request of
  // which would wait 30 s three times: the first waits when Stop comes,
  // the second is never started.
  Make(2);
  for (auto& r : Records) SetTransport(*r, 30000, 3);
  for (uint32_t nad : {1000u, 1001u}) ASSERT_TRUE(sim_->SetFaults(nad, sim::ParseFaults({{"silent", true}})));
  TOperationRunner runner;
  TSeen seen;
  TRunPlan plan = Plan();
  plan.Jobs = 1;
  ASSERT_TRUE(runner.Start(std::move(plan), seen.Hooks()));
  ASSERT_TRUE(sim_->WaitForLog(1, std::chrono::seconds(10)));
  runner.Stop();
  runner.Wait();
  ASSERT_TRUE(seen.Ended);
  EXPECT_TRUE(seen.Stopped);
  EXPECT_EQ(sim_->LogSize(), 1u);  // no retry, nothing after the stop
  EXPECT_EQ(seen.Events, (std::vector<std::string>{"start 0", "done 0", "end"}));
  EXPECT_TRUE(seen.Results[0].Interrupted);
  for (const TFleetEntry& e : seen.Results[0].Entries) EXPECT_EQ(e.Reason, TEntryReason::NotDone);

  // The next run forgets the stop.
  for (uint32_t nad : {1000u, 1001u}) ASSERT_TRUE(sim_->SetFaults(nad, sim::ParseFaults(json::object())));
  for (auto& r : Records) SetTransport(*r, 500, 3);
  TSeen again;
  ASSERT_TRUE(runner.Start(Plan(), again.Hooks()));
  runner.Wait();
  EXPECT_FALSE(again.Stopped);
  EXPECT_FALSE(again.Results[0].Interrupted);
  EXPECT_EQ(again.Results[1].Entries.at(0).Text, "101");
}

// With a journal path a write is journalled as tavexctl journals it: the
// values as they were just before (one read more on the wire), written,
// read back, with their verdicts, and the clock set; without one, the wire
// is as it was.
TEST_F(Runner, AJournalledWriteKeepsWhatWasThereBeforeAndTheVerdicts) {
  Make(2);
  const std::string path = (std::filesystem::temp_directory_path() /
                            ("runner-journal-" + std::to_string(getpid())) / "journal")
                               .string();
  std::filesystem::remove_all(std::filesystem::path(path).parent_path());
  for (const bool journal : {true, false}) {
    SCOPED_TRACE(journal ? "journal" : "none");
    const size_t reads = Log(51).size();
    TOperationRunner runner;
    TSeen seen;
    bool kept = false;
    int told = 0;
    TRunEvents events = seen.Hooks();
    events.Journalled = [&](bool Kept, const std::string&) {
      kept = Kept;
      ++told;
    };
    TRunPlan plan = Plan(true);
    plan.SyncClock = LocalNow;
    plan.Adapter = "lo";
    if (journal) plan.JournalPath = path;
    plan.Op = "20261211T091403Z-4711-9f3c";  // the caller's id, to find the run again
    ASSERT_TRUE(runner.Start(std::move(plan), std::move(events)));
    runner.Wait();
    EXPECT_EQ(Log(51).size() - reads, journal ? 4u : 2u);
    EXPECT_EQ(told, journal ? 1 : 0);
    TJournalContents got;
    std::string error;
    ASSERT_TRUE(ReadJournal(path, got, error)) << error;
    if (!journal) {
      EXPECT_EQ(got.Records.size(), 6u);  // nothing added
      continue;
    }
    EXPECT_TRUE(kept);
    EXPECT_EQ(got.Skipped, 0u);
    ASSERT_EQ(got.Records.size(), 6u);  // speed, nosuch and the clock, per controller
    for (const TJournalRecord& r : got.Records) {
      EXPECT_EQ(r.Program, "tavex-config");
      EXPECT_EQ(r.Adapter, "lo");
      EXPECT_EQ(r.Op, "20261211T091403Z-4711-9f3c");
      const int i = static_cast<int>(r.Nad) - 1000;
      if (r.Entry == "speed") {
        EXPECT_EQ(r.Before, std::to_string(100 + i));
        EXPECT_EQ(r.Written, "7");
        EXPECT_EQ(r.ReadBack, "7");
        EXPECT_EQ(r.Verdict, "written");
      } else if (r.Entry == "nosuch") {
        EXPECT_EQ(r.Verdict, "unknown entry");
      } else {
        EXPECT_EQ(r.Entry, kJournalClockEntry);
        EXPECT_FALSE(r.Before.empty());
        EXPECT_FALSE(r.Verdict.empty());
      }
    }
  }
  std::filesystem::remove_all(std::filesystem::path(path).parent_path());
}

// A read before the write that goes unanswered: nothing is written to
// that controller (what it replaced could not be known), and the journal
// says "not done".
TEST_F(Runner, AnUnansweredReadBeforeTheWriteWritesNothing) {
  Make(1);
  SetTransport(*Records[0], 50, 1);
  ASSERT_TRUE(sim_->SetFaults(1000, sim::ParseFaults({{"drop", 1}, {"only_commands", {51}}})));
  const std::string path = (std::filesystem::temp_directory_path() /
                            ("runner-unanswered-" + std::to_string(getpid())) / "journal")
                               .string();
  TOperationRunner runner;
  TSeen seen;
  TRunPlan plan = Plan(true);
  plan.JournalPath = path;
  ASSERT_TRUE(runner.Start(std::move(plan), seen.Hooks()));
  runner.Wait();
  EXPECT_TRUE(Log(52).empty());
  EXPECT_TRUE(seen.Results[0].GivenUp);
  EXPECT_NE(seen.Results[0].Error.find("read before the write"), std::string::npos) << seen.Results[0].Error;
  TJournalContents got;
  std::string error;
  ASSERT_TRUE(ReadJournal(path, got, error)) << error;
  ASSERT_EQ(got.Records.size(), 2u);
  EXPECT_EQ(got.Records[0].Verdict, "not done");
  EXPECT_EQ(got.Records[0].Before, "");
  std::filesystem::remove_all(std::filesystem::path(path).parent_path());
}

TEST_F(Runner, ARunWithoutControllersEndsAtOnce) {
  TOperationRunner runner;
  TSeen seen;
  ASSERT_TRUE(runner.Start({}, seen.Hooks()));
  runner.Wait();
  EXPECT_EQ(seen.Events, std::vector<std::string>{"end"});
}

// --- Status check ----------------------------------------------------------------

// What the status events said, in order.
struct TStatusSeen : TSeen {
  std::vector<TStatusResult> Status = std::vector<TStatusResult>(8);
  TStatusEvents StatusHooks() {
    TStatusEvents e;
    e.Started = [this](int Row) { Note("start " + std::to_string(Row)); };
    e.Step = [this](int Row, int Step, bool Ok) {
      Note("step " + std::to_string(Row) + "." + std::to_string(Step) + (Ok ? " ok" : " error"));
    };
    e.Finished = [this](int Row, const TStatusResult& R) {
      {
        std::lock_guard<std::mutex> g(Lock);
        Status.at(static_cast<size_t>(Row)) = R;
      }
      Note("done " + std::to_string(Row));
    };
    e.Ended = [this](bool S) {
      std::lock_guard<std::mutex> g(Lock);
      Events.push_back("end");
      Ended = true;
      Stopped = S;
      Changed.notify_all();
    };
    return e;
  }
  bool WaitFor(size_t Count) {
    std::unique_lock<std::mutex> l(Lock);
    return Changed.wait_for(l, std::chrono::seconds(10), [&] { return Events.size() >= Count; });
  }
};

class StatusRunner : public Runner {
 protected:
  TStatusPlan StatusPlan(int PauseMs = 0) {
    TStatusPlan p;
    p.PauseMs = PauseMs;
    for (size_t i = 0; i < Records.size(); ++i) p.Items.push_back({Records[i].get(), static_cast<int>(i)});
    return p;
  }
};

TEST_F(StatusRunner, EachStepIsToldAsItEndsAndTheFlagsSayTheSame) {
  // 1000 answers everything; 1001 stops answering after Autodetect: it gets
  // its ping and nothing more, and the steps after it fail with it.
  Make(2);
  ASSERT_TRUE(sim_->SetFaults(1001, sim::ParseFaults({{"silent", true}})));
  SetTransport(*Records[1], 200, 2);
  // An earlier finding does not stand.
  Records[1]->HasProgram = Records[1]->AlcOk = Records[1]->PlcRunning = true;
  TOperationRunner runner;
  TStatusSeen seen;
  ASSERT_TRUE(runner.StartStatus(StatusPlan(), seen.StatusHooks()));
  EXPECT_FALSE(runner.StartStatus(StatusPlan(), {}));  // one run at a time
  runner.Wait();
  ASSERT_TRUE(seen.Ended);
  EXPECT_FALSE(seen.Stopped);
  EXPECT_EQ(seen.Events, (std::vector<std::string>{
                             "start 0", "step 0.0 ok", "step 0.1 ok", "step 0.2 ok", "step 0.3 ok", "step 0.4 ok",
                             "done 0", "start 1", "step 1.0 ok", "step 1.1 error", "step 1.2 error",
                             "step 1.3 error", "step 1.4 error", "done 1", "end"}));
  EXPECT_FALSE(seen.Status[0].Failed());
  EXPECT_TRUE(seen.Status[1].Failed());
  const bool want[2][5] = {{true, true, true, true, true}, {true, false, false, false, false}};
  for (int r = 0; r < 2; ++r) {
    const TTavex& t = *Records[r];
    const bool flags[5] = {t.SocketOpen, t.Responding, t.HasProgram, t.AlcOk, t.PlcRunning};
    for (int s = 0; s < 5; ++s) EXPECT_EQ(flags[s], want[r][s]) << r << "." << s;
    EXPECT_FALSE(t.Communicator->IsActive());
    EXPECT_EQ(t.Communicator->StopFlag, nullptr);
  }
  // Only pings went to the silent controller.
  std::set<int> asked;
  for (const json& e : sim_->Log())
    if (e.value("ip", "") == "127.0.0.3") asked.insert(e.value("command", -1));
  EXPECT_EQ(asked.size(), 1u);

  // The record goes on to an exchange after the check.
  TSeen read;
  TRunPlan plan = Plan();
  plan.Items.resize(1);
  ASSERT_TRUE(runner.Start(std::move(plan), read.Hooks()));
  runner.Wait();
  EXPECT_EQ(read.Results[0].Entries.at(0).Text, "100");
}

TEST_F(StatusRunner, StopAbandonsTheStepUnderWayOrThePauseAndSendsNothingMore) {
  // In a wait: the first controller's ping would wait 30 s three times.
  Make(2);
  for (auto& r : Records) SetTransport(*r, 30000, 3);
  ASSERT_TRUE(sim_->SetFaults(1000, sim::ParseFaults({{"silent", true}})));
  TOperationRunner runner;
  TStatusSeen seen;
  ASSERT_TRUE(runner.StartStatus(StatusPlan(), seen.StatusHooks()));
  ASSERT_TRUE(sim_->WaitForLog(1, std::chrono::seconds(10)));
  runner.Stop();
  runner.Wait();
  EXPECT_TRUE(seen.Stopped);
  EXPECT_EQ(sim_->LogSize(), 1u);
  EXPECT_EQ(seen.Events, (std::vector<std::string>{"start 0", "step 0.0 ok", "done 0", "end"}));
  EXPECT_TRUE(seen.Status[0].Interrupted);
  EXPECT_FALSE(Records[0]->Communicator->IsActive());

  // In a pause (a minute long) after the first step: woken at once, and the
  // ping is never sent.
  ASSERT_TRUE(sim_->SetFaults(1000, sim::ParseFaults(json::object())));
  sim_->ClearLog();
  TStatusSeen paused;
  ASSERT_TRUE(runner.StartStatus(StatusPlan(60000), paused.StatusHooks()));
  ASSERT_TRUE(paused.WaitFor(2));
  runner.Stop();
  runner.Wait();
  EXPECT_EQ(paused.Events, (std::vector<std::string>{"start 0", "step 0.0 ok", "done 0", "end"}));
  EXPECT_EQ(sim_->LogSize(), 0u);
}

// --- Autodetect --------------------------------------------------------------------

TEST_F(Runner, AutodetectListsTheControllersAndStopCutsItsListeningShort) {
  Make(2);
  TCommunicator comm;
  TTavexList list;
  TOperationRunner runner;
  struct {
    std::mutex Lock;
    int Rounds = 0;
    bool Ended = false, Opened = false, Stopped = false;
    TDetectOutcome Outcome;
  } seen;
  auto hooks = [&] {
    TDetectEvents e;
    e.Round = [&](const TDetectRound&) {
      std::lock_guard<std::mutex> g(seen.Lock);
      ++seen.Rounds;
    };
    e.Ended = [&](bool Opened, const TDetectOutcome& O, bool Stopped) {
      std::lock_guard<std::mutex> g(seen.Lock);
      seen.Ended = true;
      seen.Opened = Opened;
      seen.Outcome = O;
      seen.Stopped = Stopped;
    };
    return e;
  };
  TDetectPlan plan;
  plan.Comm = &comm;
  plan.List = &list;
  plan.Options.AdapterID = "lo";
  plan.Options.ListenMs = 200;
  ASSERT_TRUE(runner.StartDetect(plan, hooks()));
  runner.Wait();
  EXPECT_TRUE(seen.Ended && seen.Opened && !seen.Stopped);
  EXPECT_EQ(seen.Rounds, 1);
  EXPECT_EQ(list.Count(), 2);
  EXPECT_EQ(comm.StopFlag, nullptr);

  // A listening of a minute, stopped once the ping is out: no second round.
  sim_->ClearLog();
  seen.Rounds = 0;
  plan.Options.ListenMs = 60000;
  ASSERT_TRUE(runner.StartDetect(plan, hooks()));
  ASSERT_TRUE(sim_->WaitForLog(2, std::chrono::seconds(10)));
  runner.Stop();
  runner.Wait();
  EXPECT_TRUE(seen.Ended && seen.Opened && seen.Stopped);
  EXPECT_EQ(seen.Outcome.Rounds, 1);
  EXPECT_EQ(sim_->LogSize(), 2u);
  EXPECT_LE(list.Count(), 2);
}

}  // namespace
}  // namespace tavex

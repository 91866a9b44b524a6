#include "plc/uOperationRunner.h"

#include <chrono>
#include <cstdio>
#include <utility>

#include "comm/uCommunication.h"
#include "plc/uClock.h"

#ifndef TAVEX_VERSION
#define TAVEX_VERSION "0.0.0"
#endif

namespace tavex {

TJournalRecord JournalClockRecord(TJournalRecord Base, const TFleetResult& Result) {
  Base.Entry = kJournalClockEntry;
  Base.Before = Result.RtcBefore;
  if (Result.ClockSent || Result.Clock == TClockVerdict::Set) {
    const TLocalTime& t = Result.ClockSet;
    Base.Written = FormatRtc(t.Year, t.Month, t.Day, t.Hour, t.Minute, t.Second);
  }
  Base.ReadBack = Result.Rtc;
  Base.Verdict = ClockOutcomeText(ClockOutcome(Result));
  if (Base.Verdict.empty()) Base.Verdict = "not done";
  return Base;
}

TOperationRunner::~TOperationRunner() {
  Stop();
  Wait();
}

bool TOperationRunner::Start(TRunPlan Plan, TRunEvents Events) {
  if (Running()) return false;
  Wait();  // the thread of the run before, which has ended
  Plan_ = std::move(Plan);
  Events_ = std::move(Events);
  Batch_.clear();
  OpId_.clear();
  if (Plan_.Write && !Plan_.JournalPath.empty()) OpId_ = Plan_.Op.empty() ? NewOperationId() : Plan_.Op;
  std::vector<TCommunicator*> comms;
  for (const TRunItem& item : Plan_.Items)
    if (item.Plc != nullptr) comms.push_back(item.Plc->Communicator.get());
  return Launch(std::move(comms), [this] { RunExchange(); });
}

bool TOperationRunner::StartStatus(TStatusPlan Plan, TStatusEvents Events) {
  if (Running()) return false;
  Wait();
  StatusPlan_ = std::move(Plan);
  StatusEvents_ = std::move(Events);
  std::vector<TCommunicator*> comms;
  for (const TStatusItem& item : StatusPlan_.Items)
    if (item.Plc != nullptr) comms.push_back(item.Plc->Communicator.get());
  return Launch(std::move(comms), [this] { RunStatus(); });
}

bool TOperationRunner::StartDetect(TDetectPlan Plan, TDetectEvents Events) {
  if (Running()) return false;
  Wait();
  DetectPlan_ = std::move(Plan);
  DetectEvents_ = std::move(Events);
  std::vector<TCommunicator*> comms;
  if (DetectPlan_.Comm != nullptr) comms.push_back(DetectPlan_.Comm);
  return Launch(std::move(comms), [this] { RunDetect(); });
}

bool TOperationRunner::Launch(std::vector<TCommunicator*> Comms, std::function<void()> Body) {
  Stop_.store(false, std::memory_order_relaxed);
  Lent_ = std::move(Comms);
  Body_ = std::move(Body);
  for (TCommunicator* comm : Lent_) {
    comm->StopFlag = &Stop_;
    comm->AbandonOnStop = true;  // Stop does not wait out an answer
    comm->ClearStopped();        // a stop of an earlier run
    // The run's threads never run the owner's idle hook (it may touch the
    // owner's thread only); their waits sleep on their answer instead.
    comm->IdleHook = nullptr;
  }
  Running_.store(true, std::memory_order_release);
  try {
    Thread_ = std::thread([this] {
      try {
        Body_();
      } catch (...) {
        // An event that throws (out of memory) must not take the process
        // down; the run ends without its Ended then.
        Running_.store(false, std::memory_order_release);
      }
    });
  } catch (...) {
    Running_.store(false, std::memory_order_release);
    Release();
    return false;
  }
  return true;
}

void TOperationRunner::Stop() {
  {
    std::lock_guard<std::mutex> g(PauseLock_);
    Stop_.store(true, std::memory_order_relaxed);
  }
  PauseWake_.notify_all();
}

void TOperationRunner::Wait() {
  if (Thread_.joinable()) {
    Thread_.join();
    Release();
  }
}

void TOperationRunner::Release() {
  for (TCommunicator* comm : Lent_) {
    comm->StopFlag = nullptr;
    comm->AbandonOnStop = false;
  }
  Lent_.clear();
}

void TOperationRunner::Pause(int Ms) {
  if (Ms <= 0) return;
  std::unique_lock<std::mutex> l(PauseLock_);
  PauseWake_.wait_for(l, std::chrono::milliseconds(Ms),
                      [this] { return Stop_.load(std::memory_order_relaxed); });
}

void TOperationRunner::RunExchange() {
  TFleetOptions options;
  options.Write = Plan_.Write;
  options.SyncClock = Plan_.Write ? Plan_.SyncClock : TClockSource();
  // Every value the cells hold is sent, whatever another cell's text gives:
  // a rejected text is left out alone (and never replaced by another value).
  options.AllOrNothing = false;
  options.Cache = Plan_.Cache;
  options.DecimalSeparator = Plan_.DecimalSeparator;
  const bool journal = Plan_.Write && !Plan_.JournalPath.empty();
  options.ReadBefore = journal;
  RunPool(Plan_.Items.size(), Plan_.Jobs, [this, &options, journal](size_t i) {
    TRunItem& item = Plan_.Items[i];
    if (item.Plc == nullptr || Stop_.load(std::memory_order_relaxed)) return;
    try {
      if (Events_.Started) Events_.Started(item.Row);
      TFleetJob job;
      job.Plc = item.Plc;
      job.Entries = Plan_.Entries;
      if (Plan_.Write) {
        job.Values = item.Values;
        job.Values.resize(job.Entries.size());
      }
      TFleetResult result;
      ServeController(job, options, result);
      if (journal) JournalItem(job, result);
      if (Events_.Finished) Events_.Finished(item.Row, result);
    } catch (...) {
    }
  });
  const bool stopped = Stop_.load(std::memory_order_relaxed);
  if (journal && !Batch_.empty()) {
    std::string time, offset, error;
    JournalNow(time, offset);
    const std::string user = JournalUser(), host = JournalHost();
    for (TJournalRecord& r : Batch_) {
      r.Time = time;
      r.Offset = offset;
      r.User = user;
      r.Host = host;
    }
    const bool kept = AppendJournal(Plan_.JournalPath, Batch_, error);
    Batch_.clear();
    try {
      if (Events_.Journalled) Events_.Journalled(kept, error);
    } catch (...) {
    }
  }
  // Running ends before Ended, so that an owner told of the end can start
  // the next run (Start joins this thread first).
  Running_.store(false, std::memory_order_release);
  if (Events_.Ended) Events_.Ended(stopped);
}

void TOperationRunner::RunStatus() {
  for (const TStatusItem& item : StatusPlan_.Items) {
    if (item.Plc == nullptr) continue;
    if (Stop_.load(std::memory_order_relaxed)) break;
    try {
      CheckOne(item);
    } catch (...) {
      // An event that throws (out of memory) ends this controller's part only.
    }
  }
  const bool stopped = Stop_.load(std::memory_order_relaxed);
  Running_.store(false, std::memory_order_release);
  if (StatusEvents_.Ended) StatusEvents_.Ended(stopped);
}

void TOperationRunner::CheckOne(const TStatusItem& Item) {
  TTavex& plc = *Item.Plc;
  // Each check asks the controller afresh, from the socket on (a record
  // past its ping would otherwise pass two steps unasked), and no finding
  // of an earlier check stands until this one has made it again.
  plc.CloseSocket();
  plc.Stage = stOpen;
  plc.SocketOpen = plc.Responding = plc.HasProgram = plc.AlcOk = plc.PlcRunning = false;
  if (StatusEvents_.Started) StatusEvents_.Started(Item.Row);
  int next = 0;  // the step under way
  auto ended = [&](int Step, bool Ok) {
    next = Step + 1;
    if (StatusEvents_.Step) StatusEvents_.Step(Item.Row, Step, Ok);
  };
  TFleetOptions options;
  options.Cache = StatusPlan_.Cache;
  TStatusResult result;
  ServeStatus(plc, options, result, [&](int Step, const TStatusStep& Outcome) {
    ended(Step, Outcome.State == TStepState::Ok);
    // A short pause lets the user see each step; none after the allocation
    // file (it takes long enough by itself).
    if (Step != skAlc) Pause(StatusPlan_.PauseMs);
  });
  // The steps after one without answer are not run: they failed with it.
  if (!result.Interrupted && !plc.Communicator->Stopped())
    for (int s = next; s < kStatusSteps; ++s) ended(s, result.Steps[s].State == TStepState::Ok);
  bool* flags[kStatusSteps] = {&plc.SocketOpen, &plc.Responding, &plc.HasProgram, &plc.AlcOk,
                               &plc.PlcRunning};
  for (int s = 0; s < kStatusSteps; ++s) *flags[s] = result.Steps[s].State == TStepState::Ok;
  // As before the check, the socket closed: the next exchange opens it.
  plc.CloseSocket();
  plc.Stage = stOpen;
  if (StatusEvents_.Finished) StatusEvents_.Finished(Item.Row, result);
}

void TOperationRunner::RunDetect() {
  TDetectOutcome outcome;
  bool opened = false;
  if (DetectPlan_.Comm != nullptr && DetectPlan_.List != nullptr) {
    TDetectOptions options = DetectPlan_.Options;
    options.AfterRound = [this](const TDetectRound& R) {
      if (DetectEvents_.Round) DetectEvents_.Round(R);
    };
    opened = DetectControllers(*DetectPlan_.Comm, *DetectPlan_.List, options, &outcome);
  }
  const bool stopped = Stop_.load(std::memory_order_relaxed);
  Running_.store(false, std::memory_order_release);
  if (DetectEvents_.Ended) DetectEvents_.Ended(opened, outcome, stopped);
}

void TOperationRunner::JournalItem(const TFleetJob& Job, const TFleetResult& Result) {
  const TTavex& plc = *Job.Plc;
  TJournalRecord base;
  base.Program = Plan_.Program;
  base.Version = TAVEX_VERSION;
  base.Op = OpId_;
  base.Adapter = Plan_.Adapter;
  base.Nad = plc.Nad;
  base.Ip = plc.GetIpAddress();
  if (plc.HasProgram) {
    char stamp[16];
    std::snprintf(stamp, sizeof stamp, "0x%08x", plc.Communicator->CodeStamp);
    base.Stamp = stamp;
  }
  std::vector<TJournalRecord> records;
  for (size_t k = 0; k < Job.Entries.size() && k < Job.Values.size() && k < Result.Entries.size(); ++k) {
    if (Job.Values[k].empty()) continue;
    const TFleetEntry& e = Result.Entries[k];
    TJournalRecord r = base;
    r.Entry = Job.Entries[k];
    r.Before = e.Before == "?" ? std::string() : e.Before;
    r.Written = Job.Values[k];
    r.ReadBack = e.Text == "?" ? std::string() : e.Text;
    r.Verdict = VerdictText(e.Verdict);
    records.push_back(std::move(r));
  }
  if (Plan_.SyncClock) records.push_back(JournalClockRecord(base, Result));
  std::lock_guard<std::mutex> g(BatchLock_);
  for (auto& r : records) Batch_.push_back(std::move(r));
}

}  // namespace tavex

#include "plc/uOperationRunner.h"

#include <cstdio>
#include <utility>

#include "plc/uClock.h"

#ifndef TAVEX_VERSION
#define TAVEX_VERSION "0.0.0"
#endif

namespace tavex {

namespace {

// What became of a clock set, in the words tavexctl uses.
std::string ClockVerdict(const TFleetResult& R) {
  switch (R.Clock) {
    case TClockVerdict::None:
      return "not done";
    case TClockVerdict::NotSet:
      return "not set";
    case TClockVerdict::NotAcknowledged:
      if (R.Rtc.empty()) return "not acknowledged (may have been set)";
      return ClockReadBackHolds(R.ClockSet, R.Rtc) ? "not acknowledged, landed" : "not acknowledged, not landed";
    case TClockVerdict::Set:
      if (R.Rtc.empty()) return "set, not read back";
      if (!ClockReadBackHolds(R.ClockSet, R.Rtc)) return "set, reads back otherwise";
      return R.HasWeekday ? "set" : "set, without the weekday";
  }
  return "";
}

}  // namespace

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
  OpId_ = Plan_.Write && !Plan_.JournalPath.empty() ? NewOperationId() : std::string();
  Stop_.store(false, std::memory_order_relaxed);
  for (TRunItem& item : Plan_.Items) {
    if (item.Plc == nullptr) continue;
    item.Plc->Communicator->StopFlag = &Stop_;
    item.Plc->Communicator->AbandonOnStop = true;  // Stop does not wait out an answer
    item.Plc->Communicator->ClearStopped();  // a stop of an earlier run
    // The workers never run the owner's idle hook (it may touch the owner's
    // thread only); the record's own waits sleep on their answer instead.
    item.Plc->Communicator->IdleHook = nullptr;
  }
  Running_.store(true, std::memory_order_release);
  try {
    Thread_ = std::thread([this] { Run(); });
  } catch (...) {
    Running_.store(false, std::memory_order_release);
    Release();
    return false;
  }
  return true;
}

void TOperationRunner::Stop() { Stop_.store(true, std::memory_order_relaxed); }

void TOperationRunner::Wait() {
  if (Thread_.joinable()) {
    Thread_.join();
    Release();
  }
}

void TOperationRunner::Release() {
  for (TRunItem& item : Plan_.Items)
    if (item.Plc != nullptr) {
      item.Plc->Communicator->StopFlag = nullptr;
      item.Plc->Communicator->AbandonOnStop = false;
    }
}

void TOperationRunner::Run() {
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
      // An event that throws (out of memory) must not take the process down.
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
  try {
    if (Events_.Ended) Events_.Ended(stopped);
  } catch (...) {
  }
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
  if (Plan_.SyncClock) {
    TJournalRecord r = base;
    r.Entry = kJournalClockEntry;
    r.Before = Result.RtcBefore;
    if (Result.ClockSent || Result.Clock == TClockVerdict::Set) {
      const TLocalTime& t = Result.ClockSet;
      r.Written = FormatRtc(t.Year, t.Month, t.Day, t.Hour, t.Minute, t.Second);
    }
    r.ReadBack = Result.Rtc;
    r.Verdict = ClockVerdict(Result);
    records.push_back(std::move(r));
  }
  std::lock_guard<std::mutex> g(BatchLock_);
  for (auto& r : records) Batch_.push_back(std::move(r));
}

}  // namespace tavex

#include "plc/uOperationRunner.h"

#include <utility>

namespace tavex {

TOperationRunner::~TOperationRunner() {
  Stop();
  Wait();
}

bool TOperationRunner::Start(TRunPlan Plan, TRunEvents Events) {
  if (Running()) return false;
  Wait();  // the thread of the run before, which has ended
  Plan_ = std::move(Plan);
  Events_ = std::move(Events);
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
  RunPool(Plan_.Items.size(), Plan_.Jobs, [this, &options](size_t i) {
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
      if (Events_.Finished) Events_.Finished(item.Row, result);
    } catch (...) {
      // An event that throws (out of memory) must not take the process down.
    }
  });
  const bool stopped = Stop_.load(std::memory_order_relaxed);
  // Running ends before Ended, so that an owner told of the end can start
  // the next run (Start joins this thread first).
  Running_.store(false, std::memory_order_release);
  try {
    if (Events_.Ended) Events_.Ended(stopped);
  } catch (...) {
  }
}

}  // namespace tavex

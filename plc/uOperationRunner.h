// The desktop tool's Read and Write, off the thread that starts them: the
// checked controllers served side by side by the fleet engine (one batched
// exchange per controller, bounded workers), each one's start and result
// reported as it happens, and Stop honoured at once.
//
// Threads: Start, Stop, Wait and the destructor are called from one owner
// thread. The run itself goes on a thread of its own and on the fleet's
// workers; the events are called there (see TRunEvents). From Start until
// a record's Finished event, that record belongs to the run: its owner
// must not read or change it (nor its communicator). After Finished the
// run never touches the record again, except that Wait (or the next
// Start) takes the stop flag off its communicator.
//
// Stop: no request is sent after it (the communicator's StopFlag), and a
// request that waits for its answer is abandoned within one poll of the
// wait (about 5 ms) instead of being waited out. Controllers not yet
// started are not started at all; they get no event.
#pragma once

#include <atomic>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "plc/uFleet.h"
#include "plc/uJournal.h"
#include "plc/uOperations.h"
#include "plc/uTavex.h"

namespace tavex {

struct TRunItem {
  TTavex* Plc = nullptr;
  int Row = 0;  // the caller's own tag for the controller, handed back in the events
  // With a write: one text per entry (empty: only read). Ignored for a read.
  std::vector<std::string> Values;
};

struct TRunPlan {
  bool Write = false;
  std::vector<std::string> Entries;  // the same for every controller
  std::vector<TRunItem> Items;       // two items must not share a record
  // With a write: the time for each controller's clock, asked right before
  // its clock write. Empty: the clock is only read.
  TClockSource SyncClock;
  int Jobs = 0;  // workers; 0: one per controller (never more than kMaxFleetJobs)
  const TAlcCache* Cache = nullptr;
  char DecimalSeparator = '.';
  // The journal (uJournal): with a write and a path, each controller's
  // values are read once more just before they are written, and every
  // value to write and every clock set is appended there as one batch
  // when the run ends (also when it was stopped: what was done is kept),
  // synced, before the Journalled and Ended events. Empty: nothing is
  // journalled and nothing more is read. Program and Adapter as the
  // records name them.
  std::string JournalPath;
  std::string Program = "tavex-config";
  std::string Adapter;
};

struct TRunEvents {
  // A controller's exchange begins. On the worker that serves it.
  std::function<void(int Row)> Started;
  // It ended; Result as ServeController leaves it. On the same worker,
  // after which the record is the owner's again.
  std::function<void(int Row, const TFleetResult& Result)> Finished;
  // With a journal: whether the run's records were kept (Error says why
  // not). On the run's own thread, after every Finished, before Ended;
  // not called when there was nothing to journal.
  std::function<void(bool Kept, const std::string& Error)> Journalled;
  // The whole run ended, after every Finished; Stopped: Stop came first.
  // On the run's own thread, as the last thing it does.
  std::function<void(bool Stopped)> Ended;
};

class TOperationRunner {
 public:
  TOperationRunner() = default;
  // Stops a run under way and waits for it.
  ~TOperationRunner();
  TOperationRunner(const TOperationRunner&) = delete;
  TOperationRunner& operator=(const TOperationRunner&) = delete;

  // Starts a run and returns at once. False (nothing started) while another
  // run is under way. A run with no items ends at once (Ended on the run's thread).
  bool Start(TRunPlan Plan, TRunEvents Events);
  // Asks the run under way to stop; nothing when none runs.
  void Stop();
  // Waits until the run's thread has ended (the Ended event called).
  void Wait();
  // True from Start until the run's thread has called Ended.
  bool Running() const { return Running_.load(std::memory_order_acquire); }
  bool StopRequested() const { return Stop_.load(std::memory_order_relaxed); }

 private:
  void Run();
  void Release();  // the stop flag off the records

  // One controller's records, into Batch_ (under BatchLock_).
  void JournalItem(const TFleetJob& Job, const TFleetResult& Result);

  TRunPlan Plan_;
  std::mutex BatchLock_;
  std::vector<TJournalRecord> Batch_;
  std::string OpId_;
  TRunEvents Events_;
  std::atomic<bool> Stop_{false};
  std::atomic<bool> Running_{false};
  std::thread Thread_;
};

}  // namespace tavex

// The desktop tool's operations, off the thread that starts them:
// - Read and Write: the checked controllers served side by side by the
//   fleet engine (one batched exchange per controller, bounded workers),
//   each one's start and result reported as it happens;
// - the status check: the fleet's status stages (ServeStatus), one
//   controller after the other, each step reported as it ends, with a short
//   pause after it that lets the user follow the steps;
// - Autodetect: DetectControllers on the owner's communicator, each
//   broadcast reported, then the outcome.
// Stop is honoured at once by all three.
//
// Threads: Start*, Stop, Wait and the destructor are called from one owner
// thread. The run itself goes on a thread of its own (and, for Read and
// Write, on the fleet's workers); the events are called there (see the
// event structs). From Start until a record's Finished event, that record
// belongs to the run: its owner must not read or change it (nor its
// communicator); for Autodetect the same holds for the communicator and the
// list until Ended. After that the run never touches them again, except
// that Wait (or the next Start) takes the stop flag off the communicators.
//
// Stop: no request is sent after it (the communicator's StopFlag), and a
// request that waits for its answer is abandoned within one poll of the
// wait (about 5 ms) instead of being waited out; so is Autodetect's
// listening, and a pause between status steps. Controllers not yet started
// are not started at all; they get no event.
#pragma once

#include <atomic>
#include <condition_variable>
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

// --- Read and Write ------------------------------------------------------------

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
  // The run's operation id in the journal (NewOperationId), chosen by the
  // caller so that it can find the run's records again (the as-left
  // report). Empty: the run takes a new one.
  std::string Op;
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

// --- Status check ----------------------------------------------------------------

struct TStatusItem {
  TTavex* Plc = nullptr;
  int Row = 0;  // the caller's tag, handed back in the events
};

struct TStatusPlan {
  // Checked one after the other, in this order; two items must not share a
  // record. Each record must have its adapter by ID (SelectAdapter).
  std::vector<TStatusItem> Items;
  // The pause after each step that ran, except the allocation file's.
  int PauseMs = 100;
  const TAlcCache* Cache = nullptr;
};

struct TStatusEvents {
  // A controller's check begins: its step 0 ("Network") is under way.
  std::function<void(int Row)> Started;
  // A step ended (0 .. kStatusSteps-1, in order) with its verdict; the
  // next step is under way from here. A step after one that got no answer
  // is not run, and ends at once as an error. A step that Stop cut short
  // gets no event, nor do the steps after it.
  std::function<void(int Row, int Step, bool Ok)> Step;
  // The check of the controller ended (Result as ServeStatus leaves it).
  // The record's five status flags (SocketOpen .. PlcRunning) then say what
  // Step said, false for the steps not run; its socket is closed, and its
  // next exchange opens it again. After this the record is the owner's.
  std::function<void(int Row, const TStatusResult& Result)> Finished;
  // After every Finished, on the run's thread, as the last thing it does.
  std::function<void(bool Stopped)> Ended;
};

// --- Autodetect --------------------------------------------------------------------

struct TDetectPlan {
  TCommunicator* Comm = nullptr;  // the owner's; belongs to the run until Ended
  TTavexList* List = nullptr;     // filled as DetectControllers does
  TDetectOptions Options;         // its AfterRound is the run's own (Round below)
};

struct TDetectEvents {
  // After each broadcast. On the run's thread.
  std::function<void(const TDetectRound& Round)> Round;
  // As DetectControllers returned (Opened) with its outcome; Stopped: Stop
  // came first (the listening was cut short, no further broadcast was
  // sent). On the run's thread, as the last thing it does.
  std::function<void(bool Opened, const TDetectOutcome& Outcome, bool Stopped)> Ended;
};

// --- The runner ------------------------------------------------------------------------

// The journal's record of a controller's clock set: Base (who, when, which
// controller) with the clock read before, the time written (when the write
// went out), the clock read back and the outcome's words ("not done" when
// the controller failed before it).
TJournalRecord JournalClockRecord(TJournalRecord Base, const TFleetResult& Result);

class TOperationRunner {
 public:
  TOperationRunner() = default;
  // Stops a run under way and waits for it.
  ~TOperationRunner();
  TOperationRunner(const TOperationRunner&) = delete;
  TOperationRunner& operator=(const TOperationRunner&) = delete;

  // Each starts a run and returns at once. False (nothing started) while
  // another run is under way. A run with no items ends at once (Ended on
  // the run's thread); so does a detection without a communicator or list.
  bool Start(TRunPlan Plan, TRunEvents Events);
  bool StartStatus(TStatusPlan Plan, TStatusEvents Events);
  bool StartDetect(TDetectPlan Plan, TDetectEvents Events);
  // Asks the run under way to stop; nothing when none runs.
  void Stop();
  // Waits until the run's thread has ended (the Ended event called).
  void Wait();
  // True from Start until the run's thread has called Ended.
  bool Running() const { return Running_.load(std::memory_order_acquire); }
  bool StopRequested() const { return Stop_.load(std::memory_order_relaxed); }

 private:
  // Lends the communicators to a run, starts Body on the run's thread.
  bool Launch(std::vector<TCommunicator*> Comms, std::function<void()> Body);
  void Release();  // the stop flag off the communicators
  // Sleeps Ms on the run's thread; Stop wakes it at once.
  void Pause(int Ms);
  void RunExchange();
  void RunStatus();
  void CheckOne(const TStatusItem& Item);
  void RunDetect();

  // One controller's records, into Batch_ (under BatchLock_).
  void JournalItem(const TFleetJob& Job, const TFleetResult& Result);

  TRunPlan Plan_;
  std::mutex BatchLock_;
  std::vector<TJournalRecord> Batch_;
  std::string OpId_;
  TRunEvents Events_;
  TStatusPlan StatusPlan_;
  TStatusEvents StatusEvents_;
  TDetectPlan DetectPlan_;
  TDetectEvents DetectEvents_;
  std::vector<TCommunicator*> Lent_;
  std::function<void()> Body_;
  std::atomic<bool> Stop_{false};
  std::atomic<bool> Running_{false};
  std::mutex PauseLock_;
  std::condition_variable PauseWake_;
  std::thread Thread_;
};

}  // namespace tavex

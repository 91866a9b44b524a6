// The fleet operation of tavexctl: every controller served in one batched
// exchange (all its entries in one variables request per 100 addresses,
// instead of a request sequence per value), controllers served side by side
// on a bounded pool of worker threads, and a controller that stops
// answering given up at once instead of costing a time-out per entry. The
// status check and the allocation file listing take the same stages.
//
// The desktop tool's Read and Write take the same exchange, through its
// operation runner (uOperationRunner); this unit is built from the same
// record (TTavex), its exchange building blocks and the stage blocks of
// uStages as the cell-by-cell walk of uOperations, under kBatchedPolicy
// where the record's own sequence runs kStagedPolicy.
//
// Threads: RunFleet, RunStatus, RunAlc and RunPool are called from one
// thread and return when every item is done. A record is served by one
// worker at a time and must not be touched by anyone else meanwhile;
// records share nothing, except a TAlcCache (safe to share) and the
// progress callback (called one at a time). Each record must have been
// given its adapter by ID beforehand (SelectAdapter): choosing the host's
// own adapter looks names up, which is not safe on several threads.
// Exceptions never leave a worker: what a controller's allocation text
// throws becomes that controller's error.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "comm/uCodeMemory.h"
#include "plc/uAlcCache.h"
#include "plc/uAlcFetch.h"
#include "plc/uClock.h"
#include "plc/uOperations.h"
#include "plc/uStages.h"
#include "plc/uTavex.h"

namespace tavex {

// At most this many workers, whatever is asked.
inline constexpr int kMaxFleetJobs = 128;

// The header bytes the fleet reads: everything up to the directory's entry
// count (program check, stamp, directory address and count).
inline constexpr int kHeaderFieldsSize = kCodeHeaderFieldsSize;

// Message of a variable write that no controller acknowledged.
inline constexpr char kErrWriteVars[] = "Error writing vars";

// Why an entry has no value (or, for a rejected value, why nothing was
// written): the cell text alone says only "?".
enum class TEntryReason : uint8_t {
  None,             // the value read back
  UnknownEntry,     // no global element of that name and index
  RejectedValue,    // the value text does not fit the element's type: not written, read back
  NoAnswer,         // the controller did not answer (a stage or a transaction failed)
  ControllerError,  // it answered, but has no program, no allocation file, or a bad one
  HeldBack,         // accepted, but not written: another value for the controller was
                    // rejected or named no variable (TFleetOptions::AllOrNothing)
  NotDone,          // the run was interrupted before this entry was read or written
  NotReadBack,      // written, but the run was interrupted before the read-back
  NotTransferred,   // its type (timer, counter, ...) is never read or written: no value
};
// "", "unknown entry", "rejected value", "no answer", "controller error",
// "held back", "not done", "written, not read back"; NotTransferred names
// the type: "not transferred (timer)" (VarType, the element's type).
const char* ReasonText(TEntryReason Reason, uint8_t VarType = 0);

// What became of one value to write, from what happened on the wire: the
// acknowledgement of its batch decides, whatever failed later; the
// read-back, when there was one, says what the controller holds.
enum class TWriteVerdict : uint8_t {
  None,                // nothing to write for this entry (only read)
  Written,             // acknowledged, and read back as written
  WrittenDiffers,      // acknowledged, but read back as another value
  WrittenNotReadBack,  // acknowledged; no read-back followed (no answer, or interrupted)
  NotAcknowledged,     // sent, no acknowledgement, no read-back: it may have been written
  Landed,              // sent, no acknowledgement, but read back as written
  NotLanded,           // sent, no acknowledgement, and read back as another value
  HeldBack,            // not sent: another value for the controller was refused
  Rejected,            // not sent: its type does not take the value (or is not transferred)
  UnknownEntry,        // not sent: the entry names no variable
  NotDone,             // not sent: the controller failed before its write, or the run stopped
  Unchanged,           // not sent: read just before, the controller held this value already
};
// "", "written", "written, reads back otherwise", "written, not read back",
// "not acknowledged (may have been written)", "not acknowledged, landed",
// "not acknowledged, not landed", "held back", "rejected value",
// "unknown entry", "not done", "unchanged".
const char* VerdictText(TWriteVerdict Verdict);
// Written, WrittenNotReadBack, Landed and Unchanged: the controller holds
// the value (as far as anyone can tell).
bool VerdictTook(TWriteVerdict Verdict);

// --- Worker pool -------------------------------------------------------------

// Calls Work(i) once for every i in 0 .. Count-1, on min(Count, Jobs) threads
// (Jobs 0: one per item; never more than kMaxFleetJobs), each thread taking
// the next index when it is free. Returns when all are done. Work must not
// throw.
void RunPool(size_t Count, int Jobs, const std::function<void(size_t)>& Work);

// --- Allocation archive --------------------------------------------------------
//
// FetchAlcText and TAlcFetch: plc/uAlcFetch.h; the stage blocks and the
// two policies (kBatchedPolicy is the fleet's): plc/uStages.h;
// NoAnswerText is there too.

// --- Transport settings ------------------------------------------------------------

// The transport's values for every transaction of the record: each attempt
// waits TimeoutMs (1 .. 60000) for its answer, and a request is sent at
// most Retries times (at least once).
void SetTransport(TTavex& Plc, int TimeoutMs, int Retries);

// --- Finding a controller by address --------------------------------------------

// A unicast ping to NAD 0 at Host ("addr" or "addr:port") through Plc's own
// communicator, opened on its adapter. Plc must be fresh (NAD unknown). True
// when a controller answered: Plc then carries the answering NAD and the
// address (and port, when not the default) the answer came from, which
// need not be Host's text (a name, a broadcast address), and its socket is open and the controller known to answer,
// so the next exchange starts at the program check.
bool PingHost(TTavex& Plc, const std::string& Host);

// --- The exchange ----------------------------------------------------------------

// What one controller is asked.
struct TFleetJob {
  TTavex* Plc = nullptr;
  std::vector<std::string> Entries;  // "speed", "temp[3]"
  std::vector<std::string> Values;   // with a write: one text per entry; empty: only read
};

struct TFleetEntry {
  std::string Text = "?";  // the cell text: the value read back, or "?"
  TEntryReason Reason = TEntryReason::NoAnswer;
  uint8_t VarType = 0;     // the linked element's type; 0 when none
  TWriteVerdict Verdict = TWriteVerdict::None;  // with a value to write
  // With TFleetOptions::ReadBefore: the cell text read just before the
  // write ("?" when the element holds no value); empty when there was no
  // such read.
  std::string Before;
};

// What became of a clock write (SyncClock).
enum class TClockVerdict : uint8_t {
  None,             // no clock write asked, or the controller failed before it
  Set,              // the write was acknowledged (the read-back is in Rtc)
  NotAcknowledged,  // sent without acknowledgement: it may have been taken
  NotSet,           // not sent: a clock variable is missing or rejects its value
};

struct TFleetResult {
  std::vector<TFleetEntry> Entries;  // one per job entry
  std::string Rtc;                   // "%.4d-%.2d-%.2d  %.2d:%.2d:%.2d", or empty
  // With TFleetOptions::ReadBefore: the read before the write answered;
  // the clock it found, as Rtc (empty without the clock variables).
  bool ReadBefore = false;
  std::string RtcBefore;
  bool HeldBack = false;   // AllOrNothing found a rejected value or an unknown entry: nothing written
  // With SyncClock: what became of the clock write, whether it went out,
  // the time it carried, the clock variables the program lacks and those
  // whose type rejected their value. A missing or rejected field other than
  // rtc_weekday keeps the whole clock write back: the controller takes all
  // its clock fields at once on rtc_write_req, never a mix of new and old.
  // Without rtc_weekday the clock is set without the weekday.
  TClockVerdict Clock = TClockVerdict::None;
  bool ClockSent = false;
  TLocalTime ClockSet;
  std::vector<std::string> ClockMissing;
  std::vector<std::string> ClockRejected;
  // With a write: the program has rtc_weekday (a clock read back is
  // complete as the clock write sets it). False otherwise.
  bool HasWeekday = false;
  bool GivenUp = false;    // a stage or a transaction failed, or the allocation text threw
  // Given up because a request got no answer (not the stop, nor a socket
  // that could not be opened): the controller stopped answering, and
  // nothing is known of what it holds.
  bool NoAnswer = false;
  bool ValuesWritten = false;  // every batch of the values' write was acknowledged
  // The values' write: batches holding values, and how many of them were
  // acknowledged (they went in order; the first unacknowledged one ended it).
  int WriteBatches = 0;
  int WriteBatchesAcknowledged = 0;
  bool Interrupted = false;    // the communicator's StopFlag refused a transaction
  bool Thrown = false;     // Error is the text of an exception
  std::string Error;       // the record's LastError, or the exception's text
};

// What became of a clock write, in the words both programs report and
// journal it with (ClockOutcomeText).
enum class TClockOutcome : uint8_t {
  NotAsked,            // "": no clock write was due
  NotDone,             // "not done": the controller failed before its clock write
  NotSet,              // "not set": a clock variable is missing or rejects its value
  MayHaveBeenSet,      // "not acknowledged (may have been set)": and not read back
  Landed,              // "not acknowledged, landed": the read-back holds the time set
  NotLanded,           // "not acknowledged, not landed"
  NotReadBack,         // "set, not read back"
  ReadsBackOtherwise,  // "set, reads back otherwise": more than 2 s off
  SetWithoutWeekday,   // "set, without the weekday": the program has no rtc_weekday
  Set,                 // "set"
};
TClockOutcome ClockOutcome(const TFleetResult& Result);
const char* ClockOutcomeText(TClockOutcome Outcome);
// Set, SetWithoutWeekday, NotReadBack and Landed: the controller holds the
// time set (as far as anyone can tell), as VerdictTook says of a value.
bool ClockOutcomeTook(TClockOutcome Outcome);

struct TFleetOptions {
  bool Write = false;
  // With a write: the time to set each controller's clock to, asked right
  // before its clock write (after its values). Empty: the clock is only read.
  TClockSource SyncClock;
  // With a write: when any value text is rejected by its element's type or
  // names no element, nothing at all is written to that controller (its
  // other entries are "held back", the clock is not set); everything is
  // still read back.
  bool AllOrNothing = false;
  // With a write: one read of the entries to write and the clock right
  // before the write, so that what each value replaced can be journalled
  // (TFleetEntry::Before, TFleetResult::RtcBefore). Sent only when
  // something is to be written; a read that goes unanswered gives the
  // controller up before anything is written to it.
  bool ReadBefore = false;
  int Jobs = 0;  // workers; 0: one per controller
  const TAlcCache* Cache = nullptr;
  char DecimalSeparator = '.';
  // After each controller: controllers done, total. On a worker thread,
  // never two calls at once.
  std::function<void(size_t Done, size_t Total)> Progress;
  // As each stage of a controller ends: one short line saying how it went
  // and how long it took ("ping: answered (2 ms)"). On the controller's
  // worker thread; calls for different controllers may come at once.
  std::function<void(const TTavex& Plc, const std::string& Line)> Stage;
};

// One controller, on the calling thread:
// 1. the staged sequence, each check once (a failed transaction has already
//    had the transport's retries): open and ping unless the record is past
//    them, the header fields (program, stamp and directory in one read),
//    the allocation text when the stamp changed or none is loaded
//    (FetchAlcText), the run state;
// 2. read: one read of every entry and the six clock variables;
//    write: with ReadBefore one read of every entry and the clock
//    variables, then one write of every value text the entry's element accepts,
//    with SyncClock one write of the eight clock variables, then one read
//    of every entry and the clock variables.
// The first failure gives the controller up: every entry not yet read is
// "?" with NoAnswer (or ControllerError), and nothing more is sent to it.
// A value text that the element's type rejects is never written. With
// SyncClock, rtc_write_req is written only when every clock variable that
// the program has accepts its value: the controller takes all its clock
// fields at once on that request, and must not take a mix of new and old.
void ServeController(TFleetJob& Job, const TFleetOptions& Options, TFleetResult& Result);

// Every job on the worker pool; Results[i] belongs to Jobs[i], whatever the
// order the controllers finish in. Two jobs must not share a record.
void RunFleet(std::vector<TFleetJob>& Jobs, const TFleetOptions& Options,
              std::vector<TFleetResult>& Results);

// --- Status check and allocation file -------------------------------------------------
//
// Both take the stages of ServeController's staged sequence (open and ping
// unless the record is past them, the header fields, FetchAlcText with the
// cache, the run state), with the same rule for a controller that stops
// answering: one failed transaction, then nothing more is sent to it. Of
// TFleetOptions they use Cache, Jobs, Progress and Stage. A bad allocation
// line is the controller's own error; nothing throws.

// The five steps of a status check.
inline constexpr int kStatusSteps = 5;
enum : int { skNetwork = 0, skPing = 1, skProgram = 2, skAlc = 3, skRun = 4 };

enum class TStepState : uint8_t { NotReached, Ok, Error };

// The causes of the status steps that are findings about what the
// controller holds, not failures of the check.
inline constexpr char kNoProgramCause[] = "no program";
inline constexpr char kNoAlcCause[] = "no allocation file";
inline constexpr char kStoppedCause[] = "stopped";

struct TStatusStep {
  TStepState State = TStepState::NotReached;
  // With Error: a request of this step got no answer (Cause is then
  // NoAnswerText): the controller stopped answering, whatever it holds.
  bool NoAnswer = false;
  // With Error: why, in a few words: "cannot open a socket on adapter eth0",
  // "no answer to 3 attempts of 500 ms" (NoAnswerText), "no program", "no
  // allocation file", the allocation parser's message, "stopped", "status
  // bytes 03 02 out of range".
  std::string Cause;
};

struct TStatusResult {
  TStatusStep Steps[kStatusSteps];  // indexed by skNetwork .. skRun
  // The run was interrupted (the communicator's StopFlag) before every
  // step that was due had run: those steps are NotReached.
  bool Interrupted = false;
  bool Failed() const;  // some step is Error
};

// The status check of one controller, on the calling thread: network and
// ping (each Ok without a request when the record is already past it), the
// program (the header fields), the allocation file, the run state. A step
// that gets no answer is an Error with NoAnswerText as its cause, and the
// steps after it are not reached. A controller that answers goes on to the
// next step whatever the last gave: without a program its allocation file
// is an Error too (no request is needed to know it), and its run state is
// still asked. A program that does not run is an Error ("stopped"), so is
// a run-state answer with status bytes out of range (the controller
// answered: no further request follows anyway). The record ends as the
// staged sequence leaves it: ready (stCheckCode) when the program, its
// allocation file and a run state were there, otherwise failed (LastError
// says why; the next call opens the socket again).
// StepEnded (optional) is told each step's outcome as it is decided, on the
// calling thread, before the next step's request; a step that the stop cut
// short (NotReached) is not told.
using TStatusStepEnded = std::function<void(int Step, const TStatusStep& Outcome)>;
void ServeStatus(TTavex& Plc, const TFleetOptions& Options, TStatusResult& Result,
                 const TStatusStepEnded& StepEnded = {});

// Every record's status check on the worker pool; Results[i] belongs to Plcs[i].
void RunStatus(const std::vector<TTavex*>& Plcs, const TFleetOptions& Options,
               std::vector<TStatusResult>& Results);

struct TAlcResult {
  bool Loaded = false;     // Plc.AlcVars holds the controller's allocation file
  bool FromCache = false;  // it came from the cache (its first page checked)
  bool Interrupted = false;  // the communicator's StopFlag refused a transaction
  bool Thrown = false;     // Error is the allocation parser's message
  // Why not loaded: ServeController's texts for the same stage ("ping: no
  // answer to 3 attempts of 500 ms", kErrProgram, kErrAlc, the parser's
  // message, ...).
  std::string Error;
};

// The allocation file of one controller into Plc.AlcVars, on the calling
// thread: the staged sequence up to the allocation file (without the run
// state). Without a change of program stamp a record that holds its file
// sends only the header request.
void ServeAlc(TTavex& Plc, const TFleetOptions& Options, TAlcResult& Result);

// Every record's allocation file on the worker pool; Results[i] belongs to Plcs[i].
void RunAlc(const std::vector<TTavex*>& Plcs, const TFleetOptions& Options,
            std::vector<TAlcResult>& Results);

}  // namespace tavex

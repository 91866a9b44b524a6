// The stages of a record's staged sequence as shared blocks: open, ping,
// the header fields, the allocation file, the run state. The record's own
// ProcessVariables and the fleet's exchange, status check and allocation
// listing are all made of these; where they differ is named in a
// TStagePolicy below, and nowhere else. Each block does one stage, moves
// the record's Stage byte as the staged sequence does, says how it went in
// the stage log, and leaves the verdict (and the failure text) to its
// caller.
//
// Threads: the record's owner (or the one worker serving it).
// Exceptions: LoadAlcVars passes on the allocation parser's exception.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "plc/uAlcCache.h"
#include "plc/uAlcFetch.h"
#include "plc/uTavex.h"

namespace tavex {

// How the stages are run. Two policies exist; each difference between
// them is a field here, with the reason for each value.
struct TStagePolicy {
  // Reads of the header fields while they get no answer. The record tries
  // 5 times (a program check that gets no answer counts as no program);
  // the fleet once: a failed transaction already had the transport's
  // retries, and a controller that stops answering is given up at once.
  int HeaderTries;
  // Fetches of directory and archive while a transaction fails (3 for the
  // record, once for the fleet, as above). Never repeated for a memory
  // without an archive: it would read the same again.
  int ArchiveTries;
  // Run-state requests while none gets a valid answer; 0: as many as the
  // transport's Retries (the record's long-standing rule), 1 for the fleet.
  int RunStateTries;
  // A run state without answer ends the controller's turn. The record's
  // run state only informs (a stopped program is still exchanged, and an
  // unanswered one leaves PlcRunning false); the fleet takes no answer as
  // a failed transaction like any other, nothing more is sent.
  bool RunStateNoAnswerFails;
  // A run-state answer with status bytes out of range ends the turn (the
  // fleet: such a controller is left alone); the record ignores it, as it
  // ignores every run state.
  bool RunStateBadAnswerFails;
};

// The record's own sequence (TTavex::ProcessVariables, and through it the
// cell-by-cell walks of uOperations). It has no allocation cache.
inline constexpr TStagePolicy kStagedPolicy{5, 3, 0, false, false};
// The batched exchange of the fleet engine (tavexctl, the desktop's
// operation runner), its status check and allocation listing; with the
// caller's cache, if any.
inline constexpr TStagePolicy kBatchedPolicy{1, 1, 1, true, true};

// Tells a stage sink how each stage of one controller went, with the time
// since the previous stage ended. Without a sink, nothing.
class TStageLog {
 public:
  using TSink = std::function<void(const TTavex& Plc, const std::string& Line)>;
  TStageLog(const TSink& Sink, const TTavex& Plc) : Sink_(Sink), Plc_(Plc) {}
  bool On() const { return static_cast<bool>(Sink_); }
  void operator()(const std::string& Line);

 private:
  const TSink& Sink_;
  const TTavex& Plc_;
  std::chrono::steady_clock::time_point Start_ = std::chrono::steady_clock::now();
};

// Why a transaction failed, from the transport's values of Comm: "no answer
// to 3 attempts of 500 ms" (Retries, at least 1, and Timeout; "1 attempt").
std::string NoAnswerText(const TCommunicator& Comm);

// "cannot open a socket on adapter eth0" (or "... on the adapter" without an ID).
std::string OpenFailureText(const TTavex& Plc);

// stOpen -> stConnect: the socket on the record's adapter. False: not opened.
bool OpenStage(TTavex& Plc, TStageLog& Log);
// stConnect -> stCheckCode: the ping. False: no answer.
bool PingStage(TTavex& Plc, TStageLog& Log);

// The step indexes Connect reports (the status check's numbering).
inline constexpr int kConnectNetwork = 0;
inline constexpr int kConnectPing = 1;

// Open and ping, each unless the record is past it (stIdle and stFailed
// start at stOpen). The step that failed (kConnectNetwork, kConnectPing), or -1.
int Connect(TTavex& Plc, TStageLog& Log);

enum class THeaderEnd : uint8_t { Program, NoProgram, NoAnswer };

// Program, stamp and the directory's place from one read of the header
// fields, tried up to Tries times while it gets no answer. Sets
// Plc.HasProgram (false without an answer too) and, with a program,
// Comm.CodeStamp. Unchanged: the program's stamp is the one the
// communicator saw last. Header: the bytes read (kCodeHeaderFieldsSize).
THeaderEnd ReadHeaderFields(TTavex& Plc, std::vector<uint8_t>& Header, bool& Unchanged, TStageLog& Log,
                            int Tries = 1);

// The allocation file into Plc.AlcVars (stReadAlc), which is emptied first
// with TransferVars and AlcOk: a failed load leaves no stale variables
// behind. Header: the header fields already read, or empty (then read
// here, with Policy.HeaderTries). Fetched or FromCache: loaded (AlcOk). A
// bad line throws the parser's exception; Stage then stays stReadAlc and
// AlcOk false.
TAlcFetch LoadAlcVars(TTavex& Plc, const TAlcCache* Cache, const std::vector<uint8_t>& Header, TStageLog& Log,
                      const TStagePolicy& Policy = kBatchedPolicy);

enum class TRunEnd : uint8_t { Running, Stopped, NoAnswer, BadAnswer };

// The run state (PlcRunning), asked up to Policy.RunStateTries times while
// it gets no valid answer. BadAnswer: the controller answered with status
// bytes out of range or none; Why then says which ("status bytes 03 02 out
// of range"). Without a valid answer PlcRunning is false.
TRunEnd ReadRunState(TTavex& Plc, std::string& Why, TStageLog& Log, const TStagePolicy& Policy = kBatchedPolicy);

// Frames another controller (or address) sent while this one was served
// (the communicator's count was Before at the start).
void LogForeign(const TTavex& Plc, uint64_t Before, TStageLog& Log);

}  // namespace tavex

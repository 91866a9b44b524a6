// The tool behind tavexctl's commands: it prepares a run (configuration
// file, value file, adapter), finds the controllers (broadcast, --host,
// --hosts), runs one command on them and prints what it gathered in the
// chosen format. Failures are gathered as sentences and printed on stderr
// after the output; any failure makes the exit status 1.
//
// The command families live in their own files: uCmdControllers.cpp
// (adapters, detect, status, vars) and uCmdValues.cpp (read, write, clock).
//
// Threads: everything on the main thread, except the fleet operation's
// workers inside RunFleetRows and DetectByHosts.
#pragma once

#include <atomic>
#include <cstdint>
#include <exception>
#include <functional>
#include <iostream>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "cli/uCliInputs.h"
#include "cli/uCliOptions.h"
#include "cli/uCliOutput.h"
#include "cli/uInventory.h"
#include "plc/uAlcCache.h"
#include "plc/uFleet.h"
#include "plc/uJournal.h"
#include "plc/uTavex.h"

namespace tavex {

using Json = nlohmann::ordered_json;

inline constexpr char kDecimal = '.';

// --- Small texts about controllers --------------------------------------------

uint64_t NadNumber(const TTavex& Plc);
std::string NadText(const TTavex& Plc);
// "Controller NAD at ADDR".
std::string Who(const TTavex& Plc);
// "0x0120".
std::string HexAddress(int32_t Address);
// The allocation element a request for Entry links to (the same rules as
// the exchange), or nullptr.
const TTavexVar* FindElement(const TTavex& Plc, const std::string& Entry);
// A cell text as JSON: a number when it is one, null for "?" (and for
// texts JSON cannot hold).
Json ValueJson(const std::string& Text);

// One controller's values after read or write.
struct TAskedMissing;
struct TRowResult {
  TTavex* Plc = nullptr;
  const TAskedMissing* Asked = nullptr;  // instead of Plc: asked for, not served
  std::vector<std::string> Entries;
  std::vector<std::string> Texts;  // the cell texts
  std::vector<TEntryReason> Reasons;
  std::vector<uint8_t> Types;  // each entry's element type, 0 when none
  std::string Rtc;
  std::string Error;
  std::vector<std::string> NotWritten;  // entries whose value did not take (as far as known)
  bool HeldBack = false;                // a value was rejected: nothing written
  // After a write: each entry's verdict (None for an entry only read), and
  // how the value write went in batches.
  std::vector<TWriteVerdict> Verdicts;
  int Batches = 0;
  int BatchesAcknowledged = 0;
  // With a clock write: what became of it ("set", "not set", ...), and,
  // when it was not set as asked, why (the controller's error when Error
  // says nothing else).
  std::string Clock;
  std::string ClockError;
};

// A controller that was asked for (by --nad, --host, --hosts or a row of
// write --from) and is not served: it did not answer, or answered with
// another NAD. Every command's output lists it among the served ones, in
// NAD order (one whose NAD is not known after them, by address), with its
// Error; Detect has already recorded the failure sentence.
struct TAskedMissing {
  uint32_t Nad = 0;
  bool NadKnown = false;  // false: asked by address only (--host), and nobody answered
  std::string Address;    // where it was asked; empty when it was asked by NAD only
  std::string Error;      // "did not answer", "answered with NAD 1002", ...
};

// Set by SIGINT and SIGTERM: no more requests are sent; what was done is
// printed, and the run ends with status 130.
extern std::atomic<bool> gStopRequested;

class TTool {
 public:
  explicit TTool(TOptions Options) : O(std::move(Options)) {
    if (O.Quiet || O.Trace || O.Verbose) Progress.Silence();
  }
  // Runs the command; returns the exit status (0 or 1). Throws TUsageError.
  int Run();

 private:
  void Prepare();
  void Detect();
  void DetectByHosts();
  void Configure(TTavex& Plc) const;
  // "did not answer the broadcast (listened 1000 ms)".
  std::string BroadcastSilence() const;
  // With --trace: every datagram of Comm as a line on stderr.
  void Trace(TCommunicator& Comm) const;
  // With -v: how a stage of Plc went, one line on stderr. Any thread.
  void StageLine(const TTavex& Plc, const std::string& Line) const;
  void StageLine(const std::string& Where, const std::string& Line) const;

  void CmdAdapters();
  void CmdDetect();
  void CmdStatus();
  void CmdRead();
  void CmdWrite();
  void CmdClock();
  void CmdVars();
  void DryRun(std::vector<TRowResult>& Rows, const std::vector<std::vector<std::string>>& Values,
              bool Read = true);
  // diff, and write --from --changed-only (uCmdDiff.cpp).
  void CmdDiff();
  bool FileSelects() const { return (O.Command == "write" && O.FromGiven) || O.Command == "diff"; }
  // What write --changed-only found in its read before the write: per
  // record the entries whose value the controller holds already, and the
  // rows that get no write at all (everything equal, or the read failed).
  struct TChanged {
    std::map<const TTavex*, std::vector<bool>> Equal;
    std::vector<TRowResult> SetAside;
    size_t Values = 0;
    size_t Unchanged = 0;
  };
  void KeepChanged(std::vector<TRowResult>& Rows, std::vector<std::vector<std::string>>& Values,
                   TChanged& Changed);
  void MarkUnchanged(std::vector<TRowResult>& Rows, TChanged& Changed);
  void CmdHistory();
  // report: the journal's records first (and the controllers to find),
  // then, once they are found, the report (uCmdReport.cpp).
  void SelectReport();
  void CmdReport();
  std::vector<TJournalRecord> ReportRecords;

  void RunFleetRows(std::vector<TRowResult>& Rows, const std::vector<std::vector<std::string>>& Values,
                    bool Write);
  void CheckWritten(TRowResult& Row, const std::vector<std::string>& Values,
                    const TFleetResult& Result);
  void PrintRows(const std::vector<TRowResult>& Rows, bool Write, bool Clock = false);
  void AddMissingRows(std::vector<TRowResult>& Rows,
                      const std::function<std::vector<std::string>(const TAskedMissing&)>& EntriesOf,
                      bool Write);
  // --- The journal (uCmdValues.cpp) -------------------------------------------
  // Whether this run journals: write (not --dry-run) and clock --sync,
  // unless --no-journal.
  bool JournalOn() const;
  // Before anything is sent: the run's operation id and the journal's
  // path; with --require-journal the journal must open for appending
  // (TUsageError otherwise).
  void OpenJournal();
  // One record per value to write, and one for the clock set, of a served
  // controller, into JournalBatch.
  void JournalRow(const TRowResult& Row, const std::vector<std::string>& Values,
                  const TFleetResult& Result);
  // Appends JournalBatch and syncs it, before anything is printed; a
  // failure is a warning (with --require-journal a failure).
  void FlushJournal();
  std::string JournalFile;
  std::string OpId;
  std::vector<TJournalRecord> JournalBatch;

  static std::string RowNad(const TRowResult& R);
  static std::string RowIp(const TRowResult& R);
  static Json RowNadJson(const TRowResult& R);
  void Emit(const TTextTable& Human, const TTextTable& Machine, const Json& J);
  // Standard output; a failed write is remembered and reported by Run.
  void Out(const std::string& Text);
  bool OutFailed = false;
  int OutErrno = 0;
  void Fail(std::string Sentence) { Failures.push_back(std::move(Sentence)); }
  // A warning on stderr at once; the exit status stays as it is.
  void Warn(const std::string& Sentence) { std::cerr << "tavexctl: warning: " << Sentence << "\n"; }
  // Broadcasts of one discovery, at most, while answers were lost.
  static constexpr int kDetectRounds = 3;

  TOptions O;
  std::string AdapterID;
  std::string Password;
  std::vector<std::string> Entries;  // from the configuration file
  TFileValues FileValues;
  std::vector<TInventoryHost> Inventory;  // from --hosts
  TTavexList List;
  std::vector<TTavex*> Plcs;  // the records worked on, in list order
  std::vector<TAskedMissing> Missing;  // asked for, not served (see TAskedMissing)
  std::vector<std::string> Failures;
  TProgress Progress;

  // --- Hints: causes said once at the end of a run ---------------------------
  // After the failures: why nothing may have answered (the password), and
  // answers that came after --timeout. Returns the lines to print.
  std::vector<std::string> Hints();
  // Sets up Cache's failure report (-v: each failed file) and, once it was
  // used, warns once that nothing could be kept.
  void WatchCache(TAlcCache& Cache) const;
  void WarnCache(const TAlcCache& Cache);
  std::string PasswordOrigin;  // where the password sent came from; empty: none
  bool AnyAnswer = false;      // something answered a broadcast or a --host/--hosts ping
  bool CacheWarned = false;
  // Records whose pings went unanswered, kept so that late answers to them
  // can still be seen.
  std::vector<std::unique_ptr<TTavex>> Spent;
};

}  // namespace tavex

// The page operations, free of any user interface: the status check of one
// controller, one value request, the clock read and write, and the walks over
// one controller's configured entries. The desktop tool and tavexctl both
// call these, so that each algorithm exists once.
//
// Threads: the owner's thread. Exceptions: whatever TTavex::ReadAlc throws
// (a bad allocation line) passes through and ends the operation; callbacks
// that were due after the failing request are not called.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "plc/uTavex.h"

namespace tavex {

// --- Autodetect ------------------------------------------------------------

// What one broadcast of a discovery brought.
struct TDetectRound {
  int Round = 0;     // 1, 2, ...
  int Answers = 0;   // answers to it
  int New = 0;       // of them, controllers no earlier broadcast listed
  TDetectReport Report;  // what it skipped, and what the system dropped
  // Another broadcast follows: answers were lost, or a sender that is not
  // listed sent something that may have been a spoilt answer.
  bool Again = false;
};

struct TDetectOptions {
  std::string AdapterID;  // empty: the adapter that carries the host's own address
  bool DirectConnection = false;
  std::string Password;
  int ListenMs = 1000;
  // Broadcasts at most: the ping is broadcast again while the system
  // dropped datagrams on the listening socket (answers may be missing), or
  // while a sender not yet listed sent something that may have been a
  // spoilt answer (TSkippedSender::MaybeAnswer).
  int Rounds = 3;
  // After each broadcast (on the caller's thread). Empty: nothing.
  std::function<void(const TDetectRound&)> AfterRound;
};

// A sender of skipped datagrams over a whole discovery.
struct TDetectSender : TSkippedSender {
  bool Listed = false;  // a controller at its address is listed (it answered as well)
};

// What a discovery saw besides the controllers it listed.
struct TDetectOutcome {
  bool Opened = false;  // false: the adapter could not be opened, nothing was sent
  int Rounds = 0;       // broadcasts sent
  // The last broadcast, too, lost datagrams: controllers may be missing
  // from the list. Lost is its count, ReceiveBuffer the listening socket's
  // buffer as the system granted it (0: not known).
  bool AnswersLost = false;
  uint64_t Lost = 0;
  size_t ReceiveBuffer = 0;
  // Frames and datagrams skipped over all broadcasts (no answer to the
  // tool, or damaged), and their senders by address in order of first
  // arrival (at most TCommunicator::kMaxSkippedSenders named).
  uint64_t Skipped = 0;
  std::vector<TDetectSender> Senders;
};

// Finds the controllers by broadcasting a ping through Comm (opened on the
// adapter, password hash set) and fills List (cleared first) with one record
// per controller, each with its NAD, address, connection kind, adapter and
// password, in order of first arrival. The broadcast is repeated (up to
// Options.Rounds) while the system dropped answers, or while an unlisted
// sender's answer may have been spoilt; the answers of every broadcast are
// merged by NAD and address, so a controller is listed once however often
// it answered (two controllers with one NAD are two records).
// Outcome (optional) tells what may be missing and what was skipped. False
// when Comm could not be opened on the adapter (nothing was sent).
bool DetectControllers(TCommunicator& Comm, TTavexList& List, const TDetectOptions& Options,
                       TDetectOutcome* Outcome = nullptr);

// Where Outcome's skipped datagrams came from, for a message: the senders
// that are not listed by name, the others by number ("from 127.0.0.3 (NAD
// 1001), 127.0.0.9 (damaged), and from 2 listed controllers"), with ", and
// from others" when not all were named.
std::string SkippedSendersText(const TDetectOutcome& Outcome);

// --- Entries ---------------------------------------------------------------

// "speed[2]" -> "speed", 2. No bracket pair with a non-negative integer
// between: the whole entry, -1. Text after "]" stays ("a[2]b" -> "ab", 2).
void SplitIndexedName(const std::string& Entry, std::string& Name, int32_t& Index);

// The global allocation element of Plc that a request for Entry ("name" or
// "name[index]") links to, by the exchange's rule, or nullptr.
const TTavexVar* FindGlobalElement(const TTavex& Plc, const std::string& Entry);

// --- Texts -----------------------------------------------------------------

// A value in general format with up to 15 significant digits: fixed notation
// from 0.00001 up to 15 integer digits, scientific otherwise ("1.5E20",
// "1E-6"); integers without a decimal part; "NAN", "INF", "-INF".
std::string FormatValue(double Value, char DecimalSeparator);
// An element's value as a cell shows it, a text that ValueFromText takes
// back to the same wire value (with '.' as the separator): an integer type
// by FormatValue; a real as the shortest text of its single (FormatSingle:
// "1.8", "3.4028235E38", "-0"); "?" for a type that is not transferred
// (timer, counter, ...), whose value is never read.
std::string ValueText(const TTavexVar& Element, char DecimalSeparator);
// The cell text of a request after ProcessVariables: its linked element's
// ValueText, or "?" when it has no link.
std::string CellText(const TGadgetVar& Request, char DecimalSeparator);
// "%.4d-%.2d-%.2d  %.2d:%.2d:%.2d".
std::string FormatRtc(int Year, int Month, int Day, int Hour, int Minute, int Second);

// --- Status check ----------------------------------------------------------

struct TStatusSteps {
  // After each of the five steps (0 "Network" .. 4 "PLC run"), with its result.
  std::function<void(int Step, bool Ok)> AfterStep;
  // The pauses after steps 0, 1, 2 and 4, in milliseconds. Empty: none.
  std::function<void(int Ms)> Pause;
  // Asked before each step after the first; true: no further step runs.
  std::function<bool()> Stop;
};

// OpenSocket, Ping, CheckProgram, ReadAlc, CheckRun, each whatever the
// earlier ones gave, then CloseSocket. False when Stop ended it early (the
// socket is closed then too). Throws what ReadAlc throws (the socket is
// then left open).
bool CheckStatus(TTavex& Plc, const TStatusSteps& Steps);

// --- Values ----------------------------------------------------------------

// One request for one entry: ProcessVariables with a list of one, the
// request's key "NAD.entry". ValueText empty: only read. Returns the cell
// text (the value read back, or "?").
std::string RequestValue(TTavex& Plc, const std::string& Entry, const std::string& ValueText,
                         char DecimalSeparator);

// True when the last ProcessVariables of Plc ended in a failed stage: no
// socket, no answer (to the ping, the program check, the archive or the
// value read), no program or no allocation file; its LastError tells which.
// Every further request to it in the same walk would fail alike, most of
// them only after their time-outs. A variable that is not in the allocation
// file is no failure of the controller.
bool ControllerFailed(const TTavex& Plc);

// --- Clock -----------------------------------------------------------------

// The clock variables, in the order they are requested.
inline constexpr const char* kClockVars[8] = {"rtc_year", "rtc_month", "rtc_date",
                                              "rtc_hour", "rtc_min",   "rtc_sec",
                                              "rtc_weekday", "rtc_write_req"};

struct TLocalTime {
  int Year = 0, Month = 0, Day = 0, Hour = 0, Minute = 0, Second = 0;
  int Weekday = 0;  // 0 = Sunday
};
// The workstation's local date and time now.
TLocalTime LocalNow();
// The same in UTC.
TLocalTime UtcNow();

// Reads the six date and time variables; RtcText := the clock, or empty
// when any of them is missing (or of a type that is not transferred).
void ReadClock(TTavex& Plc);
// The eight clock requests in one call: with Sync, the eight values of Sync
// (weekday, and "1" for rtc_write_req) are written together and read back;
// without, they are only read. rtc_write_req makes the controller take all
// its clock fields at once, so the write is all fields or none
// (PlanClockWrite, plc/uClock.h): a clock variable that is missing (other
// than rtc_weekday) or whose type rejects its value keeps every field
// back, and the clock is only read. The allocation file is loaded first (a
// read of the clock) when the record has none yet, and when that fails
// nothing is written. RtcText from requests 0 to 6 (empty unless
// all seven are linked).
void WriteClock(TTavex& Plc, const TLocalTime* Sync);

// --- One controller's row --------------------------------------------------

struct TRowSteps {
  std::function<void(int Entry)> Busy;  // before entry k's request
  std::function<void(int Entry, const std::string& Text)> Done;  // after it
  // Asked before each request (entries and clock); true: the row ends there,
  // and the entries not yet asked keep their texts in Texts.
  std::function<bool()> Stop;
  // Before the clock's request.
  std::function<void()> Clock;
  // After a request in which the controller failed (ControllerFailed), the
  // row's remaining entries are not asked: each gets "?" through Done at
  // once (without Busy), and the clock is not asked either (RtcText empty).
  // False: every entry is asked, whatever the ones before gave.
  bool SkipAfterFailure = false;
};

// How a row ended: every request made, stopped, or skipped after the
// controller failed.
enum class TRowEnd { Done, Stopped, ControllerFailed };

// Each entry its own request, then the clock. Texts receives one text per entry.
TRowEnd ReadRow(TTavex& Plc, const std::vector<std::string>& Entries, std::vector<std::string>& Texts,
                char DecimalSeparator, const TRowSteps& Steps = {});
// Where a clock write takes its time from (usually LocalNow). Empty: the
// clock is only read.
using TClockSource = std::function<TLocalTime()>;

// Each entry written with its text in Texts (an empty text is only read) and
// read back into Texts, then WriteClock with the time SyncClock gives at that
// moment, after the values: each controller gets the time of its own write.
TRowEnd WriteRow(TTavex& Plc, const std::vector<std::string>& Entries, std::vector<std::string>& Texts,
                 const TClockSource& SyncClock, char DecimalSeparator, const TRowSteps& Steps = {});

}  // namespace tavex

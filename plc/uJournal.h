// The journal: one append-only file per user, written by tavexctl and the
// desktop tool, that keeps what each run wrote to the plant. One record per
// value written (or held back, rejected, not done) and per clock set, as a
// line of JSON ("JSON Lines"); the records of one run share an operation
// id.
//
// The file is only ever appended to. An append takes an exclusive advisory
// lock on the file (flock on Linux, LockFileEx on Windows) around the whole
// batch, so the records of runs that end at the same moment never
// interleave, starts on a line of its own when a writer that died left a
// torn last line, and is synced to the disk before it returns: a run
// reports success only after its records are kept.
//
// The reader takes the file as untrusted: a line that is torn, too long
// (kMaxJournalLine) or not a record is skipped and counted, never fatal.
//
// Threads: any; nothing is shared. Exceptions: none.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace tavex {

// A journal line longer than this is no record (skipped unread).
inline constexpr size_t kMaxJournalLine = 64 * 1024;

// The entry of a clock set.
inline constexpr char kJournalClockEntry[] = "clock";

// One record. JSON keys: time, offset, user, host, program, version, op,
// adapter, nad, ip, stamp, entry, before, written, read_back, verdict.
// A text that is not known is written as null (and read back as "").
struct TJournalRecord {
  std::string Time;      // UTC with milliseconds: "2026-12-11T09:14:03.250Z"
  std::string Offset;    // the local time's offset from UTC then: "+01:00"
  std::string User;
  std::string Host;
  std::string Program;   // "tavexctl", "tavex-config"
  std::string Version;
  std::string Op;        // the run's operation id (NewOperationId)
  std::string Adapter;   // the adapter the run used
  int64_t Nad = -1;      // -1: not known
  std::string Ip;
  std::string Stamp;     // the controller's program stamp: "0x1a2b3c4d"
  std::string Entry;     // "speed", "temp[3]", or kJournalClockEntry
  std::string Before;    // the value read just before the write; "" when not read
  std::string Written;   // the value (or, for the clock, the time) written
  std::string ReadBack;  // what the read after the write found; "" when none
  std::string Verdict;   // "written", "held back", "set", ...
};

// --- Where -------------------------------------------------------------------

// The journal's path: TAVEX_JOURNAL when set (not empty); else on Linux
// $XDG_STATE_HOME/tavex/journal (an absolute XDG_STATE_HOME only), else
// $HOME/.local/state/tavex/journal; on Windows %LOCALAPPDATA%\tavex\journal
// (an absolute LOCALAPPDATA only). Empty when none of them is set.
std::string JournalPath();

// --- Who and when ----------------------------------------------------------------

// The user's login name and the computer's name; "" when unknown.
std::string JournalUser();
std::string JournalHost();

// Now: Time and Offset as a record holds them.
void JournalNow(std::string& Time, std::string& Offset);

// A short id unique to one run: UTC time, process id and a random part,
// "20261211T091403Z-4711-9f3c".
std::string NewOperationId();

// --- Writing -----------------------------------------------------------------------

// One record as one JSON line (no line end). Text that is not UTF-8 is
// replaced, never an error.
std::string JournalLine(const TJournalRecord& Record);

// Whether the journal at Path can be opened for appending: its folder
// (0700) and the file (0600) are created when missing; nothing is written.
// False with Error ("Permission denied") otherwise.
bool CheckJournal(const std::string& Path, std::string& Error);

// Appends Records (in their order) under the file's lock and syncs the file
// before returning. Creates the folder and file as CheckJournal does. An
// empty batch does nothing. False with Error when anything fails; a batch
// cut short by a failed write may have left part of a line, which a reader
// skips.
bool AppendJournal(const std::string& Path, const std::vector<TJournalRecord>& Records,
                   std::string& Error);

// --- Reading -----------------------------------------------------------------------

// A record from one line; false when the line is no record (not a JSON
// object, a key of the wrong type, no time, op or entry, a time that is
// not a record's time).
bool ParseJournalLine(const std::string& Line, TJournalRecord& Record);

struct TJournalContents {
  std::vector<TJournalRecord> Records;  // in the file's order
  size_t Skipped = 0;                   // lines that were no record (empty lines not counted)
};

// Every record of the file at Path. A file that does not exist is an empty
// journal. False with Error when it exists but cannot be read.
bool ReadJournal(const std::string& Path, TJournalContents& Contents, std::string& Error);

// --- Times ---------------------------------------------------------------------------

// A record's time as milliseconds since 1970 (UTC); false when Time is not
// "YYYY-MM-DDTHH:MM:SS[.fff]Z".
bool JournalTimeMs(const std::string& Time, int64_t& Ms);

// A time given by the user: "2026-12-11", "2026-12-11T10:00",
// "2026-12-11T10:00:30" (a space for the T is taken too), each optionally
// followed by "Z" or an offset "+01:00" / "-0500"; without one it is local
// time. A date alone with EndOfDay means the end of that day (the start of
// the next); otherwise its start. False when Text is no such time.
bool ParseUserTime(const std::string& Text, bool EndOfDay, int64_t& Ms);

// Milliseconds since 1970 as local time, "2026-12-11 10:14:03".
std::string LocalTimeText(int64_t Ms);

}  // namespace tavex

// The as-left report: what a run (or a time span) of the journal did to
// each controller, beside what the controllers hold now. Built here as data
// from the journal's records and the values now, and rendered as one
// printable HTML page (self-contained: no script, nothing fetched, every
// text escaped) or as the rows of a CSV table. tavexctl's `report` reads
// the controllers again for the values now; the desktop tool takes what its
// Write read back.
//
// Everything in a record is untrusted text (the journal is a file anyone
// with the user's rights can edit): it is only ever shown as text.
//
// Threads: any; nothing is shared. Exceptions: std::bad_alloc only.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "plc/uJournal.h"

namespace tavex {

// --- Which records -------------------------------------------------------------

struct TReportSelection {
  std::string Op;  // only this run's records; empty without a span: the journal's latest run
  bool SinceGiven = false;
  int64_t SinceMs = 0;  // records at or after this time
  bool UntilGiven = false;
  int64_t UntilMs = 0;  // records before this time
};

// The records of Journal that Selection names, in the journal's order.
// Records that name no controller (no NAD) are left out: there is nothing
// to report them under.
std::vector<TJournalRecord> SelectReportRecords(const std::vector<TJournalRecord>& Journal,
                                                const TReportSelection& Selection);

// The controllers Records name, ascending.
std::vector<uint32_t> ReportNads(const std::vector<TJournalRecord>& Records);

// The entries journalled for controller Nad (its clock left out), each once,
// in the order they first appear: what is read to know its values now.
std::vector<std::string> ReportEntries(const std::vector<TJournalRecord>& Records, uint32_t Nad);

// --- The report as data ------------------------------------------------------------

// What one controller holds now.
struct TReportNow {
  std::string Ip;     // its address now
  std::string Stamp;  // its program stamp "0x1a2b3c4d"; empty without a program
  std::string Rtc;    // its clock, as the grid shows it; empty when not read
  std::string Error;  // empty: read; else why its values could not be read
  std::map<std::string, std::string> Values;  // entry -> value text
};

struct TReport {
  std::vector<TJournalRecord> Records;  // SelectReportRecords' (not empty)
  // The controllers shown; empty: every one the records name.
  std::vector<uint32_t> Nads;
  // The controllers read now; one that is absent did not answer.
  std::map<uint32_t, TReportNow> Now;
  // When the values now were taken, as a record holds a time (JournalNow),
  // and by what program: "tavexctl 1.4.0".
  std::string NowTime;
  std::string NowOffset;
  std::string NowBy;
  // True: the controllers were read again for the report. False: the
  // values now are what the run itself read back at its end.
  bool ReadAgain = true;
};

// Whether a journalled verdict says the controller holds what was written
// (a value's VerdictTook, a clock's ClockOutcomeTook). A text that is no
// verdict (a journal from elsewhere) did not take.
bool ReportVerdictTook(const std::string& Verdict);

// One record as the report shows it.
struct TReportLine {
  TJournalRecord Record;
  bool Clock = false;        // a clock set (kJournalClockEntry)
  std::string Time;          // the record's local time, "2026-12-11 10:14:03"
  bool Took = false;         // ReportVerdictTook: false is marked
  std::string Now;           // the value (for the clock: the clock) now; "" when not known
  bool NowDiffers = false;   // a value that took, read now as another one: marked
  std::string ClockOffset;   // a clock set: how far the clock found was off, "+93 s"
};

// One controller's part of the report.
struct TReportController {
  uint32_t Nad = 0;
  bool Read = false;             // it answered now (TReport::Now has it)
  std::string Ip;                // its address now; the journal's when not read
  std::string Stamp;             // the program stamp the journal names (its first record's)
  std::string StampNow;          // "" when not read
  bool StampChanged = false;     // read now with another program than the journal names: marked
  std::string ClockNow;
  std::string State;             // "read now", "not read now: ..."
  bool StateBad = false;         // not read now: marked
  std::vector<TReportLine> Lines;  // in the journal's order
};

// The report's controllers (ascending NAD), each with its lines.
std::vector<TReportController> ReportControllers(const TReport& Report);

// --- Rendering -------------------------------------------------------------------------

// Text as HTML text or attribute value: nothing in it is markup; control
// characters (but the tab) are shown as '?'.
std::string HtmlText(const std::string& Text);

// The report as one HTML page.
std::string ReportHtml(const TReport& Report);

// The report as a CSV table: the header row first, then one row per record
// (time, op, nad, ip, stamp, stamp_now, entry, before, written, read_back,
// verdict, now, clock_offset). The caller quotes the fields.
std::vector<std::vector<std::string>> ReportCsvRows(const TReport& Report);

}  // namespace tavex

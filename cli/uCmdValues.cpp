// read, write and clock: the fleet operation on the chosen controllers, the
// checks of what was written, and the value outputs (table, csv, json, and
// the rows that write --from takes back).
#include <algorithm>
#include <cstdio>
#include <ctime>
#include <map>
#include <set>

#include "cli/uCliTool.h"
#include "cli/uRowOrder.h"
#include "cli/uValueRows.h"
#include "plc/uAlcCache.h"
#include "plc/uClock.h"
#include "plc/uFleet.h"
#include "plc/uJournal.h"
#include "plc/uOperationRunner.h"
#include "plc/uOperations.h"
#include "vars/uGadgetVars.h"
#include "vars/uNumberText.h"

namespace tavex {

// A cell text as JSON: a number when it is one, null for "?" (and for the
// texts of values that JSON cannot hold). A real's text has at most 9
// significant digits, so the double it reads as prints as the same digits.
Json ValueJson(const std::string& Text) {
  int64_t i = 0;
  double r = 0;
  if (TryParseInteger(Text, i) && Text.find_first_of("xX$") == std::string::npos) {
    if (i == 0 && Text[0] == '-') return -0.0;  // a real's negative zero keeps its sign
    return i;
  }
  if (!TryParseReal(Text, r)) return nullptr;
  // A reader that takes the number as a double and then rounds it to single
  // precision rounds twice, and for a few singles (7.038531E-26) lands on
  // the neighbour. Those get the single's exact value, which reads back to
  // it either way.
  float f = 0;
  TSingleFit fit = TSingleFit::Overflow;
  if (TryParseSingle(Text, f, fit) && fit == TSingleFit::Fits && static_cast<float>(r) != f)
    return static_cast<double>(f);
  return r;
}

namespace {

Json ErrorJson(const std::string& Error) { return Error.empty() ? Json(nullptr) : Json(Error); }

// What a value text becomes in the element: its wire form read as a cell.
// False when the element's type rejects it.
bool WireText(const TTavexVar& Element, const std::string& Value, std::string& Text) {
  TVarValue v;
  if (!ValueFromText(Element.VarType, Value, v)) return false;
  TTavexVar expected;
  expected.Assign(&Element);
  expected.SetValue(v);
  expected.SetRawValue(expected.GetRawValue());
  Text = ValueText(expected, kDecimal);
  return true;
}

// Why a value text is refused for an element, as a clause of a sentence:
// "\"1e39\" is not a valid real value for sp (beyond the largest real, 3.4028235E38)".
std::string Rejection(const TTavexVar& Element, const std::string& Entry, const std::string& Value) {
  TVarValue v;
  std::string why;
  ValueFromText(Element.VarType, Value, v, &why);
  return Quoted(Value) + " is not a valid " + TypeKeyword(Element.VarType) + " value for " +
         TerminalSafe(Entry) + (why.empty() ? "" : " (" + why + ")");
}

}  // namespace

// --- The journal -------------------------------------------------------------------

bool TTool::JournalOn() const {
  if (O.NoJournal) return false;
  return (O.Command == "write" && !O.DryRun) || (O.Command == "clock" && O.SyncClock);
}

void TTool::OpenJournal() {
  if (!JournalOn()) return;
  JournalFile = JournalPath();
  OpId = NewOperationId();
  if (!O.RequireJournal) return;
  std::string error;
  if (!CheckJournal(JournalFile, error))
    throw TUsageError{"Cannot open the journal " + Quoted(JournalFile) + " for appending (" +
                      TerminalSafe(error) + "); nothing was sent (--require-journal)."};
}

void TTool::JournalRow(const TRowResult& Row, const std::vector<std::string>& Values,
                       const TFleetResult& Result) {
  if (!JournalOn() || Row.Plc == nullptr) return;
  const TTavex& plc = *Row.Plc;
  TJournalRecord base;
  base.Program = "tavexctl";
  base.Version = TAVEX_VERSION;
  base.Op = OpId;
  base.Adapter = AdapterID;
  base.Nad = static_cast<int64_t>(NadNumber(plc));
  base.Ip = plc.GetIpAddress();
  if (plc.HasProgram) {
    char stamp[16];
    std::snprintf(stamp, sizeof stamp, "0x%08x", plc.Communicator->CodeStamp);
    base.Stamp = stamp;
  }
  for (size_t k = 0; k < Row.Entries.size() && k < Values.size() && k < Result.Entries.size(); ++k) {
    if (Values[k].empty()) continue;
    TJournalRecord r = base;
    const TFleetEntry& e = Result.Entries[k];
    r.Entry = Row.Entries[k];
    r.Before = e.Before == "?" ? std::string() : e.Before;
    // The value as the element holds it ("21.5" for "21.50"), so that it
    // compares with what was read.
    const TTavexVar* element = FindElement(plc, Row.Entries[k]);
    if (element == nullptr || !WireText(*element, Values[k], r.Written)) r.Written = Values[k];
    r.ReadBack = e.Text == "?" ? std::string() : e.Text;  // "?": nothing was read back
    r.Verdict = VerdictText(k < Row.Verdicts.size() ? Row.Verdicts[k] : e.Verdict);
    JournalBatch.push_back(std::move(r));
  }
  if (!O.SyncClock) return;
  TJournalRecord r = JournalClockRecord(base, Result);
  if (!Row.Clock.empty()) r.Verdict = Row.Clock;  // as the output says it (a held-back write: "not set")
  JournalBatch.push_back(std::move(r));
}

void TTool::FlushJournal() {
  if (!JournalOn() || JournalBatch.empty()) return;
  std::string time, offset;
  JournalNow(time, offset);
  const std::string user = JournalUser(), host = JournalHost();
  for (TJournalRecord& r : JournalBatch) {
    r.Time = time;
    r.Offset = offset;
    r.User = user;
    r.Host = host;
  }
  std::string error;
  const bool kept = AppendJournal(JournalFile, JournalBatch, error);
  JournalBatch.clear();
  if (kept) return;
  Progress.Clear();
  const std::string text = "Cannot write the journal " + Quoted(JournalFile) + " (" + TerminalSafe(error) +
                           "): what this run wrote is NOT journalled.";
  if (O.RequireJournal) Fail(text);
  else Warn(text);
}

std::string TTool::RowNad(const TRowResult& R) {
  if (R.Plc != nullptr) return NadText(*R.Plc);
  return R.Asked != nullptr && R.Asked->NadKnown ? std::to_string(R.Asked->Nad) : std::string();
}
std::string TTool::RowIp(const TRowResult& R) {
  if (R.Plc != nullptr) return R.Plc->GetIpAddress();
  return R.Asked != nullptr ? R.Asked->Address : std::string();
}
Json TTool::RowNadJson(const TRowResult& R) {
  if (R.Plc != nullptr) return NadNumber(*R.Plc);
  return R.Asked != nullptr && R.Asked->NadKnown ? Json(R.Asked->Nad) : Json(nullptr);
}

// Every controller asked for and not served gets a row among the served
// ones: each entry "?" for want of an answer (a value to write "not done"),
// its error; then all rows in NAD order (a NAD not known last, by address).
void TTool::AddMissingRows(std::vector<TRowResult>& Rows,
                           const std::function<std::vector<std::string>(const TAskedMissing&)>& EntriesOf,
                           bool Write) {
  for (const TAskedMissing& m : Missing) {
    TRowResult row;
    row.Asked = &m;
    row.Entries = EntriesOf(m);
    row.Texts.assign(row.Entries.size(), "?");
    row.Reasons.assign(row.Entries.size(), TEntryReason::NoAnswer);
    row.Types.assign(row.Entries.size(), 0);
    row.Error = m.Error;
    if (Write) {
      row.Verdicts.assign(row.Entries.size(), TWriteVerdict::NotDone);
      row.NotWritten = row.Entries;
      if (O.SyncClock) row.Clock = "not done";
    }
    Rows.push_back(std::move(row));
  }
  std::vector<TRowKey> keys;
  for (const TRowResult& r : Rows) {
    const bool known = r.Plc != nullptr || (r.Asked != nullptr && r.Asked->NadKnown);
    const uint64_t nad = r.Plc != nullptr ? NadNumber(*r.Plc) : (r.Asked != nullptr ? r.Asked->Nad : 0);
    keys.push_back({known, nad, RowIp(r)});
  }
  std::vector<TRowResult> ordered;
  ordered.reserve(Rows.size());
  for (const size_t i : RowOrder(keys)) ordered.push_back(std::move(Rows[i]));
  Rows = std::move(ordered);
}

// The rows' controllers served side by side, each in one exchange (the
// fleet operation); Values[i] holds row i's texts when writing.
void TTool::RunFleetRows(std::vector<TRowResult>& Rows,
                         const std::vector<std::vector<std::string>>& Values, bool Write) {
  std::vector<TFleetJob> jobs(Rows.size());
  for (size_t i = 0; i < Rows.size(); ++i) {
    jobs[i].Plc = Rows[i].Plc;
    jobs[i].Entries = Rows[i].Entries;
    if (Write) jobs[i].Values = Values[i];
  }
  TAlcCache cache(O.NoCache ? std::string() : TAlcCache::DefaultFolder());
  WatchCache(cache);
  TFleetOptions options;
  options.Write = Write;
  options.AllOrNothing = true;
  options.ReadBefore = Write && JournalOn();
  if (Write && O.SyncClock) options.SyncClock = O.Utc ? TClockSource(UtcNow) : TClockSource(LocalNow);
  options.Jobs = O.Jobs;
  options.Cache = O.NoCache ? nullptr : &cache;
  options.DecimalSeparator = kDecimal;
  const std::string verb = Write ? "writing: " : "reading: ";
  if (O.Verbose) options.Stage = [this](const TTavex& Plc, const std::string& Line) { StageLine(Plc, Line); };
  options.Progress = [&](size_t Done, size_t Total) {
    Progress.Show(verb + std::to_string(Done) + "/" + std::to_string(Total) + " controllers done");
  };
  Progress.Show(verb + "0/" + std::to_string(Rows.size()) + " controllers done");
  std::vector<TFleetResult> results;
  RunFleet(jobs, options, results);
  Progress.Clear();
  WarnCache(cache);

  for (size_t i = 0; i < Rows.size(); ++i) {
    TRowResult& row = Rows[i];
    const TFleetResult& r = results[i];
    row.Texts.clear();
    row.Reasons.clear();
    row.Types.clear();
    for (const auto& e : r.Entries) {
      row.Texts.push_back(e.Text);
      row.Reasons.push_back(e.Reason);
      row.Types.push_back(e.VarType);
    }
    row.Rtc = r.Rtc;
    // An interrupted controller did not fail: its entries say what was done
    // (but a write that went unacknowledged before the stop did fail).
    const bool unacknowledged = std::any_of(r.Entries.begin(), r.Entries.end(), [](const TFleetEntry& e) {
      return e.Verdict == TWriteVerdict::NotAcknowledged || e.Verdict == TWriteVerdict::Landed ||
             e.Verdict == TWriteVerdict::NotLanded;
    });
    row.Error = r.GivenUp && (!r.Interrupted || unacknowledged) ? r.Error : std::string();
    row.HeldBack = r.HeldBack;
    if (Write) {
      CheckWritten(row, Values[i], r);
      JournalRow(row, Values[i], r);
    }
  }
}

// After a write: each entry's verdict, as the fleet found it on the wire;
// every entry that did not take is listed; a held-back write is said in one
// sentence; the clock's verdict (set, not set and why, read back otherwise).
void TTool::CheckWritten(TRowResult& Row, const std::vector<std::string>& Values,
                         const TFleetResult& Result) {
  const TTavex& plc = *Row.Plc;
  Row.Verdicts.assign(Row.Entries.size(), TWriteVerdict::None);
  Row.Batches = Result.WriteBatches;
  Row.BatchesAcknowledged = Result.WriteBatchesAcknowledged;
  for (size_t k = 0; k < Row.Entries.size() && k < Values.size() && k < Result.Entries.size(); ++k) {
    if (Values[k].empty()) continue;
    Row.Verdicts[k] = Result.Entries[k].Verdict;
    if (!VerdictTook(Row.Verdicts[k])) Row.NotWritten.push_back(Row.Entries[k]);
  }
  if (Result.HeldBack) {
    std::vector<std::string> why;
    for (size_t k = 0; k < Row.Entries.size() && k < Values.size(); ++k) {
      if (Values[k].empty()) continue;
      const TTavexVar* e = FindElement(plc, Row.Entries[k]);
      if (e == nullptr)
        why.push_back(TerminalSafe(Row.Entries[k]) + " names no variable");
      else if (Row.Reasons[k] == TEntryReason::RejectedValue ||
               Row.Reasons[k] == TEntryReason::NotTransferred)
        why.push_back(Rejection(*e, Row.Entries[k], Values[k]));
    }
    std::string text;
    for (size_t i = 0; i < why.size(); ++i) text += (i > 0 ? "; " : "") + why[i];
    Fail(Who(plc) + ": " + text + "; nothing was written to it.");
    if (O.SyncClock) Row.Clock = "not set";
    return;
  }
  for (size_t k = 0; k < Row.Entries.size() && k < Values.size(); ++k) {
    if (Row.Verdicts[k] != TWriteVerdict::WrittenDiffers && Row.Verdicts[k] != TWriteVerdict::NotLanded)
      continue;
    const TTavexVar* e = FindElement(plc, Row.Entries[k]);
    std::string want;
    if (e == nullptr || !WireText(*e, Values[k], want)) want = Values[k];
    Fail(Who(plc) + ": " + TerminalSafe(Row.Entries[k]) + " reads back " + TerminalSafe(Row.Texts[k]) +
         " after writing " + TerminalSafe(want) +
         (Row.Verdicts[k] == TWriteVerdict::NotLanded ? " (the write was not acknowledged)." : "."));
  }
  if (!O.SyncClock) return;

  // The clock.
  const auto clockFails = [&](const std::string& Why) {
    Row.ClockError = Why;
    Fail(Who(plc) + ": " + Why);
  };
  const TClockOutcome outcome = ClockOutcome(Result);
  Row.Clock = ClockOutcomeText(outcome);
  const TLocalTime& t = Result.ClockSet;
  switch (outcome) {
    case TClockOutcome::NotSet:
      if (!Result.ClockRejected.empty())
        clockFails("its clock was not set: " + JoinList(Result.ClockRejected) +
                   (Result.ClockRejected.size() == 1 ? " does" : " do") +
                   " not take the value written, so no clock field was written.");
      else
        clockFails("its clock was not set: the program has no " + JoinList(Result.ClockMissing) + ".");
      return;
    case TClockOutcome::NotReadBack:
      clockFails("its clock was set, but could not be read back.");
      return;
    case TClockOutcome::ReadsBackOtherwise: {
      char set[32];
      std::snprintf(set, sizeof set, "%.4d-%.2d-%.2d %.2d:%.2d:%.2d", t.Year, t.Month, t.Day, t.Hour,
                    t.Minute, t.Second);
      clockFails("its clock reads back " + TerminalSafe(Row.Rtc) + " after setting it to " + set + ".");
      return;
    }
    case TClockOutcome::SetWithoutWeekday:
      Progress.Clear();
      Warn(Who(plc) + ": its clock was set without the weekday (the program has no rtc_weekday).");
      return;
    default:
      // Not done, not acknowledged: the controller's error says it.
      return;
  }
}

void TTool::PrintRows(const std::vector<TRowResult>& Rows, bool Write, bool Clock) {
  // Columns: every entry in the order first met (rows of a value file may
  // differ per controller).
  std::vector<std::string> columns;
  std::set<std::string> seen;
  for (const auto& r : Rows)
    for (const auto& e : r.Entries)
      if (seen.insert(e).second) columns.push_back(e);
  bool anyError = false;
  for (const auto& r : Rows) anyError = anyError || !r.Error.empty() || !r.ClockError.empty();
  // A value write: each controller's verdicts in one cell ("all written",
  // or the entries that were not, each with its verdict).
  const bool verdicts = Write && !Clock;
  const bool clockColumn = Write && O.SyncClock;

  TTextTable human{{"No.", "NAD", "IP", "RTC"}, {}};
  TTextTable machine{{"nad", "ip", "rtc"}, {}};
  human.Header.insert(human.Header.end(), columns.begin(), columns.end());
  machine.Header.insert(machine.Header.end(), columns.begin(), columns.end());
  if (verdicts) human.Header.push_back("Written");
  if (clockColumn) human.Header.push_back("Clock");
  if (anyError) human.Header.push_back("Error");
  machine.Header.push_back("error");
  if (verdicts) machine.Header.push_back("written");
  if (clockColumn) machine.Header.push_back("clock");
  // The save format: one row per value, the clock left out.
  TValueRowsFile rows;

  Json j;
  j["controllers"] = Json::array();
  for (size_t i = 0; i < Rows.size(); ++i) {
    const TRowResult& r = Rows[i];
    // A controller asked for and not served has no record: its NAD (when
    // known) and the address it was asked at.
    const bool asked = r.Plc == nullptr;
    const std::string nadText = RowNad(r), ip = RowIp(r);
    std::map<std::string, std::string> cell;
    Json values = Json::object();
    Json reasons = Json::object();
    for (size_t k = 0; k < r.Entries.size() && k < r.Texts.size(); ++k) {
      cell[r.Entries[k]] = r.Texts[k];
      values[r.Entries[k]] = ValueJson(r.Texts[k]);
      if (k < r.Reasons.size() && r.Reasons[k] != TEntryReason::None)
        reasons[r.Entries[k]] = ReasonText(r.Reasons[k], k < r.Types.size() ? r.Types[k] : 0);
      rows.Add(nadText, r.Entries[k], r.Texts[k]);
    }
    std::vector<std::string> h{std::to_string(i + 1), nadText, ip, r.Rtc};
    std::vector<std::string> m{nadText, ip, r.Rtc};
    for (const auto& c : columns) {
      const auto it = cell.find(c);
      h.push_back(it == cell.end() ? "" : it->second);
      m.push_back(it == cell.end() ? "" : it->second);
    }
    const std::string error = !r.Error.empty() ? r.Error : r.ClockError;
    Json verdictJson = Json::object();
    std::string verdictCell;
    size_t unchanged = 0;
    for (size_t k = 0; k < r.Entries.size() && k < r.Verdicts.size(); ++k) {
      if (r.Verdicts[k] == TWriteVerdict::None) continue;
      verdictJson[r.Entries[k]] = VerdictText(r.Verdicts[k]);
      if (r.Verdicts[k] == TWriteVerdict::Unchanged) ++unchanged;
      else if (r.Verdicts[k] != TWriteVerdict::Written)
        verdictCell += (verdictCell.empty() ? "" : "; ") + r.Entries[k] + ": " + VerdictText(r.Verdicts[k]);
    }
    if (verdictCell.empty() && !verdictJson.empty())
      verdictCell = unchanged == 0                  ? std::string("all written")
                    : unchanged == verdictJson.size() ? std::string("unchanged")
                                                      : std::to_string(verdictJson.size() - unchanged) +
                                                            " written, " + std::to_string(unchanged) +
                                                            " unchanged";
    if (verdicts) h.push_back(verdictCell);
    if (clockColumn) h.push_back(r.Clock);
    if (anyError) h.push_back(error);
    m.push_back(error);
    if (verdicts) m.push_back(verdictCell);
    if (clockColumn) m.push_back(r.Clock);
    human.Rows.push_back(h);
    machine.Rows.push_back(m);
    Json c{{"nad", RowNadJson(r)}, {"ip", ip.empty() ? Json(nullptr) : Json(ip)},
           {"rtc", r.Rtc.empty() ? Json(nullptr) : Json(r.Rtc)}};
    if (!Clock) {
      c["values"] = values;
      c["reasons"] = reasons;
    }
    c["error"] = ErrorJson(error);
    if (verdicts) {
      c["not_written"] = r.NotWritten;
      c["verdicts"] = verdictJson;
      if (r.Batches > 1) c["batches"] = {{"sent", r.Batches}, {"acknowledged", r.BatchesAcknowledged}};
    }
    if (clockColumn) c["clock"] = r.Clock.empty() ? Json(nullptr) : Json(r.Clock);
    j["controllers"].push_back(c);
    if (asked) continue;  // what is missing was said when it was found missing
    const TTavex& p = *r.Plc;

    // One sentence per controller for what could not be reached or read;
    // a value to write is told by its verdict instead.
    std::vector<std::string> unknown, notDone, notReadBack, notTransferred;
    std::map<TEntryReason, std::vector<std::string>> unknownWhy;  // "?" entries by reason
    std::vector<TEntryReason> unknownOrder;
    std::map<TWriteVerdict, std::vector<std::string>> byVerdict;
    for (size_t k = 0; k < r.Entries.size() && k < r.Texts.size(); ++k) {
      if (k < r.Verdicts.size() && r.Verdicts[k] != TWriteVerdict::None) {
        if (r.Verdicts[k] != TWriteVerdict::Written && r.Verdicts[k] != TWriteVerdict::WrittenDiffers &&
            r.Verdicts[k] != TWriteVerdict::NotLanded && r.Verdicts[k] != TWriteVerdict::Unchanged &&
            !r.HeldBack)
          byVerdict[r.Verdicts[k]].push_back(r.Entries[k]);
        continue;
      }
      const TEntryReason why = k < r.Reasons.size() ? r.Reasons[k] : TEntryReason::None;
      if (why == TEntryReason::NotDone) notDone.push_back(r.Entries[k]);
      else if (why == TEntryReason::NotReadBack) notReadBack.push_back(r.Entries[k]);
      else if (why == TEntryReason::NotTransferred)
        notTransferred.push_back(r.Entries[k] + " (" + TypeKeyword(k < r.Types.size() ? r.Types[k] : 0) + ")");
      else if (r.Texts[k] == "?") {
        if (unknownWhy.emplace(why, std::vector<std::string>{}).second) unknownOrder.push_back(why);
        unknownWhy[why].push_back(r.Entries[k]);
        unknown.push_back(r.Entries[k]);
      }
    }
    if (!notDone.empty()) Fail(Who(p) + ": not done (interrupted): " + JoinList(notDone) + ".");
    if (!notReadBack.empty())
      Fail(Who(p) + ": written, not read back (interrupted): " + JoinList(notReadBack) + ".");
    if (!byVerdict.empty()) {
      std::string text;
      for (const auto& [verdict, entries] : byVerdict)
        text += (text.empty() ? "" : "; ") + std::string(VerdictText(verdict)) + ": " + JoinList(entries);
      if (r.Batches > 1 && r.BatchesAcknowledged < r.Batches)
        text += " (" + std::to_string(r.BatchesAcknowledged) + " of " + std::to_string(r.Batches) +
                " batches acknowledged)";
      Fail(Who(p) + ": " + text + ".");
    }
    if (!r.Error.empty())
      Fail(Who(p) + ": " + Sentence(TerminalSafe(r.Error)));
    else if (!r.HeldBack) {  // a held-back write has said it
      if (!unknown.empty()) {
        // Each group with its reason: "no value for a, b (unknown entry); c (rejected value)".
        std::string text;
        for (const TEntryReason why : unknownOrder) {
          const std::string reason = ReasonText(why);
          text += (text.empty() ? "" : "; ") + JoinList(unknownWhy[why]) +
                  (reason.empty() ? std::string() : " (" + reason + ")");
        }
        Fail(Who(p) + ": no value for " + text + ".");
      }
      if (!notTransferred.empty())
        Fail(Who(p) + ": no value for " + JoinList(notTransferred) + ": variables of " +
             (notTransferred.size() == 1 ? "that type are" : "those types are") + " not transferred.");
    }
    if (Clock && r.Error.empty() && r.Rtc.empty() && !O.SyncClock)
      Fail(Who(p) + ": it has no clock variables.");
  }
  if (O.Format == TFormat::Rows)
    Out(rows.Text());
  else
    Emit(human, machine, j);
}

void TTool::CmdRead() {
  // The arguments were checked by the command line's parser; the
  // configuration file's entries are the desktop tool's, each as written
  // (one that names nothing shows "?"); Prepare saw that there are some.
  const std::vector<std::string> entries = O.Args.empty() ? Entries : O.Args;
  std::vector<TRowResult> rows;
  for (TTavex* plc : Plcs) {
    rows.push_back({});
    rows.back().Plc = plc;
    rows.back().Entries = entries;
  }
  RunFleetRows(rows, {}, false);
  AddMissingRows(rows, [&](const TAskedMissing&) { return entries; }, false);
  PrintRows(rows, false);
}

void TTool::CmdClock() {
  std::vector<TRowResult> rows;
  std::vector<std::vector<std::string>> values;
  for (TTavex* plc : Plcs) {
    rows.push_back({});
    rows.back().Plc = plc;
    values.emplace_back();
  }
  RunFleetRows(rows, values, O.SyncClock);
  AddMissingRows(rows, [](const TAskedMissing&) { return std::vector<std::string>{}; }, O.SyncClock);
  FlushJournal();
  PrintRows(rows, O.SyncClock, true);
}

void TTool::CmdWrite() {
  std::vector<TRowResult> rows;
  std::vector<std::vector<std::string>> values;
  for (TTavex* plc : Plcs) {
    const std::vector<TWriteValue>* pairs = &O.Values;
    if (O.FromGiven) {
      const auto it = FileValues.find(static_cast<uint32_t>(NadNumber(*plc)));
      if (it == FileValues.end()) continue;  // the file has nothing for it
      pairs = &it->second;
    }
    rows.push_back({});
    rows.back().Plc = plc;
    values.emplace_back();
    for (const auto& v : *pairs) {
      rows.back().Entries.push_back(v.Entry);
      values.back().push_back(v.Value);
    }
  }
  // --changed-only: a read first; what the controller holds already is
  // not written.
  TChanged changed;
  if (O.ChangedOnly) KeepChanged(rows, values, changed);
  if (O.DryRun) {
    DryRun(rows, values, !O.ChangedOnly);
    return;
  }
  RunFleetRows(rows, values, true);
  if (O.ChangedOnly) MarkUnchanged(rows, changed);
  AddMissingRows(rows, [this](const TAskedMissing& M) {
    std::vector<std::string> out;
    const auto it = O.FromGiven && M.NadKnown ? FileValues.find(M.Nad) : FileValues.end();
    for (const auto& v : it != FileValues.end() ? it->second : O.FromGiven ? std::vector<TWriteValue>{} : O.Values)
      out.push_back(v.Entry);
    return out;
  }, true);
  FlushJournal();
  PrintRows(rows, true);
}

// Reads what would be written over, and shows it beside the new value;
// sends no write. A value that would be rejected fails as in a real run.
void TTool::DryRun(std::vector<TRowResult>& Rows, const std::vector<std::vector<std::string>>& Values,
                   bool Read) {
  if (Read) RunFleetRows(Rows, {}, false);
  TTextTable human{{"NAD", "IP", "Entry", "Current", "New"}, {}};
  TTextTable machine{{"nad", "ip", "entry", "current", "new"}, {}};
  Json j;
  j["controllers"] = Json::array();
  // Controllers asked for and missing first (NAD order among the served
  // ones is kept by listing them where they belong).
  std::vector<TRowResult> all;
  AddMissingRows(all, [](const TAskedMissing&) { return std::vector<std::string>{}; }, false);
  size_t next = 0;
  const auto missingUpTo = [&](const TTavex* Served) {
    for (; next < all.size(); ++next) {
      const TAskedMissing& m = *all[next].Asked;
      if (Served != nullptr && (!m.NadKnown || m.Nad > NadNumber(*Served))) return;
      human.Rows.push_back({RowNad(all[next]), m.Address, "", "", "", m.Error});
      machine.Rows.push_back({RowNad(all[next]), m.Address, "", "", "", m.Error});
      j["controllers"].push_back({{"nad", RowNadJson(all[next])},
                                  {"ip", m.Address.empty() ? Json(nullptr) : Json(m.Address)},
                                  {"entries", Json::array()},
                                  {"error", m.Error}});
    }
  };
  for (size_t i = 0; i < Rows.size(); ++i) {
    const TRowResult& r = Rows[i];
    const TTavex& p = *r.Plc;
    missingUpTo(&p);
    Json entries = Json::array();
    std::vector<std::string> why;
    for (size_t k = 0; k < r.Entries.size() && k < r.Texts.size() && k < Values[i].size(); ++k) {
      if (Values[i][k].empty()) continue;  // nothing to write (--changed-only: unchanged)
      const TTavexVar* e = FindElement(p, r.Entries[k]);
      std::string next;
      std::string reason;
      if (!r.Error.empty()) {
        reason = ReasonText(r.Reasons[k]);
      } else if (e == nullptr) {
        reason = ReasonText(TEntryReason::UnknownEntry);
        why.push_back(TerminalSafe(r.Entries[k]) + " names no variable");
      } else if (!WireText(*e, Values[i][k], next)) {
        reason = IsTransferred(e->VarType) ? ReasonText(TEntryReason::RejectedValue)
                                           : ReasonText(TEntryReason::NotTransferred, e->VarType);
        why.push_back(Rejection(*e, r.Entries[k], Values[i][k]));
      }
      const std::string shownNew = next.empty() ? "?" : next;
      human.Rows.push_back({NadText(p), p.GetIpAddress(), r.Entries[k], r.Texts[k], shownNew, r.Error});
      machine.Rows.push_back({NadText(p), p.GetIpAddress(), r.Entries[k], r.Texts[k], shownNew, r.Error});
      Json x{{"entry", r.Entries[k]}, {"current", ValueJson(r.Texts[k])}, {"new", ValueJson(shownNew)}};
      x["reason"] = reason.empty() ? Json(nullptr) : Json(reason);
      entries.push_back(x);
    }
    j["controllers"].push_back({{"nad", NadNumber(p)}, {"ip", p.GetIpAddress()},
                                {"entries", entries}, {"error", ErrorJson(r.Error)}});
    if (!r.Error.empty()) {
      Fail(Who(p) + ": " + Sentence(TerminalSafe(r.Error)));
    } else if (!why.empty()) {
      std::string text;
      for (size_t w = 0; w < why.size(); ++w) text += (w > 0 ? "; " : "") + why[w];
      Fail(Who(p) + ": " + text + "; nothing would be written to it.");
    }
  }
  missingUpTo(nullptr);
  // The error column only when a controller failed or is missing.
  bool errors = !Missing.empty();
  for (const auto& r : Rows) errors = errors || !r.Error.empty();
  if (errors) {
    human.Header.push_back("Error");
    machine.Header.push_back("error");
  }
  Emit(human, machine, j);
}

}  // namespace tavex

// read, write and clock: the fleet operation on the chosen controllers, the
// checks of what was written, and the value outputs (table, csv, json, and
// the rows that write --from takes back).
#include <algorithm>
#include <cstdio>
#include <ctime>
#include <map>
#include <set>

#include "cli/uCliTool.h"
#include "plc/uAlcCache.h"
#include "plc/uFleet.h"
#include "plc/uOperations.h"
#include "vars/uGadgetVars.h"
#include "vars/uNumberText.h"

namespace tavex {

namespace {

// A clock read back further than this from the time written did not take.
constexpr int kClockToleranceS = 2;

// Calendar fields as seconds on one scale (no time zone: both sides of a
// comparison are the same kind of time). Fields out of range carry over as
// in the C library's timegm (month 13 is January of the next year); 64-bit
// arithmetic throughout, so no field value can overflow.
int64_t FieldSeconds(int Year, int Month, int Day, int Hour, int Minute, int Second) {
  // Months from March, so that the leap day ends the year.
  int64_t y = static_cast<int64_t>(Year) + (static_cast<int64_t>(Month) - 1) / 12;
  int64_t m = (static_cast<int64_t>(Month) - 1) % 12;
  if (m < 0) {
    m += 12;
    y -= 1;
  }
  m += 1;  // 1..12
  y -= m <= 2 ? 1 : 0;
  const int64_t era = (y >= 0 ? y : y - 399) / 400;
  const int64_t yoe = y - era * 400;
  const int64_t doy = (153 * (m > 2 ? m - 3 : m + 9) + 2) / 5;
  const int64_t doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  const int64_t days = era * 146097 + doe - 719468 + (static_cast<int64_t>(Day) - 1);
  return days * 86400 + static_cast<int64_t>(Hour) * 3600 + static_cast<int64_t>(Minute) * 60 +
         Second;
}

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
    // An interrupted controller did not fail: its entries say what was done.
    row.Error = r.GivenUp && !r.Interrupted ? r.Error : std::string();
    row.HeldBack = r.HeldBack;
    if (Write) CheckWritten(row, Values[i], r);
  }
}

// After a write: every entry that was not written is listed, and said why
// in one sentence per controller: rejected values and unknown entries (then
// nothing was written), values that read back otherwise, a clock that
// could not be set or reads back wrong.
void TTool::CheckWritten(TRowResult& Row, const std::vector<std::string>& Values,
                         const TFleetResult& Result) {
  const TTavex& plc = *Row.Plc;
  if (Result.Interrupted) {
    // What the stop cut off before the write is not written; a write that
    // went out counts as written though it was not read back.
    for (size_t k = 0; k < Row.Entries.size() && k < Result.Entries.size(); ++k)
      if (k < Values.size() && !Values[k].empty() && Result.Entries[k].Reason == TEntryReason::NotDone)
        Row.NotWritten.push_back(Row.Entries[k]);
    return;
  }
  if (!Row.Error.empty()) {
    // Given up: nothing can be said of what arrived, so nothing counts as written.
    for (size_t k = 0; k < Row.Entries.size(); ++k)
      if (k < Values.size() && !Values[k].empty()) Row.NotWritten.push_back(Row.Entries[k]);
    return;
  }
  if (Result.HeldBack) {
    std::vector<std::string> why;
    for (size_t k = 0; k < Row.Entries.size() && k < Values.size(); ++k) {
      if (Values[k].empty()) continue;
      Row.NotWritten.push_back(Row.Entries[k]);
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
    return;
  }
  for (size_t k = 0; k < Row.Entries.size() && k < Values.size(); ++k) {
    if (Values[k].empty()) continue;
    const TTavexVar* e = FindElement(plc, Row.Entries[k]);
    std::string want;
    if (Row.Texts[k] == "?" || e == nullptr || !WireText(*e, Values[k], want)) {
      Row.NotWritten.push_back(Row.Entries[k]);
      continue;  // said by the output's "no value" sentence
    }
    if (want != Row.Texts[k]) {
      Row.NotWritten.push_back(Row.Entries[k]);
      Fail(Who(plc) + ": " + TerminalSafe(Row.Entries[k]) + " reads back " +
           TerminalSafe(Row.Texts[k]) + " after writing " + want + ".");
    }
  }
  if (!O.SyncClock) return;
  if (!Result.ClockMissing.empty()) {
    Fail(Who(plc) + ": its clock was not set (no " + JoinList(Result.ClockMissing) + ").");
    return;
  }
  if (!Result.ClockRejected.empty()) {
    Fail(Who(plc) + ": its clock was not set: " + JoinList(Result.ClockRejected) +
         (Result.ClockRejected.size() == 1 ? " does" : " do") +
         " not take the value written, so rtc_write_req was not written.");
    return;
  }
  if (!Result.ClockSent) return;
  int y = 0, mo = 0, d = 0, h = 0, mi = 0, s = 0;
  if (std::sscanf(Row.Rtc.c_str(), "%d-%d-%d %d:%d:%d", &y, &mo, &d, &h, &mi, &s) != 6) {
    Fail(Who(plc) + ": its clock could not be read back after setting it.");
    return;
  }
  const TLocalTime& t = Result.ClockSet;
  const int64_t off = FieldSeconds(y, mo, d, h, mi, s) -
                      FieldSeconds(t.Year, t.Month, t.Day, t.Hour, t.Minute, t.Second);
  if (off > kClockToleranceS || off < -kClockToleranceS) {
    char set[32];
    std::snprintf(set, sizeof set, "%.4d-%.2d-%.2d %.2d:%.2d:%.2d", t.Year, t.Month, t.Day, t.Hour,
                  t.Minute, t.Second);
    Fail(Who(plc) + ": its clock reads back " + TerminalSafe(Row.Rtc) + " after setting it to " +
         set + ".");
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
  for (const auto& r : Rows) anyError = anyError || !r.Error.empty();

  TTextTable human{{"No.", "NAD", "IP", "RTC"}, {}};
  TTextTable machine{{"nad", "ip", "rtc"}, {}};
  human.Header.insert(human.Header.end(), columns.begin(), columns.end());
  machine.Header.insert(machine.Header.end(), columns.begin(), columns.end());
  if (anyError) human.Header.push_back("Error");
  machine.Header.push_back("error");
  // The save format: one row per value, the clock left out.
  TTextTable rows{{"nad", "entry", "value"}, {}};

  Json j;
  j["controllers"] = Json::array();
  for (size_t i = 0; i < Rows.size(); ++i) {
    const TRowResult& r = Rows[i];
    const TTavex& p = *r.Plc;
    std::map<std::string, std::string> cell;
    Json values = Json::object();
    Json reasons = Json::object();
    for (size_t k = 0; k < r.Entries.size() && k < r.Texts.size(); ++k) {
      cell[r.Entries[k]] = r.Texts[k];
      values[r.Entries[k]] = ValueJson(r.Texts[k]);
      if (k < r.Reasons.size() && r.Reasons[k] != TEntryReason::None)
        reasons[r.Entries[k]] = ReasonText(r.Reasons[k], k < r.Types.size() ? r.Types[k] : 0);
      rows.Rows.push_back({NadText(p), r.Entries[k], r.Texts[k]});
    }
    std::vector<std::string> h{std::to_string(i + 1), NadText(p), p.GetIpAddress(), r.Rtc};
    std::vector<std::string> m{NadText(p), p.GetIpAddress(), r.Rtc};
    for (const auto& c : columns) {
      const auto it = cell.find(c);
      h.push_back(it == cell.end() ? "" : it->second);
      m.push_back(it == cell.end() ? "" : it->second);
    }
    if (anyError) h.push_back(r.Error);
    m.push_back(r.Error);
    human.Rows.push_back(h);
    machine.Rows.push_back(m);
    Json c{{"nad", NadNumber(p)}, {"ip", p.GetIpAddress()},
           {"rtc", r.Rtc.empty() ? Json(nullptr) : Json(r.Rtc)}};
    if (!Clock) {
      c["values"] = values;
      c["reasons"] = reasons;
    }
    c["error"] = ErrorJson(r.Error);
    if (Write && !Clock) c["not_written"] = r.NotWritten;
    j["controllers"].push_back(c);

    // One sentence per controller for what could not be reached or read.
    std::vector<std::string> unknown, notDone, notReadBack, notTransferred;
    for (size_t k = 0; k < r.Entries.size() && k < r.Texts.size(); ++k) {
      const TEntryReason why = k < r.Reasons.size() ? r.Reasons[k] : TEntryReason::None;
      if (why == TEntryReason::NotDone) notDone.push_back(r.Entries[k]);
      else if (why == TEntryReason::NotReadBack) notReadBack.push_back(r.Entries[k]);
      else if (why == TEntryReason::NotTransferred)
        notTransferred.push_back(r.Entries[k] + " (" + TypeKeyword(k < r.Types.size() ? r.Types[k] : 0) + ")");
      else if (r.Texts[k] == "?") unknown.push_back(r.Entries[k]);
    }
    if (!notDone.empty()) Fail(Who(p) + ": not done (interrupted): " + JoinList(notDone) + ".");
    if (!notReadBack.empty())
      Fail(Who(p) + ": written, not read back (interrupted): " + JoinList(notReadBack) + ".");
    if (!r.Error.empty())
      Fail(Who(p) + ": " + Sentence(TerminalSafe(r.Error)));
    else if (!r.HeldBack) {  // a held-back write has said it
      if (!unknown.empty()) Fail(Who(p) + ": no value for " + JoinList(unknown) + ".");
      if (!notTransferred.empty())
        Fail(Who(p) + ": no value for " + JoinList(notTransferred) + ": variables of " +
             (notTransferred.size() == 1 ? "that type are" : "those types are") + " not transferred.");
    }
    if (Clock && r.Error.empty() && r.Rtc.empty() && !O.SyncClock)
      Fail(Who(p) + ": it has no clock variables.");
  }
  if (O.Format == TFormat::Rows)
    Out(FormatCsv(rows));
  else
    Emit(human, machine, j);
}

void TTool::CmdRead() {
  const std::vector<std::string> entries = O.Args.empty() ? Entries : O.Args;
  for (const auto& e : entries)
    if (!ValidEntryText(e))
      throw TUsageError{"The configuration file's entry " + Quoted(e) +
                        " is not an entry (NAME or NAME[INDEX])."};
  std::vector<TRowResult> rows;
  for (TTavex* plc : Plcs) {
    rows.push_back({});
    rows.back().Plc = plc;
    rows.back().Entries = entries;
  }
  RunFleetRows(rows, {}, false);
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
  PrintRows(rows, O.SyncClock, true);
}

void TTool::CmdWrite() {
  if (O.FromGiven) {
    const std::set<uint32_t> wanted(O.Nads.begin(), O.Nads.end());
    for (const auto& [nad, pairs] : FileValues) {
      (void)pairs;
      if (!wanted.empty() && wanted.count(nad) == 0) continue;  // left out by --nad
      const bool present = std::any_of(Plcs.begin(), Plcs.end(), [n = nad](const TTavex* p) {
        return NadNumber(*p) == n;
      });
      if (!present)
        Fail("Controller " + std::to_string(nad) + " named in " + Quoted(O.FromFile) +
             " did not answer; nothing was written to it.");
    }
  }

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
  if (O.DryRun) {
    DryRun(rows, values);
    return;
  }
  RunFleetRows(rows, values, true);
  PrintRows(rows, true);
}

// Reads what would be written over, and shows it beside the new value;
// sends no write. A value that would be rejected fails as in a real run.
void TTool::DryRun(std::vector<TRowResult>& Rows, const std::vector<std::vector<std::string>>& Values) {
  RunFleetRows(Rows, {}, false);
  TTextTable human{{"NAD", "IP", "Entry", "Current", "New"}, {}};
  TTextTable machine{{"nad", "ip", "entry", "current", "new"}, {}};
  Json j;
  j["controllers"] = Json::array();
  for (size_t i = 0; i < Rows.size(); ++i) {
    const TRowResult& r = Rows[i];
    const TTavex& p = *r.Plc;
    Json entries = Json::array();
    std::vector<std::string> why;
    for (size_t k = 0; k < r.Entries.size() && k < r.Texts.size() && k < Values[i].size(); ++k) {
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
      human.Rows.push_back({NadText(p), p.GetIpAddress(), r.Entries[k], r.Texts[k], shownNew});
      machine.Rows.push_back({NadText(p), p.GetIpAddress(), r.Entries[k], r.Texts[k], shownNew});
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
  Emit(human, machine, j);
}

}  // namespace tavex

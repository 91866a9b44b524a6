#include <algorithm>
#include <map>
#include <set>

#include "cli/uCliTool.h"
#include "plc/uAlcCache.h"
#include "plc/uFleet.h"
#include "plc/uOperations.h"
#include "vars/uGadgetVars.h"

namespace tavex {

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
  const TAlcCache cache(O.NoCache ? std::string() : TAlcCache::DefaultFolder());
  TFleetOptions options;
  options.Write = Write;
  if (Write && O.SyncClock) options.SyncClock = LocalNow;
  options.Jobs = O.Jobs;
  options.Cache = O.NoCache ? nullptr : &cache;
  options.DecimalSeparator = kDecimal;
  const std::string verb = Write ? "writing: " : "reading: ";
  options.Progress = [&](size_t Done, size_t Total) {
    Progress.Show(verb + std::to_string(Done) + "/" + std::to_string(Total) + " controllers done");
  };
  Progress.Show(verb + "0/" + std::to_string(Rows.size()) + " controllers done");
  std::vector<TFleetResult> results;
  RunFleet(jobs, options, results);
  Progress.Clear();

  for (size_t i = 0; i < Rows.size(); ++i) {
    TRowResult& row = Rows[i];
    const TFleetResult& r = results[i];
    row.Texts.clear();
    row.Reasons.clear();
    for (const auto& e : r.Entries) {
      row.Texts.push_back(e.Text);
      row.Reasons.push_back(e.Reason);
    }
    row.Rtc = r.Rtc;
    row.Error = r.GivenUp ? r.Error : std::string();
    if (Write) CheckWritten(row, Values[i]);
  }
}

// After a write: each value that was rejected, or reads back other than
// written, is a failure; so is a clock that could not be set.
void TTool::CheckWritten(TRowResult& Row, const std::vector<std::string>& Values) {
  const TTavex& plc = *Row.Plc;
  if (!Row.Error.empty()) return;  // nothing more to say than why it was given up
  for (size_t k = 0; k < Row.Entries.size() && k < Values.size(); ++k) {
    if (Values[k].empty() || Row.Texts[k] == "?") continue;
    const TTavexVar* e = FindElement(plc, Row.Entries[k]);
    if (e == nullptr) continue;
    TVarValue v;
    if (Row.Reasons[k] == TEntryReason::RejectedValue || !ValueFromText(e->VarType, Values[k], v)) {
      Row.NotWritten.push_back(Row.Entries[k]);
      Fail(Who(plc) + ": " + Quoted(Values[k]) + " is not a valid " + TypeKeyword(e->VarType) +
           " value for " + TerminalSafe(Row.Entries[k]) + "; it was not written.");
      continue;
    }
    // What the controller should hold now: the value in its wire form.
    TTavexVar expected;
    expected.Assign(e);
    expected.SetValue(v);
    expected.SetRawValue(expected.GetRawValue());
    const std::string want = FormatValue(ValueAsReal(expected.Value), kDecimal);
    if (want != Row.Texts[k]) {
      Row.NotWritten.push_back(Row.Entries[k]);
      Fail(Who(plc) + ": " + TerminalSafe(Row.Entries[k]) + " reads back " +
           TerminalSafe(Row.Texts[k]) + " after writing " + want + ".");
    }
  }
  if (O.SyncClock) {
    std::vector<std::string> missing;
    for (const char* name : kClockVars)
      if (FindElement(plc, name) == nullptr) missing.push_back(name);
    if (!missing.empty())
      Fail(Who(plc) + ": its clock was not set (no " + JoinList(missing) + ").");
  }
}

void TTool::PrintRows(const std::vector<TRowResult>& Rows, bool Write) {
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
      values[r.Entries[k]] = r.Texts[k];
      if (k < r.Reasons.size() && r.Reasons[k] != TEntryReason::None)
        reasons[r.Entries[k]] = ReasonText(r.Reasons[k]);
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
    Json c{{"nad", NadNumber(p)}, {"ip", p.GetIpAddress()}, {"rtc", r.Rtc},
           {"values", values}, {"reasons", reasons}, {"error", r.Error}};
    if (Write) c["not_written"] = r.NotWritten;
    j["controllers"].push_back(c);

    // One sentence per controller for what could not be reached or read.
    std::vector<std::string> unknown;
    for (size_t k = 0; k < r.Entries.size() && k < r.Texts.size(); ++k)
      if (r.Texts[k] == "?") unknown.push_back(r.Entries[k]);
    if (!r.Error.empty())
      Fail(Who(p) + ": " + Sentence(TerminalSafe(r.Error)));
    else if (!unknown.empty())
      Fail(Who(p) + ": no value for " + JoinList(unknown) + ".");
  }
  Emit(human, machine, j);
}

void TTool::CmdRead() {
  const std::vector<std::string> entries = O.Args.empty() ? Entries : O.Args;
  std::vector<TRowResult> rows;
  for (TTavex* plc : Plcs) {
    rows.push_back({});
    rows.back().Plc = plc;
    rows.back().Entries = entries;
  }
  RunFleetRows(rows, {}, false);
  PrintRows(rows, false);
}

void TTool::CmdWrite() {
  // The pairs each controller gets, in order.
  std::vector<std::pair<std::string, std::string>> common;
  for (const auto& a : O.Args) {
    const size_t eq = a.find('=');
    common.emplace_back(a.substr(0, eq), a.substr(eq + 1));
  }
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
    const std::vector<std::pair<std::string, std::string>>* pairs = &common;
    if (O.FromGiven) {
      const auto it = FileValues.find(static_cast<uint32_t>(NadNumber(*plc)));
      if (it == FileValues.end()) continue;  // the file has nothing for it
      pairs = &it->second;
    }
    rows.push_back({});
    rows.back().Plc = plc;
    values.emplace_back();
    for (const auto& [entry, value] : *pairs) {
      rows.back().Entries.push_back(entry);
      values.back().push_back(value);
    }
  }
  RunFleetRows(rows, values, true);
  PrintRows(rows, true);
}

}  // namespace tavex

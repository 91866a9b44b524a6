#include "plc/uReport.h"

#include <algorithm>
#include <set>

#include "plc/uClock.h"
#include "plc/uFleet.h"

namespace tavex {

namespace {

std::string RecordTime(const TJournalRecord& R) {
  int64_t ms = 0;
  return JournalTimeMs(R.Time, ms) ? LocalTimeText(ms) : R.Time;
}

// How far the controller's clock was off the time set, "+93 s"; "" when
// either is not known.
std::string ClockOffset(const TJournalRecord& R) {
  TLocalTime found, set;
  if (!ParseRtcText(R.Before, found) || !ParseRtcText(R.Written, set)) return {};
  const int64_t d = FieldSeconds(found.Year, found.Month, found.Day, found.Hour, found.Minute, found.Second) -
                    FieldSeconds(set.Year, set.Month, set.Day, set.Hour, set.Minute, set.Second);
  return (d > 0 ? "+" : "") + std::to_string(d) + " s";
}

// Every verdict text either program journals that says the value or the
// clock took. Built from the verdicts themselves, so that a new verdict
// cannot be forgotten here.
const std::set<std::string>& TookVerdicts() {
  static const std::set<std::string> took = [] {
    std::set<std::string> s;
    for (int v = 0; v <= static_cast<int>(TWriteVerdict::Unchanged); ++v)
      if (VerdictTook(static_cast<TWriteVerdict>(v))) s.insert(VerdictText(static_cast<TWriteVerdict>(v)));
    for (int o = 0; o <= static_cast<int>(TClockOutcome::Set); ++o)
      if (ClockOutcomeTook(static_cast<TClockOutcome>(o))) s.insert(ClockOutcomeText(static_cast<TClockOutcome>(o)));
    s.erase("");
    return s;
  }();
  return took;
}

constexpr char kStyle[] =
    "body{font-family:sans-serif;font-size:10pt;margin:1.5em;color:#000}"
    "h1{font-size:16pt}h2{font-size:13pt;margin-top:1.5em;border-bottom:1px solid #444}"
    "h3{font-size:11pt}table{border-collapse:collapse;margin:.4em 0}"
    "th,td{border:1px solid #999;padding:2px 6px;text-align:left;vertical-align:top}"
    "th{background:#eee}.bad{background:#fdd;font-weight:bold}.muted{color:#555}"
    "@media print{body{margin:0}section{page-break-inside:avoid}}";

std::string Bad(bool Marked) { return Marked ? " class=\"bad\"" : ""; }

}  // namespace

std::vector<TJournalRecord> SelectReportRecords(const std::vector<TJournalRecord>& Journal,
                                                const TReportSelection& Selection) {
  const bool span = Selection.SinceGiven || Selection.UntilGiven;
  std::string op = Selection.Op;
  if (op.empty() && !span && !Journal.empty()) op = Journal.back().Op;  // the latest run
  std::vector<TJournalRecord> out;
  for (const TJournalRecord& r : Journal) {
    if (!op.empty() && r.Op != op) continue;
    int64_t ms = 0;
    JournalTimeMs(r.Time, ms);
    if (Selection.SinceGiven && ms < Selection.SinceMs) continue;
    if (Selection.UntilGiven && ms >= Selection.UntilMs) continue;
    if (r.Nad < 0 || r.Nad > static_cast<int64_t>(UINT32_MAX)) continue;  // no controller to report it under
    out.push_back(r);
  }
  return out;
}

std::vector<uint32_t> ReportNads(const std::vector<TJournalRecord>& Records) {
  std::set<uint32_t> nads;
  for (const TJournalRecord& r : Records)
    if (r.Nad >= 0 && r.Nad <= static_cast<int64_t>(UINT32_MAX)) nads.insert(static_cast<uint32_t>(r.Nad));
  return {nads.begin(), nads.end()};
}

std::vector<std::string> ReportEntries(const std::vector<TJournalRecord>& Records, uint32_t Nad) {
  std::vector<std::string> entries;
  std::set<std::string> seen;
  for (const TJournalRecord& r : Records)
    if (r.Nad == static_cast<int64_t>(Nad) && r.Entry != kJournalClockEntry && seen.insert(r.Entry).second)
      entries.push_back(r.Entry);
  return entries;
}

bool ReportVerdictTook(const std::string& Verdict) { return TookVerdicts().count(Verdict) != 0; }

std::vector<TReportController> ReportControllers(const TReport& Report) {
  // Per controller, its records in the journal's order.
  std::map<uint32_t, TReportController> byNad;
  const std::set<uint32_t> wanted(Report.Nads.begin(), Report.Nads.end());
  for (const TJournalRecord& r : Report.Records) {
    if (r.Nad < 0 || r.Nad > static_cast<int64_t>(UINT32_MAX)) continue;
    const auto nad = static_cast<uint32_t>(r.Nad);
    if (!wanted.empty() && wanted.count(nad) == 0) continue;
    const auto nowIt = Report.Now.find(nad);
    const TReportNow* now = nowIt == Report.Now.end() ? nullptr : &nowIt->second;
    TReportController& c = byNad[nad];
    if (c.Lines.empty()) {
      c.Nad = nad;
      c.Read = now != nullptr;
      c.Ip = now != nullptr ? now->Ip : r.Ip;
      c.Stamp = r.Stamp;
      if (now != nullptr) {
        c.StampNow = now->Stamp;
        c.ClockNow = now->Rtc;
      }
      c.StampChanged = now != nullptr && !r.Stamp.empty() && now->Stamp != r.Stamp;
      if (now == nullptr) c.State = "not read now: it did not answer";
      else if (!now->Error.empty()) c.State = "not read now: " + now->Error;
      else c.State = "read now";
      c.StateBad = now == nullptr || !now->Error.empty();
    }
    TReportLine line;
    line.Record = r;
    line.Clock = r.Entry == kJournalClockEntry;
    line.Time = RecordTime(r);
    line.Took = ReportVerdictTook(r.Verdict);
    if (now != nullptr) {
      if (line.Clock) line.Now = now->Rtc;
      else if (const auto v = now->Values.find(r.Entry); v != now->Values.end()) line.Now = v->second;
    }
    if (line.Clock) line.ClockOffset = ClockOffset(r);
    else line.NowDiffers = now != nullptr && line.Took && line.Now != r.Written;
    c.Lines.push_back(std::move(line));
  }
  std::vector<TReportController> out;
  out.reserve(byNad.size());
  for (auto& [nad, c] : byNad) out.push_back(std::move(c));
  return out;
}

std::string HtmlText(const std::string& Text) {
  std::string out;
  out.reserve(Text.size());
  for (const char c : Text) {
    switch (c) {
      case '&': out += "&amp;"; break;
      case '<': out += "&lt;"; break;
      case '>': out += "&gt;"; break;
      case '"': out += "&quot;"; break;
      case '\'': out += "&#39;"; break;
      default:
        // Control characters are not text.
        out += (static_cast<unsigned char>(c) < 0x20 && c != '\t') || c == 0x7f ? '?' : c;
    }
  }
  return out;
}

std::string ReportHtml(const TReport& Report) {
  const std::vector<TReportController> controllers = ReportControllers(Report);
  std::set<std::string> ops;
  for (const TJournalRecord& r : Report.Records) ops.insert(r.Op);
  int64_t ms = 0;
  JournalTimeMs(Report.NowTime, ms);
  std::string text =
      "<!DOCTYPE html>\n<html lang=\"en\">\n<head>\n<meta charset=\"utf-8\">\n<title>As-left report</title>\n"
      "<style>" + std::string(kStyle) + "</style>\n</head>\n<body>\n<h1>As-left report</h1>\n";
  std::string opList;
  for (const auto& o : ops) opList += (opList.empty() ? "" : ", ") + HtmlText(o);
  const TJournalRecord none;
  const TJournalRecord& first = Report.Records.empty() ? none : Report.Records.front();
  const TJournalRecord& last = Report.Records.empty() ? none : Report.Records.back();
  text += "<p>Operation" + std::string(ops.size() == 1 ? "" : "s") + ": " + opList + "<br>\n" + "From " +
          HtmlText(RecordTime(first)) + " to " + HtmlText(RecordTime(last)) + " (local time), journalled by " +
          HtmlText(first.User) + " on " + HtmlText(first.Host) + " with " + HtmlText(first.Program) + " " +
          HtmlText(first.Version) + ".<br>\n";
  const std::string at = HtmlText(LocalTimeText(ms)) + " (UTC" + HtmlText(Report.NowOffset) + ")";
  if (Report.ReadAgain) text += "Controllers read again at " + at + " by " + HtmlText(Report.NowBy) + ".</p>\n";
  else text += "Values now as " + HtmlText(Report.NowBy) + " read them back at the end of the run, " + at + ".</p>\n";

  for (const TReportController& c : controllers) {
    const std::string nad = std::to_string(c.Nad);
    text += "<section>\n<h2>Controller " + nad + "</h2>\n<table class=\"id\">\n";
    text += "<tr><th>NAD</th><td>" + nad + "</td></tr>\n";
    text += "<tr><th>IP address</th><td>" + HtmlText(c.Ip) + "</td></tr>\n";
    text += "<tr><th>Program stamp (journal)</th><td>" + HtmlText(c.Stamp) + "</td></tr>\n";
    text += "<tr><th>Program stamp now</th><td" + Bad(c.StampChanged) + ">" + HtmlText(c.StampNow) + "</td></tr>\n";
    text += "<tr><th>Clock now</th><td>" + HtmlText(c.ClockNow) + "</td></tr>\n";
    text += "<tr><th>Now</th><td" + Bad(c.StateBad) + ">" + HtmlText(c.State) + "</td></tr>\n</table>\n";

    std::string changes, clocks;
    for (const TReportLine& l : c.Lines) {
      const TJournalRecord& r = l.Record;
      if (l.Clock) {
        clocks += "<tr><td>" + HtmlText(l.Time) + "</td><td>" + HtmlText(r.Before) + "</td><td>" +
                  HtmlText(l.ClockOffset) + "</td><td>" + HtmlText(r.Written) + "</td><td>" + HtmlText(r.ReadBack) +
                  "</td><td" + Bad(!l.Took) + ">" + HtmlText(r.Verdict) + "</td></tr>\n";
        continue;
      }
      changes += "<tr><td>" + HtmlText(l.Time) + "</td><td>" + HtmlText(r.Entry) + "</td><td>" +
                 HtmlText(r.Before) + "</td><td>" + HtmlText(r.Written) + "</td><td>" + HtmlText(r.ReadBack) +
                 "</td><td" + Bad(!l.Took) + ">" + HtmlText(r.Verdict) + "</td><td" + Bad(l.NowDiffers) + ">" +
                 HtmlText(l.Now) + "</td></tr>\n";
    }
    if (!changes.empty())
      text += "<h3>Changes</h3>\n<table>\n<tr><th>Time</th><th>Entry</th><th>Before</th><th>Written</th>"
              "<th>Read back</th><th>Verdict</th><th>Now</th></tr>\n" + changes + "</table>\n";
    if (!clocks.empty())
      text += "<h3>Clock</h3>\n<table>\n<tr><th>Time</th><th>Found</th><th>Offset found</th><th>Set to</th>"
              "<th>Read back</th><th>Verdict</th></tr>\n" + clocks + "</table>\n";
    text += "</section>\n";
  }
  text += "</body>\n</html>\n";
  return text;
}

std::vector<std::vector<std::string>> ReportCsvRows(const TReport& Report) {
  std::vector<std::vector<std::string>> rows{{"time", "op", "nad", "ip", "stamp", "stamp_now", "entry", "before",
                                              "written", "read_back", "verdict", "now", "clock_offset"}};
  for (const TReportController& c : ReportControllers(Report))
    for (const TReportLine& l : c.Lines) {
      const TJournalRecord& r = l.Record;
      rows.push_back({r.Time, r.Op, std::to_string(c.Nad), r.Ip, r.Stamp, c.StampNow, r.Entry, r.Before, r.Written,
                      r.ReadBack, r.Verdict, l.Now, l.ClockOffset});
    }
  return rows;
}

}  // namespace tavex

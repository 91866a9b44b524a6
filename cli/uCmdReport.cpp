// report: an as-left report of a run (or a time span) from the journal,
// beside what the controllers it names hold now; one printable HTML page
// or CSV rows.
#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <map>
#include <set>

#include "cli/uCliTool.h"
#include "plc/uClock.h"
#include "plc/uJournal.h"
#include "plc/uOperations.h"

namespace tavex {

namespace {

// Text as HTML text or attribute value: nothing in it is markup.
std::string Html(const std::string& Text) {
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

bool Took(const std::string& Verdict) {
  return Verdict == "written" || Verdict == "set" || Verdict == "set, without the weekday";
}

constexpr char kStyle[] =
    "body{font-family:sans-serif;font-size:10pt;margin:1.5em;color:#000}"
    "h1{font-size:16pt}h2{font-size:13pt;margin-top:1.5em;border-bottom:1px solid #444}"
    "h3{font-size:11pt}table{border-collapse:collapse;margin:.4em 0}"
    "th,td{border:1px solid #999;padding:2px 6px;text-align:left;vertical-align:top}"
    "th{background:#eee}.bad{background:#fdd;font-weight:bold}.muted{color:#555}"
    "@media print{body{margin:0}section{page-break-inside:avoid}}";

}  // namespace

void TTool::SelectReport() {
  const std::string path = JournalPath();
  if (path.empty())
    throw TUsageError{"No journal to report from: neither TAVEX_JOURNAL nor the user's state folder is set."};
  TJournalContents journal;
  std::string error;
  if (!ReadJournal(path, journal, error))
    throw TUsageError{"Cannot read the journal " + Quoted(path) + " (" + TerminalSafe(error) + ")."};
  if (journal.Skipped > 0)
    Warn(std::to_string(journal.Skipped) + " line(s) of the journal " + Quoted(path) +
         " are no record and were skipped.");
  const bool span = O.SinceGiven || O.UntilGiven;
  std::string op = O.Op;
  if (op.empty() && !span && !journal.Records.empty()) op = journal.Records.back().Op;  // the latest run
  for (const TJournalRecord& r : journal.Records) {
    if (!op.empty() && r.Op != op) continue;
    int64_t ms = 0;
    JournalTimeMs(r.Time, ms);
    if (O.SinceGiven && ms < O.SinceMs) continue;
    if (O.UntilGiven && ms >= O.UntilMs) continue;
    if (r.Nad < 0) continue;  // no controller to report it under
    ReportRecords.push_back(r);
  }
  if (ReportRecords.empty())
    throw TUsageError{"No journal records to report in " + Quoted(path) +
                      (O.Op.empty() ? std::string() : " for the operation " + Quoted(O.Op)) + "; nothing was sent."};
  // The controllers the records name, unless the finding options select.
  if (O.Nads.empty() && O.Hosts.empty() && !O.HostsGiven) {
    std::set<uint32_t> nads;
    for (const TJournalRecord& r : ReportRecords) nads.insert(static_cast<uint32_t>(r.Nad));
    O.Nads.assign(nads.begin(), nads.end());
  }
}

void TTool::CmdReport() {
  // Per controller, its records in the journal's order.
  std::map<uint32_t, std::vector<const TJournalRecord*>> byNad;
  const std::set<uint32_t> wanted(O.Nads.begin(), O.Nads.end());
  for (const TJournalRecord& r : ReportRecords)
    if (wanted.empty() || wanted.count(static_cast<uint32_t>(r.Nad)) != 0)
      byNad[static_cast<uint32_t>(r.Nad)].push_back(&r);

  // What they hold now: every journalled entry and the clock, read again.
  std::vector<TRowResult> rows;
  for (TTavex* plc : Plcs) {
    const auto it = byNad.find(static_cast<uint32_t>(NadNumber(*plc)));
    if (it == byNad.end()) continue;
    TRowResult row;
    row.Plc = plc;
    for (const TJournalRecord* r : it->second)
      if (r->Entry != kJournalClockEntry &&
          std::find(row.Entries.begin(), row.Entries.end(), r->Entry) == row.Entries.end())
        row.Entries.push_back(r->Entry);
    rows.push_back(std::move(row));
  }
  RunFleetRows(rows, {}, false);
  struct TNow {
    const TRowResult* Row = nullptr;
    std::map<std::string, std::string> Values;
    std::string Stamp;
  };
  std::map<uint32_t, TNow> now;
  for (const TRowResult& row : rows) {
    TNow& n = now[static_cast<uint32_t>(NadNumber(*row.Plc))];
    n.Row = &row;
    for (size_t k = 0; k < row.Entries.size() && k < row.Texts.size(); ++k) n.Values[row.Entries[k]] = row.Texts[k];
    if (row.Plc->HasProgram) {
      char stamp[16];
      std::snprintf(stamp, sizeof stamp, "0x%08x", row.Plc->Communicator->CodeStamp);
      n.Stamp = stamp;
    }
    if (!row.Error.empty()) Fail(Who(*row.Plc) + ": " + Sentence(TerminalSafe(row.Error)));
  }
  const auto nowOf = [&](uint32_t Nad) -> const TNow* {
    const auto it = now.find(Nad);
    return it == now.end() ? nullptr : &it->second;
  };

  std::string text;
  if (!O.Html) {
    TTextTable csv{{"time", "op", "nad", "ip", "stamp", "stamp_now", "entry", "before", "written", "read_back",
                    "verdict", "now", "clock_offset"},
                   {}};
    for (const auto& [nad, records] : byNad) {
      const TNow* n = nowOf(nad);
      for (const TJournalRecord* r : records) {
        const bool clock = r->Entry == kJournalClockEntry;
        std::string current;
        if (n != nullptr) {
          if (clock) current = n->Row->Rtc;
          else if (const auto v = n->Values.find(r->Entry); v != n->Values.end()) current = v->second;
        }
        csv.Rows.push_back({r->Time, r->Op, std::to_string(nad), r->Ip, r->Stamp, n != nullptr ? n->Stamp : "",
                            r->Entry, r->Before, r->Written, r->ReadBack, r->Verdict, current,
                            clock ? ClockOffset(*r) : ""});
      }
    }
    text = FormatCsv(csv);
  } else {
    std::set<std::string> ops;
    for (const TJournalRecord& r : ReportRecords) ops.insert(r.Op);
    std::string time, offset;
    JournalNow(time, offset);
    int64_t ms = 0;
    JournalTimeMs(time, ms);
    text = "<!DOCTYPE html>\n<html lang=\"en\">\n<head>\n<meta charset=\"utf-8\">\n<title>As-left report</title>\n"
           "<style>" + std::string(kStyle) + "</style>\n</head>\n<body>\n<h1>As-left report</h1>\n";
    std::string opList;
    for (const auto& o : ops) opList += (opList.empty() ? "" : ", ") + Html(o);
    text += "<p>Operation" + std::string(ops.size() == 1 ? "" : "s") + ": " + opList + "<br>\n" +
            "From " + Html(RecordTime(ReportRecords.front())) + " to " + Html(RecordTime(ReportRecords.back())) +
            " (local time), journalled by " + Html(ReportRecords.front().User) + " on " +
            Html(ReportRecords.front().Host) + " with " + Html(ReportRecords.front().Program) + " " +
            Html(ReportRecords.front().Version) + ".<br>\nControllers read again at " + Html(LocalTimeText(ms)) +
            " (UTC" + Html(offset) + ") by tavexctl " TAVEX_VERSION ".</p>\n";
    for (const auto& [nad, records] : byNad) {
      const TNow* n = nowOf(nad);
      const TJournalRecord& first = *records.front();
      text += "<section>\n<h2>Controller " + std::to_string(nad) + "</h2>\n<table class=\"id\">\n";
      text += "<tr><th>NAD</th><td>" + std::to_string(nad) + "</td></tr>\n";
      text += "<tr><th>IP address</th><td>" + Html(n != nullptr ? n->Row->Plc->GetIpAddress() : first.Ip) +
              "</td></tr>\n";
      text += "<tr><th>Program stamp (journal)</th><td>" + Html(first.Stamp) + "</td></tr>\n";
      const bool stampChanged = n != nullptr && !first.Stamp.empty() && n->Stamp != first.Stamp;
      text += "<tr><th>Program stamp now</th><td" + std::string(stampChanged ? " class=\"bad\"" : "") + ">" +
              Html(n != nullptr ? n->Stamp : "") + "</td></tr>\n";
      text += "<tr><th>Clock now</th><td>" + Html(n != nullptr ? n->Row->Rtc : "") + "</td></tr>\n";
      std::string state = "read now";
      if (n == nullptr) state = "not read now: it did not answer";
      else if (!n->Row->Error.empty()) state = "not read now: " + n->Row->Error;
      text += "<tr><th>Now</th><td" + std::string(state != "read now" ? " class=\"bad\"" : "") + ">" +
              Html(state) + "</td></tr>\n</table>\n";

      std::string changes, clocks;
      for (const TJournalRecord* r : records) {
        const std::string bad = Took(r->Verdict) ? "" : " class=\"bad\"";
        if (r->Entry == kJournalClockEntry) {
          clocks += "<tr><td>" + Html(RecordTime(*r)) + "</td><td>" + Html(r->Before) + "</td><td>" +
                    Html(ClockOffset(*r)) + "</td><td>" + Html(r->Written) + "</td><td>" + Html(r->ReadBack) +
                    "</td><td" + bad + ">" + Html(r->Verdict) + "</td></tr>\n";
          continue;
        }
        std::string current;
        if (n != nullptr)
          if (const auto v = n->Values.find(r->Entry); v != n->Values.end()) current = v->second;
        const bool differs = n != nullptr && Took(r->Verdict) && current != r->Written;
        changes += "<tr><td>" + Html(RecordTime(*r)) + "</td><td>" + Html(r->Entry) + "</td><td>" +
                   Html(r->Before) + "</td><td>" + Html(r->Written) + "</td><td>" + Html(r->ReadBack) + "</td><td" +
                   bad + ">" + Html(r->Verdict) + "</td><td" + (differs ? " class=\"bad\"" : "") + ">" +
                   Html(current) + "</td></tr>\n";
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
  }

  if (O.OutputFile.empty()) {
    Out(text);
    return;
  }
  errno = 0;
  std::ofstream file(O.OutputFile, std::ios::binary | std::ios::trunc);
  file << text;
  file.close();
  if (!file)
    Fail("Cannot write the report " + Quoted(O.OutputFile) + (errno != 0 ? " (" + std::string(std::strerror(errno)) + ")" : std::string()) + ".");
}

}  // namespace tavex

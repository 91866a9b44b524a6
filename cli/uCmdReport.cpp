// report: an as-left report of a run (or a time span) from the journal,
// beside what the controllers it names hold now; one printable HTML page
// or CSV rows.
#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <set>

#include "cli/uCliTool.h"
#include "plc/uJournal.h"
#include "plc/uOperations.h"
#include "plc/uReport.h"

namespace tavex {

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
  TReportSelection selection;
  selection.Op = O.Op;
  selection.SinceGiven = O.SinceGiven;
  selection.SinceMs = O.SinceMs;
  selection.UntilGiven = O.UntilGiven;
  selection.UntilMs = O.UntilMs;
  ReportRecords = SelectReportRecords(journal.Records, selection);
  if (ReportRecords.empty())
    throw TUsageError{"No journal records to report in " + Quoted(path) +
                      (O.Op.empty() ? std::string() : " for the operation " + Quoted(O.Op)) + "; nothing was sent."};
  // The controllers the records name, unless the finding options select.
  if (O.Nads.empty() && O.Hosts.empty() && !O.HostsGiven) O.Nads = ReportNads(ReportRecords);
}

void TTool::CmdReport() {
  TReport report;
  report.Records = std::move(ReportRecords);
  report.Nads = O.Nads;
  const std::vector<uint32_t> named = ReportNads(report.Records);
  const std::set<uint32_t> wanted(report.Nads.begin(), report.Nads.end());

  // What they hold now: every journalled entry and the clock, read again.
  std::vector<TRowResult> rows;
  for (TTavex* plc : Plcs) {
    const auto nad = static_cast<uint32_t>(NadNumber(*plc));
    if (!std::binary_search(named.begin(), named.end(), nad) || (!wanted.empty() && wanted.count(nad) == 0))
      continue;
    TRowResult row;
    row.Plc = plc;
    row.Entries = ReportEntries(report.Records, nad);
    rows.push_back(std::move(row));
  }
  RunFleetRows(rows, {}, false);
  for (const TRowResult& row : rows) {
    TReportNow& n = report.Now[static_cast<uint32_t>(NadNumber(*row.Plc))];
    n.Ip = row.Plc->GetIpAddress();
    n.Rtc = row.Rtc;
    n.Error = row.Error;
    for (size_t k = 0; k < row.Entries.size() && k < row.Texts.size(); ++k) n.Values[row.Entries[k]] = row.Texts[k];
    if (row.Plc->HasProgram) {
      char stamp[16];
      std::snprintf(stamp, sizeof stamp, "0x%08x", row.Plc->Communicator->CodeStamp);
      n.Stamp = stamp;
    }
    if (!row.Error.empty()) Fail(Who(*row.Plc) + ": " + Sentence(TerminalSafe(row.Error)));
  }
  JournalNow(report.NowTime, report.NowOffset);
  report.NowBy = "tavexctl " TAVEX_VERSION;

  std::string text;
  if (!O.Html) {
    const std::vector<std::vector<std::string>> rowsOut = ReportCsvRows(report);
    TTextTable csv{rowsOut.front(), {rowsOut.begin() + 1, rowsOut.end()}};
    text = FormatCsv(csv);
  } else {
    text = ReportHtml(report);
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

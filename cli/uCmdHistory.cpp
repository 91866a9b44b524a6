// history: the journal's records, filtered, as a table, CSV or JSON.
#include <algorithm>
#include <iostream>

#include "cli/uCliTool.h"
#include "plc/uJournal.h"

namespace tavex {

namespace {

Json TextJson(const std::string& Text) { return Text.empty() ? Json(nullptr) : Json(Text); }

}  // namespace

void TTool::CmdHistory() {
  const std::string path = JournalPath();
  if (path.empty())
    throw TUsageError{"No journal to read: neither TAVEX_JOURNAL nor the user's state folder is set."};
  TJournalContents journal;
  std::string error;
  if (!ReadJournal(path, journal, error))
    throw TUsageError{"Cannot read the journal " + Quoted(path) + " (" + TerminalSafe(error) + ")."};
  if (journal.Skipped > 0)
    Warn(std::to_string(journal.Skipped) + " line" + (journal.Skipped == 1 ? " of the journal " : "s of the journal ") +
         Quoted(path) + (journal.Skipped == 1 ? " is" : " are") + " no record and " +
         (journal.Skipped == 1 ? "was" : "were") + " skipped.");

  std::vector<const TJournalRecord*> shown;
  for (const TJournalRecord& r : journal.Records) {
    if (!O.Nads.empty() &&
        std::find(O.Nads.begin(), O.Nads.end(), static_cast<uint32_t>(r.Nad)) == O.Nads.end())
      continue;
    if (!O.Nads.empty() && r.Nad < 0) continue;
    if (!O.HistoryEntries.empty() &&
        std::find(O.HistoryEntries.begin(), O.HistoryEntries.end(), r.Entry) == O.HistoryEntries.end())
      continue;
    if (!O.Op.empty() && r.Op != O.Op) continue;
    int64_t ms = 0;
    JournalTimeMs(r.Time, ms);  // a record's time always reads
    if (O.SinceGiven && ms < O.SinceMs) continue;
    if (O.UntilGiven && ms >= O.UntilMs) continue;
    shown.push_back(&r);
  }
  if (O.Last && !shown.empty()) {
    const std::string last = shown.back()->Op;
    shown.erase(std::remove_if(shown.begin(), shown.end(),
                               [&](const TJournalRecord* r) { return r->Op != last; }),
                shown.end());
  }

  TTextTable human{{"Time", "Op", "NAD", "IP", "Entry", "Before", "Written", "Read back", "Verdict"}, {}};
  TTextTable machine{{"time", "offset", "op", "user", "host", "program", "version", "adapter", "nad", "ip",
                      "stamp", "entry", "before", "written", "read_back", "verdict"},
                     {}};
  Json j;
  j["journal"] = path;
  j["skipped"] = journal.Skipped;
  j["records"] = Json::array();
  for (const TJournalRecord* r : shown) {
    int64_t ms = 0;
    JournalTimeMs(r->Time, ms);
    const std::string nad = r->Nad >= 0 ? std::to_string(r->Nad) : std::string();
    human.Rows.push_back({LocalTimeText(ms), r->Op, nad, r->Ip, r->Entry, r->Before, r->Written, r->ReadBack,
                          r->Verdict});
    machine.Rows.push_back({r->Time, r->Offset, r->Op, r->User, r->Host, r->Program, r->Version, r->Adapter, nad,
                            r->Ip, r->Stamp, r->Entry, r->Before, r->Written, r->ReadBack, r->Verdict});
    j["records"].push_back({{"time", r->Time},
                            {"offset", r->Offset},
                            {"op", r->Op},
                            {"user", r->User},
                            {"host", r->Host},
                            {"program", r->Program},
                            {"version", r->Version},
                            {"adapter", TextJson(r->Adapter)},
                            {"nad", r->Nad >= 0 ? Json(r->Nad) : Json(nullptr)},
                            {"ip", TextJson(r->Ip)},
                            {"stamp", TextJson(r->Stamp)},
                            {"entry", r->Entry},
                            {"before", TextJson(r->Before)},
                            {"written", TextJson(r->Written)},
                            {"read_back", TextJson(r->ReadBack)},
                            {"verdict", r->Verdict}});
  }
  if (shown.empty()) {
    std::cerr << "tavexctl: no journal entries"
              << (journal.Records.empty() ? " in " + Quoted(path) : std::string(" match")) << ".\n";
    if (O.Format == TFormat::Table) return;  // nothing to show
  }
  Emit(human, machine, j);
}

}  // namespace tavex

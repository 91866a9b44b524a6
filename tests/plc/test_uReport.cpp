// The as-left report as data and as a page: which records it takes, what
// it marks (only what did not take, and a value that is not what the run
// left), and a page on which a hostile journal stays text.
#include "plc/uReport.h"

#include <gtest/gtest.h>

#include <regex>
#include <set>
#include <string>
#include <vector>

#include "plc/uFleet.h"

namespace tavex {
namespace {

TJournalRecord Record(int64_t Nad, const std::string& Entry, const std::string& Written, const std::string& Verdict,
                      const std::string& Op = "op-1", const std::string& Time = "2026-12-11T09:14:03.250Z") {
  TJournalRecord r;
  r.Time = Time;
  r.Offset = "+01:00";
  r.User = "anna";
  r.Host = "plant-pc";
  r.Program = "tavex-config";
  r.Version = "1.0.0";
  r.Op = Op;
  r.Nad = Nad;
  r.Ip = "10.0.0." + std::to_string(Nad % 250);
  r.Stamp = "0x1a2b3c4d";
  r.Entry = Entry;
  r.Before = "1";
  r.Written = Written;
  r.ReadBack = Written;
  r.Verdict = Verdict;
  return r;
}

TReportNow Now(std::map<std::string, std::string> Values) {
  TReportNow n;
  n.Ip = "10.0.0.9";
  n.Stamp = "0x1a2b3c4d";
  n.Rtc = "2026-12-11  10:14:05";
  n.Values = std::move(Values);
  return n;
}

TReport Report(std::vector<TJournalRecord> Records) {
  TReport report;
  report.Records = std::move(Records);
  report.NowTime = "2026-12-11T09:20:00.000Z";
  report.NowOffset = "+01:00";
  report.NowBy = "tavexctl 1.0.0";
  return report;
}

// Every verdict either program journals, for a value and for the clock:
// the page marks it exactly when it did not take. A text that is no verdict
// is marked too (nobody can say it took).
TEST(Report, OnlyVerdictsThatDidNotTakeAreMarked) {
  struct TCase {
    std::string Entry;
    std::string Verdict;
    bool Took;
  };
  std::vector<TCase> cases;
  for (int v = 1; v <= static_cast<int>(TWriteVerdict::Unchanged); ++v) {
    const auto verdict = static_cast<TWriteVerdict>(v);
    cases.push_back({"speed", VerdictText(verdict), VerdictTook(verdict)});
  }
  for (int o = 1; o <= static_cast<int>(TClockOutcome::Set); ++o) {
    const auto outcome = static_cast<TClockOutcome>(o);
    cases.push_back({kJournalClockEntry, ClockOutcomeText(outcome), ClockOutcomeTook(outcome)});
  }
  cases.push_back({"speed", "written!", false});
  cases.push_back({"speed", "", false});

  // The sets themselves: what a value and the clock are taken to hold.
  std::set<std::string> took;
  for (const TCase& c : cases)
    if (c.Took) took.insert(c.Verdict);
  EXPECT_EQ(took, (std::set<std::string>{"written", "written, not read back", "not acknowledged, landed", "unchanged",
                                         "set", "set, without the weekday", "set, not read back"}));

  for (const TCase& c : cases) {
    SCOPED_TRACE(c.Entry + ": \"" + c.Verdict + "\"");
    const bool clock = c.Entry == kJournalClockEntry;
    TJournalRecord r = Record(1000, c.Entry, clock ? "2026-12-11  10:14:03" : "7", c.Verdict);
    TReport report = Report({r});
    // Read now as the run left it: nothing but the verdict can be marked.
    report.Now[1000] = Now({{"speed", "7"}});
    EXPECT_EQ(ReportVerdictTook(c.Verdict), c.Took);
    const std::vector<TReportController> controllers = ReportControllers(report);
    ASSERT_EQ(controllers.size(), 1u);
    ASSERT_EQ(controllers[0].Lines.size(), 1u);
    EXPECT_EQ(controllers[0].Lines[0].Clock, clock);
    const std::string html = ReportHtml(report);
    const std::string marked = "<td class=\"bad\">" + HtmlText(c.Verdict) + "</td>";
    const bool isMarked = html.find(marked) != std::string::npos;
    EXPECT_EQ(controllers[0].Lines[0].Took, c.Took);
    EXPECT_EQ(isMarked, !c.Took) << html;
    // Nothing else on the page is marked.
    size_t count = 0;
    for (size_t at = html.find("class=\"bad\""); at != std::string::npos; at = html.find("class=\"bad\"", at + 1))
      ++count;
    EXPECT_EQ(count, c.Took ? 0u : 1u) << html;
  }
}

// The report as data: each controller once, ascending, with its lines in
// the journal's order; what it holds now beside each line, marked where a
// value that took reads otherwise now, or where the program changed; a
// controller that did not answer said so.
TEST(Report, EachControllerShowsWhatTheRunLeftBesideWhatItHoldsNow) {
  TJournalRecord clock = Record(1001, kJournalClockEntry, "2026-12-11  10:14:03", "set");
  clock.Before = "2026-12-11  10:15:36";  // 93 s ahead
  clock.ReadBack = "2026-12-11  10:14:03";
  TReport report = Report({Record(1001, "setpoint", "21.25", "written"), Record(1000, "speed[3]", "1234", "written"),
                           clock, Record(1001, "offset", "9", "rejected value"),
                           Record(1002, "speed[3]", "5", "written")});
  report.Now[1000] = Now({{"speed[3]", "1234"}});
  report.Now[1001] = Now({{"setpoint", "5"}, {"offset", "-3"}});
  report.Now[1001].Stamp = "0x99999999";
  // 1002 did not answer.

  const std::vector<TReportController> c = ReportControllers(report);
  ASSERT_EQ(c.size(), 3u);
  EXPECT_EQ(c[0].Nad, 1000u);
  EXPECT_EQ(c[1].Nad, 1001u);
  EXPECT_EQ(c[2].Nad, 1002u);

  EXPECT_EQ(c[0].State, "read now");
  EXPECT_FALSE(c[0].StateBad);
  EXPECT_EQ(c[0].Ip, "10.0.0.9");  // its address now
  EXPECT_FALSE(c[0].StampChanged);
  ASSERT_EQ(c[0].Lines.size(), 1u);
  EXPECT_EQ(c[0].Lines[0].Now, "1234");
  EXPECT_FALSE(c[0].Lines[0].NowDiffers);

  EXPECT_TRUE(c[1].StampChanged);
  EXPECT_EQ(c[1].StampNow, "0x99999999");
  ASSERT_EQ(c[1].Lines.size(), 3u);
  EXPECT_EQ(c[1].Lines[0].Record.Entry, "setpoint");
  EXPECT_EQ(c[1].Lines[0].Now, "5");
  EXPECT_TRUE(c[1].Lines[0].NowDiffers);
  EXPECT_TRUE(c[1].Lines[1].Clock);
  EXPECT_EQ(c[1].Lines[1].Now, "2026-12-11  10:14:05");
  EXPECT_EQ(c[1].Lines[1].ClockOffset, "+93 s");
  EXPECT_EQ(c[1].Lines[2].Record.Entry, "offset");
  EXPECT_FALSE(c[1].Lines[2].NowDiffers);  // it never took: that it reads otherwise is no news

  EXPECT_FALSE(c[2].Read);
  EXPECT_TRUE(c[2].StateBad);
  EXPECT_EQ(c[2].State, "not read now: it did not answer");
  EXPECT_EQ(c[2].Ip, "10.0.0.2");  // the journal's
  EXPECT_EQ(c[2].Lines.at(0).Now, "");
  EXPECT_FALSE(c[2].Lines.at(0).NowDiffers);

  // A controller that answered but could not be read.
  report.Now[1002] = Now({});
  report.Now[1002].Error = "PLC has no program!";
  EXPECT_EQ(ReportControllers(report)[2].State, "not read now: PLC has no program!");
  EXPECT_TRUE(ReportControllers(report)[2].StateBad);

  // Only the controllers asked for.
  report.Nads = {1001};
  ASSERT_EQ(ReportControllers(report).size(), 1u);
  EXPECT_EQ(ReportControllers(report)[0].Nad, 1001u);
  report.Nads.clear();

  // The CSV rows carry the same, one per record, in controller order.
  const auto rows = ReportCsvRows(report);
  ASSERT_EQ(rows.size(), 6u);
  EXPECT_EQ(rows[0], (std::vector<std::string>{"time", "op", "nad", "ip", "stamp", "stamp_now", "entry", "before",
                                               "written", "read_back", "verdict", "now", "clock_offset"}));
  EXPECT_EQ(rows[1], (std::vector<std::string>{"2026-12-11T09:14:03.250Z", "op-1", "1000", "10.0.0.0", "0x1a2b3c4d",
                                               "0x1a2b3c4d", "speed[3]", "1", "1234", "1234", "written", "1234", ""}));
  EXPECT_EQ(rows[3][6], "clock");
  EXPECT_EQ(rows[3][11], "2026-12-11  10:14:05");
  EXPECT_EQ(rows[3][12], "+93 s");
  EXPECT_EQ(rows[5][2], "1002");
  EXPECT_EQ(rows[5][5], "0x1a2b3c4d");
  EXPECT_EQ(rows[5][11], "");  // its value was not read

  // The page: the same facts, the values that read otherwise marked.
  const std::string html = ReportHtml(report);
  for (const char* fact : {"<h2>Controller 1000</h2>", "<h2>Controller 1001</h2>", "<h2>Controller 1002</h2>",
                           "<td>setpoint</td><td>1</td><td>21.25</td><td>21.25</td><td>written</td>"
                           "<td class=\"bad\">5</td>",
                           "<td class=\"bad\">0x99999999</td>", "<td>+93 s</td>",
                           "<td class=\"bad\">not read now: PLC has no program!</td>",
                           "Controllers read again at", "by tavexctl 1.0.0."})
    EXPECT_NE(html.find(fact), std::string::npos) << fact << "\n" << html;
  report.ReadAgain = false;
  report.NowBy = "tavex-config 1.0.0";
  EXPECT_NE(ReportHtml(report).find("Values now as tavex-config 1.0.0 read them back at the end of the run"),
            std::string::npos);
}

// Which records: a run by its id, the latest run, a time span; records
// without a controller never.
TEST(Report, TheSelectionTakesOneRunOrASpan) {
  const std::vector<TJournalRecord> journal = {
      Record(1000, "a", "1", "written", "op-1", "2026-12-10T08:00:00.000Z"),
      Record(-1, "b", "1", "written", "op-1", "2026-12-10T08:00:00.000Z"),
      Record(1001, "c", "1", "written", "op-2", "2026-12-11T08:00:00.000Z"),
      Record(1000, "d", "1", "written", "op-3", "2026-12-12T08:00:00.000Z"),
      Record(1002, "e", "1", "written", "op-3", "2026-12-12T09:00:00.000Z"),
  };
  const auto entries = [](const std::vector<TJournalRecord>& Records) {
    std::string s;
    for (const auto& r : Records) s += r.Entry;
    return s;
  };
  TReportSelection s;
  EXPECT_EQ(entries(SelectReportRecords(journal, s)), "de");  // the latest run
  s.Op = "op-1";
  EXPECT_EQ(entries(SelectReportRecords(journal, s)), "a");
  s.Op = "nosuch";
  EXPECT_TRUE(SelectReportRecords(journal, s).empty());
  s.Op.clear();
  s.SinceGiven = true;
  JournalTimeMs("2026-12-11T00:00:00Z", s.SinceMs);
  EXPECT_EQ(entries(SelectReportRecords(journal, s)), "cde");
  s.UntilGiven = true;
  JournalTimeMs("2026-12-12T09:00:00Z", s.UntilMs);
  EXPECT_EQ(entries(SelectReportRecords(journal, s)), "cd");
  EXPECT_TRUE(SelectReportRecords({}, TReportSelection{}).empty());

  EXPECT_EQ(ReportNads(journal), (std::vector<uint32_t>{1000, 1001, 1002}));
  std::vector<TJournalRecord> twice = journal;
  twice.push_back(Record(1000, "a", "2", "written"));
  twice.push_back(Record(1000, kJournalClockEntry, "x", "set"));
  EXPECT_EQ(ReportEntries(twice, 1000), (std::vector<std::string>{"a", "d"}));
}

// A journal anyone could have edited: every text of a record, and every
// value read now, is shown as text. The page holds no element but the
// report's own, no script, and fetches nothing.
TEST(Report, HostileTextsStayText) {
  const std::string hostile[] = {
      "<script>alert(1)</script>", "\"><img src=x onerror=alert(1)>", "'; x='", "&amp;&lt;", "a\x01" "b\x7f" "c\r\nd",
      "<a href=\"http://example.invalid/\">x</a>", "</td></tr></table><iframe src=//x>", "<!-- -->", "<style>",
  };
  for (const std::string& h : hostile) {
    SCOPED_TRACE(h);
    TJournalRecord r = Record(1000, h, h, h, h);
    r.User = r.Host = r.Program = r.Version = r.Ip = r.Stamp = r.Before = r.ReadBack = h;
    TJournalRecord c = r;
    c.Entry = kJournalClockEntry;
    TReport report = Report({r, c});
    report.NowOffset = h;
    report.NowBy = h;
    report.Now[1000] = Now({{h, h}});
    report.Now[1000].Ip = report.Now[1000].Stamp = report.Now[1000].Rtc = h;
    report.Now[1000].Error = h;
    for (const bool again : {true, false}) {
      report.ReadAgain = again;
      const std::string html = ReportHtml(report);
      // The only elements are the report's own.
      static const std::set<std::string> own = {"!DOCTYPE", "html", "head", "meta",    "title", "style", "body", "h1",
                                                "h2",       "h3",   "p",    "section", "table", "tr",    "th",   "td",
                                                "br"};
      static const std::regex tag("<(/?)([!A-Za-z][A-Za-z0-9]*)");
      std::multiset<std::string> opened;
      for (auto it = std::sregex_iterator(html.begin(), html.end(), tag); it != std::sregex_iterator(); ++it) {
        EXPECT_EQ(own.count((*it)[2]), 1u) << (*it)[0];
        if ((*it)[1] != "/") opened.insert((*it)[2]);
      }
      EXPECT_EQ(opened.count("style"), 1u);  // only the report's own
      EXPECT_EQ(html.find("<script"), std::string::npos);
      for (const char ch : html)
        EXPECT_FALSE((static_cast<unsigned char>(ch) < 0x20 && ch != '\n' && ch != '\t') || ch == 0x7f)
            << static_cast<int>(ch);
      EXPECT_NE(html.find(HtmlText(h)), std::string::npos);
    }
  }
  EXPECT_EQ(HtmlText("<a href='x'>&\"</a>"), "&lt;a href=&#39;x&#39;&gt;&amp;&quot;&lt;/a&gt;");
  EXPECT_EQ(HtmlText(std::string("a\0b\tc\x1b", 6)), "a?b\tc?");
}

}  // namespace
}  // namespace tavex

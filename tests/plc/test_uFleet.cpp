// The fleet operation against the in-process simulator: one batched
// exchange per controller, fail-fast, the worker pool, and the allocation
// cache in the archive fetch; every claim about the wire proven from the
// simulator's log. Runs under ThreadSanitizer too (scripts/test).
#include "plc/uFleet.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <mutex>
#include <set>
#include <thread>
#include <unistd.h>

#include "tests/plc/PlcFixture.h"

namespace tavex {
namespace {

using namespace test;

constexpr int kCmdPing = 16, kCmdStatus = 17, kCmdBlock = 33, kCmdRead = 51, kCmdWrite = 52;

// N word variables v0 .. v(N-1) holding 10 * index, and the clock.
json WordVars(int N) {
  json a = ClockVars();
  for (int i = 0; i < N; ++i) a.push_back(Var("v" + std::to_string(i), "word", {{"value", 10 * i}}));
  return a;
}

std::vector<std::string> Entries(int N) {
  std::vector<std::string> e;
  for (int i = 0; i < N; ++i) e.push_back("v" + std::to_string(i));
  return e;
}

class Fleet : public PlcTest {
 protected:
  void SetUp() override {
    Dir = std::filesystem::temp_directory_path() /
          ("fleet-" + std::to_string(getpid()) + "-" +
           ::testing::UnitTest::GetInstance()->current_test_info()->name());
    std::filesystem::remove_all(Dir);
  }
  void TearDown() override { std::filesystem::remove_all(Dir); }

  // Records for the scenario's controllers, short time-outs so that a silent
  // controller costs little.
  void MakeRecords(const std::vector<std::pair<uint32_t, std::string>>& Controllers) {
    for (const auto& [nad, ip] : Controllers) {
      auto r = Record(nad, ip);
      SetTransport(*r, 100, kDefaultRetries);
      Records.push_back(std::move(r));
    }
  }
  std::vector<TFleetJob> Jobs(const std::vector<std::string>& Entries,
                              const std::vector<std::string>& Values = {}) {
    std::vector<TFleetJob> jobs;
    for (auto& r : Records) jobs.push_back({r.get(), Entries, Values});
    return jobs;
  }
  // One controller's log entries, in arrival order.
  std::vector<json> LogOf(uint32_t Nad, int Command = -1) const {
    std::vector<json> out;
    for (const json& e : Log(Command))
      if (e.at("nad") == Nad) out.push_back(e);
    return out;
  }

  std::filesystem::path Dir;
  std::vector<std::unique_ptr<TTavex>> Records;
};

// --- One exchange per controller ----------------------------------------------

TEST_F(Fleet, ReadIsOneExchangePerControllerInBatchesOfAtMost100) {
  Start(json::array({Controller(1000, "127.0.0.2", {{"variables", WordVars(150)}}),
                     Controller(1001, "127.0.0.3", {{"variables", WordVars(5)}})}));
  MakeRecords({{1000, "127.0.0.2"}, {1001, "127.0.0.3"}});
  auto jobs = Jobs(Entries(150));
  std::vector<TFleetResult> results;
  RunFleet(jobs, {}, results);
  ASSERT_EQ(results.size(), 2u);

  // Every value of the big controller, and the clock.
  for (int i = 0; i < 150; ++i) {
    EXPECT_EQ(results[0].Entries[i].Text, std::to_string(10 * i));
    EXPECT_EQ(results[0].Entries[i].Reason, TEntryReason::None);
  }
  EXPECT_EQ(results[0].Rtc.substr(0, 12), "2026-03-04  ");
  EXPECT_FALSE(results[0].GivenUp);
  // The small one knows five of them; the rest are unknown entries.
  for (int i = 0; i < 150; ++i) {
    EXPECT_EQ(results[1].Entries[i].Text, i < 5 ? std::to_string(10 * i) : "?");
    EXPECT_EQ(results[1].Entries[i].Reason, i < 5 ? TEntryReason::None : TEntryReason::UnknownEntry);
  }
  EXPECT_FALSE(results[1].GivenUp);

  // The wire: the staged checks once each, then the variable reads, each
  // with at most 100 addresses: 156 elements in 100 + 56, 11 in one.
  for (const auto& [nad, batches] : std::map<uint32_t, std::vector<size_t>>{{1000, {100, 56}}, {1001, {11}}}) {
    SCOPED_TRACE(nad);
    std::vector<int> commands;
    std::vector<size_t> sizes;
    for (const json& e : LogOf(nad)) {
      commands.push_back(e.at("command"));
      if (e.at("command") == kCmdRead) sizes.push_back(e.at("addresses").size());
    }
    EXPECT_EQ(sizes, batches);
    ASSERT_GE(commands.size(), 5u);
    EXPECT_EQ(commands.front(), kCmdPing);
    EXPECT_EQ(std::count(commands.begin(), commands.end(), kCmdPing), 1);
    EXPECT_EQ(std::count(commands.begin(), commands.end(), kCmdStatus), 1);
    EXPECT_EQ(std::count(commands.begin(), commands.end(), kCmdWrite), 0);
    // Reads come last, after the run state.
    const auto firstRead = std::find(commands.begin(), commands.end(), kCmdRead);
    EXPECT_EQ(*(firstRead - 1), kCmdStatus);
    EXPECT_TRUE(std::all_of(firstRead, commands.end(), [](int c) { return c == kCmdRead; }));
  }
  // The records are left ready: a second read repeats only the program,
  // stamp and run checks (one header read) before its exchange.
  const size_t before = LogOf(1001).size();
  auto again = Jobs({"v1"});
  RunFleet(again, {}, results);
  EXPECT_EQ(results[1].Entries[0].Text, "10");
  std::vector<int> second;
  for (size_t i = before; i < LogOf(1001).size(); ++i) second.push_back(LogOf(1001)[i].at("command"));
  EXPECT_EQ(second, (std::vector<int>{kCmdBlock, kCmdStatus, kCmdRead}));
}

TEST_F(Fleet, WriteSendsOnlyAcceptedValuesInOneWriteThenTheClockThenOneRead) {
  json vars = WordVars(3);
  vars.push_back(Var("r", "real", {{"value", 1.5}}));
  vars.push_back(Var("t", "timer", {{"value", 1234}}));
  Start(json::array({Controller(1000, "127.0.0.2", {{"variables", vars}})}));
  MakeRecords({{1000, "127.0.0.2"}});
  // v0 written, v1 rejected (out of range), v2 only read, r written, t
  // not transferable, nope unknown.
  auto jobs = Jobs({"v0", "v1", "v2", "r", "t", "nope"}, {"7", "70000", "", "2.25", "5", "1"});
  TFleetOptions options;
  options.Write = true;
  TLocalTime when;
  when.Year = 2027, when.Month = 1, when.Day = 2, when.Hour = 3, when.Minute = 4, when.Second = 5,
  when.Weekday = 1;  // the fixture's weekday is a bit
  std::atomic<int> asked{0};
  options.SyncClock = [&] {
    ++asked;
    return when;
  };
  std::vector<TFleetResult> results;
  RunFleet(jobs, options, results);
  const TFleetResult& r = results[0];
  const std::vector<std::pair<std::string, TEntryReason>> want = {
      {"7", TEntryReason::None},        {"10", TEntryReason::RejectedValue},
      {"20", TEntryReason::None},       {"2.25", TEntryReason::None},
      {"?", TEntryReason::NotTransferred}, {"?", TEntryReason::UnknownEntry}};
  for (size_t k = 0; k < want.size(); ++k) {
    SCOPED_TRACE(k);
    EXPECT_EQ(r.Entries[k].Text, want[k].first);
    EXPECT_EQ(r.Entries[k].Reason, want[k].second);
  }
  EXPECT_EQ(r.Entries[4].VarType, vtTimer);
  EXPECT_EQ(sim_->ReadVarRaw(1000, "t"), 1234u);  // never written, never shown as 0
  EXPECT_EQ(asked.load(), 1);
  EXPECT_EQ(r.Rtc.substr(0, 18), "2027-01-02  03:04:");

  // Two writes: the accepted values, then the eight clock variables; then
  // one read of everything.
  const auto writes = LogOf(1000, kCmdWrite);
  ASSERT_EQ(writes.size(), 2u);
  EXPECT_EQ(writes[0].at("names"), json({"v0", "r"}));
  EXPECT_EQ(writes[0].at("values"), json({7, 0x40100000}));
  std::set<std::string> clock;
  for (const auto& n : writes[1].at("names")) clock.insert(n.get<std::string>());
  EXPECT_EQ(clock, (std::set<std::string>{"rtc_year", "rtc_month", "rtc_date", "rtc_hour", "rtc_min",
                                          "rtc_sec", "rtc_weekday", "rtc_write_req"}));
  EXPECT_TRUE(writes[1].at("clock_set").at("applied").get<bool>());
  const auto all = LogOf(1000);
  EXPECT_EQ(all.back().at("command"), kCmdRead);
  EXPECT_EQ(LogOf(1000, kCmdRead).size(), 1u);
  EXPECT_EQ(sim_->ReadVarRaw(1000, "v1"), 10u);  // the rejected value never arrived
}

// A value nobody read is no value: a timer or counter holding 1234 is "?"
// with a reason that names its type, never 0.
TEST_F(Fleet, ReadShowsTypesThatAreNotTransferredAsQuestionMarksWithTheirType) {
  json vars = WordVars(1);
  const std::vector<std::string> types = {"timer", "counter", "void", "timerbit", "timerlong", "counterbit",
                                          "counterlong"};
  std::vector<std::string> entries = {"v0"};
  for (const auto& t : types) {
    vars.push_back(Var("x_" + t, t, {{"value", 1}}));
    entries.push_back("x_" + t);
  }
  Start(json::array({Controller(1000, "127.0.0.2", {{"variables", vars}})}));
  MakeRecords({{1000, "127.0.0.2"}});
  auto jobs = Jobs(entries);
  std::vector<TFleetResult> results;
  RunFleet(jobs, {}, results);
  const TFleetResult& r = results[0];
  ASSERT_EQ(r.Entries.size(), entries.size());
  EXPECT_EQ(r.Entries[0].Text, "0");
  EXPECT_EQ(r.Entries[0].Reason, TEntryReason::None);
  EXPECT_EQ(ReasonText(r.Entries[0].Reason, r.Entries[0].VarType), std::string());
  for (size_t k = 1; k < entries.size(); ++k) {
    SCOPED_TRACE(entries[k]);
    EXPECT_EQ(r.Entries[k].Text, "?");
    EXPECT_EQ(r.Entries[k].Reason, TEntryReason::NotTransferred);
    EXPECT_EQ(ReasonText(r.Entries[k].Reason, r.Entries[k].VarType), "not transferred (" + types[k - 1] + ")");
  }
  EXPECT_FALSE(r.GivenUp);
}

// --- Fail-fast -------------------------------------------------------------------

TEST_F(Fleet, ASilentControllerCostsOneFailedTransactionAndLeavesTheOthersIntact) {
  struct TCase {
    const char* Name;
    json Faults;
    int Answered;  // requests it answers before it falls silent; -1: all that make it ready
  };
  const std::vector<TCase> cases = {
      {"silent from the start", {{"silent", true}}, 0},
      {"silent in the staged sequence", {{"silent_after_requests", 3}}, 3},
      {"silent in the exchange", json::object(), -1},
  };
  int ready = 0;  // requests that make a controller ready, counted on a healthy one
  for (TCase c : cases) {
    SCOPED_TRACE(c.Name);
    if (c.Answered < 0) {
      ASSERT_GT(ready, 4);
      c.Answered = ready;
      c.Faults = {{"silent_after_requests", ready}};
    }
    Records.clear();
    sim_.reset();
    Start(json::array({Controller(1000, "127.0.0.2", {{"variables", WordVars(4)}}),
                       Controller(1001, "127.0.0.3", {{"variables", WordVars(4)}, {"faults", c.Faults}}),
                       Controller(1002, "127.0.0.4", {{"variables", WordVars(4)}})}));
    MakeRecords({{1000, "127.0.0.2"}, {1001, "127.0.0.3"}, {1002, "127.0.0.4"}});
    auto jobs = Jobs(Entries(4));
    std::vector<TFleetResult> results;
    RunFleet(jobs, {}, results);

    ready = static_cast<int>(LogOf(1000).size()) - 1;  // all but its one read
    for (size_t i : {0u, 2u}) {
      EXPECT_FALSE(results[i].GivenUp);
      for (int k = 0; k < 4; ++k) EXPECT_EQ(results[i].Entries[k].Text, std::to_string(10 * k));
    }
    const TFleetResult& silent = results[1];
    EXPECT_TRUE(silent.GivenUp);
    EXPECT_FALSE(silent.Thrown);
    EXPECT_EQ(silent.Rtc, "");
    for (const auto& e : silent.Entries) {
      EXPECT_EQ(e.Text, "?");
      EXPECT_EQ(e.Reason, TEntryReason::NoAnswer);
    }
    // After its last answer: one transaction's attempts, all of one request, then nothing.
    const auto log = LogOf(1001);
    ASSERT_EQ(log.size(), static_cast<size_t>(c.Answered + kDefaultRetries));
    for (int a = 1; a < kDefaultRetries; ++a) {
      EXPECT_EQ(log[c.Answered + a].at("command"), log[c.Answered].at("command"));
      EXPECT_EQ(log[c.Answered + a].value("page", -1), log[c.Answered].value("page", -1));
    }
    EXPECT_EQ(Records[1]->Stage, stOpen);
    EXPECT_FALSE(Records[1]->LastError.empty());
  }
}

TEST_F(Fleet, ABadAllocationFileIsItsControllersErrorOnly) {
  Start(json::array({Controller(1000, "127.0.0.2", {{"variables", WordVars(2)}}),
                     Controller(1001, "127.0.0.3",
                                {{"alc_text", ";CPU Tavex-2 X\r\n0100 0 1 0 2 global word v0\r\n; oops\r\n"}}),
                     Controller(1002, "127.0.0.4", {{"has_program", false}})}));
  MakeRecords({{1000, "127.0.0.2"}, {1001, "127.0.0.3"}, {1002, "127.0.0.4"}});
  auto jobs = Jobs({"v0", "v1"});
  std::vector<TFleetResult> results;
  RunFleet(jobs, {}, results);
  EXPECT_EQ(results[0].Entries[1].Text, "10");
  EXPECT_TRUE(results[1].Thrown);
  EXPECT_EQ(results[1].Error, "Error parsing ALC data on line 3: \"; oops\"");
  EXPECT_EQ(results[2].Error, kErrProgram);
  for (size_t i : {1u, 2u})
    for (const auto& e : results[i].Entries) EXPECT_EQ(e.Reason, TEntryReason::ControllerError);
  EXPECT_TRUE(LogOf(1001, kCmdRead).empty());
  EXPECT_TRUE(LogOf(1002, kCmdRead).empty());
}

// --- The worker pool ----------------------------------------------------------------

TEST_F(Fleet, ResultsBelongToTheirJobsWhateverOrderTheyFinishIn) {
  // The first controllers answer slowest; two workers share eight controllers.
  json controllers = json::array();
  std::vector<std::pair<uint32_t, std::string>> records;
  for (int c = 0; c < 8; ++c) {
    const uint32_t nad = 2000 + c;
    const std::string ip = "127.0.0." + std::to_string(10 + c);
    controllers.push_back(Controller(nad, ip, {{"variables", json::array({Var("id", "long", {{"value", nad}})})},
                                              {"faults", {{"delay_ms", 8 - c}}}}));
    records.emplace_back(nad, ip);
  }
  Start(controllers);
  MakeRecords(records);
  for (int jobs : {0, 2, 1}) {
    SCOPED_TRACE(jobs);
    for (auto& r : Records) r->Stage = stIdle;
    auto work = Jobs({"id"});
    TFleetOptions options;
    options.Jobs = jobs;
    std::vector<size_t> seen;  // written by the callback only, one call at a time
    options.Progress = [&](size_t Done, size_t Total) {
      EXPECT_EQ(Total, 8u);
      seen.push_back(Done);
    };
    std::vector<TFleetResult> results;
    RunFleet(work, options, results);
    for (int c = 0; c < 8; ++c) EXPECT_EQ(results[c].Entries[0].Text, std::to_string(2000 + c));
    EXPECT_EQ(seen, (std::vector<size_t>{1, 2, 3, 4, 5, 6, 7, 8}));
  }
}

TEST(FleetPool, EveryIndexOnceOnBoundedThreads) {
  for (const auto& [count, jobs] : std::vector<std::pair<size_t, int>>{{0, 0}, {1, 0}, {50, 3}, {300, 0}}) {
    std::vector<std::atomic<int>> hits(count);
    std::mutex m;
    std::set<std::thread::id> threads;
    RunPool(count, jobs, [&](size_t i) {
      hits[i]++;
      std::lock_guard<std::mutex> g(m);
      threads.insert(std::this_thread::get_id());
    });
    for (auto& h : hits) EXPECT_EQ(h.load(), 1);
    const size_t limit = jobs == 0 ? std::min<size_t>(count, kMaxFleetJobs) : static_cast<size_t>(jobs);
    EXPECT_LE(threads.size(), limit);
  }
}

// --- The allocation cache in the archive fetch -----------------------------------

// The page requests ReadMemory makes for a range: one per page it touches.
size_t PagesOf(uint32_t Address, uint32_t Size) { return (Address + Size - 1) / 256 - Address / 256 + 1; }

TEST(AlcProof, ComparesTheArchivesBytesInItsFirstPageWhenTheyHoldTheMembersSizes) {
  // A copy beginning with a local header ("PK\3\4"), then filler.
  const auto archive = [](size_t Size) {
    std::vector<uint8_t> b(Size, 0x11);
    const uint8_t sig[] = {0x50, 0x4B, 0x03, 0x04};
    std::copy(sig, sig + std::min<size_t>(4, Size), b.begin());
    return b;
  };
  std::vector<uint8_t> noHeader = archive(700);
  noHeader[2] = 0x05;
  struct TCase {
    const char* Name;
    int32_t Address;
    std::vector<uint8_t> Bytes;
    int32_t Want;
  };
  const std::vector<TCase> cases = {
      {"page-aligned: the whole first page", 0x20600, archive(700), 256},
      {"mid-page: up to the page's end", 0x20530, archive(700), 208},
      {"shorter than the rest of its page: all of it", 0x20530, archive(100), 100},
      {"ends exactly at the page's end", 0x20530, archive(208), 208},
      {"starts 26 bytes before a page's end: sizes still in it", 0x205E6, archive(700), 26},
      {"starts 25 bytes before: the sizes straddle two pages", 0x205E7, archive(700), 0},
      {"starts 1 byte before", 0x205FF, archive(700), 0},
      {"no local header at the start", 0x20600, noHeader, 0},
      {"shorter than a local header", 0x20600, archive(25), 0},
      {"negative address", -256, archive(700), 0},
      {"past the top of reachable memory", 0xFFFF00, archive(700), 0},
  };
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.Name);
    EXPECT_EQ(AlcProofLength(c.Address, c.Bytes), c.Want);
  }
}

TEST_F(Fleet, TheCacheSavesTheArchivePagesAndNeverServesStaleOrDamagedBytes) {
  Start(json::array({Controller(1000, "127.0.0.2", {{"variables", WordVars(60)}})}));
  const TAlcCache cache((Dir / "cache").string());
  const auto layout = sim_->Layout(1000);
  ASSERT_TRUE(layout.has_value());
  // Page requests beyond the header fields and the directory: a fetch reads
  // every page of the archive, a cached file proven costs one page.
  const size_t cold = PagesOf(layout->AlcAddress, layout->AlcSize);
  ASSERT_GT(cold, 1u);
  const auto pages = [&] { return Log(kCmdBlock).size(); };
  // A fresh record each time, as each run of tavexctl has.
  const auto fetch = [&](std::string& text) {
    auto r = Record(1000, "127.0.0.2");
    EXPECT_TRUE(r->OpenSocket());
    const TAlcFetch f = FetchAlcText(*r->Communicator, 1000, &cache, text);
    return std::make_pair(f, r->Communicator->CodeStamp);
  };
  const std::string path = cache.PathOf(1000, 1, static_cast<int32_t>(layout->AlcAddress),
                                        static_cast<int32_t>(layout->AlcSize));
  const auto zip = sim_->AlcZip(1000);
  const auto fileBytes = [&] {
    std::ifstream in(path, std::ios::binary);
    return std::vector<uint8_t>((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  };
  const auto patchFile = [&](size_t At, char Byte) {
    std::fstream f(path, std::ios::in | std::ios::out | std::ios::binary);
    f.seekp(static_cast<std::streamoff>(At));
    f.put(Byte);
  };
  ASSERT_GT(zip.size(), 256u);

  struct TStep {
    const char* Name;
    std::function<void()> Before;
    TAlcFetch Want;
    size_t ArchivePages;
  };
  const std::vector<TStep> steps = {
      {"empty cache", [] {}, TAlcFetch::Fetched, cold},
      {"warm cache", [] {}, TAlcFetch::FromCache, 1},
      {"damaged file (fails its CRC: not even compared)",
       [&] {
         for (size_t i = 0; i < 3; ++i) patchFile(zip.size() / 3 + i, '\x5A');
       },
       TAlcFetch::Fetched, cold},
      {"replaced file", [] {}, TAlcFetch::FromCache, 1},
      // Still a readable archive, but its first page is not the controller's:
      // fetched, the compared page not read twice.
      {"first page differs (member name)", [&] { patchFile(30, 'X'); }, TAlcFetch::Fetched, cold},
      {"replaced again", [] {}, TAlcFetch::FromCache, 1},
      {"truncated file", [&] { std::filesystem::resize_file(path, 10); }, TAlcFetch::Fetched, cold},
      {"unreadable name (a folder)",
       [&] {
         std::filesystem::remove(path);
         std::filesystem::create_directory(path);
       },
       TAlcFetch::Fetched, cold},
  };
  for (const TStep& s : steps) {
    SCOPED_TRACE(s.Name);
    s.Before();
    const size_t before = pages();
    std::string text;
    const auto [got, stamp] = fetch(text);
    EXPECT_EQ(got, s.Want);
    EXPECT_EQ(stamp, 1u);
    EXPECT_EQ(text, sim_->AlcText(1000));
    EXPECT_EQ(pages() - before, 2 + s.ArchivePages);
    if (got == TAlcFetch::FromCache) {
      // The proof: the page where the archive starts, from the archive's
      // first byte to the page's end.
      const json proof = Log(kCmdBlock).back();
      EXPECT_EQ(proof.at("page"), layout->AlcAddress / 256);
      EXPECT_EQ(proof.at("count"), 256);
    }
    if (std::filesystem::is_regular_file(path)) {
      EXPECT_EQ(fileBytes(), zip);
    }
  }
  std::filesystem::remove(path);

  // A new program stamp is another key: fetched again, and kept beside.
  ASSERT_TRUE(sim_->SetStamp(1000, 7));
  std::string text;
  EXPECT_EQ(fetch(text).first, TAlcFetch::Fetched);
  EXPECT_EQ(fetch(text), std::make_pair(TAlcFetch::FromCache, 7u));
  EXPECT_TRUE(std::filesystem::is_regular_file(
      cache.PathOf(1000, 7, static_cast<int32_t>(layout->AlcAddress), static_cast<int32_t>(layout->AlcSize))));

  // No answer to the proof's page is a failed transaction like any other:
  // neither the cached file nor a fetch stands in for it, and the file stays.
  const std::string path7 =
      cache.PathOf(1000, 7, static_cast<int32_t>(layout->AlcAddress), static_cast<int32_t>(layout->AlcSize));
  sim::TFaults silent;
  silent.SilentAfterRequests = sim_->Requests(1000) + 2;  // the header fields and the directory
  ASSERT_TRUE(sim_->SetFaults(1000, silent));
  {
    auto r = Record(1000, "127.0.0.2");
    SetTransport(*r, 50, 2);
    ASSERT_TRUE(r->OpenSocket());
    const size_t before = pages();
    EXPECT_EQ(FetchAlcText(*r->Communicator, 1000, &cache, text), TAlcFetch::NoAnswer);
    EXPECT_TRUE(text.empty());
    EXPECT_EQ(pages() - before, 2u + 2u);  // the proof's page, sent twice
    EXPECT_EQ(Log(kCmdBlock).back().at("page"), layout->AlcAddress / 256);
  }
  ASSERT_TRUE(sim_->SetFaults(1000, sim::TFaults{}));
  std::ifstream kept(path7, std::ios::binary);
  EXPECT_EQ(std::vector<uint8_t>((std::istreambuf_iterator<char>(kept)), std::istreambuf_iterator<char>()), zip);

  // Without a cache nothing is kept.
  const TAlcCache none("");
  auto r = Record(1000, "127.0.0.2");
  ASSERT_TRUE(r->OpenSocket());
  EXPECT_EQ(FetchAlcText(*r->Communicator, 1000, &none, text), TAlcFetch::Fetched);
  EXPECT_FALSE(none.Store(1000, 1, 0, 1, {1}));
}

// The fault this guards against: a new program keeps the stamp and an
// archive of the same size in the same place, so the cache's key cannot
// tell it from the old one. A write by the old file's addresses would land
// on another variable of a running machine.
TEST_F(Fleet, ANewProgramWithTheSameStampAndArchiveSizeIsNeverServedFromTheCache) {
  const auto program = [](const char* At200, const char* At202, int V200, int V202) {
    json vars = ClockVars();
    vars.push_back(Var(At200, "word", {{"address", 0x200}, {"value", V200}}));
    vars.push_back(Var(At202, "word", {{"address", 0x202}, {"value", V202}}));
    return json::array({Controller(1000, "127.0.0.2", {{"stamp", 5}, {"variables", vars}})});
  };
  const TAlcCache cache((Dir / "cache").string());
  TFleetOptions options;
  options.Cache = &cache;
  const auto run = [&](const std::vector<std::string>& Values) {
    Records.clear();
    MakeRecords({{1000, "127.0.0.2"}});
    options.Write = !Values.empty();
    auto jobs = Jobs({"fan_speed", "pump_speed"}, Values);
    std::vector<TFleetResult> results;
    const size_t before = Log(kCmdBlock).size();
    RunFleet(jobs, options, results);
    EXPECT_FALSE(results[0].GivenUp) << results[0].Error;
    return std::make_pair(results[0], Log(kCmdBlock).size() - before);
  };

  // The old program: fan_speed at 0x200, pump_speed at 0x202; read once,
  // which fills the cache.
  Start(program("fan_speed", "pump_speed", 1200, 40));
  const auto oldLayout = *sim_->Layout(1000);
  const auto oldZip = sim_->AlcZip(1000);
  const auto [first, coldPages] = run({});
  EXPECT_EQ(first.Entries[0].Text, "1200");
  const std::string path = cache.PathOf(1000, 5, static_cast<int32_t>(oldLayout.AlcAddress),
                                        static_cast<int32_t>(oldLayout.AlcSize));
  ASSERT_TRUE(std::filesystem::is_regular_file(path));

  // The new one: the two names swapped, same stamp; the archive has the
  // same place and the same size, so the cache's key is the same.
  Start(program("pump_speed", "fan_speed", 40, 1200));
  const auto layout = *sim_->Layout(1000);
  ASSERT_EQ(layout.AlcAddress, oldLayout.AlcAddress);
  ASSERT_EQ(layout.AlcSize, oldLayout.AlcSize);
  ASSERT_EQ(sim_->Stamp(1000), 5u);
  ASSERT_NE(sim_->AlcZip(1000), oldZip);

  const auto [write, writePages] = run({"1600", ""});
  EXPECT_EQ(write.Entries[0].Text, "1600");
  EXPECT_EQ(write.Entries[1].Text, "40");
  // The write went to fan_speed's new address, and only there.
  const auto writes = Log(kCmdWrite);
  ASSERT_EQ(writes.size(), 1u);
  EXPECT_EQ(writes[0].at("addresses"), json::array({0x202}));
  EXPECT_EQ(sim_->ReadVarMemory(1000, 0x200, 4), (std::vector<uint8_t>{40, 0, 0x40, 0x06}));
  EXPECT_EQ(sim_->ReadVarRaw(1000, "pump_speed"), 40u);
  EXPECT_EQ(sim_->ReadVarRaw(1000, "fan_speed"), 1600u);
  // Found stale at the cost of a fetch without a cache, and replaced.
  EXPECT_EQ(writePages, coldPages);
  std::ifstream in(path, std::ios::binary);
  EXPECT_EQ(std::vector<uint8_t>((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>()),
            sim_->AlcZip(1000));
  // And from then on served from it again.
  const auto [again, warmPages] = run({});
  EXPECT_EQ(again.Entries[0].Text, "1600");
  EXPECT_EQ(warmPages, coldPages - PagesOf(layout.AlcAddress, layout.AlcSize) + 1);
}

TEST_F(Fleet, AWarmCacheMakesAReadyControllerInSixRoundTrips) {
  Start(json::array({Controller(1000, "127.0.0.2", {{"variables", WordVars(50)}})}));
  const TAlcCache cache((Dir / "cache").string());
  TFleetOptions options;
  options.Cache = &cache;
  std::vector<size_t> trips;
  std::vector<std::string> lines;
  options.Stage = [&](const TTavex&, const std::string& Line) { lines.push_back(Line); };
  std::vector<int> warm;
  for (int run = 0; run < 2; ++run) {
    Records.clear();
    lines.clear();
    MakeRecords({{1000, "127.0.0.2"}});
    const size_t before = Log().size();
    auto jobs = Jobs(Entries(50));
    std::vector<TFleetResult> results;
    RunFleet(jobs, options, results);
    EXPECT_EQ(results[0].Entries[49].Text, "490");
    trips.push_back(Log().size() - before);
    if (run == 1) {
      const std::vector<json> log = Log();
      for (size_t i = before; i < log.size(); ++i) warm.push_back(log[i].at("command"));
    }
  }
  // Ping, header fields, directory, the archive's first page proving the
  // cached file, run state, read; the cold run reads all the archive's pages.
  EXPECT_EQ(trips[1], 6u);
  EXPECT_EQ(warm, (std::vector<int>{kCmdPing, kCmdBlock, kCmdBlock, kCmdBlock, kCmdStatus, kCmdRead}));
  EXPECT_GT(trips[0], trips[1]);
  const auto said = std::find_if(lines.begin(), lines.end(), [](const std::string& l) {
    return l.rfind("allocation file: from the cache (first page checked), ", 0) == 0;
  });
  EXPECT_NE(said, lines.end());
}

}  // namespace
}  // namespace tavex

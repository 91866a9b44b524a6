// The journal file on its own: records that come back as written, appends
// of several processes at once that never interleave, a journal that
// cannot be written, and a file damaged by a writer that died or by
// someone else's lines.
#include "plc/uJournal.h"

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

namespace tavex {
namespace {

namespace fs = std::filesystem;

class Journal : public ::testing::Test {
 protected:
  void SetUp() override {
    const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
    Dir = fs::temp_directory_path() / ("journal-" + std::to_string(getpid()) + "-" + info->name());
    fs::remove_all(Dir);
    fs::create_directories(Dir);
  }
  void TearDown() override { fs::remove_all(Dir); }

  static TJournalRecord Record(const std::string& Op, const std::string& Entry) {
    TJournalRecord r;
    JournalNow(r.Time, r.Offset);
    r.User = "anna";
    r.Host = "plant-pc";
    r.Program = "tavexctl";
    r.Version = "1.3.0";
    r.Op = Op;
    r.Adapter = "eth0";
    r.Nad = 1000;
    r.Ip = "127.0.0.2";
    r.Stamp = "0x1a2b3c4d";
    r.Entry = Entry;
    r.Before = "12.5";
    r.Written = "21.5";
    r.ReadBack = "21.5";
    r.Verdict = "written";
    return r;
  }
  std::string Slurp(const fs::path& P) const {
    std::ifstream in(P, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
  }

  fs::path Dir;
};

bool Same(const TJournalRecord& A, const TJournalRecord& B) {
  return A.Time == B.Time && A.Offset == B.Offset && A.User == B.User && A.Host == B.Host &&
         A.Program == B.Program && A.Version == B.Version && A.Op == B.Op && A.Adapter == B.Adapter &&
         A.Nad == B.Nad && A.Ip == B.Ip && A.Stamp == B.Stamp && A.Entry == B.Entry &&
         A.Before == B.Before && A.Written == B.Written && A.ReadBack == B.ReadBack &&
         A.Verdict == B.Verdict;
}

TEST_F(Journal, RecordsComeBackAsWritten) {
  const fs::path path = Dir / "state" / "tavex" / "journal";
  std::vector<TJournalRecord> batch;
  batch.push_back(Record("op-1", "setpoint"));
  // Unknown texts (null in the file), the clock, and texts that need
  // escaping: quotes, a line end, a controller's bytes that are no UTF-8.
  TJournalRecord r = Record("op-1", "speed[2]");
  r.Before = r.ReadBack = r.Stamp = r.Ip = r.Adapter = "";
  r.Nad = -1;
  r.Verdict = "not done";
  batch.push_back(r);
  r = Record("op-1", kJournalClockEntry);
  r.Before = "2026-12-06  09:05:03";
  r.Written = "2026-12-11  10:00:00";
  r.Verdict = "set, without the weekday";
  batch.push_back(r);
  r = Record("op-1", "name\"with\nline");
  r.Nad = 4294967295;
  r.ReadBack = "\xff\xfe";
  batch.push_back(r);
  std::string error;
  ASSERT_TRUE(AppendJournal(path, batch, error)) << error;
  ASSERT_TRUE(AppendJournal(path, {Record("op-2", "offset")}, error)) << error;

  // Private to the user: folder 0700, file 0600.
  struct stat st{};
  ASSERT_EQ(stat(path.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
  ASSERT_EQ(stat(path.parent_path().c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0700u);

  TJournalContents got;
  ASSERT_TRUE(ReadJournal(path, got, error)) << error;
  EXPECT_EQ(got.Skipped, 0u);
  ASSERT_EQ(got.Records.size(), 5u);
  for (size_t i = 0; i < 3; ++i) EXPECT_TRUE(Same(got.Records[i], batch[i])) << i;
  EXPECT_EQ(got.Records[3].Entry, "name\"with\nline");
  EXPECT_EQ(got.Records[3].Nad, 4294967295);
  EXPECT_NE(got.Records[3].ReadBack, "");  // replaced, not lost
  EXPECT_EQ(got.Records[4].Op, "op-2");
  // One line per record.
  const std::string text = Slurp(path);
  EXPECT_EQ(std::count(text.begin(), text.end(), '\n'), 5);
  // Keys as documented.
  EXPECT_NE(text.find("\"read_back\":null"), std::string::npos);
  EXPECT_NE(text.find("\"nad\":null"), std::string::npos);
}

// Several processes append at the same moment, each batch several records:
// every record arrives whole, and each batch stays together.
TEST_F(Journal, ConcurrentAppendsNeverInterleave) {
  const std::string path = (Dir / "journal").string();
  constexpr int kWriters = 8, kBatches = 25, kPerBatch = 6;
  std::vector<pid_t> children;
  for (int w = 0; w < kWriters; ++w) {
    const pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
      for (int b = 0; b < kBatches; ++b) {
        std::vector<TJournalRecord> batch;
        for (int k = 0; k < kPerBatch; ++k) {
          TJournalRecord r = Record("w" + std::to_string(w) + "-b" + std::to_string(b), "e" + std::to_string(k));
          r.Written = std::string(3000, static_cast<char>('a' + w));  // lines longer than a pipe's atomic write
          batch.push_back(r);
        }
        std::string error;
        if (!AppendJournal(path, batch, error)) _exit(1);
      }
      _exit(0);
    }
    children.push_back(pid);
  }
  for (const pid_t pid : children) {
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  }
  TJournalContents got;
  std::string error;
  ASSERT_TRUE(ReadJournal(path, got, error)) << error;
  EXPECT_EQ(got.Skipped, 0u);
  ASSERT_EQ(got.Records.size(), static_cast<size_t>(kWriters * kBatches * kPerBatch));
  for (size_t i = 0; i < got.Records.size(); i += kPerBatch)
    for (int k = 0; k < kPerBatch; ++k) {
      const TJournalRecord& r = got.Records[i + static_cast<size_t>(k)];
      EXPECT_EQ(r.Op, got.Records[i].Op) << "record " << i + static_cast<size_t>(k);
      EXPECT_EQ(r.Entry, "e" + std::to_string(k));
      EXPECT_EQ(r.Written, std::string(3000, r.Op[1] - '0' + 'a'));
    }
}

TEST_F(Journal, UnwritableJournalIsAnErrorNotACrash) {
  std::ofstream(Dir / "plain") << "a file";
  fs::create_directories(Dir / "folder");
  const struct {
    const char* Name;
    std::string Path;
  } cases[] = {
      {"under_a_file", (Dir / "plain" / "tavex" / "journal").string()},
      {"is_a_folder", (Dir / "folder").string()},
      {"no_path", ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.Name);
    std::string error;
    EXPECT_FALSE(CheckJournal(c.Path, error));
    EXPECT_FALSE(error.empty());
    error.clear();
    EXPECT_FALSE(AppendJournal(c.Path, {Record("op", "x")}, error));
    EXPECT_FALSE(error.empty());
  }
  // A folder nobody may write into (root may write anywhere).
  if (geteuid() != 0) {
    fs::create_directories(Dir / "locked");
    fs::permissions(Dir / "locked", fs::perms::owner_read | fs::perms::owner_exec);
    std::string error;
    EXPECT_FALSE(AppendJournal((Dir / "locked" / "journal").string(), {Record("op", "x")}, error));
    EXPECT_NE(error.find("denied"), std::string::npos) << error;
    fs::permissions(Dir / "locked", fs::perms::owner_all);
  }
  // Reading a folder as the journal fails; a journal not yet there is empty.
  TJournalContents got;
  std::string error;
  EXPECT_TRUE(ReadJournal((Dir / "none").string(), got, error));
  EXPECT_TRUE(got.Records.empty());
}

// What a writer that died, another program or a damaged disk leaves: each
// such line is skipped and counted, the records around it are kept, and
// the next append starts on a line of its own.
TEST_F(Journal, DamagedLinesAreSkippedAndCounted) {
  const fs::path path = Dir / "journal";
  const std::string good = JournalLine(Record("op-1", "setpoint"));
  const std::string torn = good.substr(0, good.size() / 2);
  {
    std::ofstream out(path, std::ios::binary);
    out << good << "\n"
        << "not json at all\n"
        << "[1,2,3]\n"
        << "{\"time\":\"2026-12-11T10:00:00.000Z\",\"op\":\"x\"}\n"                   // no entry
        << "{\"time\":\"yesterday\",\"op\":\"x\",\"entry\":\"a\"}\n"                  // no record time
        << "{\"time\":\"2026-12-11T10:00:00.000Z\",\"op\":\"x\",\"entry\":\"a\",\"nad\":\"1\"}\n"  // nad text
        << "\n"
        << std::string(kMaxJournalLine + 10, 'x') << "\n"
        << good << "\n"
        << torn;  // no line end: the writer died
  }
  TJournalContents got;
  std::string error;
  ASSERT_TRUE(ReadJournal(path, got, error)) << error;
  EXPECT_EQ(got.Records.size(), 2u);
  EXPECT_EQ(got.Skipped, 7u);

  ASSERT_TRUE(AppendJournal(path, {Record("op-2", "speed")}, error)) << error;
  ASSERT_TRUE(ReadJournal(path, got, error)) << error;
  ASSERT_EQ(got.Records.size(), 3u);
  EXPECT_EQ(got.Records.back().Op, "op-2");
  EXPECT_EQ(got.Skipped, 7u);  // the torn line is still one line, and ours is whole
}

TEST(JournalTimes, UserTimes) {
  // Times with a zone are exact; each is compared with the same instant in UTC.
  int64_t utc = 0;
  ASSERT_TRUE(JournalTimeMs("2026-12-11T10:00:00.000Z", utc));
  const struct {
    const char* Text;
    bool EndOfDay;
    bool Ok;
    int64_t FromUtcMs;  // expected minus utc
  } cases[] = {
      {"2026-12-11T10:00Z", false, true, 0},
      {"2026-12-11T10:00:30Z", false, true, 30000},
      {"2026-12-11 10:00+01:00", false, true, -3600000},
      {"2026-12-11T10:00-0530", false, true, 19800000},
      {"2026-12-11T10:00+02", false, true, -7200000},
      {"2026-12-11Z", false, true, -36000000},
      {"2026-12-11Z", true, true, 50400000},  // the end of the day
      {"2026-02-30", false, false, 0},
      {"2026-12-11T24:00Z", false, false, 0},
      {"2026-12-11T10", false, false, 0},
      {"11.12.2026", false, false, 0},
      {"2026-12-11T10:00Zjunk", false, false, 0},
      {"", false, false, 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.Text);
    int64_t ms = 0;
    EXPECT_EQ(ParseUserTime(c.Text, c.EndOfDay, ms), c.Ok);
    if (c.Ok) {
      EXPECT_EQ(ms - utc, c.FromUtcMs);
    }
  }
  // Without a zone: local time, as the table shows it.
  setenv("TZ", "UTC-1", 1);  // one hour east of UTC, no summer time
  tzset();
  int64_t ms = 0;
  ASSERT_TRUE(ParseUserTime("2026-12-11T11:00", false, ms));
  EXPECT_EQ(ms, utc);
  EXPECT_EQ(LocalTimeText(utc), "2026-12-11 11:00:00");
  std::string time, offset;
  JournalNow(time, offset);
  EXPECT_EQ(offset, "+01:00");
  unsetenv("TZ");
  tzset();

  for (const char* bad : {"2026-12-11T10:00:00", "2026-13-01T00:00:00Z", "2026-12-11T10:00:00.Z"}) {
    int64_t x = 0;
    EXPECT_FALSE(JournalTimeMs(bad, x)) << bad;
  }
}

TEST(JournalPlace, FromTheEnvironment) {
  const struct {
    const char* Name;
    const char* Own;
    const char* State;
    const char* Home;
    std::string Path;
  } cases[] = {
      {"own_wins", "/x/j.jsonl", "/state", "/home/a", "/x/j.jsonl"},
      {"state_folder", "", "/state", "/home/a", "/state/tavex/journal"},
      {"relative_state_ignored", nullptr, "state", "/home/a", "/home/a/.local/state/tavex/journal"},
      {"home", nullptr, nullptr, "/home/a", "/home/a/.local/state/tavex/journal"},
      {"nothing", nullptr, nullptr, nullptr, ""},
  };
  const auto set = [](const char* Name, const char* Value) {
    if (Value != nullptr) setenv(Name, Value, 1);
    else unsetenv(Name);
  };
  const std::string home = std::getenv("HOME") != nullptr ? std::getenv("HOME") : "";
  for (const auto& c : cases) {
    SCOPED_TRACE(c.Name);
    set("TAVEX_JOURNAL", c.Own);
    set("XDG_STATE_HOME", c.State);
    set("HOME", c.Home);
    EXPECT_EQ(JournalPath(), c.Path);
  }
  unsetenv("TAVEX_JOURNAL");
  unsetenv("XDG_STATE_HOME");
  setenv("HOME", home.c_str(), 1);
}

TEST(JournalIds, DifferPerRun) {
  std::map<std::string, int> seen;
  for (int i = 0; i < 50; ++i) ++seen[NewOperationId()];
  EXPECT_GT(seen.size(), 40u);  // a random part, not only time and process
  EXPECT_LE(seen.begin()->first.size(), 32u);
}

}  // namespace
}  // namespace tavex

// tavexctl's text helpers: CSV read and written, tables, terminal-safe texts,
// small files, the order of output rows.
#include <gtest/gtest.h>

#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "cli/uCliOutput.h"
#include "cli/uRowOrder.h"

namespace tavex {
namespace {

using Records = std::vector<std::vector<std::string>>;

struct TCsvCase {
  const char* Name;
  std::string Text;
  Records Want;
};

class CsvParse : public ::testing::TestWithParam<TCsvCase> {};

TEST_P(CsvParse, GivesTheRecords) {
  Records got;
  std::string error;
  ASSERT_TRUE(ParseCsv(GetParam().Text, got, error)) << error;
  EXPECT_EQ(got, GetParam().Want);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, CsvParse,
    ::testing::Values(
        TCsvCase{"plain", "nad,entry,value\n1000,speed,12\n", {{"nad", "entry", "value"}, {"1000", "speed", "12"}}},
        TCsvCase{"crlf_and_no_final_newline", "1,a,2\r\n3,b,4", {{"1", "a", "2"}, {"3", "b", "4"}}},
        TCsvCase{"lone_cr", "1,a,2\r3,b,4\r", {{"1", "a", "2"}, {"3", "b", "4"}}},
        TCsvCase{"quoted_comma_and_doubled_quote", "1,\"a[2]\",\"x, \"\"y\"\"\"\n",
                 {{"1", "a[2]", "x, \"y\""}}},
        TCsvCase{"quoted_line_break_stays", "1,a,\"two\nlines\"\n2,b,c\n", {{"1", "a", "two\nlines"}, {"2", "b", "c"}}},
        TCsvCase{"blanks_trimmed_outside_quotes_only", " 1 , a ,\" v \" \n", {{"1", "a", " v "}}},
        TCsvCase{"blank_lines_skipped", "\n  \n1,a,2\n\r\n", {{"1", "a", "2"}}},
        TCsvCase{"empty_fields", "1,a,\n,,\n", {{"1", "a", ""}, {"", "", ""}}},
        TCsvCase{"empty_text", "", {}}),
    [](const auto& Info) { return std::string(Info.param.Name); });

TEST(CsvParseErrors, NameTheLineAndKeepWithinBounds) {
  struct TCase {
    std::string Text;
    std::string Want;
  };
  const std::vector<TCase> cases = {
      {"1,a,2\n3,b,\"open\n\n", "quote opened on line 2 is never closed"},
      {"1,a,\"x\"y\n", "line 1 has text after a closing quote"},
      {"1,a,2\n1,a,x\"y\n", "line 2 has a quote inside an unquoted field"},
      {"1\n2\n3\n", "more than 2 rows"},
      {"1,2,3,4,5\n", "line 1 has more than 4 fields"},
  };
  for (const auto& c : cases) {
    Records got;
    std::string error;
    EXPECT_FALSE(ParseCsv(c.Text, got, error, nullptr, 2, 4)) << c.Text;
    EXPECT_NE(error.find(c.Want), std::string::npos) << error;
  }
}

TEST(CsvParse, ReportsTheLineEachRecordStartsOn) {
  Records got;
  std::vector<size_t> lines;
  std::string error;
  ASSERT_TRUE(ParseCsv("a\n\n\"b\nc\",d\ne\n", got, error, &lines));
  EXPECT_EQ(lines, (std::vector<size_t>{1, 3, 5}));
}

TEST(CsvWrite, QuotesWhatNeedsItAndReadsBackTheSame) {
  EXPECT_EQ(CsvField("plain"), "plain");
  EXPECT_EQ(CsvField("2026-12-06  09:05:03"), "2026-12-06  09:05:03");
  EXPECT_EQ(CsvField("a,b"), "\"a,b\"");
  EXPECT_EQ(CsvField("say \"hi\""), "\"say \"\"hi\"\"\"");
  EXPECT_EQ(CsvField(" lead"), "\" lead\"");
  const TTextTable t{{"nad", "entry", "value"},
                     {{"1000", "a[1]", "x, \"y\""}, {"1001", "b", " two\r\nlines "}, {"1002"}}};
  Records back;
  std::string error;
  ASSERT_TRUE(ParseCsv(FormatCsv(t), back, error)) << error;
  ASSERT_EQ(back.size(), 4u);
  EXPECT_EQ(back[1], t.Rows[0]);
  EXPECT_EQ(back[2], t.Rows[1]);
  EXPECT_EQ(back[3], (std::vector<std::string>{"1002", "", ""}));  // a short row is padded
}

TEST(Table, AlignsColumnsByCharactersAndNeutralisesControls) {
  const TTextTable t{{"NAD", "Comment", "X"},
                     {{"1000", "Temp \xC2\xB0" "C", "1"}, {"4294967294", "evil\x1B]0;title\x07", ""}}};
  EXPECT_EQ(FormatTable(t),
            "NAD         Comment         X\n"
            "1000        Temp \xC2\xB0" "C         1\n"
            "4294967294  evil?]0;title?\n");
  EXPECT_EQ(TerminalSafe("a\xC2\x9B" "b\x7F"), "a?b?");  // C1 CSI and DEL
}

TEST(SmallFile, RefusesWhatItCannotReadWhole) {
  const auto dir = std::filesystem::temp_directory_path() / ("cli-file-" + std::to_string(getpid()));
  std::filesystem::create_directories(dir);
  const auto path = (dir / "f.txt").string();
  std::ofstream(path) << std::string(100, 'x');
  std::string text, error;
  EXPECT_TRUE(ReadSmallFile(path, 100, text, error));
  EXPECT_EQ(text.size(), 100u);
  EXPECT_FALSE(ReadSmallFile(path, 99, text, error));
  EXPECT_NE(error.find("larger than"), std::string::npos);
  EXPECT_FALSE(ReadSmallFile(dir.string(), 1000, text, error));
  EXPECT_NE(error.find("not a regular file"), std::string::npos);
  EXPECT_FALSE(ReadSmallFile((dir / "missing").string(), 1000, text, error));
  EXPECT_NE(error.find("no such file"), std::string::npos);
  std::filesystem::remove_all(dir);
}

// Served controllers and those asked for but not served, in one order: by
// NAD, then address by number; unknown NADs last, by address.
TEST(RowOrder, ByNadThenAddressWithUnknownNadsLast) {
  const std::vector<TRowKey> keys = {
      {true, 1002, "127.0.0.4"},    // 0 served
      {true, 1000, "127.0.0.10"},   // 1 served
      {true, 1000, "127.0.0.9"},    // 2 served, the same NAD at a lower address
      {false, 0, "127.0.0.20"},     // 3 asked by address, nobody answered
      {true, 1001, ""},             // 4 asked by NAD only
      {false, 0, "127.0.0.3:9000"}, // 5
      {true, 4294967295u, "127.0.0.5"},  // 6 the largest NAD
      {false, 0, "127.0.0.3"},      // 7
      {true, 1002, "127.0.0.4"},    // 8 equal to 0: keeps its place after it
  };
  EXPECT_EQ(RowOrder(keys), (std::vector<size_t>{2, 1, 4, 0, 8, 6, 7, 5, 3}));
  EXPECT_TRUE(RowOrder({}).empty());
}

}  // namespace
}  // namespace tavex

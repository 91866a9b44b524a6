// tavexctl's input files: the CSV reader that the value file and the hosts
// file share, the entry syntax, and the configuration file's warnings.
#include <gtest/gtest.h>

#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <tuple>
#include <vector>

#include "cli/uCliInputs.h"
#include "cli/uCliOutput.h"
#include "cli/uInventory.h"

namespace tavex {
namespace {

using Pairs = std::vector<std::tuple<uint32_t, std::string, std::string>>;  // nad, entry, value

Pairs Flat(const TFileValues& Values) {
  Pairs out;
  for (const auto& [nad, values] : Values)
    for (const auto& v : values) out.emplace_back(nad, v.Entry, v.Value);
  return out;
}

std::string Joined(const std::vector<std::string>& Lines) {
  std::string out;
  for (const auto& l : Lines) out += l + "\n";
  return out;
}

// Each value file: the values it gives and its warnings (fragments, one a
// warning, in order), or the usage error it is refused with.
TEST(ValueFile, ReadsWhatSpreadsheetsSaveAndNamesTheLineOfWhatIsWrong) {
  struct TCase {
    const char* Name;
    std::string Text;
    bool SkipUnknown;
    Pairs Want;
    std::vector<std::string> Warnings;  // fragments
    std::string Error;                  // fragment; empty: accepted
  };
  const std::vector<TCase> cases = {
      {"comma file with its header", "nad,entry,value\n1000,speed,5\n1001,setpoint,-2.5E-3\n", false,
       {{1000, "speed", "5"}, {1001, "setpoint", "-2.5E-3"}}, {}, ""},
      {"no header: comma", "1000,speed,5\n", false, {{1000, "speed", "5"}}, {}, ""},
      {"semicolon header, decimal comma", "nad;entry;value\n1000;setpoint;1,5\n1000;speed[1];$1F\n", false,
       {{1000, "setpoint", "1.5"}, {1000, "speed[1]", "$1F"}}, {}, ""},
      {"tab header, decimal comma, blanks trimmed", "nad\tentry\tvalue\n1000\t setpoint \t 2,25 \n", false,
       {{1000, "setpoint", "2.25"}}, {}, ""},
      {"a tab file keeps an empty field as a field", "nad\tentry\tvalue\n1000\t\t5\n", false, {}, {},
       "Line 2 of \"v.csv\" has no entry name."},
      {"byte order mark, CR LF, header in any case and quoted",
       "\xEF\xBB\xBF\"NAD\",Entry, VALUE \r\n1000,speed[1],7\r\n", false, {{1000, "speed[1]", "7"}}, {}, ""},
      {"comments and blank lines, before the header too",
       "# saved on Monday\n\n  nad,entry,value\n  # pumps\n1000,speed,5\n\n\n", false, {{1000, "speed", "5"}}, {}, ""},
      {"trailing empty fields and rows of empty fields", "nad,entry,value,,\n1000,speed,5,,\n,,,\n,\n", false,
       {{1000, "speed", "5"}}, {}, ""},
      {"extra columns: one warning for the file", "nad,entry,value\n1000,speed,5,old\n1000,offset,3,x,y\n", false,
       {{1000, "speed", "5"}, {1000, "offset", "3"}},
       {"Line 2 of \"v.csv\" has more fields than nad,entry,value; the fields after them are ignored"}, ""},
      {"a decimal comma in a comma file stays an error", "1000,setpoint,\"1,5\"\n", false, {}, {},
       "Line 1 of \"v.csv\": \"1,5\" for setpoint is not a number"},
      {"a thousands mark is no decimal comma", "nad;entry;value\n1000;hours;1.234,5\n", false, {}, {},
       "\"1.234,5\" for hours is not a number"},
      {"quotes as RFC 4180", "1000,\"my, \"\"var\"\"\",\"5\"\n1001,x,2\n", false,
       {{1000, "my, \"var\"", "5"}, {1001, "x", "2"}}, {}, ""},
      {"a line break inside a quoted entry", "1000,\"two\nlines\",1\n", false, {}, {},
       "Line 1 of \"v.csv\": \"two?lines\" is not an entry: it holds a control character."},
      {"whole names are entries", "1000,relay[-1],1\n1000,my var,2\n1000,speed[x],3\n", false,
       {{1000, "relay[-1]", "1"}, {1000, "my var", "2"}, {1000, "speed[x]", "3"}}, {}, ""},
      {"a repeated row: a warning, left out", "1000,speed,5\n1001,speed,5\n1000,speed[0],5\n", false,
       {{1000, "speed", "5"}, {1001, "speed", "5"}},
       {"Line 3 of \"v.csv\" repeats line 1 (controller 1000, speed[0] = 5); it is left out."}, ""},
      {"two values for one element, however spelt", "1000,recipe[3],1\n# x\n1000,recipe[ $3],2\n", false, {}, {},
       "Lines 1 and 3 of \"v.csv\" both give a value for recipe[ $3] of controller 1000."},
      {"\"?\" refused, naming --skip-unknown", "nad,entry,value\n1000,speed,5\n1000,nosuch,?\n", false, {}, {},
       "Line 3 of \"v.csv\": the value of nosuch is \"?\" (it could not be read when it was saved); give it a "
       "value, or use --skip-unknown to leave out such rows and restore the others."},
      {"\"?\" left out with --skip-unknown, named in one warning",
       "nad,entry,value\n1000,speed,5\n1000,nosuch,?\n1001,speed[1],?\n", true, {{1000, "speed", "5"}},
       {"Left out 2 rows of \"v.csv\" whose value is \"?\" (not read when saved): controller 1000 nosuch (line 3), "
        "controller 1001 speed[1] (line 4)."},
       ""},
      {"nothing but \"?\"", "1000,speed,?\n", true, {}, {}, "\"v.csv\" holds no values but \"?\"."},
      {"no rows", "nad,entry,value\n# nothing yet\n", false, {}, {}, "\"v.csv\" holds no values."},
      {"a quote never closed", "1000,a,1\n1000,b,\"2\n", false, {}, {},
       "Cannot read \"v.csv\": the quote opened on line 2 is never closed."},
      {"a short row", "nad,entry,value\n1000,speed\n", false, {}, {},
       "Line 2 of \"v.csv\" has 2 fields; each row needs nad,entry,value."},
      {"lines counted from 1, comments included", "# c\n\nx,speed,1\n", false, {}, {},
       "Line 3 of \"v.csv\": \"x\" is not a NAD."},
      {"a semicolon file without its header is read by commas", "1000;speed;5\n", false, {}, {},
       "Line 1 of \"v.csv\" has 1 field; each row needs nad,entry,value."},
      {"a control character in an entry", "1000,\"a\tb\",1\n", false, {}, {},
       "Line 1 of \"v.csv\": \"a?b\" is not an entry: it holds a control character."},
      {"an empty value", "1000,speed,\n", false, {}, {}, "Line 1 of \"v.csv\" has no value for speed."},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.Name);
    try {
      const TValueFile f = ParseValueFile(c.Text, "v.csv", c.SkipUnknown);
      EXPECT_TRUE(c.Error.empty()) << "accepted; expected: " << c.Error;
      EXPECT_EQ(Flat(f.Values), c.Want);
      ASSERT_EQ(f.Warnings.size(), c.Warnings.size()) << Joined(f.Warnings);
      for (size_t i = 0; i < c.Warnings.size(); ++i)
        EXPECT_NE(f.Warnings[i].find(c.Warnings[i]), std::string::npos) << f.Warnings[i];
    } catch (const TUsageError& e) {
      EXPECT_FALSE(c.Error.empty()) << "refused: " << e.Sentence;
      EXPECT_NE(e.Sentence.find(c.Error), std::string::npos) << e.Sentence;
    }
  }
}

TEST(ValueFile, SizesAreBounded) {
  std::string many;
  for (int i = 0; i <= 100000; ++i) many += "1000,speed,5\n";
  try {
    ParseValueFile(many, "big.csv");
    ADD_FAILURE() << "accepted";
  } catch (const TUsageError& e) {
    EXPECT_EQ(e.Sentence, "Cannot read \"big.csv\": it has more than 100000 rows.");
  }
  try {
    ParseValueFile("1000,speed," + std::string(70, ',') + "5\n", "wide.csv");
    ADD_FAILURE() << "accepted";
  } catch (const TUsageError& e) {
    EXPECT_NE(e.Sentence.find("line 1 has more than 64 fields"), std::string::npos) << e.Sentence;
  }
  // A thousand repeats: ten named, the rest counted.
  std::string repeats = "1000,speed,5\n";
  for (int i = 0; i < 1000; ++i) repeats += "1000,speed,5\n";
  const TValueFile f = ParseValueFile(repeats, "r.csv");
  ASSERT_EQ(f.Warnings.size(), 11u);
  EXPECT_EQ(f.Warnings.back(), "990 more rows of \"r.csv\" repeat an earlier one and are left out.");
}

// The hosts file: the same reader, its own checks.
TEST(Inventory, ReadsTheSameWayAndKeepsOneNadAtTwoAddresses) {
  struct TCase {
    const char* Name;
    std::string Text;
    std::vector<std::pair<uint32_t, std::string>> Want;
    std::vector<std::string> Warnings;  // fragments
    std::string Error;
  };
  const std::vector<TCase> cases = {
      {"header, CR LF, port", "nad,ip\r\n1000,127.0.0.2\r\n1001,127.0.0.3:9000\r\n",
       {{1000, "127.0.0.2"}, {1001, "127.0.0.3:9000"}}, {}, ""},
      {"no header, comments, trailing fields", "# hall 2\n1000,127.0.0.2,,\n\n", {{1000, "127.0.0.2"}}, {}, ""},
      {"semicolon and tab headers", "NAD;IP\n1000;127.0.0.2\n", {{1000, "127.0.0.2"}}, {}, ""},
      {"tab header", "\xEF\xBB\xBFnad\tip\n1000\t127.0.0.2\n", {{1000, "127.0.0.2"}}, {}, ""},
      {"extra column", "nad,ip\n1000,127.0.0.2,pump\n", {{1000, "127.0.0.2"}},
       {"Line 2 of \"h.csv\" has more fields than nad,ip"}, ""},
      {"one NAD at two addresses: both kept", "nad,ip\n1000,127.0.0.2\n1001,127.0.0.4\n1000,127.0.0.3\n",
       {{1000, "127.0.0.2"}, {1001, "127.0.0.4"}, {1000, "127.0.0.3"}},
       {"Lines 2 and 4 of \"h.csv\" list controller 1000 at 2 addresses (127.0.0.2, 127.0.0.3); each of them is "
        "pinged."},
       ""},
      {"a repeated row: left out", "1000,127.0.0.2\n1000,127.0.0.2\n", {{1000, "127.0.0.2"}},
       {"Line 2 of \"h.csv\" repeats line 1 (controller 1000 at 127.0.0.2); it is left out."}, ""},
      {"one address, two NADs", "nad,ip\n1000,127.0.0.2\n\n1001,127.0.0.2\n", {}, {},
       "Lines 2 and 4 of \"h.csv\" list the address 127.0.0.2 for controllers 1000 and 1001."},
      {"a short row", "nad,ip\n1000\n", {}, {}, "Line 2 of \"h.csv\" has 1 field; each row needs nad,ip."},
      {"a bad address", "1000,127.0.0.0.1\n", {}, {}, "Line 1 of \"h.csv\": \"127.0.0.0.1\" is not an address"},
      {"a bad NAD", "nad,ip\n-1,127.0.0.2\n", {}, {}, "Line 2 of \"h.csv\": \"-1\" is not a NAD."},
      {"nothing listed", "nad,ip\n", {}, {}, "\"h.csv\" lists no controller."},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.Name);
    try {
      const TInventory inv = ParseInventory(c.Text, "h.csv");
      EXPECT_TRUE(c.Error.empty()) << "accepted; expected: " << c.Error;
      std::vector<std::pair<uint32_t, std::string>> got;
      for (const auto& h : inv.Hosts) got.emplace_back(h.Nad, h.Address);
      EXPECT_EQ(got, c.Want);
      ASSERT_EQ(inv.Warnings.size(), c.Warnings.size()) << Joined(inv.Warnings);
      for (size_t i = 0; i < c.Warnings.size(); ++i)
        EXPECT_NE(inv.Warnings[i].find(c.Warnings[i]), std::string::npos) << inv.Warnings[i];
    } catch (const TUsageError& e) {
      EXPECT_FALSE(c.Error.empty()) << "refused: " << e.Sentence;
      EXPECT_NE(e.Sentence.find(c.Error), std::string::npos) << e.Sentence;
    }
  }
  std::string many = "nad,ip\n";
  for (int i = 0; i <= 4096; ++i) many += std::to_string(i) + ",127.0." + std::to_string(i / 250) + "." +
                                          std::to_string(i % 250 + 1) + "\n";
  EXPECT_THROW(ParseInventory(many, "h.csv"), TUsageError);
}

// What detect prints as CSV is read back as it was, whatever it holds.
TEST(Inventory, TakesBackWhatDetectPrints) {
  const TTextTable detect{{"nad", "ip"},
                          {{"0", "127.0.0.2"}, {"1000", "127.0.0.3"}, {"1000", "127.0.0.4"}, {"4294967295", "10.0.0.1"}}};
  const TInventory inv = ParseInventory(FormatCsv(detect), "site.csv");
  ASSERT_EQ(inv.Hosts.size(), detect.Rows.size());
  for (size_t i = 0; i < detect.Rows.size(); ++i) {
    EXPECT_EQ(std::to_string(inv.Hosts[i].Nad), detect.Rows[i][0]);
    EXPECT_EQ(inv.Hosts[i].Address, detect.Rows[i][1]);
  }
  EXPECT_EQ(inv.Warnings.size(), 1u);  // 1000 at two addresses
}

TEST(Entries, AnyTextNamesAnEntryAndTheSplitTellsTheElement) {
  struct TCase {
    std::string Text;
    std::string Problem;  // fragment; empty: an entry
  } cases[] = {
      {"speed", ""}, {"speed[3]", ""}, {"relay[-1]", ""}, {"my var", ""}, {"a=b", ""}, {" lead", ""},
      {"temp\xC2\xB0", ""}, {std::string(256, 'v'), ""},
      {"", "it is empty"}, {"   ", "it holds only blanks"}, {std::string(257, 'v'), "longer than 256"},
      {"a\tb", "control character"}, {"a\nb", "control character"}, {"a\x7F", "control character"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.Text);
    const std::string problem = EntryTextProblem(c.Text);
    if (c.Problem.empty())
      EXPECT_EQ(problem, "");
    else
      EXPECT_NE(problem.find(c.Problem), std::string::npos) << problem;
  }
  // One element, however it is spelt; a whole name is its own.
  for (const char* same : {"recipe[3]", "recipe[ 3]", "recipe[$3]", "recipe[+3]", "recipe[03]"})
    EXPECT_EQ(EntryKey(same), EntryKey("recipe[3]")) << same;
  EXPECT_EQ(EntryKey("speed"), EntryKey("speed[0]"));
  EXPECT_NE(EntryKey("relay[-1]"), EntryKey("relay"));
  EXPECT_NE(EntryKey("relay[-1]"), EntryKey("relay[1]"));
  EXPECT_NE(EntryKey("recipe[3]"), EntryKey("recipe[4]"));
  EXPECT_NE(EntryKey("my var"), EntryKey("my"));
}

TEST(ValueArgs, EntriesGivenTwiceAreFoundByTheSplit) {
  EXPECT_EQ(ParseValueArgs({"relay[-1]=1", "my var=2", "speed[x]=3"}).size(), 3u);
  try {
    ParseValueArgs({"recipe[3]=1", "recipe[$3]=2"});
    ADD_FAILURE() << "accepted";
  } catch (const TUsageError& e) {
    EXPECT_EQ(e.Sentence, "Arguments \"recipe[3]=1\" and \"recipe[$3]=2\" both give a value for recipe[$3].");
  }
  EXPECT_THROW(ParseValueArgs({"a\tb=1"}), TUsageError);
}

// The configuration file: what is passed over is a warning naming the file,
// the line and its text; the entries are the desktop tool's.
TEST(Ini, BadLinesAndEmptyEntriesAreWarnings) {
  const auto dir = std::filesystem::temp_directory_path() / ("cli-ini-" + std::to_string(getpid()));
  std::filesystem::create_directories(dir);
  const std::string path = (dir / "site.ini").string();
  std::ofstream(path) << "[General]\nPassword=pw\nstray text\n[Variables]\nVar0=setpoint\nVar1=\n"
                         "Var2=speed[1]\nVar3=\"a\tb\"\nVar4=my var\nVar6=hours\n";
  const TIniContents ini = LoadIni(path);
  EXPECT_EQ(ini.Password, "pw");
  // The desktop tool's entries: one that can name nothing is still one.
  EXPECT_EQ(ini.Entries, (std::vector<std::string>{"setpoint", "speed[1]", "a\tb", "my var"}));
  const std::string q = "\"" + path + "\"";
  EXPECT_EQ(ini.Warnings,
            (std::vector<std::string>{
                "Line 3 of " + q + " is no setting (\"stray text\"): neither [SECTION] nor KEY=VALUE; it is ignored.",
                "Line 6 of " + q + ": Var1 is empty; it is skipped, and the entries after it are read.",
                "Line 10 of " + q +
                    ": Var6 in [Variables] is not read: the entries are Var0, Var1, ... up to the first missing "
                    "number (Var5).",
            }));
  std::filesystem::remove_all(dir);
  EXPECT_THROW(LoadIni(path), TUsageError);
}

TEST(CsvParse, TabsCommentsAndTheOldSignature) {
  std::vector<std::vector<std::string>> got;
  std::string error;
  TCsvSyntax tab;
  tab.Separator = '\t';
  tab.Comments = true;
  ASSERT_TRUE(ParseCsv("a\t\tb \n # c\n\t\n\"x\ty\"\t#z\n", got, error, nullptr, tab)) << error;
  EXPECT_EQ(got, (std::vector<std::vector<std::string>>{{"a", "", "b"}, {"x\ty", "#z"}}));
  // Without comments a '#' line is a record.
  ASSERT_TRUE(ParseCsv("#a,b\n", got, error));
  EXPECT_EQ(got, (std::vector<std::vector<std::string>>{{"#a", "b"}}));
}

// The help of the three files fits a terminal of 80 columns and shows each.
TEST(FormatsHelp, NamesEachFileWithinEightyColumns) {
  const std::string help = FormatsHelp();
  std::istringstream in(help);
  for (std::string line; std::getline(in, line);) {
    EXPECT_LE(line.size(), 79u) << line;
    EXPECT_EQ(line.find('\t'), std::string::npos) << line;
  }
  for (const char* f : {"Value file: write --from FILE", "Hosts file: --hosts FILE", "Configuration file: --ini FILE",
                        "nad;entry;value", "nad,ip", "[Variables]", "--skip-unknown"})
    EXPECT_NE(help.find(f), std::string::npos) << f;
}

}  // namespace
}  // namespace tavex

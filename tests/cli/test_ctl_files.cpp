// tavexctl's input files and entry syntax, as a process against the
// simulator: the value file, the hosts file and the configuration file as
// spreadsheets and editors leave them, standard input, and entries that
// name nothing.
#include "tests/cli/CtlFixture.h"

namespace tavex {
namespace {

using namespace ctltest;

// tavexctl with Stdin's text on its standard input.
TRun WithStdin(const std::string& StdinFile, const std::vector<std::string>& Args) {
  std::vector<std::string> argv = {"/bin/sh", "-c", "f=$1; shift; exec \"$@\" < \"$f\"", "sh", StdinFile,
                                   TAVEXCTL_EXE, "--adapter", "lo", "--listen", "200"};
  argv.insert(argv.end(), Args.begin(), Args.end());
  return RunProgram(argv);
}

// Each case: the files it reads, the exit status, fragments of stderr (each
// must be there; none when empty), and what was written per NAD.
TEST_F(Tavexctl, InputFilesAreReadAsSavedAndWhatIsPassedOverIsSaid) {
  StartSim(json::array({Controller(1000, "127.0.0.2"), Controller(1001, "127.0.0.3")}));
  const std::string site = WriteFile("site.csv", "nad,ip\n1000,127.0.0.2\n1001,127.0.0.3\n");
  const std::string tab =
      WriteFile("tab.csv", "nad\tentry\tvalue\r\n# restore\r\n1000\tsetpoint\t21,5\t\t\r\n1001\tspeed[1]\t7\r\n");
  const std::string extra =
      WriteFile("extra.csv", "nad,entry,value,note\n1000,speed[1],5,old\n\n1000,speed[1],5\n");
  const std::string conflict = WriteFile("conflict.csv", "1000,speed[1],5\n1000,speed[ 1],6\n");
  const std::string unknown = WriteFile("unknown.csv", "nad,entry,value\n1000,speed[1],9\n1000,nosuch,?\n");
  const std::string hostsBoth = WriteFile("both.csv", "nad;ip\n1000;127.0.0.2\n1001;127.0.0.2\n");
  const std::string values = WriteFile("values-in.csv", "nad;entry;value\n1001;setpoint;-0,25\n");
  const std::string hostsIn = WriteFile("hosts-in.csv", "# one\nnad,ip\n1000,127.0.0.2,,\n");
  const std::string iniBad = WriteFile("bad.ini",
                                       "[General]\nstray text\n[Variables]\nVar0=setpoint\nVar1=\nVar2=speed[1]\n");
  const std::string iniNone = WriteFile("none.ini", "[General]\nPassword=\n");
  struct TCase {
    std::vector<std::string> Args;
    std::string Stdin;  // a file for standard input, or none
    int Status;
    std::vector<std::string> Err;  // fragments
    std::map<uint64_t, std::vector<std::vector<std::string>>> Written;
  };
  const std::vector<TCase> cases = {
      // A tab file with CR LF, a comment, a decimal comma, trailing empty fields.
      {{"--hosts", site, "write", "--from", tab}, "", 0, {}, {{1000, {{"setpoint"}}}, {1001, {{"speed[1]"}}}}},
      // An extra column and a repeated row: warnings, then the write.
      {{"--hosts", site, "write", "--from", extra}, "", 0,
       {"tavexctl: warning: Line 2 of \"" + extra + "\" has more fields than nad,entry,value",
        "tavexctl: warning: Line 4 of \"" + extra +
            "\" repeats line 2 (controller 1000, speed[1] = 5); it is left out.\n"},
       {{1000, {{"speed[1]"}}}}},
      {{"--hosts", site, "write", "--from", conflict}, "", 2,
       {"tavexctl: Lines 1 and 2 of \"" + conflict + "\" both give a value for speed[ 1] of controller 1000.\n"}, {}},
      {{"--hosts", site, "write", "--from", unknown}, "", 2,
       {"Line 3 of \"" + unknown + "\": the value of nosuch is \"?\"", "use --skip-unknown to leave out such rows"},
       {}},
      {{"--hosts", site, "write", "--from", unknown, "--skip-unknown"}, "", 0,
       {"tavexctl: warning: Left out 1 row of \"" + unknown +
        "\" whose value is \"?\" (not read when saved): controller 1000 nosuch (line 3).\n"},
       {{1000, {{"speed[1]"}}}}},
      // Standard input for either file; not for both.
      {{"--hosts", site, "write", "--from", "-"}, values, 0, {}, {{1001, {{"setpoint"}}}}},
      {{"--hosts", "-", "read", "speed[1]"}, hostsIn, 0, {}, {}},
      {{"--hosts", "-", "write", "--from", "-"}, values, 2,
       {"tavexctl: --from - and --hosts - cannot both read standard input"}, {}},
      {{"--hosts", hostsBoth, "read", "speed[1]"}, "", 2,
       {"tavexctl: Lines 2 and 3 of \"" + hostsBoth +
        "\" list the address 127.0.0.2 for controllers 1000 and 1001.\n"},
       {}},
      // Entries that name nothing are no usage error: the controller says so.
      {{"--nad", "1000", "write", "relay[-1]=1", "speed[x]=5", "my var=2"}, "", 1,
       {"Controller 1000 at 127.0.0.2: relay[-1] names no variable; speed[x] names no variable; my var names no "
        "variable; nothing was written to it.\n"},
       {}},
      {{"--nad", "1000", "read", "relay[-1]", "my var", "speed[ 1]"}, "", 1,
       {"Controller 1000 at 127.0.0.2: no value for relay[-1], my var (unknown entry).\n"}, {}},
      {{"--nad", "1000", "write", "recipe[3]=1", "recipe[$3]=2"}, "", 2,
       {"tavexctl: Arguments \"recipe[3]=1\" and \"recipe[$3]=2\" both give a value for recipe[$3].\n"}, {}},
      {{"--nad", "1000", "write", "a\tb=1"}, "", 2,
       {"tavexctl: Argument \"a?b=1\": \"a?b\" is not an entry: it holds a control character.\n"}, {}},
      {{"--nad", "1000", "read", ""}, "", 2, {"tavexctl: \"\" is not an entry: it is empty"}, {}},
      // read needs entries from somewhere.
      {{"--nad", "1000", "read"}, "", 2,
       {"tavexctl: read has no entries: give ENTRY arguments, or Var0=... in [Variables] of the configuration file "
        "given by --ini (no configuration file was found).\n"},
       {}},
      {{"--ini", iniNone, "--nad", "1000", "read"}, "", 2, {"(\"" + iniNone + "\" has none).\n"}, {}},
      // A stray line and an empty entry of the configuration file: warnings.
      {{"--ini", iniBad, "--nad", "1000", "read"}, "", 0,
       {"tavexctl: warning: Line 2 of \"" + iniBad +
            "\" is no setting (\"stray text\"): neither [SECTION] nor KEY=VALUE; it is ignored.\n",
        "tavexctl: warning: Line 5 of \"" + iniBad +
            "\": Var1 is empty; it is skipped, and the entries after it are read.\n"},
       {}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(::testing::PrintToString(c.Args));
    const size_t w0 = Writes(1000).size(), w1 = Writes(1001).size();
    const TRun r = c.Stdin.empty() ? Ctl(c.Args) : WithStdin(c.Stdin, c.Args);
    EXPECT_EQ(r.Status, c.Status) << r.Err;
    if (c.Err.empty()) {
      EXPECT_EQ(r.Err, "");
    }
    for (const auto& f : c.Err) EXPECT_NE(r.Err.find(f), std::string::npos) << f << "\n---\n" << r.Err;
    if (c.Status == 2) {
      EXPECT_EQ(r.Out, "");
    }
    for (const auto& [nad, before] : {std::pair<uint64_t, size_t>{1000, w0}, {1001, w1}}) {
      const auto all = Writes(nad);
      const std::vector<std::vector<std::string>> fresh(all.begin() + static_cast<long>(before), all.end());
      const auto it = c.Written.find(nad);
      EXPECT_EQ(fresh, it == c.Written.end() ? std::vector<std::vector<std::string>>{} : it->second) << nad;
    }
  }
}

// The values arrive as meant: a decimal comma is the point, and what read
// --format rows saves goes back through standard input unchanged.
TEST_F(Tavexctl, ValuesFromSpreadsheetsAndStandardInputArriveAsMeant) {
  StartSim(json::array({Controller(1000, "127.0.0.2"), Controller(1001, "127.0.0.3")}));
  const std::string site = WriteFile("site.csv", "nad,ip\n1000,127.0.0.2\n1001,127.0.0.3\n");
  const std::string semi = WriteFile("semi.csv", "\xEF\xBB\xBFnad;entry;value\r\n1000;setpoint;21,5\r\n"
                                                 "1001;\"speed[$2]\";1200;;\r\n");
  TRun w = Ctl({"--hosts", site, "write", "--from", semi});
  ASSERT_EQ(w.Status, 0) << w.Err;
  TRun r = Json({"--hosts", site, "read", "setpoint", "speed[2]"});
  ASSERT_EQ(r.Status, 0) << r.Err;
  EXPECT_EQ(ControllerOf(r.J, 1000)->at("values"), (json{{"setpoint", 21.5}, {"speed[2]", 300}}));
  EXPECT_EQ(ControllerOf(r.J, 1001)->at("values"), (json{{"setpoint", 12.5}, {"speed[2]", 1200}}));

  // Saved, changed, restored from standard input.
  const std::vector<std::string> entries = {"setpoint", "speed[2]", "offset"};
  std::vector<std::string> read = {"--hosts", site, "--format", "rows", "read"};
  read.insert(read.end(), entries.begin(), entries.end());
  const TRun saved = Ctl(read);
  ASSERT_EQ(saved.Status, 0) << saved.Err;
  ASSERT_EQ(Ctl({"--hosts", site, "write", "--from", WriteFile("change.csv", "1000,offset,7\n1001,offset,8\n")}).Status,
            0);
  const TRun restored = WithStdin(WriteFile("saved.csv", saved.Out), {"--hosts", site, "write", "--from", "-"});
  EXPECT_EQ(restored.Status, 0) << restored.Err;
  EXPECT_EQ(Ctl(read).Out, saved.Out);
}

// What detect --format csv prints is taken back by --hosts, one NAD at two
// addresses included: both are pinged, and detect prints the same again.
TEST_F(Tavexctl, DetectCsvGoesBackIntoHostsWithOneNadAtTwoAddresses) {
  StartSim(json::array({Controller(1000, "127.0.0.2"), Controller(1000, "127.0.0.3"), Controller(1001, "127.0.0.4")}));
  const TRun detect = Ctl({"--format", "csv", "detect"});
  ASSERT_EQ(detect.Status, 0) << detect.Err;
  ASSERT_EQ(detect.Out, "nad,ip\n1000,127.0.0.2\n1000,127.0.0.3\n1001,127.0.0.4\n");
  const std::string hosts = WriteFile("site.csv", detect.Out);
  const TRun again = Ctl({"--hosts", hosts, "--format", "csv", "detect"});
  EXPECT_EQ(again.Status, 0) << again.Err;
  EXPECT_EQ(again.Out, detect.Out);
  EXPECT_NE(again.Err.find("tavexctl: warning: Lines 2 and 3 of \"" + hosts +
                           "\" list controller 1000 at 2 addresses (127.0.0.2, 127.0.0.3); each of them is pinged.\n"),
            std::string::npos)
      << again.Err;
}

// Entries that name nothing show "?" for the reason "unknown entry"; the
// element an entry names is the same however its index is spelt.
TEST_F(Tavexctl, EntriesThatNameNothingAreUnknownAtRunTime) {
  StartSim(json::array({Controller(1000, "127.0.0.2")}));
  const TRun r = Json({"--nad", "1000", "read", "relay[-1]", "my var", "speed[ 1]", "speed[$3]", "speed[+2]",
                       "speed[2147483647]", "speed[4]"});
  EXPECT_EQ(r.Status, 1);
  const json& c = r.J.at("controllers").at(0);
  EXPECT_EQ(c.at("values"), (json{{"relay[-1]", nullptr},
                                  {"my var", nullptr},
                                  {"speed[ 1]", 200},
                                  {"speed[$3]", 400},
                                  {"speed[+2]", 300},
                                  {"speed[2147483647]", nullptr},
                                  {"speed[4]", nullptr}}));
  EXPECT_EQ(c.at("reasons"), (json{{"relay[-1]", "unknown entry"},
                                   {"my var", "unknown entry"},
                                   {"speed[2147483647]", "unknown entry"},
                                   {"speed[4]", "unknown entry"}}));
}

}  // namespace
}  // namespace tavex

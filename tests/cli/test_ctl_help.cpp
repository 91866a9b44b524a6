// tavexctl's help: each command's help lists exactly the options the
// command takes, and an option it does not take is a usage error that
// names the command; help topics. Nothing here reaches a controller.
#include "CtlFixture.h"

namespace tavex {
namespace {

using namespace ctltest;

// Every option of the tool with a value it takes.
const std::vector<std::pair<std::string, std::string>> kAllOptions = {
    {"--adapter", "nosuch0"}, {"--direct", ""},     {"--password", "x"},      {"--ini", "x.ini"},
    {"--listen", "10"},    {"--host", "127.0.0.2"}, {"--hosts", "x.csv"},  {"--nad", "1"},
    {"--jobs", "2"},       {"--timeout", "10"},  {"--retries", "1"},       {"--no-cache", ""},
    {"--format", "json"},  {"--from", "x.csv"},  {"--all", ""},            {"--skip-unknown", ""},
    {"--dry-run", ""},     {"--sync-clock", ""}, {"--sync", ""},           {"--utc", ""},
    {"--changed-only", ""},
    {"--quiet", ""},       {"--verbose", ""},    {"--trace", ""},          {"--no-journal", ""},
    {"--require-journal", ""}, {"--entry", "x"}, {"--since", "2026-12-11"}, {"--until", "2026-12-11"},
    {"--op", "x"},         {"--last", ""},           {"--output", "x.html"},
};

const std::set<std::string> kFind = {"--adapter", "--direct", "--password", "--ini", "--listen",
                                     "--host",    "--hosts",  "--nad",      "--verbose", "--trace"};

std::set<std::string> With(std::set<std::string> A, const std::set<std::string>& B) {
  A.insert(B.begin(), B.end());
  return A;
}

// The long names in the "Options:" part of a command's help.
std::set<std::string> ListedOptions(const std::string& Help) {
  std::set<std::string> out;
  const size_t start = Help.find("\nOptions:\n");
  if (start == std::string::npos) return out;
  std::istringstream lines(Help.substr(start + 10));
  for (std::string line; std::getline(lines, line) && !line.empty();) {
    std::istringstream words(line);
    std::string w;
    while (words >> w) {
      if (!w.empty() && w.back() == ',') w.pop_back();
      if (w.rfind("--", 0) == 0) {
        out.insert(w);
        break;
      }
    }
  }
  return out;
}

TEST_F(Tavexctl, EachCommandsHelpListsExactlyTheOptionsItTakesAndRefusesTheOthers) {
  const std::set<std::string> serve = {"--jobs", "--timeout", "--retries", "--no-cache"};
  const std::set<std::string> out = {"--format", "--quiet"};
  struct TCase {
    std::string Command;
    std::set<std::string> Options;
    std::vector<std::string> Args;  // what the command needs to get past its own checks
  };
  const std::vector<TCase> cases = {
      {"adapters", out, {}},
      {"detect", With(With(kFind, out), {"--jobs", "--timeout", "--retries"}), {}},
      {"status", With(With(kFind, serve), out), {}},
      {"read", With(With(kFind, serve), out), {}},
      {"write", With(With(With(kFind, serve), out), {"--from", "--all", "--skip-unknown", "--dry-run",
                                                     "--sync-clock", "--utc", "--changed-only", "--no-journal",
                                                     "--require-journal"}),
       {"speed=1"}},
      {"diff", With(With(kFind, serve), out), {"saved.csv"}},
      {"clock", With(With(With(kFind, serve), out), {"--sync", "--utc", "--no-journal", "--require-journal"}), {}},
      {"vars", With(With(kFind, serve), out), {}},
      {"history", With(out, {"--nad", "--entry", "--since", "--until", "--op", "--last"}), {}},
      {"report", With(With(kFind, serve), {"--op", "--since", "--until", "--output", "--format", "--quiet"}), {}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.Command);
    for (const auto& args : std::vector<std::vector<std::string>>{{TAVEXCTL_EXE, "help", c.Command},
                                                                   {TAVEXCTL_EXE, c.Command, "--help"}}) {
      const TRun h = RunProgram(args);
      EXPECT_EQ(h.Status, 0) << h.Err;
      EXPECT_EQ(ListedOptions(h.Out), c.Options) << h.Out;
    }
    for (const auto& [option, value] : kAllOptions) {
      SCOPED_TRACE(option);
      // Before the command and after it. An adapter that does not exist
      // ends every run that gets past the command line before anything is
      // sent.
      for (const bool after : {false, true}) {
        std::vector<std::string> argv = {TAVEXCTL_EXE, "--format", "csv"};
        std::vector<std::string> opt = {option};
        if (!value.empty()) opt.push_back(value);
        if (!after) argv.insert(argv.end(), opt.begin(), opt.end());
        argv.push_back(c.Command);
        argv.insert(argv.end(), c.Args.begin(), c.Args.end());
        if (after) argv.insert(argv.end(), opt.begin(), opt.end());
        setenv("TAVEX_ADAPTER", "nosuch0", 1);
        const TRun r = RunProgram(argv);
        unsetenv("TAVEX_ADAPTER");
        const std::string refusal = "tavexctl: " + c.Command + " takes no option " + option;
        if (c.Options.count(option) != 0) {
          EXPECT_EQ(r.Err.find(refusal), std::string::npos) << r.Err;
        } else {
          EXPECT_EQ(r.Status, 2) << r.Err;
          EXPECT_EQ(r.Err.rfind(refusal, 0), 0u) << r.Err;
          EXPECT_NE(r.Err.find("(see 'tavexctl help " + c.Command + "')."), std::string::npos) << r.Err;
          EXPECT_EQ(Lines(r.Err), 1u) << r.Err;
          EXPECT_EQ(r.Out, "");
        }
      }
    }
  }
}

TEST_F(Tavexctl, TheEnvironmentNeverMakesAUsageError) {
  // Standing in for --adapter, --ini and --password, it is not given on
  // the command line: adapters takes none of them, and still runs.
  const std::string ini = WriteFile("site.ini", "[General]\nPassword=abc\n");
  setenv("TAVEX_ADAPTER", "lo", 1);
  setenv("TAVEX_INI", ini.c_str(), 1);
  setenv("TAVEX_PASSWORD", "s3cret", 1);
  const TRun r = RunProgram({TAVEXCTL_EXE, "--format", "json", "adapters"});
  unsetenv("TAVEX_ADAPTER");
  unsetenv("TAVEX_INI");
  unsetenv("TAVEX_PASSWORD");
  EXPECT_EQ(r.Status, 0) << r.Err;
  EXPECT_EQ(r.Err, "");
  EXPECT_NO_THROW(static_cast<void>(json::parse(r.Out).at("adapters")));
}

TEST_F(Tavexctl, HelpTopicsAreTheCommandsAndFormats) {
  struct TCase {
    std::vector<std::string> Args;
    int Status;
    std::string Out;  // a fragment of stdout
    std::string Err;  // stderr, whole
  };
  const std::string topics =
      "the topics are adapters, detect, status, read, write, diff, clock, vars, history, report, help and formats (see 'tavexctl --help').\n";
  const std::vector<TCase> cases = {
      {{"help", "nosuch"}, 2, "", "tavexctl: Unknown help topic \"nosuch\"; " + topics},
      {{"--format", "json", "help", "Write"}, 2, "", "tavexctl: Unknown help topic \"Write\"; " + topics},
      {{"help", "formats"}, 0, "", ""},
      {{"help"}, 0, "'tavexctl help formats'", ""},
      {{"--help"}, 0, "'tavexctl help formats'", ""},
      {{"help", "help"}, 0, "Usage: tavexctl help [COMMAND | formats]", ""},
      // An option's value is no topic.
      {{"--password", "help", "help", "vars"}, 0, "Usage: tavexctl vars", ""},
      {{"help", "--adapter", "lo", "vars"}, 0, "Usage: tavexctl vars", ""},
      // The selection that values on the command line need, and what --from selects by.
      {{"help", "write"}, 0, "Values given on the command line (ENTRY=VALUE) need a selection: --nad, --host\n"
                             "or --hosts, or --all", ""},
      {{"write", "--help"}, 0, "With --from the file's rows select", ""},
  };
  for (const auto& c : cases) {
    std::vector<std::string> argv = {TAVEXCTL_EXE};
    argv.insert(argv.end(), c.Args.begin(), c.Args.end());
    SCOPED_TRACE(argv.back());
    const TRun r = RunProgram(argv);
    EXPECT_EQ(r.Status, c.Status) << r.Err;
    EXPECT_EQ(r.Err, c.Err);
    if (c.Status == 0) {
      EXPECT_FALSE(r.Out.empty());
    } else {
      EXPECT_EQ(r.Out, "");
    }
    EXPECT_NE(r.Out.find(c.Out), std::string::npos) << r.Out;
  }
}

}  // namespace
}  // namespace tavex

// The causes tavexctl names once a run has failed: a password that may be
// why nothing answered, answers that came after --timeout, and a cache
// folder that cannot be written.
#include "CtlFixture.h"

namespace tavex {
namespace {

using namespace ctltest;

constexpr char kPasswordHint[] =
    "tavexctl: A controller whose password differs from the one sent does not answer at all; ";

// The number after Prefix in Text; -1 when Prefix is not there.
int NumberAfter(const std::string& Text, const std::string& Prefix) {
  const size_t at = Text.find(Prefix);
  if (at == std::string::npos) return -1;
  int v = -1;
  const char* p = Text.data() + at + Prefix.size();
  std::from_chars(p, Text.data() + Text.size(), v);
  return v;
}

TEST_F(Tavexctl, NothingAnsweringNamesThePasswordAndWhereItCameFrom) {
  StartSim(json::array({Controller(1000, "127.0.0.2", {{"password", "s3cret"}}),
                        Controller(1001, "127.0.0.3", {{"password", "other"}})}));
  const std::string wrongIni = WriteFile("wrong.ini", "[General]\nPassword=guess\n");
  const std::string rightIni = WriteFile("right.ini", "[General]\nPassword=s3cret\n");
  const std::string hosts = WriteFile("hosts.csv", "nad,ip\n1000,127.0.0.2\n");
  struct TCase {
    const char* Name;
    std::vector<std::string> Args;
    const char* Env;  // TAVEX_PASSWORD, when set
    int Status;
    std::string Hint;  // what follows kPasswordHint; empty: no hint
  };
  const std::vector<TCase> cases = {
      {"none given", {"detect"}, nullptr, 1,
       "no password was sent (none was given by --password, TAVEX_PASSWORD or a configuration file).\n"},
      {"by option", {"--password", "guess", "detect"}, nullptr, 1, "the password sent came from --password.\n"},
      {"by the environment", {"detect"}, "guess", 1, "the password sent came from TAVEX_PASSWORD.\n"},
      {"by the file", {"--ini", wrongIni, "detect"}, nullptr, 1,
       "the password sent came from the configuration file \"" + wrongIni + "\".\n"},
      {"the option wins over the file", {"--ini", wrongIni, "--password", "guess", "detect"}, nullptr, 1,
       "the password sent came from --password.\n"},
      {"every --host unanswered", {"--host", "127.0.0.2", "--host", "127.0.0.3", "--timeout", "100", "detect"},
       nullptr, 1, "no password was sent (none was given by --password, TAVEX_PASSWORD or a configuration file).\n"},
      {"every --hosts row unanswered", {"--hosts", hosts, "--timeout", "100", "--password", "guess", "read", "speed[1]"}, nullptr,
       1, "the password sent came from --password.\n"},
      // Something answered: no hint, though another did not.
      {"one of two answered", {"--ini", rightIni, "--host", "127.0.0.2", "--host", "127.0.0.3", "--timeout", "100",
                               "detect"}, nullptr, 1, ""},
      {"the right password", {"--ini", rightIni, "--nad", "1000", "read", "speed[1]"}, nullptr, 0, ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.Name);
    if (c.Env != nullptr) setenv("TAVEX_PASSWORD", c.Env, 1);
    const TRun r = Ctl(c.Args);
    unsetenv("TAVEX_PASSWORD");
    EXPECT_EQ(r.Status, c.Status) << r.Err;
    const size_t at = r.Err.find(kPasswordHint);
    if (c.Hint.empty()) {
      EXPECT_EQ(at, std::string::npos) << r.Err;
      continue;
    }
    ASSERT_NE(at, std::string::npos) << r.Err;
    // The last line, after the failure it explains.
    EXPECT_GT(at, 0u);
    EXPECT_EQ(r.Err.substr(at), kPasswordHint + c.Hint);
  }
}

TEST_F(Tavexctl, AnswersLaterThanTheTimeoutAreNamedOnceWithTheirDelay) {
  // Every answer of 1000 comes 150 ms late; of 1001 only the variable
  // reads'; 1002 answers at once.
  const json late = {{"delay_ms", 150}};
  StartSim(json::array({Controller(1000, "127.0.0.2", {{"faults", late}}),
                        Controller(1001, "127.0.0.3", {{"faults", {{"delay_ms", 150}, {"only_commands", {51}}}}}),
                        Controller(1002, "127.0.0.4")}));
  struct TCase {
    const char* Name;
    std::vector<std::string> Args;
    int Status;
    bool Hint;
  };
  const std::vector<TCase> cases = {
      // Each ping given up: nothing answered in time, the answers came later.
      {"pings given up", {"--host", "127.0.0.2", "--timeout", "100", "--retries", "1", "detect"}, 1, true},
      // The reads answered on a resend: all well, but slower than need be.
      {"reads sent again", {"--nad", "1001", "--timeout", "100", "read", "speed[1]"}, 0, true},
      {"a timeout long enough", {"--nad", "1001", "--timeout", "400", "read", "speed[1]"}, 0, false},
      {"a prompt controller", {"--nad", "1002", "--timeout", "100", "read", "speed[1]"}, 0, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.Name);
    const TRun r = Ctl(c.Args);
    EXPECT_EQ(r.Status, c.Status) << r.Err;
    const std::string prefix = "tavexctl: Answers came up to ";
    const size_t at = r.Err.find(prefix);
    if (!c.Hint) {
      EXPECT_EQ(at, std::string::npos) << r.Err;
      if (c.Status == 0) {
        EXPECT_EQ(r.Err, "");
      }
      continue;
    }
    ASSERT_NE(at, std::string::npos) << r.Err;
    EXPECT_EQ(r.Err.find(prefix, at + 1), std::string::npos) << "said once\n" << r.Err;
    const int delay = NumberAfter(r.Err, prefix);
    EXPECT_GE(delay, 150) << r.Err;
    EXPECT_LT(delay, 1000) << r.Err;
    const std::string d = std::to_string(delay);
    EXPECT_EQ(r.Err.substr(at), prefix + d + " ms after their request, later than --timeout 100, so requests were "
                                                 "sent again or given up: raise --timeout above " + d + ".\n");
    // The controller did answer: its password is not the cause.
    EXPECT_EQ(r.Err.find(kPasswordHint), std::string::npos) << r.Err;
  }
}

TEST_F(Tavexctl, ACacheFolderThatCannotBeWrittenIsWarnedOfOnceAndTheRunGoesOn) {
  StartSim(json::array({Controller(1000, "127.0.0.2"), Controller(1001, "127.0.0.3")}));
  // Under a regular file no folder can be made, whoever runs the test.
  WriteFile("plain", "x");
  const std::string folder = (Dir / "plain" / "tavex").string();
  setenv("XDG_CACHE_HOME", (Dir / "plain").c_str(), 1);
  const std::string warning = "tavexctl: warning: cannot keep allocation files in " + folder +
                              ": Not a directory; going on without the cache.\n";
  struct TCase {
    std::vector<std::string> Args;
    bool Warned;
    size_t Named;  // -v lines naming the failure (one per controller)
  };
  const std::vector<TCase> cases = {
      {{"read", "speed[1]"}, true, 0},
      {{"-v", "read", "speed[1]"}, true, 2},
      {{"--no-cache", "read", "speed[1]"}, false, 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.Args[0]);
    const TRun r = Json(c.Args);
    EXPECT_EQ(r.Status, 0) << r.Err;
    ASSERT_EQ(r.J.at("controllers").size(), 2u);
    EXPECT_EQ(r.J["controllers"][0]["values"]["speed[1]"], 200);
    const size_t at = r.Err.find(warning);
    EXPECT_EQ(at != std::string::npos, c.Warned) << r.Err;
    if (at != std::string::npos) {
      EXPECT_EQ(r.Err.find(warning, at + 1), std::string::npos) << "warned once";
    }
    size_t named = 0;
    for (size_t p = r.Err.find("tavexctl: [cache] cannot keep " + folder + ": Not a directory\n");
         p != std::string::npos; p = r.Err.find("tavexctl: [cache] cannot keep ", p + 1))
      ++named;
    EXPECT_EQ(named, c.Named) << r.Err;
    if (!c.Warned) {
      EXPECT_EQ(r.Err, "");
    }
  }
}

}  // namespace
}  // namespace tavex

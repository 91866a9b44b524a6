#include "cli/uCliOptions.h"

#include <charconv>
#include <memory>

#include <CLI/CLI.hpp>

#include "cli/uCliOutput.h"
#include "cli/uInventory.h"
#include "hostutil/uEthernetUtils.h"
#include "plc/uFleet.h"

#ifndef TAVEX_VERSION
#define TAVEX_VERSION "0.0.0"
#endif

namespace tavex {

// A whole decimal number from Low to High, nothing else.
bool ParseIntIn(const std::string& Text, int Low, int High, int& Value) {
  int v = 0;
  const auto [end, ec] = std::from_chars(Text.data(), Text.data() + Text.size(), v);
  if (Text.empty() || ec != std::errc() || end != Text.data() + Text.size() || v < Low || v > High)
    return false;
  Value = v;
  return true;
}

namespace {

class TFormatter : public CLI::Formatter {
 public:
  std::string make_usage(const CLI::App* App, std::string Name) const override {
    if (App->get_parent() == nullptr) return "Usage: tavexctl [OPTIONS] COMMAND [ARGS...]\n";
    return CLI::Formatter::make_usage(App, Name);
  }
};

constexpr char kFooter[] =
    "Examples:\n"
    "  tavexctl adapters\n"
    "  tavexctl --adapter eth0 detect\n"
    "  tavexctl --adapter eth0 --ini site.ini --format csv read\n"
    "  tavexctl --adapter eth0 --nad 1000 write temp_setpoint=21.5 pump_speed[1]=1200\n"
    "  tavexctl --adapter eth0 --sync-clock write --from values.csv\n"
    "  tavexctl --adapter eth0 --format csv detect > site.csv\n"
    "  tavexctl --adapter eth0 --hosts site.csv --ini site.ini read\n"
    "\n"
    "read and write serve the controllers side by side (--jobs), each in one\n"
    "batched exchange; a controller that stops answering is given up after one\n"
    "failed request (--timeout x --retries) and its values show \"?\". With --host\n"
    "or --hosts no listening window is waited out. Each controller's allocation\n"
    "file is kept in $XDG_CACHE_HOME/tavex (else ~/.cache/tavex), keyed by NAD,\n"
    "program stamp and the archive's place and size, and fetched again when any\n"
    "of them changes (--no-cache: always fetched, nothing kept).\n"
    "\n"
    "Exit status: 0 all succeeded, 1 something failed (see stderr), 2 usage error or\n"
    "unreadable file.";

}  // namespace

std::string UsageSentence(std::string Text) {
  while (!Text.empty() && Text.back() == '.') Text.pop_back();
  return Text + " (see 'tavexctl --help').";
}

// Parses the command line. Returns -1 to go on, or the exit status when
// the program should end (help, version). Throws TUsageError.
int ParseCommandLine(int argc, char** argv, TOptions& O) {
  CLI::App app{"Finds Tavex controllers on an Ethernet network, checks their status, and reads\n"
               "and writes their configuration variables.",
               "tavexctl"};
  app.formatter(std::make_shared<TFormatter>());
  app.footer(kFooter);
  app.set_version_flag("--version", "tavexctl " TAVEX_VERSION, "Print the version and exit");
  app.set_help_flag("-h,--help", "Print this help and exit");
  // Unknown words are collected and reported in this tool's own sentences.
  app.allow_extras();

  std::string listen, format = "table", jobs, timeout, retries;
  std::vector<std::string> nads;
  app.add_option("--adapter", O.Adapter,
                 "Adapter to use (see 'adapters'); default: the\n"
                 "adapter that carries this computer's address")
      ->type_name("ID");
  app.add_flag("--direct", O.Direct, "Direct cable to one controller");
  app.add_option("--password", O.Password, "Controller password (wins over the --ini file's)")
      ->type_name("TEXT");
  app.add_option("--ini", O.IniPath,
                 "Configuration file: [General] Password and\n"
                 "[Variables] Var0, Var1, ... (default: the\n"
                 "program's path with \".ini\", if present)")
      ->type_name("FILE");
  app.add_option("--listen", listen,
                 "Listen for answers to the broadcast this long\n(default 1000)")
      ->type_name("MS");
  app.add_option("--host", O.Hosts, "Ping this address instead of broadcasting\n(repeatable)")
      ->type_name("ADDR[:PORT]");
  app.add_option("--hosts", O.HostsFile,
                 "Ping the controllers listed in this CSV file\n"
                 "(nad,ip; what 'detect --format csv' prints)\n"
                 "instead of broadcasting; a missing one fails")
      ->type_name("FILE");
  app.add_option("--nad", nads, "Only this controller (repeatable)")->type_name("N");
  app.add_option("--jobs", jobs,
                 "Serve at most N controllers at once (1 to 128;\n"
                 "default: all of them, at most 128)")
      ->type_name("N");
  app.add_option("--timeout", timeout, "Wait this long for each answer (default 500)")
      ->type_name("MS");
  app.add_option("--retries", retries, "Send each request at most N times (default 3)")
      ->type_name("N");
  app.add_flag("--no-cache", O.NoCache,
               "Fetch every allocation file from its controller\n"
               "and keep none (see the cache below)");
  app.add_option("--format", format, "table, csv or json (default table)")->type_name("FORMAT");
  app.add_flag("--sync-clock", O.SyncClock, "With write: set each controller's clock\nfrom this computer's local time");
  app.add_option("--from", O.FromFile, "With write: values from a CSV file with\nthe columns nad,entry,value")
      ->type_name("FILE.csv");

  struct TCommand {
    const char* Name;
    const char* Help;
    const char* Args;
  };
  const TCommand commands[] = {
      {"adapters", "List this computer's network adapters", nullptr},
      {"detect", "Find the controllers (one broadcast ping, or\n--host, --hosts)", nullptr},
      {"status", "Check network, ping, program, ALC file, run", nullptr},
      {"read", "Read variables (default: the --ini file's\nentries, e.g. speed or temp[3]) and the clock", "ENTRY"},
      {"write", "Write values, read them back, then read the\nclock (or set it with --sync-clock)", "ENTRY=VALUE"},
      {"vars", "List the global variables of each controller's\nallocation file", nullptr},
  };
  for (const auto& c : commands) {
    CLI::App* sub = app.add_subcommand(c.Name, c.Help);
    sub->group("Commands");
    sub->fallthrough();
    sub->formatter(app.get_formatter());
    if (c.Args != nullptr)
      sub->add_option(c.Args, O.Args, std::string(c.Args) + " ...")->type_name("");
  }

  try {
    app.parse(argc, argv);
  } catch (const CLI::CallForHelp& e) {
    return app.exit(e);
  } catch (const CLI::CallForAllHelp& e) {
    return app.exit(e);
  } catch (const CLI::CallForVersion& e) {
    return app.exit(e);
  } catch (const CLI::ArgumentMismatch& e) {
    // "--adapter: 1 required TEXT missing" / "... At Most 1 required but received 2"
    const std::string what = e.what();
    const std::string name = what.substr(0, what.find(':'));
    if (what.find("missing") != std::string::npos)
      throw TUsageError{UsageSentence(name + " needs a value")};
    throw TUsageError{UsageSentence(name + " can be given only once")};
  } catch (const CLI::ParseError& e) {
    throw TUsageError{UsageSentence(e.what())};
  }

  const auto subs = app.get_subcommands();
  const std::vector<std::string> extras = app.remaining();
  for (const auto& x : extras)
    if (!x.empty() && x[0] == '-') throw TUsageError{UsageSentence("Unknown option " + Quoted(x))};
  if (subs.empty()) {
    if (!extras.empty())
      throw TUsageError{UsageSentence("Unknown command " + Quoted(extras[0]) +
                                      "; the commands are adapters, detect, status, read, "
                                      "write and vars")};
    throw TUsageError{UsageSentence("No command given")};
  }
  O.Command = subs[0]->get_name();
  if (!extras.empty())
    throw TUsageError{UsageSentence(O.Command + " takes no argument " + Quoted(extras[0]))};

  O.AdapterGiven = app.count("--adapter") > 0;
  O.PasswordGiven = app.count("--password") > 0;
  O.IniGiven = app.count("--ini") > 0;
  O.FromGiven = app.count("--from") > 0;
  O.HostsGiven = app.count("--hosts") > 0;

  if (format == "table") O.Format = TFormat::Table;
  else if (format == "csv") O.Format = TFormat::Csv;
  else if (format == "json") O.Format = TFormat::Json;
  else throw TUsageError{UsageSentence("--format must be table, csv or json, not " + Quoted(format))};

  if (app.count("--listen") > 0) {
    int v = 0;
    const auto [end, ec] = std::from_chars(listen.data(), listen.data() + listen.size(), v);
    if (ec != std::errc() || end != listen.data() + listen.size() || v < 1 || v > kMaxListenMs)
      throw TUsageError{UsageSentence("--listen needs a time in milliseconds from 1 to " +
                                      std::to_string(kMaxListenMs) + ", not " + Quoted(listen))};
    O.ListenMs = v;
  }
  if (app.count("--jobs") > 0 && !ParseIntIn(jobs, 1, kMaxFleetJobs, O.Jobs))
    throw TUsageError{UsageSentence("--jobs needs a number from 1 to " +
                                    std::to_string(kMaxFleetJobs) + ", not " + Quoted(jobs))};
  if (app.count("--timeout") > 0 && !ParseIntIn(timeout, 1, kMaxTimeoutMs, O.TimeoutMs))
    throw TUsageError{UsageSentence("--timeout needs a time in milliseconds from 1 to " +
                                    std::to_string(kMaxTimeoutMs) + ", not " + Quoted(timeout))};
  if (app.count("--retries") > 0 && !ParseIntIn(retries, 1, kMaxRetries, O.Retries))
    throw TUsageError{UsageSentence("--retries needs a number from 1 to " +
                                    std::to_string(kMaxRetries) + ", not " + Quoted(retries))};
  for (const auto& n : nads) {
    uint32_t v = 0;
    if (!ParseNad(n, v))
      throw TUsageError{UsageSentence("--nad needs a NAD from 0 to 4294967295, not " + Quoted(n))};
    O.Nads.push_back(v);
  }
  for (const auto& h : O.Hosts) {
    std::string host;
    int32_t port = -1;
    if (!SplitHostPort(h, host, port) || (h.find(':') != std::string::npos && port < 1))
      throw TUsageError{UsageSentence("--host needs ADDR or ADDR:PORT, not " + Quoted(h))};
    if (host.empty() || IPToInt(host) == 0)
      throw TUsageError{"Cannot find the address of the host " + Quoted(h) + "."};
  }

  if (O.SyncClock && O.Command != "write")
    throw TUsageError{UsageSentence("--sync-clock only goes with write")};
  if (O.FromGiven && O.Command != "write")
    throw TUsageError{UsageSentence("--from only goes with write")};
  if (O.Command == "write") {
    if (O.FromGiven && !O.Args.empty())
      throw TUsageError{UsageSentence("write takes either ENTRY=VALUE arguments or --from, not both")};
    if (!O.FromGiven && O.Args.empty())
      throw TUsageError{UsageSentence("write needs ENTRY=VALUE arguments or --from FILE.csv")};
    for (const auto& a : O.Args) {
      const size_t eq = a.find('=');
      if (eq == std::string::npos || eq == 0)
        throw TUsageError{UsageSentence("write needs ENTRY=VALUE, not " + Quoted(a))};
    }
  }
  return -1;
}

}  // namespace tavex

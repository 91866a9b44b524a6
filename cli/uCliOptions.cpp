#include "cli/uCliOptions.h"

#include <algorithm>
#include <charconv>
#include <iostream>
#include <memory>

#include <CLI/CLI.hpp>

#include "cli/uCliOutput.h"
#include "cli/uInventory.h"
#include "hostutil/uEthernetUtils.h"
#include "plc/uFleet.h"
#include "plc/uJournal.h"

// Where the allocation files are kept, as the help names it.
#ifdef _WIN32
#define TAVEX_CACHE_FOLDER_TEXT "%LOCALAPPDATA%\\tavex"
#define TAVEX_JOURNAL_TEXT "%LOCALAPPDATA%\\tavex\\journal"
#else
#define TAVEX_JOURNAL_TEXT "$XDG_STATE_HOME/tavex/journal (else ~/.local/state/tavex/journal)"
#define TAVEX_CACHE_FOLDER_TEXT "$XDG_CACHE_HOME/tavex (else ~/.cache/tavex)"
#endif

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
    "Options go before or after the command; each takes one value (give --nad\n"
    "and --host once per controller). A command takes only the options its help\n"
    "lists: 'tavexctl help COMMAND' or 'tavexctl COMMAND --help'; another is a\n"
    "usage error. 'tavexctl help formats' describes the files tavexctl reads and\n"
    "writes.\n"
    "\n"
    "Examples:\n"
    "  tavexctl adapters\n"
    "  tavexctl --adapter eth0 detect\n"
    "  tavexctl --adapter eth0 --ini site.ini --format csv read\n"
    "  tavexctl --adapter eth0 --nad 1000 write temp_setpoint=21.5 pump_speed[1]=1200\n"
    "  tavexctl --adapter eth0 --sync-clock write --from values.csv\n"
    "  tavexctl --adapter eth0 --format csv detect > site.csv\n"
    "  tavexctl --adapter eth0 --hosts site.csv --ini site.ini read\n"
    "  tavexctl --adapter eth0 --hosts site.csv --ini site.ini read --format rows > saved.csv\n"
    "  tavexctl --adapter eth0 --hosts site.csv write --from saved.csv\n"
    "  tavexctl --adapter eth0 --hosts site.csv diff saved.csv\n"
    "\n"
    "read and write serve the controllers side by side (--jobs), each in one\n"
    "batched exchange; a controller that stops answering is given up after one\n"
    "failed request (--timeout x --retries) and its values show \"?\". With --host\n"
    "or --hosts no listening window is waited out. Each controller's allocation\n"
    "file is kept in " TAVEX_CACHE_FOLDER_TEXT ", keyed by NAD,\n"
    "program stamp and the archive's place and size, and fetched again when any\n"
    "of them changes or the archive's first page, read each run, differs from\n"
    "the file's (--no-cache: always fetched, nothing kept).\n"
    "\n"
    "write and clock --sync keep a journal of every value written and clock set\n"
    "(before, written, read back, verdict) in " TAVEX_JOURNAL_TEXT "\n"
    "(TAVEX_JOURNAL: another file; --no-journal: none); 'tavexctl history' shows it.\n"
    "\n"
    "Environment: TAVEX_ADAPTER, TAVEX_INI and TAVEX_PASSWORD stand for --adapter,\n"
    "--ini and --password when those are not given (a password set there does not\n"
    "show in the process list); an option wins over the environment, and both win\n"
    "over the configuration file.\n"
    "\n"
    "Exit status: 0 all succeeded; 1 something failed (see stderr; with diff: a\n"
    "value differs or is missing); 2 usage error or unreadable file, nothing sent;\n"
    "130 interrupted.";

// One option as the command help lists it. Flag is the option's long name
// as the parser knows it; a flag may have several docs (Key) when its text
// differs per command.
struct TOptionDoc {
  const char* Key;
  const char* Flag;
  const char* Shown;
  const char* Help;
};
constexpr TOptionDoc kOptionDocs[] = {
    {"--adapter", "--adapter", "--adapter ID", "adapter to use (see 'tavexctl adapters'; environment TAVEX_ADAPTER)"},
    {"--direct", "--direct", "--direct", "direct cable to one controller (found by broadcast)"},
    {"--password", "--password", "--password TEXT", "controller password (environment TAVEX_PASSWORD)"},
    {"--ini", "--ini", "--ini FILE", "configuration file: password and entries (environment TAVEX_INI)"},
    {"--listen", "--listen", "--listen MS", "listen this long for answers to the broadcast (default 1000)"},
    {"--host", "--host", "--host ADDR[:PORT]", "ping this address instead of broadcasting (once per address)"},
    {"--hosts", "--hosts", "--hosts FILE", "ping the controllers listed in this CSV file (nad,ip)"},
    {"--nad", "--nad", "--nad N", "only this controller (once per controller)"},
    {"--jobs", "--jobs", "--jobs N", "serve at most N controllers at once (1 to 128)"},
    {"--jobs-ping", "--jobs", "--jobs N", "ping at most N addresses of --host or --hosts at once (1 to 128)"},
    {"--timeout", "--timeout", "--timeout MS", "wait this long for each answer (default 500)"},
    {"--retries", "--retries", "--retries N", "send each request at most N times (default 3)"},
    {"--timeout-ping", "--timeout", "--timeout MS", "wait this long for the answer to a --host or --hosts ping (default 500)"},
    {"--retries-ping", "--retries", "--retries N", "send a --host or --hosts ping at most N times (default 3)"},
    {"--no-cache", "--no-cache", "--no-cache", "fetch every allocation file and keep none"},
    {"--format", "--format", "--format FORMAT", "table, csv or json (default table)"},
    {"--format-rows", "--format", "--format FORMAT", "table, csv, json, or rows (nad,entry,value: what write --from takes)"},
    {"--from", "--from", "--from FILE.csv", "values from a CSV file nad,entry,value ('-': standard input)"},
    {"--all", "--all", "--all", "with values on the command line: write every controller that answers"},
    {"--skip-unknown", "--skip-unknown", "--skip-unknown", "with --from: leave out the rows whose value is \"?\" (not read when saved), naming them"},
    {"--changed-only", "--changed-only", "--changed-only", "with --from: read first, write only the values that differ (the others \"unchanged\")"},
    {"--dry-run", "--dry-run", "--dry-run", "read and show the current and the new values; write nothing"},
    {"--sync-clock", "--sync-clock", "--sync-clock", "also set each controller's clock to this computer's time"},
    {"--sync", "--sync", "--sync", "set each controller's clock to this computer's time"},
    {"--utc", "--utc", "--utc", "with --sync or --sync-clock: UTC instead of local time"},
    {"--quiet", "--quiet", "-q, --quiet", "no progress line"},
    {"--verbose", "--verbose", "-v, --verbose", "each controller's stages on stderr as they end"},
    {"--trace", "--trace", "--trace", "every datagram sent and received, one line each on stderr"},
    {"--no-journal", "--no-journal", "--no-journal", "keep no journal record of this run"},
    {"--require-journal", "--require-journal", "--require-journal", "send nothing unless the journal can be written; a failed journal write fails the run"},
    {"--nad-history", "--nad", "--nad N", "only the records of this controller (once per controller)"},
    {"--entry", "--entry", "--entry ENTRY", "only the records of this entry (\"clock\": the clock sets; once per entry)"},
    {"--since", "--since", "--since TIME", "only records from this time on (2026-12-11, 2026-12-11T10:00, +01:00 or Z; else local time)"},
    {"--until", "--until", "--until TIME", "only records before this time (a date alone: to the end of that day)"},
    {"--op", "--op", "--op ID", "only the records of this run (its operation id)"},
    {"--last", "--last", "--last", "only the latest run (of the records the other filters leave)"},
    {"--op-report", "--op", "--op ID", "the run to report (its operation id; default: the latest run)"},
    {"--since-report", "--since", "--since TIME", "report the runs from this time on (as history takes it)"},
    {"--until-report", "--until", "--until TIME", "report the runs before this time (as history takes it)"},
    {"--output", "--output", "--output FILE", "write the report into FILE instead of standard output"},
    {"--format-report", "--format", "--format FORMAT", "html (default: a self-contained printable page) or csv"},
};

const TOptionDoc* FindDoc(const std::string& Key) {
  for (const auto& d : kOptionDocs)
    if (Key == d.Key) return &d;
  return nullptr;
}

struct TCommandDoc {
  const char* Name;
  const char* Usage;
  const char* Summary;
  const char* Text;
  std::vector<std::string> Options;  // keys of kOptionDocs: exactly what the command takes
  const char* Examples;
};

// Finding the controllers: every command but adapters.
const std::vector<std::string> kFind = {"--adapter", "--direct", "--password", "--ini",
                                        "--listen",  "--host",   "--hosts",    "--nad",
                                        "--verbose", "--trace"};
// Serving them side by side.
const std::vector<std::string> kServe = {"--jobs", "--timeout", "--retries", "--no-cache"};

std::vector<std::string> Join(std::vector<std::string> A, const std::vector<std::string>& B) {
  A.insert(A.end(), B.begin(), B.end());
  return A;
}

const std::vector<TCommandDoc>& CommandDocs() {
  static const std::vector<TCommandDoc> docs = {
      {"adapters", "tavexctl adapters", "List this computer's network adapters",
       "Lists each adapter with its ID (for --adapter), address, mask and broadcast address,\n"
       "and marks the one used without --adapter: the adapter of this computer's own\n"
       "address, else of the default route, else the first with an address; a\n"
       "loopback adapter only when no other adapter is up with an address.\n",
       {"--format", "--quiet"}, "  tavexctl adapters\n  tavexctl --format json adapters\n"},
      {"detect", "tavexctl detect", "Find the controllers (one broadcast ping, or --host, --hosts)",
       "Lists the controllers that answer, with the address each answer came from. What\n"
       "'detect --format csv' prints is the inventory that --hosts takes. Answers that\n"
       "the system dropped (more came at once than it held) make the broadcast go again,\n"
       "up to 3 times; still lost is a failure. What came but answered nothing asked (a\n"
       "damaged frame, another station's) is skipped and its sender named in a warning;\n"
       "a spoilt answer from an address not yet listed is asked again, up to 3 times.\n"
       "A controller whose password differs from the one sent does not answer at all.\n",
       Join(kFind, {"--jobs-ping", "--timeout-ping", "--retries-ping", "--format", "--quiet"}),
       "  tavexctl --adapter eth0 detect\n  tavexctl --adapter eth0 --format csv detect > site.csv\n"},
      {"status", "tavexctl status", "Check network, ping, program, ALC file, run",
       "Checks each controller step by step: network, ping, program, allocation file and\n"
       "run state. The controllers are checked side by side (--jobs); a controller that\n"
       "stops answering is given up after one failed request (--timeout x --retries).\n",
       Join(Join(kFind, kServe), {"--format", "--quiet"}), "  tavexctl --adapter eth0 --nad 1000 status\n"},
      {"read", "tavexctl read [ENTRY...]", "Read variables and the clock",
       "Reads each ENTRY (a variable name, e.g. speed, or an element, e.g. temp[3]) of\n"
       "every controller, and its clock. Without entries: the --ini file's. With\n"
       "--format rows the output is the file that 'write --from' takes (the clock left\n"
       "out, a value that could not be read shown as \"?\").\n",
       Join(Join(kFind, kServe), {"--format-rows", "--quiet"}),
       "  tavexctl --adapter eth0 read speed temp[3]\n"
       "  tavexctl --adapter eth0 --ini site.ini read --format rows > saved.csv\n"},
      {"write", "tavexctl write ENTRY=VALUE... | write --from FILE.csv",
       "Write values, read them back, then read or set the clock",
       "Values given on the command line (ENTRY=VALUE) need a selection: --nad, --host\n"
       "or --hosts, or --all to write every controller that answers; without one of\n"
       "them nothing is sent (usage error). With --from the file's rows select: each\n"
       "controller gets the rows with its NAD, and --nad, --host or --hosts narrow that\n"
       "down. Every value is checked before anything is sent: a mistyped argument or\n"
       "row is a usage error. Each controller's values are then checked against its\n"
       "variables' types: when one is rejected or names no variable, nothing is written\n"
       "to that controller. What is written is read back and compared.\n",
       Join(Join(kFind, kServe), {"--from", "--all", "--skip-unknown", "--changed-only", "--dry-run",
                                  "--sync-clock", "--utc", "--no-journal", "--require-journal", "--format",
                                  "--quiet"}),
       "  tavexctl --adapter eth0 --nad 1000 write temp_setpoint=21.5 pump_speed[1]=1200\n"
       "  tavexctl --adapter eth0 --all write temp_setpoint=21.5\n"
       "  tavexctl --adapter eth0 write --from saved.csv --dry-run\n"
       "  tavexctl --adapter eth0 write --from saved.csv --changed-only\n"},
      {"diff", "tavexctl diff FILE.csv", "Compare the controllers' values with a saved rows file",
       "Reads the entries that FILE (nad,entry,value, as 'read --format rows' saves it;\n"
       "'-': standard input) names for each controller, in one read per controller,\n"
       "and compares each saved value with the one read, as written values are\n"
       "compared: the saved text taken by the variable's type (\"1.50\" equals 1.5 for a\n"
       "real). Each entry is \"equal\", \"differs\" (a saved text its type refuses too)\n"
       "or \"missing\" (the controller or the entry could not be read, or the entry\n"
       "names no variable), with the reason. The file's rows select as with\n"
       "'write --from'; rows whose value is \"?\" are left out. Exit status 0 when every\n"
       "value is equal, 1 when one differs or is missing, 2 when FILE cannot be read.\n",
       Join(Join(kFind, kServe), {"--format", "--quiet"}),
       "  tavexctl --adapter eth0 --hosts site.csv diff saved.csv\n"
       "  tavexctl --adapter eth0 --format csv diff saved.csv > changes.csv\n"},
      {"clock", "tavexctl clock [--sync [--utc]]", "Read or set the controllers' clocks",
       "Reads each controller's clock; with --sync sets it to this computer's local time\n"
       "(--utc: UTC) and reads it back: a clock that is off by more than 2 s fails.\n",
       Join(Join(kFind, kServe), {"--sync", "--utc", "--no-journal", "--require-journal", "--format", "--quiet"}),
       "  tavexctl --adapter eth0 clock\n  tavexctl --adapter eth0 --nad 1000 clock --sync\n"},
      {"vars", "tavexctl vars", "List the global variables of each allocation file",
       "Lists each controller's global variables: name, index, type, address, comment.\n"
       "The controllers are served side by side (--jobs); a controller that stops\n"
       "answering is given up after one failed request (--timeout x --retries).\n",
       Join(Join(kFind, kServe), {"--format", "--quiet"}), "  tavexctl --adapter eth0 --nad 1000 vars\n"},
      {"history", "tavexctl history [--nad N] [--entry ENTRY] [--since TIME] [--until TIME] [--op ID] [--last]",
       "Show the journal: what write and clock --sync did, and what was there before",
       "Lists the journal's records, oldest first: time (local), operation id, NAD, IP,\n"
       "entry, the value before the write, the value written, the value read back, and\n"
       "the verdict. The filters combine; --last keeps the latest run of what they\n"
       "leave. An empty journal is no failure. The journal: " TAVEX_JOURNAL_TEXT ",\n"
       "or TAVEX_JOURNAL. A line that is no record is skipped, and counted on stderr.\n",
       {"--nad-history", "--entry", "--since", "--until", "--op", "--last", "--format", "--quiet"},
       "  tavexctl history --last\n  tavexctl history --nad 1000 --since 2026-12-11\n"
       "  tavexctl history --entry clock --format csv\n"},
      {"report", "tavexctl report [--op ID | --since TIME --until TIME] [--output FILE] [--format html|csv]",
       "An as-left report of a run or a time span: the journal and the controllers now",
       "Reads the journal's records of one run (--op; default: the latest) or of a time\n"
       "span (--since, --until), finds the controllers they name (or those the finding\n"
       "options select) and reads the journalled entries and the clock of each again.\n"
       "Per controller: its identity (NAD, address, program stamp then and now), each\n"
       "change (before -> written, read back, verdict) with the value now, and the clock\n"
       "offset found and the time set. HTML is one printable page with nothing fetched\n"
       "from anywhere; CSV is one row per change. A controller that does not answer now\n"
       "is reported as such (exit status 1).\n",
       Join(Join(kFind, kServe), {"--op-report", "--since-report", "--until-report", "--output",
                                  "--format-report", "--quiet"}),
       "  tavexctl --adapter eth0 report --output as-left.html\n"
       "  tavexctl --adapter eth0 report --since 2026-12-11 --format csv > as-left.csv\n"},
      {"help", "tavexctl help [COMMAND | formats]", "Show the help of the tool, of one command, or of the file formats",
       "Without a topic: the tool's help. With a command: its options, arguments and\n"
       "examples. 'tavexctl help formats': the files tavexctl reads and writes.\n",
       {}, "  tavexctl help write\n  tavexctl help formats\n"},
  };
  return docs;
}

const TCommandDoc* FindCommandDoc(const std::string& Command) {
  for (const auto& d : CommandDocs())
    if (Command == d.Name) return &d;
  return nullptr;
}

// Whether the command takes the option (its long name, e.g. "--jobs").
bool TakesOption(const TCommandDoc& Command, const std::string& Flag) {
  for (const auto& key : Command.Options) {
    const TOptionDoc* doc = FindDoc(key);
    if (doc != nullptr && Flag == doc->Flag) return true;
  }
  return false;
}

// "detect, status, read, write, clock and vars": the commands that take Flag.
std::string CommandsTaking(const std::string& Flag) {
  std::vector<std::string> names;
  for (const auto& d : CommandDocs())
    if (TakesOption(d, Flag)) names.push_back(d.Name);
  std::string out;
  for (size_t i = 0; i < names.size(); ++i)
    out += (i == 0 ? "" : i + 1 == names.size() ? " and " : ", ") + names[i];
  return out;
}

// An option whose value is the next word.
bool TakesValue(const std::string& Word) {
  static const char* const kWithValue[] = {"--adapter", "--password", "--ini",  "--listen",
                                           "--host",    "--hosts",    "--nad",  "--jobs",
                                           "--timeout", "--retries",  "--format", "--from",
                                           "--entry",   "--since",    "--until",  "--op",
                                           "--output"};
  for (const char* o : kWithValue)
    if (Word == o) return true;
  return false;
}

// The words 'tavexctl help' takes.
std::string HelpTopics() {
  std::string out;
  for (const char* c : kCommands) out += std::string(c) + ", ";
  out.resize(out.size() - 2);
  return out + " and formats";
}

}  // namespace

std::string CommandHelp(const std::string& Command) {
  const TCommandDoc* d = FindCommandDoc(Command);
  if (d == nullptr) return {};
  std::string out = std::string("Usage: ") + d->Usage + "\n\n" + d->Summary + ".\n\n" + d->Text;
  if (!d->Options.empty()) {
    out += "\nOptions:\n";
    for (const auto& o : d->Options) {
      const TOptionDoc* doc = FindDoc(o);
      if (doc == nullptr) continue;
      const std::string name = doc->Shown;
      out += "  " + name + std::string(name.size() < 20 ? 20 - name.size() : 1, ' ') + doc->Help + "\n";
    }
  }
  out += std::string("\nExamples:\n") + d->Examples;
  return out;
}

std::string UsageSentence(std::string Text) {
  while (!Text.empty() && Text.back() == '.') Text.pop_back();
  return Text + " (see 'tavexctl --help').";
}

// Parses the command line. Returns -1 to go on, or the exit status when
// the program should end (help, version). Throws TUsageError.
int ParseCommandLine(int argc, char** argv, TOptions& O) {
  // "COMMAND --help" and "help TOPIC": that command's own help, or the
  // formats' ("help formats").
  {
    std::string command;
    bool help = false, helpWord = false;
    // After "help": the first word that is a topic; when none is, the
    // first word (not an option) is an unknown topic.
    std::string topic, unknownTopic;
    for (int i = 1; i < argc; ++i) {
      const std::string a = argv[i];
      if (a == "--") break;
      if (a == "-h" || a == "--help") help = true;
      if (TakesValue(a)) {
        ++i;  // its value is no command or topic, whatever it says
        continue;
      }
      if (helpWord && topic.empty() && !a.empty() && a[0] != '-') {
        if (a == "formats" || !CommandHelp(a).empty()) topic = a;
        else if (unknownTopic.empty()) unknownTopic = a;
        continue;
      }
      if (!CommandHelp(a).empty()) {
        if (a == "help" && command.empty()) {
          helpWord = true;
          continue;
        }
        if (command.empty()) command = a;
      }
    }
    if (helpWord && topic.empty() && !unknownTopic.empty())
      throw TUsageError{UsageSentence("Unknown help topic " + Quoted(unknownTopic) +
                                      "; the topics are " + HelpTopics())};
    if (helpWord && !topic.empty()) {
      const std::string text = topic == "formats" ? FormatsHelp() : CommandHelp(topic);
      std::cout << text;
      if (!text.empty() && text.back() != '\n') std::cout << "\n";
      std::cout.flush();
      return std::cout ? 0 : 1;
    }
    if (help && !command.empty()) {
      std::cout << CommandHelp(command);
      std::cout.flush();
      return std::cout ? 0 : 1;
    }
    if (helpWord) {
      // Same as --help.
      std::vector<char*> args = {argv[0], const_cast<char*>("--help")};
      return ParseCommandLine(2, args.data(), O);
    }
  }

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
                 "Adapter to use (see 'adapters'); default: the one\n"
                 "'adapters' marks (the adapter of this computer's\n"
                 "address, else of the default route, else the\n"
                 "first with an address; loopback only when no\n"
                 "other adapter has one)")
      ->type_name("ID")
      ->envname("TAVEX_ADAPTER");
  app.add_flag("--direct", O.Direct, "Direct cable to one controller");
  app.add_option("--password", O.Password, "Controller password (wins over the --ini file's)")
      ->type_name("TEXT")
      ->envname("TAVEX_PASSWORD");
  app.add_option("--ini", O.IniPath,
                 "Configuration file: [General] Password and\n"
                 "[Variables] Var0, Var1, ... (default: the\n"
                 "program's path with \".ini\", else\n"
                 "$XDG_CONFIG_HOME/tavex/tavexctl.ini, else\n"
                 "~/.config/tavex/tavexctl.ini, if present)")
      ->type_name("FILE")
      ->envname("TAVEX_INI");
  app.add_option("--listen", listen,
                 "Listen for answers to the broadcast this long\n(default 1000)")
      ->type_name("MS");
  app.add_option("--host", O.Hosts, "Ping this address instead of broadcasting\n(once per address)")
      ->type_name("ADDR[:PORT]")
      ->expected(1)
      ->allow_extra_args(false)
      ->multi_option_policy(CLI::MultiOptionPolicy::TakeAll);
  app.add_option("--hosts", O.HostsFile,
                 "Ping the controllers listed in this CSV file\n"
                 "(nad,ip; what 'detect --format csv' prints)\n"
                 "instead of broadcasting; a missing one fails")
      ->type_name("FILE");
  app.add_option("--nad", nads, "Only this controller (once per controller)")
      ->type_name("N")
      ->expected(1)
      ->allow_extra_args(false)
      ->multi_option_policy(CLI::MultiOptionPolicy::TakeAll);
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
  app.add_option("--format", format,
                 "table, csv or json (default table); with read\n"
                 "also rows (nad,entry,value: what write --from takes)")
      ->type_name("FORMAT");
  bool syncClock = false, sync = false;
  app.add_flag("--sync-clock", syncClock,
               "With write: set each controller's clock\nfrom this computer's local time");
  app.add_option("--from", O.FromFile,
                 "With write: values from a CSV file with the\n"
                 "columns nad,entry,value ('-': standard input)")
      ->type_name("FILE.csv");
  app.add_flag("--all", O.All,
               "With write ENTRY=VALUE: write every controller\n"
               "that answers (without it a selection is needed:\n"
               "--nad, --host or --hosts)");
  app.add_flag("--skip-unknown", O.SkipUnknown,
               "With write --from: leave out the rows whose value\n"
               "is \"?\" (could not be read when saved)");
  app.add_flag("--changed-only", O.ChangedOnly,
               "With write --from: read first, and write only\n"
               "the values that differ from the controller's");
  app.add_flag("--dry-run", O.DryRun,
               "With write: read and show each current value\nand the one to write; write nothing");
  app.add_flag("--sync", sync, "With clock: set each controller's clock");
  app.add_flag("--utc", O.Utc, "With --sync or --sync-clock: set the clocks\nto UTC instead of local time");
  app.add_flag("-q,--quiet", O.Quiet, "No progress line on stderr");
  app.add_flag("--trace", O.Trace, "Every datagram sent and received, on stderr");
  app.add_flag("--no-journal", O.NoJournal, "With write and clock --sync: keep no journal record");
  app.add_flag("--require-journal", O.RequireJournal,
               "With write and clock --sync: send nothing unless\nthe journal can be written");
  std::string since, until;
  app.add_option("--entry", O.HistoryEntries, "With history: only this entry's records")
      ->type_name("ENTRY")
      ->expected(1)
      ->allow_extra_args(false)
      ->multi_option_policy(CLI::MultiOptionPolicy::TakeAll);
  app.add_option("--since", since, "With history: records from this time on")->type_name("TIME");
  app.add_option("--until", until, "With history: records before this time")->type_name("TIME");
  app.add_option("--op", O.Op, "With history: only this run's records")->type_name("ID");
  app.add_flag("--last", O.Last, "With history: only the latest run");
  app.add_option("--output", O.OutputFile, "With report: the file to write")->type_name("FILE");
  app.add_flag("-v,--verbose", O.Verbose,
               "Each controller's stages on stderr as they end\n(ping, program, allocation file, ...)");

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
      {"diff", "Compare the controllers' values with a saved\nrows file (read --format rows)", "FILE"},
      {"clock", "Read the clocks (set them with --sync)", nullptr},
      {"vars", "List the global variables of each controller's\nallocation file", nullptr},
      {"history", "Show the journal of what write and clock --sync\ndid", nullptr},
      {"report", "An as-left report of a run from the journal\nand the controllers now", nullptr},
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
                                      "write, diff, clock, vars, history and report")};
    throw TUsageError{UsageSentence("No command given")};
  }
  O.Command = subs[0]->get_name();
  if (subs.size() > 1)
    throw TUsageError{UsageSentence("Give one command, not " + O.Command + " and " +
                                    subs[1]->get_name())};
  for (const auto& a : O.Args)
    for (const char* c : kCommands)
      if (a == c)
        throw TUsageError{UsageSentence("Give one command, not " + O.Command + " and " + a)};
  if (!extras.empty())
    throw TUsageError{UsageSentence(O.Command + " takes no argument " + Quoted(extras[0]))};
  // Every option given on the command line must be one that the command
  // takes (what its help lists): one that does nothing there is a mistake,
  // not something to pass over. The environment's stand-ins never count.
  if (const TCommandDoc* doc = FindCommandDoc(O.Command))
    for (const CLI::Option* opt : app.parse_order()) {
      const std::string flag = opt->get_name();
      if (TakesOption(*doc, flag)) continue;
      const std::string where = CommandsTaking(flag);
      throw TUsageError{O.Command + " takes no option " + flag +
                        (where.empty() ? std::string() : "; it goes with " + where) +
                        " (see 'tavexctl help " + O.Command + "')."};
    }

  O.AdapterGiven = app.count("--adapter") > 0;
  O.PasswordGiven = app.count("--password") > 0;
  const auto& given = app.parse_order();
  O.PasswordFromEnvironment =
      O.PasswordGiven && std::find(given.begin(), given.end(), app.get_option("--password")) == given.end();
  O.IniGiven = app.count("--ini") > 0;
  O.FromGiven = app.count("--from") > 0;
  O.HostsGiven = app.count("--hosts") > 0;

  if (O.Command == "report") {
    if (format == "csv") O.Format = TFormat::Csv;
    else if (format == "html" || app.count("--format") == 0) O.Html = true;
    else throw TUsageError{UsageSentence("report --format must be html or csv, not " + Quoted(format))};
  } else if (format == "html")
    throw TUsageError{UsageSentence("--format html only goes with report")};
  else if (format == "table") O.Format = TFormat::Table;
  else if (format == "csv") O.Format = TFormat::Csv;
  else if (format == "json") O.Format = TFormat::Json;
  else if (format == "rows" && O.Command == "read") O.Format = TFormat::Rows;
  else if (format == "rows")
    throw TUsageError{UsageSentence("--format rows only goes with read")};
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

  if (syncClock && O.Command != "write")
    throw TUsageError{UsageSentence("--sync-clock only goes with write")};
  if (sync && O.Command != "clock")
    throw TUsageError{UsageSentence("--sync only goes with clock (with write: --sync-clock)")};
  O.SyncClock = syncClock || sync;
  if (O.Utc && !O.SyncClock)
    throw TUsageError{UsageSentence("--utc only goes with clock --sync or write --sync-clock")};
  if (O.DryRun && O.Command != "write")
    throw TUsageError{UsageSentence("--dry-run only goes with write")};
  if (O.Direct && (!O.Hosts.empty() || app.count("--hosts") > 0))
    throw TUsageError{UsageSentence("--direct cannot go with --host or --hosts: a direct "
                                    "cable is addressed by broadcast")};
  if (O.FromGiven && O.Command != "write")
    throw TUsageError{UsageSentence("--from only goes with write")};
  if (O.Command == "write") {
    if (O.FromGiven && !O.Args.empty())
      throw TUsageError{UsageSentence("write takes either ENTRY=VALUE arguments or --from, not both")};
    if (!O.FromGiven && O.Args.empty())
      throw TUsageError{UsageSentence("write needs ENTRY=VALUE arguments or --from FILE.csv")};
    O.Values = ParseValueArgs(O.Args);
    // Values on the command line reach whoever answers the broadcast: a
    // forgotten --nad must not write the whole plant.
    if (!O.FromGiven && !O.All && O.Nads.empty() && O.Hosts.empty() && !O.HostsGiven)
      throw TUsageError{UsageSentence(
          "write with ENTRY=VALUE needs a selection (--nad, --host or --hosts), or --all to write "
          "every controller that answers")};
  }
  if (O.All && (O.Command != "write" || O.FromGiven))
    throw TUsageError{UsageSentence("--all only goes with write ENTRY=VALUE")};
  if (O.SkipUnknown && !O.FromGiven)
    throw TUsageError{UsageSentence("--skip-unknown only goes with write --from")};
  if (O.ChangedOnly && !O.FromGiven)
    throw TUsageError{UsageSentence("--changed-only only goes with write --from")};
  if (O.Command == "diff") {
    if (O.Args.size() != 1)
      throw TUsageError{UsageSentence(O.Args.empty() ? std::string("diff needs the saved rows file: diff FILE.csv")
                                                     : "diff takes one file, not " + Quoted(O.Args[1]))};
    // The file selects the controllers and entries, as write --from's does.
    O.FromFile = O.Args[0];
  }
  if (O.NoJournal && O.RequireJournal)
    throw TUsageError{UsageSentence("--no-journal and --require-journal cannot go together")};
  if (app.count("--since") > 0 && !(O.SinceGiven = ParseUserTime(since, false, O.SinceMs)))
    throw TUsageError{UsageSentence("--since needs a date or time such as 2026-12-11 or 2026-12-11T10:00, not " +
                                    Quoted(since))};
  if (app.count("--until") > 0 && !(O.UntilGiven = ParseUserTime(until, true, O.UntilMs)))
    throw TUsageError{UsageSentence("--until needs a date or time such as 2026-12-11 or 2026-12-11T10:00, not " +
                                    Quoted(until))};
  if (O.Command == "read")
    for (const auto& a : O.Args)
      if (const std::string problem = EntryTextProblem(a); !problem.empty())
        throw TUsageError{UsageSentence(Quoted(a) + " is not an entry: " + problem)};
  return -1;
}

}  // namespace tavex

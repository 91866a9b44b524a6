// tavexctl: the command-line tool for scripted commissioning. It finds the
// controllers exactly as the desktop tool does and drives the same page
// operations (status check, read, write with clock synchronisation) on them,
// printing a table, CSV or JSON.
//
//   tavexctl [OPTIONS] COMMAND [ARGS...]
//
// Exit status: 0 when every check and value succeeded, 1 when something
// failed (no answer, an "error", a "?", a value that did not take), 2 for a
// usage error or an unreadable file. Errors go to stderr, one sentence each.
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <charconv>
#include <cstdint>
#include <cstdio>
#include <exception>
#include <filesystem>
#include <iostream>
#include <map>
#include <set>
#include <string>
#include <vector>

#include <CLI/CLI.hpp>
#include <nlohmann/json.hpp>

#include "abus/uABus.h"
#include "cli/uCliOutput.h"
#include "cli/uInventory.h"
#include "comm/uCommunication.h"
#include "hostutil/uEthernetUtils.h"
#include "plc/uAlcCache.h"
#include "plc/uFleet.h"
#include "plc/uOperations.h"
#include "plc/uTavex.h"
#include "vars/uConfigFile.h"
#include "vars/uGadgetVars.h"
#include "vars/uTavexVars.h"

#ifndef TAVEX_VERSION
#define TAVEX_VERSION "0.0.0"
#endif

namespace tavex {
namespace {

using Json = nlohmann::ordered_json;

// Bounds on what the tool reads: a configuration file is a few lines, a
// value file a few thousand rows.
constexpr size_t kMaxIniBytes = 1u << 20;
constexpr size_t kMaxCsvBytes = 8u << 20;
constexpr size_t kMaxIniEntries = 10000;
constexpr int kMaxListenMs = 60000;
constexpr int kMaxTimeoutMs = 60000;
constexpr int kMaxRetries = 20;
constexpr size_t kMaxHostsBytes = 1u << 20;
constexpr char kDecimal = '.';

constexpr char kNoOwnAdapter[] =
    "No adapter carries this computer's address; choose one with --adapter (see 'tavexctl "
    "adapters').";

const char* const kStepCaptions[5] = {"Network", "Tavex ping", "PLC program", "ALC file",
                                      "PLC run"};
const char* const kStepKeys[5] = {"network", "ping", "program", "alc", "run"};

// A usage error or an unreadable file: exit status 2.
struct TUsageError {
  std::string Sentence;
};

enum class TFormat { Table, Csv, Json };

struct TOptions {
  std::string Command;
  std::vector<std::string> Args;
  std::string Adapter;
  bool AdapterGiven = false;
  bool Direct = false;
  std::string Password;
  bool PasswordGiven = false;
  std::string IniPath;
  bool IniGiven = false;
  int ListenMs = 1000;
  std::vector<std::string> Hosts;
  std::string HostsFile;
  bool HostsGiven = false;
  int Jobs = 0;  // 0: one per controller
  int TimeoutMs = kDefaultTimeoutMs;
  int Retries = kDefaultRetries;
  bool NoCache = false;
  std::vector<uint32_t> Nads;
  TFormat Format = TFormat::Table;
  bool SyncClock = false;
  std::string FromFile;
  bool FromGiven = false;
};

// --- Small texts -------------------------------------------------------------

std::string Quoted(const std::string& Text) { return "\"" + TerminalSafe(Text) + "\""; }

// A message as a sentence: ends with a full stop unless it has its own mark.
std::string Sentence(std::string Text) {
  if (Text.empty() || (Text.back() != '.' && Text.back() != '!' && Text.back() != '?'))
    Text += '.';
  return Text;
}

// A whole decimal number from Low to High, nothing else.
bool ParseIntIn(const std::string& Text, int Low, int High, int& Value) {
  int v = 0;
  const auto [end, ec] = std::from_chars(Text.data(), Text.data() + Text.size(), v);
  if (Text.empty() || ec != std::errc() || end != Text.data() + Text.size() || v < Low || v > High)
    return false;
  Value = v;
  return true;
}

uint64_t NadNumber(const TTavex& Plc) { return static_cast<uint64_t>(Plc.Nad < 0 ? 0 : Plc.Nad); }
std::string NadText(const TTavex& Plc) { return std::to_string(NadNumber(Plc)); }

std::string Who(const TTavex& Plc) {
  return "Controller " + NadText(Plc) + " at " + Plc.GetIpAddress();
}

std::string JoinList(const std::vector<std::string>& Items) {
  std::string out;
  for (size_t i = 0; i < Items.size(); ++i) {
    if (i > 0) out += ", ";
    out += TerminalSafe(Items[i]);
  }
  return out;
}

const char* TypeKeyword(uint8_t VarType) {
  static const char* const kTypes[] = {"bit",   "word",     "int",       "long",
                                       "real",  "timer",    "counter",   "const",
                                       "void",  "timerbit", "timerlong", "counterbit",
                                       "counterlong"};
  if (VarType >= 1 && VarType <= 13) return kTypes[VarType - 1];
  return "?";
}

std::string HexAddress(int32_t Address) {
  char buf[16];
  std::snprintf(buf, sizeof buf, "0x%04X", static_cast<uint32_t>(Address));
  return buf;
}

// The allocation element a request for Entry links to (the same rules as
// the exchange), or nullptr.
const TTavexVar* FindElement(const TTavex& Plc, const std::string& Entry) {
  std::string name;
  int32_t index = -1;
  SplitIndexedName(Entry, name, index);
  for (int i = 0; i < Plc.AlcVars.Count(); ++i) {
    const TTavexVar* e = Plc.AlcVars.Items(i);
    if (e == nullptr || e->Name != name || e->Scope != scGlobal || index >= e->Count) continue;
    if (e->Index == index || (index < 0 && e->Index == 0)) return e;
  }
  return nullptr;
}

// --- Command line --------------------------------------------------------------

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
                 "Adapter to use (see 'adapters'); default: the one\n"
                 "'adapters' marks (the adapter of this computer's\n"
                 "address, else of the default route)")
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

// --- The tool --------------------------------------------------------------------

// One controller's values after read or write.
struct TRowResult {
  TTavex* Plc = nullptr;
  std::vector<std::string> Entries;
  std::vector<std::string> Texts;  // the cell texts
  std::vector<TEntryReason> Reasons;
  std::string Rtc;
  std::string Error;
  std::vector<std::string> NotWritten;  // entries whose value did not take
};

class TTool {
 public:
  explicit TTool(TOptions Options) : O(std::move(Options)) {}
  int Run();

 private:
  void Prepare();
  void LoadIni(const std::string& Path);
  void LoadValueFile();
  void Detect();
  void DetectByHosts();
  void Configure(TTavex& Plc) const;

  void CmdAdapters();
  void CmdDetect();
  void CmdStatus();
  void CmdRead();
  void CmdWrite();
  void CmdVars();

  // Runs Work, catching what the operations throw: the failure is recorded
  // against Plc (its text in What) and the walk ends; what was gathered is
  // still printed.
  template <class F>
  bool Guarded(TTavex* Plc, F&& Work, std::string* What = nullptr);
  void RunFleetRows(std::vector<TRowResult>& Rows, const std::vector<std::vector<std::string>>& Values,
                    bool Write);
  void CheckWritten(TRowResult& Row, const std::vector<std::string>& Values);
  void PrintRows(const std::vector<TRowResult>& Rows, bool Write);
  void Emit(const TTextTable& Human, const TTextTable& Machine, const Json& J);
  void Fail(std::string Sentence) { Failures.push_back(std::move(Sentence)); }

  TOptions O;
  std::string AdapterID;
  std::string Password;
  std::vector<std::string> Entries;                    // from the configuration file
  std::map<uint32_t, std::vector<std::pair<std::string, std::string>>> FileValues;
  TTavexList List;
  std::vector<TTavex*> Plcs;  // the records worked on, in list order
  std::vector<std::string> Failures;
  TProgress Progress;
};

int TTool::Run() {
  if (O.Command == "adapters") {
    CmdAdapters();
  } else {
    Prepare();
    Detect();
    if (O.Command == "detect") CmdDetect();
    else if (O.Command == "status") CmdStatus();
    else if (O.Command == "read") CmdRead();
    else if (O.Command == "write") CmdWrite();
    else if (O.Command == "vars") CmdVars();
  }
  Progress.Clear();
  std::cout.flush();
  for (const auto& f : Failures) std::cerr << "tavexctl: " << f << "\n";
  return Failures.empty() ? 0 : 1;
}

// Everything that can be a usage error, before anything is sent.
void TTool::Prepare() {
  if (O.IniGiven) {
    LoadIni(O.IniPath);
  } else {
    // As the desktop tool: the program's path with ".ini", when it exists.
    std::error_code ec;
    std::filesystem::path exe = std::filesystem::read_symlink("/proc/self/exe", ec);
    if (!ec) {
      exe.replace_extension(".ini");
      if (std::filesystem::exists(exe, ec)) LoadIni(exe.string());
    }
  }
  if (O.PasswordGiven) Password = O.Password;
  if (O.Command == "write" && O.FromGiven) LoadValueFile();

  TEthernetAdapterInfo adapter;
  if (O.AdapterGiven) {
    if (!adapter.AssignFromID(O.Adapter))
      throw TUsageError{"There is no adapter " + Quoted(O.Adapter) +
                        " on this computer; see 'tavexctl adapters'."};
    AdapterID = O.Adapter;
  } else {
    if (!adapter.AssignFromLocalHost()) throw TUsageError{kNoOwnAdapter};
    AdapterID = adapter.ID;
  }
}

void TTool::LoadIni(const std::string& Path) {
  std::string text, error;
  if (!ReadSmallFile(Path, kMaxIniBytes, text, error)) throw TUsageError{error};
  // The desktop tool's reader, so that both take the same file alike.
  TConfigFile config;
  int badLine = 0;
  if (!LoadConfigText(text, config, &badLine)) throw TUsageError{"Cannot read " + Quoted(Path) + "."};
  if (badLine > 0)
    throw TUsageError{"Cannot read " + Quoted(Path) + ": line " + std::to_string(badLine) + " is not valid INI."};
  Password = std::move(config.Password);
  Entries = std::move(config.Entries);
  if (Entries.size() > kMaxIniEntries) Entries.resize(kMaxIniEntries);
}

void TTool::LoadValueFile() {
  std::string text, error;
  if (!ReadSmallFile(O.FromFile, kMaxCsvBytes, text, error)) throw TUsageError{error};
  std::vector<std::vector<std::string>> records;
  std::vector<size_t> lines;
  if (!ParseCsv(text, records, error, &lines))
    throw TUsageError{"Cannot read " + Quoted(O.FromFile) + ": " + error + "."};
  size_t first = 0;
  if (!records.empty() && records[0].size() == 3) {
    std::vector<std::string> head = records[0];
    for (auto& h : head)
      std::transform(h.begin(), h.end(), h.begin(),
                     [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    if (head == std::vector<std::string>{"nad", "entry", "value"}) first = 1;
  }
  for (size_t r = first; r < records.size(); ++r) {
    const auto& rec = records[r];
    const std::string where = "Line " + std::to_string(lines[r]) + " of " + Quoted(O.FromFile);
    if (rec.size() != 3)
      throw TUsageError{where + " has " + std::to_string(rec.size()) +
                        " fields; each row needs nad,entry,value."};
    uint32_t nad = 0;
    if (!ParseNad(rec[0], nad))
      throw TUsageError{where + ": " + Quoted(rec[0]) + " is not a NAD."};
    if (rec[1].empty()) throw TUsageError{where + " has no entry name."};
    FileValues[nad].emplace_back(rec[1], rec[2]);
  }
  if (FileValues.empty()) throw TUsageError{Quoted(O.FromFile) + " holds no values."};
}

void TTool::Detect() {
  if (O.Hosts.empty() && !O.HostsGiven) {
    Progress.Show("listening for controllers on " + AdapterID + " (" +
                  std::to_string(O.ListenMs) + " ms)");
    TCommunicator comm;
    TDetectOptions options;
    options.AdapterID = AdapterID;
    options.DirectConnection = O.Direct;
    options.Password = Password;
    options.ListenMs = O.ListenMs;
    DetectControllers(comm, List, options);
    for (int i = 0; i < List.Count(); ++i) Configure(*List.Items(i));
    if (List.Count() == 0)
      Fail("No controller answered within " + std::to_string(O.ListenMs) + " ms on adapter " +
           TerminalSafe(AdapterID) + ".");
  } else {
    DetectByHosts();
  }
  Progress.Clear();

  std::set<uint32_t> wanted(O.Nads.begin(), O.Nads.end());
  std::set<uint32_t> found;
  for (int i = 0; i < List.Count(); ++i) {
    TTavex* plc = List.Items(i);
    const auto nad = static_cast<uint32_t>(NadNumber(*plc));
    if (!wanted.empty() && wanted.count(nad) == 0) continue;
    Plcs.push_back(plc);
    found.insert(nad);
  }
  if (List.Count() > 0)
    for (const uint32_t n : wanted)
      if (found.count(n) == 0) Fail("Controller " + std::to_string(n) + " did not answer.");

  // Results in a stable order, whatever order the answers came in: by NAD,
  // then by address.
  std::stable_sort(Plcs.begin(), Plcs.end(), [](const TTavex* a, const TTavex* b) {
    if (NadNumber(*a) != NadNumber(*b)) return NadNumber(*a) < NadNumber(*b);
    const std::string ia = a->GetIpAddress(), ib = b->GetIpAddress();
    if (IPToInt(ia) != IPToInt(ib)) return IPToInt(ia) < IPToInt(ib);
    return ia < ib;
  });
}

// What every record of this run gets: connection kind, adapter, password,
// and the transport's time-out and attempts.
void TTool::Configure(TTavex& Plc) const {
  Plc.SetDirectConnection(O.Direct);
  Plc.SelectAdapter(AdapterID);
  Plc.SetPassword(Password);
  SetTransport(Plc, O.TimeoutMs, O.Retries);
}

// Controllers by address (--host, and the inventory of --hosts): a unicast
// ping to NAD 0 at each address, side by side; the answer tells the NAD. No
// listening window: done when every address has answered or timed out.
void TTool::DetectByHosts() {
  struct TTarget {
    std::string Address;
    bool Listed = false;  // from the inventory, with the NAD it should answer with
    uint32_t Nad = 0;
    std::unique_ptr<TTavex> Plc;
    bool Answered = false;
  };
  std::vector<TTarget> targets;
  std::set<std::string> seen;
  if (O.HostsGiven) {
    std::string text, error;
    if (!ReadSmallFile(O.HostsFile, kMaxHostsBytes, text, error)) throw TUsageError{error};
    std::vector<TInventoryHost> hosts;
    if (!ParseInventory(text, O.HostsFile, hosts, error)) throw TUsageError{error};
    for (auto& h : hosts)
      if (seen.insert(h.Address).second) targets.push_back({h.Address, true, h.Nad, nullptr, false});
  }
  for (const auto& h : O.Hosts)
    if (seen.insert(h).second) targets.push_back({h, false, 0, nullptr, false});

  for (auto& t : targets) {
    t.Plc = std::make_unique<TTavex>();
    Configure(*t.Plc);
  }
  Progress.Show("pinging " + std::to_string(targets.size()) + " address" +
                (targets.size() == 1 ? "" : "es"));
  RunPool(targets.size(), O.Jobs, [&](size_t i) {
    targets[i].Answered = PingHost(*targets[i].Plc, targets[i].Address);
  });

  for (auto& t : targets) {
    const std::string where = TerminalSafe(t.Address);
    if (!t.Answered) {
      if (t.Listed)
        Fail("Controller " + std::to_string(t.Nad) + " listed at " + where + " did not answer.");
      else
        Fail("No controller answered at " + where + ".");
      continue;
    }
    if (t.Listed && NadNumber(*t.Plc) != t.Nad) {
      Fail("Controller " + NadText(*t.Plc) + " answered at " + where + ", where " +
           std::to_string(t.Nad) + " is listed; it was left out.");
      continue;
    }
    List.Add(std::move(t.Plc));
  }
}

template <class F>
bool TTool::Guarded(TTavex* Plc, F&& Work, std::string* What) {
  try {
    Work();
    return true;
  } catch (const std::exception& e) {
    Progress.Clear();
    Fail(Who(*Plc) + ": " + Sentence(TerminalSafe(e.what())));
    if (What != nullptr) *What = e.what();
    return false;
  }
}

void TTool::Emit(const TTextTable& Human, const TTextTable& Machine, const Json& J) {
  switch (O.Format) {
    case TFormat::Table:
      std::cout << FormatTable(Human);
      break;
    case TFormat::Csv:
      std::cout << FormatCsv(Machine);
      break;
    case TFormat::Json:
      // Texts from a controller need not be valid UTF-8.
      std::cout << J.dump(2, ' ', false, Json::error_handler_t::replace) << "\n";
      break;
  }
}

// --- Commands ------------------------------------------------------------------

void TTool::CmdAdapters() {
  TEthernetAdapterInfoList list;
  list.Refresh();
  // The adapter used without --adapter, as the desktop tool picks it.
  TEthernetAdapterInfo own;
  const std::string defaultID = own.AssignFromLocalHost() ? own.ID : std::string();
  TTextTable human{{"ID", "Description", "IP", "Mask", "Broadcast", "Default"}, {}};
  TTextTable machine{{"id", "description", "ip", "mask", "broadcast", "default"}, {}};
  Json j;
  j["adapters"] = Json::array();
  for (int i = 0; i < list.Count(); ++i) {
    const TEthernetAdapterInfo* a = list.Items(i);
    const bool isDefault = !defaultID.empty() && a->ID == defaultID;
    std::vector<std::string> row{a->ID, a->Description, a->IP, a->Mask, a->Broadcast};
    human.Rows.push_back(row);
    human.Rows.back().push_back(isDefault ? "*" : "");
    machine.Rows.push_back(row);
    machine.Rows.back().push_back(isDefault ? "true" : "false");
    j["adapters"].push_back({{"id", a->ID},
                             {"description", a->Description},
                             {"ip", a->IP},
                             {"mask", a->Mask},
                             {"broadcast", a->Broadcast},
                             {"default", isDefault}});
  }
  Emit(human, machine, j);
}

void TTool::CmdDetect() {
  TTextTable human{{"No.", "NAD", "IP"}, {}};
  TTextTable machine{{"nad", "ip"}, {}};
  Json j;
  j["controllers"] = Json::array();
  for (size_t i = 0; i < Plcs.size(); ++i) {
    const TTavex& p = *Plcs[i];
    human.Rows.push_back({std::to_string(i + 1), NadText(p), p.GetIpAddress()});
    machine.Rows.push_back({NadText(p), p.GetIpAddress()});
    j["controllers"].push_back({{"nad", NadNumber(p)}, {"ip", p.GetIpAddress()}});
  }
  Emit(human, machine, j);
}

void TTool::CmdStatus() {
  struct TResult {
    TTavex* Plc;
    int Steps = 0;  // steps finished
    bool Ok[5] = {};
  };
  std::vector<TResult> results;
  for (size_t i = 0; i < Plcs.size(); ++i) {
    TTavex* plc = Plcs[i];
    results.push_back({plc});
    TResult& r = results.back();
    const std::string who = NadText(*plc) + " (" + std::to_string(i + 1) + "/" +
                            std::to_string(Plcs.size()) + ")";
    Progress.Show("checking " + who + ": " + kStepCaptions[0]);
    TStatusSteps steps;
    steps.AfterStep = [&](int Step, bool Ok) {
      if (Step < 0 || Step > 4) return;
      r.Ok[Step] = Ok;
      r.Steps = Step + 1;
      if (Step < 4) Progress.Show("checking " + who + ": " + kStepCaptions[Step + 1]);
    };
    // No pauses: nobody watches cells change colour here.
    if (!Guarded(plc, [&] { CheckStatus(*plc, steps); })) break;
  }
  Progress.Clear();

  TTextTable human{{"No.", "NAD", "IP"}, {}};
  TTextTable machine{{"nad", "ip"}, {}};
  for (int s = 0; s < 5; ++s) {
    human.Header.push_back(kStepCaptions[s]);
    machine.Header.push_back(kStepKeys[s]);
  }
  Json j;
  j["controllers"] = Json::array();
  for (size_t i = 0; i < results.size(); ++i) {
    const TResult& r = results[i];
    const TTavex& p = *r.Plc;
    std::vector<std::string> cells;
    Json c{{"nad", NadNumber(p)}, {"ip", p.GetIpAddress()}};
    std::vector<std::string> failed;
    for (int s = 0; s < 5; ++s) {
      if (s >= r.Steps) {
        cells.push_back("");
        continue;
      }
      const char* text = r.Ok[s] ? "ok" : "error";
      cells.push_back(text);
      c[kStepKeys[s]] = text;
      if (!r.Ok[s]) failed.push_back(kStepCaptions[s]);
    }
    std::vector<std::string> h{std::to_string(i + 1), NadText(p), p.GetIpAddress()};
    std::vector<std::string> m{NadText(p), p.GetIpAddress()};
    h.insert(h.end(), cells.begin(), cells.end());
    m.insert(m.end(), cells.begin(), cells.end());
    human.Rows.push_back(h);
    machine.Rows.push_back(m);
    j["controllers"].push_back(c);
    if (!failed.empty()) Fail(Who(p) + ": error in " + JoinList(failed) + ".");
  }
  Emit(human, machine, j);
}

// The rows' controllers served side by side, each in one exchange (the
// fleet operation); Values[i] holds row i's texts when writing.
void TTool::RunFleetRows(std::vector<TRowResult>& Rows,
                         const std::vector<std::vector<std::string>>& Values, bool Write) {
  std::vector<TFleetJob> jobs(Rows.size());
  for (size_t i = 0; i < Rows.size(); ++i) {
    jobs[i].Plc = Rows[i].Plc;
    jobs[i].Entries = Rows[i].Entries;
    if (Write) jobs[i].Values = Values[i];
  }
  const TAlcCache cache(O.NoCache ? std::string() : TAlcCache::DefaultFolder());
  TFleetOptions options;
  options.Write = Write;
  if (Write && O.SyncClock) options.SyncClock = LocalNow;
  options.Jobs = O.Jobs;
  options.Cache = O.NoCache ? nullptr : &cache;
  options.DecimalSeparator = kDecimal;
  const std::string verb = Write ? "writing: " : "reading: ";
  options.Progress = [&](size_t Done, size_t Total) {
    Progress.Show(verb + std::to_string(Done) + "/" + std::to_string(Total) + " controllers done");
  };
  Progress.Show(verb + "0/" + std::to_string(Rows.size()) + " controllers done");
  std::vector<TFleetResult> results;
  RunFleet(jobs, options, results);
  Progress.Clear();

  for (size_t i = 0; i < Rows.size(); ++i) {
    TRowResult& row = Rows[i];
    const TFleetResult& r = results[i];
    row.Texts.clear();
    row.Reasons.clear();
    for (const auto& e : r.Entries) {
      row.Texts.push_back(e.Text);
      row.Reasons.push_back(e.Reason);
    }
    row.Rtc = r.Rtc;
    row.Error = r.GivenUp ? r.Error : std::string();
    if (Write) CheckWritten(row, Values[i]);
  }
}

// After a write: each value that was rejected, or reads back other than
// written, is a failure; so is a clock that could not be set.
void TTool::CheckWritten(TRowResult& Row, const std::vector<std::string>& Values) {
  const TTavex& plc = *Row.Plc;
  if (!Row.Error.empty()) return;  // nothing more to say than why it was given up
  for (size_t k = 0; k < Row.Entries.size() && k < Values.size(); ++k) {
    if (Values[k].empty() || Row.Texts[k] == "?") continue;
    const TTavexVar* e = FindElement(plc, Row.Entries[k]);
    if (e == nullptr) continue;
    TVarValue v;
    if (Row.Reasons[k] == TEntryReason::RejectedValue || !ValueFromText(e->VarType, Values[k], v)) {
      Row.NotWritten.push_back(Row.Entries[k]);
      Fail(Who(plc) + ": " + Quoted(Values[k]) + " is not a valid " + TypeKeyword(e->VarType) +
           " value for " + TerminalSafe(Row.Entries[k]) + "; it was not written.");
      continue;
    }
    // What the controller should hold now: the value in its wire form.
    TTavexVar expected;
    expected.Assign(e);
    expected.SetValue(v);
    expected.SetRawValue(expected.GetRawValue());
    const std::string want = FormatValue(ValueAsReal(expected.Value), kDecimal);
    if (want != Row.Texts[k]) {
      Row.NotWritten.push_back(Row.Entries[k]);
      Fail(Who(plc) + ": " + TerminalSafe(Row.Entries[k]) + " reads back " +
           TerminalSafe(Row.Texts[k]) + " after writing " + want + ".");
    }
  }
  if (O.SyncClock) {
    std::vector<std::string> missing;
    for (const char* name : kClockVars)
      if (FindElement(plc, name) == nullptr) missing.push_back(name);
    if (!missing.empty())
      Fail(Who(plc) + ": its clock was not set (no " + JoinList(missing) + ").");
  }
}

void TTool::PrintRows(const std::vector<TRowResult>& Rows, bool Write) {
  // Columns: every entry in the order first met (rows of a value file may
  // differ per controller).
  std::vector<std::string> columns;
  std::set<std::string> seen;
  for (const auto& r : Rows)
    for (const auto& e : r.Entries)
      if (seen.insert(e).second) columns.push_back(e);
  bool anyError = false;
  for (const auto& r : Rows) anyError = anyError || !r.Error.empty();

  TTextTable human{{"No.", "NAD", "IP", "RTC"}, {}};
  TTextTable machine{{"nad", "ip", "rtc"}, {}};
  human.Header.insert(human.Header.end(), columns.begin(), columns.end());
  machine.Header.insert(machine.Header.end(), columns.begin(), columns.end());
  if (anyError) human.Header.push_back("Error");
  machine.Header.push_back("error");

  Json j;
  j["controllers"] = Json::array();
  for (size_t i = 0; i < Rows.size(); ++i) {
    const TRowResult& r = Rows[i];
    const TTavex& p = *r.Plc;
    std::map<std::string, std::string> cell;
    Json values = Json::object();
    Json reasons = Json::object();
    for (size_t k = 0; k < r.Entries.size() && k < r.Texts.size(); ++k) {
      cell[r.Entries[k]] = r.Texts[k];
      values[r.Entries[k]] = r.Texts[k];
      if (k < r.Reasons.size() && r.Reasons[k] != TEntryReason::None)
        reasons[r.Entries[k]] = ReasonText(r.Reasons[k]);
    }
    std::vector<std::string> h{std::to_string(i + 1), NadText(p), p.GetIpAddress(), r.Rtc};
    std::vector<std::string> m{NadText(p), p.GetIpAddress(), r.Rtc};
    for (const auto& c : columns) {
      const auto it = cell.find(c);
      h.push_back(it == cell.end() ? "" : it->second);
      m.push_back(it == cell.end() ? "" : it->second);
    }
    if (anyError) h.push_back(r.Error);
    m.push_back(r.Error);
    human.Rows.push_back(h);
    machine.Rows.push_back(m);
    Json c{{"nad", NadNumber(p)}, {"ip", p.GetIpAddress()}, {"rtc", r.Rtc},
           {"values", values}, {"reasons", reasons}, {"error", r.Error}};
    if (Write) c["not_written"] = r.NotWritten;
    j["controllers"].push_back(c);

    // One sentence per controller for what could not be reached or read.
    std::vector<std::string> unknown;
    for (size_t k = 0; k < r.Entries.size() && k < r.Texts.size(); ++k)
      if (r.Texts[k] == "?") unknown.push_back(r.Entries[k]);
    if (!r.Error.empty())
      Fail(Who(p) + ": " + Sentence(TerminalSafe(r.Error)));
    else if (!unknown.empty())
      Fail(Who(p) + ": no value for " + JoinList(unknown) + ".");
  }
  Emit(human, machine, j);
}

void TTool::CmdRead() {
  const std::vector<std::string> entries = O.Args.empty() ? Entries : O.Args;
  std::vector<TRowResult> rows;
  for (TTavex* plc : Plcs) {
    rows.push_back({});
    rows.back().Plc = plc;
    rows.back().Entries = entries;
  }
  RunFleetRows(rows, {}, false);
  PrintRows(rows, false);
}

void TTool::CmdWrite() {
  // The pairs each controller gets, in order.
  std::vector<std::pair<std::string, std::string>> common;
  for (const auto& a : O.Args) {
    const size_t eq = a.find('=');
    common.emplace_back(a.substr(0, eq), a.substr(eq + 1));
  }
  if (O.FromGiven) {
    const std::set<uint32_t> wanted(O.Nads.begin(), O.Nads.end());
    for (const auto& [nad, pairs] : FileValues) {
      (void)pairs;
      if (!wanted.empty() && wanted.count(nad) == 0) continue;  // left out by --nad
      const bool present = std::any_of(Plcs.begin(), Plcs.end(), [n = nad](const TTavex* p) {
        return NadNumber(*p) == n;
      });
      if (!present)
        Fail("Controller " + std::to_string(nad) + " named in " + Quoted(O.FromFile) +
             " did not answer; nothing was written to it.");
    }
  }

  std::vector<TRowResult> rows;
  std::vector<std::vector<std::string>> values;
  for (TTavex* plc : Plcs) {
    const std::vector<std::pair<std::string, std::string>>* pairs = &common;
    if (O.FromGiven) {
      const auto it = FileValues.find(static_cast<uint32_t>(NadNumber(*plc)));
      if (it == FileValues.end()) continue;  // the file has nothing for it
      pairs = &it->second;
    }
    rows.push_back({});
    rows.back().Plc = plc;
    values.emplace_back();
    for (const auto& [entry, value] : *pairs) {
      rows.back().Entries.push_back(entry);
      values.back().push_back(value);
    }
  }
  RunFleetRows(rows, values, true);
  PrintRows(rows, true);
}

void TTool::CmdVars() {
  struct TResult {
    TTavex* Plc;
    std::string Error;
    bool Stopped = false;
  };
  std::vector<TResult> results;
  for (size_t i = 0; i < Plcs.size(); ++i) {
    TTavex* plc = Plcs[i];
    results.push_back({plc, "", false});
    Progress.Show("reading the allocation file of " + NadText(*plc) + " (" +
                  std::to_string(i + 1) + "/" + std::to_string(Plcs.size()) + ")");
    const bool finished = Guarded(plc, [&] {
      if (!plc->OpenSocket()) {
        results.back().Error = kErrOpen;
        return;
      }
      struct TCloser {
        TTavex* P;
        ~TCloser() { P->CloseSocket(); }
      } closer{plc};
      if (!plc->ReadAlc()) results.back().Error = kErrAlc;
    }, &results.back().Error);
    if (!finished) {
      results.back().Stopped = true;
      break;
    }
  }
  Progress.Clear();

  TTextTable human{{"NAD", "Name", "Index", "Type", "Address", "Comment"}, {}};
  TTextTable machine{{"nad", "name", "index", "type", "address", "comment"}, {}};
  Json j;
  j["controllers"] = Json::array();
  for (const auto& r : results) {
    const TTavex& p = *r.Plc;
    Json vars = Json::array();
    if (r.Error.empty() && !r.Stopped) {
      for (int i = 0; i < p.AlcVars.Count(); ++i) {
        const TTavexVar* e = p.AlcVars.Items(i);
        if (e == nullptr || e->Scope != scGlobal) continue;
        const std::vector<std::string> row{NadText(p), e->Name, std::to_string(e->Index),
                                           TypeKeyword(e->VarType), HexAddress(e->GetAddress()),
                                           e->Comment};
        human.Rows.push_back(row);
        machine.Rows.push_back(row);
        vars.push_back({{"name", e->Name},
                        {"index", e->Index},
                        {"type", TypeKeyword(e->VarType)},
                        {"address", static_cast<uint32_t>(e->GetAddress())},
                        {"comment", e->Comment}});
      }
    } else if (!r.Stopped) {
      Fail(Who(p) + ": " + Sentence(r.Error));
    }
    j["controllers"].push_back({{"nad", NadNumber(p)},
                                {"ip", p.GetIpAddress()},
                                {"variables", vars},
                                {"error", r.Error}});
  }
  Emit(human, machine, j);
}

}  // namespace
}  // namespace tavex

int main(int argc, char** argv) {
  using namespace tavex;
  // Every controller served at once holds a socket (and its listener's
  // descriptors): take all the descriptors this process may have.
  rlimit files{};
  if (getrlimit(RLIMIT_NOFILE, &files) == 0 && files.rlim_cur < files.rlim_max) {
    files.rlim_cur = files.rlim_max;
    setrlimit(RLIMIT_NOFILE, &files);
  }
  TOptions options;
  try {
    const int status = ParseCommandLine(argc, argv, options);
    if (status >= 0) return status;
  } catch (const TUsageError& e) {
    std::cerr << "tavexctl: " << e.Sentence << "\n";
    return 2;
  }
  try {
    TTool tool(std::move(options));
    return tool.Run();
  } catch (const TUsageError& e) {
    std::cerr << "tavexctl: " << e.Sentence << "\n";
    return 2;
  } catch (const std::exception& e) {
    std::cerr << "tavexctl: " << Sentence(TerminalSafe(e.what())) << "\n";
    return 1;
  }
}

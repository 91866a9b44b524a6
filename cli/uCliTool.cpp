#include "cli/uCliTool.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <cstdio>
#include <filesystem>
#include <iostream>
#include <map>
#include <set>
#include <thread>

#include "cli/uCliInputs.h"
#include "cli/uCliPlatform.h"
#include "cli/uInventory.h"
#include "comm/uCommunication.h"
#include "hostutil/uEthernetUtils.h"
#include "plc/uFleet.h"
#include "plc/uOperations.h"
#include "vars/uConfigFile.h"
#include "vars/uGadgetVars.h"

namespace tavex {

namespace {

constexpr char kNoOwnAdapter[] =
    "No adapter carries this computer's address; choose one with --adapter (see 'tavexctl "
    "adapters').";

}  // namespace

// --- Small texts -------------------------------------------------------------

uint64_t NadNumber(const TTavex& Plc) { return static_cast<uint64_t>(Plc.Nad < 0 ? 0 : Plc.Nad); }
std::string NadText(const TTavex& Plc) { return std::to_string(NadNumber(Plc)); }

std::string Who(const TTavex& Plc) {
  return "Controller " + NadText(Plc) + " at " + Plc.GetIpAddress();
}

std::string HexAddress(int32_t Address) {
  char buf[16];
  std::snprintf(buf, sizeof buf, "0x%04X", static_cast<uint32_t>(Address));
  return buf;
}

const TTavexVar* FindElement(const TTavex& Plc, const std::string& Entry) {
  return FindGlobalElement(Plc, Entry);
}

// --- The tool --------------------------------------------------------------------

int TTool::Run() {
  if (O.Command == "adapters") {
    CmdAdapters();
  } else if (O.Command == "history") {
    CmdHistory();
  } else {
    if (O.Command == "report") SelectReport();
    Prepare();
    OpenJournal();
    Detect();
    if (O.Command == "detect") CmdDetect();
    else if (O.Command == "status") CmdStatus();
    else if (O.Command == "read") CmdRead();
    else if (O.Command == "write") CmdWrite();
    else if (O.Command == "diff") CmdDiff();
    else if (O.Command == "clock") CmdClock();
    else if (O.Command == "vars") CmdVars();
    else if (O.Command == "report") CmdReport();
  }
  Progress.Clear();
  if (!OutFailed && std::fflush(stdout) != 0) {
    OutFailed = true;
    OutErrno = errno;
  }
  const std::vector<std::string> hints = gStopRequested.load() ? std::vector<std::string>() : Hints();
  for (const auto& f : Failures) std::cerr << "tavexctl: " << f << "\n";
  if (gStopRequested.load()) {
    std::cerr << "tavexctl: Interrupted: what is shown was done; entries marked \"not done\" were "
                 "neither read nor written.\n";
    return 130;
  }
  for (const auto& h : hints) std::cerr << "tavexctl: " << h << "\n";
  if (OutFailed) {
    std::cerr << "tavexctl: Cannot write the output: "
              << (OutErrno == EBADF ? std::string("standard output is closed")
                                    : std::string(std::strerror(OutErrno)))
              << ".\n";
    return 1;
  }
  return Failures.empty() ? 0 : 1;
}

void TTool::Out(const std::string& Text) {
  if (OutFailed) return;
  if (StdoutClosed()) {
    OutFailed = true;
    OutErrno = EBADF;
    return;
  }
  if (std::fwrite(Text.data(), 1, Text.size(), stdout) != Text.size()) {
    OutFailed = true;
    OutErrno = errno;
  }
}

// Everything that can be a usage error, before anything is sent; the
// input files' warnings are printed as each is read.
void TTool::Prepare() {
  if (FileSelects() && O.FromFile == "-" && O.HostsGiven && O.HostsFile == "-")
    throw TUsageError{UsageSentence((O.Command == "diff" ? "diff - and --hosts -" : "--from - and --hosts -") +
                                    std::string(" cannot both read standard input"))};
  std::string iniPath = O.IniGiven ? O.IniPath : std::string();
  // Without --ini, as the desktop tool: the program's path with ".ini",
  // else tavexctl.ini in the user's configuration folder, when one exists.
  if (!O.IniGiven) iniPath = FindConfigFile(ConfigFilePlaces(ProgramPath(), "tavexctl.ini"));
  if (!iniPath.empty()) {
    TIniContents ini = LoadIni(iniPath);
    for (const auto& w : ini.Warnings) Warn(w);
    Password = std::move(ini.Password);
    Entries = std::move(ini.Entries);
  }
  if (O.PasswordGiven) Password = O.Password;
  if (O.PasswordGiven)
    PasswordOrigin = O.PasswordFromEnvironment ? "TAVEX_PASSWORD" : "--password";
  else if (!Password.empty())
    PasswordOrigin = "the configuration file " + Quoted(TerminalSafe(iniPath));
  if (FileSelects()) {
    // diff compares what was read when saved: a "?" row has nothing to
    // compare and is left out (named in a warning).
    TValueFile file = LoadValueFile(O.FromFile, O.SkipUnknown || O.Command == "diff");
    for (const auto& w : file.Warnings) Warn(w);
    FileValues = std::move(file.Values);
  }
  if (O.HostsGiven) {
    TInventory inventory = LoadInventory(O.HostsFile);
    for (const auto& w : inventory.Warnings) Warn(w);
    Inventory = std::move(inventory.Hosts);
  }
  if (O.Command == "read" && O.Args.empty() && Entries.empty())
    throw TUsageError{
        "read has no entries: give ENTRY arguments, or Var0=... in [Variables] of the configuration "
        "file given by --ini (" +
        (iniPath.empty() ? std::string("no configuration file was found")
                         : Quoted(iniPath) + " has none") +
        ")."};

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

void TTool::Detect() {
  if (O.Hosts.empty() && !O.HostsGiven) {
    Progress.Show("listening for controllers on " + AdapterID + " (" +
                  std::to_string(O.ListenMs) + " ms)");
    TCommunicator comm;
    comm.StopFlag = &gStopRequested;
    Trace(comm);
    TDetectOptions options;
    options.AdapterID = AdapterID;
    options.DirectConnection = O.Direct;
    options.Password = Password;
    options.ListenMs = O.ListenMs;
    options.Rounds = kDetectRounds;
    // Answers the system dropped (more came at once than the listening
    // socket holds) make the broadcast go again, and so does a spoilt answer
    // from a sender not yet listed; every round's answers are merged by NAD
    // and address.
    options.AfterRound = [this](const TDetectRound& R) {
      StageLine(AdapterID, "broadcast " + std::to_string(R.Round) + ": " + std::to_string(R.Answers) +
                               " answered, " + std::to_string(R.New) + " new, " +
                               std::to_string(R.Report.Skipped) + " skipped, " +
                               std::to_string(R.Report.Lost) + " lost (receive buffer " +
                               std::to_string(R.Report.ReceiveBuffer) + " bytes)");
      if (R.Report.Lost > 0 && R.Again) {
        Progress.Clear();
        Warn("Answers were lost (" + std::to_string(R.Report.Lost) + "); broadcasting again (" +
             std::to_string(R.Round + 1) + " of " + std::to_string(kDetectRounds) + ").");
      }
    };
    TDetectOutcome outcome;
    TTavexList answered;
    DetectControllers(comm, answered, options, &outcome);
    for (int i = 0; i < answered.Count(); ++i) {
      const TTavex& a = *answered.Items(i);
      auto plc = std::make_unique<TTavex>();
      plc->SetNad(a.Nad);
      plc->SetIpAddress(a.GetIpAddress());
      Configure(*plc);
      List.Add(std::move(plc));
    }
    Progress.Clear();
    const std::string skipped = TerminalSafe(SkippedSendersText(outcome));
    const std::string count = std::to_string(outcome.Skipped);
    bool sendersNamed = false;
    if (outcome.AnswersLost) {
      Fail("Answers were lost in each of " + std::to_string(outcome.Rounds) + " broadcasts (" +
           std::to_string(outcome.Lost) + " in the last; the listening socket's receive buffer holds " +
           std::to_string(outcome.ReceiveBuffer) + " bytes): the list of controllers may be incomplete.");
    } else if (List.Count() == 0 && outcome.Skipped > 0) {
      Fail("No controller answered within " + std::to_string(O.ListenMs) + " ms on adapter " +
           TerminalSafe(AdapterID) + "; only " + count + " datagram" + (outcome.Skipped == 1 ? "" : "s") +
           " that held no answer to the tool came, " + skipped + ".");
      sendersNamed = true;
    } else if (List.Count() == 0) {
      Fail("No controller answered within " + std::to_string(O.ListenMs) + " ms on adapter " +
           TerminalSafe(AdapterID) + ".");
    }
    // A skipped frame no longer cuts the listening short: the list is
    // complete but for its sender, which answered nothing the tool asked.
    if (outcome.Skipped > 0 && !sendersNamed)
      Warn("Skipped " + count + " datagram" + (outcome.Skipped == 1 ? "" : "s") +
           " that held no answer to the tool, " + skipped + ".");
    if (O.Direct && List.Count() > 1)
      Warn(std::to_string(List.Count()) +
           " controllers answered on a direct connection, which is meant for one.");
  } else {
    DetectByHosts();
  }
  Progress.Clear();

  const bool byHosts = !O.Hosts.empty() || O.HostsGiven;
  // One NAD answered from several addresses. Found by broadcast, a --nad
  // that names it is refused: the user cannot say which is meant. Listed by
  // address (--host, --hosts), each is served at its own address.
  std::map<uint32_t, std::vector<std::string>> where;
  for (int i = 0; i < List.Count(); ++i)
    where[static_cast<uint32_t>(NadNumber(*List.Items(i)))].push_back(List.Items(i)->GetIpAddress());
  for (const auto& [nad, ips] : where) {
    if (ips.size() < 2) continue;
    std::string list;
    for (const auto& ip : ips) list += (list.empty() ? "" : ", ") + TerminalSafe(ip);
    Warn("Controllers at " + list + " answer with the same NAD " + std::to_string(nad) + ".");
  }

  const std::set<uint32_t> wanted(O.Nads.begin(), O.Nads.end());
  std::set<uint32_t> found;
  for (int i = 0; i < List.Count(); ++i) {
    TTavex* plc = List.Items(i);
    const auto nad = static_cast<uint32_t>(NadNumber(*plc));
    if (!wanted.empty() && wanted.count(nad) == 0) continue;
    found.insert(nad);
    if (!byHosts && !wanted.empty() && where[nad].size() > 1) continue;
    Plcs.push_back(plc);
  }
  for (const uint32_t n : wanted) {
    if (byHosts) break;  // DetectByHosts has told what is missing
    if (found.count(n) != 0 && where[n].size() > 1) {
      Fail("NAD " + std::to_string(n) + " is answered by " + std::to_string(where[n].size()) +
           " controllers; none of them is served.");
      Missing.push_back({n, true, "", "answered from " + std::to_string(where[n].size()) + " addresses"});
    } else if (found.count(n) == 0) {
      if (List.Count() > 0) Fail("Controller " + std::to_string(n) + " did not answer.");
      Missing.push_back({n, true, "", BroadcastSilence()});
    }
  }

  // write --from and diff: the file's rows select. Rows for controllers
  // outside an explicit selection are never sent to; a controller the file
  // names that did not answer is asked for and missing.
  if (FileSelects()) {
    std::set<uint32_t> selected;  // empty: every NAD the file names
    if (byHosts) {
      for (const TTavex* p : Plcs) selected.insert(static_cast<uint32_t>(NadNumber(*p)));
      for (const auto& m : Missing)
        if (m.NadKnown) selected.insert(m.Nad);
    } else {
      selected = wanted;
    }
    std::vector<std::string> outside;
    size_t outsideRows = 0;
    for (auto it = FileValues.begin(); it != FileValues.end();) {
      const uint32_t nad = it->first;
      if (!selected.empty() && selected.count(nad) == 0) {
        outside.push_back(std::to_string(nad));
        outsideRows += it->second.size();
        it = FileValues.erase(it);
        continue;
      }
      const bool present = std::any_of(Plcs.begin(), Plcs.end(), [nad](const TTavex* p) {
        return NadNumber(*p) == nad;
      });
      const bool known = std::any_of(Missing.begin(), Missing.end(), [nad](const TAskedMissing& m) {
        return m.NadKnown && m.Nad == nad;
      });
      if (!present && !known) {
        Fail("Controller " + std::to_string(nad) + " named in " + Quoted(O.FromFile) + " did not answer; " +
             (O.Command == "diff" ? "its values were not compared." : "nothing was written to it."));
        Missing.push_back({nad, true, "", BroadcastSilence()});
      }
      ++it;
    }
    if (!outside.empty()) {
      Progress.Clear();
      Warn(std::to_string(outsideRows) + " row" + (outsideRows == 1 ? "" : "s") + " of " +
           Quoted(O.FromFile) + " for controllers not selected, left out: " + JoinList(outside) + ".");
    }
    // Served: the controllers the file has rows for.
    Plcs.erase(std::remove_if(Plcs.begin(), Plcs.end(),
                              [this](const TTavex* p) {
                                return FileValues.count(static_cast<uint32_t>(NadNumber(*p))) == 0;
                              }),
               Plcs.end());
    Missing.erase(std::remove_if(Missing.begin(), Missing.end(),
                                 [this](const TAskedMissing& m) {
                                   return m.NadKnown && FileValues.count(m.Nad) == 0;
                                 }),
                  Missing.end());
  }

  // Results in a stable order, whatever order the answers came in: by NAD,
  // then by address.
  std::stable_sort(Plcs.begin(), Plcs.end(), [](const TTavex* a, const TTavex* b) {
    if (NadNumber(*a) != NadNumber(*b)) return NadNumber(*a) < NadNumber(*b);
    const std::string ia = a->GetIpAddress(), ib = b->GetIpAddress();
    if (IPToInt(ia) != IPToInt(ib)) return IPToInt(ia) < IPToInt(ib);
    return ia < ib;
  });
}

std::string TTool::BroadcastSilence() const {
  return "did not answer the broadcast (listened " + std::to_string(O.ListenMs) + " ms)";
}

// What every record of this run gets: connection kind, adapter, password,
// and the transport's time-out and attempts.
void TTool::Configure(TTavex& Plc) const {
  Plc.SetDirectConnection(O.Direct);
  Plc.SelectAdapter(AdapterID);
  Plc.SetPassword(Password);
  SetTransport(Plc, O.TimeoutMs, O.Retries);
  Plc.Communicator->StopFlag = &gStopRequested;
  Trace(*Plc.Communicator);
}

std::atomic<bool> gStopRequested{false};

void TTool::Trace(TCommunicator& Comm) const {
  if (!O.Trace) return;
  // One write per line: lines of communicators served side by side stay
  // whole.
  Comm.OnTrace = [](bool Sent, const std::string& IP, uint16_t Port, const uint8_t* Data, size_t Size) {
    const std::string line = TraceLine(Sent, IP, Port, Data, Size);
    std::fwrite(line.data(), 1, line.size(), stderr);
  };
}

void TTool::StageLine(const TTavex& Plc, const std::string& Line) const {
  StageLine(NadText(Plc) + " at " + Plc.GetIpAddress(), Line);
}

void TTool::StageLine(const std::string& Where, const std::string& Line) const {
  if (!O.Verbose) return;
  // One write per line: lines of controllers served side by side stay whole.
  const std::string line = "tavexctl: [" + TerminalSafe(Where) + "] " + TerminalSafe(Line) + "\n";
  std::fwrite(line.data(), 1, line.size(), stderr);
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
    // With --nad only the selected rows are pinged: a dead controller the
    // run is not about must not fail it.
    const std::set<uint32_t> wanted(O.Nads.begin(), O.Nads.end());
    std::set<uint32_t> listed;
    for (auto& h : Inventory) {
      listed.insert(h.Nad);
      if (!wanted.empty() && wanted.count(h.Nad) == 0) continue;
      if (seen.insert(h.Address).second) targets.push_back({h.Address, true, h.Nad, nullptr, false});
    }
    if (O.Hosts.empty())
      for (const uint32_t n : wanted)
        if (listed.count(n) == 0) {
          Fail("Controller " + std::to_string(n) + " is not listed in " + Quoted(O.HostsFile) + ".");
          Missing.push_back({n, true, "", "not listed in " + O.HostsFile});
        }
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
    TTarget& t = targets[i];
    t.Answered = PingHost(*t.Plc, t.Address);
    StageLine(t.Address, t.Answered ? "ping: answered by " + NadText(*t.Plc) + " at " +
                                          t.Plc->GetIpAddress()
                                    : std::string("ping: no answer"));
  });

  for (auto& t : targets) {
    const std::string where = TerminalSafe(t.Address);
    if (!t.Answered) {
      const std::string cause = "no answer to " + std::to_string(O.Retries) + " attempt" +
                                (O.Retries == 1 ? "" : "s") + " of " + std::to_string(O.TimeoutMs) +
                                " ms";
      if (t.Listed)
        Fail("Controller " + std::to_string(t.Nad) + " listed at " + where + " did not answer (" +
             cause + ").");
      else
        Fail("No controller answered at " + where + " (" + cause + ").");
      Missing.push_back({t.Nad, t.Listed, t.Address, "did not answer (" + cause + ")"});
      continue;
    }
    if (t.Listed && NadNumber(*t.Plc) != t.Nad) {
      Fail("Controller " + NadText(*t.Plc) + " answered at " + where + ", where " +
           std::to_string(t.Nad) + " is listed; it was left out.");
      Missing.push_back({t.Nad, true, t.Address, "answered with NAD " + NadText(*t.Plc)});
      continue;
    }
    if (!t.Listed && !O.Nads.empty() &&
        std::find(O.Nads.begin(), O.Nads.end(), static_cast<uint32_t>(NadNumber(*t.Plc))) == O.Nads.end()) {
      Progress.Clear();
      Warn("Controller " + NadText(*t.Plc) + " answered at " + where + "; it is not selected by --nad.");
      continue;
    }
    List.Add(std::move(t.Plc));
  }
  // What did not answer may still answer late (see Hints).
  for (auto& t : targets) {
    AnyAnswer = AnyAnswer || t.Answered;
    if (t.Plc) Spent.push_back(std::move(t.Plc));
  }
}

// --- Hints ----------------------------------------------------------------------

namespace {

// Waiting for late answers at the end of a run lasts at most one --timeout
// and a little more (the answer to a resend comes one time-out after the
// one taken), and never longer than this.
constexpr int kLateWaitMarginMs = 100;
constexpr int kMaxLateWaitMs = 1000;

}  // namespace

std::vector<std::string> TTool::Hints() {
  std::vector<std::string> out;
  if (O.Command == "adapters" || O.Command == "history") return out;  // nothing was sent
  std::vector<TCommunicator*> comms;
  for (int i = 0; i < List.Count(); ++i)
    if (List.Items(i)->Communicator) comms.push_back(List.Items(i)->Communicator.get());
  for (const auto& p : Spent)
    if (p->Communicator) comms.push_back(p->Communicator.get());

  // A request sent again or given up may have had its answer come late:
  // what is still on its way gets a little longer to arrive.
  using TClock = std::chrono::steady_clock;
  const TClock::time_point now = TClock::now();
  TClock::time_point until = now;
  for (TCommunicator* c : comms) {
    const TLateAnswers l = c->LateAnswers();
    if (l.Resent > 0 || l.GivenUp > 0) until = std::max(until, c->LateAnswersUntil());
  }
  until = std::min(until, now + std::chrono::milliseconds(
                                    std::min(O.TimeoutMs + kLateWaitMarginMs, kMaxLateWaitMs)));
  while (TClock::now() < until && !gStopRequested.load())
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  TLateAnswers late;
  for (TCommunicator* c : comms) {
    c->EndRests();
    const TLateAnswers l = c->LateAnswers();
    late.Count += l.Count;
    late.MaxDelayMs = std::max(late.MaxDelayMs, l.MaxDelayMs);
    late.Resent += l.Resent;
    late.GivenUp += l.GivenUp;
  }

  // A controller with another password ignores the request: no answer at
  // all, just like no controller.
  const bool byHosts = !O.Hosts.empty() || O.HostsGiven;
  const bool nothingAnswered = byHosts ? !AnyAnswer : List.Count() == 0;
  if (nothingAnswered && late.Count == 0)
    out.push_back("A controller whose password differs from the one sent does not answer at all; " +
                  (PasswordOrigin.empty()
                       ? std::string("no password was sent (none was given by --password, "
                                     "TAVEX_PASSWORD or a configuration file).")
                       : "the password sent came from " + PasswordOrigin + "."));
  // Only where it explains a request sent again or given up.
  if (late.Count > 0 && (late.Resent > 0 || late.GivenUp > 0))
    out.push_back("Answers came up to " + std::to_string(late.MaxDelayMs) +
                  " ms after their request, later than --timeout " + std::to_string(O.TimeoutMs) +
                  ", so requests were sent again or given up: raise --timeout above " +
                  std::to_string(late.MaxDelayMs) + ".");
  return out;
}

void TTool::WatchCache(TAlcCache& Cache) const {
  if (!O.Verbose) return;
  Cache.OnStoreFailure = [this](const std::string& Path, const std::string& Cause) {
    StageLine("cache", "cannot keep " + Path + ": " + Cause);
  };
}

void TTool::WarnCache(const TAlcCache& Cache) {
  const std::string cause = Cache.StoreFailure();
  if (cause.empty() || CacheWarned) return;
  CacheWarned = true;
  Progress.Clear();
  Warn("cannot keep allocation files in " + TerminalSafe(Cache.Folder()) + ": " + TerminalSafe(cause) +
       "; going on without the cache.");
}

void TTool::Emit(const TTextTable& Human, const TTextTable& Machine, const Json& J) {
  switch (O.Format) {
    case TFormat::Table:
      Out(FormatTable(Human));
      break;
    case TFormat::Csv:
    case TFormat::Rows:
      Out(FormatCsv(Machine));
      break;
    case TFormat::Json:
      // Texts from a controller need not be valid UTF-8.
      Out(J.dump(2, ' ', false, Json::error_handler_t::replace) + "\n");
      break;
  }
}

}  // namespace tavex

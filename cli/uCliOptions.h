// The command line of tavexctl: what it accepts, checked before anything
// is sent. Every mistake is a TUsageError (exit status 2) in one sentence.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "cli/uCliInputs.h"
#include "comm/uCommunication.h"

namespace tavex {

inline constexpr int kMaxListenMs = 60000;
inline constexpr int kMaxTimeoutMs = 60000;
inline constexpr int kMaxRetries = 20;

enum class TFormat { Table, Csv, Json, Rows };

struct TOptions {
  std::string Command;
  std::vector<std::string> Args;
  std::string Adapter;
  bool AdapterGiven = false;
  bool Direct = false;
  std::string Password;
  bool PasswordGiven = false;            // by --password or TAVEX_PASSWORD
  bool PasswordFromEnvironment = false;  // by TAVEX_PASSWORD only
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
  bool SyncClock = false;  // write --sync-clock, clock --sync
  bool Utc = false;        // the clock set to UTC instead of local time
  bool DryRun = false;
  bool Quiet = false;
  bool Trace = false;  // every datagram on stderr
  bool Verbose = false;  // each controller's stages on stderr
  std::string FromFile;
  bool FromGiven = false;
  bool All = false;          // write: every controller that answers, without a selection
  bool SkipUnknown = false;  // write --from: rows whose value is "?" are left out, not refused
  bool ChangedOnly = false;  // write --from: only the values that differ from the controller's now
  std::vector<TWriteValue> Values;  // write's ENTRY=VALUE arguments, checked
  // The journal (write, clock --sync): none at all, or one that must be
  // writable before anything is sent and whose append must succeed.
  bool NoJournal = false;
  bool RequireJournal = false;
  // history's filters: entries, a time span (ms since 1970, UTC), a run.
  std::vector<std::string> HistoryEntries;
  bool SinceGiven = false, UntilGiven = false;
  int64_t SinceMs = 0, UntilMs = 0;
  std::string Op;
  bool Last = false;  // only the latest run
  // report: HTML (else CSV), into this file (empty: standard output).
  bool Html = false;
  std::string OutputFile;
};

// The commands, in the order the help lists them.
inline constexpr const char* kCommands[] = {"adapters", "detect", "status",  "read",   "write", "diff",
                                            "clock",    "vars",   "history", "report", "help"};

// The help of one command: usage, what it does, the options that apply to
// it, examples. Empty for a word that is no command.
std::string CommandHelp(const std::string& Command);

// A whole decimal number from Low to High, nothing else.
bool ParseIntIn(const std::string& Text, int Low, int High, int& Value);

// Text as a usage sentence pointing at the help.
std::string UsageSentence(std::string Text);

// Parses the command line into O. Returns -1 to go on, or the exit status
// when the program should end (help, version). Throws TUsageError.
int ParseCommandLine(int argc, char** argv, TOptions& O);

}  // namespace tavex

// Shared by the fuzz targets: a process without any real name lookup or
// adapter table, and a check that aborts with a message (libFuzzer then
// keeps the input as a crash).
#pragma once

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "hostutil/uEthernetUtils.h"

namespace tavex::fuzz {

// Every name resolves to nothing except "fuzzhost" (the host's own name);
// the adapter table is loopback only. Installed once per process, before the
// first input: fuzzing never asks the system's resolver or adapters.
inline void NoNetwork() {
  static const bool done = [] {
    SetHostNameSource([] { return std::string("fuzzhost"); });
    SetHostResolver([](const std::string& name) {
      return name == "fuzzhost" ? std::vector<std::string>{"127.0.0.1"}
                                : std::vector<std::string>{};
    });
    SetAdapterTableSource([](std::vector<TAdapterRecord>& table) {
      table = {{"lo", "Loopback", "127.0.0.1", "255.0.0.0"}};
      return true;
    });
    return true;
  }();
  (void)done;
}

// The receive fuzzer's variable list: every kind, more than one batch.
inline constexpr const char* kReceiveVars =
    "0100 0 40 0 1 global bit flags\n"
    "0200 0 30 0 2 global word counts\n"
    "0300 0 10 0 2 global int temps\n"
    "0400 0 20 0 4 global long totals\n"
    "0500 0 25 0 4 global real levels\n"
    "0600 0 3 0 4 global timer t\n";

[[noreturn]] inline void Fail(const char* what, const char* file, int line) {
  std::fprintf(stderr, "invariant broken at %s:%d: %s\n", file, line, what);
  std::abort();
}

}  // namespace tavex::fuzz

// Unlike assert(), never compiled out.
#define FUZZ_CHECK(cond) \
  do { \
    if (!(cond)) ::tavex::fuzz::Fail(#cond, __FILE__, __LINE__); \
  } while (0)

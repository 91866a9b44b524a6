// The desktop tool's own command-line options, looked at before the window
// toolkit starts, so that --version and --help need no display:
//   --version        print the version and end
//   -h, --help       print the help and end
//   --quit-after MS  close the main window MS milliseconds after the start
//                    (a start that ends by itself, for checks of an install)
// Every other argument is left to the toolkit (-platform, -style, ...).
// Called on the main thread before anything else; no Qt.
#pragma once

#include <string>

#include "vars/uConfigFile.h"

namespace tavex {

struct TCommandLine {
  enum class TAction { Run, Version, Help, Error };
  TAction Action = TAction::Run;
  // Milliseconds until the window closes itself; -1: it stays open.
  int QuitAfterMs = -1;
  // For Error: one sentence for stderr.
  std::string Error;
};

inline constexpr int kMaxQuitAfterMs = 86400000;  // a day

// Reads argv[1 .. argc-1]. The first of --version and --help wins over
// what follows; a bad --quit-after value is an Error.
TCommandLine ParseCommandLine(int argc, const char* const* argv);

// The text of --help, naming the configuration files this program would
// look at (Places) and the settings file.
std::string HelpText(const TConfigFilePlaces& Places);

}  // namespace tavex

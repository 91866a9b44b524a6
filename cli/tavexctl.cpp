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
#include <exception>
#include <iostream>

#include "cli/uCliOptions.h"
#include "cli/uCliOutput.h"
#include "cli/uCliPlatform.h"
#include "cli/uCliTool.h"

namespace {
void OnStopRequest() { tavex::gStopRequested.store(true); }
}  // namespace

int main(int argc, char** argv) {
  using namespace tavex;
  GuardStandardStreams();
  // A stop request (SIGINT, SIGTERM; Ctrl+C on Windows) ends the run after
  // the frame in flight, with what was done printed (status 130).
  InstallStopHandler(OnStopRequest);
  // Every controller served at once holds a socket (and its listener's
  // descriptors): take all the descriptors this process may have.
  RaiseDescriptorLimit();
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

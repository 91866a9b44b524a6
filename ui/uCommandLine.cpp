#include "ui/uCommandLine.h"

#include <charconv>
#include <string_view>

namespace tavex {

namespace {

bool ParseMs(std::string_view Text, int& Ms) {
  int value = 0;
  const auto [end, ec] = std::from_chars(Text.data(), Text.data() + Text.size(), value);
  if (ec != std::errc() || end != Text.data() + Text.size() || value < 0 || value > kMaxQuitAfterMs)
    return false;
  Ms = value;
  return true;
}

}  // namespace

TCommandLine ParseCommandLine(int argc, const char* const* argv) {
  TCommandLine result;
  for (int i = 1; i < argc && argv[i] != nullptr; ++i) {
    const std::string_view arg = argv[i];
    if (arg == "--version") {
      result.Action = TCommandLine::TAction::Version;
      return result;
    }
    if (arg == "-h" || arg == "--help") {
      result.Action = TCommandLine::TAction::Help;
      return result;
    }
    std::string_view value;
    if (arg == "--quit-after") {
      if (i + 1 >= argc || argv[i + 1] == nullptr) {
        result.Action = TCommandLine::TAction::Error;
        result.Error = "--quit-after needs a number of milliseconds.";
        return result;
      }
      value = argv[++i];
    } else if (arg.starts_with("--quit-after=")) {
      value = arg.substr(std::string_view("--quit-after=").size());
    } else {
      continue;
    }
    if (!ParseMs(value, result.QuitAfterMs)) {
      result.Action = TCommandLine::TAction::Error;
      result.Error = "--quit-after needs a number of milliseconds from 0 to " + std::to_string(kMaxQuitAfterMs) +
                     ", not \"" + std::string(value.substr(0, 40)) + "\".";
      return result;
    }
  }
  return result;
}

std::string HelpText(const TConfigFilePlaces& Places) {
  std::string text =
      "Usage: tavex-config [--quit-after MS] [Qt options]\n"
      "Finds Tavex controllers on an Ethernet network, checks their status, and\n"
      "reads and writes their configuration variables and clocks.\n"
      "\n"
      "Options:\n"
      "  -h, --help         Print this help and exit\n"
      "  --version          Print the version and exit\n"
      "  --quit-after MS    Close the window MS milliseconds after the start\n"
      "  -platform NAME     Qt's platform plugin (e.g. offscreen, xcb, wayland)\n"
      "\n"
      "Configuration file (password and the variables of the Configuration page),\n"
      "the first that exists:\n"
      "  " + (Places.Beside.empty() ? std::string("(the program's path with .ini)") : Places.Beside) + "\n"
      "  " + (Places.User.empty() ? std::string("$XDG_CONFIG_HOME/tavex/tavex-config.ini") : Places.User) + "\n"
      "Settings (adapter, connection, window): $XDG_CONFIG_HOME/Velmarcon/TavexConfigTool.conf\n"
      "(else ~/.config/Velmarcon/TavexConfigTool.conf).\n";
  return text;
}

}  // namespace tavex

#include "cli/uInventory.h"

#include <charconv>
#include <map>

#include "cli/uCliInputs.h"
#include "cli/uCliOutput.h"
#include "hostutil/uEthernetUtils.h"

namespace tavex {

bool ParseNad(std::string_view Text, uint32_t& Nad) {
  if (Text.empty() || Text.size() > 10) return false;
  uint64_t v = 0;
  const auto [end, ec] = std::from_chars(Text.data(), Text.data() + Text.size(), v);
  if (ec != std::errc() || end != Text.data() + Text.size() || v > 0xFFFFFFFFull) return false;
  Nad = static_cast<uint32_t>(v);
  return true;
}

bool ValidHostText(const std::string& Text) {
  std::string host;
  int32_t port = -1;
  if (!SplitHostPort(Text, host, port)) return false;
  if (Text.find(':') != std::string::npos && (port < 1 || port > 65535)) return false;
  return !host.empty() && IsValidIP(host) && IPToInt(host) != 0;
}

TInventory ParseInventory(std::string_view Text, const std::string& Name) {
  TInventory out;
  const TCsvRows csv = ReadCsvRows(Text, Name, {"nad", "ip"}, kMaxInventoryRows, out.Warnings);
  struct TFirst {
    uint32_t Nad;
    size_t Line;
  };
  std::map<std::string, TFirst> byAddress;
  std::map<uint32_t, std::vector<size_t>> byNad;  // -> positions in out.Hosts
  std::vector<std::string> repeats;
  for (size_t r = 0; r < csv.Rows.size(); ++r) {
    const auto& rec = csv.Rows[r];
    const std::string where = LineOf(csv.Lines[r], Name);
    if (rec.size() != 2)
      throw TUsageError{where + " has " + std::to_string(rec.size()) + " field" +
                        (rec.size() == 1 ? "" : "s") + "; each row needs nad,ip."};
    TInventoryHost h;
    h.Line = csv.Lines[r];
    if (!ParseNad(rec[0], h.Nad)) throw TUsageError{where + ": " + Quoted(rec[0]) + " is not a NAD."};
    if (!ValidHostText(rec[1]))
      throw TUsageError{where + ": " + Quoted(rec[1]) + " is not an address (ADDR or ADDR:PORT)."};
    h.Address = rec[1];
    const auto [it, fresh] = byAddress.emplace(h.Address, TFirst{h.Nad, h.Line});
    if (!fresh) {
      if (it->second.Nad != h.Nad)
        throw TUsageError{"Lines " + std::to_string(it->second.Line) + " and " + std::to_string(h.Line) +
                          " of " + Quoted(Name) + " list the address " + TerminalSafe(h.Address) +
                          " for controllers " + std::to_string(it->second.Nad) + " and " +
                          std::to_string(h.Nad) + "."};
      repeats.push_back(where + " repeats line " + std::to_string(it->second.Line) + " (controller " +
                        std::to_string(h.Nad) + " at " + TerminalSafe(h.Address) + "); it is left out.");
      continue;
    }
    byNad[h.Nad].push_back(out.Hosts.size());
    out.Hosts.push_back(std::move(h));
  }
  if (out.Hosts.empty()) throw TUsageError{Quoted(Name) + " lists no controller."};

  std::vector<std::string> shared;
  for (const auto& [nad, at] : byNad) {
    if (at.size() < 2) continue;
    std::string lines, addresses;
    // A handful named; the rest as "...".
    constexpr size_t kNamed = 5;
    for (size_t i = 0; i < at.size() && i < kNamed; ++i) {
      const TInventoryHost& h = out.Hosts[at[i]];
      const char* joint = i == 0 ? "" : (i + 1 == at.size() ? " and " : ", ");
      lines += joint + std::to_string(h.Line);
      addresses += (i == 0 ? "" : ", ") + TerminalSafe(h.Address);
    }
    if (at.size() > kNamed) {
      lines += ", ...";
      addresses += ", ...";
    }
    shared.push_back("Lines " + lines + " of " + Quoted(Name) + " list controller " +
                     std::to_string(nad) + " at " + std::to_string(at.size()) + " addresses (" +
                     addresses + "); each of them is pinged.");
  }
  AddCappedWarnings(out.Warnings, repeats, "rows of " + Quoted(Name) + " repeat an earlier one and are left out");
  AddCappedWarnings(out.Warnings, shared, "controllers of " + Quoted(Name) + " are listed at several addresses");
  return out;
}

TInventory LoadInventory(const std::string& Path) {
  std::string text, error;
  if (!ReadSmallInput(Path, kMaxInventoryBytes, text, error)) throw TUsageError{error};
  return ParseInventory(text, Path == "-" ? "standard input" : Path);
}

}  // namespace tavex

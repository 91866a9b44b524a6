#include "cli/uInventory.h"

#include <algorithm>
#include <charconv>
#include <set>

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

bool ParseInventory(std::string_view Text, const std::string& Name,
                    std::vector<TInventoryHost>& Hosts, std::string& Error) {
  Hosts.clear();
  const std::string quoted = "\"" + TerminalSafe(Name) + "\"";
  std::vector<std::vector<std::string>> records;
  std::vector<size_t> lines;
  if (!ParseCsv(Text, records, Error, &lines, kMaxInventoryRows + 2, 8)) {
    Error = "Cannot read " + quoted + ": " + Error + ".";
    return false;
  }
  size_t first = 0;
  if (!records.empty() && records[0].size() == 2) {
    std::vector<std::string> head = records[0];
    for (auto& h : head)
      std::transform(h.begin(), h.end(), h.begin(),
                     [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    if (head == std::vector<std::string>{"nad", "ip"}) first = 1;
  }
  if (records.size() - first > kMaxInventoryRows) {
    Error = quoted + " lists more than " + std::to_string(kMaxInventoryRows) + " controllers.";
    return false;
  }
  std::set<std::string> addresses;
  std::set<uint32_t> nads;
  for (size_t r = first; r < records.size(); ++r) {
    const auto& rec = records[r];
    const std::string where = "Line " + std::to_string(lines[r]) + " of " + quoted;
    if (rec.size() != 2) {
      Error = where + " has " + std::to_string(rec.size()) + " fields; each row needs nad,ip.";
      return false;
    }
    TInventoryHost h;
    h.Line = lines[r];
    if (!ParseNad(rec[0], h.Nad)) {
      Error = where + ": \"" + TerminalSafe(rec[0]) + "\" is not a NAD.";
      return false;
    }
    if (!ValidHostText(rec[1])) {
      Error = where + ": \"" + TerminalSafe(rec[1]) + "\" is not an address (ADDR or ADDR:PORT).";
      return false;
    }
    h.Address = rec[1];
    if (!nads.insert(h.Nad).second) {
      Error = where + " lists controller " + std::to_string(h.Nad) + " a second time.";
      return false;
    }
    if (!addresses.insert(h.Address).second) {
      Error = where + " lists the address " + TerminalSafe(h.Address) + " a second time.";
      return false;
    }
    Hosts.push_back(std::move(h));
  }
  if (Hosts.empty()) {
    Error = quoted + " lists no controller.";
    return false;
  }
  return true;
}

}  // namespace tavex

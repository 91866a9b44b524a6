// The Linux sources of the adapter table, the host name, name lookup and
// the default route: getifaddrs, gethostname, gethostbyname2_r and the
// kernel's route table.
#include "hostutil/uEthernetUtils.h"

#include <arpa/inet.h>
#include <ifaddrs.h>
#include <net/if.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <system_error>
#include <vector>

namespace tavex {

namespace {

// A name longer than any DNS name is not looked up at all.
constexpr std::size_t kMaxHostNameLength = 255;

std::string AddressText(const sockaddr* sa) {
  if (sa == nullptr || sa->sa_family != AF_INET) return {};
  sockaddr_in sin;
  std::memcpy(&sin, sa, sizeof sin);
  char buf[INET_ADDRSTRLEN] = {};
  if (inet_ntop(AF_INET, &sin.sin_addr, buf, sizeof buf) == nullptr) return {};
  return buf;
}

// Interface names never hold '/' and are never "." or "..", but the name is
// about to become a path, so make sure.
bool IsPlainInterfaceName(const std::string& name) {
  return !name.empty() && name != "." && name != ".." &&
         name.find('/') == std::string::npos;
}

bool IsWireless(const std::string& name) {
  if (!IsPlainInterfaceName(name)) return false;
  std::error_code ec;
  const std::filesystem::path dir = std::filesystem::path("/sys/class/net") / name;
  return std::filesystem::exists(dir / "wireless", ec) ||
         std::filesystem::exists(dir / "phy80211", ec);
}

std::string DescribeInterface(const std::string& name, unsigned flags) {
  if (flags & IFF_LOOPBACK) return "Loopback adapter " + name;
  if (IsWireless(name)) return "Wireless adapter " + name;
  if (flags & IFF_POINTOPOINT) return "Point-to-point adapter " + name;
  return "Ethernet adapter " + name;
}

}  // namespace

// ---------------------------------------------------------------------------
// System sources

void AdapterTableFromInterfaces(const ifaddrs* list, std::vector<TAdapterRecord>& table) {
  table.clear();
  std::vector<unsigned> flags;
  std::vector<char> hasAddress;
  for (const ifaddrs* it = list; it != nullptr; it = it->ifa_next) {
    if (it->ifa_name == nullptr) continue;
    // The kernel bounds names to IF_NAMESIZE; an address label "eth0:1" names
    // a secondary address of eth0, which the adapter's first address hides.
    std::string name(it->ifa_name, strnlen(it->ifa_name, IF_NAMESIZE));
    name = name.substr(0, name.find(':'));
    if (name.empty()) continue;
    std::size_t i = 0;
    while (i < table.size() && table[i].ID != name) ++i;
    if (i == table.size()) {
      // Every interface has a row, also one without an IPv4 address (down,
      // or its address lost): it shows as "0.0.0.0".
      table.push_back({name, {}, "0.0.0.0", "0.0.0.0"});
      flags.push_back(0);
      hasAddress.push_back(0);
    }
    flags[i] |= it->ifa_flags;
    if (hasAddress[i] || it->ifa_addr == nullptr || it->ifa_addr->sa_family != AF_INET) continue;
    const std::string ip = AddressText(it->ifa_addr);
    if (ip.empty()) continue;
    const std::string mask = AddressText(it->ifa_netmask);
    table[i].IP = ip;
    table[i].Mask = mask.empty() ? "0.0.0.0" : mask;
    hasAddress[i] = 1;
  }
  for (std::size_t i = 0; i < table.size(); ++i) {
    table[i].Description = DescribeInterface(table[i].ID, flags[i]);
    table[i].Up = (flags[i] & IFF_UP) != 0;
  }
}

bool ReadSystemAdapterTable(std::vector<TAdapterRecord>& table) {
  table.clear();
  ifaddrs* list = nullptr;
  if (getifaddrs(&list) != 0) return false;
  AdapterTableFromInterfaces(list, table);
  freeifaddrs(list);
  return true;
}

std::string DefaultRouteFromTable(std::string_view text) {
  constexpr int kMaxLines = 4096;
  constexpr unsigned kRouteUp = 0x1;
  std::string best;
  long bestMetric = 0;
  int lineNo = 0;
  while (!text.empty() && lineNo < kMaxLines) {
    const std::size_t end = text.find('\n');
    const std::string_view line = text.substr(0, end);
    text.remove_prefix(end == std::string_view::npos ? text.size() : end + 1);
    if (lineNo++ == 0) continue;  // the column captions
    // Iface Destination Gateway Flags RefCnt Use Metric Mask ...
    std::vector<std::string_view> f;
    std::size_t p = 0;
    while (p < line.size() && f.size() < 8) {
      while (p < line.size() && (line[p] == ' ' || line[p] == '\t')) ++p;
      const std::size_t q = line.find_first_of(" \t", p);
      const std::size_t e = q == std::string_view::npos ? line.size() : q;
      if (e > p) f.push_back(line.substr(p, e - p));
      p = e;
    }
    if (f.size() < 8) continue;
    auto number = [](std::string_view t, int base, unsigned long& v) {
      auto [ptr, ec] = std::from_chars(t.data(), t.data() + t.size(), v, base);
      return ec == std::errc() && ptr == t.data() + t.size();
    };
    unsigned long dest = 1, routeFlags = 0, metric = 0, mask = 1;
    if (!number(f[1], 16, dest) || !number(f[3], 16, routeFlags) || !number(f[6], 10, metric) ||
        !number(f[7], 16, mask))
      continue;
    if (dest != 0 || mask != 0 || (routeFlags & kRouteUp) == 0) continue;
    if (best.empty() || static_cast<long>(metric) < bestMetric) {
      best = std::string(f[0].substr(0, IF_NAMESIZE));
      bestMetric = static_cast<long>(metric);
    }
  }
  return best;
}

std::string SystemDefaultRoute() {
  std::ifstream in("/proc/net/route", std::ios::binary);
  if (!in) return {};
  // A route table of a few thousand lines at most; anything beyond is not read.
  constexpr std::size_t kMaxBytes = 1u << 20;
  std::string text;
  char buf[8192];
  while (in && text.size() < kMaxBytes) {
    in.read(buf, sizeof buf);
    text.append(buf, static_cast<std::size_t>(in.gcount()));
  }
  return DefaultRouteFromTable(text);
}

std::string SystemHostName() {
  char buf[256] = {};
  if (gethostname(buf, sizeof buf - 1) != 0) return {};
  buf[sizeof buf - 1] = '\0';
  return buf;
}

std::vector<std::string> SystemResolveHost(const std::string& host) {
  std::vector<std::string> out;
  if (host.empty() || host.size() > kMaxHostNameLength ||
      host.find('\0') != std::string::npos)
    return out;
  // The classic host lookup keeps the host file's order of addresses; the
  // newer one sorts them by preference, which changes which one is last.
  constexpr std::size_t kMaxBuffer = 1u << 16;
  constexpr std::size_t kMaxAddresses = 64;
  std::vector<char> buf(2048);
  hostent entry{};
  hostent* result = nullptr;
  int error = 0;
  int rc = 0;
  for (;;) {
    rc = gethostbyname2_r(host.c_str(), AF_INET, &entry, buf.data(), buf.size(), &result, &error);
    if (rc != ERANGE || buf.size() >= kMaxBuffer) break;
    buf.resize(buf.size() * 2);
  }
  if (rc != 0 || result == nullptr || result->h_addrtype != AF_INET ||
      result->h_length != static_cast<int>(sizeof(in_addr)) || result->h_addr_list == nullptr)
    return out;
  for (char** a = result->h_addr_list; *a != nullptr && out.size() < kMaxAddresses; ++a) {
    in_addr address;
    std::memcpy(&address, *a, sizeof address);
    char text[INET_ADDRSTRLEN] = {};
    if (inet_ntop(AF_INET, &address, text, sizeof text) != nullptr) out.emplace_back(text);
  }
  return out;
}
}  // namespace tavex

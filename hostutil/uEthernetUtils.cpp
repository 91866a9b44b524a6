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
#include <limits>
#include <mutex>
#include <optional>
#include <system_error>
#include <utility>

namespace tavex {

namespace {

// ---------------------------------------------------------------------------
// Hooks

std::mutex gSourcesMutex;
TAdapterTableSource gTableSource;
THostNameSource gHostNameSource;
THostResolver gResolver;
TDefaultRouteSource gDefaultRoute;

// Copies a hook under the lock and calls it outside, so a slow lookup never
// holds the lock and a hook may itself use this unit.
template <class F>
F LoadHook(const F& hook) {
  std::lock_guard<std::mutex> lock(gSourcesMutex);
  return hook;
}

// A name longer than any DNS name is not looked up at all.
constexpr std::size_t kMaxHostNameLength = 255;

// Widths of the adapter record's texts; every record is cut to them, so an
// odd source (or a fuzzer) cannot hand us unbounded texts.
constexpr std::size_t kMaxAdapterIDLength = 260;
constexpr std::size_t kMaxDescriptionLength = 132;
constexpr std::size_t kMaxAddressLength = 16;

void CutText(std::string& s, std::size_t width) {
  std::size_t zero = s.find('\0');
  if (zero != std::string::npos) s.resize(zero);
  if (s.size() > width) s.resize(width);
}

bool ReadAdapterTable(std::vector<TAdapterRecord>& table) {
  table.clear();
  TAdapterTableSource src = LoadHook(gTableSource);
  bool ok = src ? src(table) : ReadSystemAdapterTable(table);
  if (!ok) {
    table.clear();
    return false;
  }
  for (TAdapterRecord& r : table) {
    CutText(r.ID, kMaxAdapterIDLength);
    CutText(r.Description, kMaxDescriptionLength);
    CutText(r.IP, kMaxAddressLength);
    CutText(r.Mask, kMaxAddressLength);
  }
  return true;
}

std::string HostName() {
  THostNameSource src = LoadHook(gHostNameSource);
  return src ? src() : SystemHostName();
}

std::vector<std::string> Resolve(const std::string& host) {
  THostResolver src = LoadHook(gResolver);
  return src ? src(host) : SystemResolveHost(host);
}

std::string DefaultRoute() {
  TDefaultRouteSource src = LoadHook(gDefaultRoute);
  std::string id = src ? src() : SystemDefaultRoute();
  CutText(id, kMaxAdapterIDLength);
  return id;
}

// An address in 127.0.0.0/8 never leaves the host.
bool IsLoopbackAddress(const std::string& ip) { return (IPToInt(ip) >> 24) == 127; }

// A record usable as the tool's adapter: a real address, mask and broadcast.
bool IsUsable(const TAdapterRecord& r) {
  return IPToInt(r.IP) != 0 && IsValidIP(r.Mask) && IsValidIP(GetBroadcastIP(r.IP, r.Mask));
}

// ---------------------------------------------------------------------------
// Dotted quad

std::optional<uint32_t> ParseDottedQuad(std::string_view s) {
  if (s.size() < 7 || s.size() > 15 || s.front() == '.') return std::nullopt;
  uint32_t result = 0;
  unsigned group = 0;
  unsigned digits = 0;
  unsigned dots = 0;
  for (char c : s) {
    if (c == '.') {
      // A dot must close a group of at least one digit; the first character
      // is not a dot, so an empty group here means two dots in a row.
      if (digits == 0) return std::nullopt;
      if (++dots > 3) return std::nullopt;  // five or more groups
      result = (result << 8) | group;
      group = 0;
      digits = 0;
    } else if (c >= '0' && c <= '9') {
      if (++digits > 3) return std::nullopt;
      group = group * 10 + static_cast<unsigned>(c - '0');
      if (group > 255) return std::nullopt;
    } else {
      return std::nullopt;
    }
  }
  if (dots != 3 || digits == 0) return std::nullopt;  // too few groups, trailing dot
  return (result << 8) | group;
}

// Port text: an optional '-' and decimal digits that fit a signed 32-bit
// number. Anything else (empty, '+', spaces, overflow) is not a port.
std::optional<int32_t> ParsePortText(std::string_view s) {
  if (s.empty()) return std::nullopt;
  std::string_view digits = s.front() == '-' ? s.substr(1) : s;
  if (digits.empty()) return std::nullopt;
  for (char c : digits)
    if (c < '0' || c > '9') return std::nullopt;
  int32_t value = 0;
  auto [end, ec] = std::from_chars(s.data(), s.data() + s.size(), value);
  if (ec != std::errc() || end != s.data() + s.size()) return std::nullopt;
  return value;
}

std::string LastAddress(const std::vector<std::string>& list) {
  return list.empty() ? std::string() : list.back();
}

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
  for (std::size_t i = 0; i < table.size(); ++i)
    table[i].Description = DescribeInterface(table[i].ID, flags[i]);
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

void SetAdapterTableSource(TAdapterTableSource src) {
  std::lock_guard<std::mutex> lock(gSourcesMutex);
  gTableSource = std::move(src);
}

void SetHostNameSource(THostNameSource src) {
  std::lock_guard<std::mutex> lock(gSourcesMutex);
  gHostNameSource = std::move(src);
}

void SetHostResolver(THostResolver src) {
  std::lock_guard<std::mutex> lock(gSourcesMutex);
  gResolver = std::move(src);
}

void SetDefaultRouteSource(TDefaultRouteSource src) {
  std::lock_guard<std::mutex> lock(gSourcesMutex);
  gDefaultRoute = std::move(src);
}

TPlatformSourcesGuard::TPlatformSourcesGuard() {
  std::lock_guard<std::mutex> lock(gSourcesMutex);
  FTable = gTableSource;
  FHostName = gHostNameSource;
  FResolver = gResolver;
  FDefaultRoute = gDefaultRoute;
}

TPlatformSourcesGuard::~TPlatformSourcesGuard() {
  std::lock_guard<std::mutex> lock(gSourcesMutex);
  gTableSource = std::move(FTable);
  gHostNameSource = std::move(FHostName);
  gResolver = std::move(FResolver);
  gDefaultRoute = std::move(FDefaultRoute);
}

// ---------------------------------------------------------------------------
// Free functions

bool IsValidIP(std::string_view s) { return ParseDottedQuad(s).has_value(); }

uint32_t IPToInt(std::string_view s) { return ParseDottedQuad(s).value_or(0); }

std::string IntToIP(uint32_t v) {
  return std::to_string((v >> 24) & 0xFF) + '.' + std::to_string((v >> 16) & 0xFF) +
         '.' + std::to_string((v >> 8) & 0xFF) + '.' + std::to_string(v & 0xFF);
}

std::string GetBroadcastIP(std::string_view ip, std::string_view mask) {
  const uint32_t n = IPToInt(ip);
  const uint32_t m = IPToInt(mask);
  return IntToIP((n & m) | ~m);
}

std::string GetLocalHostIP() {
  const std::string name = HostName();
  if (name.empty()) return {};
  return ResolveHostIP(name);
}

std::string ResolveHostIP(const std::string& host) {
  if (host.empty() || host.size() > kMaxHostNameLength ||
      host.find('\0') != std::string::npos)
    return {};
  return LastAddress(Resolve(host));
}

bool FindAdapterByIP(const std::string& ip, std::string& mask, std::string& id,
                     std::string& description) {
  if (ip.empty()) return false;
  std::vector<TAdapterRecord> table;
  if (!ReadAdapterTable(table)) return false;
  const TAdapterRecord* found = nullptr;
  for (const TAdapterRecord& r : table)
    if (r.IP == ip) found = &r;  // the last match wins
  if (found == nullptr) return false;
  mask = found->Mask;
  id = found->ID;
  description = found->Description;
  return true;
}

bool FindAdapterByID(const std::string& id, std::string& ip, std::string& mask,
                     std::string& description) {
  if (id.empty()) return false;
  std::vector<TAdapterRecord> table;
  if (!ReadAdapterTable(table)) return false;
  const TAdapterRecord* found = nullptr;
  for (const TAdapterRecord& r : table)
    if (r.ID == id) found = &r;  // the last match wins
  if (found == nullptr) return false;
  ip = found->IP;
  mask = found->Mask;
  description = found->Description;
  return true;
}

bool SplitHostPort(const std::string& text, std::string& host, int32_t& port) {
  int32_t p = -1;
  std::string h = text;
  const std::size_t colon = text.find(':');
  if (colon != std::string::npos) {
    std::optional<int32_t> parsed = ParsePortText(std::string_view(text).substr(colon + 1));
    // A port the 16-bit field cannot hold would be sent somewhere else
    // entirely; -1 keeps its meaning "use the default port".
    if (!parsed || *parsed < -1 || *parsed > 65535) return false;
    p = *parsed;
    h = text.substr(0, colon);
  }
  if (!h.empty() && !IsValidIP(h)) h = ResolveHostIP(h);
  host = std::move(h);
  port = p;
  return true;
}

// ---------------------------------------------------------------------------
// TEthernetAdapterInfo

TEthernetAdapterInfo::TEthernetAdapterInfo(std::string id, std::string description,
                                           std::string ip, std::string mask)
    : IP(std::move(ip)),
      Mask(std::move(mask)),
      Description(std::move(description)),
      ID(std::move(id)) {
  Broadcast = GetBroadcastIP(IP, Mask);
}

void TEthernetAdapterInfo::Clear() {
  IP.clear();
  Mask.clear();
  Broadcast.clear();
  Description.clear();
  ID.clear();
}

bool TEthernetAdapterInfo::AssignFromLocalHost() {
  IP = GetLocalHostIP();
  if (IsValidIP(IP) && FindAdapterByIP(IP, Mask, ID, Description) && IsValidIP(Mask)) {
    Broadcast = GetBroadcastIP(IP, Mask);
    if (IsValidIP(Broadcast)) return true;
  }
  // The host name's address is on no adapter: the adapter that the host's
  // own traffic leaves by, else the first one with a real address.
  Clear();
  std::vector<TAdapterRecord> table;
  if (!ReadAdapterTable(table)) return false;
  const TAdapterRecord* chosen = nullptr;
  const std::string route = DefaultRoute();
  if (!route.empty())
    for (const TAdapterRecord& r : table)
      if (r.ID == route && IsUsable(r)) chosen = &r;  // the last one, as every lookup by ID
  for (std::size_t i = 0; chosen == nullptr && i < table.size(); ++i)
    if (IsUsable(table[i]) && !IsLoopbackAddress(table[i].IP)) chosen = &table[i];
  if (chosen == nullptr) return false;
  IP = chosen->IP;
  Mask = chosen->Mask;
  ID = chosen->ID;
  Description = chosen->Description;
  Broadcast = GetBroadcastIP(IP, Mask);
  return true;
}

bool TEthernetAdapterInfo::AssignFromID(const std::string& id) {
  std::string ip, mask, description;
  if (!FindAdapterByID(id, ip, mask, description)) return false;
  IP = std::move(ip);
  Mask = std::move(mask);
  Description = std::move(description);
  ID = id;
  Broadcast = GetBroadcastIP(IP, Mask);
  return true;
}

// ---------------------------------------------------------------------------
// TEthernetAdapterInfoList

TEthernetAdapterInfoList::~TEthernetAdapterInfoList() { Clear(); }

void TEthernetAdapterInfoList::Clear() {
  while (!FItems.empty()) FItems.pop_back();
}

void TEthernetAdapterInfoList::Add(const std::string& id, const std::string& description,
                                   const std::string& ip, const std::string& mask) {
  FItems.push_back(std::make_unique<TEthernetAdapterInfo>(id, description, ip, mask));
}

int TEthernetAdapterInfoList::Count() const { return static_cast<int>(FItems.size()); }

TEthernetAdapterInfo* TEthernetAdapterInfoList::Items(int index) {
  if (index < 0 || index >= Count()) return nullptr;
  return FItems[static_cast<std::size_t>(index)].get();
}

const TEthernetAdapterInfo* TEthernetAdapterInfoList::Items(int index) const {
  if (index < 0 || index >= Count()) return nullptr;
  return FItems[static_cast<std::size_t>(index)].get();
}

void TEthernetAdapterInfoList::Refresh() {
  std::vector<TAdapterRecord> table;
  ReadAdapterTable(table);  // a failed read leaves the table empty
  Clear();
  for (const TAdapterRecord& r : table) Add(r.ID, r.Description, r.IP, r.Mask);
}

int TEthernetAdapterInfoList::IndexOfID(const std::string& id) const {
  if (id.empty()) return -1;
  for (int i = 0; i < Count(); ++i)
    if (FItems[static_cast<std::size_t>(i)]->ID == id) return i;
  return -1;
}

std::vector<std::string> TEthernetAdapterInfoList::ComboBoxLines() const {
  std::vector<std::string> lines;
  lines.reserve(FItems.size());
  for (const auto& item : FItems) lines.push_back(item->Description + " (" + item->IP + ")");
  return lines;
}

}  // namespace tavex

#include "hostutil/uEthernetUtils.h"

#include <cerrno>
#include <charconv>
#include <cstring>
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

}  // namespace


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
  Clear();
  std::vector<TAdapterRecord> table;
  if (!ReadAdapterTable(table)) return false;
  // Loopback stands in only on a host without a network: a host name that
  // resolves to 127.0.0.1 must not hide the adapter the network is on.
  bool network = false;
  for (const TAdapterRecord& r : table)
    network = network || (r.Up && IsUsable(r) && !IsLoopbackAddress(r.IP));
  const auto eligible = [network](const TAdapterRecord& r) {
    return r.Up && IsUsable(r) && (!network || !IsLoopbackAddress(r.IP));
  };
  const TAdapterRecord* chosen = nullptr;
  // The host name's address, else the adapter the host's own traffic leaves
  // by, else the first one left; the last match wins, as every lookup.
  const std::string own = GetLocalHostIP();
  if (IsValidIP(own))
    for (const TAdapterRecord& r : table)
      if (r.IP == own && eligible(r)) chosen = &r;
  if (chosen == nullptr) {
    const std::string route = DefaultRoute();
    if (!route.empty())
      for (const TAdapterRecord& r : table)
        if (r.ID == route && eligible(r)) chosen = &r;
  }
  for (std::size_t i = 0; chosen == nullptr && i < table.size(); ++i)
    if (eligible(table[i])) chosen = &table[i];
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

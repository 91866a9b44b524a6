#pragma once
// The workstation's network side: its adapters with their first IPv4 address
// and mask, the directed broadcast address that follows from them, and the
// dotted-quad helpers the rest of the tool uses for address texts.
//
// Nothing here throws. Every failure becomes an empty text, a 0, a false or
// an empty list.

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#ifdef _WIN32
struct _IP_ADAPTER_INFO;  // one record of the IP Helper adapter table (<iphlpapi.h>)
#else
struct ifaddrs;  // the system's interface list entry (<ifaddrs.h>)
#endif

namespace tavex {

// ---------------------------------------------------------------------------
// Dotted-quad texts. The numeric form puts the leftmost group in bits 31..24,
// so it compares and masks like an address in network order.

// True for exactly four dot-separated groups of one to three decimal digits,
// each at most 255 (leading zeros allowed: "010" is ten), 7 to 15 characters
// in all. Nothing else (no spaces, signs, hex or shortened forms) passes.
bool IsValidIP(std::string_view s);

// Numeric form of a valid address text; 0 for any invalid text (and for
// "0.0.0.0", which is why 0 doubles as "no valid address").
uint32_t IPToInt(std::string_view s);

// Dotted quad of a number, each group in decimal without leading zeros.
std::string IntToIP(uint32_t v);

// Directed broadcast address: the network part of ip with every host bit set.
// An invalid text counts as 0, so an invalid mask gives "255.255.255.255".
std::string GetBroadcastIP(std::string_view ip, std::string_view mask);

// The workstation's own address: the host name looked up as IPv4, LAST address
// of the resolver's list (in the order of the host file, not re-sorted by
// address preference). Empty when the name or its address is unknown.
std::string GetLocalHostIP();

// IPv4 address of a named host, LAST address of the resolver's list. Empty
// when the name cannot be resolved, is empty, longer than 255 characters or
// holds a zero byte (which would silently cut the name short).
std::string ResolveHostIP(const std::string& host);

// Walks the whole adapter table; when several adapters match, the LAST one in
// table order wins. Out values are written only when something matched. An
// empty ip / id matches nothing.
bool FindAdapterByIP(const std::string& ip, std::string& mask, std::string& id,
                     std::string& description);
bool FindAdapterByID(const std::string& id, std::string& ip, std::string& mask,
                     std::string& description);

// Splits "host" or "host:port" at the first ':'. The port text must be an
// optional '-' followed by decimal digits (no '+', no spaces) whose value is
// -1 or within 0..65535; otherwise the result is false and neither host nor
// port is written. Without a ':' the port is -1 ("use the default"). A
// non-empty host that is not a valid address is replaced by
// ResolveHostIP(host), which may be empty.
bool SplitHostPort(const std::string& text, std::string& host, int32_t& port);

// ---------------------------------------------------------------------------
// One adapter of the workstation.
class TEthernetAdapterInfo {
public:
  std::string IP;           // first IPv4 address, dotted quad
  std::string Mask;         // subnet mask of that address
  std::string Broadcast;    // GetBroadcastIP(IP, Mask)
  std::string Description;  // human-readable, e.g. "Ethernet adapter eth0"
  std::string ID;           // the system's name of the adapter (interface name)

  TEthernetAdapterInfo() = default;
  // Sets the four texts as given (no validity test) and computes Broadcast.
  TEthernetAdapterInfo(std::string id, std::string description, std::string ip,
                       std::string mask);

  void Clear();

  // Selects the adapter the tool uses without a choice. Only an adapter
  // that is up, with a valid address, mask and broadcast address, is taken;
  // one whose address is in 127.0.0.0/8 only when no other such adapter
  // exists (a host file that maps the host name to 127.0.0.1 or 127.0.1.1
  // says nothing about the network). Of those, in this order: the adapter
  // whose first address is the host name's address (the last such in table
  // order), the adapter of the default IPv4 route (likewise), the first in
  // table order. When none is left the record is emptied and the result is
  // false.
  bool AssignFromLocalHost();

  // Selects the adapter with that ID, whatever address it reports ("0.0.0.0"
  // included). An unknown or empty ID leaves the record exactly as it was, so
  // a stale saved ID keeps the adapter chosen earlier.
  bool AssignFromID(const std::string& id);
};

// The workstation's adapters, in the system's order. Owns its items.
class TEthernetAdapterInfoList {
public:
  TEthernetAdapterInfoList() = default;
  ~TEthernetAdapterInfoList();
  TEthernetAdapterInfoList(const TEthernetAdapterInfoList&) = delete;
  TEthernetAdapterInfoList& operator=(const TEthernetAdapterInfoList&) = delete;

  void Clear();  // frees the items last first
  void Add(const std::string& id, const std::string& description,
           const std::string& ip, const std::string& mask);
  int Count() const;
  TEthernetAdapterInfo* Items(int index);  // nullptr out of range
  const TEthernetAdapterInfo* Items(int index) const;

  // Rebuilds the list from the adapter table; a table that cannot be read
  // leaves the list empty.
  void Refresh();

  // Index of the first item whose ID equals id exactly; -1 when none, and
  // always -1 for the empty text.
  int IndexOfID(const std::string& id) const;

  // One "Description (IP)" line per item, in list order: line i is item i.
  std::vector<std::string> ComboBoxLines() const;

private:
  std::vector<std::unique_ptr<TEthernetAdapterInfo>> FItems;
};

// ---------------------------------------------------------------------------
// Where the adapter table, the host name and name resolution come from.
//
// These hooks are process-wide and meant for tests and fuzzers: a test can
// present any adapter table, and a fuzzer can answer name lookups without
// touching the network. An empty function restores the system's own source.
// Setting a hook while another thread uses this unit is safe, but the hooks
// are shared by the whole process: set them from the test's own thread and
// restore them (TPlatformSourcesGuard) before the test ends.

// One row of the adapter table as the system reports it.
struct TAdapterRecord {
  std::string ID;
  std::string Description;
  std::string IP;
  std::string Mask;
  // Switched on (Linux: IFF_UP). Windows does not tell in its table: true.
  bool Up = true;
};

// Fills the vector in table order; false means "no adapters" (table unreadable).
using TAdapterTableSource = std::function<bool(std::vector<TAdapterRecord>&)>;
// The workstation's host name; empty when unknown.
using THostNameSource = std::function<std::string()>;
// The IPv4 addresses of a name as dotted quads, in resolver order; empty when
// the name is unknown.
using THostResolver = std::function<std::vector<std::string>(const std::string&)>;
// The ID of the adapter that the default IPv4 route leaves by; empty when
// there is no default route.
using TDefaultRouteSource = std::function<std::string()>;

void SetAdapterTableSource(TAdapterTableSource src);
void SetHostNameSource(THostNameSource src);
void SetHostResolver(THostResolver src);
void SetDefaultRouteSource(TDefaultRouteSource src);

// The system's own sources, used when no hook is set.
bool ReadSystemAdapterTable(std::vector<TAdapterRecord>& table);
std::string SystemHostName();
// The host file's order is kept (the resolver's address sorting would put
// another address last).
std::vector<std::string> SystemResolveHost(const std::string& host);
// The interface of the IPv4 default route with the lowest metric, from the
// kernel's route table (Linux; on Windows always empty: the host name's
// addresses are the adapters' own there).
std::string SystemDefaultRoute();

#ifdef _WIN32
// The adapter table of the IP Helper's record list (GetAdaptersInfo): one
// record per adapter in list order, ID = the adapter's name (on Windows a
// GUID in braces), its description, and the first address of its address
// list with its mask, "0.0.0.0" for both when it has none. Each text is
// read only up to its field's width, terminated or not; at most 1024
// records are walked, so a broken next-record chain cannot loop forever.
// ReadSystemAdapterTable is this over the system's own list.
void AdapterTableFromAdapterInfo(const ::_IP_ADAPTER_INFO* list,
                                 std::vector<TAdapterRecord>& table);
#else
// The adapter table of an interface list as the system's interface query
// gives it: one record per interface, up or down (Up), in the order the
// list first names it, with its first IPv4 address and mask, or "0.0.0.0"
// for both when it has none. Address labels ("eth0:1") count as their
// interface. ReadSystemAdapterTable is this over the system's own list.
void AdapterTableFromInterfaces(const ::ifaddrs* list, std::vector<TAdapterRecord>& table);

// The default-route text of the kernel's route table (the lines of
// /proc/net/route): the interface of the up default route with the lowest
// metric; empty when there is none. Reads at most its first 4096 lines.
std::string DefaultRouteFromTable(std::string_view text);
#endif

// Saves the hooks on construction and puts them back on destruction.
class TPlatformSourcesGuard {
public:
  TPlatformSourcesGuard();
  ~TPlatformSourcesGuard();
  TPlatformSourcesGuard(const TPlatformSourcesGuard&) = delete;
  TPlatformSourcesGuard& operator=(const TPlatformSourcesGuard&) = delete;

private:
  TAdapterTableSource FTable;
  THostNameSource FHostName;
  THostResolver FResolver;
  TDefaultRouteSource FDefaultRoute;
};

}  // namespace tavex

// The Windows sources of the adapter table, the host name and name lookup:
// the IP Helper's GetAdaptersInfo, and Winsock's gethostname and
// gethostbyname, each call inside a socket-library session of its own.
#include "hostutil/uEthernetUtils.h"

#include <winsock2.h>
#include <ws2tcpip.h>
#include <iphlpapi.h>

#include <cstring>
#include <vector>

#include "hostutil/uWinsock.h"

namespace tavex {

namespace {

// A name longer than any DNS name is not looked up at all.
constexpr std::size_t kMaxHostNameLength = 255;
// More adapters than any workstation has; a longer chain is cut here.
constexpr std::size_t kMaxAdapters = 1024;
// The table's size as GetAdaptersInfo reports it, bounded: a report beyond
// this is taken for a failure.
constexpr ULONG kMaxTableBytes = 4u << 20;
constexpr std::size_t kMaxAddresses = 64;

// A fixed-width text field, terminated or not.
template <std::size_t N>
std::string FieldText(const char (&field)[N]) {
  return std::string(field, strnlen(field, N));
}

}  // namespace

void AdapterTableFromAdapterInfo(const IP_ADAPTER_INFO* list, std::vector<TAdapterRecord>& table) {
  table.clear();
  for (const IP_ADAPTER_INFO* a = list; a != nullptr && table.size() < kMaxAdapters; a = a->Next) {
    TAdapterRecord r;
    r.ID = FieldText(a->AdapterName);
    r.Description = FieldText(a->Description);
    // The first address of the list; an adapter without one reports
    // "0.0.0.0" there, and an empty or malformed text is shown the same way.
    const std::string ip = FieldText(a->IpAddressList.IpAddress.String);
    const std::string mask = FieldText(a->IpAddressList.IpMask.String);
    r.IP = IsValidIP(ip) ? ip : "0.0.0.0";
    r.Mask = IsValidIP(ip) && IsValidIP(mask) ? mask : "0.0.0.0";
    table.push_back(std::move(r));
  }
}

bool ReadSystemAdapterTable(std::vector<TAdapterRecord>& table) {
  table.clear();
  // One record's worth first; when the table is larger, the size the call
  // reports, once. The table may grow in between: that is a failed read.
  std::vector<unsigned char> buffer(sizeof(IP_ADAPTER_INFO));
  ULONG size = static_cast<ULONG>(buffer.size());
  auto* info = reinterpret_cast<IP_ADAPTER_INFO*>(buffer.data());
  DWORD rc = ::GetAdaptersInfo(info, &size);
  if (rc == ERROR_BUFFER_OVERFLOW) {
    if (size == 0 || size > kMaxTableBytes) return false;
    buffer.assign(size, 0);
    info = reinterpret_cast<IP_ADAPTER_INFO*>(buffer.data());
    rc = ::GetAdaptersInfo(info, &size);
  }
  // ERROR_NO_DATA: no adapter at all, an empty table.
  if (rc == ERROR_NO_DATA) return true;
  if (rc != NO_ERROR) return false;
  AdapterTableFromAdapterInfo(info, table);
  return true;
}

std::string SystemDefaultRoute() { return {}; }

std::string SystemHostName() {
  TWinsockSession winsock;
  if (!winsock.Started()) return {};
  char buf[256] = {};
  if (::gethostname(buf, sizeof buf - 1) != 0) return {};
  buf[sizeof buf - 1] = '\0';
  return buf;
}

std::vector<std::string> SystemResolveHost(const std::string& host) {
  std::vector<std::string> out;
  if (host.empty() || host.size() > kMaxHostNameLength ||
      host.find('\0') != std::string::npos)
    return out;
  TWinsockSession winsock;
  if (!winsock.Started()) return out;
  // gethostbyname keeps the hosts file's order of addresses; its result is
  // the calling thread's own, valid until the thread's next call.
  const hostent* result = ::gethostbyname(host.c_str());
  if (result == nullptr || result->h_addrtype != AF_INET ||
      result->h_length != static_cast<int>(sizeof(in_addr)) || result->h_addr_list == nullptr)
    return out;
  for (char** a = result->h_addr_list; *a != nullptr && out.size() < kMaxAddresses; ++a) {
    in_addr address;
    std::memcpy(&address, *a, sizeof address);
    char text[INET_ADDRSTRLEN] = {};
    if (::inet_ntop(AF_INET, &address, text, sizeof text) != nullptr) out.emplace_back(text);
  }
  return out;
}

}  // namespace tavex

// Address texts: dotted quads as adapters, settings and users give them, and
// "host:port" targets. Name resolution is a stub that counts its calls: no
// lookup ever leaves the process.
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "FuzzSupport.h"
#include "comm/hCommunication.h"
#include "comm/uCommunication.h"
#include "hostutil/uEthernetUtils.h"

using namespace tavex;

namespace {

std::vector<std::string> gAsked;  // names the resolver was asked for

void Install() {
  static const bool done = [] {
    fuzz::NoNetwork();
    SetHostResolver([](const std::string& name) {
      gAsked.push_back(name);
      return name == "fuzzhost" ? std::vector<std::string>{"127.0.0.1"}
             : name == "two"    ? std::vector<std::string>{"10.0.0.1", "10.0.0.2"}
                                : std::vector<std::string>{};
    });
    return true;
  }();
  (void)done;
}

// The dotted-quad rule written out plainly: four groups of one to three
// digits, each at most 255, 7 to 15 characters.
bool RefParse(std::string_view s, uint32_t& out) {
  if (s.size() < 7 || s.size() > 15) return false;
  uint32_t v = 0;
  int groups = 0;
  size_t i = 0;
  while (true) {
    size_t n = 0;
    uint32_t g = 0;
    while (i < s.size() && s[i] >= '0' && s[i] <= '9' && n < 4) g = g * 10 + static_cast<uint32_t>(s[i++] - '0'), ++n;
    if (n == 0 || n > 3 || g > 255) return false;
    v = (v << 8) | g;
    ++groups;
    if (i == s.size()) break;
    if (s[i] != '.' || groups == 4) return false;
    ++i;
  }
  if (groups != 4) return false;
  out = v;
  return true;
}

void CheckQuad(const std::string& s) {
  uint32_t ref = 0;
  const bool valid = RefParse(s, ref);
  FUZZ_CHECK(IsValidIP(s) == valid);
  FUZZ_CHECK(IPToInt(s) == (valid ? ref : 0));
  if (valid) {
    const std::string back = IntToIP(ref);
    FUZZ_CHECK(IPToInt(back) == ref);
    // Without leading zeros the text comes back unchanged.
    bool canonical = true;
    for (size_t i = 0; i + 1 < s.size(); ++i)
      if (s[i] == '0' && (i == 0 || s[i - 1] == '.') && s[i + 1] != '.') canonical = false;
    if (canonical) FUZZ_CHECK(back == s);
  }
}

void CheckSplit(const std::string& text) {
  gAsked.clear();
  std::string host = "untouched";
  int32_t port = 4711;
  const bool ok = SplitHostPort(text, host, port);
  const size_t colon = text.find(':');
  if (!ok) {
    FUZZ_CHECK(colon != std::string::npos);  // only a bad port text fails
    FUZZ_CHECK(host == "untouched" && port == 4711);
    FUZZ_CHECK(gAsked.empty());
    return;
  }
  FUZZ_CHECK(port == -1 || (port >= 0 && port <= 65535));
  if (colon == std::string::npos) FUZZ_CHECK(port == -1);
  const std::string part = text.substr(0, colon);
  if (part.empty() || IsValidIP(part)) {
    FUZZ_CHECK(host == part);
    FUZZ_CHECK(gAsked.empty());
  } else {
    // A name: resolved through the stub (a name it cannot use is not asked).
    FUZZ_CHECK(host.empty() || IsValidIP(host));
    FUZZ_CHECK(gAsked.size() <= 1);
    for (const std::string& n : gAsked) {
      FUZZ_CHECK(n == part && !n.empty() && n.size() <= 255 && n.find('\0') == std::string::npos);
    }
    if (part == "fuzzhost") FUZZ_CHECK(host == "127.0.0.1");
    if (part == "two") FUZZ_CHECK(host == "10.0.0.2");  // the last address of the list
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  Install();
  const std::string text(reinterpret_cast<const char*>(data), size);
  CheckQuad(text);

  if (size >= 4) {
    uint32_t v;
    std::memcpy(&v, data, 4);
    const std::string s = IntToIP(v);
    FUZZ_CHECK(IsValidIP(s) && IPToInt(s) == v);
  }

  // "address/mask": the directed broadcast address, always a valid quad.
  const size_t slash = text.find('/');
  const std::string ip = text.substr(0, slash);
  const std::string mask = slash == std::string::npos ? std::string() : text.substr(slash + 1);
  CheckQuad(ip);
  CheckQuad(mask);
  const uint32_t n = IPToInt(ip), m = IPToInt(mask);
  const std::string b = GetBroadcastIP(ip, mask);
  FUZZ_CHECK(IsValidIP(b) && b == IntToIP((n & m) | ~m));

  CheckSplit(text);

  // The communicator's use of a target text: never fails, always a port.
  static std::unique_ptr<TCommunicator> comm = std::make_unique<TCommunicator>();
  gAsked.clear();
  comm->SetAddress(text);
  FUZZ_CHECK(comm->AddressText == text);
  FUZZ_CHECK(comm->RemotePort >= 0 && comm->RemotePort <= 65535);
  if (text.find(':') == std::string::npos) FUZZ_CHECK(comm->RemotePort == kDefaultPort);
  return 0;
}

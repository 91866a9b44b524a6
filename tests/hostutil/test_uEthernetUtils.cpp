#include "hostutil/uEthernetUtils.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <ifaddrs.h>
#include <net/if.h>
#include <netinet/in.h>

#include <algorithm>
#include <map>
#include <memory>
#include <string>
#include <vector>

using namespace std::string_literals;

namespace tavex {
namespace {

// ---------------------------------------------------------------------------
// Dotted-quad texts

struct AddressCase {
  std::string text;
  bool valid;
  uint32_t number;  // IPToInt; 0 for every invalid text
};

class AddressTextTest : public testing::TestWithParam<AddressCase> {};

TEST_P(AddressTextTest, ValidityAndNumber) {
  const AddressCase& c = GetParam();
  EXPECT_EQ(IsValidIP(c.text), c.valid);
  EXPECT_EQ(IPToInt(c.text), c.number);
}

INSTANTIATE_TEST_SUITE_P(
    Table, AddressTextTest,
    testing::Values(
        // shortest and longest texts
        AddressCase{"1.2.3.4", true, 0x01020304u},
        AddressCase{"192.168.100.200", true, 0xC0A864C8u},
        AddressCase{"1.2.34", false, 0},
        AddressCase{"192.168.100.2001", false, 0},  // 16 characters
        AddressCase{"", false, 0},
        // leading zeros are decimal, not octal
        AddressCase{"001.002.003.004", true, 16909060u},
        AddressCase{"010.0.0.1", true, 0x0A000001u},
        AddressCase{"0.0.0.0", true, 0},
        AddressCase{"255.255.255.255", true, 0xFFFFFFFFu},
        AddressCase{"192.168.1.20", true, 0xC0A80114u},
        // malformed
        AddressCase{".1.2.3.4", false, 0},
        AddressCase{"1.2.3.4.", false, 0},
        AddressCase{"1..2.3.4", false, 0},
        AddressCase{"1.2.3", false, 0},
        AddressCase{"1.2.3.", false, 0},
        AddressCase{"256.1.1.1", false, 0},
        AddressCase{"1.2.3.256", false, 0},
        AddressCase{"1.2.3.0256", false, 0},
        AddressCase{"1.2.3.a", false, 0},
        AddressCase{" 1.2.3.4", false, 0},
        AddressCase{"1.2.3.4 ", false, 0},
        AddressCase{"+1.2.3.4", false, 0},
        AddressCase{"1.2.3.-4", false, 0},
        AddressCase{"1.2.3.4\0"s, false, 0},
        AddressCase{"1.2\0.3.4"s, false, 0},
        AddressCase{"0x1.2.3.4", false, 0},
        // five or more groups are not an IPv4 address
        AddressCase{"1.2.3.4.5", false, 0},
        AddressCase{"1.2.3.4.5.6.7.8", false, 0}));

struct IntToIPCase {
  uint32_t number;
  std::string text;
};

class IntToIPTest : public testing::TestWithParam<IntToIPCase> {};

TEST_P(IntToIPTest, Text) { EXPECT_EQ(IntToIP(GetParam().number), GetParam().text); }

INSTANTIATE_TEST_SUITE_P(Table, IntToIPTest,
                         testing::Values(IntToIPCase{16909060u, "1.2.3.4"},
                                         IntToIPCase{0, "0.0.0.0"},
                                         IntToIPCase{0xFFFFFFFFu, "255.255.255.255"},
                                         IntToIPCase{0xC0A80114u, "192.168.1.20"},
                                         IntToIPCase{0x0A00FF01u, "10.0.255.1"}));

TEST(AddressText, RoundTripWithoutLeadingZeros) {
  // Walks every byte value through every group position.
  for (unsigned i = 0; i < 256; ++i) {
    const std::string x = std::to_string(i) + "." + std::to_string(255 - i) + "." +
                          std::to_string((i * 7) % 256) + "." + std::to_string(i / 2);
    ASSERT_TRUE(IsValidIP(x)) << x;
    EXPECT_EQ(IntToIP(IPToInt(x)), x);
  }
}

struct BroadcastCase {
  std::string ip, mask, broadcast;
};

class BroadcastTest : public testing::TestWithParam<BroadcastCase> {};

TEST_P(BroadcastTest, Address) {
  EXPECT_EQ(GetBroadcastIP(GetParam().ip, GetParam().mask), GetParam().broadcast);
}

INSTANTIATE_TEST_SUITE_P(
    Table, BroadcastTest,
    testing::Values(BroadcastCase{"192.168.1.20", "255.255.255.0", "192.168.1.255"},
                    BroadcastCase{"10.1.2.3", "255.0.0.0", "10.255.255.255"},
                    BroadcastCase{"172.16.5.4", "255.255.240.0", "172.16.15.255"},
                    BroadcastCase{"192.168.1.20", "255.255.255.255", "192.168.1.20"},
                    BroadcastCase{"127.0.0.1", "255.0.0.0", "127.255.255.255"},
                    // an invalid text counts as 0
                    BroadcastCase{"192.168.1.20", "255.255.255", "255.255.255.255"},
                    BroadcastCase{"192.168.1.20", "", "255.255.255.255"},
                    BroadcastCase{"0.0.0.0", "0.0.0.0", "255.255.255.255"},
                    BroadcastCase{"bogus", "255.255.255.0", "0.0.0.255"}));

// ---------------------------------------------------------------------------
// Name resolution through injected sources

// Answers from a fixed map and remembers every name it was asked for.
class ResolverTest : public testing::Test {
protected:
  void SetUp() override {
    SetHostResolver([this](const std::string& name) {
      asked.push_back(name);
      auto it = names.find(name);
      return it == names.end() ? std::vector<std::string>{} : it->second;
    });
  }

  TPlatformSourcesGuard guard;
  std::map<std::string, std::vector<std::string>> names{
      {"plc.local", {"10.0.0.7", "10.0.0.8"}},
      {"ws", {"192.168.1.20", "10.0.0.2"}},
      {"single", {"10.0.0.9"}},
  };
  std::vector<std::string> asked;
};

TEST_F(ResolverTest, ResolveHostIPGivesLastAddress) {
  EXPECT_EQ(ResolveHostIP("plc.local"), "10.0.0.8");
  EXPECT_EQ(ResolveHostIP("single"), "10.0.0.9");
  EXPECT_EQ(ResolveHostIP("unknown"), "");
}

TEST_F(ResolverTest, ResolveHostIPRefusesNamesItCannotPassOn) {
  EXPECT_EQ(ResolveHostIP(""), "");
  EXPECT_EQ(ResolveHostIP(std::string(256, 'a')), "");
  // A zero byte would cut the name to "plc.local" and resolve the wrong host.
  EXPECT_EQ(ResolveHostIP("plc.local\0evil"s), "");
  EXPECT_TRUE(asked.empty());
  EXPECT_EQ(ResolveHostIP(std::string(255, 'a')), "");
  EXPECT_EQ(asked.size(), 1u);
}

TEST_F(ResolverTest, LocalHostIPIsLastAddressOfHostName) {
  SetHostNameSource([] { return "ws"s; });
  EXPECT_EQ(GetLocalHostIP(), "10.0.0.2");

  SetHostNameSource([] { return ""s; });
  asked.clear();
  EXPECT_EQ(GetLocalHostIP(), "");
  EXPECT_TRUE(asked.empty());

  SetHostNameSource([] { return "unknown"s; });
  EXPECT_EQ(GetLocalHostIP(), "");
}

struct SplitCase {
  std::string text;
  bool ok;
  std::string host;
  int32_t port;
};

class SplitHostPortTest : public ResolverTest,
                          public testing::WithParamInterface<SplitCase> {};

TEST_P(SplitHostPortTest, Splits) {
  const SplitCase& c = GetParam();
  std::string host = "untouched";
  int32_t port = 4711;
  ASSERT_EQ(SplitHostPort(c.text, host, port), c.ok) << c.text;
  if (c.ok) {
    EXPECT_EQ(host, c.host);
    EXPECT_EQ(port, c.port);
  } else {
    EXPECT_EQ(host, "untouched");
    EXPECT_EQ(port, 4711);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Table, SplitHostPortTest,
    testing::Values(
        SplitCase{"10.0.0.5:8442", true, "10.0.0.5", 8442},
        SplitCase{"10.0.0.5", true, "10.0.0.5", -1},
        SplitCase{"", true, "", -1},
        SplitCase{":8442", true, "", 8442},
        SplitCase{"10.0.0.5:0008442", true, "10.0.0.5", 8442},
        SplitCase{"10.0.0.5:-1", true, "10.0.0.5", -1},
        SplitCase{"10.0.0.5:0", true, "10.0.0.5", 0},
        SplitCase{"10.0.0.5:65535", true, "10.0.0.5", 65535},
        // names go to the resolver: its last address, or empty when unknown
        SplitCase{"plc.local:100", true, "10.0.0.8", 100},
        SplitCase{"plc.local", true, "10.0.0.8", -1},
        SplitCase{"nosuch:100", true, "", 100},
        SplitCase{"1.2.3.4.5", true, "", -1},
        // port text that is not a port
        SplitCase{"10.0.0.5:x", false, "", 0},
        SplitCase{"10.0.0.5:", false, "", 0},
        SplitCase{"10.0.0.5:-", false, "", 0},
        SplitCase{"10.0.0.5:+8442", false, "", 0},
        SplitCase{"10.0.0.5: 8442", false, "", 0},
        SplitCase{"10.0.0.5:8442 ", false, "", 0},
        SplitCase{"10.0.0.5:84:42", false, "", 0},
        SplitCase{"10.0.0.5:0x20", false, "", 0},
        SplitCase{"10.0.0.5:65536", false, "", 0},
        SplitCase{"10.0.0.5:-2", false, "", 0},
        SplitCase{"10.0.0.5:2147483647", false, "", 0},
        SplitCase{"10.0.0.5:2147483648", false, "", 0},
        SplitCase{"10.0.0.5:-2147483649", false, "", 0},
        SplitCase{"10.0.0.5:99999999999999999999999", false, "", 0},
        SplitCase{"nosuch:x", false, "", 0}));

TEST_F(ResolverTest, SplitHostPortAsksOnlyForNames) {
  std::string host;
  int32_t port = 0;
  ASSERT_TRUE(SplitHostPort("10.0.0.5:8442", host, port));
  ASSERT_TRUE(SplitHostPort(":8442", host, port));
  ASSERT_TRUE(SplitHostPort("", host, port));
  ASSERT_FALSE(SplitHostPort("plc.local:x", host, port));
  EXPECT_TRUE(asked.empty());
  ASSERT_TRUE(SplitHostPort("plc.local:1", host, port));
  EXPECT_EQ(asked, std::vector<std::string>{"plc.local"});
}

// ---------------------------------------------------------------------------
// Adapters against an injected table

class AdapterTableTest : public testing::Test {
protected:
  void SetUp() override {
    SetAdapterTableSource([this](std::vector<TAdapterRecord>& t) {
      ++reads;
      if (!tableReadable) return false;
      t = table;
      return true;
    });
    SetHostResolver([this](const std::string& name) {
      auto it = names.find(name);
      return it == names.end() ? std::vector<std::string>{} : it->second;
    });
    SetHostNameSource([this] { return hostName; });
    SetDefaultRouteSource([this] { return route; });
  }

  // A record filled with values no lookup produces, to see what was written.
  static TEthernetAdapterInfo Marked() {
    return TEthernetAdapterInfo("old-id", "old adapter", "172.31.0.1", "255.255.0.0");
  }

  static void ExpectSame(const TEthernetAdapterInfo& a, const TEthernetAdapterInfo& b) {
    EXPECT_EQ(a.IP, b.IP);
    EXPECT_EQ(a.Mask, b.Mask);
    EXPECT_EQ(a.Broadcast, b.Broadcast);
    EXPECT_EQ(a.Description, b.Description);
    EXPECT_EQ(a.ID, b.ID);
  }

  TPlatformSourcesGuard guard;
  std::vector<TAdapterRecord> table{
      {"eth0", "Ethernet adapter eth0", "192.168.1.20", "255.255.255.0"},
      {"eth1", "Ethernet adapter eth1", "10.1.2.3", "255.0.0.0"},
      {"eth2", "Ethernet adapter eth2", "192.168.1.20", "255.255.0.0"},  // same IP as eth0
      {"eth1", "Second eth1", "10.9.9.9", "255.255.255.0"},               // same ID as eth1
      {"wlan0", "Wireless adapter wlan0", "0.0.0.0", "0.0.0.0"},
      {"odd0", "Ethernet adapter odd0", "172.16.0.1", "255.255.0"},  // invalid mask
  };
  bool tableReadable = true;
  int reads = 0;
  std::string hostName = "ws";
  std::map<std::string, std::vector<std::string>> names{
      {"ws", {"127.0.1.1", "10.1.2.3"}},
  };
  std::string route;  // no default route
};

TEST_F(AdapterTableTest, FindAdapterByIPLastMatchWins) {
  std::string mask = "m", id = "i", description = "d";
  ASSERT_TRUE(FindAdapterByIP("192.168.1.20", mask, id, description));
  EXPECT_EQ(mask, "255.255.0.0");
  EXPECT_EQ(id, "eth2");
  EXPECT_EQ(description, "Ethernet adapter eth2");

  ASSERT_TRUE(FindAdapterByIP("0.0.0.0", mask, id, description));
  EXPECT_EQ(id, "wlan0");
}

TEST_F(AdapterTableTest, FindAdapterByIDLastMatchWins) {
  std::string ip = "i", mask = "m", description = "d";
  ASSERT_TRUE(FindAdapterByID("eth1", ip, mask, description));
  EXPECT_EQ(ip, "10.9.9.9");
  EXPECT_EQ(mask, "255.255.255.0");
  EXPECT_EQ(description, "Second eth1");
}

TEST_F(AdapterTableTest, LookupsWithoutMatchWriteNothing) {
  struct Case {
    std::string key;
    bool readable;
  };
  const std::vector<Case> cases{
      {"", true}, {"eth9", true}, {"ETH0", true}, {"eth0 ", true}, {"eth0", false},
      {"192.168.1.2", true}, {"192.168.1.20", false}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.key + (c.readable ? "" : " (table unreadable)"));
    tableReadable = c.readable;
    std::string a = "a", b = "b", d = "d";
    EXPECT_FALSE(FindAdapterByID(c.key, a, b, d));
    EXPECT_FALSE(FindAdapterByIP(c.key, a, b, d));
    EXPECT_EQ(a + b + d, "abd");
  }
}

TEST_F(AdapterTableTest, EveryLookupReadsTheTableAfresh) {
  TEthernetAdapterInfo info;
  ASSERT_TRUE(info.AssignFromID("eth0"));
  table[0].IP = "192.168.1.21";
  ASSERT_TRUE(info.AssignFromID("eth0"));
  EXPECT_EQ(info.IP, "192.168.1.21");
  EXPECT_EQ(reads, 2);
}

TEST_F(AdapterTableTest, ConstructorComputesBroadcastAndClearEmptiesAll) {
  TEthernetAdapterInfo info("eth0", "Ethernet adapter eth0", "192.168.1.20", "255.255.255.0");
  EXPECT_EQ(info.ID, "eth0");
  EXPECT_EQ(info.Description, "Ethernet adapter eth0");
  EXPECT_EQ(info.IP, "192.168.1.20");
  EXPECT_EQ(info.Mask, "255.255.255.0");
  EXPECT_EQ(info.Broadcast, "192.168.1.255");
  info.Clear();
  ExpectSame(info, TEthernetAdapterInfo());
  EXPECT_EQ(info.IP + info.Mask + info.Broadcast + info.Description + info.ID, "");
}

TEST_F(AdapterTableTest, AssignFromLocalHostSelectsAdapterOfOwnAddress) {
  TEthernetAdapterInfo info = Marked();
  ASSERT_TRUE(info.AssignFromLocalHost());  // the resolver's last address, 10.1.2.3
  EXPECT_EQ(info.IP, "10.1.2.3");
  EXPECT_EQ(info.Mask, "255.0.0.0");
  EXPECT_EQ(info.Broadcast, "10.255.255.255");
  EXPECT_EQ(info.ID, "eth1");
  EXPECT_EQ(info.Description, "Ethernet adapter eth1");
}

TEST_F(AdapterTableTest, AssignFromLocalHostEmptiesRecordOnFailure) {
  struct Case {
    const char* what;
    std::string hostName;
    std::vector<std::string> addresses;
    bool readable;
  };
  const std::vector<Case> cases{
      {"no host name", "", {}, true},
      {"name does not resolve", "ws", {}, true},
      {"address on no adapter", "ws", {"10.1.2.3", "127.0.1.1"}, true},
      {"adapter mask invalid", "ws", {"172.16.0.1"}, true},
      {"resolver gives junk", "ws", {"not an address"}, true},
      {"table unreadable", "ws", {"10.1.2.3"}, false},
  };
  // No adapter here has an address that could stand in for the host's own
  // (none, an invalid mask, switched off), whichever way the default route
  // goes.
  table = {{"wlan0", "Wireless adapter wlan0", "0.0.0.0", "0.0.0.0"},
           {"odd0", "Ethernet adapter odd0", "172.16.0.1", "255.255.0"},
           {"eth0", "Ethernet adapter eth0", "10.1.2.3", "255.0.0.0", false},
           {"lo", "Loopback adapter lo", "127.0.0.1", "255.0.0.0", false}};
  for (const Case& c : cases) {
    for (const char* r : {"", "wlan0", "odd0", "eth0", "lo", "gone0"}) {
      SCOPED_TRACE(std::string(c.what) + ", default route \"" + r + "\"");
      hostName = c.hostName;
      names["ws"] = c.addresses;
      tableReadable = c.readable;
      route = r;
      TEthernetAdapterInfo info = Marked();
      EXPECT_FALSE(info.AssignFromLocalHost());
      ExpectSame(info, TEthernetAdapterInfo());
    }
  }
}

// The host name's address on no adapter (a stock host file maps the name to
// 127.0.1.1): the adapter of the default route, else the first adapter with
// an address of its own.
TEST_F(AdapterTableTest, AssignFromLocalHostFallsBackToTheDefaultRouteThenTheFirstAdapter) {
  struct Case {
    const char* what;
    std::vector<std::string> addresses;  // the host name's
    std::string route;
    std::string expectID;  // empty: false
  };
  table = {{"lo", "Loopback adapter lo", "127.0.0.1", "255.0.0.0"},
           {"wlan0", "Wireless adapter wlan0", "0.0.0.0", "0.0.0.0"},
           {"odd0", "Ethernet adapter odd0", "172.16.0.1", "255.255.0"},
           {"eth0", "Ethernet adapter eth0", "192.168.1.20", "255.255.255.0"},
           {"eth1", "Ethernet adapter eth1", "10.1.2.3", "255.0.0.0"}};
  const std::vector<Case> cases{
      {"own address on an adapter wins over the route", {"10.1.2.3"}, "eth0", "eth1"},
      {"stock host file: the route's adapter", {"127.0.1.1"}, "eth1", "eth1"},
      {"name does not resolve: the route's adapter", {}, "eth1", "eth1"},
      {"no default route: the first adapter with an address", {"127.0.1.1"}, "", "eth0"},
      {"route by an adapter without address: the first with one", {"127.0.1.1"}, "wlan0", "eth0"},
      {"route by an adapter with an invalid mask: the first usable", {"127.0.1.1"}, "odd0", "eth0"},
      {"route by an adapter that is gone: the first usable", {"127.0.1.1"}, "gone0", "eth0"},
      {"route by loopback while others have an address: the first of them", {"127.0.1.1"}, "lo", "eth0"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    names["ws"] = c.addresses;
    route = c.route;
    TEthernetAdapterInfo info = Marked();
    EXPECT_EQ(info.AssignFromLocalHost(), !c.expectID.empty());
    EXPECT_EQ(info.ID, c.expectID);
    if (c.expectID.empty()) continue;
    std::string ip, mask, description;
    ASSERT_TRUE(FindAdapterByID(c.expectID, ip, mask, description));
    EXPECT_EQ(info.IP, ip);
    EXPECT_EQ(info.Mask, mask);
    EXPECT_EQ(info.Description, description);
    EXPECT_EQ(info.Broadcast, GetBroadcastIP(ip, mask));
  }
}

// Loopback is the default only on a host without a network; otherwise a
// host name that resolves to a loopback address (127.0.0.1 in many host
// files) must not hide the adapter the network is on.
TEST_F(AdapterTableTest, LoopbackIsTheDefaultOnlyWhenNoOtherAdapterIsUpWithAnAddress) {
  const TAdapterRecord lo{"lo", "Loopback adapter lo", "127.0.0.1", "255.0.0.0"};
  const TAdapterRecord lo2{"lo2", "Loopback adapter lo2", "127.0.0.2", "255.0.0.0"};
  const TAdapterRecord eth0{"eth0", "Ethernet adapter eth0", "192.168.1.20", "255.255.255.0"};
  const TAdapterRecord eth1{"eth1", "Ethernet adapter eth1", "10.1.2.3", "255.0.0.0"};
  TAdapterRecord eth0Down = eth0, eth1Down = eth1, loDown = lo;
  eth0Down.Up = eth1Down.Up = loDown.Up = false;
  const TAdapterRecord wlan0{"wlan0", "Wireless adapter wlan0", "0.0.0.0", "0.0.0.0"};
  const TAdapterRecord odd0{"odd0", "Ethernet adapter odd0", "172.16.0.1", "255.255.0"};
  struct Case {
    const char* what;
    std::vector<TAdapterRecord> adapters;
    std::vector<std::string> addresses;  // the host name's
    std::string route;
    std::string expectID;  // empty: false
  };
  const std::vector<Case> cases{
      {"host name on 127.0.0.1, default route by eth1", {lo, eth0, eth1}, {"127.0.0.1"}, "eth1", "eth1"},
      {"host name on 127.0.0.1, no default route", {lo, eth0, eth1}, {"127.0.0.1"}, "", "eth0"},
      {"host name on 127.0.1.1, no default route", {lo, eth1}, {"127.0.1.1"}, "", "eth1"},
      {"host name on another adapter's address beats the route", {lo, eth0, eth1}, {"10.1.2.3"}, "eth0", "eth1"},
      {"default route by loopback does not count", {lo, eth0}, {"127.0.0.1"}, "lo", "eth0"},
      {"only loopback: the netns case", {lo}, {"127.0.0.1"}, "", "lo"},
      {"only loopback, a stock host file", {lo}, {"127.0.1.1"}, "", "lo"},
      {"only loopback, the name does not resolve", {lo}, {}, "", "lo"},
      {"loopback and adapters without a usable address", {wlan0, odd0, lo}, {"127.0.1.1"}, "wlan0", "lo"},
      {"loopback and switched-off adapters with addresses", {eth0Down, lo, eth1Down}, {"10.1.2.3"}, "eth0", "lo"},
      {"only loopback adapters: the host name's", {lo, lo2}, {"127.0.0.2"}, "", "lo2"},
      {"only loopback adapters: the first", {lo, lo2}, {"127.0.1.1"}, "", "lo"},
      {"host name on a switched-off adapter: the route's", {lo, eth0, eth1Down}, {"10.1.2.3"}, "eth0", "eth0"},
      {"route by a switched-off adapter: the first up", {lo, eth0Down, eth1}, {"127.0.0.1"}, "eth0", "eth1"},
      {"loopback switched off, nothing else", {loDown, wlan0}, {"127.0.0.1"}, "", ""},
      {"no adapters", {}, {"127.0.0.1"}, "", ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    table = c.adapters;
    names["ws"] = c.addresses;
    route = c.route;
    TEthernetAdapterInfo info = Marked();
    EXPECT_EQ(info.AssignFromLocalHost(), !c.expectID.empty());
    EXPECT_EQ(info.ID, c.expectID);
    if (c.expectID.empty()) {
      ExpectSame(info, TEthernetAdapterInfo());
      continue;
    }
    const auto it = std::find_if(c.adapters.begin(), c.adapters.end(),
                                 [&](const TAdapterRecord& r) { return r.ID == c.expectID; });
    ASSERT_NE(it, c.adapters.end());
    ExpectSame(info, TEthernetAdapterInfo(it->ID, it->Description, it->IP, it->Mask));
  }
}

TEST_F(AdapterTableTest, AssignFromIDTakesAnyAddress) {
  TEthernetAdapterInfo info = Marked();
  ASSERT_TRUE(info.AssignFromID("wlan0"));
  EXPECT_EQ(info.IP, "0.0.0.0");
  EXPECT_EQ(info.Mask, "0.0.0.0");
  EXPECT_EQ(info.Broadcast, "255.255.255.255");
  EXPECT_EQ(info.ID, "wlan0");
  EXPECT_EQ(info.Description, "Wireless adapter wlan0");
  EXPECT_EQ(IPToInt(info.IP), 0u);  // what the main window reports as invalid

  ASSERT_TRUE(info.AssignFromID("eth1"));  // duplicate ID: the last record
  EXPECT_EQ(info.IP, "10.9.9.9");
  EXPECT_EQ(info.Broadcast, "10.9.9.255");
}

TEST_F(AdapterTableTest, AssignFromUnknownIDKeepsRecord) {
  for (const std::string id : {"", "eth9", "eth"}) {
    SCOPED_TRACE(id);
    TEthernetAdapterInfo info = Marked();
    EXPECT_FALSE(info.AssignFromID(id));
    ExpectSame(info, Marked());
  }
  tableReadable = false;
  TEthernetAdapterInfo info = Marked();
  EXPECT_FALSE(info.AssignFromID("eth0"));
  ExpectSame(info, Marked());
}

TEST_F(AdapterTableTest, RefreshListsEveryAdapterInOrder) {
  TEthernetAdapterInfoList list;
  list.Refresh();
  ASSERT_EQ(list.Count(), static_cast<int>(table.size()));
  for (int i = 0; i < list.Count(); ++i) {
    SCOPED_TRACE(i);
    const TEthernetAdapterInfo* item = list.Items(i);
    ASSERT_NE(item, nullptr);
    EXPECT_EQ(item->ID, table[static_cast<std::size_t>(i)].ID);
    EXPECT_EQ(item->IP, table[static_cast<std::size_t>(i)].IP);
    EXPECT_EQ(item->Broadcast, GetBroadcastIP(item->IP, item->Mask));
  }
  EXPECT_EQ(list.Items(4)->IP, "0.0.0.0");
  EXPECT_EQ(list.Items(-1), nullptr);
  EXPECT_EQ(list.Items(list.Count()), nullptr);

  // A second refresh replaces the items rather than appending.
  table.pop_back();
  list.Refresh();
  EXPECT_EQ(list.Count(), static_cast<int>(table.size()));
}

TEST_F(AdapterTableTest, RefreshOfUnreadableTableEmptiesList) {
  TEthernetAdapterInfoList list;
  list.Add("x", "X", "1.2.3.4", "255.0.0.0");
  tableReadable = false;
  list.Refresh();
  EXPECT_EQ(list.Count(), 0);
  EXPECT_EQ(list.Items(0), nullptr);
}

TEST_F(AdapterTableTest, IndexOfIDFindsFirstExactMatch) {
  TEthernetAdapterInfoList list;
  list.Refresh();
  EXPECT_EQ(list.IndexOfID("eth0"), 0);
  EXPECT_EQ(list.IndexOfID("eth1"), 1);  // first of the two
  EXPECT_EQ(list.IndexOfID("wlan0"), 4);
  EXPECT_EQ(list.IndexOfID("eth9"), -1);
  EXPECT_EQ(list.IndexOfID("ETH0"), -1);
  EXPECT_EQ(list.IndexOfID(""), -1);

  list.Add("", "Nameless", "1.2.3.4", "255.0.0.0");
  EXPECT_EQ(list.IndexOfID(""), -1);  // the empty text never selects an adapter
}

TEST_F(AdapterTableTest, ComboBoxLinesFollowListOrder) {
  TEthernetAdapterInfoList list;
  EXPECT_TRUE(list.ComboBoxLines().empty());
  list.Add("{4D36E972}", "Fast Ethernet Adapter", "192.168.1.20", "255.255.255.0");
  list.Add("lo", "Loopback adapter lo", "127.0.0.1", "255.0.0.0");
  list.Add("eth9", "", "", "");
  EXPECT_EQ(list.ComboBoxLines(),
            (std::vector<std::string>{"Fast Ethernet Adapter (192.168.1.20)",
                                      "Loopback adapter lo (127.0.0.1)", " ()"}));
  list.Clear();
  EXPECT_EQ(list.Count(), 0);
  EXPECT_TRUE(list.ComboBoxLines().empty());
}

TEST_F(AdapterTableTest, RecordTextsAreCutToTheirWidths) {
  table = {{std::string(300, 'a'), "Desc\0hidden"s, "10.0.0.1\0junk"s,
            "255.255.255.0" + std::string(100, '9')}};
  TEthernetAdapterInfoList list;
  list.Refresh();
  ASSERT_EQ(list.Count(), 1);
  EXPECT_EQ(list.Items(0)->ID, std::string(260, 'a'));
  EXPECT_EQ(list.Items(0)->Description, "Desc");
  EXPECT_EQ(list.Items(0)->IP, "10.0.0.1");
  EXPECT_EQ(list.Items(0)->Mask, "255.255.255.0999");  // 16 bytes, not an address
  std::string mask, id, description;
  EXPECT_TRUE(FindAdapterByIP("10.0.0.1", mask, id, description));
}

// ---------------------------------------------------------------------------
// The adapter table from the system's interface list, built here as the
// system builds it: one link entry per interface first (up or down), then
// one entry per IPv4 address, labels included.

class InterfaceList {
public:
  // An entry without an address (the link entry of an interface).
  InterfaceList& Link(const char* name, unsigned flags) { return Add(name, flags, nullptr, nullptr); }
  InterfaceList& Inet(const char* name, unsigned flags, const char* ip, const char* mask) {
    return Add(name, flags, ip, mask);
  }
  const ifaddrs* Head() {
    for (std::size_t i = 0; i < entries_.size(); ++i)
      entries_[i]->entry.ifa_next = i + 1 < entries_.size() ? &entries_[i + 1]->entry : nullptr;
    return entries_.empty() ? nullptr : &entries_[0]->entry;
  }

private:
  struct Entry {
    std::string name;
    sockaddr_in addr{}, mask{};
    ifaddrs entry{};
  };
  InterfaceList& Add(const char* name, unsigned flags, const char* ip, const char* mask) {
    auto e = std::make_unique<Entry>();
    e->name = name;
    e->entry.ifa_name = e->name.data();
    e->entry.ifa_flags = flags;
    if (ip != nullptr) {
      e->addr.sin_family = AF_INET;
      inet_pton(AF_INET, ip, &e->addr.sin_addr);
      e->entry.ifa_addr = reinterpret_cast<sockaddr*>(&e->addr);
      if (mask != nullptr) {
        e->mask.sin_family = AF_INET;
        inet_pton(AF_INET, mask, &e->mask.sin_addr);
        e->entry.ifa_netmask = reinterpret_cast<sockaddr*>(&e->mask);
      }
    }
    entries_.push_back(std::move(e));
    return *this;
  }
  std::vector<std::unique_ptr<Entry>> entries_;
};

TEST(AdapterTableFromInterfaces, EveryInterfaceWithItsFirstAddressOrZeros) {
  InterfaceList l;
  l.Link("lo", IFF_UP | IFF_LOOPBACK)
      .Link("eth0", IFF_UP | IFF_BROADCAST)   // cable pulled: its DHCP address is gone
      .Link("eth1", IFF_BROADCAST)            // down, never had an address
      .Link("ppp0", IFF_UP | IFF_POINTOPOINT)
      .Inet("lo", IFF_UP | IFF_LOOPBACK, "127.0.0.1", "255.0.0.0")
      .Inet("ppp0", IFF_UP | IFF_POINTOPOINT, "10.64.0.2", "255.255.255.255")
      .Inet("ppp0:1", IFF_UP | IFF_POINTOPOINT, "10.64.0.3", "255.255.255.255")
      .Inet("eth9", IFF_UP, "192.168.5.5", nullptr);  // no link entry, no mask
  std::vector<TAdapterRecord> table;
  AdapterTableFromInterfaces(l.Head(), table);
  struct Row {
    std::string id, description, ip, mask;
    bool up;
  };
  const std::vector<Row> expected{
      {"lo", "Loopback adapter lo", "127.0.0.1", "255.0.0.0", true},
      {"eth0", "Ethernet adapter eth0", "0.0.0.0", "0.0.0.0", true},
      {"eth1", "Ethernet adapter eth1", "0.0.0.0", "0.0.0.0", false},
      {"ppp0", "Point-to-point adapter ppp0", "10.64.0.2", "255.255.255.255", true},
      {"eth9", "Ethernet adapter eth9", "192.168.5.5", "0.0.0.0", true},
  };
  ASSERT_EQ(table.size(), expected.size());
  for (std::size_t i = 0; i < expected.size(); ++i) {
    SCOPED_TRACE(expected[i].id);
    EXPECT_EQ(table[i].ID, expected[i].id);
    EXPECT_EQ(table[i].Description, expected[i].description);
    EXPECT_EQ(table[i].IP, expected[i].ip);
    EXPECT_EQ(table[i].Mask, expected[i].mask);
    EXPECT_EQ(table[i].Up, expected[i].up);
  }

  // Through the lookups: the adapter without an address is found, with
  // "0.0.0.0", which the main window reports as invalid.
  TPlatformSourcesGuard guard;
  SetAdapterTableSource([&](std::vector<TAdapterRecord>& t) {
    AdapterTableFromInterfaces(l.Head(), t);
    return true;
  });
  TEthernetAdapterInfo info("eth0", "Ethernet adapter eth0", "192.168.1.20", "255.255.255.0");
  ASSERT_TRUE(info.AssignFromID("eth0"));
  EXPECT_EQ(info.IP, "0.0.0.0");
  EXPECT_EQ(IPToInt(info.IP), 0u);
  TEthernetAdapterInfoList list;
  list.Refresh();
  EXPECT_EQ(list.Count(), 5);
  EXPECT_EQ(list.IndexOfID("eth1"), 2);

  std::vector<TAdapterRecord> none{{"x", "y", "1.2.3.4", "255.0.0.0"}};
  AdapterTableFromInterfaces(nullptr, none);
  EXPECT_TRUE(none.empty());
}

TEST(DefaultRouteFromTable, UpDefaultRouteWithLowestMetric) {
  const std::string head = "Iface\tDestination\tGateway \tFlags\tRefCnt\tUse\tMetric\tMask\t\tMTU\tWindow\tIRTT\n";
  struct Case {
    const char* what;
    std::string rows;
    std::string expect;
  };
  const std::vector<Case> cases{
      {"one default route", "eth0\t00000000\t0101A8C0\t0003\t0\t0\t100\t00000000\t0\t0\t0\n"
                            "eth0\t0001A8C0\t00000000\t0001\t0\t0\t100\t00FFFFFF\t0\t0\t0\n",
       "eth0"},
      {"lowest metric wins", "wlan0\t00000000\t0101A8C0\t0003\t0\t0\t600\t00000000\t0\t0\t0\n"
                             "eth0\t00000000\t0101A8C0\t0003\t0\t0\t100\t00000000\t0\t0\t0\n",
       "eth0"},
      {"a route that is down does not count",
       "eth0\t00000000\t0101A8C0\t0002\t0\t0\t100\t00000000\t0\t0\t0\n", ""},
      {"no default route", "eth0\t0001A8C0\t00000000\t0001\t0\t0\t100\t00FFFFFF\t0\t0\t0\n", ""},
      {"a destination of 0 with a mask is no default route",
       "eth0\t00000000\t00000000\t0001\t0\t0\t100\t000000FF\t0\t0\t0\n", ""},
      {"junk and short lines are skipped", "garbage\neth0 00000000 00000000 zz 0 0 1 00000000\n\n"
                                           "eth1 00000000 0101A8C0 0003 0 0 1 00000000 0 0 0",
       "eth1"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    EXPECT_EQ(DefaultRouteFromTable(head + c.rows), c.expect);
  }
  // The caption line is never a route.
  EXPECT_EQ(DefaultRouteFromTable("eth0\t00000000\t0101A8C0\t0003\t0\t0\t100\t00000000\n"), "");
  EXPECT_EQ(DefaultRouteFromTable(""), "");
}

// ---------------------------------------------------------------------------
// The system's own sources. Run inside the private network namespace, whose
// only interface is loopback.

TEST(SystemSources, LoopbackIsListed) {
  TPlatformSourcesGuard guard;
  SetAdapterTableSource(nullptr);
  TEthernetAdapterInfoList list;
  list.Refresh();
  const int i = list.IndexOfID("lo");
  ASSERT_GE(i, 0);
  EXPECT_EQ(list.Items(i)->IP, "127.0.0.1");
  EXPECT_EQ(list.Items(i)->Mask, "255.0.0.0");
  EXPECT_EQ(list.Items(i)->Broadcast, "127.255.255.255");
  EXPECT_EQ(list.Items(i)->Description, "Loopback adapter lo");

  TEthernetAdapterInfo info;
  ASSERT_TRUE(info.AssignFromID("lo"));
  EXPECT_EQ(info.IP, "127.0.0.1");
}

TEST(SystemSources, LocalhostResolves) {
  TPlatformSourcesGuard guard;
  SetHostResolver(nullptr);
  EXPECT_EQ(ResolveHostIP("localhost"), "127.0.0.1");
}

}  // namespace
}  // namespace tavex

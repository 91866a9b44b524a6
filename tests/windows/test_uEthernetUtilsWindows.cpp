// The Windows adapter table and host functions: the IP Helper's records as
// the system could hand them over (odd ones included), and the system's own
// table and resolver under the test network (scripts/test-windows: one veth
// adapter whose address TAVEX_TEST_ADAPTER_IP names, loopback not listed).
#include <gtest/gtest.h>

#include <winsock2.h>
#include <iphlpapi.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "hostutil/uEthernetUtils.h"

namespace tavex {
namespace {

IP_ADAPTER_INFO Record(const char* Name, const char* Description, const char* IP,
                       const char* Mask) {
  IP_ADAPTER_INFO a;
  std::memset(&a, 0, sizeof a);
  std::strncpy(a.AdapterName, Name, sizeof a.AdapterName - 1);
  std::strncpy(a.Description, Description, sizeof a.Description - 1);
  std::strncpy(a.IpAddressList.IpAddress.String, IP, sizeof a.IpAddressList.IpAddress.String - 1);
  std::strncpy(a.IpAddressList.IpMask.String, Mask, sizeof a.IpAddressList.IpMask.String - 1);
  return a;
}

TEST(AdapterInfoTable, RecordsInListOrderWithTheirFirstAddress) {
  IP_ADAPTER_INFO a = Record("{4D36E972-E325-11CE-BFC1-08002BE10318}", "Intel(R) Ethernet",
                             "192.168.1.20", "255.255.255.0");
  IP_ADAPTER_INFO b = Record("{11111111-2222-3333-4444-555555555555}", "Wi-Fi", "0.0.0.0",
                             "0.0.0.0");
  IP_ADAPTER_INFO c = Record("{AAAAAAAA-BBBB-CCCC-DDDD-EEEEEEEEEEEE}", "VPN", "10.0.0.7",
                             "255.0.0.0");
  // A second address on the first adapter is not its address.
  IP_ADDR_STRING second{};
  std::strcpy(second.IpAddress.String, "192.168.2.20");
  std::strcpy(second.IpMask.String, "255.255.0.0");
  a.IpAddressList.Next = &second;
  a.Next = &b;
  b.Next = &c;
  std::vector<TAdapterRecord> table;
  AdapterTableFromAdapterInfo(&a, table);
  ASSERT_EQ(table.size(), 3u);
  EXPECT_EQ(table[0].ID, "{4D36E972-E325-11CE-BFC1-08002BE10318}");
  EXPECT_EQ(table[0].Description, "Intel(R) Ethernet");
  EXPECT_EQ(table[0].IP, "192.168.1.20");
  EXPECT_EQ(table[0].Mask, "255.255.255.0");
  EXPECT_EQ(table[1].IP, "0.0.0.0");
  EXPECT_EQ(table[1].Mask, "0.0.0.0");
  EXPECT_EQ(table[2].ID, "{AAAAAAAA-BBBB-CCCC-DDDD-EEEEEEEEEEEE}");
  EXPECT_EQ(table[2].IP, "10.0.0.7");
}

TEST(AdapterInfoTable, OddRecordsAreBounded) {
  struct TCase {
    const char* Name;
    const char* IP;
    const char* Mask;
    const char* WantIP;
    const char* WantMask;
  };
  const TCase cases[] = {
      {"empty address", "", "", "0.0.0.0", "0.0.0.0"},
      {"not an address", "fe80::1", "ffff::", "0.0.0.0", "0.0.0.0"},
      {"address without a valid mask", "10.1.2.3", "mask", "10.1.2.3", "0.0.0.0"},
      {"mask without an address", "x", "255.0.0.0", "0.0.0.0", "0.0.0.0"},
  };
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.Name);
    IP_ADAPTER_INFO a = Record("{ID}", "odd", c.IP, c.Mask);
    std::vector<TAdapterRecord> table;
    AdapterTableFromAdapterInfo(&a, table);
    ASSERT_EQ(table.size(), 1u);
    EXPECT_EQ(table[0].IP, c.WantIP);
    EXPECT_EQ(table[0].Mask, c.WantMask);
  }
}

TEST(AdapterInfoTable, UnterminatedFieldsAreReadToTheirWidthOnly) {
  IP_ADAPTER_INFO a;
  std::memset(&a, 'A', sizeof a);  // no terminator anywhere
  a.Next = nullptr;
  std::vector<TAdapterRecord> table;
  AdapterTableFromAdapterInfo(&a, table);
  ASSERT_EQ(table.size(), 1u);
  EXPECT_EQ(table[0].ID, std::string(sizeof a.AdapterName, 'A'));
  EXPECT_EQ(table[0].Description, std::string(sizeof a.Description, 'A'));
  EXPECT_EQ(table[0].IP, "0.0.0.0");
}

TEST(AdapterInfoTable, ALoopingChainEnds) {
  IP_ADAPTER_INFO a = Record("{ID}", "loop", "10.0.0.1", "255.0.0.0");
  a.Next = &a;
  std::vector<TAdapterRecord> table;
  AdapterTableFromAdapterInfo(&a, table);
  EXPECT_EQ(table.size(), 1024u);
  AdapterTableFromAdapterInfo(nullptr, table);
  EXPECT_TRUE(table.empty());
}

// The system's own sources, under the test network.
std::string TestAdapterIP() {
  const char* ip = std::getenv("TAVEX_TEST_ADAPTER_IP");
  return ip != nullptr ? ip : "";
}

TEST(SystemAdapterTable, ListsTheTestAdapterAndNoLoopback) {
  if (TestAdapterIP().empty()) GTEST_SKIP() << "TAVEX_TEST_ADAPTER_IP not set";
  std::vector<TAdapterRecord> table;
  ASSERT_TRUE(ReadSystemAdapterTable(table));
  const TAdapterRecord* found = nullptr;
  for (const TAdapterRecord& r : table) {
    EXPECT_NE(r.IP, "127.0.0.1") << "loopback listed as " << r.ID;
    if (r.IP == TestAdapterIP()) found = &r;
  }
  ASSERT_NE(found, nullptr);
  EXPECT_EQ(found->Mask, "255.0.0.0");
  EXPECT_EQ(found->ID.front(), '{');  // Windows names adapters by GUID
  EXPECT_EQ(found->ID.back(), '}');

  // The lookups of the rest of the tool see the same table.
  TEthernetAdapterInfo info;
  ASSERT_TRUE(info.AssignFromID(found->ID));
  EXPECT_EQ(info.IP, TestAdapterIP());
  EXPECT_EQ(info.Broadcast, "127.255.255.255");
  TEthernetAdapterInfoList list;
  list.Refresh();
  EXPECT_GE(list.IndexOfID(found->ID), 0);
}

TEST(SystemHost, NameAndLookups) {
  EXPECT_FALSE(SystemHostName().empty());
  const std::vector<std::string> local = SystemResolveHost("localhost");
  ASSERT_FALSE(local.empty());
  EXPECT_EQ(local.back().substr(0, 4), "127.");
  EXPECT_EQ(ResolveHostIP("localhost"), local.back());
  EXPECT_TRUE(SystemResolveHost("").empty());
  EXPECT_TRUE(SystemResolveHost(std::string(300, 'a')).empty());
  EXPECT_TRUE(SystemResolveHost(std::string("local\0host", 10)).empty());
  EXPECT_TRUE(ResolveHostIP("no.such.host.invalid").empty());
  EXPECT_EQ(SystemDefaultRoute(), "");
}

}  // namespace
}  // namespace tavex

// Controllers matched by NAD and address: one Autodetect's rows with the
// last one's, and the found controllers with the expected ones.
#include "plc/uControllerMatch.h"

#include <gtest/gtest.h>

namespace tavex {
namespace {

using TKeys = std::vector<TControllerKey>;

TEST(ControllerMatch, RowsFollowNadAndAddressNotPosition) {
  struct TCase {
    const char* Name;
    TKeys Old, New;
    std::vector<int> Expect;
  };
  const TCase cases[] = {
      {"reordered", {{1, "a"}, {2, "b"}, {3, "c"}}, {{3, "c"}, {1, "a"}}, {1, -1, 0}},
      {"same NAD, other address is another row", {{1, "a"}}, {{1, "b"}, {1, "a"}}, {1}},
      {"same address, other NAD is another row", {{1, "a"}}, {{2, "a"}}, {-1}},
      {"a key twice takes each match once", {{1, "a"}, {1, "a"}, {1, "a"}}, {{1, "a"}, {1, "a"}}, {0, 1, -1}},
      {"nothing before", {}, {{1, "a"}}, {}},
  };
  for (const TCase& c : cases) EXPECT_EQ(MatchKeys(c.Old, c.New), c.Expect) << c.Name;
}

TEST(ControllerMatch, NadsAtSeveralAddressesInArrivalOrder) {
  const auto shared = SharedNads({{7, "b"}, {1, "x"}, {7, "a"}, {7, "b"}, {2, "y"}});
  ASSERT_EQ(shared.size(), 1u);
  EXPECT_EQ(shared[0].Nad, 7);
  EXPECT_EQ(shared[0].Ips, (std::vector<std::string>{"b", "a"}));
}

TEST(ControllerMatch, ExpectedControllersMissingOrElsewhere) {
  struct TCase {
    const char* Name;
    TKeys Expected, Found;
    TKeys Missing;
    TKeys Moved;  // expected key; FoundAt checked below for one case
  };
  const TCase cases[] = {
      {"all there", {{1, "a"}, {2, "b"}}, {{2, "b"}, {1, "a"}, {9, "z"}}, {}, {}},
      {"missing, in list order, once", {{3, "c"}, {1, "a"}, {3, "c"}}, {{1, "a"}}, {{3, "c"}}, {}},
      {"found elsewhere", {{1, "a"}}, {{1, "b"}}, {}, {{1, "a"}}},
      // Listed at two addresses and found at one of them: the other is
      // missing, not moved to an address that is its own.
      {"listed twice, found once", {{1, "a"}, {1, "b"}}, {{1, "a"}}, {{1, "b"}}, {}},
      {"another NAD at the address is no match", {{1, "a"}}, {{2, "a"}}, {{1, "a"}}, {}},
  };
  for (const TCase& c : cases) {
    const TExpectedOutcome out = CompareExpected(c.Expected, c.Found);
    EXPECT_EQ(out.Missing, c.Missing) << c.Name;
    TKeys moved;
    for (const TMovedController& m : out.Moved) moved.push_back(m.Expected);
    EXPECT_EQ(moved, c.Moved) << c.Name;
  }
  const TExpectedOutcome out = CompareExpected({{1, "a"}, {1, "b"}}, {{1, "c"}, {1, "b"}, {1, "d"}});
  ASSERT_EQ(out.Moved.size(), 1u);
  EXPECT_EQ(out.Moved[0].FoundAt, (std::vector<std::string>{"c", "d"}));
}

TEST(ControllerMatch, AddressHostDropsThePort) {
  EXPECT_EQ(AddressHost("127.0.0.4:8442"), "127.0.0.4");
  EXPECT_EQ(AddressHost("127.0.0.4"), "127.0.0.4");
}

}  // namespace
}  // namespace tavex

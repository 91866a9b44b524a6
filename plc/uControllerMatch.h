// Controllers told apart by what a row of the desktop tool shows of them:
// NAD and address. One Autodetect's list is matched with the last one's so
// that a row's cells follow its controller, and with a list of expected
// controllers (the site's inventory) so that the missing ones and the ones
// found elsewhere can be named. Qt-free; no network.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace tavex {

struct TControllerKey {
  int64_t Nad = 0;
  std::string Ip;  // dotted quad; an inventory's ":port" is left off
  bool operator==(const TControllerKey&) const = default;
};

// "addr:port" -> "addr"; anything else as it is. The desktop tool reaches
// every controller on the protocol's port, so an inventory's port tells no
// controller from another.
std::string AddressHost(const std::string& Address);

// For each key of Old, the position in New of the same controller (same
// NAD and address), or -1 when New has none. A key that is in Old twice
// takes a second equal key of New, or -1.
std::vector<int> MatchKeys(const std::vector<TControllerKey>& Old, const std::vector<TControllerKey>& New);

// A NAD that answered from several addresses, in order of first arrival.
struct TSharedNad {
  int64_t Nad = 0;
  std::vector<std::string> Ips;
};
std::vector<TSharedNad> SharedNads(const std::vector<TControllerKey>& Found);

// An expected controller whose NAD answered from other addresses only.
struct TMovedController {
  TControllerKey Expected;
  std::vector<std::string> FoundAt;
};

struct TExpectedOutcome {
  // Expected controllers whose NAD did not answer at any address that the
  // list does not give it elsewhere: in list order.
  std::vector<TControllerKey> Missing;
  std::vector<TMovedController> Moved;
};

// Compares the expected controllers with the found ones. An expected
// controller found at its address is fine; one whose NAD answered only at
// addresses not expected for that NAD is moved (named with them); any other
// is missing. Repeated expected keys count once.
TExpectedOutcome CompareExpected(const std::vector<TControllerKey>& Expected,
                                 const std::vector<TControllerKey>& Found);

}  // namespace tavex

// The order of a command's rows: the controllers served and those asked for
// (--nad, --host, --hosts) that are not served, listed together so that no
// controller asked for is left out of the output.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace tavex {

struct TRowKey {
  bool NadKnown = true;  // false: asked by address only, and nobody answered
  uint64_t Nad = 0;
  std::string Address;   // "addr" or "addr:port"; may be empty
};

// The positions of Keys in output order: by NAD, then by address (an IPv4
// address by its number, its port and other texts by their text); keys
// whose NAD is not known after all the others, by address. Keys that are
// equal keep their order.
std::vector<size_t> RowOrder(const std::vector<TRowKey>& Keys);

}  // namespace tavex

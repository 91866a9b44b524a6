#include "cli/uRowOrder.h"

#include <algorithm>
#include <numeric>
#include <string_view>
#include <tuple>

#include "hostutil/uEthernetUtils.h"

namespace tavex {

std::vector<size_t> RowOrder(const std::vector<TRowKey>& Keys) {
  std::vector<size_t> order(Keys.size());
  std::iota(order.begin(), order.end(), size_t{0});
  // A host's number, without its port: "127.0.0.10:9000" after "127.0.0.9".
  auto host = [](const std::string& Address) {
    const std::string_view a(Address);
    return IPToInt(a.substr(0, a.find(':')));
  };
  std::stable_sort(order.begin(), order.end(), [&](size_t x, size_t y) {
    const TRowKey& a = Keys[x];
    const TRowKey& b = Keys[y];
    return std::make_tuple(!a.NadKnown, a.NadKnown ? a.Nad : 0, host(a.Address), std::string_view(a.Address)) <
           std::make_tuple(!b.NadKnown, b.NadKnown ? b.Nad : 0, host(b.Address), std::string_view(b.Address));
  });
  return order;
}

}  // namespace tavex

#include "plc/uControllerMatch.h"

#include <algorithm>
#include <map>
#include <set>
#include <utility>

namespace tavex {

std::string AddressHost(const std::string& Address) {
  const size_t colon = Address.find(':');
  return colon == std::string::npos ? Address : Address.substr(0, colon);
}

std::vector<int> MatchKeys(const std::vector<TControllerKey>& Old, const std::vector<TControllerKey>& New) {
  // Positions of each key in New, taken in order.
  std::map<std::pair<int64_t, std::string>, std::vector<int>> free;
  for (size_t i = New.size(); i-- > 0;) free[{New[i].Nad, New[i].Ip}].push_back(static_cast<int>(i));
  std::vector<int> out(Old.size(), -1);
  for (size_t i = 0; i < Old.size(); ++i) {
    auto it = free.find({Old[i].Nad, Old[i].Ip});
    if (it == free.end() || it->second.empty()) continue;
    out[i] = it->second.back();
    it->second.pop_back();
  }
  return out;
}

std::vector<TSharedNad> SharedNads(const std::vector<TControllerKey>& Found) {
  std::vector<TSharedNad> all;
  for (const TControllerKey& k : Found) {
    auto it = std::find_if(all.begin(), all.end(), [&](const TSharedNad& s) { return s.Nad == k.Nad; });
    if (it == all.end()) {
      all.push_back({k.Nad, {k.Ip}});
    } else if (std::find(it->Ips.begin(), it->Ips.end(), k.Ip) == it->Ips.end()) {
      it->Ips.push_back(k.Ip);
    }
  }
  std::vector<TSharedNad> out;
  for (TSharedNad& s : all)
    if (s.Ips.size() > 1) out.push_back(std::move(s));
  return out;
}

TExpectedOutcome CompareExpected(const std::vector<TControllerKey>& Expected,
                                 const std::vector<TControllerKey>& Found) {
  std::map<int64_t, std::set<std::string>> expectedAt, foundAt;
  std::map<int64_t, std::vector<std::string>> foundInOrder;
  for (const TControllerKey& k : Expected) expectedAt[k.Nad].insert(k.Ip);
  for (const TControllerKey& k : Found)
    if (foundAt[k.Nad].insert(k.Ip).second) foundInOrder[k.Nad].push_back(k.Ip);
  TExpectedOutcome out;
  std::set<std::pair<int64_t, std::string>> seen;
  for (const TControllerKey& k : Expected) {
    if (!seen.insert({k.Nad, k.Ip}).second) continue;
    const auto found = foundAt.find(k.Nad);
    if (found != foundAt.end() && found->second.count(k.Ip) != 0) continue;
    std::vector<std::string> elsewhere;
    if (found != foundAt.end())
      for (const std::string& ip : foundInOrder[k.Nad])
        if (expectedAt[k.Nad].count(ip) == 0) elsewhere.push_back(ip);
    if (elsewhere.empty())
      out.Missing.push_back(k);
    else
      out.Moved.push_back({k, std::move(elsewhere)});
  }
  return out;
}

}  // namespace tavex

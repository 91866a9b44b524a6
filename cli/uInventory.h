// The inventory of tavexctl: the controllers a site is known to have, as the
// CSV that 'tavexctl detect --format csv' prints (a header "nad,ip", then
// one row per controller). With it the controllers are pinged by address
// instead of found by a broadcast, and one that is missing is a failure.
//
// The file is user input: its size is bounded by the caller, its rows here.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace tavex {

// Most rows an inventory may hold.
inline constexpr size_t kMaxInventoryRows = 4096;

struct TInventoryHost {
  uint32_t Nad = 0;
  std::string Address;  // "addr" or "addr:port"
  size_t Line = 0;      // where the row starts in the file
};

// An unsigned 32-bit decimal, nothing else (no sign, no blanks).
bool ParseNad(std::string_view Text, uint32_t& Nad);

// "addr" or "addr:port" with a dotted-quad address other than 0.0.0.0 and a
// port from 1 to 65535.
bool ValidHostText(const std::string& Text);

// Parses the inventory text. The header row "nad,ip" (any letter case) is
// optional; every other row needs a NAD and an address. False with one
// sentence in Error, naming the line (and Name, the file's name as the user
// gave it), for the first row that is wrong, for an address or a NAD listed
// twice, for more than kMaxInventoryRows rows, or for no row at all.
bool ParseInventory(std::string_view Text, const std::string& Name,
                    std::vector<TInventoryHost>& Hosts, std::string& Error);

}  // namespace tavex

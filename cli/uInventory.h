// The inventory of tavexctl: the controllers a site is known to have, as the
// CSV that 'tavexctl detect --format csv' prints (a header "nad,ip", then
// one row per controller). With it the controllers are pinged by address
// instead of found by a broadcast, and one that is missing is a failure.
//
// The file is user input: its size and rows are bounded here.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace tavex {

// Most rows an inventory may hold, and its largest size.
inline constexpr size_t kMaxInventoryRows = 4096;
inline constexpr size_t kMaxInventoryBytes = 1u << 20;

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

// The inventory and the warnings about it.
struct TInventory {
  std::vector<TInventoryHost> Hosts;  // in file order
  std::vector<std::string> Warnings;
};

// Parses the inventory text by the rules of tavexctl's CSV input files
// (ReadCsvRows: header "nad,ip" optional, separator ',', ';' or TAB,
// comments, trailing empty fields). Name is the file's name as the user gave
// it, for the messages. A row repeated exactly (the same NAD at the same
// address) is a warning, and left out; a NAD listed at several addresses is
// a warning, and kept at each (one NAD may answer from two addresses, and
// 'detect --format csv' lists it so). Throws TUsageError naming the line for
// the first row that is wrong, for an address listed with two NADs (both
// lines named), for more than kMaxInventoryRows rows, or for no row at all.
TInventory ParseInventory(std::string_view Text, const std::string& Name);

// Reads the inventory at Path ("-": standard input) and parses it.
TInventory LoadInventory(const std::string& Path);

}  // namespace tavex

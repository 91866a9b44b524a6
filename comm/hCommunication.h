// A-bus command codes and the addressing constants of the tool.
#pragma once

#include <cstdint>

namespace tavex {

inline constexpr uint8_t cmdPing = 16;        // no data; any accepted answer
inline constexpr uint8_t cmdRunStatus = 17;   // no data; answer: two status bytes
inline constexpr uint8_t cmdReadBlock = 33;   // page (16), count (16); answer: the bytes
inline constexpr uint8_t cmdReadVars = 51;    // counts and addresses; answer: packed values
inline constexpr uint8_t cmdWriteVars = 52;   // counts, addresses and values; no answer data

inline constexpr uint32_t kToolNad = 1;        // the tool always sends as NAD 1
inline constexpr uint32_t kBroadcastNad = 0;   // addresses every controller
inline constexpr int kDefaultPort = 8442;
inline constexpr uint16_t kDirectLocalPort = 65535;

inline constexpr int kDefaultTimeoutMs = 500;
inline constexpr int kDefaultRetries = 3;

// Variables per read or write request.
inline constexpr int kVarBatch = 100;

}  // namespace tavex

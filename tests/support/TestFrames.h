// Frames as a controller (or another station) would send them, for tests.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "abus/uABus.h"

namespace tavex::test {

// An answer frame: header, payload, checksum (no command byte, no hash).
inline std::vector<uint8_t> AnswerFrame(uint32_t Src, uint32_t Dst, uint8_t Dir, uint8_t Aux,
                                        const std::vector<uint8_t>& Payload) {
  const uint16_t L = static_cast<uint16_t>(Payload.size() + 2);
  std::vector<uint8_t> f(14 + Payload.size() + 2);
  f[0] = 0xAA;
  f[1] = 0x55;
  f[2] = static_cast<uint8_t>(L);
  f[3] = static_cast<uint8_t>(L >> 8);
  for (int i = 0; i < 4; ++i) {
    f[4 + i] = static_cast<uint8_t>(Src >> (8 * i));
    f[8 + i] = static_cast<uint8_t>(Dst >> (8 * i));
  }
  f[12] = Dir;
  f[13] = Aux;
  for (size_t i = 0; i < Payload.size(); ++i) f[14 + i] = Payload[i];
  const uint16_t cs = FrameChecksum(f.data(), L + 12, 0);
  f[12 + L] = static_cast<uint8_t>(cs);
  f[13 + L] = static_cast<uint8_t>(cs >> 8);
  return f;
}

inline std::vector<uint8_t> Concat(std::vector<uint8_t> a, const std::vector<uint8_t>& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

}  // namespace tavex::test

// Frame parser and hex conversion over arbitrary receive texts.
#include <array>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "abus/uABus.h"

using namespace tavex;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  // The receive path only ever holds hex text; feed both the raw bytes as
  // text and their hex form, so that the parser sees frames and garbage.
  std::string raw(reinterpret_cast<const char*>(data), size);
  std::string hex = BytesToHex(data, size);
  for (std::string* rx : {&raw, &hex}) {
    const std::string before = *rx;
    std::string frame, payload;
    uint32_t src = 0, dst = 0;
    uint8_t dir = 0, aux = 0;
    while (ParseFrame(*rx, frame, src, dst, dir, aux, payload)) {
      if (frame.size() < 32 || frame.size() % 2 != 0 || payload.size() + 32 != frame.size()) abort();
      std::array<uint8_t, kFrameBufSize> buf;
      int n = -1;
      HexToBytes(payload, buf, n, false);
      if (n < 0 || static_cast<size_t>(n) > buf.size()) abort();
    }
  }
  std::array<uint8_t, 16> small;
  int n = 0;
  HexToBytes(raw, small, n, true);
  if (n < 0 || n > 16) abort();
  return 0;
}

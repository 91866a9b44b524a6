#include "abus/uABus.h"

#include <algorithm>
#include <array>
#include <cstring>

namespace tavex {

namespace {

constexpr std::array<uint16_t, 16> kWeights = {1181,  3079,  5521,  6863,  7499,  8237,
                                               9479,  11083, 13477, 14533, 15679, 17477,
                                               19727, 21391, 24499, 27583};

constexpr char kHexDigits[] = "0123456789ABCDEF";

// Value of each character as a hex digit, -1 for anything else.
constexpr std::array<int8_t, 256> kHexValues = [] {
  std::array<int8_t, 256> t{};
  for (auto& v : t) v = -1;
  for (int c = '0'; c <= '9'; ++c) t[static_cast<size_t>(c)] = static_cast<int8_t>(c - '0');
  for (int c = 'A'; c <= 'F'; ++c) t[static_cast<size_t>(c)] = static_cast<int8_t>(c - 'A' + 10);
  for (int c = 'a'; c <= 'f'; ++c) t[static_cast<size_t>(c)] = static_cast<int8_t>(c - 'a' + 10);
  return t;
}();

inline int HexValue(char c) { return kHexValues[static_cast<uint8_t>(c)]; }

// Converts Count bytes of hex text; a non-digit counts as 0 and is reported.
inline bool HexRun(const char* text, size_t count, uint8_t* out) {
  int bad = 0;
  for (size_t i = 0; i < count; ++i) {
    const int hi = HexValue(text[2 * i]);
    const int lo = HexValue(text[2 * i + 1]);
    bad |= hi | lo;  // negative when either is no digit
    // x & ~(x >> 8) is x for a digit and 0 for -1.
    out[i] = static_cast<uint8_t>(((hi & ~(hi >> 8)) << 4) | (lo & ~(lo >> 8)));
  }
  return bad >= 0;
}

inline void PutU16(uint8_t* p, uint16_t v) {
  p[0] = static_cast<uint8_t>(v);
  p[1] = static_cast<uint8_t>(v >> 8);
}

inline void PutU32(uint8_t* p, uint32_t v) {
  PutU16(p, static_cast<uint16_t>(v));
  PutU16(p + 2, static_cast<uint16_t>(v >> 16));
}

}  // namespace

void ChecksumStep(uint8_t Byte, uint16_t& Sum, size_t Index) {
  Sum = static_cast<uint16_t>(Sum + static_cast<uint16_t>((Byte ^ 0x5A) * kWeights[Index % 16]));
}

uint16_t TextChecksum(std::string_view Text, uint16_t Seed) {
  uint16_t sum = Seed;
  for (size_t i = 0; i < Text.size(); ++i) ChecksumStep(static_cast<uint8_t>(Text[i]), sum, i);
  return sum;
}

uint16_t FrameChecksum(const uint8_t* Bytes, int Count, uint16_t Seed) {
  uint16_t sum = Seed;
  if (Bytes == nullptr) return sum;
  for (int i = 0; i < Count; ++i) ChecksumStep(Bytes[i], sum, static_cast<size_t>(i));
  return sum;
}

bool BuildFrame(uint32_t SourceNad, uint32_t DestNad, uint8_t Command, uint8_t Direction,
                uint8_t Aux, std::span<uint8_t> Buf, uint16_t& Len, uint16_t PasswordHash) {
  if (Len > kMaxRequestData || Len > Buf.size()) return false;
  const size_t total = Len + kFrameOverhead;
  if (Buf.size() < total) return false;

  std::array<uint8_t, kMaxRequestFrame> work{};
  const uint16_t L = static_cast<uint16_t>(Len + 5);
  work[0] = 0xAA;
  work[1] = 0x55;
  PutU16(&work[2], L);
  PutU32(&work[4], SourceNad);
  PutU32(&work[8], DestNad);
  work[12] = Direction;
  work[13] = Aux;
  work[14] = Command;
  if (Len > 0) std::memcpy(&work[15], Buf.data(), Len);
  PutU16(&work[15 + Len], PasswordHash);
  PutU16(&work[12 + L], FrameChecksum(work.data(), L + 12, 0));

  std::memcpy(Buf.data(), work.data(), total);
  Len = static_cast<uint16_t>(total);
  return true;
}

bool ParseFrame(std::string& RxText, std::string& FrameText, uint32_t& SourceNad,
                uint32_t& DestNad, uint8_t& Direction, uint8_t& Aux, std::string& PayloadText) {
  const std::string_view text(RxText);
  if (text.size() < 28) return false;
  if (text.substr(0, 4) != "AA55") return false;
  uint8_t len[2];
  if (!HexRun(text.data() + 4, 2, len)) return false;
  const uint16_t L = static_cast<uint16_t>(len[0] | (len[1] << 8));
  if (L < kMinFrameLen || L > kMaxFrameLen) return false;
  const size_t frameBytes = static_cast<size_t>(L) + 14;
  if (text.size() < frameBytes * 2) return false;

  // The whole frame as bytes; a frame whose text holds a non-digit is no
  // frame, even where the checksum over the digits' stand-ins would match.
  std::array<uint8_t, kMaxFrameLen + 14> bytes;
  if (!HexRun(text.data(), frameBytes, bytes.data())) return false;
  const uint16_t sum = static_cast<uint16_t>(bytes[L + 12] | (bytes[L + 13] << 8));
  if (FrameChecksum(bytes.data(), L + 12, 0) != sum) return false;

  auto u32 = [&](size_t o) {
    return static_cast<uint32_t>(bytes[o]) | (static_cast<uint32_t>(bytes[o + 1]) << 8) |
           (static_cast<uint32_t>(bytes[o + 2]) << 16) | (static_cast<uint32_t>(bytes[o + 3]) << 24);
  };
  SourceNad = u32(4);
  DestNad = u32(8);
  Direction = bytes[12];
  Aux = bytes[13];
  PayloadText.assign(text.substr(28, (static_cast<size_t>(L) - 2) * 2));
  FrameText.assign(text.substr(0, frameBytes * 2));
  RxText.erase(0, frameBytes * 2);
  return true;
}

void HexToBytes(std::string_view Text, std::span<uint8_t> Buf, int& Count, bool PadOdd) {
  if (!Buf.empty()) std::memset(Buf.data(), 0, Buf.size());
  Count = 0;

  // The receive path's texts: even length, no spaces.
  if (Text.size() % 2 == 0 && Text.find(' ') == std::string_view::npos) {
    const size_t n = std::min(Text.size() / 2, Buf.size());
    HexRun(Text.data(), n, Buf.data());
    Count = static_cast<int>(n);
    return;
  }

  // Digits without spaces, counted first so that PadOdd can find the last one.
  size_t digits = 0;
  for (char c : Text)
    if (c != ' ') ++digits;
  const bool pad = PadOdd && (digits % 2 == 1);

  size_t seen = 0;
  int hi = -1;
  for (char c : Text) {
    if (c == ' ') continue;
    ++seen;
    int v = HexValue(c);
    if (v < 0) v = 0;
    if (pad && seen == digits) {
      // The lone last digit is the low nibble of one more byte.
      if (static_cast<size_t>(Count) < Buf.size()) Buf[Count++] = static_cast<uint8_t>(v);
      break;
    }
    if (hi < 0) {
      hi = v;
    } else {
      if (static_cast<size_t>(Count) >= Buf.size()) break;
      Buf[Count++] = static_cast<uint8_t>((hi << 4) | v);
      hi = -1;
    }
  }
}

void BytesToHex(const uint8_t* Bytes, size_t Count, std::string& Out) {
  const size_t start = Out.size();
  Out.resize(start + 2 * Count);
  char* p = Out.data() + start;
  for (size_t i = 0; i < Count; ++i) {
    p[2 * i] = kHexDigits[Bytes[i] >> 4];
    p[2 * i + 1] = kHexDigits[Bytes[i] & 0x0F];
  }
}

std::string BytesToHex(const uint8_t* Bytes, size_t Count) {
  std::string out;
  BytesToHex(Bytes, Count, out);
  return out;
}

}  // namespace tavex

#include "abus/uABus.h"

#include <gtest/gtest.h>

#include <array>
#include <string>
#include <vector>

namespace tavex {
namespace {

std::vector<uint8_t> Bytes(std::string_view hex) {
  std::vector<uint8_t> out(hex.size() / 2 + 1);
  int n = 0;
  HexToBytes(hex, out, n, false);
  out.resize(static_cast<size_t>(n));
  return out;
}

TEST(Checksum, KnownValues) {
  EXPECT_EQ(TextChecksum("abc", 0), 0x7F00);
  EXPECT_EQ(TextChecksum("", 0), 0);
  EXPECT_EQ(TextChecksum("", 0x1234), 0x1234);
  const uint8_t b[] = {1, 2, 3};
  EXPECT_EQ(FrameChecksum(b, 0, 0xBEEF), 0xBEEF);
  EXPECT_EQ(FrameChecksum(b, -5, 7), 7);
  // Same algorithm over text and bytes.
  const std::string t = "secret password";
  EXPECT_EQ(TextChecksum(t, 0),
            FrameChecksum(reinterpret_cast<const uint8_t*>(t.data()), static_cast<int>(t.size()), 0));
}

TEST(Checksum, WeightsRepeatEverySixteenBytes) {
  // Byte 0x5A contributes nothing; a single other byte at i and at i + 16 weighs the same.
  std::array<uint8_t, 40> a;
  a.fill(0x5A);
  std::array<uint8_t, 40> b = a;
  a[3] = 0x00;
  b[19] = 0x00;
  EXPECT_EQ(FrameChecksum(a.data(), 40, 0), FrameChecksum(b.data(), 40, 0));
  EXPECT_EQ(FrameChecksum(a.data(), 40, 0), static_cast<uint16_t>(0x5A * 6863));
}

// Golden request frames: encoded by BuildFrame, decoded by ParseFrame.
struct FrameCase {
  const char* name;
  uint32_t dest;
  uint8_t command;
  const char* data;  // hex
  uint16_t hash;
  const char* frame;  // hex
};

TEST(BuildFrame, GoldenRequests) {
  const FrameCase cases[] = {
      {"ping_1000", 1000, 16, "", 0, "AA55050001000000E80300000000100000BEEC"},
      {"ping_all", 0, 16, "", 0, "AA55050001000000000000000000100000CB0C"},
      {"read_block_0x0200_16", 1000, 33, "00021000", 0,
       "AA55090001000000E80300000000210002100000001FFA"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    std::array<uint8_t, kMaxRequestFrame> buf{};
    const auto data = Bytes(c.data);
    std::copy(data.begin(), data.end(), buf.begin());
    uint16_t len = static_cast<uint16_t>(data.size());
    ASSERT_TRUE(BuildFrame(1, c.dest, c.command, 0, 0, buf, len, c.hash));
    EXPECT_EQ(len, data.size() + 19);
    EXPECT_EQ(BytesToHex(buf.data(), len), c.frame);

    // And back: the request parses as a frame of the same fields.
    std::string rx = c.frame, frame, payload;
    uint32_t src = 0, dst = 0;
    uint8_t dir = 9, aux = 9;
    ASSERT_TRUE(ParseFrame(rx, frame, src, dst, dir, aux, payload));
    EXPECT_EQ(rx, "");
    EXPECT_EQ(frame, c.frame);
    EXPECT_EQ(src, 1u);
    EXPECT_EQ(dst, c.dest);
    EXPECT_EQ(dir, 0);
    EXPECT_EQ(aux, 0);
    // Request payload: command, data, password hash.
    EXPECT_EQ(payload, BytesToHex(&c.command, 1) + c.data + "0000");
  }
}

TEST(BuildFrame, PasswordHashTrailsTheData) {
  std::array<uint8_t, kMaxRequestFrame> buf{};
  uint16_t len = 0;
  const uint16_t hash = TextChecksum("abc", 0);
  ASSERT_TRUE(BuildFrame(1, 1000, 17, 0, 0, buf, len, hash));
  EXPECT_EQ(buf[15], 0x00);
  EXPECT_EQ(buf[16], 0x7F);
  EXPECT_EQ(FrameChecksum(buf.data(), 17, 0), buf[17] | (buf[18] << 8));
}

TEST(BuildFrame, DataLimit) {
  std::array<uint8_t, kMaxRequestFrame> buf{};
  buf.fill(0x42);
  uint16_t len = 1023;
  ASSERT_TRUE(BuildFrame(1, 5, 52, 0, 0, buf, len, 0));
  EXPECT_EQ(len, 1042);
  EXPECT_EQ(buf[2] | (buf[3] << 8), 1028);

  std::array<uint8_t, kMaxRequestFrame + 1> big{};
  big.fill(0x42);
  len = 1024;
  EXPECT_FALSE(BuildFrame(1, 5, 52, 0, 0, big, len, 0));
  EXPECT_EQ(len, 1024);
  EXPECT_EQ(big[0], 0x42);
}

TEST(BuildFrame, RefusesABufferTooSmallForTheFrame) {
  std::array<uint8_t, 20> buf{};
  buf.fill(0x11);
  uint16_t len = 2;  // needs 21 bytes
  EXPECT_FALSE(BuildFrame(1, 5, 52, 0, 0, buf, len, 0));
  EXPECT_EQ(len, 2);
  EXPECT_EQ(buf[0], 0x11);
  len = 1;  // 20 bytes: fits exactly
  EXPECT_TRUE(BuildFrame(1, 5, 52, 0, 0, buf, len, 0));
  EXPECT_EQ(len, 20);
}

const char kAnswer[] = "AA550400E803000001000000010001027131";

TEST(ParseFrame, AnswerWithPayload) {
  std::string rx = kAnswer, frame, payload;
  uint32_t src = 0, dst = 0;
  uint8_t dir = 0, aux = 9;
  ASSERT_TRUE(ParseFrame(rx, frame, src, dst, dir, aux, payload));
  EXPECT_EQ(src, 1000u);
  EXPECT_EQ(dst, 1u);
  EXPECT_EQ(dir, 1);
  EXPECT_EQ(aux, 0);
  EXPECT_EQ(payload, "0102");
  EXPECT_EQ(frame, kAnswer);
  EXPECT_TRUE(rx.empty());
}

// Builds an answer frame (as a controller would) in hex form.
std::string AnswerHex(uint32_t src, uint32_t dst, uint8_t dir, uint8_t aux, std::string_view payloadHex) {
  const auto payload = Bytes(payloadHex);
  std::vector<uint8_t> f(14 + payload.size() + 2);
  const uint16_t L = static_cast<uint16_t>(payload.size() + 2);
  f[0] = 0xAA;
  f[1] = 0x55;
  f[2] = L & 0xFF;
  f[3] = L >> 8;
  for (int i = 0; i < 4; ++i) {
    f[4 + i] = static_cast<uint8_t>(src >> (8 * i));
    f[8 + i] = static_cast<uint8_t>(dst >> (8 * i));
  }
  f[12] = dir;
  f[13] = aux;
  std::copy(payload.begin(), payload.end(), f.begin() + 14);
  const uint16_t cs = FrameChecksum(f.data(), L + 12, 0);
  f[12 + L] = cs & 0xFF;
  f[13 + L] = cs >> 8;
  return BytesToHex(f.data(), f.size());
}

TEST(ParseFrame, HelperMatchesGoldenAnswer) {
  EXPECT_EQ(AnswerHex(1000, 1, 1, 0, "0102"), kAnswer);
}

TEST(ParseFrame, RejectsAndLeavesTextUnchanged) {
  const std::string answer = kAnswer;
  std::string lenOne = AnswerHex(1000, 1, 1, 0, "");  // L = 2, then patched below
  struct Case {
    const char* name;
    std::string text;
  } cases[] = {
      {"27_chars", answer.substr(0, 27)},
      {"AA56_start", "AA56" + answer.substr(4)},
      {"lower_case_start", "aa55" + answer.substr(4)},
      {"L_is_1", "AA550100" + answer.substr(8)},
      {"L_is_1025", "AA550104" + answer.substr(8) + std::string(2100, '0')},
      {"one_char_short", answer.substr(0, answer.size() - 1)},
      {"bad_checksum", answer.substr(0, answer.size() - 1) + "2"},
      {"junk_before_start", "00" + answer},
      {"non_hex_in_body", AnswerHex(1000, 1, 1, 0, "0102").replace(28, 2, "G0")},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    std::string rx = c.text, frame = "keep", payload = "keep";
    uint32_t src = 7, dst = 7;
    uint8_t dir = 7, aux = 7;
    EXPECT_FALSE(ParseFrame(rx, frame, src, dst, dir, aux, payload));
    EXPECT_EQ(rx, c.text);
    EXPECT_EQ(frame, "keep");
    EXPECT_EQ(payload, "keep");
    EXPECT_EQ(src, 7u);
  }
}

TEST(ParseFrame, EveryTruncationAndBitFlipOfAValidFrameIsRejected) {
  const std::string good = AnswerHex(0x12345678, 1, 1, 0, "00112233445566778899AABBCCDDEEFF");
  for (size_t n = 0; n < good.size(); ++n) {
    std::string rx = good.substr(0, n), frame, payload;
    uint32_t s, d;
    uint8_t di, a;
    EXPECT_FALSE(ParseFrame(rx, frame, s, d, di, a, payload)) << n;
    EXPECT_EQ(rx.size(), n);
  }
  const auto bytes = Bytes(good);
  for (size_t i = 0; i < bytes.size(); ++i) {
    for (int bit = 0; bit < 8; ++bit) {
      auto b = bytes;
      b[i] ^= static_cast<uint8_t>(1u << bit);
      std::string rx = BytesToHex(b.data(), b.size()), frame, payload;
      const std::string before = rx;
      uint32_t s, d;
      uint8_t di, a;
      bool ok = ParseFrame(rx, frame, s, d, di, a, payload);
      // A flip in the length field makes the frame look incomplete or moves
      // the checksum; either way nothing may be taken.
      EXPECT_FALSE(ok) << "byte " << i << " bit " << bit;
      if (!ok) {
        EXPECT_EQ(rx, before);
      }
    }
  }
}

TEST(ParseFrame, KeepsTheStartOfTheNextFrame) {
  const std::string second = AnswerHex(1001, 1, 1, 0, "0A0B");
  std::string rx = std::string(kAnswer) + second.substr(0, 20), frame, payload;
  uint32_t s, d;
  uint8_t di, a;
  ASSERT_TRUE(ParseFrame(rx, frame, s, d, di, a, payload));
  EXPECT_EQ(rx, second.substr(0, 20));
  EXPECT_FALSE(ParseFrame(rx, frame, s, d, di, a, payload));
  rx += second.substr(20);
  ASSERT_TRUE(ParseFrame(rx, frame, s, d, di, a, payload));
  EXPECT_EQ(s, 1001u);
  EXPECT_EQ(payload, "0A0B");
  EXPECT_TRUE(rx.empty());
}

TEST(ParseFrame, LengthLimits) {
  struct Case {
    size_t payloadBytes;
    bool ok;
  } cases[] = {{0, true}, {1022, true}};  // L = 2 and L = 1024
  for (const auto& c : cases) {
    SCOPED_TRACE(c.payloadBytes);
    std::string rx = AnswerHex(3, 1, 1, 0, std::string(2 * c.payloadBytes, 'A')), frame, payload;
    uint32_t s, d;
    uint8_t di, a;
    EXPECT_EQ(ParseFrame(rx, frame, s, d, di, a, payload), c.ok);
    EXPECT_EQ(payload.size(), 2 * c.payloadBytes);
  }
}

TEST(ParseFrame, NadsAreFullUnsigned32Bit) {
  std::string rx = AnswerHex(0xFFFFFFFE, 0x80000001, 1, 0, ""), frame, payload;
  uint32_t s, d;
  uint8_t di, a;
  ASSERT_TRUE(ParseFrame(rx, frame, s, d, di, a, payload));
  EXPECT_EQ(s, 0xFFFFFFFEu);
  EXPECT_EQ(d, 0x80000001u);
  EXPECT_EQ(payload, "");
}

TEST(HexToBytes, Conversions) {
  struct Case {
    const char* name;
    const char* text;
    bool padOdd;
    std::vector<uint8_t> bytes;
  } cases[] = {
      {"empty", "", false, {}},
      {"upper", "AA55", false, {0xAA, 0x55}},
      {"lower", "aa5f", false, {0xAA, 0x5F}},
      {"spaces_removed", "AA 55 0 1", false, {0xAA, 0x55, 0x01}},
      {"odd_padded", "ABC", true, {0xAB, 0x0C}},
      {"single_padded", "7", true, {0x07}},
      {"odd_unpadded_drops_last", "ABC", false, {0xAB}},
      {"non_digit_is_zero", "G1", false, {0x01}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    std::array<uint8_t, 8> buf;
    buf.fill(0xEE);
    int n = -1;
    HexToBytes(c.text, buf, n, c.padOdd);
    ASSERT_EQ(n, static_cast<int>(c.bytes.size()));
    for (size_t i = 0; i < c.bytes.size(); ++i) EXPECT_EQ(buf[i], c.bytes[i]) << i;
    for (size_t i = c.bytes.size(); i < buf.size(); ++i) EXPECT_EQ(buf[i], 0) << "not zeroed at " << i;
  }
}

TEST(HexToBytes, NeverWritesBeyondTheBuffer) {
  std::array<uint8_t, 6> storage;
  storage.fill(0xEE);
  int n = 0;
  HexToBytes("0102030405060708", std::span<uint8_t>(storage.data() + 1, 4), n, true);
  EXPECT_EQ(n, 4);
  EXPECT_EQ(storage[0], 0xEE);
  EXPECT_EQ(storage[5], 0xEE);
  EXPECT_EQ(storage[4], 0x04);
}

TEST(BytesToHex, UpperCasePairs) {
  const uint8_t b[] = {0x00, 0x0F, 0xA5, 0xFF};
  EXPECT_EQ(BytesToHex(b, 4), "000FA5FF");
  EXPECT_EQ(BytesToHex(b, 0), "");
}

}  // namespace
}  // namespace tavex

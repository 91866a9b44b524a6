// A-bus frame codec: layout, weighted checksum, request builder, parser of
// the hex receive text. Pure functions, no I/O, no allocation in the byte forms.
//
// Frame (little-endian):
//   0  AA 55            start bytes
//   2  L (16)           bytes from offset 12 up to the checksum
//   4  SourceNad (32)
//   8  DestNad (32)
//  12  Direction, 13 Aux, 14.. payload (request: Command, data, PasswordHash)
//  12+L checksum (16)   FrameChecksum over bytes 0 .. 11+L, seed 0
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>

namespace tavex {

// Largest data block a request carries, and the size of the working
// buffers of the receive side and the services (L + 12 bytes at most).
inline constexpr size_t kMaxRequestData = 1023;
inline constexpr size_t kFrameOverhead = 19;  // header 14 + command 1 + hash 2 + checksum 2
inline constexpr size_t kMaxRequestFrame = kMaxRequestData + kFrameOverhead;  // 1042
inline constexpr size_t kFrameBufSize = 1040;
inline constexpr uint16_t kMinFrameLen = 2;     // smallest L the parser accepts
inline constexpr uint16_t kMaxFrameLen = 1024;  // largest L the parser accepts

// Adds one byte's term to a running checksum; Index is the byte's position.
void ChecksumStep(uint8_t Byte, uint16_t& Sum, size_t Index);

// Checksum over the characters (bytes) of a text, first character at index 0.
// The password hash is TextChecksum(password, 0).
uint16_t TextChecksum(std::string_view Text, uint16_t Seed);

// Checksum over the first Count bytes; returns Seed when Count <= 0.
uint16_t FrameChecksum(const uint8_t* Bytes, int Count, uint16_t Seed);

// Builds a request frame in place. On entry Buf[0..Len) holds the command
// data; on success Buf holds the whole frame and Len its length (data + 19).
// Returns false, leaving Buf and Len unchanged, when Len > 1023 or when Buf
// cannot hold the frame.
bool BuildFrame(uint32_t SourceNad, uint32_t DestNad, uint8_t Command, uint8_t Direction,
                uint8_t Aux, std::span<uint8_t> Buf, uint16_t& Len, uint16_t PasswordHash);

// Validates the frame at the head of RxText (upper-case hex text). On success
// removes it from RxText, returns the whole frame text, the header fields
// and the payload text (2 * (L - 2) characters). On failure nothing is
// changed: the frame may still be incomplete, or the checksum is wrong.
// Only the envelope is checked: Direction, Aux and the NADs are the caller's.
bool ParseFrame(std::string& RxText, std::string& FrameText, uint32_t& SourceNad,
                uint32_t& DestNad, uint8_t& Direction, uint8_t& Aux, std::string& PayloadText);

// Converts hex text to bytes. Spaces are removed; with PadOdd a trailing
// single digit becomes the low nibble of the last byte (without PadOdd it is
// ignored). The whole of Buf is zeroed first and never written beyond; a
// character that is not a hex digit counts as 0. Count returns the number of
// bytes written.
void HexToBytes(std::string_view Text, std::span<uint8_t> Buf, int& Count, bool PadOdd);

// Appends two upper-case hex digits per byte to Out.
void BytesToHex(const uint8_t* Bytes, size_t Count, std::string& Out);
std::string BytesToHex(const uint8_t* Bytes, size_t Count);

}  // namespace tavex

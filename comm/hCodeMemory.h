// Layout of a controller's code memory: the program header and the file
// directory that holds the allocation archive.
#pragma once

#include <cstdint>

namespace tavex {

inline constexpr int kPageSize = 256;
// Page numbers travel as 16 bits: the reachable memory ends here.
inline constexpr int64_t kMemoryLimit = int64_t{65536} * kPageSize;  // 16 MiB

inline constexpr int32_t kCodeHeaderAddress = 0x20000;
inline constexpr int kCodeHeaderSize = 1104;  // what the tool reads of it
inline constexpr int kCodeHeaderStartSize = 16;

// Offsets in the header.
inline constexpr int hdrWord0 = 0;          // 16 bits, 0 in a valid header
inline constexpr int hdrMagic = 2;          // 16 bits, kCodeHeaderMagic
inline constexpr int hdrStamp = 12;         // 32 bits, identifies the loaded program
inline constexpr int hdrDirAddress = 64;    // 32 bits
inline constexpr int hdrDirCount = 68;      // 16 bits
inline constexpr uint16_t kCodeHeaderMagic = 31415;

// One directory entry.
inline constexpr int kDirEntrySize = 46;
inline constexpr int dirName = 0;           // 32 bytes, not terminated
inline constexpr int dirNameMax = 32;
inline constexpr int dirNameLength = 32;    // 16 bits, valid 1..32
inline constexpr int dirFileAddress = 34;   // 32 bits
inline constexpr int dirFileSize = 38;      // 32 bits, signed, valid > 0

inline constexpr char kAlcArchiveName[] = "alc.zip";

}  // namespace tavex

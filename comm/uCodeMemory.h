// The controller's code memory as bytes: the program header's fields, the
// file directory's "alc.zip" entry, and the allocation archive's text. Pure
// functions over bytes already read, shared by every path that reads the
// memory (TCommunicator's services, the allocation fetch of plc/), so that
// each bound is checked in one place. The bytes are untrusted: every field
// is bounded here before anyone asks the controller for more.
//
// Threads: any; nothing is shared. Exceptions: none.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>

#include "comm/hCodeMemory.h"

namespace tavex {

// The header bytes that hold every field below (program check, stamp,
// directory address and entry count): one page request.
inline constexpr int kCodeHeaderFieldsSize = hdrDirCount + 2;

struct TCodeHeader {
  // Word 0 is 0 and the magic is right (needs the first 4 bytes).
  bool Valid = false;
  uint32_t Stamp = 0;        // 0 when the bytes end before it
  int32_t DirAddress = 0;    // as stored: may be negative or out of range
  int DirCount = 0;          // 0 when the bytes end before it
};

// The fields of the header's first bytes; fields beyond the end of Bytes
// stay 0. Without a valid header every other field is 0 as well.
TCodeHeader ParseCodeHeader(std::span<const uint8_t> Bytes);

// The directory's size in bytes, and whether the header names one that
// lies wholly in reachable memory (at least one entry, address >= 0,
// address + size <= kMemoryLimit). Only such a directory is read.
int32_t DirectorySize(const TCodeHeader& Header);
bool DirectoryReachable(const TCodeHeader& Header);

struct TDirEntry {
  int32_t Address = 0;
  int32_t Size = 0;
};

// The "alc.zip" entry among the first Count entries of Directory (the
// entries end earlier when the bytes do). An entry counts only when its
// name length is 1..32, its size > 0 and the file lies wholly in reachable
// memory; the first such entry named exactly "alc.zip" decides, later
// ones are not looked at. None: no such entry.
std::optional<TDirEntry> FindAlcEntry(std::span<const uint8_t> Directory, int Count);

// The first member's text of an archive, with the zip reader's checks (CRC,
// damaged stream, bounds, the member size cap). False, Text empty, when
// there is no such text or it is empty.
bool ArchiveText(std::span<const uint8_t> Bytes, std::string& Text);

}  // namespace tavex

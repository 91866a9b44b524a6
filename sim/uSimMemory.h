// A simulated controller's code memory (sparse, 24-bit) and what goes into
// it: the program header, the file directory, the allocation text and its
// "alc.zip" archive.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "sim/uSimScenario.h"

namespace tavex::sim {

inline constexpr uint32_t kHeaderAddress = 0x20000;
inline constexpr uint16_t kHeaderMagic = 31415;
inline constexpr uint32_t kHeaderSize = 1104;  // what the tool reads of the header
inline constexpr uint32_t kStampOffset = 12;
inline constexpr uint32_t kDirAddressOffset = 64;
inline constexpr uint32_t kDirCountOffset = 68;
inline constexpr uint32_t kDirectoryAddress = 0x20500;
inline constexpr uint32_t kDirEntrySize = 46;
inline constexpr const char* kAlcMemberName = "alc.txt";

// Code memory held page by page; only written pages use memory, so a whole
// 16 MiB address space costs nothing until it is filled.
class TCodeMemory {
 public:
  // Writes are clipped at the top of the 24-bit space.
  void Write(uint32_t Address, const uint8_t* Data, size_t Count);
  void Fill(uint32_t Address, uint8_t Byte, size_t Count);
  void WriteU16(uint32_t Address, uint16_t Value);
  void WriteU32(uint32_t Address, uint32_t Value);
  // Unwritten memory and addresses beyond the 24-bit space read as zeros.
  void Read(uint32_t Address, uint8_t* Out, size_t Count) const;
  std::vector<uint8_t> Read(uint32_t Address, size_t Count) const;
  size_t MappedBytes() const { return Pages_.size() * 256; }

 private:
  std::map<uint32_t, std::array<uint8_t, 256>> Pages_;  // by page number
};

// The allocation text of a variable table: a comment line, the marker line,
// the heading line and one nine-column data line per variable, CR LF ended.
std::string BuildAlcText(const std::vector<TSimVariable>& Variables);

// A deflate-compressed zip archive holding Text as its only member
// kAlcMemberName. Throws std::runtime_error when the archive cannot be made.
// Written by libzip on Linux; on Windows, where no libzip build is at hand,
// by a small writer over zlib.
std::vector<uint8_t> BuildAlcZip(const std::string& Text);

// Where things ended up in code memory.
struct TCodeLayout {
  uint32_t DirectoryAddress = 0;
  uint16_t EntryCount = 0;
  uint32_t AlcAddress = 0;  // 0 when there is no "alc.zip" entry
  uint32_t AlcSize = 0;
};

// Lays out header, directory, archive and extra files, then applies the
// header overrides and the memory patches. Archive is the "alc.zip" content.
// Throws std::runtime_error when a file placed after the directory does not
// fit below the top of code memory (one given an address is clipped there).
TCodeLayout BuildCodeMemory(const TControllerConfig& Config, const std::vector<uint8_t>& Archive,
                            TCodeMemory& Memory);

}  // namespace tavex::sim

// The code memory's header and directory as bytes: every bound of the
// header fields and of the "alc.zip" entry, and the archive's first member,
// from byte fixtures (no controller needed).
#include "comm/uCodeMemory.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

namespace tavex {
namespace {

void Put16(std::vector<uint8_t>& b, size_t At, uint32_t V) {
  b[At] = static_cast<uint8_t>(V);
  b[At + 1] = static_cast<uint8_t>(V >> 8);
}
void Put32(std::vector<uint8_t>& b, size_t At, uint32_t V) {
  Put16(b, At, V & 0xFFFF);
  Put16(b, At + 2, V >> 16);
}

// The header fields of a program with stamp 7 whose directory of Count
// entries lies at Address.
std::vector<uint8_t> Header(uint32_t Address = 0x20500, uint32_t Count = 3) {
  std::vector<uint8_t> h(kCodeHeaderFieldsSize, 0xEE);
  Put16(h, hdrWord0, 0);
  Put16(h, hdrMagic, kCodeHeaderMagic);
  Put32(h, hdrStamp, 7);
  Put32(h, hdrDirAddress, Address);
  Put16(h, hdrDirCount, Count);
  return h;
}

TEST(CodeHeader, FieldsAndBounds) {
  struct TCase {
    const char* Name;
    std::vector<uint8_t> Bytes;
    bool Valid;
    uint32_t Stamp;
    int Count;
    bool Reachable;
  };
  std::vector<uint8_t> wrongMagic = Header();
  Put16(wrongMagic, hdrMagic, kCodeHeaderMagic + 1);
  std::vector<uint8_t> word0 = Header();
  Put16(word0, hdrWord0, 1);
  std::vector<uint8_t> three = Header();
  three.resize(3);
  std::vector<uint8_t> start = Header();
  start.resize(kCodeHeaderStartSize);  // the header start: no directory fields
  const TCase cases[] = {
      {"valid", Header(), true, 7, 3, true},
      {"wrong_magic", wrongMagic, false, 0, 0, false},
      {"word0_not_zero", word0, false, 0, 0, false},
      {"empty", {}, false, 0, 0, false},
      {"short_3_bytes", three, false, 0, 0, false},
      {"header_start_only", start, true, 7, 0, false},
      {"no_entries", Header(0x20500, 0), true, 7, 0, false},
      {"65535_entries", Header(0x20500, 65535), true, 7, 65535, true},
      {"directory_at_memory_top", Header(0xFFFF00, 65535), true, 7, 65535, false},
      {"directory_last_byte", Header(static_cast<uint32_t>(kMemoryLimit - kDirEntrySize), 1), true, 7, 1, true},
      {"directory_one_past", Header(static_cast<uint32_t>(kMemoryLimit - kDirEntrySize + 1), 1), true, 7, 1, false},
      {"negative_address", Header(0x80000000u, 1), true, 7, 1, false},
  };
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.Name);
    const TCodeHeader h = ParseCodeHeader(c.Bytes);
    EXPECT_EQ(h.Valid, c.Valid);
    EXPECT_EQ(h.Stamp, c.Stamp);
    EXPECT_EQ(h.DirCount, c.Count);
    EXPECT_EQ(DirectoryReachable(h), c.Reachable);
  }
}

struct TEntry {
  std::string Name;
  uint32_t Address = 0x30000;
  uint32_t Size = 100;
  int NameLength = -1;  // -1: the name's own
};

std::vector<uint8_t> Directory(const std::vector<TEntry>& Entries) {
  std::vector<uint8_t> d(Entries.size() * kDirEntrySize, 0);
  for (size_t i = 0; i < Entries.size(); ++i) {
    const TEntry& e = Entries[i];
    const size_t at = i * kDirEntrySize;
    for (size_t k = 0; k < e.Name.size() && k < static_cast<size_t>(dirNameMax); ++k)
      d[at + dirName + k] = static_cast<uint8_t>(e.Name[k]);
    Put16(d, at + dirNameLength, e.NameLength < 0 ? static_cast<uint32_t>(e.Name.size()) : static_cast<uint32_t>(e.NameLength));
    Put32(d, at + dirFileAddress, e.Address);
    Put32(d, at + dirFileSize, e.Size);
  }
  return d;
}

TEST(CodeDirectory, TheFirstValidAlcEntryDecides) {
  const auto top = static_cast<uint32_t>(kMemoryLimit);
  struct TCase {
    const char* Name;
    std::vector<TEntry> Entries;
    int Count;         // entries the header claims; -1: as many as there are
    int64_t Address;   // of the entry found; -1: none
  };
  const TCase cases[] = {
      {"only_entry", {{"alc.zip"}}, -1, 0x30000},
      {"second_entry", {{"readme.txt", 0x40000}, {"alc.zip", 0x50000}}, -1, 0x50000},
      {"first_of_two", {{"alc.zip", 0x50000}, {"alc.zip", 0x60000}}, -1, 0x50000},
      {"case_differs", {{"ALC.ZIP"}}, -1, -1},
      {"longer_name", {{"alc.zip.bak"}}, -1, -1},
      {"name_length_0", {{"alc.zip", 0x30000, 100, 0}}, -1, -1},
      {"name_too_long", {{"alc.zip", 0x30000, 100, 33}, {"alc.zip", 0x70000}}, -1, 0x70000},
      {"name_length_cuts", {{"alc.zipper", 0x30000, 100, 7}}, -1, 0x30000},
      {"zero_size", {{"alc.zip", 0x30000, 0}, {"alc.zip", 0x70000}}, -1, 0x70000},
      {"negative_size", {{"alc.zip", 0x30000, 0x80000000u}}, -1, -1},
      {"size_2GiB_less_1", {{"alc.zip", 0x30000, 0x7FFFFFFFu}}, -1, -1},
      {"runs_past_top", {{"alc.zip", top - 0x80, 0x100}}, -1, -1},
      {"ends_at_top", {{"alc.zip", top - 0x100, 0x100}}, -1, top - 0x100},
      {"negative_address", {{"alc.zip", 0xFFFFFF00u, 0x10}}, -1, -1},
      {"beyond_claimed_count", {{"readme.txt"}, {"alc.zip"}}, 1, -1},
      {"count_beyond_bytes", {{"readme.txt"}, {"alc.zip", 0x50000}}, 65535, 0x50000},
      {"no_entries", {{"alc.zip"}}, 0, -1},
  };
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.Name);
    const auto dir = Directory(c.Entries);
    const int count = c.Count < 0 ? static_cast<int>(c.Entries.size()) : c.Count;
    const auto found = FindAlcEntry(dir, count);
    ASSERT_EQ(found.has_value(), c.Address >= 0);
    if (found) {
      EXPECT_EQ(found->Address, c.Address);
    }
  }
  // A directory cut inside an entry: the partial entry is not read.
  auto cut = Directory({{"alc.zip"}});
  cut.resize(kDirEntrySize - 1);
  EXPECT_FALSE(FindAlcEntry(cut, 1).has_value());
}

std::vector<uint8_t> FileBytes(const std::string& Name) {
  std::ifstream f(std::string(TAVEX_TEST_DATA) + "/zip/" + Name, std::ios::binary);
  return {std::istreambuf_iterator<char>(f), {}};
}

TEST(CodeArchive, FirstMemberTextWithTheZipReadersChecks) {
  std::string text = "stale";
  EXPECT_FALSE(ArchiveText({}, text));
  EXPECT_EQ(text, "");
  const std::vector<uint8_t> junk(300, 0x50);
  EXPECT_FALSE(ArchiveText(junk, text));
  EXPECT_EQ(text, "");

  struct TCase {
    const char* File;
    bool Text;  // the first member gives a non-empty text
  } cases[] = {
      {"infozip_two.zip", true},     // the first of two members
      {"python_mixed.zip", true},
      {"infozip_pipe.zip", false},   // a member without data: refused, not empty
      {"infozip_stdin.zip", false},  // claims data past the end: no member
  };
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.File);
    const std::vector<uint8_t> bytes = FileBytes(c.File);
    ASSERT_FALSE(bytes.empty());
    EXPECT_EQ(ArchiveText(bytes, text), c.Text);
    EXPECT_EQ(text.empty(), !c.Text);
    if (!c.Text) continue;
    EXPECT_EQ(text.rfind("speed word 4096\n", 0), 0u) << text.substr(0, 40);  // the first member
    // A flipped byte in the member's data fails the CRC (or the stream).
    {
      std::vector<uint8_t> bad = bytes;
      const size_t data = 30 + (bytes[26] | (bytes[27] << 8)) + (bytes[28] | (bytes[29] << 8));
      ASSERT_LT(data + 2, bad.size());
      bad[data + 2] ^= 0x55;
      EXPECT_FALSE(ArchiveText(bad, text));
      EXPECT_EQ(text, "");
    }
  }
}

}  // namespace
}  // namespace tavex

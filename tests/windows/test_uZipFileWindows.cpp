// The simulator's archive writer of the Windows build (zlib, no libzip) read
// back by the tool's own zip reader: what the Windows simulator serves as
// "alc.zip" must be what the tool extracts.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "hostutil/uMemoryStream.h"
#include "hostutil/uZipFile.h"
#include "sim/uSimMemory.h"

namespace tavex {
namespace {

TZipFile Load(const std::vector<uint8_t>& Bytes) {
  TMemoryStream s;
  s.Write(Bytes.data(), Bytes.size());
  s.SetPosition(0);
  TZipFile zip;
  zip.LoadFromStream(s);
  return zip;
}

std::string Pattern(size_t Size) {
  std::string text;
  text.reserve(Size);
  uint32_t x = 12345;
  while (text.size() < Size) {
    x = x * 1103515245u + 12345u;
    text += static_cast<char>('0' + (x >> 16) % 43);
  }
  return text;
}

TEST(SimArchiveWindows, EveryTextComesBackWhole) {
  const std::string texts[] = {
      "",
      "; allocation\r\n",
      Pattern(70000),           // more than one deflate block
      std::string(1 << 20, 'x'),  // compresses a thousandfold
  };
  for (const std::string& text : texts) {
    SCOPED_TRACE(text.size());
    const TZipFile zip = Load(sim::BuildAlcZip(text));
    ASSERT_EQ(zip.Count(), 1);
    EXPECT_EQ(zip.LocalFiles()[0].FileName, sim::kAlcMemberName);
    EXPECT_EQ(zip.EndSignature(), ZipEndSignature);
    EXPECT_EQ(zip.CentralFiles()[0].FileName, sim::kAlcMemberName);
    EXPECT_EQ(zip.LocalFiles()[0].CRC32, ZipCRC32(text));
    std::string out;
    zip.ExtractFile(0, out);
    EXPECT_EQ(out, text);
  }
}

TEST(SimArchiveWindows, ADamagedByteIsCaught) {
  const std::string text = Pattern(4000);
  std::vector<uint8_t> bytes = sim::BuildAlcZip(text);
  // The first data byte follows the 30-byte local header and the name.
  const size_t data = 30 + std::string(sim::kAlcMemberName).size();
  bytes[data + 10] ^= 0x55;
  const TZipFile zip = Load(bytes);
  ASSERT_EQ(zip.Count(), 1);
  std::string out = "unchanged";
  EXPECT_ANY_THROW(zip.ExtractFile(0, out));
  EXPECT_EQ(out, "unchanged");
}

TEST(SimArchiveWindows, TooLongATextIsRefused) {
  EXPECT_THROW(sim::BuildAlcZip(std::string(sim::kMaxAlcBytes + 1, 'a')), std::runtime_error);
}

}  // namespace
}  // namespace tavex

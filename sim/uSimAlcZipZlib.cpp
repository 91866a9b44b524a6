// The allocation archive of a simulated controller, written over zlib: the
// Windows build has no libzip, so this writer stands in for it. It is still
// not the tool's zip code: it shares nothing with the reader in hostutil/.
//
// Layout: one local header with the sizes and CRC known up front (no data
// descriptor), the raw deflate stream, one central directory record and the
// end record; no extra fields, no comment, date 1980-01-01 00:00.
#include "sim/uSimMemory.h"

#include <zlib.h>

#include <cstring>
#include <limits>
#include <stdexcept>
#include <string>

namespace tavex::sim {

namespace {

void Put16(std::vector<uint8_t>& Out, uint32_t V) {
  Out.push_back(static_cast<uint8_t>(V));
  Out.push_back(static_cast<uint8_t>(V >> 8));
}

void Put32(std::vector<uint8_t>& Out, uint32_t V) {
  Put16(Out, V & 0xFFFF);
  Put16(Out, V >> 16);
}

std::vector<uint8_t> RawDeflate(const std::string& Text) {
  z_stream z{};
  if (deflateInit2(&z, 9, Z_DEFLATED, -MAX_WBITS, 8, Z_DEFAULT_STRATEGY) != Z_OK)
    throw std::runtime_error("cannot build alc.zip: deflate start");
  std::vector<uint8_t> out(deflateBound(&z, static_cast<uLong>(Text.size())));
  z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(Text.data()));
  z.avail_in = static_cast<uInt>(Text.size());
  z.next_out = out.data();
  z.avail_out = static_cast<uInt>(out.size());
  const int rc = deflate(&z, Z_FINISH);
  const size_t produced = out.size() - z.avail_out;
  deflateEnd(&z);
  if (rc != Z_STREAM_END) throw std::runtime_error("cannot build alc.zip: deflate");
  out.resize(produced);
  return out;
}

}  // namespace

std::vector<uint8_t> BuildAlcZip(const std::string& Text) {
  // zlib's lengths are 32-bit, and so are the archive's without ZIP64.
  if (Text.size() > kMaxAlcBytes) throw std::runtime_error("cannot build alc.zip: text too long");
  const std::vector<uint8_t> data = RawDeflate(Text);
  const uint32_t crc = static_cast<uint32_t>(
      crc32(crc32(0L, Z_NULL, 0), reinterpret_cast<const Bytef*>(Text.data()),
            static_cast<uInt>(Text.size())));
  const uint32_t nameLength = static_cast<uint32_t>(std::strlen(kAlcMemberName));
  const uint32_t packed = static_cast<uint32_t>(data.size());
  const uint32_t plain = static_cast<uint32_t>(Text.size());
  constexpr uint32_t kVersion = 20;  // 2.0: deflate
  constexpr uint32_t kDeflate = 8;
  constexpr uint32_t kDosDate = (0 << 9) | (1 << 5) | 1;  // 1980-01-01

  std::vector<uint8_t> out;
  out.reserve(data.size() + 2 * nameLength + 128);
  Put32(out, 0x04034b50);  // local file header
  Put16(out, kVersion);
  Put16(out, 0);  // flags
  Put16(out, kDeflate);
  Put16(out, 0);  // time
  Put16(out, kDosDate);
  Put32(out, crc);
  Put32(out, packed);
  Put32(out, plain);
  Put16(out, nameLength);
  Put16(out, 0);  // extra field length
  out.insert(out.end(), kAlcMemberName, kAlcMemberName + nameLength);
  out.insert(out.end(), data.begin(), data.end());

  const uint32_t directoryOffset = static_cast<uint32_t>(out.size());
  Put32(out, 0x02014b50);  // central directory record
  Put16(out, kVersion);    // made by: MS-DOS attributes, 2.0
  Put16(out, kVersion);
  Put16(out, 0);
  Put16(out, kDeflate);
  Put16(out, 0);
  Put16(out, kDosDate);
  Put32(out, crc);
  Put32(out, packed);
  Put32(out, plain);
  Put16(out, nameLength);
  Put16(out, 0);  // extra
  Put16(out, 0);  // comment
  Put16(out, 0);  // disk
  Put16(out, 0);  // internal attributes
  Put32(out, 0);  // external attributes
  Put32(out, 0);  // offset of the local header
  out.insert(out.end(), kAlcMemberName, kAlcMemberName + nameLength);
  const uint32_t directorySize = static_cast<uint32_t>(out.size()) - directoryOffset;

  Put32(out, 0x06054b50);  // end of central directory
  Put16(out, 0);
  Put16(out, 0);
  Put16(out, 1);
  Put16(out, 1);
  Put32(out, directorySize);
  Put32(out, directoryOffset);
  Put16(out, 0);
  if (out.size() > kMaxAlcBytes) throw std::runtime_error("cannot build alc.zip: too large");
  return out;
}

}  // namespace tavex::sim

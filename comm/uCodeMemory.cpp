#include "comm/uCodeMemory.h"

#include <string_view>

#include "hostutil/uMemoryStream.h"
#include "hostutil/uZipFile.h"

namespace tavex {

namespace {

uint16_t Get16(const uint8_t* p) { return static_cast<uint16_t>(p[0] | (p[1] << 8)); }
uint32_t Get32(const uint8_t* p) {
  return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) |
         (static_cast<uint32_t>(p[2]) << 16) | (static_cast<uint32_t>(p[3]) << 24);
}

}  // namespace

TCodeHeader ParseCodeHeader(std::span<const uint8_t> Bytes) {
  TCodeHeader h;
  const size_t n = Bytes.size();
  if (n < 4) return h;
  const uint8_t* p = Bytes.data();
  h.Valid = Get16(p + hdrWord0) == 0 && Get16(p + hdrMagic) == kCodeHeaderMagic;
  if (!h.Valid) return h;
  if (n >= static_cast<size_t>(hdrStamp + 4)) h.Stamp = Get32(p + hdrStamp);
  if (n >= static_cast<size_t>(kCodeHeaderFieldsSize)) {
    h.DirAddress = static_cast<int32_t>(Get32(p + hdrDirAddress));
    h.DirCount = Get16(p + hdrDirCount);
  }
  return h;
}

int32_t DirectorySize(const TCodeHeader& Header) {
  // At most 65535 entries of 46 bytes: no overflow.
  return Header.DirCount > 0 ? Header.DirCount * kDirEntrySize : 0;
}

bool DirectoryReachable(const TCodeHeader& Header) {
  return Header.Valid && Header.DirCount > 0 && Header.DirAddress >= 0 &&
         int64_t{Header.DirAddress} + DirectorySize(Header) <= kMemoryLimit;
}

std::optional<TDirEntry> FindAlcEntry(std::span<const uint8_t> Directory, int Count) {
  for (int i = 0; i < Count; ++i) {
    const size_t at = static_cast<size_t>(i) * kDirEntrySize;
    if (at + kDirEntrySize > Directory.size()) break;
    const uint8_t* e = Directory.data() + at;
    const int nameLen = Get16(e + dirNameLength);
    const auto address = static_cast<int32_t>(Get32(e + dirFileAddress));
    const auto size = static_cast<int32_t>(Get32(e + dirFileSize));
    if (nameLen < 1 || nameLen > dirNameMax || size <= 0) continue;
    // A file that does not lie wholly in reachable memory cannot be the
    // archive; reading it would wrap page numbers or never end.
    if (address < 0 || int64_t{address} + size > kMemoryLimit) continue;
    const std::string_view name(reinterpret_cast<const char*>(e + dirName), static_cast<size_t>(nameLen));
    if (name == kAlcArchiveName) return TDirEntry{address, size};
  }
  return std::nullopt;
}

bool ArchiveText(std::span<const uint8_t> Bytes, std::string& Text) {
  Text.clear();
  TMemoryStream stream;
  if (!Bytes.empty()) stream.Write(Bytes.data(), Bytes.size());
  stream.SetPosition(0);
  TZipFile zip;
  zip.LoadFromStream(stream);
  if (zip.Count() <= 0) return false;
  try {
    zip.ExtractFile(0, Text);
  } catch (const Exception&) {
    Text.clear();
  }
  return !Text.empty();
}

}  // namespace tavex

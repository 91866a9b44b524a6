#include "hostutil/uZipFile.h"

#define ZLIB_CONST
#include <zlib.h>

#include <algorithm>
#include <climits>

namespace tavex {

namespace {

uint16_t Get16(const uint8_t* p) { return static_cast<uint16_t>(p[0] | (p[1] << 8)); }

uint32_t Get32(const uint8_t* p) {
  return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) |
         (static_cast<uint32_t>(p[2]) << 16) | (static_cast<uint32_t>(p[3]) << 24);
}

size_t Remaining(const TMemoryStream& stream) { return stream.Size() - stream.Position(); }

// Reads exactly count bytes or nothing. A part that does not fit is dropped
// whole; the position then moves to the end, as a short read would leave it.
bool ReadExact(TMemoryStream& stream, void* dest, size_t count) {
  if (Remaining(stream) < count) {
    stream.SetPosition(stream.Size());
    return false;
  }
  stream.Read(dest, count);
  return true;
}

// Same for a variable part. The length is checked against the stream before
// anything is allocated, so a stated length never drives a larger allocation.
bool ReadText(TMemoryStream& stream, size_t count, std::string& out) {
  if (Remaining(stream) < count) {
    stream.SetPosition(stream.Size());
    return false;
  }
  out.resize(count);
  if (count > 0) stream.Read(out.data(), count);
  return true;
}

// The next 4-byte word, or 0 (no signature) when fewer than 4 bytes remain.
uint32_t ReadWord(TMemoryStream& stream) {
  uint8_t b[4] = {};
  if (stream.Read(b, sizeof b) != sizeof b) return 0;
  return Get32(b);
}

std::string CRCErrorMessage(const std::string& name) { return "CRC Error in \"" + name + "\"."; }

// Output grows in steps of at least this much, doubling with what has been
// produced, so memory follows the real output rather than the claimed size.
constexpr size_t InflateOutChunk = 64 * 1024;
// zlib counts input in uInt.
constexpr size_t InflateInChunk = 1u << 30;

struct TInflateGuard {
  z_stream* Stream;
  ~TInflateGuard() { inflateEnd(Stream); }
};

// Inflates raw deflate data until `want` bytes have come out; input beyond
// that point is never looked at (no trailer is expected or checked).
// Returns false when the data ends before `want` bytes; raises "Error" for a
// corrupt stream.
bool InflateRaw(std::string_view in, size_t want, std::string& out) {
  z_stream zs{};
  if (inflateInit2(&zs, -MAX_WBITS) != Z_OK) throw Exception("Error");
  TInflateGuard guard{&zs};

  out.clear();
  size_t inPos = 0;
  size_t produced = 0;
  while (produced < want) {
    if (zs.avail_in == 0 && inPos < in.size()) {
      const size_t n = std::min(in.size() - inPos, InflateInChunk);
      zs.next_in = reinterpret_cast<const Bytef*>(in.data() + inPos);
      zs.avail_in = static_cast<uInt>(n);
      inPos += n;
    }
    if (produced == out.size()) {
      const size_t step = std::min(std::max(InflateOutChunk, out.size()), want - out.size());
      out.resize(out.size() + step);
    }
    zs.next_out = reinterpret_cast<Bytef*>(out.data() + produced);
    zs.avail_out = static_cast<uInt>(out.size() - produced);
    const int rc = inflate(&zs, Z_NO_FLUSH);
    produced = out.size() - zs.avail_out;
    if (rc == Z_STREAM_END) break;
    // With output room available, zlib reports Z_BUF_ERROR only when the
    // input is used up: the data ended early.
    if (rc == Z_BUF_ERROR) break;
    if (rc != Z_OK) throw Exception("Error");
  }
  return produced >= want;
}

}  // namespace

uint32_t ZipCRC32(const void* data, size_t size) {
  return static_cast<uint32_t>(crc32_z(0L, static_cast<const Bytef*>(data), size));
}

uint32_t ZipCRC32(std::string_view data) { return ZipCRC32(data.data(), data.size()); }

void TZipFile::Clear() {
  LocalFiles_.clear();
  CentralFiles_.clear();
  EndSignature_ = 0;
  EndRecord_ = TEndRecord{};
  Comment_.clear();
}

void TZipFile::LoadFromStream(TMemoryStream& stream) {
  Clear();
  stream.SetPosition(0);

  // The first local header is looked for only at multiples of 4.
  uint32_t word = 0;
  for (;;) {
    uint8_t b[4] = {};
    if (stream.Read(b, sizeof b) != sizeof b) {
      word = 0;
      break;
    }
    word = Get32(b);
    if (word == ZipLocalFileSignature) break;
  }

  // Local entries. A member whose header, name, extra field or data runs past
  // the end is not kept: half a member could never extract correctly, and
  // dropping it keeps Count() to the members that are really there.
  while (word == ZipLocalFileSignature) {
    TLocalFile f;
    f.Signature = word;
    uint8_t h[26] = {};
    if (!ReadExact(stream, h, sizeof h)) {
      word = 0;
      break;
    }
    f.VersionNeeded = Get16(h + 0);
    f.Flags = Get16(h + 2);
    f.CompressionMethod = Get16(h + 4);
    f.ModificationTime = Get16(h + 6);
    f.ModificationDate = Get16(h + 8);
    f.CRC32 = Get32(h + 10);
    f.CompressedSize = Get32(h + 14);
    f.UncompressedSize = Get32(h + 18);
    f.FileNameLength = Get16(h + 22);
    f.ExtraFieldLength = Get16(h + 24);
    if (!ReadText(stream, f.FileNameLength, f.FileName) ||
        !ReadText(stream, f.ExtraFieldLength, f.Extra) ||
        !ReadText(stream, f.CompressedSize, f.Data)) {
      word = 0;
      break;
    }
    LocalFiles_.push_back(std::move(f));
    word = ReadWord(stream);
  }
  // One central slot per member; slots no central record fills stay empty.
  CentralFiles_.resize(LocalFiles_.size());

  // Central directory. Records beyond the member count are read past and
  // dropped; nothing uses them.
  size_t next = 0;
  while (word == ZipFileHeaderSignature) {
    TFileHeader c;
    c.Signature = word;
    uint8_t h[42] = {};
    if (!ReadExact(stream, h, sizeof h)) return;
    c.VersionMadeBy = Get16(h + 0);
    c.VersionNeeded = Get16(h + 2);
    c.Flags = Get16(h + 4);
    c.CompressionMethod = Get16(h + 6);
    c.ModificationTime = Get16(h + 8);
    c.ModificationDate = Get16(h + 10);
    c.CRC32 = Get32(h + 12);
    c.CompressedSize = Get32(h + 16);
    c.UncompressedSize = Get32(h + 20);
    c.FileNameLength = Get16(h + 24);
    c.ExtraFieldLength = Get16(h + 26);
    c.FileCommentLength = Get16(h + 28);
    c.DiskNumberStart = Get16(h + 30);
    c.InternalAttributes = Get16(h + 32);
    c.ExternalAttributes = Get32(h + 34);
    c.LocalHeaderOffset = Get32(h + 38);
    if (!ReadText(stream, c.FileNameLength, c.FileName) ||
        !ReadText(stream, c.ExtraFieldLength, c.Extra) ||
        !ReadText(stream, c.FileCommentLength, c.FileComment))
      return;
    if (next < CentralFiles_.size()) CentralFiles_[next] = std::move(c);
    ++next;
    word = ReadWord(stream);
  }

  // End record with its comment, kept only when read whole.
  if (word == ZipEndSignature) {
    uint8_t e[18] = {};
    if (!ReadExact(stream, e, sizeof e)) return;
    TEndRecord r;
    r.DiskNumber = Get16(e + 0);
    r.CentralDirectoryDisk = Get16(e + 2);
    r.EntriesOnDisk = Get16(e + 4);
    r.TotalEntries = Get16(e + 6);
    r.CentralDirectorySize = Get32(e + 8);
    r.CentralDirectoryOffset = Get32(e + 12);
    r.CommentLength = Get16(e + 16);
    std::string comment;
    if (!ReadText(stream, r.CommentLength, comment)) return;
    EndSignature_ = word;
    EndRecord_ = r;
    Comment_ = std::move(comment);
  }
}

int TZipFile::Count() const { return static_cast<int>(LocalFiles_.size()); }

void TZipFile::ExtractFile(int index, std::string& out) const {
  if (index < 0 || index >= Count()) throw Exception("Index out of range.");
  const TLocalFile& f = LocalFiles_[static_cast<size_t>(index)];
  // The claimed size is untrusted: refuse what no allocation file needs.
  if (f.UncompressedSize > ZipMaxMemberSize)
    throw Exception("File \"" + f.FileName + "\" is too large.");

  std::string content;
  // Every member is taken as deflate, whatever its method field says.
  // Nothing is asked of the decoder for an empty member.
  if (f.UncompressedSize > 0 && !InflateRaw(f.Data, f.UncompressedSize, content)) {
    // The data ended before the stated size. The content counts as empty,
    // which cannot be the stated non-empty bytes, so this is a checksum
    // failure even when the stored CRC-32 happens to be 0 (as in the local
    // header of a member followed by a data descriptor).
    throw EZipFileCRCError(CRCErrorMessage(f.FileName));
  }
  if (ZipCRC32(content) != f.CRC32) throw EZipFileCRCError(CRCErrorMessage(f.FileName));
  out = std::move(content);
}

}  // namespace tavex

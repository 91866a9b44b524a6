// Reader for zip archives held entirely in memory (the controller's
// "alc.zip"). Parses the archive sequentially from its first byte, keeps each
// member's local header, name and compressed data, and inflates a member on
// request with its CRC-32 verified. Writes nothing; every member is treated as
// deflate-compressed whatever its method field says.
//
// The archive bytes come from a controller and are untrusted: parsing never
// reads past the stream, never allocates more than the stream holds, and
// extraction never allocates by a claimed size beyond ZipMaxMemberSize.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "hostutil/uException.h"
#include "hostutil/uMemoryStream.h"

namespace tavex {

// Raised by ExtractFile when the inflated bytes do not match the member's
// CRC-32 (or the member's data ends before its stated size).
class EZipFileCRCError : public Exception {
 public:
  using Exception::Exception;
};

constexpr uint32_t ZipLocalFileSignature = 0x04034B50;
constexpr uint32_t ZipFileHeaderSignature = 0x02014B50;
constexpr uint32_t ZipEndSignature = 0x06054B50;

// Largest uncompressed size ExtractFile accepts (64 MiB). An allocation file
// is a few kilobytes; a larger claim is a damaged or hostile archive.
constexpr uint32_t ZipMaxMemberSize = 64u * 1024u * 1024u;

// Standard zip/zlib CRC-32 (reflected 0xEDB88320, init and final inversion).
// Empty input gives 0.
uint32_t ZipCRC32(const void* data, size_t size);
uint32_t ZipCRC32(std::string_view data);

// A local file header with the name, extra field and compressed data that
// follow it. Numeric fields are in file order.
struct TLocalFile {
  uint32_t Signature = 0;
  uint16_t VersionNeeded = 0;
  uint16_t Flags = 0;
  uint16_t CompressionMethod = 0;
  uint16_t ModificationTime = 0;
  uint16_t ModificationDate = 0;
  uint32_t CRC32 = 0;
  uint32_t CompressedSize = 0;
  uint32_t UncompressedSize = 0;
  uint16_t FileNameLength = 0;
  uint16_t ExtraFieldLength = 0;
  std::string FileName;
  std::string Extra;
  std::string Data;  // CompressedSize bytes
};

// A central-directory file header with its variable parts. Kept for
// completeness; extraction uses only the local entries.
struct TFileHeader {
  uint32_t Signature = 0;  // 0 for a slot no central record filled
  uint16_t VersionMadeBy = 0;
  uint16_t VersionNeeded = 0;
  uint16_t Flags = 0;
  uint16_t CompressionMethod = 0;
  uint16_t ModificationTime = 0;
  uint16_t ModificationDate = 0;
  uint32_t CRC32 = 0;
  uint32_t CompressedSize = 0;
  uint32_t UncompressedSize = 0;
  uint16_t FileNameLength = 0;
  uint16_t ExtraFieldLength = 0;
  uint16_t FileCommentLength = 0;
  uint16_t DiskNumberStart = 0;
  uint16_t InternalAttributes = 0;
  uint32_t ExternalAttributes = 0;
  uint32_t LocalHeaderOffset = 0;
  std::string FileName;
  std::string Extra;
  std::string FileComment;
};

// The end-of-central-directory record after its signature.
struct TEndRecord {
  uint16_t DiskNumber = 0;
  uint16_t CentralDirectoryDisk = 0;
  uint16_t EntriesOnDisk = 0;
  uint16_t TotalEntries = 0;
  uint32_t CentralDirectorySize = 0;
  uint32_t CentralDirectoryOffset = 0;
  uint16_t CommentLength = 0;
};

class TZipFile {
 public:
  TZipFile() = default;

  // Parses the whole stream from position 0 into this object, replacing what
  // it held. Raises nothing: a damaged, truncated or empty archive simply
  // yields fewer members. A part (member, central record, end record with its
  // comment) that runs past the end of the stream is dropped whole and ends
  // parsing. Leaves the stream position where parsing stopped.
  void LoadFromStream(TMemoryStream& stream);

  // Number of members (local entries).
  int Count() const;

  // Inflates member `index` into `out`. Raises Exception "Index out of
  // range." for a bad index, Exception for a member claiming more than
  // ZipMaxMemberSize, Exception "Error" for corrupt deflate data, and
  // EZipFileCRCError "CRC Error in "<name>"." on a checksum mismatch or when
  // the data ends before the stated size. On any error `out` is unchanged.
  void ExtractFile(int index, std::string& out) const;

  // Read-only views of what LoadFromStream found. CentralFiles() is always
  // exactly as long as LocalFiles(); central records beyond that are ignored.
  const std::vector<TLocalFile>& LocalFiles() const { return LocalFiles_; }
  const std::vector<TFileHeader>& CentralFiles() const { return CentralFiles_; }
  // ZipEndSignature when a whole end record was read, else 0.
  uint32_t EndSignature() const { return EndSignature_; }
  const TEndRecord& EndRecord() const { return EndRecord_; }
  const std::string& Comment() const { return Comment_; }

 private:
  void Clear();

  std::vector<TLocalFile> LocalFiles_;
  std::vector<TFileHeader> CentralFiles_;
  uint32_t EndSignature_ = 0;
  TEndRecord EndRecord_;
  std::string Comment_;
};

}  // namespace tavex

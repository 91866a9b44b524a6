#include "hostutil/uZipFile.h"

#include <gtest/gtest.h>
#include <zip.h>
#include <zlib.h>

#include <cctype>
#include <climits>
#include <fstream>
#include <iterator>
#include <optional>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

namespace tavex {
namespace {

using TContents = std::vector<std::pair<std::string, std::string>>;  // name, bytes

TMemoryStream StreamOf(std::string_view bytes) {
  TMemoryStream s;
  s.Write(bytes.data(), bytes.size());
  return s;
}

std::string ReadDataFile(const std::string& name) {
  std::ifstream in(std::string(TAVEX_TEST_DATA) + "/zip/" + name, std::ios::binary);
  EXPECT_TRUE(in.good()) << name;
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// Runs ExtractFile and returns the content, or the exception it raised.
struct TExtractResult {
  std::optional<std::string> Content;
  std::string Error;      // what()
  bool CRCError = false;  // the error was an EZipFileCRCError
};

TExtractResult Extract(const TZipFile& zip, int index) {
  TExtractResult r;
  std::string out;
  try {
    zip.ExtractFile(index, out);
    r.Content = out;
  } catch (const EZipFileCRCError& e) {
    r.Error = e.what();
    r.CRCError = true;
  } catch (const Exception& e) {
    r.Error = e.what();
  }
  return r;
}

// ---- An independent writer: libzip, in memory, deflate for every member.

std::string LibzipArchive(const TContents& members) {
  zip_error_t err;
  zip_error_init(&err);
  zip_source_t* buf = zip_source_buffer_create(nullptr, 0, 0, &err);
  if (!buf) ADD_FAILURE() << "zip_source_buffer_create";
  zip_t* za = zip_open_from_source(buf, ZIP_TRUNCATE, &err);
  if (!za) ADD_FAILURE() << "zip_open_from_source";
  zip_source_keep(buf);  // the archive bytes are read back after zip_close
  for (const auto& [name, bytes] : members) {
    zip_source_t* src = zip_source_buffer(za, bytes.data(), bytes.size(), 0);
    const zip_int64_t idx = zip_file_add(za, name.c_str(), src, ZIP_FL_ENC_UTF_8);
    EXPECT_GE(idx, 0);
    EXPECT_EQ(zip_set_file_compression(za, static_cast<zip_uint64_t>(idx), ZIP_CM_DEFLATE, 9), 0);
  }
  EXPECT_EQ(zip_close(za), 0);

  std::string out;
  EXPECT_EQ(zip_source_open(buf), 0);
  EXPECT_EQ(zip_source_seek(buf, 0, SEEK_END), 0);
  const zip_int64_t size = zip_source_tell(buf);
  EXPECT_EQ(zip_source_seek(buf, 0, SEEK_SET), 0);
  out.resize(static_cast<size_t>(size));
  EXPECT_EQ(zip_source_read(buf, out.data(), out.size()), size);
  zip_source_close(buf);
  zip_source_free(buf);
  zip_error_fini(&err);
  return out;
}

std::string Lines(int count) {
  std::ostringstream s;
  for (int i = 0; i < count; ++i) s << "var_" << i << " word " << (4096 + 2 * i) << " ; " << (i * 7919 % 1000) << "\n";
  return s.str();
}

// ---- Hand-made archives, for headers that no writer would produce.

std::string Le16(uint32_t v) { return {static_cast<char>(v & 0xFF), static_cast<char>((v >> 8) & 0xFF)}; }
std::string Le32(uint32_t v) { return Le16(v & 0xFFFF) + Le16(v >> 16); }

std::string RawDeflate(std::string_view in) {
  z_stream zs{};
  EXPECT_EQ(deflateInit2(&zs, 9, Z_DEFLATED, -MAX_WBITS, 8, Z_DEFAULT_STRATEGY), Z_OK);
  std::string out(deflateBound(&zs, static_cast<uLong>(in.size())), '\0');
  zs.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(in.data()));
  zs.avail_in = static_cast<uInt>(in.size());
  zs.next_out = reinterpret_cast<Bytef*>(out.data());
  zs.avail_out = static_cast<uInt>(out.size());
  EXPECT_EQ(deflate(&zs, Z_FINISH), Z_STREAM_END);
  out.resize(zs.total_out);
  deflateEnd(&zs);
  return out;
}

uint32_t Crc(std::string_view s) {
  return static_cast<uint32_t>(crc32(0L, reinterpret_cast<const Bytef*>(s.data()), static_cast<uInt>(s.size())));
}

struct TMember {
  std::string Name;
  std::string Data;  // bytes after the header, as written
  uint32_t CRC = 0;
  uint32_t CompressedSize = 0;
  uint32_t UncompressedSize = 0;
  uint16_t Method = 8;
};

// A well-formed deflated member holding `content`.
TMember Deflated(std::string name, std::string_view content) {
  TMember m{std::move(name), RawDeflate(content), Crc(content), 0, static_cast<uint32_t>(content.size())};
  m.CompressedSize = static_cast<uint32_t>(m.Data.size());
  return m;
}

std::string LocalRecord(const TMember& m) {
  return Le32(ZipLocalFileSignature) + Le16(20) + Le16(0) + Le16(m.Method) + Le16(0) + Le16(0) + Le32(m.CRC) +
         Le32(m.CompressedSize) + Le32(m.UncompressedSize) + Le16(static_cast<uint32_t>(m.Name.size())) + Le16(0) +
         m.Name + m.Data;
}

std::string CentralRecord(const TMember& m, uint32_t offset) {
  return Le32(ZipFileHeaderSignature) + Le16(20) + Le16(20) + Le16(0) + Le16(m.Method) + Le16(0) + Le16(0) +
         Le32(m.CRC) + Le32(m.CompressedSize) + Le32(m.UncompressedSize) +
         Le16(static_cast<uint32_t>(m.Name.size())) + Le16(0) + Le16(0) + Le16(0) + Le16(0) + Le32(0) +
         Le32(offset) + m.Name;
}

// Local records, then central records for `central` (all members by
// default), then the end record with `comment`.
std::string Archive(const std::vector<TMember>& members, std::string_view comment = "",
                    std::optional<std::vector<TMember>> central = std::nullopt) {
  std::string locals;
  std::vector<uint32_t> offsets;
  for (const auto& m : members) {
    offsets.push_back(static_cast<uint32_t>(locals.size()));
    locals += LocalRecord(m);
  }
  const std::vector<TMember>& cm = central ? *central : members;
  std::string dir;
  for (size_t i = 0; i < cm.size(); ++i) dir += CentralRecord(cm[i], i < offsets.size() ? offsets[i] : 0);
  const auto n = static_cast<uint32_t>(cm.size());
  return locals + dir + Le32(ZipEndSignature) + Le16(0) + Le16(0) + Le16(n) + Le16(n) +
         Le32(static_cast<uint32_t>(dir.size())) + Le32(static_cast<uint32_t>(locals.size())) +
         Le16(static_cast<uint32_t>(comment.size())) + std::string(comment);
}

TZipFile Load(std::string_view bytes) {
  TMemoryStream s = StreamOf(bytes);
  TZipFile zip;
  zip.LoadFromStream(s);
  return zip;
}

// ---------------------------------------------------------------------------

TEST(ZipCRC32, KnownVectors) {
  const std::vector<std::pair<std::string, uint32_t>> cases = {
      {"", 0u},
      {"123456789", 0xCBF43926u},
      {"The quick brown fox jumps over the lazy dog", 0x414FA339u},
      {std::string(1, '\0'), 0xD202EF8Du},
  };
  for (const auto& [in, crc] : cases) {
    EXPECT_EQ(ZipCRC32(in), crc) << in;
    EXPECT_EQ(ZipCRC32(in.data(), in.size()), crc) << in;
  }
  EXPECT_EQ(ZipCRC32(nullptr, 0), 0u);
}

// Archives written by libzip: every member is counted, named and extracts to
// exactly the bytes that went in.
struct TLibzipCase {
  const char* Label;
  TContents Members;
};

void PrintTo(const TLibzipCase& c, std::ostream* os) { *os << c.Label; }

class LibzipArchiveTest : public testing::TestWithParam<TLibzipCase> {};

TEST_P(LibzipArchiveTest, ExtractsEveryMember) {
  const TContents& members = GetParam().Members;
  const std::string bytes = LibzipArchive(members);
  TMemoryStream s = StreamOf(bytes);
  TZipFile zip;
  zip.LoadFromStream(s);

  ASSERT_EQ(zip.Count(), static_cast<int>(members.size()));
  ASSERT_EQ(zip.CentralFiles().size(), members.size());
  for (size_t i = 0; i < members.size(); ++i) {
    SCOPED_TRACE(members[i].first);
    const TLocalFile& f = zip.LocalFiles()[i];
    EXPECT_EQ(f.Signature, ZipLocalFileSignature);
    EXPECT_EQ(f.FileName, members[i].first);
    EXPECT_EQ(f.UncompressedSize, members[i].second.size());
    if (!members[i].second.empty()) {
      EXPECT_EQ(f.CompressionMethod, 8);  // the test really covers deflate
    }
    EXPECT_EQ(zip.CentralFiles()[i].Signature, ZipFileHeaderSignature);
    EXPECT_EQ(zip.CentralFiles()[i].FileName, members[i].first);

    const TExtractResult r = Extract(zip, static_cast<int>(i));
    ASSERT_TRUE(r.Content) << r.Error;
    EXPECT_EQ(*r.Content, members[i].second);
  }
  EXPECT_EQ(zip.EndSignature(), ZipEndSignature);
  EXPECT_EQ(zip.EndRecord().TotalEntries, members.size());
  EXPECT_EQ(s.Position(), bytes.size());  // parsed to the last byte
}

INSTANTIATE_TEST_SUITE_P(
    Members, LibzipArchiveTest,
    testing::Values(TLibzipCase{"One", {{"alc.txt", "speed word 4096\nramp int 4098\n"}}},
                    TLibzipCase{"Several",
                                {{"alc.txt", Lines(20)}, {"readme.txt", "first member wins\n"}, {"b/c.bin", "\x01\x02\x00\xFF"}}},
                    TLibzipCase{"Empty", {{"empty.txt", ""}, {"alc.txt", "x"}}},
                    // Bigger than the output growth step, in several deflate blocks.
                    TLibzipCase{"Large", {{"alc.txt", Lines(12000)}}}),
    [](const testing::TestParamInfo<TLibzipCase>& info) { return info.param.Label; });

// Archives made once with Info-ZIP zip and Python's zipfile (tests/data/zip).
// Expected per member: its content, or that it fails (and how).
struct TFileMember {
  std::string Name;
  std::optional<std::string> Content;  // nullopt: extraction must raise
  bool CRCError = false;               // ... and it must be EZipFileCRCError
};

struct TDataFileCase {
  const char* File;
  std::vector<TFileMember> Members;
  std::string Comment;
};

void PrintTo(const TDataFileCase& c, std::ostream* os) { *os << c.File; }

const std::string AlcText =
    "speed word 4096\nspeed_max word 4098\nspeed_min word 4100\nramp int 4102\nramp_time long 4104\n";
const std::string NotesText = "notes notes notes notes notes notes\n";

class DataFileTest : public testing::TestWithParam<TDataFileCase> {};

TEST_P(DataFileTest, ReadsAsExpected) {
  const TDataFileCase& c = GetParam();
  const std::string bytes = ReadDataFile(c.File);
  ASSERT_FALSE(bytes.empty());
  const TZipFile zip = Load(bytes);
  ASSERT_EQ(zip.Count(), static_cast<int>(c.Members.size()));
  for (size_t i = 0; i < c.Members.size(); ++i) {
    const TFileMember& m = c.Members[i];
    SCOPED_TRACE(m.Name);
    EXPECT_EQ(zip.LocalFiles()[i].FileName, m.Name);
    const TExtractResult r = Extract(zip, static_cast<int>(i));
    if (m.Content) {
      ASSERT_TRUE(r.Content) << r.Error;
      EXPECT_EQ(*r.Content, *m.Content);
    } else {
      EXPECT_FALSE(r.Content);
      if (m.CRCError) {
        EXPECT_EQ(r.Error, "CRC Error in \"" + m.Name + "\".");
      }
    }
  }
  EXPECT_EQ(zip.Comment(), c.Comment);
}

INSTANTIATE_TEST_SUITE_P(
    Writers, DataFileTest,
    testing::Values(
        // Info-ZIP from files: sizes in the local header, extra fields present.
        TDataFileCase{"infozip_two.zip", {{"alc.txt", AlcText}, {"notes.txt", NotesText}}, ""},
        // Python zipfile: deflated, empty deflated (2 data bytes), stored.
        TDataFileCase{"python_mixed.zip",
                      {{"alc.txt", AlcText}, {"empty.txt", std::string()}, {"stored.txt", std::nullopt}},
                      "allocation archive"},
        // Info-ZIP writing to a pipe: flag bit 3, local CRC and compressed size
        // 0, real sizes in a data descriptor. Parsing stops after the member's
        // name (the next word is deflate data); the member has no data, so
        // it is refused as a checksum failure rather than passed off as empty.
        TDataFileCase{"infozip_pipe.zip", {{"alc.txt", std::nullopt, true}}, ""},
        // Info-ZIP reading stdin: ZIP64 placeholders 0xFFFFFFFF in the local
        // header; the claimed data runs past the stream, so no member is kept.
        TDataFileCase{"infozip_stdin.zip", {}, ""}),
    [](const testing::TestParamInfo<TDataFileCase>& info) {
      std::string n = info.param.File;
      for (char& ch : n)
        if (!isalnum(static_cast<unsigned char>(ch))) ch = '_';
      return n;
    });

TEST(ZipFile, LocalFieldsAndExtraFromInfoZip) {
  const TZipFile zip = Load(ReadDataFile("infozip_two.zip"));
  ASSERT_EQ(zip.Count(), 2);
  const TLocalFile& f = zip.LocalFiles()[0];
  EXPECT_EQ(f.CRC32, ZipCRC32(AlcText));
  EXPECT_EQ(f.UncompressedSize, AlcText.size());
  EXPECT_EQ(f.CompressedSize, f.Data.size());
  EXPECT_EQ(f.FileNameLength, 7);
  EXPECT_EQ(f.ExtraFieldLength, f.Extra.size());
  EXPECT_EQ(f.Extra.substr(0, 2), "UT");  // extended timestamp, kept uninterpreted
  EXPECT_EQ(f.ModificationDate, 0x5822);  // 2024-01-02
  EXPECT_EQ(f.ModificationTime, 0x1880);  // 03:04:00
}

TEST(ZipFile, IndexOutOfRange) {
  const TZipFile zip = Load(Archive({Deflated("alc.txt", "abc")}));
  ASSERT_EQ(zip.Count(), 1);
  for (int index : {-1, 1, INT_MIN, INT_MAX}) {
    const TExtractResult r = Extract(zip, index);
    EXPECT_FALSE(r.Content) << index;
    EXPECT_FALSE(r.CRCError) << index;
    EXPECT_EQ(r.Error, "Index out of range.") << index;
  }
  const TZipFile empty;
  EXPECT_EQ(empty.Count(), 0);
  EXPECT_EQ(Extract(empty, 0).Error, "Index out of range.");
}

// The first local header is looked for only at multiples of 4.
TEST(ZipFile, JunkBeforeFirstHeader) {
  const std::string archive = Archive({Deflated("alc.txt", AlcText)});
  const std::vector<std::pair<size_t, int>> cases = {{0, 1}, {1, 0}, {2, 0}, {3, 0}, {4, 1}, {8, 1}};
  for (const auto& [junk, count] : cases) {
    SCOPED_TRACE(junk);
    const TZipFile zip = Load(std::string(junk, '\x55') + archive);
    ASSERT_EQ(zip.Count(), count);
    if (count > 0) {
      EXPECT_EQ(Extract(zip, 0).Content, AlcText);
    }
  }
  EXPECT_EQ(Load("").Count(), 0);
  EXPECT_EQ(Load("PK\x03").Count(), 0);
}

// Every prefix of a valid archive: no crash, no read beyond it, and every
// member that is counted is whole and extracts to its original bytes.
TEST(ZipFile, EveryTruncation) {
  const TContents members = {{"alc.txt", AlcText}, {"empty.txt", ""}, {"notes.txt", NotesText}};
  for (const std::string& full : {LibzipArchive(members), Archive({Deflated("alc.txt", AlcText),
                                                                    Deflated("empty.txt", ""),
                                                                    Deflated("notes.txt", NotesText)},
                                                                   "comment")}) {
    int lastCount = 0;
    for (size_t n = 0; n < full.size(); ++n) {
      SCOPED_TRACE(n);
      TMemoryStream s = StreamOf(std::string_view(full).substr(0, n));
      TZipFile zip;
      zip.LoadFromStream(s);
      EXPECT_EQ(s.Position(), n);  // ran into the end, nothing beyond
      ASSERT_LE(zip.Count(), 3);
      EXPECT_GE(zip.Count(), lastCount);
      lastCount = zip.Count();
      EXPECT_EQ(zip.CentralFiles().size(), static_cast<size_t>(zip.Count()));
      EXPECT_EQ(zip.EndSignature(), 0u);  // the end record and its comment come last
      for (int i = 0; i < zip.Count(); ++i) {
        const TExtractResult r = Extract(zip, i);
        ASSERT_TRUE(r.Content) << r.Error;
        EXPECT_EQ(*r.Content, members[static_cast<size_t>(i)].second);
      }
    }
    EXPECT_EQ(lastCount, 3);
    EXPECT_EQ(Load(full).EndSignature(), ZipEndSignature);
  }
}

// Any change to the compressed bytes either raises or (for bits the decoder
// never uses) still gives the original content; it never gives other bytes.
TEST(ZipFile, FlippedDataBytes) {
  const std::string content = Lines(30);
  const std::string archive = LibzipArchive({{"alc.txt", content}});
  const TZipFile good = Load(archive);
  ASSERT_EQ(good.Count(), 1);
  const size_t dataStart = 30 + good.LocalFiles()[0].FileName.size() + good.LocalFiles()[0].Extra.size();
  const size_t dataSize = good.LocalFiles()[0].Data.size();
  int crcErrors = 0, decodeErrors = 0;
  for (size_t i = dataStart; i < dataStart + dataSize; ++i) {
    for (uint8_t mask : {0x01, 0x80, 0xFF}) {
      std::string bad = archive;
      bad[i] = static_cast<char>(bad[i] ^ mask);
      const TZipFile zip = Load(bad);
      ASSERT_EQ(zip.Count(), 1);
      const TExtractResult r = Extract(zip, 0);
      if (r.Content) {
        EXPECT_EQ(*r.Content, content) << i;
      } else if (r.CRCError) {
        EXPECT_EQ(r.Error, "CRC Error in \"alc.txt\".");
        ++crcErrors;
      } else {
        EXPECT_EQ(r.Error, "Error");
        ++decodeErrors;
      }
    }
  }
  EXPECT_GT(crcErrors, 0);
  EXPECT_GT(decodeErrors, 0);
}

// Hand-made single members with their expected outcome.
struct TMemberCase {
  const char* Label;
  TMember Member;
  std::optional<std::string> Content;  // nullopt: raises
  std::string Error;                   // expected what(), when raising
  bool CRCError = false;
};

void PrintTo(const TMemberCase& c, std::ostream* os) { *os << c.Label; }

TMember With(TMember m, uint32_t crc, uint32_t uncompressed) {
  m.CRC = crc;
  m.UncompressedSize = uncompressed;
  return m;
}

TMember WithData(TMember m, std::string data) {
  m.Data = std::move(data);
  m.CompressedSize = static_cast<uint32_t>(m.Data.size());
  return m;
}

std::vector<TMemberCase> MemberCases() {
  const std::string text = "Hello, world. Hello, world. Hello, world.\n";
  const TMember hello = Deflated("m.txt", text);
  const std::string zeros(1u << 22, '\0');
  // A deflate "bomb": 4 MiB of zeros in a few kilobytes.
  const TMember bomb = Deflated("bomb.bin", zeros);
  const std::string crcMsg = "CRC Error in \"m.txt\".";
  return {
      {"Plain", hello, text, "", false},
      // A trailer (as a zlib stream would have) or junk after the deflate data
      // is never looked at.
      {"TrailingJunk", WithData(hello, hello.Data + "\x12\x34\x56\x78junk"), text, "", false},
      {"WrongCRC", With(hello, hello.CRC ^ 1u, hello.UncompressedSize), std::nullopt, crcMsg, true},
      // Invalid block type 3 in the first block header.
      {"CorruptDeflate", WithData(hello, "\xFF" + hello.Data.substr(1)), std::nullopt, "Error", false},
      // Fewer bytes come out than claimed: content is empty, then the CRC test.
      {"ShortData", With(hello, hello.CRC, hello.UncompressedSize + 1), std::nullopt, crcMsg, true},
      {"ShortDataTruncated", WithData(hello, hello.Data.substr(0, 5)), std::nullopt, crcMsg, true},
      // The same with a stored CRC of 0: empty content is still not the
      // claimed bytes, so it is not reported as success.
      {"ShortDataCRC0", With(hello, 0, hello.UncompressedSize + 1), std::nullopt, crcMsg, true},
      {"NoDataCRC0", With(WithData(hello, ""), 0, 100), std::nullopt, crcMsg, true},
      // Decoding stops at the claimed size; the rest of the stream is ignored.
      {"BombStopsAtClaim", With(bomb, Crc(zeros.substr(0, 1000)), 1000), std::string(1000, '\0'), "", false},
      {"BombClaimsLittle", With(bomb, bomb.CRC, 1000), std::nullopt, "CRC Error in \"bomb.bin\".", true},
      // Claims above 64 MiB are refused before anything is decoded.
      {"Claims4GiB", With(hello, hello.CRC, 0xFFFFFFFFu), std::nullopt, "File \"m.txt\" is too large.", false},
      {"Claims65MiB", With(hello, hello.CRC, 65u << 20), std::nullopt, "File \"m.txt\" is too large.", false},
      {"ClaimsJustOver64MiB", With(hello, hello.CRC, (64u << 20) + 1), std::nullopt, "File \"m.txt\" is too large.",
       false},
      // Exactly 64 MiB is allowed; the data ends long before.
      {"Claims64MiB", With(hello, hello.CRC, 64u << 20), std::nullopt, crcMsg, true},
      // The method field is not consulted: stored bytes go to the decoder.
      {"StoredMethod", [&] {
         TMember m = WithData(With(hello, Crc(text), static_cast<uint32_t>(text.size())), text);
         m.Method = 0;
         return m;
       }(), std::nullopt, "", false},
      // Empty members: nothing is decoded, so even junk data extracts to empty.
      {"EmptyCRC0", Deflated("m.txt", ""), std::string(), "", false},
      {"EmptyNoData", WithData(With(hello, 0, 0), ""), std::string(), "", false},
      {"EmptyJunkData", WithData(With(hello, 0, 0), "\xFF\xFF"), std::string(), "", false},
      {"EmptyWrongCRC", WithData(With(hello, 0x12345678u, 0), ""), std::nullopt, crcMsg, true},
  };
}

class MemberTest : public testing::TestWithParam<TMemberCase> {};

TEST_P(MemberTest, Extracts) {
  const TMemberCase& c = GetParam();
  const TZipFile zip = Load(Archive({c.Member}));
  ASSERT_EQ(zip.Count(), 1);
  std::string out = "unchanged";
  const TExtractResult r = Extract(zip, 0);
  if (c.Content) {
    ASSERT_TRUE(r.Content) << r.Error;
    EXPECT_EQ(*r.Content, *c.Content);
    return;
  }
  ASSERT_FALSE(r.Content) << "extracted " << r.Content->size() << " bytes";
  EXPECT_EQ(r.CRCError, c.CRCError) << r.Error;
  if (!c.Error.empty()) {
    EXPECT_EQ(r.Error, c.Error);
  }
  // A failed extraction leaves the caller's text alone.
  EXPECT_THROW(zip.ExtractFile(0, out), Exception);
  EXPECT_EQ(out, "unchanged");
}

INSTANTIATE_TEST_SUITE_P(Cases, MemberTest, testing::ValuesIn(MemberCases()),
                         [](const testing::TestParamInfo<TMemberCase>& info) { return info.param.Label; });

// A local header claiming more data than the stream holds is dropped, and
// nothing of that size is allocated.
TEST(ZipFile, HugeCompressedSizeClaimDropsMember) {
  TMember big = Deflated("big.bin", "abc");
  big.CompressedSize = 0xFFFFFFF0u;
  const TZipFile zip = Load(LocalRecord(Deflated("first.txt", "first")) + LocalRecord(big) + "tail");
  ASSERT_EQ(zip.Count(), 1);
  EXPECT_EQ(Extract(zip, 0).Content, "first");
}

TEST(ZipFile, CentralRecordsBeyondMembersAreIgnored) {
  const TMember a = Deflated("a.txt", "aaa");
  const TMember b = Deflated("b.txt", "bbb");
  const TMember c = Deflated("c.txt", "ccc");

  const TZipFile more = Load(Archive({a}, "the comment", std::vector<TMember>{a, b, c}));
  ASSERT_EQ(more.Count(), 1);
  ASSERT_EQ(more.CentralFiles().size(), 1u);
  EXPECT_EQ(more.CentralFiles()[0].FileName, "a.txt");
  // Parsing went on past the ignored records to the end record.
  EXPECT_EQ(more.EndSignature(), ZipEndSignature);
  EXPECT_EQ(more.EndRecord().TotalEntries, 3);
  EXPECT_EQ(more.Comment(), "the comment");

  const TZipFile fewer = Load(Archive({a, b}, "", std::vector<TMember>{a}));
  ASSERT_EQ(fewer.Count(), 2);
  ASSERT_EQ(fewer.CentralFiles().size(), 2u);
  EXPECT_EQ(fewer.CentralFiles()[0].Signature, ZipFileHeaderSignature);
  EXPECT_EQ(fewer.CentralFiles()[1].Signature, 0u);
  EXPECT_EQ(Extract(fewer, 1).Content, "bbb");
}

TEST(ZipFile, UnknownWordEndsParsing) {
  const std::string member = LocalRecord(Deflated("a.txt", "aaa"));
  TMemoryStream s = StreamOf(member + "JUNK" + LocalRecord(Deflated("b.txt", "bbb")));
  TZipFile zip;
  zip.LoadFromStream(s);
  EXPECT_EQ(zip.Count(), 1);
  EXPECT_EQ(zip.EndSignature(), 0u);
  EXPECT_EQ(s.Position(), member.size() + 4);  // just after the word that stopped it
}

TEST(ZipFile, LoadStartsAtZeroAndReplacesContent) {
  TMemoryStream first = StreamOf(Archive({Deflated("a.txt", "aaa"), Deflated("b.txt", "bbb")}, "one"));
  first.SetPosition(first.Size());
  TZipFile zip;
  zip.LoadFromStream(first);
  ASSERT_EQ(zip.Count(), 2);
  EXPECT_EQ(zip.Comment(), "one");

  TMemoryStream second = StreamOf(LocalRecord(Deflated("c.txt", "ccc")));
  zip.LoadFromStream(second);
  ASSERT_EQ(zip.Count(), 1);
  EXPECT_EQ(zip.CentralFiles().size(), 1u);
  EXPECT_EQ(zip.LocalFiles()[0].FileName, "c.txt");
  EXPECT_EQ(zip.EndSignature(), 0u);
  EXPECT_EQ(zip.Comment(), "");
}

}  // namespace
}  // namespace tavex

// Controllers whose memory lies: a header, a directory, an archive or an
// allocation text built to exhaust the tool's time or memory. Shared by the
// tests (outcome, and proof from the simulator's log that the lie was
// served) and by bench_hostile (time and peak memory of each case).
#pragma once

#define ZLIB_CONST
#include <zlib.h>

#include <cstdint>
#include <functional>
#include <ostream>
#include <set>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "sim/uSimScenario.h"

namespace tavex::test {

using nlohmann::json;

enum class THostileOutcome {
  NotFound,    // "ALC data not found!", the value "?"
  ParseError,  // the allocation error "Error parsing ALC data on line N"
  Loaded,      // a bounded, real load: the value is read
  Empty,       // a bounded load of a text without variables: "?", no error
};

struct THostileCase {
  std::string Name;
  std::string What;  // one line for the tables
  // Keys over a controller that holds "speed" = 1500; made on demand, as
  // some take a while to build.
  std::function<json()> Controller;
  THostileOutcome Outcome;
  // Checks the simulator's log (every entry of the run) for the proof that
  // the lie was served and what the tool asked for; empty text: proven.
  std::function<std::string(const std::vector<json>& Log)> Proof;
};

inline void PrintTo(const THostileCase& c, std::ostream* os) { *os << c.Name; }

// --- Archives built by hand, so that every field may lie -------------------

inline void Put16(std::vector<uint8_t>& b, uint32_t v) {
  b.push_back(static_cast<uint8_t>(v));
  b.push_back(static_cast<uint8_t>(v >> 8));
}
inline void Put32(std::vector<uint8_t>& b, uint32_t v) {
  Put16(b, v & 0xFFFF);
  Put16(b, v >> 16);
}

// One member, its central record and the end record. The sizes and the
// CRC are what the headers claim, whatever Data really holds.
inline std::vector<uint8_t> ZipOf(const std::string& Name, const std::vector<uint8_t>& Data, uint32_t Crc,
                                  uint32_t CompressedSize, uint32_t UncompressedSize) {
  std::vector<uint8_t> z;
  Put32(z, 0x04034B50);
  Put16(z, 20);
  Put16(z, 0);
  Put16(z, 8);  // deflate
  Put16(z, 0);
  Put16(z, 0x21);
  Put32(z, Crc);
  Put32(z, CompressedSize);
  Put32(z, UncompressedSize);
  Put16(z, static_cast<uint32_t>(Name.size()));
  Put16(z, 0);
  z.insert(z.end(), Name.begin(), Name.end());
  z.insert(z.end(), Data.begin(), Data.end());
  const uint32_t central = static_cast<uint32_t>(z.size());
  Put32(z, 0x02014B50);
  Put16(z, 20);
  Put16(z, 20);
  Put16(z, 0);
  Put16(z, 8);
  Put16(z, 0);
  Put16(z, 0x21);
  Put32(z, Crc);
  Put32(z, CompressedSize);
  Put32(z, UncompressedSize);
  Put16(z, static_cast<uint32_t>(Name.size()));
  Put16(z, 0);
  Put16(z, 0);
  Put16(z, 0);
  Put16(z, 0);
  Put32(z, 0);
  Put32(z, 0);
  z.insert(z.end(), Name.begin(), Name.end());
  const uint32_t centralSize = static_cast<uint32_t>(z.size()) - central;
  Put32(z, 0x06054B50);
  Put16(z, 0);
  Put16(z, 0);
  Put16(z, 1);
  Put16(z, 1);
  Put32(z, centralSize);
  Put32(z, central);
  Put16(z, 0);
  return z;
}

// Raw deflate of Count zero bytes, made a megabyte at a time.
inline std::vector<uint8_t> DeflatedZeros(uint64_t Count) {
  z_stream zs{};
  deflateInit2(&zs, Z_BEST_COMPRESSION, Z_DEFLATED, -MAX_WBITS, 9, Z_DEFAULT_STRATEGY);
  static const std::vector<uint8_t> zeros(1u << 20, 0);
  std::vector<uint8_t> out;
  uint8_t buf[1 << 16];
  for (uint64_t left = Count;;) {
    const size_t n = static_cast<size_t>(std::min<uint64_t>(left, zeros.size()));
    left -= n;
    zs.next_in = zeros.data();
    zs.avail_in = static_cast<uInt>(n);
    const int flush = left == 0 ? Z_FINISH : Z_NO_FLUSH;
    int rc;
    do {
      zs.next_out = buf;
      zs.avail_out = sizeof buf;
      rc = deflate(&zs, flush);
      out.insert(out.end(), buf, buf + (sizeof buf - zs.avail_out));
    } while (zs.avail_out == 0 || (flush == Z_FINISH && rc != Z_STREAM_END));
    if (left == 0) break;
  }
  deflateEnd(&zs);
  return out;
}

// CRC-32 of Count zero bytes.
inline uint32_t CrcOfZeros(uint64_t Count) {
  static const std::vector<uint8_t> zeros(1u << 20, 0);
  uLong crc = crc32(0L, Z_NULL, 0);
  for (uint64_t left = Count; left > 0;) {
    const size_t n = static_cast<size_t>(std::min<uint64_t>(left, zeros.size()));
    crc = crc32(crc, zeros.data(), static_cast<uInt>(n));
    left -= n;
  }
  return static_cast<uint32_t>(crc);
}

// --- Log helpers -------------------------------------------------------------

// Pages asked for with command 33, in order.
inline std::vector<int> PagesAsked(const std::vector<json>& Log) {
  std::vector<int> out;
  for (const json& e : Log)
    if (e.value("command", -1) == 33) out.push_back(e.value("page", -1));
  return out;
}

// Every page asked lies in [First, Last].
inline std::string OnlyPages(const std::vector<json>& Log, int First, int Last) {
  for (int p : PagesAsked(Log))
    if (p < First || p > Last)
      return "page " + std::to_string(p) + " was asked, outside " + std::to_string(First) + ".." +
             std::to_string(Last);
  return "";
}

// Some page in [First, Last] was asked.
inline std::string SomePage(const std::vector<json>& Log, int First, int Last) {
  for (int p : PagesAsked(Log))
    if (p >= First && p <= Last) return "";
  return "no page in " + std::to_string(First) + ".." + std::to_string(Last) + " was asked";
}

inline std::string Both(const std::string& A, const std::string& B) { return A.empty() ? B : A; }

// The usual layout of the simulator: header at page 512, directory at
// 0x20500 (page 517), the archive right after the directory.
inline constexpr int kHeaderPage = 0x20000 / 256;
inline constexpr int kDirectoryPage = 0x20500 / 256;
inline constexpr uint32_t kBombBytes = 256u << 20;

// --- The cases ---------------------------------------------------------------

inline std::string AlcText(const std::string& Body) { return ";CPU Tavex-2 X\r\n" + Body; }

inline std::vector<THostileCase> HostileCases() {
  std::vector<THostileCase> c;
  using O = THostileOutcome;

  // The header: a directory of 65535 entries (3,014,610 bytes).
  const int dirLastPage = static_cast<int>((0x20500 + 65535 * 46 - 1) / 256);
  c.push_back({"directory_65535_entries", "header claims 65535 directory entries; the real \"alc.zip\" is the first",
               [] { return json{{"header", {{"entry_count", 65535}}}}; }, O::Loaded,
               [=](const std::vector<json>& L) { return SomePage(L, dirLastPage, dirLastPage); }});
  c.push_back({"directory_65535_entries_no_alc", "header claims 65535 directory entries, none is \"alc.zip\"",
               [] { return json{{"header", {{"entry_count", 65535}}}, {"alc_entry", {{"present", false}}}}; }, O::NotFound,
               [=](const std::vector<json>& L) { return SomePage(L, dirLastPage, dirLastPage); }});
  c.push_back({"directory_at_memory_top", "65535 entries at 0xFFFF00: beyond the reachable 16 MiB",
               [] { return json{{"header", {{"entry_count", 65535}, {"directory_address", 0xFFFF00}}}}; }, O::NotFound,
               [](const std::vector<json>& L) {
                 return Both(SomePage(L, kHeaderPage, kHeaderPage), OnlyPages(L, kHeaderPage, kHeaderPage + 4));
               }});

  // The directory entry of "alc.zip".
  auto onlyHeaderAndDirectory = [](const std::vector<json>& L) {
    return Both(SomePage(L, kDirectoryPage, kDirectoryPage), OnlyPages(L, kHeaderPage, kDirectoryPage));
  };
  c.push_back({"alc_claims_2GiB", "\"alc.zip\" entry claims 2 GiB (0x80000000)",
               [] { return json{{"alc_entry", {{"size", 0x80000000u}}}}; }, O::NotFound, onlyHeaderAndDirectory});
  c.push_back({"alc_claims_2GiB_less_1", "\"alc.zip\" entry claims 0x7FFFFFFF bytes",
               [] { return json{{"alc_entry", {{"size", 0x7FFFFFFFu}}}}; }, O::NotFound, onlyHeaderAndDirectory});
  c.push_back({"alc_claims_15MiB", "\"alc.zip\" entry claims 15 MiB of reachable memory",
               [] { return json{{"alc_entry", {{"size", 15u << 20}}}}; }, O::Loaded,
               [](const std::vector<json>& L) {
                 const int last = static_cast<int>((0x20530 + (15u << 20) - 1) / 256);
                 return SomePage(L, last - 1, last);
               }});
  c.push_back({"alc_at_memory_top", "\"alc.zip\" lies at 0xFFFF80, running past the top of memory",
               [] { return json{{"alc_entry", {{"address", 0xFFFF80}}}}; }, O::NotFound, onlyHeaderAndDirectory});
  c.push_back({"alc_beyond_address_space", "\"alc.zip\" entry points at 0xFFFFFF00",
               [] { return json{{"alc_entry", {{"address", 0xFFFFFF00u}}}}; }, O::NotFound, onlyHeaderAndDirectory});

  // The archive: sizes that lie, and a deflate bomb.
  auto archiveRead = [](const std::vector<json>& L) { return SomePage(L, kDirectoryPage, kDirectoryPage + 4096); };
  auto zip = [](std::vector<uint8_t> (*Make)()) { return [Make] { return json{{"alc_zip_base64", sim::Base64Encode(Make())}}; }; };
  c.push_back({"member_claims_4GiB", "the archive's member claims 4 GiB uncompressed",
               zip([] {
                 const auto d = DeflatedZeros(1000);
                 return ZipOf("alc.txt", d, CrcOfZeros(1000), static_cast<uint32_t>(d.size()), 0xFFFFFFFFu);
               }),
               O::NotFound, archiveRead});
  c.push_back({"member_data_claims_4GiB", "the member's compressed size claims 4 GiB",
               zip([] { return ZipOf("alc.txt", DeflatedZeros(1000), CrcOfZeros(1000), 0xFFFFFFFFu, 1000); }),
               O::NotFound, archiveRead});
  // 256 MiB of zeros, some 250 KB deflated.
  c.push_back({"deflate_bomb", "a deflate bomb: 250 KB inflating to 256 MiB, claimed as such",
               zip([] {
                 const auto d = DeflatedZeros(kBombBytes);
                 return ZipOf("alc.txt", d, CrcOfZeros(kBombBytes), static_cast<uint32_t>(d.size()), kBombBytes);
               }),
               O::NotFound, archiveRead});
  c.push_back({"deflate_bomb_under_cap", "the same bomb claiming 64 MiB, with a CRC that does not match",
               zip([] {
                 const auto d = DeflatedZeros(kBombBytes);
                 return ZipOf("alc.txt", d, 0x12345678, static_cast<uint32_t>(d.size()), 64u << 20);
               }),
               O::NotFound, archiveRead});
  c.push_back({"deflate_bomb_at_cap", "the same bomb claiming 64 MiB, with the CRC of 64 MiB of zeros",
               zip([] {
                 const auto d = DeflatedZeros(kBombBytes);
                 return ZipOf("alc.txt", d, CrcOfZeros(64u << 20), static_cast<uint32_t>(d.size()), 64u << 20);
               }),
               O::Empty, archiveRead});

  // The allocation text.
  auto text = [](std::string (*Make)()) { return [Make] { return json{{"alc_text", AlcText(Make())}}; }; };
  c.push_back({"count_2000000000", "allocation line with a count of 2,000,000,000",
               text([] { return std::string("0100 0 2000000000 0 2 global word speed\r\n"); }), O::ParseError,
               archiveRead});
  c.push_back({"megabyte_line", "a line of a megabyte of words",
               text([] {
                 std::string words;
                 while (words.size() < (1u << 20)) words += "x ";
                 return "0100 0 1 0 2 global word speed\r\n" + words + "\r\n";
               }),
               O::ParseError, archiveRead});
  c.push_back({"megabyte_word", "a line of one word of a megabyte (a skipped line)",
               text([] { return std::string(1u << 20, 'x') + "\r\n0100 0 1 0 2 global word speed\r\n"; }),
               O::Loaded, archiveRead});
  c.push_back({"megabyte_comments", "15 lines, each with a comment of a megabyte",
               text([] {
                 std::string t;
                 for (int i = 0; i < 15; ++i) t += "0100 0 1 0 2 global word speed " + std::string(1u << 20, 'c') + "\r\n";
                 return t;
               }),
               O::Loaded, archiveRead});
  c.push_back({"elements_beyond_bound", "lines of 65536 elements each, until the list's bound",
               text([] {
                 std::string t;
                 for (int i = 0; i < 8; ++i) t += "1000 0 65536 0 0 global word big" + std::to_string(i) + "\r\n";
                 return t + "0100 0 1 0 2 global word speed\r\n";
               }),
               O::ParseError, archiveRead});
  c.push_back({"200000_lines", "200,000 one-element lines",
               text([] {
                 std::string t;
                 for (int i = 0; i < 200000; ++i) t += "0100 0 1 0 2 global word v" + std::to_string(i) + "\r\n";
                 return t + "0100 0 1 0 2 global word speed\r\n";
               }),
               O::Loaded, archiveRead});
  return c;
}

}  // namespace tavex::test

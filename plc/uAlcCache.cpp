#include "plc/uAlcCache.h"

#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <system_error>

#include "comm/hCodeMemory.h"
#include "hostutil/uZipFile.h"

namespace tavex {

namespace fs = std::filesystem;

namespace {

// The system's text of errno (thread-safe), else Otherwise.
std::string ErrnoText(const char* Otherwise) {
  const int e = errno;
  return e != 0 ? std::error_code(e, std::generic_category()).message() : std::string(Otherwise);
}

}  // namespace

std::string TAlcCache::PathOf(uint32_t Nad, uint32_t Stamp, int32_t Address, int32_t Size) const {
  char name[96];
  std::snprintf(name, sizeof name, "alc-%u-%08x-%08x-%d.zip", Nad, Stamp,
                static_cast<uint32_t>(Address), Size);
  return (fs::path(Folder_) / name).string();
}

bool TAlcCache::Load(uint32_t Nad, uint32_t Stamp, int32_t Address, int32_t Size,
                     std::vector<uint8_t>& Bytes) const {
  Bytes.clear();
  if (Folder_.empty() || Size <= 0 || Size > kMemoryLimit) return false;
  const std::string path = PathOf(Nad, Stamp, Address, Size);
  std::error_code ec;
  if (!fs::is_regular_file(path, ec) || ec) return false;
  const auto length = fs::file_size(path, ec);
  if (ec || length != static_cast<uintmax_t>(Size)) return false;
  std::ifstream in(path, std::ios::binary);
  if (!in) return false;
  Bytes.resize(static_cast<size_t>(Size));
  in.read(reinterpret_cast<char*>(Bytes.data()), Size);
  if (in.gcount() != Size) {
    Bytes.clear();
    return false;
  }
  return true;
}

bool TAlcCache::Store(uint32_t Nad, uint32_t Stamp, int32_t Address, int32_t Size,
                      const std::vector<uint8_t>& Bytes) const {
  if (Folder_.empty() || Size <= 0 || Bytes.size() != static_cast<size_t>(Size)) return false;
  std::error_code ec;
  fs::create_directories(Folder_, ec);
  if (ec) {
    Failed(Folder_, ec.message());
    return false;
  }
  const std::string path = PathOf(Nad, Stamp, Address, Size);
  // A name no other writer uses (process and counter), renamed at the end.
  static std::atomic<uint64_t> counter{0};
  const std::string temp = path + ".tmp-" + std::to_string(getpid()) + "-" +
                           std::to_string(counter.fetch_add(1, std::memory_order_relaxed));
  {
    errno = 0;
    std::ofstream out(temp, std::ios::binary | std::ios::trunc);
    if (!out) {
      Failed(path, ErrnoText("cannot create the file"));
      return false;
    }
    out.write(reinterpret_cast<const char*>(Bytes.data()), static_cast<std::streamsize>(Bytes.size()));
    out.close();
    if (!out) {
      const std::string cause = ErrnoText("cannot write the file");
      fs::remove(temp, ec);
      Failed(path, cause);
      return false;
    }
  }
  fs::rename(temp, path, ec);
  if (ec) {
    const std::string cause = ec.message();
    fs::remove(temp, ec);
    Failed(path, cause);
    return false;
  }
  return true;
}

void TAlcCache::Failed(const std::string& Path, const std::string& Cause) const {
  {
    std::lock_guard<std::mutex> g(Lock_);
    if (FirstFailure_.empty()) FirstFailure_ = Cause.empty() ? "unknown error" : Cause;
  }
  if (OnStoreFailure) {
    try {
      OnStoreFailure(Path, Cause);
    } catch (...) {
    }
  }
}

std::string TAlcCache::StoreFailure() const {
  std::lock_guard<std::mutex> g(Lock_);
  return FirstFailure_;
}

int32_t AlcProofLength(int32_t Address, const std::vector<uint8_t>& Bytes) {
  // Signature, version, flags, method, time, date, CRC-32 and both sizes.
  constexpr size_t kLocalFixedToSizes = 26;
  if (Address < 0 || Bytes.size() < kLocalFixedToSizes ||
      int64_t{Address} + static_cast<int64_t>(Bytes.size()) > kMemoryLimit)
    return 0;
  const uint32_t signature = static_cast<uint32_t>(Bytes[0]) | (static_cast<uint32_t>(Bytes[1]) << 8) |
                             (static_cast<uint32_t>(Bytes[2]) << 16) | (static_cast<uint32_t>(Bytes[3]) << 24);
  if (signature != ZipLocalFileSignature) return 0;
  const size_t inPage = static_cast<size_t>(kPageSize - Address % kPageSize);
  const size_t length = std::min(Bytes.size(), inPage);
  return length < kLocalFixedToSizes ? 0 : static_cast<int32_t>(length);
}

}  // namespace tavex

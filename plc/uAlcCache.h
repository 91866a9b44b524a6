// TAlcCache: the allocation archives ("alc.zip") that tavexctl fetched
// before, kept as files so that a later run need not fetch their pages
// again. A file is keyed by the controller's NAD, its program stamp and the
// archive's directory entry (address and size): a new program, or an
// archive moved or resized, misses the cache and is fetched again.
//
// A cache file is a hint, never a source of truth: the key alone does not
// tell one program from another (a new program may keep the stamp, the
// archive's place and its size), and a stale allocation text sends values
// to another variable's address. So whoever takes bytes from it checks them
// as if they came from the controller (the zip reader's checks, the size of
// the directory entry), then proves them against the controller's own
// archive with one page request (AlcProofLength), and fetches the archive
// again when either fails. Nothing here throws; an unusable folder or file
// simply misses.
//
// Threads: Load and Store may run on several threads at once. A file is
// written under a name of its own and then renamed over the final name, so
// a reader sees the old file, the new one, or none, never a torn one.
// A Store that fails is told (OnStoreFailure, StoreFailure) so that the
// user learns why nothing is kept; the run goes on without the file.
#pragma once

#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

namespace tavex {

class TAlcCache {
 public:
  // Folder of the files; created on the first Store. Empty: nothing is
  // ever cached.
  explicit TAlcCache(std::string Folder) : Folder_(std::move(Folder)) {}

  // The user's cache folder: $XDG_CACHE_HOME/tavex, else $HOME/.cache/tavex
  // (a relative XDG_CACHE_HOME is ignored, as the base directory rules
  // say). Empty when neither is set. On Windows: %LOCALAPPDATA%\tavex, empty
  // when that is not set or not an absolute path.
  static std::string DefaultFolder();

  const std::string& Folder() const { return Folder_; }

  // The path of the file for this key.
  std::string PathOf(uint32_t Nad, uint32_t Stamp, int32_t Address, int32_t Size) const;

  // The cached bytes for the key: true only when the file exists, is a
  // regular file and holds exactly Size bytes (Size from 1 to 16 MiB).
  bool Load(uint32_t Nad, uint32_t Stamp, int32_t Address, int32_t Size,
            std::vector<uint8_t>& Bytes) const;
  // Keeps Bytes for the key, replacing any file there. False when the
  // folder or the file cannot be written (the run goes on without); that
  // is told as below. Nothing is told without a folder.
  bool Store(uint32_t Nad, uint32_t Stamp, int32_t Address, int32_t Size,
             const std::vector<uint8_t>& Bytes) const;

  // Called after each Store that failed, on the storing thread: the path
  // that could not be written (the folder, or the file) and why ("Not a
  // directory"). Set before the cache is shared; must not throw.
  std::function<void(const std::string& Path, const std::string& Cause)> OnStoreFailure;
  // Why the first Store that failed did; empty while none failed.
  std::string StoreFailure() const;

 private:
  void Failed(const std::string& Path, const std::string& Cause) const;

  std::string Folder_;
  mutable std::mutex Lock_;
  mutable std::string FirstFailure_;  // guarded by Lock_
};

// How many of a cached archive's first bytes (Bytes, the copy of the
// archive at Address in the controller's code memory) are compared with the
// controller's to prove the copy: the archive's bytes in the memory page
// where it starts, min(size, kPageSize - Address % kPageSize), which one
// page request reads. They must hold the fixed part of the first member's
// local header from its signature to its sizes (26 bytes), and the copy
// must begin with that header; then equal bytes mean the zip reader finds
// in both the same first member with the same CRC-32 of its uncompressed
// text, the same sizes, time and date (and, as far as the page goes, the
// same name and compressed data). So another allocation text passes only
// with the same archive size, the same length and the same CRC-32: a CRC
// collision, the known limit of this proof.
// 0: the copy cannot be proven with one request (it does not begin with a
// local header, or the archive starts less than 26 bytes before a page's
// end and its header straddles two pages); it is then fetched again.
int32_t AlcProofLength(int32_t Address, const std::vector<uint8_t>& Bytes);

}  // namespace tavex

// A byte stream held in memory, with a read/write position.
// Used for controller memory fetched page by page and for the allocation
// archive handed to the zip reader.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

namespace tavex {

class TMemoryStream {
 public:
  TMemoryStream() = default;

  // Bytes held.
  size_t Size() const { return Data_.size(); }
  // Current position, 0..Size().
  size_t Position() const { return Position_; }
  // Moves the position; a position past the end is clamped to Size().
  void SetPosition(size_t pos) { Position_ = pos > Data_.size() ? Data_.size() : pos; }

  // Copies up to count bytes from the position into dest and advances.
  // Returns the number of bytes copied (less than count at the end).
  size_t Read(void* dest, size_t count) {
    const size_t avail = Data_.size() - Position_;
    const size_t n = count < avail ? count : avail;
    if (n > 0) std::memcpy(dest, Data_.data() + Position_, n);
    Position_ += n;
    return n;
  }

  // Skips up to count bytes; returns how many were skipped.
  size_t Skip(size_t count) {
    const size_t avail = Data_.size() - Position_;
    const size_t n = count < avail ? count : avail;
    Position_ += n;
    return n;
  }

  // Writes count bytes at the position (overwriting, then growing) and advances.
  void Write(const void* src, size_t count) {
    if (count == 0) return;
    const size_t end = Position_ + count;
    if (end > Data_.size()) Data_.resize(end);
    std::memcpy(Data_.data() + Position_, src, count);
    Position_ = end;
  }

  // Empties the stream.
  void Clear() {
    Data_.clear();
    Position_ = 0;
  }

  const uint8_t* Data() const { return Data_.data(); }
  const std::vector<uint8_t>& Bytes() const { return Data_; }

 private:
  std::vector<uint8_t> Data_;
  size_t Position_ = 0;
};

}  // namespace tavex

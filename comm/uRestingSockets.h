// The sockets of ended requests, kept open and deaf for a while so that
// their ports are not handed out again while an answer to them can still
// arrive (shared by the platform socket layers).
//
// Why: every request leaves from a port of its own, and a late answer (or a
// copy of one) to an ended request arrives on that port. Closed at once, the
// port goes back to the system, which may give it to the next request of the
// same communicator, to the same controller: the late answer would then be
// taken for the new request's answer, with another request's data in it.
// Kept open, the port cannot be handed out; what arrives on it is never read
// and is counted when the socket is finally closed.
//
// The hold is the request's own Retries x Timeout, counted from its end. Each
// socket layer keeps at most kMaxPerSocket resting sockets, and the process
// at most a share of its descriptor limit (ProcessBudget): beyond that the
// oldest resting socket of the layer closes early. Measured cost: one
// descriptor and about 1 KiB of kernel memory per resting socket; a request
// costs no more system calls than before (the close moves from the request's
// end to the hold's end). docs/performance.md has the figures at 1000
// controllers.
//
// Each resting socket carries a tag of its layer's choosing (the socket's
// generation), handed back when it closes, so that what reached it can be
// told apart by request.
//
// Threads: the owner's thread only (the listener never sees a resting socket).
#pragma once

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <deque>

namespace tavex {

template <class THandle>
class TRestingSockets {
 public:
  using TClock = std::chrono::steady_clock;
  // Resting sockets per socket layer (one layer per communicator). A
  // controller's exchange makes a handful of requests within a hold, an
  // archive fetch one per 256 bytes.
  static constexpr size_t kMaxPerSocket = 64;

  // Count of resting sockets in the whole process.
  static size_t InProcess() { return InProcess_.load(std::memory_order_relaxed); }
  // Resting sockets closed before their hold ended, in the whole process.
  static size_t ClosedEarly() { return ClosedEarly_.load(std::memory_order_relaxed); }

  TRestingSockets() = default;
  TRestingSockets(const TRestingSockets&) = delete;
  TRestingSockets& operator=(const TRestingSockets&) = delete;
  // The owner closes them (CloseAll) before this: Close needs the layer.
  ~TRestingSockets() = default;

  // Puts H (with its Tag) to rest until Until. Closes expired sockets
  // first; then, while this layer or the process is over its budget, the
  // oldest (H itself when nothing else rests here). Close(Handle, Tag)
  // closes one.
  template <class FClose>
  void Add(THandle H, uint64_t Tag, TClock::time_point Until, size_t ProcessBudget, FClose&& Close) {
    const TClock::time_point now = TClock::now();
    Expire(now, Close);
    Sockets_.push_back({H, Tag, Until});
    InProcess_.fetch_add(1, std::memory_order_relaxed);
    while (!Sockets_.empty() &&
           (Sockets_.size() > kMaxPerSocket || InProcess() > ProcessBudget)) {
      ClosedEarly_.fetch_add(1, std::memory_order_relaxed);
      CloseFront(Close);
    }
  }

  // Closes every socket whose hold has ended.
  template <class FClose>
  void Expire(TClock::time_point Now, FClose&& Close) {
    // Holds differ (each request has its own time-out), so the whole list
    // is looked at; it is short.
    for (size_t i = 0; i < Sockets_.size();) {
      if (Sockets_[i].Until <= Now) {
        const TEntry e = Sockets_[i];
        Sockets_.erase(Sockets_.begin() + static_cast<std::ptrdiff_t>(i));
        InProcess_.fetch_sub(1, std::memory_order_relaxed);
        Close(e.Handle, e.Tag);
      } else {
        ++i;
      }
    }
  }

  template <class FClose>
  void CloseAll(FClose&& Close) {
    while (!Sockets_.empty()) CloseFront(Close);
  }

  size_t Count() const { return Sockets_.size(); }

 private:
  struct TEntry {
    THandle Handle;
    uint64_t Tag;
    TClock::time_point Until;
  };

  template <class FClose>
  void CloseFront(FClose& Close) {
    const TEntry e = Sockets_.front();
    Sockets_.pop_front();
    InProcess_.fetch_sub(1, std::memory_order_relaxed);
    Close(e.Handle, e.Tag);
  }

  std::deque<TEntry> Sockets_;
  static inline std::atomic<size_t> InProcess_{0};
  static inline std::atomic<size_t> ClosedEarly_{0};
};

}  // namespace tavex

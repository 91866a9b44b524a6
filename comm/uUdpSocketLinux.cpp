// The Linux socket layer: plain UDP descriptors watched by one epoll loop on
// the listener thread.
//
// Why not an Asio socket per request: closing an Asio socket completes its
// pending wait as aborted through the io_context, which wakes the listener
// thread once more for every request (measured: about 30 us a request on
// loopback, docs/performance.md). A descriptor that is closed simply leaves
// the epoll set; the listener is woken only by datagrams.
#include "comm/uUdpSocket.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <linux/sock_diag.h>
#include <netinet/in.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <climits>
#include <cstring>
#include <mutex>
#include <thread>

#include "comm/uRestingSockets.h"
#include "hostutil/uEthernetUtils.h"

namespace tavex {

namespace {
// Whole datagrams are received so the kernel never truncates silently; the
// receive path itself looks at no more than its own limit.
constexpr size_t kReceiveBuffer = 65536;
// The epoll tag of the wake-up descriptor; sockets are tagged with their
// generation, which starts at 1.
constexpr uint64_t kWakeTag = 0;

bool ParseIPv4(const std::string& Text, in_addr& Out) {
  return ::inet_pton(AF_INET, Text.c_str(), &Out) == 1;
}

// Resting sockets may take a quarter of the descriptors the process may
// open: the rest stays for the sockets of requests, files and the like.
size_t RestingBudget() {
  rlimit files{};
  if (::getrlimit(RLIMIT_NOFILE, &files) != 0 || files.rlim_cur == RLIM_INFINITY) return 4096;
  return std::max<size_t>(16, static_cast<size_t>(files.rlim_cur / 4));
}

// Asks for a receive buffer of Bytes: beyond the system's limit for users
// (net.core.rmem_max) where the process may (CAP_NET_ADMIN), else up to
// that limit. What was granted is read back by the caller when it matters.
void AskReceiveBuffer(int Fd, size_t Bytes) {
  const int size = static_cast<int>(std::min<size_t>(Bytes, INT_MAX / 2));
  if (::setsockopt(Fd, SOL_SOCKET, SO_RCVBUFFORCE, &size, sizeof size) != 0)
    ::setsockopt(Fd, SOL_SOCKET, SO_RCVBUF, &size, sizeof size);
}
}  // namespace

struct TUdpSocket::TImpl {
  THandler Handler;
  TDiscardHandler OnDiscard;
  std::string BindIP;
  uint16_t BindPort = 0;
  bool Bound = false;

  int Epoll = -1;
  int Wake = -1;  // eventfd: ends the listener
  std::thread Listener;
  std::atomic<bool> Stopping{false};

  // Serialises the listener's reading of a descriptor with its closing by
  // the owner: a descriptor is never closed while it is read, and a
  // descriptor number reused by a newer socket is told apart by generation.
  std::mutex Lock;
  int Fd = -1;              // the open socket; written by the owner under Lock
  uint16_t Port = 0;        // its local port
  uint64_t Generation = 0;  // its generation (0: none open)
  uint64_t LastGeneration = 0;
  std::atomic<uint64_t> Discarded{0};
  // The system's count of datagrams it dropped on the open socket, as the
  // last datagram read told it (SO_RXQ_OVFL); reset with each socket.
  std::atomic<uint64_t> Overflow{0};
  size_t ReceiveBytes = 0;  // asked for each new socket (0: default); owner only
  std::array<uint8_t, kReceiveBuffer> Buffer{};  // under Lock
  // How long the open socket rests once it is replaced or deactivated.
  uint32_t RestMs = 0;
  // Sockets of ended requests (owner's thread; never watched).
  TRestingSockets<int> Resting;

  ~TImpl() {
    {
      std::lock_guard<std::mutex> g(Lock);
      CloseLocked();
      Resting.CloseAll([this](int D, uint64_t G) { CloseResting(D, G); });
    }
    if (Listener.joinable()) {
      Stopping.store(true, std::memory_order_release);
      const uint64_t one = 1;
      [[maybe_unused]] const ssize_t w = ::write(Wake, &one, sizeof one);
      Listener.join();
    }
    if (Wake >= 0) ::close(Wake);
    if (Epoll >= 0) ::close(Epoll);
  }

  bool StartListener() {
    if (Listener.joinable()) return true;
    if (Epoll < 0) Epoll = ::epoll_create1(EPOLL_CLOEXEC);
    if (Wake < 0) Wake = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (Epoll < 0 || Wake < 0) return false;
    epoll_event ev{};
    ev.events = EPOLLIN;
    ev.data.u64 = kWakeTag;
    if (::epoll_ctl(Epoll, EPOLL_CTL_ADD, Wake, &ev) != 0 && errno != EEXIST) return false;
    try {
      Listener = std::thread([this] { Run(); });
    } catch (...) {
      return false;
    }
    return true;
  }

  void Run() {
    std::array<epoll_event, 8> events{};
    while (!Stopping.load(std::memory_order_acquire)) {
      const int n = ::epoll_wait(Epoll, events.data(), static_cast<int>(events.size()), -1);
      for (int i = 0; i < n; ++i) {
        const uint64_t tag = events[static_cast<size_t>(i)].data.u64;
        if (tag == kWakeTag) continue;
        std::lock_guard<std::mutex> g(Lock);
        // A socket closed (or replaced) since the event was reported is
        // no longer read: its datagrams answer nothing asked now.
        if (tag != Generation || Fd < 0) continue;
        DrainQueue(Fd, true);
      }
    }
  }

  // Reads every queued datagram of D, with the kernel's arrival time
  // (SO_TIMESTAMPNS) and its count of drops so far (SO_RXQ_OVFL, sent only
  // once there were any), and hands them to the handler as the open
  // socket's. Deliver false: discards them (counted, and told to OnDiscard
  // as D's, of generation Gen). Under Lock.
  void DrainQueue(int D, bool Deliver, uint64_t Gen = 0) {
    for (;;) {
      sockaddr_in from{};
      iovec iov{Buffer.data(), Buffer.size()};
      alignas(cmsghdr) char control[CMSG_SPACE(sizeof(timespec)) + CMSG_SPACE(sizeof(uint32_t))];
      msghdr msg{};
      msg.msg_name = &from;
      msg.msg_namelen = sizeof from;
      msg.msg_iov = &iov;
      msg.msg_iovlen = 1;
      msg.msg_control = control;
      msg.msg_controllen = sizeof control;
      const ssize_t n = ::recvmsg(D, &msg, MSG_DONTWAIT);
      if (n < 0) return;  // EAGAIN: the queue is empty (or an error: wait again)
      int64_t arrival = 0;
      for (cmsghdr* c = CMSG_FIRSTHDR(&msg); c != nullptr; c = CMSG_NXTHDR(&msg, c)) {
        if (c->cmsg_level == SOL_SOCKET && c->cmsg_type == SCM_TIMESTAMPNS) {
          timespec ts;
          std::memcpy(&ts, CMSG_DATA(c), sizeof ts);
          arrival = static_cast<int64_t>(ts.tv_sec) * 1000000000 + ts.tv_nsec;
        } else if (c->cmsg_level == SOL_SOCKET && c->cmsg_type == SO_RXQ_OVFL) {
          uint32_t drops = 0;
          std::memcpy(&drops, CMSG_DATA(c), sizeof drops);
          if (drops > Overflow.load(std::memory_order_relaxed))
            Overflow.store(drops, std::memory_order_relaxed);
        }
      }
      if (!Deliver) {
        Discarded.fetch_add(1, std::memory_order_relaxed);
        if (OnDiscard) {
          try {
            OnDiscard(Gen, arrival);
          } catch (...) {
          }
        }
        continue;
      }
      char ip[INET_ADDRSTRLEN] = "";
      if (from.sin_family == AF_INET) ::inet_ntop(AF_INET, &from.sin_addr, ip, sizeof ip);
      try {
        Handler(Buffer.data(), static_cast<size_t>(n), ip, ntohs(from.sin_port), arrival,
                Generation);
      } catch (...) {
        // A handler's failure must not end the listener.
      }
    }
  }

  // Closes the open socket; what is still queued on it is discarded.
  void CloseLocked() {
    if (Fd < 0) return;
    DrainQueue(Fd, false, Generation);
    ::close(Fd);  // also leaves the epoll set
    ForgetLocked();
  }

  void ForgetLocked() {
    Fd = -1;
    Port = 0;
    Generation = 0;
  }

  // A resting socket's end: what reached it meanwhile is counted, unread.
  void CloseResting(int D, uint64_t Gen) {
    DrainQueue(D, false, Gen);
    ::close(D);
  }

  // Ends the open socket's service: an ephemeral port rests (deaf, out of
  // the epoll set) for RestMs; a fixed port closes at once, as the next
  // socket needs it. Under Lock.
  void RetireLocked() {
    if (Fd < 0) return;
    if (RestMs == 0 || BindPort != 0 || ::epoll_ctl(Epoll, EPOLL_CTL_DEL, Fd, nullptr) != 0) {
      CloseLocked();
      return;
    }
    // What is queued now arrived while the request could still take it:
    // counted now, like the datagrams of a socket closed at once.
    DrainQueue(Fd, false, Generation);
    const int d = Fd;
    const uint64_t gen = Generation;
    ForgetLocked();
    Resting.Add(d, gen, TRestingSockets<int>::TClock::now() + std::chrono::milliseconds(RestMs),
                RestingBudget(), [this](int R, uint64_t G) { CloseResting(R, G); });
  }

  // A socket on the binding, not yet watched. -1 on failure.
  int OpenFd() const {
    sockaddr_in local{};
    local.sin_family = AF_INET;
    local.sin_addr.s_addr = htonl(INADDR_ANY);
    local.sin_port = htons(Bound ? BindPort : 0);
    if (Bound && !BindIP.empty() && !ParseIPv4(BindIP, local.sin_addr)) return -1;
    const int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd < 0) return -1;
    const int on = 1;
    // No address reuse: on Linux, of two sockets sharing a port only the
    // last bound receives unicast, so a second direct connection on the same
    // adapter must fail to bind rather than steal the first one's answers. A
    // UDP port is free again as soon as its socket is closed.
    if (::setsockopt(fd, SOL_SOCKET, SO_BROADCAST, &on, sizeof on) != 0 ||
        ::bind(fd, reinterpret_cast<const sockaddr*>(&local), sizeof local) != 0) {
      ::close(fd);
      return -1;
    }
    // Arrival times let the receive path tell a datagram that was queued
    // before a request went out from an answer to it.
    ::setsockopt(fd, SOL_SOCKET, SO_TIMESTAMPNS, &on, sizeof on);
    // Answers that did not fit the receive queue are lost without a trace
    // unless the system says so: it counts them with each datagram.
    ::setsockopt(fd, SOL_SOCKET, SO_RXQ_OVFL, &on, sizeof on);
    if (ReceiveBytes > 0) AskReceiveBuffer(fd, ReceiveBytes);
    return fd;
  }

  // Makes D the open socket, watched by the listener. Under Lock, with no
  // socket open. False (D closed) on failure.
  bool WatchLocked(int D) {
    sockaddr_in bound{};
    socklen_t len = sizeof bound;
    const uint64_t generation = LastGeneration + 1;
    epoll_event ev{};
    ev.events = EPOLLIN;
    ev.data.u64 = generation;
    if (!StartListener() || ::getsockname(D, reinterpret_cast<sockaddr*>(&bound), &len) != 0 ||
        ::epoll_ctl(Epoll, EPOLL_CTL_ADD, D, &ev) != 0) {
      ::close(D);
      return false;
    }
    LastGeneration = generation;
    Fd = D;
    Port = ntohs(bound.sin_port);
    Generation = generation;
    Overflow.store(0, std::memory_order_relaxed);
    return true;
  }
};

TUdpSocket::TUdpSocket(THandler Handler) : Impl_(std::make_unique<TImpl>()) {
  Impl_->Handler = std::move(Handler);
}

TUdpSocket::~TUdpSocket() = default;

void TUdpSocket::SetBinding(const std::string& IP, uint16_t Port) {
  Impl_->BindIP = IP;
  Impl_->BindPort = Port;
  Impl_->Bound = true;
}

void TUdpSocket::ClearBinding() {
  Impl_->BindIP.clear();
  Impl_->BindPort = 0;
  Impl_->Bound = false;
}

bool TUdpSocket::HasBinding() const { return Impl_->Bound; }

bool TUdpSocket::Activate() {
  if (Impl_->Fd >= 0) return true;
  const int d = Impl_->OpenFd();
  if (d < 0) return false;
  std::lock_guard<std::mutex> g(Impl_->Lock);
  return Impl_->WatchLocked(d);
}

bool TUdpSocket::Renew() {
  // Opened before the old one is closed, so that the new port differs from
  // the old one; and outside the lock, which the listener needs only to
  // deliver.
  // The old socket rests meanwhile (it holds its port); expired ones close.
  const int d = Impl_->OpenFd();
  std::lock_guard<std::mutex> g(Impl_->Lock);
  Impl_->RetireLocked();
  Impl_->Resting.Expire(TRestingSockets<int>::TClock::now(),
                        [this](int R, uint64_t G) { Impl_->CloseResting(R, G); });
  return d >= 0 && Impl_->WatchLocked(d);
}

void TUdpSocket::Deactivate() {
  std::lock_guard<std::mutex> g(Impl_->Lock);
  Impl_->RetireLocked();
}

void TUdpSocket::SetRest(uint32_t Ms) { Impl_->RestMs = Ms; }

void TUdpSocket::SetDiscardHandler(TDiscardHandler Handler) {
  std::lock_guard<std::mutex> g(Impl_->Lock);
  Impl_->OnDiscard = std::move(Handler);
}

void TUdpSocket::EndRests() {
  std::lock_guard<std::mutex> g(Impl_->Lock);
  Impl_->Resting.CloseAll([this](int R, uint64_t G) { Impl_->CloseResting(R, G); });
}

size_t TUdpSocket::Resting() const { return Impl_->Resting.Count(); }

// Fd, Port and Generation are written by the owner's thread only (under the
// lock, for the listener's sake), so the owner reads them without it. That
// matters: the owner asks for Generation() while it holds the communicator's
// lock, which the listener takes inside its own.
bool TUdpSocket::Active() const { return Impl_->Fd >= 0; }

uint16_t TUdpSocket::LocalPort() const { return Impl_->Port; }

uint64_t TUdpSocket::Generation() const { return Impl_->Generation; }

uint64_t TUdpSocket::Discarded() const {
  return Impl_->Discarded.load(std::memory_order_relaxed);
}

void TUdpSocket::SetReceiveBuffer(size_t Bytes) {
  Impl_->ReceiveBytes = Bytes;
  if (Bytes > 0 && Impl_->Fd >= 0) AskReceiveBuffer(Impl_->Fd, Bytes);
}

size_t TUdpSocket::ReceiveBuffer() const {
  if (Impl_->Fd < 0) return 0;
  int size = 0;
  socklen_t len = sizeof size;
  if (::getsockopt(Impl_->Fd, SOL_SOCKET, SO_RCVBUF, &size, &len) != 0 || size < 0) return 0;
  return static_cast<size_t>(size);
}

uint64_t TUdpSocket::Overflows() const {
  if (Impl_->Fd < 0) return 0;
  uint64_t drops = Impl_->Overflow.load(std::memory_order_relaxed);
  // The datagrams read tell only of drops before them; the socket's own
  // count also knows those after the last one read.
  uint32_t info[SK_MEMINFO_VARS] = {};
  socklen_t len = sizeof info;
  if (::getsockopt(Impl_->Fd, SOL_SOCKET, SO_MEMINFO, info, &len) == 0 &&
      len >= (SK_MEMINFO_DROPS + 1) * sizeof(uint32_t))
    drops = std::max<uint64_t>(drops, info[SK_MEMINFO_DROPS]);
  return drops;
}

bool TUdpSocket::SendTo(const uint8_t* Data, size_t Size, const std::string& Host, uint16_t Port) {
  if (!Active() && !Activate()) return false;
  sockaddr_in to{};
  to.sin_family = AF_INET;
  to.sin_port = htons(Port);
  if (!ParseIPv4(Host, to.sin_addr)) {
    const std::string resolved = ResolveHostIP(Host);
    if (resolved.empty() || !ParseIPv4(resolved, to.sin_addr)) return false;
  }
  // The descriptor stays open until the owner (this thread) closes it, so it
  // is used without the listener's lock.
  const ssize_t n = ::sendto(Impl_->Fd, Data, Size, 0, reinterpret_cast<const sockaddr*>(&to),
                             sizeof to);
  return n == static_cast<ssize_t>(Size);
}

}  // namespace tavex

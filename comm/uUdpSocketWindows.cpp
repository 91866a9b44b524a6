// The Windows socket layer: plain Winsock UDP sockets, one at a time, whose
// arrivals signal one event object (WSAEventSelect) that the listener thread
// waits on together with a stop event.
//
// The data event outlives every socket: a replaced socket simply stops
// signalling it, so the listener never waits on a handle that the owner
// closes, and it is woken only by datagrams and by the destructor.
#include "comm/uUdpSocket.h"

#include <winsock2.h>
#include <ws2tcpip.h>
#include <mswsock.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <climits>
#include <ctime>
#include <mutex>
#include <thread>

#include "comm/uRestingSockets.h"
#include "hostutil/uEthernetUtils.h"
#include "hostutil/uWinsock.h"

namespace tavex {

namespace {
// Whole datagrams are received so the system never truncates silently; the
// receive path itself looks at no more than its own limit.
constexpr size_t kReceiveBuffer = 65536;

bool ParseIPv4(const std::string& Text, in_addr& Out) {
  return ::inet_pton(AF_INET, Text.c_str(), &Out) == 1;
}

// Windows has no descriptor limit of the kind Linux has; sockets cost
// kernel memory only. A fixed budget keeps a run of a thousand controllers
// modest.
constexpr size_t kRestingBudget = 4096;

// Windows has no arrival time of a datagram, so its time is taken when the
// listener reads it, on the clock that the communicator arms requests with.
// The cost: a datagram that reached the host before a request went out but
// is read only after the request was armed (the listener was busy or not
// yet scheduled) looks like an answer to it, so the receive path's test for
// such stale copies does not catch it; the fresh socket of each request
// still keeps out everything that arrives on an earlier request's socket.
int64_t ReceiptTimeNs() {
  timespec ts{};
  clock_gettime(CLOCK_REALTIME, &ts);
  return static_cast<int64_t>(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

// Asks for a receive buffer of Bytes. Windows has no count of the datagrams
// it drops when the buffer is full, so a larger buffer is all it gets.
void AskReceiveBuffer(SOCKET S, size_t Bytes) {
  const int size = static_cast<int>(std::min<size_t>(Bytes, INT_MAX / 2));
  ::setsockopt(S, SOL_SOCKET, SO_RCVBUF, reinterpret_cast<const char*>(&size), sizeof size);
}
}  // namespace

struct TUdpSocket::TImpl {
  // Started first and ended last: every socket call below needs it.
  TWinsockSession Winsock;
  THandler Handler;
  TDiscardHandler OnDiscard;
  std::string BindIP;
  uint16_t BindPort = 0;
  bool Bound = false;

  WSAEVENT DataEvent = WSA_INVALID_EVENT;  // signalled by the open socket
  WSAEVENT StopEvent = WSA_INVALID_EVENT;  // ends the listener
  std::thread Listener;
  std::atomic<bool> Stopping{false};

  // Serialises the listener's reading of the socket with its closing by the
  // owner: a socket is never closed while it is read.
  std::mutex Lock;
  SOCKET Sock = INVALID_SOCKET;  // the open socket; written by the owner under Lock
  uint16_t Port = 0;             // its local port
  uint64_t Generation = 0;       // its generation (0: none open)
  uint64_t LastGeneration = 0;
  std::atomic<uint64_t> Discarded{0};
  size_t ReceiveBytes = 0;  // asked for each new socket (0: default); owner only
  std::array<char, kReceiveBuffer> Buffer{};  // under Lock
  // How long the open socket rests once it is replaced or deactivated.
  uint32_t RestMs = 0;
  // Sockets of ended requests (owner's thread; they signal nothing).
  TRestingSockets<SOCKET> Resting;

  ~TImpl() {
    {
      std::lock_guard<std::mutex> g(Lock);
      CloseLocked();
      Resting.CloseAll([this](SOCKET S, uint64_t G) { CloseResting(S, G); });
    }
    if (Listener.joinable()) {
      Stopping.store(true, std::memory_order_release);
      ::WSASetEvent(StopEvent);
      Listener.join();
    }
    if (DataEvent != WSA_INVALID_EVENT) ::WSACloseEvent(DataEvent);
    if (StopEvent != WSA_INVALID_EVENT) ::WSACloseEvent(StopEvent);
  }

  bool StartListener() {
    if (Listener.joinable()) return true;
    if (!Winsock.Started()) return false;
    if (DataEvent == WSA_INVALID_EVENT) DataEvent = ::WSACreateEvent();
    if (StopEvent == WSA_INVALID_EVENT) StopEvent = ::WSACreateEvent();
    if (DataEvent == WSA_INVALID_EVENT || StopEvent == WSA_INVALID_EVENT) return false;
    try {
      Listener = std::thread([this] { Run(); });
    } catch (...) {
      return false;
    }
    return true;
  }

  void Run() {
    const WSAEVENT events[2] = {StopEvent, DataEvent};
    while (!Stopping.load(std::memory_order_acquire)) {
      const DWORD w = ::WSAWaitForMultipleEvents(2, events, FALSE, WSA_INFINITE, FALSE);
      if (w == WSA_WAIT_EVENT_0 + 1) {
        std::lock_guard<std::mutex> g(Lock);
        // Reset before reading: a datagram that comes in while the queue is
        // read signals again and is not left waiting.
        ::WSAResetEvent(DataEvent);
        if (Sock != INVALID_SOCKET) DrainQueue(Sock, true);
      } else if (w != WSA_WAIT_EVENT_0) {
        return;  // the wait itself failed: no way left to hear the socket
      }
    }
  }

  // Reads every queued datagram of S and hands them to the handler as the
  // open socket's. Deliver false: discards them (counted, and told to
  // OnDiscard as S's, of generation Gen, without an arrival time: Windows
  // does not keep one). Under Lock.
  void DrainQueue(SOCKET S, bool Deliver, uint64_t Gen = 0) {
    for (;;) {
      sockaddr_in from{};
      int fromLen = sizeof from;
      const int n = ::recvfrom(S, Buffer.data(), static_cast<int>(Buffer.size()), 0,
                               reinterpret_cast<sockaddr*>(&from), &fromLen);
      if (n == SOCKET_ERROR) {
        // An ICMP "port unreachable" for an earlier send is reported on the
        // next read (unless SIO_UDP_CONNRESET took): not a datagram, read on.
        if (::WSAGetLastError() == WSAECONNRESET) continue;
        return;  // WSAEWOULDBLOCK: the queue is empty (or an error: wait again)
      }
      if (!Deliver) {
        Discarded.fetch_add(1, std::memory_order_relaxed);
        if (OnDiscard) {
          try {
            OnDiscard(Gen, 0);
          } catch (...) {
          }
        }
        continue;
      }
      const int64_t arrival = ReceiptTimeNs();
      char ip[INET_ADDRSTRLEN] = "";
      if (from.sin_family == AF_INET) ::inet_ntop(AF_INET, &from.sin_addr, ip, sizeof ip);
      try {
        Handler(reinterpret_cast<const uint8_t*>(Buffer.data()), static_cast<size_t>(n), ip,
                ntohs(from.sin_port), arrival, Generation);
      } catch (...) {
        // A handler's failure must not end the listener.
      }
    }
  }

  // Closes the open socket; what is still queued on it is discarded.
  void CloseLocked() {
    if (Sock == INVALID_SOCKET) return;
    DrainQueue(Sock, false, Generation);
    ::closesocket(Sock);  // also ends its signalling of DataEvent
    ForgetLocked();
  }

  void ForgetLocked() {
    Sock = INVALID_SOCKET;
    Port = 0;
    Generation = 0;
  }

  // A resting socket's end: what reached it meanwhile is counted, unread.
  void CloseResting(SOCKET S, uint64_t Gen) {
    DrainQueue(S, false, Gen);
    ::closesocket(S);
  }

  // Ends the open socket's service: an ephemeral port rests (no longer
  // signalling DataEvent) for RestMs; a fixed port closes at once, as the
  // next socket needs it. Under Lock.
  void RetireLocked() {
    if (Sock == INVALID_SOCKET) return;
    if (RestMs == 0 || BindPort != 0 || ::WSAEventSelect(Sock, nullptr, 0) != 0) {
      CloseLocked();
      return;
    }
    // What is queued now arrived while the request could still take it:
    // counted now, like the datagrams of a socket closed at once.
    DrainQueue(Sock, false, Generation);
    const SOCKET s = Sock;
    const uint64_t gen = Generation;
    ForgetLocked();
    Resting.Add(s, gen, TRestingSockets<SOCKET>::TClock::now() + std::chrono::milliseconds(RestMs),
                kRestingBudget, [this](SOCKET R, uint64_t G) { CloseResting(R, G); });
  }

  // A socket on the binding, not yet watched. INVALID_SOCKET on failure.
  SOCKET OpenSocket() const {
    if (!Winsock.Started()) return INVALID_SOCKET;
    sockaddr_in local{};
    local.sin_family = AF_INET;
    local.sin_addr.s_addr = htonl(INADDR_ANY);
    local.sin_port = htons(Bound ? BindPort : 0);
    if (Bound && !BindIP.empty() && !ParseIPv4(BindIP, local.sin_addr)) return INVALID_SOCKET;
    const SOCKET s = ::WSASocketW(AF_INET, SOCK_DGRAM, IPPROTO_UDP, nullptr, 0,
                                  WSA_FLAG_OVERLAPPED | WSA_FLAG_NO_HANDLE_INHERIT);
    if (s == INVALID_SOCKET) return INVALID_SOCKET;
    const BOOL on = TRUE;
    // No address reuse, and none by others either: a second direct
    // connection on the same adapter must fail to bind rather than share
    // the first one's answers (Windows would otherwise let a later socket
    // with SO_REUSEADDR take over the port).
    if (::setsockopt(s, SOL_SOCKET, SO_EXCLUSIVEADDRUSE, reinterpret_cast<const char*>(&on),
                     sizeof on) != 0 ||
        ::setsockopt(s, SOL_SOCKET, SO_BROADCAST, reinterpret_cast<const char*>(&on),
                     sizeof on) != 0 ||
        ::bind(s, reinterpret_cast<const sockaddr*>(&local), sizeof local) != 0) {
      ::closesocket(s);
      return INVALID_SOCKET;
    }
    // A controller that is gone answers with ICMP "port unreachable"; by
    // default Windows then fails the socket's next read. Not wanted here.
    BOOL off = FALSE;
    DWORD unused = 0;
    ::WSAIoctl(s, SIO_UDP_CONNRESET, &off, sizeof off, nullptr, 0, &unused, nullptr, nullptr);
    if (ReceiveBytes > 0) AskReceiveBuffer(s, ReceiveBytes);
    return s;
  }

  // Makes S the open socket, watched by the listener. Under Lock, with no
  // socket open. False (S closed) on failure.
  bool WatchLocked(SOCKET S) {
    sockaddr_in bound{};
    int len = sizeof bound;
    // WSAEventSelect also makes the socket non-blocking, which the reads of
    // DrainQueue rely on.
    if (!StartListener() ||
        ::getsockname(S, reinterpret_cast<sockaddr*>(&bound), &len) != 0 ||
        ::WSAEventSelect(S, DataEvent, FD_READ) != 0) {
      ::closesocket(S);
      return false;
    }
    LastGeneration += 1;
    Sock = S;
    Port = ntohs(bound.sin_port);
    Generation = LastGeneration;
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
  if (Impl_->Sock != INVALID_SOCKET) return true;
  const SOCKET s = Impl_->OpenSocket();
  if (s == INVALID_SOCKET) return false;
  std::lock_guard<std::mutex> g(Impl_->Lock);
  return Impl_->WatchLocked(s);
}

bool TUdpSocket::Renew() {
  // Opened before the old one is closed, so that the new port differs from
  // the old one; and outside the lock, which the listener needs only to
  // deliver.
  // The old socket rests meanwhile (it holds its port); expired ones close.
  const SOCKET s = Impl_->OpenSocket();
  std::lock_guard<std::mutex> g(Impl_->Lock);
  Impl_->RetireLocked();
  Impl_->Resting.Expire(TRestingSockets<SOCKET>::TClock::now(),
                        [this](SOCKET R, uint64_t G) { Impl_->CloseResting(R, G); });
  return s != INVALID_SOCKET && Impl_->WatchLocked(s);
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
  Impl_->Resting.CloseAll([this](SOCKET R, uint64_t G) { Impl_->CloseResting(R, G); });
}

size_t TUdpSocket::Resting() const { return Impl_->Resting.Count(); }

// Sock, Port and Generation are written by the owner's thread only (under
// the lock, for the listener's sake), so the owner reads them without it.
bool TUdpSocket::Active() const { return Impl_->Sock != INVALID_SOCKET; }

uint16_t TUdpSocket::LocalPort() const { return Impl_->Port; }

uint64_t TUdpSocket::Generation() const { return Impl_->Generation; }

uint64_t TUdpSocket::Discarded() const {
  return Impl_->Discarded.load(std::memory_order_relaxed);
}

void TUdpSocket::SetReceiveBuffer(size_t Bytes) {
  Impl_->ReceiveBytes = Bytes;
  if (Bytes > 0 && Impl_->Sock != INVALID_SOCKET) AskReceiveBuffer(Impl_->Sock, Bytes);
}

size_t TUdpSocket::ReceiveBuffer() const {
  if (Impl_->Sock == INVALID_SOCKET) return 0;
  int size = 0;
  int len = sizeof size;
  if (::getsockopt(Impl_->Sock, SOL_SOCKET, SO_RCVBUF, reinterpret_cast<char*>(&size), &len) != 0 ||
      size < 0)
    return 0;
  return static_cast<size_t>(size);
}

// Windows does not count the datagrams it drops.
uint64_t TUdpSocket::Overflows() const { return 0; }

bool TUdpSocket::SendTo(const uint8_t* Data, size_t Size, const std::string& Host, uint16_t Port) {
  if (Size > static_cast<size_t>(INT32_MAX)) return false;
  if (!Active() && !Activate()) return false;
  sockaddr_in to{};
  to.sin_family = AF_INET;
  to.sin_port = htons(Port);
  if (!ParseIPv4(Host, to.sin_addr)) {
    const std::string resolved = ResolveHostIP(Host);
    if (resolved.empty() || !ParseIPv4(resolved, to.sin_addr)) return false;
  }
  // The socket stays open until the owner (this thread) closes it, so it is
  // used without the listener's lock.
  const int n = ::sendto(Impl_->Sock, reinterpret_cast<const char*>(Data), static_cast<int>(Size),
                         0, reinterpret_cast<const sockaddr*>(&to), sizeof to);
  return n == static_cast<int>(Size);
}

}  // namespace tavex

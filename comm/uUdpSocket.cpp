#include "comm/uUdpSocket.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <array>
#include <atomic>
#include <cstring>
#include <mutex>
#include <optional>
#include <thread>

#include <asio.hpp>

#include "hostutil/uEthernetUtils.h"

namespace tavex {

namespace {
// Whole datagrams are received so the kernel never truncates silently; the
// receive path itself looks at no more than its own limit.
constexpr size_t kReceiveBuffer = 65536;
}  // namespace

struct TUdpSocket::TImpl {
  // One operating-system socket. Handlers of its wait hold a reference, so
  // it outlives the last one of them; Open tells them whether it still
  // counts.
  struct TEntry {
    explicit TEntry(asio::io_context& Io) : Socket(Io) {}
    asio::ip::udp::socket Socket;
    int Fd = -1;
    uint16_t Port = 0;
    uint64_t Generation = 0;
    bool Open = false;  // guarded by Lock
  };

  THandler Handler;
  std::string BindIP;
  uint16_t BindPort = 0;
  bool Bound = false;

  // Member order matters: the listener thread is joined (in the destructor)
  // before the io_context goes, and the entries held by pending handlers are
  // released before that.
  asio::io_context Io;
  std::optional<asio::executor_work_guard<asio::io_context::executor_type>> Work;
  std::thread Listener;

  // Serialises everything done to a socket object: the listener's wait and
  // receive on one side, opening and closing by the owner on the other.
  std::mutex Lock;
  std::shared_ptr<TEntry> Current;  // written by the owner only, under Lock
  uint64_t LastGeneration = 0;
  std::atomic<uint64_t> Discarded{0};
  std::array<uint8_t, kReceiveBuffer> Buffer{};  // listener thread only

  ~TImpl() {
    {
      std::lock_guard<std::mutex> g(Lock);
      CloseLocked();
    }
    Work.reset();
    Io.stop();
    if (Listener.joinable()) Listener.join();
    // Handlers still queued hold the closed entries: let them run (they do
    // nothing for a closed entry) so that the sockets go before the io_context.
    try {
      Io.restart();
      Io.poll();
    } catch (...) {
    }
  }

  void StartListener() {
    if (Listener.joinable()) return;
    Work.emplace(Io.get_executor());
    Listener = std::thread([this] {
      for (;;) {
        try {
          Io.run();
          return;
        } catch (...) {
          // A handler's failure must not end the listener.
        }
      }
    });
  }

  // Waits for the entry to become readable, then takes every queued datagram
  // with recvmsg, so that each comes with the kernel's arrival time
  // (SO_TIMESTAMPNS). Runs under Lock (from Open) or on the listener thread.
  void StartReceive(const std::shared_ptr<TEntry>& E) {
    E->Socket.async_wait(asio::ip::udp::socket::wait_read, [this, E](const asio::error_code& ec) {
      std::lock_guard<std::mutex> g(Lock);
      if (ec == asio::error::operation_aborted || !E->Open) return;
      if (!ec) DrainQueue(*E);
      StartReceive(E);
    });
  }

  // Reads every queued datagram of E. Deliver false: discards them (counted).
  void DrainQueue(TEntry& E, bool Deliver = true) {
    for (;;) {
      sockaddr_in from{};
      iovec iov{Buffer.data(), Buffer.size()};
      alignas(cmsghdr) char control[CMSG_SPACE(sizeof(timespec))];
      msghdr msg{};
      msg.msg_name = &from;
      msg.msg_namelen = sizeof from;
      msg.msg_iov = &iov;
      msg.msg_iovlen = 1;
      msg.msg_control = control;
      msg.msg_controllen = sizeof control;
      const ssize_t n = ::recvmsg(E.Fd, &msg, MSG_DONTWAIT);
      if (n < 0) return;  // EAGAIN: the queue is empty (or an error: wait again)
      if (!Deliver) {
        Discarded.fetch_add(1, std::memory_order_relaxed);
        continue;
      }
      int64_t arrival = 0;
      for (cmsghdr* c = CMSG_FIRSTHDR(&msg); c != nullptr; c = CMSG_NXTHDR(&msg, c)) {
        if (c->cmsg_level == SOL_SOCKET && c->cmsg_type == SCM_TIMESTAMPNS) {
          timespec ts;
          std::memcpy(&ts, CMSG_DATA(c), sizeof ts);
          arrival = static_cast<int64_t>(ts.tv_sec) * 1000000000 + ts.tv_nsec;
        }
      }
      char ip[INET_ADDRSTRLEN] = "";
      if (from.sin_family == AF_INET) ::inet_ntop(AF_INET, &from.sin_addr, ip, sizeof ip);
      try {
        Handler(Buffer.data(), static_cast<size_t>(n), ip, ntohs(from.sin_port), arrival,
                E.Generation);
      } catch (...) {
        // A handler's failure must not end the listener.
      }
    }
  }

  // Closes the current socket; what is still queued on it is discarded.
  void CloseLocked() {
    if (!Current) return;
    Current->Open = false;
    DrainQueue(*Current, false);
    asio::error_code ec;
    Current->Socket.close(ec);  // a pending wait completes as aborted
    Current.reset();
  }

  bool OpenLocked() {
    auto e = std::make_shared<TEntry>(Io);
    try {
      e->Socket.open(asio::ip::udp::v4());
      e->Socket.set_option(asio::socket_base::broadcast(true));
      // No address reuse: on Linux, of two sockets sharing a port only the
      // last bound receives unicast, so a second direct connection on the
      // same adapter must fail to bind rather than steal the first one's
      // answers. A UDP port is free again as soon as its socket is closed.
      asio::ip::address_v4 addr = asio::ip::address_v4::any();
      if (Bound && !BindIP.empty()) addr = asio::ip::make_address_v4(BindIP);
      e->Socket.bind(asio::ip::udp::endpoint(addr, Bound ? BindPort : 0));
      // Arrival times let the receive path tell a datagram that was queued
      // before a request went out from an answer to it.
      const int on = 1;
      ::setsockopt(e->Socket.native_handle(), SOL_SOCKET, SO_TIMESTAMPNS, &on, sizeof on);
      e->Fd = e->Socket.native_handle();
      e->Port = e->Socket.local_endpoint().port();
    } catch (...) {
      asio::error_code ec;
      e->Socket.close(ec);
      return false;
    }
    e->Generation = ++LastGeneration;
    e->Open = true;
    Current = e;
    StartListener();
    StartReceive(e);
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
  try {
    std::lock_guard<std::mutex> g(Impl_->Lock);
    return Impl_->Current ? true : Impl_->OpenLocked();
  } catch (...) {
    return false;
  }
}

bool TUdpSocket::Renew() {
  try {
    std::lock_guard<std::mutex> g(Impl_->Lock);
    Impl_->CloseLocked();
    return Impl_->OpenLocked();
  } catch (...) {
    return false;
  }
}

void TUdpSocket::Deactivate() {
  try {
    std::lock_guard<std::mutex> g(Impl_->Lock);
    Impl_->CloseLocked();
  } catch (...) {
  }
}

// Current is written by the owner's thread only, so the owner reads it
// without the lock.
bool TUdpSocket::Active() const { return Impl_->Current != nullptr; }

uint16_t TUdpSocket::LocalPort() const { return Impl_->Current ? Impl_->Current->Port : 0; }

uint64_t TUdpSocket::Generation() const {
  return Impl_->Current ? Impl_->Current->Generation : 0;
}

uint64_t TUdpSocket::Discarded() const {
  return Impl_->Discarded.load(std::memory_order_relaxed);
}

bool TUdpSocket::SendTo(const uint8_t* Data, size_t Size, const std::string& Host, uint16_t Port) {
  if (!Impl_->Current && !Activate()) return false;
  asio::error_code ec;
  asio::ip::address_v4 addr = asio::ip::make_address_v4(Host, ec);
  if (ec) {
    const std::string resolved = ResolveHostIP(Host);
    if (resolved.empty()) return false;
    addr = asio::ip::make_address_v4(resolved, ec);
    if (ec) return false;
  }
  // Sent straight on the descriptor: the listener thread owns the socket
  // object's asynchronous state, and a plain sendto shares none of it. The
  // descriptor stays open until the owner (this thread) closes it.
  const asio::ip::udp::endpoint to(addr, Port);
  const ssize_t n = ::sendto(Impl_->Current->Fd, Data, Size, 0,
                             reinterpret_cast<const sockaddr*>(to.data()),
                             static_cast<socklen_t>(to.size()));
  return n == static_cast<ssize_t>(Size);
}

}  // namespace tavex

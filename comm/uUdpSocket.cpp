#include "comm/uUdpSocket.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <array>
#include <cstring>
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
  THandler Handler;
  std::string BindIP;
  uint16_t BindPort = 0;
  bool Bound = false;

  // Member order matters: the thread is joined (in Stop) before the socket
  // and the io_context it uses go away.
  asio::io_context Io;
  std::unique_ptr<asio::ip::udp::socket> Socket;
  std::thread Listener;
  std::array<uint8_t, kReceiveBuffer> Buffer{};

  // Waits for the socket to become readable, then takes every queued
  // datagram with recvmsg, so that each comes with the kernel's arrival
  // time (SO_TIMESTAMPNS).
  void StartReceive() {
    Socket->async_wait(asio::ip::udp::socket::wait_read, [this](const asio::error_code& ec) {
      if (ec == asio::error::operation_aborted || !Socket || !Socket->is_open()) return;
      if (!ec) DrainQueue();
      StartReceive();
    });
  }

  void DrainQueue() {
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
      const ssize_t n = ::recvmsg(Socket->native_handle(), &msg, MSG_DONTWAIT);
      if (n < 0) return;  // EAGAIN: the queue is empty (or an error: wait again)
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
        Handler(Buffer.data(), static_cast<size_t>(n), ip, ntohs(from.sin_port), arrival);
      } catch (...) {
        // A handler's failure must not end the listener.
      }
    }
  }

  void Stop() {
    if (!Socket) return;
    Io.stop();
    if (Listener.joinable()) Listener.join();
    asio::error_code ec;
    Socket->close(ec);
    Socket.reset();
    Io.restart();
  }

  bool Start() {
    if (Socket) return true;
    try {
      auto s = std::make_unique<asio::ip::udp::socket>(Io);
      s->open(asio::ip::udp::v4());
      s->set_option(asio::socket_base::broadcast(true));
      // The direct connection binds a fixed port; a restart must not wait
      // for the old socket to go.
      s->set_option(asio::socket_base::reuse_address(true));
      asio::ip::address_v4 addr = asio::ip::address_v4::any();
      if (Bound && !BindIP.empty()) addr = asio::ip::make_address_v4(BindIP);
      s->bind(asio::ip::udp::endpoint(addr, Bound ? BindPort : 0));
      // Arrival times let the receive path tell a datagram that was queued
      // before a request went out from an answer to it.
      const int on = 1;
      ::setsockopt(s->native_handle(), SOL_SOCKET, SO_TIMESTAMPNS, &on, sizeof on);
      Socket = std::move(s);
    } catch (...) {
      Socket.reset();
      return false;
    }
    StartReceive();
    Listener = std::thread([this] {
      try {
        Io.run();
      } catch (...) {
      }
    });
    return true;
  }
};

TUdpSocket::TUdpSocket(THandler Handler) : Impl_(std::make_unique<TImpl>()) {
  Impl_->Handler = std::move(Handler);
}

TUdpSocket::~TUdpSocket() { Deactivate(); }

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

bool TUdpSocket::Activate() { return Impl_->Start(); }

void TUdpSocket::Deactivate() {
  try {
    Impl_->Stop();
  } catch (...) {
  }
}

bool TUdpSocket::Active() const { return Impl_->Socket != nullptr; }

uint16_t TUdpSocket::LocalPort() const {
  if (!Impl_->Socket) return 0;
  asio::error_code ec;
  const auto ep = Impl_->Socket->local_endpoint(ec);
  return ec ? 0 : ep.port();
}

bool TUdpSocket::SendTo(const uint8_t* Data, size_t Size, const std::string& Host, uint16_t Port) {
  if (!Impl_->Socket && !Activate()) return false;
  asio::error_code ec;
  asio::ip::address_v4 addr = asio::ip::make_address_v4(Host, ec);
  if (ec) {
    const std::string resolved = ResolveHostIP(Host);
    if (resolved.empty()) return false;
    addr = asio::ip::make_address_v4(resolved, ec);
    if (ec) return false;
  }
  // Sent straight on the descriptor: the listener thread owns the socket
  // object's asynchronous state, and a plain sendto shares none of it.
  const asio::ip::udp::endpoint to(addr, Port);
  const ssize_t n = ::sendto(Impl_->Socket->native_handle(), Data, Size, 0,
                             reinterpret_cast<const sockaddr*>(to.data()),
                             static_cast<socklen_t>(to.size()));
  return n == static_cast<ssize_t>(Size);
}

}  // namespace tavex

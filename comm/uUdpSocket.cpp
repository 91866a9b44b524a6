#include "comm/uUdpSocket.h"

#include <array>
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
  asio::ip::udp::endpoint Sender;

  void StartReceive() {
    Socket->async_receive_from(asio::buffer(Buffer), Sender,
                               [this](const asio::error_code& ec, size_t n) {
                                 if (ec == asio::error::operation_aborted || !Socket->is_open())
                                   return;
                                 if (!ec) {
                                   try {
                                     Handler(Buffer.data(), n, Sender.address().to_string(),
                                             Sender.port());
                                   } catch (...) {
                                     // A handler's failure must not end the listener.
                                   }
                                 }
                                 StartReceive();
                               });
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

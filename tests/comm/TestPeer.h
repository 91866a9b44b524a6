// A scripted station on loopback for transport tests: it receives datagrams
// on its own address and answers each with whatever the script returns.
#pragma once

#include <asio.hpp>

#include <atomic>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace tavex::test {

class TPeer {
 public:
  using TDatagram = std::vector<uint8_t>;
  // Returns the datagrams to send back to the sender (possibly none).
  using TScript = std::function<std::vector<TDatagram>(const TDatagram& Request)>;
  // The same, told the port that the request came from.
  using TScriptFrom =
      std::function<std::vector<TDatagram>(const TDatagram& Request, uint16_t SenderPort)>;

  TPeer(const std::string& IP, uint16_t Port, TScript Script)
      : TPeer(IP, Port, [Script = std::move(Script)](const TDatagram& R, uint16_t) {
          return Script(R);
        }) {}
  TPeer(const std::string& IP, uint16_t Port, TScriptFrom Script)
      : Script_(std::move(Script)), Socket_(Io_) {
    Socket_.open(asio::ip::udp::v4());
    Socket_.set_option(asio::socket_base::reuse_address(true));
    Socket_.set_option(asio::socket_base::broadcast(true));
    Socket_.bind({asio::ip::make_address_v4(IP), Port});
    Receive();
    Thread_ = std::thread([this] { Io_.run(); });
  }
  ~TPeer() {
    Io_.stop();
    Thread_.join();
  }

  int Requests() const { return Count_.load(); }
  std::vector<TDatagram> Received() const {
    std::lock_guard<std::mutex> g(Lock_);
    return Received_;
  }
  std::string LastSender() const {
    std::lock_guard<std::mutex> g(Lock_);
    return LastSender_;
  }
  uint16_t LastSenderPort() const {
    std::lock_guard<std::mutex> g(Lock_);
    return LastSenderPort_;
  }
  // Sends a datagram to an endpoint from this peer's socket after Ms
  // milliseconds (thread-safe; may be called from the script).
  void SendLater(const TDatagram& D, const std::string& IP, uint16_t Port, int Ms) {
    auto timer = std::make_shared<asio::steady_timer>(Io_, std::chrono::milliseconds(Ms));
    timer->async_wait([this, timer, D, IP, Port](const asio::error_code& ec) {
      if (ec) return;
      asio::error_code e2;
      Socket_.send_to(asio::buffer(D), {asio::ip::make_address_v4(IP), Port}, 0, e2);
    });
  }
  // The ports that the requests came from, in arrival order.
  std::vector<uint16_t> SenderPorts() const {
    std::lock_guard<std::mutex> g(Lock_);
    return SenderPorts_;
  }
  // Sends a datagram to an endpoint from this peer's socket (thread-safe).
  void SendTo(const TDatagram& D, const std::string& IP, uint16_t Port) {
    asio::post(Io_, [this, D, IP, Port] {
      asio::error_code ec;
      Socket_.send_to(asio::buffer(D), {asio::ip::make_address_v4(IP), Port}, 0, ec);
    });
  }

 private:
  void Receive() {
    Socket_.async_receive_from(asio::buffer(Buf_), From_, [this](asio::error_code ec, size_t n) {
      if (ec) return;
      TDatagram req(Buf_.begin(), Buf_.begin() + static_cast<long>(n));
      {
        std::lock_guard<std::mutex> g(Lock_);
        Received_.push_back(req);
        LastSender_ = From_.address().to_string();
        LastSenderPort_ = From_.port();
        SenderPorts_.push_back(From_.port());
      }
      ++Count_;
      for (const auto& d : Script_(req, From_.port())) {
        asio::error_code e2;
        Socket_.send_to(asio::buffer(d), From_, 0, e2);
      }
      Receive();
    });
  }

  TScriptFrom Script_;
  asio::io_context Io_;
  asio::ip::udp::socket Socket_;
  std::array<uint8_t, 65536> Buf_{};
  asio::ip::udp::endpoint From_;
  std::thread Thread_;
  mutable std::mutex Lock_;
  std::vector<TDatagram> Received_;
  std::string LastSender_;
  uint16_t LastSenderPort_ = 0;
  std::vector<uint16_t> SenderPorts_;
  std::atomic<int> Count_{0};
};

}  // namespace tavex::test

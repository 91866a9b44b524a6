// The UDP socket of one communicator, with the listener thread that delivers
// every received datagram to a handler (platform layer: standalone Asio).
//
// Threads: every public operation is called from the owner's thread. The
// handler runs on the listener thread; Deactivate() and the destructor stop
// and join that thread before they return, so the handler never runs after
// them. Never call Deactivate() from inside the handler.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

namespace tavex {

class TUdpSocket {
 public:
  // Datagram bytes, sender IP and port, and the time the datagram reached
  // this host (CLOCK_REALTIME, nanoseconds; 0 when the system did not say).
  using THandler =
      std::function<void(const uint8_t*, size_t, const std::string&, uint16_t, int64_t)>;

  explicit TUdpSocket(THandler Handler);
  ~TUdpSocket();
  TUdpSocket(const TUdpSocket&) = delete;
  TUdpSocket& operator=(const TUdpSocket&) = delete;

  // Local binding used by the next Activate(). An empty IP means any address.
  void SetBinding(const std::string& IP, uint16_t Port);
  // Removes the binding: the next Activate() binds to any address, port 0.
  void ClearBinding();
  bool HasBinding() const;

  // Opens the socket (broadcast enabled), binds it and starts the listener
  // thread. True when the socket is active afterwards. Never throws.
  bool Activate();
  // Stops the listener thread and closes the socket. Never throws.
  void Deactivate();
  bool Active() const;

  // Sends one datagram. An inactive socket is activated first. Host is a
  // dotted quad or a host name (looked up). False on any error.
  bool SendTo(const uint8_t* Data, size_t Size, const std::string& Host, uint16_t Port);

  // Local port of the active socket, 0 when inactive.
  uint16_t LocalPort() const;

 private:
  struct TImpl;
  std::unique_ptr<TImpl> Impl_;
};

}  // namespace tavex

// The UDP socket of one communicator, with the listener thread that delivers
// every received datagram to a handler (platform layer: standalone Asio).
//
// One io_context and one listener thread serve the communicator for its whole
// life; the operating-system socket under them can be replaced at any time
// (Renew), so that each request can leave from a port of its own: an answer
// to an earlier request then arrives on a socket that is closed, or that no
// request waits on, and is never taken for a later request's answer.
// Replacing the socket costs a few system calls, not a thread. A replaced
// (or deactivated) socket on an ephemeral port rests, open and deaf, for the
// time given by SetRest, so that the system cannot hand its port to a later
// request while an answer to it can still arrive (see uRestingSockets.h).
//
// Threads: every public operation is called from the owner's thread. The
// handler runs on the listener thread, under the socket's own lock; closing
// a socket (Renew, Deactivate, the destructor) takes the same lock, so once
// they return the handler never runs for the closed socket again. Never call
// Renew() or Deactivate() from inside the handler.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

namespace tavex {

class TUdpSocket {
 public:
  // Datagram bytes, sender IP and port, the time the datagram reached this
  // host (CLOCK_REALTIME, nanoseconds; 0 when the system did not say), and
  // the generation of the socket it arrived on (see Generation()).
  using THandler = std::function<void(const uint8_t*, size_t, const std::string&, uint16_t,
                                      int64_t, uint64_t)>;

  explicit TUdpSocket(THandler Handler);
  ~TUdpSocket();
  TUdpSocket(const TUdpSocket&) = delete;
  TUdpSocket& operator=(const TUdpSocket&) = delete;

  // Local binding used by the next Activate() or Renew(). An empty IP means
  // any address. Port 0: a new ephemeral port for every socket opened.
  void SetBinding(const std::string& IP, uint16_t Port);
  // Removes the binding: the next socket binds to any address, port 0.
  void ClearBinding();
  bool HasBinding() const;

  // Opens a socket (broadcast enabled, no address reuse) on the binding and
  // starts delivering its datagrams, unless one is open. True when a socket
  // is open afterwards. Never throws.
  bool Activate();
  // Closes the open socket, if any, and opens a new one on the same binding
  // (with port 0: another ephemeral port). Datagrams still queued on the old
  // socket are discarded unread and counted in Discarded(). False when the
  // new socket cannot be opened; the socket is then inactive. Never throws.
  bool Renew();
  // Closes the socket (an ephemeral port rests first, see SetRest). Never
  // throws.
  void Deactivate();
  // How long the open socket rests, deaf, once Renew replaces it or
  // Deactivate ends it: nothing that arrives then is delivered, and its port
  // stays taken. 0 (the default): it closes at once. A socket bound to a
  // fixed port always closes at once (the next socket needs the port).
  void SetRest(uint32_t Ms);
  // Sockets of this layer resting now.
  size_t Resting() const;
  bool Active() const;

  // Sends one datagram from the open socket. An inactive socket is activated
  // first. Host is a dotted quad or a host name (looked up). False on any
  // error.
  bool SendTo(const uint8_t* Data, size_t Size, const std::string& Host, uint16_t Port);

  // Receive buffer to ask the system for, in bytes, for every socket opened
  // from now on and at once for the open one (0: new sockets keep the
  // system's default; the open one keeps what it has). The system may grant
  // less: see ReceiveBuffer(). Never throws.
  void SetReceiveBuffer(size_t Bytes);
  // The receive buffer the system granted the open socket, in its own count
  // (Linux counts its bookkeeping of each queued datagram in it and reports
  // twice the size asked); 0 when inactive or not known.
  size_t ReceiveBuffer() const;
  // Datagrams the system dropped on the open socket since it was opened,
  // mostly because its receive queue was full; 0 when inactive, and always 0
  // where the system does not tell (Windows).
  uint64_t Overflows() const;

  // Local port of the open socket, 0 when inactive.
  uint16_t LocalPort() const;
  // Number of the open socket: it grows by one with every socket opened and
  // is handed to the handler with each datagram; 0 when inactive.
  uint64_t Generation() const;
  // Datagrams discarded unread when their socket was replaced, closed or
  // ended its rest.
  uint64_t Discarded() const;
  // Told of each of those datagrams: the generation of the socket it
  // reached, and when it reached this host (CLOCK_REALTIME, ns; 0 where the
  // system does not tell, Windows). Called on the thread that discards
  // (the owner's, or the destructor's) with the socket's lock held; must
  // not call this socket. Set before the socket is used.
  using TDiscardHandler = std::function<void(uint64_t Generation, int64_t ArrivalNs)>;
  void SetDiscardHandler(TDiscardHandler Handler);
  // Ends every rest now: the resting sockets close, and what reached them
  // is discarded as above.
  void EndRests();

 private:
  struct TImpl;
  std::unique_ptr<TImpl> Impl_;
};

}  // namespace tavex

// A whole network answering one broadcast at once: on each broadcast it
// hears, the station sends Count answers (NADs 1000, 1001, ... from
// 127.0.0.2) in one burst, while the communicator's listener is held (it
// waits in OnTrace until the burst is out), so that the answers pile up in
// the listening socket's queue as they do when they come faster than they
// are read. What the queue cannot hold is dropped by the system.
#pragma once

#include <asio.hpp>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "comm/uCommunication.h"
#include "tests/comm/TestPeer.h"
#include "tests/support/TestFrames.h"

namespace tavex::test {

class TBurst {
 public:
  // Holds Comm's listener during each broadcast while Hold is true. Comm
  // may outlive the station: its hook keeps only what it shares.
  TBurst(TCommunicator& Comm, int Count, uint16_t Port = 8442)
      : Tx_(Io_, {asio::ip::make_address_v4("127.0.0.2"), 0}),
        Bcast_("127.255.255.255", Port,
               TPeer::TScriptFrom([this, Count](const std::vector<uint8_t>&, uint16_t ToolPort) {
                 {
                   std::lock_guard<std::mutex> g(S_->Lock);
                   ++S_->Heard;
                 }
                 // Sent synchronously: once Sent is up, every datagram of
                 // this burst is in the tool's queue or was dropped.
                 for (int i = 0; i < Count; ++i) {
                   asio::error_code ec;
                   Tx_.send_to(asio::buffer(AnswerFrame(static_cast<uint32_t>(1000 + i), 1, 1, 0, {})),
                               {asio::ip::make_address_v4("127.0.0.1"), ToolPort}, 0, ec);
                 }
                 {
                   std::lock_guard<std::mutex> g(S_->Lock);
                   ++S_->Sent;
                 }
                 S_->Done.notify_all();
                 return std::vector<std::vector<uint8_t>>{};
               })) {
    Comm.OnTrace = [s = S_](bool Sent, const std::string&, uint16_t, const uint8_t*, size_t) {
      if (Sent || !s->Hold.load()) return;
      std::unique_lock<std::mutex> l(s->Lock);
      s->Done.wait_for(l, std::chrono::seconds(10), [&] { return s->Sent >= s->Heard; });
    };
  }
  ~TBurst() { S_->Hold = false; }
  int Broadcasts() const { return Bcast_.Requests(); }
  void Hold(bool Value) { S_->Hold = Value; }

 private:
  struct TShared {
    std::mutex Lock;
    std::condition_variable Done;
    int Heard = 0;
    int Sent = 0;
    std::atomic<bool> Hold{true};
  };
  std::shared_ptr<TShared> S_ = std::make_shared<TShared>();
  asio::io_context Io_;
  asio::ip::udp::socket Tx_;
  TPeer Bcast_;  // last: its thread runs the script, which uses the fields above
};

}  // namespace tavex::test

#pragma once
// Windows only: the socket library's start-up and clean-up as an object.
// Winsock counts its starts, so every user holds a session of its own for
// as long as it uses sockets or host functions: the adapter and host lookups
// one per call, a communicator's socket layer one for its whole life.
//
// Threads: any; WSAStartup and WSACleanup may be called from any thread.

namespace tavex {

class TWinsockSession {
 public:
  TWinsockSession();   // WSAStartup, version 2.2
  ~TWinsockSession();  // WSACleanup, when the start succeeded
  TWinsockSession(const TWinsockSession&) = delete;
  TWinsockSession& operator=(const TWinsockSession&) = delete;

  // False when the socket library could not start: nothing of it may be used.
  bool Started() const { return Started_; }

 private:
  bool Started_ = false;
};

}  // namespace tavex

#include "hostutil/uWinsock.h"

#include <winsock2.h>

namespace tavex {

TWinsockSession::TWinsockSession() {
  WSADATA data;
  Started_ = ::WSAStartup(MAKEWORD(2, 2), &data) == 0;
}

TWinsockSession::~TWinsockSession() {
  if (Started_) ::WSACleanup();
}

}  // namespace tavex

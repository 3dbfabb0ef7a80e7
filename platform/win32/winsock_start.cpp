#include "platform/win32/winsock_start.h"

#include <winsock2.h>

bool StartWinsock() {
  // Never cleaned up: workers may still use sockets while the process exits.
  static const bool started = [] {
    WSADATA data;
    return WSAStartup(MAKEWORD(2, 2), &data) == 0;
  }();
  return started;
}

#include "platform/socket_waits.h"

#include <winsock2.h>

bool SetSocketBlocking(SocketHandle s, bool blocking) {
  u_long nonBlocking = blocking ? 0 : 1;
  return ioctlsocket(static_cast<SOCKET>(s), FIONBIO, &nonBlocking) == 0;
}

int WaitForSocket(SocketHandle s, bool toSend, int timeoutMs) {
  WSAPOLLFD p{static_cast<SOCKET>(s), static_cast<SHORT>(toSend ? POLLWRNORM : POLLRDNORM), 0};
  int ready = WSAPoll(&p, 1, timeoutMs < 0 ? -1 : timeoutMs);
  return ready == SOCKET_ERROR ? -1 : ready;
}

long SendSomeNow(SocketHandle s, const char* data, size_t size) {
  // Windows raises no signal for a peer that has gone.
  int n = ::send(static_cast<SOCKET>(s), data, static_cast<int>(size), 0);
  return n == SOCKET_ERROR ? -1 : n;
}

int SystemSocketError() {
  return WSAGetLastError();
}

#include "platform/socket_waits.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>

#include <cerrno>

bool SetSocketBlocking(SocketHandle s, bool blocking) {
  int flags = ::fcntl(s, F_GETFL);
  if (flags < 0) return false;
  return ::fcntl(s, F_SETFL, blocking ? flags & ~O_NONBLOCK : flags | O_NONBLOCK) == 0;
}

int WaitForSocket(SocketHandle s, bool toSend, int timeoutMs) {
  pollfd p{s, static_cast<short>(toSend ? POLLOUT : POLLIN), 0};
  int ready;
  while ((ready = ::poll(&p, 1, timeoutMs)) < 0 && errno == EINTR) {
  }
  return ready < 0 ? -1 : ready;
}

long SendSomeNow(SocketHandle s, const char* data, size_t size) {
  return ::send(s, data, size, MSG_NOSIGNAL);
}

int SystemSocketError() {
  return errno;
}

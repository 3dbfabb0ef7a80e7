#include "platform/delayed_close.h"

#include <winsock2.h>
#include <ws2tcpip.h>

#include <chrono>
#include <cstdint>
#include <memory>
#include <mutex>
#include <span>

#include "platform/socket.h"
#include "platform/thread.h"
#include "platform/win32/winsock_start.h"

namespace {

using Clock = std::chrono::steady_clock;

// The closing thread only waits and closes; a small stack is plenty.
constexpr size_t kCloserStackBytes = 64 * 1024;
// Connections closed per pass outside the lock.
constexpr size_t kCloseBatch = 64;

struct Pending {
  SOCKET socket;  // INVALID_SOCKET once closed early
  Clock::time_point deadline;
};

// Connections wait in a ring in the order they were handed over: every exchange waits the same
// delay, so the first to come is the first due. There is no epoll: each pass polls the waiting
// connections and a loopback datagram socket, on which a hand-over wakes the closer.
struct Closer {
  std::mutex lock;
  std::unique_ptr<Pending[]> ring;
  size_t capacity = 0;
  size_t head = 0;
  size_t count = 0;
  bool wakeSent = false;  // a wake-up is on its way: later hand-overs need not send another
  SOCKET wakeReceiver = INVALID_SOCKET;
  SOCKET wakeSender = INVALID_SOCKET;
  // The closing thread's own: the poll set and the ring slot of each entry after the first.
  std::unique_ptr<WSAPOLLFD[]> polled;
  std::unique_ptr<size_t[]> polledSlot;
};

// Never destroyed: the closing thread runs until the process ends.
Closer& TheCloser() {
  static Closer* closer = new Closer;
  return *closer;
}

void CloseAll(std::span<const SOCKET> sockets) {
  for (SOCKET s : sockets) {
    shutdown(s, SD_BOTH);
    closesocket(s);
  }
}

// Takes the connections that are due out of the ring, at most due.size(); returns how many, and
// sets *timeout to the milliseconds until the next deadline (-1 for none, 0 to come back at once).
size_t TakeDue(Closer& c, std::span<SOCKET> due, int* timeout) {
  auto now = Clock::now();
  size_t taken = 0;
  *timeout = -1;
  while (c.count > 0) {
    Pending& p = c.ring[c.head];
    if (p.socket != INVALID_SOCKET && p.deadline > now) {
      *timeout =
          static_cast<int>(std::chrono::ceil<std::chrono::milliseconds>(p.deadline - now).count());
      break;
    }
    if (p.socket != INVALID_SOCKET && taken == due.size()) {
      *timeout = 0;
      break;
    }
    if (p.socket != INVALID_SOCKET) due[taken++] = p.socket;
    c.head = (c.head + 1) % c.capacity;
    --c.count;
  }
  return taken;
}

// Fills the poll set: the wake-up socket first, then each connection still waiting.
ULONG ListPolled(Closer& c) {
  c.polled[0] = {c.wakeReceiver, POLLRDNORM, 0};
  ULONG n = 1;
  for (size_t i = 0; i < c.count; ++i) {
    size_t slot = (c.head + i) % c.capacity;
    const Pending& p = c.ring[slot];
    if (p.socket == INVALID_SOCKET) continue;
    c.polled[n] = {p.socket, POLLRDNORM, 0};
    c.polledSlot[n] = slot;
    ++n;
  }
  c.wakeSent = false;
  return n;
}

// Reads and drops what the peer has sent, one receive's worth (the poll says there is some, so
// it does not wait; more comes back on the next pass). True once the peer has closed or failed.
bool DrainedToEnd(SOCKET s) {
  static char dropped[16384];  // only the closing thread reads into it, and nothing looks at it
  return recv(s, dropped, sizeof dropped, 0) <= 0;
}

// Takes the connections whose peers have closed, as the poll says, dropping what others sent:
// a connection closed with unread bytes is reset, and the reset can take our last bytes away.
size_t TakeClosedByPeer(Closer& c, ULONG polled, std::span<SOCKET> due) {
  size_t taken = 0;
  for (ULONG i = 1; i < polled && taken < due.size(); ++i) {
    SHORT events = c.polled[i].revents;
    if (events == 0) continue;
    Pending& p = c.ring[c.polledSlot[i]];
    if (p.socket != c.polled[i].fd) continue;
    if ((events & (POLLHUP | POLLERR)) != 0 || DrainedToEnd(p.socket)) {
      due[taken++] = p.socket;
      p.socket = INVALID_SOCKET;  // its slot stays in the ring until the front reaches it
    }
  }
  return taken;
}

void DrainWakeUps(SOCKET receiver) {
  char bytes[64];
  while (recv(receiver, bytes, sizeof bytes, 0) > 0) {
  }
}

void CloserLoop() {
  Closer& c = TheCloser();
  SOCKET due[kCloseBatch];
  for (;;) {
    int timeout;
    size_t taken;
    ULONG polled;
    {
      std::lock_guard<std::mutex> hold(c.lock);
      taken = TakeDue(c, due, &timeout);
      polled = ListPolled(c);
    }
    CloseAll({due, taken});
    int n = WSAPoll(c.polled.get(), polled, timeout);
    if (n <= 0) continue;
    if (c.polled[0].revents != 0) DrainWakeUps(c.wakeReceiver);
    {
      std::lock_guard<std::mutex> hold(c.lock);
      taken = TakeClosedByPeer(c, polled, due);
    }
    CloseAll({due, taken});
  }
}

// A pair of loopback datagram sockets: the receiver is polled, the sender is connected to it.
bool OpenWakeUp(SOCKET* receiver, SOCKET* sender) {
  *receiver = socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP);
  *sender = socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  int length = sizeof a;
  u_long nonBlocking = 1;
  if (*receiver != INVALID_SOCKET && *sender != INVALID_SOCKET &&
      bind(*receiver, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0 &&
      getsockname(*receiver, reinterpret_cast<sockaddr*>(&a), &length) == 0 &&
      connect(*sender, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0 &&
      ioctlsocket(*receiver, FIONBIO, &nonBlocking) == 0 &&
      ioctlsocket(*sender, FIONBIO, &nonBlocking) == 0) {
    return true;
  }
  if (*receiver != INVALID_SOCKET) closesocket(*receiver);
  if (*sender != INVALID_SOCKET) closesocket(*sender);
  return false;
}

}  // namespace

int StartDelayedClose(size_t capacity) {
  Closer& c = TheCloser();
  std::lock_guard<std::mutex> hold(c.lock);
  if (c.wakeReceiver != INVALID_SOCKET) return 1;
  if (capacity == 0 || !StartWinsock()) return 0;
  SOCKET receiver;
  SOCKET sender;
  if (!OpenWakeUp(&receiver, &sender)) return 0;
  // Left uninitialised: untouched slots cost no memory.
  c.ring.reset(new Pending[capacity]);
  c.polled.reset(new WSAPOLLFD[capacity + 1]);
  c.polledSlot.reset(new size_t[capacity + 1]);
  c.capacity = capacity;
  c.wakeReceiver = receiver;
  c.wakeSender = sender;
  if (StartDetachedThread(CloserLoop, kCloserStackBytes) == 0) {
    c.wakeReceiver = INVALID_SOCKET;
    closesocket(receiver);
    closesocket(sender);
    return 0;
  }
  return 1;
}

bool CloseLater(Socket& s, int delayMs) {
  Closer& c = TheCloser();
  bool wake;
  {
    std::lock_guard<std::mutex> hold(c.lock);
    if (c.wakeReceiver == INVALID_SOCKET || c.count == c.capacity) return false;
    size_t slot = (c.head + c.count) % c.capacity;
    c.ring[slot] = Pending{static_cast<SOCKET>(s.Release()),
                           Clock::now() + std::chrono::milliseconds(delayMs)};
    ++c.count;
    wake = !c.wakeSent;
    c.wakeSent = true;
  }
  // The closer polls a set it listed before this connection came: it must list it again.
  if (wake) send(c.wakeSender, "", 1, 0);
  return true;
}

#include "platform/delayed_close.h"

#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdint>
#include <memory>
#include <mutex>
#include <new>
#include <span>

#include "platform/memory.h"
#include "platform/socket.h"
#include "platform/thread.h"

namespace {

using Clock = std::chrono::steady_clock;

// The closing thread only waits and closes; a small stack is plenty.
constexpr size_t kCloserStackBytes = 64 * 1024;
// Events taken from the kernel per wake-up.
constexpr int kEventBatch = 64;
// Slots the ring starts with; it doubles when full, up to the capacity asked for. The ring is
// used round and round, so every slot it has is soon touched and resident: it is only as large
// as the most connections that ever waited at once needed.
constexpr size_t kFirstRingSlots = 1024;
// Marks the wake-up descriptor's events apart from those of a waiting connection.
constexpr uint64_t kWakeTag = ~uint64_t{0};
// The proxy counts as idle once no connection has been handed over for this long and none waits:
// well past a spare worker's two seconds in accept, so that those threads have ended and freed
// theirs too. Free memory is given back once per idle time, so at most this often.
constexpr auto kIdleAfter = std::chrono::seconds(5);

struct Pending {
  int fd;  // -1 once closed early
  uint32_t tag;
  Clock::time_point deadline;
};

// Connections wait in a ring in the order they were handed over: every exchange waits the same
// delay, so the first to come is the first due.
struct Closer {
  std::mutex lock;
  std::unique_ptr<Pending[]> ring;
  size_t capacity = 0;  // slots of the ring now
  size_t most = 0;      // slots it may grow to
  size_t head = 0;
  size_t count = 0;
  uint32_t nextTag = 0;
  // Connections handed over since free memory was last given back, and when the last one came.
  bool handedOver = false;
  Clock::time_point lastHandover;
  int epollFd = -1;
  int wakeFd = -1;
};

// Never destroyed: the closing thread runs until the process ends.
Closer& TheCloser() {
  static Closer* closer = new Closer;
  return *closer;
}

// Closes connections taken out of the ring, outside the lock, so that handing a connection over
// never waits for the closing of others. Those whose time has passed are shut down first; those
// whose peer has closed need no more than closing.
void CloseAll(std::span<const int> fds, bool shutDown) {
  for (int fd : fds) {
    if (shutDown) ::shutdown(fd, SHUT_RDWR);
    ::close(fd);  // also takes it out of the epoll set
  }
}

// Tells epoll which slot a waiting connection is in: its events carry the slot and the tag.
void Watch(const Closer& c, size_t slot, int op) {
  epoll_event e{};
  e.events = EPOLLIN | EPOLLRDHUP;
  e.data.u64 = (uint64_t{c.ring[slot].tag} << 32) | slot;
  ::epoll_ctl(c.epollFd, op, c.ring[slot].fd, &e);
}

// Doubles the ring, up to its most, keeping what waits in order from slot 0 on; false when it
// cannot grow. The connections that moved are told their new slots. An event the closing thread
// has already taken under an old slot then meets another tag there and is passed over; it comes
// again, as epoll reports a connection for as long as it has something to read.
bool GrowRing(Closer& c) {
  if (c.capacity >= c.most) return false;
  size_t slots = c.capacity * 2 < c.most ? c.capacity * 2 : c.most;
  std::unique_ptr<Pending[]> ring(new (std::nothrow) Pending[slots]);
  if (ring == nullptr) return false;
  for (size_t i = 0; i < c.count; ++i)
    ring[i] = c.ring[(c.head + i) % c.capacity];
  c.ring = std::move(ring);
  c.capacity = slots;
  c.head = 0;
  for (size_t i = 0; i < c.count; ++i) {
    if (c.ring[i].fd >= 0) Watch(c, i, EPOLL_CTL_MOD);
  }
  return true;
}

// Takes the connections that are due out of the ring, at most due.size(); returns how many, and
// sets *timeout to the milliseconds until the next deadline (-1 for none, 0 to come back at once).
size_t TakeDue(Closer& c, std::span<int> due, int* timeout) {
  auto now = Clock::now();
  size_t taken = 0;
  *timeout = -1;
  while (c.count > 0) {
    Pending& p = c.ring[c.head];
    if (p.fd >= 0 && p.deadline > now) {
      *timeout =
          static_cast<int>(std::chrono::ceil<std::chrono::milliseconds>(p.deadline - now).count());
      break;
    }
    if (p.fd >= 0 && taken == due.size()) {
      *timeout = 0;
      break;
    }
    if (p.fd >= 0) due[taken++] = p.fd;
    c.head = (c.head + 1) % c.capacity;
    --c.count;
  }
  return taken;
}

// With nothing waiting: true once the proxy has become idle after handing connections over, so
// that the free memory their exchanges left is to be given back now; until then *timeout becomes
// the wait for that moment.
bool TurnedIdle(Closer& c, int* timeout) {
  if (c.count > 0 || !c.handedOver) return false;
  auto left = c.lastHandover + kIdleAfter - Clock::now();
  if (left.count() > 0) {
    *timeout = static_cast<int>(std::chrono::ceil<std::chrono::milliseconds>(left).count());
    return false;
  }
  c.handedOver = false;
  return true;
}

// Reads and drops what the peer has sent. True once the peer has closed or failed, so that the
// connection is done; a few reads at most, so one busy peer cannot hold up the others (the
// event comes back while more is waiting).
bool DrainedToEnd(int fd) {
  static char dropped[16384];  // only the closing thread reads into it, and nothing looks at it
  for (int round = 0; round < 4; ++round) {
    ssize_t n = ::recv(fd, dropped, sizeof dropped, MSG_DONTWAIT);
    if (n == 0) return true;
    if (n < 0) return errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR;
  }
  return false;
}

// Takes the connections whose peers have closed, as the events say, dropping what others sent.
size_t TakeClosedByPeer(Closer& c, std::span<const epoll_event> events, std::span<int> due) {
  size_t taken = 0;
  for (const epoll_event& e : events) {
    uint64_t data = e.data.u64;
    if (data == kWakeTag) {
      uint64_t ignored;
      [[maybe_unused]] auto r = ::read(c.wakeFd, &ignored, sizeof ignored);
      continue;
    }
    Pending& p = c.ring[static_cast<size_t>(data & 0xFFFFFFFFu)];
    if (p.fd >= 0 && p.tag == static_cast<uint32_t>(data >> 32) && DrainedToEnd(p.fd)) {
      due[taken++] = p.fd;
      p.fd = -1;  // its slot stays in the ring until the front reaches it
    }
  }
  return taken;
}

void CloserLoop() {
  Closer& c = TheCloser();
  epoll_event events[kEventBatch];
  int due[kEventBatch];
  for (;;) {
    int timeout;
    size_t taken;
    bool idle;
    {
      std::lock_guard<std::mutex> hold(c.lock);
      taken = TakeDue(c, due, &timeout);
      idle = TurnedIdle(c, &timeout);
    }
    CloseAll({due, taken}, true);
    if (idle) ReturnFreeMemory();
    int n = ::epoll_wait(c.epollFd, events, kEventBatch, timeout);
    if (n <= 0) continue;
    {
      std::lock_guard<std::mutex> hold(c.lock);
      taken = TakeClosedByPeer(c, {events, static_cast<size_t>(n)}, due);
    }
    CloseAll({due, taken}, false);
  }
}

}  // namespace

int StartDelayedClose(size_t capacity) {
  Closer& c = TheCloser();
  std::lock_guard<std::mutex> hold(c.lock);
  if (c.epollFd >= 0) return 1;
  if (capacity == 0) return 0;
  int epollFd = ::epoll_create1(EPOLL_CLOEXEC);
  int wakeFd = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  epoll_event wake{};
  wake.events = EPOLLIN;
  wake.data.u64 = kWakeTag;
  if (epollFd < 0 || wakeFd < 0 || ::epoll_ctl(epollFd, EPOLL_CTL_ADD, wakeFd, &wake) != 0) {
    if (epollFd >= 0) ::close(epollFd);
    if (wakeFd >= 0) ::close(wakeFd);
    return 0;
  }
  c.capacity = capacity < kFirstRingSlots ? capacity : kFirstRingSlots;
  c.ring.reset(new Pending[c.capacity]);
  c.most = capacity;
  c.epollFd = epollFd;
  c.wakeFd = wakeFd;
  if (StartDetachedThread(CloserLoop, kCloserStackBytes) == 0) {
    c.epollFd = -1;
    ::close(epollFd);
    ::close(wakeFd);
    return 0;
  }
  return 1;
}

bool CloseLater(Socket& s, int delayMs) {
  Closer& c = TheCloser();
  std::lock_guard<std::mutex> hold(c.lock);
  if (c.epollFd < 0 || (c.count == c.capacity && !GrowRing(c))) return false;
  size_t slot = (c.head + c.count) % c.capacity;
  uint32_t tag = ++c.nextTag;
  c.lastHandover = Clock::now();
  c.handedOver = true;
  c.ring[slot] = Pending{s.Release(), tag, c.lastHandover + std::chrono::milliseconds(delayMs)};
  bool wasIdle = c.count++ == 0;
  Watch(c, slot, EPOLL_CTL_ADD);
  if (wasIdle) {
    uint64_t one = 1;
    [[maybe_unused]] auto r = ::write(c.wakeFd, &one, sizeof one);
  }
  return true;
}

#include "platform/delayed_close.h"

#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <memory>
#include <mutex>

#include "platform/socket.h"
#include "platform/thread.h"

namespace {

using Clock = std::chrono::steady_clock;

// The closing thread only waits and closes; a small stack is plenty.
constexpr size_t kCloserStackBytes = 64 * 1024;
// Events taken from the kernel per wake-up.
constexpr int kEventBatch = 64;
// Marks the wake-up descriptor's events apart from those of a waiting connection.
constexpr uint64_t kWakeTag = ~uint64_t{0};

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
  size_t capacity = 0;
  size_t head = 0;
  size_t count = 0;
  uint32_t nextTag = 0;
  int epollFd = -1;
  int wakeFd = -1;
};

// Never destroyed: the closing thread runs until the process ends.
Closer& TheCloser() {
  static Closer* closer = new Closer;
  return *closer;
}

void CloseNow(Pending& p) {
  if (p.fd < 0) return;
  ::shutdown(p.fd, SHUT_RDWR);
  ::close(p.fd);  // also takes it out of the epoll set
  p.fd = -1;
}

// Closes what is due; returns the milliseconds until the next deadline, or -1 for none.
int CloseDue(Closer& c) {
  auto now = Clock::now();
  while (c.count > 0) {
    Pending& p = c.ring[c.head];
    if (p.fd >= 0 && p.deadline > now) {
      auto left = std::chrono::ceil<std::chrono::milliseconds>(p.deadline - now);
      return static_cast<int>(left.count());
    }
    CloseNow(p);
    c.head = (c.head + 1) % c.capacity;
    --c.count;
  }
  return -1;
}

void CloserLoop() {
  Closer& c = TheCloser();
  epoll_event events[kEventBatch];
  for (;;) {
    int timeout;
    {
      std::lock_guard<std::mutex> hold(c.lock);
      timeout = CloseDue(c);
    }
    int n = ::epoll_wait(c.epollFd, events, kEventBatch, timeout);
    std::lock_guard<std::mutex> hold(c.lock);
    for (int i = 0; i < n; ++i) {
      uint64_t data = events[i].data.u64;
      if (data == kWakeTag) {
        uint64_t ignored;
        [[maybe_unused]] auto r = ::read(c.wakeFd, &ignored, sizeof ignored);
        continue;
      }
      Pending& p = c.ring[static_cast<size_t>(data & 0xFFFFFFFFu)];
      if (p.tag == static_cast<uint32_t>(data >> 32)) CloseNow(p);  // the peer has closed
    }
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
  c.ring.reset(new Pending[capacity]);  // left uninitialised: untouched slots cost no memory
  c.capacity = capacity;
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
  if (c.epollFd < 0 || c.count == c.capacity) return false;
  size_t slot = (c.head + c.count) % c.capacity;
  uint32_t tag = ++c.nextTag;
  c.ring[slot] = Pending{s.Release(), tag, Clock::now() + std::chrono::milliseconds(delayMs)};
  bool wasIdle = c.count++ == 0;
  // Only the peer's closing counts: a second request it sends meanwhile is never read.
  epoll_event e{};
  e.events = EPOLLRDHUP;
  e.data.u64 = (uint64_t{tag} << 32) | slot;
  ::epoll_ctl(c.epollFd, EPOLL_CTL_ADD, c.ring[slot].fd, &e);
  if (wasIdle) {
    uint64_t one = 1;
    [[maybe_unused]] auto r = ::write(c.wakeFd, &one, sizeof one);
  }
  return true;
}

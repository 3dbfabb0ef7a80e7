#include "platform/socket.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <ifaddrs.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <utility>

namespace {

thread_local int lastError = 0;

void RememberErrno() {
  lastError = (errno == ECONNRESET || errno == EPIPE) ? kErrorConnectionReset : errno;
}

}  // namespace

Socket& Socket::operator=(Socket&& other) noexcept {
  if (this != &other) {
    Close();
    fd_ = other.Release();
  }
  return *this;
}

SocketHandle Socket::Release() {
  SocketHandle fd = fd_;
  fd_ = -1;
  return fd;
}

void Socket::Close() {
  if (fd_ >= 0) ::close(fd_);
  fd_ = -1;
}

int LastErrorCode() {
  return lastError;
}

namespace {

// The address of a socket address of either family; none for another family.
IpAddress ToIpAddress(const sockaddr_storage& address) {
  IpAddress out;
  if (address.ss_family == AF_INET6) {
    const auto& a = reinterpret_cast<const sockaddr_in6&>(address);
    SetIpAddress({a.sin6_addr.s6_addr, 16}, &out);
  } else if (address.ss_family == AF_INET) {
    const auto& a = reinterpret_cast<const sockaddr_in&>(address);
    SetIpAddress({reinterpret_cast<const uint8_t*>(&a.sin_addr), 4}, &out);
  }
  return out;
}

// Opens one listening socket on address (numeric, or "*" for every address) at port.
Socket ListenOnAddress(std::string_view address, uint16_t port, int backlog,
                       const char** failedStep) {
  sockaddr_storage where{};
  socklen_t length = 0;
  bool everywhere = address == "*";
  IpAddress ip;
  if (!everywhere && !ParseIpAddress(address, &ip)) {
    errno = EINVAL;
    RememberErrno();
    *failedStep = "bind";
    return Socket();
  }
  // Every address: a dual-stack socket serves IPv4 clients as mapped addresses; IPv4 alone on a
  // machine without IPv6.
  bool v6 = everywhere || ip.length == 16;
  Socket s(::socket(v6 ? AF_INET6 : AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
  if (!s.Valid() && everywhere) {
    v6 = false;
    s = Socket(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
  }
  if (!s.Valid()) {
    RememberErrno();
    *failedStep = "listen";
    return Socket();
  }
  int only = everywhere ? 0 : 1;
  if (v6) ::setsockopt(s.Fd(), IPPROTO_IPV6, IPV6_V6ONLY, &only, sizeof only);
  // The proxy closes its clients' connections first, which leaves them waiting out TIME_WAIT on
  // this port; without this a restart could not bind for a minute.
  int on = 1;
  ::setsockopt(s.Fd(), SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
  if (v6) {
    auto& a = reinterpret_cast<sockaddr_in6&>(where);
    a.sin6_family = AF_INET6;
    a.sin6_port = htons(port);
    if (!everywhere) std::copy(ip.bytes, ip.bytes + 16, a.sin6_addr.s6_addr);
    length = sizeof a;
  } else {
    auto& a = reinterpret_cast<sockaddr_in&>(where);
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    if (!everywhere) std::copy(ip.bytes, ip.bytes + 4, reinterpret_cast<uint8_t*>(&a.sin_addr));
    length = sizeof a;
  }
  if (::bind(s.Fd(), reinterpret_cast<sockaddr*>(&where), length) != 0) {
    RememberErrno();
    *failedStep = "bind";
    return Socket();
  }
  if (::listen(s.Fd(), backlog) != 0) {
    RememberErrno();
    *failedStep = "listen";
    return Socket();
  }
  return s;
}

// The next address of a list separated by spaces or ";", from *at on; empty at the end.
std::string_view NextAddress(std::string_view list, size_t* at) {
  constexpr std::string_view kSeparators = " ;\t";
  size_t start = list.find_first_not_of(kSeparators, *at);
  if (start == std::string_view::npos) {
    *at = list.size();
    return {};
  }
  size_t end = std::min(list.find_first_of(kSeparators, start), list.size());
  *at = end;
  return list.substr(start, end - start);
}

void CloseKept(uintptr_t* fd) {
  if (*fd != 0) ::close(static_cast<int>(*fd - 1));
  *fd = 0;
}

// Descriptors are kept plus one, so that 0 stands for none.
int Descriptor(uintptr_t kept) {
  return static_cast<int>(kept) - 1;
}

}  // namespace

ListenerSet& ListenerSet::operator=(ListenerSet&& other) noexcept {
  if (this == &other) return *this;
  Close();
  for (size_t i = 0; i < other.count_; ++i)
    sockets_[i] = std::move(other.sockets_[i]);
  count_ = std::exchange(other.count_, 0);
  wait_ = std::exchange(other.wait_, 0);
  stop_ = std::exchange(other.stop_, 0);
  return *this;
}

void ListenerSet::Close() {
  for (size_t i = 0; i < count_; ++i)
    sockets_[i].Close();
  count_ = 0;
  CloseKept(&wait_);
  CloseKept(&stop_);
}

bool ListenOn(std::string_view addresses, uint16_t port, int backlog, ListenerSet* out,
              const char** failedStep, std::span<char> failedAddress) {
  ListenerSet set;
  int wait = ::epoll_create1(EPOLL_CLOEXEC);
  int stop = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  set.wait_ = wait >= 0 ? static_cast<uintptr_t>(wait) + 1 : 0;
  set.stop_ = stop >= 0 ? static_cast<uintptr_t>(stop) + 1 : 0;
  epoll_event stopEvent{EPOLLIN, {.u64 = kMostListeners}};
  if (wait < 0 || stop < 0 || ::epoll_ctl(wait, EPOLL_CTL_ADD, stop, &stopEvent) != 0) {
    RememberErrno();
    *failedStep = "listen";
    return false;
  }
  // An address the machine does not have (::1 where IPv6 is off) is passed over while another
  // listens; it fails the start only when none does.
  bool passedOver = false;
  size_t at = 0;
  for (std::string_view address = NextAddress(addresses, &at); !address.empty();
       address = NextAddress(addresses, &at)) {
    Socket s;
    if (set.count_ == kMostListeners) {
      errno = E2BIG;
      RememberErrno();
      *failedStep = "bind";
    } else {
      s = ListenOnAddress(address, port, backlog, failedStep);
    }
    // One client goes to one waiting worker: the socket is taken out of the wait until that
    // worker has accepted and put it back.
    epoll_event ready{EPOLLIN | EPOLLONESHOT, {.u64 = set.count_}};
    if (s.Valid() && ::epoll_ctl(wait, EPOLL_CTL_ADD, s.Fd(), &ready) != 0) {
      RememberErrno();
      *failedStep = "listen";
      s.Close();
    }
    if (!s.Valid()) {
      if (!failedAddress.empty())
        std::snprintf(failedAddress.data(), failedAddress.size(), "%.*s",
                      static_cast<int>(address.size()), address.data());
      if (ClassifyListenFailure(lastError) == ListenRefusal::kNotHere) {
        passedOver = true;
        continue;
      }
      return false;
    }
    set.sockets_[set.count_++] = std::move(s);
  }
  if (set.count_ == 0) {
    if (!passedOver) {  // an empty list listens nowhere: no proxy at all
      errno = EDESTADDRREQ;
      RememberErrno();
      *failedStep = "bind";
    }
    return false;
  }
  *out = std::move(set);
  return true;
}

// Parked connections' cookies are told apart from the listeners' indexes and the stop tag.
constexpr uint64_t kFirstCookie = kMostListeners + 1;

bool ParkInListenerSet(const ListenerSet& listeners, const Socket& s, uint64_t cookie) {
  if (listeners.wait_ == 0 || cookie == 0) return false;
  epoll_event next{EPOLLIN | EPOLLRDHUP | EPOLLONESHOT, {.u64 = cookie + kFirstCookie}};
  return ::epoll_ctl(Descriptor(listeners.wait_), EPOLL_CTL_ADD, s.Fd(), &next) == 0;
}

void UnparkFromListenerSet(const ListenerSet& listeners, const Socket& s) {
  if (listeners.wait_ != 0)
    ::epoll_ctl(Descriptor(listeners.wait_), EPOLL_CTL_DEL, s.Fd(), nullptr);
}

Socket AcceptClient(const ListenerSet& listeners, int timeoutMs, IpAddress* peer,
                    uint64_t* resumed) {
  if (resumed != nullptr) *resumed = 0;
  using Clock = std::chrono::steady_clock;
  auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
  for (;;) {
    int wait = timeoutMs;
    if (timeoutMs >= 0) {
      auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()).count();
      wait = left > 0 ? static_cast<int>(left) : 0;
    }
    epoll_event ready{};
    int n = ::epoll_wait(Descriptor(listeners.wait_), &ready, 1, wait);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      RememberErrno();
      return Socket();
    }
    if (n == 0) {
      lastError = EAGAIN;  // the time passed
      return Socket();
    }
    if (ready.data.u64 >= kFirstCookie) {  // a parked connection spoke: the caller's again
      if (resumed == nullptr) continue;
      *resumed = ready.data.u64 - kFirstCookie;
      lastError = 0;
      return Socket();
    }
    if (ready.data.u64 >= listeners.count_) {  // stopped
      lastError = EINTR;
      return Socket();
    }
    const Socket& listener = listeners.sockets_[ready.data.u64];
    sockaddr_storage from{};
    socklen_t length = sizeof from;
    int fd = ::accept4(listener.Fd(), reinterpret_cast<sockaddr*>(&from), &length, SOCK_CLOEXEC);
    int code = errno;
    epoll_event again{EPOLLIN | EPOLLONESHOT, {.u64 = ready.data.u64}};
    ::epoll_ctl(Descriptor(listeners.wait_), EPOLL_CTL_MOD, listener.Fd(), &again);
    if (fd >= 0) {
      if (peer != nullptr) *peer = ToIpAddress(from);
      return Socket(fd);
    }
    if (code == EAGAIN || code == EWOULDBLOCK) continue;  // another took it, or it went away
    errno = code;
    RememberErrno();
    return Socket();
  }
}

bool IsTransientAcceptError(int code) {
  switch (code) {
    case ECONNABORTED:
    case kErrorConnectionReset:
    case EMFILE:
    case ENFILE:
    case ENOBUFS:
    case ENOMEM:
    case EPROTO:
    case EPERM:  // a firewall refused the connection
      return true;
    default:
      return false;
  }
}

bool IsAcceptTimeout(int code) {
  return code == EAGAIN || code == EWOULDBLOCK;
}

void InterruptAccept(const ListenerSet& listeners) {
  // No connection is queued from now on, even before the last worker has left and closed them.
  for (size_t i = 0; i < listeners.count_; ++i)
    ::shutdown(listeners.sockets_[i].Fd(), SHUT_RDWR);
  if (listeners.stop_ == 0) return;
  uint64_t one = 1;
  [[maybe_unused]] ssize_t n = ::write(Descriptor(listeners.stop_), &one, sizeof one);
}

bool ParseIpAddress(std::string_view text, IpAddress* out) {
  if (text.size() > 2 && text.front() == '[' && text.back() == ']')
    text = text.substr(1, text.size() - 2);
  char copy[64];
  if (text.empty() || text.size() >= sizeof copy) return false;
  std::copy(text.begin(), text.end(), copy);
  copy[text.size()] = '\0';
  uint8_t bytes[16];
  if (::inet_pton(AF_INET, copy, bytes) == 1) {
    SetIpAddress({bytes, 4}, out);
    return true;
  }
  if (::inet_pton(AF_INET6, copy, bytes) == 1) {
    SetIpAddress({bytes, 16}, out);
    return true;
  }
  return false;
}

bool IsOwnAddress(const IpAddress& a) {
  ifaddrs* list = nullptr;
  if (::getifaddrs(&list) != 0) return false;
  bool own = false;
  for (ifaddrs* i = list; i != nullptr && !own; i = i->ifa_next) {
    if (i->ifa_addr == nullptr) continue;
    sockaddr_storage address{};
    if (i->ifa_addr->sa_family == AF_INET)
      std::memcpy(&address, i->ifa_addr, sizeof(sockaddr_in));
    else if (i->ifa_addr->sa_family == AF_INET6)
      std::memcpy(&address, i->ifa_addr, sizeof(sockaddr_in6));
    else
      continue;
    own = ToIpAddress(address) == a;
  }
  ::freeifaddrs(list);
  return own;
}

namespace {

ConnectResult FailedConnect(int code) {
  switch (code) {
    case ECONNREFUSED:
      return ConnectResult::kRefused;
    case ETIMEDOUT:
      return ConnectResult::kTimedOut;
    default:
      return ConnectResult::kUnreachable;
  }
}

timeval TimeLimit(int timeoutMs) {
  timeval limit{};
  limit.tv_sec = timeoutMs / 1000;
  limit.tv_usec = (timeoutMs % 1000) * 1000;
  return limit;
}

// Connects s to address within timeoutMs (more than 0). 0 when connected, else the error code.
// A blocking connect gives up once the socket's send timeout has passed, failing with
// EINPROGRESS: one call bounds it, where a non-blocking connect and its poll take five.
int ConnectWithin(const Socket& s, const sockaddr* address, socklen_t length, int timeoutMs) {
  timeval limit = TimeLimit(timeoutMs);
  ::setsockopt(s.Fd(), SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof limit);
  if (::connect(s.Fd(), address, length) == 0) return 0;
  int code = errno;
  if (code == EINPROGRESS) return ETIMEDOUT;
  if (code != EINTR) return code;
  // A signal cut the wait short; the connect goes on by itself, so wait for its outcome.
  pollfd p{s.Fd(), POLLOUT, 0};
  int ready;
  while ((ready = ::poll(&p, 1, timeoutMs)) < 0 && errno == EINTR) {
  }
  if (ready == 0) return ETIMEDOUT;
  if (ready < 0) return errno;
  socklen_t size = sizeof code;
  if (::getsockopt(s.Fd(), SOL_SOCKET, SO_ERROR, &code, &size) != 0) return errno;
  return code;
}

}  // namespace

namespace {

// The addresses of host, or null with LastErrorCode() set. Free with freeaddrinfo.
addrinfo* Resolve(const char* host, uint16_t port) {
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_flags = AI_NUMERICSERV;
  char service[8];
  std::snprintf(service, sizeof service, "%u", static_cast<unsigned>(port));
  addrinfo* list = nullptr;
  // No AI_ADDRCONFIG: it asks the kernel for the machine's addresses on every call, and an
  // address of a family the machine cannot reach just fails its connect and the next is tried.
  int rc = ::getaddrinfo(host, service, &hints, &list);
  if (rc == 0 && list != nullptr) return list;
  lastError = rc == EAI_SYSTEM ? errno : rc;
  if (list != nullptr) ::freeaddrinfo(list);
  return nullptr;
}

// kConnected when every address passes the check.
ConnectResult Judge(const addrinfo* list, uint16_t port, const AddressCheck& check) {
  for (const addrinfo* a = list; a != nullptr; a = a->ai_next) {
    sockaddr_storage address{};
    std::memcpy(&address, a->ai_addr, std::min<size_t>(a->ai_addrlen, sizeof address));
    ConnectResult verdict = check.judge(ToIpAddress(address), port, check.context);
    if (verdict != ConnectResult::kConnected) return verdict;
  }
  return ConnectResult::kConnected;
}

}  // namespace

ConnectResult CheckHostAddresses(const char* host, uint16_t port, const AddressCheck& check) {
  addrinfo* list = Resolve(host, port);
  if (list == nullptr) return ConnectResult::kNoHost;
  ConnectResult verdict = Judge(list, port, check);
  ::freeaddrinfo(list);
  return verdict;
}

ConnectResult ConnectToHost(const char* host, uint16_t port, int timeoutMs, Socket* out,
                            const AddressCheck* check) {
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  addrinfo* list = Resolve(host, port);
  if (list == nullptr) return ConnectResult::kNoHost;
  if (check != nullptr) {
    ConnectResult verdict = Judge(list, port, *check);
    if (verdict != ConnectResult::kConnected) {
      ::freeaddrinfo(list);
      return verdict;
    }
  }
  ConnectResult result = ConnectResult::kNoSocket;
  for (addrinfo* a = list; a != nullptr; a = a->ai_next) {
    Socket s(::socket(a->ai_family, a->ai_socktype | SOCK_CLOEXEC, a->ai_protocol));
    if (!s.Valid()) {
      RememberErrno();
      continue;
    }
    auto left =
        std::chrono::ceil<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    int code = left.count() > 0
                   ? ConnectWithin(s, a->ai_addr, a->ai_addrlen, static_cast<int>(left.count()))
                   : ETIMEDOUT;
    if (code == 0) {
      *out = std::move(s);
      result = ConnectResult::kConnected;
      break;
    }
    lastError = code;
    result = FailedConnect(code);
  }
  ::freeaddrinfo(list);
  return result;
}

void DescribeError(int code, std::span<char> text) {
  if (text.empty()) return;
  // Name lookups report their own codes, which are negative; system calls report errno values.
  const char* words = code < 0 ? ::gai_strerror(code) : nullptr;
  char scratch[128];
  if (words == nullptr) words = ::strerror_r(code, scratch, sizeof scratch);
  std::snprintf(text.data(), text.size(), "%s", words);
}

namespace {

long Receive(const Socket& s, std::span<char> buffer, int timeoutMs, int moreFlags) {
  for (;;) {
    // With a time limit, take what is there first and wait only when nothing is.
    int flags = (timeoutMs >= 0 ? MSG_DONTWAIT : 0) | moreFlags;
    ssize_t n = ::recv(s.Fd(), buffer.data(), buffer.size(), flags);
    if (n >= 0) return static_cast<long>(n);
    if (errno == EINTR) continue;
    if (timeoutMs < 0 || (errno != EAGAIN && errno != EWOULDBLOCK)) {
      RememberErrno();
      return -1;
    }
    if (timeoutMs == 0) return kReceiveTimedOut;
    pollfd p{s.Fd(), POLLIN, 0};
    int ready = ::poll(&p, 1, timeoutMs);
    if (ready == 0) return kReceiveTimedOut;
    if (ready < 0 && errno != EINTR) {
      RememberErrno();
      return -1;
    }
    timeoutMs = -1;  // readable now: the next receive does not block for long
  }
}

}  // namespace

long ReceiveSome(const Socket& s, std::span<char> buffer, int timeoutMs) {
  return Receive(s, buffer, timeoutMs, 0);
}

long PeekSome(const Socket& s, std::span<char> buffer, int timeoutMs) {
  return Receive(s, buffer, timeoutMs, MSG_PEEK);
}

int SendAll(const Socket& s, std::span<const char> bytes) {
  size_t sent = 0;
  while (sent < bytes.size()) {
    ssize_t n = ::send(s.Fd(), bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
    if (n < 0) {
      if (errno == EINTR) continue;
      RememberErrno();
      return 0;
    }
    sent += static_cast<size_t>(n);
  }
  return 1;
}

void ShutdownBoth(const Socket& s) {
  if (s.Valid()) ::shutdown(s.Fd(), SHUT_RDWR);
}

void ShutdownSend(const Socket& s) {
  if (s.Valid()) ::shutdown(s.Fd(), SHUT_WR);
}

void SetIdleTimeout(const Socket& s, int timeoutMs) {
  timeval limit = TimeLimit(timeoutMs);
  ::setsockopt(s.Fd(), SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
  ::setsockopt(s.Fd(), SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof limit);
}

void SendAtOnce(const Socket& s) {
  int one = 1;
  ::setsockopt(s.Fd(), IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
}

void SetReceiveTimeout(const Socket& s, int timeoutMs) {
  timeval limit = TimeLimit(timeoutMs);
  ::setsockopt(s.Fd(), SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
}

bool AcceptOnceDataArrives(const ListenerSet& listeners, int waitSeconds) {
  bool all = true;
  for (size_t i = 0; i < listeners.Count(); ++i)
    all = ::setsockopt(listeners.At(i).Fd(), IPPROTO_TCP, TCP_DEFER_ACCEPT, &waitSeconds,
                       sizeof waitSeconds) == 0 &&
          all;
  return all;
}

int WaitReadable(const Socket& a, const Socket& b, int timeoutMs) {
  pollfd p[2] = {{a.Fd(), POLLIN, 0}, {b.Fd(), POLLIN, 0}};
  int ready;
  while ((ready = ::poll(p, 2, timeoutMs)) < 0 && errno == EINTR) {
  }
  if (ready < 0) {
    RememberErrno();
    return -1;
  }
  constexpr short kReadable = POLLIN | POLLHUP | POLLERR;
  return ((p[0].revents & kReadable) != 0 ? kReadyA : 0) |
         ((p[1].revents & kReadable) != 0 ? kReadyB : 0);
}

int WaitReadableAny(std::span<const Socket* const> sockets, std::span<bool> ready, int timeoutMs) {
  pollfd p[kMostWaited];
  size_t count = std::min({sockets.size(), ready.size(), kMostWaited});
  for (size_t i = 0; i < count; ++i)
    p[i] = {sockets[i] != nullptr ? sockets[i]->Fd() : -1, POLLIN, 0};  // poll skips -1
  int found;
  while ((found = ::poll(p, count, timeoutMs)) < 0 && errno == EINTR) {
  }
  if (found < 0) {
    RememberErrno();
    return -1;
  }
  constexpr short kReadable = POLLIN | POLLHUP | POLLERR;
  for (size_t i = 0; i < count; ++i)
    ready[i] = (p[i].revents & kReadable) != 0;
  return found;
}

long RaiseDescriptorLimit() {
  rlimit limit{};
  if (::getrlimit(RLIMIT_NOFILE, &limit) != 0) return -1;
  if (limit.rlim_cur < limit.rlim_max) {
    limit.rlim_cur = limit.rlim_max;
    ::setrlimit(RLIMIT_NOFILE, &limit);
    ::getrlimit(RLIMIT_NOFILE, &limit);
  }
  return limit.rlim_cur == RLIM_INFINITY ? -1 : static_cast<long>(limit.rlim_cur);
}

namespace {

// Capacity asked for the splice pipe, and bytes moved per call: 1 MiB is the most an ordinary
// user's pipe may hold (fs.pipe-max-size).
constexpr size_t kSplicePipeBytes = 1024 * 1024;
constexpr size_t kSpliceBytes = kSplicePipeBytes;

}  // namespace

bool SplicePipe::Open() {
  // splice() has no MSG_NOSIGNAL: a client gone in the middle would raise SIGPIPE and end the
  // whole process. Ignoring it process-wide is what every server does; the call then fails with
  // EPIPE like a send.
  static const bool ignored = [] { return ::signal(SIGPIPE, SIG_IGN) != SIG_ERR; }();
  (void)ignored;
  int pipeFds[2];
  if (::pipe2(pipeFds, O_CLOEXEC) != 0) {
    RememberErrno();
    return false;
  }
  readEnd_ = Socket(pipeFds[0]);
  writeEnd_ = Socket(pipeFds[1]);
  // A larger pipe moves more per call; the system may refuse, and the default still works.
  ::fcntl(writeEnd_.Fd(), F_SETPIPE_SZ, static_cast<int>(kSplicePipeBytes));
  return true;
}

long SplicePipe::Move(const Socket& from, const Socket& to, size_t most) {
  ssize_t in;
  size_t take = std::min(kSpliceBytes, most);
  while ((in = ::splice(from.Fd(), nullptr, writeEnd_.Fd(), nullptr, take, SPLICE_F_MOVE)) < 0 &&
         errno == EINTR) {
  }
  if (in < 0) {
    RememberErrno();
    return -1;
  }
  for (ssize_t left = in; left > 0;) {
    ssize_t out = ::splice(readEnd_.Fd(), nullptr, to.Fd(), nullptr, static_cast<size_t>(left),
                           SPLICE_F_MOVE);
    if (out < 0 && errno == EINTR) continue;
    if (out <= 0) {
      RememberErrno();
      return kSpliceSinkFailed;
    }
    left -= out;
  }
  return static_cast<long>(in);
}

ListenRefusal ClassifyListenFailure(int code) {
  if (code == EADDRINUSE) return ListenRefusal::kInUse;
  if (code == EACCES || code == EPERM) return ListenRefusal::kNotAllowed;
  if (code == EADDRNOTAVAIL || code == EAFNOSUPPORT || code == EINVAL)
    return ListenRefusal::kNotHere;
  return ListenRefusal::kOther;
}

void DescribePortOwnerCommand(uint16_t port, std::span<char> text) {
  if (!text.empty()) std::snprintf(text.data(), text.size(), "ss -ltnp 'sport = :%u'", port);
}

void DescribeListeningAddress(const ListenerSet& listeners, std::span<char> text) {
  if (text.empty()) return;
  text[0] = '\0';
  size_t used = 0;
  for (size_t i = 0; i < listeners.Count() && used + 1 < text.size(); ++i) {
    sockaddr_storage address{};
    socklen_t length = sizeof address;
    if (::getsockname(listeners.At(i).Fd(), reinterpret_cast<sockaddr*>(&address), &length) != 0)
      continue;
    uint16_t port = ntohs(address.ss_family == AF_INET6
                              ? reinterpret_cast<const sockaddr_in6&>(address).sin6_port
                              : reinterpret_cast<const sockaddr_in&>(address).sin_port);
    if (used > 0)
      used += static_cast<size_t>(std::snprintf(text.data() + used, text.size() - used, ", "));
    if (used + 1 >= text.size()) break;
    FormatAddressAndPort(ToIpAddress(address).Bytes(), port, text.subspan(used));
    // An address cut short is still terminated: go on from its end.
    used += std::strlen(text.data() + used);
  }
}

void ResetOnClose(const Socket& s) {
  if (!s.Valid()) return;
  linger now{1, 0};
  ::setsockopt(s.Fd(), SOL_SOCKET, SO_LINGER, &now, sizeof now);
}

void ResetConnection(Socket* s) {
  ResetOnClose(*s);
  s->Close();
}

#include "platform/socket.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

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

Socket ListenOnPort(uint16_t port, int backlog, const char** failedStep) {
  // A dual-stack socket serves IPv4 clients as mapped addresses; fall back to IPv4 alone.
  bool v6 = true;
  Socket s(::socket(AF_INET6, SOCK_STREAM | SOCK_CLOEXEC, 0));
  if (!s.Valid()) {
    v6 = false;
    s = Socket(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
  }
  if (!s.Valid()) {
    RememberErrno();
    *failedStep = "listen";
    return Socket();
  }
  int off = 0;
  if (v6) ::setsockopt(s.Fd(), IPPROTO_IPV6, IPV6_V6ONLY, &off, sizeof off);
  // The proxy closes its clients' connections first, which leaves them waiting out TIME_WAIT on
  // this port; without this a restart could not bind for a minute.
  int on = 1;
  ::setsockopt(s.Fd(), SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
  int rc;
  if (v6) {
    sockaddr_in6 a{};
    a.sin6_family = AF_INET6;
    a.sin6_port = htons(port);
    a.sin6_addr = in6addr_any;
    rc = ::bind(s.Fd(), reinterpret_cast<sockaddr*>(&a), sizeof a);
  } else {
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    a.sin_addr.s_addr = htonl(INADDR_ANY);
    rc = ::bind(s.Fd(), reinterpret_cast<sockaddr*>(&a), sizeof a);
  }
  if (rc != 0) {
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

Socket AcceptClient(const Socket& listener) {
  int fd = ::accept4(listener.Fd(), nullptr, nullptr, SOCK_CLOEXEC);
  if (fd < 0) RememberErrno();
  return Socket(fd);
}

bool IsTransientAcceptError(int code) {
  switch (code) {
    case EINTR:
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

void InterruptAccept(const Socket& listener) {
  ::shutdown(listener.Fd(), SHUT_RDWR);
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

ConnectResult ConnectToHost(const char* host, uint16_t port, int timeoutMs, Socket* out) {
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
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
  if (rc != 0 || list == nullptr) {
    lastError = rc == EAI_SYSTEM ? errno : rc;
    return ConnectResult::kNoHost;
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

long ReceiveSome(const Socket& s, std::span<char> buffer, int timeoutMs) {
  for (;;) {
    // With a time limit, take what is there first and wait only when nothing is.
    int flags = timeoutMs >= 0 ? MSG_DONTWAIT : 0;
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

bool AcceptOnceDataArrives(const Socket& listener, int waitSeconds) {
  return ::setsockopt(listener.Fd(), IPPROTO_TCP, TCP_DEFER_ACCEPT, &waitSeconds,
                      sizeof waitSeconds) == 0;
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

long SplicePipe::Move(const Socket& from, const Socket& to) {
  ssize_t in;
  while ((in = ::splice(from.Fd(), nullptr, writeEnd_.Fd(), nullptr, kSpliceBytes, SPLICE_F_MOVE)) <
             0 &&
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
  return ListenRefusal::kOther;
}

void DescribePortOwnerCommand(uint16_t port, std::span<char> text) {
  if (!text.empty()) std::snprintf(text.data(), text.size(), "ss -ltnp 'sport = :%u'", port);
}

void DescribeListeningAddress(const Socket& listener, std::span<char> text) {
  if (text.empty()) return;
  text[0] = '\0';
  sockaddr_storage address{};
  socklen_t length = sizeof address;
  if (::getsockname(listener.Fd(), reinterpret_cast<sockaddr*>(&address), &length) != 0) return;
  if (address.ss_family == AF_INET6) {
    const auto& a = reinterpret_cast<const sockaddr_in6&>(address);
    FormatAddressAndPort({a.sin6_addr.s6_addr, 16}, ntohs(a.sin6_port), text);
  } else if (address.ss_family == AF_INET) {
    const auto& a = reinterpret_cast<const sockaddr_in&>(address);
    FormatAddressAndPort({reinterpret_cast<const uint8_t*>(&a.sin_addr), 4}, ntohs(a.sin_port),
                         text);
  }
}

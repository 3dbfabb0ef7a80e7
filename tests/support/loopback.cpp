#include "tests/support/loopback.h"

#ifdef _WIN32
#include <winsock2.h>
#include <ws2tcpip.h>
#else
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>
#endif

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

#ifdef _WIN32
// Sockets are handles on Windows; the tests' own stay small enough for an int.
constexpr int kNoSignal = 0;
constexpr int kShutWrite = SD_SEND;

int OpenSocket(int family) {
  static const bool started = [] {
    WSADATA data;
    return WSAStartup(MAKEWORD(2, 2), &data) == 0;
  }();
  return started ? static_cast<int>(::socket(family, SOCK_STREAM, 0)) : -1;
}
void CloseFd(int fd) {
  ::closesocket(static_cast<SOCKET>(fd));
}
int WaitReadable(int fd, int timeoutMs) {
  WSAPOLLFD p{static_cast<SOCKET>(fd), POLLRDNORM, 0};
  return ::WSAPoll(&p, 1, timeoutMs);
}
int AcceptOn(int fd) {
  return static_cast<int>(::accept(static_cast<SOCKET>(fd), nullptr, nullptr));
}
bool AcceptFailurePasses() {
  return WSAGetLastError() == WSAECONNRESET;
}
#else
constexpr int kNoSignal = MSG_NOSIGNAL;
constexpr int kShutWrite = SHUT_WR;
constexpr int kShutBoth = SHUT_RDWR;

int OpenSocket(int family) {
  return ::socket(family, SOCK_STREAM, 0);
}
void CloseFd(int fd) {
  ::close(fd);
}
int WaitReadable(int fd, int timeoutMs) {
  pollfd p{fd, POLLIN, 0};
  return ::poll(&p, 1, timeoutMs);
}
int AcceptOn(int fd) {
  return ::accept(fd, nullptr, nullptr);
}
bool AcceptFailurePasses() {
  return errno == EINTR || errno == ECONNABORTED;
}
#endif

sockaddr_in LoopbackAddress(uint16_t port) {
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(port);
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  return a;
}

// The value of the first header named `name` (any case) in head, or -1.
long HeaderNumber(std::string_view head, std::string_view name) {
  std::string lower(head);
  for (char& c : lower)
    c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  auto at = lower.find(name);
  if (at == std::string::npos) return -1;
  return std::strtol(lower.c_str() + at + name.size(), nullptr, 10);
}

}  // namespace

uint16_t FreeLoopbackPort() {
  int fd = OpenSocket(AF_INET);
  sockaddr_in a = LoopbackAddress(0);
  ::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
  socklen_t len = sizeof a;
  ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
  CloseFd(fd);
  return ntohs(a.sin_port);
}

int ListenOnLoopback(uint16_t* port, bool ipv6) {
  int fd = OpenSocket(ipv6 ? AF_INET6 : AF_INET);
  int on = 1;
  ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, reinterpret_cast<const char*>(&on), sizeof on);
  sockaddr_storage address{};
  socklen_t length;
  if (ipv6) {
    auto* a = reinterpret_cast<sockaddr_in6*>(&address);
    a->sin6_family = AF_INET6;
    a->sin6_addr = in6addr_loopback;
    length = sizeof *a;
  } else {
    *reinterpret_cast<sockaddr_in*>(&address) = LoopbackAddress(0);
    length = sizeof(sockaddr_in);
  }
  ::bind(fd, reinterpret_cast<sockaddr*>(&address), length);
  ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
  *port = ntohs(ipv6 ? reinterpret_cast<sockaddr_in6*>(&address)->sin6_port
                     : reinterpret_cast<sockaddr_in*>(&address)->sin_port);
  ::listen(fd, 64);
  return fd;
}

int ConnectLoopback(uint16_t port) {
  int fd = OpenSocket(AF_INET);
  sockaddr_in a = LoopbackAddress(port);
  if (::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
    CloseFd(fd);
    return -1;
  }
  return fd;
}

bool WriteAll(int fd, std::string_view bytes) {
  while (!bytes.empty()) {
    ssize_t n = ::send(fd, bytes.data(), bytes.size(), kNoSignal);
    if (n <= 0) return false;
    bytes.remove_prefix(static_cast<size_t>(n));
  }
  return true;
}

std::string ReadUntilClosed(int fd, std::chrono::milliseconds limit) {
  std::string got;
  char buf[16384];
  for (;;) {
    if (WaitReadable(fd, static_cast<int>(limit.count())) <= 0) break;
    ssize_t n = ::recv(fd, buf, sizeof buf, 0);
    if (n <= 0) break;
    got.append(buf, static_cast<size_t>(n));
  }
  return got;
}

std::string Exchange(uint16_t port, std::string_view request, std::chrono::milliseconds limit) {
  int fd = ConnectLoopback(port);
  if (fd < 0) return "<no connection>";
  WriteAll(fd, request);
  std::string answer = ReadUntilClosed(fd, limit);
  CloseFd(fd);
  return answer;
}

void CloseConnection(int fd) {
  CloseFd(fd);
}

void ShutdownSending(int fd) {
  ::shutdown(fd, kShutWrite);
}

static std::string WithLastLine(const std::string& message, const std::string& line) {
  auto end = message.find("\r\n\r\n");
  if (end == std::string::npos) return message;
  return message.substr(0, end + 2) + line + message.substr(end + 2);
}

std::string Closing(const std::string& answer) {
  return WithLastLine(answer, "Connection: close\r\n");
}

std::string Forwarded(const std::string& message) {
  return WithLastLine(message, "Connection: keep-alive\r\n");
}

// The length of the chunks at the start of body, up to the last (zero) one and the trailer's
// blank line; npos while they are incomplete.
static size_t ChunksLength(std::string_view body) {
  size_t at = 0;
  for (;;) {
    size_t lineEnd = body.find("\r\n", at);
    if (lineEnd == std::string_view::npos) return std::string_view::npos;
    size_t size = std::strtoul(std::string(body.substr(at, lineEnd - at)).c_str(), nullptr, 16);
    if (size == 0) {
      // From the size line's own end: trailer lines, if any, then a blank line.
      size_t end = body.find("\r\n\r\n", lineEnd);
      return end == std::string_view::npos ? end : end + 4;
    }
    if (body.size() < lineEnd + 2 + size + 2) return std::string_view::npos;
    at = lineEnd + 2 + size + 2;
  }
}

std::string Chunked(std::string_view body, size_t chunkBytes, std::string_view trailer) {
  std::string out;
  char size[32];
  for (size_t at = 0; at < body.size(); at += chunkBytes) {
    std::string_view piece = body.substr(at, chunkBytes);
    std::snprintf(size, sizeof size, "%zx\r\n", piece.size());
    out += size;
    out += piece;
    out += "\r\n";
  }
  return out + "0\r\n" + std::string(trailer) + "\r\n";
}

size_t RequestLength(std::string_view text) {
  auto headEnd = text.find("\r\n\r\n");
  if (headEnd == std::string_view::npos) return std::string_view::npos;
  std::string head(text.substr(0, headEnd + 2));
  for (char& c : head)
    c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  if (head.find("\ntransfer-encoding: chunked\r\n") != std::string::npos) {
    size_t chunks = ChunksLength(text.substr(headEnd + 4));
    return chunks == std::string_view::npos ? chunks : headEnd + 4 + chunks;
  }
  long declared = HeaderNumber(text.substr(0, headEnd + 2), "\ncontent-length:");
  size_t length = headEnd + 4 + static_cast<size_t>(std::max(declared, 0L));
  return text.size() >= length ? length : std::string_view::npos;
}

bool RequestComplete(std::string_view text) {
  return RequestLength(text) != std::string_view::npos;
}

TestOrigin::TestOrigin(std::string answer, bool ipv6, Reading reading)
    : answer_(std::move(answer)), reading_(reading) {
  listenFd_ = ListenOnLoopback(&port_, ipv6);
  thread_ = std::thread([this] { Serve(); });
}

TestOrigin::~TestOrigin() {
  stopping_ = true;  // a kept connection the proxy still pools must not hold the test
#ifdef _WIN32
  // shutdown does not wake accept on Windows; closing the listener does.
  CloseFd(listenFd_);
  thread_.join();
#else
  ::shutdown(listenFd_, kShutBoth);
  thread_.join();
  CloseFd(listenFd_);
#endif
  for (std::thread& t : kept_)
    t.join();
}

void TestOrigin::Serve() {
  for (;;) {
    int fd = AcceptOn(listenFd_);
    if (fd < 0) {
      if (AcceptFailurePasses()) continue;
      return;
    }
    connections_++;
    if (keepsAlive_) {
      // Each on its own thread: the proxy may open another while one is still kept.
      kept_.emplace_back([this, fd] {
        ServeKept(fd);
        CloseFd(fd);
      });
      continue;
    }
    std::string got;
    char buf[16384];
    while (reading_ == Reading::kToTheEnd || !RequestComplete(got)) {
      if (WaitReadable(fd, 2000) <= 0) break;
      ssize_t n = ::recv(fd, buf, sizeof buf, 0);
      if (n <= 0) break;
      got.append(buf, static_cast<size_t>(n));
    }
    Record(got);
    WriteAll(fd, answer_);
    if (int hold = holdOpenMs_.load(); hold > 0) WaitReadable(fd, hold);
    ::shutdown(fd, kShutWrite);
    CloseFd(fd);
  }
}

void TestOrigin::Record(const std::string& request) {
  {
    std::lock_guard<std::mutex> hold(lock_);
    requests_.push_back(request);
  }
  arrived_.notify_all();
}

void TestOrigin::ServeKept(int fd) {
  std::string got;
  char buf[16384];
  int answered = 0;
  for (;;) {
    size_t length = RequestLength(got);
    if (length != std::string::npos) {
      if (closeAfter_ > 0 && answered == closeAfter_) return;  // taken, and closed unanswered
      Record(got.substr(0, length));
      got.erase(0, length);
      if (!WriteAll(fd, answer_)) return;
      ++answered;
      continue;
    }
    int waited = 0;
    while (!stopping_ && waited < 10000 && WaitReadable(fd, 100) == 0)
      waited += 100;
    if (stopping_ || waited >= 10000) return;
    ssize_t n = ::recv(fd, buf, sizeof buf, 0);
    if (n <= 0) return;
    got.append(buf, static_cast<size_t>(n));
  }
}

std::string TestOrigin::Request(size_t index, std::chrono::milliseconds limit) {
  std::unique_lock<std::mutex> hold(lock_);
  if (!arrived_.wait_for(hold, limit, [&] { return requests_.size() > index; })) return "";
  return requests_[index];
}

size_t TestOrigin::RequestCount() {
  std::lock_guard<std::mutex> hold(lock_);
  return requests_.size();
}

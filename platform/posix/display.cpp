// Whether there is a display, judged on a connection of our own: Qt ends the whole process when
// the display it is given does not answer, so a stale DISPLAY (a closed session, an ssh login
// without its forwarding) would otherwise take the proxy down with it.
#include <netdb.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>

#include "platform/window_system_choice.h"

namespace {

// A display that has not answered by then is taken as absent.
constexpr int kAnswerTimeoutMs = 2000;
// X servers listen on TCP port 6000 plus the display number.
constexpr int kXTcpPortBase = 6000;
constexpr int kMostXDisplayNumber = 59535;  // 6000 + n stays a port number

const char* Value(const char* name) {
  const char* value = std::getenv(name);
  return value != nullptr && value[0] != '\0' ? value : nullptr;
}

// True when a stream connection to address is accepted within the time allowed.
bool Answers(int family, const sockaddr* address, socklen_t length) {
  int fd = ::socket(family, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  if (fd < 0) return false;
  bool connected = ::connect(fd, address, length) == 0;
  if (!connected && errno == EINPROGRESS) {
    pollfd p{fd, POLLOUT, 0};
    int error = 0;
    socklen_t size = sizeof error;
    connected = ::poll(&p, 1, kAnswerTimeoutMs) == 1 &&
                ::getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &size) == 0 && error == 0;
  }
  ::close(fd);
  return connected;
}

// A local socket by path, or in the abstract namespace, where X servers on Linux also listen.
bool LocalSocketAnswers(std::string_view path, bool abstract) {
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  size_t start = abstract ? 1 : 0;  // an abstract name follows a zero byte
  if (start + path.size() >= sizeof address.sun_path) return false;
  std::memcpy(address.sun_path + start, path.data(), path.size());
  size_t length = offsetof(sockaddr_un, sun_path) + start + path.size() + (abstract ? 0 : 1);
  return Answers(AF_UNIX, reinterpret_cast<const sockaddr*>(&address),
                 static_cast<socklen_t>(length));
}

bool TcpAnswers(const std::string& host, int port) {
  addrinfo hints{};
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* list = nullptr;
  if (::getaddrinfo(host.c_str(), std::to_string(port).c_str(), &hints, &list) != 0) return false;
  bool answered = false;
  for (addrinfo* a = list; a != nullptr && !answered; a = a->ai_next)
    answered = Answers(a->ai_family, a->ai_addr, a->ai_addrlen);
  ::freeaddrinfo(list);
  return answered;
}

// DISPLAY is "[host]:number[.screen]": no host or "unix" is the local socket, another host is
// reached over TCP. Forms this does not know are taken as answering, and Qt has the last word.
bool XDisplayAnswers(std::string_view display) {
  size_t colon = display.rfind(':');
  if (colon == std::string_view::npos || display.front() == '/') return true;
  std::string_view host = display.substr(0, colon);
  std::string_view number = display.substr(colon + 1);
  number = number.substr(0, number.find('.'));
  if (number.empty() || number.size() > 5 ||
      number.find_first_not_of("0123456789") != std::string_view::npos)
    return true;
  int n = std::atoi(std::string(number).c_str());
  if (n > kMostXDisplayNumber) return true;
  if (host.ends_with(':')) return true;  // "host::n" is DECnet
  if (host.empty() || host == "unix") {
    std::string path = "/tmp/.X11-unix/X" + std::string(number);
    return LocalSocketAnswers(path, true) || LocalSocketAnswers(path, false);
  }
  if (host.size() > 2 && host.front() == '[' && host.back() == ']')
    host = host.substr(1, host.size() - 2);
  return TcpAnswers(std::string(host), kXTcpPortBase + n);
}

// WAYLAND_DISPLAY is a socket path, absolute or in XDG_RUNTIME_DIR.
bool WaylandAnswers(std::string_view name) {
  if (name.front() == '/') return LocalSocketAnswers(name, false);
  const char* runtime = Value("XDG_RUNTIME_DIR");
  if (runtime == nullptr) return false;
  return LocalSocketAnswers(std::string(runtime) + "/" + std::string(name), false);
}

}  // namespace

bool DisplayNamed() {
  return Value("DISPLAY") != nullptr || Value("WAYLAND_DISPLAY") != nullptr;
}

bool HasDisplay() {
  const char* wayland = Value("WAYLAND_DISPLAY");
  const char* x = Value("DISPLAY");
  return (wayland != nullptr && WaylandAnswers(wayland)) || (x != nullptr && XDisplayAnswers(x));
}

void ReportUnreachableDisplay() {
  std::fprintf(stderr,
               "corvane: the display named by %s does not answer, going on without the "
               "tray icon\n",
               Value("WAYLAND_DISPLAY") != nullptr ? "WAYLAND_DISPLAY" : "DISPLAY");
}

#include "platform/posix/window_socket.h"

#include <sys/socket.h>
#include <sys/un.h>

#include <cerrno>
#include <cstring>

#include "platform/posix/runtime_dir.h"

namespace {

// One posted message on the wire; sender and receiver are the same program on the same machine.
struct WireMessage {
  uint32_t message;
  uint32_t reserved;
  uint64_t wParam;
  int64_t lParam;
};

int SocketAddress(std::u16string_view className, sockaddr_un* address, std::string* path) {
  if (RuntimeFilePath(className, ".window", path) == 0) return 0;
  if (path->size() >= sizeof address->sun_path) {
    errno = ENAMETOOLONG;
    return 0;
  }
  std::memset(address, 0, sizeof *address);
  address->sun_family = AF_UNIX;
  std::memcpy(address->sun_path, path->c_str(), path->size() + 1);
  return 1;
}

UniqueFd DatagramSocket(int extraFlags) {
  return UniqueFd(::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC | extraFlags, 0));
}

}  // namespace

BoundWindowSocket& BoundWindowSocket::operator=(BoundWindowSocket&& other) noexcept {
  if (this != &other) {
    Unbind();
    socket_ = std::move(other.socket_);
    path_ = std::move(other.path_);
  }
  return *this;
}

void BoundWindowSocket::Unbind() {
  if (socket_.Valid() && !path_.empty()) ::unlink(path_.c_str());
  socket_.Reset(-1);
  path_.clear();
}

BoundWindowSocket BindWindowSocket(std::u16string_view className) {
  sockaddr_un address;
  std::string path;
  if (SocketAddress(className, &address, &path) == 0) return {};
  UniqueFd socket = DatagramSocket(SOCK_NONBLOCK);
  if (!socket.Valid()) return {};
  ::unlink(path.c_str());  // a dead instance's socket, if any: we hold the mutex now
  if (::bind(socket.Get(), reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) return {};
  return BoundWindowSocket(std::move(socket), std::move(path));
}

UniqueFd ConnectWindowSocket(std::u16string_view className) {
  sockaddr_un address;
  std::string path;
  if (SocketAddress(className, &address, &path) == 0) return {};
  UniqueFd socket = DatagramSocket(0);
  if (!socket.Valid()) return {};
  // Connecting to a file that nobody is bound to fails with ECONNREFUSED: a stale socket.
  if (::connect(socket.Get(), reinterpret_cast<sockaddr*>(&address), sizeof address) != 0)
    return {};
  return socket;
}

int SendPostedMessage(int socket, const Message& message) {
  WireMessage wire{message.message, 0, message.wParam, message.lParam};
  return ::send(socket, &wire, sizeof wire, MSG_NOSIGNAL | MSG_DONTWAIT) ==
                 static_cast<ssize_t>(sizeof wire)
             ? 1
             : 0;
}

int ReceivePostedMessage(int socket, Message* message) {
  for (;;) {
    WireMessage wire;
    ssize_t n = ::recv(socket, &wire, sizeof wire, MSG_DONTWAIT | MSG_TRUNC);
    if (n < 0) return 0;
    if (n != static_cast<ssize_t>(sizeof wire)) continue;  // not one of ours
    *message = Message{Window::None, wire.message, static_cast<WParam>(wire.wParam),
                       static_cast<LParam>(wire.lParam)};
    return 1;
  }
}

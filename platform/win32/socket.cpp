#include "platform/socket.h"

#include <winsock2.h>
#include <ws2tcpip.h>

#include <chrono>
#include <cstdio>
#include <mutex>
#include <utility>

#include "platform/win32/winsock_start.h"

namespace {

thread_local int lastError = 0;

void RememberError() {
  int code = WSAGetLastError();
  switch (code) {
    case WSAECONNRESET:
    case WSAECONNABORTED:
    case WSAESHUTDOWN:
      lastError = kErrorConnectionReset;
      break;
    default:
      lastError = code;
  }
}

SOCKET Handle(const Socket& s) {
  return static_cast<SOCKET>(s.Fd());
}

// Accept on Windows has no time limit and is not woken by shutdown, so a listener is waited on
// through two events: one Winsock sets when a client is pending, one StopAccept sets for good.
// The listener itself is non-blocking; a worker resets the first event, tries accept, and waits
// only when none is pending, so a client that arrives meanwhile sets the event again.
struct ListenerEvents {
  SOCKET socket = INVALID_SOCKET;
  HANDLE pending = nullptr;
  HANDLE stop = nullptr;
  DWORD lingerMs = INFINITE;
};

// Listeners open at one time: the program has one, a test that restarts the server briefly two.
constexpr size_t kMostListeners = 8;

struct ListenerTable {
  std::mutex lock;
  ListenerEvents slots[kMostListeners];
};

// Never destroyed: workers may outlive main.
ListenerTable& Listeners() {
  static ListenerTable* table = new ListenerTable;
  return *table;
}

// Copies the events of a listener; false when the socket is none.
bool FindListener(SOCKET s, ListenerEvents* out) {
  ListenerTable& t = Listeners();
  std::lock_guard<std::mutex> hold(t.lock);
  for (const ListenerEvents& e : t.slots) {
    if (e.socket == s) {
      *out = e;
      return true;
    }
  }
  return false;
}

bool AddListener(SOCKET s) {
  HANDLE pending = WSACreateEvent();
  HANDLE stop = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  ListenerTable& t = Listeners();
  std::lock_guard<std::mutex> hold(t.lock);
  for (ListenerEvents& e : t.slots) {
    if (e.socket != INVALID_SOCKET || pending == WSA_INVALID_EVENT || stop == nullptr) continue;
    if (WSAEventSelect(s, pending, FD_ACCEPT) != 0) break;
    e = ListenerEvents{s, pending, stop, INFINITE};
    return true;
  }
  if (pending != WSA_INVALID_EVENT) WSACloseEvent(pending);
  if (stop != nullptr) CloseHandle(stop);
  return false;
}

void RemoveListener(SOCKET s) {
  ListenerTable& t = Listeners();
  std::lock_guard<std::mutex> hold(t.lock);
  for (ListenerEvents& e : t.slots) {
    if (e.socket != s) continue;
    WSACloseEvent(e.pending);
    CloseHandle(e.stop);
    e = ListenerEvents{};
  }
}

bool SetListenerLinger(SOCKET s, DWORD lingerMs) {
  ListenerTable& t = Listeners();
  std::lock_guard<std::mutex> hold(t.lock);
  for (ListenerEvents& e : t.slots) {
    if (e.socket != s) continue;
    e.lingerMs = lingerMs;
    return true;
  }
  return false;
}

DWORD Milliseconds(int timeoutMs) {
  return timeoutMs < 0 ? INFINITE : static_cast<DWORD>(timeoutMs);
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
  fd_ = kNoSocketHandle;
  return fd;
}

void Socket::Close() {
  if (fd_ == kNoSocketHandle) return;
  SOCKET s = static_cast<SOCKET>(fd_);
  closesocket(s);
  RemoveListener(s);
  fd_ = kNoSocketHandle;
}

int LastErrorCode() {
  return lastError;
}

Socket ListenOnPort(uint16_t port, int backlog, const char** failedStep) {
  if (!StartWinsock()) {
    lastError = WSASYSNOTREADY;
    *failedStep = "listen";
    return Socket();
  }
  // A dual-stack socket serves IPv4 clients as mapped addresses; fall back to IPv4 alone.
  bool v6 = true;
  Socket s(WSASocketW(AF_INET6, SOCK_STREAM, IPPROTO_TCP, nullptr, 0, WSA_FLAG_NO_HANDLE_INHERIT));
  if (!s.Valid()) {
    v6 = false;
    s = Socket(
        WSASocketW(AF_INET, SOCK_STREAM, IPPROTO_TCP, nullptr, 0, WSA_FLAG_NO_HANDLE_INHERIT));
  }
  if (!s.Valid()) {
    RememberError();
    *failedStep = "listen";
    return Socket();
  }
  DWORD off = 0;
  if (v6) {
    setsockopt(Handle(s), IPPROTO_IPV6, IPV6_V6ONLY, reinterpret_cast<const char*>(&off),
               sizeof off);
  }
  // No SO_REUSEADDR: on Windows it would let a second program bind over this listener. Closed
  // clients waiting out TIME_WAIT do not keep a listener from binding here.
  int rc;
  if (v6) {
    sockaddr_in6 a{};
    a.sin6_family = AF_INET6;
    a.sin6_port = htons(port);
    a.sin6_addr = in6addr_any;
    rc = bind(Handle(s), reinterpret_cast<sockaddr*>(&a), sizeof a);
  } else {
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    a.sin_addr.s_addr = htonl(INADDR_ANY);
    rc = bind(Handle(s), reinterpret_cast<sockaddr*>(&a), sizeof a);
  }
  if (rc != 0) {
    RememberError();
    *failedStep = "bind";
    return Socket();
  }
  if (listen(Handle(s), backlog) != 0 || !AddListener(Handle(s))) {
    RememberError();
    *failedStep = "listen";
    return Socket();
  }
  return s;
}

Socket AcceptClient(const Socket& listener) {
  ListenerEvents events;
  if (!FindListener(Handle(listener), &events)) {
    lastError = WSAENOTSOCK;
    return Socket();
  }
  using Clock = std::chrono::steady_clock;
  auto deadline = Clock::now() + std::chrono::milliseconds(events.lingerMs);
  for (;;) {
    if (WaitForSingleObject(events.stop, 0) == WAIT_OBJECT_0) {
      lastError = WSAEINTR;
      return Socket();
    }
    ResetEvent(events.pending);
    Socket client(accept(events.socket, nullptr, nullptr));
    if (client.Valid()) {
      // An accepted socket inherits the listener's event selection and non-blocking mode.
      WSAEventSelect(Handle(client), nullptr, 0);
      u_long blocking = 0;
      ioctlsocket(Handle(client), FIONBIO, &blocking);
      return client;
    }
    if (WSAGetLastError() != WSAEWOULDBLOCK) {
      RememberError();
      return Socket();
    }
    DWORD wait = INFINITE;
    if (events.lingerMs != INFINITE) {
      auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()).count();
      if (left <= 0) {
        lastError = WSAETIMEDOUT;
        return Socket();
      }
      wait = static_cast<DWORD>(left);
    }
    HANDLE both[2] = {events.stop, events.pending};
    DWORD woke = WaitForMultipleObjects(2, both, FALSE, wait);
    if (woke == WAIT_FAILED) {
      lastError = static_cast<int>(GetLastError());
      return Socket();
    }
  }
}

bool IsTransientAcceptError(int code) {
  switch (code) {
    case WSAEINTR:
    case kErrorConnectionReset:
    case WSAEMFILE:
    case WSAENOBUFS:
      return true;
    default:
      return false;
  }
}

bool IsAcceptTimeout(int code) {
  return code == WSAETIMEDOUT;
}

void InterruptAccept(const Socket& listener) {
  ListenerEvents events;
  if (FindListener(Handle(listener), &events)) SetEvent(events.stop);
}

namespace {

ConnectResult FailedConnect(int code) {
  switch (code) {
    case WSAECONNREFUSED:
      return ConnectResult::kRefused;
    case WSAETIMEDOUT:
      return ConnectResult::kTimedOut;
    default:
      return ConnectResult::kUnreachable;
  }
}

// Connects s to address within timeoutMs. 0 when connected, else the error code. select, not
// WSAPoll: WSAPoll on some Windows versions never reports a refused connect.
int ConnectWithin(SOCKET s, const sockaddr* address, int length, int timeoutMs) {
  u_long nonBlocking = 1;
  ioctlsocket(s, FIONBIO, &nonBlocking);
  int code = 0;
  if (connect(s, address, length) != 0) {
    code = WSAGetLastError();
    if (code == WSAEWOULDBLOCK) {
      fd_set writable;
      fd_set failed;
      FD_ZERO(&writable);
      FD_ZERO(&failed);
      FD_SET(s, &writable);
      FD_SET(s, &failed);
      timeval limit{timeoutMs / 1000, (timeoutMs % 1000) * 1000};
      int ready = select(0, nullptr, &writable, &failed, &limit);
      int size = sizeof code;
      if (ready == 0) {
        code = WSAETIMEDOUT;
      } else if (ready < 0) {
        code = WSAGetLastError();
      } else if (getsockopt(s, SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(&code), &size) != 0) {
        code = WSAGetLastError();
      } else if (code == 0 && FD_ISSET(s, &failed)) {
        code = WSAECONNREFUSED;
      }
    }
  }
  u_long blocking = 0;
  ioctlsocket(s, FIONBIO, &blocking);
  return code;
}

}  // namespace

ConnectResult ConnectToHost(const char* host, uint16_t port, int timeoutMs, Socket* out) {
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  if (!StartWinsock()) {
    lastError = WSASYSNOTREADY;
    return ConnectResult::kNoSocket;
  }
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_flags = AI_NUMERICSERV;
  char service[8];
  std::snprintf(service, sizeof service, "%u", static_cast<unsigned>(port));
  addrinfo* list = nullptr;
  int rc = getaddrinfo(host, service, &hints, &list);
  if (rc != 0 || list == nullptr) {
    lastError = rc;
    return ConnectResult::kNoHost;
  }
  ConnectResult result = ConnectResult::kNoSocket;
  for (addrinfo* a = list; a != nullptr; a = a->ai_next) {
    Socket s(WSASocketW(a->ai_family, a->ai_socktype, a->ai_protocol, nullptr, 0,
                        WSA_FLAG_NO_HANDLE_INHERIT));
    if (!s.Valid()) {
      RememberError();
      continue;
    }
    auto left =
        std::chrono::ceil<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    int code = left.count() > 0
                   ? ConnectWithin(Handle(s), a->ai_addr, static_cast<int>(a->ai_addrlen),
                                   static_cast<int>(left.count()))
                   : WSAETIMEDOUT;
    if (code == 0) {
      *out = std::move(s);
      result = ConnectResult::kConnected;
      break;
    }
    lastError = code;
    result = FailedConnect(code);
  }
  freeaddrinfo(list);
  return result;
}

void DescribeError(int code, std::span<char> text) {
  if (text.empty()) return;
  text[0] = '\0';
  wchar_t words[256];
  DWORD n =
      FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
                     static_cast<DWORD>(code), 0, words, sizeof words / sizeof words[0], nullptr);
  while (n > 0 && (words[n - 1] == L'\r' || words[n - 1] == L'\n' || words[n - 1] == L' '))
    --n;
  if (n == 0) {
    std::snprintf(text.data(), text.size(), "error %d", code);
    return;
  }
  // The page that shows these words says UTF-8, as everything on the wire is.
  int room = text.size() > 0x7FFFFFFF ? 0x7FFFFFFF : static_cast<int>(text.size()) - 1;
  int written = WideCharToMultiByte(CP_UTF8, 0, words, static_cast<int>(n), text.data(), room,
                                    nullptr, nullptr);
  text[written > 0 ? static_cast<size_t>(written) : 0] = '\0';
}

long ReceiveSome(const Socket& s, std::span<char> buffer, int timeoutMs) {
  if (timeoutMs >= 0) {
    WSAPOLLFD p{Handle(s), POLLRDNORM, 0};
    int ready = WSAPoll(&p, 1, timeoutMs);
    if (ready == 0) return kReceiveTimedOut;
    if (ready < 0) {
      RememberError();
      return -1;
    }
  }
  int room = buffer.size() > 0x7FFFFFFF ? 0x7FFFFFFF : static_cast<int>(buffer.size());
  int n = recv(Handle(s), buffer.data(), room, 0);
  if (n >= 0) return n;
  RememberError();
  return -1;
}

int SendAll(const Socket& s, std::span<const char> bytes) {
  size_t sent = 0;
  while (sent < bytes.size()) {
    size_t left = bytes.size() - sent;
    int piece = left > 0x7FFFFFFF ? 0x7FFFFFFF : static_cast<int>(left);
    int n = send(Handle(s), bytes.data() + sent, piece, 0);
    if (n == SOCKET_ERROR) {
      RememberError();
      return 0;
    }
    sent += static_cast<size_t>(n);
  }
  return 1;
}

void ShutdownBoth(const Socket& s) {
  if (s.Valid()) shutdown(Handle(s), SD_BOTH);
}

void ShutdownSend(const Socket& s) {
  if (s.Valid()) shutdown(Handle(s), SD_SEND);
}

// Windows takes these limits as a DWORD of milliseconds; a timeval would be read as its first
// four bytes, the seconds, and 300 s would become 300 ms.
void SetIdleTimeout(const Socket& s, int timeoutMs) {
  DWORD limit = timeoutMs < 0 ? 0 : static_cast<DWORD>(timeoutMs);
  setsockopt(Handle(s), SOL_SOCKET, SO_RCVTIMEO, reinterpret_cast<const char*>(&limit),
             sizeof limit);
  setsockopt(Handle(s), SOL_SOCKET, SO_SNDTIMEO, reinterpret_cast<const char*>(&limit),
             sizeof limit);
}

void SendAtOnce(const Socket& s) {
  BOOL one = TRUE;
  setsockopt(Handle(s), IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&one), sizeof one);
}

void SetReceiveTimeout(const Socket& s, int timeoutMs) {
  // On a listener the limit is how long AcceptClient waits.
  if (SetListenerLinger(Handle(s), Milliseconds(timeoutMs))) return;
  DWORD limit = timeoutMs < 0 ? 0 : static_cast<DWORD>(timeoutMs);
  setsockopt(Handle(s), SOL_SOCKET, SO_RCVTIMEO, reinterpret_cast<const char*>(&limit),
             sizeof limit);
}

bool AcceptOnceDataArrives(const Socket&, int) {
  return false;  // Windows has no deferred accept
}

long RaiseDescriptorLimit() {
  return -1;  // sockets are handles, bounded only by memory
}

int WaitReadable(const Socket& a, const Socket& b, int timeoutMs) {
  // WSAPoll does not skip entries the way poll skips negative descriptors: list only the valid.
  WSAPOLLFD p[2];
  ULONG count = 0;
  if (a.Valid()) p[count++] = {Handle(a), POLLRDNORM, 0};
  if (b.Valid()) p[count++] = {Handle(b), POLLRDNORM, 0};
  if (count == 0) {
    Sleep(timeoutMs < 0 ? INFINITE : static_cast<DWORD>(timeoutMs));
    return 0;
  }
  int ready = WSAPoll(p, count, timeoutMs);
  if (ready < 0) {
    RememberError();
    return -1;
  }
  constexpr SHORT kReadable = POLLRDNORM | POLLHUP | POLLERR;
  ULONG at = 0;
  int result = 0;
  if (a.Valid() && (p[at++].revents & kReadable) != 0) result |= kReadyA;
  if (b.Valid() && (p[at].revents & kReadable) != 0) result |= kReadyB;
  return result;
}

// Windows has no splice: the relay copies large answers through its own buffer.
bool SplicePipe::Open() {
  return false;
}

long SplicePipe::Move(const Socket&, const Socket&) {
  lastError = WSAEOPNOTSUPP;
  return -1;
}

ListenRefusal ClassifyListenFailure(int code) {
  if (code == WSAEADDRINUSE) return ListenRefusal::kInUse;
  if (code == WSAEACCES) return ListenRefusal::kNotAllowed;
  return ListenRefusal::kOther;
}

void DescribePortOwnerCommand(uint16_t port, std::span<char> text) {
  if (!text.empty()) std::snprintf(text.data(), text.size(), "netstat -ano | findstr :%u", port);
}

void DescribeListeningAddress(const Socket& listener, std::span<char> text) {
  if (text.empty()) return;
  text[0] = '\0';
  sockaddr_storage address{};
  int length = sizeof address;
  if (getsockname(Handle(listener), reinterpret_cast<sockaddr*>(&address), &length) != 0) return;
  if (address.ss_family == AF_INET6) {
    const auto& a = reinterpret_cast<const sockaddr_in6&>(address);
    FormatAddressAndPort({a.sin6_addr.s6_addr, 16}, ntohs(a.sin6_port), text);
  } else if (address.ss_family == AF_INET) {
    const auto& a = reinterpret_cast<const sockaddr_in&>(address);
    FormatAddressAndPort({reinterpret_cast<const uint8_t*>(&a.sin_addr), 4}, ntohs(a.sin_port),
                         text);
  }
}

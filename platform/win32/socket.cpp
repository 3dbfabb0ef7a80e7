#include "platform/socket.h"

#include <winsock2.h>
#include <ws2tcpip.h>

// The IP helper's header builds on winsock2.h.
#include <iphlpapi.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <memory>
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
  closesocket(static_cast<SOCKET>(fd_));
  fd_ = kNoSocketHandle;
}

int LastErrorCode() {
  return lastError;
}

namespace {

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

// Opens one non-blocking listening socket on address (numeric, or "*" for every address).
Socket ListenOnAddress(std::string_view address, uint16_t port, int backlog,
                       const char** failedStep) {
  bool everywhere = address == "*";
  IpAddress ip;
  if (!everywhere && !ParseIpAddress(address, &ip)) {
    lastError = WSAEINVAL;
    *failedStep = "bind";
    return Socket();
  }
  // Every address: a dual-stack socket serves IPv4 clients as mapped addresses; IPv4 alone on a
  // machine without IPv6.
  bool v6 = everywhere || ip.length == 16;
  Socket s(WSASocketW(v6 ? AF_INET6 : AF_INET, SOCK_STREAM, IPPROTO_TCP, nullptr, 0,
                      WSA_FLAG_NO_HANDLE_INHERIT));
  if (!s.Valid() && everywhere) {
    v6 = false;
    s = Socket(
        WSASocketW(AF_INET, SOCK_STREAM, IPPROTO_TCP, nullptr, 0, WSA_FLAG_NO_HANDLE_INHERIT));
  }
  if (!s.Valid()) {
    RememberError();
    *failedStep = "listen";
    return Socket();
  }
  DWORD only = everywhere ? 0 : 1;
  if (v6) {
    setsockopt(Handle(s), IPPROTO_IPV6, IPV6_V6ONLY, reinterpret_cast<const char*>(&only),
               sizeof only);
  }
  // No SO_REUSEADDR: on Windows it would let a second program bind over this listener. Closed
  // clients waiting out TIME_WAIT do not keep a listener from binding here.
  sockaddr_storage where{};
  int length;
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
  if (bind(Handle(s), reinterpret_cast<sockaddr*>(&where), length) != 0) {
    RememberError();
    *failedStep = "bind";
    return Socket();
  }
  if (listen(Handle(s), backlog) != 0) {
    RememberError();
    *failedStep = "listen";
    return Socket();
  }
  return s;
}

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

HANDLE Event(uintptr_t kept) {
  return reinterpret_cast<HANDLE>(kept);
}

}  // namespace

// Accept on Windows has no time limit and is not woken by shutdown, so the set is waited on
// through events: one per socket that Winsock sets when a client is pending, and one that
// InterruptAccept sets for good. The sockets are non-blocking; a worker resets a socket's event,
// tries accept, and waits only when none is pending, so a client that arrives meanwhile sets the
// event again.
ListenerSet& ListenerSet::operator=(ListenerSet&& other) noexcept {
  if (this == &other) return *this;
  Close();
  for (size_t i = 0; i < other.count_; ++i) {
    sockets_[i] = std::move(other.sockets_[i]);
    pending_[i] = std::exchange(other.pending_[i], 0);
  }
  count_ = std::exchange(other.count_, 0);
  wait_ = std::exchange(other.wait_, 0);
  stop_ = std::exchange(other.stop_, 0);
  return *this;
}

void ListenerSet::Close() {
  for (size_t i = 0; i < count_; ++i) {
    sockets_[i].Close();
    if (pending_[i] != 0) WSACloseEvent(Event(pending_[i]));
    pending_[i] = 0;
  }
  count_ = 0;
  if (stop_ != 0) CloseHandle(Event(stop_));
  stop_ = 0;
}

bool ListenOn(std::string_view addresses, uint16_t port, int backlog, ListenerSet* out,
              const char** failedStep, std::span<char> failedAddress) {
  if (!StartWinsock()) {
    lastError = WSASYSNOTREADY;
    *failedStep = "listen";
    return false;
  }
  ListenerSet set;
  HANDLE stop = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  if (stop == nullptr) {
    lastError = static_cast<int>(GetLastError());
    *failedStep = "listen";
    return false;
  }
  set.stop_ = reinterpret_cast<uintptr_t>(stop);
  // An address the machine does not have is passed over while another listens.
  bool passedOver = false;
  size_t at = 0;
  for (std::string_view address = NextAddress(addresses, &at); !address.empty();
       address = NextAddress(addresses, &at)) {
    Socket s;
    if (set.count_ == kMostListeners) {
      lastError = WSAENOBUFS;
      *failedStep = "bind";
    } else {
      s = ListenOnAddress(address, port, backlog, failedStep);
    }
    HANDLE pending = s.Valid() ? WSACreateEvent() : WSA_INVALID_EVENT;
    if (s.Valid() &&
        (pending == WSA_INVALID_EVENT || WSAEventSelect(Handle(s), pending, FD_ACCEPT) != 0)) {
      RememberError();
      *failedStep = "listen";
      if (pending != WSA_INVALID_EVENT) WSACloseEvent(pending);
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
    set.pending_[set.count_] = reinterpret_cast<uintptr_t>(pending);
    set.sockets_[set.count_++] = std::move(s);
  }
  if (set.count_ == 0) {
    if (!passedOver) {
      lastError = WSAEDESTADDRREQ;
      *failedStep = "bind";
    }
    return false;
  }
  *out = std::move(set);
  return true;
}

// A Windows wait takes 64 handles at most: a connection between requests waits in its worker.
bool ParkInListenerSet(const ListenerSet&, const Socket&, uint64_t) {
  return false;
}

void UnparkFromListenerSet(const ListenerSet&, const Socket&) {}

Socket AcceptClient(const ListenerSet& listeners, int timeoutMs, IpAddress* peer,
                    uint64_t* resumed) {
  if (resumed != nullptr) *resumed = 0;
  using Clock = std::chrono::steady_clock;
  auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
  for (;;) {
    if (WaitForSingleObject(Event(listeners.stop_), 0) == WAIT_OBJECT_0) {
      lastError = WSAEINTR;
      return Socket();
    }
    for (size_t i = 0; i < listeners.count_; ++i) {
      ResetEvent(Event(listeners.pending_[i]));
      sockaddr_storage from{};
      int length = sizeof from;
      Socket client(
          accept(Handle(listeners.sockets_[i]), reinterpret_cast<sockaddr*>(&from), &length));
      if (client.Valid()) {
        // An accepted socket inherits the listener's event selection and non-blocking mode.
        WSAEventSelect(Handle(client), nullptr, 0);
        u_long blocking = 0;
        ioctlsocket(Handle(client), FIONBIO, &blocking);
        if (peer != nullptr) *peer = ToIpAddress(from);
        return client;
      }
      if (WSAGetLastError() != WSAEWOULDBLOCK) {
        RememberError();
        return Socket();
      }
    }
    DWORD wait = INFINITE;
    if (timeoutMs >= 0) {
      auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()).count();
      if (left <= 0) {
        lastError = WSAETIMEDOUT;
        return Socket();
      }
      wait = static_cast<DWORD>(left);
    }
    HANDLE events[kMostListeners + 1];
    events[0] = Event(listeners.stop_);
    for (size_t i = 0; i < listeners.count_; ++i)
      events[i + 1] = Event(listeners.pending_[i]);
    DWORD woke =
        WaitForMultipleObjects(static_cast<DWORD>(listeners.count_ + 1), events, FALSE, wait);
    if (woke == WAIT_FAILED) {
      lastError = static_cast<int>(GetLastError());
      return Socket();
    }
  }
}

bool IsTransientAcceptError(int code) {
  switch (code) {
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

void InterruptAccept(const ListenerSet& listeners) {
  if (listeners.stop_ != 0) SetEvent(Event(listeners.stop_));
}

bool ParseIpAddress(std::string_view text, IpAddress* out) {
  if (text.size() > 2 && text.front() == '[' && text.back() == ']')
    text = text.substr(1, text.size() - 2);
  char copy[64];
  if (text.empty() || text.size() >= sizeof copy) return false;
  std::copy(text.begin(), text.end(), copy);
  copy[text.size()] = '\0';
  uint8_t bytes[16];
  if (inet_pton(AF_INET, copy, bytes) == 1) {
    SetIpAddress({bytes, 4}, out);
    return true;
  }
  if (inet_pton(AF_INET6, copy, bytes) == 1) {
    SetIpAddress({bytes, 16}, out);
    return true;
  }
  return false;
}

bool IsOwnAddress(const IpAddress& a) {
  // The adapters' list grows with the machine: ask with room to spare, once more if it grew.
  constexpr ULONG kFlags = GAA_FLAG_SKIP_ANYCAST | GAA_FLAG_SKIP_MULTICAST |
                           GAA_FLAG_SKIP_DNS_SERVER | GAA_FLAG_SKIP_FRIENDLY_NAME;
  ULONG size = 16 * 1024;
  for (int attempt = 0; attempt < 2; ++attempt) {
    std::unique_ptr<uint8_t[]> buffer(new uint8_t[size]);
    auto* adapters = reinterpret_cast<IP_ADAPTER_ADDRESSES*>(buffer.get());
    ULONG rc = GetAdaptersAddresses(AF_UNSPEC, kFlags, nullptr, adapters, &size);
    if (rc == ERROR_BUFFER_OVERFLOW) continue;
    if (rc != NO_ERROR) return false;
    for (auto* adapter = adapters; adapter != nullptr; adapter = adapter->Next) {
      for (auto* u = adapter->FirstUnicastAddress; u != nullptr; u = u->Next) {
        sockaddr_storage address{};
        std::memcpy(&address, u->Address.lpSockaddr,
                    std::min<size_t>(u->Address.iSockaddrLength, sizeof address));
        if (ToIpAddress(address) == a) return true;
      }
    }
    return false;
  }
  return false;
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

namespace {

addrinfo* Resolve(const char* host, uint16_t port) {
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_flags = AI_NUMERICSERV;
  char service[8];
  std::snprintf(service, sizeof service, "%u", static_cast<unsigned>(port));
  addrinfo* list = nullptr;
  int rc = getaddrinfo(host, service, &hints, &list);
  if (rc == 0 && list != nullptr) return list;
  lastError = rc;
  if (list != nullptr) freeaddrinfo(list);
  return nullptr;
}

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
  if (!StartWinsock()) {
    lastError = WSASYSNOTREADY;
    return ConnectResult::kNoHost;
  }
  addrinfo* list = Resolve(host, port);
  if (list == nullptr) return ConnectResult::kNoHost;
  ConnectResult verdict = Judge(list, port, check);
  freeaddrinfo(list);
  return verdict;
}

ConnectResult ConnectToHost(const char* host, uint16_t port, int timeoutMs, Socket* out,
                            const AddressCheck* check) {
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  if (!StartWinsock()) {
    lastError = WSASYSNOTREADY;
    return ConnectResult::kNoSocket;
  }
  addrinfo* list = Resolve(host, port);
  if (list == nullptr) return ConnectResult::kNoHost;
  if (check != nullptr) {
    ConnectResult verdict = Judge(list, port, *check);
    if (verdict != ConnectResult::kConnected) {
      freeaddrinfo(list);
      return verdict;
    }
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

namespace {

long Receive(const Socket& s, std::span<char> buffer, int timeoutMs, int flags) {
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
  int n = recv(Handle(s), buffer.data(), room, flags);
  if (n >= 0) return n;
  RememberError();
  return -1;
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
  DWORD limit = timeoutMs < 0 ? 0 : static_cast<DWORD>(timeoutMs);
  setsockopt(Handle(s), SOL_SOCKET, SO_RCVTIMEO, reinterpret_cast<const char*>(&limit),
             sizeof limit);
}

bool AcceptOnceDataArrives(const ListenerSet&, int) {
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

int WaitReadableAny(std::span<const Socket* const> sockets, std::span<bool> ready, int timeoutMs) {
  // Only the valid ones are listed, as WSAPoll skips none; at[] maps them back.
  WSAPOLLFD p[kMostWaited];
  size_t at[kMostWaited];
  size_t total = std::min({sockets.size(), ready.size(), kMostWaited});
  ULONG count = 0;
  for (size_t i = 0; i < total; ++i) {
    ready[i] = false;
    if (sockets[i] == nullptr || !sockets[i]->Valid()) continue;
    at[count] = i;
    p[count++] = {Handle(*sockets[i]), POLLRDNORM, 0};
  }
  if (count == 0) {
    Sleep(timeoutMs < 0 ? INFINITE : static_cast<DWORD>(timeoutMs));
    return 0;
  }
  int found = WSAPoll(p, count, timeoutMs);
  if (found < 0) {
    RememberError();
    return -1;
  }
  constexpr SHORT kReadable = POLLRDNORM | POLLHUP | POLLERR;
  for (ULONG i = 0; i < count; ++i)
    ready[at[i]] = (p[i].revents & kReadable) != 0;
  return found;
}

// Windows has no splice: the relay copies large answers through its own buffer.
bool SplicePipe::Open() {
  return false;
}

long SplicePipe::Move(const Socket&, const Socket&, size_t) {
  lastError = WSAEOPNOTSUPP;
  return -1;
}

ListenRefusal ClassifyListenFailure(int code) {
  if (code == WSAEADDRINUSE) return ListenRefusal::kInUse;
  if (code == WSAEACCES) return ListenRefusal::kNotAllowed;
  if (code == WSAEADDRNOTAVAIL || code == WSAEAFNOSUPPORT || code == WSAEINVAL)
    return ListenRefusal::kNotHere;
  return ListenRefusal::kOther;
}

void DescribePortOwnerCommand(uint16_t port, std::span<char> text) {
  if (!text.empty()) std::snprintf(text.data(), text.size(), "netstat -ano | findstr :%u", port);
}

void DescribeListeningAddress(const ListenerSet& listeners, std::span<char> text) {
  if (text.empty()) return;
  text[0] = '\0';
  size_t used = 0;
  for (size_t i = 0; i < listeners.Count() && used + 1 < text.size(); ++i) {
    sockaddr_storage address{};
    int length = sizeof address;
    if (getsockname(Handle(listeners.At(i)), reinterpret_cast<sockaddr*>(&address), &length) != 0)
      continue;
    uint16_t port = ntohs(address.ss_family == AF_INET6
                              ? reinterpret_cast<const sockaddr_in6&>(address).sin6_port
                              : reinterpret_cast<const sockaddr_in&>(address).sin_port);
    if (used > 0)
      used += static_cast<size_t>(std::snprintf(text.data() + used, text.size() - used, ", "));
    if (used + 1 >= text.size()) break;
    FormatAddressAndPort(ToIpAddress(address).Bytes(), port, text.subspan(used));
    used += std::strlen(text.data() + used);
  }
}

void ResetOnClose(const Socket& s) {
  if (!s.Valid()) return;
  linger now{1, 0};
  setsockopt(Handle(s), SOL_SOCKET, SO_LINGER, reinterpret_cast<const char*>(&now), sizeof now);
}

void ResetConnection(Socket* s) {
  ResetOnClose(*s);
  s->Close();
}

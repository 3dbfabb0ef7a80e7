// TCP sockets: the handful of operations the proxy needs, with the system's handle owned by a
// small RAII type so that no path can leak one.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>

// The system's handle of a socket: a descriptor on POSIX, a SOCKET on Windows.
#ifdef _WIN32
using SocketHandle = uintptr_t;
inline constexpr SocketHandle kNoSocketHandle = ~uintptr_t{0};  // INVALID_SOCKET
#else
using SocketHandle = int;
inline constexpr SocketHandle kNoSocketHandle = -1;
#endif

// Stands for the sockets library's WSAECONNRESET: a peer that reset or went away.
inline constexpr int kErrorConnectionReset = 10054;

class Socket {
 public:
  Socket() = default;
  explicit Socket(SocketHandle fd) : fd_(fd) {}
  Socket(Socket&& other) noexcept : fd_(other.Release()) {}
  Socket& operator=(Socket&& other) noexcept;
  Socket(const Socket&) = delete;
  Socket& operator=(const Socket&) = delete;
  ~Socket() { Close(); }

  bool Valid() const { return fd_ != kNoSocketHandle; }
  SocketHandle Fd() const { return fd_; }
  SocketHandle Release();
  void Close();

 private:
  SocketHandle fd_ = kNoSocketHandle;
};

// The calling thread's last error code, as the failure messages show it.
int LastErrorCode();

// An IP address: 4 bytes (IPv4) or 16 (IPv6, an IPv4-mapped one kept as IPv4), in network order.
// A length of 0 is no address.
struct IpAddress {
  uint8_t bytes[16] = {};
  uint8_t length = 0;

  std::span<const uint8_t> Bytes() const { return {bytes, length}; }
  friend bool operator==(const IpAddress& a, const IpAddress& b) {
    return a.length == b.length && std::equal(a.bytes, a.bytes + a.length, b.bytes);
  }
};

// Sets *out from 4 or 16 bytes, an IPv4-mapped IPv6 address becoming IPv4.
void SetIpAddress(std::span<const uint8_t> bytes, IpAddress* out);

// A numeric address ("192.0.2.1", "::1", "[::1]"); false for anything else, names included.
bool ParseIpAddress(std::string_view text, IpAddress* out);

// 127.0.0.0/8 and ::1.
bool IsLoopbackAddress(const IpAddress& a);
// 0.0.0.0/8 and ::, which a connect takes for this machine.
bool IsUnspecifiedAddress(const IpAddress& a);
// 169.254.0.0/16 and fe80::/10.
bool IsLinkLocalAddress(const IpAddress& a);
// One of the addresses of this machine's network interfaces, as they are now.
bool IsOwnAddress(const IpAddress& a);

// The sockets a server listens on, one per address, accepted from as one. Workers may wait in
// AcceptClient on the same set at once; each connection goes to one of them.
inline constexpr size_t kMostListeners = 8;
class ListenerSet {
 public:
  ListenerSet() = default;
  ListenerSet(ListenerSet&& other) noexcept { *this = std::move(other); }
  ListenerSet& operator=(ListenerSet&& other) noexcept;
  ListenerSet(const ListenerSet&) = delete;
  ListenerSet& operator=(const ListenerSet&) = delete;
  ~ListenerSet() { Close(); }

  bool Valid() const { return count_ > 0; }
  size_t Count() const { return count_; }
  const Socket& At(size_t i) const { return sockets_[i]; }
  void Close();

 private:
  friend bool ListenOn(std::string_view, uint16_t, int, ListenerSet*, const char**,
                       std::span<char>);
  friend Socket AcceptClient(const ListenerSet&, int, IpAddress*, uint64_t*);
  friend void InterruptAccept(const ListenerSet&);
  friend bool ParkInListenerSet(const ListenerSet&, const Socket&, uint64_t);
  friend void UnparkFromListenerSet(const ListenerSet&, const Socket&);

  Socket sockets_[kMostListeners];
  size_t count_ = 0;
  // What a waiting worker waits on, and what wakes them all when the server stops; kept as the
  // backend has them (descriptors, or Windows event handles).
  uintptr_t wait_ = 0;
  uintptr_t stop_ = 0;
  uintptr_t pending_[kMostListeners] = {};
};

// Listens at port on each address of addresses: numeric addresses separated by spaces or ";", or
// "*" for every address of the machine (IPv4 and IPv6). False when one cannot be had; nothing
// is left open, *failedStep is "listen" or "bind" and failedAddress names the address.
bool ListenOn(std::string_view addresses, uint16_t port, int backlog, ListenerSet* out,
              const char** failedStep, std::span<char> failedAddress);

// Waits up to timeoutMs (-1: without end) for a client on any socket of the set. Returns an
// invalid socket on failure, LastErrorCode() telling why; *peer gets the client's address. When a
// parked connection's next bytes came first, returns an invalid socket with *resumed set to its
// cookie instead (0 otherwise): the connection is out of the wait again, the caller's once more.
Socket AcceptClient(const ListenerSet& listeners, int timeoutMs, IpAddress* peer,
                    uint64_t* resumed = nullptr);

// Parks a connection of the caller's in the set's wait until its next bytes (or its end) come;
// cookie, never 0, names it when AcceptClient hands it back. False where the system cannot:
// the caller waits for them itself.
bool ParkInListenerSet(const ListenerSet& listeners, const Socket& s, uint64_t cookie);

// Takes a parked connection out of the wait, unless it has been handed back already.
void UnparkFromListenerSet(const ListenerSet& listeners, const Socket& s);

// True for accept failures that pass by themselves (an aborted connection, an interrupted call,
// descriptors or memory running out): the caller pauses and accepts again.
bool IsTransientAcceptError(int code);

// True when accept failed because its time passed with no client.
bool IsAcceptTimeout(int code);

// Wakes every thread waiting in AcceptClient on the set, now and later: their accepts fail.
void InterruptAccept(const ListenerSet& listeners);

// Why a listener could not be had, as its user is told: another program holds the port, the
// user may not use it, the address is not one of this machine's (or not an address at all), or
// something else.
enum class ListenRefusal { kInUse, kNotAllowed, kNotHere, kOther };
ListenRefusal ClassifyListenFailure(int code);

// The command a user runs to see which program listens on port, NUL-terminated in text.
void DescribePortOwnerCommand(uint16_t port, std::span<char> text);

// Where the set listens, NUL-terminated in text: "127.0.0.1:8080", "[::1]:8080", or "*:8080" for
// every address, several separated by ", ". Empty when it cannot be told.
void DescribeListeningAddress(const ListenerSet& listeners, std::span<char> text);

// An address and port as DescribeListeningAddress writes them: address holds 4 bytes (IPv4) or
// 16 (IPv6, an IPv4-mapped one written as IPv4), in network order.
void FormatAddressAndPort(std::span<const uint8_t> address, uint16_t port, std::span<char> text);

// How a connect ended. For a failure LastErrorCode() holds the reason of the last address tried.
// kForbidden and kLoop come from the caller's AddressCheck: nothing was connected.
enum class ConnectResult {
  kConnected,
  kNoHost,
  kNoSocket,
  kRefused,
  kUnreachable,
  kTimedOut,
  kForbidden,
  kLoop,
};

// Judges each address a host resolves to before any is connected: kConnected lets it be,
// anything else refuses the whole host with that result.
struct AddressCheck {
  ConnectResult (*judge)(const IpAddress& address, uint16_t port, const void* context);
  const void* context;
};

// Resolves host (a name, a dotted IPv4 address or an IPv6 literal without brackets) and
// connects to each of its addresses in turn until one accepts, all within timeoutMs. With a
// check, every address is judged first. The bounds the connected socket has on sends and
// receives are left undefined: set those wanted.
ConnectResult ConnectToHost(const char* host, uint16_t port, int timeoutMs, Socket* out,
                            const AddressCheck* check = nullptr);

// Resolves host and judges every address, connecting nothing: kConnected when all pass.
ConnectResult CheckHostAddresses(const char* host, uint16_t port, const AddressCheck& check);

// The system's own words for an error code that LastErrorCode() gave, NUL-terminated in text
// (cut to its room).
void DescribeError(int code, std::span<char> text);

// Returned by ReceiveSome when nothing arrived within the time allowed.
inline constexpr long kReceiveTimedOut = -2;

// Receives up to buffer.size() bytes, waiting at most timeoutMs when it is not negative. Returns
// the count, 0 when the peer closed, -1 on failure, kReceiveTimedOut when the time ran out.
long ReceiveSome(const Socket& s, std::span<char> buffer, int timeoutMs = -1);

// As ReceiveSome, but the bytes stay to be received again.
long PeekSome(const Socket& s, std::span<char> buffer, int timeoutMs);

// Sends every byte, never raising SIGPIPE. Returns 1 on success; 0 on failure, with a reset or
// closed peer reported as kErrorConnectionReset by LastErrorCode().
int SendAll(const Socket& s, std::span<const char> bytes);

// Makes the socket's close send a reset instead of an orderly end: the peer sees the data cut.
void ResetOnClose(const Socket& s);

// Closes the socket with a reset.
void ResetConnection(Socket* s);

// Shuts down both directions; failures are of no interest to the caller.
void ShutdownBoth(const Socket& s);

// Shuts down our sending side only, so the peer sees the end of the data.
void ShutdownSend(const Socket& s);

// Bounds every later receive and send on s: one that moves no byte for timeoutMs fails.
void SetIdleTimeout(const Socket& s, int timeoutMs);

// Sends each write at once instead of waiting for the peer's acknowledgement of the last one:
// TLS writes small records in a row (a handshake's last message, then the request; an answer,
// then the goodbye), which would otherwise wait out the peer's delayed acknowledgement.
void SendAtOnce(const Socket& s);

// Bounds every later receive on s only.
void SetReceiveTimeout(const Socket& s, int timeoutMs);

// Has accept hand over a connection only once its first bytes have arrived (or it has closed),
// or after waitSeconds. Returns false where the system cannot.
bool AcceptOnceDataArrives(const ListenerSet& listeners, int waitSeconds);

// Passes bytes both ways between a and b, through buffer, until both directions have ended (an
// end of data in one direction is passed on as a shutdown of sending), either peer fails, or
// nothing moves for idleTimeoutMs.
void RelayBothWays(const Socket& a, const Socket& b, std::span<char> buffer, int idleTimeoutMs);

// Waits until a or b has something to receive (bytes, an end of data or a failure), at most
// timeoutMs. An invalid socket is not waited for. Returns kReadyA | kReadyB for those that are
// ready, 0 when the time ran out, -1 on failure.
inline constexpr int kReadyA = 1;
inline constexpr int kReadyB = 2;
int WaitReadable(const Socket& a, const Socket& b, int timeoutMs);

// The same for several sockets (at most kMostWaited; null or invalid ones are not waited for):
// ready[i] tells which have something. Returns how many, 0 when the time ran out, -1 on failure.
inline constexpr size_t kMostWaited = 16;
int WaitReadableAny(std::span<const Socket* const> sockets, std::span<bool> ready, int timeoutMs);

// Returned by SplicePipe::Move when the receiving socket failed.
inline constexpr long kSpliceSinkFailed = -2;

// A pipe inside the kernel through which bytes move from one socket to another without being
// copied through our memory. Empty between moves.
class SplicePipe {
 public:
  // False where the system has no such pipe: the caller copies instead.
  bool Open();
  bool IsOpen() const { return readEnd_.Valid(); }

  // Moves what `from` has now, at most one pipe's worth and at most most bytes (waiting only
  // while it has nothing), all of it on to `to`. Returns the count, 0 when `from` has closed, -1
  // when `from` failed, kSpliceSinkFailed when `to` failed.
  long Move(const Socket& from, const Socket& to, size_t most = SIZE_MAX);

 private:
  Socket readEnd_;
  Socket writeEnd_;
};

// Raises the soft limit on open descriptors to the hard limit; returns the limit now in force,
// -1 for none (Windows has no such limit on sockets).
long RaiseDescriptorLimit();

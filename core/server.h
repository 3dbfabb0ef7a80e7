// The proxy server: listening sockets, and a thread per connection while it is busy.
//
// A worker waits in accept. As soon as it has a client it makes sure another is waiting, starting
// a successor when none is, and serves its client's requests one after the other: each forwarded
// to the origin server or the upstream proxy, each answer relayed back unchanged. Between requests
// the client's connection is parked in the same wait as the listeners, and the worker goes back
// to accept; whichever worker is there takes it up again when its next request comes. A thread
// ends once it has waited a while in vain beside another in accept. Nothing an exchange does, a
// failure shown to the user included, waits for anyone but its peers.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>

// The port browsers are pointed at.
inline constexpr uint16_t kProxyPort = 8080;
// Connections waiting to be accepted while every worker is busy. A browser opens
// dozens at once for one page; a short queue would drop their first attempts and stall each by a
// second or more, so the queue is as long as the system allows.
inline constexpr int kListenBacklog = 4096;
// How long a finished exchange keeps both connections open before closing them.
inline constexpr int kCloseDelayMs = 5000;
// A client that has not sent its whole request head by then is closed, so idle or trickling
// connections cannot hold threads and descriptors for ever.
inline constexpr int kHeadTimeoutMs = 60 * 1000;
// An exchange in which neither peer moves a byte for this long is ended: longer than any origin
// takes to start answering, even a long poll, yet not for ever.
inline constexpr int kIdleTimeoutMs = 300 * 1000;

// How long a client's connection may wait for its next request: as long as a head may take to
// come, which is also longer than a reader takes to follow a link, so that a browser's kept
// connection is there for the page after this one.
inline constexpr int kClientIdleMs = 60 * 1000;

// How long connecting to the origin or the upstream proxy may take, all its addresses together:
// a browser shows the failure page then instead of waiting for the system's two minutes.
inline constexpr int kConnectTimeoutMs = 30 * 1000;

// Largest number of bytes taken from the network in one receive.
inline constexpr size_t kChunkReceiveLimit = 10240;
// Room kept after the received bytes for the lines the rewriting inserts (a Referer line of up
// to 1034 bytes, a User-Agent line of up to 141, a longer Content-Length line) and the terminator.
inline constexpr size_t kChunkRewriteRoom = 2048;
inline constexpr size_t kChunkBufferSize = kChunkReceiveLimit + kChunkRewriteRoom;
// A request address and a target host, terminator included.
inline constexpr size_t kRequestAddressSize = 1024;
inline constexpr size_t kTargetHostSize = 512;

// Where the rewriting plugs into an exchange. Each hook may be null; the server then forwards
// the request as the client sent it and remembers nothing.
struct ExchangeHooks {
  // Edits the first request chunk in place (NUL-terminated within the span). secureOrigin is
  // the origin ("https://host[:port]") the request goes to over TLS; empty when it goes in clear.
  void (*applyRequestFilters)(std::span<char> chunk, std::string_view secureOrigin);
  // May replace the request address in the chunk and in requestAddress.
  void (*repairObjectAddress)(std::span<char> chunk, std::span<char> requestAddress);
  // Sees the bytes of the first answer chunk as they arrived, before the client gets them.
  void (*noteFirstAnswer)(std::string_view answer, std::string_view requestAddress);
  // Then edits those bytes in place and returns their length, which can only shrink.
  size_t (*editFirstAnswer)(std::span<char> answer);
};

// Installs the hooks; call before StartProxyServer, while no worker runs.
void InstallExchangeHooks(const ExchangeHooks& hooks);

// Listens where the settings say (ListenAddress, ListenPort: 127.0.0.1 and ::1, port 8080 by
// default) and starts the first worker. Returns 1 when serving; 0 after the failure has been
// shown to the user.
int StartProxyServer();

// Closes the listener. Workers still serving are not waited for.
void StopProxyServer();

// Workers inside accept right now: those ready for the next client.
int WorkersInAccept();

// Client connections parked between requests right now, held by no worker.
int ParkedConnections();

// How long the program's end waits for the exchanges in flight to finish on their own.
inline constexpr int kExitGraceMs = 3000;

// Waits until no exchange is in flight, up to graceMs, after StopProxyServer; the client
// connections still open then are reset as the process ends, so that no cut answer looks whole.
// Returns the count of those.
int FinishExchangesInFlight(int graceMs);

// Where the server listens, as "127.0.0.1:8080" ("*:8080" for every address), NUL-terminated in
// text; empty while it does not listen.
inline constexpr size_t kListenerTextSize = 64;
void DescribeListener(std::span<char> text);

// How a server run behaves; StartProxyServer uses these defaults.
struct ServerOptions {
  // Numeric addresses separated by spaces or ";", or "*" for every address.
  char listenAddresses[kTargetHostSize] = "127.0.0.1 ::1";
  uint16_t port = kProxyPort;
  int closeDelayMs = kCloseDelayMs;
  int headTimeoutMs = kHeadTimeoutMs;
  int idleTimeoutMs = kIdleTimeoutMs;
  int clientIdleMs = kClientIdleMs;
  int connectTimeoutMs = kConnectTimeoutMs;
};

// The same server with other options: tests use a port of their own, so that they never collide
// with a running proxy, and shorter delays.
int StartProxyServerWith(const ServerOptions& options);

// The options the settings give: where to listen, and the defaults for the rest.
ServerOptions OptionsFromSettings();

// StartProxyServerWith on port, with closeDelayMs and where the settings say to listen.
int StartProxyServerOn(uint16_t port, int closeDelayMs);

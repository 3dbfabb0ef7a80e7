// The proxy server: one listening socket and a thread per connection.
//
// Exactly one worker waits in accept. As soon as it has a client it starts its successor, which
// takes over the waiting, and serves its own client for one exchange: one request forwarded to
// the origin server or the upstream proxy, one answer relayed back unchanged.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>

// The port browsers are pointed at.
inline constexpr uint16_t kProxyPort = 8080;
// Connections waiting to be accepted while the acceptor role is being handed on.
inline constexpr int kListenBacklog = 5;
// How long a finished exchange keeps both connections open before closing them.
inline constexpr int kCloseDelayMs = 5000;

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
  // Edits the first request chunk in place (NUL-terminated within the span).
  void (*applyRequestFilters)(std::span<char> chunk);
  // May replace the request address in the chunk and in requestAddress.
  void (*repairObjectAddress)(std::span<char> chunk, std::span<char> requestAddress);
  // Sees the bytes of the first answer chunk as they arrived, before the client gets them.
  void (*noteFirstAnswer)(std::string_view answer, std::string_view requestAddress);
};

// Installs the hooks; call before StartProxyServer, while no worker runs.
void InstallExchangeHooks(const ExchangeHooks& hooks);

// Listens on port 8080 of every address and starts the first worker. Returns 1 when serving;
// 0 after the failure has been shown to the user.
int StartProxyServer();

// Closes the listener. Workers still serving are not waited for.
void StopProxyServer();

// The same server on a port of the caller's choice with its own closing delay, for tests that
// must never collide with a running proxy.
int StartProxyServerOn(uint16_t port, int closeDelayMs);

// What a worker thread owns for its whole life: its buffers, its two connections, and what the
// server run it belongs to hands it.
#pragma once

#include <cstdint>

#include "core/server.h"
#include "platform/socket.h"
#include "platform/tls.h"

struct ServerRun {
  unsigned generation = 0;
  ServerOptions options;
  ExchangeHooks hooks{};
};

// Lives on the worker's own stack; the buffers keep their contents from one exchange to the next.
struct Worker {
  char chunk[kChunkBufferSize];
  char rawTail[kChunkReceiveLimit];  // bytes of a first chunk from its first NUL on
  char requestAddress[kRequestAddressSize];
  char targetHost[kTargetHostSize];
  int32_t targetPort;
  Socket client;
  Socket server;
  // Active only inside an inspected CONNECT: TLS over client and over server.
  TlsStream clientTls;
  TlsStream serverTls;
  // The host and port an inspected CONNECT names: the origin behind the TLS.
  char tunnelHost[kTargetHostSize];
  int32_t tunnelPort;
  ServerRun run;
};

// Shuts down and closes both connections at once: the exchange has ended early.
void EndExchange(Worker& w);

// Serves one request whose head (received bytes) is in the chunk: forwards it, relays the
// answer and closes. Plain HTTP, or the request read from an inspected CONNECT's TLS.
void ServeRequest(Worker& w, long received);

// The exchange's sends and receives, over TLS inside an inspected CONNECT and over the plain
// sockets otherwise. Receives return what ReceiveSome returns; sends count a peer that reset or
// went away as sent, as SendOrReset does.
long ReceiveFromClient(Worker& w, std::span<char> buffer, int timeoutMs = -1);
long ReceiveFromServer(Worker& w, std::span<char> buffer);
bool SendToClient(Worker& w, std::span<const char> bytes);
bool SendToServer(Worker& w, std::span<const char> bytes);

// Receives the request head into the chunk: until the blank line ending it has arrived, the
// chunk is full, or the client has closed. Returns the byte count (NUL-terminated in the chunk),
// or -1 when the client failed or did not complete its head in time.
long ReceiveHead(Worker& w);

// Connects the server socket to the worker's target. kConnected, or what went wrong.
ConnectResult ConnectTarget(Worker& w);

// Sends bytes, counting a peer that reset or went away as sent: the next receive tells how the
// exchange ends.
bool SendOrReset(const Socket& to, std::span<const char> bytes);

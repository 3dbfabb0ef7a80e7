// What a worker thread owns for its whole life: its buffers, its two connections, and what the
// server run it belongs to hands it.
#pragma once

#include <chrono>
#include <cstdint>

#include "core/failure_page.h"
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
  bool viaUpstream;         // the target is the upstream proxy, which carries the request on
  IpAddress clientAddress;  // as accept gave it; none for a socket with no network address
  bool remoteClient;        // the client is not on this machine
  bool headRequest;         // a HEAD: its answer has no body, whatever its head says
  bool tunnelPlain;         // an inspected CONNECT that carries plain HTTP, not TLS
  ServerRun run;
  // The exchanges in flight, which the program's end gives a few seconds to finish.
  Worker* previousInFlight = nullptr;
  Worker* nextInFlight = nullptr;
  bool inFlight = false;
};

// Counts the worker's exchange in flight from now on, until ForgetExchange.
void TrackExchange(Worker& w);

// The exchange is no longer in flight: its client connection is about to close or go to the
// closer. Called again, it does nothing.
void ForgetExchange(Worker& w);

// Answers the client with the failure page of kind (its connection then closes as every
// exchange's does), then tells the user of step's failure, when it has one.
void AnswerFailure(Worker& w, FailureKind kind, const char16_t* step);

// Judges a target that the upstream proxy will connect to on the client's behalf, as a direct
// one is judged: a port out of range, this machine for a client from elsewhere, or the proxy's
// own port on this machine. False when refused, after answering the client.
bool AcceptNamedTarget(Worker& w, const char* host, int32_t port);

// A port the request names that no connection can be made to: 0, or above 65535.
inline bool PortOutOfRange(int32_t port) {
  return port < 1 || port > 65535;
}

// Shuts down and closes both connections at once: the exchange has ended early.
void EndExchange(Worker& w);

// Serves one request whose head (received bytes) is in the chunk: forwards it, relays the
// answer and closes. Plain HTTP, or the request read from an inspected CONNECT's TLS.
void ServeRequest(Worker& w, long received);

// The two sides of an exchange. Every byte an exchange receives or sends, and every wait for
// one, passes through the five calls below, so that another kind of stream could stand behind
// either side.
enum class Side { kClient, kServer };

// Receives up to buffer.size() bytes from one side, as ReceiveSome does.
long ReceiveFrom(Worker& w, Side side, std::span<char> buffer, int timeoutMs = -1);

// Sends every byte to one side. A peer that reset or went away counts as sent: the next receive
// tells how the exchange ends. False when the send failed otherwise.
bool SendTo(Worker& w, Side side, std::span<const char> bytes);

// Tells one side that nothing more comes from us (a FIN after the last byte).
void EndSendingTo(Worker& w, Side side);

// Waits until the client (when watched) or the server has something to receive, at most
// timeoutMs. Returns kClientReady | kServerReady for those that have, 0 when the time ran out,
// -1 on failure.
inline constexpr int kClientReady = 1;
inline constexpr int kServerReady = 2;
int WaitForEitherSide(Worker& w, bool watchClient, int timeoutMs);

// Moves what the server has on to the client inside the kernel, through pipe (opened on first
// use). As SplicePipe::Move; kCannotSplice when these sides cannot be spliced, and the caller
// copies instead.
inline constexpr long kCannotSplice = -3;
long SpliceServerToClient(Worker& w, SplicePipe* pipe);

// The exchange is over: the origin's connection closes now, the client's gets a FIN at once and
// is kept for the closing delay, reading and dropping what the client still sends, until the
// client closes.
void FinishExchange(Worker& w);

// Receives the request head into the chunk: until the blank line ending it has arrived, the
// chunk is full, or the client has closed. Returns the byte count (NUL-terminated in the chunk),
// or -1 when the client failed or did not complete its head in time: by deadline, or within
// the head's own time from now.
long ReceiveHead(Worker& w, std::chrono::steady_clock::time_point deadline);
long ReceiveHead(Worker& w);

// Connects the server socket to the worker's target. kConnected, or what went wrong.
ConnectResult ConnectTarget(Worker& w);

// Sends bytes, counting a peer that reset or went away as sent: the next receive tells how the
// exchange ends.
bool SendOrReset(const Socket& to, std::span<const char> bytes);

// What a worker thread owns for its whole life: its buffers, the client connection it serves,
// the origin connection of the request at hand, and what the server run it belongs to hands it.
#pragma once

#include <chrono>
#include <cstdint>

#include "core/connection.h"
#include "core/failure_page.h"
#include "core/origin_pool.h"
#include "core/server.h"

struct ServerRun {
  unsigned generation = 0;
  ServerOptions options;
  ExchangeHooks hooks{};
};

// Lives on the worker's own stack; the buffers keep their contents from one request to the
// next.
struct Worker {
  // The request's head as the rewriting edits it (with a small body that came whole), then the
  // answer's bytes as they pass.
  char chunk[kChunkBufferSize];
  char rawTail[kChunkReceiveLimit];  // bytes of that first chunk from its first NUL on
  // Bytes of the client's already received beyond what the request at hand took: its body's
  // as they pass, then those of the request after it.
  char pending[kChunkReceiveLimit];
  size_t pendingLength;
  char requestAddress[kRequestAddressSize];
  char targetHost[kTargetHostSize];
  int32_t targetPort;
  Connection client;
  Connection server;
  bool serverReused;  // the origin connection was kept from an earlier request
  // A CONNECT that is inspected: the host and port it names, the origin behind the TLS.
  bool inspected;
  char tunnelHost[kTargetHostSize];
  int32_t tunnelPort;
  bool tunnelPlain;         // it carries plain HTTP, not TLS
  bool viaUpstream;         // the target is the upstream proxy, which carries the request on
  IpAddress clientAddress;  // as accept gave it; none for a socket with no network address
  bool remoteClient;        // the client is not on this machine
  bool headRequest;         // a HEAD: its answer has no body, whatever its head says
  bool keepClient;          // the client's connection stays for its next request
  // When set, the next head must have come by then: an inspected tunnel's first, which shares
  // the head's time with the handshake before it.
  std::chrono::steady_clock::time_point headDeadline;
  ServerRun run;
  // The exchanges in flight, which the program's end gives a few seconds to finish.
  Worker* previousInFlight = nullptr;
  Worker* nextInFlight = nullptr;
  bool inFlight = false;
};

// Counts the worker's exchange in flight from now on, until ForgetExchange.
void TrackExchange(Worker& w);

// The exchange is no longer in flight: its client connection is about to close, wait for its
// next request, or go to the closer. Called again, it does nothing.
void ForgetExchange(Worker& w);

// Between requests: keeps the worker's client connection, with what the next request needs to
// know of it, until its next bytes come, without the worker. False where it cannot: the worker
// then waits for them itself.
bool ParkClient(Worker& w);

// Writes the failure page of kind for the worker's target into out, with the system's words for
// code where it has them; returns its length.
size_t WriteFailureFor(const Worker& w, FailureKind kind, int code, std::span<char> out);

// Tells the user of step's failure (code is the system's error), when it has one; never waits.
void TellFailure(const Worker& w, FailureKind kind, const char16_t* step, int code);

// The page a failed connection to the target gets, and the step the user is told of (null when
// such a failure is shown to nobody).
FailureKind ConnectFailure(ConnectResult result, const char16_t** step);

// Where the connection for the worker's request goes, for the pool of kept ones.
OriginPlace OriginPlaceOf(const Worker& w);

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

// Ends the exchange at once with a reset: whatever the client got, it must not take it for whole.
void EndExchange(Worker& w);

// Receives the next request head into the chunk, starting from the pending bytes: until the
// blank line ending it has arrived, the chunk is full, or the client has closed. Returns the byte
// count (NUL-terminated in the chunk), or -1 when the client failed or did not complete its head
// in time: by deadline, or within the head's own time from now.
long ReceiveHead(Worker& w, std::chrono::steady_clock::time_point deadline);
long ReceiveHead(Worker& w);

// Connects the server to the worker's target, judging its addresses first. kConnected, or what
// went wrong.
ConnectResult ConnectTarget(Worker& w);

// The exchange is over: the origin's connection closes now, the client's gets a FIN at once and
// is kept for the closing delay, reading and dropping what the client still sends, until the
// client closes.
void FinishExchange(Worker& w);

// Serves the requests of the client's connection, the first one or the next ones of one kept:
// with resumed set it waited between requests, and keeps what it was (an inspected tunnel's
// TLS among it).
void ServeConnection(Worker& w, bool resumed);

// One side of an exchange: a connection over its socket, plain or TLS. Every byte an exchange
// moves, and every wait for one, goes through these calls, whichever kind stands behind them.
#pragma once

#include <span>

#include "platform/socket.h"
#include "platform/tls.h"

struct Connection {
  Socket socket;
  TlsStream tls;  // active when the connection speaks TLS

  bool Open() const { return socket.Valid(); }

  // As ReceiveSome: up to buffer.size() bytes, 0 at the peer's end, -1 on failure,
  // kReceiveTimedOut when nothing came within timeoutMs (-1: the idle bound).
  long Receive(std::span<char> buffer, int timeoutMs = -1);

  // Sends every byte. A plain peer that reset or went away counts as sent: the next receive
  // tells how the exchange ends. False when the send failed otherwise.
  bool Send(std::span<const char> bytes);

  // Nothing more comes from us: the TLS goodbye first, then the TCP end.
  void EndSending();

  // Bytes the TLS stream has decrypted already, waiting there rather than in the socket.
  bool HasBuffered() const;

  // After a receive of 0: the peer's end was a clean one (over TLS, with its goodbye).
  bool EndedWell() const;

  // Closes it: with our goodbye over TLS while it is sound.
  void Close();

  // Closes it as cut short: no goodbye, and a TCP reset.
  void Reset();
};

// Waits until a (when given) or b has something to receive, at most timeoutMs: kReadyA | kReadyB
// for those that have, 0 when the time ran out, -1 on failure.
int WaitForEither(const Connection* a, const Connection& b, int timeoutMs);

// The same for several connections (at most kMostWaited; null or closed ones are not waited for):
// ready[i] tells which have something. Returns how many, 0 when the time ran out, -1 on failure.
int WaitForAny(std::span<const Connection* const> connections, std::span<bool> ready,
               int timeoutMs);

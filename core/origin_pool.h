// Origin connections kept open between requests and reused for the next request to the same
// place: plain TCP, verified TLS, or the upstream proxy (one origin for this purpose). A page of
// sixty images from one host then costs one or a few connections instead of sixty handshakes.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>

#include "core/connection.h"
#include "core/server.h"

// How long an origin connection may wait unused before it is no longer offered: shorter than the
// idle time of common servers (a minute or more), so that few are found closed when taken.
inline constexpr int kOriginIdleMs = 30 * 1000;
// Idle connections kept for one place (as many as a browser opens to one host, so that none of
// its connections' requests finds the pool short), and for all together.
inline constexpr size_t kOriginsPerPlace = 6;
inline constexpr size_t kMostIdleOrigins = 64;

// Where a connection goes: the scheme ("http" or "https"), the host and port connected to, and
// for a connection through the upstream proxy its host and port too, so that no connection is
// ever shared across different upstream settings.
struct OriginPlace {
  bool tls = false;
  char host[kTargetHostSize] = {};
  int32_t port = 0;
  char upstream[kTargetHostSize] = {};  // empty when direct
  int32_t upstreamPort = 0;

  friend bool operator==(const OriginPlace& a, const OriginPlace& b);
};

// Takes an idle connection to place into *into, when one is kept and its origin has not closed
// it meanwhile (those found closed go). False when there is none.
bool TakeIdleOrigin(const OriginPlace& place, Connection* into);

// Keeps the connection in *from, sound and at the end of an answer, for the next request to
// place; *from is left empty either way. The oldest idle one makes room when the pool is full.
void KeepIdleOrigin(const OriginPlace& place, Connection* from);

// Closes every idle connection that waited longer than kOriginIdleMs. Any thread, now and then.
void DropStaleOrigins();

// Closes every idle connection: the settings changed, or the program ends.
void DropAllOrigins();

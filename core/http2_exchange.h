// An inspected connection whose browser chose HTTP/2: every stream an exchange, rewritten as a
// plain request is, and carried to the origin over one HTTP/2 connection, or over at most
// kOriginsPerPlace HTTP/1.1 ones where the origin speaks only that. The worker that accepted
// the browser's TLS serves all of it, waiting on every connection at once.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

#include "core/worker.h"

// Limits of one browser connection, told to the browser in its first SETTINGS, and of its
// origin connection.
inline constexpr uint32_t kHttp2MostStreams = 100;         // streams open at once
inline constexpr int32_t kHttp2StreamWindow = 256 * 1024;  // bytes a stream may have sent us
inline constexpr int32_t kHttp2ConnectionWindow = 2 * 1024 * 1024;  // and all of them together
inline constexpr uint32_t kHttp2MostHeaderList = 64 * 1024;  // a head's fields, as HPACK counts
// CONTINUATION frames after one HEADERS: a head needs one or two; more ends the connection.
inline constexpr size_t kHttp2MostContinuations = 8;
// Streams the browser may reset before their answer: a burst, then so many a second. Beyond,
// the connection ends (a rapid reset flood).
inline constexpr uint64_t kHttp2ResetBurst = 200;
inline constexpr uint64_t kHttp2ResetsPerSecond = 33;
// An HTTP/1.1 origin is read only while its stream holds fewer bytes than this for the browser.
inline constexpr size_t kHttp2LaneBuffer = 64 * 1024;

// Carries the request of an HTTP/1.1 browser (its rewritten head with the whole body after it,
// the target a path) over the worker's server connection, whose origin chose HTTP/2, and gives
// the browser the answer in HTTP/1.1. The origin connection is closed after it. False when the
// exchange failed (the client's connection must then be reset); else w.keepClient says whether
// the client's connection may go on.
bool ServeHttp1OverHttp2(Worker& w, std::string_view request, bool keepAlive);

// Serves the browser's streams until its connection ends; the connection is then closed, or with
// the closer. The kept HTTP/1.1 origin connections go back to the pool.
void ServeHttp2Browser(Worker& w);

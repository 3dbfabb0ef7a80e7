// A request head read strictly, as RFC 9112 asks of a proxy: a request now shares its connection
// with the requests after it, so where it ends, where its body ends and where it goes must be
// beyond doubt. Anything that could be read two ways is refused before a byte of it goes on.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

// The largest head taken: request line and header lines with the blank line. Larger ones are
// refused with 431; a browser's head, cookies and all, takes a few kilobytes.
inline constexpr size_t kRequestHeadLimit = 10240;

enum class BodyFraming {
  kNone,     // no body
  kLength,   // Content-Length bytes
  kChunked,  // chunks to the last one and its trailer
};

enum class HeadVerdict {
  kComplete,    // a well-formed head, read into RequestHead
  kIncomplete,  // its blank line has not come yet, within the limit
  kBad,         // 400: it breaks the syntax or its framing is ambiguous
  kTooLarge,    // 431: no blank line within kRequestHeadLimit
};

struct RequestHead {
  size_t length = 0;  // through the blank line
  std::string_view method;
  std::string_view target;
  bool http11 = false;           // HTTP/1.1; else HTTP/1.0
  bool keepAlive = false;        // the client asked to keep the connection (by default on 1.1)
  bool upgrade = false;          // it asks to switch protocols
  bool expectsContinue = false;  // "Expect: 100-continue"
  std::string_view host;         // the Host line's value; empty without one
  BodyFraming body = BodyFraming::kNone;
  uint64_t contentLength = 0;
  const char* why = "";  // for kBad: what was wrong, for the page and the log
};

// Reads the head at the start of bytes.
HeadVerdict ReadRequestHead(std::string_view bytes, RequestHead* head);

// The value of the first header line of head (request line excluded) named name, in any letter
// case, matched on the whole name; nullopt-like empty view with found false when there is none.
std::string_view FindHeaderValue(std::string_view head, std::string_view name, bool* found);

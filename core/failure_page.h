// The answer a client gets when its request could not be carried to the origin: a short page
// saying which host and what went wrong, so the browser shows it at once instead of waiting.
#pragma once

#include <cstddef>
#include <span>
#include <string_view>

enum class FailureKind {
  kNoHost,        // 400: the request names no host
  kNotFound,      // 502: the name has no address
  kRefused,       // 502: the target refused the connection
  kUnreachable,   // 502: no way to the target (or no socket for it)
  kTimedOut,      // 504: the target did not accept within the time allowed
  kSilent,        // 504: the target accepted and sent no answer within the idle bound
  kBadPort,       // 400: the port the request names is not 1 to 65535
  kBadRequest,    // 400: a head that could be read two ways, or a body that breaks its framing
  kHeadTooLarge,  // 431: a head larger than the proxy reads
  kNotAllowed,    // 403: the client may not use this proxy
  kForbidden,     // 403: a client from elsewhere asked for this machine's own services
  kLoop,          // 508: the target is the proxy itself
  // Inspected HTTPS only, each sending the origin not one byte of the request:
  kUnverified,         // 502: the origin's certificate failed verification
  kTlsFailed,          // 502: the TLS handshake with the origin failed
  kNoTunnel,           // 502: the upstream proxy opened no tunnel to the origin
  kClientCertificate,  // 502: the origin asked for a client certificate
  kOldTls,             // 502: the origin offers nothing newer than TLS 1.1
  kOnlyHttp2,          // 502: the origin speaks HTTP/2 alone
  kNotHttp1,           // 505: the request inside the TLS is not HTTP/1.x
};

// Writes the whole answer, head and page, into out. host and systemText are shown escaped.
// Returns the bytes written; a text that would not fit is cut, never the head.
size_t WriteFailurePage(std::span<char> out, FailureKind kind, std::string_view host,
                        std::string_view systemText);

// HTTPS inspection: a CONNECT to a host outside the bypass list, while inspection is on, is
// answered by the proxy itself. It speaks TLS to the browser with a certificate of the local
// authority, reads the request inside and sends it through the same rewriting as plain HTTP, to
// the origin over TLS that it verifies as a browser would.
#pragma once

#include <span>
#include <string_view>

#include "core/request_head.h"
#include "core/worker.h"

// "https://" with a host of kTargetHostSize bytes at most, its brackets and a port.
inline constexpr size_t kOriginTextSize = kTargetHostSize + 16;

enum class TunnelKind {
  kBlind,     // inspection is off: a tunnel as any proxy opens it
  kInspect,   // opened by the proxy itself, its requests rewritten
  kBypassed,  // a host on the bypass list: a tunnel, once the browser's TLS names that host
};

// What the CONNECT head in the chunk gets; its host and port are then in tunnelHost and
// tunnelPort.
TunnelKind ChooseTunnelKind(Worker& w);

// Opens an inspected CONNECT: answers it, and takes the browser's TLS with the certificate of the
// CONNECT's host (a ClientHello naming another is refused), or else plain HTTP inside (a ws://
// WebSocket, port 80). True when its requests follow, served as any others with the CONNECT's
// host and port as their target; false when it ended.
bool OpenInspected(Worker& w);

// Makes the request line's address absolute with the tunnel's origin ("https://host[:port]"), so
// that the rewriting and the page memory see it as a plain request's, and reads the head again.
// False when there is no room for it.
bool MakeAddressAbsoluteForTunnel(Worker& w, long* received, RequestHead* head);

// The origin, "https://host" with ":port" off 443, that the request of an inspected CONNECT goes
// to over TLS, written into out; empty for a request that goes on in clear (plain HTTP, inside a
// CONNECT too).
std::string_view SecureOrigin(const Worker& w, std::span<char> out);

// Serves a bypassed CONNECT as a tunnel, directly or through the upstream proxy, but only once
// the browser's ClientHello names the CONNECT's host or none: another name never reaches it.
void ServeBypassed(Worker& w);

// Once the request head is rewritten: cuts "https://host" out of its request line (or
// "http://host" of a plain one) and aims at the origin, or at the upstream proxy when there is
// one, which gets a plain request with its address whole.
void ChooseInspectedTarget(Worker& w);

enum class OriginSecured {
  kHttp11,   // the origin speaks HTTP/1.1 (or plain HTTP, inside a CONNECT of it)
  kHttp2,    // it refused HTTP/1.1 and chose HTTP/2
  kRefused,  // the exchange has ended
};

// Over the connected server socket: opens the upstream proxy's tunnel when there is one, then
// TLS to the origin, verified as a browser would verify it, offering HTTP/1.1; an origin that
// speaks HTTP/2 alone is connected to again over HTTP/2 when mayTryHttp2. On kRefused the
// browser has a failure page inside its TLS and the origin not one byte of the request.
OriginSecured SecureInspectedOrigin(Worker& w, bool mayTryHttp2);

// TLS to the origin over the connected server socket, through the upstream proxy's tunnel when
// there is one, HTTP/2 offered too where offerHttp2 is set, answering nobody: on failure
// *failure and detail say what the page should.
bool HandshakeInspectedOrigin(Worker& w, bool offerHttp2, FailureKind* failure,
                              std::span<char> detail);

// What the page says of an origin that asked for a client certificate.
inline constexpr char kClientCertificateWords[] = "it asked for a client certificate";

// Tells the user why the origin was refused, on standard error.
void TellOriginRefusal(const Worker& w, FailureKind kind, const char* why);

// After the origin's TLS failed once its handshake was done: true when the origin had asked for
// a client certificate, once the user has been told.
bool RefusedForClientCertificate(const Worker& w, const Connection& origin);

// After the origin's TLS failed once its handshake was done: when the origin had asked for a
// client certificate, answers the browser with the page saying so and returns true.
bool ExplainOriginRefusal(Worker& w);

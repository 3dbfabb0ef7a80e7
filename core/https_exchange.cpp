#include "core/https_exchange.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>

#include "core/bypass_list.h"
#include "core/client_hello.h"
#include "core/connection_close.h"
#include "core/failure_page.h"
#include "core/http2_exchange.h"
#include "core/request_head.h"
#include "core/request_target.h"
#include "core/settings.h"
#include "core/toolkit.h"
#include "core/tunnel.h"
#include "platform/message_box.h"
#include "platform/text_convert.h"

namespace {

constexpr int32_t kHttpsPort = 443;
constexpr int32_t kHttpPort = 80;
// The first byte of a TLS record that starts a handshake.
constexpr char kTlsHandshake = 22;
// Largest ClientHello read before a bypassed tunnel opens: browsers send one of a few KB.
constexpr size_t kMostClientHello = kChunkReceiveLimit;
// The upstream proxy's answer to our CONNECT: a status line and a few header lines.
constexpr size_t kUpstreamAnswerSize = 2048;
constexpr size_t kVerifyErrorSize = 256;

void CopyText(std::string_view text, std::span<char> out) {
  if (out.empty()) return;
  size_t n = std::min(text.size(), out.size() - 1);
  std::memcpy(out.data(), text.data(), n);
  out[n] = '\0';
}

bool IsIpv6(const char* host) {
  return std::strchr(host, ':') != nullptr;
}

// "host:port", an IPv6 address in brackets, as a CONNECT names it.
size_t AuthorityText(const Worker& w, std::span<char> out) {
  const char* format = IsIpv6(w.tunnelHost) ? "[%s]:%d" : "%s:%d";
  int n = std::snprintf(out.data(), out.size(), format, w.tunnelHost,
                        static_cast<int>(w.tunnelPort & 0xFFFF));
  return n < 0 || static_cast<size_t>(n) >= out.size() ? 0 : static_cast<size_t>(n);
}

// "https://host", with ":port" off 443 ("http://host", off 80, for plain HTTP in the tunnel):
// the address the page memory sees for this origin.
size_t OriginText(const Worker& w, std::span<char> out) {
  char authority[kOriginTextSize];
  size_t n = AuthorityText(w, authority);
  if (n == 0) return 0;
  if (w.tunnelPort == (w.tunnelPlain ? kHttpPort : kHttpsPort))
    n = std::string_view(authority, n).rfind(':');
  int written =
      std::snprintf(out.data(), out.size(), "%s%.*s", w.tunnelPlain ? "http://" : "https://",
                    static_cast<int>(n), authority);
  return written < 0 || static_cast<size_t>(written) >= out.size() ? 0
                                                                   : static_cast<size_t>(written);
}

// Answers the browser inside its TLS with the failure page naming the origin, and ends the
// exchange as any other ends.
bool Refuse(Worker& w, FailureKind kind, std::string_view detail) {
  size_t n = WriteFailurePage({w.chunk, kChunkBufferSize}, kind, w.tunnelHost, detail);
  w.client.Send({w.chunk, n});
  FinishExchange(w);
  return false;
}

// Asks the upstream proxy for a tunnel to the origin; true once it has answered 200.
bool OpenUpstreamTunnel(Worker& w) {
  char authority[kOriginTextSize];
  size_t length = AuthorityText(w, authority);
  char request[2 * kOriginTextSize + 64];
  int n = std::snprintf(request, sizeof request, "CONNECT %s HTTP/1.1\r\nHost: %s\r\n\r\n",
                        authority, authority);
  if (length == 0 || n <= 0 || static_cast<size_t>(n) >= sizeof request ||
      SendAll(w.server.socket, {request, static_cast<size_t>(n)}) != 1)
    return false;
  // Nothing of the origin's can follow before our TLS greeting, so the head is all there is.
  char answer[kUpstreamAnswerSize];
  size_t got = 0;
  while (std::string_view(answer, got).find("\r\n\r\n") == std::string_view::npos) {
    if (got == sizeof answer) return false;
    long more = ReceiveSome(w.server.socket, {answer + got, sizeof answer - got});
    if (more <= 0) return false;
    got += static_cast<size_t>(more);
  }
  std::string_view status(answer, got);
  return status.starts_with("HTTP/1.") && status.substr(8, 5) == " 200 ";
}

}  // namespace

TunnelKind ChooseTunnelKind(Worker& w) {
  if (ExtractBetween(TextIn(w.chunk), "CONNECT ", " ", w.tunnelHost) == 0)
    return TunnelKind::kBlind;
  w.tunnelPort = kHttpsPort;
  SplitHostPort(w.tunnelHost, &w.tunnelPort);
  ProxySettings settings = CurrentSettings();
  if (settings.InspectHttps == 0 || !AuthorityInUse()) return TunnelKind::kBlind;
  char bypass[kBypassListUnits * 3];  // UTF-8 takes at most three bytes per UTF-16 unit
  WideToSingleByte(settings.InspectBypass, bypass);
  return IsBypassed(w.tunnelHost, bypass) ? TunnelKind::kBypassed : TunnelKind::kInspect;
}

namespace {

using Clock = std::chrono::steady_clock;

int MillisecondsLeft(Clock::time_point deadline) {
  auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()).count();
  return left > 0 ? static_cast<int>(left) : 0;
}

}  // namespace

bool OpenInspected(Worker& w) {
  if (!w.client.Send(kTunnelEstablished)) {
    EndExchange(w);
    return false;
  }
  // The handshake and the head after it come within the same time as a plain head.
  w.headDeadline = Clock::now() + std::chrono::milliseconds(w.run.options.headTimeoutMs);
  char first = 0;
  if (PeekSome(w.client.socket, {&first, 1}, MillisecondsLeft(w.headDeadline)) != 1) {
    EndExchange(w);
    return false;
  }
  w.tunnelPlain = first != kTlsHandshake;
  if (!w.tunnelPlain) {
    BrowserHandshake accepted =
        w.client.tls.AcceptBrowser(w.client.socket, w.tunnelHost, MillisecondsLeft(w.headDeadline));
    if (accepted != BrowserHandshake::kAccepted) {
      if (accepted == BrowserHandshake::kOtherName) {
        char line[kTargetHostSize + 96];
        std::snprintf(line, sizeof line,
                      "HTTPS inspection: a browser asked for %s named another host", w.tunnelHost);
        char16_t wide[sizeof line];
        WriteMessageLine({wide, SingleByteToWide(line, wide)});
      }
      EndExchange(w);
      return false;
    }
    w.client.tls.SetIdleTimeout(w.run.options.idleTimeoutMs);
  }
  w.inspected = true;
  w.pendingLength = 0;
  if (w.client.tls.SpeaksHttp2()) {
    w.headDeadline = {};   // its streams have no one head to wait for
    ServeHttp2Browser(w);  // every stream of it, to the connection's end
    return false;
  }
  return true;
}

bool MakeAddressAbsoluteForTunnel(Worker& w, long* received, RequestHead* head) {
  char origin[kOriginTextSize];
  size_t originLength = OriginText(w, origin);
  if (originLength == 0) return false;
  // Absolute, as a browser asks a proxy for plain HTTP: the rewriting and the page memory then
  // see "https://host/path" and treat both schemes alike.
  long made = MakeAddressAbsolute({w.chunk, kChunkBufferSize - kConnectionLineRoom}, *received,
                                  {origin, originLength});
  if (made == *received && !head->target.starts_with("http")) return false;  // no room
  *received = made;
  return ReadRequestHead({w.chunk, static_cast<size_t>(made)}, head) == HeadVerdict::kComplete;
}

std::string_view SecureOrigin(const Worker& w, std::span<char> out) {
  if (!w.client.tls.Active() || w.tunnelPlain) return {};
  return {out.data(), OriginText(w, out)};
}

void ServeBypassed(Worker& w) {
  ChooseInspectedTarget(w);
  switch (ConnectTarget(w)) {
    case ConnectResult::kConnected:
      break;
    case ConnectResult::kForbidden:
      AnswerFailure(w, FailureKind::kForbidden, nullptr);
      return;
    case ConnectResult::kLoop:
      AnswerFailure(w, FailureKind::kLoop, nullptr);
      return;
    default:
      w.client.Send(kBadGatewayHead);
      EndExchange(w);
      return;
  }
  if ((w.viaUpstream && !OpenUpstreamTunnel(w)) || !w.client.Send(kTunnelEstablished)) {
    w.client.Send(kBadGatewayHead);
    EndExchange(w);
    return;
  }
  // The browser's first record, read before any byte of it goes on.
  auto deadline = Clock::now() + std::chrono::milliseconds(w.run.options.headTimeoutMs);
  size_t got = 0;
  std::string_view name;
  HelloName hello = HelloName::kIncomplete;
  while (hello == HelloName::kIncomplete && got < kMostClientHello) {
    long n = ReceiveSome(w.client.socket, {w.chunk + got, kMostClientHello - got},
                         MillisecondsLeft(deadline));
    if (n <= 0) break;
    got += static_cast<size_t>(n);
    hello = ServerNameOf({w.chunk, got}, &name);
  }
  bool allowed =
      hello == HelloName::kNone || (hello == HelloName::kNamed && SameHostName(name, w.tunnelHost));
  if (!allowed) {
    if (hello == HelloName::kNamed) {
      char line[2 * kTargetHostSize + 96];
      std::snprintf(line, sizeof line,
                    "HTTPS inspection: a browser asked for %s named %.*s; the tunnel stays shut",
                    w.tunnelHost, static_cast<int>(name.size()), name.data());
      char16_t wide[sizeof line];
      WriteMessageLine({wide, SingleByteToWide(line, wide)});
    }
    EndExchange(w);
    return;
  }
  if (w.server.Send({w.chunk, got}))
    RelayBothWays(w.client.socket, w.server.socket, {w.chunk, kChunkReceiveLimit},
                  w.run.options.idleTimeoutMs);
  EndTunnel(w);
}

void ChooseInspectedTarget(Worker& w) {
  ProxySettings settings = CurrentSettings();
  w.viaUpstream = settings.UseProxy != 0;
  // The upstream proxy takes a plain request as a browser's, with its address whole.
  if (!w.tunnelPlain || !w.viaUpstream)
    StripAbsoluteAddress(w.chunk, w.tunnelPlain ? kHttpScheme : kHttpsScheme);
  if (w.viaUpstream) {
    WideToSingleByte(settings.ProxyName, w.targetHost);
    w.targetPort = settings.ProxyPort;
  } else {
    std::memcpy(w.targetHost, w.tunnelHost, sizeof w.targetHost);
    w.targetPort = w.tunnelPort;
  }
}

bool RefusedForClientCertificate(const Worker& w, const Connection& origin) {
  // Over TLS 1.3 an origin that wants a client certificate says so after the handshake, at the
  // first request; the browser learns why here, as it would from a handshake that failed.
  if (!origin.tls.AskedForClientCertificate()) return false;
  char line[kTargetHostSize + 96];
  std::snprintf(line, sizeof line,
                "HTTPS inspection: %s refused: it asked for a client certificate", w.tunnelHost);
  char16_t wide[sizeof line];
  WriteMessageLine({wide, SingleByteToWide(line, wide)});
  return true;
}

bool ExplainOriginRefusal(Worker& w) {
  if (!RefusedForClientCertificate(w, w.server)) return false;
  Refuse(w, FailureKind::kClientCertificate, kClientCertificateWords);
  return true;
}

bool HandshakeInspectedOrigin(Worker& w, bool offerHttp2, FailureKind* failure,
                              std::span<char> detail) {
  if (w.viaUpstream && !OpenUpstreamTunnel(w)) {
    *failure = FailureKind::kNoTunnel;
    CopyText("", detail);
    return false;
  }
  char error[kVerifyErrorSize];
  OriginHandshake handshake =
      w.server.tls.ConnectOrigin(w.server.socket, w.tunnelHost, w.tunnelPort & 0xFFFF,
                                 w.run.options.connectTimeoutMs, error, offerHttp2);
  w.server.tls.SetIdleTimeout(w.run.options.idleTimeoutMs);
  FailureKind kind = FailureKind::kTlsFailed;
  const char* why = error;
  switch (handshake) {
    case OriginHandshake::kConnected:
      return true;
    case OriginHandshake::kUnverified:
      kind = FailureKind::kUnverified;
      break;
    case OriginHandshake::kClientCertificate:
      kind = FailureKind::kClientCertificate;
      why = kClientCertificateWords;
      break;
    case OriginHandshake::kOldProtocol:
      kind = FailureKind::kOldTls;
      why = "it offers nothing newer than TLS 1.1";
      break;
    case OriginHandshake::kOnlyHttp2:
      kind = FailureKind::kOnlyHttp2;
      why = "it speaks HTTP/2 alone";
      break;
    case OriginHandshake::kTimedOut:
      why = "the handshake timed out";
      break;
    case OriginHandshake::kFailed:
      if (error[0] == '\0') why = "the handshake failed";
      break;
  }
  *failure = kind;
  CopyText(why, detail);
  return false;
}

void TellOriginRefusal(const Worker& w, FailureKind kind, const char* why) {
  if (kind == FailureKind::kNoTunnel) return;  // the page alone says it
  char line[kTargetHostSize + kVerifyErrorSize + 64];
  std::snprintf(line, sizeof line, "HTTPS inspection: %s %s: %s", w.tunnelHost,
                kind == FailureKind::kUnverified ? "not verified" : "refused", why);
  char16_t wide[sizeof line];
  WriteMessageLine({wide, SingleByteToWide(line, wide)});
}

OriginSecured SecureInspectedOrigin(Worker& w, bool mayTryHttp2) {
  if (w.tunnelPlain) return OriginSecured::kHttp11;  // plain HTTP at the CONNECT's host and port
  FailureKind kind = FailureKind::kTlsFailed;
  char why[kVerifyErrorSize];
  // A browser speaking HTTP/1.1 has its requests carried over HTTP/1.1, on connections the
  // pool keeps for whichever request comes next; only an origin that refuses it gets HTTP/2.
  if (HandshakeInspectedOrigin(w, false, &kind, why)) return OriginSecured::kHttp11;
  if (kind == FailureKind::kOnlyHttp2 && mayTryHttp2) {
    w.server.Reset();
    if (ConnectTarget(w) == ConnectResult::kConnected &&
        HandshakeInspectedOrigin(w, true, &kind, why) && w.server.tls.SpeaksHttp2())
      return OriginSecured::kHttp2;
  }
  TellOriginRefusal(w, kind, why);
  Refuse(w, kind, why);
  return OriginSecured::kRefused;
}

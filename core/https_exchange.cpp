#include "core/https_exchange.h"

#include <cstdio>
#include <cstring>

#include "core/bypass_list.h"
#include "core/connection_close.h"
#include "core/failure_page.h"
#include "core/request_target.h"
#include "core/settings.h"
#include "core/toolkit.h"
#include "core/tunnel.h"
#include "platform/message_box.h"
#include "platform/text_convert.h"

namespace {

constexpr int32_t kHttpsPort = 443;
// "https://" with a host of kTargetHostSize bytes at most, its brackets and a port.
constexpr size_t kOriginTextSize = kTargetHostSize + 16;
// The upstream proxy's answer to our CONNECT: a status line and a few header lines.
constexpr size_t kUpstreamAnswerSize = 2048;
constexpr size_t kVerifyErrorSize = 256;

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

// "https://host", with ":port" off 443: the address the page memory sees for this origin.
size_t OriginText(const Worker& w, std::span<char> out) {
  char authority[kOriginTextSize];
  size_t n = AuthorityText(w, authority);
  if (n == 0) return 0;
  if (w.tunnelPort == kHttpsPort) n = std::string_view(authority, n).rfind(':');
  int written =
      std::snprintf(out.data(), out.size(), "https://%.*s", static_cast<int>(n), authority);
  return written < 0 || static_cast<size_t>(written) >= out.size() ? 0
                                                                   : static_cast<size_t>(written);
}

// Answers the browser inside its TLS with the failure page naming the origin, and ends the
// exchange as any other ends.
bool Refuse(Worker& w, FailureKind kind, std::string_view detail) {
  size_t n = WriteFailurePage({w.chunk, kChunkBufferSize}, kind, w.tunnelHost, detail);
  SendTo(w, Side::kClient, {w.chunk, n});
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
      SendAll(w.server, {request, static_cast<size_t>(n)}) != 1)
    return false;
  // Nothing of the origin's can follow before our TLS greeting, so the head is all there is.
  char answer[kUpstreamAnswerSize];
  size_t got = 0;
  while (std::string_view(answer, got).find("\r\n\r\n") == std::string_view::npos) {
    if (got == sizeof answer) return false;
    long more = ReceiveSome(w.server, {answer + got, sizeof answer - got});
    if (more <= 0) return false;
    got += static_cast<size_t>(more);
  }
  std::string_view status(answer, got);
  return status.starts_with("HTTP/1.") && status.substr(8, 5) == " 200 ";
}

}  // namespace

bool ShouldInspect(Worker& w) {
  if (ExtractBetween(TextIn(w.chunk), "CONNECT ", " ", w.tunnelHost) == 0) return false;
  w.tunnelPort = kHttpsPort;
  SplitHostPort(w.tunnelHost, &w.tunnelPort);
  ProxySettings settings = CurrentSettings();
  if (settings.InspectHttps == 0 || !AuthorityInUse()) return false;
  char bypass[kBypassListUnits * 3];  // UTF-8 takes at most three bytes per UTF-16 unit
  WideToSingleByte(settings.InspectBypass, bypass);
  return !IsBypassed(w.tunnelHost, bypass);
}

void ServeInspected(Worker& w) {
  if (!SendOrReset(w.client, kTunnelEstablished)) {
    EndExchange(w);
    return;
  }
  SetIdleTimeout(w.client, w.run.options.headTimeoutMs);  // bounds the handshake
  SendAtOnce(w.client);
  if (!w.clientTls.AcceptBrowser(w.client, w.tunnelHost)) {
    EndExchange(w);
    return;
  }
  SetIdleTimeout(w.client, w.run.options.idleTimeoutMs);
  long received = ReceiveHead(w);
  char origin[kOriginTextSize];
  size_t originLength = OriginText(w, origin);
  if (received <= 0 || originLength == 0) {
    EndExchange(w);
    return;
  }
  // Absolute, as a browser asks a proxy for plain HTTP: the rewriting and the page memory then
  // see "https://host/path" and treat both schemes alike.
  received = MakeAddressAbsolute({w.chunk, kChunkBufferSize - kConnectionCloseLine.size()},
                                 received, {origin, originLength});
  ServeRequest(w, received);
}

void ChooseInspectedTarget(Worker& w) {
  StripAbsoluteAddress(w.chunk, kHttpsScheme);
  ProxySettings settings = CurrentSettings();
  w.viaUpstream = settings.UseProxy != 0;
  if (w.viaUpstream) {
    WideToSingleByte(settings.ProxyName, w.targetHost);
    w.targetPort = settings.ProxyPort;
  } else {
    std::memcpy(w.targetHost, w.tunnelHost, sizeof w.targetHost);
    w.targetPort = w.tunnelPort;
  }
}

bool SecureInspectedOrigin(Worker& w) {
  SendAtOnce(w.server);
  if (w.viaUpstream && !OpenUpstreamTunnel(w)) return Refuse(w, FailureKind::kNoTunnel, "");
  char error[kVerifyErrorSize];
  switch (w.serverTls.ConnectOrigin(w.server, w.tunnelHost, w.tunnelPort & 0xFFFF, error)) {
    case OriginHandshake::kConnected:
      return true;
    case OriginHandshake::kUnverified: {
      char line[kTargetHostSize + kVerifyErrorSize + 64];
      std::snprintf(line, sizeof line, "HTTPS inspection: %s not verified: %s", w.tunnelHost,
                    error);
      char16_t wide[sizeof line];
      size_t units = SingleByteToWide(line, wide);
      WriteMessageLine({wide, units});
      return Refuse(w, FailureKind::kUnverified, error);
    }
    case OriginHandshake::kFailed:
      break;
  }
  return Refuse(w, FailureKind::kTlsFailed, "");
}

#include "core/tunnel.h"

#include "core/https_exchange.h"
#include "core/report_failure.h"
#include "core/request_target.h"
#include "core/settings.h"
#include "core/toolkit.h"
#include "platform/text_convert.h"

namespace {

constexpr std::string_view kTunnelMethod = "CONNECT ";
// A tunnel's target without a port is an HTTPS server.
constexpr int32_t kTunnelDefaultPort = 443;

// The upstream proxy, or the host and port the request line names. False when it names none.
bool ChooseTunnelTarget(Worker& w) {
  ProxySettings settings = CurrentSettings();
  w.viaUpstream = settings.UseProxy != 0;
  if (w.viaUpstream) {
    WideToSingleByte(settings.ProxyName, w.targetHost);
    w.targetPort = settings.ProxyPort;
    return true;
  }
  if (ExtractBetween(TextIn(w.chunk), kTunnelMethod, " ", w.targetHost) == 0) return false;
  w.targetPort = kTunnelDefaultPort;
  SplitHostPort(w.targetHost, &w.targetPort);
  return true;
}

// The host and port the CONNECT names, judged before any tunnel opens. False when refused,
// after answering the client.
bool AcceptTunnelTarget(Worker& w) {
  char host[kTargetHostSize];
  if (ExtractBetween(TextIn(w.chunk), kTunnelMethod, " ", host) == 0) return true;
  int32_t port = kTunnelDefaultPort;
  SplitHostPort(host, &port);
  // A direct tunnel's addresses are judged as it connects; the upstream proxy's are its own.
  if (!PortOutOfRange(port) && CurrentSettings().UseProxy == 0) return true;
  return AcceptNamedTarget(w, host, port);
}

}  // namespace

bool IsTunnelRequest(std::string_view head) {
  return head.starts_with(kTunnelMethod);
}

void EndTunnel(Worker& w) {
  ForgetExchange(w);
  ReportFailure(nullptr, &w.client.socket, &w.server.socket);
}

bool ServeTunnel(Worker& w, long received) {
  if (!AcceptTunnelTarget(w)) return false;
  switch (ChooseTunnelKind(w)) {
    case TunnelKind::kInspect:
      return OpenInspected(w);
    case TunnelKind::kBypassed:
      ServeBypassed(w);
      return false;
    case TunnelKind::kBlind:
      break;
  }
  if (!ChooseTunnelTarget(w)) {
    w.client.Send(kBadGatewayHead);
    EndExchange(w);
    return false;
  }
  switch (ConnectTarget(w)) {
    case ConnectResult::kConnected:
      break;
    case ConnectResult::kForbidden:
      AnswerFailure(w, FailureKind::kForbidden, nullptr);
      return false;
    case ConnectResult::kLoop:
      AnswerFailure(w, FailureKind::kLoop, nullptr);
      return false;
    default:
      w.client.Send(kBadGatewayHead);
      EndExchange(w);
      return false;
  }
  bool viaUpstream = w.viaUpstream;
  std::string_view bytes(w.chunk, static_cast<size_t>(received));
  bool sent;
  if (viaUpstream) {
    // The upstream proxy opens the tunnel and answers the client itself.
    sent = w.server.Send(bytes);
  } else {
    size_t headEnd = bytes.find("\r\n\r\n");
    std::string_view early = headEnd == std::string_view::npos ? "" : bytes.substr(headEnd + 4);
    sent = w.client.Send(kTunnelEstablished) && w.server.Send(early);
  }
  if (sent)
    RelayBothWays(w.client.socket, w.server.socket, {w.chunk, kChunkReceiveLimit},
                  w.run.options.idleTimeoutMs);
  EndTunnel(w);
  return false;
}

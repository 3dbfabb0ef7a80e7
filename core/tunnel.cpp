#include "core/tunnel.h"

#include "core/https_exchange.h"
#include "core/request_target.h"
#include "core/settings.h"
#include "core/toolkit.h"
#include "platform/text_convert.h"

namespace {

constexpr std::string_view kTunnelMethod = "CONNECT ";
// A tunnel's target without a port is an HTTPS server.
constexpr int32_t kTunnelDefaultPort = 443;
constexpr std::string_view kBadGateway =
    "HTTP/1.1 502 Bad Gateway\r\nContent-Length: 0\r\nConnection: close\r\n\r\n";

// The upstream proxy, or the host and port the request line names. False when it names none.
bool ChooseTunnelTarget(Worker& w, bool* viaUpstream) {
  ProxySettings settings = CurrentSettings();
  *viaUpstream = settings.UseProxy != 0;
  if (*viaUpstream) {
    WideToSingleByte(settings.ProxyName, w.targetHost);
    w.targetPort = settings.ProxyPort;
    return true;
  }
  if (ExtractBetween(TextIn(w.chunk), kTunnelMethod, " ", w.targetHost) == 0) return false;
  w.targetPort = kTunnelDefaultPort;
  SplitHostPort(w.targetHost, &w.targetPort);
  return true;
}

}  // namespace

bool IsTunnelRequest(std::string_view head) {
  return head.starts_with(kTunnelMethod);
}

void ServeTunnel(Worker& w, long received) {
  if (ShouldInspect(w)) {
    ServeInspected(w);
    return;
  }
  bool viaUpstream = false;
  if (!ChooseTunnelTarget(w, &viaUpstream) || ConnectTarget(w) != ConnectResult::kConnected) {
    SendOrReset(w.client, kBadGateway);
    EndExchange(w);
    return;
  }
  std::string_view bytes(w.chunk, static_cast<size_t>(received));
  bool sent;
  if (viaUpstream) {
    // The upstream proxy opens the tunnel and answers the client itself.
    sent = SendOrReset(w.server, bytes);
  } else {
    size_t headEnd = bytes.find("\r\n\r\n");
    std::string_view early = headEnd == std::string_view::npos ? "" : bytes.substr(headEnd + 4);
    sent = SendOrReset(w.client, kTunnelEstablished) && SendOrReset(w.server, early);
  }
  if (sent)
    RelayBothWays(w.client, w.server, {w.chunk, kChunkReceiveLimit}, w.run.options.idleTimeoutMs);
  EndExchange(w);
}

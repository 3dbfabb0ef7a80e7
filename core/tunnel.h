// HTTPS through the proxy: a "CONNECT host:port" request opens a tunnel, and bytes then flow
// both ways unchanged until both sides have closed. Nothing inside a tunnel is rewritten.
#pragma once

#include <string_view>

#include "core/worker.h"

// What the client hears once its tunnel is open.
inline constexpr std::string_view kTunnelEstablished =
    "HTTP/1.1 200 Connection established\r\n\r\n";

// What the client hears when no tunnel could be opened.
inline constexpr std::string_view kBadGatewayHead =
    "HTTP/1.1 502 Bad Gateway\r\nContent-Length: 0\r\nConnection: close\r\n\r\n";

// A tunnel that ended as tunnels end: both connections close in good order.
void EndTunnel(Worker& w);

// True for a head whose request line asks for a tunnel.
bool IsTunnelRequest(std::string_view head);

// Opens the tunnel the head (received bytes in the worker's chunk) asks for, directly or through
// the upstream proxy, and carries it until it ends; both connections are closed then, and the
// result is false. True for an inspected one, whose requests follow on the client's connection.
bool ServeTunnel(Worker& w, long received);

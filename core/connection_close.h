// Makes the origin close the connection after its answer: the proxy carries one request per
// client connection and relays until the origin closes, so a kept-alive origin connection would
// hold the exchange open for the origin's idle timeout.
#pragma once

#include <span>
#include <string_view>

inline constexpr std::string_view kConnectionCloseLine = "Connection: close\r\n";

// Removes every "Connection:", "Proxy-Connection:" and "Keep-Alive:" line of the head (any
// letter case) and adds "Connection: close" as its last line. Returns 0, changing nothing, when
// the text holds no complete head or the buffer has no room for the line.
int ForceConnectionClose(std::span<char> chunk);

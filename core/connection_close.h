// One request per client connection, and the answer ends where the origin closes: both heads say
// so. The origin is asked to close after its answer, so that it does not hold the exchange open
// for its idle timeout; the client is told the connection closes after the answer, so that it
// sends its next request on a connection of its own instead of waiting on this one.
#pragma once

#include <cstddef>
#include <span>
#include <string_view>

inline constexpr std::string_view kConnectionCloseLine = "Connection: close\r\n";

// Removes every "Connection:", "Proxy-Connection:" and "Keep-Alive:" line of the head that
// starts the first *length bytes of buffer (any letter case) and adds "Connection: close" as
// its last line; the first line and everything after the head's blank line stay as they are.
// Returns false, changing nothing, when those bytes hold no complete head or the buffer has no
// room for the line and a terminator.
bool ReplaceConnectionLines(std::span<char> buffer, size_t* length);

// The same on a NUL-terminated request head, which stays terminated. Returns 1 when done.
int ForceConnectionClose(std::span<char> chunk);

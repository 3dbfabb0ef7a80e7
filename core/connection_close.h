// One request per client connection, and the answer ends where the origin closes: both heads say
// so. The origin is asked to close after its answer, so that it does not hold the exchange open
// for its idle timeout; the client is told the connection closes after the answer, so that it
// sends its next request on a connection of its own instead of waiting on this one.
#pragma once

#include <cstddef>
#include <span>
#include <string_view>

inline constexpr std::string_view kConnectionCloseLine = "Connection: close\r\n";
// A request to switch protocols (a WebSocket's) keeps asking for it: the connection then carries
// the new protocol both ways until either side closes.
inline constexpr std::string_view kConnectionUpgradeLine = "Connection: Upgrade\r\n";
// Room the rewriting of a request head leaves for the longer of the two.
inline constexpr size_t kConnectionLineRoom = kConnectionUpgradeLine.size();

// True when the head asks to switch protocols: an "Upgrade:" line, and "upgrade" among the
// tokens of its "Connection:" lines (any letter case).
bool AsksForUpgrade(std::string_view head);

// Removes every "Connection:", "Proxy-Connection:" and "Keep-Alive:" line of the head that
// starts the first *length bytes of buffer (any letter case) and adds line (by default
// "Connection: close") as its last line; the first line and everything after the head's blank
// line stay as they are. Returns false, changing nothing, when those bytes hold no complete head
// or the buffer has no room for the line and a terminator.
bool ReplaceConnectionLines(std::span<char> buffer, size_t* length,
                            std::string_view line = kConnectionCloseLine);

// The same on a NUL-terminated request head, which stays terminated: "Connection: close", or
// "Connection: Upgrade" for a head that asks to switch protocols. Returns 1 when done.
int ForceConnectionClose(std::span<char> chunk);

// The connection lines of both heads are the proxy's own, since they speak of each hop alone:
// the origin is asked to keep its connection for the next request, and the client told whether
// its connection stays after this answer.
#pragma once

#include <cstddef>
#include <span>
#include <string_view>

inline constexpr std::string_view kConnectionCloseLine = "Connection: close\r\n";
inline constexpr std::string_view kConnectionKeepAliveLine = "Connection: keep-alive\r\n";
// A request to switch protocols (a WebSocket's) keeps asking for it: the connection then carries
// the new protocol both ways until either side closes.
inline constexpr std::string_view kConnectionUpgradeLine = "Connection: Upgrade\r\n";
// Room the rewriting of a head leaves for the longest of them.
inline constexpr size_t kConnectionLineRoom = kConnectionKeepAliveLine.size();

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

// The same on a NUL-terminated request head, which stays terminated: "Connection: keep-alive", or
// "Connection: Upgrade" for a head that asks to switch protocols. Returns 1 when done.
int ForceConnectionLine(std::span<char> chunk);

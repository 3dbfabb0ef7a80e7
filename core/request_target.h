// What a direct request needs before it leaves: the port split off the host text, and the
// scheme and host cut out of the request line's absolute address.
#pragma once

#include <cstdint>
#include <span>
#include <string_view>

// Splits a port off host text that carries one: "example.com:8000", "[::1]:8000" or "[::1]"
// leave "example.com" or "::1" in host and set *port. A bare IPv6 literal (several colons, no
// brackets) and host text without a port are left as they are.
void SplitHostPort(std::span<char> host, int32_t* port);

inline constexpr std::string_view kHttpScheme = "http://";
inline constexpr std::string_view kHttpsScheme = "https://";

// Cuts the scheme and the host (with any port) out of the request line's address, keeping the "/"
// that follows; an address with no path becomes "/". Only the request line is looked at. Returns
// 1 when the line was changed.
int StripAbsoluteAddress(std::span<char> chunk, std::string_view scheme = kHttpScheme);

// Puts origin ("https://host[:port]") before the request line's address when that address is a
// path, moving every received byte (those past a NUL too) and the terminator after them. Returns
// the new count of received bytes; received when the line is not of that shape or there is no
// room.
long MakeAddressAbsolute(std::span<char> chunk, long received, std::string_view origin);

// The authority of an absolute "http://" address (the scheme in any letter case): what lies
// between "//" and the path, query or fragment, without a user name and password. Empty for an
// address of another shape.
std::string_view AuthorityOf(std::string_view target);

// Where a request goes, from its head alone: the host and port of an absolute address in the
// request line ("http://host:port/path", a user name and password passed over), else those of its
// Host line; the port is 80 when none is named (0 when the one named is no number). False when it
// names no host at all.
bool RequestTargetOf(std::string_view requestTarget, std::string_view hostLine,
                     std::span<char> host, int32_t* port);

// With an absolute address in the request line, the Host line sent on names the same host and
// port: a Host line that names another is replaced, one that is missing is added first. The head
// ends at the chunk's blank line and stays NUL-terminated in the chunk. False when there is no
// room.
bool MatchHostLine(std::span<char> chunk, std::string_view authority);

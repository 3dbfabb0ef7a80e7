// What a direct request needs before it leaves: the port split off the host text, and the
// scheme and host cut out of the request line's absolute address.
#pragma once

#include <cstdint>
#include <span>

// Splits a port off host text that carries one: "example.com:8000", "[::1]:8000" or "[::1]"
// leave "example.com" or "::1" in host and set *port. A bare IPv6 literal (several colons, no
// brackets) and host text without a port are left as they are.
void SplitHostPort(std::span<char> host, int32_t* port);

// Cuts "http://" and the host (with any port) out of the request line's address, keeping the "/"
// that follows; an address with no path becomes "/". Only the request line is looked at. Returns
// 1 when the line was changed.
int StripAbsoluteAddress(std::span<char> chunk);

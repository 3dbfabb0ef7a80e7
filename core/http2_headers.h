// Heads between HTTP/2 and HTTP/1.1. The rewriting and the page memory read and edit HTTP/1.1
// text, so an HTTP/2 request becomes that text first, and the text, once rewritten, becomes the
// header list sent on: one rewriting for both protocols. The same for answers.
//
// An HTTP/2 head is collected as its fields arrive, one "name: value\r\n" line each, the
// pseudo-header fields among them with their colon (":method: GET\r\n"); HPACK has checked
// already that no name or value holds a CR, LF or NUL.
#pragma once

#include <cstddef>
#include <span>
#include <string_view>

struct HeaderField {
  std::string_view name;
  std::string_view value;
};

// Appends one field's line to the collected ones in out at *length. False when out has no room.
bool CollectField(std::span<char> out, size_t* length, std::string_view name,
                  std::string_view value);

// Writes the HTTP/1.1 head of the collected fields into out, NUL-terminated, and returns its
// length (0 when it does not fit or cannot be one):
// - a request (":method", ":path"): "METHOD <origin><path> HTTP/1.1", its address absolute with
//   origin ("https://host[:port]") as a request to a proxy is, then "Host:" from ":authority"
//   (else a host field, else origin's host), the other fields, and the "cookie" fields joined
//   into one line with "; ", as HTTP/1.1 allows only one;
// - an answer (":status"): "HTTP/1.1 <status> <reason>" and the other fields.
size_t WriteHttp1Head(std::string_view collected, std::string_view origin, std::span<char> out);

// The header list of an HTTP/1.1 head (the text up to its blank line), pseudo-header fields first:
// a request's ":method", ":scheme" ("https"), ":authority" (its Host line) and ":path" (an
// absolute address cut to its path), an answer's ":status". No field that speaks of one HTTP/1.1
// connection goes into HTTP/2 (Connection and those it names, Keep-Alive, Proxy-Connection,
// Transfer-Encoding, Upgrade, Host, TE but "trailers"), nor one it cannot carry (a name that is
// no token, a value with CR, LF or NUL). Names are lowercased in head itself, which the fields
// point into. Returns the count, or 0 when the head cannot be read or has more
// fields than out holds.
size_t ToHttp2Fields(std::span<char> head, std::span<HeaderField> out);

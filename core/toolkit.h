// In-place operations on NUL-terminated single-byte request text.
//
// There is no HTTP parser here: every lookup is a plain byte search for a fixed sequence anywhere
// in the text, and the first occurrence wins. Searches are case-sensitive, except ReplaceAll's
// comparisons, which ignore ASCII letter case.
//
// A text being edited is passed as the whole buffer that holds it (std::span<char>), terminator
// and spare room included. Every operation that writes checks that room: an edit or a value that
// would not fit is treated as not found, and the text or destination is left unchanged.
#pragma once

#include <cstdint>
#include <span>
#include <string_view>

// The text held in buffer, up to its terminator (or the buffer's end when it has none).
std::string_view TextIn(std::span<const char> buffer);

// 1 when the first n bytes of a and b are equal with ASCII letter case ignored, else 0. Bytes past
// the end of a view count as the terminator, so a shorter text fails the match there.
int MatchNoCase(std::string_view a, std::string_view b, int n);

// Inserts insertion directly before the first occurrence of key. 0 when key is absent or the
// buffer has no room.
int InsertBefore(std::span<char> text, std::string_view insertion, std::string_view key);

// Removes from the first occurrence of key up to the next endMarker after it, the marker included
// when includeMarker is not 0. 0 when key or the marker after it is absent.
int RemoveSpan(std::span<char> text, std::string_view key, std::string_view endMarker,
               int includeMarker);

// Copies the bytes between the first key and the next endMarker after it into destination,
// NUL-terminated. 0, destination untouched, when either is absent or the value does not fit.
int ExtractBetween(std::string_view text, std::string_view key, std::string_view endMarker,
                   std::span<char> destination);

// Replaces find by replacement, ignoring ASCII case, scanning left to right and resuming step
// bytes after each replacement (0: the replacement's length). The scan stops once its position
// plus the replacements made reaches the text's starting length minus the step. An occurrence
// whose replacement would not fit the buffer is passed over. Returns the number of replacements.
int ReplaceAll(std::span<char> text, std::string_view find, std::string_view replacement, int step);

// The decimal value of text as the C library's atoi reads it (white space, sign, digits), held
// to the 32-bit range instead of overflowing.
int32_t DecimalValue(std::string_view text);

// Takes the address of a "GET ", "POST " or "HEAD " request line into address; any other
// start leaves address as it was.
void GetRequestAddress(std::string_view chunk, std::span<char> address);

// Finds the host from "Host: " or else the absolute address in the request line, and the port
// the request address gives after that host (80 otherwise). 0, host and port untouched, when the
// chunk names no host.
int GetTargetHost(std::string_view chunk, std::string_view requestAddress, int32_t* port,
                  std::span<char> host);

// The value of the "Content-Length: " header; 0 when there is none.
int32_t GetContentLength(std::string_view chunk);

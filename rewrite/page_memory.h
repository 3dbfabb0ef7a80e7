// The memory of the last page the proxy relayed: what a successful answer makes remembered, and
// the repair of requests whose address carries "[object]".
#pragma once

#include <span>
#include <string_view>

// Yahoo! JAPAN: its message boards live under "/bbs" addresses and are served by ".cgi" and
// ".idc" scripts whose answers do not always say "text/html". Matched only when followed by "/".
inline constexpr std::string_view kPortalDomain = "yahoo.co.jp";

// When requestAddress (NUL-terminated) holds "[object]" or "%5Bobject%5D", turns the request into
// one for the remembered page: every occurrence of the address in the chunk becomes the
// remembered address (where the buffer has room), and so does requestAddress itself.
void RepairObjectAddress(std::span<char> chunk, std::span<char> requestAddress);

// Looks at the first answer chunk, exactly the bytes that arrived: a "200" answer containing
// "text/html" makes requestAddress the remembered page; under the portal's domain the shape of
// the address decides instead.
void NoteFirstAnswer(std::string_view answer, std::string_view requestAddress);

// Remembers an address of the portal when its shape names a page rather than an image or other
// resource: it ends in "/", its last segment is a "/bbs" board, or that segment's first "."
// starts an HTML, ".cgi" or ".idc" name.
void RememberPortalPage(std::string_view address);

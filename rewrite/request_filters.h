// The rewriting of each request's first chunk, steered by the settings record.
#pragma once

#include <span>
#include <string_view>

// Edits the NUL-terminated first chunk held in chunk, in this order: repairs "/%7E" in the
// remembered page address, adds a Referer line carrying it, drops the device-describing UA-*
// lines and the client hints the settings withhold (rewrite/client_hints.h), replaces the
// User-Agent line, and converts "%3F" in form posts with a matching Content-Length. Each step reads
// the settings as they stand when it runs. An edit for which the buffer has no room is left out.
// secureOrigin is the origin ("https://host[:port]") the request goes to over TLS, empty when it
// goes in clear: an https page is a Referer only over TLS, whole to its own origin and as that
// origin alone ("https://host/") to another.
void ApplyRequestFilters(std::span<char> chunk, std::string_view secureOrigin = {});

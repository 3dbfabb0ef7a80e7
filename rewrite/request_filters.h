// The rewriting of each request's first chunk, steered by the settings record.
#pragma once

#include <span>

// Edits the NUL-terminated first chunk held in chunk, in this order: repairs "/%7E" in the
// remembered page address, adds a Referer line carrying it, drops the device-describing UA-*
// lines and the client hints the settings withhold (rewrite/client_hints.h), replaces the
// User-Agent line, and converts "%3F" in form posts with a matching Content-Length. Each step reads
// the settings as they stand when it runs. An edit for which the buffer has no room is left out.
void ApplyRequestFilters(std::span<char> chunk);

// Removing whole header lines, chosen by name, from a message head held in a buffer.
#pragma once

#include <cstddef>
#include <span>
#include <string_view>

// True when line begins with one of names (each given without its colon) followed by a colon, in
// any letter case: "Width:" is not "Widths:".
bool HasHeaderName(std::string_view line, std::span<const std::string_view> names);

// Removes, line end included, every header line whose name is one of names from the head that
// takes the first headLength bytes of bytes: its first line, never removed, then header lines
// each ending in "\r\n" (a last one without its line end stays). The bytes after the head move
// up unchanged. Returns the length of the bytes then.
size_t RemoveHeaderLines(std::span<char> bytes, size_t headLength,
                         std::span<const std::string_view> names);

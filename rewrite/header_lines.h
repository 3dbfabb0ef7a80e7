// Finding header lines in a request chunk.
//
// The filters edit header lines, never the request line or the body, so a name is only looked for
// where a line of the head begins: after the request line and before the blank line that ends
// the head (the whole chunk when the head runs past it).
#pragma once

#include <cstddef>
#include <string_view>

inline constexpr size_t kNoLine = std::string_view::npos;

enum class NameCase { kExact, kAnyCase };

// The request line and header lines, each with its line end; the whole text when the chunk ends
// before the blank line.
std::string_view HeadLines(std::string_view text);

// The offset of the first header line that begins with name, or kNoLine.
size_t FindHeaderLine(std::string_view text, std::string_view name,
                      NameCase nameCase = NameCase::kExact);

// The bytes after the chunk's first blank line; 0 when the chunk holds no complete head.
size_t BodyLength(std::string_view text);

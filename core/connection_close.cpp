#include "core/connection_close.h"

#include <cstring>

#include "core/toolkit.h"

namespace {

constexpr std::string_view kHopByHopNames[] = {"Connection:", "Proxy-Connection:", "Keep-Alive:"};

bool IsHopByHopLine(std::string_view line) {
  for (std::string_view name : kHopByHopNames) {
    if (line.size() >= name.size() && MatchNoCase(line, name, static_cast<int>(name.size())) == 1)
      return true;
  }
  return false;
}

}  // namespace

int ForceConnectionClose(std::span<char> chunk) {
  std::string_view text = TextIn(chunk);
  size_t headEnd = text.find("\r\n\r\n");
  if (headEnd == std::string_view::npos) return 0;
  size_t length = text.size();
  if (length + kConnectionCloseLine.size() >= chunk.size()) return 0;
  // Header lines start after each "\r\n" up to the blank line; the request line is never one.
  size_t line = text.find("\r\n") + 2;
  while (line < headEnd + 2) {
    size_t next = std::string_view(chunk.data(), length).find("\r\n", line) + 2;
    if (IsHopByHopLine(std::string_view(chunk.data() + line, next - line))) {
      std::memmove(chunk.data() + line, chunk.data() + next, length - next + 1);
      length -= next - line;
      headEnd -= next - line;
    } else {
      line = next;
    }
  }
  size_t at = headEnd + 2;
  std::memmove(chunk.data() + at + kConnectionCloseLine.size(), chunk.data() + at, length - at + 1);
  std::memcpy(chunk.data() + at, kConnectionCloseLine.data(), kConnectionCloseLine.size());
  return 1;
}

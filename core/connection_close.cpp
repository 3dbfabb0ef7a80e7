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

bool ReplaceConnectionLines(std::span<char> buffer, size_t* length) {
  size_t n = *length;
  std::string_view bytes(buffer.data(), n);
  size_t headEnd = bytes.find("\r\n\r\n");
  if (headEnd == std::string_view::npos) return false;
  if (n + kConnectionCloseLine.size() >= buffer.size()) return false;
  // Header lines start after each "\r\n" up to the blank line; the first line is never one.
  size_t line = bytes.find("\r\n") + 2;
  while (line < headEnd + 2) {
    size_t next = std::string_view(buffer.data(), n).find("\r\n", line) + 2;
    if (IsHopByHopLine(std::string_view(buffer.data() + line, next - line))) {
      std::memmove(buffer.data() + line, buffer.data() + next, n - next);
      n -= next - line;
      headEnd -= next - line;
    } else {
      line = next;
    }
  }
  size_t at = headEnd + 2;
  std::memmove(buffer.data() + at + kConnectionCloseLine.size(), buffer.data() + at, n - at);
  std::memcpy(buffer.data() + at, kConnectionCloseLine.data(), kConnectionCloseLine.size());
  *length = n + kConnectionCloseLine.size();
  return true;
}

int ForceConnectionClose(std::span<char> chunk) {
  size_t length = TextIn(chunk).size();
  if (!ReplaceConnectionLines(chunk, &length)) return 0;
  chunk[length] = '\0';
  return 1;
}

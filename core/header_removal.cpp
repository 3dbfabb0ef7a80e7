#include "core/header_removal.h"

#include <algorithm>
#include <cstring>

#include "core/toolkit.h"

namespace {

constexpr std::string_view kLineEnd = "\r\n";

}  // namespace

bool HasHeaderName(std::string_view line, std::span<const std::string_view> names) {
  for (std::string_view name : names) {
    if (line.size() > name.size() && line[name.size()] == ':' &&
        MatchNoCase(line, name, static_cast<int>(name.size())) == 1)
      return true;
  }
  return false;
}

size_t RemoveHeaderLines(std::span<char> bytes, size_t headLength,
                         std::span<const std::string_view> names) {
  size_t length = bytes.size();
  size_t headEnd = std::min(headLength, length);
  size_t line = std::string_view(bytes.data(), headEnd).find(kLineEnd);
  if (line == std::string_view::npos) return length;
  line += kLineEnd.size();  // past the first line
  while (line < headEnd) {
    size_t lineEnd = std::string_view(bytes.data(), headEnd).find(kLineEnd, line);
    if (lineEnd == std::string_view::npos) break;
    size_t next = lineEnd + kLineEnd.size();
    if (!HasHeaderName({bytes.data() + line, next - line}, names)) {
      line = next;
      continue;
    }
    std::memmove(bytes.data() + line, bytes.data() + next, length - next);
    length -= next - line;
    headEnd -= next - line;
  }
  return length;
}

#include "core/connection_close.h"

#include <cstring>

#include "core/header_removal.h"
#include "core/toolkit.h"

namespace {

constexpr std::string_view kHopByHopNames[] = {"Connection", "Proxy-Connection", "Keep-Alive"};

}  // namespace

bool ReplaceConnectionLines(std::span<char> buffer, size_t* length) {
  size_t n = *length;
  size_t headEnd = std::string_view(buffer.data(), n).find("\r\n\r\n");
  if (headEnd == std::string_view::npos) return false;
  if (n + kConnectionCloseLine.size() >= buffer.size()) return false;
  // The header lines end where the blank line starts; the closing line goes there.
  size_t kept = RemoveHeaderLines(buffer.first(n), headEnd + 2, kHopByHopNames);
  size_t at = headEnd + 2 - (n - kept);
  std::memmove(buffer.data() + at + kConnectionCloseLine.size(), buffer.data() + at, kept - at);
  std::memcpy(buffer.data() + at, kConnectionCloseLine.data(), kConnectionCloseLine.size());
  *length = kept + kConnectionCloseLine.size();
  return true;
}

int ForceConnectionClose(std::span<char> chunk) {
  size_t length = TextIn(chunk).size();
  if (!ReplaceConnectionLines(chunk, &length)) return 0;
  chunk[length] = '\0';
  return 1;
}

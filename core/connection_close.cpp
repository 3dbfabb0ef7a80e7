#include "core/connection_close.h"

#include <cstring>

#include "core/header_removal.h"
#include "core/toolkit.h"

namespace {

constexpr std::string_view kHopByHopNames[] = {"Connection", "Proxy-Connection", "Keep-Alive"};

}  // namespace

bool AsksForUpgrade(std::string_view head) {
  head = head.substr(0, head.find("\r\n\r\n"));
  bool upgradeLine = false;
  bool upgradeToken = false;
  for (size_t at = head.find("\r\n"); at != std::string_view::npos;
       at = head.find("\r\n", at + 2)) {
    std::string_view line = head.substr(at + 2);
    line = line.substr(0, line.find("\r\n"));
    if (line.size() >= 8 && MatchNoCase(line, "Upgrade:", 8) == 1) upgradeLine = true;
    if (line.size() < 11 || MatchNoCase(line, "Connection:", 11) != 1) continue;
    std::string_view tokens = line.substr(11);
    for (size_t i = 0; i + 7 <= tokens.size(); ++i) {
      bool starts = i == 0 || tokens[i - 1] == ' ' || tokens[i - 1] == ',' || tokens[i - 1] == '\t';
      size_t end = i + 7;
      bool ends =
          end == tokens.size() || tokens[end] == ' ' || tokens[end] == ',' || tokens[end] == '\t';
      if (starts && ends && MatchNoCase(tokens.substr(i), "upgrade", 7) == 1) upgradeToken = true;
    }
  }
  return upgradeLine && upgradeToken;
}

bool ReplaceConnectionLines(std::span<char> buffer, size_t* length, std::string_view added) {
  size_t n = *length;
  size_t headEnd = std::string_view(buffer.data(), n).find("\r\n\r\n");
  if (headEnd == std::string_view::npos) return false;
  if (n + added.size() >= buffer.size()) return false;
  // The header lines end where the blank line starts; the added line goes there.
  size_t kept = RemoveHeaderLines(buffer.first(n), headEnd + 2, kHopByHopNames);
  size_t at = headEnd + 2 - (n - kept);
  std::memmove(buffer.data() + at + added.size(), buffer.data() + at, kept - at);
  std::memcpy(buffer.data() + at, added.data(), added.size());
  *length = kept + added.size();
  return true;
}

int ForceConnectionLine(std::span<char> chunk) {
  size_t length = TextIn(chunk).size();
  std::string_view line =
      AsksForUpgrade(TextIn(chunk)) ? kConnectionUpgradeLine : kConnectionKeepAliveLine;
  if (!ReplaceConnectionLines(chunk, &length, line)) return 0;
  chunk[length] = '\0';
  return 1;
}

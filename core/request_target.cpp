#include "core/request_target.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string_view>

#include "core/toolkit.h"

void SplitHostPort(std::span<char> host, int32_t* port) {
  std::string_view text = TextIn(host);
  if (!text.empty() && text[0] == '[') {
    auto close = text.find(']');
    if (close == std::string_view::npos) return;
    std::string_view rest = text.substr(close + 1);
    if (!rest.empty() && rest[0] == ':') *port = DecimalValue(rest.substr(1));
    std::memmove(host.data(), host.data() + 1, close - 1);
    host[close - 1] = '\0';
    return;
  }
  auto colon = text.find(':');
  if (colon == std::string_view::npos || text.find(':', colon + 1) != std::string_view::npos)
    return;
  *port = DecimalValue(text.substr(colon + 1));
  host[colon] = '\0';
}

int StripAbsoluteAddress(std::span<char> chunk, std::string_view scheme) {
  std::string_view text = TextIn(chunk);
  std::string_view line = text.substr(0, text.find('\n'));
  auto space = line.find(' ');
  if (space == std::string_view::npos) return 0;
  auto from = space + 1;
  if (line.size() < from + scheme.size() ||
      MatchNoCase(line.substr(from), scheme, static_cast<int>(scheme.size())) != 1)
    return 0;  // the scheme in any letter case, as the target is read
  auto addressEnd = line.find(' ', from);
  if (addressEnd == std::string_view::npos) addressEnd = line.find('\r', from);
  if (addressEnd == std::string_view::npos) addressEnd = line.size();
  auto slash = line.find('/', from + scheme.size());
  if (slash != std::string_view::npos && slash < addressEnd) {
    std::memmove(chunk.data() + from, chunk.data() + slash, text.size() - slash + 1);
    return 1;
  }
  // "GET http://host HTTP/1.0": the whole address becomes "/", which is never longer.
  chunk[from] = '/';
  std::memmove(chunk.data() + from + 1, chunk.data() + addressEnd, text.size() - addressEnd + 1);
  return 1;
}

long MakeAddressAbsolute(std::span<char> chunk, long received, std::string_view origin) {
  auto count = static_cast<size_t>(received);
  std::string_view bytes(chunk.data(), count);
  std::string_view line = bytes.substr(0, bytes.find('\n'));
  auto space = line.find(' ');
  if (space == std::string_view::npos || space + 1 >= line.size() || line[space + 1] != '/' ||
      count + origin.size() + 1 > chunk.size())
    return received;
  char* address = chunk.data() + space + 1;
  std::memmove(address + origin.size(), address, count - (space + 1) + 1);
  std::memcpy(address, origin.data(), origin.size());
  return static_cast<long>(count + origin.size());
}

std::string_view AuthorityOf(std::string_view target) {
  if (target.size() < kHttpScheme.size() ||
      MatchNoCase(target, kHttpScheme, static_cast<int>(kHttpScheme.size())) != 1)
    return {};
  std::string_view rest = target.substr(kHttpScheme.size());
  std::string_view authority = rest.substr(0, std::min(rest.find_first_of("/?#"), rest.size()));
  size_t at = authority.rfind('@');
  return at == std::string_view::npos ? authority : authority.substr(at + 1);
}

bool RequestTargetOf(std::string_view requestTarget, std::string_view hostLine,
                     std::span<char> host, int32_t* port) {
  std::string_view authority = AuthorityOf(requestTarget);
  if (authority.empty()) authority = hostLine;
  if (authority.empty() || authority.size() >= host.size()) return false;
  std::memcpy(host.data(), authority.data(), authority.size());
  host[authority.size()] = '\0';
  *port = 80;
  SplitHostPort(host, port);
  return host[0] != '\0';
}

bool MatchHostLine(std::span<char> chunk, std::string_view authority) {
  std::string_view text = TextIn(chunk);
  size_t headEnd = text.find("\r\n\r\n");
  if (headEnd == std::string_view::npos) return false;
  // The Host line: its start, and the start of the line after it.
  size_t line = std::string_view::npos;
  for (size_t at = text.find("\r\n"); at < headEnd; at = text.find("\r\n", at + 2)) {
    if (MatchNoCase(text.substr(at + 2), "Host:", 5) == 1) {
      line = at + 2;
      break;
    }
  }
  size_t next =
      line == std::string_view::npos ? text.find("\r\n") + 2 : text.find("\r\n", line) + 2;
  if (line == std::string_view::npos) line = next;  // added as the first header line
  char wanted[600];
  int n = std::snprintf(wanted, sizeof wanted, "Host: %.*s\r\n", static_cast<int>(authority.size()),
                        authority.data());
  if (n <= 0 || static_cast<size_t>(n) >= sizeof wanted) return false;
  size_t replaced = next - line;
  if (std::string_view(text.data() + line, replaced) == std::string_view(wanted, n)) return true;
  size_t length = text.size() - replaced + static_cast<size_t>(n);
  if (length + 1 > chunk.size()) return false;
  std::memmove(chunk.data() + line + n, chunk.data() + next, text.size() - next + 1);
  std::memcpy(chunk.data() + line, wanted, static_cast<size_t>(n));
  return true;
}

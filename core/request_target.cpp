#include "core/request_target.h"

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
  if (line.substr(from, scheme.size()) != scheme) return 0;
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

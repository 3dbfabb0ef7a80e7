#include "rewrite/request_filters.h"

#include <algorithm>
#include <cstring>
#include <string_view>

#include "core/last_page_url.h"
#include "core/request_target.h"
#include "core/settings.h"
#include "core/toolkit.h"
#include "platform/text_convert.h"
#include "rewrite/client_hints.h"
#include "rewrite/form_conversion.h"
#include "rewrite/header_lines.h"

namespace {

constexpr std::string_view kRefererName = "Referer: ";
constexpr std::string_view kUserAgentName = "User-Agent: ";
constexpr std::string_view kLineEnd = "\r\n";

// "Referer: ", the longest remembered address (1023 bytes), the "/" after an origin that is all
// of it, the line end and the terminator.
constexpr size_t kRefererLineSize =
    kRefererName.size() + kLastPageUrlSize - 1 + 1 + kLineEnd.size() + 1;
constexpr int kHttpsPort = 443;
constexpr int kNoPort = 65536;  // the first number too large for a port
// "User-Agent: ", 127 single-byte characters of UAName, the line end and the terminator. A name of
// multi-byte characters that does not fit is cut on a character boundary.
constexpr size_t kUserAgentLineSize = 142;

// The device-describing lines that go unless SendMachine is on, removed in this order.
constexpr std::string_view kDeviceHeaders[] = {"UA-OS:", "UA-color:", "UA-pixels:", "UA-CPU:"};

// Appends part at *used, keeping the terminator; the caller sized line for every part.
void Append(std::span<char> line, size_t* used, std::string_view part) {
  std::memcpy(line.data() + *used, part.data(), part.size());
  *used += part.size();
  line[*used] = '\0';
}

// Inserts line directly before the first header line named name; nothing when there is none.
void InsertBeforeHeader(std::span<char> chunk, std::string_view line, std::string_view name) {
  size_t at = FindHeaderLine(TextIn(chunk), name);
  if (at != kNoLine) InsertBefore(chunk.subspan(at), line, name);
}

// Removes the first header line named name, line end included.
void RemoveHeader(std::span<char> chunk, std::string_view name) {
  size_t at = FindHeaderLine(TextIn(chunk), name);
  if (at != kNoLine) RemoveSpan(chunk.subspan(at), name, kLineEnd, 1);
}

// Browsers write "~" as "/%7E" in some addresses; the remembered one is sent back with "/~".
void RepairTilde() {
  if (CurrentSettings().SpaceConvert == 0) return;
  EditLastPageUrl([](std::span<char> address) { ReplaceAll(address, "/%7E", "/~", 0); });
}

// The origin of an https address: its text up to the path, query or fragment, and the host and
// port it names (443 when none is written, -1 when the port cannot be read).
struct Origin {
  std::string_view text;
  std::string_view host;
  int port = kHttpsPort;
};

Origin HttpsOrigin(std::string_view address) {
  size_t start = kHttpsScheme.size();
  size_t end = std::min(address.find_first_of("/?#", start), address.size());
  Origin origin{address.substr(0, end), address.substr(start, end - start)};
  std::string_view& host = origin.host;
  if (size_t at = host.rfind('@'); at != std::string_view::npos) host.remove_prefix(at + 1);
  size_t colon = host.starts_with('[') ? host.find("]:") : host.find(':');
  if (colon == std::string_view::npos) return origin;
  if (host[colon] == ']') ++colon;  // the brackets stay part of the host
  std::string_view port = host.substr(colon + 1);
  host = host.substr(0, colon);
  if (port.empty()) return origin;
  origin.port = 0;
  for (char c : port) {
    if (c < '0' || c > '9') {
      origin.port = -1;
      return origin;
    }
    origin.port = std::min(origin.port * 10 + (c - '0'), kNoPort);
  }
  if (origin.port == kNoPort) origin.port = -1;
  return origin;
}

bool SameOrigin(const Origin& a, const Origin& b) {
  return a.port >= 0 && a.port == b.port && a.host.size() == b.host.size() &&
         MatchNoCase(a.host, b.host, static_cast<int>(a.host.size())) != 0;
}

// Plain HTTP pages go whole to every request. An https page's address never goes in clear, and
// goes whole only to its own origin: another one over TLS learns no more than that origin, as
// browsers tell it ("https://host/").
void AddReferer(std::span<char> chunk, std::string_view secureOrigin) {
  if (CurrentSettings().SendReferer == 0) return;
  char line[kRefererLineSize];
  size_t used = kRefererName.size();
  std::memcpy(line, kRefererName.data(), used);
  CopyLastPageUrl(std::span<char>(line).subspan(used, kLastPageUrlSize));
  std::string_view address = TextIn(std::span<const char>(line).subspan(used));
  if (address.empty()) return;
  if (MatchNoCase(address, kHttpsScheme, static_cast<int>(kHttpsScheme.size())) == 0) {
    used += address.size();
  } else if (secureOrigin.empty()) {
    return;
  } else if (Origin page = HttpsOrigin(address); SameOrigin(page, HttpsOrigin(secureOrigin))) {
    used += address.size();
  } else {
    used += page.text.size();
    Append(line, &used, "/");
  }
  Append(line, &used, kLineEnd);
  InsertBeforeHeader(chunk, {line, used}, "Host");
}

void RemoveDeviceHeaders(std::span<char> chunk) {
  if (CurrentSettings().SendMachine != 0) return;
  for (std::string_view name : kDeviceHeaders)
    RemoveHeader(chunk, name);
}

void ReplaceUserAgent(std::span<char> chunk) {
  ProxySettings settings = CurrentSettings();
  if (settings.ChangeUA == 0) return;
  RemoveHeader(chunk, kUserAgentName);
  char line[kUserAgentLineSize];
  size_t used = kUserAgentName.size();
  std::memcpy(line, kUserAgentName.data(), used);
  // The name gets all the room but the line end's, so the line always ends properly.
  size_t nameRoom = kUserAgentLineSize - used - kLineEnd.size();
  std::u16string_view name(settings.UAName, WideLength(settings.UAName));
  used += WideToSingleByte(name, std::span<char>(line).subspan(used, nameRoom));
  Append(line, &used, kLineEnd);
  InsertBeforeHeader(chunk, {line, used}, "Host: ");
}

}  // namespace

void ApplyRequestFilters(std::span<char> chunk, std::string_view secureOrigin) {
  RepairTilde();
  AddReferer(chunk, secureOrigin);
  RemoveDeviceHeaders(chunk);
  RemoveClientHints(chunk);
  ReplaceUserAgent(chunk);
  ConvertFormSpaces(chunk);
}

#include "core/request_head.h"

#include <algorithm>

#include "core/toolkit.h"

namespace {

constexpr std::string_view kLineEnd = "\r\n";

// A token character of a header name or method (RFC 9110 section 5.6.2).
bool IsTokenChar(char c) {
  if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9')) return true;
  return std::string_view("!#$%&'*+-.^_`|~").find(c) != std::string_view::npos;
}

bool IsToken(std::string_view text) {
  return !text.empty() && std::all_of(text.begin(), text.end(), IsTokenChar);
}

bool SameName(std::string_view a, std::string_view b) {
  return a.size() == b.size() && MatchNoCase(a, b, static_cast<int>(b.size())) == 1;
}

std::string_view Trimmed(std::string_view value) {
  size_t start = value.find_first_not_of(" \t");
  if (start == std::string_view::npos) return {};
  size_t end = value.find_last_not_of(" \t");
  return value.substr(start, end - start + 1);
}

// Whether a comma-separated list holds token, in any letter case.
bool ListHas(std::string_view list, std::string_view token) {
  while (!list.empty()) {
    size_t comma = std::min(list.find(','), list.size());
    if (SameName(Trimmed(list.substr(0, comma)), token)) return true;
    list.remove_prefix(std::min(comma + 1, list.size()));
  }
  return false;
}

// The last element of a comma-separated list.
std::string_view LastOf(std::string_view list) {
  size_t comma = list.rfind(',');
  return Trimmed(comma == std::string_view::npos ? list : list.substr(comma + 1));
}

HeadVerdict Bad(RequestHead* head, const char* why) {
  head->why = why;
  return HeadVerdict::kBad;
}

}  // namespace

std::string_view FindHeaderValue(std::string_view head, std::string_view name, bool* found) {
  *found = false;
  for (size_t at = head.find(kLineEnd); at != std::string_view::npos;
       at = head.find(kLineEnd, at + kLineEnd.size())) {
    std::string_view line = head.substr(at + kLineEnd.size());
    line = line.substr(0, line.find(kLineEnd));
    size_t colon = line.find(':');
    if (colon == std::string_view::npos || !SameName(line.substr(0, colon), name)) continue;
    *found = true;
    return Trimmed(line.substr(colon + 1));
  }
  return {};
}

HeadVerdict ReadRequestHead(std::string_view bytes, RequestHead* head) {
  *head = RequestHead{};
  size_t end = bytes.find("\r\n\r\n");
  if (end == std::string_view::npos || end + 4 > kRequestHeadLimit) {
    if (bytes.size() >= kRequestHeadLimit) return HeadVerdict::kTooLarge;
    // Nothing that is already wrong waits for more bytes to be refused.
    if (bytes.find('\0') != std::string_view::npos) return Bad(head, "a NUL byte in the head");
    return HeadVerdict::kIncomplete;
  }
  std::string_view text = bytes.substr(0, end + 2);  // every line with its end
  head->length = end + 4;
  for (size_t i = 0; i < text.size(); ++i) {
    char c = text[i];
    if (c == '\0') return Bad(head, "a NUL byte in the head");
    if (c == '\r' && (i + 1 >= text.size() || text[i + 1] != '\n'))
      return Bad(head, "a bare CR in the head");
    if (c == '\n' && (i == 0 || text[i - 1] != '\r')) return Bad(head, "a bare LF in the head");
  }

  // The request line: method, target and version, one space between each.
  std::string_view line = text.substr(0, text.find(kLineEnd));
  size_t first = line.find(' ');
  size_t second = first == std::string_view::npos ? first : line.find(' ', first + 1);
  if (second == std::string_view::npos || line.find(' ', second + 1) != std::string_view::npos)
    return Bad(head, "a request line that is not method, target and version");
  head->method = line.substr(0, first);
  head->target = line.substr(first + 1, second - first - 1);
  std::string_view version = line.substr(second + 1);
  if (!IsToken(head->method) || head->target.empty())
    return Bad(head, "a request line that is not method, target and version");
  // No control byte in the address: a tab in it would end the host in one reader and not in
  // another.
  for (unsigned char c : head->target)
    if (c < 0x21 || c == 0x7F) return Bad(head, "a control byte in the request's address");
  if (version == "HTTP/1.1")
    head->http11 = true;
  else if (version != "HTTP/1.0")
    return Bad(head, "a version other than HTTP/1.0 or HTTP/1.1");
  head->keepAlive = head->http11;

  int hosts = 0;
  bool chunked = false;
  bool hasLength = false;
  bool hasCoding = false;
  for (size_t at = line.size() + 2; at < text.size();) {
    size_t lineEnd = text.find(kLineEnd, at);
    std::string_view field = text.substr(at, lineEnd - at);
    at = lineEnd + 2;
    if (field.front() == ' ' || field.front() == '\t') return Bad(head, "a folded header line");
    size_t colon = field.find(':');
    if (colon == std::string_view::npos || !IsToken(field.substr(0, colon)))
      return Bad(head, "a header line without a name and a colon");
    std::string_view name = field.substr(0, colon);
    std::string_view value = Trimmed(field.substr(colon + 1));
    if (SameName(name, "Host")) {
      if (++hosts > 1) return Bad(head, "two Host lines");
      head->host = value;
    } else if (SameName(name, "Content-Length")) {
      if (value.empty() ||
          !std::all_of(value.begin(), value.end(), [](char c) { return c >= '0' && c <= '9'; }))
        return Bad(head, "a Content-Length that is not a number");
      uint64_t length = 0;
      for (char c : value) {
        if (length > (UINT64_MAX - 9) / 10) return Bad(head, "a Content-Length too large");
        length = length * 10 + static_cast<uint64_t>(c - '0');
      }
      if (hasLength && length != head->contentLength)
        return Bad(head, "Content-Length lines that disagree");
      hasLength = true;
      head->contentLength = length;
    } else if (SameName(name, "Transfer-Encoding")) {
      hasCoding = true;
      chunked = SameName(LastOf(value), "chunked");
    } else if (SameName(name, "Connection")) {
      if (ListHas(value, "close")) head->keepAlive = false;
      if (ListHas(value, "keep-alive") && !head->http11) head->keepAlive = true;
      if (ListHas(value, "upgrade")) head->upgrade = true;
    } else if (SameName(name, "Expect")) {
      head->expectsContinue = SameName(value, "100-continue");
    }
  }
  bool found = false;
  FindHeaderValue(text, "Upgrade", &found);
  head->upgrade = head->upgrade && found;
  if (hasCoding && hasLength) return Bad(head, "both Transfer-Encoding and Content-Length");
  if (hasCoding && !head->http11) return Bad(head, "a Transfer-Encoding in an HTTP/1.0 request");
  if (hasCoding && !chunked) return Bad(head, "a Transfer-Encoding that does not end in chunked");
  if (chunked) {
    head->body = BodyFraming::kChunked;
  } else if (hasLength && head->contentLength > 0) {
    head->body = BodyFraming::kLength;
  }
  // A client that cannot frame its next request closes after this one.
  if (head->upgrade) head->keepAlive = false;
  return HeadVerdict::kComplete;
}

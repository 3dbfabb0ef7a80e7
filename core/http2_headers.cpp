#include "core/http2_headers.h"

#include <algorithm>
#include <cstring>

namespace {

bool SameNoCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    char x = a[i] >= 'A' && a[i] <= 'Z' ? static_cast<char>(a[i] + 32) : a[i];
    char y = b[i] >= 'A' && b[i] <= 'Z' ? static_cast<char>(b[i] + 32) : b[i];
    if (x != y) return false;
  }
  return true;
}

// Calls f(name, value) for each line of collected fields, or of a head's lines after its first.
template <typename F>
void ForEachLine(std::string_view lines, F f) {
  while (!lines.empty()) {
    size_t end = lines.find("\r\n");
    std::string_view line = lines.substr(0, end);
    lines.remove_prefix(end == std::string_view::npos ? lines.size() : end + 2);
    if (line.empty()) break;           // the blank line ending a head
    size_t colon = line.find(':', 1);  // a pseudo-header's own colon comes first
    if (colon == std::string_view::npos) continue;
    std::string_view value = line.substr(colon + 1);
    while (!value.empty() && (value.front() == ' ' || value.front() == '\t'))
      value.remove_prefix(1);
    while (!value.empty() && (value.back() == ' ' || value.back() == '\t'))
      value.remove_suffix(1);
    f(line.substr(0, colon), value);
  }
}

std::string_view Field(std::string_view collected, std::string_view name) {
  std::string_view found;
  bool seen = false;
  ForEachLine(collected, [&](std::string_view n, std::string_view v) {
    if (!seen && SameNoCase(n, name)) {
      found = v;
      seen = true;
    }
  });
  return found;
}

// The words after an answer's status code: none are needed, but some readers look for them.
const char* ReasonOf(int status) {
  switch (status) {
    case 200:
      return "OK";
    case 204:
      return "No Content";
    case 206:
      return "Partial Content";
    case 301:
      return "Moved Permanently";
    case 302:
      return "Found";
    case 303:
      return "See Other";
    case 304:
      return "Not Modified";
    case 307:
      return "Temporary Redirect";
    case 308:
      return "Permanent Redirect";
    case 400:
      return "Bad Request";
    case 403:
      return "Forbidden";
    case 404:
      return "Not Found";
    case 500:
      return "Internal Server Error";
    case 502:
      return "Bad Gateway";
    case 503:
      return "Service Unavailable";
    default:
      return "";
  }
}

class Writer {
 public:
  explicit Writer(std::span<char> out) : out_(out) {}
  void Add(std::string_view text) {
    if (text.size() >= out_.size() - length_) {
      full_ = true;
      return;
    }
    std::memcpy(out_.data() + length_, text.data(), text.size());
    length_ += text.size();
  }
  size_t Finish() {
    if (full_ || length_ >= out_.size()) return 0;
    out_[length_] = '\0';
    return length_;
  }

 private:
  std::span<char> out_;
  size_t length_ = 0;
  bool full_ = false;
};

// A field that speaks of one HTTP/1.1 connection, never sent over HTTP/2 (RFC 9113 section
// 8.2.2), or one HTTP/2 carries as a pseudo-header.
bool ConnectionSpecific(std::string_view name, std::string_view value,
                        std::string_view connectionTokens) {
  for (std::string_view hop :
       {"connection", "keep-alive", "proxy-connection", "transfer-encoding", "upgrade", "host"})
    if (SameNoCase(name, hop)) return true;
  if (SameNoCase(name, "te")) return !SameNoCase(value, "trailers");
  // Fields the Connection line names are this hop's alone too.
  while (!connectionTokens.empty()) {
    size_t comma = connectionTokens.find(',');
    std::string_view token = connectionTokens.substr(0, comma);
    connectionTokens.remove_prefix(comma == std::string_view::npos ? connectionTokens.size()
                                                                   : comma + 1);
    while (!token.empty() && token.front() == ' ')
      token.remove_prefix(1);
    while (!token.empty() && token.back() == ' ')
      token.remove_suffix(1);
    if (!token.empty() && SameNoCase(name, token)) return true;
  }
  return false;
}

// A field HTTP/2 can carry: a token for its name (RFC 9110 section 5.1), so never a
// pseudo-header's colon, and a value without CR, LF or NUL.
bool Carriable(std::string_view name, std::string_view value) {
  if (name.empty()) return false;
  for (char c : name) {
    bool token = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
                 std::string_view("!#$%&'*+-.^_`|~").find(c) != std::string_view::npos;
    if (!token) return false;
  }
  return value.find_first_of(std::string_view("\r\n\0", 3)) == std::string_view::npos;
}

}  // namespace

bool CollectField(std::span<char> out, size_t* length, std::string_view name,
                  std::string_view value) {
  size_t need = name.size() + 2 + value.size() + 2;
  if (*length > out.size() || need > out.size() - *length) return false;
  char* at = out.data() + *length;
  std::memcpy(at, name.data(), name.size());
  at += name.size();
  std::memcpy(at, ": ", 2);
  at += 2;
  std::memcpy(at, value.data(), value.size());
  at += value.size();
  std::memcpy(at, "\r\n", 2);
  *length += need;
  return true;
}

size_t WriteHttp1Head(std::string_view collected, std::string_view origin, std::span<char> out) {
  Writer w(out);
  std::string_view status = Field(collected, ":status");
  if (!status.empty()) {
    if (status.size() != 3) return 0;
    int code = 0;
    for (char c : status) {
      if (c < '0' || c > '9') return 0;
      code = code * 10 + (c - '0');
    }
    if (code < 100) return 0;
    w.Add("HTTP/1.1 ");
    w.Add(status);
    w.Add(" ");
    w.Add(ReasonOf(code));
    w.Add("\r\n");
  } else {
    std::string_view method = Field(collected, ":method");
    std::string_view path = Field(collected, ":path");
    if (method.empty() || path.empty()) return 0;
    w.Add(method);
    w.Add(" ");
    if (path != "*") w.Add(origin);  // "OPTIONS *" asks the server itself
    w.Add(path);
    w.Add(" HTTP/1.1\r\nHost: ");
    std::string_view host = Field(collected, ":authority");
    if (host.empty()) host = Field(collected, "host");
    if (host.empty()) host = origin.substr(std::min(origin.find("//") + 2, origin.size()));
    w.Add(host);
    w.Add("\r\n");
  }
  bool anyCookie = false;
  ForEachLine(collected, [&](std::string_view name, std::string_view value) {
    if (name.starts_with(':') || SameNoCase(name, "host")) return;
    if (SameNoCase(name, "cookie")) {
      anyCookie = true;
      return;
    }
    w.Add(name);
    w.Add(": ");
    w.Add(value);
    w.Add("\r\n");
  });
  if (anyCookie) {
    // HTTP/2 may split cookies over many fields; HTTP/1.1 carries them in one line.
    std::string_view separator = "cookie: ";
    ForEachLine(collected, [&](std::string_view name, std::string_view value) {
      if (!SameNoCase(name, "cookie")) return;
      w.Add(separator);
      w.Add(value);
      separator = "; ";
    });
    w.Add("\r\n");
  }
  w.Add("\r\n");
  return w.Finish();
}

size_t ToHttp2Fields(std::span<char> head, std::span<HeaderField> out) {
  std::string_view text(head.data(), head.size());
  size_t headEnd = text.find("\r\n\r\n");
  if (headEnd == std::string_view::npos || out.size() < 4) return 0;
  text = text.substr(0, headEnd + 4);
  size_t firstEnd = text.find("\r\n");
  std::string_view first = text.substr(0, firstEnd);
  std::string_view lines = text.substr(firstEnd + 2);
  size_t count = 0;
  if (first.starts_with("HTTP/1.")) {
    if (first.size() < 12 || first[8] != ' ') return 0;
    out[count++] = {":status", first.substr(9, 3)};
  } else {
    size_t space = first.find(' ');
    size_t last = first.rfind(' ');
    if (space == std::string_view::npos || last == space) return 0;
    std::string_view target = first.substr(space + 1, last - space - 1);
    // An absolute address keeps its path alone: the authority goes in its own field.
    if (size_t scheme = target.find("://"); scheme != std::string_view::npos && target[0] != '/') {
      size_t path = target.find('/', scheme + 3);
      target = path == std::string_view::npos ? std::string_view("/") : target.substr(path);
    }
    out[count++] = {":method", first.substr(0, space)};
    out[count++] = {":scheme", "https"};
    std::string_view host = Field(lines, "host");
    if (!host.empty()) out[count++] = {":authority", host};
    out[count++] = {":path", target};
  }
  std::string_view connectionTokens;
  ForEachLine(lines, [&](std::string_view name, std::string_view value) {
    if (SameNoCase(name, "connection")) connectionTokens = value;  // one line, as heads send it
  });
  bool fits = true;
  ForEachLine(lines, [&](std::string_view name, std::string_view value) {
    // What HTTP/2 cannot carry, and what is one HTTP/1.1 connection's own, stays behind.
    if (!fits || !Carriable(name, value) || ConnectionSpecific(name, value, connectionTokens))
      return;
    if (count == out.size()) {
      fits = false;
      return;
    }
    // HTTP/2 names are lowercase; the view points into head, so the letters change there.
    char* letters = head.data() + (name.data() - head.data());
    for (size_t i = 0; i < name.size(); ++i)
      if (letters[i] >= 'A' && letters[i] <= 'Z') letters[i] = static_cast<char>(letters[i] + 32);
    out[count++] = {name, value};
  });
  return fits ? count : 0;
}

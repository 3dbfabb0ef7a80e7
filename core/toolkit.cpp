#include "core/toolkit.h"

#include <climits>
#include <cstring>

namespace {

using Size = std::string_view::size_type;
constexpr Size kNotFound = std::string_view::npos;

unsigned char Fold(unsigned char c) {
  return (c >= 'A' && c <= 'Z') ? c + ('a' - 'A') : c;
}

unsigned char ByteAt(std::string_view s, Size k) {
  return k < s.size() ? static_cast<unsigned char>(s[k]) : 0;
}

// The length of the text in buffer, or kNotFound when the buffer holds no terminator and so has
// no room for any edit.
Size TerminatedLength(std::span<const char> buffer) {
  Size n = ::strnlen(buffer.data(), buffer.size());
  return n < buffer.size() ? n : kNotFound;
}

}  // namespace

std::string_view TextIn(std::span<const char> buffer) {
  return {buffer.data(), ::strnlen(buffer.data(), buffer.size())};
}

int MatchNoCase(std::string_view a, std::string_view b, int n) {
  for (int k = 0; k < n; ++k) {
    if (Fold(ByteAt(a, static_cast<Size>(k))) != Fold(ByteAt(b, static_cast<Size>(k)))) return 0;
  }
  return 1;
}

int InsertBefore(std::span<char> text, std::string_view insertion, std::string_view key) {
  Size length = TerminatedLength(text);
  if (length == kNotFound) return 0;
  Size at = std::string_view(text.data(), length).find(key);
  if (at == kNotFound || length + insertion.size() >= text.size()) return 0;
  std::memmove(text.data() + at + insertion.size(), text.data() + at, length - at + 1);
  std::memcpy(text.data() + at, insertion.data(), insertion.size());
  return 1;
}

int RemoveSpan(std::span<char> text, std::string_view key, std::string_view endMarker,
               int includeMarker) {
  Size length = TerminatedLength(text);
  if (length == kNotFound) return 0;
  std::string_view view(text.data(), length);
  Size from = view.find(key);
  if (from == kNotFound) return 0;
  Size marker = view.find(endMarker, from + key.size());
  if (marker == kNotFound) return 0;
  Size to = includeMarker != 0 ? marker + endMarker.size() : marker;
  std::memmove(text.data() + from, text.data() + to, length - to + 1);
  return 1;
}

int ExtractBetween(std::string_view text, std::string_view key, std::string_view endMarker,
                   std::span<char> destination) {
  Size at = text.find(key);
  if (at == kNotFound) return 0;
  Size start = at + key.size();
  Size end = text.find(endMarker, start);
  if (end == kNotFound || end - start >= destination.size()) return 0;
  std::memcpy(destination.data(), text.data() + start, end - start);
  destination[end - start] = '\0';
  return 1;
}

int ReplaceAll(std::span<char> text, std::string_view find, std::string_view replacement,
               int step) {
  Size startLength = TerminatedLength(text);
  if (startLength == kNotFound) return 0;
  const long findLength = static_cast<long>(find.size());
  const long replaceLength = static_cast<long>(replacement.size());
  const long stride = step == 0 ? replaceLength : step;
  const long limit = static_cast<long>(startLength) - stride;
  long length = static_cast<long>(startLength);
  int count = 0;
  for (long p = 0; p + count < limit;) {
    std::string_view rest(text.data() + p, p < length ? static_cast<Size>(length - p) : 0);
    long grownLength = length - findLength + replaceLength;
    if (p >= length || MatchNoCase(rest, find, static_cast<int>(findLength)) == 0 ||
        grownLength >= static_cast<long>(text.size())) {
      ++p;
      continue;
    }
    std::memmove(text.data() + p + replaceLength, text.data() + p + findLength,
                 static_cast<Size>(length - p - findLength + 1));
    std::memcpy(text.data() + p, replacement.data(), replacement.size());
    length = grownLength;
    ++count;
    // An empty replacement resumes at the same place, so adjacent occurrences all go; the
    // scan still ends, since every replacement counts towards its limit.
    p += stride >= 0 ? stride : 1;
  }
  return count;
}

int32_t DecimalValue(std::string_view text) {
  Size i = 0;
  while (i < text.size() && (text[i] == ' ' || (text[i] >= '\t' && text[i] <= '\r')))
    ++i;
  bool negative = false;
  if (i < text.size() && (text[i] == '+' || text[i] == '-')) negative = text[i++] == '-';
  long long value = 0;
  for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i) {
    value = value * 10 + (text[i] - '0');
    if (value > static_cast<long long>(INT32_MAX) + 1)
      value = static_cast<long long>(INT32_MAX) + 1;
  }
  if (negative) value = -value;
  if (value > INT32_MAX) value = INT32_MAX;
  return static_cast<int32_t>(value);
}

void GetRequestAddress(std::string_view chunk, std::span<char> address) {
  if (chunk.empty()) return;
  std::string_view key;
  if (chunk[0] == 'G') {
    key = "GET ";
  } else if (chunk[0] == 'P' && chunk.size() > 1 && chunk[1] == 'O') {
    key = "POST ";
  } else if (chunk[0] == 'H') {
    key = "HEAD ";
  } else {
    return;
  }
  ExtractBetween(chunk, key, " ", address);
}

namespace {

// The port written after the host text in the request address, as "host:port/" or in the
// "host[:port]/" form; 80 when there is none.
int32_t PortAfterHost(std::string_view afterHost) {
  if (afterHost.empty()) return 80;
  if (afterHost[0] == ':') {
    // With no "/" after the colon the digits run to the end of the address.
    Size slash = afterHost.find('/', 1);
    return DecimalValue(afterHost.substr(1, slash == kNotFound ? kNotFound : slash - 1));
  }
  if (afterHost[0] == '[') {
    Size open = afterHost.find("[:");
    if (open == kNotFound) return 80;
    Size close = afterHost.find("]/", open + 2);
    if (close == kNotFound) return 80;
    return DecimalValue(afterHost.substr(open + 2, close - open - 2));
  }
  return 80;
}

}  // namespace

int GetTargetHost(std::string_view chunk, std::string_view requestAddress, int32_t* port,
                  std::span<char> host) {
  if (ExtractBetween(chunk, "Host: ", "\r", host) == 0 &&
      ExtractBetween(chunk, " http://", "/", host) == 0) {
    return 0;
  }
  std::string_view hostText = TextIn(host);
  Size at = requestAddress.find(hostText);
  *port = at == kNotFound ? 80 : PortAfterHost(requestAddress.substr(at + hostText.size()));
  return 1;
}

int32_t GetContentLength(std::string_view chunk) {
  // The value text keeps its carriage return; 11 bytes of it at most, as a 12-byte buffer holds.
  char value[12];
  if (ExtractBetween(chunk, "Content-Length: ", "\n", value) == 0) return 0;
  return DecimalValue(value);
}

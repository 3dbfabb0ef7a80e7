// Pure helpers of the load generator, kept apart so that they can be tested without a network.
#pragma once

#include <algorithm>
#include <cctype>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace loadgen {

// Nearest-rank percentile (p in 0..100) of unsorted samples; 0 for no samples.
inline uint32_t Percentile(std::vector<uint32_t> samples, double p) {
  if (samples.empty()) return 0;
  std::sort(samples.begin(), samples.end());
  if (p <= 0) return samples.front();
  double rank = p / 100.0 * static_cast<double>(samples.size());
  size_t index = static_cast<size_t>(rank);
  if (static_cast<double>(index) < rank) ++index;  // ceil without floating surprises at integers
  if (index == 0) index = 1;
  if (index > samples.size()) index = samples.size();
  return samples[index - 1];
}

inline bool StartsWithNoCase(std::string_view text, std::string_view prefix) {
  if (text.size() < prefix.size()) return false;
  for (size_t i = 0; i < prefix.size(); ++i) {
    if (std::tolower(static_cast<unsigned char>(text[i])) !=
        std::tolower(static_cast<unsigned char>(prefix[i])))
      return false;
  }
  return true;
}

// What the head of an answer says about its end.
struct AnswerHead {
  int status = 0;                    // 0 when the status line is not "HTTP/x.y NNN"
  long long contentLength = -1;      // -1 when absent or unreadable: the answer ends at close
  bool connectionClose = false;      // a "Connection: close" line
  bool connectionKeepAlive = false;  // a "Connection: keep-alive" line
  bool http10 = false;               // an HTTP/1.0 status line
  size_t headBytes = 0;              // bytes up to and including the blank line
};

// Parses an answer head from the start of buf. False while the blank line has not arrived.
inline bool ParseAnswerHead(std::string_view buf, AnswerHead* out) {
  size_t end = buf.find("\r\n\r\n");
  if (end == std::string_view::npos) return false;
  AnswerHead head;
  head.headBytes = end + 4;
  std::string_view text = buf.substr(0, end + 2);
  size_t lineEnd = text.find("\r\n");
  std::string_view status = text.substr(0, lineEnd);
  if (StartsWithNoCase(status, "HTTP/") && status.size() >= 12 && status[8] == ' ') {
    int code = 0;
    bool digits = true;
    for (size_t i = 9; i < 12; ++i) {
      if (!std::isdigit(static_cast<unsigned char>(status[i]))) digits = false;
      code = code * 10 + (status[i] - '0');
    }
    if (digits) head.status = code;
    head.http10 = status.substr(5, 3) == "1.0";
  }
  size_t pos = lineEnd + 2;
  while (pos < text.size()) {
    size_t next = text.find("\r\n", pos);
    std::string_view line = text.substr(pos, next - pos);
    pos = next + 2;
    size_t colon = line.find(':');
    if (colon == std::string_view::npos) continue;
    std::string_view name = line.substr(0, colon);
    std::string_view value = line.substr(colon + 1);
    while (!value.empty() && (value.front() == ' ' || value.front() == '\t'))
      value.remove_prefix(1);
    while (!value.empty() && (value.back() == ' ' || value.back() == '\t'))
      value.remove_suffix(1);
    if (name.size() == 14 && StartsWithNoCase(name, "content-length")) {
      long long n = 0;
      bool ok = !value.empty();
      for (char ch : value) {
        if (!std::isdigit(static_cast<unsigned char>(ch))) {
          ok = false;
          break;
        }
        n = n * 10 + (ch - '0');
      }
      head.contentLength = ok ? n : -1;
    } else if (name.size() == 10 && StartsWithNoCase(name, "connection")) {
      for (size_t i = 0; i + 5 <= value.size(); ++i) {
        if (StartsWithNoCase(value.substr(i), "close")) head.connectionClose = true;
        if (StartsWithNoCase(value.substr(i), "keep-alive")) head.connectionKeepAlive = true;
      }
    }
  }
  *out = head;
  return true;
}

// Whether the connection may carry another request once this answer's body has arrived: its end
// is known from Content-Length, and neither side's version or Connection line closes it.
inline bool CanReuse(const AnswerHead& head) {
  if (head.status < 200 || head.contentLength < 0 || head.connectionClose) return false;
  return !head.http10 || head.connectionKeepAlive;
}

// The request sent for each exchange: absolute form through a proxy, origin form directly;
// "Connection: close" unless the connection is to be kept for the next request.
inline std::string BuildRequest(std::string_view host, std::string_view path, bool viaProxy,
                                bool keepAlive = false) {
  std::string r = "GET ";
  if (viaProxy) {
    r += "http://";
    r += host;
  }
  r += path;
  r += " HTTP/1.1\r\nHost: ";
  r += host;
  r += "\r\nUser-Agent: corvane-bench/1\r\nAccept: */*\r\nConnection: ";
  r += keepAlive ? "keep-alive\r\n\r\n" : "close\r\n\r\n";
  return r;
}

}  // namespace loadgen

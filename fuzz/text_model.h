// Plain-string models of what the in-place edits should leave behind, for the targets to compare
// the edited buffers with.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "fuzz/fuzz_check.h"

// Where find occurs in text, ASCII case ignored, scanning left to right and resuming after each
// occurrence, as a replacement pass meets them.
inline std::vector<size_t> OccurrencesNoCase(std::string_view text, std::string_view find) {
  std::vector<size_t> found;
  if (find.empty()) return found;
  for (size_t p = 0; p + find.size() <= text.size();) {
    if (StartsWithNoCase(text.substr(p), find)) {
      found.push_back(p);
      p += find.size();
    } else {
      ++p;
    }
  }
  return found;
}

// text with its first count occurrences of find (as OccurrencesNoCase lists them) replaced.
inline std::string ReplaceFirstNoCase(std::string_view text, std::string_view find,
                                      std::string_view replacement, size_t count) {
  std::string out;
  size_t from = 0;
  std::vector<size_t> found = OccurrencesNoCase(text, find);
  for (size_t i = 0; i < found.size() && i < count; ++i) {
    out.append(text.substr(from, found[i] - from));
    out.append(replacement);
    from = found[i] + find.size();
  }
  out.append(text.substr(from));
  return out;
}

// A request text cut at its first blank line: the head with the last header line's "\r\n", and
// the body after the blank line. Without a blank line the whole text is head.
struct HeadBody {
  std::string_view head;
  std::string_view body;
  bool complete = false;
};

inline HeadBody SplitHead(std::string_view text) {
  size_t end = text.find("\r\n\r\n");
  if (end == std::string_view::npos) return {text, {}, false};
  return {text.substr(0, end + 2), text.substr(end + 4), true};
}

// text cut after each occurrence of separator; the last piece may lack it.
inline std::vector<std::string_view> Pieces(std::string_view text, std::string_view separator) {
  std::vector<std::string_view> pieces;
  while (!text.empty()) {
    size_t end = text.find(separator);
    size_t cut = end == std::string_view::npos ? text.size() : end + separator.size();
    pieces.push_back(text.substr(0, cut));
    text.remove_prefix(cut);
  }
  return pieces;
}

// An absolute address as the page memory keeps it: without the user name and password between
// "://" and the last "@" before the path, query or fragment.
inline std::string WithoutCredentials(std::string_view address) {
  size_t scheme = address.find("://");
  if (scheme == std::string_view::npos) return std::string(address);
  size_t host = scheme + 3;
  size_t end = std::min(address.find_first_of("/?#", host), address.size());
  size_t at = address.substr(host, end - host).rfind('@');
  if (at == std::string_view::npos) return std::string(address);
  return std::string(address.substr(0, host)) + std::string(address.substr(host + at + 1));
}

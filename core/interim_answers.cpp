#include "core/interim_answers.h"

namespace {

// "HTTP/1.1 1xx ...": a status line whose code is three digits starting with 1.
bool IsInterimStatusLine(std::string_view bytes) {
  if (!bytes.starts_with("HTTP/")) return false;
  size_t space = bytes.find(' ');
  size_t lineEnd = bytes.find("\r\n");
  if (space == std::string_view::npos || space + 4 > bytes.size() || space > lineEnd) return false;
  std::string_view code = bytes.substr(space + 1, 3);
  for (char c : code)
    if (c < '0' || c > '9') return false;
  // "101 Switching Protocols" ends the answers: what follows is another protocol.
  return code[0] == '1' && code != "101";
}

}  // namespace

size_t FinalAnswerStart(std::string_view bytes) {
  size_t at = 0;
  while (at < bytes.size() && IsInterimStatusLine(bytes.substr(at))) {
    size_t blank = bytes.find("\r\n\r\n", at);
    if (blank == std::string_view::npos) return std::string_view::npos;
    at = blank + 4;
  }
  return at;
}

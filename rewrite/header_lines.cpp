#include "rewrite/header_lines.h"

#include "core/toolkit.h"

namespace {

constexpr std::string_view kHeadEnd = "\r\n\r\n";

bool StartsWith(std::string_view text, std::string_view name, NameCase nameCase) {
  if (text.size() < name.size()) return false;
  if (nameCase == NameCase::kExact) return text.substr(0, name.size()) == name;
  return MatchNoCase(text, name, static_cast<int>(name.size())) == 1;
}

}  // namespace

std::string_view HeadLines(std::string_view text) {
  size_t end = text.find(kHeadEnd);
  return end == std::string_view::npos ? text : text.substr(0, end + 2);
}

size_t FindHeaderLine(std::string_view text, std::string_view name, NameCase nameCase) {
  std::string_view head = HeadLines(text);
  // Starting after the first line feed passes over the request line.
  for (size_t lf = head.find('\n'); lf != std::string_view::npos; lf = head.find('\n', lf + 1)) {
    if (StartsWith(head.substr(lf + 1), name, nameCase)) return lf + 1;
  }
  return kNoLine;
}

size_t BodyLength(std::string_view text) {
  size_t end = text.find(kHeadEnd);
  return end == std::string_view::npos ? 0 : text.size() - end - kHeadEnd.size();
}

#include "core/bypass_list.h"

#include "core/toolkit.h"

namespace {

constexpr std::string_view kSeparators = "; \t\r\n";
constexpr std::string_view kUnderPrefix = "*.";

bool SameName(std::string_view a, std::string_view b) {
  return a.size() == b.size() && MatchNoCase(a, b, static_cast<int>(a.size())) == 1;
}

std::string_view WithoutFinalDot(std::string_view name) {
  if (name.ends_with('.')) name.remove_suffix(1);
  return name;
}

bool Matches(std::string_view host, std::string_view pattern) {
  pattern = WithoutFinalDot(pattern);
  if (!pattern.starts_with(kUnderPrefix)) return !pattern.empty() && SameName(host, pattern);
  std::string_view parent = pattern.substr(1);  // ".example.com"
  return parent.size() > 1 && host.size() > parent.size() &&
         SameName(host.substr(host.size() - parent.size()), parent);
}

}  // namespace

bool IsBypassed(std::string_view host, std::string_view list) {
  host = WithoutFinalDot(host);
  if (host.empty()) return false;
  size_t at = list.find_first_not_of(kSeparators);
  while (at != std::string_view::npos) {
    size_t end = list.find_first_of(kSeparators, at);
    std::string_view pattern = list.substr(at, end == std::string_view::npos ? end : end - at);
    if (Matches(host, pattern)) return true;
    at = list.find_first_not_of(kSeparators, end);
  }
  return false;
}

#include <string_view>

#include "core/last_page_url.h"
#include "rewrite/page_memory.h"

namespace {

constexpr std::string_view kBoard = "/bbs";

// Whether the address names a page, judged from its last segment: the text from its last "/"
// on, query included.
bool NamesPortalPage(std::string_view address) {
  if (address.empty()) return false;
  if (address.back() == '/') return true;
  size_t slash = address.rfind('/');
  if (slash == std::string_view::npos) return false;
  std::string_view segment = address.substr(slash);
  if (segment.substr(0, kBoard.size()) == kBoard) {
    if (segment.size() == kBoard.size()) return true;
    char next = segment[kBoard.size()];
    if (next == '_' || next == '?') return true;
  }
  size_t dot = segment.find('.');
  if (dot == std::string_view::npos) return false;
  std::string_view name = segment.substr(dot);
  return name.find("htm") != std::string_view::npos || name.substr(0, 4) == ".cgi" ||
         name.substr(0, 4) == ".idc";
}

}  // namespace

void RememberPortalPage(std::string_view address) {
  if (NamesPortalPage(address)) SetLastPageUrl(address);
}

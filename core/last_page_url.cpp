#include "core/last_page_url.h"

#include <algorithm>
#include <cstring>
#include <mutex>

namespace {

std::mutex pageLock;
char lastPageUrl[kLastPageUrlSize];

}  // namespace

void CopyLastPageUrl(std::span<char> dst) {
  if (dst.empty()) return;
  std::lock_guard<std::mutex> hold(pageLock);
  size_t n = std::min(::strnlen(lastPageUrl, kLastPageUrlSize - 1), dst.size() - 1);
  std::memcpy(dst.data(), lastPageUrl, n);
  dst[n] = '\0';
}

void SetLastPageUrl(std::string_view address) {
  size_t n = std::min(address.size(), kLastPageUrlSize - 1);
  std::lock_guard<std::mutex> hold(pageLock);
  if (n > 0) std::memcpy(lastPageUrl, address.data(), n);
  lastPageUrl[n] = '\0';
}

void EditLastPageUrl(void (*edit)(std::span<char> address)) {
  std::lock_guard<std::mutex> hold(pageLock);
  edit(std::span<char>(lastPageUrl));
  lastPageUrl[kLastPageUrlSize - 1] = '\0';
}

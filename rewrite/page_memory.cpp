#include "rewrite/page_memory.h"

#include <algorithm>
#include <cstring>

#include "core/last_page_url.h"
#include "core/toolkit.h"

namespace {

// Where the status code stands after "HTTP/1.x" and one space, and its length.
constexpr size_t kStatusOffset = 9;
constexpr std::string_view kStatusOk = "200";

// The triggers are matched byte for byte: "[OBJECT]" or "%5bobject%5d" are not repaired.
bool NamesAnObject(std::string_view address) {
  return address.find("[object]") != std::string_view::npos ||
         address.find("%5Bobject%5D") != std::string_view::npos;
}

bool UnderPortal(std::string_view address) {
  for (size_t at = address.find(kPortalDomain); at != std::string_view::npos;
       at = address.find(kPortalDomain, at + 1)) {
    size_t after = at + kPortalDomain.size();
    if (after < address.size() && address[after] == '/') return true;
  }
  return false;
}

}  // namespace

void RepairObjectAddress(std::span<char> chunk, std::span<char> requestAddress) {
  std::string_view address = TextIn(requestAddress);
  if (address.empty() || !NamesAnObject(address)) return;
  // One copy serves both the chunk and the address, so they agree even while others remember.
  char remembered[kLastPageUrlSize];
  CopyLastPageUrl(remembered);
  std::string_view page = TextIn(remembered);
  ReplaceAll(chunk, address, page, 0);
  size_t n = std::min(page.size(), requestAddress.size() - 1);
  std::memcpy(requestAddress.data(), page.data(), n);
  requestAddress[n] = '\0';
}

void NoteFirstAnswer(std::string_view answer, std::string_view requestAddress) {
  // An address with a line break in it would carry extra header lines into every later request's
  // Referer: one client could write into others' requests. Such an address is never remembered.
  if (requestAddress.find_first_of("\r\n") != std::string_view::npos) return;
  if (answer.size() < kStatusOffset + kStatusOk.size() ||
      answer.substr(kStatusOffset, kStatusOk.size()) != kStatusOk) {
    return;
  }
  // Read as text: whatever follows a NUL byte does not count.
  std::string_view text = answer.substr(0, answer.find('\0'));
  if (text.find("text/html") != std::string_view::npos) {
    SetLastPageUrl(requestAddress);
  } else if (UnderPortal(requestAddress)) {
    RememberPortalPage(requestAddress);
  }
}

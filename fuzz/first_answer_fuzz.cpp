// What the first chunk of an answer makes remembered: NoteFirstAnswer with any answer bytes and
// any request address, and the portal rule on its own.
//
// Input: the request address, a NUL, and the answer's first chunk exactly as received (NUL bytes
// included).
#include <algorithm>
#include <cstdint>
#include <string>

#include "core/last_page_url.h"
#include "core/server.h"
#include "core/toolkit.h"
#include "fuzz/fuzz_check.h"
#include "fuzz/text_model.h"
#include "rewrite/page_memory.h"

namespace {

constexpr std::string_view kBefore = "http://before.example/remembered.html";

std::string RememberedPage() {
  char page[kLastPageUrlSize];
  CopyLastPageUrl(page);
  return std::string(TextIn(page));
}

void CheckRememberedPageTerminated() {
  EditLastPageUrl([](std::span<char> page) {
    FUZZ_CHECK(page.size() == kLastPageUrlSize && TerminatedWithin(page));
  });
}

bool UnderPortal(std::string_view address) {
  std::string domain = std::string(kPortalDomain) + "/";
  return address.find(domain) != std::string_view::npos;
}

// What the portal rule can never remember, and what it always does, whatever its details.
void CheckPortalShape(std::string_view address, std::string_view cut, bool remembered) {
  if (address.ends_with('/')) FUZZ_CHECK(remembered);
  size_t slash = address.rfind('/');
  if (slash == std::string_view::npos) {
    FUZZ_CHECK(!remembered);
    return;
  }
  std::string_view segment = address.substr(slash);
  if (!address.ends_with('/') && !segment.starts_with("/bbs") &&
      segment.find('.') == std::string_view::npos)
    FUZZ_CHECK(!remembered);
  if (remembered) FUZZ_CHECK(RememberedPage() == cut);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string_view rest(reinterpret_cast<const char*>(data), size);
  // Copied, as the worker's buffer holds it: the address is never a view of nothing.
  std::string addressText(TakeField(&rest));
  std::string_view address = addressText;
  std::string_view answer = rest.substr(0, std::min(rest.size(), kChunkReceiveLimit));
  std::string kept = WithoutCredentials(address);
  std::string_view cut =
      std::string_view(kept).substr(0, std::min(kept.size(), kLastPageUrlSize - 1));

  SetLastPageUrl(kBefore);
  NoteFirstAnswer(answer, address);
  CheckRememberedPageTerminated();
  std::string page = RememberedPage();
  FUZZ_CHECK(page == kBefore || page == cut);

  bool ok = answer.size() >= 12 && answer.substr(9, 3) == "200";
  // An address with a line break is never remembered: it would carry lines into later Referers.
  bool lineBreak = address.find_first_of("\r\n") != std::string_view::npos;
  std::string_view text = answer.substr(0, answer.find('\0'));
  if (!ok || lineBreak) {
    FUZZ_CHECK(page == kBefore);
  } else if (text.find("text/html") != std::string_view::npos) {
    FUZZ_CHECK(page == cut);
  } else if (!UnderPortal(address)) {
    FUZZ_CHECK(page == kBefore);
  } else {
    CheckPortalShape(address, cut, page != kBefore || cut == kBefore);
  }

  // The portal rule called directly judges the address the same way.
  if (ok && !lineBreak && UnderPortal(address) &&
      text.find("text/html") == std::string_view::npos) {
    SetLastPageUrl(kBefore);
    RememberPortalPage(address);
    CheckRememberedPageTerminated();
    FUZZ_CHECK(RememberedPage() == page);
  }
  return 0;
}

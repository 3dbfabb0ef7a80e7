// The "[object]" repair on its own, with any request address, remembered page and chunk.
//
// Input: the request address, a NUL, the remembered page, a NUL, and the chunk's text.
#include <algorithm>
#include <cstdint>
#include <string>

#include "core/connection_close.h"
#include "core/last_page_url.h"
#include "core/server.h"
#include "core/toolkit.h"
#include "fuzz/fuzz_check.h"
#include "fuzz/object_repair_check.h"
#include "rewrite/page_memory.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string_view rest(reinterpret_cast<const char*>(data), size);
  std::string_view addressText = TakeField(&rest);
  std::string_view page = TakeField(&rest);
  SetLastPageUrl(std::string(page));
  std::string kept = WithoutCredentials(page);
  page = std::string_view(kept).substr(0, std::min(kept.size(), kLastPageUrlSize - 1));

  // The request address as GetRequestAddress leaves it: at most 1023 bytes and a NUL.
  FuzzBuffer address(kRequestAddressSize);
  addressText = addressText.substr(0, std::min(addressText.size(), address.size() - 1));
  std::memcpy(address.data(), addressText.data(), addressText.size());
  address.data()[addressText.size()] = '\0';

  // The chunk as the filters may leave it: anything up to the room they are given.
  const size_t rewritableSize = kChunkBufferSize - kConnectionLineRoom;
  FuzzBuffer chunk(kChunkBufferSize);
  std::string_view text = rest.substr(0, std::min(rest.size(), rewritableSize - 1));
  text = text.substr(0, text.find('\0'));
  std::memcpy(chunk.data(), text.data(), text.size());
  chunk.data()[text.size()] = '\0';

  RepairObjectAddress(chunk.first(rewritableSize), address.all());
  FUZZ_CHECK(TerminatedWithin(chunk.first(rewritableSize)));
  FUZZ_CHECK(chunk.UntouchedFrom(rewritableSize));
  FUZZ_CHECK(TerminatedWithin(address.all()));
  CheckObjectRepair(text, TextIn(chunk.all()), addressText, TextIn(address.all()), page);
  return 0;
}

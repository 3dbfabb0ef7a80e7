// The readers that take the address, the target and the declared body length out of a request
// chunk as it arrived, and the cutting of the absolute address that follows them.
#include <algorithm>
#include <cstdint>
#include <string>

#include "core/request_target.h"
#include "core/server.h"
#include "core/toolkit.h"
#include "fuzz/fuzz_check.h"

namespace {

constexpr std::string_view kUnsetAddress = "(unset)";

// The value between key and the next marker after it, when it fits a buffer of room bytes.
bool ValueBetween(std::string_view text, std::string_view key, std::string_view marker, size_t room,
                  std::string_view* value) {
  size_t at = text.find(key);
  if (at == std::string_view::npos) return false;
  size_t end = text.find(marker, at + key.size());
  if (end == std::string_view::npos || end - at - key.size() >= room) return false;
  *value = text.substr(at + key.size(), end - at - key.size());
  return true;
}

// The method's key chosen by the chunk's first bytes, or empty for any other method.
std::string_view MethodKey(std::string_view text) {
  if (text.starts_with('G')) return "GET ";
  if (text.starts_with("PO")) return "POST ";
  if (text.starts_with('H')) return "HEAD ";
  return {};
}

void CheckRequestAddress(std::string_view text, FuzzBuffer& address) {
  std::string_view expected = kUnsetAddress;
  std::string_view key = MethodKey(text);
  std::string_view value;
  if (!key.empty() && ValueBetween(text, key, " ", address.size(), &value)) expected = value;
  FUZZ_CHECK(TerminatedWithin(address.all()));
  FUZZ_CHECK(TextIn(address.all()) == expected);
}

void CheckTargetHost(std::string_view text, std::string_view address) {
  FuzzBuffer host(kTargetHostSize);
  std::memcpy(host.data(), "unset", 6);
  int32_t port = -7;
  int found = GetTargetHost(text, address, &port, host.all());
  std::string_view expected;
  bool named = ValueBetween(text, "Host: ", "\r", host.size(), &expected) ||
               ValueBetween(text, " http://", "/", host.size(), &expected);
  FUZZ_CHECK(found == (named ? 1 : 0));
  FUZZ_CHECK(TerminatedWithin(host.all()));
  if (found == 0) {
    FUZZ_CHECK(port == -7 && TextIn(host.all()) == "unset");
    return;
  }
  FUZZ_CHECK(TextIn(host.all()) == expected);
  FUZZ_CHECK(host.UntouchedFrom(std::max<size_t>(expected.size(), 5) + 1));
  // A port other than 80 only comes from the address, right after the host text.
  if (port != 80) FUZZ_CHECK(address.find(expected) != std::string_view::npos);

  // Splitting the port off never lengthens the host text.
  size_t before = TextIn(host.all()).size();
  SplitHostPort(host.all(), &port);
  FUZZ_CHECK(TerminatedWithin(host.all()));
  FUZZ_CHECK(TextIn(host.all()).size() <= before);
}

void CheckContentLength(std::string_view text) {
  std::string_view value;
  // The value, carriage return included, is read from a 12-byte buffer.
  int32_t expected =
      ValueBetween(text, "Content-Length: ", "\n", 12, &value) ? DecimalValue(value) : 0;
  FUZZ_CHECK(GetContentLength(text) == expected);
}

// Only the request line changes, and only its "http://host" part, which becomes a path.
void CheckStripAbsoluteAddress(std::string_view text, FuzzBuffer& chunk, size_t received) {
  int stripped = StripAbsoluteAddress(chunk.all());
  FUZZ_CHECK(TerminatedWithin(chunk.all()));
  std::string_view after = TextIn(chunk.all());
  FUZZ_CHECK(chunk.UntouchedFrom(received + 1));
  size_t lineEnd = text.find('\n');
  std::string_view line = text.substr(0, lineEnd);
  size_t space = line.find(' ');
  // The scheme counts in any letter case, as a target is read.
  bool absolute = space != std::string_view::npos && line.size() >= space + 1 + 7 &&
                  MatchNoCase(line.substr(space + 1), "http://", 7) == 1;
  FUZZ_CHECK(stripped == (absolute ? 1 : 0));
  if (!absolute) {
    FUZZ_CHECK(after == text);
    return;
  }
  FUZZ_CHECK(after.size() < text.size());
  FUZZ_CHECK(after.substr(0, space + 1) == text.substr(0, space + 1));
  FUZZ_CHECK(after.size() > space + 1 && after[space + 1] == '/');
  if (lineEnd != std::string_view::npos) FUZZ_CHECK(after.ends_with(text.substr(lineEnd)));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  size_t received = size < kChunkReceiveLimit ? size : kChunkReceiveLimit;
  FuzzBuffer chunk(kChunkBufferSize);
  std::memcpy(chunk.data(), data, received);
  chunk.data()[received] = '\0';
  std::string_view text = TextIn(chunk.all());

  FuzzBuffer address(kRequestAddressSize);
  std::memcpy(address.data(), kUnsetAddress.data(), kUnsetAddress.size() + 1);
  GetRequestAddress(text, address.all());
  CheckRequestAddress(text, address);

  CheckTargetHost(text, TextIn(address.all()));
  CheckContentLength(text);

  std::string copy(text);
  CheckStripAbsoluteAddress(copy, chunk, received);
  return 0;
}

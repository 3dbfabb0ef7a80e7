// What the exchange does to the bytes that start an answer: the interim answers passed over, and
// the final answer's head without the lines asking for client hints (the rewriting's edit, with
// the default settings) and with one "Connection: close" line, in the worker's own buffer.
//
// Input: the first chunk of an answer exactly as received (NUL bytes included).
#include <cstdint>
#include <string>

#include "core/connection_close.h"
#include "core/interim_answers.h"
#include "core/server.h"
#include "core/toolkit.h"
#include "fuzz/fuzz_check.h"
#include "rewrite/client_hints.h"

namespace {

bool IsHopByHop(std::string_view line) {
  for (std::string_view name : {"connection:", "proxy-connection:", "keep-alive:"}) {
    if (line.size() >= name.size() && MatchNoCase(line, name, static_cast<int>(name.size())) == 1)
      return true;
  }
  return false;
}

bool AsksForHints(std::string_view line) {
  return StartsWithNoCase(line, "Accept-CH:") || StartsWithNoCase(line, "Critical-CH:");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string_view received(reinterpret_cast<const char*>(data),
                            std::min(size, kChunkReceiveLimit));
  size_t start = FinalAnswerStart(received);
  if (start == std::string_view::npos || start == received.size()) return 0;
  FUZZ_CHECK(start < received.size());

  FuzzBuffer buffer(kChunkBufferSize);
  std::memcpy(buffer.data(), received.data(), received.size());
  // As the exchange calls them.
  size_t length = RemoveHintRequests(buffer.all().subspan(start, received.size() - start));
  bool replaced = ReplaceConnectionLines(buffer.all().subspan(start), &length);
  std::string_view before = received.substr(0, start);
  FUZZ_CHECK(std::string_view(buffer.data(), start) == before);  // interim answers pass as they are
  std::string_view answer(buffer.data() + start, length);
  std::string_view original = received.substr(start);
  if (!replaced) {
    FUZZ_CHECK(answer == original);
    return 0;
  }
  FUZZ_CHECK(start + length < kChunkBufferSize);
  size_t headEnd = original.find("\r\n\r\n");
  FUZZ_CHECK(headEnd != std::string_view::npos);
  // Everything after the head's blank line is unchanged; the head holds one connection line,
  // "Connection: close", last, and asks for no hints.
  std::string_view body = original.substr(headEnd + 4);
  FUZZ_CHECK(answer.ends_with(body));
  std::string_view head = answer.substr(0, answer.size() - body.size());
  FUZZ_CHECK(head.ends_with("\r\nConnection: close\r\n\r\n"));
  FUZZ_CHECK(head.substr(0, head.find("\r\n")) == original.substr(0, original.find("\r\n")));
  size_t hopLines = 0;
  for (size_t at = head.find("\r\n"); at + 2 < head.size(); at = head.find("\r\n", at + 2)) {
    hopLines += IsHopByHop(head.substr(at + 2)) ? 1 : 0;
    FUZZ_CHECK(!AsksForHints(head.substr(at + 2)));
  }
  FUZZ_CHECK(hopLines == 1);
  return 0;
}

// Heads between HTTP/2 and HTTP/1.1, as an HTTP/2 browser's or origin's fields and an origin's
// HTTP/1.1 head reach them: never a byte past a buffer, never a line of one HTTP/1.1 connection
// in a header list, names lowercase and pseudo-headers first.
//
// Input: lines "name=value" (HPACK has taken out CR, LF and NUL, and so does the target), the
// first byte choosing the room for the HTTP/1.1 head; the same bytes are also read whole as an
// HTTP/1.1 head.
#include <cstdint>
#include <string>

#include "core/http2_headers.h"
#include "core/server.h"
#include "fuzz/fuzz_check.h"

namespace {

bool HopByHop(std::string_view name) {
  for (std::string_view hop :
       {"connection", "keep-alive", "proxy-connection", "transfer-encoding", "upgrade", "host"})
    if (name == hop) return true;
  return false;
}

// The header list of head, checked: pseudo-headers first, lowercase names, none of one
// connection's own, each within head.
void CheckFields(std::span<char> head) {
  HeaderField fields[64];
  size_t count = ToHttp2Fields(head, fields);
  FUZZ_CHECK(count <= 64);
  bool regular = false;
  for (size_t i = 0; i < count; ++i) {
    std::string_view name = fields[i].name;
    bool pseudo = name.starts_with(':');
    FUZZ_CHECK(!(pseudo && regular));
    regular = regular || !pseudo;
    if (!pseudo) {
      FUZZ_CHECK(!HopByHop(name) && !name.empty());
      FUZZ_CHECK(fields[i].value.find_first_of(std::string_view("\r\n\0", 3)) ==
                 std::string_view::npos);
      FUZZ_CHECK(name.data() >= head.data() &&
                 name.data() + name.size() <= head.data() + head.size());
      for (char c : name)
        FUZZ_CHECK(c < 'A' || c > 'Z');
    }
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  std::string_view input(reinterpret_cast<const char*>(data) + 1, size - 1);
  FuzzBuffer collected(kChunkReceiveLimit);
  size_t length = 0;
  for (size_t at = 0; at < input.size();) {
    size_t end = input.find('\n', at);
    std::string line(
        input.substr(at, end == std::string_view::npos ? std::string_view::npos : end - at));
    at = end == std::string_view::npos ? input.size() : end + 1;
    std::erase_if(line, [](char c) { return c == '\r' || c == '\0'; });
    size_t equals = line.find('=');
    if (equals == std::string::npos || equals == 0) continue;
    size_t before = length;
    if (!CollectField(collected.all(), &length, line.substr(0, equals), line.substr(equals + 1)))
      FUZZ_CHECK(length == before);
  }
  FUZZ_CHECK(length <= kChunkReceiveLimit);
  size_t room = 1 + static_cast<size_t>(data[0]) * 64;
  FuzzBuffer out(room);
  size_t written = WriteHttp1Head({collected.data(), length}, "https://fuzz.test", out.all());
  if (written != 0) {
    FUZZ_CHECK(written < room && out.data()[written] == '\0' && out.UntouchedFrom(written + 1));
    FUZZ_CHECK(std::string_view(out.data(), written).ends_with("\r\n\r\n"));
    CheckFields({out.data(), written});
  }
  FuzzBuffer raw(input.size());
  std::memcpy(raw.data(), input.data(), input.size());
  CheckFields(raw.all());
  return 0;
}

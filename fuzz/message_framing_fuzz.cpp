// Where a message ends must not depend on how its bytes arrived: the same bytes fed whole, and
// fed in pieces cut where the input says, are broken alike or end the body at the same byte.
// A reader that could be talked into two ends is how a request is smuggled past a proxy.
//
// Input: one byte choosing the framing (a request's chunks or declared length, or an answer
// whose head comes first), one byte seeding the cuts, then the message.
#include <cstdint>
#include <string_view>

#include "core/message_framing.h"
#include "fuzz/fuzz_check.h"

namespace {

struct Ending {
  size_t taken = 0;  // bytes that belonged to the body
  bool broken = false;
  MessageFraming::End where = MessageFraming::End::kOpen;
};

// Starts the framing as kind says; returns the body's bytes (after an answer's head).
std::string_view Start(MessageFraming* framing, uint8_t kind, std::string_view message) {
  switch (kind % 4) {
    case 0:
      framing->StartRequest(BodyFraming::kChunked, 0);
      return message;
    case 1:
      framing->StartRequest(BodyFraming::kLength, message.size() / 2);
      return message;
    default: {
      size_t blank = message.find("\r\n\r\n");
      if (blank == std::string_view::npos) blank = message.size() > 4 ? message.size() - 4 : 0;
      size_t headEnd = std::min(message.size(), blank + 4);
      framing->StartAnswer(message.substr(0, headEnd), kind % 4 == 3);
      return message.substr(headEnd);
    }
  }
}

Ending Feed(uint8_t kind, std::string_view message, uint8_t seed) {
  MessageFraming framing;
  std::string_view body = Start(&framing, kind, message);
  Ending e;
  uint32_t state = seed | 1u;
  while (!body.empty() && framing.Where() == MessageFraming::End::kOpen && !framing.Broken()) {
    size_t piece = body.size();
    if (seed != 0) {  // a small pseudo-random cut, 1 to 16 bytes
      state = state * 1103515245u + 12345u;
      piece = std::min(body.size(), static_cast<size_t>(1 + (state >> 16) % 16));
    }
    size_t took = framing.Feed(body.substr(0, piece));
    FUZZ_CHECK(took <= piece);
    e.taken += took;
    if (took < piece) break;  // the rest belongs to what follows
    body.remove_prefix(piece);
  }
  e.broken = framing.Broken();
  e.where = framing.Where();
  return e;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 2) return 0;
  std::string_view message(reinterpret_cast<const char*>(data) + 2, size - 2);
  Ending whole = Feed(data[0], message, 0);
  Ending cut = Feed(data[0], message, static_cast<uint8_t>(data[1] | 1));
  FUZZ_CHECK(whole.broken == cut.broken);
  if (whole.broken) return 0;  // the connection ends there: no next message to place
  FUZZ_CHECK(whole.taken == cut.taken);
  FUZZ_CHECK(whole.where == cut.where);
  return 0;
}

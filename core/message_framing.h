// Where a message's body ends, by its own framing (RFC 9112 section 6): no body (a HEAD's
// answer, 1xx, 204, 304), a declared Content-Length, chunks up to the last one and the trailer,
// or, for an answer, the origin's close. The relay feeds it the body bytes as they pass, so that
// a message cut short is never passed on as whole, and the next message on the connection
// starts where this one ends.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

#include "core/request_head.h"

class MessageFraming {
 public:
  enum class End {
    kComplete,    // its framing says it has ended
    kOpen,        // more is due by its framing
    kUntilClose,  // it ends where the origin closes: any close is its end
  };

  // An answer's head, up to and including its blank line; headRequest for the answer to a HEAD.
  // A head that cannot be read leaves the answer ending at the close.
  void StartAnswer(std::string_view answerHead, bool headRequest);

  // A request's body as its head framed it.
  void StartRequest(BodyFraming framing, uint64_t length);

  // Takes the body bytes that follow, as they pass: returns how many of them belong to this
  // message; any after them belong to what comes next.
  size_t Feed(std::string_view bytes) { return Feed(bytes, nullptr, nullptr); }

  // The same, and appends the body's own bytes (the chunks' data without their framing) at
  // payload + *payloadLength, advancing *payloadLength. payload may be bytes.data() itself: what
  // is written never passes what is read.
  size_t Feed(std::string_view bytes, char* payload, size_t* payloadLength);

  // A count of body bytes that passed unseen (moved inside the kernel); only for a declared
  // length, which needs no look at them.
  void Skip(uint64_t count);

  // Whether the body's bytes must be seen (chunks), or may pass unseen.
  bool NeedsBytes() const { return kind_ == Kind::kChunked && state_ != Chunk::kDone; }

  // Body bytes still due by a declared length.
  uint64_t Remaining() const { return kind_ == Kind::kLength ? remaining_ : 0; }

  // Chunks that broke their syntax, or an answer whose lengths disagree: the message can never
  // end well.
  bool Broken() const { return broken_; }

  // The message could be framed two ways by different readers: no other may follow it on
  // either connection.
  bool LastOnConnection() const { return lastOnConnection_; }

  // The answer's head let its connection be kept (HTTP/1.1 without "Connection: close", or
  // HTTP/1.0 with "keep-alive").
  bool OriginKeepsAlive() const { return keepsAlive_; }

  End Where() const;

 private:
  enum class Kind { kUntilClose, kNone, kLength, kChunked };
  enum class Chunk {
    kSize,
    kExtension,
    kSizeLineEnd,
    kData,
    kDataEnd,
    kDataLineEnd,
    kTrailerLineStart,
    kTrailerLine,
    kTrailerLineEnd,
    kLastLineEnd,
    kDone,
  };
  // A chunk's size line beyond its digits, or one trailer line, at most.
  static constexpr size_t kMostChunkLineBytes = 4096;

  Kind kind_ = Kind::kUntilClose;
  uint64_t remaining_ = 0;  // of the declared length, or of the current chunk
  Chunk state_ = Chunk::kSize;
  bool sawDigit_ = false;
  bool broken_ = false;
  bool keepsAlive_ = false;
  bool lastOnConnection_ = false;
  size_t lineBytes_ = 0;
};

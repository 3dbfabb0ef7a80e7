// Where an answer ends, by its own framing: no body (a HEAD, 1xx, 204 or 304), a declared
// Content-Length, chunks up to the last one and the trailer, or the origin's close. The relay
// feeds it every body byte that passes, so that an answer cut short is never passed on as whole.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

class AnswerFraming {
 public:
  enum class End {
    kComplete,    // its framing says it has ended
    kOpen,        // more is due by its framing
    kUntilClose,  // it ends where the origin closes: any close is its end
  };

  // The final answer's head, up to and including its blank line; head is the request's method
  // "HEAD". A head that cannot be read leaves the answer ending at the close.
  void StartAnswer(std::string_view answerHead, bool headRequest);

  // The body bytes that followed, as they pass.
  void Feed(std::string_view bytes);

  // A count of body bytes that passed unseen (moved inside the kernel); only for an answer of
  // declared length, which needs no look at them.
  void Skip(uint64_t count);

  // Whether the body's bytes must be seen (chunks), or may pass unseen.
  bool NeedsBytes() const { return kind_ == Kind::kChunked && state_ != Chunk::kDone; }

  End Where() const;

 private:
  enum class Kind { kUntilClose, kNone, kLength, kChunked };
  enum class Chunk { kSize, kSizeLine, kData, kDataEnd, kTrailerLineStart, kTrailerLine, kDone };

  Kind kind_ = Kind::kUntilClose;
  uint64_t remaining_ = 0;  // of the declared length, or of the current chunk
  Chunk state_ = Chunk::kSize;
  bool sawDigit_ = false;
  bool broken_ = false;  // a chunk size that is no number: the answer can never end well
};

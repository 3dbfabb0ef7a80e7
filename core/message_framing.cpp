#include "core/answer_framing.h"

#include <algorithm>

#include "core/toolkit.h"

namespace {

// The value of the head's first line named name (any letter case), up to its line end; empty
// when there is none.
std::string_view HeaderValue(std::string_view head, std::string_view name) {
  for (size_t at = head.find('\n'); at != std::string_view::npos; at = head.find('\n', at + 1)) {
    std::string_view line = head.substr(at + 1);
    if (line.size() <= name.size() || MatchNoCase(line, name, static_cast<int>(name.size())) != 1)
      continue;
    line = line.substr(name.size());
    line = line.substr(0, line.find('\n'));
    size_t start = line.find_first_not_of(" \t");
    size_t end = line.find_last_not_of(" \t\r");
    if (start == std::string_view::npos) return {};
    return line.substr(start, end - start + 1);
  }
  return {};
}

// The status code of "HTTP/1.x nnn ...", or 0.
int StatusCode(std::string_view head) {
  if (head.size() < 12 || !head.starts_with("HTTP/")) return 0;
  size_t space = head.find(' ');
  if (space == std::string_view::npos || space + 4 > head.size()) return 0;
  int code = 0;
  for (size_t i = space + 1; i < space + 4; ++i) {
    if (head[i] < '0' || head[i] > '9') return 0;
    code = code * 10 + (head[i] - '0');
  }
  return code;
}

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

}  // namespace

void AnswerFraming::StartAnswer(std::string_view answerHead, bool headRequest) {
  *this = AnswerFraming{};
  int status = StatusCode(answerHead);
  if (status == 0) return;
  if (headRequest || status / 100 == 1 || status == 204 || status == 304) {
    kind_ = Kind::kNone;
    return;
  }
  std::string_view coding = HeaderValue(answerHead, "Transfer-Encoding:");
  // Chunked is the last coding when it is there at all; anything else ends at the close.
  if (!coding.empty()) {
    std::string_view last = coding.substr(coding.find_last_of(", \t") == std::string_view::npos
                                              ? 0
                                              : coding.find_last_of(", \t") + 1);
    if (last.size() == 7 && MatchNoCase(last, "chunked", 7) == 1) kind_ = Kind::kChunked;
    return;
  }
  std::string_view length = HeaderValue(answerHead, "Content-Length:");
  if (length.empty()) return;
  uint64_t value = 0;
  for (char c : length) {
    if (c < '0' || c > '9' || value > (UINT64_MAX - 9) / 10) return;  // unreadable: the close
    value = value * 10 + static_cast<uint64_t>(c - '0');
  }
  kind_ = Kind::kLength;
  remaining_ = value;
}

void AnswerFraming::Skip(uint64_t count) {
  if (kind_ == Kind::kLength) remaining_ -= std::min(remaining_, count);
}

void AnswerFraming::Feed(std::string_view bytes) {
  if (kind_ == Kind::kLength) {
    Skip(bytes.size());
    return;
  }
  if (kind_ != Kind::kChunked) return;
  for (size_t i = 0; i < bytes.size() && !broken_ && state_ != Chunk::kDone; ++i) {
    char c = bytes[i];
    switch (state_) {
      case Chunk::kSize: {
        int digit = HexDigit(c);
        if (digit >= 0) {
          if (remaining_ > (UINT64_MAX >> 4)) {
            broken_ = true;
            break;
          }
          remaining_ = remaining_ << 4 | static_cast<uint64_t>(digit);
          sawDigit_ = true;
        } else if (!sawDigit_) {
          broken_ = true;
        } else {
          state_ = Chunk::kSizeLine;  // an extension or the line's end follows
          --i;
        }
        break;
      }
      case Chunk::kSizeLine:
        if (c == '\n') state_ = remaining_ == 0 ? Chunk::kTrailerLineStart : Chunk::kData;
        break;
      case Chunk::kData: {
        size_t take = static_cast<size_t>(std::min<uint64_t>(remaining_, bytes.size() - i));
        remaining_ -= take;
        i += take - 1;
        if (remaining_ == 0) state_ = Chunk::kDataEnd;
        break;
      }
      case Chunk::kDataEnd:  // the line end after a chunk's data
        if (c == '\n') {
          state_ = Chunk::kSize;
          sawDigit_ = false;
        } else if (c != '\r') {
          broken_ = true;
        }
        break;
      case Chunk::kTrailerLineStart:  // an empty line ends the trailer, and the answer
        if (c == '\n')
          state_ = Chunk::kDone;
        else if (c != '\r')
          state_ = Chunk::kTrailerLine;
        break;
      case Chunk::kTrailerLine:
        if (c == '\n') state_ = Chunk::kTrailerLineStart;
        break;
      case Chunk::kDone:
        break;
    }
  }
}

AnswerFraming::End AnswerFraming::Where() const {
  switch (kind_) {
    case Kind::kUntilClose:
      return End::kUntilClose;
    case Kind::kNone:
      return End::kComplete;
    case Kind::kLength:
      return remaining_ == 0 ? End::kComplete : End::kOpen;
    case Kind::kChunked:
      return state_ == Chunk::kDone ? End::kComplete : End::kOpen;
  }
  return End::kUntilClose;
}

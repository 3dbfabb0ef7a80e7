#include "core/message_framing.h"

#include <algorithm>
#include <cstring>

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

// Whether a comma-separated value holds token, in any letter case.
bool HasToken(std::string_view list, std::string_view token) {
  while (!list.empty()) {
    size_t comma = std::min(list.find(','), list.size());
    std::string_view item = list.substr(0, comma);
    size_t start = item.find_first_not_of(" \t");
    size_t end = item.find_last_not_of(" \t\r");
    if (start != std::string_view::npos) item = item.substr(start, end - start + 1);
    if (item.size() == token.size() &&
        MatchNoCase(item, token, static_cast<int>(token.size())) == 1)
      return true;
    list.remove_prefix(std::min(comma + 1, list.size()));
  }
  return false;
}

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

}  // namespace

void MessageFraming::StartAnswer(std::string_view answerHead, bool headRequest) {
  *this = MessageFraming{};
  int status = StatusCode(answerHead);
  if (status == 0) return;
  // HTTP/1.1 keeps its connection unless it says otherwise; HTTP/1.0 only when it says so.
  std::string_view connection = HeaderValue(answerHead, "Connection:");
  keepsAlive_ = answerHead.starts_with("HTTP/1.1 ") ? !HasToken(connection, "close")
                                                    : HasToken(connection, "keep-alive");
  if (headRequest || status / 100 == 1 || status == 204 || status == 304) {
    kind_ = Kind::kNone;
    return;
  }
  std::string_view coding = HeaderValue(answerHead, "Transfer-Encoding:");
  std::string_view length = HeaderValue(answerHead, "Content-Length:");
  // Chunked is the last coding when it is there at all; anything else ends at the close.
  if (!coding.empty()) {
    // Beside a Content-Length the coding rules, and neither connection is trusted after it:
    // another reader may have framed it by the length.
    if (!length.empty()) {
      keepsAlive_ = false;
      lastOnConnection_ = true;
    }
    std::string_view last = coding.substr(coding.find_last_of(", \t") == std::string_view::npos
                                              ? 0
                                              : coding.find_last_of(", \t") + 1);
    if (last.size() == 7 && MatchNoCase(last, "chunked", 7) == 1) kind_ = Kind::kChunked;
    return;
  }
  if (length.empty()) return;
  uint64_t value = 0;
  for (char c : length) {
    if (c < '0' || c > '9' || value > (UINT64_MAX - 9) / 10) {  // unreadable: the close
      keepsAlive_ = false;
      return;
    }
    value = value * 10 + static_cast<uint64_t>(c - '0');
  }
  // Lengths that disagree could frame the answer two ways: it is broken, whatever comes.
  for (size_t at = answerHead.find('\n'); at != std::string_view::npos;
       at = answerHead.find('\n', at + 1)) {
    std::string_view rest = answerHead.substr(at + 1);
    std::string_view line = rest.substr(0, rest.find('\n'));
    if (line.size() > 15 && MatchNoCase(line, "Content-Length:", 15) == 1 &&
        HeaderValue(answerHead.substr(at), "Content-Length:") != length)
      broken_ = true;
  }
  kind_ = Kind::kLength;
  remaining_ = value;
}

void MessageFraming::StartRequest(BodyFraming framing, uint64_t length) {
  *this = MessageFraming{};
  switch (framing) {
    case BodyFraming::kNone:
      kind_ = Kind::kNone;
      break;
    case BodyFraming::kLength:
      kind_ = Kind::kLength;
      remaining_ = length;
      break;
    case BodyFraming::kChunked:
      kind_ = Kind::kChunked;
      break;
  }
}

void MessageFraming::Skip(uint64_t count) {
  if (kind_ == Kind::kLength) remaining_ -= std::min(remaining_, count);
}

size_t MessageFraming::Feed(std::string_view bytes, char* payload, size_t* payloadLength) {
  auto keep = [&](size_t from, size_t count) {
    if (payload == nullptr || count == 0) return;
    std::memmove(payload + *payloadLength, bytes.data() + from, count);
    *payloadLength += count;
  };
  switch (kind_) {
    case Kind::kUntilClose:
      keep(0, bytes.size());
      return bytes.size();
    case Kind::kNone:
      return 0;
    case Kind::kLength: {
      auto take = static_cast<size_t>(std::min<uint64_t>(remaining_, bytes.size()));
      remaining_ -= take;
      keep(0, take);
      return take;
    }
    case Kind::kChunked:
      break;
  }
  size_t i = 0;
  for (; i < bytes.size() && !broken_ && state_ != Chunk::kDone; ++i) {
    char c = bytes[i];
    // A size line's extensions and a trailer's lines are bounded: no endless line is followed.
    if (state_ == Chunk::kExtension || state_ == Chunk::kTrailerLine) {
      if (++lineBytes_ > kMostChunkLineBytes || c == '\0' || c == '\n') {
        broken_ = true;
        break;
      }
    }
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
        } else if (!sawDigit_ || (c != ';' && c != ' ' && c != '\t' && c != '\r')) {
          broken_ = true;
        } else {
          state_ = Chunk::kExtension;  // an extension or the line's end follows
          lineBytes_ = 0;
          --i;
        }
        break;
      }
      case Chunk::kExtension:
        if (c == '\r') state_ = Chunk::kSizeLineEnd;
        break;
      case Chunk::kSizeLineEnd:
        if (c != '\n')
          broken_ = true;
        else
          state_ = remaining_ == 0 ? Chunk::kTrailerLineStart : Chunk::kData;
        break;
      case Chunk::kData: {
        size_t take = static_cast<size_t>(std::min<uint64_t>(remaining_, bytes.size() - i));
        remaining_ -= take;
        keep(i, take);
        i += take - 1;
        if (remaining_ == 0) state_ = Chunk::kDataEnd;
        break;
      }
      case Chunk::kDataEnd:  // the CR after a chunk's data
        if (c != '\r')
          broken_ = true;
        else
          state_ = Chunk::kDataLineEnd;
        break;
      case Chunk::kDataLineEnd:
        if (c != '\n') {
          broken_ = true;
        } else {
          state_ = Chunk::kSize;
          sawDigit_ = false;
        }
        break;
      case Chunk::kTrailerLineStart:  // an empty line ends the trailer, and the message
        lineBytes_ = 0;
        state_ = c == '\r' ? Chunk::kLastLineEnd : Chunk::kTrailerLine;
        if (c == '\n' || c == '\0') broken_ = true;
        break;
      case Chunk::kTrailerLine:
        if (c == '\r') state_ = Chunk::kTrailerLineEnd;
        break;
      case Chunk::kTrailerLineEnd:
        if (c != '\n')
          broken_ = true;
        else
          state_ = Chunk::kTrailerLineStart;
        break;
      case Chunk::kLastLineEnd:
        if (c != '\n')
          broken_ = true;
        else
          state_ = Chunk::kDone;
        break;
      case Chunk::kDone:
        break;
    }
  }
  return broken_ ? bytes.size() : i;
}

MessageFraming::End MessageFraming::Where() const {
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

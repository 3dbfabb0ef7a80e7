#include "rewrite/form_conversion.h"

#include <charconv>
#include <cstring>
#include <string_view>

#include "core/settings.h"
#include "core/toolkit.h"
#include "rewrite/header_lines.h"

namespace {

constexpr std::string_view kFormType = "x-www-form-urlencoded";
constexpr std::string_view kLengthName = "Content-Length:";
constexpr std::string_view kTypeName = "Content-Type:";
constexpr std::string_view kLineEnd = "\r\n";

// The old length value as sent; anything longer is no length we could correct.
constexpr size_t kOldValueSize = 64;
// The name as sent, one space, a signed 64-bit value, the line end and the terminator.
constexpr size_t kLengthLineSize = 80;

// Where the corrected length line goes: before "Content-Type:" when the head names both headers
// exactly so, otherwise in place of the old line, which keeps its own spelling of the name.
size_t NewLinePlace(std::string_view text, size_t lengthLine, std::string_view* key) {
  if (text.substr(lengthLine, kLengthName.size() + 1) == "Content-Length: ") {
    size_t typeLine = FindHeaderLine(text, kTypeName);
    if (typeLine != kNoLine) {
      *key = kTypeName;
      return typeLine;
    }
  }
  return lengthLine;
}

// True when the line at `at` stands between two "\r\n" with no bare "\n" in it: only such a line
// can be taken out through its "\r\n" without eating into the next line or the head's end.
bool IsWholeLine(std::string_view text, size_t at) {
  if (at < kLineEnd.size() || text.substr(at - kLineEnd.size(), kLineEnd.size()) != kLineEnd)
    return false;
  size_t lf = text.find('\n', at);
  return lf != std::string_view::npos && text[lf - 1] == '\r';
}

// Writes value over the digits (and sign) that follow the name in the line at `at`, leaving every
// other byte of the head where it was. Nothing changes when the buffer has no room.
void RewriteValueInPlace(std::span<char> chunk, size_t at, long long value) {
  std::string_view text = TextIn(chunk);
  size_t from = at + kLengthName.size();
  while (from < text.size() && (text[from] == ' ' || text[from] == '\t'))
    ++from;
  size_t to = from;
  if (to < text.size() && (text[to] == '-' || text[to] == '+')) ++to;
  while (to < text.size() && text[to] >= '0' && text[to] <= '9')
    ++to;
  char digits[24];
  size_t n = static_cast<size_t>(std::to_chars(digits, digits + sizeof digits, value).ptr - digits);
  if (text.size() - (to - from) + n >= chunk.size()) return;
  std::memmove(chunk.data() + from + n, chunk.data() + to, text.size() - to + 1);
  std::memcpy(chunk.data() + from, digits, n);
}

// Lowers the value of the head's length line by shrink, keeping exactly one length line. A head
// without one gets none: it declared no body length to correct.
void LowerContentLength(std::span<char> chunk, long shrink) {
  std::string_view text = TextIn(chunk);
  size_t lengthLine = FindHeaderLine(text, kLengthName, NameCase::kAnyCase);
  if (lengthLine == kNoLine) return;
  if (!IsWholeLine(text, lengthLine)) {
    char oldValue[kOldValueSize];
    if (ExtractBetween(text.substr(lengthLine), text.substr(lengthLine, kLengthName.size()), "\n",
                       oldValue) == 0) {
      return;
    }
    RewriteValueInPlace(chunk, lengthLine, static_cast<long long>(DecimalValue(oldValue)) - shrink);
    return;
  }
  char name[kLengthName.size() + 1] = {};
  std::memcpy(name, text.data() + lengthLine, kLengthName.size());
  std::string_view nameAsSent(name, kLengthName.size());

  char oldValue[kOldValueSize];
  if (ExtractBetween(text.substr(lengthLine), nameAsSent, kLineEnd, oldValue) == 0) return;
  long long value = static_cast<long long>(DecimalValue(oldValue)) - shrink;

  char line[kLengthLineSize];
  size_t used = nameAsSent.size();
  std::memcpy(line, name, used);
  line[used++] = ' ';
  used = static_cast<size_t>(std::to_chars(line + used, line + sizeof line, value).ptr - line);
  std::memcpy(line + used, kLineEnd.data(), kLineEnd.size());
  used += kLineEnd.size();

  std::string_view key = nameAsSent;
  size_t at = NewLinePlace(text, lengthLine, &key);
  // Insert first: when there is no room for the new line the old one stays.
  if (InsertBefore(chunk.subspan(at), {line, used}, key) == 0) return;
  size_t oldLine = lengthLine >= at ? lengthLine + used : lengthLine;
  RemoveSpan(chunk.subspan(oldLine), nameAsSent, kLineEnd, 1);
}

}  // namespace

void ConvertFormSpaces(std::span<char> chunk) {
  ProxySettings settings = CurrentSettings();
  if (settings.SpaceConvert == 0 || TextIn(chunk).find(kFormType) == std::string_view::npos) return;
  size_t bodyBefore = BodyLength(TextIn(chunk));
  int converted = settings.SpaceConvertAll != 0 ? ReplaceAll(chunk, "%3F", "+", 0)
                                                : ReplaceAll(chunk, "%3E%3F", "%3E+", 0);
  if (converted <= 0) return;
  // Conversions in the request line and header lines change no body length; none of them can
  // make or break the blank line, so the body's shrink is the difference of its lengths.
  long shrink = static_cast<long>(bodyBefore - BodyLength(TextIn(chunk)));
  if (shrink > 0) LowerContentLength(chunk, shrink);
}

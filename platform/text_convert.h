// Conversion between the settings' UTF-16 text and the single-byte text of the wire. On POSIX the
// system's default code page is UTF-8.
#pragma once

#include <cstddef>
#include <span>
#include <string>
#include <string_view>

// Shown for a code unit that has no encoding (an unpaired surrogate).
inline constexpr char kReplacementCharacter = '?';

// Converts wide text up to its first zero unit into dst as NUL-terminated UTF-8. A text that does
// not fit is cut on a character boundary. Returns the byte count written, terminator excluded;
// dst must hold at least one byte.
size_t WideToSingleByte(std::u16string_view wide, std::span<char> dst);

// Converts UTF-8 text into dst as zero-terminated UTF-16, cut on a character boundary when it
// does not fit; malformed bytes become U+FFFD. Returns the units written, terminator excluded.
size_t SingleByteToWide(std::string_view text, std::span<char16_t> dst);

// The whole of a UTF-8 text (up to its first zero byte) as UTF-16, converted as above.
std::u16string SingleByteToWide(std::string_view text);

// The length of a zero-terminated wide text held in a buffer, never reading past its end.
size_t WideLength(std::span<const char16_t> buffer);

// Wide text built piece by piece in a fixed buffer: each piece is cut to the room left, and the
// text stays terminated.
class WideWriter {
 public:
  explicit WideWriter(std::span<char16_t> out) : out_(out) {
    if (!out_.empty()) out_[0] = u'\0';
  }
  void Put(std::u16string_view piece);
  // UTF-8 text, converted.
  void PutSingleByte(std::string_view piece);
  std::u16string_view Text() const { return {out_.data(), used_}; }
  size_t Size() const { return used_; }

 private:
  std::span<char16_t> out_;
  size_t used_ = 0;
};

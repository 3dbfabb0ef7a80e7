#include "platform/text_convert.h"

#include <cstdint>
#include <vector>

namespace {

// Encodes one code point; returns its UTF-8 length.
size_t EncodeUtf8(char32_t cp, char out[4]) {
  if (cp < 0x80) {
    out[0] = static_cast<char>(cp);
    return 1;
  }
  if (cp < 0x800) {
    out[0] = static_cast<char>(0xC0 | (cp >> 6));
    out[1] = static_cast<char>(0x80 | (cp & 0x3F));
    return 2;
  }
  if (cp < 0x10000) {
    out[0] = static_cast<char>(0xE0 | (cp >> 12));
    out[1] = static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out[2] = static_cast<char>(0x80 | (cp & 0x3F));
    return 3;
  }
  out[0] = static_cast<char>(0xF0 | (cp >> 18));
  out[1] = static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
  out[2] = static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
  out[3] = static_cast<char>(0x80 | (cp & 0x3F));
  return 4;
}

bool IsHigh(char16_t u) {
  return u >= 0xD800 && u <= 0xDBFF;
}
bool IsLow(char16_t u) {
  return u >= 0xDC00 && u <= 0xDFFF;
}

}  // namespace

size_t WideToSingleByte(std::u16string_view wide, std::span<char> dst) {
  if (dst.empty()) return 0;
  size_t room = dst.size() - 1;  // keep one byte for the terminator
  size_t used = 0;
  for (size_t i = 0; i < wide.size() && wide[i] != 0; ++i) {
    char bytes[4];
    size_t n;
    char16_t u = wide[i];
    if (IsHigh(u) && i + 1 < wide.size() && IsLow(wide[i + 1])) {
      char32_t cp = 0x10000 + ((static_cast<char32_t>(u) - 0xD800) << 10) +
                    (static_cast<char32_t>(wide[i + 1]) - 0xDC00);
      n = EncodeUtf8(cp, bytes);
      if (used + n > room) break;
      ++i;
    } else if (IsHigh(u) || IsLow(u)) {
      bytes[0] = kReplacementCharacter;
      n = 1;
    } else {
      n = EncodeUtf8(u, bytes);
    }
    if (used + n > room) break;
    for (size_t k = 0; k < n; ++k)
      dst[used + k] = bytes[k];
    used += n;
  }
  dst[used] = '\0';
  return used;
}

size_t SingleByteToWide(std::string_view text, std::span<char16_t> dst) {
  if (dst.empty()) return 0;
  size_t room = dst.size() - 1;
  size_t used = 0;
  size_t i = 0;
  while (i < text.size() && text[i] != '\0') {
    auto b = static_cast<uint8_t>(text[i]);
    char32_t cp = 0xFFFD;
    size_t len = 1;
    if (b < 0x80) {
      cp = b;
    } else {
      size_t need = b >= 0xF0 && b < 0xF5 ? 4 : b >= 0xE0 ? 3 : b >= 0xC2 && b < 0xE0 ? 2 : 0;
      if (need != 0 && i + need <= text.size()) {
        char32_t v = b & (0xFF >> (need + 1));
        bool ok = true;
        for (size_t k = 1; k < need; ++k) {
          auto c = static_cast<uint8_t>(text[i + k]);
          if ((c & 0xC0) != 0x80) ok = false;
          v = (v << 6) | (c & 0x3F);
        }
        bool overlong = (need == 3 && v < 0x800) || (need == 4 && v < 0x10000);
        bool surrogate = v >= 0xD800 && v <= 0xDFFF;
        if (ok && !overlong && !surrogate && v <= 0x10FFFF) {
          cp = v;
          len = need;
        }
      }
    }
    size_t units = cp >= 0x10000 ? 2 : 1;
    if (used + units > room) break;
    if (units == 2) {
      dst[used++] = static_cast<char16_t>(0xD800 + ((cp - 0x10000) >> 10));
      dst[used++] = static_cast<char16_t>(0xDC00 + ((cp - 0x10000) & 0x3FF));
    } else {
      dst[used++] = static_cast<char16_t>(cp);
    }
    i += len;
  }
  dst[used] = u'\0';
  return used;
}

std::u16string SingleByteToWide(std::string_view text) {
  std::vector<char16_t> wide(text.size() + 1);  // never more units than bytes
  return std::u16string(wide.data(), SingleByteToWide(text, wide));
}

size_t WideLength(std::span<const char16_t> buffer) {
  size_t n = 0;
  while (n < buffer.size() && buffer[n] != 0)
    ++n;
  return n;
}

void WideWriter::Put(std::u16string_view piece) {
  for (char16_t c : piece)
    if (used_ + 1 < out_.size()) out_[used_++] = c;
  if (!out_.empty()) out_[used_] = u'\0';
}

void WideWriter::PutSingleByte(std::string_view piece) {
  if (used_ + 1 >= out_.size()) return;
  used_ += SingleByteToWide(piece, out_.subspan(used_));
}

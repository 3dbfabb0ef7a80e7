// Shared by the fuzz targets: a broken invariant stops the run at once, with a line saying which.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdio>
#include <cstring>
#include <memory>
#include <span>
#include <string>
#include <string_view>

// Stops the fuzzer with a finding when cond is false.
#define FUZZ_CHECK(cond)                                                                  \
  do {                                                                                    \
    if (!(cond)) {                                                                        \
      std::fprintf(stderr, "invariant broken at %s:%d: %s\n", __FILE__, __LINE__, #cond); \
      __builtin_trap();                                                                   \
    }                                                                                     \
  } while (0)

// A byte the code under test never writes on its own: whatever it covers was left alone.
inline constexpr char kUntouched = static_cast<char>(0xA5);

// A heap buffer of exactly size bytes, so that AddressSanitizer catches a write past its end,
// filled with kUntouched so that writes past a narrower span within it show too.
class FuzzBuffer {
 public:
  explicit FuzzBuffer(size_t size) : size_(size), bytes_(new char[size]) {
    std::memset(bytes_.get(), kUntouched, size);
  }
  char* data() { return bytes_.get(); }
  size_t size() const { return size_; }
  std::span<char> all() { return {bytes_.get(), size_}; }
  std::span<char> first(size_t n) { return {bytes_.get(), n}; }
  // The bytes from..size() still hold kUntouched.
  // Compared a block at a time with memcmp, which the fuzzer does not trace byte by byte.
  bool UntouchedFrom(size_t from) const {
    static const std::string block(4096, kUntouched);
    for (size_t i = from; i < size_; i += block.size()) {
      size_t n = std::min(block.size(), size_ - i);
      if (std::memcmp(bytes_.get() + i, block.data(), n) != 0) return false;
    }
    return true;
  }

 private:
  size_t size_;
  std::unique_ptr<char[]> bytes_;
};

// The text in span is terminated within it.
inline bool TerminatedWithin(std::span<const char> span) {
  return ::strnlen(span.data(), span.size()) < span.size();
}

inline char FoldAscii(char c) {
  return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

inline bool StartsWithNoCase(std::string_view text, std::string_view prefix) {
  if (text.size() < prefix.size()) return false;
  for (size_t i = 0; i < prefix.size(); ++i)
    if (FoldAscii(text[i]) != FoldAscii(prefix[i])) return false;
  return true;
}

// Splits input at its first NUL: the text before it, and the rest after the NUL (all of the
// input and an empty rest when there is none).
inline std::string_view TakeField(std::string_view* input) {
  size_t nul = input->find('\0');
  std::string_view field = input->substr(0, nul);
  input->remove_prefix(nul == std::string_view::npos ? input->size() : nul + 1);
  return field;
}

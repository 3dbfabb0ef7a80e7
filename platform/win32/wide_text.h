// Win32's wide calls take NUL-terminated wchar_t text; the program keeps char16_t views. Both are
// UTF-16 units on Windows, so a copy with a terminator is all it takes.
#pragma once

#include <cstddef>
#include <string_view>

static_assert(sizeof(wchar_t) == sizeof(char16_t), "Windows' wchar_t is a UTF-16 unit");

// A terminated copy of a text that fits in N - 1 units; a longer text is refused (Ok() false),
// never cut, so a key or value name is never silently another one.
template <size_t N>
class WideText {
 public:
  explicit WideText(std::u16string_view text) : ok_(text.size() < N) {
    size_t n = ok_ ? text.size() : 0;
    for (size_t i = 0; i < n; ++i)
      units_[i] = static_cast<wchar_t>(text[i]);
    units_[n] = L'\0';
  }
  bool Ok() const { return ok_; }
  const wchar_t* Get() const { return units_; }

 private:
  wchar_t units_[N];
  bool ok_;
};

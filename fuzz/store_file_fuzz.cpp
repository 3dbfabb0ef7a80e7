// The settings file's text format: any file text is read, one value is written into it, and
// everything reads back as written, in memory and after going through the file's text again.
//
// Input: which value to write (a byte: one of the eleven names, or the key's default value), its
// type (a byte: 1, 4, 3, or a type of its own), the count of its bytes (a byte) and those bytes,
// then the file's text.
#include <algorithm>
#include <cstdint>
#include <string>
#include <vector>

#include "fuzz/fuzz_check.h"
#include "fuzz/store_values.h"
#include "platform/posix/registry_format.h"

namespace {

struct Lookup {
  ValueLookup status = ValueLookup::kMissing;
  RegistryValue value;
  bool operator==(const Lookup& other) const {
    return status == other.status && value.type == other.value.type &&
           value.bytes == other.value.bytes;
  }
};

Lookup Find(const RegistryDocument& doc, size_t keyLine, std::string_view name) {
  Lookup found;
  found.status = FindValue(doc, keyLine, name, &found.value);
  return found;
}

uint8_t TakeByte(std::string_view* input) {
  if (input->empty()) return 0;
  auto b = static_cast<uint8_t>(input->front());
  input->remove_prefix(1);
  return b;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string_view input(reinterpret_cast<const char*>(data), size);
  const size_t nameCount = std::size(kValueNames) + 1;
  size_t which = TakeByte(&input) % nameCount;
  std::string_view name = which < std::size(kValueNames) ? kValueNames[which] : "";
  uint8_t typeByte = TakeByte(&input);
  constexpr uint32_t kCommonTypes[] = {1, 4, 3};
  uint32_t type = typeByte < 192 ? kCommonTypes[typeByte % 3] : typeByte * 0x01010101u;
  size_t count = std::min<size_t>(TakeByte(&input), input.size());
  RegistryValue written{type, {}};
  for (char c : input.substr(0, count))
    written.bytes.push_back(static_cast<std::byte>(c));
  input.remove_prefix(count);

  // The document keeps every line as read, through its own text.
  RegistryDocument doc = ParseRegistryText(input);
  FUZZ_CHECK(doc.lines == ParseRegistryText(RegistryText(doc)).lines);

  size_t keyLine = FindKeyLine(doc, kSettingsKeyName);
  if (keyLine == kNoLine) {
    size_t lines = doc.lines.size();
    keyLine = AddKeyLine(&doc, kSettingsKeyName);
    FUZZ_CHECK(keyLine >= lines && FindKeyLine(doc, kSettingsKeyName) == keyLine);
  }
  std::vector<Lookup> before;
  for (std::string_view other : kValueNames)
    before.push_back(Find(doc, keyLine, other));

  SetValue(&doc, keyLine, name, written);
  FUZZ_CHECK(FindKeyLine(doc, kSettingsKeyName) == keyLine);
  Lookup expected{ValueLookup::kFound, written};
  FUZZ_CHECK(Find(doc, keyLine, name) == expected);
  for (size_t i = 0; i < std::size(kValueNames); ++i)
    if (kValueNames[i] != name) FUZZ_CHECK(Find(doc, keyLine, kValueNames[i]) == before[i]);

  // The file as written reads back the same.
  RegistryDocument again = ParseRegistryText(RegistryText(doc));
  FUZZ_CHECK(FindKeyLine(again, kSettingsKeyName) == keyLine);
  FUZZ_CHECK(Find(again, keyLine, name) == expected);
  for (size_t i = 0; i < std::size(kValueNames); ++i)
    FUZZ_CHECK(Find(again, keyLine, kValueNames[i]) == Find(doc, keyLine, kValueNames[i]));
  return 0;
}

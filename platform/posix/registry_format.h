// The text of a registry export file, held line by line so that writing one value keeps every
// other line (other keys, unknown values, damaged lines) exactly as it was.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

struct RegistryValue {
  uint32_t type = 0;
  std::vector<std::byte> bytes;
};

struct RegistryDocument {
  std::vector<std::string> lines;  // without their line ends
};

inline constexpr size_t kNoLine = static_cast<size_t>(-1);

// Splits text into lines; "\r\n" and "\n" both end a line, and a last line may lack its end.
RegistryDocument ParseRegistryText(std::string_view text);

// The document as text, every line ended by "\n".
std::string RegistryText(const RegistryDocument& doc);

// The index of the line "[keyName]" (ASCII letters in any case), or kNoLine.
size_t FindKeyLine(const RegistryDocument& doc, std::string_view keyName);

// Appends the line "[keyName]" after a blank line, starting an empty document with its header.
// Returns the new line's index.
size_t AddKeyLine(RegistryDocument* doc, std::string_view keyName);

enum class ValueLookup { kMissing, kDamaged, kFound };

// Finds the named value (ASCII letters in any case) below the key line; the last of several
// lines of that name counts, as it would when the file is imported.
ValueLookup FindValue(const RegistryDocument& doc, size_t keyLine, std::string_view name,
                      RegistryValue* value);

// Writes the named value in place of the first line of that name, dropping any later ones, or
// after the key's last line when the key has no such value.
void SetValue(RegistryDocument* doc, size_t keyLine, std::string_view name,
              const RegistryValue& value);

// Converts a name or text to UTF-8 when it can live on one line and come back unit for unit:
// no control characters, no zero units, no unpaired surrogates.
bool LineSafeUtf8(std::u16string_view wide, std::string* utf8);

#include "platform/posix/registry_format.h"

#include <algorithm>

#include "platform/text_convert.h"

namespace {

constexpr char kHexDigits[] = "0123456789abcdef";
// "hex(N)": N is a 32-bit type, at most eight hex digits.
constexpr size_t kMaxTypeDigits = 8;
// "dword:xxxxxxxx": a 32-bit number, always written with all eight hex digits.
constexpr size_t kDwordDigits = 8;
// Units below this are control characters, which would break a line or hide in it.
constexpr char16_t kFirstPrintable = 0x20;

char LowerAscii(char c) {
  return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

bool EqualNoCase(std::string_view a, std::string_view b) {
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
           return LowerAscii(x) == LowerAscii(y);
         });
}

bool ConsumePrefixNoCase(std::string_view* text, std::string_view prefix) {
  if (text->size() < prefix.size() || !EqualNoCase(text->substr(0, prefix.size()), prefix))
    return false;
  text->remove_prefix(prefix.size());
  return true;
}

std::string_view Trim(std::string_view text) {
  while (!text.empty() && (text.front() == ' ' || text.front() == '\t'))
    text.remove_prefix(1);
  while (!text.empty() && (text.back() == ' ' || text.back() == '\t'))
    text.remove_suffix(1);
  return text;
}

int HexValue(char c) {
  c = LowerAscii(c);
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}

// Parses one to maxDigits hex digits, the whole of text.
bool ParseHex(std::string_view text, size_t maxDigits, uint32_t* out) {
  if (text.empty() || text.size() > maxDigits) return false;
  uint32_t v = 0;
  for (char c : text) {
    int d = HexValue(c);
    if (d < 0) return false;
    v = (v << 4) | static_cast<uint32_t>(d);
  }
  *out = v;
  return true;
}

void AppendHex(std::string* out, uint32_t value, size_t digits) {
  for (int shift = static_cast<int>(digits - 1) * 4; shift >= 0; shift -= 4)
    out->push_back(kHexDigits[(value >> shift) & 0xF]);
}

void AppendQuoted(std::string* out, std::string_view text) {
  out->push_back('"');
  for (char c : text) {
    if (c == '\\' || c == '"') out->push_back('\\');
    out->push_back(c);
  }
  out->push_back('"');
}

// Reads a quoted text starting at text[*pos]; on success *pos is just past the closing quote.
bool ReadQuoted(std::string_view text, size_t* pos, std::string* out) {
  if (*pos >= text.size() || text[*pos] != '"') return false;
  for (size_t i = *pos + 1; i < text.size(); ++i) {
    char c = text[i];
    if (c == '"') {
      *pos = i + 1;
      return true;
    }
    if (c == '\\') {
      if (i + 1 >= text.size() || (text[i + 1] != '\\' && text[i + 1] != '"')) return false;
      c = text[++i];
    }
    out->push_back(c);
  }
  return false;
}

// "xx,xx,...": each byte as exactly two hex digits; an empty list is no bytes.
bool DecodeHexBytes(std::string_view text, std::vector<std::byte>* bytes) {
  text = Trim(text);
  while (!text.empty()) {
    size_t comma = text.find(',');
    std::string_view digits = Trim(text.substr(0, comma));
    uint32_t b = 0;
    if (digits.size() != 2 || !ParseHex(digits, 2, &b)) return false;
    bytes->push_back(static_cast<std::byte>(b));
    if (comma == std::string_view::npos) break;
    text.remove_prefix(comma + 1);
    if (Trim(text).empty()) return false;  // a list never ends with a comma
  }
  return true;
}

// Appends units as UTF-16 bytes, least significant byte first.
void AppendUnits(std::vector<std::byte>* bytes, std::u16string_view units) {
  for (char16_t u : units) {
    bytes->push_back(static_cast<std::byte>(u & 0xFF));
    bytes->push_back(static_cast<std::byte>(u >> 8));
  }
}

bool DecodeText(std::string_view data, RegistryValue* value) {
  size_t pos = 0;
  std::string text;
  if (!ReadQuoted(data, &pos, &text) || !Trim(data.substr(pos)).empty()) return false;
  std::vector<char16_t> wide(text.size() + 1);  // a UTF-8 byte never makes more than one unit
  size_t units = SingleByteToWide(text, wide);
  value->type = 1;
  AppendUnits(&value->bytes, std::u16string_view(wide.data(), units + 1));
  return true;
}

bool DecodeData(std::string_view data, RegistryValue* value) {
  data = Trim(data);
  uint32_t number = 0;
  if (ConsumePrefixNoCase(&data, "dword:")) {
    // Exactly eight digits: a line cut short must not read as a smaller number.
    if (data.size() != kDwordDigits || !ParseHex(data, kDwordDigits, &number)) return false;
    value->type = 4;
    for (int shift = 0; shift < 32; shift += 8)
      value->bytes.push_back(static_cast<std::byte>((number >> shift) & 0xFF));
    return true;
  }
  if (ConsumePrefixNoCase(&data, "hex:")) {
    value->type = 3;
    return DecodeHexBytes(data, &value->bytes);
  }
  if (ConsumePrefixNoCase(&data, "hex(")) {
    size_t close = data.find("):");
    if (close == std::string_view::npos ||
        !ParseHex(data.substr(0, close), kMaxTypeDigits, &number))
      return false;
    value->type = number;
    return DecodeHexBytes(data.substr(close + 2), &value->bytes);
  }
  return DecodeText(data, value);
}

// The text a type 1 value holds, when it can be written as a quoted line: whole units, one
// terminating zero unit at the end and none before it.
bool TextForm(const std::vector<std::byte>& bytes, std::string* text) {
  if (bytes.size() < 2 || bytes.size() % 2 != 0) return false;
  std::u16string units;
  for (size_t i = 0; i < bytes.size(); i += 2)
    units.push_back(static_cast<char16_t>(std::to_integer<unsigned>(bytes[i]) |
                                          std::to_integer<unsigned>(bytes[i + 1]) << 8));
  if (units.back() != 0) return false;
  units.pop_back();
  return LineSafeUtf8(units, text);
}

std::string EncodeEntry(std::string_view name, const RegistryValue& value) {
  std::string line;
  if (name.empty())
    line = "@";
  else
    AppendQuoted(&line, name);
  line += '=';
  std::string text;
  if (value.type == 4 && value.bytes.size() == 4) {
    uint32_t number = 0;
    for (int i = 3; i >= 0; --i)
      number = (number << 8) | std::to_integer<uint32_t>(value.bytes[i]);
    line += "dword:";
    AppendHex(&line, number, kDwordDigits);
  } else if (value.type == 1 && TextForm(value.bytes, &text)) {
    AppendQuoted(&line, text);
  } else {
    line += "hex(";
    size_t digits = 1;
    while (digits < kMaxTypeDigits && (value.type >> (digits * 4)) != 0)
      ++digits;
    AppendHex(&line, value.type, digits);
    line += "):";
    for (size_t i = 0; i < value.bytes.size(); ++i) {
      if (i > 0) line += ',';
      AppendHex(&line, std::to_integer<uint32_t>(value.bytes[i]), 2);
    }
  }
  return line;
}

// One value's lines: its name, its data (continued hex lines joined) and the lines it spans.
struct Entry {
  size_t first = 0;
  size_t end = 0;
  std::string name;
  std::string data;
};

bool IsKeyLine(std::string_view line) {
  line = Trim(line);
  return !line.empty() && line.front() == '[';
}

size_t SectionEnd(const RegistryDocument& doc, size_t keyLine) {
  size_t i = keyLine + 1;
  while (i < doc.lines.size() && !IsKeyLine(doc.lines[i]))
    ++i;
  return i;
}

// A hex value's next line, unless the value was cut short and the next line is blank or starts
// another value.
bool IsContinuation(const RegistryDocument& doc, size_t i, size_t sectionEnd) {
  if (i >= sectionEnd) return false;
  std::string_view line = Trim(doc.lines[i]);
  return !line.empty() && !line.starts_with('"') && !line.starts_with('@');
}

// Reads the value whose first line is doc.lines[i]; false when that line names no value.
bool ReadEntry(const RegistryDocument& doc, size_t i, size_t sectionEnd, Entry* entry) {
  std::string_view line = doc.lines[i];
  size_t pos = 0;
  entry->name.clear();
  if (line.starts_with('@'))
    pos = 1;
  else if (!ReadQuoted(line, &pos, &entry->name))
    return false;
  line = Trim(line.substr(pos));
  if (!line.starts_with('=')) return false;
  entry->data = Trim(line.substr(1));
  entry->first = i;
  entry->end = i + 1;
  std::string_view data = entry->data;
  bool hex = ConsumePrefixNoCase(&data, "hex");
  while (hex && entry->data.ends_with('\\') && IsContinuation(doc, entry->end, sectionEnd)) {
    entry->data.pop_back();
    entry->data += Trim(doc.lines[entry->end++]);
  }
  return true;
}

std::vector<Entry> EntriesNamed(const RegistryDocument& doc, size_t keyLine,
                                std::string_view name) {
  std::vector<Entry> found;
  size_t end = SectionEnd(doc, keyLine);
  Entry entry;
  for (size_t i = keyLine + 1; i < end;) {
    if (!ReadEntry(doc, i, end, &entry)) {
      ++i;
      continue;
    }
    i = entry.end;
    if (EqualNoCase(entry.name, name)) found.push_back(entry);
  }
  return found;
}

}  // namespace

RegistryDocument ParseRegistryText(std::string_view text) {
  RegistryDocument doc;
  while (!text.empty()) {
    size_t end = text.find('\n');
    std::string_view line = text.substr(0, end);
    if (line.ends_with('\r')) line.remove_suffix(1);
    doc.lines.emplace_back(line);
    if (end == std::string_view::npos) break;
    text.remove_prefix(end + 1);
  }
  return doc;
}

std::string RegistryText(const RegistryDocument& doc) {
  std::string text;
  for (const std::string& line : doc.lines) {
    text += line;
    // Reading took one "\r" off before the "\n"; a line that still ends in one had two, and
    // gets its "\r\n" back so that a save keeps it byte for byte.
    text += line.ends_with('\r') ? "\r\n" : "\n";
  }
  return text;
}

size_t FindKeyLine(const RegistryDocument& doc, std::string_view keyName) {
  for (size_t i = 0; i < doc.lines.size(); ++i) {
    std::string_view line = Trim(doc.lines[i]);
    if (line.size() == keyName.size() + 2 && line.front() == '[' && line.back() == ']' &&
        EqualNoCase(line.substr(1, keyName.size()), keyName))
      return i;
  }
  return kNoLine;
}

size_t AddKeyLine(RegistryDocument* doc, std::string_view keyName) {
  if (doc->lines.empty()) doc->lines.emplace_back("REGEDIT4");
  doc->lines.emplace_back("");
  std::string keyLine;
  keyLine.reserve(keyName.size() + 2);
  keyLine.append("[").append(keyName).append("]");
  doc->lines.push_back(std::move(keyLine));
  return doc->lines.size() - 1;
}

ValueLookup FindValue(const RegistryDocument& doc, size_t keyLine, std::string_view name,
                      RegistryValue* value) {
  std::vector<Entry> found = EntriesNamed(doc, keyLine, name);
  if (found.empty()) return ValueLookup::kMissing;
  RegistryValue decoded;
  if (!DecodeData(found.back().data, &decoded)) return ValueLookup::kDamaged;
  *value = std::move(decoded);
  return ValueLookup::kFound;
}

void SetValue(RegistryDocument* doc, size_t keyLine, std::string_view name,
              const RegistryValue& value) {
  std::string line = EncodeEntry(name, value);
  std::vector<Entry> found = EntriesNamed(*doc, keyLine, name);
  auto& lines = doc->lines;
  if (found.empty()) {
    size_t at = SectionEnd(*doc, keyLine);
    while (at > keyLine + 1 && Trim(lines[at - 1]).empty())
      --at;
    lines.insert(lines.begin() + static_cast<std::ptrdiff_t>(at), std::move(line));
    return;
  }
  // Later duplicates go first, so the indices of the earlier ones stay valid.
  for (size_t k = found.size(); k-- > 1;)
    lines.erase(lines.begin() + static_cast<std::ptrdiff_t>(found[k].first),
                lines.begin() + static_cast<std::ptrdiff_t>(found[k].end));
  lines.erase(lines.begin() + static_cast<std::ptrdiff_t>(found[0].first + 1),
              lines.begin() + static_cast<std::ptrdiff_t>(found[0].end));
  lines[found[0].first] = std::move(line);
}

bool LineSafeUtf8(std::u16string_view wide, std::string* utf8) {
  if (std::any_of(wide.begin(), wide.end(), [](char16_t u) { return u < kFirstPrintable; }))
    return false;
  std::string text(wide.size() * 3 + 1, '\0');  // a unit never needs more than three bytes
  text.resize(WideToSingleByte(wide, text));
  std::vector<char16_t> back(text.size() + 1);
  size_t units = SingleByteToWide(text, back);
  if (std::u16string_view(back.data(), units) != wide) return false;
  *utf8 = std::move(text);
  return true;
}

// The settings store through its file: loading any file gives each field what the file holds
// under its name (or leaves the field as it was), and a record saved over any file loads back
// exactly, with the file's other keys kept.
//
// Input: the record (nine 4-byte numbers in store order, least significant byte first; then for
// UAName and ProxyName a count byte and that many UTF-16 units of two bytes each), then the text
// of the settings file as it stands before the load. An input that ends early leaves the rest
// zero. A file text that is empty means no file.
#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "core/settings.h"
#include "fuzz/fuzz_check.h"
#include "fuzz/store_values.h"
#include "platform/posix/registry_format.h"
#include "store/settings_store.h"

namespace {

std::string FilePath() {
  return std::string(std::getenv("XDG_CONFIG_HOME")) + "/Lumet/Corvane.reg";
}

std::string ReadFile() {
  std::ifstream in(FilePath(), std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

class Reader {
 public:
  explicit Reader(std::string_view input) : input_(input) {}
  uint8_t Byte() {
    if (input_.empty()) return 0;
    auto b = static_cast<uint8_t>(input_.front());
    input_.remove_prefix(1);
    return b;
  }
  int32_t Number() {
    uint32_t v = 0;
    for (int shift = 0; shift < 32; shift += 8)
      v |= static_cast<uint32_t>(Byte()) << shift;
    return static_cast<int32_t>(v);
  }
  void Text(char16_t (&field)[kTextSettingUnits]) {
    size_t units = Byte() % kTextSettingUnits;
    for (size_t i = 0; i < units; ++i) {
      uint8_t low = Byte();
      field[i] = static_cast<char16_t>(low | Byte() << 8);
    }
  }
  std::string_view Rest() const { return input_; }

 private:
  std::string_view input_;
};

// Fields in store order, as the settings store walks them.
struct Field {
  int32_t ProxySettings::*number;
  char16_t (ProxySettings::*text)[kTextSettingUnits];
};
constexpr Field kFields[] = {
    {&ProxySettings::SendReferer, nullptr},  {&ProxySettings::ChangeUA, nullptr},
    {nullptr, &ProxySettings::UAName},       {&ProxySettings::SendMachine, nullptr},
    {&ProxySettings::SpaceConvert, nullptr}, {&ProxySettings::SpaceConvertAll, nullptr},
    {&ProxySettings::URLConvert, nullptr},   {&ProxySettings::ReadYahooMail, nullptr},
    {&ProxySettings::UseProxy, nullptr},     {nullptr, &ProxySettings::ProxyName},
    {&ProxySettings::ProxyPort, nullptr},
};

std::u16string_view TextOf(const char16_t (&field)[kTextSettingUnits]) {
  return {field, std::char_traits<char16_t>::length(field)};
}

bool SameRecord(const ProxySettings& a, const ProxySettings& b) {
  for (const Field& f : kFields) {
    if (f.number != nullptr && a.*f.number != b.*f.number) return false;
    if (f.text != nullptr && TextOf(a.*f.text) != TextOf(b.*f.text)) return false;
  }
  return true;
}

// The record a load makes of the file's text, starting from start: each value that the file
// holds and that fits its field replaces the field.
ProxySettings LoadedFrom(std::string_view fileText, ProxySettings start) {
  RegistryDocument doc = ParseRegistryText(fileText);
  size_t keyLine = FindKeyLine(doc, kSettingsKeyName);
  if (keyLine == kNoLine) return start;
  for (size_t i = 0; i < std::size(kFields); ++i) {
    RegistryValue value;
    if (FindValue(doc, keyLine, kValueNames[i], &value) != ValueLookup::kFound) continue;
    const Field& f = kFields[i];
    if (value.bytes.empty()) {
      if (f.text != nullptr) (start.*f.text)[0] = 0;  // no units read: terminated at once
    } else if (f.number != nullptr && value.bytes.size() <= 4) {
      std::memcpy(&(start.*f.number), value.bytes.data(), value.bytes.size());
    } else if (f.text != nullptr && value.bytes.size() <= kTextSettingUnits * 2) {
      char16_t* units = start.*f.text;
      std::memcpy(units, value.bytes.data(), value.bytes.size());
      size_t read = (value.bytes.size() + 1) / 2;
      if (read < kTextSettingUnits) units[read] = 0;
      units[kTextSettingUnits - 1] = 0;
    }
  }
  return start;
}

// The lines of the file outside the settings key's section, before and after it.
struct Surroundings {
  std::vector<std::string> before;
  std::vector<std::string> after;
};

Surroundings SurroundingsOf(std::string_view fileText) {
  RegistryDocument doc = ParseRegistryText(fileText);
  size_t keyLine = FindKeyLine(doc, kSettingsKeyName);
  Surroundings s;
  if (keyLine == kNoLine) {
    s.before = doc.lines;
    return s;
  }
  size_t end = keyLine + 1;
  auto isKeyLine = [](std::string_view line) {
    size_t first = line.find_first_not_of(" \t");
    return first != std::string_view::npos && line[first] == '[';
  };
  while (end < doc.lines.size() && !isKeyLine(doc.lines[end]))
    ++end;
  s.before.assign(doc.lines.begin(), doc.lines.begin() + static_cast<std::ptrdiff_t>(keyLine + 1));
  s.after.assign(doc.lines.begin() + static_cast<std::ptrdiff_t>(end), doc.lines.end());
  return s;
}

// A record whose every field differs from record's.
ProxySettings Different(const ProxySettings& record) {
  ProxySettings other;
  for (const Field& f : kFields) {
    if (f.number != nullptr) {
      other.*f.number = ~(record.*f.number);
    } else {
      (other.*f.text)[0] = (record.*f.text)[0] == u'x' ? u'y' : u'x';
      (other.*f.text)[1] = 0;
    }
  }
  return other;
}

bool KeptAround(const Surroundings& old, const std::vector<std::string>& lines) {
  if (lines.size() < old.before.size() + old.after.size()) return false;
  std::vector<std::string> start(lines.begin(),
                                 lines.begin() + static_cast<std::ptrdiff_t>(old.before.size()));
  std::vector<std::string> end(lines.end() - static_cast<std::ptrdiff_t>(old.after.size()),
                               lines.end());
  return old.before == start && old.after == end;
}

// The file holds each field as its own value: a number as type 4 with its 4 bytes, least
// significant first; a text as type 1 with its UTF-16 units and one zero unit.
void CheckStoredExactly(std::string_view fileText, const ProxySettings& record) {
  RegistryDocument doc = ParseRegistryText(fileText);
  size_t keyLine = FindKeyLine(doc, kSettingsKeyName);
  FUZZ_CHECK(keyLine != kNoLine);
  for (size_t i = 0; i < std::size(kFields); ++i) {
    RegistryValue value;
    FUZZ_CHECK(FindValue(doc, keyLine, kValueNames[i], &value) == ValueLookup::kFound);
    std::vector<std::byte> expected;
    if (kFields[i].number != nullptr) {
      auto number = static_cast<uint32_t>(record.*kFields[i].number);
      for (int shift = 0; shift < 32; shift += 8)
        expected.push_back(static_cast<std::byte>(number >> shift & 0xFF));
      FUZZ_CHECK(value.type == 4);
    } else {
      for (char16_t unit : TextOf(record.*kFields[i].text)) {
        expected.push_back(static_cast<std::byte>(unit & 0xFF));
        expected.push_back(static_cast<std::byte>(unit >> 8));
      }
      expected.insert(expected.end(), 2, std::byte{0});
      FUZZ_CHECK(value.type == 1);
    }
    FUZZ_CHECK(value.bytes == expected);
  }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  std::string folder = (std::filesystem::exists("/dev/shm") ? "/dev/shm" : "/tmp");
  folder += "/corvane-fuzz-store-XXXXXX";
  if (mkdtemp(folder.data()) == nullptr) abort();
  setenv("XDG_CONFIG_HOME", folder.c_str(), 1);
  std::filesystem::create_directories(folder + "/Lumet");
  // The folder goes when the fuzzer ends normally; a crash leaves it for a look.
  static std::string remove = folder;
  atexit([] { std::filesystem::remove_all(remove); });
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  Reader reader(std::string_view(reinterpret_cast<const char*>(data), size));
  ProxySettings record;
  for (const Field& f : kFields) {
    if (f.number != nullptr)
      record.*f.number = reader.Number();
    else
      reader.Text(record.*f.text);
  }
  std::string_view fileText = reader.Rest();

  std::filesystem::remove(FilePath());
  if (!fileText.empty()) std::ofstream(FilePath(), std::ios::binary) << fileText;

  // A load gives each field what the file holds for it; a first run writes the record.
  const ProxySettings defaults;
  ReplaceSettings(defaults);
  LoadSettings();
  FUZZ_CHECK(SameRecord(CurrentSettings(), LoadedFrom(fileText, defaults)));
  std::string loadedFile = ReadFile();
  RegistryDocument original = ParseRegistryText(fileText);
  bool keyExisted = FindKeyLine(original, kSettingsKeyName) != kNoLine;
  if (keyExisted) FUZZ_CHECK(loadedFile == fileText);
  if (!keyExisted) {
    FUZZ_CHECK(SameRecord(LoadedFrom(loadedFile, Different(defaults)), defaults));
    // The first run adds the key after the lines the file held, and changes none of them.
    std::vector<std::string> lines = ParseRegistryText(loadedFile).lines;
    FUZZ_CHECK(lines.size() >= original.lines.size());
    lines.resize(original.lines.size());
    FUZZ_CHECK(lines == original.lines);
  }

  // A saved record loads back exactly, whatever the file held, and the rest of the file stays.
  ReplaceSettings(record);
  SaveSettings();
  std::string savedFile = ReadFile();
  FUZZ_CHECK(KeptAround(SurroundingsOf(loadedFile), ParseRegistryText(savedFile).lines));
  CheckStoredExactly(savedFile, record);
  ReplaceSettings(Different(record));
  LoadSettings();
  FUZZ_CHECK(SameRecord(CurrentSettings(), record));
  FUZZ_CHECK(ReadFile() == savedFile);
  return 0;
}

// The registry stand-in: its file format, damaged files, atomic saves and permissions.
#include "platform/registry.h"

#include <sys/stat.h>

#include <vector>

#include "tests/store/config_home.h"

namespace {

constexpr char16_t kKeyPath[] = u"Software\\Lumet\\Corvane";
constexpr char kHead[] = "REGEDIT4\n\n[HKEY_CURRENT_USER\\Software\\Lumet\\Corvane]\n";

using Bytes = std::vector<std::byte>;

// What a fresh opening of the key reads; kMissing as the type when the value reads as missing.
struct Got {
  uint32_t type;
  Bytes bytes;
};
constexpr uint32_t kMissing = 0xFFFFFFFF;

Bytes Of(std::initializer_list<int> values) {
  Bytes bytes;
  for (int v : values)
    bytes.push_back(static_cast<std::byte>(v));
  return bytes;
}

Bytes Utf16(std::u16string_view text, bool terminated = true) {
  Bytes bytes;
  for (char16_t u : text)
    bytes.insert(bytes.end(), {std::byte(u & 0xFF), std::byte(u >> 8)});
  if (terminated) bytes.insert(bytes.end(), 2, std::byte{0});
  return bytes;
}

class RegistryTest : public ConfigHomeTest {
 protected:
  RegistryKey Open(uint32_t* disposition = nullptr) {
    RegistryKey key = 0;
    EXPECT_EQ(RegistryCreateKey(kRegistryCurrentUser, kKeyPath, u"", kRegistryNonVolatile,
                                kRegistryAllAccess, nullptr, &key, disposition),
              kRegistrySuccess);
    return key;
  }
  void Write(std::u16string_view name, uint32_t type, const Bytes& data) {
    RegistryKey key = Open();
    EXPECT_EQ(RegistryWriteValue(key, name, type, data), kRegistrySuccess);
    EXPECT_EQ(RegistryCloseKey(key), kRegistrySuccess);
  }
  Got Read(std::u16string_view name) {
    RegistryKey key = Open();
    Got got{kMissing, Bytes(512)};
    uint32_t size = 0;
    if (RegistryReadValue(key, name, &got.type, got.bytes, &size) == kRegistrySuccess)
      got.bytes.resize(size);
    else
      got = {kMissing, {}};
    RegistryCloseKey(key);
    return got;
  }
};

TEST_F(RegistryTest, CreatesThePrivateFileOnceThenOpensIt) {
  setenv("XDG_CONFIG_HOME", (home_ + "/config").c_str(), 1);
  uint32_t disposition = 0;
  RegistryCloseKey(Open(&disposition));
  EXPECT_EQ(disposition, kRegistryCreatedNewKey);
  RegistryCloseKey(Open(&disposition));
  EXPECT_EQ(disposition, kRegistryOpenedExistingKey);

  std::ifstream in(home_ + "/config/Lumet/Corvane.reg");
  std::string text((std::istreambuf_iterator<char>(in)), {});
  EXPECT_EQ(text, kHead);
  struct stat info {};
  for (auto [path, mode] :
       {std::pair{"/config", 0700}, {"/config/Lumet", 0700}, {"/config/Lumet/Corvane.reg", 0600}}) {
    ASSERT_EQ(stat((home_ + path).c_str(), &info), 0) << path;
    EXPECT_EQ(info.st_mode & 0777, static_cast<mode_t>(mode)) << path;
  }
}

struct FormRow {
  std::u16string name;
  uint32_t type;
  Bytes bytes;
  const char* line;
};

TEST_F(RegistryTest, EachValueIsWrittenInItsFormAndReadsBackExactly) {
  const FormRow rows[] = {
      {u"Port", 4, Of({0xC4, 0x13, 0, 0}), "\"Port\"=dword:000013c4"},
      {u"Flag", 4, Of({0xFF, 0xFF, 0xFF, 0xFF}), "\"Flag\"=dword:ffffffff"},
      {u"Text", 1, Utf16(u"a\"b\\c"), "\"Text\"=\"a\\\"b\\\\c\""},
      {u"Wide", 1, Utf16(u"caf\u00e9 \U0001F600"), "\"Wide\"=\"caf\xc3\xa9 \xf0\x9f\x98\x80\""},
      {u"Empty", 1, Utf16(u""), "\"Empty\"=\"\""},
      {u"Lines", 1, Utf16(u"a\nb"), "\"Lines\"=hex(1):61,00,0a,00,62,00,00,00"},
      {u"Unended", 1, Utf16(u"ab", false), "\"Unended\"=hex(1):61,00,62,00"},
      {u"Inner", 1, Utf16(std::u16string_view(u"a\0b", 3)),
       "\"Inner\"=hex(1):61,00,00,00,62,00,00,00"},
      {u"Odd", 1, Of({0x61, 0, 0}), "\"Odd\"=hex(1):61,00,00"},
      {u"Lone", 1, Of({0x00, 0xD8, 0, 0}), "\"Lone\"=hex(1):00,d8,00,00"},
      {u"Short", 4, Of({1, 0}), "\"Short\"=hex(4):01,00"},
      {u"Blob", 3, {}, "\"Blob\"=hex(3):"},
      {u"Quad", 0xB, Of({1, 2, 3, 4, 5, 6, 7, 8}), "\"Quad\"=hex(b):01,02,03,04,05,06,07,08"},
      {u"Big", 0x12345678, Of({0xAB}), "\"Big\"=hex(12345678):ab"},
      {u"", 4, Of({7, 0, 0, 0}), "@=dword:00000007"},
      {u"na\"me\\", 4, Of({0, 0, 0, 0}), "\"na\\\"me\\\\\"=dword:00000000"},
  };
  for (const FormRow& row : rows) {
    Write(row.name, row.type, row.bytes);
    EXPECT_NE(ReadFile().find(std::string("\n") + row.line + "\n"), std::string::npos) << row.line;
    Got got = Read(row.name);
    EXPECT_EQ(got.type, row.type) << row.line;
    EXPECT_EQ(got.bytes, row.bytes) << row.line;
  }
}

TEST_F(RegistryTest, ReadLeavesTheBufferUntouchedWhenMissingOrTooLarge) {
  Write(u"Name", 1, Utf16(u"abc"));
  RegistryKey key = Open();
  std::byte buffer[4] = {std::byte{0x5A}, std::byte{0x5A}, std::byte{0x5A}, std::byte{0x5A}};
  const Bytes untouched(std::begin(buffer), std::end(buffer));
  uint32_t type = 0;
  uint32_t size = 0;
  EXPECT_EQ(RegistryReadValue(key, u"nAME", &type, buffer, &size), kRegistryMoreData);
  EXPECT_EQ(type, kRegistryText);
  EXPECT_EQ(size, 8u);
  EXPECT_EQ(RegistryReadValue(key, u"Missing", &type, buffer, &size), kRegistryNotFound);
  EXPECT_EQ(Bytes(std::begin(buffer), std::end(buffer)), untouched);
  RegistryCloseKey(key);
}

TEST_F(RegistryTest, ReadsFilesWrittenByHandOrByOtherTools) {
  WriteFile(
      "REGEDIT4\r\n\r\n[hkey_current_user\\SOFTWARE\\lumet\\corvane]\r\n"
      "\"Bin\"=hex:01,AB\r\n"
      "\"Long\"=hex(3):01,02,\\\r\n  03,04\r\n"
      "\"UPPER\"=DWORD:0000001F\r\n"
      "\"Spaced\" = \"x\"  \r\n"
      "@=\"default\"");
  uint32_t disposition = 0;
  RegistryCloseKey(Open(&disposition));
  EXPECT_EQ(disposition, kRegistryOpenedExistingKey);
  EXPECT_EQ(Read(u"Bin").bytes, Of({0x01, 0xAB}));
  EXPECT_EQ(Read(u"Bin").type, kRegistryBinary);
  EXPECT_EQ(Read(u"Long").bytes, Of({1, 2, 3, 4}));
  EXPECT_EQ(Read(u"upper").bytes, Of({0x1F, 0, 0, 0}));
  EXPECT_EQ(Read(u"Spaced").bytes, Utf16(u"x"));
  EXPECT_EQ(Read(u"").bytes, Utf16(u"default"));
}

TEST_F(RegistryTest, DamagedValuesReadAsMissingAndAWriteReplacesThem) {
  const char* damaged[] = {
      "\"V\"=dword:0000001",
      "\"V\"=dword:000000012",
      "\"V\"=dword:000x0001",
      "\"V\"=hex(4):1,2",
      "\"V\"=hex(4):01,02,",
      "\"V\"=hex(4):01;02",
      "\"V\"=hex(zz):01",
      "\"V\"=hex(4:01",
      "\"V\"=hex(123456789):01",
      "\"V\"=\"cut short",
      "\"V\"=\"bad \\q\"",
      "\"V\"=\"x\" tail",
      "\"V\"=-",
      "\"V\"=",
      "\"V\"=hex(3):01,02,\\",
  };
  for (const char* line : damaged) {
    WriteFile(std::string(kHead) + line + "\n\"Ok\"=dword:00000001\n");
    EXPECT_EQ(Read(u"V").type, kMissing) << line;
    EXPECT_EQ(Read(u"Ok").bytes, Of({1, 0, 0, 0})) << line;
    Write(u"V", 4, Of({2, 0, 0, 0}));
    EXPECT_EQ(ReadFile(), std::string(kHead) + "\"V\"=dword:00000002\n\"Ok\"=dword:00000001\n")
        << line;
  }
  // Cut short at the very end of the file, with no line end.
  WriteFile(std::string(kHead) + "\"V\"=hex(3):01,02,\\");
  EXPECT_EQ(Read(u"V").type, kMissing);
}

TEST_F(RegistryTest, AWriteKeepsEveryOtherLineAsItWas) {
  const std::string sub = "[HKEY_CURRENT_USER\\Software\\Lumet\\Corvane\\Sub]\n";
  const std::string rest = "\n" + sub + "\"Port\"=dword:00000009\n\n" +
                           "[HKEY_CURRENT_USER\\Software\\Other]\n\"X\"=\"y\"\n";
  const std::string extra = "\"Extra\"=hex(7):61,00,00,00,\\\n  00,00\n";
  WriteFile(std::string(kHead) + "; by hand\n\"Port\"=dword:00000001\n%% junk \x01\n" + extra +
            "\"Port\"=dword:00000003\n" + rest);
  EXPECT_EQ(Read(u"Port").bytes, Of({3, 0, 0, 0}));  // the last of two lines counts
  RegistryKey key = Open();
  RegistryWriteValue(key, u"Port", 4, Of({2, 0, 0, 0}));
  RegistryWriteValue(key, u"New", 1, Utf16(u"n"));
  RegistryCloseKey(key);
  EXPECT_EQ(ReadFile(), std::string(kHead) + "; by hand\n\"Port\"=dword:00000002\n%% junk \x01\n" +
                            extra + "\"New\"=\"n\"\n" + rest);
  EXPECT_EQ(Read(u"Extra").type, 7u);
  EXPECT_EQ(Read(u"Extra").bytes, Of({0x61, 0, 0, 0, 0, 0}));
}

// Found by fuzzing: a line ended "\r\r\n" lost a "\r" on every save, which could turn a stray
// key line into the key and send a save's values into the wrong section.
TEST_F(RegistryTest, LinesEndedWithSeveralReturnsSurviveASave) {
  const std::string odd = "; note\r\r\n[HKEY_CURRENT_USER\\Software\\Lumet\\Corvane]\r\r\n";
  WriteFile(odd + std::string(kHead) + "\"Port\"=dword:00000001\n");
  RegistryKey key = Open();
  RegistryWriteValue(key, u"Port", 4, Of({2, 0, 0, 0}));
  RegistryCloseKey(key);
  EXPECT_EQ(ReadFile(), odd + std::string(kHead) + "\"Port\"=dword:00000002\n");
}

TEST_F(RegistryTest, AFileWithoutTheKeyKeepsItsTextWhenTheKeyIsAdded) {
  const std::string junk("\0\xff garbage\n[unfinished", 21);
  WriteFile(junk);
  uint32_t disposition = 0;
  RegistryCloseKey(Open(&disposition));
  EXPECT_EQ(disposition, kRegistryCreatedNewKey);
  EXPECT_EQ(ReadFile(), junk + "\n\n[HKEY_CURRENT_USER\\Software\\Lumet\\Corvane]\n");
}

TEST_F(RegistryTest, FilesThatCannotBeUsedAreLeftAlone) {
  RegistryKey key = 0;
  auto create = [&key] {
    return RegistryCreateKey(kRegistryCurrentUser, kKeyPath, u"", kRegistryNonVolatile,
                             kRegistryAllAccess, nullptr, &key, nullptr);
  };
  const std::string huge = std::string(kHead) + std::string(2 << 20, 'x');
  WriteFile(huge);
  EXPECT_EQ(create(), kRegistryBadFile);
  EXPECT_EQ(ReadFile().size(), huge.size());
  std::filesystem::remove(FilePath());
  std::filesystem::create_directory(FilePath());
  EXPECT_EQ(create(), kRegistryBadFile);
  std::filesystem::remove(FilePath());
  ASSERT_EQ(mkfifo(FilePath().c_str(), 0600), 0);  // must be refused, not waited on
  EXPECT_EQ(create(), kRegistryBadFile);
  std::ofstream(home_ + "/plain") << "not a folder";
  setenv("XDG_CONFIG_HOME", (home_ + "/plain").c_str(), 1);
  EXPECT_EQ(create(), kRegistryCannotWrite);
  EXPECT_EQ(key, 0u);
}

TEST_F(RegistryTest, RefusesBadHandlesPathsAndNames) {
  RegistryKey key = 0;
  EXPECT_EQ(RegistryCreateKey(0x80000002, kKeyPath, u"", 0, 0, nullptr, &key, nullptr),
            kRegistryInvalidHandle);
  for (const char16_t* path :
       {u"Lumet\\Corvane", u"Software\\Lumet", u"Software\\..\\x", u"Software\\a/b\\c",
        u"Software\\\\Corvane", u"Software\\L\\C\\", u"Software\\L\\[C]"})
    EXPECT_EQ(RegistryCreateKey(kRegistryCurrentUser, path, u"", 0, 0, nullptr, &key, nullptr),
              kRegistryInvalidParameter);
  EXPECT_EQ(key, 0u);
  EXPECT_FALSE(std::filesystem::exists(home_ + "/L"));

  std::vector<RegistryKey> keys;
  for (int i = 0; i < 8; ++i)
    keys.push_back(Open());
  EXPECT_EQ(RegistryCreateKey(kRegistryCurrentUser, kKeyPath, u"", 0, 0, nullptr, &key, nullptr),
            kRegistryTooManyOpen);
  EXPECT_EQ(RegistryWriteValue(keys[0], u"a\nb", 4, Of({0, 0, 0, 0})), kRegistryInvalidParameter);
  for (RegistryKey k : keys)
    EXPECT_EQ(RegistryCloseKey(k), kRegistrySuccess);
  EXPECT_EQ(RegistryCloseKey(keys[0]), kRegistryInvalidHandle);
  EXPECT_EQ(RegistryWriteValue(keys[0], u"x", 4, Of({0, 0, 0, 0})), kRegistryInvalidHandle);
  EXPECT_EQ(RegistryReadValue(keys[0], u"x", nullptr, {}, nullptr), kRegistryInvalidHandle);
}

TEST_F(RegistryTest, ASubkeyLivesInItsProgramsFileBelowItsParent) {
  uint32_t disposition = 0;
  RegistryKey key = 0;
  ASSERT_EQ(RegistryCreateKey(kRegistryCurrentUser, u"Software\\Lumet\\Corvane\\Sub", u"", 0, 0,
                              nullptr, &key, &disposition),
            kRegistrySuccess);
  RegistryCloseKey(key);
  EXPECT_EQ(disposition, kRegistryCreatedNewKey);
  EXPECT_EQ(ReadFile(),
            std::string(kHead) + "\n[HKEY_CURRENT_USER\\Software\\Lumet\\Corvane\\Sub]\n");
  RegistryCloseKey(Open(&disposition));
  EXPECT_EQ(disposition, kRegistryOpenedExistingKey);
}

}  // namespace

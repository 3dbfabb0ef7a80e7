// The settings in the real registry: what the store writes lands under HKEY_CURRENT_USER as
// Windows' own values, and reads back.
#include <gtest/gtest.h>
#include <windows.h>

#include <string>

#include "core/settings.h"
#include "platform/registry.h"
#include "platform/text_convert.h"
#include "store/settings_store.h"

namespace {

constexpr wchar_t kKeyPath[] = L"Software\\Lumet\\Corvane";

class WindowsRegistryTest : public ::testing::Test {
 protected:
  void SetUp() override { RegDeleteTreeW(HKEY_CURRENT_USER, kKeyPath); }
  void TearDown() override {
    RegDeleteTreeW(HKEY_CURRENT_USER, kKeyPath);
    ReplaceSettings(ProxySettings{});
  }
};

TEST_F(WindowsRegistryTest, SavedSettingsAreWindowsValuesAndLoadBack) {
  ProxySettings s;
  s.ChangeUA = 1;
  SingleByteToWide("Mozilla/5.0 (テスト)", s.UAName);
  s.UseProxy = 1;
  SingleByteToWide("proxy.example", s.ProxyName);
  s.ProxyPort = 3128;
  ReplaceSettings(s);
  SaveSettings();

  DWORD port = 0;
  DWORD size = sizeof port;
  ASSERT_EQ(RegGetValueW(HKEY_CURRENT_USER, kKeyPath, L"ProxyPort", RRF_RT_REG_DWORD, nullptr,
                         &port, &size),
            ERROR_SUCCESS);
  EXPECT_EQ(port, 3128u);
  wchar_t name[64] = {};
  size = sizeof name;
  ASSERT_EQ(
      RegGetValueW(HKEY_CURRENT_USER, kKeyPath, L"UAName", RRF_RT_REG_SZ, nullptr, name, &size),
      ERROR_SUCCESS);
  EXPECT_EQ(std::wstring(name), L"Mozilla/5.0 (\u30c6\u30b9\u30c8)");

  ReplaceSettings(ProxySettings{});
  LoadSettings();
  ProxySettings loaded = CurrentSettings();
  EXPECT_EQ(loaded.ChangeUA, 1);
  EXPECT_EQ(loaded.ProxyPort, 3128);
  EXPECT_EQ(std::u16string(loaded.UAName), u"Mozilla/5.0 (\u30c6\u30b9\u30c8)");
}

TEST_F(WindowsRegistryTest, ReadsReportTheSizeAndLeaveAShortBufferUntouched) {
  RegistryKey key = 0;
  uint32_t disposition = 0;
  ASSERT_EQ(
      RegistryCreateKey(kRegistryCurrentUser, u"Software\\Lumet\\Corvane", u"",
                        kRegistryNonVolatile, kRegistryAllAccess, nullptr, &key, &disposition),
      kRegistrySuccess);
  EXPECT_EQ(disposition, kRegistryCreatedNewKey);
  const char16_t text[] = u"abcdef";
  ASSERT_EQ(RegistryWriteValue(key, u"Text", kRegistryText, std::as_bytes(std::span(text))),
            kRegistrySuccess);
  std::byte shortBuffer[4] = {std::byte{0x55}, std::byte{0x55}, std::byte{0x55}, std::byte{0x55}};
  uint32_t type = 0;
  uint32_t size = 0;
  EXPECT_EQ(RegistryReadValue(key, u"Text", &type, shortBuffer, &size), kRegistryMoreData);
  EXPECT_EQ(type, kRegistryText);
  EXPECT_EQ(size, sizeof text);
  for (std::byte b : shortBuffer)
    EXPECT_EQ(b, std::byte{0x55});
  EXPECT_EQ(RegistryReadValue(key, u"Missing", &type, shortBuffer, &size), kRegistryNotFound);
  EXPECT_EQ(RegistryCloseKey(key), kRegistrySuccess);
}

}  // namespace

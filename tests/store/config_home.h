// Gives each test a fresh, empty $XDG_CONFIG_HOME, so the settings file starts missing.
#pragma once

#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include "core/settings.h"

// The settings file as a first start writes it: the key line, then the defaults.
inline constexpr char kSettingsKeyLine[] =
    "REGEDIT4\n\n[HKEY_CURRENT_USER\\Software\\Lumet\\Corvane]\n";
inline constexpr char kDefaultSettingsValues[] =
    "\"SendReferer\"=dword:00000001\n"
    "\"ChangeUA\"=dword:00000000\n"
    "\"UAName\"=\"\"\n"
    "\"SendMachine\"=dword:00000000\n"
    "\"SpaceConvert\"=dword:00000000\n"
    "\"SpaceConvertAll\"=dword:00000001\n"
    "\"URLConvert\"=dword:00000000\n"
    "\"ReadYahooMail\"=dword:00000000\n"
    "\"UseProxy\"=dword:00000000\n"
    "\"ProxyName\"=\"\"\n"
    "\"ProxyPort\"=dword:000013c4\n"
    "\"InspectHttps\"=dword:00000000\n"
    "\"InspectBypass\"=\"\"\n"
    "\"ListenAddress\"=\"127.0.0.1 ::1\"\n"
    "\"ListenPort\"=dword:00001f90\n"
    "\"AllowedClients\"=\"\"\n";

class ConfigHomeTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char folder[] = "/tmp/corvane-store-XXXXXX";
    ASSERT_NE(mkdtemp(folder), nullptr);
    home_ = folder;
    setenv("XDG_CONFIG_HOME", home_.c_str(), 1);
  }
  void TearDown() override { std::filesystem::remove_all(home_); }

  std::string FolderPath() const { return home_ + "/Lumet"; }
  std::string FilePath() const { return FolderPath() + "/Corvane.reg"; }

  std::string ReadFile() const {
    std::ifstream in(FilePath(), std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
  }
  void WriteFile(const std::string& text) const {
    std::filesystem::create_directories(FolderPath());
    std::ofstream(FilePath(), std::ios::binary) << text;
  }

  std::string home_;
};

// A fresh settings folder, with the settings record at its defaults before and after each test.
class SettingsFileTest : public ConfigHomeTest {
 protected:
  void SetUp() override {
    ConfigHomeTest::SetUp();
    ReplaceSettings(ProxySettings{});
  }
  void TearDown() override {
    ReplaceSettings(ProxySettings{});
    ConfigHomeTest::TearDown();
  }
};

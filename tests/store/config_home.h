// Gives each test a fresh, empty $XDG_CONFIG_HOME, so the settings file starts missing.
#pragma once

#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

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

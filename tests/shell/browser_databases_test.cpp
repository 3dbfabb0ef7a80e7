// Finding the browsers' NSS databases in a home of the test's own, and what the tray item says
// after registering the authority with them.
#include "shell/browser_databases.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "core/local_authority.h"
#include "core/settings.h"
#include "platform/message_box.h"
#include "platform/program.h"
#include "platform/text_convert.h"
#include "platform/tls.h"
#include "platform/window_types.h"
#include "shell/https_toggle.h"

namespace {

namespace fs = std::filesystem;

class BrowserDatabasesTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char folder[] = "/tmp/corvane-browsers-XXXXXX";
    ASSERT_NE(mkdtemp(folder), nullptr);
    home_ = folder;
  }
  void TearDown() override { fs::remove_all(home_); }

  void Write(const std::string& path, const std::string& text) const {
    fs::create_directories(fs::path(home_ + "/" + path).parent_path());
    std::ofstream(home_ + "/" + path) << text;
  }
  void Folder(const std::string& path) const { fs::create_directories(home_ + "/" + path); }

  // One line per database, its folder under the home written ~.
  std::vector<std::string> Found(const char* xdgConfigHome) const {
    std::vector<std::string> lines;
    for (const BrowserDatabase& database : FindBrowserDatabases(home_, xdgConfigHome)) {
      std::string folder = database.folder.lexically_normal().string();
      if (folder.starts_with(home_)) folder = "~" + folder.substr(home_.size());
      const char* state = database.state == DatabaseState::kPresent   ? "present"
                          : database.state == DatabaseState::kMissing ? "missing"
                                                                      : "no folder";
      lines.push_back(database.browser + " " + folder + " " + state);
    }
    return lines;
  }

  std::string home_;
};

TEST_F(BrowserDatabasesTest, FindsEveryProfileThatEachProfilesIniNames) {
  Write(".local/share/pki/nssdb/cert9.db", "");  // Chromium's, where ~/.pki has none
  // The classic place: relative and absolute paths, an install section that repeats a profile,
  // a folder holding a database that no section names, and one holding none.
  Write(".mozilla/firefox/profiles.ini",
        "[Install4F96D1932A9F858E]\nDefault=a.default-release\n\n"
        "[Profile1]\nName=elsewhere\nIsRelative=0\nPath=" +
            home_ +
            "/elsewhere/b.profile\n\n"
            "[Profile0]\nName=default-release\nIsRelative=1\nPath=a.default-release\nDefault=1\n\n"
            "[General]\nStartWithLastProfile=1\nVersion=2\n");
  Write(".mozilla/firefox/a.default-release/cert9.db", "");
  Write("elsewhere/b.profile/cert9.db", "");
  Write(".mozilla/firefox/old.default/cert9.db", "");
  Folder(".mozilla/firefox/Crash Reports");
  // ESR's place, written with CRLF: a profile Firefox has not used yet, and one whose folder is
  // gone.
  Write(".config/mozilla/firefox/profiles.ini",
        "[Profile0]\r\nName=default-esr\r\nIsRelative=1\r\nPath=c.default-esr\r\n\r\n"
        "[Profile1]\r\nIsRelative=1\r\nPath=gone.default\r\n");
  Folder(".config/mozilla/firefox/c.default-esr");
  // XDG_CONFIG_HOME's place naming the profile of the classic place again.
  Write("xdg/mozilla/firefox/profiles.ini",
        "[Profile0]\nIsRelative=1\nPath=d.default\n\n"
        "[Profile1]\nIsRelative=0\nPath=" +
            home_ + "/elsewhere/b.profile\n");
  Write("xdg/mozilla/firefox/d.default/cert9.db", "");
  // The snap's without a profiles.ini, the flatpak's with one.
  Write("snap/firefox/common/.mozilla/firefox/e.default/cert9.db", "");
  Write(".var/app/org.mozilla.firefox/.mozilla/firefox/profiles.ini",
        "[Profile0]\nIsRelative=1\nPath=f.default\n");
  Write(".var/app/org.mozilla.firefox/.mozilla/firefox/f.default/cert9.db", "");

  const std::vector<std::string> classic = {
      "Chromium ~/.local/share/pki/nssdb present",
      "Firefox ~/elsewhere/b.profile present",
      "Firefox ~/.mozilla/firefox/a.default-release present",
      "Firefox ~/.mozilla/firefox/old.default present",
      "Firefox ~/.config/mozilla/firefox/c.default-esr missing",
      "Firefox ~/.config/mozilla/firefox/gone.default no folder",
  };
  const std::vector<std::string> others = {
      "Firefox ~/snap/firefox/common/.mozilla/firefox/e.default present",
      "Firefox ~/.var/app/org.mozilla.firefox/.mozilla/firefox/f.default present",
  };
  std::vector<std::string> withXdg = classic;
  withXdg.push_back("Firefox ~/xdg/mozilla/firefox/d.default present");
  withXdg.insert(withXdg.end(), others.begin(), others.end());
  EXPECT_EQ(Found((home_ + "/xdg").c_str()), withXdg);
  // A relative XDG_CONFIG_HOME means nothing, as none does.
  std::vector<std::string> withoutXdg = classic;
  withoutXdg.insert(withoutXdg.end(), others.begin(), others.end());
  EXPECT_EQ(Found("xdg"), withoutXdg);
  EXPECT_EQ(Found(nullptr), withoutXdg);

  // ~/.pki/nssdb is Chromium's first place, and the one named when there is none yet.
  fs::remove_all(home_ + "/.local");
  EXPECT_EQ(Found(nullptr).front(), "Chromium ~/.pki/nssdb missing");
}

std::string Utf8(std::u16string_view text) {
  std::string bytes(text.size() * 3 + 1, '\0');
  bytes.resize(WideToSingleByte(text, bytes));
  return bytes;
}

std::vector<std::u16string> boxes;
int AnswerYes(std::u16string_view text, std::u16string_view, uint32_t style) {
  boxes.emplace_back(text);
  return (style & kMbButtonsMask) == kMbYesNo ? kIdYes : kIdOk;
}

// The tray item, turned on the first time and asked to register: its last box names each
// database that got the authority and each that was skipped, with why.
TEST_F(BrowserDatabasesTest, TheTrayTellsWhichBrowsersGotTheAuthority) {
  if (!TlsAvailable()) GTEST_SKIP() << "built without TLS (CORVANE_TLS off)";
  std::string certutil = FindProgram("certutil");
  if (certutil.empty()) GTEST_SKIP() << "certutil is missing (Debian package libnss3-tools)";
  std::string esr = home_ + "/.config/mozilla/firefox";
  Write(".config/mozilla/firefox/profiles.ini",
        "[Profile0]\nIsRelative=1\nPath=used.default-esr\n\n"
        "[Profile1]\nIsRelative=1\nPath=new.default-esr\n");
  Folder(".config/mozilla/firefox/used.default-esr");
  Folder(".config/mozilla/firefox/new.default-esr");
  ASSERT_EQ(
      RunProgram({certutil, "-N", "-d", "sql:" + esr + "/used.default-esr", "--empty-password"}),
      0);
  setenv("HOME", home_.c_str(), 1);
  setenv("XDG_CONFIG_HOME", (home_ + "/.config").c_str(), 1);
  ReplaceSettings(ProxySettings{});
  StopUsingAuthority();
  SetMessageBoxHandler(AnswerYes);

  ToggleInspection();
  SetMessageBoxHandler(nullptr);
  EXPECT_TRUE(InspectionReady());
  ReplaceSettings(ProxySettings{});
  StopUsingAuthority();
  ASSERT_EQ(boxes.size(), 2u);  // the offer, then how it ended
  const std::u16string& told = boxes.back();
  for (const char16_t* expected :
       {u"登録した先:\n・Chromium: ~/.pki/nssdb\n・Firefox: "
        u"~/.config/mozilla/firefox/used.default-esr",
        u"登録しなかった先 (cert9.db がありません):\n・Firefox: "
        u"~/.config/mozilla/firefox/new.default-esr\nこのプロファイルで Firefox"})
    EXPECT_NE(told.find(expected), std::u16string::npos) << Utf8(told);
}

}  // namespace

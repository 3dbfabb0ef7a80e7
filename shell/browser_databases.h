// Where the user's browsers keep their NSS certificate databases: Chromium's one and each
// Firefox profile's, wherever the Firefox at hand (a Debian package, ESR, snap or flatpak) keeps
// its profiles.
#pragma once

#include <filesystem>
#include <string>
#include <vector>

inline constexpr char kChromium[] = "Chromium";
inline constexpr char kFirefox[] = "Firefox";

enum class DatabaseState {
  kPresent,   // its cert9.db is there
  kMissing,   // no cert9.db yet: for Firefox, the profile has never been used
  kNoFolder,  // a profiles.ini names the profile, but its folder does not exist
};

struct BrowserDatabase {
  std::string browser;  // kChromium or kFirefox
  std::filesystem::path folder;
  DatabaseState state;
};

// Chromium's database first: ~/.pki/nssdb, or ~/.local/share/pki/nssdb when only that one is a
// database (kMissing when neither is). Then, in each place Firefox keeps profiles
// (~/.mozilla/firefox, ~/.config/mozilla/firefox, xdgConfigHome/mozilla/firefox when it is an
// absolute path, the snap's and the flatpak's), every profile its profiles.ini names and every
// folder there that holds a cert9.db. A folder reached twice is listed once.
std::vector<BrowserDatabase> FindBrowserDatabases(const std::string& home,
                                                  const char* xdgConfigHome);

// Firefox's profiles on Windows: every folder that appData/Mozilla/Firefox/profiles.ini names and
// that exists. Firefox there reads the system's Root store when a profile asks it to.
std::vector<std::filesystem::path> FindWindowsFirefoxProfiles(const std::filesystem::path& appData);

#include "shell/browser_databases.h"

#include <algorithm>
#include <fstream>
#include <set>
#include <string_view>

namespace {

namespace fs = std::filesystem;

bool HoldsDatabase(const fs::path& folder) {
  std::error_code ignored;
  return fs::exists(folder / "cert9.db", ignored);
}

std::string_view Trimmed(std::string_view text) {
  constexpr std::string_view kBlank = " \t\r";
  size_t first = text.find_first_not_of(kBlank);
  if (first == std::string_view::npos) return {};
  return text.substr(first, text.find_last_not_of(kBlank) - first + 1);
}

// The profile folders of the [Profile*] sections of a profiles.ini: Path= relative to the ini's
// folder with IsRelative=1, else as it stands.
std::vector<fs::path> ProfilesNamedIn(const fs::path& ini) {
  std::vector<fs::path> folders;
  std::ifstream in(ini);
  bool inProfile = false;
  bool relative = false;
  std::string path;
  auto endSection = [&] {
    if (inProfile && !path.empty()) {
      fs::path named(path);
      folders.push_back(relative || named.is_relative() ? ini.parent_path() / named.relative_path()
                                                        : named);
    }
    path.clear();
    relative = false;
  };
  for (std::string text; std::getline(in, text);) {
    std::string_view line = Trimmed(text);
    if (line.starts_with('[')) {
      endSection();
      inProfile = line.starts_with("[Profile");
      continue;
    }
    size_t equals = line.find('=');
    if (!inProfile || equals == std::string_view::npos) continue;
    std::string_view key = Trimmed(line.substr(0, equals));
    std::string_view value = Trimmed(line.substr(equals + 1));
    if (key == "Path") path = value;
    if (key == "IsRelative") relative = value == "1";
  }
  endSection();
  return folders;
}

// The profiles of one place where Firefox keeps them.
void AddFirefoxProfiles(const fs::path& place, std::vector<BrowserDatabase>* found) {
  std::error_code error;
  for (const fs::path& folder : ProfilesNamedIn(place / "profiles.ini")) {
    DatabaseState state = HoldsDatabase(folder)             ? DatabaseState::kPresent
                          : fs::is_directory(folder, error) ? DatabaseState::kMissing
                                                            : DatabaseState::kNoFolder;
    found->push_back({kFirefox, folder, state});
  }
  // Profiles no profiles.ini names: an older Firefox's, or one whose ini is gone.
  std::vector<fs::path> unnamed;
  for (const fs::directory_entry& entry : fs::directory_iterator(place, error)) {
    if (entry.is_directory(error) && HoldsDatabase(entry.path())) unnamed.push_back(entry.path());
  }
  std::sort(unnamed.begin(), unnamed.end());
  for (const fs::path& folder : unnamed)
    found->push_back({kFirefox, folder, DatabaseState::kPresent});
}

}  // namespace

std::vector<BrowserDatabase> FindBrowserDatabases(const std::string& home,
                                                  const char* xdgConfigHome) {
  fs::path chromium = fs::path(home) / ".pki/nssdb";
  fs::path shared = fs::path(home) / ".local/share/pki/nssdb";
  if (!HoldsDatabase(chromium) && HoldsDatabase(shared)) chromium = shared;
  std::vector<BrowserDatabase> found = {
      {kChromium, chromium,
       HoldsDatabase(chromium) ? DatabaseState::kPresent : DatabaseState::kMissing}};

  std::vector<fs::path> places = {fs::path(home) / ".mozilla/firefox",
                                  fs::path(home) / ".config/mozilla/firefox"};
  if (xdgConfigHome != nullptr && xdgConfigHome[0] == '/')
    places.push_back(fs::path(xdgConfigHome) / "mozilla/firefox");
  places.push_back(fs::path(home) / "snap/firefox/common/.mozilla/firefox");
  places.push_back(fs::path(home) / ".var/app/org.mozilla.firefox/.mozilla/firefox");
  for (const fs::path& place : places)
    AddFirefoxProfiles(place, &found);

  // The same folder may be named by two ini files, or named and found by its cert9.db.
  std::set<fs::path> seen;
  std::erase_if(found, [&seen](const BrowserDatabase& database) {
    std::error_code error;
    fs::path real = fs::weakly_canonical(database.folder, error);
    return !seen.insert(error ? database.folder.lexically_normal() : real).second;
  });
  return found;
}

std::vector<fs::path> FindWindowsFirefoxProfiles(const fs::path& appData) {
  std::vector<fs::path> profiles =
      ProfilesNamedIn(appData / "Mozilla" / "Firefox" / "profiles.ini");
  std::erase_if(profiles, [](const fs::path& folder) {
    std::error_code error;
    return !fs::is_directory(folder, error);
  });
  return profiles;
}

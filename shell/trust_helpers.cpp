#include "shell/trust_helpers.h"

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <string_view>
#include <vector>

#include "core/local_authority.h"
#include "platform/private_files.h"
#include "platform/program.h"
#include "platform/trust_store.h"
#include "shell/browser_databases.h"

namespace {

namespace fs = std::filesystem;

constexpr int kExitOk = 0;
constexpr int kExitFailed = 1;
// certutil's trust flags: a certificate authority trusted to name TLS servers.
constexpr char kServerAuthorityTrust[] = "C,,";
// An authority registered twice by mistake is taken out as many times, up to this.
constexpr int kMaxRemovals = 8;

std::string Home() {
  const char* home = std::getenv("HOME");
  return home != nullptr ? home : "";
}

std::vector<BrowserDatabase> Databases(const std::string& home) {
  return FindBrowserDatabases(home, std::getenv("XDG_CONFIG_HOME"));
}

// The certutil program, or a line saying which package brings it.
bool FindCertutil(std::string* certutil, std::FILE* out) {
  *certutil = FindProgram("certutil");
  if (!certutil->empty()) return true;
  std::fprintf(out,
               "certutil is missing: install the Debian package libnss3-tools "
               "(apt install libnss3-tools), then run this again.\n");
  return false;
}

int RemoveFrom(const std::string& certutil, const fs::path& database, const std::string& name) {
  int removed = 0;
  while (removed < kMaxRemovals &&
         RunProgram({certutil, "-D", "-d", "sql:" + database.string(), "-n", name}) == 0)
    ++removed;
  return removed;
}

// Adds the authority to one database, or says why it is left alone.
DatabaseTrust Trust(const std::string& certutil, const BrowserDatabase& database,
                    const std::string& certificate) {
  std::string folder = database.folder.string();
  if (database.state == DatabaseState::kNoFolder) return DatabaseTrust::kNoFolder;
  if (database.state == DatabaseState::kMissing) {
    if (database.browser != kChromium) return DatabaseTrust::kNotUsedYet;
    // Chromium makes its database only when it first needs one: made here, it finds ours.
    std::error_code ignored;
    fs::create_directories(database.folder, ignored);
    fs::permissions(database.folder, fs::perms::owner_all, ignored);
    RunProgram({certutil, "-N", "-d", "sql:" + folder, "--empty-password"});
  }
  const std::string name = LocalAuthorityName();
  RemoveFrom(certutil, database.folder, name);  // an older registration of the same name goes
  return RunProgram({certutil, "-A", "-d", "sql:" + folder, "-n", name, "-t", kServerAuthorityTrust,
                     "-i", certificate}) == 0
             ? DatabaseTrust::kTrusted
             : DatabaseTrust::kFailed;
}

void PrintTrust(std::FILE* out, const TrustedDatabase& done, const std::string& certificate) {
  const char* folder = done.folder.c_str();
  const char* browser = done.browser.c_str();
  switch (done.result) {
    case DatabaseTrust::kTrusted:
      std::fprintf(out, "Trusted %s in %s (%s)\n", certificate.c_str(), folder, browser);
      return;
    case DatabaseTrust::kFailed:
      std::fprintf(out, "Could not trust %s in %s (%s): certutil failed\n", certificate.c_str(),
                   folder, browser);
      return;
    case DatabaseTrust::kNotUsedYet:
      std::fprintf(out,
                   "Skipped %s (%s): no cert9.db yet; start %s once with this profile, then run "
                   "corvane --trust-ca again\n",
                   folder, browser, browser);
      return;
    case DatabaseTrust::kNoFolder:
      std::fprintf(out, "Skipped %s (%s): its profiles.ini names it, but the folder is missing\n",
                   folder, browser);
      return;
  }
}

// The Root store's name as --trust-ca prints it.
constexpr char kRootStore[] = "the current user's Root store";
// Firefox reads the system's Root store only when its profile says so.
constexpr char kEnterpriseRootsPref[] = "user_pref(\"security.enterprise_roots.enabled\", true);";

fs::path Utf8Path(const std::string& text) {
  return fs::path(std::u8string(text.begin(), text.end()));
}

std::string Utf8(const fs::path& path) {
  std::u8string text = path.u8string();
  return std::string(text.begin(), text.end());
}

// Sets the profile to read the Root store: our line at the end of its user.js, unless the last
// line there that names the preference is ours already. Firefox takes the last line that names a
// preference, so a line of the user's that says otherwise yields.
bool ReadRootStoreIn(const fs::path& profile) {
  constexpr std::string_view kName = "security.enterprise_roots.enabled";
  fs::path prefs = profile / "user.js";
  std::string text;
  ReadSmallFile(Utf8(prefs), &text);  // none yet: it is made
  size_t ours = text.rfind(kEnterpriseRootsPref);
  if (ours != std::string::npos &&
      text.rfind(kName) == ours + std::string_view(kEnterpriseRootsPref).find(kName))
    return true;
  std::ofstream file(prefs, std::ios::app | std::ios::binary);
  file << (text.empty() || text.ends_with('\n') ? "" : "\n") << kEnterpriseRootsPref << "\n";
  return static_cast<bool>(file.flush());
}

// Windows: the authority into the user's Root store (Windows asks the user), which Edge, Chrome
// and the programs of Windows read, then each Firefox profile set to read it as well.
TrustOutcome RegisterInRootStore(const std::string& certificate, std::FILE* out,
                                 std::vector<TrustedDatabase>* done) {
  std::string pem;
  if (!ReadSmallFile(certificate, &pem)) return TrustOutcome::kUnusable;
  RootStoreChange added = AddUserRoot(pem, LocalAuthorityName());
  TrustedDatabase store{
      "Windows", kRootStore,
      added == RootStoreChange::kDone ? DatabaseTrust::kTrusted : DatabaseTrust::kFailed};
  if (done != nullptr) done->push_back(store);
  if (added == RootStoreChange::kDeclined) {
    std::fprintf(out, "Not trusted: the question of Windows was answered with no.\n");
    return TrustOutcome::kDeclined;
  }
  if (added != RootStoreChange::kDone) {
    std::fprintf(out, "Could not trust %s in %s\n", certificate.c_str(), kRootStore);
    return TrustOutcome::kNotAll;
  }
  std::fprintf(out, "Trusted %s in %s (Edge, Chrome and other programs of Windows)\n",
               certificate.c_str(), kRootStore);
  TrustOutcome outcome = TrustOutcome::kTrusted;
  for (const fs::path& profile : FindWindowsFirefoxProfiles(Utf8Path(ConfigFolder()))) {
    TrustedDatabase entry{
        kFirefox, Utf8(profile),
        ReadRootStoreIn(profile) ? DatabaseTrust::kTrusted : DatabaseTrust::kFailed};
    std::fprintf(out,
                 entry.result == DatabaseTrust::kTrusted
                     ? "Set %s (Firefox) to read the Root store: "
                       "security.enterprise_roots.enabled in its user.js\n"
                     : "Could not set %s (Firefox) to read the Root store: its user.js cannot be "
                       "written\n",
                 entry.folder.c_str());
    if (entry.result == DatabaseTrust::kFailed) outcome = TrustOutcome::kNotAll;
    if (done != nullptr) done->push_back(entry);
  }
  if (outcome == TrustOutcome::kTrusted)
    std::fprintf(out, "Restart the browsers so that they read their certificates again.\n");
  return outcome;
}

int UntrustInRootStore(std::FILE* out) {
  const std::string name = LocalAuthorityName();
  int removed = 0;
  RootStoreChange change = RemoveUserRoots(name, &removed);
  if (removed > 0) std::fprintf(out, "Removed \"%s\" from %s\n", name.c_str(), kRootStore);
  if (change == RootStoreChange::kDone && removed == 0)
    std::fprintf(out, "%s did not hold \"%s\".\n", kRootStore, name.c_str());
  if (change != RootStoreChange::kDone)
    std::fprintf(
        out, "Could not remove \"%s\" from %s%s.\n", name.c_str(), kRootStore,
        change == RootStoreChange::kDeclined ? ": the question of Windows was answered no" : "");
  return change == RootStoreChange::kDone ? kExitOk : kExitFailed;
}

}  // namespace

TrustOutcome RegisterLocalAuthority(std::FILE* out, std::vector<TrustedDatabase>* done) {
  std::string file;
  AuthorityStart started = StartLocalAuthority(&file);
  if (started != AuthorityStart::kReady) {
    std::fprintf(out, "The authority cannot be used: %s.\n",
                 AuthorityRefusal(started, file).c_str());
    return TrustOutcome::kUnusable;
  }
  std::string certutil;
  std::string certificate;
  if (!LocalAuthorityCertificatePath(&certificate)) return TrustOutcome::kUnusable;
  if (HasUserRootStore()) return RegisterInRootStore(certificate, out, done);
  if (!FindCertutil(&certutil, out)) return TrustOutcome::kNoCertutil;
  std::string home = Home();
  if (home.empty()) return TrustOutcome::kNotAll;
  TrustOutcome outcome = TrustOutcome::kTrusted;
  for (const BrowserDatabase& database : Databases(home)) {
    TrustedDatabase entry{database.browser, database.folder.string(),
                          Trust(certutil, database, certificate)};
    PrintTrust(out, entry, certificate);
    if (entry.result == DatabaseTrust::kFailed) outcome = TrustOutcome::kNotAll;
    if (done != nullptr) done->push_back(entry);
  }
  if (outcome == TrustOutcome::kTrusted)
    std::fprintf(out, "Restart the browsers so that they read their certificates again.\n");
  return outcome;
}

int TrustLocalAuthority(Instance /*instance*/, const char* /*value*/, std::FILE* out,
                        std::FILE* /*err*/) {
  return RegisterLocalAuthority(out) == TrustOutcome::kTrusted ? kExitOk : kExitFailed;
}

int UntrustLocalAuthority(Instance /*instance*/, const char* /*value*/, std::FILE* out,
                          std::FILE* /*err*/) {
  if (HasUserRootStore()) return UntrustInRootStore(out);
  std::string certutil;
  if (!FindCertutil(&certutil, out)) return kExitFailed;
  std::string home = Home();
  if (home.empty()) return kExitFailed;
  const std::string name = LocalAuthorityName();
  int removedAll = 0;
  for (const BrowserDatabase& database : Databases(home)) {
    if (database.state != DatabaseState::kPresent) continue;
    int removed = RemoveFrom(certutil, database.folder, name);
    if (removed > 0)
      std::fprintf(out, "Removed \"%s\" from %s (%s)\n", name.c_str(),
                   database.folder.string().c_str(), database.browser.c_str());
    removedAll += removed;
  }
  if (removedAll == 0) std::fprintf(out, "No browser database held \"%s\".\n", name.c_str());
  return kExitOk;
}

int PrintLocalAuthorityPath(Instance /*instance*/, const char* /*value*/, std::FILE* out,
                            std::FILE* err) {
  std::string path;
  if (!LocalAuthorityCertificatePath(&path)) {
    std::fprintf(err,
                 "corvane: no folder for the CA: neither XDG_CONFIG_HOME nor HOME is an "
                 "absolute path\n");
    return kExitFailed;
  }
  std::fprintf(out, "%s\n", path.c_str());
  if (FileExists(path)) return kExitOk;
  std::string key = path.substr(0, path.rfind('/') + 1) + kAuthorityKeyName;
  if (FileExists(key)) {
    std::fprintf(err, "corvane: %s\n",
                 AuthorityRefusal(AuthorityStart::kHalfMissing, path).c_str());
  } else {
    std::fprintf(err,
                 "corvane: there is no CA yet; it is made the first time HTTPS inspection is "
                 "turned on (or by corvane --trust-ca)\n");
  }
  return kExitFailed;
}

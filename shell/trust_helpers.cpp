#include "shell/trust_helpers.h"

#include <cstdlib>
#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

#include "core/local_authority.h"
#include "platform/private_files.h"
#include "platform/program.h"
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
  if (!FindCertutil(&certutil, out)) return TrustOutcome::kNoCertutil;
  if (!LocalAuthorityCertificatePath(&certificate)) return TrustOutcome::kUnusable;
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

#include "shell/trust_helpers.h"

#include <cstdlib>
#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

#include "core/local_authority.h"
#include "platform/program.h"

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

bool IsDatabase(const fs::path& folder) {
  std::error_code ignored;
  return fs::exists(folder / "cert9.db", ignored);
}

// Chromium's database (may not exist yet) and every Firefox profile's that does.
std::vector<fs::path> Databases(const std::string& home, fs::path* chromium) {
  *chromium = fs::path(home) / ".pki/nssdb";
  fs::path shared = fs::path(home) / ".local/share/pki/nssdb";
  if (!IsDatabase(*chromium) && IsDatabase(shared)) *chromium = shared;
  std::vector<fs::path> found = {*chromium};
  for (const char* profiles : {".mozilla/firefox", "snap/firefox/common/.mozilla/firefox"}) {
    std::error_code error;
    for (const fs::directory_entry& entry :
         fs::directory_iterator(fs::path(home) / profiles, error)) {
      if (entry.is_directory(error) && IsDatabase(entry.path())) found.push_back(entry.path());
    }
  }
  return found;
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

}  // namespace

TrustOutcome RegisterLocalAuthority(std::FILE* out) {
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
  fs::path chromium;
  std::vector<fs::path> databases = Databases(home, &chromium);
  if (!IsDatabase(chromium)) {
    std::error_code ignored;
    fs::create_directories(chromium, ignored);
    fs::permissions(chromium, fs::perms::owner_all, ignored);
    RunProgram({certutil, "-N", "-d", "sql:" + chromium.string(), "--empty-password"});
  }
  const std::string name = LocalAuthorityName();
  TrustOutcome outcome = TrustOutcome::kTrusted;
  for (const fs::path& database : databases) {
    RemoveFrom(certutil, database, name);  // an older registration of the same name goes
    bool added = RunProgram({certutil, "-A", "-d", "sql:" + database.string(), "-n", name, "-t",
                             kServerAuthorityTrust, "-i", certificate}) == 0;
    std::fprintf(out, "%s %s in %s\n", added ? "Trusted" : "Could not trust", certificate.c_str(),
                 database.string().c_str());
    if (!added) outcome = TrustOutcome::kNotAll;
  }
  if (outcome == TrustOutcome::kTrusted)
    std::fprintf(out, "Restart the browsers so that they read their certificates again.\n");
  return outcome;
}

int TrustLocalAuthority(Instance /*instance*/, const char* /*value*/, std::FILE* out) {
  return RegisterLocalAuthority(out) == TrustOutcome::kTrusted ? kExitOk : kExitFailed;
}

int UntrustLocalAuthority(Instance /*instance*/, const char* /*value*/, std::FILE* out) {
  std::string certutil;
  if (!FindCertutil(&certutil, out)) return kExitFailed;
  std::string home = Home();
  if (home.empty()) return kExitFailed;
  fs::path chromium;
  const std::string name = LocalAuthorityName();
  int removedAll = 0;
  for (const fs::path& database : Databases(home, &chromium)) {
    if (!IsDatabase(database)) continue;
    int removed = RemoveFrom(certutil, database, name);
    if (removed > 0)
      std::fprintf(out, "Removed \"%s\" from %s\n", name.c_str(), database.string().c_str());
    removedAll += removed;
  }
  if (removedAll == 0) std::fprintf(out, "No browser database held \"%s\".\n", name.c_str());
  return kExitOk;
}

int PrintLocalAuthorityPath(Instance /*instance*/, const char* /*value*/, std::FILE* out) {
  std::string path;
  if (!LocalAuthorityCertificatePath(&path)) return kExitFailed;
  std::fprintf(out, "%s\n", path.c_str());
  return kExitOk;
}

// corvane --trust-ca, --untrust-ca and --ca-path: the local authority of HTTPS inspection and
// the user's browsers. Each action prints what it did to out and returns the exit status.
#pragma once

#include <cstdio>
#include <string>
#include <vector>

#include "platform/window_types.h"

enum class TrustOutcome {
  kTrusted,     // every database there holds it now (profiles not yet used are skipped)
  kNotAll,      // certutil failed on some, or the Root store took it but a Firefox profile not
  kNoCertutil,  // certutil is not installed
  kUnusable,    // the authority cannot be made or used
  kDeclined,    // the user said no to the system's own question (Windows)
};

enum class DatabaseTrust {
  kTrusted,
  kFailed,      // certutil failed
  kNotUsedYet,  // a Firefox profile without cert9.db: Firefox has not been started with it
  kNoFolder,    // a profiles.ini names the profile, but its folder does not exist
};

// What registering did with one browser's database.
struct TrustedDatabase {
  std::string browser;  // "Chromium", "Firefox" or "Windows"
  std::string folder;
  DatabaseTrust result;
};

// Registers the authority (made first when the user has none) with the user's NSS databases
// (shell/browser_databases.h; Chromium's is made when it does not exist) through certutil, or
// where the system has a Root store of the user's (Windows) there, which Edge and Chrome read,
// and sets each Firefox profile to read that store too. Says on out what it did with each
// database, and which it skipped and why; the same goes to done when it is given.
TrustOutcome RegisterLocalAuthority(std::FILE* out, std::vector<TrustedDatabase>* done = nullptr);

// The same as a command-line action: its exit status.
int TrustLocalAuthority(Instance instance, const char* value, std::FILE* out, std::FILE* err);

// Takes the authority out of those databases (or the Root store) again.
int UntrustLocalAuthority(Instance instance, const char* value, std::FILE* out, std::FILE* err);

// Prints the path of the authority's certificate. When there is none yet, says on err when it
// will be made, and ends with status 1 all the same: a script gets no file from it.
int PrintLocalAuthorityPath(Instance instance, const char* value, std::FILE* out, std::FILE* err);

// The user's own certificate authority for HTTPS inspection: made once per user, the first time
// inspection is on, and kept beside the settings ($XDG_CONFIG_HOME/Lumet/Corvane-ca.crt, 0644,
// and Corvane-ca.key, 0600; on Windows in %APPDATA%\Lumet, the key for the user alone). Its key
// never leaves that file.
#pragma once

#include <string>

inline constexpr char kAuthorityMaker[] = "Lumet";
inline constexpr char kAuthorityCertificateName[] = "Corvane-ca.crt";
inline constexpr char kAuthorityKeyName[] = "Corvane-ca.key";

enum class AuthorityStart {
  kReady,        // in use for inspection
  kUnsafeKey,    // the key file can be read by others or is not the user's own: refused
  kHalfMissing,  // one of the two files is missing while the other is there
  kUnreadable,   // the file cannot be read
  kDamaged,      // the file holds no certificate or key that can be used
  kMismatched,   // the key is not the certificate's
  kFailed,       // the files cannot be made, or TLS cannot be set up with them
  kUnavailable,  // this build has no TLS
};

// Loads the authority, making it first when the user has neither of its files yet. An authority
// already made is never replaced: when its files are not both there and usable, nothing is
// written. *file names the file at fault when it is not kReady (for kHalfMissing the missing one,
// for kMismatched the key).
AuthorityStart StartLocalAuthority(std::string* file);

// Why the authority cannot be used, in English, on one line: the file at fault and, when the
// files already made are at fault, how to start over with a new authority.
std::string AuthorityRefusal(AuthorityStart why, const std::string& file);

// Starts the authority when needed; when it cannot start, shows why in a box (standard error
// without a display). True when inspection can run.
bool EnableInspection();

// The certificate's path, whether or not the file exists yet. False when there is no folder.
bool LocalAuthorityCertificatePath(std::string* path);

// The authority's name, "Corvane Local CA (user@host)": its certificate's common name, and its
// nickname in the browsers' certificate databases.
std::string LocalAuthorityName();

// True while inspection runs: the setting is on and the authority in use.
bool InspectionReady();

// corvane --trust-ca, --untrust-ca and --ca-path: the local authority of HTTPS inspection and
// the user's browsers. Each action prints what it did to out and returns the exit status.
#pragma once

#include <cstdio>

#include "platform/window_types.h"

enum class TrustOutcome {
  kTrusted,     // every database holds it now
  kNotAll,      // certutil failed on some
  kNoCertutil,  // certutil is not installed
  kUnusable,    // the authority cannot be made or used
};

// Registers the authority (made first when the user has none) with the user's NSS databases:
// Chromium's (~/.pki/nssdb, or ~/.local/share/pki/nssdb; the first made when neither exists)
// and every Firefox profile's, through certutil. Says what it did on out.
TrustOutcome RegisterLocalAuthority(std::FILE* out);

// The same as a command-line action: its exit status.
int TrustLocalAuthority(Instance instance, const char* value, std::FILE* out);

// Takes the authority out of those databases again.
int UntrustLocalAuthority(Instance instance, const char* value, std::FILE* out);

// Prints the path of the authority's certificate.
int PrintLocalAuthorityPath(Instance instance, const char* value, std::FILE* out);

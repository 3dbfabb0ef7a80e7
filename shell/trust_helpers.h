// corvane --trust-ca, --untrust-ca and --ca-path: the local authority of HTTPS inspection and
// the user's browsers. Each action prints what it did to out and returns the exit status.
#pragma once

#include <cstdio>

#include "platform/window_types.h"

// Registers the authority (made first when the user has none) with the user's NSS databases:
// Chromium's (~/.pki/nssdb, or ~/.local/share/pki/nssdb; the first made when neither exists)
// and every Firefox profile's, through certutil.
int TrustLocalAuthority(Instance instance, const char* value, std::FILE* out);

// Takes the authority out of those databases again.
int UntrustLocalAuthority(Instance instance, const char* value, std::FILE* out);

// Prints the path of the authority's certificate.
int PrintLocalAuthorityPath(Instance instance, const char* value, std::FILE* out);

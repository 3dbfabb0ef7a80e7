// The system's store of trusted certificate authorities: what the origins' certificates are
// verified against, and where a user's own authority is registered for the browsers.
#pragma once

#include <string>
#include <string_view>
#include <vector>

// The authorities the system trusts to name TLS servers, each DER-encoded, for a TLS library that
// cannot find them by itself: on Windows those of the Root store as the user sees it (the
// machine's and the user's own). False where the library's own default paths are the system's
// store (Linux): the library reads them there.
bool SystemRootCertificates(std::vector<std::string>* der);

// True where the user has a store of trusted authorities of the system's that browsers read (the
// user's Root store on Windows); where there is none (Linux) each browser's database is told.
bool HasUserRootStore();

enum class RootStoreChange {
  kDone,
  kDeclined,  // the user answered the system's own confirmation with no
  kFailed,
};

// Puts the authority (a PEM certificate) into the user's Root store, in place of any other
// certificate there with the same common name. The system may ask the user first.
RootStoreChange AddUserRoot(std::string_view certificatePem, std::string_view commonName);

// Takes every certificate whose common name is commonName out of the user's Root store; *removed
// gets their count.
RootStoreChange RemoveUserRoots(std::string_view commonName, int* removed);

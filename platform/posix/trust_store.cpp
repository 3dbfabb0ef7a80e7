// Linux has no store of the user's that every browser reads: OpenSSL finds the system's
// authorities through its own default paths, and the shell tells each browser's database.
#include "platform/trust_store.h"

bool SystemRootCertificates(std::vector<std::string>*) {
  return false;
}

bool HasUserRootStore() {
  return false;
}

RootStoreChange AddUserRoot(std::string_view, std::string_view) {
  return RootStoreChange::kFailed;
}

RootStoreChange RemoveUserRoots(std::string_view, int* removed) {
  *removed = 0;
  return RootStoreChange::kFailed;
}

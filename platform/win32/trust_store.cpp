// The Root store through CryptoAPI: read whole (the machine's authorities and the user's) for
// verifying origins, and the current user's own part changed for the local authority.
#include "platform/trust_store.h"

#include <windows.h>

#include <wincrypt.h>  // needs windows.h first

#include <algorithm>
#include <memory>

#include "platform/text_convert.h"

namespace {

// More certificates of one name than anyone makes: past it, deleting is not taking them out.
constexpr int kMostDeletions = 256;

struct CloseStore {
  void operator()(void* store) const { CertCloseStore(static_cast<HCERTSTORE>(store), 0); }
};
using StorePtr = std::unique_ptr<void, CloseStore>;

// The user's own part of the Root store, in the registry: the system store of that name is a
// collection that also holds the machine's, and a certificate deleted through it can stay.
StorePtr OpenUserRoots() {
  return StorePtr(CertOpenStore(CERT_STORE_PROV_SYSTEM_REGISTRY_W, 0, 0,
                                CERT_SYSTEM_STORE_CURRENT_USER | CERT_STORE_OPEN_EXISTING_FLAG,
                                L"Root"));
}

bool NamedAs(PCCERT_CONTEXT cert, std::string_view commonName) {
  wchar_t name[256] = {};
  CertGetNameStringW(cert, CERT_NAME_ATTR_TYPE, 0, const_cast<char*>(szOID_COMMON_NAME), name, 256);
  std::u16string wanted = SingleByteToWide(commonName);
  return wanted == reinterpret_cast<const char16_t*>(name);
}

bool SameEncoding(PCCERT_CONTEXT a, PCCERT_CONTEXT b) {
  return a->cbCertEncoded == b->cbCertEncoded &&
         std::equal(a->pbCertEncoded, a->pbCertEncoded + a->cbCertEncoded, b->pbCertEncoded);
}

// Deletes the certificates named commonName, all but keep when it is given. Each search starts
// again from the store's beginning: a walk cannot go on from a certificate just deleted.
RootStoreChange RemoveNamed(HCERTSTORE store, std::string_view commonName, PCCERT_CONTEXT keep,
                            int* removed) {
  *removed = 0;
  for (int round = 0; round < kMostDeletions; ++round) {
    PCCERT_CONTEXT cert = nullptr;
    while ((cert = CertEnumCertificatesInStore(store, cert)) != nullptr) {
      if (NamedAs(cert, commonName) && (keep == nullptr || !SameEncoding(cert, keep))) break;
    }
    if (cert == nullptr) return RootStoreChange::kDone;
    // Deleting frees the context, whatever the outcome.
    if (!CertDeleteCertificateFromStore(cert))
      return GetLastError() == ERROR_CANCELLED ? RootStoreChange::kDeclined
                                               : RootStoreChange::kFailed;
    ++*removed;
  }
  return RootStoreChange::kFailed;  // the store keeps giving them back
}

}  // namespace

bool SystemRootCertificates(std::vector<std::string>* der) {
  der->clear();
  HCERTSTORE store = CertOpenSystemStoreW(0, L"ROOT");
  if (store == nullptr) return true;  // trusts nothing rather than something else
  PCCERT_CONTEXT cert = nullptr;
  while ((cert = CertEnumCertificatesInStore(store, cert)) != nullptr)
    der->emplace_back(reinterpret_cast<const char*>(cert->pbCertEncoded), cert->cbCertEncoded);
  CertCloseStore(store, 0);
  return true;
}

bool HasUserRootStore() {
  return true;
}

RootStoreChange AddUserRoot(std::string_view certificatePem, std::string_view commonName) {
  DWORD size = 0;
  auto text = certificatePem.data();
  auto length = static_cast<DWORD>(certificatePem.size());
  if (!CryptStringToBinaryA(text, length, CRYPT_STRING_BASE64HEADER, nullptr, &size, nullptr,
                            nullptr))
    return RootStoreChange::kFailed;
  std::string der(size, '\0');
  if (!CryptStringToBinaryA(text, length, CRYPT_STRING_BASE64HEADER,
                            reinterpret_cast<BYTE*>(der.data()), &size, nullptr, nullptr))
    return RootStoreChange::kFailed;
  StorePtr store = OpenUserRoots();
  if (store == nullptr) return RootStoreChange::kFailed;
  PCCERT_CONTEXT added = nullptr;
  // Windows asks the user here, with the certificate's name and thumbprint.
  if (!CertAddEncodedCertificateToStore(static_cast<HCERTSTORE>(store.get()), X509_ASN_ENCODING,
                                        reinterpret_cast<const BYTE*>(der.data()), size,
                                        CERT_STORE_ADD_REPLACE_EXISTING, &added))
    return GetLastError() == ERROR_CANCELLED ? RootStoreChange::kDeclined
                                             : RootStoreChange::kFailed;
  int removed = 0;
  RootStoreChange older =
      RemoveNamed(static_cast<HCERTSTORE>(store.get()), commonName, added, &removed);
  CertFreeCertificateContext(added);
  return older == RootStoreChange::kFailed ? RootStoreChange::kFailed : RootStoreChange::kDone;
}

RootStoreChange RemoveUserRoots(std::string_view commonName, int* removed) {
  *removed = 0;
  StorePtr store = OpenUserRoots();
  if (store == nullptr) return RootStoreChange::kDone;  // no store: nothing is trusted there
  return RemoveNamed(static_cast<HCERTSTORE>(store.get()), commonName, nullptr, removed);
}

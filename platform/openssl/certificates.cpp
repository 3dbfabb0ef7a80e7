// Making the authority's and the hosts' certificates.
#include <openssl/bn.h>
#include <openssl/pem.h>
#include <openssl/rand.h>
#include <openssl/x509v3.h>

#include <cstring>
#include <string_view>

#include "platform/openssl/openssl_parts.h"
#include "platform/tls.h"

namespace {

constexpr long kDaySeconds = 24L * 60 * 60;
// Both start a day early, so a clock a little behind still accepts them.
constexpr long kBackdateSeconds = kDaySeconds;
constexpr int kAuthorityDays = 10 * 365 + 2;  // ten years, leap days included
// Browsers refuse server certificates valid longer than this, counted from the start.
constexpr int kHostDays = 180;
// Longest text a certificate's common name may hold.
constexpr size_t kCommonNameMax = 64;

struct FreeBio {
  void operator()(BIO* b) const { BIO_free(b); }
};
using BioPtr = std::unique_ptr<BIO, FreeBio>;

// A random positive 128-bit serial number.
bool SetRandomSerial(X509* cert) {
  unsigned char bytes[16];
  if (RAND_bytes(bytes, sizeof bytes) != 1) return false;
  bytes[0] &= 0x7F;
  bytes[0] |= 0x40;  // keeps all 128 bits significant
  BIGNUM* number = BN_bin2bn(bytes, sizeof bytes, nullptr);
  bool done = number != nullptr && BN_to_ASN1_INTEGER(number, X509_get_serialNumber(cert));
  BN_free(number);
  return done;
}

bool SetValidity(X509* cert, int days) {
  time_t now = time(nullptr);
  return X509_time_adj_ex(X509_getm_notBefore(cert), 0, -kBackdateSeconds, &now) != nullptr &&
         X509_time_adj_ex(X509_getm_notAfter(cert), days, -kBackdateSeconds, &now) != nullptr;
}

bool AddNameEntry(X509_NAME* name, const char* field, std::string_view text) {
  return X509_NAME_add_entry_by_txt(name, field, MBSTRING_UTF8,
                                    reinterpret_cast<const unsigned char*>(text.data()),
                                    static_cast<int>(text.size()), -1, 0) == 1;
}

// Adds an extension given in OpenSSL's configuration words (fixed texts only, never a host).
bool AddExtension(X509* cert, X509* issuer, int nid, const char* value) {
  X509V3_CTX context;
  X509V3_set_ctx_nodb(&context);
  X509V3_set_ctx(&context, issuer, cert, nullptr, nullptr, 0);
  X509_EXTENSION* ext = X509V3_EXT_conf_nid(nullptr, &context, nid, value);
  bool done = ext != nullptr && X509_add_ext(cert, ext, -1) == 1;
  X509_EXTENSION_free(ext);
  return done;
}

// Names a certificate may carry: letters, digits, "-", "_" and dots between labels.
bool IsCertificateName(std::string_view host) {
  if (host.empty() || host.size() > kMaxCertificateHost || host.front() == '.') return false;
  for (char c : host) {
    bool fits = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
                c == '-' || c == '_' || c == '.';
    if (!fits) return false;
  }
  return host.find("..") == std::string_view::npos;
}

// subjectAltName with the host alone, built from its parts so no text of the host is ever read
// as configuration. Critical when the subject is empty, as a certificate without a name demands.
bool AddSubjectAltName(X509* cert, const char* host, bool critical) {
  GENERAL_NAME* name = GENERAL_NAME_new();
  if (name == nullptr) return false;
  ASN1_OCTET_STRING* address = a2i_IPADDRESS(host);
  if (address != nullptr) {
    GENERAL_NAME_set0_value(name, GEN_IPADD, address);
  } else {
    ASN1_IA5STRING* dns = ASN1_IA5STRING_new();
    if (dns == nullptr || ASN1_STRING_set(dns, host, static_cast<int>(std::strlen(host))) != 1) {
      ASN1_IA5STRING_free(dns);
      GENERAL_NAME_free(name);
      return false;
    }
    GENERAL_NAME_set0_value(name, GEN_DNS, dns);
  }
  GENERAL_NAMES* names = sk_GENERAL_NAME_new_null();
  bool done = names != nullptr && sk_GENERAL_NAME_push(names, name) > 0;
  if (!done) {
    GENERAL_NAME_free(name);
  } else {
    done = X509_add1_ext_i2d(cert, NID_subject_alt_name, names, critical ? 1 : 0, 0) == 1;
  }
  GENERAL_NAMES_free(names);
  return done;
}

bool ToPem(int (*write)(BIO*, void*), void* object, std::string* pem) {
  BioPtr out(BIO_new(BIO_s_mem()));
  if (out == nullptr || write(out.get(), object) != 1) return false;
  char* data = nullptr;
  long size = BIO_get_mem_data(out.get(), &data);
  pem->assign(data, static_cast<size_t>(size));
  return true;
}

int WriteCertificate(BIO* out, void* cert) {
  return PEM_write_bio_X509(out, static_cast<X509*>(cert));
}

int WriteKey(BIO* out, void* key) {
  return PEM_write_bio_PrivateKey(out, static_cast<EVP_PKEY*>(key), nullptr, nullptr, 0, nullptr,
                                  nullptr);
}

}  // namespace

KeyPtr MakeP256Key() {
  // EVP_EC_gen's own expansion casts the const away in C style, which the warnings refuse; the
  // curve's name is only read.
  static char curve[] = "P-256";
  return KeyPtr(EVP_PKEY_Q_keygen(nullptr, nullptr, "EC", curve));
}

bool MakeAuthorityPem(std::string_view commonName, std::string_view organization,
                      std::string* certificatePem, std::string* keyPem) {
  KeyPtr key = MakeP256Key();
  X509Ptr cert(X509_new());
  if (key == nullptr || cert == nullptr) return false;
  X509_NAME* subject = X509_get_subject_name(cert.get());
  bool made =
      X509_set_version(cert.get(), X509_VERSION_3) == 1 && SetRandomSerial(cert.get()) &&
      SetValidity(cert.get(), kAuthorityDays) && AddNameEntry(subject, "CN", commonName) &&
      AddNameEntry(subject, "O", organization) && X509_set_issuer_name(cert.get(), subject) == 1 &&
      X509_set_pubkey(cert.get(), key.get()) == 1 &&
      AddExtension(cert.get(), cert.get(), NID_basic_constraints, "critical,CA:TRUE,pathlen:0") &&
      AddExtension(cert.get(), cert.get(), NID_key_usage, "critical,keyCertSign,cRLSign") &&
      AddExtension(cert.get(), cert.get(), NID_subject_key_identifier, "hash") &&
      X509_sign(cert.get(), key.get(), EVP_sha256()) > 0;
  return made && ToPem(WriteCertificate, cert.get(), certificatePem) &&
         ToPem(WriteKey, key.get(), keyPem);
}

X509Ptr MakeHostCertificate(const char* host, EVP_PKEY* hostKey, X509* authority,
                            EVP_PKEY* authorityKey, time_t* notAfter) {
  bool isAddress = false;
  if (ASN1_OCTET_STRING* address = a2i_IPADDRESS(host)) {
    ASN1_OCTET_STRING_free(address);
    isAddress = true;
  }
  if (!isAddress && !IsCertificateName(host)) return nullptr;
  X509Ptr cert(X509_new());
  if (cert == nullptr) return nullptr;
  bool named = std::strlen(host) <= kCommonNameMax;
  bool made = X509_set_version(cert.get(), X509_VERSION_3) == 1 && SetRandomSerial(cert.get()) &&
              SetValidity(cert.get(), kHostDays) &&
              (!named || AddNameEntry(X509_get_subject_name(cert.get()), "CN", host)) &&
              X509_set_issuer_name(cert.get(), X509_get_subject_name(authority)) == 1 &&
              X509_set_pubkey(cert.get(), hostKey) == 1 &&
              AddSubjectAltName(cert.get(), host, !named) &&
              AddExtension(cert.get(), authority, NID_basic_constraints, "critical,CA:FALSE") &&
              AddExtension(cert.get(), authority, NID_key_usage, "critical,digitalSignature") &&
              AddExtension(cert.get(), authority, NID_ext_key_usage, "serverAuth") &&
              AddExtension(cert.get(), authority, NID_authority_key_identifier, "keyid:always") &&
              X509_sign(cert.get(), authorityKey, EVP_sha256()) > 0;
  if (!made) return nullptr;
  // The end as seconds since the epoch, from how far ahead of now it lies.
  int days = 0;
  int seconds = 0;
  if (ASN1_TIME_diff(&days, &seconds, nullptr, X509_get0_notAfter(cert.get())) != 1) return nullptr;
  *notAfter = time(nullptr) + time_t{days} * 24 * 60 * 60 + seconds;
  return cert;
}

bool HostCertificatePem(const char* host, std::string* pem) {
  X509Ptr cert = CertificateFor(host);
  return cert != nullptr && ToPem(WriteCertificate, cert.get(), pem);
}

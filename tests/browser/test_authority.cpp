#include "tests/browser/test_authority.h"

#include <openssl/pem.h>
#include <openssl/x509v3.h>

#include <fstream>

struct TestAuthority::Keys {
  EVP_PKEY* key = nullptr;
  X509* cert = nullptr;
};

namespace {

std::string Pem(X509* cert) {
  BIO* out = BIO_new(BIO_s_mem());
  PEM_write_bio_X509(out, cert);
  char* data = nullptr;
  long n = BIO_get_mem_data(out, &data);
  std::string text(data, static_cast<size_t>(n));
  BIO_free(out);
  return text;
}

std::string Pem(EVP_PKEY* key) {
  BIO* out = BIO_new(BIO_s_mem());
  PEM_write_bio_PrivateKey(out, key, nullptr, nullptr, 0, nullptr, nullptr);
  char* data = nullptr;
  long n = BIO_get_mem_data(out, &data);
  std::string text(data, static_cast<size_t>(n));
  BIO_free(out);
  return text;
}

void AddExtension(X509* cert, X509* issuer, int nid, const std::string& value) {
  X509V3_CTX context;
  X509V3_set_ctx_nodb(&context);
  X509V3_set_ctx(&context, issuer, cert, nullptr, nullptr, 0);
  X509_EXTENSION* ext = X509V3_EXT_conf_nid(nullptr, &context, nid, value.c_str());
  X509_add_ext(cert, ext, -1);
  X509_EXTENSION_free(ext);
}

// A certificate for subject, signed by issuerKey (the subject's own key when issuer is null).
X509* MakeCertificate(const std::string& subject, EVP_PKEY* key, X509* issuer, EVP_PKEY* issuerKey,
                      long fromSeconds, long untilSeconds, bool authority) {
  static long serial = 1;
  X509* cert = X509_new();
  X509_set_version(cert, X509_VERSION_3);
  ASN1_INTEGER_set(X509_get_serialNumber(cert), ++serial);
  X509_gmtime_adj(X509_getm_notBefore(cert), fromSeconds);
  X509_gmtime_adj(X509_getm_notAfter(cert), untilSeconds);
  X509_set_pubkey(cert, key);
  X509_NAME* name = X509_get_subject_name(cert);
  X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC,
                             reinterpret_cast<const unsigned char*>(subject.c_str()), -1, -1, 0);
  X509_set_issuer_name(cert, issuer != nullptr ? X509_get_subject_name(issuer) : name);
  X509* signer = issuer != nullptr ? issuer : cert;
  if (authority) {
    AddExtension(cert, signer, NID_basic_constraints, "critical,CA:TRUE");
    AddExtension(cert, signer, NID_key_usage, "critical,keyCertSign,cRLSign");
    AddExtension(cert, signer, NID_subject_key_identifier, "hash");
  } else {
    bool address = subject.find_first_not_of("0123456789.:") == std::string::npos;
    AddExtension(cert, signer, NID_subject_alt_name, (address ? "IP:" : "DNS:") + subject);
    AddExtension(cert, signer, NID_ext_key_usage, "serverAuth");
  }
  X509_sign(cert, issuerKey, EVP_sha256());
  return cert;
}

}  // namespace

TestAuthority::TestAuthority() : keys_(new Keys) {
  keys_->key = EVP_EC_gen("P-256");
  keys_->cert =
      MakeCertificate("Test Origins CA", keys_->key, nullptr, keys_->key, -86400, 86400 * 30, true);
  file_ = dir_.Path() + "/test-origins-ca.pem";
  std::ofstream(file_) << Pem(keys_->cert);
}

TestAuthority::~TestAuthority() {
  X509_free(keys_->cert);
  EVP_PKEY_free(keys_->key);
  delete keys_;
}

PemIdentity TestAuthority::Issue(const std::string& host, long fromSeconds,
                                 long untilSeconds) const {
  EVP_PKEY* key = EVP_EC_gen("P-256");
  X509* cert =
      MakeCertificate(host, key, keys_->cert, keys_->key, fromSeconds, untilSeconds, false);
  PemIdentity identity{Pem(cert), Pem(key)};
  X509_free(cert);
  EVP_PKEY_free(key);
  return identity;
}

PemIdentity TestAuthority::SelfSigned(const std::string& host) {
  EVP_PKEY* key = EVP_EC_gen("P-256");
  X509* cert = MakeCertificate(host, key, nullptr, key, -3600, 86400, false);
  PemIdentity identity{Pem(cert), Pem(key)};
  X509_free(cert);
  EVP_PKEY_free(key);
  return identity;
}

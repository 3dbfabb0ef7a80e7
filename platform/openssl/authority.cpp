// The authority in use: its certificate and key, the one key every host certificate carries, the
// bounded cache of host certificates, and the two TLS contexts.
#include <openssl/err.h>
#include <openssl/pem.h>
#include <strings.h>

#include <cstdint>
#include <cstring>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "platform/openssl/openssl_parts.h"
#include "platform/tls.h"
#include "platform/trust_store.h"

namespace {

// Hosts whose certificates are kept; beyond that the least recently used one makes room. A
// browser session touches a few hundred hosts at most, and one costs about a kilobyte.
constexpr size_t kCachedCertificates = 512;
// A certificate this close to its end is made anew, so the browser never meets an expired one.
constexpr time_t kRenewBeforeSeconds = 7 * 24 * 60 * 60;
constexpr unsigned char kSessionContext[] = "corvane-inspect";
// ALPN in its wire form: HTTP/2 first, where both sides speak it, else HTTP/1.1.
constexpr unsigned char kBothAlpn[] = "\x02h2\x08http/1.1";

struct CachedCertificate {
  char host[kMaxCertificateHost + 1] = {};
  X509Ptr cert;
  time_t notAfter = 0;
  uint64_t lastUse = 0;
};

// Origins whose last session is kept, so that the next connection to them resumes.
constexpr size_t kKeptOriginSessions = 128;

struct KeptSession {
  char host[kMaxCertificateHost + 1] = {};
  int port = 0;
  SSL_SESSION* session = nullptr;
  uint64_t lastUse = 0;
};

struct Authority {
  X509Ptr cert;
  KeyPtr key;
  KeyPtr hostKey;  // made once per process: no key generation per host
  ContextPtr browser;
  ContextPtr origin;
  CachedCertificate cache[kCachedCertificates];
  KeptSession origins[kKeptOriginSessions];
  uint64_t uses = 0;
  ~Authority() {
    for (KeptSession& kept : origins)
      SSL_SESSION_free(kept.session);
  }
};

std::mutex authorityLock;
Authority* inUse = nullptr;  // guarded by authorityLock; replaced whole

struct FreeBio {
  void operator()(BIO* b) const { BIO_free(b); }
};
using BioPtr = std::unique_ptr<BIO, FreeBio>;

BioPtr ReadOnly(std::string_view text) {
  return BioPtr(BIO_new_mem_buf(text.data(), static_cast<int>(text.size())));
}

int SelectProtocol(SSL*, const unsigned char** out, unsigned char* outLength,
                   const unsigned char* in, unsigned inLength, void*) {
  unsigned char* chosen = nullptr;
  if (SSL_select_next_proto(&chosen, outLength, kBothAlpn, sizeof kBothAlpn - 1, in, inLength) !=
      OPENSSL_NPN_NEGOTIATED)
    return SSL_TLSEXT_ERR_NOACK;  // no ALPN at all: the browser then speaks HTTP/1.1 anyway
  *out = chosen;
  return SSL_TLSEXT_ERR_OK;
}

// The certificate shown is always the CONNECT host's, the one name verified at the origin: a
// browser that names another host (SNI) is refused, never shown a certificate for it.
int CheckServerName(SSL* ssl, int* alert, void*) {
  auto* handshake = static_cast<HandshakeNotes*>(SSL_get_app_data(ssl));
  const char* name = SSL_get_servername(ssl, TLSEXT_NAMETYPE_host_name);
  if (name == nullptr || handshake == nullptr) return SSL_TLSEXT_ERR_NOACK;
  std::string_view asked(name);
  if (asked.ends_with('.')) asked.remove_suffix(1);  // "example.com." names example.com
  std::string_view expected(handshake->host);
  if (asked.size() == expected.size() &&
      ::strncasecmp(asked.data(), expected.data(), asked.size()) == 0)
    return SSL_TLSEXT_ERR_OK;
  handshake->otherName = true;
  *alert = SSL_AD_UNRECOGNIZED_NAME;
  return SSL_TLSEXT_ERR_ALERT_FATAL;
}

// The origin asked for a client certificate: there is none to give (only the browser holds
// one), and the failure that follows is explained by it.
int NoteCertificateRequest(SSL* ssl, X509**, EVP_PKEY**) {
  if (auto* handshake = static_cast<HandshakeNotes*>(SSL_get_app_data(ssl)))
    handshake->certificateRequested = true;
  return 0;
}

ContextPtr MakeBrowserContext(EVP_PKEY* hostKey) {
  ContextPtr context(SSL_CTX_new(TLS_server_method()));
  if (context == nullptr) return nullptr;
  SSL_CTX* c = context.get();
  bool made = SSL_CTX_set_min_proto_version(c, TLS1_2_VERSION) == 1 &&
              SSL_CTX_use_PrivateKey(c, hostKey) == 1 &&
              SSL_CTX_set_session_id_context(c, kSessionContext, sizeof kSessionContext - 1) == 1 &&
              SSL_CTX_set_num_tickets(c, 1) == 1;  // one resumption per connection is all we use
  SSL_CTX_set_options(c, SSL_OP_NO_RENEGOTIATION);
  SSL_CTX_set_alpn_select_cb(c, SelectProtocol, nullptr);
  SSL_CTX_set_tlsext_servername_callback(c, CheckServerName);
  return made ? std::move(context) : nullptr;
}

// The system's trust store: OpenSSL's default paths (SSL_CERT_FILE and SSL_CERT_DIR apply), or
// where the system keeps its authorities elsewhere (the Root store of Windows) a copy of them
// taken now.
bool TrustSystemRoots(SSL_CTX* c) {
  std::vector<std::string> roots;
  if (!SystemRootCertificates(&roots)) return SSL_CTX_set_default_verify_paths(c) == 1;
  X509_STORE* store = SSL_CTX_get_cert_store(c);
  for (const std::string& der : roots) {
    auto bytes = reinterpret_cast<const unsigned char*>(der.data());
    X509Ptr cert(d2i_X509(nullptr, &bytes, static_cast<long>(der.size())));
    if (cert != nullptr) X509_STORE_add_cert(store, cert.get());  // a duplicate is refused
  }
  ERR_clear_error();
  return true;
}

// The origin is checked as a browser would: the system's trust store, and TLS 1.2 at least.
ContextPtr MakeOriginContext() {
  ContextPtr context(SSL_CTX_new(TLS_client_method()));
  if (context == nullptr) return nullptr;
  SSL_CTX* c = context.get();
  bool made = SSL_CTX_set_min_proto_version(c, TLS1_2_VERSION) == 1 && TrustSystemRoots(c) &&
              SSL_CTX_set_alpn_protos(c, kBothAlpn, sizeof kBothAlpn - 1) == 0;
  SSL_CTX_set_verify(c, SSL_VERIFY_PEER, nullptr);
  SSL_CTX_set_client_cert_cb(c, NoteCertificateRequest);
  return made ? std::move(context) : nullptr;
}

ContextPtr Shared(SSL_CTX* context) {
  if (context == nullptr || SSL_CTX_up_ref(context) != 1) return nullptr;
  return ContextPtr(context);
}

// The cached entry for host, or the least recently used one to replace.
CachedCertificate& Slot(Authority& a, const char* host) {
  CachedCertificate* oldest = &a.cache[0];
  for (CachedCertificate& entry : a.cache) {
    if (entry.cert != nullptr && strcasecmp(entry.host, host) == 0) return entry;
    if (entry.lastUse < oldest->lastUse) oldest = &entry;
  }
  return *oldest;
}

// The kept session of the origin, or the least recently used slot to replace.
KeptSession& OriginSlot(Authority& a, const char* host, int port) {
  KeptSession* oldest = &a.origins[0];
  for (KeptSession& kept : a.origins) {
    if (kept.session != nullptr && kept.port == port && strcasecmp(kept.host, host) == 0)
      return kept;
    if (kept.lastUse < oldest->lastUse) oldest = &kept;
  }
  return *oldest;
}

// A key that asks for a passphrase is refused rather than asked about: the default would prompt
// on the terminal.
int NoPassphrase(char* /*buffer*/, int /*size*/, int /*writing*/, void* /*data*/) {
  return -1;
}

}  // namespace

SSL_SESSION* KeptOriginSession(const char* host, int port) {
  std::lock_guard<std::mutex> hold(authorityLock);
  if (inUse == nullptr || std::strlen(host) > kMaxCertificateHost) return nullptr;
  KeptSession& kept = OriginSlot(*inUse, host, port);
  if (kept.session == nullptr || kept.port != port || strcasecmp(kept.host, host) != 0)
    return nullptr;
  kept.lastUse = ++inUse->uses;
  SSL_SESSION_up_ref(kept.session);
  return kept.session;
}

void KeepOriginSession(const char* host, int port, SSL_SESSION* session) {
  std::lock_guard<std::mutex> hold(authorityLock);
  if (inUse == nullptr || std::strlen(host) > kMaxCertificateHost) {
    SSL_SESSION_free(session);
    return;
  }
  KeptSession& kept = OriginSlot(*inUse, host, port);
  SSL_SESSION_free(kept.session);
  std::strncpy(kept.host, host, kMaxCertificateHost);
  kept.port = port;
  kept.session = session;
  kept.lastUse = ++inUse->uses;
}

bool TlsAvailable() {
  return true;
}

AuthorityUse UseAuthority(std::string_view certificatePem, std::string_view keyPem) {
  auto made = std::make_unique<Authority>();
  BioPtr certText = ReadOnly(certificatePem);
  BioPtr keyText = ReadOnly(keyPem);
  if (certText == nullptr || keyText == nullptr) return AuthorityUse::kFailed;
  made->cert.reset(PEM_read_bio_X509(certText.get(), nullptr, nullptr, nullptr));
  made->key.reset(PEM_read_bio_PrivateKey(keyText.get(), nullptr, NoPassphrase, nullptr));
  AuthorityUse use = AuthorityUse::kInUse;
  if (made->cert == nullptr)
    use = AuthorityUse::kBadCertificate;
  else if (made->key == nullptr)
    use = AuthorityUse::kBadKey;
  else if (X509_check_private_key(made->cert.get(), made->key.get()) != 1)
    use = AuthorityUse::kMismatched;
  if (use == AuthorityUse::kInUse) {
    made->hostKey = MakeP256Key();
    if (made->hostKey != nullptr) {
      made->browser = MakeBrowserContext(made->hostKey.get());
      made->origin = MakeOriginContext();
    }
    if (made->browser == nullptr || made->origin == nullptr) use = AuthorityUse::kFailed;
  }
  ERR_clear_error();
  if (use != AuthorityUse::kInUse) return use;
  std::lock_guard<std::mutex> hold(authorityLock);
  delete inUse;
  inUse = made.release();
  return use;
}

bool AuthorityInUse() {
  std::lock_guard<std::mutex> hold(authorityLock);
  return inUse != nullptr;
}

void StopUsingAuthority() {
  std::lock_guard<std::mutex> hold(authorityLock);
  delete inUse;
  inUse = nullptr;
}

ContextPtr BrowserContext() {
  std::lock_guard<std::mutex> hold(authorityLock);
  return inUse == nullptr ? nullptr : Shared(inUse->browser.get());
}

ContextPtr OriginContext() {
  std::lock_guard<std::mutex> hold(authorityLock);
  return inUse == nullptr ? nullptr : Shared(inUse->origin.get());
}

X509Ptr CertificateFor(const char* host) {
  if (host == nullptr || std::strlen(host) > kMaxCertificateHost) return nullptr;
  std::lock_guard<std::mutex> hold(authorityLock);
  if (inUse == nullptr) return nullptr;
  Authority& a = *inUse;
  CachedCertificate& entry = Slot(a, host);
  bool fresh = entry.cert != nullptr && strcasecmp(entry.host, host) == 0 &&
               time(nullptr) < entry.notAfter - kRenewBeforeSeconds;
  if (!fresh) {
    time_t notAfter = 0;
    X509Ptr cert = MakeHostCertificate(host, a.hostKey.get(), a.cert.get(), a.key.get(), &notAfter);
    ERR_clear_error();
    if (cert == nullptr) return nullptr;
    std::strncpy(entry.host, host, kMaxCertificateHost);
    entry.cert = std::move(cert);
    entry.notAfter = notAfter;
  }
  entry.lastUse = ++a.uses;
  if (X509_up_ref(entry.cert.get()) != 1) return nullptr;
  return X509Ptr(entry.cert.get());
}

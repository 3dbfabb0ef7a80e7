// What the OpenSSL backend's files share: owning handles for OpenSSL objects, certificate making,
// and the contexts of the authority in use.
#pragma once

#include <openssl/evp.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>

#include <ctime>
#include <memory>

struct FreeX509 {
  void operator()(X509* x) const { X509_free(x); }
};
struct FreeKey {
  void operator()(EVP_PKEY* k) const { EVP_PKEY_free(k); }
};
struct FreeContext {
  void operator()(SSL_CTX* c) const { SSL_CTX_free(c); }
};
using X509Ptr = std::unique_ptr<X509, FreeX509>;
using KeyPtr = std::unique_ptr<EVP_PKEY, FreeKey>;
using ContextPtr = std::unique_ptr<SSL_CTX, FreeContext>;

// A new ECDSA P-256 key.
KeyPtr MakeP256Key();

// A certificate for host (a DNS name or an IP address) carrying hostKey's public half, signed
// by the authority; its end of validity goes to *notAfter. Null for a host that no certificate
// can name.
X509Ptr MakeHostCertificate(const char* host, EVP_PKEY* hostKey, X509* authority,
                            EVP_PKEY* authorityKey, time_t* notAfter);

// What a handshake's callbacks note, kept as the connection's app data while it runs: the host
// the browser must name, and what the peer asked for that we could not give.
struct HandshakeNotes {
  const char* host = "";
  bool otherName = false;             // the browser named another host
  bool certificateRequested = false;  // the origin asked for a client certificate
};

// The contexts of the authority in use, each with a reference the caller frees; null when no
// authority is in use.
ContextPtr BrowserContext();
ContextPtr OriginContext();

// The certificate shown for host, with a reference the caller frees; null when none can be had.
X509Ptr CertificateFor(const char* host);

// The session an origin gave last, with a reference the caller frees, or null.
SSL_SESSION* KeptOriginSession(const char* host, int port);

// Keeps session (a reference of the caller's own) for the origin, in place of an older one.
void KeepOriginSession(const char* host, int port, SSL_SESSION* session);

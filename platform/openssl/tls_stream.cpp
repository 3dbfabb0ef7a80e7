// TLS connections over sockets the caller owns, to the browser and to the origin.
#include <openssl/err.h>
#include <openssl/x509v3.h>
#include <poll.h>
#include <sys/socket.h>

#include <cerrno>
#include <cstring>

#include "platform/openssl/openssl_parts.h"
#include "platform/tls.h"

namespace {

SSL* Ssl(TlsSession* session) {
  return reinterpret_cast<SSL*>(session);
}

void CopyText(std::string_view text, std::span<char> out) {
  if (out.empty()) return;
  size_t n = std::min(text.size(), out.size() - 1);
  std::memcpy(out.data(), text.data(), n);
  out[n] = '\0';
}

// OpenSSL's socket BIO writes with write(), which raises SIGPIPE when the peer has gone, as a
// client does that closes once it has the whole answer. Ours sends with MSG_NOSIGNAL instead and
// takes everything else from OpenSSL's own.
int SendNoSignal(BIO* bio, const char* data, int size) {
  ssize_t n = ::send(static_cast<int>(BIO_get_fd(bio, nullptr)), data, static_cast<size_t>(size),
                     MSG_NOSIGNAL);
  BIO_clear_retry_flags(bio);
  if (n <= 0 && BIO_sock_should_retry(static_cast<int>(n))) BIO_set_retry_write(bio);
  return static_cast<int>(n);
}

const BIO_METHOD* SocketWithoutSignals() {
  static BIO_METHOD* method = [] {
    const BIO_METHOD* plain = BIO_s_socket();
    BIO_METHOD* made = BIO_meth_new(
        BIO_get_new_index() | BIO_TYPE_SOURCE_SINK | BIO_TYPE_DESCRIPTOR, "socket without SIGPIPE");
    BIO_meth_set_write(made, SendNoSignal);
    BIO_meth_set_read(made, BIO_meth_get_read(plain));
    BIO_meth_set_puts(made, BIO_meth_get_puts(plain));
    BIO_meth_set_ctrl(made, BIO_meth_get_ctrl(plain));
    BIO_meth_set_create(made, BIO_meth_get_create(plain));
    BIO_meth_set_destroy(made, BIO_meth_get_destroy(plain));
    return made;
  }();
  return method;
}

// Puts ssl over the socket; the socket stays the caller's.
bool Attach(SSL* ssl, int fd) {
  BIO* bio = BIO_new(SocketWithoutSignals());
  if (bio == nullptr) return false;
  BIO_set_fd(bio, fd, BIO_NOCLOSE);
  SSL_set_bio(ssl, bio, bio);
  return true;
}

bool IsAddress(const char* host) {
  ASN1_OCTET_STRING* address = a2i_IPADDRESS(host);
  ASN1_OCTET_STRING_free(address);
  return address != nullptr;
}

}  // namespace

bool TlsStream::AcceptBrowser(const Socket& s, const char* fallbackHost) {
  Close();
  ContextPtr context = BrowserContext();
  if (context == nullptr) return false;
  SSL* ssl = SSL_new(context.get());
  if (ssl == nullptr) return false;
  session_ = reinterpret_cast<TlsSession*>(ssl);
  fd_ = s.Fd();
  broken_ = true;  // until the handshake is done
  X509Ptr cert = CertificateFor(fallbackHost);
  if (cert != nullptr) SSL_use_certificate(ssl, cert.get());
  bool done = Attach(ssl, s.Fd()) && SSL_accept(ssl) == 1;
  ERR_clear_error();
  if (!done) {
    Close();
    return false;
  }
  broken_ = false;
  return true;
}

OriginHandshake TlsStream::ConnectOrigin(const Socket& s, const char* host, int port,
                                         std::span<char> error) {
  Close();
  CopyText("", error);
  ContextPtr context = OriginContext();
  if (context == nullptr) return OriginHandshake::kFailed;
  SSL* ssl = SSL_new(context.get());
  if (ssl == nullptr) return OriginHandshake::kFailed;
  session_ = reinterpret_cast<TlsSession*>(ssl);
  fd_ = s.Fd();
  broken_ = true;
  // A wildcard stands for a whole label only ("*.example.com", never "w*.example.com").
  SSL_set_hostflags(ssl, X509_CHECK_FLAG_NO_PARTIAL_WILDCARDS);
  bool named = IsAddress(host)
                   ? X509_VERIFY_PARAM_set1_ip_asc(SSL_get0_param(ssl), host) == 1
                   : SSL_set1_host(ssl, host) == 1 && SSL_set_tlsext_host_name(ssl, host) == 1;
  if (SSL_SESSION* kept = KeptOriginSession(host, port)) {
    SSL_set_session(ssl, kept);
    SSL_SESSION_free(kept);
  }
  bool done = named && Attach(ssl, s.Fd()) && SSL_connect(ssl) == 1;
  ERR_clear_error();
  if (done) {
    broken_ = false;
    originPort_ = port;
    std::strncpy(originHost_, host, kMaxCertificateHost);
    return OriginHandshake::kConnected;
  }
  long verdict = SSL_get_verify_result(ssl);
  bool unverified = named && verdict != X509_V_OK;
  if (unverified) CopyText(X509_verify_cert_error_string(verdict), error);
  Close();
  return unverified ? OriginHandshake::kUnverified : OriginHandshake::kFailed;
}

long TlsStream::Receive(std::span<char> buffer, int timeoutMs) {
  if (session_ == nullptr || broken_) return -1;
  SSL* ssl = Ssl(session_);
  if (timeoutMs >= 0 && SSL_has_pending(ssl) == 0) {
    pollfd p{fd_, POLLIN, 0};
    int ready = ::poll(&p, 1, timeoutMs);
    if (ready == 0) return kReceiveTimedOut;
    if (ready < 0) return -1;
  }
  int n = SSL_read(ssl, buffer.data(), static_cast<int>(buffer.size()));
  if (n > 0) return n;
  int why = SSL_get_error(ssl, n);
  ERR_clear_error();
  // An origin that closes without a goodbye has still ended its answer, as over plain TCP.
  if (why == SSL_ERROR_ZERO_RETURN || (why == SSL_ERROR_SYSCALL && errno == 0)) {
    if (why == SSL_ERROR_SYSCALL) broken_ = true;
    return 0;
  }
  broken_ = true;
  return -1;
}

int TlsStream::Send(std::span<const char> bytes) {
  if (session_ == nullptr || broken_) return 0;
  SSL* ssl = Ssl(session_);
  while (!bytes.empty()) {
    int n = SSL_write(ssl, bytes.data(), static_cast<int>(bytes.size()));
    if (n <= 0) {
      ERR_clear_error();
      broken_ = true;
      return 0;
    }
    bytes = bytes.subspan(static_cast<size_t>(n));
  }
  return 1;
}

bool TlsStream::HasBuffered() const {
  return session_ != nullptr && !broken_ && SSL_has_pending(Ssl(session_)) == 1;
}

void TlsStream::EndSending() {
  if (session_ == nullptr || broken_ || saidGoodbye_) return;
  SSL_shutdown(Ssl(session_));
  ERR_clear_error();
  saidGoodbye_ = true;
}

bool TlsStream::Resumed() const {
  return session_ != nullptr && SSL_session_reused(Ssl(session_)) == 1;
}

void TlsStream::Close() {
  if (session_ == nullptr) return;
  SSL* ssl = Ssl(session_);
  if (!broken_) {
    if (!saidGoodbye_) SSL_shutdown(ssl);  // our goodbye only; the peer's is not waited for
    // A sound origin connection leaves its session (the ticket came with the answer) for next
    // time; only one that was verified for this host and port ever got this far.
    SSL_SESSION* session = originPort_ != 0 ? SSL_get1_session(ssl) : nullptr;
    if (session != nullptr && SSL_SESSION_is_resumable(session) == 1)
      KeepOriginSession(originHost_, originPort_, session);
    else
      SSL_SESSION_free(session);
  }
  ERR_clear_error();
  SSL_free(ssl);
  session_ = nullptr;
  fd_ = -1;
  broken_ = false;
  saidGoodbye_ = false;
  originPort_ = 0;
}

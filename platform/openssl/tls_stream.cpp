// TLS connections over sockets the caller owns, to the browser and to the origin.
#include <openssl/err.h>
#include <openssl/x509v3.h>

#include <chrono>
#include <cstring>

#include "platform/openssl/openssl_parts.h"
#include "platform/socket_waits.h"
#include "platform/tls.h"

namespace {

using Clock = std::chrono::steady_clock;

SSL* Ssl(TlsSession* session) {
  return reinterpret_cast<SSL*>(session);
}

void CopyText(std::string_view text, std::span<char> out) {
  if (out.empty()) return;
  size_t n = std::min(text.size(), out.size() - 1);
  std::memcpy(out.data(), text.data(), n);
  out[n] = '\0';
}

// OpenSSL's socket BIO writes with write() on POSIX, which raises SIGPIPE when the peer has
// gone, as a client does that closes once it has the whole answer. Ours sends without the signal
// instead and takes everything else from OpenSSL's own.
int SendNoSignal(BIO* bio, const char* data, int size) {
  long n = SendSomeNow(static_cast<SocketHandle>(BIO_get_fd(bio, nullptr)), data,
                       static_cast<size_t>(size));
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

// Puts ssl over the socket, made non-blocking; the socket stays the caller's. OpenSSL keeps a
// socket as an int, as it does a Windows SOCKET, whose values are small.
bool Attach(SSL* ssl, SocketHandle fd) {
  BIO* bio = BIO_new(SocketWithoutSignals());
  if (bio == nullptr) return false;
  BIO_set_fd(bio, static_cast<int>(fd), BIO_NOCLOSE);
  SSL_set_bio(ssl, bio, bio);
  return SetSocketBlocking(fd, false);
}

bool IsAddress(const char* host) {
  ASN1_OCTET_STRING* address = a2i_IPADDRESS(host);
  ASN1_OCTET_STRING_free(address);
  return address != nullptr;
}

// A point in time timeoutMs from now; none (waits without end) for a negative time.
struct Deadline {
  explicit Deadline(int timeoutMs)
      : endless(timeoutMs < 0), at(Clock::now() + std::chrono::milliseconds(timeoutMs)) {}
  int Left() const {
    if (endless) return -1;
    auto left = std::chrono::ceil<std::chrono::milliseconds>(at - Clock::now()).count();
    return left > 0 ? static_cast<int>(left) : 0;
  }
  bool endless;
  Clock::time_point at;
};

enum class Step { kDone, kFailed, kTimedOut };

// Runs step (a handshake, read, write or goodbye) until it is done or has failed for good,
// waiting on the socket for what OpenSSL asks, until deadline. *result gets step's last result
// and *why its SSL_get_error.
template <typename F>
Step Drive(SSL* ssl, SocketHandle fd, const Deadline& deadline, F step, int* result, int* why) {
  for (;;) {
    *result = step();
    if (*result > 0) return Step::kDone;
    *why = SSL_get_error(ssl, *result);
    if (*why != SSL_ERROR_WANT_READ && *why != SSL_ERROR_WANT_WRITE) return Step::kFailed;
    int left = deadline.Left();
    if (left == 0) return Step::kTimedOut;
    int ready = WaitForSocket(fd, *why == SSL_ERROR_WANT_WRITE, left);
    if (ready == 0) return Step::kTimedOut;
    if (ready < 0) return Step::kFailed;
  }
}

// The reason OpenSSL gave last for a failure, library errors cleared.
int LastReason() {
  unsigned long error = ERR_peek_last_error();
  ERR_clear_error();
  return ERR_GET_REASON(error);
}

// What a failed origin handshake means, from OpenSSL's reason.
OriginHandshake OriginFailure(int reason, bool certificateRequested) {
  switch (reason) {
    case SSL_R_UNSUPPORTED_PROTOCOL:
    case SSL_R_TLSV1_ALERT_PROTOCOL_VERSION:
    case SSL_R_WRONG_SSL_VERSION:
      return OriginHandshake::kOldProtocol;
    case SSL_R_TLSV1_ALERT_NO_APPLICATION_PROTOCOL:
      return OriginHandshake::kOnlyHttp2;
    default:
      return certificateRequested ? OriginHandshake::kClientCertificate : OriginHandshake::kFailed;
  }
}

// The protocol the handshake settled on is HTTP/2.
bool ChoseHttp2(const SSL* ssl) {
  const unsigned char* protocol = nullptr;
  unsigned length = 0;
  SSL_get0_alpn_selected(ssl, &protocol, &length);
  return length == 2 && std::memcmp(protocol, "h2", 2) == 0;
}

// What an origin is offered when HTTP/2 is not wanted there.
constexpr unsigned char kHttp11Only[] = "\x08http/1.1";

}  // namespace

BrowserHandshake TlsStream::AcceptBrowser(const Socket& s, const char* host, int timeoutMs) {
  Close();
  ContextPtr context = BrowserContext();
  if (context == nullptr) return BrowserHandshake::kFailed;
  SSL* ssl = SSL_new(context.get());
  if (ssl == nullptr) return BrowserHandshake::kFailed;
  session_ = reinterpret_cast<TlsSession*>(ssl);
  fd_ = s.Fd();
  broken_ = true;  // until the handshake is done
  X509Ptr cert = CertificateFor(host);
  if (cert == nullptr || SSL_use_certificate(ssl, cert.get()) != 1) {
    Close();
    return BrowserHandshake::kFailed;
  }
  HandshakeNotes notes;
  notes.host = host;
  SSL_set_app_data(ssl, &notes);
  int result = 0;
  int why = 0;
  bool done = Attach(ssl, s.Fd()) &&
              Drive(
                  ssl, fd_, Deadline(timeoutMs), [&] { return SSL_accept(ssl); }, &result, &why) ==
                  Step::kDone;
  SSL_set_app_data(ssl, nullptr);
  ERR_clear_error();
  if (!done) {
    Close();
    return notes.otherName ? BrowserHandshake::kOtherName : BrowserHandshake::kFailed;
  }
  broken_ = false;
  http2_ = ChoseHttp2(ssl);
  return BrowserHandshake::kAccepted;
}

OriginHandshake TlsStream::ConnectOrigin(const Socket& s, const char* host, int port, int timeoutMs,
                                         std::span<char> error, bool offerHttp2) {
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
  if (!offerHttp2) SSL_set_alpn_protos(ssl, kHttp11Only, sizeof kHttp11Only - 1);
  if (SSL_SESSION* kept = KeptOriginSession(host, port)) {
    SSL_set_session(ssl, kept);
    SSL_SESSION_free(kept);
  }
  HandshakeNotes notes;
  SSL_set_app_data(ssl, &notes);
  int result = 0;
  int why = 0;
  Step step = Step::kFailed;
  if (named && Attach(ssl, s.Fd()))
    step = Drive(
        ssl, fd_, Deadline(timeoutMs), [&] { return SSL_connect(ssl); }, &result, &why);
  SSL_set_app_data(ssl, nullptr);
  certificateRequested_ = notes.certificateRequested;
  int reason = LastReason();
  if (step == Step::kDone) {
    if (ChoseHttp2(ssl) && !offerHttp2) {  // it chose what we never offered
      Close();
      return OriginHandshake::kOnlyHttp2;
    }
    broken_ = false;
    http2_ = ChoseHttp2(ssl);
    originPort_ = port;
    std::strncpy(originHost_, host, kMaxCertificateHost);
    return OriginHandshake::kConnected;
  }
  long verdict = SSL_get_verify_result(ssl);
  OriginHandshake outcome;
  if (step == Step::kTimedOut) {
    outcome = OriginHandshake::kTimedOut;
  } else if (named && verdict != X509_V_OK) {
    CopyText(X509_verify_cert_error_string(verdict), error);
    outcome = OriginHandshake::kUnverified;
  } else {
    outcome = OriginFailure(reason, notes.certificateRequested);
    if (reason != 0) CopyText(ERR_reason_error_string(ERR_PACK(ERR_LIB_SSL, 0, reason)), error);
  }
  Close();
  return outcome;
}

void TlsStream::SetIdleTimeout(int timeoutMs) {
  idleMs_ = timeoutMs;
}

long TlsStream::Receive(std::span<char> buffer, int timeoutMs) {
  if (session_ == nullptr || broken_) return -1;
  SSL* ssl = Ssl(session_);
  bool ownTime = timeoutMs >= 0;
  int result = 0;
  int why = 0;
  Step step = Drive(
      ssl, fd_, Deadline(ownTime ? timeoutMs : idleMs_),
      [&] { return SSL_read(ssl, buffer.data(), static_cast<int>(buffer.size())); }, &result, &why);
  if (step == Step::kDone) return result;
  if (step == Step::kTimedOut) {
    ERR_clear_error();
    if (ownTime) return kReceiveTimedOut;
    broken_ = true;  // the idle bound passed
    return -1;
  }
  int reason = LastReason();
  if (why == SSL_ERROR_ZERO_RETURN) {
    heardGoodbye_ = true;
    return 0;
  }
  // The connection closed without a goodbye: its end, but perhaps not the data's.
  if ((why == SSL_ERROR_SYSCALL && SystemSocketError() == 0) ||
      (why == SSL_ERROR_SSL && reason == SSL_R_UNEXPECTED_EOF_WHILE_READING)) {
    broken_ = true;
    return 0;
  }
  broken_ = true;
  return -1;
}

int TlsStream::Send(std::span<const char> bytes) {
  if (session_ == nullptr || broken_) return 0;
  SSL* ssl = Ssl(session_);
  while (!bytes.empty()) {
    int result = 0;
    int why = 0;
    Step step = Drive(
        ssl, fd_, Deadline(idleMs_),
        [&] { return SSL_write(ssl, bytes.data(), static_cast<int>(bytes.size())); }, &result,
        &why);
    ERR_clear_error();
    if (step != Step::kDone) {
      broken_ = true;
      return 0;
    }
    bytes = bytes.subspan(static_cast<size_t>(result));
  }
  return 1;
}

bool TlsStream::EndedWithGoodbye() const {
  return heardGoodbye_;
}

bool TlsStream::AskedForClientCertificate() const {
  return certificateRequested_;
}

bool TlsStream::HasBuffered() const {
  return session_ != nullptr && !broken_ && SSL_has_pending(Ssl(session_)) == 1;
}

void TlsStream::EndSending() {
  if (session_ == nullptr || broken_ || saidGoodbye_) return;
  SSL* ssl = Ssl(session_);
  int result = 0;
  int why = 0;
  // Our goodbye goes out, waiting only while the socket is full; the peer's is not waited for.
  Drive(
      ssl, fd_, Deadline(idleMs_), [&] { return SSL_shutdown(ssl) >= 0 ? 1 : -1; }, &result, &why);
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
    EndSending();
    // A sound origin connection leaves its session (the ticket came with the answer) for next
    // time; only one that was verified for this host and port ever got this far.
    SSL_SESSION* session = originPort_ != 0 ? SSL_get1_session(ssl) : nullptr;
    if (session != nullptr && SSL_SESSION_is_resumable(session) == 1)
      KeepOriginSession(originHost_, originPort_, session);
    else
      SSL_SESSION_free(session);
  }
  Abort();
}

void TlsStream::Abort() {
  if (session_ == nullptr) return;
  ERR_clear_error();
  SSL_free(Ssl(session_));
  if (fd_ != kNoSocketHandle) SetSocketBlocking(fd_, true);  // the socket as it was
  session_ = nullptr;
  fd_ = kNoSocketHandle;
  broken_ = false;
  saidGoodbye_ = false;
  heardGoodbye_ = false;
  certificateRequested_ = false;
  http2_ = false;
  originPort_ = 0;
}

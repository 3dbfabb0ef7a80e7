#include "tests/browser/site_origin.h"

#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "tests/browser/test_authority.h"
#include "tests/support/loopback.h"

namespace {

// A kept-alive connection with nothing to do is closed after this long, as real origins do; it
// is far longer than any exchange a test waits for, so a proxy that waits for it shows.
constexpr int kIdleMs = 15000;
// How long a declared body may take to arrive.
constexpr int kBodyMs = 3000;
// How long to look for bytes beyond the declared body before answering a closing request.
constexpr int kSurplusMs = 200;

bool SameNoCase(std::string_view a, std::string_view b) {
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
           return std::tolower(static_cast<unsigned char>(x)) ==
                  std::tolower(static_cast<unsigned char>(y));
         });
}

// Calls visit(name, value) for each header line of head, the request line excluded.
template <typename Visit>
void ForEachHeader(std::string_view head, Visit visit) {
  size_t at = head.find("\r\n");
  while (at != std::string_view::npos) {
    at += 2;
    size_t end = head.find("\r\n", at);
    if (end == std::string_view::npos || end == at) return;
    std::string_view line = head.substr(at, end - at);
    size_t colon = line.find(':');
    if (colon != std::string_view::npos) {
      std::string_view value = line.substr(colon + 1);
      while (!value.empty() && value.front() == ' ')
        value.remove_prefix(1);
      visit(line.substr(0, colon), value);
    }
    at = end;
  }
}

// Decodes a chunked body at the start of pending into *body. True once the last chunk and the
// trailer have arrived; *consumed then tells how many bytes of pending they took.
bool DecodeChunks(std::string_view pending, std::string* body, size_t* consumed) {
  body->clear();
  size_t at = 0;
  for (;;) {
    size_t lineEnd = pending.find("\r\n", at);
    if (lineEnd == std::string_view::npos) return false;
    size_t size = std::strtoul(std::string(pending.substr(at, lineEnd - at)).c_str(), nullptr, 16);
    at = lineEnd + 2;
    if (size == 0) {
      size_t end = pending.find("\r\n\r\n", lineEnd);  // trailer lines, then a blank line
      if (end == std::string_view::npos) return false;
      *consumed = end + 4;
      return true;
    }
    if (pending.size() < at + size + 2) return false;
    body->append(pending.substr(at, size));
    at += size + 2;
  }
}

}  // namespace

std::optional<std::string> HeaderValue(std::string_view head, std::string_view name) {
  std::optional<std::string> found;
  ForEachHeader(head, [&](std::string_view n, std::string_view v) {
    if (!found && SameNoCase(n, name)) found = std::string(v);
  });
  return found;
}

int HeaderCount(std::string_view head, std::string_view name) {
  int count = 0;
  ForEachHeader(head, [&](std::string_view n, std::string_view) { count += SameNoCase(n, name); });
  return count;
}

// A server context with a self-signed certificate for 127.0.0.1 made when the origin starts.
class TlsContext {
 public:
  TlsContext() {
    char curve[] = "P-256";
    EVP_PKEY* key = EVP_PKEY_Q_keygen(nullptr, nullptr, "EC", curve);
    X509* cert = X509_new();
    X509_set_version(cert, 2);
    ASN1_INTEGER_set(X509_get_serialNumber(cert), 1);
    X509_gmtime_adj(X509_getm_notBefore(cert), -3600);
    X509_gmtime_adj(X509_getm_notAfter(cert), 86400);
    X509_set_pubkey(cert, key);
    X509_NAME* name = X509_get_subject_name(cert);
    X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC,
                               reinterpret_cast<const unsigned char*>("127.0.0.1"), -1, -1, 0);
    X509_set_issuer_name(cert, name);
    char san[] = "IP:127.0.0.1";
    X509_EXTENSION* ext = X509V3_EXT_conf_nid(nullptr, nullptr, NID_subject_alt_name, san);
    X509_add_ext(cert, ext, -1);
    X509_EXTENSION_free(ext);
    X509_sign(cert, key, EVP_sha256());
    ctx_ = SSL_CTX_new(TLS_server_method());
    SSL_CTX_use_certificate(ctx_, cert);
    SSL_CTX_use_PrivateKey(ctx_, key);
    X509_free(cert);
    EVP_PKEY_free(key);
  }
  explicit TlsContext(const PemIdentity& identity, const SiteOrigin::TlsOptions& options)
      : TlsContext(identity) {
    if (options.maxVersion != 0 && options.maxVersion < TLS1_2_VERSION)
      SSL_CTX_set_security_level(ctx_, 0);
    if (options.minVersion != 0) SSL_CTX_set_min_proto_version(ctx_, options.minVersion);
    if (options.maxVersion != 0) SSL_CTX_set_max_proto_version(ctx_, options.maxVersion);
    if (options.askClientCertificate)
      SSL_CTX_set_verify(ctx_, SSL_VERIFY_PEER | SSL_VERIFY_FAIL_IF_NO_PEER_CERT,
                         [](int, X509_STORE_CTX*) { return 1; });
    if (options.onlyHttp2) SSL_CTX_set_alpn_select_cb(ctx_, OnlyHttp2, nullptr);
    if (options.http2 && !options.onlyHttp2) SSL_CTX_set_alpn_select_cb(ctx_, Http2First, nullptr);
  }
  explicit TlsContext(const PemIdentity& identity) {
    BIO* certText =
        BIO_new_mem_buf(identity.certificate.data(), static_cast<int>(identity.certificate.size()));
    BIO* keyText = BIO_new_mem_buf(identity.key.data(), static_cast<int>(identity.key.size()));
    X509* cert = PEM_read_bio_X509(certText, nullptr, nullptr, nullptr);
    EVP_PKEY* key = PEM_read_bio_PrivateKey(keyText, nullptr, nullptr, nullptr);
    ctx_ = SSL_CTX_new(TLS_server_method());
    SSL_CTX_use_certificate(ctx_, cert);
    SSL_CTX_use_PrivateKey(ctx_, key);
    X509_free(cert);
    EVP_PKEY_free(key);
    BIO_free(certText);
    BIO_free(keyText);
  }
  ~TlsContext() { SSL_CTX_free(ctx_); }

  // A server that speaks HTTP/2 alone refuses a client that offers anything else.
  static int OnlyHttp2(SSL*, const unsigned char** out, unsigned char* outLength,
                       const unsigned char* in, unsigned inLength, void*) {
    static const unsigned char kH2[] = "\x02h2";
    unsigned char* chosen = nullptr;
    if (SSL_select_next_proto(&chosen, outLength, kH2, 3, in, inLength) != OPENSSL_NPN_NEGOTIATED)
      return SSL_TLSEXT_ERR_ALERT_FATAL;
    *out = chosen;
    return SSL_TLSEXT_ERR_OK;
  }
  static int Http2First(SSL*, const unsigned char** out, unsigned char* outLength,
                        const unsigned char* in, unsigned inLength, void*) {
    static const unsigned char kBoth[] = "\x02h2\x08http/1.1";
    unsigned char* chosen = nullptr;
    if (SSL_select_next_proto(&chosen, outLength, kBoth, sizeof kBoth - 1, in, inLength) !=
        OPENSSL_NPN_NEGOTIATED)
      return SSL_TLSEXT_ERR_NOACK;
    *out = chosen;
    return SSL_TLSEXT_ERR_OK;
  }
  TlsContext(const TlsContext&) = delete;
  TlsContext& operator=(const TlsContext&) = delete;

  SSL_CTX* Get() const { return ctx_; }

 private:
  SSL_CTX* ctx_ = nullptr;
};

// One accepted connection, plain or TLS.
class SiteOrigin::Stream {
 public:
  Stream(int fd, TlsContext* tls) : fd_(fd) {
    if (tls == nullptr) return;
    timeval handshakeLimit{10, 0};
    ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &handshakeLimit, sizeof handshakeLimit);
    ssl_ = SSL_new(tls->Get());
    SSL_set_fd(ssl_, fd);
    if (SSL_accept(ssl_) != 1) {
      ERR_clear_error();
      failed_ = true;
    }
  }
  ~Stream() {
    if (ssl_ != nullptr) {
      if (!failed_ && !cut_) SSL_shutdown(ssl_);
      SSL_free(ssl_);
    }
  }

  // Ends the connection as one cut short: no goodbye over TLS, and with reset a TCP reset.
  void Cut(bool reset) {
    cut_ = true;
    if (!reset) return;
    linger now{1, 0};
    ::setsockopt(fd_, SOL_SOCKET, SO_LINGER, &now, sizeof now);
  }
  Stream(const Stream&) = delete;
  Stream& operator=(const Stream&) = delete;

  bool Failed() const { return failed_; }
  bool Resumed() const { return ssl_ != nullptr && !failed_ && SSL_session_reused(ssl_) == 1; }
  bool SpeaksHttp2() const {
    const unsigned char* chosen = nullptr;
    unsigned length = 0;
    if (ssl_ != nullptr) SSL_get0_alpn_selected(ssl_, &chosen, &length);
    return length == 2 && std::memcmp(chosen, "h2", 2) == 0;
  }

  // Bytes read, 0 when the peer closed or failed, -1 when timeoutMs passed with nothing.
  long Read(char* buf, size_t size, int timeoutMs) {
    if (ssl_ == nullptr || SSL_pending(ssl_) == 0) {
      pollfd p{fd_, POLLIN, 0};
      int ready = ::poll(&p, 1, timeoutMs);
      if (ready == 0) return -1;
      if (ready < 0) return 0;
    }
    if (ssl_ == nullptr) {
      ssize_t n = ::recv(fd_, buf, size, 0);
      return n > 0 ? n : 0;
    }
    int n = SSL_read(ssl_, buf, static_cast<int>(size));
    if (n <= 0) {
      ERR_clear_error();
      failed_ = true;
      return 0;
    }
    return n;
  }

  bool Write(std::string_view bytes) {
    while (!bytes.empty()) {
      long n = ssl_ == nullptr ? ::send(fd_, bytes.data(), bytes.size(), MSG_NOSIGNAL)
                               : SSL_write(ssl_, bytes.data(), static_cast<int>(bytes.size()));
      if (n <= 0) {
        ERR_clear_error();
        failed_ = true;
        return false;
      }
      bytes.remove_prefix(static_cast<size_t>(n));
    }
    return true;
  }

 private:
  int fd_;
  SSL* ssl_ = nullptr;
  bool failed_ = false;
  bool cut_ = false;
};

SiteOrigin::SiteOrigin(Transport transport, Manner manner)
    : transport_(transport), manner_(manner) {
  if (transport == Transport::kTls) tls_ = std::make_unique<TlsContext>();
  listenFd_ = ListenOnLoopback(&port_, transport == Transport::kPlainIpv6);
  acceptor_ = std::thread([this] { Accept(); });
}

SiteOrigin::SiteOrigin(const PemIdentity& identity)
    : SiteOrigin(identity, TlsOptions{}, Manner::kHonoursClose) {}

SiteOrigin::SiteOrigin(const PemIdentity& identity, const TlsOptions& options, Manner manner)
    : transport_(Transport::kTls), manner_(manner), neverHandshakes_(options.neverHandshakes) {
  tls_ = std::make_unique<TlsContext>(identity, options);
  listenFd_ = ListenOnLoopback(&port_, false);
  acceptor_ = std::thread([this] { Accept(); });
}

SiteOrigin::~SiteOrigin() {
  {
    std::lock_guard<std::mutex> hold(lock_);
    stopping_ = true;
  }
  ::shutdown(listenFd_, SHUT_RDWR);
  acceptor_.join();
  {
    std::lock_guard<std::mutex> hold(lock_);
    for (int fd : open_)
      ::shutdown(fd, SHUT_RDWR);
  }
  for (std::thread& t : conversations_)
    t.join();
  ::close(listenFd_);
}

void SiteOrigin::Serve(const std::string& target, SiteAnswer answer) {
  std::lock_guard<std::mutex> hold(lock_);
  answers_[target] = std::move(answer);
}

std::string SiteOrigin::Base() const {
  switch (transport_) {
    case Transport::kPlain:
      return "http://127.0.0.1:" + std::to_string(port_);
    case Transport::kPlainIpv6:
      return "http://[::1]:" + std::to_string(port_);
    case Transport::kTls:
      return "https://127.0.0.1:" + std::to_string(port_);
  }
  return "";
}

std::optional<SeenRequest> SiteOrigin::WaitFor(const std::string& target,
                                               std::chrono::milliseconds limit) {
  std::unique_lock<std::mutex> hold(lock_);
  std::optional<SeenRequest> found;
  arrived_.wait_for(hold, limit, [&] {
    for (const SeenRequest& r : requests_) {
      if (r.target == target) {
        found = r;
        return true;
      }
    }
    return false;
  });
  return found;
}

std::vector<SeenRequest> SiteOrigin::Requests() {
  std::lock_guard<std::mutex> hold(lock_);
  return requests_;
}

void SiteOrigin::Record(const SeenRequest& seen) {
  {
    std::lock_guard<std::mutex> hold(lock_);
    requests_.push_back(seen);
  }
  arrived_.notify_all();
}

SiteAnswer SiteOrigin::AnswerFor(const std::string& target) {
  std::lock_guard<std::mutex> hold(lock_);
  auto found = answers_.find(target);
  if (found != answers_.end()) return found->second;
  return SiteAnswer{"text/plain", "not here", "404 Not Found"};
}

void SiteOrigin::Accept() {
  for (;;) {
    int fd = ::accept(listenFd_, nullptr, nullptr);
    if (fd < 0) {
      if (errno == EINTR || errno == ECONNABORTED) continue;
      return;
    }
    std::lock_guard<std::mutex> hold(lock_);
    if (stopping_) {
      ::close(fd);
      return;
    }
    open_.insert(fd);
    conversations_.emplace_back([this, fd] { Converse(fd); });
  }
}

// Serves requests on one connection until the client closes, asks to close, or stays idle.
void SiteOrigin::Converse(int fd) {
  // A TLS write meeting a proxy that has closed (its client gone) raises SIGPIPE: blocked on this
  // thread alone, it ends the conversation and not the test, while the proxy's threads stay as
  // the program runs them.
  sigset_t brokenPipe;
  sigemptyset(&brokenPipe);
  sigaddset(&brokenPipe, SIGPIPE);
  pthread_sigmask(SIG_BLOCK, &brokenPipe, nullptr);
  bool resetting = false;  // the connection ends with a reset, not in good order
  if (neverHandshakes_) {  // holds the connection, silent, until it is closed
    pollfd p{fd, POLLIN, 0};
    ::poll(&p, 1, kIdleMs);
  }
  {
    Stream stream(fd, neverHandshakes_ ? nullptr : tls_.get());
    if (stream.Resumed()) ++resumed_;
    if (stream.SpeaksHttp2())
      ConverseHttp2([&](char* into, size_t size, int ms) { return stream.Read(into, size, ms); },
                    [&](std::string_view bytes) { return stream.Write(bytes); });
    std::string pending;
    char buf[16384];
    while (!stream.Failed() && !stream.SpeaksHttp2()) {
      size_t headEnd;
      while ((headEnd = pending.find("\r\n\r\n")) == std::string::npos) {
        long n = stream.Read(buf, sizeof buf, kIdleMs);
        if (n <= 0) break;
        pending.append(buf, static_cast<size_t>(n));
      }
      if (headEnd == std::string::npos) break;
      SeenRequest seen;
      seen.head = pending.substr(0, headEnd + 4);
      pending.erase(0, headEnd + 4);
      size_t targetStart = seen.head.find(' ') + 1;
      seen.target = seen.head.substr(targetStart, seen.head.find(' ', targetStart) - targetStart);

      if (SameNoCase(HeaderValue(seen.head, "Expect").value_or(""), "100-continue") &&
          !stream.Write("HTTP/1.1 100 Continue\r\n\r\n"))
        break;
      size_t declared =
          std::strtoul(HeaderValue(seen.head, "Content-Length").value_or("0").c_str(), nullptr, 10);
      if (SameNoCase(HeaderValue(seen.head, "Transfer-Encoding").value_or(""), "chunked")) {
        std::string decoded;
        size_t consumed = 0;
        while (!DecodeChunks(pending, &decoded, &consumed)) {
          long n = stream.Read(buf, sizeof buf, kBodyMs);
          if (n <= 0) break;
          pending.append(buf, static_cast<size_t>(n));
        }
        pending.erase(0, consumed);
        pending.insert(0, decoded);
        declared = decoded.size();
      }
      while (pending.size() < declared) {
        long n = stream.Read(buf, sizeof buf, kBodyMs);
        if (n <= 0) break;
        pending.append(buf, static_cast<size_t>(n));
      }
      std::string connection = HeaderValue(seen.head, "Connection").value_or("");
      bool closing = SameNoCase(connection, "close");
      if (closing && declared > 0) {
        long n;
        while ((n = stream.Read(buf, sizeof buf, kSurplusMs)) > 0)
          pending.append(buf, static_cast<size_t>(n));
      }
      size_t bodySize = closing ? pending.size() : std::min(declared, pending.size());
      seen.body = pending.substr(0, bodySize);
      pending.erase(0, bodySize);
      Record(seen);

      SiteAnswer answer = AnswerFor(seen.target);
      if (answer.status == kResetStream) {
        stream.Cut(true);
        resetting = true;
        break;
      }
      if (manner_ == Manner::kCutShort || manner_ == Manner::kResets) {
        bool withLength = manner_ == Manner::kCutShort;
        stream.Write(
            "HTTP/1." + std::string(withLength ? "1 " : "0 ") + answer.status +
            "\r\nContent-Type: " + answer.contentType + "\r\n" +
            (withLength ? "Content-Length: " + std::to_string(answer.body.size()) + "\r\n" : "") +
            "\r\n" + answer.body.substr(0, answer.body.size() / 2));
        std::this_thread::sleep_for(100ms);  // the half reaches the client before the cut
        stream.Cut(!withLength);
        resetting = !withLength;
        break;
      }
      if (manner_ == Manner::kCloseDelimited) {
        stream.Write("HTTP/1.0 " + answer.status + "\r\nContent-Type: " + answer.contentType +
                     "\r\n" + answer.headLines + "\r\n" + answer.body);
        break;
      }
      if (manner_ == Manner::kKeepsAlive) closing = false;
      std::string bytes = "HTTP/1.1 " + answer.status + "\r\nContent-Type: " + answer.contentType +
                          "\r\nContent-Length: " + std::to_string(answer.body.size()) + "\r\n" +
                          answer.headLines + (closing ? "Connection: close\r\n" : "") + "\r\n" +
                          answer.body;
      if (!stream.Write(bytes) || closing) break;
    }
  }
  std::lock_guard<std::mutex> hold(lock_);
  open_.erase(fd);
  if (!resetting) ::shutdown(fd, SHUT_RDWR);
  ::close(fd);
}

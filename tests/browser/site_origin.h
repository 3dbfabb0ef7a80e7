// A loopback web site for tests driven by real clients: several paths with their own answers,
// kept-alive connections as a real origin keeps them, and a record of every request with its
// head and the body bytes that actually arrived.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

using namespace std::chrono_literals;

struct SiteAnswer {
  std::string contentType = "text/html";
  std::string body;
  std::string status = "200 OK";
  std::string headLines{};  // more lines for the answer's head, each ending in "\r\n"
};

struct SeenRequest {
  std::string head;    // request line and header lines, blank line included
  std::string body;    // every byte that followed the head on this request's turn
  std::string target;  // the request line's second word
};

class TlsContext;
struct PemIdentity;

class SiteOrigin {
 public:
  enum class Transport { kPlain, kPlainIpv6, kTls };
  // How the site ends its answers: with a length, closing when asked to (as most do); with a
  // length, keeping the connection whatever the request says; or with no length, closing the
  // connection after each answer (HTTP/1.0, as CGI scripts and small devices answer).
  // Or it cuts its answer short: declaring the whole length and closing halfway through the
  // body (over TLS without close_notify), or with no length and a reset halfway through.
  enum class Manner { kHonoursClose, kKeepsAlive, kCloseDelimited, kCutShort, kResets };

  // What a TLS origin speaks and asks: versions (0: OpenSSL's own bounds; a maximum of TLS 1.1
  // also lowers the security level so that OpenSSL offers it at all), a client certificate, ALPN
  // "h2" alone, or no handshake at all.
  struct TlsOptions {
    int minVersion = 0;
    int maxVersion = 0;
    bool askClientCertificate = false;
    bool onlyHttp2 = false;
    bool neverHandshakes = false;
    // Speaks HTTP/2 to a client that offers it, HTTP/1.1 to others. A request over HTTP/2 is
    // seen with the head "METHOD PATH HTTP/2" and its fields as they came, pseudo-headers first.
    bool http2 = false;
  };

  // An answer whose status is this resets its stream over HTTP/2 (and cuts the connection
  // over HTTP/1.1) instead of answering.
  static constexpr const char* kResetStream = "reset";

  explicit SiteOrigin(Transport transport = Transport::kPlain,
                      Manner manner = Manner::kHonoursClose);
  // A TLS origin showing the given certificate instead of one made on the spot.
  explicit SiteOrigin(const PemIdentity& identity);
  SiteOrigin(const PemIdentity& identity, const TlsOptions& options, Manner manner);
  ~SiteOrigin();
  SiteOrigin(const SiteOrigin&) = delete;
  SiteOrigin& operator=(const SiteOrigin&) = delete;

  // What a request for exactly this target gets; other targets get a 404.
  void Serve(const std::string& target, SiteAnswer answer);

  uint16_t Port() const { return port_; }
  // "http://127.0.0.1:PORT", "http://[::1]:PORT" or "https://127.0.0.1:PORT".
  std::string Base() const;

  // The first request for target, waiting for it up to limit.
  std::optional<SeenRequest> WaitFor(const std::string& target,
                                     std::chrono::milliseconds limit = 10s);
  std::vector<SeenRequest> Requests();
  // TLS connections that resumed an earlier session.
  int Resumed() const { return resumed_; }

 private:
  class Stream;
  void Accept();
  void Converse(int fd);
  // Serves one HTTP/2 connection through read (as Stream::Read) and write.
  void ConverseHttp2(const std::function<long(char*, size_t, int)>& read,
                     const std::function<bool(std::string_view)>& write);
  void Record(const SeenRequest& seen);
  SiteAnswer AnswerFor(const std::string& target);

  Transport transport_;
  Manner manner_ = Manner::kHonoursClose;
  bool neverHandshakes_ = false;
  std::unique_ptr<TlsContext> tls_;
  int listenFd_ = -1;
  uint16_t port_ = 0;
  std::mutex lock_;
  std::condition_variable arrived_;
  std::map<std::string, SiteAnswer> answers_;
  std::vector<SeenRequest> requests_;
  std::set<int> open_;
  bool stopping_ = false;
  std::atomic<int> resumed_{0};
  std::vector<std::thread> conversations_;
  std::thread acceptor_;
};

// The value of the first header line named `name` (any letter case, without the colon) in
// head, or nullopt.
std::optional<std::string> HeaderValue(std::string_view head, std::string_view name);

// How many header lines named `name` (any letter case) head holds.
int HeaderCount(std::string_view head, std::string_view name);

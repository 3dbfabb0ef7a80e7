// Load generator of the benchmark: one TCP connection per request, on loopback only.
//
//   loadgen rate --connect 127.0.0.1:PORT --host 127.0.0.1:ORIGIN --path /1k [--proxy]
//                --concurrency N --duration S [--warmup S] [--sources K] [--timeout S]
//                [--keepalive]
//   loadgen bulk --connect ... --host ... --path /100m [--proxy] --parallel N [--timeout S]
//   loadgen head --connect ... --host ... --path /1k [--proxy]
//   loadgen first --connect ... --host ... --path /1k [--proxy] --tls
//   any mode: [--tls] speaks HTTPS to the origin: TLS at once when direct, inside a CONNECT
//             tunnel with --proxy; the session is kept and offered again, as browsers do.
//
// rate keeps N exchanges in flight for S seconds; each opens a connection, sends one request
// with "Connection: close" (absolute form with --proxy), and closes its side as soon as the
// answer's Content-Length bytes have arrived, whatever the other side does afterwards. The
// latency of an exchange runs from the connect() call to its last answer byte, so time spent
// waiting in a listen backlog or for a retransmitted SYN counts. bulk downloads once on each of N
// parallel connections. head prints the head of one answer. first times one exchange to a host
// and then the next one, after it. Results are one JSON line on stdout.
//
// With --keepalive, rate sends "Connection: keep-alive" instead and sends the next request on
// the same connection as soon as an answer whose framing allows it has arrived
// (loadgen::CanReuse), as a browser does; the latency of such a request runs from its first byte
// sent. A kept connection that the other side closes before any byte of an answer is counted
// apart ("stale_closes") and replaced.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <sys/epoll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "loadgen_lib.h"

namespace {

using Clock = std::chrono::steady_clock;

struct Options {
  std::string mode;
  std::string connectIp = "127.0.0.1";
  int connectPort = 0;
  std::string host;
  std::string path = "/1k";
  bool viaProxy = false;
  bool tls = false;
  bool keepAlive = false;
  int concurrency = 1;
  double duration = 10;
  double warmup = 1;
  int sources = 8;
  double timeout = 30;
};

[[noreturn]] void Usage(const char* why) {
  std::fprintf(stderr, "loadgen: %s\n", why);
  std::exit(2);
}

Options ParseOptions(int argc, char** argv) {
  if (argc < 2) Usage("mode missing (rate, bulk or head)");
  Options o;
  o.mode = argv[1];
  for (int i = 2; i < argc; ++i) {
    std::string a = argv[i];
    auto value = [&]() -> std::string {
      if (i + 1 >= argc) Usage(("value missing after " + a).c_str());
      return argv[++i];
    };
    if (a == "--connect") {
      std::string v = value();
      size_t colon = v.rfind(':');
      if (colon == std::string::npos) Usage("--connect needs IP:PORT");
      o.connectIp = v.substr(0, colon);
      o.connectPort = std::atoi(v.c_str() + colon + 1);
    } else if (a == "--host") {
      o.host = value();
    } else if (a == "--path") {
      o.path = value();
    } else if (a == "--proxy") {
      o.viaProxy = true;
    } else if (a == "--tls") {
      o.tls = true;
    } else if (a == "--keepalive") {
      o.keepAlive = true;
    } else if (a == "--concurrency" || a == "--parallel") {
      o.concurrency = std::atoi(value().c_str());
    } else if (a == "--duration") {
      o.duration = std::atof(value().c_str());
    } else if (a == "--warmup") {
      o.warmup = std::atof(value().c_str());
    } else if (a == "--sources") {
      o.sources = std::atoi(value().c_str());
    } else if (a == "--timeout") {
      o.timeout = std::atof(value().c_str());
    } else {
      Usage(("unknown option " + a).c_str());
    }
  }
  in_addr probe{};
  if (inet_pton(AF_INET, o.connectIp.c_str(), &probe) != 1 || (ntohl(probe.s_addr) >> 24) != 127)
    Usage("--connect must be an address in 127.0.0.0/8");
  if (o.connectPort <= 0 || o.connectPort > 65535) Usage("bad port");
  if (o.host.empty()) o.host = o.connectIp + ":" + std::to_string(o.connectPort);
  if (o.concurrency < 1 || o.sources < 1 || o.sources > 250) Usage("bad count");
  return o;
}

double Seconds(Clock::duration d) {
  return std::chrono::duration<double>(d).count();
}

enum class Phase { kConnecting, kTunnelSending, kTunnelReading, kHandshake, kSending, kReading };

struct Conn {
  int fd = -1;
  SSL* ssl = nullptr;
  Phase phase = Phase::kConnecting;
  Clock::time_point start;
  size_t sent = 0;
  std::string head;  // bytes received until the head is complete
  bool headDone = false;
  loadgen::AnswerHead parsed;
  long long bodyBytes = 0;
  long long totalBytes = 0;
  bool reused = false;  // this request is not the connection's first
};

struct Counters {
  long long completed = 0;     // within the measured window
  long long allCompleted = 0;  // warm-up and tail included, for CPU per request
  long long connectErrors = 0;
  long long resets = 0;
  long long earlyCloses = 0;
  long long timeouts = 0;
  long long badStatus = 0;
  long long overOneSecond = 0;  // measured exchanges of 1 s or more: a SYN was retransmitted
  long long handshakes = 0;
  long long resumed = 0;      // handshakes that resumed the kept session
  long long connections = 0;  // connections opened
  long long reused = 0;       // completed exchanges on a connection that had carried one
  long long staleCloses = 0;  // kept connections closed by the other side before an answer
  long long bytes = 0;
  std::vector<uint32_t> latencyUs;
  std::vector<double> bulkSeconds;
  std::vector<long long> bulkBytes;
};

class Runner {
 public:
  explicit Runner(const Options& o)
      : o_(o), request_(loadgen::BuildRequest(o.host, o.path, o.viaProxy && !o.tls, o.keepAlive)) {
    if (o.tls) {
      tunnelRequest_ = "CONNECT " + o.host + " HTTP/1.1\r\nHost: " + o.host + "\r\n\r\n";
      tls_ = SSL_CTX_new(TLS_client_method());
      SSL_CTX_set_verify(tls_, SSL_VERIFY_NONE, nullptr);  // the proxy's checks are measured
      SSL_CTX_set_session_cache_mode(tls_, SSL_SESS_CACHE_OFF);
      static const unsigned char kAlpn[] = "\x08http/1.1";
      SSL_CTX_set_alpn_protos(tls_, kAlpn, sizeof kAlpn - 1);
    }
    epoll_ = epoll_create1(EPOLL_CLOEXEC);
    conns_.resize(static_cast<size_t>(o.concurrency));
    buf_.resize(256 * 1024);
    inet_pton(AF_INET, o.connectIp.c_str(), &target_.sin_addr);
    target_.sin_family = AF_INET;
    target_.sin_port = htons(static_cast<uint16_t>(o.connectPort));
  }

  // rate: keep every slot busy until the deadline. once: one exchange per slot.
  void Run(bool replace, double measureFrom, double measureTo, double hardStop) {
    replace_ = replace;
    begin_ = Clock::now();
    from_ = begin_ +
            std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(measureFrom));
    to_ = begin_ +
          std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(measureTo));
    auto stop = begin_ + std::chrono::duration_cast<Clock::duration>(
                             std::chrono::duration<double>(hardStop));
    for (size_t i = 0; i < conns_.size(); ++i)
      Open(i);
    epoll_event events[128];
    auto lastScan = Clock::now();
    while (active_ > 0 || (replace_ && Clock::now() < to_)) {
      auto now = Clock::now();
      if ((replace_ && now >= to_) || now >= stop) break;
      int n = epoll_wait(epoll_, events, 128, 10);
      for (int k = 0; k < n; ++k)
        Handle(static_cast<size_t>(events[k].data.u64), events[k].events);
      now = Clock::now();
      if (now - lastScan > std::chrono::milliseconds(100)) {
        lastScan = now;
        for (size_t i = 0; i < conns_.size(); ++i) {
          if (conns_[i].fd >= 0 && Seconds(now - conns_[i].start) > o_.timeout) {
            ++c_.timeouts;
            Finish(i, false);
          }
          if (replace_ && conns_[i].fd < 0 && now < to_) Open(i);
        }
      }
    }
    end_ = Clock::now();
    for (size_t i = 0; i < conns_.size(); ++i) {
      if (conns_[i].fd >= 0) {
        if (!replace_) ++c_.timeouts;
        close(conns_[i].fd);
        conns_[i].fd = -1;
      }
    }
  }

  const Counters& counts() const { return c_; }
  Clock::time_point begin() const { return begin_; }
  Clock::time_point end() const { return end_; }

 private:
  void Open(size_t i) {
    Conn& c = conns_[i];
    c = Conn{};
    c.start = Clock::now();
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0) {
      ++c_.connectErrors;
      return;
    }
    int one = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    if (o_.sources > 1) {
      // Several loopback source addresses, so that the client's ports do not run out while a
      // proxy keeps finished connections open for a while.
      setsockopt(fd, IPPROTO_IP, IP_BIND_ADDRESS_NO_PORT, &one, sizeof one);
      sockaddr_in src{};
      src.sin_family = AF_INET;
      src.sin_addr.s_addr = htonl(0x7F000001u + static_cast<uint32_t>(nextSource_++ % o_.sources));
      bind(fd, reinterpret_cast<sockaddr*>(&src), sizeof src);
    }
    ++c_.connections;
    int r = connect(fd, reinterpret_cast<sockaddr*>(&target_), sizeof target_);
    if (r != 0 && errno != EINPROGRESS) {
      ++c_.connectErrors;
      close(fd);
      usleep(1000);
      return;
    }
    c.fd = fd;
    c.phase = Phase::kConnecting;
    epoll_event e{};
    e.events = EPOLLOUT;
    e.data.u64 = i;
    epoll_ctl(epoll_, EPOLL_CTL_ADD, fd, &e);
    ++active_;
  }

  // The answer is whole: the connection carries the next request when it may, or closes.
  void Complete(size_t i) {
    Conn& c = conns_[i];
    auto now = Clock::now();
    if (!o_.keepAlive || !replace_ || now >= to_ || !loadgen::CanReuse(c.parsed)) {
      Finish(i, true);
      return;
    }
    Account(c, true, now);
    SSL* ssl = c.ssl;
    int fd = c.fd;
    c = Conn{};
    c.fd = fd;
    c.ssl = ssl;
    c.start = now;
    c.reused = true;
    c.phase = Phase::kSending;
    Want(i, EPOLLOUT);
  }

  void Account(const Conn& c, bool complete, Clock::time_point now) {
    if (complete && c.parsed.status != 200) {
      ++c_.badStatus;
      complete = false;
    }
    if (complete) ++c_.allCompleted;
    bool inWindow = !replace_ || (c.start >= from_ && now <= to_);
    if (complete && inWindow) {
      ++c_.completed;
      if (c.reused) ++c_.reused;
      c_.bytes += c.totalBytes;
      auto us = std::chrono::duration_cast<std::chrono::microseconds>(now - c.start).count();
      c_.latencyUs.push_back(static_cast<uint32_t>(us));
      if (us >= 1000000) ++c_.overOneSecond;
      if (!replace_) {
        c_.bulkSeconds.push_back(Seconds(now - c.start));
        c_.bulkBytes.push_back(c.bodyBytes);
      }
    }
  }

  void Finish(size_t i, bool complete) {
    Conn& c = conns_[i];
    auto now = Clock::now();
    if (c.ssl != nullptr) {
      if (complete) {
        // The newest ticket is offered next time; a goodbye keeps it usable.
        SSL_SESSION* kept = SSL_get1_session(c.ssl);
        if (kept != nullptr && SSL_SESSION_is_resumable(kept)) {
          SSL_SESSION_free(session_);
          session_ = kept;
        } else {
          SSL_SESSION_free(kept);
        }
        SSL_shutdown(c.ssl);
      }
      SSL_free(c.ssl);
      c.ssl = nullptr;
      ERR_clear_error();
    }
    close(c.fd);
    c.fd = -1;
    --active_;
    Account(c, complete, now);
    if (replace_ && now < to_) Open(i);
  }

  void Handle(size_t i, uint32_t events) {
    Conn& c = conns_[i];
    if (c.fd < 0) return;
    if (c.phase == Phase::kConnecting) {
      int err = 0;
      socklen_t len = sizeof err;
      getsockopt(c.fd, SOL_SOCKET, SO_ERROR, &err, &len);
      if (err != 0 || (events & (EPOLLERR | EPOLLHUP)) != 0) {
        ++c_.connectErrors;
        Finish(i, false);
        return;
      }
      c.phase = !o_.tls ? Phase::kSending : o_.viaProxy ? Phase::kTunnelSending : Phase::kHandshake;
    }
    if (c.phase == Phase::kTunnelSending || c.phase == Phase::kTunnelReading) {
      if (!Tunnel(i)) return;
    }
    if (c.phase == Phase::kHandshake) {
      if (!Handshake(i)) return;
    }
    if (c.phase == Phase::kSending) {
      ssize_t n = c.ssl != nullptr ? Write(c, request_.data() + c.sent, request_.size() - c.sent)
                                   : send(c.fd, request_.data() + c.sent, request_.size() - c.sent,
                                          MSG_NOSIGNAL);
      if (n < 0) {
        if (errno == EAGAIN) return;
        ++c_.resets;
        Finish(i, false);
        return;
      }
      c.sent += static_cast<size_t>(n);
      if (c.sent < request_.size()) return;
      c.phase = Phase::kReading;
      Want(i, EPOLLIN);
      return;
    }
    // Reading: drain what is there, stopping as soon as the answer is whole.
    for (;;) {
      ssize_t n = c.ssl != nullptr ? Read(c, buf_.data(), buf_.size())
                                   : recv(c.fd, buf_.data(), buf_.size(), 0);
      if (n <= 0 && c.reused && c.totalBytes == 0 && (n == 0 || errno != EAGAIN)) {
        ++c_.staleCloses;  // a kept connection the other side had closed: a new one replaces it
        Finish(i, false);
        return;
      }
      if (n < 0) {
        if (errno == EAGAIN) return;
        ++c_.resets;
        Finish(i, false);
        return;
      }
      if (n == 0) {
        // The other side closed: whole only for an answer without Content-Length.
        if (c.headDone && c.parsed.contentLength < 0) {
          Finish(i, true);
        } else {
          ++c_.earlyCloses;
          Finish(i, false);
        }
        return;
      }
      c.totalBytes += n;
      if (!c.headDone) {
        c.head.append(buf_.data(), static_cast<size_t>(n));
        if (loadgen::ParseAnswerHead(c.head, &c.parsed)) {
          c.headDone = true;
          c.bodyBytes = static_cast<long long>(c.head.size() - c.parsed.headBytes);
          c.head.clear();
        } else if (c.head.size() > 65536) {
          ++c_.badStatus;
          Finish(i, false);
          return;
        }
      } else {
        c.bodyBytes += n;
      }
      if (c.headDone && c.parsed.contentLength >= 0 && c.bodyBytes >= c.parsed.contentLength) {
        Complete(i);
        return;
      }
    }
  }

  void Want(size_t i, uint32_t events) {
    epoll_event e{};
    e.events = events;
    e.data.u64 = i;
    epoll_ctl(epoll_, EPOLL_CTL_MOD, conns_[i].fd, &e);
  }

  // The CONNECT and its answer, whose head is all the proxy sends before the TLS. False while
  // it goes on, or when it failed (the connection is then finished).
  bool Tunnel(size_t i) {
    Conn& c = conns_[i];
    if (c.phase == Phase::kTunnelSending) {
      ssize_t n =
          send(c.fd, tunnelRequest_.data() + c.sent, tunnelRequest_.size() - c.sent, MSG_NOSIGNAL);
      if (n < 0 && errno == EAGAIN) return false;
      if (n < 0) {
        ++c_.resets;
        Finish(i, false);
        return false;
      }
      c.sent += static_cast<size_t>(n);
      if (c.sent < tunnelRequest_.size()) return false;
      c.sent = 0;
      c.phase = Phase::kTunnelReading;
      Want(i, EPOLLIN);
      return false;
    }
    char b[1024];
    ssize_t n = recv(c.fd, b, sizeof b, 0);
    if (n < 0 && errno == EAGAIN) return false;
    if (n <= 0) {
      ++c_.earlyCloses;
      Finish(i, false);
      return false;
    }
    c.head.append(b, static_cast<size_t>(n));
    size_t end = c.head.find("\r\n\r\n");
    if (end == std::string::npos) return false;
    if (c.head.compare(9, 3, "200") != 0 || end + 4 != c.head.size()) {
      ++c_.badStatus;
      Finish(i, false);
      return false;
    }
    c.head.clear();
    c.phase = Phase::kHandshake;
    return true;
  }

  // The TLS handshake; true once it is done.
  bool Handshake(size_t i) {
    Conn& c = conns_[i];
    if (c.ssl == nullptr) {
      c.ssl = SSL_new(tls_);
      SSL_set_fd(c.ssl, c.fd);
      SSL_set_connect_state(c.ssl);
      if (session_ != nullptr) SSL_set_session(c.ssl, session_);
    }
    int r = SSL_do_handshake(c.ssl);
    if (r == 1) {
      ++c_.handshakes;
      if (SSL_session_reused(c.ssl)) ++c_.resumed;
      c.phase = Phase::kSending;
      Want(i, EPOLLOUT);
      return true;
    }
    int why = SSL_get_error(c.ssl, r);
    if (why == SSL_ERROR_WANT_READ || why == SSL_ERROR_WANT_WRITE) {
      Want(i, why == SSL_ERROR_WANT_READ ? EPOLLIN : EPOLLOUT);
      return false;
    }
    ++c_.resets;
    Finish(i, false);
    return false;
  }

  // SSL_write and SSL_read shaped as send and recv: EAGAIN while TLS waits, 0 at the end.
  static ssize_t Write(Conn& c, const char* data, size_t size) {
    int n = SSL_write(c.ssl, data, static_cast<int>(size));
    if (n > 0) return n;
    int why = SSL_get_error(c.ssl, n);
    errno = (why == SSL_ERROR_WANT_READ || why == SSL_ERROR_WANT_WRITE) ? EAGAIN : EPIPE;
    return -1;
  }
  static ssize_t Read(Conn& c, char* data, size_t size) {
    int n = SSL_read(c.ssl, data, static_cast<int>(size));
    if (n > 0) return n;
    int why = SSL_get_error(c.ssl, n);
    if (why == SSL_ERROR_WANT_READ || why == SSL_ERROR_WANT_WRITE) {
      errno = EAGAIN;
      return -1;
    }
    if (why == SSL_ERROR_ZERO_RETURN || why == SSL_ERROR_SYSCALL) return 0;
    errno = ECONNRESET;
    return -1;
  }

  const Options& o_;
  std::string request_;
  std::string tunnelRequest_;
  SSL_CTX* tls_ = nullptr;
  SSL_SESSION* session_ = nullptr;
  int epoll_ = -1;
  sockaddr_in target_{};
  std::vector<Conn> conns_;
  std::vector<char> buf_;
  Counters c_;
  int active_ = 0;
  unsigned nextSource_ = 0;
  bool replace_ = true;
  Clock::time_point begin_, from_, to_, end_;
};

double ClientCpuSeconds() {
  rusage u{};
  getrusage(RUSAGE_SELF, &u);
  return static_cast<double>(u.ru_utime.tv_sec + u.ru_stime.tv_sec) +
         static_cast<double>(u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

int Head(const Options& o) {
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in to{};
  to.sin_family = AF_INET;
  to.sin_port = htons(static_cast<uint16_t>(o.connectPort));
  inet_pton(AF_INET, o.connectIp.c_str(), &to.sin_addr);
  timeval tv{10, 0};
  setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
  if (connect(fd, reinterpret_cast<sockaddr*>(&to), sizeof to) != 0) {
    std::perror("loadgen: connect");
    return 1;
  }
  std::string req = loadgen::BuildRequest(o.host, o.path, o.viaProxy);
  send(fd, req.data(), req.size(), MSG_NOSIGNAL);
  std::string got;
  char b[4096];
  loadgen::AnswerHead h;
  while (!loadgen::ParseAnswerHead(got, &h)) {
    ssize_t n = recv(fd, b, sizeof b, 0);
    if (n <= 0) break;
    got.append(b, static_cast<size_t>(n));
  }
  close(fd);
  size_t end = got.find("\r\n\r\n");
  std::fwrite(got.data(), 1, end == std::string::npos ? got.size() : end + 2, stdout);
  return end == std::string::npos ? 1 : 0;
}

}  // namespace

int main(int argc, char** argv) {
  Options o = ParseOptions(argc, argv);
  if (o.mode == "head") return Head(o);
  Runner runner(o);
  if (o.mode == "rate") {
    runner.Run(true, o.warmup, o.warmup + o.duration, o.warmup + o.duration + 1);
    const Counters& c = runner.counts();
    double rps = static_cast<double>(c.completed) / o.duration;
    std::printf(
        "{\"mode\":\"rate\",\"concurrency\":%d,\"duration_s\":%.3f,\"requests\":%lld,"
        "\"all_requests\":%lld,"
        "\"rps\":%.1f,\"p50_ms\":%.3f,\"p90_ms\":%.3f,\"p99_ms\":%.3f,\"p999_ms\":%.3f,"
        "\"max_ms\":%.3f,\"over_1s\":%lld,"
        "\"connect_errors\":%lld,\"resets\":%lld,\"early_closes\":%lld,\"timeouts\":%lld,"
        "\"bad_status\":%lld,\"handshakes\":%lld,\"resumed\":%lld,\"connections\":%lld,"
        "\"reused\":%lld,\"stale_closes\":%lld,\"client_cpu_s\":%.3f}\n",
        o.concurrency, o.duration, c.completed, c.allCompleted, rps,
        loadgen::Percentile(c.latencyUs, 50) / 1e3, loadgen::Percentile(c.latencyUs, 90) / 1e3,
        loadgen::Percentile(c.latencyUs, 99) / 1e3, loadgen::Percentile(c.latencyUs, 99.9) / 1e3,
        loadgen::Percentile(c.latencyUs, 100) / 1e3, c.overOneSecond, c.connectErrors, c.resets,
        c.earlyCloses, c.timeouts, c.badStatus, c.handshakes, c.resumed, c.connections, c.reused,
        c.staleCloses, ClientCpuSeconds());
    return 0;
  }
  if (o.mode == "first") {
    runner.Run(false, 0, o.timeout, o.timeout);
    runner.Run(false, 0, o.timeout, o.timeout);
    const Counters& c = runner.counts();
    if (c.latencyUs.size() != 2) {
      std::printf("{\"mode\":\"first\",\"completed\":%zu}\n", c.latencyUs.size());
      return 1;
    }
    std::printf("{\"mode\":\"first\",\"first_ms\":%.3f,\"next_ms\":%.3f,\"resumed\":%lld}\n",
                c.latencyUs[0] / 1e3, c.latencyUs[1] / 1e3, c.resumed);
    return 0;
  }
  if (o.mode == "bulk") {
    runner.Run(false, 0, o.timeout, o.timeout);
    const Counters& c = runner.counts();
    double elapsed = Seconds(runner.end() - runner.begin());
    long long body = 0;
    for (long long b : c.bulkBytes)
      body += b;
    std::string each;
    for (double s : c.bulkSeconds)
      each += (each.empty() ? "" : ",") + std::to_string(s);
    std::printf(
        "{\"mode\":\"bulk\",\"parallel\":%d,\"completed\":%lld,\"body_bytes\":%lld,"
        "\"elapsed_s\":%.4f,\"mb_per_s\":%.1f,\"each_s\":[%s],\"errors\":%lld,"
        "\"client_cpu_s\":%.3f}\n",
        o.concurrency, c.completed, body, elapsed, static_cast<double>(body) / 1e6 / elapsed,
        each.c_str(), c.connectErrors + c.resets + c.earlyCloses + c.timeouts + c.badStatus,
        ClientCpuSeconds());
    return c.completed == o.concurrency ? 0 : 1;
  }
  Usage("mode must be rate, bulk or head");
}

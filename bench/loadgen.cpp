// Load generator of the benchmark: one TCP connection per request, on loopback only.
//
//   loadgen rate --connect 127.0.0.1:PORT --host 127.0.0.1:ORIGIN --path /1k [--proxy]
//                --concurrency N --duration S [--warmup S] [--sources K] [--timeout S]
//                [--keepalive] [--tls --h2 --streams M]
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
//
// With --tls --h2, rate offers "h2" and "http/1.1" by ALPN, as browsers do, and keeps M streams
// in flight on each of the N connections, a new stream as soon as one ends; the latency of a
// stream runs from its submission (from connect() for a connection's first M). A connection whose
// peer chose http/1.1 (a proxy that speaks only HTTP/1.1 inside the tunnel) goes on as with
// --keepalive, one request at a time, and is counted in "h1_connections". Streams the server
// refused after its GOAWAY count as "stale_closes"; the connection is then replaced.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <nghttp2/nghttp2.h>
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
#include <map>
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
  bool h2 = false;
  int streams = 1;  // per connection, with h2
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
    } else if (a == "--h2") {
      o.h2 = true;
    } else if (a == "--streams") {
      o.streams = std::atoi(value().c_str());
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
  if (o.concurrency < 1 || o.streams < 1 || o.sources < 1 || o.sources > 250) Usage("bad count");
  if (o.h2 && (!o.tls || o.mode != "rate")) Usage("--h2 needs --tls and the rate mode");
  // A connection whose peer does not choose h2 falls back to requests kept on it one at a time.
  if (o.h2) o.keepAlive = true;
  return o;
}

double Seconds(Clock::duration d) {
  return std::chrono::duration<double>(d).count();
}

enum class Phase { kConnecting, kTunnelSending, kTunnelReading, kHandshake, kSending, kReading };

struct Stream {
  Clock::time_point start;
  int status = 0;
  long long bodyBytes = 0;
  bool reused = false;
};

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
  // h2: the session, its streams in flight and the bytes it has produced that TLS has not taken.
  nghttp2_session* h2 = nullptr;
  std::map<int32_t, Stream> streams;
  std::string out;
  int streamsDone = 0;
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
  long long resumed = 0;        // handshakes that resumed the kept session
  long long connections = 0;    // connections opened
  long long reused = 0;         // completed exchanges on a connection that had carried one
  long long staleCloses = 0;    // kept connections closed by the other side before an answer,
                                // and h2 streams refused after a GOAWAY
  long long h2Connections = 0;  // handshakes that chose h2
  long long h1Connections = 0;  // with --h2, handshakes whose peer chose http/1.1
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
      static const unsigned char kAlpnH2[] = "\x02h2\x08http/1.1";
      if (o.h2) {
        SSL_CTX_set_alpn_protos(tls_, kAlpnH2, sizeof kAlpnH2 - 1);
      } else {
        SSL_CTX_set_alpn_protos(tls_, kAlpn, sizeof kAlpn - 1);
      }
      // The h2 output buffer grows while TLS waits to take it.
      SSL_CTX_set_mode(tls_, SSL_MODE_ENABLE_PARTIAL_WRITE | SSL_MODE_ACCEPT_MOVING_WRITE_BUFFER);
    }
    if (o.h2) {
      nghttp2_session_callbacks_new(&h2Callbacks_);
      nghttp2_session_callbacks_set_on_header_callback(h2Callbacks_, OnH2Header);
      nghttp2_session_callbacks_set_on_data_chunk_recv_callback(h2Callbacks_, OnH2Data);
      nghttp2_session_callbacks_set_on_stream_close_callback(h2Callbacks_, OnH2StreamClose);
      auto nv = [](const std::string& name, const std::string& value) {
        return nghttp2_nv{reinterpret_cast<uint8_t*>(const_cast<char*>(name.data())),
                          reinterpret_cast<uint8_t*>(const_cast<char*>(value.data())), name.size(),
                          value.size(), NGHTTP2_NV_FLAG_NONE};
      };
      static const std::string kNames[] = {":method", ":scheme",    ":authority",
                                           ":path",   "user-agent", "accept"};
      h2Values_ = {"GET", "https", o.host, o.path, "corvane-bench/1", "*/*"};
      for (size_t k = 0; k < h2Values_.size(); ++k)
        h2Headers_.push_back(nv(kNames[k], h2Values_[k]));
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
    Count(c.parsed.status, c.start, c.reused, c.totalBytes, c.bodyBytes, complete, now);
  }

  void Count(int status, Clock::time_point start, bool reused, long long bytes, long long body,
             bool complete, Clock::time_point now) {
    if (complete && status != 200) {
      ++c_.badStatus;
      complete = false;
    }
    if (complete) ++c_.allCompleted;
    bool inWindow = !replace_ || (start >= from_ && now <= to_);
    if (complete && inWindow) {
      ++c_.completed;
      if (reused) ++c_.reused;
      c_.bytes += bytes;
      auto us = std::chrono::duration_cast<std::chrono::microseconds>(now - start).count();
      c_.latencyUs.push_back(static_cast<uint32_t>(us));
      if (us >= 1000000) ++c_.overOneSecond;
      if (!replace_) {
        c_.bulkSeconds.push_back(Seconds(now - start));
        c_.bulkBytes.push_back(body);
      }
    }
  }

  void Finish(size_t i, bool complete) {
    Conn& c = conns_[i];
    auto now = Clock::now();
    bool h2 = c.h2 != nullptr;  // its streams were counted as each ended
    nghttp2_session_del(c.h2);
    c.h2 = nullptr;
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
    if (!h2) Account(c, complete, now);
    if (replace_ && now < to_) Open(i);
  }

  void Handle(size_t i, uint32_t events) {
    Conn& c = conns_[i];
    if (c.fd < 0) return;
    if (c.h2 != nullptr) {
      PumpH2(i);
      return;
    }
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
      if (o_.h2) {
        const unsigned char* proto = nullptr;
        unsigned len = 0;
        SSL_get0_alpn_selected(c.ssl, &proto, &len);
        if (len == 2 && std::memcmp(proto, "h2", 2) == 0) {
          ++c_.h2Connections;
          StartH2(i);
          return false;
        }
        ++c_.h1Connections;
      }
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

  // h2 on a connection whose handshake chose it: the client's SETTINGS and the first streams,
  // timed from connect() as the first request of any connection is.
  void StartH2(size_t i) {
    Conn& c = conns_[i];
    nghttp2_session_client_new(&c.h2, h2Callbacks_, this);
    nghttp2_submit_settings(c.h2, NGHTTP2_FLAG_NONE, nullptr, 0);
    for (int k = 0; k < o_.streams; ++k)
      Submit(c, c.start);
    PumpH2(i);
  }

  bool Submit(Conn& c, Clock::time_point start) {
    int32_t id = nghttp2_submit_request(c.h2, nullptr, h2Headers_.data(), h2Headers_.size(),
                                        nullptr, nullptr);
    if (id < 0) return false;
    c.streams[id] = Stream{start, 0, 0, c.streamsDone > 0};
    return true;
  }

  // Feeds what TLS has to the session (whose callbacks count the streams that end), tops the
  // streams up again, and hands the session's output to TLS.
  void PumpH2(size_t i) {
    Conn& c = conns_[i];
    h2Conn_ = i;
    for (;;) {
      ssize_t n = Read(c, buf_.data(), buf_.size());
      if (n > 0) {
        if (nghttp2_session_mem_recv(c.h2, reinterpret_cast<const uint8_t*>(buf_.data()),
                                     static_cast<size_t>(n)) < 0) {
          ++c_.resets;
          Finish(i, false);
          return;
        }
        continue;
      }
      if (n < 0 && errno == EAGAIN) break;
      // The other side closed: in order only when no stream was left waiting.
      if (!c.streams.empty()) ++c_.earlyCloses;
      Finish(i, c.streams.empty());
      return;
    }
    auto now = Clock::now();
    bool more = replace_ && now < to_ && nghttp2_session_check_request_allowed(c.h2) != 0;
    while (more && static_cast<int>(c.streams.size()) < o_.streams && Submit(c, now)) {
    }
    if (c.streams.empty() && !more) {
      // After the server's GOAWAY, or at the end: a new connection takes over while it may.
      Finish(i, true);
      return;
    }
    for (;;) {
      const uint8_t* data = nullptr;
      ssize_t len = nghttp2_session_mem_send(c.h2, &data);
      if (len < 0) {
        ++c_.resets;
        Finish(i, false);
        return;
      }
      if (len == 0) break;
      c.out.append(reinterpret_cast<const char*>(data), static_cast<size_t>(len));
    }
    while (!c.out.empty()) {
      ssize_t n = Write(c, c.out.data(), c.out.size());
      if (n < 0 && errno == EAGAIN) break;
      if (n < 0) {
        ++c_.resets;
        Finish(i, false);
        return;
      }
      c.out.erase(0, static_cast<size_t>(n));
    }
    Want(i, c.out.empty() ? EPOLLIN : EPOLLIN | EPOLLOUT);
  }

  // The session's callbacks, on the connection PumpH2 is feeding.
  static Stream* H2Stream(void* self, int32_t id) {
    Runner* r = static_cast<Runner*>(self);
    auto& streams = r->conns_[r->h2Conn_].streams;
    auto it = streams.find(id);
    return it == streams.end() ? nullptr : &it->second;
  }
  static int OnH2Header(nghttp2_session*, const nghttp2_frame* frame, const uint8_t* name,
                        size_t namelen, const uint8_t* value, size_t valuelen, uint8_t,
                        void* self) {
    Stream* s = H2Stream(self, frame->hd.stream_id);
    if (s != nullptr && frame->hd.type == NGHTTP2_HEADERS && namelen == 7 &&
        std::memcmp(name, ":status", 7) == 0)
      s->status = std::atoi(std::string(reinterpret_cast<const char*>(value), valuelen).c_str());
    return 0;
  }
  static int OnH2Data(nghttp2_session*, uint8_t, int32_t id, const uint8_t*, size_t len,
                      void* self) {
    if (Stream* s = H2Stream(self, id)) s->bodyBytes += static_cast<long long>(len);
    return 0;
  }
  static int OnH2StreamClose(nghttp2_session*, int32_t id, uint32_t error, void* self) {
    Runner* r = static_cast<Runner*>(self);
    Conn& c = r->conns_[r->h2Conn_];
    auto it = c.streams.find(id);
    if (it == c.streams.end()) return 0;
    Stream s = it->second;
    c.streams.erase(it);
    auto now = Clock::now();
    if (error == NGHTTP2_REFUSED_STREAM) {
      ++r->c_.staleCloses;  // not processed: a later stream or connection asks again
    } else if (error != NGHTTP2_NO_ERROR) {
      ++r->c_.resets;
    } else {
      r->Count(s.status, s.start, s.reused, s.bodyBytes, s.bodyBytes, true, now);
      ++c.streamsDone;
      c.start = now;  // progress: the timeout runs from the last stream that ended
    }
    return 0;
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
  nghttp2_session_callbacks* h2Callbacks_ = nullptr;
  std::vector<std::string> h2Values_;  // what h2Headers_ points at
  std::vector<nghttp2_nv> h2Headers_;
  size_t h2Conn_ = 0;  // the connection whose session is being fed
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
        "\"reused\":%lld,\"stale_closes\":%lld,\"streams\":%d,\"h2_connections\":%lld,"
        "\"h1_connections\":%lld,\"client_cpu_s\":%.3f}\n",
        o.concurrency, o.duration, c.completed, c.allCompleted, rps,
        loadgen::Percentile(c.latencyUs, 50) / 1e3, loadgen::Percentile(c.latencyUs, 90) / 1e3,
        loadgen::Percentile(c.latencyUs, 99) / 1e3, loadgen::Percentile(c.latencyUs, 99.9) / 1e3,
        loadgen::Percentile(c.latencyUs, 100) / 1e3, c.overOneSecond, c.connectErrors, c.resets,
        c.earlyCloses, c.timeouts, c.badStatus, c.handshakes, c.resumed, c.connections, c.reused,
        c.staleCloses, o.h2 ? o.streams : 1, c.h2Connections, c.h1Connections, ClientCpuSeconds());
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

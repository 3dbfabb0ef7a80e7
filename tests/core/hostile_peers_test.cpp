// Clients and origins that misbehave: each test shows that other clients are still served and
// that the server's threads and descriptors come back to where they were.
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <dirent.h>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "core/server.h"
#include "core/settings.h"
#include "platform/delayed_close.h"
#include "platform/message_box.h"
#include "platform/socket.h"
#include "tests/support/loopback.h"
#include "tests/support/process_counts.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr const char* kOk = "HTTP/1.0 200 OK\r\nContent-Type: text/plain\r\n\r\nhello";
// kOk as the client gets it: the connection closes after it, and the head says so.
const std::string kRelayedOk = Closing(kOk);

// Waits until the thread and descriptor counts are back at their idle values.
bool BackToIdle(long threads, long descriptors, std::chrono::milliseconds limit = 10000ms) {
  auto end = Clock::now() + limit;
  while (Clock::now() < end) {
    if (Threads() <= threads && Descriptors() <= descriptors) return true;
    std::this_thread::sleep_for(50ms);
  }
  ADD_FAILURE() << "threads " << Threads() << " (idle " << threads << "), descriptors "
                << Descriptors() << " (idle " << descriptors << ")";
  return false;
}

class HostilePeerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ReplaceSettings(ProxySettings{});
    ServerOptions options;
    options.port = FreeLoopbackPort();
    options.closeDelayMs = 20;
    options.headTimeoutMs = 1500;
    options.idleTimeoutMs = 1500;
    port_ = options.port;
    ASSERT_EQ(StartProxyServerWith(options), 1);
    std::this_thread::sleep_for(50ms);  // the first worker and the closer are up
    good_ = std::make_unique<TestOrigin>(kOk);
    idleThreads_ = Threads();
    idleDescriptors_ = Descriptors();
  }
  void TearDown() override {
    StopProxyServer();
    good_.reset();
  }
  // One ordinary exchange with a well-behaved origin.
  bool Served() {
    return Exchange(port_, "GET / HTTP/1.0\r\nHost: 127.0.0.1:" + std::to_string(good_->Port()) +
                               "\r\n\r\n") == kRelayedOk;
  }
  std::unique_ptr<TestOrigin> good_;
  uint16_t port_ = 0;
  long idleThreads_ = 0;
  long idleDescriptors_ = 0;
};

TEST_F(HostilePeerTest, SilentAndTricklingClientsAreClosedAtTheHeadDeadline) {
  constexpr int kEach = 250;
  std::vector<int> silent, trickling;
  for (int i = 0; i < kEach; ++i) {
    silent.push_back(ConnectLoopback(port_));
    trickling.push_back(ConnectLoopback(port_));
  }
  auto start = Clock::now();
  std::atomic<bool> stop{false};
  std::thread trickle([&] {
    const char head[] = "GET / HTTP/1.0\r\nHost: 127.0.0.1\r\n";
    for (size_t k = 0; !stop && k + 1 < sizeof head; ++k) {
      for (int fd : trickling)
        ::send(fd, head + k, 1, MSG_NOSIGNAL);
      std::this_thread::sleep_for(200ms);
    }
  });
  EXPECT_TRUE(Served());  // while 500 clients hold their connections
  for (int fd : silent)
    EXPECT_EQ(ReadUntilClosed(fd, 5000ms), "");
  for (int fd : trickling)
    EXPECT_EQ(ReadUntilClosed(fd, 5000ms), "");
  EXPECT_GE(Clock::now() - start, 1400ms);
  stop = true;
  trickle.join();
  for (int fd : silent)
    ::close(fd);
  for (int fd : trickling)
    ::close(fd);
  EXPECT_TRUE(Served());
  BackToIdle(idleThreads_, idleDescriptors_);
}

TEST_F(HostilePeerTest, ClientPausingBeforeItsRequestIsServed) {
  // Longer than the system holds a connection back from accept while it carries no byte.
  int fd = ConnectLoopback(port_);
  ASSERT_GE(fd, 0);
  std::this_thread::sleep_for(1200ms);
  WriteAll(fd, "GET / HTTP/1.0\r\nHost: 127.0.0.1:" + std::to_string(good_->Port()) + "\r\n\r\n");
  EXPECT_EQ(ReadUntilClosed(fd, 3000ms), kRelayedOk);
  ::close(fd);
}

TEST_F(HostilePeerTest, ClientsOneAfterAnotherReuseTheSameWorkers) {
  for (int i = 0; i < 100; ++i)
    ASSERT_TRUE(Served()) << "exchange " << i;
  // One worker serves while another waits for the next client. Only workers inside accept count
  // as waiting, so a client asking again before the last one is back starts one more, and on a
  // busy machine a few: a handful, never one per exchange.
  EXPECT_LE(Threads(), idleThreads_ + 6);
  BackToIdle(idleThreads_, idleDescriptors_);
}

TEST_F(HostilePeerTest, SpareWorkersEndOnceTheCrowdHasGone) {
  std::vector<std::thread> clients;
  std::atomic<int> served{0};
  for (int i = 0; i < 32; ++i)
    clients.emplace_back([&] { served += Served() ? 1 : 0; });
  for (auto& t : clients)
    t.join();
  EXPECT_EQ(served.load(), 32);
  // Each waits in accept a couple of seconds in vain, then ends; one stays to accept.
  EXPECT_TRUE(BackToIdle(idleThreads_, idleDescriptors_, 6000ms));
  EXPECT_TRUE(Served());
}

// The closer starts with room for a thousand connections and grows as more wait, moving those
// waiting: each one handed over is closed, whether its peer closes first (some while the room is
// still growing) or its time passes first.
TEST_F(HostilePeerTest, EveryConnectionHandedToTheCloserIsClosed) {
  constexpr int kPairs = 1500;
  rlimit limit{};
  ::getrlimit(RLIMIT_NOFILE, &limit);
  if (limit.rlim_cur < static_cast<rlim_t>(2 * kPairs + idleDescriptors_ + 64))
    GTEST_SKIP() << "needs " << 2 * kPairs << " descriptors";
  // Some that are done at once first, so that the ring's front has moved on when it grows.
  for (int i = 0; i < 300; ++i) {
    int pair[2];
    ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair), 0);
    Socket held(pair[0]);
    ASSERT_TRUE(CloseLater(held, 0));
    ::close(pair[1]);
  }
  ASSERT_TRUE(BackToIdle(idleThreads_, idleDescriptors_, 3000ms));
  std::vector<int> peers;
  for (int i = 0; i < kPairs; ++i) {
    int pair[2];
    ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair), 0);
    Socket held(pair[0]);
    bool peerCloses = i % 2 == 1;
    ASSERT_TRUE(CloseLater(held, peerCloses ? 60000 : 500));
    peers.push_back(pair[1]);
    if (peerCloses && i < kPairs / 2) {
      ::close(pair[1]);
      peers.back() = -1;
    }
  }
  for (int& fd : peers) {
    if (fd >= 0 && (&fd - peers.data()) % 2 == 1) {
      ::close(fd);
      fd = -1;
    }
  }
  auto deadline = Clock::now() + 3000ms;
  for (int& fd : peers) {
    if (fd < 0) continue;
    pollfd p{fd, POLLIN, 0};
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
    char byte;
    EXPECT_TRUE(::poll(&p, 1, static_cast<int>(std::max<long>(left.count(), 0))) == 1 &&
                ::recv(fd, &byte, 1, 0) == 0)
        << "connection " << (&fd - peers.data()) << " was not closed in its time";
    ::close(fd);
  }
  EXPECT_TRUE(BackToIdle(idleThreads_, idleDescriptors_, 3000ms));
}

// Reads a head, then counts (and drops) the body it declares, then answers.
class CountingOrigin {
 public:
  CountingOrigin() {
    fd_ = ListenOnLoopback(&port_);
    thread_ = std::thread([this] { Serve(); });
  }
  ~CountingOrigin() {
    ::shutdown(fd_, SHUT_RDWR);
    thread_.join();
    ::close(fd_);
  }
  uint16_t Port() const { return port_; }
  long long BodyBytes() const { return body_; }

 private:
  void Serve() {
    int c = ::accept(fd_, nullptr, nullptr);
    if (c < 0) return;
    std::string head;
    char buf[65536];
    while (head.find("\r\n\r\n") == std::string::npos) {
      ssize_t n = ::recv(c, buf, sizeof buf, 0);
      if (n <= 0) break;
      head.append(buf, static_cast<size_t>(n));
    }
    auto at = head.find("Content-Length: ");
    long long declared = at == std::string::npos ? 0 : std::atoll(head.c_str() + at + 16);
    long long got = static_cast<long long>(head.size() - head.find("\r\n\r\n") - 4);
    while (got < declared) {
      ssize_t n = ::recv(c, buf, sizeof buf, 0);
      if (n <= 0) break;
      got += n;
    }
    body_ = got;
    WriteAll(c, kOk);
    ::close(c);
  }
  int fd_ = -1;
  uint16_t port_ = 0;
  std::atomic<long long> body_{0};
  std::thread thread_;
};

TEST_F(HostilePeerTest, HundredMegabyteBodyIsForwardedInFlatMemory) {
  constexpr long long kBody = 100LL * 1000 * 1000;
  CountingOrigin origin;
  long peakBefore = StatusField("VmHWM:");
  int fd = ConnectLoopback(port_);
  WriteAll(fd, "POST /upload HTTP/1.0\r\nHost: 127.0.0.1:" + std::to_string(origin.Port()) +
                   "\r\nContent-Length: " + std::to_string(kBody) + "\r\n\r\n");
  std::string block(1 << 20, 'u');
  for (long long sent = 0; sent < kBody; sent += static_cast<long long>(block.size())) {
    size_t n = static_cast<size_t>(std::min<long long>(kBody - sent, block.size()));
    ASSERT_TRUE(WriteAll(fd, std::string_view(block).substr(0, n)));
  }
  EXPECT_EQ(ReadUntilClosed(fd), kRelayedOk);
  ::close(fd);
  EXPECT_EQ(origin.BodyBytes(), kBody);
  // The body streams through fixed buffers: the peak grows by far less than the body.
  EXPECT_LT(StatusField("VmHWM:") - peakBefore, 16 * 1024);  // KiB
  BackToIdle(idleThreads_, idleDescriptors_ + 1);            // the origin's listening socket
}

// An origin that takes the request, then does `misbehave` with its connection.
class RudeOrigin {
 public:
  enum class Rudeness { kResetAfterHead, kResetInAnswer, kSilent };
  explicit RudeOrigin(Rudeness how) : how_(how) {
    fd_ = ListenOnLoopback(&port_);
    thread_ = std::thread([this] { Serve(); });
  }
  ~RudeOrigin() {
    ::shutdown(fd_, SHUT_RDWR);
    thread_.join();
    ::close(fd_);
  }
  uint16_t Port() const { return port_; }

 private:
  void Serve() {
    int c = ::accept(fd_, nullptr, nullptr);
    if (c < 0) return;
    char buf[4096];
    ::recv(c, buf, sizeof buf, 0);
    if (how_ == Rudeness::kResetInAnswer)
      WriteAll(c, "HTTP/1.0 200 OK\r\n\r\n" + std::string(1 << 20, 'a'));
    if (how_ == Rudeness::kSilent) {
      pollfd p{c, POLLIN, 0};
      ::poll(&p, 1, 10000);  // until the proxy gives up and closes
      ::close(c);
      return;
    }
    linger reset{1, 0};
    ::setsockopt(c, SOL_SOCKET, SO_LINGER, &reset, sizeof reset);
    ::close(c);
  }
  Rudeness how_;
  int fd_ = -1;
  uint16_t port_ = 0;
  std::thread thread_;
};

TEST_F(HostilePeerTest, OriginResettingDuringTheRequestBody) {
  {
    RudeOrigin origin(RudeOrigin::Rudeness::kResetAfterHead);
    int fd = ConnectLoopback(port_);
    WriteAll(fd, "POST / HTTP/1.0\r\nHost: 127.0.0.1:" + std::to_string(origin.Port()) +
                     "\r\nContent-Length: 4000000\r\n\r\n");
    std::string block(100000, 'b');
    for (int i = 0; i < 40 && WriteAll(fd, block); ++i) {
    }
    ReadUntilClosed(fd);  // whatever came, the connection ends
    ::close(fd);
  }
  EXPECT_TRUE(Served());
  BackToIdle(idleThreads_, idleDescriptors_);  // the good origin's listener
}

TEST_F(HostilePeerTest, OriginResettingDuringTheAnswer) {
  {
    RudeOrigin origin(RudeOrigin::Rudeness::kResetInAnswer);
    std::string got = Exchange(
        port_, "GET / HTTP/1.0\r\nHost: 127.0.0.1:" + std::to_string(origin.Port()) + "\r\n\r\n");
    EXPECT_LE(got.size(), (1u << 20) + 38);  // head, close line, body
  }
  EXPECT_TRUE(Served());
  BackToIdle(idleThreads_, idleDescriptors_);
}

// The client is told that no answer came, by a 504 page instead of an empty close.
TEST_F(HostilePeerTest, SilentOriginIsGivenUpAfterTheIdleTimeout) {
  RudeOrigin origin(RudeOrigin::Rudeness::kSilent);
  auto start = Clock::now();
  std::string got = Exchange(
      port_, "GET / HTTP/1.0\r\nHost: 127.0.0.1:" + std::to_string(origin.Port()) + "\r\n\r\n",
      8000ms);
  EXPECT_TRUE(got.starts_with("HTTP/1.1 504 Gateway Timeout\r\n")) << got;
  EXPECT_NE(got.find("sent no answer"), std::string::npos) << got;
  EXPECT_GE(Clock::now() - start, 1400ms);
  EXPECT_LT(Clock::now() - start, 7000ms);
  EXPECT_TRUE(Served());
  BackToIdle(idleThreads_ + 1, idleDescriptors_ + 1);  // the silent origin, still listening
}

TEST_F(HostilePeerTest, ClientResettingInTheMiddleOfItsBody) {
  {
    CountingOrigin origin;
    int fd = ConnectLoopback(port_);
    WriteAll(fd, "PUT / HTTP/1.1\r\nHost: 127.0.0.1:" + std::to_string(origin.Port()) +
                     "\r\nContent-Length: 1000000\r\n\r\n" + std::string(200000, 'r'));
    std::this_thread::sleep_for(50ms);
    linger reset{1, 0};
    ::setsockopt(fd, SOL_SOCKET, SO_LINGER, &reset, sizeof reset);
    ::close(fd);
  }  // the origin saw its connection end
  EXPECT_TRUE(Served());
  BackToIdle(idleThreads_, idleDescriptors_);
}

TEST_F(HostilePeerTest, ClientStallingInItsBodyIsGivenUp) {
  {
    CountingOrigin origin;
    int fd = ConnectLoopback(port_);
    auto start = Clock::now();
    WriteAll(fd, "POST / HTTP/1.0\r\nHost: 127.0.0.1:" + std::to_string(origin.Port()) +
                     "\r\nContent-Length: 100000\r\n\r\n" + std::string(20000, 's'));
    // The rest of the body never comes, nor an answer: the exchange ends without one.
    EXPECT_TRUE(ReadUntilClosed(fd, 8000ms).starts_with("HTTP/1.1 504 Gateway Timeout\r\n"));
    EXPECT_LT(Clock::now() - start, 7000ms);
    ::close(fd);
    EXPECT_TRUE(Served());
  }
  BackToIdle(idleThreads_, idleDescriptors_);
}

TEST_F(HostilePeerTest, TwoThousandShortExchangesLeaveNothingBehind) {
  constexpr int kClients = 4;
  constexpr int kEach = 500;
  std::atomic<int> served{0};
  std::vector<std::thread> clients;
  for (int c = 0; c < kClients; ++c) {
    clients.emplace_back([&] {
      for (int i = 0; i < kEach; ++i)
        served += Served() ? 1 : 0;
    });
  }
  for (auto& t : clients)
    t.join();
  EXPECT_EQ(served.load(), kClients * kEach);
  BackToIdle(idleThreads_, idleDescriptors_);
}

TEST_F(HostilePeerTest, RecoversWhenDescriptorsRunOut) {
  rlimit saved{};
  ::getrlimit(RLIMIT_NOFILE, &saved);
  // Clients in a process of their own hold 200 connections while ours may open only a few.
  int ready[2];
  ASSERT_EQ(::pipe(ready), 0);
  pid_t child = ::fork();
  if (child == 0) {
    std::vector<int> held;
    for (int i = 0; i < 200; ++i)
      held.push_back(ConnectLoopback(port_));
    char one = 1;
    [[maybe_unused]] auto w = ::write(ready[1], &one, 1);
    ::usleep(1500 * 1000);
    for (int fd : held)
      ::close(fd);
    ::_exit(0);
  }
  rlimit low = saved;
  low.rlim_cur = static_cast<rlim_t>(Descriptors() + 16);
  ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &low), 0);
  char one;
  [[maybe_unused]] auto r = ::read(ready[0], &one, 1);
  int status = 0;
  ::waitpid(child, &status, 0);
  // The held connections are gone; the server accepts and serves again.
  bool served = false;
  for (int attempt = 0; attempt < 50 && !served; ++attempt) {
    served = Served();
    if (!served) std::this_thread::sleep_for(100ms);
  }
  ::setrlimit(RLIMIT_NOFILE, &saved);
  ::close(ready[0]);
  ::close(ready[1]);
  EXPECT_TRUE(served);
  BackToIdle(idleThreads_, idleDescriptors_);
}

}  // namespace

namespace {

// A request for the proxy's own address, however it is spelled, is answered 508 at once and
// costs nothing: it never connects back to the proxy. The same for an upstream proxy that is
// the proxy itself.
TEST_F(HostilePeerTest, RequestsForTheProxyItselfAreLoopsAnsweredAtOnce) {
  std::string p = std::to_string(port_);
  const std::string requests[] = {
      "GET http://127.0.0.1:" + p + "/ HTTP/1.1\r\nHost: 127.0.0.1:" + p + "\r\n\r\n",
      "GET / HTTP/1.1\r\nHost: localhost:" + p + "\r\n\r\n",
      "GET / HTTP/1.1\r\nHost: 127.1:" + p + "\r\n\r\n",
      "GET / HTTP/1.1\r\nHost: 2130706433:" + p + "\r\n\r\n",
      "GET / HTTP/1.1\r\nHost: 0.0.0.0:" + p + "\r\n\r\n",
      "GET / HTTP/1.1\r\nHost: [::ffff:127.0.0.1]:" + p + "\r\n\r\n",
      "GET / HTTP/1.1\r\nHost: [::1]:" + p + "\r\n\r\n",
      "CONNECT 127.0.0.1:" + p + " HTTP/1.1\r\nHost: 127.0.0.1:" + p + "\r\n\r\n",
  };
  for (const std::string& request : requests) {
    auto start = Clock::now();
    std::string answer = Exchange(port_, request, 3000ms);
    EXPECT_TRUE(answer.starts_with("HTTP/1.1 508 Loop Detected\r\n")) << request << answer;
    EXPECT_LT(Clock::now() - start, 1000ms) << request;
  }
  ProxySettings upstream;
  upstream.UseProxy = 1;
  std::copy_n(u"localhost", 10, upstream.ProxyName);
  upstream.ProxyPort = port_;
  ReplaceSettings(upstream);
  EXPECT_TRUE(Exchange(port_, "GET http://example.invalid/ HTTP/1.1\r\n\r\n", 3000ms)
                  .starts_with("HTTP/1.1 508 Loop Detected\r\n"));
  // Through an upstream proxy, a request it would bring back here is a loop all the same.
  upstream.ProxyPort = good_->Port();
  ReplaceSettings(upstream);
  EXPECT_TRUE(Exchange(port_, requests[0], 3000ms).starts_with("HTTP/1.1 508 Loop Detected\r\n"));
  ReplaceSettings(ProxySettings{});
  EXPECT_TRUE(Served());
  BackToIdle(idleThreads_, idleDescriptors_);
}

// Ports are numbers from 1 to 65535, never taken modulo anything.
TEST_F(HostilePeerTest, PortsOutOfRangeAreBadRequests) {
  std::string good = std::to_string(good_->Port());
  std::string wrapped = std::to_string(good_->Port() + 65536);
  const std::string requests[] = {
      "GET http://127.0.0.1:" + wrapped + "/ HTTP/1.1\r\nHost: 127.0.0.1:" + wrapped + "\r\n\r\n",
      "GET / HTTP/1.1\r\nHost: 127.0.0.1:" + wrapped + "\r\n\r\n",
      "GET / HTTP/1.1\r\nHost: 127.0.0.1:0\r\n\r\n",
      "CONNECT 127.0.0.1:" + wrapped + " HTTP/1.1\r\n\r\n",
  };
  for (const std::string& request : requests)
    EXPECT_TRUE(Exchange(port_, request, 3000ms).starts_with("HTTP/1.1 400 Bad Request\r\n"))
        << request;
  EXPECT_EQ(good_->RequestCount(), 0u);
}

}  // namespace

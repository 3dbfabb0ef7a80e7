// The proxy server through real loopback sockets: what reaches the origin or the upstream proxy,
// what comes back, when connections close, and what the user is shown when a step fails.
#include "core/server.h"

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <arpa/inet.h>
#include <netinet/in.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "core/exchange.h"
#include "core/settings.h"
#include "core/worker.h"
#include "platform/message_box.h"
#include "platform/text_convert.h"
#include "platform/window_types.h"
#include "tests/support/loopback.h"
#include "tests/support/proxy_fixture.h"

namespace {

using Clock = std::chrono::steady_clock;

// What the user was told: the notices workers raised, and the boxes the server showed. Never
// destroyed: a worker may still raise one while the test program exits.
struct ToldLog {
  std::mutex lock;
  std::vector<std::string> notices;
  std::vector<std::string> boxes;
};

ToldLog& Log() {
  static ToldLog* log = new ToldLog;
  return *log;
}

std::string Utf8(std::u16string_view text) {
  char line[1024];
  WideToSingleByte(text, line);
  return line;
}

void RecordNotice(std::u16string_view text) {
  std::lock_guard<std::mutex> hold(Log().lock);
  Log().notices.push_back(Utf8(text));
}

int RecordBox(std::u16string_view text, std::u16string_view caption, uint32_t style) {
  std::lock_guard<std::mutex> hold(Log().lock);
  Log().boxes.push_back(Utf8(caption) + "|" + std::to_string(style) + "|" + Utf8(text));
  return kIdOk;
}

std::vector<std::string> Notices() {
  std::lock_guard<std::mutex> hold(Log().lock);
  return Log().notices;
}

std::vector<std::string> Boxes() {
  std::lock_guard<std::mutex> hold(Log().lock);
  return Log().boxes;
}

void ClearTold() {
  std::lock_guard<std::mutex> hold(Log().lock);
  Log().notices.clear();
  Log().boxes.clear();
}

std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> lines;
  for (size_t at = 0; at <= text.size();) {
    size_t end = std::min(text.find('\n', at), text.size());
    lines.push_back(text.substr(at, end - at));
    at = end + 1;
  }
  return lines;
}

// Every server test records what it tells the user instead of showing it.
class ServerTest : public ProxyTest {
 protected:
  void SetUp() override {
    ClearTold();
    SetNoticeHandler(RecordNotice);
    SetMessageBoxHandler(RecordBox);
    ProxyTest::SetUp();
  }
  void TearDown() override {
    ProxyTest::TearDown();
    SetNoticeHandler(nullptr);
    SetMessageBoxHandler(nullptr);
  }
  std::string Port(uint16_t p) { return std::to_string(p); }
};

constexpr const char* kOk = "HTTP/1.0 200 OK\r\nContent-Type: text/plain\r\n\r\nhello";
// kOk as the client gets it: the connection closes after it, and the head says so.
const std::string kRelayedOk = Closing(kOk);

TEST_F(ServerTest, DirectAbsoluteAddressReachesOriginAsPath) {
  TestOrigin origin(kOk);
  std::string p = Port(origin.Port());
  std::string answer =
      Exchange(port_, "GET http://127.0.0.1:" + p + "/a/b?c=d HTTP/1.0\r\nHost: 127.0.0.1\r\n\r\n");
  EXPECT_EQ(answer, kRelayedOk);
  // The address names the target, and the Host line sent on is made to name it too.
  EXPECT_EQ(origin.Request(0),
            Forwarded("GET /a/b?c=d HTTP/1.0\r\nHost: 127.0.0.1:" + p + "\r\n\r\n"));
}

TEST_F(ServerTest, PortFromHostHeader) {
  TestOrigin origin(kOk);
  std::string p = Port(origin.Port());
  std::string request = "GET /x HTTP/1.1\r\nHost: 127.0.0.1:" + p + "\r\n\r\n";
  EXPECT_EQ(Exchange(port_, request), kRelayedOk);
  EXPECT_EQ(origin.Request(0), Forwarded(request));
}

TEST_F(ServerTest, AbsoluteAddressWithoutHostHeaderOrPath) {
  TestOrigin origin(kOk);
  std::string p = Port(origin.Port());
  EXPECT_EQ(Exchange(port_, "GET http://127.0.0.1:" + p + " HTTP/1.0\r\n\r\n"), kRelayedOk);
  EXPECT_EQ(origin.Request(0), Forwarded("GET / HTTP/1.0\r\nHost: 127.0.0.1:" + p + "\r\n\r\n"));
}

TEST_F(ServerTest, NamedHostIsResolved) {
  TestOrigin origin(kOk);
  std::string p = Port(origin.Port());
  EXPECT_EQ(Exchange(port_, "GET http://localhost:" + p + "/n HTTP/1.0\r\nHost: localhost:" + p +
                                "\r\n\r\n"),
            kRelayedOk);
  EXPECT_EQ(origin.Request(0).substr(0, 19), "GET /n HTTP/1.0\r\nHo");
}

TEST_F(ServerTest, OnlyTheRequestLineLosesItsSchemeAndHost) {
  TestOrigin origin(kOk);
  std::string p = Port(origin.Port());
  std::string request =
      "GET /x HTTP/1.0\r\nReferer: http://elsewhere/p\r\nHost: 127.0.0.1:" + p + "\r\n\r\n";
  Exchange(port_, request);
  EXPECT_EQ(origin.Request(0), Forwarded(request));
}

TEST_F(ServerTest, UpstreamKeepsAbsoluteAddressAndUsesLow16BitsOfPort) {
  TestOrigin upstream(kOk);
  ProxySettings s;
  s.UseProxy = 2;  // any non-zero value is on
  SingleByteToWide("127.0.0.1", s.ProxyName);
  s.ProxyPort = 65536 + upstream.Port();
  ReplaceSettings(s);
  std::string request =
      "GET http://origin.invalid:81/p HTTP/1.0\r\nHost: origin.invalid:81\r\n\r\n";
  EXPECT_EQ(Exchange(port_, request), kRelayedOk);
  EXPECT_EQ(upstream.Request(0), Forwarded(request));
}

TEST_F(ServerTest, DeclaredBodyArrivingInSeveralChunksIsForwardedWhole) {
  TestOrigin origin(kOk);
  std::string head = "POST /f HTTP/1.0\r\nHost: 127.0.0.1:" + Port(origin.Port()) +
                     "\r\nContent-Length: 300\r\n\r\n";
  std::string body(300, 'b');
  for (size_t i = 0; i < body.size(); ++i)
    body[i] = static_cast<char>('a' + i % 26);
  int fd = ConnectLoopback(port_);
  ASSERT_GE(fd, 0);
  WriteAll(fd, head);
  std::this_thread::sleep_for(30ms);
  WriteAll(fd, body.substr(0, 200));
  std::this_thread::sleep_for(30ms);
  WriteAll(fd, body.substr(200));
  EXPECT_EQ(ReadUntilClosed(fd), kRelayedOk);
  ::close(fd);
  EXPECT_EQ(origin.Request(0), Forwarded(head) + body);
}

TEST_F(ServerTest, HeadAndBodyInOneChunk) {
  TestOrigin origin(kOk);
  std::string request = "POST /f HTTP/1.0\r\nHost: 127.0.0.1:" + Port(origin.Port()) +
                        "\r\nContent-Length: 5\r\n\r\nx=1&y";
  EXPECT_EQ(Exchange(port_, request), kRelayedOk);
  EXPECT_EQ(origin.Request(0), Forwarded(request));
}

TEST_F(ServerTest, NulBytesInRequestBodyAreForwarded) {
  TestOrigin origin(kOk);
  std::string body("a\0b\0c", 5);
  std::string head = "POST /f HTTP/1.0\r\nHost: 127.0.0.1:" + Port(origin.Port()) +
                     "\r\nContent-Length: 10\r\n\r\n";
  int fd = ConnectLoopback(port_);
  WriteAll(fd, head + body);
  std::this_thread::sleep_for(30ms);
  WriteAll(fd, body);  // a later chunk with NUL bytes
  EXPECT_EQ(ReadUntilClosed(fd), kRelayedOk);
  ::close(fd);
  EXPECT_EQ(origin.Request(0), Forwarded(head) + body + body);
}

TEST_F(ServerTest, AnswerWithNulBytesIsRelayedWhole) {
  std::string answer("HTTP/1.0 200 OK\r\n\r\n\0\0binary\0\xFF", 29);
  std::string big(100000, '\0');
  for (size_t i = 0; i < big.size(); i += 7)
    big[i] = static_cast<char>(i);
  TestOrigin origin(answer + big);
  EXPECT_EQ(
      Exchange(port_, "GET / HTTP/1.0\r\nHost: 127.0.0.1:" + Port(origin.Port()) + "\r\n\r\n"),
      Closing(answer + big));
}

TEST_F(ServerTest, HeadArrivingInPiecesIsForwardedWhole) {
  TestOrigin origin(kOk);
  std::string head = "GET /h HTTP/1.1\r\nHost: 127.0.0.1:" + Port(origin.Port()) +
                     "\r\nAccept: */*\r\nX-Long: " + std::string(3000, 'x') + "\r\n\r\n";
  int fd = ConnectLoopback(port_);
  for (size_t at = 0; at < head.size(); at += 1000) {
    WriteAll(fd, head.substr(at, 1000));
    std::this_thread::sleep_for(20ms);
  }
  EXPECT_EQ(ReadUntilClosed(fd), kRelayedOk);
  ::close(fd);
  EXPECT_EQ(origin.Request(0), Forwarded(head));
}

TEST_F(ServerTest, KeepAliveLinesBecomeTheProxysOwn) {
  TestOrigin origin(kOk);
  std::string p = Port(origin.Port());
  Exchange(port_, "GET http://127.0.0.1:" + p + "/ HTTP/1.1\r\nHost: 127.0.0.1:" + p +
                      "\r\nProxy-Connection: keep-alive\r\nConnection: keep-alive\r\n\r\n");
  EXPECT_EQ(origin.Request(0),
            "GET / HTTP/1.1\r\nHost: 127.0.0.1:" + p + "\r\nConnection: keep-alive\r\n\r\n");
}

TEST_F(ServerTest, Ipv6LiteralOrigin) {
  TestOrigin origin(kOk, /*ipv6=*/true);
  std::string authority = "[::1]:" + Port(origin.Port());
  EXPECT_EQ(Exchange(port_, "GET http://" + authority + "/six HTTP/1.0\r\nHost: " + authority +
                                "\r\n\r\n"),
            kRelayedOk);
  EXPECT_EQ(origin.Request(0).substr(0, 18), "GET /six HTTP/1.0\r");
}

TEST_F(ServerTest, LargeAnswerIsRelayedWhole) {
  std::string answer = "HTTP/1.0 200 OK\r\nContent-Type: application/octet-stream\r\n\r\n";
  uint32_t x = 12345;
  for (int i = 0; i < 3 * 1024 * 1024; ++i) {
    x = x * 1103515245u + 12345u;
    answer.push_back(static_cast<char>(x >> 24));
  }
  TestOrigin origin(answer);
  std::string got =
      Exchange(port_, "GET /big HTTP/1.0\r\nHost: 127.0.0.1:" + Port(origin.Port()) + "\r\n\r\n");
  EXPECT_EQ(got.size(), Closing(answer).size());
  EXPECT_TRUE(got == Closing(answer));
}

TEST_F(ServerTest, ClientVanishingInALargeAnswerLeavesOthersServed) {
  TestOrigin big("HTTP/1.0 200 OK\r\n\r\n" + std::string(8 * 1024 * 1024, 'z'));
  int fd = ConnectLoopback(port_);
  WriteAll(fd, "GET /big HTTP/1.0\r\nHost: 127.0.0.1:" + Port(big.Port()) + "\r\n\r\n");
  char buf[65536];
  size_t got = 0;
  while (got < 200000) {
    ssize_t n = ::recv(fd, buf, sizeof buf, 0);
    ASSERT_GT(n, 0);
    got += static_cast<size_t>(n);
  }
  ::close(fd);  // gone in the middle of the answer
  TestOrigin small(kOk);
  EXPECT_EQ(Exchange(port_, "GET / HTTP/1.0\r\nHost: 127.0.0.1:" + Port(small.Port()) + "\r\n\r\n"),
            kRelayedOk);
}

TEST_F(ServerTest, ClientWaitingForContinueIsNotKeptWaiting) {
  TestOrigin origin("HTTP/1.1 100 Continue\r\n\r\nHTTP/1.1 200 OK\r\n\r\n");
  std::string head = "POST /up HTTP/1.1\r\nHost: 127.0.0.1:" + Port(origin.Port()) +
                     "\r\nContent-Length: 4\r\nExpect: 100-continue\r\n\r\n";
  int fd = ConnectLoopback(port_);
  WriteAll(fd, head);
  // The origin sees the head before any body is sent: the proxy did not hold it back.
  EXPECT_EQ(origin.Request(0, 3000ms).substr(0, 9), "POST /up ");
  WriteAll(fd, "body");
  ReadUntilClosed(fd);
  ::close(fd);
}

TEST_F(ServerTest, EmptyConnectionIsClosedWithoutABox) {
  int fd = ConnectLoopback(port_);
  ::close(fd);  // a browser's spare connection, never used
  TestOrigin origin(kOk);
  EXPECT_EQ(
      Exchange(port_, "GET / HTTP/1.0\r\nHost: 127.0.0.1:" + Port(origin.Port()) + "\r\n\r\n"),
      kRelayedOk);
  std::this_thread::sleep_for(100ms);  // long past the empty connection's end
  EXPECT_TRUE(Notices().empty());
}

// A listener whose queue is full: connects to it go unanswered until they time out.
class UnansweringListener {
 public:
  UnansweringListener() {
    fd_ = ListenOnLoopback(&port_);
    ::listen(fd_, 0);
    for (int& queued : queued_)  // the queue holds one; the rest wait for an answer in vain
      queued = ConnectQueued();
  }
  ~UnansweringListener() {
    for (int queued : queued_)
      ::close(queued);
    ::close(fd_);
  }
  uint16_t Port() const { return port_; }

 private:
  int ConnectQueued() {
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(port_);
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
    std::this_thread::sleep_for(20ms);
    return fd;
  }
  int fd_ = -1;
  uint16_t port_ = 0;
  int queued_[2] = {};
};

class FailureAnswerTest : public ServerTest {
 protected:
  void SetUp() override {
    connectTimeoutMs_ = 500;
    ServerTest::SetUp();
  }
};

// Each failure to reach the target answers the client at once with a page saying what failed,
// and raises a notice of the failure line, the target and what it means, or none where a name
// has no address.
TEST_F(FailureAnswerTest, EachFailureAnswersItsPageAndRaisesItsNotice) {
  uint16_t nobody = FreeLoopbackPort();
  UnansweringListener unanswering;
  struct Case {
    std::string request;
    std::string status;  // the answer's first line
    std::string words;   // in the page
    std::string notice;  // its first line; "" for none
    std::string target;  // its second line
  } cases[] = {
      {"GET /x HTTP/1.0\r\nAccept: */*\r\n\r\n", "HTTP/1.1 400 Bad Request", "names no host",
       "ERROR(0): get host miss", ""},
      {"GET / HTTP/1.0\r\nHost: 127.0.0.1:" + Port(nobody) + "\r\n\r\n", "HTTP/1.1 502 Bad Gateway",
       "<b>127.0.0.1</b> refused the connection", "ERROR(111): connect to server",
       "127.0.0.1:" + Port(nobody)},
      {"GET / HTTP/1.0\r\nHost: no-such-host.invalid\r\n\r\n", "HTTP/1.1 502 Bad Gateway",
       "<b>no-such-host.invalid</b> was not found", "", ""},
      {"GET / HTTP/1.0\r\nHost: x<b>.invalid\r\n\r\n", "HTTP/1.1 502 Bad Gateway",
       "<b>x&lt;b&gt;.invalid</b> was not found", "", ""},
      {"GET / HTTP/1.0\r\nHost: 127.0.0.1:" + Port(unanswering.Port()) + "\r\n\r\n",
       "HTTP/1.1 504 Gateway Timeout", "<b>127.0.0.1</b> did not answer in time",
       "ERROR(110): connect to server", "127.0.0.1:" + Port(unanswering.Port())},
  };
  for (const Case& c : cases) {
    ClearTold();
    auto start = Clock::now();
    std::string answer = Exchange(port_, c.request, 3000ms);
    EXPECT_LT(Clock::now() - start, 2000ms) << c.request;
    EXPECT_TRUE(answer.starts_with(c.status + "\r\nContent-Type: text/html; charset=utf-8\r\n"))
        << answer;
    size_t body = answer.find("\r\n\r\n") + 4;
    EXPECT_NE(answer.find("\r\nContent-Length: " + std::to_string(answer.size() - body) +
                          "\r\nConnection: close\r\n\r\n"),
              std::string::npos)
        << answer;
    EXPECT_NE(answer.find(c.words), std::string::npos) << answer;
    std::this_thread::sleep_for(20ms);  // the notice comes after the answer
    std::vector<std::string> notices = Notices();
    if (c.notice.empty()) {
      EXPECT_TRUE(notices.empty()) << c.request;
      continue;
    }
    ASSERT_EQ(notices.size(), 1u) << c.request;
    std::vector<std::string> lines = Lines(notices[0]);
    ASSERT_EQ(lines.size(), c.target.empty() ? 2u : 3u) << notices[0];
    EXPECT_TRUE(lines[0].starts_with("ERROR(")) << notices[0];
    EXPECT_TRUE(lines[0].ends_with(c.notice.substr(c.notice.find(')')))) << notices[0];
    if (!c.target.empty()) {
      EXPECT_EQ(lines[1], c.target);
    }
    EXPECT_FALSE(lines.back().empty()) << "what it means";
  }
  EXPECT_TRUE(Boxes().empty());
}

// Repeats of one failure are told once, while every one has its line on standard error.
TEST_F(FailureAnswerTest, ARepeatedFailureRaisesOneNoticeAndEveryLine) {
  std::string refused =
      "GET / HTTP/1.0\r\nHost: 127.0.0.1:" + Port(FreeLoopbackPort()) + "\r\n\r\n";
  std::string other = "GET / HTTP/1.0\r\nHost: 127.0.0.1:" + Port(FreeLoopbackPort()) + "\r\n\r\n";
  testing::internal::CaptureStderr();
  for (const std::string* request : {&refused, &refused, &refused, &other}) {
    EXPECT_TRUE(Exchange(port_, *request, 3000ms).starts_with("HTTP/1.1 502 Bad Gateway\r\n"));
  }
  std::this_thread::sleep_for(50ms);
  std::string err = testing::internal::GetCapturedStderr();
  size_t lines = 0;
  for (size_t at = err.find("ERROR(111): connect to server\n"); at != std::string::npos;
       at = err.find("ERROR(111): connect to server\n", at + 1))
    ++lines;
  EXPECT_EQ(lines, 4u) << err;
  EXPECT_EQ(Notices().size(), 2u);  // one per target
}

// Nothing that tells of a failure keeps its worker from accepting again at once.
TEST_F(FailureAnswerTest, AWorkerIsBackInAcceptAtOnceAfterAFailure) {
  std::string refused =
      "GET / HTTP/1.0\r\nHost: 127.0.0.1:" + Port(FreeLoopbackPort()) + "\r\n\r\n";
  ASSERT_TRUE(Exchange(port_, refused, 3000ms).starts_with("HTTP/1.1 502"));
  // The one that served and the successor it started, well before a spare gives up (2 s).
  auto deadline = Clock::now() + 1000ms;
  while (WorkersInAccept() < 2 && Clock::now() < deadline)
    std::this_thread::sleep_for(5ms);
  EXPECT_EQ(WorkersInAccept(), 2);
}

// A worker held outside accept once its answer has ended (here by a desktop that never returns
// from showing a notice) does not count as waiting: the spare in accept stays, and clients that
// come after long pauses are served.
namespace held {

std::mutex lock;
std::condition_variable released;
bool holding = true;

void HoldingNotice(std::u16string_view) {
  std::unique_lock<std::mutex> hold(lock);
  released.wait_for(hold, 20s, [] { return !holding; });
}

}  // namespace held

TEST_F(FailureAnswerTest, AWorkerHeldAfterItsAnswerLeavesAnotherAccepting) {
  TestOrigin origin(kOk);
  held::holding = true;
  SetNoticeHandler(held::HoldingNotice);
  std::string refused =
      "GET / HTTP/1.0\r\nHost: 127.0.0.1:" + Port(FreeLoopbackPort()) + "\r\n\r\n";
  std::string good = "GET / HTTP/1.0\r\nHost: 127.0.0.1:" + Port(origin.Port()) + "\r\n\r\n";
  EXPECT_TRUE(Exchange(port_, refused, 3000ms).starts_with("HTTP/1.1 502"));
  for (int i = 0; i < 2; ++i) {
    std::this_thread::sleep_for(2500ms);  // longer than a spare worker lingers
    auto start = Clock::now();
    EXPECT_EQ(Exchange(port_, good, 3000ms), kRelayedOk) << "after pause " << i;
    EXPECT_LT(Clock::now() - start, 1000ms);
  }
  {
    std::lock_guard<std::mutex> hold(held::lock);
    held::holding = false;
  }
  held::released.notify_all();
}

// An answer that has begun and then stalls is never followed by a failure page at the idle
// bound: the client sees its connection close after what came.
class StallingOriginTest : public ServerTest {
 protected:
  void SetUp() override {
    ClearTold();
    ReplaceSettings(ProxySettings{});
    port_ = FreeLoopbackPort();
    ServerOptions options;
    options.port = port_;
    options.closeDelayMs = 20;
    options.idleTimeoutMs = 400;
    ASSERT_EQ(StartProxyServerWith(options), 1);
  }
};

TEST_F(StallingOriginTest, AnAnswerBegunEndsWithoutAFailurePage) {
  TestOrigin stalling("HTTP/1.0 200 OK\r\n\r\npart");
  stalling.HoldOpen(2000ms);
  EXPECT_EQ(
      Exchange(port_, "GET / HTTP/1.0\r\nHost: 127.0.0.1:" + Port(stalling.Port()) + "\r\n\r\n",
               3000ms),
      Closing("HTTP/1.0 200 OK\r\n\r\npart"));
}

// Whatever an earlier exchange of the same worker left behind, the next starts from nothing:
// a PUT, whose request line gives no address, is not taken for the GET before it.
namespace reuse {

std::vector<std::string>& SeenAddresses() {
  static std::vector<std::string> seen;
  return seen;
}

void RecordAddress(std::string_view, std::string_view requestAddress) {
  SeenAddresses().emplace_back(requestAddress);
}

// Serves request on w through a socket pair and returns what the client got.
std::string ServeOn(Worker& w, const std::string& request) {
  int pair[2];
  EXPECT_EQ(::socketpair(AF_UNIX, SOCK_STREAM, 0, pair), 0);
  WriteAll(pair[1], request);
  w.client.socket = Socket(pair[0]);
  ServeExchange(w);
  std::string answer = ReadUntilClosed(pair[1], 2000ms);
  ::close(pair[1]);
  return answer;
}

}  // namespace reuse

TEST_F(ServerTest, AReusedWorkerStartsEachExchangeClean) {
  TestOrigin image("HTTP/1.0 200 OK\r\nContent-Type: image/gif\r\n\r\nGIF89a");
  TestOrigin page("HTTP/1.0 200 OK\r\nContent-Type: text/html\r\n\r\n<p>stored</p>");
  reuse::SeenAddresses().clear();
  auto w = std::make_unique<Worker>();
  w->run.options.closeDelayMs = 10;
  w->run.hooks.noteFirstAnswer = reuse::RecordAddress;
  std::string i = Port(image.Port());
  std::string get = "GET http://127.0.0.1:" + i + "/private HTTP/1.1\r\nHost: 127.0.0.1:" + i +
                    "\r\nX-Pad: " + std::string(3000, 'p') + "\r\n\r\n";
  std::string put = "PUT /doc HTTP/1.1\r\nHost: 127.0.0.1:" + Port(page.Port()) +
                    "\r\nContent-Length: 2\r\n\r\nok";
  EXPECT_TRUE(reuse::ServeOn(*w, get).ends_with("GIF89a"));
  EXPECT_TRUE(reuse::ServeOn(*w, put).ends_with("<p>stored</p>"));
  EXPECT_EQ(reuse::SeenAddresses(),
            (std::vector<std::string>{"http://127.0.0.1:" + i + "/private", ""}));
  EXPECT_EQ(page.Request(0), Forwarded(put));
}

TEST_F(ServerTest, AnotherWorkerAcceptsWhileOneServes) {
  TestOrigin origin(kOk);
  int idle = ConnectLoopback(port_);  // accepted, then waits for the rest of its head
  ASSERT_GE(idle, 0);
  WriteAll(idle, "GET / HTTP/1.0\r\n");
  std::string request = "GET / HTTP/1.0\r\nHost: 127.0.0.1:" + Port(origin.Port()) + "\r\n\r\n";
  EXPECT_EQ(Exchange(port_, request, 3000ms), kRelayedOk);
  ::close(idle);
}

TEST_F(ServerTest, ManyConcurrentClientsAreAllServed) {
  TestOrigin origin(kOk);
  std::string request = "GET / HTTP/1.0\r\nHost: 127.0.0.1:" + Port(origin.Port()) + "\r\n\r\n";
  constexpr int kClients = 40;
  std::atomic<int> served{0};
  std::vector<std::thread> clients;
  for (int i = 0; i < kClients; ++i) {
    clients.emplace_back([&] {
      if (Exchange(port_, request) == kRelayedOk) served++;
    });
  }
  for (auto& t : clients)
    t.join();
  EXPECT_EQ(served.load(), kClients);
  EXPECT_EQ(origin.RequestCount(), static_cast<size_t>(kClients));
}

// After the head, what the client sends goes on to the origin whatever its framing.
TEST_F(ServerTest, ChunkedBodyWithTrailerReachesOriginAndUpstreamByteForByte) {
  std::string body(300 * 1000, '\0');
  uint32_t x = 7;
  for (char& c : body) {
    x = x * 1103515245u + 12345u;
    c = static_cast<char>(x >> 24);  // NULs, line ends and all
  }
  const std::string chunked = Chunked(body, 7000, "X-Checksum: 42\r\n");
  for (bool upstream : {false, true}) {
    TestOrigin origin(kOk);
    std::string head = "PUT /up HTTP/1.1\r\nHost: 127.0.0.1:" + Port(origin.Port()) +
                       "\r\nTransfer-Encoding: chunked\r\n\r\n";
    if (upstream) {
      ProxySettings s;
      s.UseProxy = 1;
      SingleByteToWide("127.0.0.1", s.ProxyName);
      s.ProxyPort = origin.Port();
      ReplaceSettings(s);
      head =
          "PUT http://origin.invalid/up HTTP/1.1\r\nHost: origin.invalid\r\n"
          "Transfer-Encoding: chunked\r\n\r\n";
    }
    int fd = ConnectLoopback(port_);
    WriteAll(fd, head);
    std::this_thread::sleep_for(20ms);
    for (size_t at = 0; at < chunked.size(); at += 65536)
      ASSERT_TRUE(WriteAll(fd, std::string_view(chunked).substr(at, 65536)));
    EXPECT_EQ(ReadUntilClosed(fd), kRelayedOk) << "upstream " << upstream;
    ::close(fd);
    std::string got = origin.Request(0);
    EXPECT_EQ(got.size(), Forwarded(head).size() + chunked.size()) << "upstream " << upstream;
    EXPECT_TRUE(got == Forwarded(head) + chunked) << "upstream " << upstream;
  }
}

// A request without Content-Length or chunks has no body: what follows its head never reaches the
// origin as part of it, where it could be read as a request of its own.
TEST_F(ServerTest, BytesAfterAnUnframedRequestNeverReachTheOrigin) {
  TestOrigin origin(kOk);
  std::string head = "POST /raw HTTP/1.0\r\nHost: 127.0.0.1:" + Port(origin.Port()) + "\r\n\r\n";
  int fd = ConnectLoopback(port_);
  WriteAll(fd, head);
  std::this_thread::sleep_for(20ms);
  WriteAll(fd, "GET /smuggled HTTP/1.1\r\nHost: x\r\n\r\n");
  ::shutdown(fd, SHUT_WR);
  EXPECT_EQ(ReadUntilClosed(fd), kRelayedOk);
  ::close(fd);
  EXPECT_EQ(origin.Request(0), Forwarded(head));
  EXPECT_EQ(origin.RequestCount(), 1u);
}

TEST_F(ServerTest, ASecondRequestOnTheConnectionGetsNoSecondAnswer) {
  TestOrigin origin(kOk);
  std::string request = "GET / HTTP/1.1\r\nHost: 127.0.0.1:" + Port(origin.Port()) + "\r\n\r\n";
  int fd = ConnectLoopback(port_);
  WriteAll(fd, request);
  EXPECT_EQ(origin.Request(0), Forwarded(request));
  WriteAll(fd, request);
  EXPECT_EQ(ReadUntilClosed(fd), kRelayedOk);
  ::close(fd);
  EXPECT_EQ(origin.RequestCount(), 1u);
}

// A taken port is the one failure a user must answer: a box that names the port and how to
// find who holds it, and the same in English on standard error.
TEST(ServerStart, PortInUseShowsBindAndWhatToDo) {
  ClearTold();
  SetMessageBoxHandler(RecordBox);
  uint16_t port = FreeLoopbackPort();
  ASSERT_EQ(StartProxyServerOn(port, 50), 1);
  testing::internal::CaptureStderr();
  EXPECT_EQ(StartProxyServerOn(port, 50), 0);
  std::string err = testing::internal::GetCapturedStderr();
  StopProxyServer();
  SetMessageBoxHandler(nullptr);
  std::string p = std::to_string(port);
  EXPECT_EQ(err, "ERROR(98): bind\ncorvane: port " + p +
                     " is in use by another program; find it with: ss -ltnp 'sport = :" + p +
                     "'\n");
  ASSERT_EQ(Boxes().size(), 1u);
  std::vector<std::string> box = Lines(Boxes()[0]);
  ASSERT_EQ(box.size(), 3u);
  EXPECT_EQ(box[0], "Corvane|" + std::to_string(kMbIconError) + "|ERROR(98): bind");  // EADDRINUSE
  EXPECT_TRUE(box[1].starts_with("ポート " + p + " はほかのプログラムが使っています")) << box[1];
  EXPECT_TRUE(box[2].ends_with(": ss -ltnp 'sport = :" + p + "'")) << box[2];
}

TEST(ServerStart, StopThenStartAgainServes) {
  TestOrigin origin(kOk);
  std::string request =
      "GET / HTTP/1.0\r\nHost: 127.0.0.1:" + std::to_string(origin.Port()) + "\r\n\r\n";
  for (int round = 0; round < 3; ++round) {
    uint16_t port = FreeLoopbackPort();
    ASSERT_EQ(StartProxyServerOn(port, 10), 1);
    EXPECT_EQ(Exchange(port, request), kRelayedOk) << "round " << round;
    StopProxyServer();
    EXPECT_LT(ConnectLoopback(port), 0) << "still listening after stop";
  }
}

TEST(ServerStart, SamePortAgainRightAfterServing) {
  TestOrigin origin(kOk);
  std::string request =
      "GET / HTTP/1.0\r\nHost: 127.0.0.1:" + std::to_string(origin.Port()) + "\r\n\r\n";
  uint16_t port = FreeLoopbackPort();
  ASSERT_EQ(StartProxyServerOn(port, 0), 1);
  EXPECT_EQ(Exchange(port, request), kRelayedOk);  // the proxy closed first: TIME_WAIT on the port
  StopProxyServer();
  ASSERT_EQ(StartProxyServerOn(port, 0), 1);
  EXPECT_EQ(Exchange(port, request), kRelayedOk);
  StopProxyServer();
}

// The real closing delay: the answer's end reaches the client at once; the connection is kept
// for 5000 ms after it, reading and dropping what the client still sends, then closed.
class CloseDelayTest : public ServerTest {
 protected:
  void SetUp() override {
    closeDelayMs_ = kCloseDelayMs;
    ServerTest::SetUp();
  }
};

TEST_F(CloseDelayTest, AnswerEndsAtOnceAndTheConnectionIsKeptForTheDelay) {
  TestOrigin origin(kOk);  // no length: the answer ends where the origin closes
  int fd = ConnectLoopback(port_);
  timeval limit{3, 0};
  ::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof limit);
  auto start = Clock::now();
  WriteAll(fd, "GET / HTTP/1.0\r\nHost: 127.0.0.1:" + Port(origin.Port()) + "\r\n\r\n");
  EXPECT_EQ(ReadUntilClosed(fd, 8000ms), kRelayedOk);
  EXPECT_LT(Clock::now() - start, 1000ms);
  // More than the socket buffers hold goes through only while the proxy reads and drops it.
  EXPECT_TRUE(WriteAll(fd, std::string(8 << 20, 'x')));
  std::this_thread::sleep_for(start + 4000ms - Clock::now());
  char byte;
  EXPECT_EQ(::recv(fd, &byte, 1, MSG_DONTWAIT), 0) << "reset before the delay passed";
  std::this_thread::sleep_for(start + std::chrono::milliseconds(kCloseDelayMs + 1000) -
                              Clock::now());
  // Closed now: what the client sends is answered with a reset.
  WriteAll(fd, "late");
  std::this_thread::sleep_for(100ms);
  EXPECT_FALSE(WriteAll(fd, "later"));
  ::close(fd);
}

TEST_F(CloseDelayTest, ClientClosingDuringTheWaitIsClosedAtOnce) {
  auto descriptors = [] {
    return std::distance(std::filesystem::directory_iterator("/proc/self/fd"),
                         std::filesystem::directory_iterator{});
  };
  TestOrigin origin(kOk);
  std::this_thread::sleep_for(50ms);
  auto idle = descriptors();
  int fd = ConnectLoopback(port_);
  WriteAll(fd, "GET / HTTP/1.0\r\nHost: 127.0.0.1:" + Port(origin.Port()) + "\r\n\r\n");
  EXPECT_EQ(ReadUntilClosed(fd, 3000ms), kRelayedOk);
  ::close(fd);  // the browser has all it asked for
  auto end = Clock::now() + 1000ms;
  while (descriptors() > idle && Clock::now() < end)
    std::this_thread::sleep_for(10ms);
  EXPECT_LE(descriptors(), idle);  // long before the delay passed
}

}  // namespace

// The proxy server through real loopback sockets: what reaches the origin or the upstream proxy,
// what comes back, when connections close, and what the user is shown when a step fails.
#include "core/server.h"

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "core/settings.h"
#include "platform/message_box.h"
#include "platform/text_convert.h"
#include "tests/support/loopback.h"
#include "tests/support/proxy_fixture.h"

namespace {

using Clock = std::chrono::steady_clock;

// The boxes workers have shown. Never destroyed: a worker may still show one while the test
// program exits.
struct BoxLog {
  std::mutex lock;
  std::vector<std::string> texts;
};

BoxLog& Log() {
  static BoxLog* log = new BoxLog;
  return *log;
}

void RecordBox(std::u16string_view text) {
  char line[256];
  WideToSingleByte(text, line);
  std::lock_guard<std::mutex> hold(Log().lock);
  Log().texts.emplace_back(line);
}

std::vector<std::string> Boxes() {
  std::lock_guard<std::mutex> hold(Log().lock);
  return Log().texts;
}

void ClearBoxes() {
  std::lock_guard<std::mutex> hold(Log().lock);
  Log().texts.clear();
}

// Every server test records its boxes instead of only printing them.
class ServerTest : public ProxyTest {
 protected:
  void SetUp() override {
    ClearBoxes();
    SetMessageBoxHandler(RecordBox);
    ProxyTest::SetUp();
  }
  void TearDown() override {
    ProxyTest::TearDown();
    SetMessageBoxHandler(nullptr);
  }
  std::string Port(uint16_t p) { return std::to_string(p); }
};

constexpr const char* kOk = "HTTP/1.0 200 OK\r\nContent-Type: text/plain\r\n\r\nhello";

TEST_F(ServerTest, DirectAbsoluteAddressReachesOriginAsPath) {
  TestOrigin origin(kOk);
  std::string p = Port(origin.Port());
  std::string answer =
      Exchange(port_, "GET http://127.0.0.1:" + p + "/a/b?c=d HTTP/1.0\r\nHost: 127.0.0.1\r\n\r\n");
  EXPECT_EQ(answer, kOk);
  EXPECT_EQ(origin.Request(0), Closing("GET /a/b?c=d HTTP/1.0\r\nHost: 127.0.0.1\r\n\r\n"));
}

TEST_F(ServerTest, PortFromHostHeader) {
  TestOrigin origin(kOk);
  std::string p = Port(origin.Port());
  std::string request = "GET /x HTTP/1.1\r\nHost: 127.0.0.1:" + p + "\r\n\r\n";
  EXPECT_EQ(Exchange(port_, request), kOk);
  EXPECT_EQ(origin.Request(0), Closing(request));
}

TEST_F(ServerTest, AbsoluteAddressWithoutHostHeaderOrPath) {
  TestOrigin origin(kOk);
  std::string p = Port(origin.Port());
  EXPECT_EQ(Exchange(port_, "GET http://127.0.0.1:" + p + " HTTP/1.0\r\n\r\n"), kOk);
  EXPECT_EQ(origin.Request(0), "GET / HTTP/1.0\r\nConnection: close\r\n\r\n");
}

TEST_F(ServerTest, NamedHostIsResolved) {
  TestOrigin origin(kOk);
  std::string p = Port(origin.Port());
  EXPECT_EQ(Exchange(port_, "GET http://localhost:" + p + "/n HTTP/1.0\r\nHost: localhost:" + p +
                                "\r\n\r\n"),
            kOk);
  EXPECT_EQ(origin.Request(0).substr(0, 19), "GET /n HTTP/1.0\r\nHo");
}

TEST_F(ServerTest, OnlyTheRequestLineLosesItsSchemeAndHost) {
  TestOrigin origin(kOk);
  std::string p = Port(origin.Port());
  std::string request =
      "GET /x HTTP/1.0\r\nReferer: http://elsewhere/p\r\nHost: 127.0.0.1:" + p + "\r\n\r\n";
  Exchange(port_, request);
  EXPECT_EQ(origin.Request(0), Closing(request));
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
  EXPECT_EQ(Exchange(port_, request), kOk);
  EXPECT_EQ(upstream.Request(0), Closing(request));
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
  EXPECT_EQ(ReadUntilClosed(fd), kOk);
  ::close(fd);
  EXPECT_EQ(origin.Request(0), Closing(head) + body);
}

TEST_F(ServerTest, HeadAndBodyInOneChunk) {
  TestOrigin origin(kOk);
  std::string request = "POST /f HTTP/1.0\r\nHost: 127.0.0.1:" + Port(origin.Port()) +
                        "\r\nContent-Length: 5\r\n\r\nx=1&y";
  EXPECT_EQ(Exchange(port_, request), kOk);
  EXPECT_EQ(origin.Request(0), Closing(request));
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
  EXPECT_EQ(ReadUntilClosed(fd), kOk);
  ::close(fd);
  EXPECT_EQ(origin.Request(0), Closing(head) + body + body);
}

TEST_F(ServerTest, AnswerWithNulBytesIsRelayedWhole) {
  std::string answer("HTTP/1.0 200 OK\r\n\r\n\0\0binary\0\xFF", 29);
  std::string big(100000, '\0');
  for (size_t i = 0; i < big.size(); i += 7)
    big[i] = static_cast<char>(i);
  TestOrigin origin(answer + big);
  EXPECT_EQ(
      Exchange(port_, "GET / HTTP/1.0\r\nHost: 127.0.0.1:" + Port(origin.Port()) + "\r\n\r\n"),
      answer + big);
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
  EXPECT_EQ(ReadUntilClosed(fd), kOk);
  ::close(fd);
  EXPECT_EQ(origin.Request(0), Closing(head));
}

TEST_F(ServerTest, KeepAliveLinesBecomeOneCloseLine) {
  TestOrigin origin(kOk);
  std::string p = Port(origin.Port());
  Exchange(port_, "GET http://127.0.0.1:" + p + "/ HTTP/1.1\r\nHost: 127.0.0.1:" + p +
                      "\r\nProxy-Connection: keep-alive\r\nConnection: keep-alive\r\n\r\n");
  EXPECT_EQ(origin.Request(0),
            "GET / HTTP/1.1\r\nHost: 127.0.0.1:" + p + "\r\nConnection: close\r\n\r\n");
}

TEST_F(ServerTest, Ipv6LiteralOrigin) {
  TestOrigin origin(kOk, /*ipv6=*/true);
  std::string authority = "[::1]:" + Port(origin.Port());
  EXPECT_EQ(Exchange(port_, "GET http://" + authority + "/six HTTP/1.0\r\nHost: " + authority +
                                "\r\n\r\n"),
            kOk);
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
  EXPECT_EQ(got.size(), answer.size());
  EXPECT_TRUE(got == answer);
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
            kOk);
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
      kOk);
  std::this_thread::sleep_for(100ms);  // long past the empty connection's end
  EXPECT_TRUE(Boxes().empty());
}

TEST_F(ServerTest, NoHostIsReportedAndClosed) {
  EXPECT_EQ(Exchange(port_, "GET /x HTTP/1.0\r\nAccept: */*\r\n\r\n"), "");
  ASSERT_EQ(Boxes().size(), 1u);
  EXPECT_EQ(Boxes()[0].substr(0, 6), "ERROR(");
  EXPECT_NE(Boxes()[0].find("): get host miss"), std::string::npos);
}

TEST_F(ServerTest, RefusedConnectIsReportedAndClosed) {
  uint16_t nobody = FreeLoopbackPort();
  EXPECT_EQ(Exchange(port_, "GET / HTTP/1.0\r\nHost: 127.0.0.1:" + Port(nobody) + "\r\n\r\n"), "");
  ASSERT_EQ(Boxes().size(), 1u);
  EXPECT_EQ(Boxes()[0], "ERROR(111): connect to server");  // ECONNREFUSED
}

TEST_F(ServerTest, UnknownHostEndsSilently) {
  EXPECT_EQ(Exchange(port_, "GET / HTTP/1.0\r\nHost: no-such-host.invalid\r\n\r\n"), "");
  EXPECT_TRUE(Boxes().empty());
}

TEST_F(ServerTest, AnotherWorkerAcceptsWhileOneServes) {
  TestOrigin origin(kOk);
  int idle = ConnectLoopback(port_);  // accepted, then waits for the rest of its head
  ASSERT_GE(idle, 0);
  WriteAll(idle, "GET / HTTP/1.0\r\n");
  std::string request = "GET / HTTP/1.0\r\nHost: 127.0.0.1:" + Port(origin.Port()) + "\r\n\r\n";
  EXPECT_EQ(Exchange(port_, request, 3000ms), kOk);
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
      if (Exchange(port_, request) == kOk) served++;
    });
  }
  for (auto& t : clients)
    t.join();
  EXPECT_EQ(served.load(), kClients);
  EXPECT_EQ(origin.RequestCount(), static_cast<size_t>(kClients));
}

TEST_F(ServerTest, ASecondRequestOnTheConnectionIsNeverRead) {
  TestOrigin origin(kOk);
  std::string request = "GET / HTTP/1.1\r\nHost: 127.0.0.1:" + Port(origin.Port()) + "\r\n\r\n";
  int fd = ConnectLoopback(port_);
  WriteAll(fd, request);
  EXPECT_EQ(origin.Request(0), Closing(request));
  WriteAll(fd, request);
  EXPECT_EQ(ReadUntilClosed(fd), kOk);
  ::close(fd);
  EXPECT_EQ(origin.RequestCount(), 1u);
}

TEST(ServerStart, PortInUseShowsBind) {
  ClearBoxes();
  SetMessageBoxHandler(RecordBox);
  uint16_t port = FreeLoopbackPort();
  ASSERT_EQ(StartProxyServerOn(port, 50), 1);
  EXPECT_EQ(StartProxyServerOn(port, 50), 0);
  StopProxyServer();
  SetMessageBoxHandler(nullptr);
  ASSERT_EQ(Boxes().size(), 1u);
  EXPECT_EQ(Boxes()[0], "ERROR(98): bind");  // EADDRINUSE
}

TEST(ServerStart, StopThenStartAgainServes) {
  TestOrigin origin(kOk);
  std::string request =
      "GET / HTTP/1.0\r\nHost: 127.0.0.1:" + std::to_string(origin.Port()) + "\r\n\r\n";
  for (int round = 0; round < 3; ++round) {
    uint16_t port = FreeLoopbackPort();
    ASSERT_EQ(StartProxyServerOn(port, 10), 1);
    EXPECT_EQ(Exchange(port, request), kOk) << "round " << round;
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
  EXPECT_EQ(Exchange(port, request), kOk);  // the proxy closed first: TIME_WAIT on the port
  StopProxyServer();
  ASSERT_EQ(StartProxyServerOn(port, 0), 1);
  EXPECT_EQ(Exchange(port, request), kOk);
  StopProxyServer();
}

// The real closing delay: the client's connection closes 5000 ms after the origin closed.
class CloseDelayTest : public ServerTest {
 protected:
  void SetUp() override {
    closeDelayMs_ = kCloseDelayMs;
    ServerTest::SetUp();
  }
};

TEST_F(CloseDelayTest, ConnectionClosesFiveSecondsAfterOriginClosed) {
  TestOrigin origin("");  // an empty answer: the origin closes at once
  int fd = ConnectLoopback(port_);
  auto start = Clock::now();
  WriteAll(fd, "GET / HTTP/1.0\r\nHost: 127.0.0.1:" + Port(origin.Port()) + "\r\n\r\n");
  EXPECT_EQ(ReadUntilClosed(fd, 8000ms), "");
  auto waited = Clock::now() - start;
  ::close(fd);
  EXPECT_GE(waited, std::chrono::milliseconds(kCloseDelayMs));
  EXPECT_LT(waited, std::chrono::milliseconds(kCloseDelayMs + 2500));
}

TEST_F(CloseDelayTest, ClientClosingDuringTheWaitIsClosedAtOnce) {
  TestOrigin origin(kOk);
  int fd = ConnectLoopback(port_);
  WriteAll(fd, "GET / HTTP/1.0\r\nHost: 127.0.0.1:" + Port(origin.Port()) + "\r\n\r\n");
  std::string answer;
  char buf[256];
  while (answer.size() < std::string(kOk).size()) {
    ssize_t n = ::recv(fd, buf, sizeof buf, 0);
    ASSERT_GT(n, 0);
    answer.append(buf, static_cast<size_t>(n));
  }
  auto start = Clock::now();
  ::shutdown(fd, SHUT_WR);  // the browser has all it asked for
  EXPECT_EQ(ReadUntilClosed(fd, 8000ms), "");
  ::close(fd);
  EXPECT_LT(Clock::now() - start, std::chrono::milliseconds(kCloseDelayMs / 2));
}

}  // namespace

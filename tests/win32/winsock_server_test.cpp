// The proxy over Winsock on loopback: what differs from Linux underneath the same core (accept
// that must be woken by an event, timeouts in DWORD milliseconds, the closer without epoll).
#include <gtest/gtest.h>

#include <chrono>
#include <mutex>
#include <string>
#include <vector>

#include "core/server.h"
#include "core/settings.h"
#include "platform/message_box.h"
#include "platform/text_convert.h"
#include "tests/support/loopback.h"
#include "tests/support/proxy_fixture.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr const char* kOk = "HTTP/1.0 200 OK\r\nContent-Type: text/plain\r\n\r\nhello";
// The same answer as the client gets it: the connection closes after it.
constexpr const char* kRelayedOk =
    "HTTP/1.0 200 OK\r\nContent-Type: text/plain\r\nConnection: close\r\n\r\nhello";

std::mutex boxLock;
std::vector<std::string> boxes;

int RecordBox(std::u16string_view text, std::u16string_view, uint32_t) {
  char line[1024];
  WideToSingleByte(text, line);
  std::lock_guard<std::mutex> hold(boxLock);
  boxes.emplace_back(line);
  return 1;
}

std::string Get(const TestOrigin& origin, std::string_view path = "/") {
  return "GET " + std::string(path) +
         " HTTP/1.0\r\nHost: 127.0.0.1:" + std::to_string(origin.Port()) + "\r\n\r\n";
}

// True once nothing accepts on the port any more, waiting at most `limit`.
bool StopsListening(uint16_t port, std::chrono::milliseconds limit) {
  for (auto end = Clock::now() + limit; Clock::now() < end;) {
    int fd = ConnectLoopback(port);
    if (fd < 0) return true;
    CloseConnection(fd);
    std::this_thread::sleep_for(50ms);
  }
  return false;
}

class WinsockProxyTest : public ProxyTest {};

TEST_F(WinsockProxyTest, DirectAndUpstreamExchanges) {
  TestOrigin origin(kOk);
  std::string request = Get(origin, "/a?b=c");
  EXPECT_EQ(Exchange(port_, request), kRelayedOk);
  EXPECT_EQ(origin.Request(0), Forwarded(request));

  TestOrigin upstream(kOk);
  ProxySettings s;
  s.UseProxy = 1;
  SingleByteToWide("127.0.0.1", s.ProxyName);
  s.ProxyPort = upstream.Port();
  ReplaceSettings(s);
  std::string absolute =
      "GET http://origin.invalid:81/p HTTP/1.0\r\nHost: origin.invalid:81\r\n\r\n";
  EXPECT_EQ(Exchange(port_, absolute), kRelayedOk);
  EXPECT_EQ(upstream.Request(0), Forwarded(absolute));
}

TEST_F(WinsockProxyTest, ALargeAnswerAndManyClientsPassWhole) {
  std::string big = "HTTP/1.0 200 OK\r\n\r\n" + std::string(3 * 1024 * 1024, 'x');
  TestOrigin origin(big);
  std::vector<std::thread> clients;
  std::vector<std::string> answers(8);
  for (size_t i = 0; i < answers.size(); ++i)
    clients.emplace_back([&, i] { answers[i] = Exchange(port_, Get(origin)); });
  for (std::thread& t : clients)
    t.join();
  for (const std::string& answer : answers)
    EXPECT_EQ(answer.size(), big.size() + std::string_view("Connection: close\r\n").size());
}

TEST_F(WinsockProxyTest, AStopWakesTheWorkersWaitingInAccept) {
  // Serve a burst first, so that spare workers are left waiting in accept beside the first.
  TestOrigin origin(kOk);
  std::vector<std::thread> clients;
  for (int i = 0; i < 6; ++i)
    clients.emplace_back([&] { Exchange(port_, Get(origin)); });
  for (std::thread& t : clients)
    t.join();
  // The only worker left waiting never times out of accept: unless the stop wakes it, the
  // listener stays open.
  StopProxyServer();
  EXPECT_TRUE(StopsListening(port_, 5000ms));
  ASSERT_EQ(StartProxyServerOn(port_, kTestCloseDelayMs), 1);
  EXPECT_EQ(Exchange(port_, Get(origin)), kRelayedOk);
}

class WinsockCloseDelayTest : public ProxyTest {
 protected:
  void SetUp() override {
    closeDelayMs_ = kCloseDelayMs;
    ProxyTest::SetUp();
  }
};

TEST_F(WinsockCloseDelayTest, AnswerEndsAtOnceAndTheConnectionIsKeptForTheDelay) {
  TestOrigin origin("");  // an empty answer: the origin closes at once
  int fd = ConnectLoopback(port_);
  auto start = Clock::now();
  WriteAll(fd, Get(origin));
  EXPECT_EQ(ReadUntilClosed(fd, 8000ms), "");
  EXPECT_LT(Clock::now() - start, 1000ms);
  // What the client still sends is read and dropped: a connection closed early with unread
  // bytes would answer the second write with a reset.
  EXPECT_TRUE(WriteAll(fd, std::string(64 * 1024, 'x')));
  std::this_thread::sleep_for(start + 4000ms - Clock::now());
  EXPECT_TRUE(WriteAll(fd, "still"));
  std::this_thread::sleep_for(100ms);
  EXPECT_TRUE(WriteAll(fd, "open")) << "closed before the delay passed";
  std::this_thread::sleep_for(start + std::chrono::milliseconds(kCloseDelayMs + 1000) -
                              Clock::now());
  WriteAll(fd, "late");
  std::this_thread::sleep_for(100ms);
  EXPECT_FALSE(WriteAll(fd, "later")) << "still open after the delay";
  CloseConnection(fd);
}

TEST(WinsockServerStart, APortInUseShowsWinsocksCode) {
  {
    std::lock_guard<std::mutex> hold(boxLock);
    boxes.clear();
  }
  SetMessageBoxHandler(RecordBox);
  uint16_t port = FreeLoopbackPort();
  ASSERT_EQ(StartProxyServerOn(port, 50), 1);
  EXPECT_EQ(StartProxyServerOn(port, 50), 0);
  StopProxyServer();
  SetMessageBoxHandler(nullptr);
  std::lock_guard<std::mutex> hold(boxLock);
  ASSERT_EQ(boxes.size(), 1u);
  // WSAEADDRINUSE, then what it means, with the command that names the port's holder.
  EXPECT_TRUE(boxes[0].starts_with("ERROR(10048): bind\n")) << boxes[0];
  EXPECT_NE(boxes[0].find("netstat -ano | findstr :" + std::to_string(port)), std::string::npos);
}

}  // namespace

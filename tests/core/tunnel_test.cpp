// HTTPS through the proxy: CONNECT opens a tunnel whose bytes pass unchanged both ways.
#include <gtest/gtest.h>
#include <unistd.h>

#include <string>

#include "core/settings.h"
#include "platform/text_convert.h"
#include "tests/support/loopback.h"
#include "tests/support/proxy_fixture.h"

namespace {

constexpr const char* kEstablished = "HTTP/1.1 200 Connection established\r\n\r\n";
constexpr const char* kInner = "HTTP/1.0 200 OK\r\n\r\nsecret";

class TunnelTest : public ProxyTest {};

TEST_F(TunnelTest, DirectTunnelCarriesBytesUnchanged) {
  TestOrigin target(kInner);
  std::string p = std::to_string(target.Port());
  int fd = ConnectLoopback(port_);
  ASSERT_GE(fd, 0);
  WriteAll(fd, "CONNECT 127.0.0.1:" + p + " HTTP/1.1\r\nHost: 127.0.0.1:" + p + "\r\n\r\n");
  // Inside the tunnel nothing is rewritten: no Connection line is added to this head.
  std::string inner = "GET /in HTTP/1.1\r\nHost: x\r\nConnection: keep-alive\r\n\r\n";
  WriteAll(fd, inner);
  EXPECT_EQ(ReadUntilClosed(fd), std::string(kEstablished) + kInner);
  ::close(fd);
  EXPECT_EQ(target.Request(0), inner);
}

TEST_F(TunnelTest, BytesSentWithTheConnectHeadGoThrough) {
  TestOrigin target(kInner);
  std::string p = std::to_string(target.Port());
  std::string inner = "GET /early HTTP/1.0\r\n\r\n";
  std::string answer = Exchange(port_, "CONNECT 127.0.0.1:" + p + " HTTP/1.1\r\n\r\n" + inner);
  EXPECT_EQ(answer, std::string(kEstablished) + kInner);
  EXPECT_EQ(target.Request(0), inner);
}

TEST_F(TunnelTest, UpstreamProxyOpensTheTunnel) {
  TestOrigin upstream(std::string(kEstablished) + "tunnelled");
  ProxySettings s;
  s.UseProxy = 1;
  SingleByteToWide("127.0.0.1", s.ProxyName);
  s.ProxyPort = upstream.Port();
  ReplaceSettings(s);
  std::string connect = "CONNECT example.invalid:443 HTTP/1.1\r\nHost: example.invalid:443\r\n\r\n";
  EXPECT_EQ(Exchange(port_, connect), std::string(kEstablished) + "tunnelled");
  EXPECT_EQ(upstream.Request(0), connect);
}

TEST_F(TunnelTest, UnreachableTargetAnswersBadGateway) {
  uint16_t nobody = FreeLoopbackPort();
  std::string answer =
      Exchange(port_, "CONNECT 127.0.0.1:" + std::to_string(nobody) + " HTTP/1.1\r\n\r\n");
  EXPECT_EQ(answer.substr(0, 26), "HTTP/1.1 502 Bad Gateway\r\n");
  answer = Exchange(port_, "CONNECT no-such-host.invalid:443 HTTP/1.1\r\n\r\n");
  EXPECT_EQ(answer.substr(0, 26), "HTTP/1.1 502 Bad Gateway\r\n");
}

}  // namespace

// The rewriting through the running proxy: what a recording origin receives.
#include <gtest/gtest.h>

#include <string>
#include <thread>

#include "rewrite/page_memory.h"
#include "rewrite/rewriting.h"
#include "tests/rewrite/filter_harness.h"
#include "tests/support/proxy_fixture.h"

namespace {

const std::string kHtmlAnswer = "HTTP/1.0 200 OK\r\nContent-Type: text/html\r\n\r\n<p>hello</p>";

class RewritingProxyTest : public ProxyTest {
 protected:
  void SetUp() override {
    InstallRewriting();
    ProxyTest::SetUp();
  }
  void TearDown() override {
    ProxyTest::TearDown();
    InstallExchangeHooks(ExchangeHooks{});
  }

  // "http://127.0.0.1:<port>" of the origin.
  static std::string Site(const TestOrigin& origin) {
    return "http://127.0.0.1:" + std::to_string(origin.Port());
  }
  static std::string HostLine(const TestOrigin& origin) {
    return "Host: 127.0.0.1:" + std::to_string(origin.Port()) + "\r\n";
  }
  std::string Get(const TestOrigin& origin, const std::string& path,
                  const std::string& headers = "") {
    return Exchange(port_, "GET " + Site(origin) + path + " HTTP/1.0\r\n" + headers +
                               HostLine(origin) + "\r\n");
  }
};

TEST_F(RewritingProxyTest, RefererCarriesTheLastHtmlPage) {
  TestOrigin origin(kHtmlAnswer);
  EXPECT_EQ(Get(origin, "/index.html"), Closing(kHtmlAnswer));
  EXPECT_EQ(origin.Request(0),
            Forwarded("GET /index.html HTTP/1.0\r\n" + HostLine(origin) + "\r\n"));

  EXPECT_EQ(Get(origin, "/next.html", "Accept: */*\r\n"), Closing(kHtmlAnswer));
  EXPECT_EQ(origin.Request(1),
            Forwarded("GET /next.html HTTP/1.0\r\nAccept: */*\r\nReferer: " + Site(origin) +
                      "/index.html\r\n" + HostLine(origin) + "\r\n"));
}

// Interim answers reach the client as they are; the page memory looks at the final answer.
TEST_F(RewritingProxyTest, PageMemoryLooksPastInterimAnswers) {
  const std::string interim =
      "HTTP/1.1 100 Continue\r\n\r\nHTTP/1.1 103 Early Hints\r\nLink: </s.css>\r\n\r\n";
  TestOrigin origin(interim + kHtmlAnswer);
  EXPECT_EQ(Get(origin, "/after-continue.html"), interim + Closing(kHtmlAnswer));
  EXPECT_EQ(RememberedPage(), Site(origin) + "/after-continue.html");
}

TEST_F(RewritingProxyTest, DeviceLinesGoUnlessSendMachine) {
  TestOrigin origin("HTTP/1.0 204 No Content\r\n\r\n");
  const std::string device =
      "UA-OS: CE\r\nUA-color: color16\r\nUA-pixels: 240x320\r\nUA-CPU: ARM\r\n"
      "sec-ch-ua-platform: \"Linux\"\r\n";
  Get(origin, "/a", device);
  EXPECT_EQ(origin.Request(0), Forwarded("GET /a HTTP/1.0\r\n" + HostLine(origin) + "\r\n"));

  ProxySettings settings;
  settings.SendMachine = 1;
  ReplaceSettings(settings);
  Get(origin, "/b", device);
  EXPECT_EQ(origin.Request(1),
            Forwarded("GET /b HTTP/1.0\r\n" + device + HostLine(origin) + "\r\n"));
}

// The browser gets the answer without the lines that ask for hints; the page memory sees it as
// it came.
TEST_F(RewritingProxyTest, AnswersAskForNoClientHintsUnlessSendMachine) {
  const std::string asking = "Accept-CH: Sec-CH-UA-Arch\r\nCritical-CH: Sec-CH-UA-Arch\r\n";
  TestOrigin origin("HTTP/1.0 200 OK\r\n" + asking + "Content-Type: text/html\r\n\r\n<p>hi</p>");
  EXPECT_EQ(Get(origin, "/asks.html"),
            Closing("HTTP/1.0 200 OK\r\nContent-Type: text/html\r\n\r\n<p>hi</p>"));
  EXPECT_EQ(RememberedPage(), Site(origin) + "/asks.html");

  ProxySettings settings;
  settings.SendMachine = 1;
  ReplaceSettings(settings);
  EXPECT_EQ(Get(origin, "/asks.html"),
            Closing("HTTP/1.0 200 OK\r\n" + asking + "Content-Type: text/html\r\n\r\n<p>hi</p>"));
}

TEST_F(RewritingProxyTest, UserAgentReplacedAfterReferer) {
  TestOrigin origin("HTTP/1.0 204 No Content\r\n\r\n");
  ProxySettings settings;
  settings.ChangeUA = 1;
  SetUAName(settings, u"Corvane/1.0");
  ReplaceSettings(settings);
  SetLastPageUrl("http://shop.example/");
  Get(origin, "/a", "User-Agent: Browser/4\r\nsec-ch-ua: \"Browser\";v=\"4\"\r\n");
  EXPECT_EQ(
      origin.Request(0),
      Forwarded("GET /a HTTP/1.0\r\nReferer: http://shop.example/\r\nUser-Agent: Corvane/1.0\r\n" +
                HostLine(origin) + "\r\n"));
}

TEST_F(RewritingProxyTest, FormPostShrinksWithMatchingLength) {
  TestOrigin origin("HTTP/1.0 204 No Content\r\n\r\n");
  ProxySettings settings;
  settings.SpaceConvert = 1;
  ReplaceSettings(settings);
  Exchange(port_, "POST " + Site(origin) + "/f HTTP/1.0\r\n" + HostLine(origin) +
                      "Content-Length: 13\r\nContent-Type: application/x-www-form-urlencoded"
                      "\r\n\r\nq=ab%3Fc%3Fde");
  EXPECT_EQ(origin.Request(0), Forwarded("POST /f HTTP/1.0\r\n" + HostLine(origin) +
                                         "Content-Length: 9\r\nContent-Type: "
                                         "application/x-www-form-urlencoded\r\n\r\nq=ab+c+de"));
}

// A body too large to come with its head: only the part the head's chunk holds is converted.
TEST_F(RewritingProxyTest, FormPostOverTwoChunksDeclaresWhatIsSent) {
  TestOrigin origin("HTTP/1.0 204 No Content\r\n\r\n");
  ProxySettings settings;
  settings.SpaceConvert = 1;
  ReplaceSettings(settings);
  const std::string first = "q=a%3Fb%3F&pad=" + std::string(6000, 'p');  // comes with the head
  const std::string second = std::string(6000, 'p') + "&r=%3F";  // a later chunk, as received
  int client = ConnectLoopback(port_);
  ASSERT_GE(client, 0);
  WriteAll(client, "POST " + Site(origin) + "/f HTTP/1.0\r\n" + HostLine(origin) +
                       "Content-Type: application/x-www-form-urlencoded\r\nContent-Length: " +
                       std::to_string(first.size() + second.size()) + "\r\n\r\n" + first);
  std::this_thread::sleep_for(200ms);
  WriteAll(client, second);
  ReadUntilClosed(client);
  ::close(client);

  const std::string body = "q=a+b+&pad=" + std::string(12000, 'p') + "&r=%3F";
  EXPECT_EQ(origin.Request(0),
            Forwarded("POST /f HTTP/1.0\r\n" + HostLine(origin) +
                      "Content-Length: " + std::to_string(body.size()) +
                      "\r\nContent-Type: application/x-www-form-urlencoded\r\n\r\n" + body));
}

// A client that writes a small body apart from its head (as wget does) still has it converted:
// the head's chunk waits for the body it declares.
TEST_F(RewritingProxyTest, FormBodyWrittenApartFromItsHeadIsConvertedWhole) {
  TestOrigin origin("HTTP/1.0 204 No Content\r\n\r\n");
  ProxySettings settings;
  settings.SpaceConvert = 1;
  ReplaceSettings(settings);
  int client = ConnectLoopback(port_);
  ASSERT_GE(client, 0);
  WriteAll(client, "POST " + Site(origin) + "/f HTTP/1.0\r\n" + HostLine(origin) +
                       "Content-Type: application/x-www-form-urlencoded\r\nContent-Length: 12"
                       "\r\n\r\n");
  std::this_thread::sleep_for(100ms);
  WriteAll(client, "q=a%3Fb%3F&r");
  ReadUntilClosed(client);
  ::close(client);
  EXPECT_EQ(origin.Request(0),
            Forwarded("POST /f HTTP/1.0\r\n" + HostLine(origin) +
                      "Content-Length: 8\r\nContent-Type: application/x-www-form-urlencoded"
                      "\r\n\r\nq=a+b+&r"));
}

TEST_F(RewritingProxyTest, ObjectRequestAsksForTheRememberedPage) {
  TestOrigin origin(kHtmlAnswer);
  ProxySettings settings;
  settings.SendReferer = 0;
  ReplaceSettings(settings);
  Get(origin, "/list.html");
  Get(origin, "/js/[object]");
  EXPECT_EQ(origin.Request(1),
            Forwarded("GET /list.html HTTP/1.0\r\n" + HostLine(origin) + "\r\n"));
  EXPECT_EQ(RememberedPage(), Site(origin) + "/list.html");
}

// Through an upstream proxy the request keeps its absolute address, so a portal board page can
// be remembered without a name lookup.
TEST_F(RewritingProxyTest, PortalBoardRememberedWithoutHtmlType) {
  TestOrigin upstream("HTTP/1.0 200 OK\r\nContent-Type: application/octet-stream\r\n\r\n");
  ProxySettings settings;
  settings.UseProxy = 1;
  std::u16string_view loopback = u"127.0.0.1";
  std::copy(loopback.begin(), loopback.end(), settings.ProxyName);
  settings.ProxyPort = upstream.Port();
  ReplaceSettings(settings);
  const std::string board = "http://messages." + std::string(kPortalDomain) + "/bbs?id=3";
  Exchange(port_, "GET " + board + " HTTP/1.0\r\nHost: messages.example\r\n\r\n");
  EXPECT_EQ(upstream.Request(0),
            Forwarded("GET " + board + " HTTP/1.0\r\nHost: messages.example\r\n\r\n"));
  EXPECT_EQ(RememberedPage(), board);
}

}  // namespace

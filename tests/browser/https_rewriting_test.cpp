// HTTPS inspection with real clients: curl trusting the proxy's authority with --cacert, and
// Chromium trusting it through its NSS database, against TLS origins whose own authority the
// proxy trusts through SSL_CERT_FILE.
#include <gtest/gtest.h>
#include <openssl/ssl.h>
#include <poll.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "core/local_authority.h"
#include "platform/tls.h"
#include "tests/browser/real_client_fixture.h"
#include "tests/browser/test_authority.h"
#include "tests/support/loopback.h"

namespace {

// Reads a head byte by byte, so that nothing after its blank line is taken.
std::string ReadHead(int fd) {
  std::string head;
  char c;
  while (!head.ends_with("\r\n\r\n") && ::recv(fd, &c, 1, 0) == 1)
    head += c;
  return head;
}

// An upstream proxy that knows CONNECT alone: it notes the request line, connects to the
// loopback port it names, answers 200 and relays both ways. One tunnel.
class TunnellingUpstream {
 public:
  TunnellingUpstream() {
    listen_ = ListenOnLoopback(&port_);
    thread_ = std::thread([this] { Serve(); });
  }
  ~TunnellingUpstream() {
    ::shutdown(listen_, SHUT_RDWR);
    thread_.join();
    ::close(listen_);
  }
  uint16_t Port() const { return port_; }
  std::string Line() {
    std::lock_guard<std::mutex> hold(lock_);
    return line_;
  }

 private:
  void Serve() {
    int client = ::accept(listen_, nullptr, nullptr);
    if (client < 0) return;
    std::string head = ReadHead(client);
    {
      std::lock_guard<std::mutex> hold(lock_);
      line_ = head.substr(0, head.find("\r\n"));
    }
    size_t colon = head.find(':', head.find(' '));
    int origin = ConnectLoopback(static_cast<uint16_t>(std::stoi(head.substr(colon + 1))));
    WriteAll(client, "HTTP/1.1 200 Connection established\r\n\r\n");
    pollfd both[] = {{client, POLLIN, 0}, {origin, POLLIN, 0}};
    char buffer[16384];
    while (::poll(both, 2, 10000) > 0) {
      int from = (both[0].revents != 0) ? 0 : 1;
      ssize_t n = ::recv(both[from].fd, buffer, sizeof buffer, 0);
      if (n <= 0 || !WriteAll(both[1 - from].fd, {buffer, static_cast<size_t>(n)})) break;
    }
    ::close(origin);
    ::close(client);
  }

  int listen_ = -1;
  uint16_t port_ = 0;
  std::mutex lock_;
  std::string line_;
  std::thread thread_;
};

class InspectionTest : public RealClientTest {
 protected:
  void SetUp() override {
    if (!TlsAvailable()) GTEST_SKIP() << "built without TLS (CORVANE_TLS off)";
    curl_ = FindTool("curl");
    if (curl_.empty()) GTEST_SKIP() << "curl is not installed (Debian package curl)";
    setenv("XDG_CONFIG_HOME", (config_.Path() + "/config").c_str(), 1);
    // Read when the authority's contexts are made, so before it starts.
    setenv("SSL_CERT_FILE", origins_.File().c_str(), 1);
    StopUsingAuthority();
    std::string file;
    ASSERT_EQ(StartLocalAuthority(&file), AuthorityStart::kReady) << file;
    ASSERT_TRUE(LocalAuthorityCertificatePath(&proxyAuthority_));
    RealClientTest::SetUp();
    Inspect(1, u"");
  }
  void TearDown() override {
    RealClientTest::TearDown();
    StopUsingAuthority();
    unsetenv("SSL_CERT_FILE");
  }

  static void Inspect(int32_t on, std::u16string_view bypass) {
    ProxySettings s = CurrentSettings();
    s.InspectHttps = on;
    std::fill(std::begin(s.InspectBypass), std::end(s.InspectBypass), u'\0');
    std::copy(bypass.begin(), bypass.end(), s.InspectBypass);
    ReplaceSettings(s);
  }

  // curl through the proxy, trusting the authority in the file given.
  ToolRun Curl(const std::string& trusted, std::vector<std::string> args) {
    std::vector<std::string> all = {curl_, "-q", "--silent",     "--show-error", "--max-time",
                                    "20",  "-x", ProxyAddress(), "--cacert",     trusted};
    all.insert(all.end(), args.begin(), args.end());
    ToolRun run = RunTool(all, dir_, {}, 30s);
    EXPECT_TRUE(run.started);
    EXPECT_FALSE(run.timedOut) << run.err;
    return run;
  }

  // Chromium, when it and the certutil that registers the authority with it are installed;
  // otherwise empty, with what is missing in missing_.
  std::string ChromiumWithCertutil() {
    std::string chromium = FindTool("chromium");
    if (chromium.empty()) missing_ = "chromium is not installed (Debian package chromium)";
    if (FindTool("certutil").empty()) missing_ = "certutil is missing (libnss3-tools)";
    return missing_.empty() ? chromium : "";
  }

  ScratchDir config_;
  ScratchDir dir_;
  TestAuthority origins_;
  std::string proxyAuthority_;
  std::string curl_;
  std::string missing_;
};

TEST_F(InspectionTest, CurlRequestsInsideTlsAreRewrittenLikePlainOnes) {
  UseUserAgent("Corvane-Test/3.0");
  UseSpaceConvert(true);
  SiteOrigin site(origins_.Issue("127.0.0.1"));
  site.Serve("/first.html", HtmlPage("<p>first</p>"));
  site.Serve("/second.html", HtmlPage("<p>second</p>"));
  site.Serve("/submit", HtmlPage("received"));

  ToolRun pages =
      Curl(proxyAuthority_, {site.Base() + "/first.html", site.Base() + "/second.html"});
  EXPECT_EQ(pages.exitCode, 0) << pages.err;
  EXPECT_NE(pages.out.find("<p>second</p>"), std::string::npos) << pages.out;
  ToolRun form = Curl(proxyAuthority_, {"--data-binary", "q=a%3Fb", site.Base() + "/submit"});
  EXPECT_EQ(form.exitCode, 0) << form.err;

  // The page memory saw "https://127.0.0.1:PORT/first.html".
  ExpectSecondPageReferredByFirst(site, "/first.html", "/second.html");
  auto post = site.WaitFor("/submit");
  ASSERT_TRUE(post);
  EXPECT_EQ(HeaderValue(post->head, "User-Agent"), "Corvane-Test/3.0") << post->head;
  EXPECT_EQ(HeaderValue(post->head, "Referer"), site.Base() + "/second.html") << post->head;
  ExpectBodyMatchesLength(*post, "q=a+b");
  ExpectForwardedHead(*post);
}

TEST_F(InspectionTest, AnOriginThatFailsVerificationGetsNoByteAndTheBrowserA502Page) {
  struct Row {
    const char* what;
    PemIdentity identity;
    const char* reason;
  } rows[] = {
      {"expired", origins_.Issue("127.0.0.1", -10 * 86400, -86400), "certificate has expired"},
      {"another name", origins_.Issue("other.example"), "IP address mismatch"},
      {"self-signed", TestAuthority::SelfSigned("127.0.0.1"), "self-signed certificate"},
  };
  for (const Row& row : rows) {
    SiteOrigin site(row.identity);
    site.Serve("/secret.html", HtmlPage("<p>secret</p>"));
    ToolRun run =
        Curl(proxyAuthority_, {"-w", "status=%{http_code}", site.Base() + "/secret.html"});
    EXPECT_NE(run.out.find("status=502"), std::string::npos) << row.what << ": " << run.out;
    EXPECT_NE(run.out.find("<b>127.0.0.1</b> failed the check of its certificate"),
              std::string::npos)
        << run.out;
    EXPECT_NE(run.out.find(row.reason), std::string::npos) << row.what << ": " << run.out;
    EXPECT_TRUE(site.Requests().empty()) << row.what;
  }
}

// Off, or for a bypassed host, the client meets the origin's own certificate through a blind
// tunnel, and the head arrives as the client wrote it.
TEST_F(InspectionTest, OffOrBypassedTheTunnelIsBlind) {
  UseUserAgent("Corvane-Test/3.0");
  struct Row {
    int32_t on;
    std::u16string bypass;
  } rows[] = {{0, u""}, {1, u"bank.example 127.0.0.1"}, {1, u"*.example;127.0.0.1"}};
  for (const Row& row : rows) {
    Inspect(row.on, row.bypass);
    SiteOrigin site(origins_.Issue("127.0.0.1"));
    site.Serve("/own.html", HtmlPage("<p>own</p>"));
    ToolRun run = Curl(origins_.File(), {"-A", "curl-own/1", site.Base() + "/own.html"});
    EXPECT_EQ(run.exitCode, 0) << run.err;
    auto r = site.WaitFor("/own.html");
    ASSERT_TRUE(r);
    EXPECT_EQ(HeaderValue(r->head, "User-Agent"), "curl-own/1") << r->head;
  }
}

TEST_F(InspectionTest, ThroughTheUpstreamProxyATunnelIsOpenedFirst) {
  UseUserAgent("Corvane-Test/3.0");
  TunnellingUpstream upstream;
  ProxySettings s = CurrentSettings();
  s.UseProxy = 1;
  SingleByteToWide("127.0.0.1", s.ProxyName);
  s.ProxyPort = upstream.Port();
  ReplaceSettings(s);
  SiteOrigin site(origins_.Issue("127.0.0.1"));
  site.Serve("/far.html", HtmlPage("<p>far</p>"));

  ToolRun run = Curl(proxyAuthority_, {site.Base() + "/far.html"});
  EXPECT_EQ(run.exitCode, 0) << run.err;
  EXPECT_NE(run.out.find("<p>far</p>"), std::string::npos) << run.out;
  EXPECT_EQ(upstream.Line(), "CONNECT 127.0.0.1:" + std::to_string(site.Port()) + " HTTP/1.1");
  auto r = site.WaitFor("/far.html");
  ASSERT_TRUE(r);
  EXPECT_EQ(HeaderValue(r->head, "User-Agent"), "Corvane-Test/3.0") << r->head;
  ExpectForwardedHead(*r);
}

// As a browser connects: it offers h2 and HTTP/1.1, and keeps the session ticket it was given.
// The proxy keeps the origin's ticket likewise.
TEST_F(InspectionTest, ABrowsersNextConnectionResumesItsSessionAndSpeaksHttp11) {
  SiteOrigin site(origins_.Issue("127.0.0.1"));
  site.Serve("/again.html", HtmlPage("again"));
  const std::string authority = "127.0.0.1:" + std::to_string(site.Port());
  SSL_CTX* context = SSL_CTX_new(TLS_client_method());
  ASSERT_EQ(SSL_CTX_load_verify_locations(context, proxyAuthority_.c_str(), nullptr), 1);
  SSL_CTX_set_verify(context, SSL_VERIFY_PEER, nullptr);
  static const unsigned char kOffered[] = "\x02h2\x08http/1.1";
  SSL_CTX_set_alpn_protos(context, kOffered, sizeof kOffered - 1);
  SSL_SESSION* session = nullptr;
  for (int round = 0; round < 2; ++round) {
    int fd = ConnectLoopback(port_);
    WriteAll(fd, "CONNECT " + authority + " HTTP/1.1\r\nHost: " + authority + "\r\n\r\n");
    EXPECT_TRUE(ReadHead(fd).starts_with("HTTP/1.1 200 "));
    SSL* ssl = SSL_new(context);
    SSL_set_fd(ssl, fd);
    if (session != nullptr) SSL_set_session(ssl, session);
    ASSERT_EQ(SSL_connect(ssl), 1) << "round " << round;
    EXPECT_EQ(SSL_session_reused(ssl), round == 1 ? 1 : 0) << "round " << round;
    const unsigned char* chosen = nullptr;
    unsigned chosenLength = 0;
    SSL_get0_alpn_selected(ssl, &chosen, &chosenLength);
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(chosen), chosenLength), "http/1.1");
    std::string request = "GET /again.html HTTP/1.1\r\nHost: " + authority + "\r\n\r\n";
    SSL_write(ssl, request.data(), static_cast<int>(request.size()));
    std::string answer;
    char buffer[4096];
    int n;
    while ((n = SSL_read(ssl, buffer, sizeof buffer)) > 0)
      answer.append(buffer, static_cast<size_t>(n));
    EXPECT_TRUE(answer.starts_with("HTTP/1.1 200 OK")) << answer;
    if (round == 0) session = SSL_get1_session(ssl);  // the ticket came with the answer
    SSL_shutdown(ssl);  // a session closed without goodbye would not be offered again
    SSL_free(ssl);
    ::close(fd);
  }
  SSL_SESSION_free(session);
  SSL_CTX_free(context);
  EXPECT_EQ(site.Resumed(), 1);
}

// A client gone before its answer (a tab closed, a load generator that has its bytes) must not
// take the proxy with it when the answer and the goodbye meet a closed connection.
TEST_F(InspectionTest, AClientGoneBeforeItsAnswerLeavesTheProxyServing) {
  SiteOrigin site(origins_.Issue("127.0.0.1"));
  site.Serve("/gone.html", HtmlPage(std::string(20000, 'x')));
  site.Serve("/still.html", HtmlPage("still here"));
  const std::string authority = "127.0.0.1:" + std::to_string(site.Port());
  SSL_CTX* context = SSL_CTX_new(TLS_client_method());
  for (int i = 0; i < 5; ++i) {
    int fd = ConnectLoopback(port_);
    WriteAll(fd, "CONNECT " + authority + " HTTP/1.1\r\n\r\n");
    ReadHead(fd);
    SSL* ssl = SSL_new(context);
    SSL_set_fd(ssl, fd);
    ASSERT_EQ(SSL_connect(ssl), 1);
    std::string request = "GET /gone.html HTTP/1.1\r\nHost: " + authority + "\r\n\r\n";
    SSL_write(ssl, request.data(), static_cast<int>(request.size()));
    SSL_free(ssl);
    ::close(fd);
  }
  SSL_CTX_free(context);
  ASSERT_TRUE(site.WaitFor("/gone.html"));
  ToolRun run = Curl(proxyAuthority_, {site.Base() + "/still.html"});
  EXPECT_NE(run.out.find("still here"), std::string::npos) << run.err;
}

TEST_F(InspectionTest, ChromiumTrustingTheAuthorityFollowsALinkWithTheProxysReferer) {
  std::string chromium = ChromiumWithCertutil();
  if (chromium.empty()) GTEST_SKIP() << missing_;
  UseUserAgent("Corvane-Test/3.0");
  SiteOrigin site(origins_.Issue("127.0.0.1"));
  site.Serve("/first.html",
             HtmlPage("<a id=next href=/second.html referrerpolicy=no-referrer>next</a>"
                      "<script>document.getElementById('next').click()</script>"));
  site.Serve("/second.html", HtmlPage("<p>arrived</p>"));

  ToolRun run = RunChromium(chromium, port_, site.Base() + "/first.html", 5000, proxyAuthority_);
  EXPECT_EQ(run.exitCode, 0) << run.err;
  EXPECT_NE(run.out.find("arrived"), std::string::npos) << run.out << run.err;
  ExpectSecondPageReferredByFirst(site, "/first.html", "/second.html");
  auto second = site.WaitFor("/second.html");
  ASSERT_TRUE(second);
  EXPECT_EQ(HeaderValue(second->head, "User-Agent"), "Corvane-Test/3.0");
}

// Browsers send client hints to secure sites alone, so inspected HTTPS is where they matter most:
// there they go as the settings say, as on plain HTTP.
TEST_F(InspectionTest, ChromiumSendsTheSiteOnlyTheClientHintsTheSettingsLetPass) {
  std::string chromium = ChromiumWithCertutil();
  if (chromium.empty()) GTEST_SKIP() << missing_;
  for (const HintSettings& row : kHintSettings) {
    UseHintSettings(row);
    SiteOrigin site(origins_.Issue("127.0.0.1"));
    ServeHintsPage(site);
    ToolRun run = RunChromium(chromium, port_, site.Base() + "/hints.html", 0, proxyAuthority_);
    EXPECT_EQ(run.exitCode, 0) << run.err;
    EXPECT_NE(run.out.find("hints page"), std::string::npos) << run.out << run.err;
    ExpectHintsAsSettingsSay(site, row);
  }
}

}  // namespace

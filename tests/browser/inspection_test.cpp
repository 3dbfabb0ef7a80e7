// HTTPS inspection with real clients: curl trusting the proxy's authority with --cacert, and
// Chromium trusting it through its NSS database, against TLS origins whose own authority the
// proxy trusts through SSL_CERT_FILE.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <string>
#include <vector>

#include "core/local_authority.h"
#include "platform/tls.h"
#include "tests/browser/real_client_fixture.h"
#include "tests/browser/test_authority.h"

namespace {

class InspectionTest : public RealClientTest {
 protected:
  void SetUp() override {
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

  ScratchDir config_;
  ScratchDir dir_;
  TestAuthority origins_;
  std::string proxyAuthority_;
  std::string curl_;
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

TEST_F(InspectionTest, ChromiumTrustingTheAuthorityFollowsALinkWithTheProxysReferer) {
  std::string chromium = FindTool("chromium");
  if (chromium.empty()) GTEST_SKIP() << "chromium is not installed (Debian package chromium)";
  if (FindTool("certutil").empty()) GTEST_SKIP() << "certutil is missing (libnss3-tools)";
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

}  // namespace

// Debian's chromium, headless, with the proxy as its proxy server: what a loopback site receives
// when the browser follows links, submits forms, opens HTTPS pages and loads many images.
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <string_view>
#include <utility>

#include "core/last_page_url.h"
#include "tests/browser/real_client_fixture.h"

namespace {

class ChromiumTest : public RealClientTest {
 protected:
  void SetUp() override {
    RealClientTest::SetUp();
    chromium_ = FindTool("chromium");
    if (chromium_.empty()) GTEST_SKIP() << "chromium is not installed (Debian package chromium)";
  }

  // Loads url and returns the DOM the browser ended with. The budget lets the page's own script
  // navigate on before the DOM is taken.
  std::string Browse(const std::string& url, int virtualTimeBudgetMs = 0) {
    ToolRun run = RunChromium(chromium_, port_, url, virtualTimeBudgetMs);
    EXPECT_TRUE(run.started);
    EXPECT_FALSE(run.timedOut) << run.err;
    EXPECT_EQ(run.exitCode, 0) << run.err;
    return run.out;
  }

  std::string chromium_;
};

TEST_F(ChromiumTest, LinkClickCarriesTheFirstPageAsReferer) {
  SiteOrigin site;
  // The link sends no Referer of the browser's own: the one that arrives is the proxy's.
  site.Serve("/first.html",
             HtmlPage("<a id=next href=/second.html referrerpolicy=no-referrer>next</a>"
                      "<script>document.getElementById('next').click()</script>"));
  site.Serve("/second.html", HtmlPage("<p>second page</p>"));

  EXPECT_NE(Browse(site.Base() + "/first.html", 5000).find("second page"), std::string::npos);

  ExpectSecondPageReferredByFirst(site, "/first.html", "/second.html");
  for (const SeenRequest& r : site.Requests())
    ExpectForwardedHead(r);
}

TEST_F(ChromiumTest, ConfiguredUserAgentReplacesTheBrowsers) {
  UseUserAgent("Corvane-Test/2.5 (handheld)");
  SiteOrigin site;
  site.Serve("/ua.html", HtmlPage("<img id=pic src=/pic.gif><p>agent page</p>"));
  site.Serve("/pic.gif", Pixel());

  EXPECT_NE(Browse(site.Base() + "/ua.html").find("agent page"), std::string::npos);

  for (const char* target : {"/ua.html", "/pic.gif"}) {
    auto r = site.WaitFor(target);
    ASSERT_TRUE(r) << target;
    EXPECT_EQ(HeaderCount(r->head, "User-Agent"), 1) << r->head;
    EXPECT_EQ(HeaderValue(r->head, "User-Agent"), "Corvane-Test/2.5 (handheld)") << r->head;
  }
}

// A loopback site counts as secure, so Chromium sends it client hints over plain HTTP too.
TEST_F(ChromiumTest, ClientHintsReachTheSiteOnlyWhereTheSettingsLetThem) {
  for (const HintSettings& row : kHintSettings) {
    UseHintSettings(row);
    SiteOrigin site;
    ServeHintsPage(site);
    EXPECT_NE(Browse(site.Base() + "/hints.html").find("hints page"), std::string::npos);
    ExpectHintsAsSettingsSay(site, row);
  }
}

// The browser encodes "?" as "%3F"; the proxy turns each back into "+" and declares the body's
// new length, so the site reads exactly the body that came.
TEST_F(ChromiumTest, FormPostIsConvertedWithMatchingLength) {
  UseSpaceConvert(true);
  SiteOrigin site;
  site.Serve("/form.html", HtmlPage("<form method=post action=/submit>"
                                    "<input name=q value='what? why?'><input name=r value='a>?b'>"
                                    "</form><script>document.forms[0].submit()</script>"));
  site.Serve("/submit", HtmlPage("<p>form received</p>"));

  EXPECT_NE(Browse(site.Base() + "/form.html", 5000).find("form received"), std::string::npos);

  auto post = site.WaitFor("/submit");
  ASSERT_TRUE(post);
  EXPECT_TRUE(post->head.starts_with("POST /submit ")) << post->head;
  EXPECT_EQ(HeaderValue(post->head, "Content-Type"), "application/x-www-form-urlencoded");
  ExpectBodyMatchesLength(*post, "q=what++why+&r=a%3E+b");
  ExpectForwardedHead(*post);
}

// Inside a tunnel the proxy changes nothing, whatever its settings say.
TEST_F(ChromiumTest, HttpsPageLoadsThroughATunnel) {
  UseUserAgent("Corvane-Test/2.5");
  SetLastPageUrl("http://remembered.example/page.html");
  SiteOrigin site(SiteOrigin::Transport::kTls);
  site.Serve("/secure.html", HtmlPage("<img src=/lock.gif><p>secure page</p>"));
  site.Serve("/lock.gif", Pixel());

  EXPECT_NE(Browse(site.Base() + "/secure.html").find("secure page"), std::string::npos);

  for (const char* target : {"/secure.html", "/lock.gif"}) {
    auto r = site.WaitFor(target);
    ASSERT_TRUE(r) << target;
    EXPECT_NE(HeaderValue(r->head, "User-Agent").value_or(""), "Corvane-Test/2.5") << r->head;
    EXPECT_NE(HeaderValue(r->head, "Referer").value_or(""), "http://remembered.example/page.html");
    EXPECT_FALSE(std::string_view(r->head).ends_with("Connection: close\r\n\r\n")) << r->head;
  }
}

// The gallery script's line, "loaded=N ms=T": the images that arrived whole and the milliseconds
// the page took. {-1, -1} when the line is missing.
std::pair<long, long> GalleryResult(const std::string& dom) {
  size_t at = dom.find("loaded=");
  if (at == std::string::npos) return {-1, -1};
  char* rest = nullptr;
  long loaded = std::strtol(dom.c_str() + at + 7, &rest, 10);
  if (!std::string_view(rest).starts_with(" ms=")) return {-1, -1};
  return {loaded, std::strtol(rest + 4, nullptr, 10)};
}

// Every exchange ends when its answer ends, so a page of many images does not wait on kept-alive
// origin connections nor on the proxy's closing delay.
TEST_F(ChromiumTest, ThirtyImagesLoadWithinThreeSeconds) {
  SiteOrigin site;
  ServeGallery(site, "/gallery.html", 30);

  std::string dom = Browse(site.Base() + "/gallery.html");

  auto [loaded, ms] = GalleryResult(dom);
  EXPECT_EQ(loaded, 30) << dom;
  EXPECT_LT(ms, 3000) << dom;
  EXPECT_GE(site.Requests().size(), 31u);
}

// An origin that keeps its connections whatever it is asked, and one whose answers end only
// where it closes: the browser still has each answer as soon as it is whole.
TEST_F(ChromiumTest, TenImagesFromKeptAliveAndCloseDelimitedOriginsWithinASecond) {
  for (auto manner : {SiteOrigin::Manner::kKeepsAlive, SiteOrigin::Manner::kCloseDelimited}) {
    SiteOrigin site(SiteOrigin::Transport::kPlain, manner);
    ServeGallery(site, "/gallery.html", 10);

    std::string dom = Browse(site.Base() + "/gallery.html");

    auto [loaded, ms] = GalleryResult(dom);
    EXPECT_EQ(loaded, 10) << dom;
    EXPECT_LT(ms, 1000) << dom;
  }
}

// A target that refuses: the browser shows the proxy's page at once.
TEST_F(ChromiumTest, RefusedTargetShowsTheBadGatewayPage) {
  std::string dom = Browse("http://127.0.0.1:" + std::to_string(FreeLoopbackPort()) + "/x.html");
  EXPECT_NE(dom.find("502 Bad Gateway"), std::string::npos) << dom;
  EXPECT_NE(dom.find("refused the connection"), std::string::npos) << dom;
}

TEST_F(ChromiumTest, Ipv6LiteralOriginIsReached) {
  SiteOrigin site(SiteOrigin::Transport::kPlainIpv6);
  site.Serve("/six.html", HtmlPage("<p>over ipv6</p>"));

  EXPECT_NE(Browse(site.Base() + "/six.html").find("over ipv6"), std::string::npos);
  auto r = site.WaitFor("/six.html");
  ASSERT_TRUE(r);
  ExpectForwardedHead(*r);
}

}  // namespace

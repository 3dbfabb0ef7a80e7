// curl and wget with the proxy as their proxy: the same checks as with the browser, through the
// clients' own ways of naming a proxy (curl's -x and -p, wget's http_proxy and https_proxy).
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "core/last_page_url.h"
#include "tests/browser/real_client_fixture.h"

namespace {

// What the curl and wget tests share: the tool, a scratch folder, and one run at a time.
class CommandLineClientTest : public RealClientTest {
 protected:
  void Use(const char* tool, const char* package) {
    path_ = FindTool(tool);
    if (path_.empty())
      GTEST_SKIP() << tool << " is not installed (Debian package " << package << ")";
  }

  ToolRun Run(std::vector<std::string> args, const std::vector<std::string>& env = {}) {
    args.insert(args.begin(), path_);
    ToolRun run = RunTool(args, dir_, env, 20s);
    EXPECT_TRUE(run.started);
    EXPECT_FALSE(run.timedOut) << run.err;
    return run;
  }

  // Sets up what the tunnel tests show unchanged: a remembered page and a configured agent.
  static void RewriteEverythingPossible() {
    UseUserAgent("Corvane-Test/2.5");
    SetLastPageUrl("http://remembered.example/page.html");
  }

  std::string path_;
  ScratchDir dir_;
};

class CurlTest : public CommandLineClientTest {
 protected:
  void SetUp() override {
    RealClientTest::SetUp();
    Use("curl", "curl");
  }
  // -q first: no curlrc of the machine's user.
  ToolRun Curl(std::vector<std::string> args) {
    std::vector<std::string> all = {"-q", "--silent", "--show-error", "--max-time",
                                    "20", "-x",       ProxyAddress()};
    all.insert(all.end(), args.begin(), args.end());
    return Run(all);
  }
};

class WgetTest : public CommandLineClientTest {
 protected:
  void SetUp() override {
    RealClientTest::SetUp();
    Use("wget", "wget");
  }
  ToolRun Wget(std::vector<std::string> args) {
    std::vector<std::string> all = {"--no-config", "--no-verbose", "--tries=1", "--timeout=20"};
    all.insert(all.end(), args.begin(), args.end());
    return Run(all, {"http_proxy=" + ProxyAddress(), "https_proxy=" + ProxyAddress()});
  }
};

// --- curl ---

TEST_F(CurlTest, SecondPageCarriesTheFirstAsReferer) {
  SiteOrigin site;
  site.Serve("/first.html", HtmlPage("<p>first</p>"));
  site.Serve("/second.html", HtmlPage("<p>second</p>"));

  ToolRun run = Curl({site.Base() + "/first.html", site.Base() + "/second.html"});
  EXPECT_EQ(run.exitCode, 0) << run.err;
  EXPECT_NE(run.out.find("<p>second</p>"), std::string::npos) << run.out;

  ExpectSecondPageReferredByFirst(site, "/first.html", "/second.html");
}

TEST_F(CurlTest, ConfiguredUserAgentReplacesCurls) {
  UseUserAgent("Corvane-Test/2.5 (handheld)");
  SiteOrigin site;
  site.Serve("/ua.html", HtmlPage("agent"));

  EXPECT_EQ(Curl({"-A", "curl-own/1", site.Base() + "/ua.html"}).exitCode, 0);
  auto r = site.WaitFor("/ua.html");
  ASSERT_TRUE(r);
  EXPECT_EQ(HeaderCount(r->head, "User-Agent"), 1) << r->head;
  EXPECT_EQ(HeaderValue(r->head, "User-Agent"), "Corvane-Test/2.5 (handheld)");
}

// With SpaceConvertAll off only a "%3F" right after "%3E" becomes "+".
TEST_F(CurlTest, FormPostConvertsOnlyAfterGreaterThan) {
  UseSpaceConvert(false);
  SiteOrigin site;
  site.Serve("/submit", HtmlPage("received"));

  ToolRun run = Curl({"--data-binary", "q=a%3E%3Fb%3Fc&r=%3e%3f", site.Base() + "/submit"});
  EXPECT_EQ(run.exitCode, 0) << run.err;
  auto post = site.WaitFor("/submit");
  ASSERT_TRUE(post);
  EXPECT_EQ(HeaderValue(post->head, "Content-Type"), "application/x-www-form-urlencoded");
  ExpectBodyMatchesLength(*post, "q=a%3E+b%3Fc&r=%3E+");
  ExpectForwardedHead(*post);
}

TEST_F(CurlTest, HttpsPageThroughATunnelIsNotRewritten) {
  RewriteEverythingPossible();
  SiteOrigin site(SiteOrigin::Transport::kTls);
  site.Serve("/secure.html", HtmlPage("<p>secure page</p>"));

  ToolRun run = Curl({"-k", "-A", "curl-own/1", site.Base() + "/secure.html"});
  EXPECT_EQ(run.exitCode, 0) << run.err;
  EXPECT_NE(run.out.find("secure page"), std::string::npos) << run.out;
  auto r = site.WaitFor("/secure.html");
  ASSERT_TRUE(r);
  EXPECT_EQ(r->head, "GET /secure.html HTTP/1.1\r\nHost: 127.0.0.1:" + std::to_string(site.Port()) +
                         "\r\nUser-Agent: curl-own/1\r\nAccept: */*\r\n\r\n");
}

// -p asks for a tunnel to a plain HTTP site too: the head inside passes as curl wrote it.
TEST_F(CurlTest, TunnelledPlainRequestPassesUnchanged) {
  RewriteEverythingPossible();
  SiteOrigin site;
  site.Serve("/plain.html", HtmlPage("<p>plain page</p>"));

  ToolRun run = Curl({"-p", "-A", "curl-own/1", site.Base() + "/plain.html"});
  EXPECT_EQ(run.exitCode, 0) << run.err;
  EXPECT_NE(run.out.find("plain page"), std::string::npos) << run.out;
  auto r = site.WaitFor("/plain.html");
  ASSERT_TRUE(r);
  EXPECT_EQ(r->head, "GET /plain.html HTTP/1.1\r\nHost: 127.0.0.1:" + std::to_string(site.Port()) +
                         "\r\nUser-Agent: curl-own/1\r\nAccept: */*\r\n\r\n");
}

TEST_F(CurlTest, UnreachableTunnelTargetIsABadGateway) {
  ToolRun run = Curl({"-p", "http://127.0.0.1:" + std::to_string(FreeLoopbackPort()) + "/"});
  EXPECT_EQ(run.exitCode, 56) << run.err;  // curl's "failure receiving network data"
  EXPECT_NE(run.err.find("502"), std::string::npos) << run.err;
}

TEST_F(CurlTest, ThirtyImagesWithinThreeSeconds) {
  SiteOrigin site;
  ServeGallery(site, "/gallery.html", 30);

  // curl's own globbing asks for /img/1.gif to /img/30.gif one after another.
  ToolRun run = Curl({"-o", "/dev/null", "-o", "/dev/null", site.Base() + "/gallery.html",
                      site.Base() + "/img/[1-30].gif", "-w", "%{http_code} %{size_download}\\n"});
  EXPECT_EQ(run.exitCode, 0) << run.err;
  EXPECT_LT(run.took, 3s);
  std::string everyImage;
  for (int i = 0; i < 30; ++i)
    everyImage += "200 43\n";
  EXPECT_TRUE(run.out.ends_with(everyImage)) << run.out;
  EXPECT_EQ(site.Requests().size(), 31u);
}

// Two answers from each of a kept-alive and a close-delimited origin, one after another in one
// curl: each ends as soon as it is whole, so curl never waits on a connection to close.
TEST_F(CurlTest, TwoPagesFromEachKindOfOriginWithinHalfASecond) {
  SiteOrigin keeps(SiteOrigin::Transport::kPlain, SiteOrigin::Manner::kKeepsAlive);
  SiteOrigin closes(SiteOrigin::Transport::kPlain, SiteOrigin::Manner::kCloseDelimited);
  std::vector<std::string> urls;
  for (SiteOrigin* site : {&keeps, &closes}) {
    for (const char* target : {"/a.html", "/b.html"}) {
      site->Serve(target, HtmlPage(target));
      urls.push_back(site->Base() + target);
    }
  }
  ToolRun run = Curl(urls);
  EXPECT_EQ(run.exitCode, 0) << run.err;
  EXPECT_LT(run.took, 500ms);
  EXPECT_NE(run.out.find("<body>/b.html</body>"), std::string::npos) << run.out;
  EXPECT_EQ(keeps.Requests().size() + closes.Requests().size(), 4u);
}

TEST_F(CurlTest, RefusedTargetGetsTheBadGatewayPageAtOnce) {
  ToolRun run = Curl(
      {"-w", "\n%{http_code}", "http://127.0.0.1:" + std::to_string(FreeLoopbackPort()) + "/"});
  EXPECT_EQ(run.exitCode, 0) << run.err;
  EXPECT_LT(run.took, 500ms);
  EXPECT_NE(run.out.find("refused the connection"), std::string::npos) << run.out;
  EXPECT_TRUE(run.out.ends_with("\n502")) << run.out;
}

// Uploads of every framing arrive whole: chunked from a file, chunked from a pipe, and a large
// body sent only once the origin's "100 Continue" has come back through the proxy.
class CurlUploadTest : public CurlTest {
 protected:
  // A file of `bytes` bytes of every value in the scratch folder; returns its contents.
  std::string WriteUpload(const std::string& name, size_t bytes) {
    std::string data(bytes, '\0');
    uint32_t x = 99;
    for (char& c : data) {
      x = x * 1103515245u + 12345u;
      c = static_cast<char>(x >> 24);
    }
    std::ofstream(dir_.Path() + "/" + name, std::ios::binary) << data;
    return data;
  }
};

TEST_F(CurlUploadTest, ChunkedUploadFromAFileAndFromAPipe) {
  SiteOrigin site;
  site.Serve("/file", HtmlPage("stored"));
  site.Serve("/pipe", HtmlPage("stored"));
  std::string data = WriteUpload("up.bin", 300 * 1000);

  ToolRun file = Curl({"-H", "Transfer-Encoding: chunked", "-T", "up.bin", site.Base() + "/file"});
  EXPECT_EQ(file.exitCode, 0) << file.err;
  // curl knows no length for what comes from a pipe: it sends chunks.
  path_ = FindTool("sh");
  ToolRun pipe = Run({"-c", "cat up.bin | curl -q -sS --max-time 20 -x " + ProxyAddress() +
                                " -T - " + site.Base() + "/pipe"});
  EXPECT_EQ(pipe.exitCode, 0) << pipe.err;

  for (const char* target : {"/file", "/pipe"}) {
    auto r = site.WaitFor(target);
    ASSERT_TRUE(r) << target;
    EXPECT_EQ(HeaderValue(r->head, "Transfer-Encoding"), "chunked") << r->head;
    EXPECT_EQ(r->body.size(), data.size()) << target;
    EXPECT_TRUE(r->body == data) << target;
  }
}

TEST_F(CurlUploadTest, ExpectContinueUploadTakesNoLongerThanDirect) {
  SiteOrigin site;
  site.Serve("/big", HtmlPage("stored"));
  std::string data = WriteUpload("big.bin", 2 << 20);
  std::vector<std::string> upload = {"-H", "Expect: 100-continue", "-T", "big.bin",
                                     site.Base() + "/big"};

  std::vector<std::string> direct = {"-q", "-sS", "--max-time", "20"};
  direct.insert(direct.end(), upload.begin(), upload.end());
  ToolRun alone = Run(direct);
  ToolRun proxied = Curl(upload);

  EXPECT_EQ(alone.exitCode, 0) << alone.err;
  EXPECT_EQ(proxied.exitCode, 0) << proxied.err;
  // curl waits a whole second for "100 Continue" before sending anyway: a proxy that holds the
  // interim answer back costs that second, while a busy machine's noise stays well below it.
  EXPECT_LT(proxied.took, alone.took + 800ms);
  std::vector<SeenRequest> seen = site.Requests();
  ASSERT_EQ(seen.size(), 2u);
  EXPECT_TRUE(seen[1].body == data);
}

TEST_F(CurlTest, Ipv6LiteralOriginIsReached) {
  SiteOrigin site(SiteOrigin::Transport::kPlainIpv6);
  site.Serve("/six.html", HtmlPage("<p>over ipv6</p>"));

  ToolRun run = Curl({"-g", site.Base() + "/six.html"});
  EXPECT_EQ(run.exitCode, 0) << run.err;
  EXPECT_NE(run.out.find("over ipv6"), std::string::npos) << run.out;
  auto r = site.WaitFor("/six.html");
  ASSERT_TRUE(r);
  EXPECT_EQ(HeaderValue(r->head, "Host"), "[::1]:" + std::to_string(site.Port()));
  ExpectForwardedHead(*r);
}

// --- wget ---

// A recursive fetch follows the link; wget names the page itself too, so the proxy's line is the
// one directly before "Host:".
TEST_F(WgetTest, FollowedLinkCarriesTheFirstPageAsReferer) {
  SiteOrigin site;
  site.Serve("/first.html", HtmlPage("<a href=/second.html>next</a>"));
  site.Serve("/second.html", HtmlPage("<p>second</p>"));

  ToolRun run = Wget({"-r", "-l", "1", "-nd", "-e", "robots=off", "-P", dir_.Path() + "/got",
                      site.Base() + "/first.html"});
  EXPECT_EQ(run.exitCode, 0) << run.err;
  EXPECT_TRUE(std::filesystem::exists(dir_.Path() + "/got/second.html"));

  auto second = site.WaitFor("/second.html");
  ASSERT_TRUE(second);
  const std::string page = site.Base() + "/first.html";
  EXPECT_NE(second->head.find("\r\nReferer: " + page + "\r\nHost: "), std::string::npos)
      << second->head;
  EXPECT_EQ(HeaderValue(second->head, "Referer"), page);
  ExpectForwardedHead(*second);
}

TEST_F(WgetTest, ConfiguredUserAgentReplacesWgets) {
  UseUserAgent("Corvane-Test/2.5 (handheld)");
  SiteOrigin site;
  site.Serve("/ua.html", HtmlPage("agent"));

  EXPECT_EQ(Wget({"-U", "wget-own/1", "-O", "-", site.Base() + "/ua.html"}).exitCode, 0);
  auto r = site.WaitFor("/ua.html");
  ASSERT_TRUE(r);
  EXPECT_EQ(HeaderCount(r->head, "User-Agent"), 1) << r->head;
  EXPECT_EQ(HeaderValue(r->head, "User-Agent"), "Corvane-Test/2.5 (handheld)");
}

TEST_F(WgetTest, FormPostIsConvertedWithMatchingLength) {
  UseSpaceConvert(true);
  SiteOrigin site;
  site.Serve("/submit", HtmlPage("received"));

  ToolRun run = Wget({"--post-data", "q=what%3F%20why%3f", "-O", "-", site.Base() + "/submit"});
  EXPECT_EQ(run.exitCode, 0) << run.err;
  auto post = site.WaitFor("/submit");
  ASSERT_TRUE(post);
  ExpectBodyMatchesLength(*post, "q=what+%20why+");
  ExpectForwardedHead(*post);
}

TEST_F(WgetTest, HttpsPageThroughATunnelIsNotRewritten) {
  RewriteEverythingPossible();
  SiteOrigin site(SiteOrigin::Transport::kTls);
  site.Serve("/secure.html", HtmlPage("<p>secure page</p>"));

  ToolRun run =
      Wget({"--no-check-certificate", "-U", "wget-own/1", "-O", "-", site.Base() + "/secure.html"});
  EXPECT_EQ(run.exitCode, 0) << run.err;
  EXPECT_NE(run.out.find("secure page"), std::string::npos) << run.out;
  auto r = site.WaitFor("/secure.html");
  ASSERT_TRUE(r);
  EXPECT_EQ(HeaderValue(r->head, "User-Agent"), "wget-own/1") << r->head;
  EXPECT_EQ(HeaderCount(r->head, "Referer"), 0) << r->head;
  EXPECT_EQ(HeaderValue(r->head, "Connection"), "Keep-Alive") << r->head;
}

// -p fetches the page's images after it, as a browser would.
TEST_F(WgetTest, ThirtyImagesWithinThreeSeconds) {
  SiteOrigin site;
  ServeGallery(site, "/gallery.html", 30);

  ToolRun run = Wget(
      {"-p", "-nd", "-e", "robots=off", "-P", dir_.Path() + "/got", site.Base() + "/gallery.html"});
  EXPECT_EQ(run.exitCode, 0) << run.err;
  EXPECT_LT(run.took, 3s);
  for (int i = 1; i <= 30; ++i) {
    std::string file = dir_.Path() + "/got/" + std::to_string(i) + ".gif";
    ASSERT_TRUE(std::filesystem::exists(file)) << file;
    EXPECT_EQ(std::filesystem::file_size(file), kPixelGif.size()) << file;
  }
}

TEST_F(WgetTest, Ipv6LiteralOriginIsReached) {
  SiteOrigin site(SiteOrigin::Transport::kPlainIpv6);
  site.Serve("/six.html", HtmlPage("<p>over ipv6</p>"));

  ToolRun run = Wget({"-O", "-", site.Base() + "/six.html"});
  EXPECT_EQ(run.exitCode, 0) << run.err;
  EXPECT_NE(run.out.find("over ipv6"), std::string::npos) << run.out;
  auto r = site.WaitFor("/six.html");
  ASSERT_TRUE(r);
  ExpectForwardedHead(*r);
}

}  // namespace

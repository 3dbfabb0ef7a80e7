// HTTP/2 inside inspected HTTPS: browsers and curl speak it to the proxy, and each of their
// streams reaches an HTTP/2 origin, or an HTTP/1.1 one, rewritten as a plain request is.
#include <gtest/gtest.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <fstream>
#include <string>
#include <vector>

#include "tests/browser/inspection_fixture.h"
#include "tests/support/loopback.h"

namespace {

constexpr std::string_view kHopLines[] = {"Connection", "Keep-Alive", "Proxy-Connection",
                                          "Transfer-Encoding", "Upgrade"};

// A client that writes HTTP/2 frames by hand inside an inspected CONNECT, as an attacker would.
class RawHttp2 {
 public:
  RawHttp2(uint16_t proxyPort, const std::string& authority, const std::string& trusted)
      : authority_(authority) {
    fd_ = ConnectLoopback(proxyPort);
    WriteAll(fd_, "CONNECT " + authority + " HTTP/1.1\r\nHost: " + authority + "\r\n\r\n");
    std::string head;
    char c;
    while (!head.ends_with("\r\n\r\n") && ::recv(fd_, &c, 1, 0) == 1)
      head += c;
    context_ = SSL_CTX_new(TLS_client_method());
    SSL_CTX_load_verify_locations(context_, trusted.c_str(), nullptr);
    static const unsigned char kH2[] = "\x02h2";
    SSL_CTX_set_alpn_protos(context_, kH2, sizeof kH2 - 1);
    ssl_ = SSL_new(context_);
    SSL_set_fd(ssl_, fd_);
    connected_ = SSL_connect(ssl_) == 1;
    Write("PRI * HTTP/2.0\r\n\r\nSM\r\n\r\n" + Frame(4, 0, 0, ""));  // the preface, SETTINGS
  }
  ~RawHttp2() {
    SSL_free(ssl_);
    SSL_CTX_free(context_);
    ::close(fd_);
  }
  RawHttp2(const RawHttp2&) = delete;
  RawHttp2& operator=(const RawHttp2&) = delete;

  bool Connected() const { return connected_; }

  static std::string Frame(uint8_t type, uint8_t flags, uint32_t stream, const std::string& body) {
    std::string f = {static_cast<char>(body.size() >> 16),
                     static_cast<char>(body.size() >> 8),
                     static_cast<char>(body.size()),
                     static_cast<char>(type),
                     static_cast<char>(flags),
                     static_cast<char>(stream >> 24),
                     static_cast<char>(stream >> 16),
                     static_cast<char>(stream >> 8),
                     static_cast<char>(stream)};
    return f + body;
  }
  // "GET /path" for the CONNECT's authority, in HPACK's plainest form: static table entries and
  // literals never indexed.
  std::string RequestBlock(const std::string& path) const {
    std::string block = "\x82\x87";  // :method GET, :scheme https
    block += Literal(4, path) + Literal(1, authority_);
    return block;
  }
  static std::string Literal(char index, const std::string& value) {
    return std::string(1, index) + static_cast<char>(value.size()) + value;
  }

  void Write(const std::string& bytes) {
    SSL_write(ssl_, bytes.data(), static_cast<int>(bytes.size()));
  }

  // Reads until the proxy ends the connection or limit passes; true when a GOAWAY came first.
  bool EndsWithGoaway(std::chrono::milliseconds limit) {
    std::string got;
    char buffer[16384];
    auto deadline = std::chrono::steady_clock::now() + limit;
    for (;;) {
      int left = static_cast<int>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                      deadline - std::chrono::steady_clock::now())
                                      .count());
      pollfd p{fd_, POLLIN, 0};
      if (left <= 0 || (SSL_pending(ssl_) == 0 && ::poll(&p, 1, left) <= 0)) return false;
      int n = SSL_read(ssl_, buffer, sizeof buffer);
      if (n <= 0) break;
      got.append(buffer, static_cast<size_t>(n));
    }
    ERR_clear_error();
    for (size_t at = 0; at + 9 <= got.size();) {
      size_t length = (static_cast<uint8_t>(got[at]) << 16) |
                      (static_cast<uint8_t>(got[at + 1]) << 8) | static_cast<uint8_t>(got[at + 2]);
      if (got[at + 3] == 7) return true;
      at += 9 + length;
    }
    return false;
  }

 private:
  std::string authority_;
  int fd_ = -1;
  SSL_CTX* context_ = nullptr;
  SSL* ssl_ = nullptr;
  bool connected_ = false;
};

class Http2InspectionTest : public InspectionTest {
 protected:
  // A site of the test's authority, speaking HTTP/2 where asked.
  SiteOrigin::TlsOptions Speaking(bool http2) {
    SiteOrigin::TlsOptions options;
    options.http2 = http2;
    return options;
  }
  std::string Authority(const SiteOrigin& site) {
    return "127.0.0.1:" + std::to_string(site.Port());
  }
};

// Every request gets what a plain one gets: the User-Agent, the page memory's Referer, the
// device hints withheld, the "[object]" repair and the form conversion with its length; and an
// HTTP/2 origin never sees a line of HTTP/1.1's own. Browser HTTP/2 with an HTTP/2 origin or an
// HTTP/1.1 one, and browser HTTP/1.1 with an origin that speaks HTTP/2 alone.
TEST_F(Http2InspectionTest, EveryStreamIsRewrittenWhateverTheOriginSpeaks) {
  UseUserAgent("Corvane-Test/5.0");
  UseSpaceConvert(true);
  struct Row {
    const char* browser;
    const char* version;  // as curl names what it spoke
    bool http2;
    bool onlyHttp2;
  } rows[] = {{"--http2", "[2]", true, false},
              {"--http2", "[2]", false, false},
              {"--http1.1", "[1.1]", true, true}};
  for (const Row& row : rows) {
    bool http2 = row.http2;
    SiteOrigin::TlsOptions options = Speaking(http2);
    options.onlyHttp2 = row.onlyHttp2;
    SiteOrigin site(origins_.Issue("127.0.0.1"), options, SiteOrigin::Manner::kHonoursClose);
    site.Serve("/first.html", HtmlPage("<p>first</p>"));
    site.Serve("/second.html", HtmlPage("<p>second</p>"));
    site.Serve("/submit", HtmlPage("received"));
    ToolRun pages =
        Curl(proxyAuthority_, {row.browser, "--globoff", "-w", "[%{http_version}]", "-H",
                               "Sec-CH-UA-Platform: \"Linux\"", site.Base() + "/first.html",
                               site.Base() + "/second.html", site.Base() + "/js/[object]"});
    EXPECT_EQ(pages.exitCode, 0) << pages.err;
    // Each of the three answers came in the browser's protocol.
    size_t answers = 0;
    const std::string end = std::string("</html>") + row.version;
    for (size_t at = 0; (at = pages.out.find(end, at)) != std::string::npos; ++at)
      ++answers;
    EXPECT_EQ(answers, 3u) << pages.out;
    ToolRun form =
        Curl(proxyAuthority_, {row.browser, "--data-binary", "q=a%3Fb", site.Base() + "/submit"});
    EXPECT_EQ(form.exitCode, 0) << form.err;

    std::vector<SeenRequest> seen = site.Requests();
    ASSERT_EQ(seen.size(), 4u) << http2;
    EXPECT_EQ(seen[2].target, "/second.html") << "the [object] repair";
    auto second = site.WaitFor("/second.html");
    auto post = site.WaitFor("/submit");
    ASSERT_TRUE(second && post);
    EXPECT_EQ(HeaderValue(second->head, "Referer"), site.Base() + "/first.html") << second->head;
    EXPECT_EQ(HeaderValue(post->head, "Referer"), site.Base() + "/second.html") << post->head;
    ExpectBodyMatchesLength(*post, "q=a+b");
    for (const SeenRequest& r : seen) {
      EXPECT_EQ(HeaderValue(r.head, "User-Agent"), "Corvane-Test/5.0") << r.head;
      EXPECT_EQ(HeaderCount(r.head, "Sec-CH-UA-Platform"), 0) << r.head;
      if (!http2) {
        ExpectForwardedHead(r);
        continue;
      }
      EXPECT_NE(r.head.find(" " + r.target + " HTTP/2\r\n"), std::string::npos) << r.head;
      EXPECT_NE(r.head.find("\r\n:authority: " + Authority(site) + "\r\n"), std::string::npos)
          << r.head;
      for (std::string_view hop : kHopLines)
        EXPECT_EQ(HeaderCount(r.head, hop), 0) << r.head;
    }
  }
}

// One stream's failure at the origin ends that stream alone: the others on the same browser
// connection are answered whole.
TEST_F(Http2InspectionTest, AnOriginFailingOneStreamFailsThatStreamAlone) {
  for (bool http2 : {true, false}) {
    SiteOrigin site(origins_.Issue("127.0.0.1"), Speaking(http2), SiteOrigin::Manner::kKeepsAlive);
    site.Serve("/a.txt", {"text/plain", std::string(50000, 'a')});
    site.Serve("/bad.txt", {"text/plain", "never", SiteOrigin::kResetStream});
    site.Serve("/c.txt", {"text/plain", "ccc"});
    ToolRun run =
        Curl(proxyAuthority_,
             {"--http2", "--parallel", "-w", "%{url_effective} %{http_code} %{num_connects}\n",
              "-o", dir_.Path() + "/a", site.Base() + "/a.txt", "-o", dir_.Path() + "/b",
              site.Base() + "/bad.txt", "-o", dir_.Path() + "/c", site.Base() + "/c.txt"});
    EXPECT_NE(run.exitCode, 0) << run.out;
    EXPECT_NE(run.out.find("/a.txt 200"), std::string::npos) << run.out << run.err;
    EXPECT_NE(run.out.find("/c.txt 200"), std::string::npos) << run.out << run.err;
    EXPECT_EQ(run.out.find("/bad.txt 200"), std::string::npos) << run.out;
    std::ifstream a(dir_.Path() + "/a");
    std::string body((std::istreambuf_iterator<char>(a)), std::istreambuf_iterator<char>());
    EXPECT_EQ(body, std::string(50000, 'a')) << http2;
    EXPECT_TRUE(site.WaitFor("/bad.txt")) << http2;
  }
}

// The two floods HTTP/2 allows, rapid resets and endless CONTINUATION frames, end the
// connection that sends them; the origin hears of few of those streams, and the proxy goes on.
TEST_F(Http2InspectionTest, FloodsEndTheirConnection) {
  SiteOrigin site(origins_.Issue("127.0.0.1"), Speaking(true), SiteOrigin::Manner::kKeepsAlive);
  site.Serve("/", HtmlPage("root"));
  {
    RawHttp2 client(port_, Authority(site), proxyAuthority_);
    ASSERT_TRUE(client.Connected());
    std::string flood;
    for (uint32_t stream = 1; stream < 2 * 2000; stream += 2) {
      flood += RawHttp2::Frame(1, 0x5, stream, client.RequestBlock("/"));    // END_STREAM|HEADERS
      flood += RawHttp2::Frame(3, 0, stream, std::string("\0\0\0\x08", 4));  // RST_STREAM CANCEL
    }
    client.Write(flood);
    EXPECT_TRUE(client.EndsWithGoaway(10s)) << "rapid reset";
  }
  EXPECT_LT(site.Requests().size(), 200u);
  {
    RawHttp2 client(port_, Authority(site), proxyAuthority_);
    ASSERT_TRUE(client.Connected());
    std::string flood = RawHttp2::Frame(1, 0x1, 1, client.RequestBlock("/"));  // no END_HEADERS
    for (int i = 0; i < 1000; ++i)
      flood += RawHttp2::Frame(9, 0, 1,
                               std::string("\x00\x03"
                                           "x-a"
                                           "\x01"
                                           "b",
                                           7));
    client.Write(flood);
    EXPECT_TRUE(client.EndsWithGoaway(10s)) << "CONTINUATION";
  }
  ToolRun after = Curl(proxyAuthority_, {"--http2", site.Base() + "/"});
  EXPECT_NE(after.out.find("root"), std::string::npos) << after.err;
}

// Chromium speaks HTTP/2 to the proxy, and a page it follows a link to arrives with the proxy's
// Referer and User-Agent, at an HTTP/2 origin and at an HTTP/1.1 one.
TEST_F(Http2InspectionTest, ChromiumSpeaksHttp2AndEveryRequestIsRewritten) {
  std::string chromium = ChromiumWithCertutil();
  if (chromium.empty()) GTEST_SKIP() << missing_;
  UseUserAgent("Corvane-Test/5.0");
  for (bool http2 : {true, false}) {
    SiteOrigin site(origins_.Issue("127.0.0.1"), Speaking(http2),
                    SiteOrigin::Manner::kHonoursClose);
    site.Serve("/first.html",
               HtmlPage("<a id=next href=/second.html referrerpolicy=no-referrer>next</a>"
                        "<script>document.getElementById('next').click()</script>"));
    site.Serve("/second.html",
               HtmlPage("<img src=/pixel.gif><p id=p></p><script>document.getElementById('p')"
                        ".textContent = 'over ' + performance.getEntriesByType('navigation')[0]"
                        ".nextHopProtocol</script>"));
    site.Serve("/pixel.gif", Pixel());
    ToolRun run = RunChromium(chromium, port_, site.Base() + "/first.html", 5000, proxyAuthority_);
    EXPECT_EQ(run.exitCode, 0) << run.err;
    EXPECT_NE(run.out.find("over h2"), std::string::npos) << run.out << run.err;
    auto second = site.WaitFor("/second.html");
    auto pixel = site.WaitFor("/pixel.gif");
    ASSERT_TRUE(second && pixel) << http2;
    EXPECT_EQ(HeaderValue(second->head, "Referer"), site.Base() + "/first.html") << second->head;
    EXPECT_EQ(HeaderValue(pixel->head, "Referer"), site.Base() + "/second.html") << pixel->head;
    EXPECT_EQ(HeaderValue(pixel->head, "User-Agent"), "Corvane-Test/5.0") << pixel->head;
    EXPECT_EQ(second->head.find(" HTTP/2\r\n") != std::string::npos, http2) << second->head;
  }
}

}  // namespace

// HTTPS inspection with real clients: curl trusting the proxy's authority with --cacert, and
// Chromium trusting it through its NSS database, against TLS origins whose own authority the
// proxy trusts through SSL_CERT_FILE.
#include <gtest/gtest.h>
#include <openssl/ssl.h>
#include <poll.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "core/local_authority.h"
#include "core/origin_pool.h"
#include "platform/tls.h"
#include "tests/browser/inspection_fixture.h"
#include "tests/browser/real_client_fixture.h"
#include "tests/browser/test_authority.h"
#include "tests/support/loopback.h"
#include "tests/support/process_counts.h"

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

// An https page's address never travels in clear, and another https origin learns only the
// page's origin; its own origin gets it whole.
TEST_F(InspectionTest, AnHttpsPageIsARefererOnlyOverTlsAndWholeOnlyToItsOrigin) {
  SiteOrigin bank(origins_.Issue("127.0.0.1"));
  SiteOrigin shop(origins_.Issue("127.0.0.1"));
  SiteOrigin plain;
  bank.Serve("/account.html?session=S", HtmlPage("<p>account</p>"));
  bank.Serve("/logo.gif", Pixel());
  shop.Serve("/ad.gif", Pixel());
  plain.Serve("/ad.gif", Pixel());
  const std::string page = bank.Base() + "/account.html?session=S";

  // Images, so that the account page stays the remembered one.
  ToolRun run = Curl(proxyAuthority_, {page, plain.Base() + "/ad.gif", shop.Base() + "/ad.gif",
                                       bank.Base() + "/logo.gif"});
  EXPECT_EQ(run.exitCode, 0) << run.err;
  auto inClear = plain.WaitFor("/ad.gif");
  auto elsewhere = shop.WaitFor("/ad.gif");
  auto home = bank.WaitFor("/logo.gif");
  ASSERT_TRUE(inClear && elsewhere && home);
  EXPECT_EQ(HeaderCount(inClear->head, "Referer"), 0) << inClear->head;
  EXPECT_EQ(HeaderValue(elsewhere->head, "Referer"), bank.Base() + "/") << elsewhere->head;
  EXPECT_EQ(HeaderValue(home->head, "Referer"), page) << home->head;
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

// A browser that speaks HTTP/1.1 alone keeps the session ticket it was given, and is spoken to
// in HTTP/1.1. The proxy keeps the origin's ticket likewise.
TEST_F(InspectionTest, ABrowsersNextConnectionResumesItsSessionAndSpeaksHttp11) {
  SiteOrigin site(origins_.Issue("127.0.0.1"));
  site.Serve("/again.html", HtmlPage("again"));
  const std::string authority = "127.0.0.1:" + std::to_string(site.Port());
  SSL_CTX* context = SSL_CTX_new(TLS_client_method());
  ASSERT_EQ(SSL_CTX_load_verify_locations(context, proxyAuthority_.c_str(), nullptr), 1);
  SSL_CTX_set_verify(context, SSL_VERIFY_PEER, nullptr);
  static const unsigned char kOffered[] = "\x08http/1.1";
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
    std::string request =
        "GET /again.html HTTP/1.1\r\nHost: " + authority + "\r\nConnection: close\r\n\r\n";
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
    DropAllOrigins();  // else the kept origin connection would carry the next request
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

// Python scripts the tests below run as clients: raw sockets through the proxy, TLS trusting
// its authority, a WebSocket's handshake and one echoed message.
constexpr char kThroughProxy[] = R"(
import socket, ssl, sys, base64, os
proxy, target, mode, ca = sys.argv[1], sys.argv[2], sys.argv[3], sys.argv[4]
host, port = target.rsplit(':', 1)
s = socket.create_connection(('127.0.0.1', int(proxy)), timeout=10)
def head(sock):
    data = b''
    while b'\r\n\r\n' not in data:
        more = sock.recv(1)
        if not more: break
        data += more
    return data.decode('latin-1')
if mode.startswith('ws-get'):
    path = 'http://' + target + '/echo'
else:
    s.sendall(('CONNECT %s HTTP/1.1\r\nHost: %s\r\n\r\n' % (target, target)).encode())
    print(head(s).split('\r\n')[0])
    path = '/echo'
    if mode.startswith('tls') or mode == 'wss':
        s = ssl.create_default_context(cafile=ca).wrap_socket(s, server_hostname=host)
if mode == 'tls-h2':
    s.sendall(b'PRI * HTTP/2.0\r\n\r\nSM\r\n\r\n')
    print('after the preface: %r' % s.recv(100))
    sys.exit(0)
if mode == 'tls-h3':
    s.sendall(b'GET / HTTP/3.0\r\nHost: x\r\n\r\n')
    print(head(s).split('\r\n')[0])
    sys.exit(0)
key = base64.b64encode(os.urandom(16)).decode()
s.sendall(('GET %s HTTP/1.1\r\nHost: %s\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n'
           'Sec-WebSocket-Key: %s\r\nSec-WebSocket-Version: 13\r\n\r\n' % (path, target, key)).encode())
print(head(s).split('\r\n')[0])
mask = os.urandom(4)
text = b'hello through corvane'
s.sendall(bytes([0x81, 0x80 | len(text)]) + mask + bytes(b ^ mask[i % 4] for i, b in enumerate(text)))
frame = s.recv(2)
print('echo: %s' % s.recv(frame[1] & 0x7f).decode())
)";

// A WebSocket echo server (Debian's python3-websockets), plain or over TLS with the identity's
// files; it prints its port once it listens, and ends once its one client has gone.
constexpr char kEchoServer[] = R"(
import asyncio, ssl, sys, websockets
gone = None
async def echo(ws, path):
    try:
        async for message in ws:
            await ws.send(message)
    finally:
        gone.set()
async def main():
    global gone
    gone = asyncio.Event()
    context = None
    if len(sys.argv) > 2:
        context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
        context.load_cert_chain(sys.argv[1], sys.argv[2])
    async with websockets.serve(echo, '127.0.0.1', 0, ssl=context) as server:
        print(server.sockets[0].getsockname()[1], flush=True)
        await asyncio.wait_for(gone.wait(), 30)
asyncio.run(main())
)";

class InspectionStrictnessTest : public InspectionTest {
 protected:
  void SetUp() override {
    headTimeoutMs_ = 1500;     // the handshake's deadline, checked below
    connectTimeoutMs_ = 1000;  // an origin's handshake that never ends
    InspectionTest::SetUp();
    // Debian's own, where python3-websockets lives, whatever other python3 comes first.
    if (::access("/usr/bin/python3", X_OK) == 0) python_ = "/usr/bin/python3";
  }
  ToolRun Python(const char* script, std::vector<std::string> args) {
    args.insert(args.begin(), {python_, "-c", script});
    return RunTool(args, dir_, {}, 30s);
  }
  // Writes text to a file of the test's folder; its path.
  std::string File(const std::string& name, const std::string& text) {
    std::string path = dir_.Path() + "/" + name;
    std::ofstream(path, std::ios::binary) << text;
    return path;
  }
  std::string python_;
};

// Uploads of every size and framing through inspected TLS, to an origin of TLS 1.3 (which
// sends its session tickets after the handshake, while the body is still on its way) and one of
// TLS 1.2: each arrives whole, byte for byte.
TEST_F(InspectionStrictnessTest, EveryUploadArrivesWholeWhateverTheTlsVersion) {
  const size_t kSizes[] = {10 * 1024 + 1, 40 * 1024, 100 * 1024, 300 * 1024};
  std::vector<std::string> bodies;
  for (size_t i = 0; i < 4; ++i) {
    std::string body(kSizes[i], '\0');
    for (size_t j = 0; j < body.size(); ++j)
      body[j] = static_cast<char>('a' + (j * 7 + i) % 26);
    bodies.push_back(body);
  }
  bodies.push_back(std::string(5 * 1024 * 1024, 'z'));
  for (int version : {0, TLS1_2_VERSION}) {
    SiteOrigin site(origins_.Issue("127.0.0.1"), {0, version}, SiteOrigin::Manner::kHonoursClose);
    std::vector<std::string> args = {curl_, "-q", "-sS", "--max-time", "60"};
    for (int n = 0; n < 100; ++n) {
      size_t which = n % 50 == 49 ? 4 : n % 4;
      std::string file = File("body" + std::to_string(which), bodies[which]);
      if (n > 0) args.push_back("--next");
      args.insert(args.end(),
                  {"-x", ProxyAddress(), "--cacert", proxyAuthority_, "-o", "/dev/null", "-w",
                   "%{url_effective} %{http_code}\n", "--data-binary", "@" + file});
      if (n % 2 == 1) args.insert(args.end(), {"-H", "Transfer-Encoding: chunked"});
      args.push_back(site.Base() + "/up?n=" + std::to_string(n));
    }
    ToolRun run = RunTool(args, dir_, {}, 120s);
    EXPECT_EQ(run.exitCode, 0) << "TLS " << version << ": " << run.err;
    // curl's status is its last transfer's: each one's own is in the lines it wrote.
    EXPECT_EQ(run.out.find(" 000\n"), std::string::npos) << run.out << run.err;
    std::vector<SeenRequest> seen = site.Requests();
    ASSERT_EQ(seen.size(), 100u) << "TLS " << version << ", answers:\n" << run.out << run.err;
    for (const SeenRequest& r : seen) {
      int n = std::stoi(r.target.substr(r.target.find('=') + 1));
      EXPECT_TRUE(r.body == bodies[n % 50 == 49 ? 4 : n % 4]) << r.target << " TLS " << version;
    }
  }
}

// An answer cut short never looks whole: the client sees its connection fail, as it would
// without the proxy, whether the origin was plain or inspected TLS.
TEST_F(InspectionStrictnessTest, ACutAnswerNeverLooksWhole) {
  std::string body(1024 * 1024, 'c');
  struct Row {
    const char* what;
    std::unique_ptr<SiteOrigin> site;
    bool whole;
  } rows[] = {
      {"plain, short of its length",
       std::make_unique<SiteOrigin>(SiteOrigin::Transport::kPlain, SiteOrigin::Manner::kCutShort),
       false},
      {"plain, reset with no length",
       std::make_unique<SiteOrigin>(SiteOrigin::Transport::kPlain, SiteOrigin::Manner::kResets),
       false},
      {"TLS, short of its length, no goodbye",
       std::make_unique<SiteOrigin>(origins_.Issue("127.0.0.1"), SiteOrigin::TlsOptions{},
                                    SiteOrigin::Manner::kCutShort),
       false},
      {"TLS, reset with no length",
       std::make_unique<SiteOrigin>(origins_.Issue("127.0.0.1"), SiteOrigin::TlsOptions{},
                                    SiteOrigin::Manner::kResets),
       false},
      {"TLS, no length, ended with its goodbye",
       std::make_unique<SiteOrigin>(origins_.Issue("127.0.0.1"), SiteOrigin::TlsOptions{},
                                    SiteOrigin::Manner::kCloseDelimited),
       true},
  };
  for (Row& row : rows) {
    row.site->Serve("/big", SiteAnswer{"application/octet-stream", body});
    ToolRun run = Curl(proxyAuthority_, {"-o", "/dev/null", row.site->Base() + "/big"});
    if (row.whole)
      EXPECT_EQ(run.exitCode, 0) << row.what << ": " << run.err;
    else
      EXPECT_NE(run.exitCode, 0) << row.what << ": taken as whole";
  }
}

// The certificate names the CONNECT host alone: a browser naming another host in its
// ClientHello is refused, inspected or bypassed, and the origin hears nothing.
TEST_F(InspectionStrictnessTest, AClientHelloNamingAnotherHostIsRefused) {
  std::string openssl = FindTool("openssl");
  if (openssl.empty()) GTEST_SKIP() << "openssl is not installed (Debian package openssl)";
  SiteOrigin site(origins_.Issue("127.0.0.1"));
  site.Serve("/", HtmlPage("<p>good</p>"));
  std::string proxy = "127.0.0.1:" + std::to_string(port_);
  std::string target = "127.0.0.1:" + std::to_string(site.Port());
  for (std::u16string bypass : {u"", u"127.0.0.1"}) {
    Inspect(1, bypass);
    ToolRun named = RunTool({openssl, "s_client", "-brief", "-proxy", proxy, "-connect", target,
                             "-servername", "victim.example.test", "-CAfile", proxyAuthority_},
                            dir_, {}, 20s);
    EXPECT_EQ(named.out.find("CONNECTION ESTABLISHED"), std::string::npos)
        << named.out << named.err;
    ToolRun plain = RunTool({openssl, "s_client", "-brief", "-proxy", proxy, "-connect", target,
                             "-CAfile", bypass.empty() ? proxyAuthority_ : origins_.File()},
                            dir_, {}, 20s);
    EXPECT_NE(plain.err.find("CONNECTION ESTABLISHED"), std::string::npos) << plain.err;
  }
  EXPECT_TRUE(site.Requests().empty());
}

// A handshake trickled in, a byte at a time, ends at the head's deadline, however each byte
// comes in time for the one before.
TEST_F(InspectionStrictnessTest, AHandshakeHasOneDeadline) {
  int fd = ConnectLoopback(port_);
  WriteAll(fd, "CONNECT 127.0.0.1:443 HTTP/1.1\r\nHost: 127.0.0.1:443\r\n\r\n");
  ReadHead(fd);
  auto start = std::chrono::steady_clock::now();
  const char hello[] = "\x16\x03\x01\x02\x00\x01\x00\x01\xfc\x03\x03";
  for (char byte : std::string_view(hello, sizeof hello - 1)) {
    if (!WriteAll(fd, {&byte, 1})) break;
    pollfd p{fd, POLLIN, 0};
    if (::poll(&p, 1, 400) > 0) break;  // closed
  }
  pollfd p{fd, POLLIN, 0};
  ::poll(&p, 1, 5000);
  EXPECT_LT(std::chrono::steady_clock::now() - start, 3s);
  ::close(fd);
}

// What is not HTTP/1 inside inspected TLS never reaches the origin: the HTTP/2 preface ends the
// connection cleanly, another version is 505.
TEST_F(InspectionStrictnessTest, WhatIsNotHttp1IsRefused) {
  if (python_.empty()) GTEST_SKIP() << "python3 is not installed";
  SiteOrigin site(origins_.Issue("127.0.0.1"));
  std::string target = "127.0.0.1:" + std::to_string(site.Port());
  ToolRun preface =
      Python(kThroughProxy, {std::to_string(port_), target, "tls-h2", proxyAuthority_});
  EXPECT_NE(preface.out.find("after the preface: b''"), std::string::npos)
      << preface.out << preface.err;
  ToolRun other = Python(kThroughProxy, {std::to_string(port_), target, "tls-h3", proxyAuthority_});
  EXPECT_NE(other.out.find("HTTP/1.1 505"), std::string::npos) << other.out << other.err;
  EXPECT_TRUE(site.Requests().empty());
}

// A refused origin says why, on the page and on standard error.
TEST_F(InspectionStrictnessTest, ARefusedOriginSaysWhy) {
  struct Row {
    SiteOrigin::TlsOptions options;
    const char* reason;
    const char* protocol;
  } rows[] = {
      {{0, 0, true, false, false}, "asked for a client certificate", "--http2"},
      {{0, 0, true, false, false}, "asked for a client certificate", "--http1.1"},
      {{0, TLS1_1_VERSION, false, false, false}, "nothing newer than TLS 1.1", "--http2"},
      {{0, 0, false, false, true}, "the handshake timed out", "--http2"},
  };
  for (const Row& row : rows) {
    SiteOrigin site(origins_.Issue("127.0.0.1"), row.options, SiteOrigin::Manner::kHonoursClose);
    testing::internal::CaptureStderr();
    ToolRun run =
        Curl(proxyAuthority_, {row.protocol, "-w", "status=%{http_code}", site.Base() + "/"});
    std::string err = testing::internal::GetCapturedStderr();
    EXPECT_NE(run.out.find("status=502"), std::string::npos) << row.reason << ": " << run.out;
    std::string page = run.out;
    bool said = page.find(row.reason) != std::string::npos ||
                (std::string_view(row.reason) == "the handshake timed out" &&
                 page.find("TLS handshake") != std::string::npos);
    EXPECT_TRUE(said) << row.reason << ": " << page;
    EXPECT_NE(err.find(row.reason), std::string::npos) << row.reason << ": " << err;
    EXPECT_TRUE(site.Requests().empty());
  }
}

// WebSockets work, inspected or not: ws:// asked for by a plain request, ws:// through a CONNECT
// (plain HTTP inside, served as such while inspecting), and wss:// through inspected TLS.
TEST_F(InspectionStrictnessTest, WebSocketsEchoPlainAndInspected) {
  if (python_.empty() || RunTool({python_, "-c", "import websockets"}, dir_).exitCode != 0)
    GTEST_SKIP() << "python3-websockets is not installed";
  PemIdentity identity = origins_.Issue("127.0.0.1");
  std::string cert = File("echo.crt", identity.certificate);
  std::string key = File("echo.key", identity.key);
  struct Row {
    const char* mode;
    bool tls;
  } rows[] = {{"ws-get", false}, {"ws-connect", false}, {"wss", true}};
  for (const Row& row : rows) {
    std::string command = python_ + " -c \"$ECHO\"" + (row.tls ? " " + cert + " " + key : "");
    ::setenv("ECHO", kEchoServer, 1);
    FILE* server = ::popen(command.c_str(), "r");
    ASSERT_NE(server, nullptr);
    char portText[16] = "";
    ASSERT_NE(std::fgets(portText, sizeof portText, server), nullptr);
    std::string target = "127.0.0.1:" + std::string(portText, std::strcspn(portText, "\n"));
    ToolRun run = Python(kThroughProxy, {std::to_string(port_), target, row.mode, proxyAuthority_});
    EXPECT_NE(run.out.find("HTTP/1.1 101"), std::string::npos) << row.mode << run.out << run.err;
    EXPECT_NE(run.out.find("echo: hello through corvane"), std::string::npos)
        << row.mode << run.out << run.err;
    ::pclose(server);  // it ends once the client has gone
  }
}

}  // namespace

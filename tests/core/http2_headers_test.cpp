// Heads between HTTP/2 and HTTP/1.1, both ways, and a framing's body without its chunks.
#include "core/http2_headers.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "core/message_framing.h"

namespace {

constexpr std::string_view kOrigin = "https://shop.test";

std::string Collect(const std::vector<HeaderField>& fields) {
  char buffer[4096];
  size_t length = 0;
  for (const HeaderField& f : fields)
    EXPECT_TRUE(CollectField(buffer, &length, f.name, f.value));
  return {buffer, length};
}

std::string ToHttp1(const std::vector<HeaderField>& fields) {
  char out[4096];
  size_t n = WriteHttp1Head(Collect(fields), kOrigin, out);
  return {out, n};
}

// "name: value" lines of the header list of an HTTP/1.1 head.
std::string ToHttp2(std::string head) {
  HeaderField fields[32];
  size_t n = ToHttp2Fields(head, fields);
  std::string lines;
  for (size_t i = 0; i < n; ++i)
    lines += std::string(fields[i].name) + ": " + std::string(fields[i].value) + "\n";
  return n == 0 ? "(none)" : lines;
}

TEST(Http2Heads, RequestsAndAnswersBecomeHttp11Heads) {
  struct Row {
    std::vector<HeaderField> fields;
    std::string head;
  } rows[] = {
      // The address absolute with the tunnel's origin; Host from :authority.
      {{{":method", "GET"},
        {":scheme", "https"},
        {":authority", "shop.test"},
        {":path", "/a?b=c"},
        {"user-agent", "UA"}},
       "GET https://shop.test/a?b=c HTTP/1.1\r\nHost: shop.test\r\nuser-agent: UA\r\n\r\n"},
      // Cookies split over fields join in one line; a host field stands in for :authority.
      {{{":method", "POST"},
        {":path", "/f"},
        {"host", "h.test:8443"},
        {"cookie", "a=1"},
        {"content-length", "3"},
        {"cookie", "b=2"}},
       "POST https://shop.test/f HTTP/1.1\r\nHost: h.test:8443\r\ncontent-length: 3\r\n"
       "cookie: a=1; b=2\r\n\r\n"},
      // Neither: the origin's host.
      {{{":method", "OPTIONS"}, {":path", "*"}}, "OPTIONS * HTTP/1.1\r\nHost: shop.test\r\n\r\n"},
      {{{":status", "200"}, {"content-type", "text/html"}},
       "HTTP/1.1 200 OK\r\ncontent-type: text/html\r\n\r\n"},
      {{{":status", "299"}}, "HTTP/1.1 299 \r\n\r\n"},
      // No request line can be made (a CONNECT names no path: no tunnel inside inspection),
      // and no status is three digits.
      {{{":method", "GET"}}, ""},
      {{{":method", "CONNECT"}, {":authority", "other.test:443"}}, ""},
      {{{":status", "20"}}, ""},
      {{{":status", "2x0"}}, ""},
  };
  for (const Row& row : rows)
    EXPECT_EQ(ToHttp1(row.fields), row.head) << row.head;
}

TEST(Http2Heads, Http11HeadsBecomeHeaderListsWithoutConnectionLines) {
  struct Row {
    std::string head;
    std::string fields;
  } rows[] = {
      {"GET https://shop.test:8443/p?q HTTP/1.1\r\nHost: shop.test:8443\r\nUser-Agent: UA\r\n"
       "Connection: keep-alive, X-Hop\r\nX-Hop: 1\r\nKeep-Alive: 5\r\nProxy-Connection: x\r\n"
       "Transfer-Encoding: chunked\r\nUpgrade: h2c\r\nTE: gzip\r\nReferer: https://a/\r\n\r\n",
       ":method: GET\n:scheme: https\n:authority: shop.test:8443\n:path: /p?q\n"
       "user-agent: UA\nreferer: https://a/\n"},
      {"GET https://shop.test HTTP/1.1\r\nHost: shop.test\r\nte: trailers\r\n\r\n",
       ":method: GET\n:scheme: https\n:authority: shop.test\n:path: /\nte: trailers\n"},
      {"HEAD /x HTTP/1.1\r\nHost: h\r\n\r\n",
       ":method: HEAD\n:scheme: https\n:authority: h\n:path: /x\n"},
      {"HTTP/1.1 404 Not Found\r\nContent-Length: 3\r\nConnection: close\r\n\r\nabc",
       ":status: 404\ncontent-length: 3\n"},
      {"HTTP/1.1 200 OK\r\nSet-Cookie: a=1\r\nSet-Cookie: b=2\r\n\r\n",
       ":status: 200\nset-cookie: a=1\nset-cookie: b=2\n"},
      // An origin's line HTTP/2 cannot carry stays behind: no forged pseudo-header, no name
      // that is no token, no bare LF in a value.
      {"HTTP/1.1 200 OK\r\n:status: 500\r\nBad Name: 1\r\nX: a\nb\r\nOk: 1\r\n\r\n",
       ":status: 200\nok: 1\n"},
      {"HTTP/1.1 200 OK\r\nno blank line", "(none)"},
      {"GARBAGE\r\n\r\n", "(none)"},
  };
  for (const Row& row : rows)
    EXPECT_EQ(ToHttp2(row.head), row.fields) << row.head;
}

TEST(Http2Heads, AHeadThatDoesNotFitIsRefused) {
  char small[16];
  size_t length = 0;
  EXPECT_TRUE(CollectField(small, &length, "a", "bcdefgh"));  // 12 bytes
  EXPECT_FALSE(CollectField(small, &length, "x", "y"));
  EXPECT_EQ(length, 12u);
  char out[40];
  std::string longPath(64, 'p');
  EXPECT_EQ(WriteHttp1Head(Collect({{":method", "GET"}, {":path", longPath}}), kOrigin, out), 0u);
  HeaderField one[4];
  std::string many = "HTTP/1.1 200 OK\r\na: 1\r\nb: 2\r\nc: 3\r\nd: 4\r\n\r\n";
  EXPECT_EQ(ToHttp2Fields(many, one), 0u);
}

// A chunked answer reaches an HTTP/2 browser as its data alone, whatever the pieces it came in.
TEST(Http2Heads, ChunksGiveTheirDataAlone) {
  const std::string wire = "5;x=y\r\nhello\r\n7\r\n, world\r\n0\r\nT: v\r\n\r\nNEXT";
  for (size_t piece : {1u, 3u, 100u}) {
    MessageFraming framing;
    framing.StartAnswer("HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n", false);
    std::string data;
    size_t belonged = 0;
    for (size_t at = 0; at < wire.size(); at += piece) {
      std::string bytes = wire.substr(at, piece);
      size_t length = 0;
      belonged += framing.Feed(bytes, bytes.data(), &length);
      data += bytes.substr(0, length);
    }
    EXPECT_EQ(data, "hello, world") << piece;
    EXPECT_EQ(belonged, wire.size() - 4) << piece;
    EXPECT_EQ(framing.Where(), MessageFraming::End::kComplete);
  }
}

}  // namespace

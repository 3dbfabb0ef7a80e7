// Where a direct request goes: the port split off the host text, and the absolute address cut
// out of the request line alone.
#include "core/request_target.h"

#include <gtest/gtest.h>

#include <string>

#include "core/toolkit.h"

namespace {

struct SplitCase {
  const char* host;
  const char* expectedHost;
  int expectedPort;
};

TEST(SplitHostPort, SplitsNamesAndBracketedLiterals) {
  const SplitCase cases[] = {
      {"example.com:8000", "example.com", 8000},
      {"example.com", "example.com", 80},
      {"[::1]:8000", "::1", 8000},
      {"[::1]", "::1", 80},
      {"::1", "::1", 80},  // a bare IPv6 literal carries no port
      {"127.0.0.1:81", "127.0.0.1", 81},
      {"[::1", "[::1", 80},  // unbalanced: left alone
  };
  for (const SplitCase& c : cases) {
    char host[64];
    std::snprintf(host, sizeof host, "%s", c.host);
    int32_t port = 80;
    SplitHostPort(host, &port);
    EXPECT_STREQ(host, c.expectedHost) << c.host;
    EXPECT_EQ(port, c.expectedPort) << c.host;
  }
}

struct StripCase {
  const char* chunk;
  const char* result;
};

TEST(StripAbsoluteAddress, CutsOnlyTheRequestLine) {
  const StripCase cases[] = {
      {"GET http://a.jp:8000/x/y HTTP/1.0\r\nHost: a.jp\r\n\r\n",
       "GET /x/y HTTP/1.0\r\nHost: a.jp\r\n\r\n"},
      {"GET http://a.jp HTTP/1.0\r\nHost: a.jp\r\n\r\n", "GET / HTTP/1.0\r\nHost: a.jp\r\n\r\n"},
      {"GET http://a.jp:81 HTTP/1.0\r\n\r\n", "GET / HTTP/1.0\r\n\r\n"},
      // Origin form: the Referer's "http://" is not the request line's and stays.
      {"GET /x HTTP/1.0\r\nReferer: http://b.jp/p\r\n\r\n",
       "GET /x HTTP/1.0\r\nReferer: http://b.jp/p\r\n\r\n"},
      // A path elsewhere in the head must not be taken for this address's path.
      {"GET http://a.jp HTTP/1.0\r\nReferer: http://b.jp/p\r\n\r\n",
       "GET / HTTP/1.0\r\nReferer: http://b.jp/p\r\n\r\n"},
      {"POST http://a.jp/f?q=http://c/ HTTP/1.0\r\n\r\n", "POST /f?q=http://c/ HTTP/1.0\r\n\r\n"},
  };
  for (const StripCase& c : cases) {
    char chunk[256];
    std::snprintf(chunk, sizeof chunk, "%s", c.chunk);
    StripAbsoluteAddress(chunk);
    EXPECT_STREQ(chunk, c.result) << c.chunk;
  }
}

}  // namespace

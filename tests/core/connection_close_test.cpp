// The head the proxy sends asks the origin to keep its connection, or to switch protocols.
#include "core/connection_close.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

namespace {

struct CloseCase {
  const char* in;
  const char* out;
};

TEST(ForceConnectionLine, ReplacesEveryHopByHopLineWithOneKeepAlive) {
  const CloseCase cases[] = {
      {"GET / HTTP/1.0\r\n\r\n", "GET / HTTP/1.0\r\nConnection: keep-alive\r\n\r\n"},
      {"GET / HTTP/1.1\r\nHost: a\r\nConnection: keep-alive\r\nAccept: */*\r\n\r\n",
       "GET / HTTP/1.1\r\nHost: a\r\nAccept: */*\r\nConnection: keep-alive\r\n\r\n"},
      {"GET / HTTP/1.1\r\nproxy-connection: Keep-Alive\r\nKEEP-ALIVE: 300\r\n"
       "connection: Upgrade\r\nHost: a\r\n\r\n",
       "GET / HTTP/1.1\r\nHost: a\r\nConnection: keep-alive\r\n\r\n"},
      // Only whole header names count, and nothing after the head is touched.
      {"POST / HTTP/1.1\r\nX-Connection: 1\r\nConnection-Id: 2\r\nContent-Length: 17\r\n\r\n"
       "\r\nConnection: x\r\n",
       "POST / HTTP/1.1\r\nX-Connection: 1\r\nConnection-Id: 2\r\nContent-Length: 17\r\n"
       "Connection: keep-alive\r\n\r\n\r\nConnection: x\r\n"},
      // A request to switch protocols keeps asking for it, and for nothing else.
      {"GET /chat HTTP/1.1\r\nUpgrade: websocket\r\nConnection: keep-alive, Upgrade\r\n\r\n",
       "GET /chat HTTP/1.1\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n\r\n"},
      // A request line that happens to hold the name is not a header line.
      {"GET /Connection:x HTTP/1.0\r\n\r\n",
       "GET /Connection:x HTTP/1.0\r\nConnection: keep-alive\r\n\r\n"},
  };
  for (const CloseCase& c : cases) {
    char chunk[512];
    std::snprintf(chunk, sizeof chunk, "%s", c.in);
    EXPECT_EQ(ForceConnectionLine(chunk), 1) << c.in;
    EXPECT_STREQ(chunk, c.out) << c.in;
  }
}

TEST(ForceConnectionLine, IncompleteHeadIsLeftAlone) {
  char chunk[128] = "GET / HTTP/1.1\r\nConnection: keep-alive\r\nHost: a";
  EXPECT_EQ(ForceConnectionLine(chunk), 0);
  EXPECT_STREQ(chunk, "GET / HTTP/1.1\r\nConnection: keep-alive\r\nHost: a");
}

TEST(ForceConnectionLine, NoRoomChangesNothing) {
  const char* head = "GET / HTTP/1.1\r\nHost: a\r\n\r\n";
  char chunk[64];
  std::snprintf(chunk, sizeof chunk, "%s", head);
  EXPECT_EQ(ForceConnectionLine(std::span<char>(chunk, std::strlen(head) + 10)), 0);
  EXPECT_STREQ(chunk, head);
}

// An answer's head gets the same line; its body, NUL bytes and all, passes after it unchanged.
TEST(ReplaceConnectionLines, AnswerHeadWithABinaryBody) {
  const std::string in(
      "HTTP/1.1 200 OK\r\nKeep-Alive: timeout=5\r\nContent-Length: 4\r\n"
      "Connection: keep-alive\r\n\r\n\0a\r\n\0",
      90);
  const std::string out(
      "HTTP/1.1 200 OK\r\nContent-Length: 4\r\nConnection: close\r\n\r\n\0a\r\n\0", 62);
  char buffer[128];
  std::memcpy(buffer, in.data(), in.size());
  size_t length = in.size();
  ASSERT_TRUE(ReplaceConnectionLines(buffer, &length));
  EXPECT_EQ(std::string(buffer, length), out);
}

}  // namespace

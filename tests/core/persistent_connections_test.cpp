// Connections kept across requests, both ways: the client's between its requests (parked without
// a worker), the origin's in the pool, and the strict reading of heads and framing that keeping
// them needs, since a request now has neighbours on its connection.
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>

#include <chrono>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "core/server.h"
#include "tests/support/loopback.h"
#include "tests/support/process_counts.h"
#include "tests/support/proxy_fixture.h"

namespace {

using Clock = std::chrono::steady_clock;

const std::string kPage = "HTTP/1.1 200 OK\r\nContent-Length: 5\r\n\r\nhello";

std::string Port(uint16_t port) {
  return std::to_string(port);
}

std::string HostOf(const TestOrigin& origin) {
  return "Host: 127.0.0.1:" + Port(origin.Port()) + "\r\n";
}

// Where the answer at the start of text ends: its head alone for a status that has no body,
// else as a request's (length or chunks); npos while incomplete.
size_t AnswerLength(std::string_view text) {
  if (text.starts_with("HTTP/1.1 204 ") || text.starts_with("HTTP/1.1 304 ")) {
    size_t headEnd = text.find("\r\n\r\n");
    return headEnd == std::string_view::npos ? headEnd : headEnd + 4;
  }
  return RequestLength(text);
}

// A client that keeps its connection to the proxy and reads one framed answer at a time.
class KeptClient {
 public:
  explicit KeptClient(uint16_t port) : fd_(ConnectLoopback(port)) {}
  ~KeptClient() { CloseConnection(fd_); }
  KeptClient(const KeptClient&) = delete;
  KeptClient& operator=(const KeptClient&) = delete;

  bool Send(std::string_view bytes) { return WriteAll(fd_, bytes); }

  // The next answer, framed by its length or chunks; "" when none came whole within limit.
  std::string Next(std::chrono::milliseconds limit = 5000ms) {
    auto deadline = Clock::now() + limit;
    for (;;) {
      size_t length = AnswerLength(buffer_);
      if (length != std::string::npos) {
        std::string answer = buffer_.substr(0, length);
        buffer_.erase(0, length);
        return answer;
      }
      if (!Receive(deadline)) return "";
    }
  }

  // Whether the proxy closes the connection within limit, with nothing more sent.
  bool Closes(std::chrono::milliseconds limit) {
    auto deadline = Clock::now() + limit;
    size_t before = buffer_.size();
    while (Receive(deadline)) {
    }
    return closed_ && buffer_.size() == before;
  }

 private:
  bool Receive(Clock::time_point deadline) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
    pollfd p{fd_, POLLIN, 0};
    if (left.count() <= 0 || ::poll(&p, 1, static_cast<int>(left.count())) <= 0) return false;
    char bytes[16384];
    ssize_t n = ::recv(fd_, bytes, sizeof bytes, 0);
    if (n <= 0) {
      closed_ = true;
      return false;
    }
    buffer_.append(bytes, static_cast<size_t>(n));
    return true;
  }

  int fd_;
  std::string buffer_;
  bool closed_ = false;
};

class PersistentTest : public ProxyTest {};

TEST_F(PersistentTest, AClientsRequestsShareOneConnectionEachWay) {
  TestOrigin origin(kPage);
  origin.KeepConnections();
  std::string host = HostOf(origin);
  const std::string requests[] = {
      "GET /a HTTP/1.1\r\n" + host + "\r\n",
      "POST /b HTTP/1.1\r\n" + host + "Content-Length: 3\r\n\r\nxyz",
      "PUT /c HTTP/1.1\r\n" + host + "Transfer-Encoding: chunked\r\n\r\n" +
          Chunked("a body", 4, "X-Sum: 1\r\n"),
  };
  KeptClient client(port_);
  for (const std::string& request : requests) {
    ASSERT_TRUE(client.Send(request));
    EXPECT_EQ(client.Next(), Forwarded(kPage)) << request;
  }
  for (size_t i = 0; i < std::size(requests); ++i)
    EXPECT_EQ(origin.Request(i), Forwarded(requests[i]));
  EXPECT_EQ(origin.ConnectionCount(), 1);
}

TEST_F(PersistentTest, PipelinedRequestsAreAnsweredInOrder) {
  TestOrigin origin(kPage);
  origin.KeepConnections();
  std::string first = "GET /1 HTTP/1.1\r\n" + HostOf(origin) + "\r\n";
  std::string second = "POST /2 HTTP/1.1\r\n" + HostOf(origin) + "Content-Length: 2\r\n\r\nok";
  std::string third = "GET /3 HTTP/1.1\r\n" + HostOf(origin) + "Connection: close\r\n\r\n";
  KeptClient client(port_);
  ASSERT_TRUE(client.Send(first + second + third));
  EXPECT_EQ(client.Next(), Forwarded(kPage));
  EXPECT_EQ(client.Next(), Forwarded(kPage));
  EXPECT_EQ(client.Next(), Closing(kPage));
  EXPECT_TRUE(client.Closes(3000ms));
  EXPECT_EQ(origin.Request(0), Forwarded(first));
  EXPECT_EQ(origin.Request(1), Forwarded(second));
  // The client's close is its own: the origin is still asked to keep its connection.
  EXPECT_EQ(origin.Request(2),
            "GET /3 HTTP/1.1\r\n" + HostOf(origin) + "Connection: keep-alive\r\n\r\n");
}

// Between requests a connection holds no thread: it waits parked until its next request, which
// any worker takes up, and goes once it has waited longer than the client's idle bound.
TEST_F(PersistentTest, IdleConnectionsWaitWithoutAWorkerAndGoAfterTheirBound) {
  StopProxyServer();
  clientIdleMs_ = 4000;
  SetUp();
  TestOrigin origin(kPage);
  origin.KeepConnections();
  std::string request = "GET / HTTP/1.1\r\n" + HostOf(origin) + "\r\n";
  long threadsBefore = Threads();
  constexpr int kClients = 20;
  std::vector<std::unique_ptr<KeptClient>> clients;
  for (int i = 0; i < kClients; ++i) {
    clients.push_back(std::make_unique<KeptClient>(port_));
    ASSERT_TRUE(clients.back()->Send(request));
    EXPECT_EQ(clients.back()->Next(), Forwarded(kPage));
  }
  // The workers that served them end as idle ones do, while the connections stay (the last
  // answer may reach its client a moment before its connection is parked).
  auto deadline = Clock::now() + 3500ms;
  while (Clock::now() < deadline &&
         (Threads() > threadsBefore + 2 || ParkedConnections() != kClients))
    std::this_thread::sleep_for(50ms);
  EXPECT_LE(Threads(), threadsBefore + 2);
  EXPECT_EQ(ParkedConnections(), kClients);
  for (auto& client : clients) {
    ASSERT_TRUE(client->Send(request));
    EXPECT_EQ(client->Next(), Forwarded(kPage));
  }
  for (auto& client : clients)
    EXPECT_TRUE(client->Closes(7000ms));
  EXPECT_EQ(ParkedConnections(), 0);
}

// The origin's connection serves the next request to it, from whichever client; a kept one that
// turns out closed is replaced once for a request that can be sent again, never for a POST.
TEST_F(PersistentTest, OriginConnectionsAreReusedAndRetriedOnlyWhenSafe) {
  TestOrigin origin(kPage);
  origin.KeepConnections(1);  // each connection closes unanswered at its second request
  std::string get = "GET / HTTP/1.1\r\n" + HostOf(origin) + "Connection: close\r\n\r\n";
  EXPECT_EQ(Exchange(port_, get), Closing(kPage));
  EXPECT_EQ(Exchange(port_, get), Closing(kPage));  // the kept one failed: sent again on a new one
  EXPECT_EQ(origin.ConnectionCount(), 2);
  std::string post =
      "POST / HTTP/1.1\r\n" + HostOf(origin) + "Content-Length: 4\r\nConnection: close\r\n\r\nsend";
  EXPECT_EQ(Exchange(port_, post), "");  // never twice: the client decides
  EXPECT_EQ(origin.ConnectionCount(), 2);
  EXPECT_EQ(origin.RequestCount(), 2u);

  TestOrigin steady(kPage);
  steady.KeepConnections();
  std::string again = "GET / HTTP/1.1\r\n" + HostOf(steady) + "Connection: close\r\n\r\n";
  for (int i = 0; i < 3; ++i)
    EXPECT_EQ(Exchange(port_, again), Closing(kPage));
  EXPECT_EQ(steady.ConnectionCount(), 1);
}

// The answer's own framing says where it ends; only then may the client's connection stay. One
// that could be framed two ways ends it, and one whose lengths disagree reaches no client.
TEST_F(PersistentTest, TheAnswersFramingDecidesWhetherTheClientStays) {
  struct Case {
    std::string answer;
    bool stays;
  };
  const Case cases[] = {
      {kPage, true},
      {"HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n2\r\nok\r\n0\r\n\r\n", true},
      {"HTTP/1.1 204 No Content\r\n\r\n", true},
      {"HTTP/1.1 304 Not Modified\r\nContent-Length: 99\r\n\r\n", true},
      {"HTTP/1.0 200 OK\r\n\r\nuntil the close", false},
      {"HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\nContent-Length: 2\r\n\r\n"
       "2\r\nok\r\n0\r\n\r\n",
       false},
  };
  for (const Case& c : cases) {
    TestOrigin origin(c.answer);
    std::string request = "GET / HTTP/1.1\r\n" + HostOf(origin) + "\r\n";
    if (!c.stays) {  // the answer ends where the connection does
      EXPECT_EQ(Exchange(port_, request), Closing(c.answer)) << c.answer;
      continue;
    }
    KeptClient client(port_);
    for (int round = 0; round < 2; ++round) {
      ASSERT_TRUE(client.Send(request));
      EXPECT_EQ(client.Next(), Forwarded(c.answer)) << c.answer;
    }
  }
  TestOrigin disagreeing("HTTP/1.1 200 OK\r\nContent-Length: 2\r\nContent-Length: 3\r\n\r\nok!");
  EXPECT_EQ(Exchange(port_, "GET / HTTP/1.1\r\n" + HostOf(disagreeing) + "\r\n"), "");
}

// An origin that keeps its connection after a whole answer no longer holds the exchange: it ends
// with the answer.
TEST_F(PersistentTest, AnOriginThatKeepsItsConnectionDoesNotHoldTheClient) {
  const std::string answer =
      "HTTP/1.1 200 OK\r\nContent-Length: 5\r\nConnection: close\r\n\r\nhello";
  TestOrigin origin(answer);
  origin.HoldOpen(20000ms);  // whatever its answer said
  auto start = Clock::now();
  EXPECT_EQ(
      Exchange(port_, "GET / HTTP/1.1\r\n" + HostOf(origin) + "Connection: close\r\n\r\n", 10000ms),
      Closing(kPage));
  EXPECT_LT(Clock::now() - start, 10000ms);
}

// Heads that could be read two ways, or are too large to read, are answered by the proxy and
// end the connection: the origin never hears of them.
TEST_F(PersistentTest, AmbiguousOrOversizedHeadsNeverReachTheOrigin) {
  TestOrigin origin(kPage);
  origin.KeepConnections();
  std::string host = HostOf(origin);
  struct Case {
    std::string request;
    const char* status;
  };
  const Case cases[] = {
      {"POST / HTTP/1.1\r\n" + host +
           "Transfer-Encoding: chunked\r\nContent-Length: 5\r\n\r\n"
           "0\r\n\r\n",
       "400"},
      {"POST / HTTP/1.1\r\n" + host + "Content-Length: 5\r\nContent-Length: 6\r\n\r\nabcdef",
       "400"},
      {"POST / HTTP/1.1\r\n" + host + "Content-Length: +5\r\n\r\nabcde", "400"},
      {"POST / HTTP/1.1\r\n" + host + "Content-Length: 5x\r\n\r\nabcde", "400"},
      {"POST / HTTP/1.1\r\n" + host + "Transfer-Encoding: chunked, gzip\r\n\r\n0\r\n\r\n", "400"},
      {"POST / HTTP/1.0\r\n" + host + "Transfer-Encoding: chunked\r\n\r\n0\r\n\r\n", "400"},
      {"POST / HTTP/1.1\r\n" + host + "Transfer-Encoding: chunked\r\n\r\nzz\r\nab\r\n0\r\n\r\n",
       "400"},
      {"POST / HTTP/1.1\r\n" + host + "Transfer-Encoding: chunked\r\n\r\n2\nab\r\n0\r\n\r\n",
       "400"},
      {std::string("GET / HTTP/1.1\r\n") + host + "X-A: a" + std::string(1, '\0') + "b\r\n\r\n",
       "400"},
      {"GET / HTTP/1.1\r\n" + host + "X-A: b\rHost: 127.0.0.1:1\r\n\r\n", "400"},
      {"GET / HTTP/1.1\r\n" + host + "X-A: b\r\n folded\r\n\r\n", "400"},
      {"GET / HTTP/1.1\r\n" + host + host + "\r\n", "400"},
      {"GET /a\tb HTTP/1.1\r\n" + host + "\r\n", "400"},
      {"GET / HTTP/1.1\r\n" + host + "X-Long: " + std::string(10 * 1024 * 1024, 'x') + "\r\n\r\n",
       "431"},
  };
  std::string manyLines;
  for (int i = 0; i < 100000; ++i)
    manyLines += "X-" + std::to_string(i) + ": 1\r\n";
  std::vector<Case> all(std::begin(cases), std::end(cases));
  all.push_back({"GET / HTTP/1.1\r\n" + host + manyLines + "\r\n", "431"});
  for (const Case& c : all) {
    int fd = ConnectLoopback(port_);
    // A large head is written while the answer is read: the proxy answers before it has all.
    std::thread writer([&] { WriteAll(fd, c.request); });
    std::string answer = ReadUntilClosed(fd, 3000ms);
    ::shutdown(fd, SHUT_RDWR);
    writer.join();
    CloseConnection(fd);
    EXPECT_TRUE(answer.starts_with(std::string("HTTP/1.1 ") + c.status + " "))
        << c.request.substr(0, 120) << "\n"
        << answer.substr(0, 80);
  }
  EXPECT_EQ(origin.ConnectionCount(), 0);
}

// A header counts by its whole name at a line's start, and an absolute address is the target,
// with the Host line sent on made to agree: nothing else decides where a request goes.
TEST_F(PersistentTest, OnlyTheAddressOrTheHostLineDecidesWhereARequestGoes) {
  TestOrigin good(kPage);
  TestOrigin decoy(kPage);
  std::string goodHost = "127.0.0.1:" + Port(good.Port());
  std::string decoyHost = "127.0.0.1:" + Port(decoy.Port());
  const std::string inBody = "Host: " + decoyHost + "\r\n";
  const std::string requests[] = {
      "GET /1 HTTP/1.1\r\nX-Forwarded-Host: " + decoyHost + "\r\nHost: " + goodHost +
          "\r\nConnection: close\r\n\r\n",
      "POST /2 HTTP/1.1\r\nHost: " + goodHost + "\r\nContent-Length: " +
          std::to_string(inBody.size()) + "\r\nConnection: close\r\n\r\n" + inBody,
  };
  for (size_t i = 0; i < std::size(requests); ++i) {
    EXPECT_EQ(Exchange(port_, requests[i]), Closing(kPage));
    std::string sent = requests[i];
    sent.replace(sent.find("Connection: close\r\n"), 19, "");
    EXPECT_EQ(good.Request(i), Forwarded(sent));
  }
  EXPECT_EQ(Exchange(port_, "GET http://" + goodHost + "/3 HTTP/1.1\r\nHost: " + decoyHost +
                                "\r\nConnection: close\r\n\r\n"),
            Closing(kPage));
  EXPECT_EQ(good.Request(2),
            "GET /3 HTTP/1.1\r\nHost: " + goodHost + "\r\nConnection: keep-alive\r\n\r\n");
  EXPECT_EQ(decoy.ConnectionCount(), 0);
}

}  // namespace

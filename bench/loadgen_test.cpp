// Tests of the load generator's pure helpers. Built and run by bench/test.
#include <cstdio>
#include <string>
#include <vector>

#include "loadgen_lib.h"

namespace {

int passed = 0;
int failed = 0;

void Check(bool ok, const char* what, int line) {
  if (ok) {
    ++passed;
  } else {
    ++failed;
    std::printf("FAIL line %d: %s\n", line, what);
  }
}
#define CHECK(cond) Check((cond), #cond, __LINE__)

void PercentileIsNearestRank() {
  std::vector<uint32_t> hundred;
  for (uint32_t i = 100; i >= 1; --i)
    hundred.push_back(i);  // unsorted on purpose
  CHECK(loadgen::Percentile(hundred, 50) == 50);
  CHECK(loadgen::Percentile(hundred, 99) == 99);
  CHECK(loadgen::Percentile(hundred, 99.9) == 100);
  CHECK(loadgen::Percentile(hundred, 100) == 100);
  CHECK(loadgen::Percentile(hundred, 0) == 1);

  std::vector<uint32_t> ten = {10, 20, 30, 40, 50, 60, 70, 80, 90, 1000};
  CHECK(loadgen::Percentile(ten, 50) == 50);    // rank 5
  CHECK(loadgen::Percentile(ten, 51) == 60);    // rank 5.1 rounds up to 6
  CHECK(loadgen::Percentile(ten, 99) == 1000);  // one slow exchange in ten is the p99
  CHECK(loadgen::Percentile({7}, 99) == 7);
  CHECK(loadgen::Percentile({}, 50) == 0);
}

void AnswerHeadEndsAndLengths() {
  loadgen::AnswerHead h;
  CHECK(!loadgen::ParseAnswerHead("HTTP/1.1 200 OK\r\nContent-Length: 5\r\n", &h));

  std::string whole = "HTTP/1.1 200 OK\r\ncontent-LENGTH:  1024 \r\nConnection: close\r\n\r\nabc";
  CHECK(loadgen::ParseAnswerHead(whole, &h));
  CHECK(h.status == 200);
  CHECK(h.contentLength == 1024);
  CHECK(h.connectionClose);
  CHECK(h.headBytes == whole.size() - 3);

  CHECK(loadgen::ParseAnswerHead("HTTP/1.0 404 Not Found\r\nConnection: Keep-Alive\r\n\r\n", &h));
  CHECK(h.status == 404);
  CHECK(h.contentLength == -1);  // no length: the answer ends when the server closes
  CHECK(!h.connectionClose);

  CHECK(loadgen::ParseAnswerHead("HTTP/1.1 200 OK\r\nConnection: Upgrade, CLOSE\r\n\r\n", &h));
  CHECK(h.connectionClose);

  // Look-alike names and unreadable values do not give a length.
  CHECK(loadgen::ParseAnswerHead(
      "HTTP/1.1 200 OK\r\nContent-Length-Extra: 9\r\nX-Content-Length: 8\r\n\r\n", &h));
  CHECK(h.contentLength == -1);
  CHECK(loadgen::ParseAnswerHead("HTTP/1.1 200 OK\r\nContent-Length: 12a\r\n\r\n", &h));
  CHECK(h.contentLength == -1);

  CHECK(loadgen::ParseAnswerHead("garbage\r\n\r\n", &h));
  CHECK(h.status == 0);
}

// Whether a keep-alive load sends its next request on the same connection.
void ReuseFollowsTheAnswersFraming() {
  struct Case {
    const char* head;
    bool reuse;
  } cases[] = {
      {"HTTP/1.1 200 OK\r\nContent-Length: 3\r\n\r\n", true},
      {"HTTP/1.1 200 OK\r\nContent-Length: 0\r\nConnection: keep-alive\r\n\r\n", true},
      {"HTTP/1.1 200 OK\r\nContent-Length: 3\r\nConnection: close\r\n\r\n", false},
      {"HTTP/1.1 200 OK\r\n\r\n", false},  // ends at close
      {"HTTP/1.1 200 OK\r\nContent-Length: x\r\n\r\n", false},
      {"HTTP/1.0 200 OK\r\nContent-Length: 3\r\n\r\n", false},
      {"HTTP/1.0 200 OK\r\nContent-Length: 3\r\nConnection: Keep-Alive\r\n\r\n", true},
      {"garbage\r\nContent-Length: 3\r\n\r\n", false},
  };
  for (const Case& c : cases) {
    loadgen::AnswerHead h;
    bool parsed = loadgen::ParseAnswerHead(c.head, &h);
    Check(parsed && loadgen::CanReuse(h) == c.reuse, c.head, __LINE__);
  }
}

void RequestForms() {
  std::string viaProxy = loadgen::BuildRequest("127.0.0.1:18480", "/1k", true);
  CHECK(viaProxy.rfind("GET http://127.0.0.1:18480/1k HTTP/1.1\r\n", 0) == 0);
  CHECK(viaProxy.find("\r\nHost: 127.0.0.1:18480\r\n") != std::string::npos);
  CHECK(viaProxy.find("\r\nConnection: close\r\n\r\n") == viaProxy.size() - 23);

  std::string direct = loadgen::BuildRequest("127.0.0.1:18480", "/1k", false);
  CHECK(direct.rfind("GET /1k HTTP/1.1\r\n", 0) == 0);

  std::string kept = loadgen::BuildRequest("127.0.0.1:18480", "/1k", true, true);
  CHECK(kept.ends_with("\r\nConnection: keep-alive\r\n\r\n"));
  CHECK(kept.find("close") == std::string::npos);
}

}  // namespace

int main() {
  PercentileIsNearestRank();
  AnswerHeadEndsAndLengths();
  ReuseFollowsTheAnswersFraming();
  RequestForms();
  std::printf("loadgen: %d passed, %d failed\n", passed, failed);
  return failed == 0 ? 0 : 1;
}

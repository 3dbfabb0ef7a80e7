// Interim answers are passed over to find where the final answer starts.
#include "core/interim_answers.h"

#include <gtest/gtest.h>

#include <string>

namespace {

TEST(FinalAnswerStart, PassesOverWholeInterimAnswersOnly) {
  constexpr size_t kCut = std::string_view::npos;
  const std::string kContinue = "HTTP/1.1 100 Continue\r\n\r\n";
  const std::string kHints = "HTTP/1.1 103 Early Hints\r\nLink: </a.css>; rel=preload\r\n\r\n";
  const std::string kOk = "HTTP/1.1 200 OK\r\nContent-Length: 0\r\n\r\n";
  const struct {
    std::string bytes;
    size_t start;
  } cases[] = {
      {kOk, 0},
      {"HTTP/1.0 404 Not Found\r\n\r\n", 0},
      {kContinue, kContinue.size()},
      {kContinue + kOk, kContinue.size()},
      {kContinue + kHints + kOk, kContinue.size() + kHints.size()},
      {kContinue + "HTTP/1.1 200", kContinue.size()},            // the final head may be cut
      {"HTTP/1.1 100 Contin", kCut},                             // an interim one may not
      {kContinue + "HTTP/1.1 101 Switching", kContinue.size()},  // another protocol follows
      {"HTTP/1.1 101 Switching Protocols\r\nUpgrade: websocket\r\n\r\n\x81\x05hello", 0},
      {"HTTP/1.1 1x0 Odd\r\n\r\n", 0},  // not a status code: not interim
      {"HTTP/1.1 100", kCut},
      {"HTTP/", 0},
      {"", 0},
      {"<html>100 Continue\r\n\r\n", 0},
  };
  for (const auto& c : cases)
    EXPECT_EQ(FinalAnswerStart(c.bytes), c.start) << c.bytes;
}

}  // namespace

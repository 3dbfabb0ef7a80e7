// Workers remember pages and build Referer lines at the same time: every Referer must carry one
// whole remembered address, never a mix of two.
#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "rewrite/page_memory.h"
#include "tests/rewrite/filter_harness.h"

namespace {

constexpr int kThreads = 8;
constexpr int kRoundsPerThread = 300;
constexpr size_t kPathBytes = 900;

// Thread t remembers "http://h/%7E" followed by kPathBytes copies of its own letter.
std::string AddressOf(int thread) {
  return "http://h/%7E" + std::string(kPathBytes, static_cast<char>('a' + thread));
}

// True when value is one whole address of AddressOf, with or without its "/%7E" repaired.
bool IsWholeAddress(std::string_view value) {
  std::string_view path;
  if (value.substr(0, 12) == "http://h/%7E") {
    path = value.substr(12);
  } else if (value.substr(0, 10) == "http://h/~") {
    path = value.substr(10);
  } else {
    return false;
  }
  return path.size() == kPathBytes && path.find_first_not_of(path[0]) == std::string_view::npos;
}

TEST_F(FilterTest, RememberedAddressIsNeverTorn) {
  ProxySettings settings = FiltersOff();
  settings.SendReferer = 1;
  settings.SpaceConvert = 1;
  ReplaceSettings(settings);
  SetLastPageUrl(AddressOf(0));
  const std::string answer = "HTTP/1.1 200 OK\r\nContent-Type: text/html\r\n\r\n";
  const std::string request = "GET /b HTTP/1.0\r\nHost: h\r\n\r\n";
  std::atomic<int> torn{0};
  std::atomic<int> refererless{0};

  std::vector<std::thread> workers;
  for (int t = 0; t < kThreads; ++t) {
    workers.emplace_back([&, t] {
      const std::string mine = AddressOf(t);
      for (int round = 0; round < kRoundsPerThread; ++round) {
        NoteFirstAnswer(answer, mine);
        std::string out = Filter(request);
        size_t from = out.find("Referer: ");
        size_t to = out.find("\r\nHost: ");
        if (from == std::string::npos || to == std::string::npos) {
          ++refererless;
          continue;
        }
        if (!IsWholeAddress(std::string_view(out).substr(from + 9, to - from - 9))) ++torn;
      }
    });
  }
  for (std::thread& w : workers)
    w.join();

  EXPECT_EQ(refererless.load(), 0);
  EXPECT_EQ(torn.load(), 0);
}

}  // namespace

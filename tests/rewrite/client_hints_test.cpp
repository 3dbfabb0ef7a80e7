// Client hints: which request lines the settings withhold, and the answer lines asking for them.
#include "rewrite/client_hints.h"

#include <string>
#include <vector>

#include "tests/rewrite/filter_harness.h"

namespace {

ProxySettings Hints(int32_t sendMachine, int32_t changeUA) {
  ProxySettings s = FiltersOff();
  s.SendMachine = sendMachine;
  s.ChangeUA = changeUA;
  SetUAName(s, u"C/1");
  return s;
}

// Every hint as Chromium writes them (lower case), some in other cases, and the last one as the
// head's last line.
const std::string kAllHints =
    "GET /p HTTP/1.1\r\nHost: h\r\nsec-ch-ua: \"Chromium\";v=\"156\"\r\nsec-ch-ua-mobile: ?0\r\n"
    "Sec-CH-UA-Platform: \"Linux\"\r\nsec-ch-ua-platform-version: \"\"\r\nSEC-CH-UA-ARCH: "
    "\"x86\"\r\n"
    "sec-ch-ua-bitness: \"64\"\r\nsec-ch-ua-model: \"\"\r\nsec-ch-ua-wow64: ?0\r\n"
    "sec-ch-ua-form-factors: \"Desktop\"\r\nsec-ch-ua-full-version: \"156.0\"\r\n"
    "sec-ch-ua-full-version-list: \"Chromium\";v=\"156.0\"\r\nsec-ch-viewport-width: 780\r\n"
    "sec-ch-viewport-height: 437\r\nsec-ch-width: 100\r\nsec-ch-dpr: 1\r\n"
    "sec-ch-device-memory: 16\r\nviewport-width: 780\r\nwidth: 100\r\nDpr: 1\r\n"
    "device-memory: 16\r\n\r\n";
const std::string kBrowserHints =
    "sec-ch-ua: \"Chromium\";v=\"156\"\r\nsec-ch-ua-full-version: \"156.0\"\r\n"
    "sec-ch-ua-full-version-list: \"Chromium\";v=\"156.0\"\r\n";

TEST_F(FilterTest, ClientHintsFollowSendMachineAndChangeUA) {
  const FilterRow rows[] = {
      {"SendMachine off: the device hints go, the browser's name stays", Hints(0, 0), "", kAllHints,
       "GET /p HTTP/1.1\r\nHost: h\r\n" + kBrowserHints + "\r\n"},
      {"ChangeUA on as well: the chosen User-Agent is the only description", Hints(0, 1), "",
       kAllHints, "GET /p HTTP/1.1\r\nUser-Agent: C/1\r\nHost: h\r\n\r\n"},
      {"SendMachine on, ChangeUA off: all of them pass", Hints(1, 0), "", kAllHints, kAllHints},
      {"SendMachine and ChangeUA on: only the browser's name goes", Hints(1, 1), "",
       "GET /p HTTP/1.1\r\nHost: h\r\n" + kBrowserHints + "DPR: 1\r\n\r\n",
       "GET /p HTTP/1.1\r\nUser-Agent: C/1\r\nHost: h\r\nDPR: 1\r\n\r\n"},
      {"every occurrence goes", Hints(0, 0), "",
       "GET /p HTTP/1.1\r\nWidth: 1\r\nwidth: 2\r\nHost: h\r\nWIDTH: 3\r\n\r\n",
       "GET /p HTTP/1.1\r\nHost: h\r\n\r\n"},
      {"only whole names at the start of a header line", Hints(0, 0), "",
       "GET /q?DPR:2 HTTP/1.1\r\nSec-CH-UA-Platformer: x\r\nDPRs: 2\r\nX-Width: 1\r\n"
       "Host: h\r\n\r\n",
       "GET /q?DPR:2 HTTP/1.1\r\nSec-CH-UA-Platformer: x\r\nDPRs: 2\r\nX-Width: 1\r\n"
       "Host: h\r\n\r\n"},
      {"nothing after the head is touched", Hints(0, 0), "",
       "POST /f HTTP/1.1\r\nDPR: 1\r\nContent-Length: 8\r\n\r\nDPR: 1\r\n",
       "POST /f HTTP/1.1\r\nContent-Length: 8\r\n\r\nDPR: 1\r\n"},
      {"a head cut short loses the hints of its whole lines", Hints(0, 0), "",
       "GET /p HTTP/1.1\r\nDPR: 1\r\nHost: h\r\nDevice-Memo",
       "GET /p HTTP/1.1\r\nHost: h\r\nDevice-Memo"},
  };
  for (const FilterRow& row : rows)
    Run(row);
}

TEST_F(FilterTest, AnswersAskForNoHintsUnlessSendMachine) {
  using namespace std::string_literals;
  struct Row {
    const char* behaviour;
    int32_t sendMachine;
    std::string in;
    std::string out;
  } rows[] = {
      {"both go, any letter case, every one; the body passes whole", 0,
       "HTTP/1.1 200 OK\r\naccept-ch: Sec-CH-UA-Arch\r\nContent-Type: text/html\r\n"
       "CRITICAL-CH: Sec-CH-UA-Arch\r\nAccept-CH: DPR\r\n\r\n<p>\0\r\nAccept-CH: DPR\r\n"s,
       "HTTP/1.1 200 OK\r\nContent-Type: text/html\r\n\r\n<p>\0\r\nAccept-CH: DPR\r\n"s},
      {"names that only start like them stay", 0,
       "HTTP/1.1 200 OK\r\nAccept-CH-Lifetime: 86400\r\nX-Accept-CH: DPR\r\n\r\n",
       "HTTP/1.1 200 OK\r\nAccept-CH-Lifetime: 86400\r\nX-Accept-CH: DPR\r\n\r\n"},
      {"a head not whole here is left as it came", 0,
       "HTTP/1.1 200 OK\r\nAccept-CH: DPR\r\nContent-Ty",
       "HTTP/1.1 200 OK\r\nAccept-CH: DPR\r\nContent-Ty"},
      {"SendMachine on: the site may ask", 1,
       "HTTP/1.1 200 OK\r\nAccept-CH: DPR\r\nCritical-CH: DPR\r\n\r\n",
       "HTTP/1.1 200 OK\r\nAccept-CH: DPR\r\nCritical-CH: DPR\r\n\r\n"},
  };
  for (const Row& row : rows) {
    ReplaceSettings(Hints(row.sendMachine, 0));
    std::vector<char> answer(row.in.begin(), row.in.end());
    size_t length = RemoveHintRequests(answer);
    EXPECT_EQ(std::string(answer.data(), length), row.out) << row.behaviour;
  }
}

}  // namespace

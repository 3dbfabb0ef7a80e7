// The first four filter steps, one table per step: request head in, exact bytes out.
#include <string>

#include "tests/rewrite/filter_harness.h"

namespace {

ProxySettings SendReferer() {
  ProxySettings s = FiltersOff();
  s.SendReferer = 1;
  return s;
}

ProxySettings DropDeviceLines() {
  ProxySettings s = FiltersOff();
  s.SendMachine = 0;
  return s;
}

ProxySettings ChangeUA(std::u16string_view name) {
  ProxySettings s = FiltersOff();
  s.ChangeUA = 1;
  SetUAName(s, name);
  return s;
}

ProxySettings TildeRepair(int sendReferer) {
  ProxySettings s = FiltersOff();
  s.SpaceConvert = 1;
  s.SendReferer = sendReferer;
  return s;
}

const std::string kPage = "http://shop.example/a.html";

TEST_F(FilterTest, RefererLine) {
  const FilterRow rows[] = {
      {"lands directly before the Host line", SendReferer(), kPage,
       "GET http://shop.example/b HTTP/1.0\r\nAccept: */*\r\nHost: shop.example\r\n\r\n",
       "GET http://shop.example/b HTTP/1.0\r\nAccept: */*\r\n"
       "Referer: http://shop.example/a.html\r\nHost: shop.example\r\n\r\n"},
      {"nothing remembered, no line", SendReferer(), "",
       "GET /b HTTP/1.0\r\nHost: shop.example\r\n\r\n",
       "GET /b HTTP/1.0\r\nHost: shop.example\r\n\r\n"},
      {"off, no line", FiltersOff(), kPage, "GET /b HTTP/1.0\r\nHost: shop.example\r\n\r\n",
       "GET /b HTTP/1.0\r\nHost: shop.example\r\n\r\n"},
      {"an address holding \"Host\" keeps its request line whole", SendReferer(), kPage,
       "GET http://shop.example/Hosts/list HTTP/1.0\r\nHost: shop.example\r\n\r\n",
       "GET http://shop.example/Hosts/list HTTP/1.0\r\n"
       "Referer: http://shop.example/a.html\r\nHost: shop.example\r\n\r\n"},
      {"a header ending in Host is not the Host line", SendReferer(), kPage,
       "GET /b HTTP/1.0\r\nX-Forwarded-Host: cache\r\nHost: shop.example\r\n\r\n",
       "GET /b HTTP/1.0\r\nX-Forwarded-Host: cache\r\n"
       "Referer: http://shop.example/a.html\r\nHost: shop.example\r\n\r\n"},
      {"no Host line, no Referer", SendReferer(), kPage, "GET /b HTTP/1.0\r\nAccept: */*\r\n\r\n",
       "GET /b HTTP/1.0\r\nAccept: */*\r\n\r\n"},
      {"the browser's own Referer stays beside ours", SendReferer(), kPage,
       "GET /b HTTP/1.0\r\nReferer: http://other/\r\nHost: shop.example\r\n\r\n",
       "GET /b HTTP/1.0\r\nReferer: http://other/\r\n"
       "Referer: http://shop.example/a.html\r\nHost: shop.example\r\n\r\n"},
  };
  for (const FilterRow& row : rows)
    Run(row);
}

// Which page goes as the Referer of which request: a plain page whole to any; an https page never
// in clear, whole over TLS to its own origin (scheme, host, port) and as that origin alone to
// another.
TEST_F(FilterTest, RefererOfAnHttpsPageStaysWithinTls) {
  const std::string kBank = "https://bank.example/account?session=S";
  const std::string kLongHost = "https://" + std::string(kLastPageUrlSize - 9, 'h');
  struct Row {
    std::string page;
    std::string secureOrigin;  // empty: the request goes in clear
    std::string referer;       // empty: no Referer line
  } rows[] = {
      {kPage, "", kPage},
      {kPage, "https://bank.example", kPage},
      {kBank, "", ""},
      {"HTTPS://bank.example/a", "", ""},
      {kBank, "https://bank.example", kBank},
      {kBank, "https://BANK.Example", kBank},
      {kBank, "https://bank.example:443", kBank},
      {"https://bank.example:443/a", "https://bank.example", "https://bank.example:443/a"},
      {kBank, "https://shop.example", "https://bank.example/"},
      {kBank, "https://bank.example.evil", "https://bank.example/"},
      {kBank, "https://bank.example:8443", "https://bank.example/"},
      {"https://bank.example:8443/a", "https://bank.example", "https://bank.example:8443/"},
      {"https://bank.example:x/a", "https://bank.example:x", "https://bank.example:x/"},
      {"https://bank.example:70000/a", "https://bank.example:4464", "https://bank.example:70000/"},
      {"https://[::1]:8443/a", "https://[::1]:8443", "https://[::1]:8443/a"},
      {"https://[::1]:8443/a", "https://[::1]", "https://[::1]:8443/"},
      {"https://bank.example?q=S", "https://shop.example", "https://bank.example/"},
      {kLongHost, "https://shop.example", kLongHost + "/"},
  };
  ReplaceSettings(SendReferer());
  for (const Row& row : rows) {
    SetLastPageUrl(row.page);
    std::string expected = "GET /b HTTP/1.1\r\n";
    if (!row.referer.empty()) expected += "Referer: " + row.referer + "\r\n";
    EXPECT_EQ(Filter("GET /b HTTP/1.1\r\nHost: h\r\n\r\n", row.secureOrigin),
              expected + "Host: h\r\n\r\n")
        << row.page << " to " << (row.secureOrigin.empty() ? "plain HTTP" : row.secureOrigin);
    EXPECT_EQ(RememberedPage(), row.page) << "the page stays remembered";
  }
}

TEST_F(FilterTest, TildeRepairOfTheRememberedPage) {
  const FilterRow rows[] = {
      {"repaired in the Referer line, either case", TildeRepair(1), "http://h/%7Eann/x/%7ebob/",
       "GET /b HTTP/1.0\r\nHost: h\r\n\r\n",
       "GET /b HTTP/1.0\r\nReferer: http://h/~ann/x/~bob/\r\nHost: h\r\n\r\n"},
      {"sent as remembered while SpaceConvert is off", SendReferer(), "http://h/%7Eann/",
       "GET /b HTTP/1.0\r\nHost: h\r\n\r\n",
       "GET /b HTTP/1.0\r\nReferer: http://h/%7Eann/\r\nHost: h\r\n\r\n"},
  };
  for (const FilterRow& row : rows)
    Run(row);
  // The repair stays in the memory even when no Referer is sent.
  Run({"no Referer", TildeRepair(0), "http://h/%7Eann/", "GET /b HTTP/1.0\r\nHost: h\r\n\r\n",
       "GET /b HTTP/1.0\r\nHost: h\r\n\r\n"});
  EXPECT_EQ(RememberedPage(), "http://h/~ann/");
}

TEST_F(FilterTest, DeviceLines) {
  const std::string head =
      "GET /b HTTP/1.0\r\nUA-OS: CE 3.0\r\nUA-color: color16\r\nUA-pixels: 240x320\r\n"
      "UA-CPU: ARM\r\nHost: h\r\n\r\n";
  const FilterRow rows[] = {
      {"all four dropped", DropDeviceLines(), "", head, "GET /b HTTP/1.0\r\nHost: h\r\n\r\n"},
      {"kept with SendMachine on", FiltersOff(), "", head, head},
      {"only the first of two", DropDeviceLines(), "",
       "GET /b HTTP/1.0\r\nUA-color: color16\r\nUA-color: mono\r\nHost: h\r\n\r\n",
       "GET /b HTTP/1.0\r\nUA-color: mono\r\nHost: h\r\n\r\n"},
      {"only at the start of a header line", DropDeviceLines(), "",
       "GET /find?q=UA-CPU:arm HTTP/1.0\r\nX-UA-OS: keep\r\nHost: h\r\n\r\n",
       "GET /find?q=UA-CPU:arm HTTP/1.0\r\nX-UA-OS: keep\r\nHost: h\r\n\r\n"},
  };
  for (const FilterRow& row : rows)
    Run(row);
}

TEST_F(FilterTest, UserAgentLine) {
  ProxySettings refererAndUA = ChangeUA(u"Corvane/1");
  refererAndUA.SendReferer = 1;
  const FilterRow rows[] = {
      {"replaced, before Host", ChangeUA(u"Corvane/1"), "",
       "GET /b HTTP/1.0\r\nUser-Agent: Browser/4\r\nAccept: */*\r\nHost: h\r\n\r\n",
       "GET /b HTTP/1.0\r\nAccept: */*\r\nUser-Agent: Corvane/1\r\nHost: h\r\n\r\n"},
      {"inserted when the browser sent none", ChangeUA(u"Corvane/1"), "",
       "GET /b HTTP/1.0\r\nHost: h\r\n\r\n",
       "GET /b HTTP/1.0\r\nUser-Agent: Corvane/1\r\nHost: h\r\n\r\n"},
      {"Referer, User-Agent, Host in this order", refererAndUA, "http://h/a.html",
       "GET /b HTTP/1.0\r\nUser-Agent: Browser/4\r\nHost: h\r\n\r\n",
       "GET /b HTTP/1.0\r\nReferer: http://h/a.html\r\nUser-Agent: Corvane/1\r\nHost: h\r\n\r\n"},
      {"an empty name still makes a line", ChangeUA(u""), "", "GET /b HTTP/1.0\r\nHost: h\r\n\r\n",
       "GET /b HTTP/1.0\r\nUser-Agent: \r\nHost: h\r\n\r\n"},
      {"no Host line: dropped, none added", ChangeUA(u"Corvane/1"), "",
       "GET /b HTTP/1.0\r\nUser-Agent: Browser/4\r\n\r\n", "GET /b HTTP/1.0\r\n\r\n"},
      {"off: the browser's line stays", FiltersOff(), "",
       "GET /b HTTP/1.0\r\nUser-Agent: Browser/4\r\nHost: h\r\n\r\n",
       "GET /b HTTP/1.0\r\nUser-Agent: Browser/4\r\nHost: h\r\n\r\n"},
      {"a name in Japanese goes out as UTF-8", ChangeUA(u"ブラウザ"), "",
       "GET /b HTTP/1.0\r\nHost: h\r\n\r\n",
       "GET /b HTTP/1.0\r\nUser-Agent: \u30d6\u30e9\u30a6\u30b6\r\nHost: h\r\n\r\n"},
  };
  for (const FilterRow& row : rows)
    Run(row);
}

TEST_F(FilterTest, LongUserAgentIsCutOnACharacterBoundary) {
  // 127 three-byte characters; the line keeps room for 127 bytes of name, so 42 of them.
  std::u16string name(127, u'\u3042');
  std::string kept;
  for (int i = 0; i < 42; ++i)
    kept += "\u3042";
  Run({"cut", ChangeUA(name), "", "GET /b HTTP/1.0\r\nHost: h\r\n\r\n",
       "GET /b HTTP/1.0\r\nUser-Agent: " + kept + "\r\nHost: h\r\n\r\n"});
}

// A chunk buffer that is nearly full: lines that would not fit are left out, and nothing is
// written past the buffer's end.
TEST_F(FilterTest, FullBufferGetsNoLineAndNoOverflow) {
  ProxySettings all = ChangeUA(u"Corvane/1");
  all.SendReferer = 1;
  ReplaceSettings(all);
  SetLastPageUrl("http://h/" + std::string(1000, 'p'));
  const std::string head =
      "GET /b HTTP/1.0\r\nUser-Agent: Mozilla/4.0 (compatible; MSIE 4.01; Windows CE)\r\n"
      "Host: h\r\n\r\n";
  std::array<char, 200> guarded;
  guarded.fill('#');
  std::span<char> chunk(guarded.data(), head.size() + 1);
  std::copy(head.begin(), head.end(), chunk.begin());
  chunk[head.size()] = '\0';

  ApplyRequestFilters(chunk);

  // The browser's User-Agent line made room for ours, the long Referer never fitted.
  EXPECT_EQ(TextIn(chunk), "GET /b HTTP/1.0\r\nUser-Agent: Corvane/1\r\nHost: h\r\n\r\n");
  for (size_t i = chunk.size(); i < guarded.size(); ++i)
    ASSERT_EQ(guarded[i], '#') << "written past the buffer at " << i;
}

}  // namespace

// The proxy as a person runs it, rewriting installed and with its real closing delay, for tests
// that point real clients at it.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <string_view>

#include "core/server.h"
#include "core/settings.h"
#include "platform/text_convert.h"
#include "rewrite/rewriting.h"
#include "tests/browser/client_tools.h"
#include "tests/browser/site_origin.h"
#include "tests/support/proxy_fixture.h"

// A 1x1 transparent GIF.
inline const std::string kPixelGif(
    "GIF89a\x01\x00\x01\x00\x80\x00\x00\x00\x00\x00\xff\xff\xff\x21\xf9\x04\x01\x00\x00\x00\x00"
    "\x2c\x00\x00\x00\x00\x01\x00\x01\x00\x00\x02\x02\x44\x01\x00\x3b",
    43);

inline SiteAnswer HtmlPage(const std::string& body) {
  return {"text/html",
          "<!DOCTYPE html><html><head><title>t</title></head><body>" + body + "</body></html>"};
}

inline SiteAnswer Pixel() {
  return {"image/gif", kPixelGif};
}

// A gallery of `count` images at /img/1.gif ... whose script writes, once the page has loaded,
// "loaded=N ms=T": the images that arrived whole and the milliseconds since navigation began.
inline void ServeGallery(SiteOrigin& site, const std::string& target, int count) {
  std::string body = "<p id=result>waiting</p>";
  for (int i = 1; i <= count; ++i) {
    body += "<img src=/img/" + std::to_string(i) + ".gif>";
    site.Serve("/img/" + std::to_string(i) + ".gif", Pixel());
  }
  body +=
      "<script>window.addEventListener('load', () => {"
      "const ok = [...document.images].filter(i => i.complete && i.naturalWidth > 0).length;"
      "document.getElementById('result').textContent ="
      "  'loaded=' + ok + ' ms=' + Math.round(performance.now());});</script>";
  site.Serve(target, HtmlPage(body));
}

// The client hints Chromium sends once a page has asked for every one, listed as Accept-CH lists
// them: those that describe the device, and those that name the real browser.
inline const std::string kDeviceHints =
    "Sec-CH-UA-Platform, Sec-CH-UA-Platform-Version, Sec-CH-UA-Arch, Sec-CH-UA-Bitness, "
    "Sec-CH-UA-Model, Sec-CH-UA-WoW64, Sec-CH-UA-Form-Factors, Sec-CH-UA-Mobile, "
    "Sec-CH-Viewport-Width, Sec-CH-Viewport-Height, Sec-CH-Width, Sec-CH-DPR, "
    "Sec-CH-Device-Memory, Viewport-Width, Width, DPR, Device-Memory";
inline const std::string kBrowserHints =
    "Sec-CH-UA, Sec-CH-UA-Full-Version, Sec-CH-UA-Full-Version-List";

// /hints.html asks for every hint in its answer head (Accept-CH, and Critical-CH for one: a
// browser that did not send it asks again at once) and in its markup, which passes any proxy;
// its image, /hint.gif, has a width from the layout.
inline void ServeHintsPage(SiteOrigin& site) {
  std::string all = kDeviceHints + ", " + kBrowserHints;
  site.Serve("/hints.html",
             {"text/html",
              "<!DOCTYPE html><html><head><meta http-equiv=Accept-CH content='" + all +
                  "'></head><body><img src=/hint.gif sizes=100px srcset='/hint.gif 1w'>"
                  "<p>hints page</p></body></html>",
              "200 OK", "Accept-CH: " + all + "\r\nCritical-CH: Sec-CH-UA-Arch\r\n"});
  site.Serve("/hint.gif", Pixel());
}

// The settings the hints page is browsed with.
struct HintSettings {
  int32_t sendMachine;
  int32_t changeUA;
};
inline constexpr HintSettings kHintSettings[] = {{0, 0}, {0, 1}, {1, 0}};

// What the origin got once the browser had shown the hints page: a hint the settings withhold
// in no request, every other one in the image's. The site's Critical-CH reached the browser, and
// so had it ask for the page again, only where the settings let hints pass.
inline void ExpectHintsAsSettingsSay(SiteOrigin& site, const HintSettings& row) {
  std::string settings = "SendMachine " + std::to_string(row.sendMachine) + ", ChangeUA " +
                         std::to_string(row.changeUA);
  ASSERT_TRUE(site.WaitFor("/hint.gif")) << settings;
  int pages = 0;
  for (const SeenRequest& r : site.Requests()) {
    pages += r.target == "/hints.html" ? 1 : 0;
    auto expect = [&](std::string_view names, bool pass) {
      if (pass && r.target != "/hint.gif") return;
      for (size_t at = 0, end = 0; at < names.size(); at = end + 2) {
        end = std::min(names.find(", ", at), names.size());
        std::string_view name = names.substr(at, end - at);
        EXPECT_EQ(HeaderCount(r.head, name), pass ? 1 : 0)
            << settings << ": " << name << " in " << r.head;
      }
    };
    expect(kDeviceHints, row.sendMachine != 0);
    expect(kBrowserHints, row.changeUA == 0);
  }
  EXPECT_EQ(pages, row.sendMachine != 0 ? 2 : 1) << settings;
}

class RealClientTest : public ::ProxyTest {
 protected:
  void SetUp() override {
    // The product's own delay: no exchange may wait for it to end.
    closeDelayMs_ = kCloseDelayMs;
    InstallRewriting();
    ProxyTest::SetUp();
  }
  void TearDown() override {
    ProxyTest::TearDown();
    InstallExchangeHooks(ExchangeHooks{});
  }

  std::string ProxyAddress() const { return "http://127.0.0.1:" + std::to_string(port_); }

  static void UseUserAgent(const char* name) {
    ProxySettings s = CurrentSettings();
    s.ChangeUA = 1;
    SingleByteToWide(name, s.UAName);
    ReplaceSettings(s);
  }
  static void UseHintSettings(const HintSettings& row) {
    ProxySettings s = CurrentSettings();
    s.SendMachine = row.sendMachine;
    s.ChangeUA = row.changeUA;
    SingleByteToWide("Corvane-Test/4.0", s.UAName);
    ReplaceSettings(s);
  }
  static void UseSpaceConvert(bool all) {
    ProxySettings s = CurrentSettings();
    s.SpaceConvert = 1;
    s.SpaceConvertAll = all ? 1 : 0;
    ReplaceSettings(s);
  }
};

// What every plain HTTP request forwarded by the proxy looks like at the origin: a path rather
// than an absolute address, and "Connection: keep-alive" as the head's one connection line, last.
inline void ExpectForwardedHead(const SeenRequest& r) {
  EXPECT_TRUE(r.target.starts_with("/")) << r.head;
  EXPECT_TRUE(std::string_view(r.head).ends_with("\r\nConnection: keep-alive\r\n\r\n")) << r.head;
  EXPECT_EQ(HeaderCount(r.head, "Connection"), 1) << r.head;
  EXPECT_EQ(HeaderCount(r.head, "Proxy-Connection"), 0) << r.head;
  EXPECT_EQ(HeaderCount(r.head, "Keep-Alive"), 0) << r.head;
}

// Two pages fetched one after the other through the proxy: the first went without a Referer,
// the second carried the first's address; both were forwarded as every request is.
inline void ExpectSecondPageReferredByFirst(SiteOrigin& site, const std::string& first,
                                            const std::string& second) {
  auto one = site.WaitFor(first);
  auto two = site.WaitFor(second);
  ASSERT_TRUE(one && two);
  EXPECT_EQ(HeaderCount(one->head, "Referer"), 0) << one->head;
  EXPECT_EQ(HeaderCount(two->head, "Referer"), 1) << two->head;
  EXPECT_EQ(HeaderValue(two->head, "Referer"), site.Base() + first);
  ExpectForwardedHead(*one);
  ExpectForwardedHead(*two);
}

// A form post as the origin got it: its declared length is the length of the body that came.
inline void ExpectBodyMatchesLength(const SeenRequest& r, const std::string& body) {
  EXPECT_EQ(r.body, body) << r.head;
  EXPECT_EQ(HeaderValue(r.head, "Content-Length"), std::to_string(r.body.size())) << r.head;
}

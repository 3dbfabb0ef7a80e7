// The proxy inspecting HTTPS, with real clients: its authority made in a folder of the test's
// own, trusted by curl with --cacert, and TLS origins whose own authority it trusts through
// SSL_CERT_FILE.
#pragma once

#include <stdlib.h>

#include <algorithm>
#include <string>
#include <thread>
#include <vector>

#include "core/local_authority.h"
#include "platform/tls.h"
#include "tests/browser/real_client_fixture.h"
#include "tests/browser/test_authority.h"
#include "tests/support/process_counts.h"

class InspectionTest : public RealClientTest {
 protected:
  void SetUp() override {
    if (!TlsAvailable()) GTEST_SKIP() << "built without TLS (CORVANE_TLS off)";
    curl_ = FindTool("curl");
    if (curl_.empty()) GTEST_SKIP() << "curl is not installed (Debian package curl)";
    setenv("XDG_CONFIG_HOME", (config_.Path() + "/config").c_str(), 1);
    // Read when the authority's contexts are made, so before it starts.
    setenv("SSL_CERT_FILE", origins_.File().c_str(), 1);
    StopUsingAuthority();
    std::string file;
    ASSERT_EQ(StartLocalAuthority(&file), AuthorityStart::kReady) << file;
    ASSERT_TRUE(LocalAuthorityCertificatePath(&proxyAuthority_));
    threadsBefore_ = Threads();
    RealClientTest::SetUp();
    Inspect(1, u"");
  }
  void TearDown() override {
    RealClientTest::TearDown();
    // The workers end before the process does: OpenSSL frees a thread's own state as the thread
    // ends, and one still ending when the process exits would leave it behind, unfreed.
    for (int i = 0; i < 300 && Threads() > threadsBefore_; ++i)
      std::this_thread::sleep_for(10ms);
    StopUsingAuthority();
    unsetenv("SSL_CERT_FILE");
  }

  static void Inspect(int32_t on, std::u16string_view bypass) {
    ProxySettings s = CurrentSettings();
    s.InspectHttps = on;
    std::fill(std::begin(s.InspectBypass), std::end(s.InspectBypass), u'\0');
    std::copy(bypass.begin(), bypass.end(), s.InspectBypass);
    ReplaceSettings(s);
  }

  // curl through the proxy, trusting the authority in the file given.
  ToolRun Curl(const std::string& trusted, std::vector<std::string> args) {
    std::vector<std::string> all = {curl_, "-q", "--silent",     "--show-error", "--max-time",
                                    "20",  "-x", ProxyAddress(), "--cacert",     trusted};
    all.insert(all.end(), args.begin(), args.end());
    ToolRun run = RunTool(all, dir_, {}, 30s);
    EXPECT_TRUE(run.started);
    EXPECT_FALSE(run.timedOut) << run.err;
    return run;
  }

  // Chromium, when it and the certutil that registers the authority with it are installed;
  // otherwise empty, with what is missing in missing_.
  std::string ChromiumWithCertutil() {
    std::string chromium = FindTool("chromium");
    if (chromium.empty()) missing_ = "chromium is not installed (Debian package chromium)";
    if (FindTool("certutil").empty()) missing_ = "certutil is missing (libnss3-tools)";
    return missing_.empty() ? chromium : "";
  }

  ScratchDir config_;
  ScratchDir dir_;
  TestAuthority origins_;
  long threadsBefore_ = 0;
  std::string proxyAuthority_;
  std::string curl_;
  std::string missing_;
};

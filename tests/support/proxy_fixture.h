// Starts the proxy server on a port of the test's own, with a short closing delay, and stops it
// when the test ends.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>

#include "core/last_page_url.h"
#include "core/server.h"
#include "core/settings.h"
#include "tests/support/loopback.h"

class ProxyTest : public ::testing::Test {
 protected:
  // Short enough to keep the suite quick; one test checks the real delay.
  static constexpr int kTestCloseDelayMs = 50;

  void SetUp() override {
    ReplaceSettings(ProxySettings{});
    SetLastPageUrl("");
    port_ = FreeLoopbackPort();
    ServerOptions options;
    options.port = port_;
    options.closeDelayMs = closeDelayMs_;
    options.connectTimeoutMs = connectTimeoutMs_;
    options.headTimeoutMs = headTimeoutMs_;
    options.clientIdleMs = clientIdleMs_;
    ASSERT_EQ(StartProxyServerWith(options), 1);
  }
  void TearDown() override {
    StopProxyServer();
    ReplaceSettings(ProxySettings{});
  }

  uint16_t port_ = 0;
  int closeDelayMs_ = kTestCloseDelayMs;
  int connectTimeoutMs_ = kConnectTimeoutMs;
  int headTimeoutMs_ = kHeadTimeoutMs;
  int clientIdleMs_ = kClientIdleMs;
};

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
    ASSERT_EQ(StartProxyServerOn(port_, closeDelayMs_), 1);
  }
  void TearDown() override {
    StopProxyServer();
    ReplaceSettings(ProxySettings{});
  }

  uint16_t port_ = 0;
  int closeDelayMs_ = kTestCloseDelayMs;
};

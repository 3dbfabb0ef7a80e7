// Runs the request filters over a request head held in a proxy-sized chunk buffer.
#pragma once

#include <gtest/gtest.h>

#include <array>
#include <string>
#include <string_view>

#include "core/last_page_url.h"
#include "core/server.h"
#include "core/settings.h"
#include "core/toolkit.h"
#include "rewrite/request_filters.h"

// Settings with every filter off, so that a test switches on only the steps it looks at.
inline ProxySettings FiltersOff() {
  ProxySettings settings;
  settings.SendReferer = 0;
  settings.SendMachine = 1;
  return settings;
}

inline void SetUAName(ProxySettings& settings, std::u16string_view name) {
  std::fill(std::begin(settings.UAName), std::end(settings.UAName), u'\0');
  std::copy_n(name.begin(), std::min(name.size(), std::size(settings.UAName) - 1), settings.UAName);
}

inline std::string RememberedPage() {
  char page[kLastPageUrlSize];
  CopyLastPageUrl(page);
  return std::string(TextIn(page));
}

// The chunk as the server hands it over: the received bytes, terminated, in a buffer with the
// rewrite room after them. secureOrigin: where the request goes over TLS, empty for clear.
inline std::string Filter(std::string_view request, std::string_view secureOrigin = {}) {
  static thread_local std::array<char, kChunkBufferSize> chunk;
  chunk.fill('\0');
  std::copy(request.begin(), request.end(), chunk.begin());
  ApplyRequestFilters(std::span<char>(chunk), secureOrigin);
  return std::string(TextIn(chunk));
}

// A row of a filter table: the settings and remembered page it runs with, the request head that
// goes in and the exact bytes that must come out.
struct FilterRow {
  const char* behaviour;
  ProxySettings settings;
  std::string remembered;
  std::string in;
  std::string out;
};

inline void PrintTo(const FilterRow& row, std::ostream* os) {
  *os << row.behaviour;
}

// Resets the record and the remembered page around each test.
class FilterTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ReplaceSettings(FiltersOff());
    SetLastPageUrl("");
  }
  void TearDown() override {
    ReplaceSettings(ProxySettings{});
    SetLastPageUrl("");
  }
  void Run(const FilterRow& row) {
    ReplaceSettings(row.settings);
    SetLastPageUrl(row.remembered);
    EXPECT_EQ(Filter(row.in), row.out) << row.behaviour;
  }
};

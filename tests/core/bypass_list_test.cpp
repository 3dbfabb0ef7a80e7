// Which CONNECT hosts the bypass list sends through a blind tunnel.
#include "core/bypass_list.h"

#include <gtest/gtest.h>

TEST(BypassListTest, MatchesNamesAndTheNamesUnderAWildcard) {
  struct Row {
    const char* host;
    const char* list;
    bool bypassed;
  } rows[] = {
      {"bank.example", "bank.example", true},
      {"BANK.Example.", "bank.example", true},  // case and a final dot do not count
      {"www.bank.example", "bank.example", false},
      {"www.bank.example", "*.bank.example", true},
      {"a.b.bank.example", "*.bank.example", true},
      {"bank.example", "*.bank.example", false},  // the name itself is not under itself
      {"evilbank.example", "*.bank.example", false},
      {"pinned.app", "bank.example;pinned.app", true},
      {"pinned.app", " bank.example \t\n pinned.app ; ", true},
      {"pinned.app", "pinned.ap", false},
      {"pinned.app", "", false},
      {"pinned.app", "*", false},
      {"pinned.app", "*.", false},
      {"", "*.app;", false},
      {"127.0.0.1", "127.0.0.1", true},
      {"::1", "::1", true},
  };
  for (const Row& row : rows)
    EXPECT_EQ(IsBypassed(row.host, row.list), row.bypassed) << row.host << " | " << row.list;
}

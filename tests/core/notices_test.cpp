// What decides whether the user hears of a failure, and where the tip says the proxy listens.
#include <gtest/gtest.h>

#include "core/notice_gate.h"
#include "platform/socket.h"

namespace {

using namespace std::chrono_literals;

TEST(NoticeGateTest, TheSameTextIsQuietForThirtySecondsOthersAreNot) {
  NoticeGate gate;
  NoticeGate::Clock::time_point t0{};
  struct Step {
    std::u16string_view text;
    NoticeGate::Clock::duration at;
    bool admitted;
  } steps[] = {
      {u"refused a", 0s, true},   {u"refused a", 1s, false}, {u"refused b", 2s, true},
      {u"refused a", 29s, false}, {u"refused a", 30s, true}, {u"refused b", 31s, false},
      {u"refused a", 59s, false}, {u"refused b", 32s, true},
  };
  for (const Step& s : steps)
    EXPECT_EQ(gate.Admit(s.text, t0 + s.at), s.admitted) << s.at.count();
  gate.Forget();
  EXPECT_TRUE(gate.Admit(u"refused a", t0 + 60s));
}

TEST(NoticeGateTest, AFloodOfDistinctTextsForgetsTheOldestFirst) {
  NoticeGate gate;
  NoticeGate::Clock::time_point t0{};
  auto host = [](int i) { return u"host " + std::u16string(1, static_cast<char16_t>(u'A' + i)); };
  for (int i = 0; i <= 40; ++i)
    EXPECT_TRUE(gate.Admit(host(i), t0 + std::chrono::milliseconds(i)));
  EXPECT_TRUE(gate.Admit(host(0), t0 + 1s));    // pushed out by forty others
  EXPECT_FALSE(gate.Admit(host(40), t0 + 1s));  // the latest, still remembered
}

TEST(ListeningAddressTest, AddressesAreWrittenAsUsersReadThem) {
  struct Case {
    std::vector<uint8_t> address;
    uint16_t port;
    const char* text;
  } cases[] = {
      {{127, 0, 0, 1}, 8080, "127.0.0.1:8080"},
      {{0, 0, 0, 0}, 8080, "*:8080"},
      {std::vector<uint8_t>(16, 0), 8080, "*:8080"},
      {{0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1}, 8080, "[::1]:8080"},
      {{0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xff, 0xff, 192, 168, 1, 20}, 3128, "192.168.1.20:3128"},
      {{0xfe, 0x80, 0, 0, 0, 0, 0, 0, 0x02, 0x16, 0x3e, 0xff, 0xfe, 0, 0, 0x01},
       80,
       "[fe80::216:3eff:fe00:1]:80"},
      {{0x20, 0x01, 0x0d, 0xb8, 0, 0, 0, 0, 0, 1, 0, 0, 0, 0, 0, 1},
       443,
       "[2001:db8::1:0:0:1]:443"},
  };
  for (const Case& c : cases) {
    char text[64];
    FormatAddressAndPort(c.address, c.port, text);
    EXPECT_STREQ(text, c.text);
  }
  char small[8];
  FormatAddressAndPort(cases[0].address, 8080, small);
  EXPECT_STREQ(small, "127.0.0");  // cut to its room, never past it
}

}  // namespace

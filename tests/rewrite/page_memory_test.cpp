// What makes a page remembered, and the repair of "[object]" requests.
#include <gtest/gtest.h>

#include <array>
#include <string>

#include "core/last_page_url.h"
#include "core/toolkit.h"
#include "rewrite/page_memory.h"
#include "tests/rewrite/filter_harness.h"

namespace {

class PageMemoryTest : public ::testing::Test {
 protected:
  void SetUp() override { SetLastPageUrl(""); }
  void TearDown() override { SetLastPageUrl(""); }
};

struct RepairRow {
  const char* behaviour;
  std::string remembered;
  std::string chunkIn;
  std::string addressIn;
  std::string chunkOut;
  std::string addressOut;
};

TEST_F(PageMemoryTest, ObjectRepair) {
  const std::string page = "http://h/list.html";
  const RepairRow rows[] = {
      {"request line and every other copy of the address", page,
       "GET http://h/x/[object] HTTP/1.0\r\nX-Was: http://h/x/[object]\r\nHost: h\r\n\r\n",
       "http://h/x/[object]",
       "GET http://h/list.html HTTP/1.0\r\nX-Was: http://h/list.html\r\nHost: h\r\n\r\n", page},
      {"the encoded form, copies found in any case", page,
       "GET http://h/%5Bobject%5D HTTP/1.0\r\nX-Was: HTTP://H/%5bOBJECT%5d\r\n\r\n",
       "http://h/%5Bobject%5D",
       "GET http://h/list.html HTTP/1.0\r\nX-Was: http://h/list.html\r\n\r\n", page},
      {"nothing remembered: the address is dropped", "",
       "GET /[object] HTTP/1.0\r\nHost: h\r\n\r\n", "/[object]", "GET  HTTP/1.0\r\nHost: h\r\n\r\n",
       ""},
      {"the trigger is case-sensitive", page, "GET /[OBJECT] HTTP/1.0\r\n\r\n", "/[OBJECT]",
       "GET /[OBJECT] HTTP/1.0\r\n\r\n", "/[OBJECT]"},
      {"lower-case hex is no trigger", page, "GET /%5bobject%5d HTTP/1.0\r\n\r\n", "/%5bobject%5d",
       "GET /%5bobject%5d HTTP/1.0\r\n\r\n", "/%5bobject%5d"},
      {"a chunk too short for the longer address stays, the address still changes",
       "http://h/a-much-longer-remembered-page.html", "GET /[object] HTTP/1.0", "/[object]",
       "GET /[object] HTTP/1.0", "http://h/a-much-longer-remembered-page.html"},
  };
  for (const RepairRow& row : rows) {
    SetLastPageUrl(row.remembered);
    std::array<char, kChunkBufferSize> chunk{};
    std::copy(row.chunkIn.begin(), row.chunkIn.end(), chunk.begin());
    std::array<char, kRequestAddressSize> address{};
    std::copy(row.addressIn.begin(), row.addressIn.end(), address.begin());
    RepairObjectAddress(std::span<char>(chunk), std::span<char>(address));
    EXPECT_EQ(TextIn(chunk), row.chunkOut) << row.behaviour;
    EXPECT_EQ(TextIn(address), row.addressOut) << row.behaviour;
  }
}

// Many short "[object]" addresses grown into a long remembered one must stop at the buffer's end.
TEST_F(PageMemoryTest, ObjectRepairNeverWritesPastTheBuffers) {
  SetLastPageUrl("http://h/" + std::string(200, 'p'));
  std::string text = "GET /[object] HTTP/1.0\r\n";
  for (int i = 0; i < 40; ++i)
    text += "X: /[object]\r\n";
  std::array<char, 2000> guarded;
  guarded.fill('#');
  std::span<char> chunk(guarded.data(), 1500);
  std::copy(text.begin(), text.end(), chunk.begin());
  chunk[text.size()] = '\0';
  std::array<char, 64> addressGuarded;
  addressGuarded.fill('#');
  std::span<char> address(addressGuarded.data(), 32);
  std::string_view trigger = "/[object]";
  std::copy(trigger.begin(), trigger.end(), address.begin());
  address[trigger.size()] = '\0';

  RepairObjectAddress(chunk, address);

  EXPECT_LT(TextIn(chunk).size(), chunk.size());
  EXPECT_EQ(TextIn(chunk).substr(0, 13), "GET http://h/") << "the request line is repaired";
  EXPECT_NE(TextIn(chunk).find("/[object]"), std::string_view::npos) << "some had no room";
  EXPECT_EQ(TextIn(address), "http://h/" + std::string(22, 'p'));
  for (size_t i = chunk.size(); i < guarded.size(); ++i)
    ASSERT_EQ(guarded[i], '#') << "chunk written past its end at " << i;
  for (size_t i = address.size(); i < addressGuarded.size(); ++i)
    ASSERT_EQ(addressGuarded[i], '#') << "address written past its end at " << i;
}

struct AnswerRow {
  const char* behaviour;
  std::string answer;
  std::string address;
  std::string rememberedAfter;
};

TEST_F(PageMemoryTest, FirstAnswer) {
  const std::string before = "http://h/before.html";
  const AnswerRow rows[] = {
      {"200 with text/html", "HTTP/1.1 200 OK\r\nContent-Type: text/html\r\n\r\n<p>",
       "http://h/new", "http://h/new"},
      {"text/html only in the body counts", "HTTP/1.0 200 OK\r\n\r\nsee text/html", "http://h/new",
       "http://h/new"},
      {"404 is never a page", "HTTP/1.0 404 Not Found\r\nContent-Type: text/html\r\n\r\n",
       "http://h/new", before},
      {"the type must be written text/html", "HTTP/1.0 200 OK\r\nContent-Type: Text/HTML\r\n\r\n",
       "http://h/new", before},
      {"not HTML", "HTTP/1.0 200 OK\r\nContent-Type: image/gif\r\n\r\nGIF89a", "http://h/new",
       before},
      {"text/html after a NUL byte does not count",
       std::string("HTTP/1.0 200 OK\r\n\r\n\0text/html", 29), "http://h/new", before},
      {"a request that gave no address empties the memory",
       "HTTP/1.0 200 OK\r\nContent-Type: text/html\r\n\r\n", "", ""},
  };
  for (const AnswerRow& row : rows) {
    SetLastPageUrl(before);
    NoteFirstAnswer(row.answer, row.address);
    EXPECT_EQ(RememberedPage(), row.rememberedAfter) << row.behaviour;
  }
}

// The status is only read from bytes that arrived, whatever the buffer held before.
TEST_F(PageMemoryTest, ShortFirstAnswerNeverMatchesStaleBytes) {
  // A portal page needs no "text/html", so only the status decides.
  const std::string page = "http://" + std::string(kPortalDomain) + "/";
  const char buffer[] = "HTTP/1.0 200 OK\r\n\r\n";
  for (size_t received : {0, 9, 10, 11}) {
    NoteFirstAnswer(std::string_view(buffer, received), page);
    EXPECT_EQ(RememberedPage(), "") << received << " bytes";
  }
  NoteFirstAnswer(std::string_view(buffer, 12), page);
  EXPECT_EQ(RememberedPage(), page) << "12 bytes hold the status";
}

struct PortalRow {
  std::string lastSegment;
  bool remembered;
};

TEST_F(PageMemoryTest, PortalAddressShapes) {
  const PortalRow rows[] = {
      {"", true},
      {"bbs", true},
      {"bbs_list", true},
      {"bbs?id=3", true},
      {"bbsmain", false},
      {"bbs.html", true},
      {"read.cgi?x=1", true},
      {"show.idc", true},
      {"view.asp?f=htm", true},
      {"page.HTML", false},
      {"logo.gif", false},
      {"mail", false},
      {"a.b.cgi", false},
      {"board?u=a/b.idc", true},
  };
  const std::string notHtml = "HTTP/1.1 200 OK\r\nContent-Type: image/gif\r\n\r\n";
  for (const PortalRow& row : rows) {
    SetLastPageUrl("");
    std::string address = "http://messages." + std::string(kPortalDomain) + "/x/" + row.lastSegment;
    NoteFirstAnswer(notHtml, address);
    EXPECT_EQ(RememberedPage(), row.remembered ? address : "") << row.lastSegment;
  }
}

TEST_F(PageMemoryTest, PortalDomainMustBeFollowedBySlash) {
  const std::string notHtml = "HTTP/1.1 200 OK\r\nContent-Type: image/gif\r\n\r\n";
  const std::string domain(kPortalDomain);
  const std::pair<std::string, bool> rows[] = {
      {"http://search.example/go?to=" + domain + "/bbs", true},
      {"http://" + domain + ".example/bbs", false},
      {"http://" + domain + ":8080/bbs", false},
  };
  for (const auto& [address, remembered] : rows) {
    SetLastPageUrl("");
    NoteFirstAnswer(notHtml, address);
    EXPECT_EQ(RememberedPage(), remembered ? address : "") << address;
  }
}

// A request line may carry "\r\n" inside its address; remembering it would let one client add
// header lines to the Referer of every later request.
TEST(NoteFirstAnswerTest, AddressWithALineBreakIsNeverRemembered) {
  SetLastPageUrl("http://h/kept.html");
  NoteFirstAnswer("HTTP/1.1 200 OK\r\nContent-Type: text/html\r\n\r\n",
                  "http://h/a\r\nX-Injected: 1");
  NoteFirstAnswer("HTTP/1.1 200 OK\r\n\r\n", "http://www.yahoo.co.jp/\n");
  char page[kLastPageUrlSize];
  CopyLastPageUrl(page);
  EXPECT_STREQ(page, "http://h/kept.html");
}

}  // namespace

// The in-place text operations, case by case, and their bounds: nothing is ever written past a
// buffer, and an edit that does not fit leaves the text as it was.
#include "core/toolkit.h"

#include <gtest/gtest.h>

#include <array>
#include <cstring>
#include <ostream>
#include <string>

namespace {

// A NUL-terminated text in a buffer of `room` bytes, padded with a guard byte pattern so that a
// write past the text's room would show.
template <size_t N = 256>
struct Buffer {
  explicit Buffer(std::string_view text, size_t capacity = N - 16) : room(capacity) {
    bytes.fill('#');
    std::memcpy(bytes.data(), text.data(), text.size());
    bytes[text.size()] = '\0';
  }
  std::span<char> Span() { return {bytes.data(), room}; }
  std::string Text() const { return bytes.data(); }
  bool GuardIntact() const {
    for (size_t i = room; i < N; ++i)
      if (bytes[i] != '#') return false;
    return true;
  }
  std::array<char, N> bytes;
  size_t room;
};

TEST(MatchNoCase, FoldsAsciiLettersOnly) {
  EXPECT_EQ(MatchNoCase("%3f", "%3F", 3), 1);
  EXPECT_EQ(MatchNoCase("Content-LENGTH", "content-length", 14), 1);
  EXPECT_EQ(MatchNoCase("[", "{", 1),
            0);  // 0x5B and 0x7B differ by the case bit but are no letters
  EXPECT_EQ(MatchNoCase("\xC4", "\xE4", 1), 0);
  EXPECT_EQ(MatchNoCase("abc", "xyz", 0), 1);
  EXPECT_EQ(MatchNoCase("abc", "xyz", -3), 1);
}

TEST(MatchNoCase, ShorterTextFailsAtItsEnd) {
  EXPECT_EQ(MatchNoCase("%3", "%3F", 3), 0);
  EXPECT_EQ(MatchNoCase("", "a", 1), 0);
}

TEST(InsertBefore, InsertsBeforeFirstKeyOnly) {
  Buffer b("GET / HTTP/1.0\r\nHost: a\r\nX-Host: b\r\n");
  ASSERT_EQ(InsertBefore(b.Span(), "Referer: r\r\n", "Host"), 1);
  EXPECT_EQ(b.Text(), "GET / HTTP/1.0\r\nReferer: r\r\nHost: a\r\nX-Host: b\r\n");
}

TEST(InsertBefore, MissingKeyLeavesTextAlone) {
  Buffer b("GET / HTTP/1.0\r\n\r\n");
  EXPECT_EQ(InsertBefore(b.Span(), "Referer: r\r\n", "Host"), 0);
  EXPECT_EQ(b.Text(), "GET / HTTP/1.0\r\n\r\n");
}

TEST(InsertBefore, RefusesWhatDoesNotFit) {
  Buffer<64> b("Host: a\r\n", 20);  // 9 bytes of text, room for 19 and the terminator
  EXPECT_EQ(InsertBefore(b.Span(), "0123456789A", "Host"), 0);
  EXPECT_EQ(b.Text(), "Host: a\r\n");
  EXPECT_EQ(InsertBefore(b.Span(), "0123456789", "Host"), 1);  // exactly fills the room
  EXPECT_EQ(b.Text(), "0123456789Host: a\r\n");
  EXPECT_TRUE(b.GuardIntact());
}

TEST(InsertBefore, UnterminatedBufferIsNeverEdited) {
  char raw[4] = {'H', 'o', 's', 't'};
  EXPECT_EQ(InsertBefore(raw, "x", "Host"), 0);
  EXPECT_EQ(std::string(raw, 4), "Host");
}

TEST(RemoveSpan, WholeHeaderLineWithItsEnd) {
  Buffer b("GET / HTTP/1.0\r\nUA-OS: X\r\nHost: a\r\n");
  ASSERT_EQ(RemoveSpan(b.Span(), "UA-OS:", "\r\n", 1), 1);
  EXPECT_EQ(b.Text(), "GET / HTTP/1.0\r\nHost: a\r\n");
}

TEST(RemoveSpan, WithoutMarkerLeavesTheLineEnd) {
  Buffer b("GET / HTTP/1.0\r\nUA-OS: X\r\nHost: a\r\n");
  ASSERT_EQ(RemoveSpan(b.Span(), "UA-OS:", "\r\n", 0), 1);
  EXPECT_EQ(b.Text(), "GET / HTTP/1.0\r\n\r\nHost: a\r\n");
}

TEST(RemoveSpan, CutsSchemeAndHostKeepingSlash) {
  Buffer b("GET http://example.com:8000/a/b HTTP/1.0\r\n");
  ASSERT_EQ(RemoveSpan(b.Span(), "http://", "/", 0), 1);
  EXPECT_EQ(b.Text(), "GET /a/b HTTP/1.0\r\n");
}

TEST(RemoveSpan, MarkerMustFollowTheKey) {
  Buffer b("a/b UA-OS: X");
  EXPECT_EQ(RemoveSpan(b.Span(), "UA-OS:", "/", 1), 0);  // "/" stands only before the key
  EXPECT_EQ(b.Text(), "a/b UA-OS: X");
}

TEST(RemoveSpan, MarkerRightAfterKey) {
  Buffer b("xKEY/y");
  ASSERT_EQ(RemoveSpan(b.Span(), "KEY", "/", 0), 1);
  EXPECT_EQ(b.Text(), "x/y");
  Buffer c("xKEY/y");
  ASSERT_EQ(RemoveSpan(c.Span(), "KEY", "/", 1), 1);
  EXPECT_EQ(c.Text(), "xy");
}

TEST(ExtractBetween, ValueBetweenKeyAndMarker) {
  char dst[32] = "old";
  EXPECT_EQ(ExtractBetween("GET /x HTTP/1.0", "GET ", " ", dst), 1);
  EXPECT_STREQ(dst, "/x");
  EXPECT_EQ(ExtractBetween("GET  HTTP/1.0", "GET ", " ", dst), 1);
  EXPECT_STREQ(dst, "");
}

TEST(ExtractBetween, MissingKeyOrMarkerKeepsDestination) {
  char dst[32] = "old";
  EXPECT_EQ(ExtractBetween("Host: a", "Host: ", "\r", dst), 0);
  EXPECT_STREQ(dst, "old");
  EXPECT_EQ(ExtractBetween("nothing here", "Host: ", "\r", dst), 0);
  EXPECT_STREQ(dst, "old");
}

TEST(ExtractBetween, ValueTooLongForDestinationIsNotFound) {
  char dst[4] = "ab";
  EXPECT_EQ(ExtractBetween("k=abcd;", "k=", ";", dst), 0);
  EXPECT_STREQ(dst, "ab");
  EXPECT_EQ(ExtractBetween("k=abc;", "k=", ";", dst), 1);  // three bytes and the terminator fit
  EXPECT_STREQ(dst, "abc");
}

struct ReplaceCase {
  const char* name;
  const char* text;
  const char* find;
  const char* replacement;
  int count;
  const char* result;
};

void PrintTo(const ReplaceCase& c, std::ostream* os) {
  *os << c.name;
}

class ReplaceAllTable : public ::testing::TestWithParam<ReplaceCase> {};

TEST_P(ReplaceAllTable, ReplacesAsTheScanLimitAllows) {
  const ReplaceCase& c = GetParam();
  Buffer b(c.text);
  EXPECT_EQ(ReplaceAll(b.Span(), c.find, c.replacement, 0), c.count);
  EXPECT_EQ(b.Text(), c.result);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, ReplaceAllTable,
    ::testing::Values(
        ReplaceCase{"LowerCaseToo", "a=%3f&b=%3F", "%3F", "+", 2, "a=+&b=+"},
        ReplaceCase{"ThreeInARow", "%3F%3F%3F", "%3F", "+", 3, "+++"},
        ReplaceCase{"WholeText", "%3F", "%3F", "+", 1, "+"},
        ReplaceCase{"OneByteText", "x", "x", "y", 0, "x"},
        ReplaceCase{"OnlyAfterQuoteMark", "%3E%3F%3F", "%3E%3F", "%3E+", 1, "%3E+%3F"},
        ReplaceCase{"LastByteOfThree", "abX", "X", "Y", 0, "abX"},
        ReplaceCase{"ThirdByteOfFour", "abXc", "X", "Y", 1, "abYc"},
        // 22 bytes, a 9-byte find text at 4: a 17-byte replacement starts below L - R = 5...
        ReplaceCase{"Grows17", "abcd123456789efghijklm", "123456789", "ABCDEFGHIJKLMNOPQ", 1,
                    "abcdABCDEFGHIJKLMNOPQefghijklm"},
        // ...while an 18-byte one (L - R = 4) is never made.
        ReplaceCase{"Grows18", "abcd123456789efghijklm", "123456789", "ABCDEFGHIJKLMNOPQR", 0,
                    "abcd123456789efghijklm"},
        ReplaceCase{"EmptyReplacementTakesAdjacentOnes", "x[o][o]y", "[o]", "", 2, "xy"},
        ReplaceCase{"NoOccurrence", "a=b&c=d", "%3F", "+", 0, "a=b&c=d"}),
    [](const auto& param) { return std::string(param.param.name); });

TEST(ReplaceAll, GrowingReplacementNeverOverflows) {
  // Room for 40 bytes: each "ab" -> "abcd" grows the text by 2, so only some fit.
  Buffer<96> b("ab ab ab ab ab ab ab ab ab ab ab ab ab .....", 48);
  int n = ReplaceAll(b.Span(), "ab", "abcd", 0);
  EXPECT_GT(n, 0);
  EXPECT_LT(n, 13);
  EXPECT_LT(b.Text().size(), 48u);
  EXPECT_TRUE(b.GuardIntact());
}

TEST(DecimalValue, ReadsAsAtoiWithoutOverflow) {
  EXPECT_EQ(DecimalValue("42\r"), 42);
  EXPECT_EQ(DecimalValue("  -17x"), -17);
  EXPECT_EQ(DecimalValue("+8"), 8);
  EXPECT_EQ(DecimalValue("x1"), 0);
  EXPECT_EQ(DecimalValue(""), 0);
  EXPECT_EQ(DecimalValue("2147483647"), 2147483647);
  EXPECT_EQ(DecimalValue("99999999999999999999"), 2147483647);
  EXPECT_EQ(DecimalValue("-2147483648"), -2147483647 - 1);
  EXPECT_EQ(DecimalValue("-99999999999999999999"), -2147483647 - 1);
}

TEST(GetRequestAddress, TakesTheAddressOfThreeMethods) {
  char a[64] = "keep";
  GetRequestAddress("GET http://h/p HTTP/1.0\r\n", a);
  EXPECT_STREQ(a, "http://h/p");
  GetRequestAddress("POST /form HTTP/1.0\r\n", a);
  EXPECT_STREQ(a, "/form");
  GetRequestAddress("HEAD /h HTTP/1.0\r\n", a);
  EXPECT_STREQ(a, "/h");
}

TEST(GetRequestAddress, OtherMethodsKeepTheOldAddress) {
  char a[64] = "keep";
  GetRequestAddress("PUT /x HTTP/1.0\r\n", a);
  EXPECT_STREQ(a, "keep");
  GetRequestAddress("OPTIONS * HTTP/1.0\r\n", a);
  EXPECT_STREQ(a, "keep");
  GetRequestAddress("", a);
  EXPECT_STREQ(a, "keep");
}

TEST(GetRequestAddress, AddressLongerThanDestinationIsNotTaken) {
  char a[8] = "keep";
  GetRequestAddress("GET /abcdefgh HTTP/1.0\r\n", a);
  EXPECT_STREQ(a, "keep");
}

struct TargetCase {
  const char* name;
  const char* chunk;
  const char* address;
  int result;
  const char* host;
  int port;
};

void PrintTo(const TargetCase& c, std::ostream* os) {
  *os << c.name;
}

class GetTargetHostTable : public ::testing::TestWithParam<TargetCase> {};

TEST_P(GetTargetHostTable, FindsHostAndPort) {
  const TargetCase& c = GetParam();
  char host[64] = "untouched";
  int32_t port = -1;
  EXPECT_EQ(GetTargetHost(c.chunk, c.address, &port, host), c.result);
  EXPECT_STREQ(host, c.host);
  EXPECT_EQ(port, c.port);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, GetTargetHostTable,
    ::testing::Values(
        TargetCase{"BareHostPortInAddress", "GET http://a.jp:8080/x HTTP/1.0\r\nHost: a.jp\r\n\r\n",
                   "http://a.jp:8080/x", 1, "a.jp", 8080},
        TargetCase{"HostHeaderCarriesPort",
                   "GET http://a.jp:8080/x HTTP/1.0\r\nHost: a.jp:8080\r\n\r\n",
                   "http://a.jp:8080/x", 1, "a.jp:8080", 80},
        TargetCase{"FromAbsoluteAddress", "GET http://a.jp/x HTTP/1.0\r\n\r\n", "http://a.jp/x", 1,
                   "a.jp", 80},
        TargetCase{"BracketPortForm", "GET http://a.jp[:81]/x HTTP/1.0\r\nHost: a.jp\r\n\r\n",
                   "http://a.jp[:81]/x", 1, "a.jp", 81},
        TargetCase{"ColonWithoutSlash", "GET http://a.jp:81 HTTP/1.0\r\nHost: a.jp\r\n\r\n",
                   "http://a.jp:81", 1, "a.jp", 81},
        TargetCase{"OneLetterHostInScheme", "GET http://h:81/ HTTP/1.0\r\nHost: h\r\n\r\n",
                   "http://h:81/", 1, "h", 80},
        TargetCase{"OriginFormAddress", "GET /x HTTP/1.0\r\nHost: a.jp\r\n\r\n", "/x", 1, "a.jp",
                   80},
        TargetCase{"EmptyAddress", "GET /x HTTP/1.0\r\nHost: a.jp\r\n\r\n", "", 1, "a.jp", 80},
        TargetCase{"NoHostAnywhere", "GET /x HTTP/1.0\r\n\r\n", "/x", 0, "untouched", -1},
        TargetCase{"HostWithoutLineEnd", "GET /x HTTP/1.0\r\nHost: a.jp", "/x", 0, "untouched",
                   -1}),
    [](const auto& param) { return std::string(param.param.name); });

TEST(GetTargetHost, HostTooLongForDestinationCountsAsMissing) {
  char host[8] = "keep";
  int32_t port = -1;
  EXPECT_EQ(GetTargetHost("GET / HTTP/1.0\r\nHost: a-very-long-host\r\n\r\n", "/", &port, host), 0);
  EXPECT_STREQ(host, "keep");
  EXPECT_EQ(port, -1);
}

TEST(GetContentLength, ExactHeaderWithLineEnd) {
  EXPECT_EQ(GetContentLength("POST / HTTP/1.0\r\nContent-Length: 42\r\n\r\n"), 42);
  EXPECT_EQ(GetContentLength("POST / HTTP/1.0\r\ncontent-length: 42\r\n\r\n"), 0);
  EXPECT_EQ(GetContentLength("POST / HTTP/1.0\r\nContent-Length: 42"), 0);
  EXPECT_EQ(GetContentLength("GET / HTTP/1.0\r\n\r\n"), 0);
  // The value text with its carriage return must fit 11 bytes.
  EXPECT_EQ(GetContentLength("Content-Length: 1234567890\r\n"), 1234567890);
  EXPECT_EQ(GetContentLength("Content-Length: 00000000042\r\n"), 0);
}

}  // namespace

// Wide settings text on its way to the wire, and the failure messages the user sees.
#include <gtest/gtest.h>

#include <string>

#include "core/report_failure.h"
#include "platform/text_convert.h"

namespace {

TEST(WideToSingleByte, EncodesUtf8) {
  char out[64];
  EXPECT_EQ(WideToSingleByte(u"Mozilla/4.0", out), 11u);
  EXPECT_STREQ(out, "Mozilla/4.0");
  WideToSingleByte(u"設定", out);
  EXPECT_STREQ(out, "\xE8\xA8\xAD\xE5\xAE\x9A");
  WideToSingleByte(u"\U0001F600", out);  // a surrogate pair becomes one four-byte character
  EXPECT_STREQ(out, "\xF0\x9F\x98\x80");
}

TEST(WideToSingleByte, StopsAtZeroUnit) {
  char out[16];
  const char16_t text[] = {u'a', u'b', 0, u'c'};
  EXPECT_EQ(WideToSingleByte(std::u16string_view(text, 4), out), 2u);
  EXPECT_STREQ(out, "ab");
}

TEST(WideToSingleByte, CutsOnCharacterBoundary) {
  char out[6];  // five bytes of room: "ab" and one three-byte character, not two
  EXPECT_EQ(WideToSingleByte(u"ab設定", out), 5u);
  EXPECT_STREQ(out, "ab\xE8\xA8\xAD");
  char tiny[3];
  EXPECT_EQ(WideToSingleByte(u"設", tiny), 0u);
  EXPECT_STREQ(tiny, "");
}

TEST(WideToSingleByte, UnpairedSurrogateBecomesReplacement) {
  char out[8];
  const char16_t text[] = {u'a', 0xD800, u'b', 0};
  WideToSingleByte(text, out);
  EXPECT_STREQ(out, "a?b");
}

TEST(SingleByteToWide, RoundTripsAndRepairsMalformedBytes) {
  char16_t wide[16];
  SingleByteToWide(
      "\xE8\xA8\xAD"
      "x",
      wide);
  EXPECT_EQ(std::u16string(wide), u"設x");
  SingleByteToWide(
      "a\xFF"
      "b",
      wide);
  EXPECT_EQ(std::u16string(wide), u"a\uFFFDb");
  char16_t small[3];
  EXPECT_EQ(SingleByteToWide("abcdef", small), 2u);
  EXPECT_EQ(std::u16string(small), u"ab");
}

TEST(FormatFailure, CodeAndStep) {
  char16_t message[kFailureMessageUnits];
  FormatFailure(98, u"bind", message);
  EXPECT_EQ(std::u16string(message), u"ERROR(98): bind");
  FormatFailure(-1, u"connect to server", message);
  EXPECT_EQ(std::u16string(message), u"ERROR(-1): connect to server");
}

TEST(FormatFailure, CutToItsBuffer) {
  char16_t message[12];
  EXPECT_EQ(FormatFailure(111, u"connect to server", message), 11u);
  EXPECT_EQ(std::u16string(message), u"ERROR(111):");
}

}  // namespace

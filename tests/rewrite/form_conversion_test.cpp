// Form posts: "%3F" back to "+", and a Content-Length that declares the body actually sent.
#include <string>

#include "tests/rewrite/filter_harness.h"

namespace {

ProxySettings Convert(int all) {
  ProxySettings s = FiltersOff();
  s.SpaceConvert = 1;
  s.SpaceConvertAll = all;
  return s;
}

const std::string kType = "Content-Type: application/x-www-form-urlencoded\r\n";

TEST_F(FilterTest, FormConversion) {
  const FilterRow rows[] = {
      {"every %3F, length lowered in place before the type", Convert(1), "",
       "POST /f HTTP/1.0\r\nHost: h\r\nContent-Length: 13\r\n" + kType + "\r\nq=ab%3Fc%3Fde",
       "POST /f HTTP/1.0\r\nHost: h\r\nContent-Length: 9\r\n" + kType + "\r\nq=ab+c+de"},
      {"the length line moves directly before the type", Convert(1), "",
       "POST /f HTTP/1.0\r\n" + kType + "Host: h\r\nContent-Length: 13\r\n\r\nq=ab%3Fc%3Fde",
       "POST /f HTTP/1.0\r\nContent-Length: 9\r\n" + kType + "Host: h\r\n\r\nq=ab+c+de"},
      {"lower-case %3f too", Convert(1), "",
       "POST /f HTTP/1.0\r\nContent-Length: 5\r\n" + kType + "\r\nq=%3f",
       "POST /f HTTP/1.0\r\nContent-Length: 3\r\n" + kType + "\r\nq=+"},
      {"SpaceConvertAll off: only after %3E", Convert(0), "",
       "POST /f HTTP/1.0\r\nContent-Length: 11\r\n" + kType + "\r\nq=%3E%3F%3F",
       "POST /f HTTP/1.0\r\nContent-Length: 9\r\n" + kType + "\r\nq=%3E+%3F"},
      {"a conversion in the request line does not lower the length", Convert(1), "",
       "POST /f?x=%3F HTTP/1.0\r\nContent-Length: 5\r\n" + kType + "\r\nq=%3F",
       "POST /f?x=+ HTTP/1.0\r\nContent-Length: 3\r\n" + kType + "\r\nq=+"},
      {"head-only conversions leave the length alone", Convert(1), "",
       "POST /f?x=%3F HTTP/1.0\r\n" + kType + "Content-Length: 3\r\n\r\nq=a",
       "POST /f?x=+ HTTP/1.0\r\n" + kType + "Content-Length: 3\r\n\r\nq=a"},
      {"lower-case length name: corrected where it stands", Convert(1), "",
       "POST /f HTTP/1.0\r\n" + kType + "content-length: 5\r\n\r\nq=%3F",
       "POST /f HTTP/1.0\r\n" + kType + "content-length: 3\r\n\r\nq=+"},
      {"type name in another case: corrected where it stands", Convert(1), "",
       "POST /f HTTP/1.0\r\ncontent-type: application/x-www-form-urlencoded\r\n"
       "Host: h\r\nContent-Length: 5\r\n\r\nq=%3F",
       "POST /f HTTP/1.0\r\ncontent-type: application/x-www-form-urlencoded\r\n"
       "Host: h\r\nContent-Length: 3\r\n\r\nq=+"},
      {"no space after the colon: corrected where it stands", Convert(1), "",
       "POST /f HTTP/1.0\r\nContent-Length:5\r\n" + kType + "\r\nq=%3F",
       "POST /f HTTP/1.0\r\nContent-Length: 3\r\n" + kType + "\r\nq=+"},
      {"no length line: none added", Convert(1), "", "POST /f HTTP/1.0\r\n" + kType + "\r\nq=%3F",
       "POST /f HTTP/1.0\r\n" + kType + "\r\nq=+"},
      {"nothing to convert: length keeps its place", Convert(1), "",
       "POST /f HTTP/1.0\r\n" + kType + "Content-Length: 3\r\n\r\nq=a",
       "POST /f HTTP/1.0\r\n" + kType + "Content-Length: 3\r\n\r\nq=a"},
      {"only the part of the body in this chunk counts", Convert(1), "",
       "POST /f HTTP/1.0\r\nContent-Length: 300\r\n" + kType + "\r\nq=%3F%3Fab",
       "POST /f HTTP/1.0\r\nContent-Length: 296\r\n" + kType + "\r\nq=++ab"},
      {"a length text in the body is not the length line", Convert(1), "",
       "POST /f HTTP/1.0\r\n" + kType + "\r\nq=%3F&Content-Length: 1\r\n",
       "POST /f HTTP/1.0\r\n" + kType + "\r\nq=+&Content-Length: 1\r\n"},
      // Lines ended by a bare "\n" (found by fuzzing): the value is corrected in its place, so
      // the head keeps its blank line and the next line stays whole.
      {"length line after a bare line feed, last in the head", Convert(1), "",
       "POST /f HTTP/1.0\r\n" + kType + "X: a\nContent-Length: 5\r\n\r\nq=%3F",
       "POST /f HTTP/1.0\r\n" + kType + "X: a\nContent-Length: 3\r\n\r\nq=+"},
      {"length line ended by a bare line feed", Convert(1), "",
       "POST /f HTTP/1.0\r\nContent-Length: 5\nX: a\r\n" + kType + "\r\nq=%3F",
       "POST /f HTTP/1.0\r\nContent-Length: 3\nX: a\r\n" + kType + "\r\nq=+"},
      {"SpaceConvert off: the post passes as sent", FiltersOff(), "",
       "POST /f HTTP/1.0\r\nContent-Length: 5\r\n" + kType + "\r\nq=%3F",
       "POST /f HTTP/1.0\r\nContent-Length: 5\r\n" + kType + "\r\nq=%3F"},
      {"not a form post: nothing converted", Convert(1), "",
       "POST /f HTTP/1.0\r\nContent-Length: 5\r\nContent-Type: text/plain\r\n\r\nq=%3F",
       "POST /f HTTP/1.0\r\nContent-Length: 5\r\nContent-Type: text/plain\r\n\r\nq=%3F"},
  };
  for (const FilterRow& row : rows)
    Run(row);
}

TEST_F(FilterTest, RefererConversionDoesNotLowerTheLength) {
  ProxySettings s = Convert(1);
  s.SendReferer = 1;
  Run({"converted in the Referer line", s, "http://h/s?q=%3F",
       "POST /f HTTP/1.0\r\nHost: h\r\nContent-Length: 5\r\n" + kType + "\r\nq=%3F",
       "POST /f HTTP/1.0\r\nReferer: http://h/s?q=+\r\nHost: h\r\nContent-Length: 3\r\n" + kType +
           "\r\nq=+"});
}

}  // namespace

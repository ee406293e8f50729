#include "support/strutil.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

namespace cryptlib {
namespace {

using ::testing::ElementsAre;
using ::testing::IsEmpty;

TEST(SplitList, KeepsEmptyEntries) {
  std::vector<std::string> list;
  EXPECT_EQ(SplitList("A;;B", list), 3);
  EXPECT_THAT(list, ElementsAre("A", "", "B"));
  list.clear();
  EXPECT_EQ(SplitList("A;", list), 2);
  EXPECT_THAT(list, ElementsAre("A", ""));
  list.clear();
  EXPECT_EQ(SplitList(";", list), 2);
  EXPECT_THAT(list, ElementsAre("", ""));
}

TEST(SplitList, AppendsUntrimmedEntries) {
  std::vector<std::string> list = {"before"};
  EXPECT_EQ(SplitList(" A ;B", list), 2);
  EXPECT_THAT(list, ElementsAre("before", " A ", "B"));
}

TEST(SplitList, NilOrEmptyAddsNothing) {
  std::vector<std::string> list;
  EXPECT_EQ(SplitList(nullptr, list), 0);
  EXPECT_EQ(SplitList("", list), 0);
  EXPECT_THAT(list, IsEmpty());
}

TEST(ExtractBetween, TakesTextBetweenFirstStartAndNextEnd) {
  std::string value;
  EXPECT_TRUE(ExtractBetween("x<a>one</a><a>two</a>", "<a>", "</a>", value, false));
  EXPECT_EQ(value, "one");
  EXPECT_TRUE(ExtractBetween("</a><a></a>", "<a>", "</a>", value, false));
  EXPECT_EQ(value, "");
}

TEST(ExtractBetween, SkipLineStartsAfterTheNextCrLf) {
  std::string value;
  EXPECT_TRUE(ExtractBetween("Subject: rest\r\nbody\r\nEND", "Subject:", "END", value, true));
  EXPECT_EQ(value, "body\r\n");
  value = "stale";
  EXPECT_FALSE(ExtractBetween("Subject: only\nline END", "Subject:", "END", value, true));
  EXPECT_EQ(value, "");
}

TEST(ExtractBetween, MissingTags) {
  std::string value = "stale";
  EXPECT_FALSE(ExtractBetween("no tags here", "<a>", "</a>", value, false));
  EXPECT_EQ(value, "");
  EXPECT_FALSE(ExtractBetween("head<a>tail", "<a>", "</a>", value, false));
  EXPECT_EQ(value, "tail");
  // The end tag before the start tag does not count.
  EXPECT_FALSE(ExtractBetween("</a><a>tail", "<a>", "</a>", value, false));
  EXPECT_EQ(value, "tail");
}

TEST(StripParenthesizedSuffix, RemovesTheDateGroup) {
  EXPECT_EQ(StripParenthesizedSuffix("Ivanov (31-12-1999 23-59-59)"), "Ivanov");
  EXPECT_EQ(StripParenthesizedSuffix("(31-12-1999 23-59-59)"), "");
  EXPECT_EQ(StripParenthesizedSuffix("Ivanov (31-12-1999 23-59-5)"), "Ivanov (31-12-1999 23-59-5)");
  EXPECT_EQ(StripParenthesizedSuffix("Ivanov (31-12-1999 23-59-59) "), "Ivanov (31-12-1999 23-59-59) ");
  EXPECT_EQ(StripParenthesizedSuffix("(x)"), "(x)");
  EXPECT_EQ(StripParenthesizedSuffix(""), "");
}

TEST(ConvertCertDate, ReordersDayMonthAndYear) {
  EXPECT_EQ(ConvertCertDate("Dec 31 23:59:59 1999"), "31-12-99 23:59:59");
  EXPECT_EQ(ConvertCertDate("Mar  5 12:34:56 2004"), "05-03-04 12:34:56");
  EXPECT_EQ(ConvertCertDate("Jan  1 00:00:00 2000 GMT"), "01-01-00 00:00:00");
}

TEST(ConvertCertDate, UnknownMonthOrDayReadAsOne) {
  EXPECT_EQ(ConvertCertDate("Foo 31 23:59:59 1999"), "31-01-99 23:59:59");
  EXPECT_EQ(ConvertCertDate("Dec xx 23:59:59 1999"), "01-12-99 23:59:59");
}

TEST(ConvertCertDate, ShortTextDoesNotFail) {
  EXPECT_EQ(ConvertCertDate(""), "01-01- ");
  EXPECT_EQ(ConvertCertDate("Feb  3 10:1"), "03-02- 10:1");
}

TEST(AsciiCase, UpperAndCompare) {
  EXPECT_EQ(UpperAscii("Tmp_cert.pem\xE4"), "TMP_CERT.PEM\xE4");
  EXPECT_TRUE(SameTextAscii("Tmp_Key.pem", "tmp_key.PEM"));
  EXPECT_FALSE(SameTextAscii("Tmp_Key.pem", "tmp_key.pe"));
  EXPECT_FALSE(SameTextAscii("a\xE4", "A\xC4"));
}

TEST(TryParseInt32, AcceptsDecimalTextThatFits) {
  int32_t value = 0;
  EXPECT_TRUE(TryParseInt32(" 5", value));
  EXPECT_EQ(value, 5);
  EXPECT_TRUE(TryParseInt32("-2147483648", value));
  EXPECT_EQ(value, -2147483647 - 1);
  value = 42;
  for (const char* bad : {"", " ", "-", "2147483648", "-2147483649", "5 ", "1x", "0x10", "99999999999999999999"}) {
    EXPECT_FALSE(TryParseInt32(bad, value)) << bad;
  }
  EXPECT_EQ(value, 42);
}

}  // namespace
}  // namespace cryptlib

#include "base/AsciiText.h"

#include <gtest/gtest.h>

namespace {

using tessel::EqualsNoCase;
using tessel::StartsWithNoCase;

TEST(AsciiText, CaseFoldsAsciiLettersOnly) {
  EXPECT_TRUE(EqualsNoCase("Content-LENGTH", "content-length"));
  EXPECT_FALSE(EqualsNoCase("abc", "abcd"));
  // '@' and '`' lie next to the letters; UTF-8 bytes are compared as they are.
  EXPECT_FALSE(EqualsNoCase("@", "`"));
  EXPECT_FALSE(EqualsNoCase("\xc3\x84", "\xc3\xa4"));
  EXPECT_TRUE(StartsWithNoCase("GET / HTTP/1.0", "get "));
  EXPECT_FALSE(StartsWithNoCase("GE", "get"));
  EXPECT_TRUE(StartsWithNoCase("anything", ""));
}

TEST(AsciiText, TrimsOnlyTheGivenBlanks) {
  EXPECT_EQ(tessel::Trim(" \t a b \t "), "a b");
  EXPECT_EQ(tessel::Trim("\r\n1.2.3.4\r\n", " \t\r\n"), "1.2.3.4");
  EXPECT_EQ(tessel::Trim("\r\nx\r\n"), "\r\nx\r\n");
  EXPECT_EQ(tessel::Trim("   "), "");
  EXPECT_EQ(tessel::TrimLeft("  x  "), "x  ");
  EXPECT_EQ(tessel::TrimRight("  x  "), "  x");
}

}  // namespace

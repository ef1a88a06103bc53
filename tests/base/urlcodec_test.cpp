#include "base/UrlCodec.h"

#include <gtest/gtest.h>

using tessel::UrlDecode;
using tessel::UrlEncode;

TEST(UrlCodec, EncodesLinkValues) {
  EXPECT_EQ(UrlEncode("My Music\\a&b.mp3"), "My+Music%5Ca%26b.mp3");
  EXPECT_EQ(UrlEncode("/"), "%2F");
  EXPECT_EQ(UrlEncode("x_y-z.txt"), "x_y-z.txt");
  EXPECT_EQ(UrlEncode("a+b%"), "a%2Bb%25");
  EXPECT_EQ(UrlEncode("Müsik 音乐"), "M%C3%BCsik+%E9%9F%B3%E4%B9%90");
}

TEST(UrlCodec, DecodesWhatItEncodes) {
  for (const char* text : {"Music\\live\\a b.mp3", "100% + more", "Müsik\\音乐\\😀.txt",
                           "\x01\x7f\xff\xfe not utf-8", "/"}) {
    EXPECT_EQ(UrlDecode(UrlEncode(text)), text);
  }
  EXPECT_EQ(UrlDecode("/download.htm?file=Music%5Clive%5Ca+b.mp3"),
            "/download.htm?file=Music\\live\\a b.mp3");
  EXPECT_EQ(UrlDecode("%e9%9F%b3"), "音");
}

TEST(UrlCodec, MalformedEscapesStayAsWritten) {
  EXPECT_EQ(UrlDecode("/a%"), "/a%");
  EXPECT_EQ(UrlDecode("/a%4"), "/a%4");
  EXPECT_EQ(UrlDecode("%zz%4g"), "%zz%4g");
  EXPECT_EQ(UrlDecode("%%41"), "%A");
  // A decoded NUL ends the text, so no later check sees a different name than is used.
  EXPECT_EQ(UrlDecode("secret.txt%00.gif"), "secret.txt");
  EXPECT_EQ(UrlDecode("%00"), "");
}

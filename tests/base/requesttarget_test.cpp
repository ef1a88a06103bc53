#include "base/RequestTarget.h"

#include <gtest/gtest.h>

#include <string>

namespace {

using tessel::ParseRequestTarget;
using tessel::Route;

Route RouteOf(const std::string& target) {
  return ParseRequestTarget(target).route;
}

TEST(RequestTarget, ExactNamesComeBeforeThePrefixesTheyShare) {
  EXPECT_EQ(RouteOf("/INDEX.htm"), Route::kLogin);
  EXPECT_EQ(RouteOf("/index.html"), Route::kOther);
  EXPECT_EQ(RouteOf("/Logout.htm"), Route::kLogout);
  EXPECT_EQ(RouteOf("/upload"), Route::kUpload);
  EXPECT_EQ(RouteOf("/upload/x"), Route::kOther);
  EXPECT_EQ(RouteOf("/"), Route::kShareList);
  EXPECT_EQ(RouteOf("/Download.htm?FILE=/"), Route::kShareList);
  EXPECT_EQ(RouteOf("/download.htm?file=/&icon=1"), Route::kParentIcon);
  EXPECT_EQ(RouteOf("/download.htm?file=/&zip=1"), Route::kDownload);
  EXPECT_EQ(RouteOf("/favicon.ico?v=2"), Route::kFavicon);
  EXPECT_EQ(RouteOf("/ICONS/a.gif"), Route::kWebFile);
  EXPECT_EQ(RouteOf("/images"), Route::kOther);
  EXPECT_EQ(RouteOf(""), Route::kOther);
  EXPECT_EQ(RouteOf("download.htm?file=a"), Route::kOther);
}

TEST(RequestTarget, NamesKeepTheirTextWithTheFlagsTakenOut) {
  const tessel::RequestTarget zip = ParseRequestTarget("/download.htm?file=Music&zip=1\\live");
  EXPECT_EQ(zip.route, Route::kDownload);
  EXPECT_EQ(zip.name, "Music\\live");
  EXPECT_TRUE(zip.zip);
  EXPECT_FALSE(zip.icon);
  EXPECT_EQ(zip.ShareName(), "Music");

  const tessel::RequestTarget icon = ParseRequestTarget("/download.htm?file=a.txt&icon=1&icon=1");
  EXPECT_EQ(icon.name, "a.txt");
  EXPECT_TRUE(icon.icon);
  // Flags are written in lower case only; anything else is part of the name.
  EXPECT_EQ(ParseRequestTarget("/download.htm?file=a&ZIP=1").name, "a&ZIP=1");

  // A removal keeps its value as written; one without "?file=" names nothing.
  const tessel::RequestTarget remove = ParseRequestTarget("/REMOVE.HTM?FILE=docs&zip=1\\a");
  EXPECT_EQ(remove.route, Route::kRemove);
  EXPECT_EQ(remove.name, "docs&zip=1\\a");
  EXPECT_EQ(remove.ShareName(), "docs&zip=1");
  EXPECT_EQ(ParseRequestTarget("/remove.htmx?file=docs").route, Route::kRemove);
  EXPECT_EQ(ParseRequestTarget("/remove.htmx?file=docs").name, "");

  EXPECT_EQ(ParseRequestTarget("/images/a\\..\\b.gif").name, "/images/a\\..\\b.gif");
}

TEST(RequestTarget, ANulEndsTheTarget) {
  EXPECT_EQ(ParseRequestTarget(std::string("/index.htm\0x", 12)).route, Route::kLogin);
  EXPECT_EQ(ParseRequestTarget(std::string("/download.htm?file=a\0&zip=1", 27)).zip, false);
}

}  // namespace

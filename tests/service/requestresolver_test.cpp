#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <string>

#include "service/RequestResolver.h"
#include "store/ADO.h"
#include "support/TempFolder.h"

namespace {

// Resolving a request path can hand back the share's mode, which lets the request handler skip
// the access check's lookups for public shares; anything but a readable 0 must count as not
// public, so that the access check still decides.
TEST(RequestResolver, ResolvingGivesTheSharesModeAndNothingElse) {
  TempFolder folder;
  std::filesystem::create_directories(folder / "data/pub");
  std::filesystem::create_directories(folder / "web/images");
  std::ofstream(folder / "data/pub/a.txt") << "a";
  std::ofstream(folder / "data/auth.txt") << "b";
  std::ofstream(folder / "data/odd.txt") << "c";
  std::ofstream(folder / "web/images/home.gif") << "g";
  CDataFileShare shares(folder.path());
  ASSERT_TRUE(shares.Open());
  ASSERT_TRUE(
      shares.AddShare({"pub", folder / "data/pub", "", FileShareRecord::kModePublic, "", ""}));
  ASSERT_TRUE(
      shares.AddShare({"auth", folder / "data/auth.txt", "", FileShareRecord::kModeAuth, "", ""}));
  ASSERT_TRUE(shares.AddShare({"odd", folder / "data/odd.txt", "", 0, "", ""}));
  {
    CADO::CADODatabase db;
    ASSERT_TRUE(db.Open(shares.GetDatabasePath()));
    ASSERT_TRUE(db.Execute("update fileshare set sharemode='open' where filename='odd'"));
  }

  const CRequestResolver resolver(shares);
  std::string name, local;
  int mode = -7;
  std::int64_t size = -1;
  EXPECT_EQ(resolver.Resolve("/download.htm?file=PUB\\a.txt", name, local, &mode, &size),
            CRequestResolver::PathKind::kFile);
  EXPECT_EQ(mode, FileShareRecord::kModePublic);
  EXPECT_EQ(size, static_cast<std::int64_t>(std::filesystem::file_size(local)));
  mode = -7;
  EXPECT_EQ(resolver.Resolve("/remove.htm?file=auth", name, local, &mode),
            CRequestResolver::PathKind::kFile);
  EXPECT_EQ(mode, FileShareRecord::kModeAuth);
  mode = -7;
  EXPECT_EQ(resolver.Resolve("/download.htm?file=odd", name, local, &mode),
            CRequestResolver::PathKind::kFile);
  EXPECT_NE(mode, FileShareRecord::kModePublic);
  EXPECT_FALSE(shares.CanAccessShare("odd", ""));

  mode = -7;
  EXPECT_EQ(resolver.Resolve("/download.htm?file=pub\\nothing", name, local, &mode),
            CRequestResolver::PathKind::kNotFound);
  EXPECT_EQ(resolver.Resolve("/download.htm?file=none", name, local, &mode),
            CRequestResolver::PathKind::kNotFound);
  EXPECT_EQ(resolver.Resolve("/images/home.gif", name, local, &mode),
            CRequestResolver::PathKind::kWebFile);
  EXPECT_EQ(mode, -7);
  // Without the out-parameter the result is the same.
  EXPECT_EQ(resolver.Resolve("/download.htm?file=pub", name, local),
            CRequestResolver::PathKind::kFolder);
}

}  // namespace

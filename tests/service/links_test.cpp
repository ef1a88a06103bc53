// Symbolic links in shared folders, over real loopback connections: followed while their target
// stays inside the share, invisible and unreachable where it leaves it, in downloads, icons,
// folder pages and zips alike.
#include <stdlib.h>
#include <sys/wait.h>

#include <algorithm>
#include <cstdio>
#include <sstream>

#include "service/WebFixture.h"

namespace fs = std::filesystem;

namespace {

using web::kNotFound;
using web::Split;

std::string Shell(const std::string& command) {
  std::string text;
  if (FILE* pipe = popen((command + " 2>&1").c_str(), "r")) {
    char buffer[4096];
    while (std::size_t n = fread(buffer, 1, sizeof buffer, pipe)) text.append(buffer, n);
    pclose(pipe);
  }
  return text;
}

class Links : public web::WebFixture {
 protected:
  void SetUp() override {
    WebFixture::SetUp();
    web::WriteFile(Local("Public/a.txt"), "public a");
    web::WriteFile(Local("Public/sub/b.txt"), "sub b");
    web::WriteFile(Local("Private/plan.txt"), "plan");
    web::WriteFile(Local("Outside/secret.txt"), "outside secret");
    // Inside: a folder, a file, the share itself.
    fs::create_directory_symlink("sub", Local("Public/inner"));
    fs::create_symlink("sub/b.txt", Local("Public/inner.txt"));
    fs::create_directory_symlink(".", Local("Public/self"));
    // Out: a folder, a file, the parent (holding another share and an unshared folder), and an
    // absolute link; and a link that goes out and comes back in, judged by where it ends.
    fs::create_directory_symlink("../Outside", Local("Public/etc"));
    fs::create_symlink("../Outside/secret.txt", Local("Public/secret.txt"));
    fs::create_directory_symlink("..", Local("Public/up"));
    fs::create_directory_symlink(Local("Outside"), Local("Public/abs"));
    fs::create_directory_symlink("../Public/sub", Local("Public/round"));
    Share("Public", Local("Public"));
    Share("Private", Local("Private"), FileShareRecord::kModeAuth);
  }

  std::string Body(const std::string& target) {
    web::Reply reply = Split(Get(target, "", web::kStranger));
    if (reply.head.rfind("HTTP/1.0 200 OK\r\n", 0) != 0) return "refused: " + reply.head;
    return reply.body;
  }

  // The entry names of a zip download, in order, one per line.
  std::string ZipEntries(const std::string& target) {
    const std::string zip = Split(Get(target, "", web::kStranger)).body;
    const std::string path = folder / "got.zip";
    web::WriteFile(path, zip);
    return Shell("unzip -Z1 '" + path + "'");
  }
};

TEST_F(Links, DownloadsAndIconsFollowOnlyLinksThatStayInside) {
  EXPECT_EQ(Body("/download.htm?file=Public%5Cinner.txt"), "sub b");
  EXPECT_EQ(Body("/download.htm?file=Public%5Cinner%5Cb.txt"), "sub b");
  EXPECT_EQ(Body("/download.htm?file=Public%5Cself%5Cself%5Ca.txt"), "public a");
  EXPECT_EQ(Body("/download.htm?file=Public%5Cround%5Cb.txt"), "sub b");
  for (const char* target :
       {"/download.htm?file=Public%5Csecret.txt", "/download.htm?file=Public%5Cetc%5Csecret.txt",
        "/download.htm?file=Public%5Cabs%5Csecret.txt",
        "/download.htm?file=Public%5Cup%5CPrivate%5Cplan.txt",
        "/download.htm?file=Public%5Cup%5COutside%5Csecret.txt",
        "/download.htm?file=Public%5Cinner%5C..%5Cetc%5Csecret.txt",
        "/download.htm?file=Public%5Cetc&icon=1", "/download.htm?file=Public%5Csecret.txt&icon=1",
        "/download.htm?file=Public%5Cup", "/download.htm?file=Public%5Cetc"}) {
    EXPECT_EQ(Get(target, "", web::kStranger), kNotFound) << target;
  }
  EXPECT_EQ(
      Split(Get("/download.htm?file=Public%5Cinner&icon=1", "", web::kStranger)).head.substr(0, 17),
      "HTTP/1.0 200 OK\r\n");
}

TEST_F(Links, ASharedPathThatIsALinkKeepsWorking) {
  // The owner chose the path: it counts, wherever it points.
  fs::create_directory_symlink(Local("Public"), Local("alias"));
  fs::create_symlink(Local("Outside/secret.txt"), Local("note"));
  Share("Alias", Local("alias"));
  Share("Note", Local("note"));
  EXPECT_EQ(Body("/download.htm?file=Note"), "outside secret");
  EXPECT_EQ(Body("/download.htm?file=Alias%5Ca.txt"), "public a");
  EXPECT_EQ(Body("/download.htm?file=Alias%5Cinner%5Cb.txt"), "sub b");
  EXPECT_EQ(Get("/download.htm?file=Alias%5Cetc%5Csecret.txt", "", web::kStranger), kNotFound);
  EXPECT_EQ(Get("/download.htm?file=Alias%5Cup%5CPrivate%5Cplan.txt", "", web::kStranger),
            kNotFound);
  // The links of its folder are judged against where it points.
  EXPECT_EQ(ZipEntries("/download.htm?file=Alias&zip=1"),
            ZipEntries("/download.htm?file=Public&zip=1"));
}

TEST_F(Links, FolderPagesListOnlyLinksThatStayInside) {
  const std::string page = Body("/download.htm?file=Public");
  for (const char* name : {"a.txt", "inner", "inner.txt", "self", "sub", "round"})
    EXPECT_NE(page.find(">" + std::string(name) + "<"), std::string::npos) << name;
  for (const char* name : {"etc", "secret.txt", "up", "abs"})
    EXPECT_EQ(page.find(">" + std::string(name) + "<"), std::string::npos) << name;
}

TEST_F(Links, ZipsPackOnlyWhatStaysInsideAndEachLinkedFolderOnce) {
  // "self" leads back to the folder being packed, and "round" to "sub" again by another way:
  // "inner" packs it first.
  EXPECT_EQ(ZipEntries("/download.htm?file=Public&zip=1"),
            "a.txt\ninner/\ninner/b.txt\ninner.txt\nsub/\nsub/b.txt\n");
  EXPECT_EQ(ZipEntries("/download.htm?file=Public%5Cinner&zip=1"), "b.txt\n");
  EXPECT_EQ(Get("/download.htm?file=Public%5Cup&zip=1", "", web::kStranger), kNotFound);

  // Twelve levels of two links each to the next level: 4096 copies of the last level's file,
  // were every link packed.
  for (int level = 0; level <= 12; ++level)
    fs::create_directories(Local("Chain/l" + std::to_string(level)));
  web::WriteFile(Local("Chain/l12/f.txt"), "f");
  for (int level = 0; level < 12; ++level) {
    const std::string next = "../l" + std::to_string(level + 1);
    fs::create_directory_symlink(next, Local("Chain/l" + std::to_string(level) + "/a"));
    fs::create_directory_symlink(next, Local("Chain/l" + std::to_string(level) + "/b"));
  }
  Share("Chain", Local("Chain"));
  std::istringstream entries(ZipEntries("/download.htm?file=Chain&zip=1"));
  int copies = 0;
  int total = 0;
  for (std::string line; std::getline(entries, line); ++total)
    copies += line.size() >= 5 && line.compare(line.size() - 5, 5, "f.txt") == 0;
  // Once at its own place and once under the first chain of links that reaches it.
  EXPECT_EQ(copies, 2);
  EXPECT_LT(total, 60);
}

}  // namespace

#include "base/PathText.h"

#include <fcntl.h>
#include <gtest/gtest.h>

#include "base/FileDescriptor.h"
#include "base/HtmlText.h"

namespace {

TEST(PathText, LastComponentNormalPathAndContainment) {
  const std::pair<const char*, const char*> last[] = {
      {"/srv/Music/a.mp3", "a.mp3"},
      {"/srv/Music/", "Music"},
      {"a.txt", "a.txt"},
      {"/", "/"},
      {"", ""},
      {"/top", "top"},
  };
  for (const auto& [path, component] : last) EXPECT_EQ(tessel::LastComponent(path), component);

  EXPECT_EQ(tessel::NormalPath("/srv//Music/./live/../a.mp3/"), "/srv/Music/a.mp3");
  EXPECT_EQ(tessel::NormalPath("/"), "/");

  struct Case {
    const char* root;
    const char* path;
    bool inside;
  };
  const Case cases[] = {
      {"/srv/Music", "/srv/Music", true},
      {"/srv/Music", "/srv/Music/a", true},
      {"/srv/Music", "/srv/Music2", false},
      {"/srv/Music", "/srv/music/a", false},
      {"/", "/etc", true},
      {"", "/etc", false},
      {"/srv/Music", "/srv", false},
  };
  for (const Case& c : cases)
    EXPECT_EQ(tessel::PathContains(c.root, c.path), c.inside) << c.root << " " << c.path;
}

TEST(PathText, HtmlEscapingAndDescriptorGuard) {
  std::string out = "x";
  tessel::AppendHtmlEscaped(out, "<a href=\"&'\">");
  EXPECT_EQ(out, "x&lt;a href=&quot;&amp;&#39;&quot;&gt;");

  int fd = open("/dev/null", O_RDONLY | O_CLOEXEC);
  ASSERT_GE(fd, 0);
  {
    tessel::FileDescriptor guard(fd);
    tessel::FileDescriptor moved = std::move(guard);
    EXPECT_FALSE(guard);
    EXPECT_EQ(moved.get(), fd);
  }
  EXPECT_EQ(fcntl(fd, F_GETFD), -1);  // closed once, by the guard that held it last
}

}  // namespace

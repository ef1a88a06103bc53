// Where the program looks for its web folder and keeps its data, and the user folders that
// decide it.
#include "app/ProgramFolders.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>

#include "app/UserFolders.h"
#include "support/TempFolder.h"

namespace fs = std::filesystem;

namespace {

unsigned ModeOf(const std::string& path) {
  struct stat status {};
  return stat(path.c_str(), &status) == 0 ? status.st_mode & 07777 : 0;
}

// Sets an environment variable for the scope, restoring it after.
class ScopedVariable {
 public:
  ScopedVariable(const char* name, const char* value) : m_name(name) {
    const char* old = std::getenv(name);
    m_had = old != nullptr;
    if (m_had) m_old = old;
    value ? setenv(name, value, 1) : unsetenv(name);
  }
  ~ScopedVariable() { m_had ? setenv(m_name, m_old.c_str(), 1) : unsetenv(m_name); }

 private:
  const char* m_name;
  bool m_had = false;
  std::string m_old;
};

TEST(ProgramFoldersTest, WebFolderBesideMeansPortableUnderShareMeansInstalled) {
  TempFolder root;
  const std::string bin = root / "usr/bin";
  fs::create_directories(bin);
  const std::string home_data = root / "home/.local/share";

  // Neither web folder (a bare copy of the program): portable, as before there were two kinds.
  tessel::ProgramFolders folders = tessel::ProgramFolders::Locate(bin, home_data);
  EXPECT_FALSE(folders.installed);
  EXPECT_EQ(folders.data, bin);
  EXPECT_EQ(folders.web, bin + "/web");

  fs::create_directories(root / "usr/share/tessel/web");
  folders = tessel::ProgramFolders::Locate(bin, home_data);
  EXPECT_TRUE(folders.installed);
  EXPECT_EQ(folders.executable, bin);
  EXPECT_EQ(folders.web, root / "usr/share/tessel/web");
  EXPECT_EQ(folders.data, home_data + "/tessel");
  // No home folder known: nowhere per user to go.
  EXPECT_EQ(tessel::ProgramFolders::Locate(bin, "").data, bin);

  // A web folder beside the program wins: a build folder, or a copy of it, stays portable even
  // where an installed copy's folders lie around it.
  fs::create_directories(bin + "/web");
  folders = tessel::ProgramFolders::Locate(bin, home_data);
  EXPECT_FALSE(folders.installed);
  EXPECT_EQ(folders.data, bin);
  EXPECT_EQ(folders.web, bin + "/web");

  // A file named web is no web folder.
  fs::remove(bin + "/web");
  std::ofstream(bin + "/web") << "x";
  EXPECT_TRUE(tessel::ProgramFolders::Locate(bin, home_data).installed);
}

TEST(ProgramFoldersTest, PrivateFolderIsMadeWithMode0700WhateverTheUmask) {
  TempFolder root;
  const mode_t old_umask = umask(0);  // would leave the folders open to everyone
  std::string error;
  EXPECT_TRUE(tessel::MakePrivateFolder(root / "home/.local/share/tessel", &error)) << error;
  umask(old_umask);
  for (const char* made : {"home", "home/.local", "home/.local/share", "home/.local/share/tessel"})
    EXPECT_EQ(ModeOf(root / made), 0700u) << made;

  // An existing folder is taken as it is.
  fs::create_directories(root / "shared");
  chmod((root / "shared").c_str(), 0755);
  EXPECT_TRUE(tessel::MakePrivateFolder(root / "shared/", &error)) << error;
  EXPECT_EQ(ModeOf(root / "shared"), 0755u);

  // A file in the way is reported with its path.
  std::ofstream(root / "file") << "x";
  EXPECT_FALSE(tessel::MakePrivateFolder(root / "file/tessel", &error));
  EXPECT_EQ(error, root / "file" + ": Not a directory");
  EXPECT_FALSE(tessel::MakePrivateFolder(root / "file", &error));
  EXPECT_EQ(error, root / "file" + ": Not a directory");
}

TEST(UserFoldersTest, XdgVariablesCountOnlyWhenAbsolute) {
  ScopedVariable home("HOME", "/home/ann");
  {
    ScopedVariable data("XDG_DATA_HOME", "/data");
    ScopedVariable config("XDG_CONFIG_HOME", "/config");
    EXPECT_EQ(tessel::DataHome(), "/data");
    EXPECT_EQ(tessel::ConfigHome(), "/config");
  }
  for (const char* unusable : {"", "relative/data"}) {
    ScopedVariable data("XDG_DATA_HOME", unusable);
    ScopedVariable config("XDG_CONFIG_HOME", unusable);
    EXPECT_EQ(tessel::DataHome(), "/home/ann/.local/share");
    EXPECT_EQ(tessel::ConfigHome(), "/home/ann/.config");
  }
  {
    ScopedVariable data("XDG_DATA_HOME", nullptr);
    ScopedVariable root_home("HOME", "/");
    EXPECT_EQ(tessel::DataHome(), "/.local/share");
  }
  // Without HOME the account's home folder counts.
  ScopedVariable data("XDG_DATA_HOME", nullptr);
  ScopedVariable no_home("HOME", nullptr);
  const std::string account_home = tessel::HomeFolder();
  EXPECT_EQ(tessel::DataHome(), account_home.empty() ? "" : account_home + "/.local/share");
}

}  // namespace

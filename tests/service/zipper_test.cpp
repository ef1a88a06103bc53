#include "service/Zipper.h"

#include <fcntl.h>
#include <grp.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <random>

#include "service/FolderListing.h"
#include "support/Shell.h"

namespace fs = std::filesystem;

namespace {

// Every archive is checked by the unzippers people use, not by the code that wrote it.
// The Python lines read: name|UTF-8 flag|host|mode|DOS attributes|size|time|version needed.
const char* kPythonDump = R"(import sys, zipfile, struct
z = zipfile.ZipFile(sys.argv[1])
assert z.testzip() is None
for i in z.infolist():
    z.fp.seek(i.header_offset); need = struct.unpack('<H', z.fp.read(6)[4:6])[0]
    print(i.filename, i.flag_bits & 0x800, i.create_system, oct(i.external_attr >> 16),
          i.external_attr & 0xff, i.file_size, '%d-%02d-%02d %02d:%02d:%02d' % i.date_time, need,
          sep='|'))";

// The entry names of a dump, space-separated.
std::string Names(const std::string& dump) {
  std::string names;
  for (std::size_t pos = 0; pos < dump.size(); pos = dump.find('\n', pos) + 1)
    names += (names.empty() ? "" : " ") + dump.substr(pos, dump.find('|', pos) - pos);
  return names;
}

// Checks the archive with every tool and returns the Python dump, one line per entry.
std::string Verify(const fs::path& zip, bool empty = false) {
  const std::string q = "'" + zip.string() + "'";
  std::string out;
  // unzip warns (status 1) about an archive without entries.
  EXPECT_EQ(Shell("unzip -tq " + q, &out), empty ? 1 : 0) << out;
  EXPECT_EQ(Shell("7z t " + q, &out), 0) << out;
  EXPECT_EQ(Shell("bsdtar -tf " + q, &out), 0) << out;
  EXPECT_EQ(Shell("python3 -c \"$PY\" " + q, &out), 0) << out;
  return out;
}

void Write(const fs::path& path, const std::string& text) {
  fs::create_directories(path.parent_path());
  std::ofstream(path, std::ios::binary) << text;
}

std::string Read(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

void SetTime(const fs::path& path, std::time_t when) {
  const timespec times[2] = {{when, 0}, {when, 0}};
  utimensat(AT_FDCWD, path.c_str(), times, AT_SYMLINK_NOFOLLOW);
}

class ZipperTest : public ::testing::Test {
 protected:
  void SetUp() override {
    setenv("PY", kPythonDump, 1);
    char pattern[] = "/tmp/zipper_test.XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    m_dir = pattern;
    m_src = m_dir / "Music";
    m_zip = m_dir / "out.zip";
    fs::create_directories(m_src);
  }
  void TearDown() override {
    Shell("chmod -R u+rwX '" + m_dir.string() + "'");
    fs::remove_all(m_dir);
  }
  // The whole of m_src as the folder download builds it; returns the checked archive's dump.
  std::string ZipSource(std::uint64_t zip64_threshold = CZipper::kZip64Threshold) {
    CZipper zipper(zip64_threshold);
    EXPECT_TRUE(zipper.OpenZip(m_zip, m_src.string() + "/"));
    EXPECT_TRUE(zipper.AddFolderToZip(m_src.string() + "/"));
    EXPECT_TRUE(zipper.CloseZip());
    return Verify(m_zip);
  }
  fs::path m_dir, m_src, m_zip;
};

TEST_F(ZipperTest, ListingIsSortedWithoutCaseAndShowsOnlyVisibleFilesAndFolders) {
  for (const char* name : {"b.txt", "a.txt", "A.txt", "_x", "Zeta", "émile", "Énorme", ".hidden"})
    Write(m_src / name, "12345");
  fs::create_directories(m_src / "Live");
  fs::create_directories(m_src / ".git");
  SetTime(m_src / "b.txt", 1000000000);
  fs::create_symlink("Live", m_src / "link");
  fs::create_symlink("missing", m_src / "dangling");
  mkfifo((m_src / "pipe").c_str(), 0644);

  CFolderListing listing;
  ASSERT_TRUE(listing.Read(m_src.string()));
  std::vector<std::string> names;
  for (const FolderItem& item : listing.Items()) names.push_back(item.name);
  // Upper-case folding puts "_" after the letters, and "É" after "Z", as the original file
  // system ordered them.
  EXPECT_EQ(names, (std::vector<std::string>{"A.txt", "a.txt", "b.txt", "link", "Live", "Zeta",
                                             "_x", "émile", "Énorme"}));
  const FolderItem& b = listing.Items()[2];
  EXPECT_FALSE(b.is_folder);
  EXPECT_EQ(b.size, 5u);
  EXPECT_EQ(b.last_write, 1000000000);
  EXPECT_TRUE(listing.Items()[3].is_folder);
  EXPECT_EQ(listing.Items()[4].size, 0u);
  EXPECT_FALSE(listing.Read((m_src / "nowhere").string()));
  EXPECT_TRUE(listing.Items().empty());
  EXPECT_TRUE(CFolderListing::NameLess("ab", "a_b"));
  EXPECT_TRUE(CFolderListing::NameLess("a", "A0"));
  EXPECT_FALSE(CFolderListing::NameLess("a\xff", "a\xff"));
}

TEST_F(ZipperTest, FolderArchiveHasListingOrderAndSkipsHiddenItems) {
  Write(m_src / "notes.txt", "some notes\n");
  Write(m_src / "live" / "a.mp3", std::string(300000, 'x') + "tail");
  Write(m_src / "live" / ".cache", "hidden");
  Write(m_src / ".git" / "config", "hidden");
  Write(m_src / ".hidden", "hidden");
  fs::create_directories(m_src / "empty");

  EXPECT_EQ(Names(ZipSource()), "empty/ live/ live/a.mp3 notes.txt");
  ASSERT_EQ(Shell("cd '" + m_dir.string() + "' && unzip -q out.zip -d x"), 0);
  EXPECT_EQ(Read(m_dir / "x" / "live" / "a.mp3"), Read(m_src / "live" / "a.mp3"));
  EXPECT_EQ(Read(m_dir / "x" / "notes.txt"), "some notes\n");
  EXPECT_TRUE(fs::is_directory(m_dir / "x" / "empty"));

  fs::remove_all(m_src);
  fs::create_directories(m_src);
  CZipper zipper;
  ASSERT_TRUE(zipper.OpenZip(m_zip, m_src) && zipper.AddFolderToZip(m_src) && zipper.CloseZip());
  EXPECT_EQ(Verify(m_zip, true), "");
}

TEST_F(ZipperTest, EntriesCarryUnixModesLocalTimesAndUtf8Names) {
  Write(m_src / "中文" / "歌曲.mp3", "music");
  Write(m_src / "😀.txt", "smile");
  Write(m_src / "old.txt", "old");
  std::tm local{};
  local.tm_year = 121, local.tm_mon = 2, local.tm_mday = 4;
  local.tm_hour = 5, local.tm_min = 6, local.tm_sec = 8, local.tm_isdst = -1;
  const std::time_t when = mktime(&local);
  for (const char* name : {"中文/歌曲.mp3", "中文", "😀.txt"}) SetTime(m_src / name, when);
  SetTime(m_src / "old.txt", 0);  // before the zip epoch of 1980
  chmod((m_src / "中文").c_str(), 0750);
  chmod((m_src / "中文" / "歌曲.mp3").c_str(), 0644);
  chmod((m_src / "😀.txt").c_str(), 0600);
  chmod((m_src / "old.txt").c_str(), 0755);

  EXPECT_EQ(ZipSource(),
            "old.txt|2048|3|0o100755|0|3|1980-01-01 00:00:00|20\n"
            "中文/|2048|3|0o40750|16|0|2021-03-04 05:06:08|20\n"
            "中文/歌曲.mp3|2048|3|0o100644|0|5|2021-03-04 05:06:08|20\n"
            "😀.txt|2048|3|0o100600|0|5|2021-03-04 05:06:08|20\n");
  // Info-ZIP applies the UTF-8 flag only to archives made on Unix; bsdtar needs a UTF-8 locale.
  ASSERT_EQ(Shell("cd '" + m_dir.string() + "' && unzip -q out.zip -d x"), 0);
  EXPECT_EQ(Read(m_dir / "x" / "中文" / "歌曲.mp3"), "music");
  EXPECT_EQ(Read(m_dir / "x" / "😀.txt"), "smile");
  EXPECT_EQ(fs::status(m_dir / "x" / "😀.txt").permissions(), fs::perms(0600));
  std::string out;
  Shell("LC_ALL=C.UTF-8 bsdtar -tf '" + m_zip.string() + "'", &out);
  EXPECT_EQ(out, "old.txt\n中文/\n中文/歌曲.mp3\n😀.txt\n");
}

TEST_F(ZipperTest, FoldersReachedAgainThroughLinksAreNotFollowed) {
  Write(m_src / "sub" / "f.txt", "f");
  fs::create_symlink("..", m_src / "sub" / "up");
  fs::create_symlink(".", m_src / "sub" / "self");
  fs::create_symlink("sub", m_src / "twin");  // a sibling, not a loop: archived as a copy
  EXPECT_EQ(Names(ZipSource()), "sub/ sub/f.txt twin/ twin/f.txt");
}

TEST_F(ZipperTest, UnreadableItemsAreLeftOutAndTheRestIsWritten) {
  Write(m_src / "a.txt", "a");
  Write(m_src / "locked.txt", "secret");
  Write(m_src / "closed" / "inner.txt", "secret");
  Write(m_src / "z.txt", "z");
  chmod((m_src / "locked.txt").c_str(), 0);
  chmod((m_src / "closed").c_str(), 0);
  const auto build = [&] {
    CZipper zipper;
    return zipper.OpenZip(m_zip, m_src.string()) && zipper.AddFolderToZip("") &&
           !zipper.AddFileToZip("locked.txt") && zipper.CloseZip();
  };
  if (geteuid() != 0) {
    ASSERT_TRUE(build());
  } else {
    // Root reads anything, so a child without privileges builds the archive.
    chmod(m_dir.c_str(), 0777);
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
      const bool dropped = setgroups(0, nullptr) == 0 && setgid(65534) == 0 && setuid(65534) == 0;
      _exit(dropped && build() ? 0 : 1);
    }
    int status = 0;
    waitpid(child, &status, 0);
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  }
  EXPECT_EQ(Names(Verify(m_zip)), "a.txt closed/ z.txt");
}

TEST_F(ZipperTest, LargeEntriesUseTheZip64Form) {
  std::string big(300000, '\0');
  std::mt19937 random(7);
  for (char& c : big) c = static_cast<char>(random());
  Write(m_src / "big.bin", big);
  Write(m_src / "small.txt", "small");
  const std::string dump = ZipSource(big.size());
  // The last field is the local header's "version needed": 45 marks the zip64 form.
  EXPECT_NE(dump.find("big.bin|2048|3|0o100644|0|300000|"), std::string::npos) << dump;
  EXPECT_NE(dump.find("|45\nsmall.txt|2048|3|0o100644|0|5|"), std::string::npos) << dump;
  EXPECT_EQ(dump.back() == '\n' ? dump.substr(dump.size() - 4) : dump, "|20\n");
  ASSERT_EQ(Shell("cd '" + m_dir.string() + "' && unzip -q out.zip -d x"), 0);
  EXPECT_EQ(Read(m_dir / "x" / "big.bin"), big);
}

TEST_F(ZipperTest, EntryNamesStayBelowTheRoot) {
  Write(m_src / "a.txt", "a");
  Write(m_dir / "outside.txt", "o");
  CZipper zipper;
  EXPECT_FALSE(zipper.AddFileToZip((m_src / "a.txt").string()));  // nothing open
  EXPECT_TRUE(zipper.CloseZip());
  EXPECT_FALSE(zipper.OpenZip(""));
  Write(m_zip, "an older file in the way");
  // Without a root, names start at the archive's own folder.
  ASSERT_TRUE(zipper.OpenZip(m_zip));
  EXPECT_TRUE(zipper.AddFolderToZip(m_src.string()));
  EXPECT_TRUE(zipper.AddFileToZip("./Music/a.txt"));
  EXPECT_TRUE(zipper.AddFileToZip("outside.txt"));
  EXPECT_FALSE(zipper.AddFileToZip("Music/../../outside.txt"));
  EXPECT_FALSE(zipper.AddFileToZip("../outside.txt"));
  EXPECT_FALSE(zipper.AddFileToZip("/etc/hostname"));
  EXPECT_FALSE(zipper.AddFileToZip(m_dir.string() + "/Music/../../etc/hostname"));
  EXPECT_FALSE(zipper.AddFolderToZip("outside.txt"));
  EXPECT_FALSE(zipper.AddFileToZip("Music"));
  EXPECT_FALSE(zipper.AddFileToZip("missing.txt"));
  {
    CZipper inner;  // the destructor finishes the archive
    ASSERT_TRUE(inner.OpenZip(m_src / "self.zip", m_src));
    EXPECT_TRUE(inner.AddFolderToZip(m_src));  // leaves out the archive itself
  }
  EXPECT_TRUE(zipper.OpenZip(m_dir / "second.zip"));  // closes the first archive
  EXPECT_EQ(Names(Verify(m_zip)), "Music/ Music/a.txt Music/a.txt outside.txt");
  EXPECT_EQ(Names(Verify(m_src / "self.zip")), "a.txt");
}

TEST_F(ZipperTest, FailedWritesAreReported) {
  Write(m_src / "a.txt", std::string(1 << 20, 'a'));
  CZipper zipper;
  ASSERT_TRUE(zipper.OpenZip("/dev/full", m_src));
  zipper.AddFolderToZip(m_src);
  EXPECT_FALSE(zipper.CloseZip());
}

// Takes minutes and 5 GiB of disk: run with --gtest_also_run_disabled_tests.
TEST_F(ZipperTest, DISABLED_ArchivesPast4GiB) {
  // An entry over 4 GiB (sparse, so cheap on disk), then enough incompressible data through
  // hard links that later entries start past 4 GiB.
  const int fd = open((m_src / "a-huge.bin").c_str(), O_CREAT | O_WRONLY, 0644);
  ASSERT_EQ(ftruncate(fd, (4ll << 30) + 12345), 0);
  close(fd);
  std::string noise(64 << 20, '\0');
  std::mt19937_64 random(1);
  for (std::size_t i = 0; i + 8 <= noise.size(); i += 8) {
    const std::uint64_t value = random();
    memcpy(&noise[i], &value, 8);
  }
  Write(m_src / "b-noise" / "00", noise);
  for (int i = 1; i < 66; ++i) {
    fs::create_hard_link(m_src / "b-noise" / "00", m_src / "b-noise" / (std::to_string(100 + i)));
  }
  Write(m_src / "c-last.txt", "last");
  const std::string dump = ZipSource();
  EXPECT_NE(dump.find("a-huge.bin|2048|3|0o100644|0|4294979641|"), std::string::npos) << dump;
  EXPECT_NE(dump.find("c-last.txt|2048|3|0o100644|0|4|"), std::string::npos) << dump;
  EXPECT_GT(fs::file_size(m_zip), 4ull << 30);
  ASSERT_EQ(Shell("cd '" + m_dir.string() + "' && unzip -q out.zip c-last.txt -d x"), 0);
  EXPECT_EQ(Read(m_dir / "x" / "c-last.txt"), "last");
}

}  // namespace

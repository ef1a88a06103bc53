// "-z": the archive of a file or folder, written beside it by the whole program.
#include "app/ZipCommand.h"

#include <gtest/gtest.h>
#include <unzip.h>

#include <filesystem>
#include <map>

#include "ProgramRunner.h"
#include "support/NetworkIsolation.h"

namespace fs = std::filesystem;
using Child = ProgramRunner::Child;

namespace {

// Entry name -> content of every entry of the archive; {"!"} when it cannot be read.
std::map<std::string, std::string> ReadArchive(const std::string& path) {
  std::map<std::string, std::string> entries;
  unzFile archive = unzOpen64(path.c_str());
  if (!archive) return {{"!", "cannot open"}};
  for (int at = unzGoToFirstFile(archive); at == UNZ_OK; at = unzGoToNextFile(archive)) {
    char name[1024];
    unz_file_info64 info{};
    if (unzGetCurrentFileInfo64(archive, &info, name, sizeof name, nullptr, 0, nullptr, 0) !=
            UNZ_OK ||
        unzOpenCurrentFile(archive) != UNZ_OK) {
      entries["!"] = "bad entry";
      break;
    }
    std::string content(info.uncompressed_size, '\0');
    if (!content.empty() &&
        unzReadCurrentFile(archive, content.data(), static_cast<unsigned>(content.size())) !=
            static_cast<int>(content.size()))
      entries["!"] = "short entry";
    if (unzCloseCurrentFile(archive) != UNZ_OK) entries["!"] = "bad checksum";
    entries[name] = content;
  }
  unzClose(archive);
  return entries;
}

void WriteFile(const std::string& path, const std::string& text) {
  std::ofstream(path, std::ios::binary) << text;
}

TEST(ZipArchivePathTest, ExtensionOfTheOwnNameOnly) {
  using tessel::ZipArchivePath;
  EXPECT_EQ(ZipArchivePath("/d/report.txt", false), "/d/report.zip");
  EXPECT_EQ(ZipArchivePath("/d/a.tar.gz", false), "/d/a.tar.zip");
  EXPECT_EQ(ZipArchivePath("/d/readme", false), "/d/readme.zip");
  EXPECT_EQ(ZipArchivePath("report.txt", false), "report.zip");
  EXPECT_EQ(ZipArchivePath("/d/photos/", true), "/d/photos.zip");
  EXPECT_EQ(ZipArchivePath("/d/photos.2024", true), "/d/photos.2024.zip");
  // A dot in a folder above, or the leading dot of a hidden file, starts no extension.
  EXPECT_EQ(ZipArchivePath("/d/my.dir/readme", false), "/d/my.dir/readme.zip");
  EXPECT_EQ(ZipArchivePath("/d/.profile", false), "/d/.profile.zip");
  EXPECT_EQ(ZipArchivePath("/d/.cfg.ini", false), "/d/.cfg.zip");
}

class ZipCommandTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!tessel::test::NetworkIsolated()) GTEST_SKIP() << "no private network namespace";
    data_ = runner_.Root() + "/data";
    fs::create_directories(data_ + "/photos/sub");
    WriteFile(data_ + "/photos/a.jpg", "AAAA");
    WriteFile(data_ + "/photos/sub/b.jpg", "BB");
    WriteFile(data_ + "/photos/.hidden", "h");
  }

  // Runs "tessel args..." in the data folder; its exit status.
  int Zip(const std::vector<std::string>& args) {
    last_ = Child();
    return runner_.Run(last_, args, data_);
  }

  ProgramRunner runner_;
  std::string data_;
  Child last_;
};

TEST_F(ZipCommandTest, FileArchiveHoldsTheBareNameBesideIt) {
  WriteFile(data_ + "/report.txt", "quarterly");
  WriteFile(data_ + "/report.zip", "an older archive, replaced");
  ASSERT_EQ(Zip({"-Z", "report.txt", "ignored"}), 0) << ProgramRunner::Read(last_.err);
  using Entries = std::map<std::string, std::string>;
  EXPECT_EQ(ReadArchive(data_ + "/report.zip"), (Entries{{"report.txt", "quarterly"}}));
  EXPECT_EQ(ProgramRunner::Read(last_.out), data_ + "/report.zip\n");
  // Nothing is started: no instance, no service.
  EXPECT_FALSE(fs::exists(runner_.SocketPath()));

  WriteFile(data_ + "/readme", "read me");
  ASSERT_EQ(Zip({"-z", data_ + "/readme"}), 0);
  EXPECT_EQ(ReadArchive(data_ + "/readme.zip"), (Entries{{"readme", "read me"}}));

  // The archive stays in the file's own folder, whatever dots the folders above have.
  fs::create_directory(data_ + "/v1.2");
  WriteFile(data_ + "/v1.2/notes", "n");
  ASSERT_EQ(Zip({"-z", "v1.2/notes"}), 0);
  EXPECT_EQ(ReadArchive(data_ + "/v1.2/notes.zip"), (Entries{{"notes", "n"}}));
  EXPECT_FALSE(fs::exists(data_ + "/v1.zip"));
}

TEST_F(ZipCommandTest, FolderArchiveHoldsItsContents) {
  using Entries = std::map<std::string, std::string>;
  const Entries expected{{"a.jpg", "AAAA"}, {"sub/", ""}, {"sub/b.jpg", "BB"}};
  ASSERT_EQ(Zip({"-z", data_ + "/photos/"}), 0) << ProgramRunner::Read(last_.err);
  EXPECT_EQ(ReadArchive(data_ + "/photos.zip"), expected);
  fs::remove(data_ + "/photos.zip");
  ASSERT_EQ(Zip({"-z", "photos"}), 0);
  EXPECT_EQ(ReadArchive(data_ + "/photos.zip"), expected);
  // "." is the folder itself, archived beside it under its real name.
  fs::remove(data_ + "/photos.zip");
  last_ = Child();
  ASSERT_EQ(runner_.Run(last_, {"-z", "."}, data_ + "/photos"), 0);
  EXPECT_EQ(ReadArchive(data_ + "/photos.zip"), expected);
}

TEST_F(ZipCommandTest, FailuresLeaveFilesAloneAndAreReported) {
  EXPECT_EQ(Zip({"-z", "missing.txt"}), 1);
  EXPECT_NE(ProgramRunner::Read(last_.err).find("no such file"), std::string::npos);
  EXPECT_FALSE(fs::exists(data_ + "/missing.zip"));

  // The archive of "a.zip" would be a.zip itself: writing it would destroy the file.
  WriteFile(data_ + "/a.zip", "precious");
  EXPECT_EQ(Zip({"-z", "a.zip"}), 1);
  EXPECT_EQ(ProgramRunner::Read(data_ + "/a.zip"), "precious");
  EXPECT_NE(ProgramRunner::Read(last_.err).find("replace the file itself"), std::string::npos);

  // The archive's place is taken by a folder.
  WriteFile(data_ + "/b.txt", "b");
  fs::create_directory(data_ + "/b.zip");
  EXPECT_EQ(Zip({"-z", "b.txt"}), 1);
  EXPECT_NE(ProgramRunner::Read(last_.err).find("cannot create"), std::string::npos);

  EXPECT_EQ(Zip({"-z"}), 2);
}

}  // namespace

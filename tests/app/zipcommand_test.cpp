// "-z": the archive of a file or folder, written beside it by the whole program.
#include "app/ZipCommand.h"

#include <gtest/gtest.h>
#include <unzip.h>

#include <filesystem>
#include <map>

#include "support/NetworkIsolation.h"
#include "support/ProgramRunner.h"

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
    m_data = m_runner.Root() + "/data";
    fs::create_directories(m_data + "/photos/sub");
    WriteFile(m_data + "/photos/a.jpg", "AAAA");
    WriteFile(m_data + "/photos/sub/b.jpg", "BB");
    WriteFile(m_data + "/photos/.hidden", "h");
  }

  // Runs "tessel args..." in the data folder; its exit status.
  int Zip(const std::vector<std::string>& args) {
    m_last = Child();
    return m_runner.Run(m_last, args, m_data);
  }

  ProgramRunner m_runner;
  std::string m_data;
  Child m_last;
};

TEST_F(ZipCommandTest, FileArchiveHoldsTheBareNameBesideIt) {
  WriteFile(m_data + "/report.txt", "quarterly");
  WriteFile(m_data + "/report.zip", "an older archive, replaced");
  ASSERT_EQ(Zip({"-Z", "report.txt", "ignored"}), 0) << ProgramRunner::Read(m_last.err);
  using Entries = std::map<std::string, std::string>;
  EXPECT_EQ(ReadArchive(m_data + "/report.zip"), (Entries{{"report.txt", "quarterly"}}));
  EXPECT_EQ(ProgramRunner::Read(m_last.out), m_data + "/report.zip\n");
  // Nothing is started: no instance, no service.
  EXPECT_FALSE(fs::exists(m_runner.SocketPath()));

  WriteFile(m_data + "/readme", "read me");
  ASSERT_EQ(Zip({"-z", m_data + "/readme"}), 0);
  EXPECT_EQ(ReadArchive(m_data + "/readme.zip"), (Entries{{"readme", "read me"}}));

  // The archive stays in the file's own folder, whatever dots the folders above have.
  fs::create_directory(m_data + "/v1.2");
  WriteFile(m_data + "/v1.2/notes", "n");
  ASSERT_EQ(Zip({"-z", "v1.2/notes"}), 0);
  EXPECT_EQ(ReadArchive(m_data + "/v1.2/notes.zip"), (Entries{{"notes", "n"}}));
  EXPECT_FALSE(fs::exists(m_data + "/v1.zip"));
}

TEST_F(ZipCommandTest, FolderArchiveHoldsItsContents) {
  using Entries = std::map<std::string, std::string>;
  const Entries expected{{"a.jpg", "AAAA"}, {"sub/", ""}, {"sub/b.jpg", "BB"}};
  ASSERT_EQ(Zip({"-z", m_data + "/photos/"}), 0) << ProgramRunner::Read(m_last.err);
  EXPECT_EQ(ReadArchive(m_data + "/photos.zip"), expected);
  fs::remove(m_data + "/photos.zip");
  ASSERT_EQ(Zip({"-z", "photos"}), 0);
  EXPECT_EQ(ReadArchive(m_data + "/photos.zip"), expected);
  // "." is the folder itself, archived beside it under its real name.
  fs::remove(m_data + "/photos.zip");
  m_last = Child();
  ASSERT_EQ(m_runner.Run(m_last, {"-z", "."}, m_data + "/photos"), 0);
  EXPECT_EQ(ReadArchive(m_data + "/photos.zip"), expected);
}

TEST_F(ZipCommandTest, FailuresLeaveFilesAloneAndAreReported) {
  EXPECT_EQ(Zip({"-z", "missing.txt"}), 1);
  EXPECT_NE(ProgramRunner::Read(m_last.err).find("no such file"), std::string::npos);
  EXPECT_FALSE(fs::exists(m_data + "/missing.zip"));

  // The archive of "a.zip" would be a.zip itself: writing it would destroy the file.
  WriteFile(m_data + "/a.zip", "precious");
  EXPECT_EQ(Zip({"-z", "a.zip"}), 1);
  EXPECT_EQ(ProgramRunner::Read(m_data + "/a.zip"), "precious");
  EXPECT_NE(ProgramRunner::Read(m_last.err).find("replace the file itself"), std::string::npos);

  // The archive's place is taken by a folder.
  WriteFile(m_data + "/b.txt", "b");
  fs::create_directory(m_data + "/b.zip");
  EXPECT_EQ(Zip({"-z", "b.txt"}), 1);
  EXPECT_NE(ProgramRunner::Read(m_last.err).find("cannot create"), std::string::npos);

  EXPECT_EQ(Zip({"-z"}), 2);
}

}  // namespace

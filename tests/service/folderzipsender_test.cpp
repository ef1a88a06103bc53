// Folder downloads as zip archives over real loopback connections, checked with unzip.
#include <fcntl.h>
#include <stdlib.h>
#include <sys/resource.h>
#include <sys/wait.h>

#include <atomic>
#include <cstdio>
#include <iostream>
#include <random>
#include <thread>

#include "service/FolderZipSender.h"
#include "service/WebFixture.h"
#include "store/SizeText.h"
#include "support/Eventually.h"
#include "support/Shell.h"

namespace fs = std::filesystem;
using namespace std::chrono_literals;

namespace {

using web::Split;

class FolderZip : public web::WebFixture {
 protected:
  void SetUp() override {
    WebFixture::SetUp();
    // A private temporary folder shows every archive the server leaves behind.
    m_temp = folder / "tmp";
    fs::create_directory(m_temp);
    const char* old = getenv("TMPDIR");
    m_old_temp = old ? old : "";
    m_had_temp = old != nullptr;
    setenv("TMPDIR", m_temp.c_str(), 1);

    web::WriteFile(Local("Music/a.txt"), "alpha");
    web::WriteFile(Local("Music/live/b.mp3"), web::Pattern(100000));
    web::WriteFile(Local("Music/.hidden"), "hidden");
    web::WriteFile(Local("Music/.git/config"), "git");
    web::WriteFile(Local("Music/live/.cache/x"), "cache");
    fs::create_directories(Local("Music/Empty"));
    fs::create_directories(Local("Nothing"));
    Share("Music", Local("Music"));
    Share("Nothing", Local("Nothing"));
  }
  void TearDown() override {
    WebFixture::TearDown();
    if (m_had_temp)
      setenv("TMPDIR", m_old_temp.c_str(), 1);
    else
      unsetenv("TMPDIR");
  }

  // Saves an archive and returns `unzip -Z1` (its entry names in order), after `unzip -t`.
  std::string Entries(const std::string& zip, bool empty = false) {
    const std::string path = folder / "got.zip";
    web::WriteFile(path, zip);
    std::string out;
    EXPECT_EQ(Shell("unzip -tq '" + path + "'", &out), empty ? 1 : 0) << out;
    Shell("unzip -Z1 '" + path + "'", &out);
    return out;
  }
  std::string Extract(const std::string& zip, const std::string& entry) {
    const std::string path = folder / "got.zip";
    web::WriteFile(path, zip);
    std::string out;
    Shell("unzip -p '" + path + "' '" + entry + "'", &out);
    return out;
  }

  std::vector<std::string> TempFiles() const {
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(m_temp))
      names.push_back(entry.path().filename());
    return names;
  }

  // A file of size zero bytes that takes no room on disk; false where sparse files are missing.
  bool MakeZeros(const std::string& path, off_t size) {
    fs::create_directories(fs::path(path).parent_path());
    const int fd = open(path.c_str(), O_CREAT | O_WRONLY | O_TRUNC, 0644);
    const bool made = fd >= 0 && ftruncate(fd, size) == 0;
    if (fd >= 0) close(fd);
    return made;
  }

  // Waits until the temporary folder holds count files.
  bool WaitTempFiles(std::size_t count) {
    for (auto end = std::chrono::steady_clock::now() + 20s; std::chrono::steady_clock::now() < end;
         std::this_thread::sleep_for(2ms))
      if (TempFiles().size() == count) return true;
    return false;
  }

  bool WaitActive(int count) {
    for (auto end = std::chrono::steady_clock::now() + 20s; std::chrono::steady_clock::now() < end;
         std::this_thread::sleep_for(2ms))
      if (pool.CountActive(&service) == count) return true;
    return false;
  }

  bool WaitIdle() {
    return tessel::test::Eventually([&] { return pool.CountActive(&service) == 0; });
  }

  fs::path m_temp;
  std::string m_old_temp;
  bool m_had_temp = false;
};

TEST_F(FolderZip, SendsTheFolderTreeWithoutHiddenItems) {
  web::Reply reply = Split(Get("/download.htm?file=Music&zip=1"));
  EXPECT_EQ(reply.head.rfind("HTTP/1.0 200 OK\r\n", 0), 0u) << reply.head;
  EXPECT_NE(reply.head.find("Content-Disposition: attachment; filename=\"Music.zip\""),
            std::string::npos);
  EXPECT_NE(reply.head.find("Content-Length: " + std::to_string(reply.body.size()) + "\r\n"),
            std::string::npos);
  // The folder's items are the top entries, sorted, each folder before what it holds.
  EXPECT_EQ(Entries(reply.body), "a.txt\nEmpty/\nlive/\nlive/b.mp3\n");
  EXPECT_EQ(Extract(reply.body, "live/b.mp3"), web::Pattern(100000));
  EXPECT_EQ(Extract(reply.body, "a.txt"), "alpha");

  // A folder below a share, and an empty share.
  reply = Split(Get("/download.htm?file=Music%5Clive&zip=1"));
  EXPECT_NE(reply.head.find("filename=\"live.zip\""), std::string::npos);
  EXPECT_EQ(Entries(reply.body), "b.mp3\n");
  reply = Split(Get("/download.htm?file=Nothing&zip=1"));
  EXPECT_NE(reply.head.find("filename=\"Nothing.zip\""), std::string::npos);
  EXPECT_EQ(reply.body.size(), 22u);  // the end record alone
  Entries(reply.body, true);

  // Around each archive: the start and end lines.
  int lines = 0;
  for (const std::string& line : LogLines())
    lines += line.find("download folder") != std::string::npos;
  EXPECT_EQ(lines, 6);
  EXPECT_TRUE(WaitIdle());
  EXPECT_TRUE(TempFiles().empty());
}

TEST_F(FolderZip, HonoursARangeAndBuildsEachArchiveAfresh) {
  const std::string whole = Split(Get("/download.htm?file=Music&zip=1")).body;
  ASSERT_GT(whole.size(), 1000u);
  web::Reply part = Split(Get("/download.htm?file=Music&zip=1", "Range: bytes=100-599\r\n"));
  EXPECT_EQ(part.head.rfind("HTTP/1.0 206 Partial Content\r\n", 0), 0u) << part.head;
  EXPECT_NE(part.head.find("Content-Range: bytes 100-599/" + std::to_string(whole.size())),
            std::string::npos);
  EXPECT_EQ(part.body, whole.substr(100, 500));
  web::Reply rest = Split(Get("/download.htm?file=Music&zip=1", "Range: bytes=600-\r\n"));
  EXPECT_EQ(whole.substr(0, 100) + part.body + rest.body, whole);
  // Each end line says what was sent of the part asked for, as a file's does.
  std::vector<std::string> ends;
  for (const std::string& line : LogLines())
    if (line.find("download folder end Music") != std::string::npos) ends.push_back(line);
  const auto amounts = [](std::uint64_t sent, std::uint64_t total) {
    return "(" + FormatSize(static_cast<std::int64_t>(sent)) + "/" +
           FormatSize(static_cast<std::int64_t>(total)) + ")";
  };
  ASSERT_EQ(ends.size(), 3u);
  EXPECT_NE(ends[0].find(amounts(whole.size(), whole.size())), std::string::npos) << ends[0];
  EXPECT_NE(ends[1].find(amounts(500, 500)), std::string::npos) << ends[1];
  EXPECT_NE(ends[2].find(amounts(rest.body.size(), whole.size() - 600)), std::string::npos)
      << ends[2];

  // Parallel downloads of one folder build separate archives, none left behind.
  std::string bodies[4];
  std::thread clients[4];
  for (int i = 0; i < 4; ++i)
    clients[i] =
        std::thread([&, i] { bodies[i] = Split(Get("/download.htm?file=Music&zip=1")).body; });
  for (auto& client : clients) client.join();
  for (const std::string& body : bodies) EXPECT_EQ(body, whole);
  EXPECT_TRUE(WaitIdle());
  EXPECT_TRUE(TempFiles().empty());
}

TEST_F(FolderZip, DeletesTheArchiveWhenTheClientLeaves) {
  // Incompressible data, so the archive outgrows the socket buffers and the send has to wait.
  std::string noise(8 << 20, '\0');
  std::mt19937 random(1);
  for (char& c : noise) c = static_cast<char>(random());
  web::WriteFile(Local("Big/noise.bin"), noise);
  Share("Big", Local("Big"));

  int fd = loopback::ConnectFrom("127.0.0.1", service.Port());
  ASSERT_GE(fd, 0);
  loopback::Send(fd, "GET /download.htm?file=Big&zip=1 HTTP/1.1\r\n\r\n");
  char head[16];
  ASSERT_EQ(recv(fd, head, sizeof head, MSG_WAITALL), 16);
  std::vector<std::string> during = TempFiles();
  ASSERT_EQ(during.size(), 1u);
  EXPECT_EQ(during[0].rfind("Tem", 0), 0u);
  close(fd);
  EXPECT_TRUE(WaitIdle());
  EXPECT_TRUE(TempFiles().empty());

  // No temporary folder to write in: nothing is sent, and the request is still logged.
  setenv("TMPDIR", (folder / "missing").c_str(), 1);
  const std::size_t logged = LogLines().size();
  EXPECT_EQ(Get("/download.htm?file=Music&zip=1"), "");
  EXPECT_EQ(LogLines().size(), logged + 2);
  EXPECT_EQ(CFolderZipSender::TempFolder(), folder / "missing");
  setenv("TMPDIR", "", 1);
  EXPECT_EQ(CFolderZipSender::TempFolder(), "/tmp");
}

TEST_F(FolderZip, AStopDoesNotWaitForTheArchive) {
  // 2 GiB of zeros (sparse, so free on disk) take several seconds to pack.
  if (!MakeZeros(Local("Huge/zeros.bin"), 2ll << 30)) GTEST_SKIP() << "no sparse files here";
  Share("Huge", Local("Huge"));

  std::string reply = "none yet";
  std::thread client([&] { reply = Get("/download.htm?file=Huge&zip=1"); });
  tessel::test::Eventually([&] { return !TempFiles().empty(); });
  ASSERT_EQ(TempFiles().size(), 1u);
  const auto start = std::chrono::steady_clock::now();
  service.Stop();
  EXPECT_LT(std::chrono::steady_clock::now() - start, tessel::test::Scaled(2s));
  client.join();
  EXPECT_EQ(reply, "");  // a part-built archive is never offered
  EXPECT_TRUE(TempFiles().empty());
}

double CpuSeconds() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  return double(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
         double(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

TEST_F(FolderZip, AnAbandonedArchiveStopsAndIsDeleted) {
  // Packing 8 GiB of zeros would keep a core busy for a minute or more.
  if (!MakeZeros(Local("Huge/zeros.bin"), 8ll << 30)) GTEST_SKIP() << "no sparse files here";
  Share("Huge", Local("Huge"));

  int fd = loopback::ConnectFrom("127.0.0.1", service.Port());
  ASSERT_GE(fd, 0);
  loopback::Send(fd, "GET /download.htm?file=Huge&zip=1 HTTP/1.0\r\n\r\n");
  ASSERT_TRUE(WaitTempFiles(1));
  std::this_thread::sleep_for(1s);
  close(fd);
  const auto closed = std::chrono::steady_clock::now();
  // Generous bounds for a loaded machine; the building itself checks every 256 KiB.
  ASSERT_TRUE(WaitIdle());
  const auto took = std::chrono::steady_clock::now() - closed;
  EXPECT_LT(took, 5s);
  EXPECT_TRUE(TempFiles().empty());
  std::cout << "[ figure ] building ended "
            << std::chrono::duration_cast<std::chrono::milliseconds>(took).count()
            << " ms after the client closed\n";
  // Nothing goes on packing in the background.
  const double before = CpuSeconds();
  std::this_thread::sleep_for(500ms);
  EXPECT_LT(CpuSeconds() - before, 0.2);
}

TEST_F(FolderZip, AtMostFourArchivesAtOnceTheRestWaitInTurn) {
  // Holders: archives too big for the socket buffers, whose clients read nothing, so each send,
  // and with it its slot, lasts until its client goes.
  std::string noise(8 << 20, '\0');
  std::mt19937 random(2);
  for (char& c : noise) c = static_cast<char>(random());
  web::WriteFile(Local("Big/noise.bin"), noise);
  Share("Big", Local("Big"));
  const std::string music = Split(Get("/download.htm?file=Music&zip=1")).body;
  ASSERT_GT(music.size(), 1000u);

  std::vector<int> holders;
  for (int i = 0; i < 4; ++i) {
    holders.push_back(loopback::ConnectFrom("127.0.0.1", service.Port()));
    ASSERT_GE(holders.back(), 0);
    loopback::Send(holders.back(), "GET /download.htm?file=Big&zip=1 HTTP/1.0\r\n\r\n");
  }
  for (int fd : holders) {
    char head[16];
    ASSERT_EQ(recv(fd, head, sizeof head, MSG_WAITALL), 16);
  }
  ASSERT_EQ(TempFiles().size(), 4u);

  // A fifth waits with no reply and no temporary file; when its client leaves, so does it.
  const int fifth = loopback::ConnectFrom("127.0.0.1", service.Port());
  loopback::Send(fifth, "GET /download.htm?file=Music&zip=1 HTTP/1.0\r\n\r\n");
  ASSERT_TRUE(WaitActive(5));
  std::this_thread::sleep_for(300ms);
  char byte;
  EXPECT_EQ(recv(fifth, &byte, 1, MSG_DONTWAIT), -1);
  EXPECT_EQ(TempFiles().size(), 4u);
  close(fifth);
  EXPECT_TRUE(WaitActive(4));

  // A sixth gets the first slot that frees, and its whole archive.
  std::string sixth;
  std::thread client([&] { sixth = Get("/download.htm?file=Music&zip=1"); });
  ASSERT_TRUE(WaitActive(5));
  close(holders[0]);
  client.join();
  EXPECT_EQ(Split(sixth).body, music);

  for (std::size_t i = 1; i < holders.size(); ++i) close(holders[i]);
  EXPECT_TRUE(WaitIdle());
  EXPECT_TRUE(TempFiles().empty());
}

}  // namespace

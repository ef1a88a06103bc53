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

#include "service/Connection.h"
#include "service/FolderZipSender.h"
#include "service/SlotQueue.h"
#include "service/WebFixture.h"
#include "service/ZipCrcCache.h"
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

// Incompressible data, so the archive outgrows the socket buffers and the send has to wait.
std::string Noise(std::size_t size, unsigned seed) {
  std::string noise(size, '\0');
  std::mt19937 random(seed);
  for (char& c : noise) c = static_cast<char>(random());
  return noise;
}

std::string Header(const std::string& head, const std::string& name) {
  const std::size_t at = head.find("\r\n" + name + ": ");
  if (at == std::string::npos) return "";
  const std::size_t from = at + name.size() + 4;
  return head.substr(from, head.find("\r\n", from) - from);
}

TEST_F(FolderZip, StartsAtOnceWithNoTemporaryFileAndEndsWhenTheClientLeaves) {
  web::WriteFile(Local("Big/noise.bin"), Noise(8 << 20, 1));
  Share("Big", Local("Big"), FileShareRecord::kModeAuth);
  // The temporary folder shared with everyone: nothing of a login-only folder may show there.
  Share("Temp", m_temp);

  int fd = loopback::ConnectFrom("127.0.0.1", service.Port());
  ASSERT_GE(fd, 0);
  loopback::Send(fd, "GET /download.htm?file=Big&zip=1 HTTP/1.1\r\nConnection: close\r\n\r\n");
  char head[16];
  ASSERT_EQ(recv(fd, head, sizeof head, MSG_WAITALL), 16);
  EXPECT_EQ(std::string(head, 16), "HTTP/1.0 200 OK\r");
  EXPECT_TRUE(TempFiles().empty());
  const web::Reply listing = Split(Get("/download.htm?file=Temp", "", web::kStranger));
  EXPECT_EQ(listing.body.find("noise"), std::string::npos);
  EXPECT_EQ(listing.body.find("Tem"), std::string::npos);
  close(fd);
  const auto closed = std::chrono::steady_clock::now();
  EXPECT_TRUE(WaitIdle());
  EXPECT_LT(std::chrono::steady_clock::now() - closed, tessel::test::Scaled(2s));
}

TEST_F(FolderZip, AFileChangedWhileSentKeepsTheLengthAndTheLogNamesIt) {
  if (!MakeZeros(Local("Shift/a.bin"), 64 << 20)) GTEST_SKIP() << "no sparse files here";
  web::WriteFile(Local("Shift/b.txt"), web::Pattern(100000));
  Share("Shift", Local("Shift"));
  int fd = loopback::ConnectFrom("127.0.0.1", service.Port());
  ASSERT_GE(fd, 0);
  loopback::Send(fd, "GET /download.htm?file=Shift&zip=1 HTTP/1.0\r\n\r\n");
  char first[16];
  ASSERT_EQ(recv(fd, first, sizeof first, MSG_WAITALL), 16);
  // The sender is held up by the zeros before it; b.txt shrinks meanwhile.
  fs::resize_file(Local("Shift/b.txt"), 10);
  const web::Reply reply = Split(std::string(first, 16) + loopback::ReadAll(fd));
  close(fd);
  EXPECT_EQ(Header(reply.head, "Content-Length"), std::to_string(reply.body.size()));
  EXPECT_EQ(Extract(reply.body, "b.txt"), web::Pattern(10) + std::string(99990, '\0'));
  ASSERT_TRUE(WaitIdle());
  const std::vector<std::string> lines = LogLines();
  ASSERT_FALSE(lines.empty());
  EXPECT_NE(lines.back().find("download folder end Shift (changed while sent: b.txt)("),
            std::string::npos)
      << lines.back();
}

TEST_F(FolderZip, AStopEndsTheSend) {
  // 2 GiB of zeros (sparse, so free on disk) take several seconds to send.
  if (!MakeZeros(Local("Huge/zeros.bin"), 2ll << 30)) GTEST_SKIP() << "no sparse files here";
  Share("Huge", Local("Huge"));

  int fd = loopback::ConnectFrom("127.0.0.1", service.Port());
  ASSERT_GE(fd, 0);
  loopback::Send(fd, "GET /download.htm?file=Huge&zip=1 HTTP/1.0\r\n\r\n");
  char head[16];
  ASSERT_EQ(recv(fd, head, sizeof head, MSG_WAITALL), 16);
  const auto start = std::chrono::steady_clock::now();
  service.Stop();
  EXPECT_LT(std::chrono::steady_clock::now() - start, tessel::test::Scaled(2s));
  close(fd);
}

double CpuSeconds() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  return double(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
         double(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

TEST_F(FolderZip, AnAbandonedSendStopsAtOnce) {
  if (!MakeZeros(Local("Huge/zeros.bin"), 8ll << 30)) GTEST_SKIP() << "no sparse files here";
  Share("Huge", Local("Huge"));

  int fd = loopback::ConnectFrom("127.0.0.1", service.Port());
  ASSERT_GE(fd, 0);
  loopback::Send(fd, "GET /download.htm?file=Huge&zip=1 HTTP/1.0\r\n\r\n");
  char block[64 << 10];
  for (int i = 0; i < 100; ++i) ASSERT_GT(recv(fd, block, sizeof block, 0), 0);
  close(fd);
  const auto closed = std::chrono::steady_clock::now();
  ASSERT_TRUE(WaitIdle());
  const auto took = std::chrono::steady_clock::now() - closed;
  EXPECT_LT(took, tessel::test::Scaled(1s));
  std::cout << "[ figure ] the send ended "
            << std::chrono::duration_cast<std::chrono::milliseconds>(took).count()
            << " ms after the client closed\n";
  // Nothing goes on reading in the background.
  const double before = CpuSeconds();
  std::this_thread::sleep_for(500ms);
  EXPECT_LT(CpuSeconds() - before, 0.2);
}

TEST_F(FolderZip, SlowReadersHoldNoSlotAndTwelveAtOnceGetOneArchive) {
  web::WriteFile(Local("Big/noise.bin"), Noise(8 << 20, 2));
  Share("Big", Local("Big"));
  const std::string music = Split(Get("/download.htm?file=Music&zip=1")).body;
  ASSERT_GT(music.size(), 1000u);

  // More clients than walks may run at once, reading nothing: their sends wait, holding no slot.
  std::vector<int> holders;
  for (int i = 0; i < CFolderZipSender::kMaxWalks + 2; ++i) {
    holders.push_back(loopback::ConnectFrom("127.0.0.1", service.Port()));
    ASSERT_GE(holders.back(), 0);
    loopback::Send(holders.back(), "GET /download.htm?file=Big&zip=1 HTTP/1.0\r\n\r\n");
  }
  for (int fd : holders) {
    char head[16];
    ASSERT_EQ(recv(fd, head, sizeof head, MSG_WAITALL), 16);
  }
  std::vector<std::string> bodies(12);
  std::vector<std::thread> clients;
  for (int i = 0; i < 12; ++i)
    clients.emplace_back([&, i] { bodies[i] = Split(Get("/download.htm?file=Music&zip=1")).body; });
  for (std::thread& client : clients) client.join();
  for (const std::string& body : bodies) EXPECT_EQ(body, music);
  for (int fd : holders) close(fd);
  EXPECT_TRUE(WaitIdle());
  EXPECT_TRUE(TempFiles().empty());
}

TEST_F(FolderZip, RealClientsResumeAndARangeOfAChangedFolderStartsOver) {
  web::WriteFile(Local("Music/Grüße/noise.bin"), Noise(3 << 20, 3));
  const std::string url =
      "http://127.0.0.1:" + std::to_string(service.Port()) + "/download.htm?file=Music&zip=1";
  const std::string got = folder / "got.zip";
  const std::string part = folder / "part.zip";
  std::string out;
  ASSERT_EQ(Shell("curl -sf -o '" + got + "' '" + url + "'", &out), 0) << out;
  const std::string whole = web::ReadFile(got);
  for (const char* check : {"unzip -tq", "7z t", "bsdtar -tf", "python3 -m zipfile -t"})
    EXPECT_EQ(Shell(std::string(check) + " '" + got + "'", &out), 0) << check << out;
  EXPECT_EQ(Shell("bsdtar -xOf '" + got + "' 'Grüße/noise.bin' | cmp - '" +
                  Local("Music/Grüße/noise.bin") + "'"),
            0);

  // Cut off at half, then resumed; and a middle part.
  web::WriteFile(part, whole.substr(0, whole.size() / 2));
  ASSERT_EQ(Shell("curl -sf -C - -o '" + part + "' '" + url + "'", &out), 0) << out;
  EXPECT_TRUE(web::ReadFile(part) == whole);
  ASSERT_EQ(Shell("curl -sf -r 1000-2000000 -o '" + part + "' '" + url + "'", &out), 0) << out;
  EXPECT_TRUE(web::ReadFile(part) == whole.substr(1000, 1999001));

  // If-Range: the archive's own tag keeps the range; once a file changed, the whole new archive.
  const web::Reply first = Split(Get("/download.htm?file=Music&zip=1", "Range: bytes=0-9\r\n"));
  const std::string etag = Header(first.head, "ETag");
  ASSERT_FALSE(etag.empty()) << first.head;
  web::Reply reply = Split(
      Get("/download.htm?file=Music&zip=1", "Range: bytes=100-\r\nIf-Range: " + etag + "\r\n"));
  EXPECT_EQ(reply.head.rfind("HTTP/1.0 206 ", 0), 0u) << reply.head;
  EXPECT_TRUE(reply.body == whole.substr(100));
  web::WriteFile(Local("Music/a.txt"), "alpha, longer");
  reply = Split(
      Get("/download.htm?file=Music&zip=1", "Range: bytes=100-\r\nIf-Range: " + etag + "\r\n"));
  EXPECT_EQ(reply.head.rfind("HTTP/1.0 200 OK\r\n", 0), 0u) << reply.head;
  EXPECT_NE(Header(reply.head, "ETag"), etag);
  EXPECT_EQ(Header(reply.head, "Content-Length"), std::to_string(reply.body.size()));
  EXPECT_EQ(Extract(reply.body, "a.txt"), "alpha, longer");
}

TEST_F(FolderZip, AWalkWaitsForASlotAtMostItsTimeThen503) {
  CSlotQueue slots(1);
  CZipCrcCache crcs;
  ASSERT_EQ(slots.Acquire(
                "10.0.0.9", [] { return true; }, 0ms),
            CSlotQueue::Outcome::kTaken);
  const CFolderZipSender sender(slots, crcs, 300ms);
  int pair[2];
  ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, pair), 0);
  ConnectionRules rules;
  rules.running = true;
  HttpRequest request;
  request.client_ip = "10.0.0.1";
  CFolderZipSender::Report report;
  const auto start = std::chrono::steady_clock::now();
  {
    CConnection connection(pair[0], rules);
    EXPECT_EQ(sender.SendFolderZip(connection, Local("Music"), request, report).status, 503);
  }
  EXPECT_LT(std::chrono::steady_clock::now() - start, tessel::test::Scaled(2s));
  EXPECT_TRUE(report.busy);
  close(pair[0]);
  EXPECT_EQ(loopback::ReadAll(pair[1]),
            "HTTP/1.0 503 Service Unavailable\r\nRetry-After: 10\r\nContent-Length: 0\r\n\r\n");
  close(pair[1]);
  slots.Release("10.0.0.9");
}

TEST(SlotQueue, AnOwnerHoldingASlotWaitsBehindOthers) {
  CSlotQueue slots(2);
  const auto yes = [] { return true; };
  ASSERT_EQ(slots.Acquire("a", yes, 0ms), CSlotQueue::Outcome::kTaken);
  ASSERT_EQ(slots.Acquire("c", yes, 0ms), CSlotQueue::Outcome::kTaken);
  std::vector<std::string> order;
  std::mutex mutex;
  const auto take = [&](const std::string& owner) {
    if (slots.Acquire(owner, yes, 5s, 10ms) != CSlotQueue::Outcome::kTaken) return;
    std::lock_guard lock(mutex);
    order.push_back(owner);
  };
  std::thread second_a([&] { take("a"); });
  ASSERT_TRUE(tessel::test::Eventually([&] { return slots.Waiting() == 1; }));
  std::thread b([&] { take("b"); });
  ASSERT_TRUE(tessel::test::Eventually([&] { return slots.Waiting() == 2; }));
  slots.Release("c");
  b.join();
  EXPECT_EQ(slots.Waiting(), 1);
  slots.Release("a");
  second_a.join();
  EXPECT_EQ(order, (std::vector<std::string>{"b", "a"}));
  slots.Release("a");
  slots.Release("b");
  // Given up or timed out, the place is left.
  ASSERT_EQ(slots.Acquire("c", yes, 0ms), CSlotQueue::Outcome::kTaken);
  ASSERT_EQ(slots.Acquire("c", yes, 0ms), CSlotQueue::Outcome::kTaken);
  EXPECT_EQ(slots.Acquire("d", yes, 50ms, 10ms), CSlotQueue::Outcome::kTimedOut);
  EXPECT_EQ(slots.Acquire(
                "d", [] { return false; }, 5s, 10ms),
            CSlotQueue::Outcome::kGaveUp);
  EXPECT_EQ(slots.Waiting(), 0);
}

}  // namespace

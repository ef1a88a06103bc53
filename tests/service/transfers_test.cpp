// The registry of running transfers: on its own, and fed by real downloads and uploads.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <thread>

#include "WebFixture.h"
#include "service/Connection.h"
#include "service/TransferRegistry.h"
#include "support/Eventually.h"

namespace {

using Direction = CTransferRegistry::Direction;
using tessel::test::Eventually;

// A connected pair of sockets, closed at the end.
struct SocketPair {
  SocketPair() { socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds); }
  ~SocketPair() {
    close(fds[0]);
    close(fds[1]);
  }
  int fds[2] = {-1, -1};
};

TEST(TransferRegistryTest, RegistersCountsStopsAndForgets) {
  CTransferRegistry registry;
  ConnectionRules rules;
  rules.running = true;
  SocketPair first_pair, second_pair;
  CConnection first(first_pair.fds[0], rules), second(second_pair.fds[0], rules);
  const std::string account = "ann", address = "192.168.1.5", item = "film.mkv";
  std::uint64_t stopped_id = 0;
  {
    CTransferRegistry::Transfer download(&registry, first, account, address, item,
                                         Direction::kDownload, 1000);
    {
      CTransferRegistry::Transfer upload(&registry, second, "", address, "", Direction::kUpload,
                                         -1);
      first.AddProgress(300);
      first.AddProgress(200);
      second.AddProgress(7);
      upload.SetItem("photo.jpg");
      upload.SetTotal(50);
      const auto rows = registry.Snapshot();
      ASSERT_EQ(rows.size(), 2u);
      // Oldest first, each as registered and counted so far.
      struct Expected {
        std::string account, item;
        Direction direction;
        std::uint64_t bytes;
        std::int64_t total;
      } expected[] = {{"ann", "film.mkv", Direction::kDownload, 500, 1000},
                      {"", "photo.jpg", Direction::kUpload, 7, 50}};
      for (std::size_t i = 0; i < 2; ++i) {
        SCOPED_TRACE(i);
        EXPECT_EQ(rows[i].account, expected[i].account);
        EXPECT_EQ(rows[i].address, address);
        EXPECT_EQ(rows[i].item, expected[i].item);
        EXPECT_EQ(rows[i].direction, expected[i].direction);
        EXPECT_EQ(rows[i].bytes, expected[i].bytes);
        EXPECT_EQ(rows[i].total, expected[i].total);
      }
      EXPECT_LT(rows[0].id, rows[1].id);
      stopped_id = rows[1].id;
      // Stop shuts the connection down: its peer reads the end at once, and it says so.
      EXPECT_TRUE(registry.Stop(stopped_id));
      EXPECT_TRUE(upload.Stopped());
      EXPECT_FALSE(download.Stopped());
      char byte = 0;
      EXPECT_EQ(recv(second_pair.fds[1], &byte, 1, MSG_DONTWAIT), 0);
      EXPECT_FALSE(second.SendString("more"));
    }
    // Gone when it ended; counting on its connection ends with it.
    ASSERT_EQ(registry.Count(), 1u);
    second.AddProgress(5);
    EXPECT_EQ(registry.Snapshot()[0].item, "film.mkv");
    EXPECT_FALSE(registry.Stop(stopped_id));
  }
  EXPECT_TRUE(registry.Snapshot().empty());
  // Without a registry a transfer is nothing.
  CTransferRegistry::Transfer none(nullptr, first, account, address, item, Direction::kDownload, 1);
  first.AddProgress(1);
  EXPECT_EQ(registry.Count(), 0u);
}

TEST(TransferRegistryTest, ConcurrentTransfersCountEveryByteWhileSnapshotsRun) {
  constexpr int kThreads = 8, kRounds = 200, kAdds = 50;
  CTransferRegistry registry;
  ConnectionRules rules;
  std::atomic<bool> done{false};
  std::atomic<std::uint64_t> seen_rows{0};
  std::thread watcher([&] {
    while (!done) {
      for (const auto& row : registry.Snapshot()) {
        EXPECT_LE(row.bytes, static_cast<std::uint64_t>(kAdds));
        ++seen_rows;
      }
    }
  });
  std::vector<std::thread> workers;
  for (int t = 0; t < kThreads; ++t) {
    workers.emplace_back([&] {
      CConnection connection(-1, rules);
      for (int round = 0; round < kRounds; ++round) {
        CTransferRegistry::Transfer transfer(&registry, connection, "", "127.0.0.1", "f",
                                             Direction::kDownload, kAdds);
        for (int i = 0; i < kAdds; ++i) connection.AddProgress(1);
      }
    });
  }
  for (auto& worker : workers) worker.join();
  done = true;
  watcher.join();
  EXPECT_EQ(registry.Count(), 0u);
  EXPECT_TRUE(registry.Snapshot().empty());
}

// Real transfers through the service: a client that reads (or sends) slowly keeps its transfer
// running while the registry is watched and the owner stops it.
class TransfersServiceTest : public web::WebFixture {
 protected:
  // The one transfer running, once there is one.
  CTransferRegistry::Row WaitForRow() {
    CTransferRegistry::Row found;
    EXPECT_TRUE(Eventually([&] {
      const auto rows = stack.transfers.Snapshot();
      if (rows.size() != 1) return false;
      found = rows[0];
      return true;
    }));
    return found;
  }

  // Reads what is left, until the end: true when the connection ended within the patience.
  static bool ReadsToEnd(int fd) {
    timeval patience{5, 0};
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &patience, sizeof patience);
    char buffer[1 << 16];
    for (;;) {
      const ssize_t got = recv(fd, buffer, sizeof buffer, 0);
      if (got == 0 || (got < 0 && errno == ECONNRESET)) return true;
      if (got < 0) return false;
    }
  }

  bool Logged(const std::string& text) {
    return Eventually([&] {
      const auto lines = LogLines();
      return std::any_of(lines.begin(), lines.end(), [&](const std::string& line) {
        return line.find(text) != std::string::npos;
      });
    });
  }
};

TEST_F(TransfersServiceTest, ADownloadShowsItsBytesRiseAndEndsWhenStopped) {
  // Far more than the socket buffers hold, so the download waits on the client.
  const std::string path = Local("big.bin");
  web::WriteFile(path, "");
  ASSERT_EQ(truncate(path.c_str(), 256 << 20), 0);
  Share("big.bin", path);
  const int fd = loopback::Connect(service.Port());
  ASSERT_GE(fd, 0);
  loopback::Send(
      fd,
      "GET /download.htm?file=big.bin HTTP/1.1\r\nHost: localhost\r\nConnection: close\r\n\r\n");
  const CTransferRegistry::Row row = WaitForRow();
  EXPECT_EQ(row.item, "big.bin");
  EXPECT_EQ(row.account, "local");
  EXPECT_EQ(row.address, "127.0.0.1");
  EXPECT_EQ(row.direction, Direction::kDownload);
  EXPECT_EQ(row.total, 256 << 20);
  // As the client reads, the count follows.
  char buffer[1 << 16];
  std::size_t read_so_far = 0;
  while (read_so_far < (8u << 20)) {
    const ssize_t got = recv(fd, buffer, sizeof buffer, 0);
    ASSERT_GT(got, 0);
    read_so_far += static_cast<std::size_t>(got);
  }
  EXPECT_TRUE(Eventually([&] {
    const auto rows = stack.transfers.Snapshot();
    return rows.size() == 1 && rows[0].bytes > row.bytes && rows[0].bytes >= (7u << 20);
  }));
  ASSERT_TRUE(stack.transfers.Stop(row.id));
  EXPECT_TRUE(ReadsToEnd(fd));
  close(fd);
  EXPECT_TRUE(Logged("download file end big.bin (stopped)("));
  EXPECT_TRUE(Eventually([&] { return stack.transfers.Count() == 0; }));
}

TEST_F(TransfersServiceTest, AnUploadIsNamedOnceItsFileIsAndEndsWhenStopped) {
  const std::string boundary = "XyZ";
  const std::string body_head = "--" + boundary +
                                "\r\nContent-Disposition: form-data; name=\"file\"; "
                                "filename=\"holiday.jpg\"\r\nContent-Type: image/jpeg\r\n\r\n";
  const int fd = loopback::Connect(service.Port());
  ASSERT_GE(fd, 0);
  loopback::Send(fd,
                 "POST /upload HTTP/1.1\r\nHost: localhost\r\nConnection: close\r\n"
                 "Content-Type: multipart/form-data; boundary=" +
                     boundary + "\r\nContent-Length: 1000000\r\n\r\n" + body_head +
                     std::string(1000, 'x'));
  EXPECT_TRUE(Eventually([&] {
    const auto rows = stack.transfers.Snapshot();
    return rows.size() == 1 && rows[0].item == "holiday.jpg" && rows[0].bytes == 1000;
  }));
  const CTransferRegistry::Row row = WaitForRow();
  EXPECT_EQ(row.account, "local");
  EXPECT_EQ(row.direction, Direction::kUpload);
  EXPECT_GT(row.total, 990000);
  ASSERT_TRUE(stack.transfers.Stop(row.id));
  EXPECT_TRUE(ReadsToEnd(fd));
  close(fd);
  EXPECT_TRUE(Logged("user(local:127.0.0.1) upload file stopped"));
  EXPECT_TRUE(Eventually([&] { return stack.transfers.Count() == 0; }));
}

TEST_F(TransfersServiceTest, PagesAndIconsAreNoTransfers) {
  web::WriteFile(Local("small.txt"), "hello");
  Share("small.txt", Local("small.txt"));
  const std::string page = Get("/");
  EXPECT_NE(page.find("200"), std::string::npos);
  EXPECT_EQ(stack.transfers.Count(), 0u);
  // A download's row is gone as soon as it ended, and its end line is the usual one.
  EXPECT_NE(Get("/download.htm?file=small.txt").find("hello"), std::string::npos);
  EXPECT_EQ(stack.transfers.Count(), 0u);
  EXPECT_TRUE(Logged("download file end small.txt(0.1 K/0.1 K)"));
}

}  // namespace

#include "service/ServiceBasic.h"

#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstring>

#include <functional>
#include <memory>
#include <string>

#include <thread>
#include <vector>

#include "service/ThreadPool.h"
#include "support/Eventually.h"
#include "support/Loopback.h"

namespace {

using namespace std::chrono_literals;
using namespace loopback;
using Clock = std::chrono::steady_clock;
using tessel::test::Eventually;
using tessel::test::Scaled;

class TestService : public CServiceBasic {
 public:
  using CServiceBasic::CServiceBasic;
  ~TestService() override { Stop(); }
  bool Handle(CConnection& connection) override {
    if (handler) handler(connection);
    return true;
  }
  std::function<void(CConnection&)> handler;
};

// A running service (its socket operations work only then) and a connected loopback pair.
class LoopbackPair : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(service.Start(FreePort()));
    int port = 0;
    int listener = Listen(&port);
    client = Connect(port);
    server = accept(listener, nullptr, nullptr);
    close(listener);
    ASSERT_GE(server, 0);
    connection.Open(server, service.Rules(), {}, Clock::now(), false);
  }
  void TearDown() override {
    close(client);
    close(server);
  }
  std::string ReadLine(bool expected_result = true, std::size_t capacity = 4096) {
    std::string line;
    EXPECT_EQ(connection.ReadLine(line, capacity), expected_result);
    return line;
  }

  CThreadPool pool;
  TestService service{pool, 300ms};
  int client = -1;
  int server = -1;
  CConnection connection;
};

TEST_F(LoopbackPair, ReadLineStopsAtTheLineEndAndLeavesTheBody) {
  Send(client, "GET / HTTP/1.0\r\nHost: x\r\n\r\nBODY");
  EXPECT_EQ(ReadLine(), "GET / HTTP/1.0");
  EXPECT_EQ(ReadLine(), "Host: x");
  EXPECT_EQ(ReadLine(), "");
  char body[8] = {};
  EXPECT_EQ(recv(server, body, sizeof body, 0), 4);
  EXPECT_STREQ(body, "BODY");
}

TEST_F(LoopbackPair, ReadLineSplitsLongLinesAndEndsLinesAtALoneCr) {
  Send(client, std::string(5000, 'a') + "\r\n");
  EXPECT_EQ(ReadLine(), std::string(4093, 'a'));
  EXPECT_EQ(ReadLine(), std::string(907, 'a'));

  // The CR arrives alone: it ends the line, and the late LF makes an empty one.
  Send(client, "abc\r");
  EXPECT_EQ(ReadLine(), "abc");
  Send(client, "\n");
  EXPECT_EQ(ReadLine(), "");

  Send(client, "x\ry");
  EXPECT_EQ(ReadLine(), "x");
  EXPECT_EQ(ReadLine(false, 3), "");  // no room at all
  shutdown(client, SHUT_WR);
  EXPECT_EQ(ReadLine(false), "y");  // the connection ended before a line end
}

TEST_F(LoopbackPair, ReadLineGivesUpAfterTheIdleLimit) {
  auto start = Clock::now();
  EXPECT_EQ(ReadLine(false), "");
  EXPECT_GE(Clock::now() - start, 300ms);
  EXPECT_LT(Clock::now() - start, Scaled(2s));
  Send(client, "par");
  EXPECT_EQ(ReadLine(true), "par");  // part of a line had arrived
}

TEST_F(LoopbackPair, UrgentDataNeitherWakesNorSpinsTheWait) {
  auto thread_cpu = [] {
    rusage usage{};
    getrusage(RUSAGE_THREAD, &usage);
    return std::chrono::seconds(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
           std::chrono::microseconds(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec);
  };
  Send(client, "GET /");
  ASSERT_EQ(send(client, "!", 1, MSG_OOB | MSG_NOSIGNAL), 1);
  auto cpu = thread_cpu();
  EXPECT_EQ(ReadLine(true), "GET /");  // the idle limit ends the wait, part of a line in hand
  EXPECT_LT(thread_cpu() - cpu, Scaled(100ms));
  Send(client, "x\r\n");
  EXPECT_EQ(ReadLine(), "x");  // the urgent byte is not part of the stream
}

TEST_F(LoopbackPair, SendAllDeliversEverythingAndFailsOnStalledOrVanishedClients) {
  std::string data(8 << 20, '\0');
  for (std::size_t i = 0; i < data.size(); ++i) data[i] = static_cast<char>(i * 7 + i / 4096);
  std::string received;
  std::thread reader([&] {
    while (received.size() < data.size()) {
      char buffer[65536];
      ssize_t got = recv(client, buffer, sizeof buffer, 0);
      if (got <= 0) break;
      received.append(buffer, got);
    }
  });
  EXPECT_TRUE(connection.SendAll(data.data(), data.size()));
  reader.join();
  EXPECT_TRUE(received == data);

  // Nobody reads: the buffers fill and the send gives up after the I/O limit.
  auto start = Clock::now();
  std::string flood(64 << 20, 'x');
  EXPECT_FALSE(connection.SendAll(flood.data(), flood.size()));
  // Only that it gives up: a loaded sanitizer build took 18 s to fill the buffers.
  EXPECT_LT(Clock::now() - start, 60s);

  // The client is gone: false, and no SIGPIPE ends the process.
  close(client);
  client = -1;
  EXPECT_FALSE(connection.SendString(flood));
  EXPECT_FALSE(connection.SendString("again"));
}

// A transport as a TLS layer is: it cannot sendfile, and it may hold bytes the socket has not.
class CopyingTransport final : public CTransport {
 public:
  explicit CopyingTransport(int socket) : m_socket(socket) {}
  ssize_t Receive(void* data, std::size_t length) override { return Take(data, length, 0); }
  ssize_t Peek(void* data, std::size_t length) override { return Take(data, length, MSG_PEEK); }
  ssize_t Send(const void* data, std::size_t length) override {
    return send(m_socket, data, length, MSG_NOSIGNAL | MSG_DONTWAIT);
  }
  ssize_t SendFile(int, off_t*, std::size_t) override {
    errno = ENOSYS;
    return -1;
  }
  bool HasPending() const override { return !held.empty(); }
  void ShutdownWrite() override { shutdown(m_socket, SHUT_WR); }

  std::string held;  // decrypted, as it were, and not yet read

 private:
  ssize_t Take(void* data, std::size_t length, int flags) {
    if (held.empty()) return recv(m_socket, data, length, flags | MSG_DONTWAIT);
    const std::size_t count = std::min(length, held.size());
    std::memcpy(data, held.data(), count);
    if (flags == 0) held.erase(0, count);
    return static_cast<ssize_t>(count);
  }
  int m_socket;
};

TEST_F(LoopbackPair, ATransportWithoutSendfileAndWithBytesOfItsOwnIsServedAlike) {
  auto owned = std::make_unique<CopyingTransport>(server);
  CopyingTransport& transport = *owned;
  transport.held = "GET / HTTP/1.0\r\nHo";
  connection.UseTransport(std::move(owned));
  // Nothing waits in the socket, but the transport holds a line.
  EXPECT_EQ(connection.WaitReadable(0ms), 1);
  EXPECT_EQ(ReadLine(), "GET / HTTP/1.0");
  Send(client, "st: x\r\n");
  EXPECT_EQ(ReadLine(), "Host: x");

  // A file range goes out by reading the file, whole and in order.
  std::string data(600 << 10, '\0');
  for (std::size_t i = 0; i < data.size(); ++i) data[i] = static_cast<char>(i * 13 + i / 251);
  char path[] = "/tmp/connection_test.XXXXXX";
  const int file = mkstemp(path);
  ASSERT_GE(file, 0);
  unlink(path);
  ASSERT_EQ(write(file, data.data(), data.size()), static_cast<ssize_t>(data.size()));
  std::string received;
  std::thread reader([&] { received = ReadAll(client); });
  std::uint64_t sent = 0;
  EXPECT_TRUE(connection.SendFileRange(file, 1000, data.size() - 2000, sent));
  EXPECT_EQ(sent, data.size() - 2000);
  // A range past the file's end sends what there is and says it fell short.
  EXPECT_FALSE(connection.SendFileRange(file, data.size() - 10, 20, sent));
  EXPECT_EQ(sent, data.size() - 1990);
  connection.ShutdownWrite();
  reader.join();
  close(file);
  EXPECT_TRUE(received == data.substr(1000, data.size() - 2000) + data.substr(data.size() - 10));
}

// A kept TLS connection's next head may sit in the session already, where no wait on the socket
// sees it: it is taken before the connection goes back to wait.
TEST_F(LoopbackPair, AHeadHeldByTheTransportIsFoundBeforeWaiting) {
  auto owned = std::make_unique<CopyingTransport>(server);
  CopyingTransport& transport = *owned;
  connection.UseTransport(std::move(owned));
  transport.held = "GET /a HTTP/1.1\r\nHo";
  EXPECT_FALSE(connection.HeadArrived());
  EXPECT_TRUE(transport.held.empty());
  transport.held = "st: x\r\n\r\nGET /b";
  EXPECT_TRUE(connection.HeadArrived());
  EXPECT_EQ(ReadLine(), "GET /a HTTP/1.1");
  EXPECT_EQ(ReadLine(), "Host: x");
}

TEST(ServiceBasic, StartRestartAndStop) {
  CThreadPool pool;
  ASSERT_TRUE(pool.Start());
  TestService service(pool), rival(pool);
  service.handler = [&](CConnection& connection) { connection.SendString("ok"); };

  int first = FreePort();
  ASSERT_TRUE(service.Start(first));
  EXPECT_EQ(Exchange(first, "x"), "ok");
  EXPECT_TRUE(service.Start(first + 1));  // already running: nothing changes
  EXPECT_EQ(service.Port(), first);
  EXPECT_FALSE(rival.Start(first));  // address reuse never shares a listening port

  EXPECT_TRUE(service.Restart(first));
  EXPECT_EQ(Exchange(first, "x"), "ok");
  int second = FreePort();
  EXPECT_TRUE(service.Restart(second));
  EXPECT_EQ(service.Port(), second);
  EXPECT_EQ(Exchange(second, "x"), "ok");
  EXPECT_EQ(Exchange(first, "x"), "refused");

  // A failed Restart leaves nothing listening; restarting on the old port must really listen.
  ASSERT_TRUE(rival.Start(first));
  EXPECT_FALSE(service.Restart(first));
  EXPECT_EQ(Exchange(second, "x"), "refused");
  EXPECT_TRUE(service.Restart(second));
  EXPECT_EQ(Exchange(second, "x"), "ok");

  auto start = Clock::now();
  service.Stop();
  EXPECT_LT(Clock::now() - start, Scaled(500ms));
  EXPECT_FALSE(service.IsRunning());
  EXPECT_EQ(Exchange(second, "x"), "refused");
  EXPECT_FALSE(service.Restart(0));
}

TEST(ServiceBasic, ElevenHeldConnectionsAreServedAndStopEndsThem) {
  CThreadPool pool;
  ASSERT_TRUE(pool.Start());
  TestService service(pool);
  std::atomic<int> arrived = 0;
  service.handler = [&](CConnection& connection) {
    ++arrived;
    std::string line;
    connection.ReadLine(line);  // the clients send nothing: held until the stop
  };
  int port = FreePort();
  ASSERT_TRUE(service.Start(port));
  std::vector<int> clients;
  // Each says something: a connection that sends nothing is not accepted.
  for (int i = 0; i < 11; ++i) {
    clients.push_back(Connect(port));
    Send(clients.back(), "x");
  }
  EXPECT_TRUE(Eventually([&] { return arrived == 11; })) << arrived;
  EXPECT_EQ(pool.WorkerCount(), 20);
  EXPECT_EQ(pool.CountActive(&service), 11);

  auto start = Clock::now();
  service.Stop();  // waits for the handlers, which notice the stop within a second
  EXPECT_LT(Clock::now() - start, Scaled(2500ms));
  EXPECT_EQ(pool.CountActive(), 0);
  for (int fd : clients) {
    EXPECT_EQ(ReadAll(fd), "");
    close(fd);
  }
}

// ReadLines takes the lines that have arrived together; it must give exactly what ReadLine gives
// line by line, leave every byte after the last line it took to the service's next reads, and
// wait for lines that have not arrived as ReadLine does.
using namespace std::string_literals;

class LineService : public CServiceBasic {
 public:
  using CServiceBasic::CServiceBasic;
  ~LineService() override { Stop(); }
  bool Handle(CConnection&) override { return true; }
};

// count lines of size bytes each, every one ended by CR LF.
std::string Lines(int count, std::size_t size) {
  std::string lines;
  for (int i = 0; i < count; ++i) lines += std::string(size, 'a') + "\r\n";
  return lines;
}

class ReadLinesTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(m_service.Start(loopback::FreePort())); }
  // Both readers over the same bytes, each on a socket pair whose sender has closed: the lines
  // and the final result of ReadLine in a loop, and of ReadLines taking up to stop_after lines.
  struct Outcome {
    std::vector<std::string> lines;
    bool result = false;
    std::string rest;  // what is left to read
  };
  Outcome ByReadLine(const std::string& input, std::size_t capacity, std::size_t stop_after) {
    int pair[2];
    Prepare(input, pair);
    Outcome out;
    std::string line;
    CConnection connection(pair[0], m_service.Rules());
    for (;;) {
      if (!connection.ReadLine(line, capacity)) break;
      out.lines.push_back(line);
      if (out.lines.size() == stop_after) {
        out.result = true;
        break;
      }
    }
    out.rest = Rest(connection, pair);
    return out;
  }
  Outcome ByReadLines(const std::string& input, std::size_t capacity, std::size_t stop_after) {
    int pair[2];
    Prepare(input, pair);
    Outcome out;
    CConnection connection(pair[0], m_service.Rules());
    out.result = connection.ReadLines(
        [&](std::string& line) {
          out.lines.push_back(line);
          return out.lines.size() < stop_after;
        },
        capacity);
    out.rest = Rest(connection, pair);
    return out;
  }
  static void Prepare(const std::string& input, int pair[2]) {
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, pair), 0);
    ASSERT_EQ(send(pair[1], input.data(), input.size(), 0), static_cast<ssize_t>(input.size()));
    shutdown(pair[1], SHUT_WR);
  }
  static std::string Rest(CConnection& connection, int pair[2]) {
    std::string rest;
    char buffer[4096];
    for (ssize_t got; (got = connection.Receive(buffer, sizeof buffer)) > 0;)
      rest.append(buffer, static_cast<std::size_t>(got));
    close(pair[0]);
    close(pair[1]);
    return rest;
  }

  CThreadPool m_pool;
  LineService m_service{m_pool, 500ms};
};

TEST_F(ReadLinesTest, SameLinesAsReadLineAndNothingTakenBeyondThem) {
  const std::string inputs[] = {
      "GET / HTTP/1.0\r\nHost: x\r\n\r\nBODY",
      "a\nb\rc\r\n\r\r\n\n",
      std::string(5000, 'a') + "\r\n" + std::string(4093, 'b') + "\r\nend\r\n\r\n",
      std::string(40000, 'x') + "\n\n",  // more than one peek holds
      // A line end, and a lone CR before one, where one peek (16 KiB) ends: a peek that cut a
      // line short must not end it.
      Lines(4, 4000) + std::string(375, 'b') + "\r\nnext\r\n\r\n",
      Lines(4, 4000) + std::string(370, 'c') + "\rddddddddd\r\n\r\n",
      "nul\0byte\r\nlast line without its end"s,
      "",
  };
  for (const std::string& input : inputs) {
    for (std::size_t capacity : {std::size_t{4096}, std::size_t{5}, std::size_t{3}}) {
      for (std::size_t stop_after : {std::size_t{1}, std::size_t{3}, std::size_t{1000}}) {
        SCOPED_TRACE(testing::Message() << "input " << input.substr(0, 20) << " capacity "
                                        << capacity << " stop after " << stop_after);
        const Outcome one = ByReadLine(input, capacity, stop_after);
        const Outcome many = ByReadLines(input, capacity, stop_after);
        EXPECT_EQ(many.lines, one.lines);
        EXPECT_EQ(many.result, one.result);
        EXPECT_EQ(many.rest, one.rest);
      }
    }
  }
}

TEST_F(ReadLinesTest, WaitsForLinesStillToCome) {
  int pair[2];
  ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, pair), 0);
  std::thread sender([&] {
    send(pair[1], "GET / HTTP/1.0\r\nHo", 18, 0);
    std::this_thread::sleep_for(100ms);
    send(pair[1], "st: x\r\n", 7, 0);
    std::this_thread::sleep_for(100ms);
    send(pair[1], "\r\nbody", 6, 0);
  });
  std::vector<std::string> lines;
  CConnection connection(pair[0], m_service.Rules());
  EXPECT_TRUE(connection.ReadLines([&](std::string& line) {
    lines.push_back(line);
    return !line.empty();
  }));
  sender.join();
  EXPECT_EQ(lines, (std::vector<std::string>{"GET / HTTP/1.0", "Host: x", ""}));
  char body[8] = {};
  EXPECT_EQ(connection.Receive(body, sizeof body), 4);
  EXPECT_STREQ(body, "body");

  // A sender that goes quiet: after the I/O limit the reader gives up as ReadLine does.
  send(pair[1], "partial", 7, 0);
  lines.clear();
  EXPECT_TRUE(connection.ReadLines([&](std::string& line) {
    lines.push_back(line);
    return false;
  }));
  EXPECT_EQ(lines, (std::vector<std::string>{"partial"}));

  // A sender that sends nothing at all: false once the I/O limit has passed, and not much later.
  const auto start = std::chrono::steady_clock::now();
  EXPECT_FALSE(connection.ReadLines([](std::string&) { return true; }));
  const auto waited = std::chrono::steady_clock::now() - start;
  EXPECT_GE(waited, 500ms);
  EXPECT_LT(waited, Scaled(1500ms));
  close(pair[0]);
  close(pair[1]);
}

}  // namespace

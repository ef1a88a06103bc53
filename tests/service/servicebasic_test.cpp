#include "service/ServiceBasic.h"

#include <gtest/gtest.h>
#include <sys/resource.h>

#include <atomic>
#include <functional>
#include <thread>
#include <vector>

#include "service/Loopback.h"
#include "service/ThreadPool.h"

namespace {

using namespace std::chrono_literals;
using namespace loopback;
using Clock = std::chrono::steady_clock;

class TestService : public CServiceBasic {
 public:
  using CServiceBasic::CServiceBasic;
  ~TestService() override { Stop(); }
  bool Handle(ClientTask& task) override {
    if (handler) handler(task);
    return true;
  }
  std::function<void(ClientTask&)> handler;
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
  }
  void TearDown() override {
    close(client);
    close(server);
  }
  std::string ReadLine(bool expected_result = true, std::size_t capacity = 4096) {
    std::string line;
    EXPECT_EQ(service.ReadLine(server, line, capacity), expected_result);
    return line;
  }

  CThreadPool pool;
  TestService service{pool, 300ms};
  int client = -1;
  int server = -1;
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
  EXPECT_LT(Clock::now() - start, 2s);
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
  EXPECT_LT(thread_cpu() - cpu, 100ms);
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
  EXPECT_TRUE(service.SendAll(server, data.data(), data.size()));
  reader.join();
  EXPECT_TRUE(received == data);

  // Nobody reads: the buffers fill and the send gives up after the I/O limit.
  auto start = Clock::now();
  std::string flood(64 << 20, 'x');
  EXPECT_FALSE(service.SendAll(server, flood.data(), flood.size()));
  // Only that it gives up: a loaded sanitizer build took 18 s to fill the buffers.
  EXPECT_LT(Clock::now() - start, 60s);

  // The client is gone: false, and no SIGPIPE ends the process.
  close(client);
  client = -1;
  EXPECT_FALSE(service.SendString(server, flood));
  EXPECT_FALSE(service.SendString(server, "again"));
}

TEST(ServiceBasic, StartRestartAndStop) {
  CThreadPool pool;
  ASSERT_TRUE(pool.Start());
  TestService service(pool), rival(pool);
  service.handler = [&](ClientTask& task) { service.SendString(task.socket, "ok"); };

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
  EXPECT_LT(Clock::now() - start, 500ms);
  EXPECT_FALSE(service.IsRunning());
  EXPECT_EQ(Exchange(second, "x"), "refused");
  EXPECT_FALSE(service.Restart(0));
}

TEST(ServiceBasic, ElevenHeldConnectionsAreServedAndStopEndsThem) {
  CThreadPool pool;
  ASSERT_TRUE(pool.Start());
  TestService service(pool);
  std::atomic<int> arrived = 0;
  service.handler = [&](ClientTask& task) {
    ++arrived;
    std::string line;
    service.ReadLine(task.socket, line);  // the clients send nothing: held until the stop
  };
  int port = FreePort();
  ASSERT_TRUE(service.Start(port));
  std::vector<int> clients;
  // Each says something: a connection that sends nothing is not accepted.
  for (int i = 0; i < 11; ++i) {
    clients.push_back(Connect(port));
    Send(clients.back(), "x");
  }
  for (auto deadline = Clock::now() + 5s; arrived < 11 && Clock::now() < deadline;)
    std::this_thread::sleep_for(1ms);
  EXPECT_EQ(arrived, 11);
  EXPECT_EQ(pool.WorkerCount(), 20);
  EXPECT_EQ(pool.CountActive(&service), 11);

  auto start = Clock::now();
  service.Stop();  // waits for the handlers, which notice the stop within a second
  EXPECT_LT(Clock::now() - start, 2500ms);
  EXPECT_EQ(pool.CountActive(), 0);
  for (int fd : clients) {
    EXPECT_EQ(ReadAll(fd), "");
    close(fd);
  }
}

}  // namespace

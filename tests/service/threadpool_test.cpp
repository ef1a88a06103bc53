#include "service/ThreadPool.h"

#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "base/IpAddress.h"
#include "service/WebFixture.h"
#include "support/Eventually.h"
#include "support/Loopback.h"

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

// Holds each connection until its client sends "go" (then answers "ok") or goes away. Clients
// say something first: a connection that sends nothing is not accepted.
class HoldingService : public CServiceBasic {
 public:
  using CServiceBasic::CServiceBasic;
  ~HoldingService() override { Stop(); }
  bool Handle(CConnection& connection) override {
    ++arrived;
    {
      std::lock_guard lock(m_mutex);
      // Counted as the pool's limits count: an IPv6 peer by its /64.
      const auto peer = tessel::IpAddress::Parse(connection.PeerIp());
      ++m_arrived_from[peer ? peer->LimitText() : connection.PeerIp()];
    }
    std::string line;
    while (connection.ReadLine(line) && line != "go") {
    }
    if (line == "go") connection.SendString("ok");
    return true;
  }
  int ArrivedFrom(const std::string& address) {
    std::lock_guard lock(m_mutex);
    return m_arrived_from[address];
  }
  std::atomic<int> arrived{0};

 private:
  std::mutex m_mutex;
  std::map<std::string, int> m_arrived_from;
};

using tessel::test::Eventually;

// A connection from `from` to port, held by the service until released.
int Hold(int port, const char* from = "127.0.0.1") {
  const int fd = loopback::ConnectFrom(from, port);
  loopback::Send(fd, "hold\n");
  return fd;
}

// Lets a held connection go and reads its answer.
std::string Release(int fd) {
  loopback::Send(fd, "go\n");
  std::string reply = loopback::ReadAll(fd);
  close(fd);
  return reply;
}

// True when the server has closed fd: an end, or a reset for what it left unread.
bool ClosedByServer(int fd) {
  char byte;
  const ssize_t got = recv(fd, &byte, 1, MSG_DONTWAIT);
  return got == 0 || (got < 0 && errno != EAGAIN && errno != EWOULDBLOCK);
}

}  // namespace

TEST(ThreadPool, TheLimitsAreThoseOfTheProduct) {
  EXPECT_EQ(CThreadPool::kInitialWorkers, 10);
  EXPECT_EQ(CThreadPool::kGrowth, 10);
  EXPECT_EQ(CThreadPool::kMaxWorkers, 1503);
  EXPECT_EQ(CThreadPool::kMaxPerAddress, 256);
  EXPECT_EQ(CServiceBasic::kIoTimeout, 60s);
  EXPECT_EQ(CServiceBasic::kHeadTimeout, 30s);
}

TEST(ThreadPool, ServesNothingUntilStartedThenEverythingWaiting) {
  CThreadPool pool;
  HoldingService service(pool);
  ASSERT_TRUE(service.Start(loopback::FreePort()));
  int fd = Hold(service.Port());
  ASSERT_GE(fd, 0);
  std::this_thread::sleep_for(100ms);
  EXPECT_EQ(service.arrived, 0);
  EXPECT_EQ(pool.WorkerCount(), 0);
  ASSERT_TRUE(pool.Start());
  ASSERT_TRUE(pool.Start());
  EXPECT_EQ(pool.WorkerCount(), CThreadPool::kInitialWorkers);
  EXPECT_EQ(Release(fd), "ok");
}

TEST(ThreadPool, GrowsInGroupsUpToItsLimitAndServesTheRestAsWorkersFree) {
  CThreadPool pool(CThreadPool::Limits{.max_workers = 25});
  ASSERT_TRUE(pool.Start());
  HoldingService service(pool);
  ASSERT_TRUE(service.Start(loopback::FreePort()));
  std::vector<int> clients;
  auto connect = [&](int count) {
    for (int i = 0; i < count; ++i) clients.push_back(Hold(service.Port()));
  };

  connect(11);
  ASSERT_TRUE(Eventually([&] { return service.arrived == 11; }));
  EXPECT_EQ(pool.WorkerCount(), 20);
  connect(14);
  ASSERT_TRUE(Eventually([&] { return service.arrived == 25; }));
  EXPECT_EQ(pool.WorkerCount(), 25);
  EXPECT_EQ(pool.CountActive(&service), 25);

  // Three more wait for workers, and are not turned away.
  connect(3);
  std::this_thread::sleep_for(200ms);
  EXPECT_EQ(service.arrived, 25);
  for (int i = 0; i < 3; ++i) EXPECT_EQ(Release(clients[i]), "ok");
  ASSERT_TRUE(Eventually([&] { return service.arrived == 28; }));
  EXPECT_EQ(pool.WorkerCount(), 25);
  EXPECT_EQ(pool.ShedCount(), 0);  // one address, but nobody else waited
  for (std::size_t i = 3; i < clients.size(); ++i) EXPECT_EQ(Release(clients[i]), "ok");
  pool.WaitIdle(&service);
  EXPECT_EQ(pool.CountActive(), 0);
}

TEST(ThreadPool, ServicesShareThePoolAndAreCountedApart) {
  CThreadPool pool;
  ASSERT_TRUE(pool.Start());
  HoldingService first(pool), second(pool);
  ASSERT_TRUE(first.Start(loopback::FreePort()));
  ASSERT_TRUE(second.Start(loopback::FreePort()));
  std::vector<int> to_first, to_second;
  for (int i = 0; i < 4; ++i) to_first.push_back(Hold(first.Port()));
  for (int i = 0; i < 3; ++i) to_second.push_back(Hold(second.Port()));
  ASSERT_TRUE(Eventually([&] { return first.arrived == 4 && second.arrived == 3; }))
      << first.arrived << " " << second.arrived;
  EXPECT_EQ(pool.CountActive(&first), 4);
  EXPECT_EQ(pool.CountActive(&second), 3);
  EXPECT_EQ(pool.CountActive(), 7);

  // Stopping one leaves the other served by the same workers.
  for (int fd : to_first) EXPECT_EQ(Release(fd), "ok");
  first.Stop();
  EXPECT_EQ(pool.CountActive(&first), 0);
  EXPECT_EQ(pool.CountActive(&second), 3);
  to_second.push_back(Hold(second.Port()));
  for (int fd : to_second) EXPECT_EQ(Release(fd), "ok");
  pool.WaitIdle(&second);
  EXPECT_EQ(pool.CountActive(), 0);
}

// A flood from one address holds every worker but the last, which it cannot take; visitors
// from other addresses are served all the same, each taking a worker from the flood's newest
// connections while the flood keeps its share.
// An IPv6 visitor counts by its /64: changing the low bits gains nothing.
struct Addresses {
  std::function<std::string(int)> flood;  // the i-th connection of the flood
  std::string flood_key;                  // what the flood counts under
  std::string visitors[3];                // the first and the last count as one
  std::string first_key, second_key;
};

TEST(ThreadPool, OneAddressCannotKeepOthersOut) {
  constexpr int kWorkers = 20, kShare = 5;
  const Addresses families[] = {
      {[](int) { return std::string("127.0.0.2"); },
       "127.0.0.2",
       {"127.0.0.3", "127.0.0.4", "127.0.0.3"},
       "127.0.0.3",
       "127.0.0.4"},
      {[](int i) { return "2001:db8:1:2:" + std::to_string(i) + "::" + std::to_string(i); },
       "2001:db8:1:2::/64",
       {"2001:db8:1:3::1", "2001:db8:1:4::1", "2001:db8:1:3:ffff::9"},
       "2001:db8:1:3::/64",
       "2001:db8:1:4::/64"},
  };
  ASSERT_TRUE(loopback::AdoptV6Block("2001:db8::/32")) << "needs root in the test's namespace";
  for (const Addresses& family : families) {
    SCOPED_TRACE(family.flood_key);
    CThreadPool pool(CThreadPool::Limits{.max_workers = kWorkers, .per_address = kShare});
    ASSERT_TRUE(pool.Start());
    HoldingService service(pool);
    ASSERT_TRUE(service.Start(loopback::FreePort()));
    std::vector<int> flood;
    // One after the other, so that the count is exact: a burst may lose a few more to refusals
    // while other refusals are still under way.
    for (int i = 0; i < kWorkers + 5; ++i) {
      flood.push_back(Hold(service.Port(), family.flood(i).c_str()));
      ASSERT_TRUE(Eventually([&] { return pool.CountActive() + pool.ShedCount() == i + 1; }));
    }
    // The rest are closed at once.
    ASSERT_TRUE(Eventually([&] {
      return pool.CountActive() == kWorkers - 1 && pool.ShedCount() == 6 &&
             service.ArrivedFrom(family.flood_key) == kWorkers - 1;
    }));

    // Three visitors held together: the last worker, then two taken from the flood. They come
    // one after the other for the same reason as the flood did.
    std::vector<int> visitors;
    int arrived = 0;
    for (const std::string& from : family.visitors) {
      visitors.push_back(Hold(service.Port(), from.c_str()));
      ++arrived;
      ASSERT_TRUE(Eventually([&] {
        return service.ArrivedFrom(family.first_key) + service.ArrivedFrom(family.second_key) ==
               arrived;
      }));
    }
    for (int fd : visitors) EXPECT_EQ(Release(fd), "ok");
    EXPECT_EQ(pool.ShedCount(), 8);
    int open = 0;
    for (int fd : flood) open += ClosedByServer(fd) ? 0 : 1;
    EXPECT_EQ(open, kWorkers - 3);
    EXPECT_EQ(service.ArrivedFrom(family.flood_key), kWorkers - 1);
    for (int fd : flood) close(fd);
  }
}

// Every worker the pool may have serves at once. The connections come from several addresses, as
// one address may hold only its share of a full pool; a pool that stops short of its limit
// leaves the rest waiting, and the test fails in seconds rather than by ctest's time-out.
TEST(ThreadPool, ServesAsManyConnectionsAtOnceAsItsLimit) {
  CThreadPool pool;
  ASSERT_TRUE(pool.Start());
  HoldingService service(pool);
  ASSERT_TRUE(service.Start(loopback::FreePort()));
  constexpr int kLimit = 1503;
  std::vector<int> clients;
  for (int i = 0; i < kLimit; ++i) {
    const std::string from = "127.0.0." + std::to_string(2 + i / 200);
    clients.push_back(Hold(service.Port(), from.c_str()));
    ASSERT_GE(clients.back(), 0) << "connection " << i;
  }
  EXPECT_TRUE(Eventually([&] { return service.arrived == kLimit; }, 20s)) << service.arrived;
  EXPECT_EQ(pool.WorkerCount(), kLimit);
  EXPECT_EQ(pool.CountActive(&service), kLimit);
  EXPECT_EQ(pool.ShedCount(), 0);
  for (int fd : clients) close(fd);
  pool.WaitIdle(&service);
}

namespace {

// Writes to its client after the client has reset the connection.
class WritingService : public CServiceBasic {
 public:
  using CServiceBasic::CServiceBasic;
  ~WritingService() override { Stop(); }
  bool Handle(CConnection& connection) override {
    arrived = true;
    const int socket = connection.Descriptor();
    // The reset makes the socket readable (with its error); the writes below then raise SIGPIPE.
    pollfd entry{socket, POLLIN, 0};
    while (!reset && poll(&entry, 1, 30000) > 0) {
      char byte;
      reset = recv(socket, &byte, 1, MSG_DONTWAIT) < 0 && errno == ECONNRESET;
    }
    for (int i = 0; i < 3; ++i) written += write(socket, "x", 1) == 1;
    done = true;
    return true;
  }
  std::atomic<bool> arrived{false};
  std::atomic<bool> reset{false};
  std::atomic<int> written{0};
  std::atomic<bool> done{false};
};

}  // namespace

// A handler that writes to a client who has gone must not end the process: sendfile, which the
// file sender uses, cannot be told not to raise SIGPIPE, and a test process does not ignore it.
TEST(ThreadPool, WorkersWritingToAGoneClientLeaveTheProcessRunning) {
  CThreadPool pool;
  ASSERT_TRUE(pool.Start());
  WritingService service(pool);
  ASSERT_TRUE(service.Start(loopback::FreePort()));
  int fd = loopback::Connect(service.Port());
  ASSERT_GE(fd, 0);
  loopback::Send(fd, "x");  // a connection that sends nothing is not accepted
  ASSERT_TRUE(Eventually([&] { return service.arrived.load(); }));
  linger reset{1, 0};
  setsockopt(fd, SOL_SOCKET, SO_LINGER, &reset, sizeof reset);
  close(fd);
  EXPECT_TRUE(Eventually([&] { return service.done.load(); }));
  EXPECT_EQ(service.written, 0);
}

// Visitors that send request heads slowly, against the HTTP service over real sockets: a head
// trickled in byte by byte ends at its deadline, and a flood of such heads from one address
// leaves other addresses served.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <iostream>
#include <memory>
#include <thread>
#include <vector>

#include "service/WebFixture.h"

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

class SlowHeads : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(settings.Open());
    ASSERT_TRUE(accounts.Open());
    ASSERT_TRUE(shares.Open());
  }
  void TearDown() override {
    m_dripping = false;
    if (m_dripper.joinable()) m_dripper.join();
    if (service) service->Stop();
    for (int fd : m_clients) close(fd);
  }

  void Serve(CThreadPool::Limits limits, std::chrono::milliseconds head_timeout) {
    pool = std::make_unique<CThreadPool>(limits);
    ASSERT_TRUE(pool->Start());
    service = std::make_unique<CServiceHttp>(*pool, HttpStores{accounts, shares, settings, log},
                                             CServiceBasic::kIoTimeout, head_timeout);
    ASSERT_TRUE(service->Start(loopback::FreePort()));
  }

  // A connection from `from` that has sent the start of a head; the test closes it at the end.
  int StartHead(const char* from) {
    const int fd = loopback::ConnectFrom(from, service->Port());
    if (fd >= 0) {
      loopback::Send(fd, "GET / HTTP/1.0\r\nX-Slow: ");
      m_clients.push_back(fd);
    }
    return fd;
  }

  // Sends one more byte of every started head each interval, never ending a line: each
  // connection is active all the time and its head never complete.
  void Drip(std::chrono::milliseconds interval) {
    m_dripping = true;
    m_dripper = std::thread([this, interval, clients = m_clients] {
      while (m_dripping) {
        for (int fd : clients) send(fd, "x", 1, MSG_NOSIGNAL | MSG_DONTWAIT);
        std::this_thread::sleep_for(interval);
      }
    });
  }

  TempFolder folder;
  CDataLog log{folder.path()};
  CDataSystem settings{folder.path()};
  CDataAccount accounts{folder.path()};
  CDataFileShare shares{folder.path()};
  std::unique_ptr<CThreadPool> pool;
  std::unique_ptr<CServiceHttp> service;

 private:
  std::vector<int> m_clients;
  std::atomic<bool> m_dripping{false};
  std::thread m_dripper;
};

TEST_F(SlowHeads, AHeadTrickledInEndsAtItsDeadlineWithoutAReply) {
  Serve({}, 1s);
  const auto start = Clock::now();
  const int fd = StartHead(web::kStranger);
  ASSERT_GE(fd, 0);
  Drip(100ms);
  // Every byte counts as activity, so only the head's deadline ends the connection.
  EXPECT_EQ(loopback::ReadAll(fd), "");
  const auto took = Clock::now() - start;
  EXPECT_GE(took, 1s);
  EXPECT_LT(took, 5s);
  // A head that arrives whole in time is answered as ever.
  const int polite = loopback::ConnectFrom(web::kStranger, service->Port());
  loopback::Send(polite, "GET /nothing HTTP/1.0\r\n");
  std::this_thread::sleep_for(300ms);
  loopback::Send(polite, "\r\n");
  EXPECT_EQ(loopback::ReadAll(polite), web::kNotFound);
  close(polite);
}

TEST_F(SlowHeads, AFloodFromOneAddressLeavesOtherAddressesServed) {
  constexpr int kWorkers = 40, kShare = 8;
  // The head deadline is the product's: it is not what frees the workers here.
  Serve({.max_workers = kWorkers, .per_address = kShare}, CServiceBasic::kHeadTimeout);
  // One after the other, so that the count is exact: a burst may lose a few more to refusals
  // while other refusals are still under way.
  for (int i = 0; i < kWorkers + 20; ++i) {
    ASSERT_GE(StartHead("127.0.0.2"), 0);
    for (auto end = Clock::now() + 10s;
         pool->CountActive() + pool->ShedCount() < i + 1 && Clock::now() < end;)
      std::this_thread::sleep_for(1ms);
  }
  Drip(200ms);
  // All but the last worker held; the rest of the flood refused as it reached for that one.
  auto settled = [&] { return pool->CountActive() == kWorkers - 1 && pool->ShedCount() == 21; };
  for (auto end = Clock::now() + 10s; !settled() && Clock::now() < end;)
    std::this_thread::sleep_for(1ms);
  ASSERT_TRUE(settled()) << pool->CountActive() << " held, " << pool->ShedCount() << " refused";

  // A visitor asking at once is answered at once.
  const auto start = Clock::now();
  const int first = loopback::ConnectFrom("127.0.0.3", service->Port());
  loopback::Send(first, "GET /nothing HTTP/1.0\r\n\r\n");
  EXPECT_EQ(loopback::ReadAll(first), web::kNotFound);
  close(first);
  const auto answered = Clock::now() - start;
  // A round's visitors come once the workers before them are free again: one still finishing
  // would cost the flood one more connection, and the count below would depend on the timing.
  auto wait_active = [&](int count) {
    for (auto end = Clock::now() + 10s; pool->CountActive() > count && Clock::now() < end;)
      std::this_thread::sleep_for(1ms);
  };
  wait_active(kWorkers - 1);

  // Rounds of three visitors from other addresses at the same time, each holding a worker for a
  // moment with a head that comes in two parts.
  for (int round = 0; round < 3; ++round) {
    std::vector<int> visitors;
    for (const char* from : {"127.0.0.3", "127.0.0.4", "127.0.0.5"}) {
      visitors.push_back(loopback::ConnectFrom(from, service->Port()));
      loopback::Send(visitors.back(), "GET /nothing HTTP/1.0\r\n");
    }
    std::this_thread::sleep_for(200ms);
    for (int fd : visitors) loopback::Send(fd, "\r\n");
    for (int fd : visitors) {
      EXPECT_EQ(loopback::ReadAll(fd), web::kNotFound) << "round " << round;
      close(fd);
    }
    wait_active(kWorkers - 3);
  }
  const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(answered).count();
  std::cout << "a visitor's answer during the flood took " << ms << " ms\n";
  RecordProperty("visitor_ms", static_cast<int>(ms));
  EXPECT_LT(answered, 5s);
  // The flood lost a connection for each visitor beyond the first, and no more: the workers so
  // freed served the later rounds.
  EXPECT_EQ(pool->ShedCount(), 21 + 2);
  EXPECT_EQ(pool->CountActive(), kWorkers - 1 - 2);
}

}  // namespace

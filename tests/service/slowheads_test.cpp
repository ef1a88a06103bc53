// Visitors that send request heads slowly, against the HTTP service over real sockets: a head
// trickled in byte by byte ends at its deadline. (A flood from one address is the pool's test.)
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <thread>
#include <vector>

#include "service/WebFixture.h"

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

class SlowHeads : public ::testing::Test {
 protected:
  void TearDown() override {
    m_dripping = false;
    if (m_dripper.joinable()) m_dripper.join();
    if (stack) stack->service.Stop();
    for (int fd : m_clients) close(fd);
  }

  void Serve(CThreadPool::Limits limits, std::chrono::milliseconds head_timeout) {
    stack = std::make_unique<CServiceStack>(CServiceStack::Options{
        .data_folder = folder.path(), .limits = limits, .head_timeout = head_timeout});
    ASSERT_TRUE(stack->OpenStores());
    ASSERT_TRUE(stack->pool.Start());
    service = &stack->service;
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
  std::unique_ptr<CServiceStack> stack;
  CServiceHttp* service = nullptr;

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

}  // namespace

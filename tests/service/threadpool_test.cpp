#include "service/ThreadPool.h"

#include <gtest/gtest.h>

#include <array>
#include <atomic>
#include <chrono>
#include <functional>
#include <thread>

namespace {

using namespace std::chrono_literals;

// Holds each connection until the test releases its id (carried in the peer port: the tasks
// have no socket).
class HoldingService : public CServiceBasic {
 public:
  explicit HoldingService(CThreadPool& pool) : CServiceBasic(pool), m_pool(pool) {}
  ~HoldingService() override {
    release_all = true;  // so that a failed test still ends
    m_pool.WaitIdle(this);
  }
  bool Handle(ClientTask& task) override {
    ++arrived;
    while (!release_all && !released[task.peer.sin_port]) std::this_thread::sleep_for(1ms);
    return true;
  }
  std::atomic<int> arrived = 0;
  std::atomic<bool> release_all = false;
  std::array<std::atomic<bool>, 128> released{};

 private:
  CThreadPool& m_pool;
};

bool Eventually(const std::function<bool()>& condition) {
  for (auto end = std::chrono::steady_clock::now() + 5s; !condition();) {
    if (std::chrono::steady_clock::now() > end) return false;
    std::this_thread::sleep_for(1ms);
  }
  return true;
}

ClientTask TaskFor(CServiceBasic* service, int id) {
  ClientTask task;
  task.peer.sin_port = static_cast<in_port_t>(id);
  task.service = service;
  return task;
}

}  // namespace

TEST(ThreadPool, RefusesWorkBeforeStart) {
  CThreadPool pool;
  HoldingService service(pool);
  EXPECT_EQ(pool.Dispatch(TaskFor(&service, 1)), -1);
  EXPECT_EQ(pool.CountActive(), 0);
  EXPECT_EQ(pool.WorkerCount(), 0);
}

TEST(ThreadPool, GrowsByTenAndReusesTheLowestFreeSlot) {
  CThreadPool pool;
  ASSERT_TRUE(pool.Start());
  ASSERT_TRUE(pool.Start());
  EXPECT_EQ(pool.WorkerCount(), CThreadPool::kInitialWorkers);
  HoldingService service(pool), other(pool);

  for (int id = 0; id < 11; ++id) EXPECT_EQ(pool.Dispatch(TaskFor(&service, id)), id);
  ASSERT_TRUE(Eventually([&] { return service.arrived == 11; })) << "the 11th was not served";
  EXPECT_EQ(pool.WorkerCount(), 20);
  EXPECT_EQ(pool.CountActive(&service), 11);
  EXPECT_EQ(pool.CountActive(&other), 0);

  service.released[3] = service.released[7] = true;
  // Once both slots are free again, the next connections take 3 and 7, then 11.
  ASSERT_TRUE(Eventually([&] { return pool.CountActive() == 9; }));
  EXPECT_EQ(pool.Dispatch(TaskFor(&other, 100)), 3);
  EXPECT_EQ(pool.Dispatch(TaskFor(&other, 101)), 7);
  EXPECT_EQ(pool.Dispatch(TaskFor(&other, 102)), 11);
  EXPECT_EQ(pool.CountActive(&other), 3);

  service.release_all = true;
  pool.WaitIdle(&service);
  EXPECT_EQ(pool.CountActive(&service), 0);
  EXPECT_EQ(pool.CountActive(&other), 3);
  other.release_all = true;
  pool.WaitIdle(&other);
  EXPECT_EQ(pool.CountActive(), 0);
}

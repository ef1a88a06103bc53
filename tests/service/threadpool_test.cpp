#include "service/ThreadPool.h"

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <set>

namespace {

using namespace std::chrono_literals;

// Holds every connection it serves until the test releases that connection's id (carried in
// the peer port, since the tasks have no socket).
class HoldingService : public CServiceBasic {
 public:
  explicit HoldingService(CThreadPool& pool) : CServiceBasic(pool), pool_(pool) {}
  // Lets every held connection go, so a failed test still ends.
  ~HoldingService() override {
    {
      std::lock_guard lock(mutex_);
      release_all_ = true;
      changed_.notify_all();
    }
    pool_.WaitIdle(this);
  }

  bool Handle(ClientTask& task) override {
    std::unique_lock lock(mutex_);
    ++arrived_;
    changed_.notify_all();
    changed_.wait(lock, [&] { return release_all_ || released_.count(task.peer.sin_port) > 0; });
    return true;
  }
  bool WaitArrived(int count) {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, 5s, [&] { return arrived_ >= count; });
  }
  void Release(int id) {
    std::lock_guard lock(mutex_);
    released_.insert(static_cast<in_port_t>(id));
    changed_.notify_all();
  }

 private:
  CThreadPool& pool_;
  std::mutex mutex_;
  std::condition_variable changed_;
  int arrived_ = 0;
  bool release_all_ = false;
  std::set<in_port_t> released_;
};

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
  ASSERT_TRUE(service.WaitArrived(11)) << "the 11th connection was not served";
  EXPECT_EQ(pool.WorkerCount(), 20);
  EXPECT_EQ(pool.CountActive(&service), 11);
  EXPECT_EQ(pool.CountActive(&other), 0);

  service.Release(3);
  service.Release(7);
  // Wait until both slots are free again, then the next connections take 3 and 7, then 11.
  for (auto deadline = std::chrono::steady_clock::now() + 5s;
       pool.CountActive() > 9 && std::chrono::steady_clock::now() < deadline;)
    std::this_thread::sleep_for(1ms);
  EXPECT_EQ(pool.Dispatch(TaskFor(&other, 100)), 3);
  EXPECT_EQ(pool.Dispatch(TaskFor(&other, 101)), 7);
  EXPECT_EQ(pool.Dispatch(TaskFor(&other, 102)), 11);
  EXPECT_EQ(pool.CountActive(&other), 3);

  for (int id : {0, 1, 2, 4, 5, 6, 8, 9, 10}) service.Release(id);
  pool.WaitIdle(&service);
  EXPECT_EQ(pool.CountActive(&service), 0);
  for (int id : {100, 101, 102}) other.Release(id);
  pool.WaitIdle(&other);
  EXPECT_EQ(pool.CountActive(), 0);
}

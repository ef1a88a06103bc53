#include "service/ThreadPool.h"

#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <set>
#include <thread>

#include "support/Eventually.h"
#include "support/Loopback.h"

namespace {

using namespace std::chrono_literals;
using tessel::test::Eventually;

// Holds each connection until the test releases its id (carried in the peer port: the tasks
// have no socket).
class HoldingService : public CServiceBasic {
 public:
  explicit HoldingService(CThreadPool& pool) : CServiceBasic(pool), m_pool(pool) {}
  ~HoldingService() override {
    ReleaseAll();  // so that a failed test still ends
    m_pool.WaitIdle(this);
  }
  bool Handle(ClientTask& task) override {
    const int id = task.peer.sin_port;
    std::unique_lock lock(m_mutex);
    ++arrived;
    m_released_changed.wait(lock, [&] { return m_release_all || m_released.count(id) > 0; });
    return true;
  }
  void Release(int id) {
    std::lock_guard lock(m_mutex);
    m_released.insert(id);
    m_released_changed.notify_all();
  }
  void ReleaseAll() {
    std::lock_guard lock(m_mutex);
    m_release_all = true;
    m_released_changed.notify_all();
  }
  std::atomic<int> arrived = 0;

 private:
  CThreadPool& m_pool;
  std::mutex m_mutex;
  std::condition_variable m_released_changed;
  bool m_release_all = false;
  std::set<int> m_released;
};

ClientTask TaskFor(CServiceBasic* service, int id) {
  ClientTask task;
  task.peer.sin_port = static_cast<in_port_t>(id);
  task.service = service;
  return task;
}

// Sets the flag once the time is up, unless destroyed first: a pool that cannot take a
// connection makes Dispatch wait for ever, and the flag ends that wait with a failure instead.
class Deadline {
 public:
  explicit Deadline(std::chrono::milliseconds after)
      : m_thread([this, after] {
          std::unique_lock lock(m_mutex);
          if (!m_ended.wait_for(lock, after, [this] { return m_done; })) passed = true;
        }) {}
  ~Deadline() {
    {
      std::lock_guard lock(m_mutex);
      m_done = true;
    }
    m_ended.notify_all();
    m_thread.join();
  }
  std::atomic<bool> passed = false;

 private:
  std::mutex m_mutex;
  std::condition_variable m_ended;
  bool m_done = false;
  std::thread m_thread;
};

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

  service.Release(3);
  service.Release(7);
  // Once both slots are free again, the next connections take 3 and 7, then 11.
  ASSERT_TRUE(Eventually([&] { return pool.CountActive() == 9; }));
  EXPECT_EQ(pool.Dispatch(TaskFor(&other, 100)), 3);
  EXPECT_EQ(pool.Dispatch(TaskFor(&other, 101)), 7);
  EXPECT_EQ(pool.Dispatch(TaskFor(&other, 102)), 11);
  EXPECT_EQ(pool.CountActive(&other), 3);

  service.ReleaseAll();
  pool.WaitIdle(&service);
  EXPECT_EQ(pool.CountActive(&service), 0);
  EXPECT_EQ(pool.CountActive(&other), 3);
  other.ReleaseAll();
  pool.WaitIdle(&other);
  EXPECT_EQ(pool.CountActive(), 0);
}

// 1503 connections are served at once; the next waits for one of them to end.
TEST(ThreadPool, ServesUpToItsLimitAtOnceAndThenWaitsForAFreeSlot) {
  constexpr int kLimit = 1503;
  CThreadPool pool;
  ASSERT_TRUE(pool.Start());
  HoldingService service(pool);
  {
    const Deadline deadline(tessel::test::Scaled(10s));
    int dispatched = 0;
    while (dispatched < kLimit &&
           pool.Dispatch(TaskFor(&service, dispatched), &deadline.passed) == dispatched)
      ++dispatched;
    ASSERT_EQ(dispatched, kLimit) << "the pool took no more connections";
  }
  ASSERT_TRUE(Eventually([&] { return service.arrived == kLimit; }, 20s));
  EXPECT_EQ(pool.WorkerCount(), kLimit);

  std::atomic<bool> give_up = false;
  std::atomic<int> slot = -2;
  std::thread late([&] { slot = pool.Dispatch(TaskFor(&service, 5000), &give_up); });
  // Never true for a pool that keeps to its limit, however slowly the thread runs.
  EXPECT_FALSE(Eventually([&] { return slot != -2; }, 200ms)) << "slot " << slot;
  service.Release(1000);
  EXPECT_TRUE(Eventually([&] { return slot == 1000; })) << "slot " << slot;
  give_up = true;
  late.join();
  EXPECT_EQ(pool.WorkerCount(), kLimit);
}

namespace {

// Writes to its client after the client has reset the connection.
class WritingService : public CServiceBasic {
 public:
  using CServiceBasic::CServiceBasic;
  ~WritingService() override { Stop(); }
  bool Handle(ClientTask& task) override {
    arrived = true;
    // The reset makes the socket readable (with its error); the writes below then raise SIGPIPE.
    pollfd entry{task.socket, POLLIN, 0};
    poll(&entry, 1, 30000);
    for (int i = 0; i < 3; ++i) written += write(task.socket, "x", 1) == 1;
    done = true;
    return true;
  }
  std::atomic<bool> arrived{false};
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
  ASSERT_TRUE(Eventually([&] { return service.arrived.load(); }));
  linger reset{1, 0};
  setsockopt(fd, SOL_SOCKET, SO_LINGER, &reset, sizeof reset);
  close(fd);
  EXPECT_TRUE(Eventually([&] { return service.done.load(); }));
  EXPECT_EQ(service.written, 0);
}

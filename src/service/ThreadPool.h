#pragma once
#include <atomic>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <thread>

#include "service/ServiceBasic.h"

// The workers that serve accepted connections: worker i serves slot i, one connection at a time.
// Workers start in groups as load rises and are never stopped while the pool lives.
class CThreadPool {
 public:
  static constexpr int kInitialWorkers = 10;
  static constexpr int kGrowth = 10;
  static constexpr int kMaxWorkers = 1503;

  CThreadPool();
  // Ends the workers, waiting for handlers still running; destroy the services first.
  ~CThreadPool();
  CThreadPool(const CThreadPool&) = delete;
  CThreadPool& operator=(const CThreadPool&) = delete;

  // Starts the first workers. True when running (also when it already was).
  bool Start();
  // Places the connection in the lowest free slot, starting more workers when all are busy, and
  // wakes the slot's worker. When every slot is busy it waits for one to free. Returns the slot
  // index, or -1 if the pool is not running or give_up (when given) becomes true meanwhile.
  int Dispatch(const ClientTask& task, const std::atomic<bool>* give_up = nullptr);
  // Connections assigned to service (to any service when null) and not yet finished.
  int CountActive(const CServiceBasic* service = nullptr) const;
  // Waits until CountActive(service) is 0.
  void WaitIdle(const CServiceBasic* service);
  // Workers started so far, which is the number of usable slots.
  int WorkerCount() const;

 private:
  struct Slot {
    ClientTask task;
    std::condition_variable wake;  // the slot's worker waits here for a connection
  };

  void Work(int index);
  // Starts workers for the next kGrowth slots; false if none could be started.
  bool Grow();
  int CountActiveLocked(const CServiceBasic* service) const;

  mutable std::mutex m_mutex;       // guards slots, worker count and running
  std::condition_variable m_freed;  // a slot became free
  bool m_running = false;
  int m_worker_count = 0;
  std::unique_ptr<Slot[]> m_slots;
  std::unique_ptr<std::thread[]> m_workers;
};

#include "service/ThreadPool.h"

#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <system_error>

CThreadPool::CThreadPool()
    : slots_(std::make_unique<Slot[]>(kMaxWorkers)),
      workers_(std::make_unique<std::thread[]>(kMaxWorkers)) {}

CThreadPool::~CThreadPool() {
  {
    std::lock_guard lock(mutex_);
    running_ = false;
    for (int i = 0; i < worker_count_; ++i) slots_[i].wake.notify_one();
    freed_.notify_all();
  }
  for (int i = 0; i < kMaxWorkers; ++i)
    if (workers_[i].joinable()) workers_[i].join();
  // Connections dispatched but never picked up.
  for (int i = 0; i < kMaxWorkers; ++i)
    if (slots_[i].task.socket >= 0) close(slots_[i].task.socket);
}

bool CThreadPool::Start() {
  std::lock_guard lock(mutex_);
  if (running_) return true;
  running_ = true;
  for (int i = 0; i < kMaxWorkers; ++i) slots_[i].task = ClientTask{};
  while (worker_count_ < kInitialWorkers && Grow()) {
  }
  return worker_count_ > 0;
}

bool CThreadPool::Grow() {
  int target = std::min(worker_count_ + kGrowth, kMaxWorkers);
  int started = 0;
  for (int i = worker_count_; i < target; ++i) {
    try {
      workers_[i] = std::thread(&CThreadPool::Work, this, i);
    } catch (const std::system_error&) {
      break;  // out of threads: serve with those we have
    }
    ++worker_count_;
    ++started;
  }
  return started > 0;
}

int CThreadPool::Dispatch(const ClientTask& task, const std::atomic<bool>* give_up) {
  std::unique_lock lock(mutex_);
  while (running_ && !(give_up && give_up->load())) {
    for (int i = 0; i < worker_count_; ++i) {
      Slot& slot = slots_[i];
      if (slot.task.state != ClientTask::kFree) continue;
      slot.task = task;
      slot.task.state = ClientTask::kAssigned;
      // Woken after the unlock, the worker finds the lock free instead of blocking on it.
      lock.unlock();
      slot.wake.notify_one();
      return i;
    }
    if (worker_count_ < kMaxWorkers && Grow()) continue;
    // Every slot is busy: wait for one, looking at give_up now and then.
    freed_.wait_for(lock, std::chrono::milliseconds(100));
  }
  return -1;
}

void CThreadPool::Work(int index) {
  // A client that has gone must not end the process: sendfile and plain writes to its socket
  // raise SIGPIPE, which stays blocked (and is never delivered) on the workers.
  sigset_t pipe_signal;
  sigemptyset(&pipe_signal);
  sigaddset(&pipe_signal, SIGPIPE);
  pthread_sigmask(SIG_BLOCK, &pipe_signal, nullptr);
  Slot& slot = slots_[index];
  std::unique_lock lock(mutex_);
  for (;;) {
    slot.wake.wait(lock, [&] { return !running_ || slot.task.state == ClientTask::kAssigned; });
    if (!running_) return;
    // While the state is assigned only this worker touches the slot, so Handle runs unlocked.
    lock.unlock();
    try {
      if (slot.task.service) slot.task.service->Handle(slot.task);
    } catch (...) {
      // A handler that fails (say, out of memory) loses its own connection, not the server.
    }
    // Closing may take a while (the kernel sends what is left); no lock is needed for it.
    if (slot.task.socket >= 0) close(slot.task.socket);
    lock.lock();
    slot.task = ClientTask{};
    freed_.notify_all();
  }
}

int CThreadPool::CountActiveLocked(const CServiceBasic* service) const {
  int count = 0;
  for (int i = 0; i < worker_count_; ++i) {
    const ClientTask& task = slots_[i].task;
    if (task.state == ClientTask::kAssigned && (!service || task.service == service)) ++count;
  }
  return count;
}

int CThreadPool::CountActive(const CServiceBasic* service) const {
  std::lock_guard lock(mutex_);
  return CountActiveLocked(service);
}

void CThreadPool::WaitIdle(const CServiceBasic* service) {
  std::unique_lock lock(mutex_);
  freed_.wait(lock, [&] { return !running_ || CountActiveLocked(service) == 0; });
}

int CThreadPool::WorkerCount() const {
  std::lock_guard lock(mutex_);
  return worker_count_;
}

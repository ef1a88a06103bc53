#include "service/ThreadPool.h"

#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <system_error>

CThreadPool::CThreadPool()
    : m_slots(std::make_unique<Slot[]>(kMaxWorkers)),
      m_workers(std::make_unique<std::thread[]>(kMaxWorkers)) {}

CThreadPool::~CThreadPool() {
  {
    std::lock_guard lock(m_mutex);
    m_running = false;
    for (int i = 0; i < m_worker_count; ++i) m_slots[i].wake.notify_one();
    m_freed.notify_all();
  }
  for (int i = 0; i < kMaxWorkers; ++i)
    if (m_workers[i].joinable()) m_workers[i].join();
  // Connections dispatched but never picked up.
  for (int i = 0; i < kMaxWorkers; ++i)
    if (m_slots[i].task.socket >= 0) close(m_slots[i].task.socket);
}

bool CThreadPool::Start() {
  std::lock_guard lock(m_mutex);
  if (m_running) return true;
  m_running = true;
  for (int i = 0; i < kMaxWorkers; ++i) m_slots[i].task = ClientTask{};
  while (m_worker_count < kInitialWorkers && Grow()) {
  }
  return m_worker_count > 0;
}

bool CThreadPool::Grow() {
  int target = std::min(m_worker_count + kGrowth, kMaxWorkers);
  int started = 0;
  for (int i = m_worker_count; i < target; ++i) {
    try {
      m_workers[i] = std::thread(&CThreadPool::Work, this, i);
    } catch (const std::system_error&) {
      break;  // out of threads: serve with those we have
    }
    ++m_worker_count;
    ++started;
  }
  return started > 0;
}

int CThreadPool::Dispatch(const ClientTask& task, const std::atomic<bool>* give_up) {
  std::unique_lock lock(m_mutex);
  while (m_running && !(give_up && give_up->load())) {
    for (int i = 0; i < m_worker_count; ++i) {
      Slot& slot = m_slots[i];
      if (slot.task.state != ClientTask::kFree) continue;
      slot.task = task;
      slot.task.state = ClientTask::kAssigned;
      // Woken after the unlock, the worker finds the lock free instead of blocking on it.
      lock.unlock();
      slot.wake.notify_one();
      return i;
    }
    if (m_worker_count < kMaxWorkers && Grow()) continue;
    // Every slot is busy: wait for one, looking at give_up now and then.
    m_freed.wait_for(lock, std::chrono::milliseconds(100));
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
  Slot& slot = m_slots[index];
  std::unique_lock lock(m_mutex);
  for (;;) {
    slot.wake.wait(lock, [&] { return !m_running || slot.task.state == ClientTask::kAssigned; });
    if (!m_running) return;
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
    m_freed.notify_all();
  }
}

int CThreadPool::CountActiveLocked(const CServiceBasic* service) const {
  int count = 0;
  for (int i = 0; i < m_worker_count; ++i) {
    const ClientTask& task = m_slots[i].task;
    if (task.state == ClientTask::kAssigned && (!service || task.service == service)) ++count;
  }
  return count;
}

int CThreadPool::CountActive(const CServiceBasic* service) const {
  std::lock_guard lock(m_mutex);
  return CountActiveLocked(service);
}

void CThreadPool::WaitIdle(const CServiceBasic* service) {
  std::unique_lock lock(m_mutex);
  m_freed.wait(lock, [&] { return !m_running || CountActiveLocked(service) == 0; });
}

int CThreadPool::WorkerCount() const {
  std::lock_guard lock(m_mutex);
  return m_worker_count;
}

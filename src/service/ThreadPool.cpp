#include "service/ThreadPool.h"

#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <optional>
#include <system_error>
#include <vector>

#include "base/IpAddress.h"

namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

// How often the guard looks again while the pool stays full.
constexpr auto kGuardSlice = 100ms;
// How long a worker waits for the next request of a connection it has just answered.
constexpr auto kLinger = 2ms;

// Accept errors that concern one connection (or a passing shortage), not the listener.
bool IsTransientAcceptError(int error) {
  switch (error) {
    case EINTR:
    case EAGAIN:
    case ECONNABORTED:
    case EPROTO:
    case EPERM:
    case ENETDOWN:
    case ENOPROTOOPT:
    case EHOSTDOWN:
    case ENONET:
    case EHOSTUNREACH:
    case EOPNOTSUPP:
    case ENETUNREACH:
      return true;
    default:
      return false;
  }
}

bool IsResourceShortage(int error) {
  return error == EMFILE || error == ENFILE || error == ENOBUFS || error == ENOMEM;
}

// Interrupts a worker's accept (which then fails with EINTR) so that it chooses its listener
// anew. SIGURG is ignored by default and raised by nothing else here: no socket has an owner.
constexpr int kWakeSignal = SIGURG;

void OnWakeSignal(int) {}

void InstallWakeHandler() {
  static std::once_flag once;
  std::call_once(once, [] {
    struct sigaction current {};
    sigaction(kWakeSignal, nullptr, &current);
    if (current.sa_handler != SIG_DFL && current.sa_handler != SIG_IGN) return;
    struct sigaction action {};
    action.sa_handler = OnWakeSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = 0;  // no SA_RESTART: the point is to end the wait
    sigaction(kWakeSignal, &action, nullptr);
  });
}

}  // namespace

CThreadPool::CThreadPool(Limits limits)
    : m_limits{std::clamp(limits.max_workers, 1, kMaxWorkers), std::max(limits.per_address, 1)},
      m_slots(std::make_unique<Slot[]>(static_cast<std::size_t>(m_limits.max_workers))),
      m_workers(std::make_unique<std::thread[]>(static_cast<std::size_t>(m_limits.max_workers))) {}

CThreadPool::~CThreadPool() {
  {
    std::lock_guard grow(m_grow_mutex);
    std::lock_guard lock(m_mutex);
    m_running = false;
    m_changed.notify_all();
    m_guard_wake.notify_all();
  }
  m_keeper.Stop();
  // A service still listening would keep its acceptors waiting forever.
  for (Listener& listener : m_listeners) {
    const int socket = listener.socket.load();
    if (socket >= 0) shutdown(socket, SHUT_RDWR);
  }
  if (m_guard.joinable()) m_guard.join();
  for (int i = 0; i < m_limits.max_workers; ++i)
    if (m_workers[i].joinable()) m_workers[i].join();
}

bool CThreadPool::Start() {
  std::lock_guard grow(m_grow_mutex);
  if (m_running) return true;
  InstallWakeHandler();
  if (!m_keeper.Start()) return false;
  m_running = true;
  try {
    m_guard = std::thread(&CThreadPool::Guard, this);
  } catch (const std::system_error&) {
    m_running = false;
    return false;
  }
  GrowTo(std::min(kInitialWorkers, m_limits.max_workers));
  return m_worker_count > 0;
}

bool CThreadPool::Grow() {
  std::lock_guard grow(m_grow_mutex);
  const int count = m_worker_count.load();
  // Another worker grew the pool meanwhile, or a connection ended.
  if (m_busy.load() < count) return true;
  if (!m_running || count >= m_limits.max_workers) return false;
  return GrowTo(std::min(count + kGrowth, m_limits.max_workers));
}

bool CThreadPool::GrowTo(int target) {
  int started = 0;
  for (int i = m_worker_count.load(); i < target; ++i) {
    try {
      m_workers[i] = std::thread(&CThreadPool::Work, this, i);
    } catch (const std::system_error&) {
      break;  // out of threads: serve with those we have
    }
    m_worker_count.store(i + 1, std::memory_order_release);
    ++started;
  }
  m_cannot_grow = started == 0;
  return started > 0;
}

bool CThreadPool::Full() const {
  const int count = m_worker_count.load(std::memory_order_acquire);
  return m_busy.load(std::memory_order_acquire) >= count &&
         (count >= m_limits.max_workers || m_cannot_grow.load(std::memory_order_relaxed));
}

bool CThreadPool::AddListener(CConnectionHandler* handler, const ConnectionRules* rules,
                              int listen_socket) {
  std::lock_guard lock(m_mutex);
  for (Listener& listener : m_listeners) {
    // An entry still being drained by RemoveListener keeps its service until it is free.
    if (listener.socket.load() >= 0 || listener.handler.load()) continue;
    listener.failed = false;
    listener.handler = handler;
    listener.rules = rules;
    listener.socket = listen_socket;
    m_changed.notify_all();  // workers waiting for a listener come at once
    ++m_listener_count;
    if (m_listener_count > 1) {
      // Those waiting on another listener are brought over by the guard.
      m_unbalanced = true;
      m_guard_wake.notify_one();
    }
    return true;
  }
  return false;
}

void CThreadPool::RemoveListener(const CConnectionHandler* handler) {
  // The connections waiting for a head of the service's go first: none is served any more.
  m_keeper.Forget(handler);
  Listener* entry = nullptr;
  int socket = -1;
  {
    std::lock_guard lock(m_mutex);
    for (Listener& listener : m_listeners) {
      if (listener.handler.load() == handler && listener.socket.load() >= 0) {
        entry = &listener;
        socket = listener.socket.exchange(-1);
        break;
      }
    }
  }
  if (!entry) return;
  // Every accept waiting on the socket fails at once; a worker about to call accept sees the
  // entry gone, or its accept fails as well.
  shutdown(socket, SHUT_RDWR);
  while (entry->users.load() > 0) std::this_thread::sleep_for(1ms);
  std::lock_guard lock(m_mutex);
  entry->handler = nullptr;
  entry->rules = nullptr;
  entry->failed = false;
  --m_listener_count;
}

CThreadPool::Listener* CThreadPool::Attach(int& listen_socket) {
  auto usable = [](const Listener& listener) {
    return listener.socket.load(std::memory_order_relaxed) >= 0 &&
           !listener.failed.load(std::memory_order_relaxed);
  };
  for (;;) {
    if (!m_running.load(std::memory_order_acquire)) return nullptr;
    // With several services, the one with the fewest waiting workers gets this one.
    Listener* best = nullptr;
    int fewest = INT_MAX;
    for (Listener& listener : m_listeners) {
      if (!usable(listener)) continue;
      const int users = listener.users.load(std::memory_order_relaxed);
      if (users < fewest) {
        best = &listener;
        fewest = users;
      }
    }
    if (best) {
      // Counted before the socket is read again: RemoveListener either sees this worker or
      // this worker sees the entry gone.
      best->users.fetch_add(1);
      listen_socket = best->socket.load();
      if (listen_socket >= 0 && !best->failed.load()) return best;
      best->users.fetch_sub(1);
      continue;
    }
    std::unique_lock lock(m_mutex);
    m_changed.wait(lock, [&] {
      return !m_running || std::any_of(std::begin(m_listeners), std::end(m_listeners), usable);
    });
  }
}

void CThreadPool::Work(int index) {
  // A client that has gone must not end the process: sendfile and plain writes to its socket
  // raise SIGPIPE, which stays blocked (and is never delivered) on the workers.
  sigset_t pipe_signal;
  sigemptyset(&pipe_signal);
  sigaddset(&pipe_signal, SIGPIPE);
  pthread_sigmask(SIG_BLOCK, &pipe_signal, nullptr);
  Slot& slot = m_slots[index];
  CConnection& connection = slot.connection;
  int listen_socket = -1;
  for (;;) {
    // Connections whose head has come while they waited go first: they were accepted earlier.
    if (m_keeper.HasReady() && m_running.load(std::memory_order_acquire) &&
        m_keeper.TakeReady(connection, [&](CConnectionHandler* handler) {
          slot.socket.store(connection.Descriptor(), std::memory_order_relaxed);
          const std::optional<tessel::IpAddress> address =
              tessel::IpAddress::FromSocket(reinterpret_cast<const sockaddr*>(&connection.Peer()));
          slot.address.store(address ? address->LimitKey() : 0, std::memory_order_relaxed);
          slot.since.store(Clock::now().time_since_epoch().count(), std::memory_order_relaxed);
          Claim(slot, handler);
        })) {
      Serve(slot, slot.handler.load(std::memory_order_relaxed));
      continue;
    }
    Listener* listener = Attach(listen_socket);
    if (!listener) break;
    slot.listener.store(static_cast<int>(listener - m_listeners), std::memory_order_relaxed);
    sockaddr_storage peer{};
    socklen_t length = sizeof peer;
    const int socket = accept4(listen_socket, reinterpret_cast<sockaddr*>(&peer), &length,
                               SOCK_CLOEXEC | SOCK_NONBLOCK);
    if (socket < 0) {
      const int error = errno;
      // A socket that fails otherwise than for one connection is not taken again; one shut
      // down by RemoveListener is already gone from the entry.
      const bool shortage = IsResourceShortage(error);
      if (!IsTransientAcceptError(error) && !shortage && listener->socket.load() == listen_socket) {
        listener->failed = true;
      }
      listener->users.fetch_sub(1);
      if (shortage) {
        // Idle connections give their descriptors back first.
        m_keeper.CloseOldestIdle(16);
        std::this_thread::sleep_for(100ms);
      }
      continue;
    }
    CConnectionHandler* const handler = listener->handler.load(std::memory_order_acquire);
    const Clock::time_point accepted = Clock::now();
    connection.Open(socket, *listener->rules.load(std::memory_order_acquire), peer, accepted, true);
    slot.socket.store(socket, std::memory_order_relaxed);
    const std::optional<tessel::IpAddress> address =
        tessel::IpAddress::FromSocket(reinterpret_cast<const sockaddr*>(&peer));
    slot.address.store(address ? address->LimitKey() : 0, std::memory_order_relaxed);
    slot.since.store(accepted.time_since_epoch().count(), std::memory_order_relaxed);
    // Published before the listener is let go, so that a stopping service waits for it.
    Claim(slot, handler);
    if (listener->users.fetch_sub(1, std::memory_order_acq_rel) == 1 &&
        m_listener_count.load(std::memory_order_relaxed) > 1) {
      // The last worker waiting on this listener: another may spare one.
      std::lock_guard lock(m_mutex);
      m_unbalanced = true;
      m_guard_wake.notify_one();
    }
    Serve(slot, handler);
  }
}

void CThreadPool::Claim(Slot& slot, CConnectionHandler* handler) {
  slot.handler.store(handler, std::memory_order_relaxed);
  slot.state.store(kServing, std::memory_order_release);
}

void CThreadPool::Serve(Slot& slot, CConnectionHandler* handler) {
  CConnection& connection = slot.connection;
  const int busy = m_busy.fetch_add(1, std::memory_order_acq_rel) + 1;
  const bool refused = busy >= m_worker_count.load(std::memory_order_acquire) && OnAllBusy(slot);
  bool wait = false;
  if (!refused && handler) {
    try {
      // Requests sent one after the other without waiting are answered here, in order.
      for (;;) {
        wait = handler->Handle(connection) && connection.TakeWaitRequest();
        if (!wait || !(connection.HeadArrived() || NextHeadSoon(connection))) break;
      }
    } catch (...) {
      // A handler that fails (say, out of memory) loses its own connection, not the server.
      wait = false;
    }
  }
  // The connection waits for its next head without the worker; otherwise it ends here.
  if (wait) m_keeper.Park(connection, handler);
  Release(slot);
}

bool CThreadPool::NextHeadSoon(CConnection& connection) {
  // A client that sends its next request as soon as it has the reply (a browser fetching a
  // page's parts, a script) saves the hand-over through the keeper if the worker waits a moment.
  // Only while workers are spare and nobody waits for one, so a lingering worker keeps no one out.
  if (!connection.Idle() || m_keeper.HasReady() ||
      m_busy.load(std::memory_order_relaxed) + 1 >= m_worker_count.load(std::memory_order_relaxed))
    return false;
  if (connection.WaitReadable(kLinger) != 1) return false;
  return connection.ReceiveHead() == CConnection::HeadArrival::kWhole;
}

void CThreadPool::WakeForReady() {
  const int workers = m_worker_count.load(std::memory_order_acquire);
  for (int i = 0; i < workers; ++i) {
    if (m_slots[i].state.load(std::memory_order_acquire) == kIdle) {
      pthread_kill(m_workers[i].native_handle(), kWakeSignal);
      return;
    }
  }
  // Every worker is busy: one that finishes takes the connection, or a new group does.
  if (workers < m_limits.max_workers) Grow();
}

void CThreadPool::Release(Slot& slot) {
  // While the guard shuts this socket down it must stay open: wait the moment out.
  for (int expected = kServing;
       !slot.state.compare_exchange_weak(expected, kClosing, std::memory_order_acq_rel);
       expected = kServing) {
    std::this_thread::yield();
  }
  slot.connection.Close();
  slot.handler.store(nullptr, std::memory_order_relaxed);
  slot.state.store(kIdle, std::memory_order_release);
  m_busy.fetch_sub(1, std::memory_order_acq_rel);
}

bool CThreadPool::OnAllBusy(Slot& slot) {
  if (m_worker_count.load() < m_limits.max_workers && Grow()) return false;
  if (!Full()) return false;
  // No worker is left for whoever connects next: an address that holds its share already gets
  // no more.
  if (CountFrom(slot.address.load(std::memory_order_relaxed), &slot) >= m_limits.per_address) {
    m_shed_count.fetch_add(1, std::memory_order_relaxed);
    return true;
  }
  std::lock_guard lock(m_mutex);
  if (!m_full) {
    m_full = true;
    m_guard_wake.notify_one();
  }
  return false;
}

int CThreadPool::CountFrom(std::uint64_t address, const Slot* except) const {
  int count = 0;
  const int workers = m_worker_count.load(std::memory_order_acquire);
  for (int i = 0; i < workers; ++i) {
    const Slot& slot = m_slots[i];
    if (&slot != except && slot.state.load(std::memory_order_acquire) != kIdle &&
        slot.address.load(std::memory_order_relaxed) == address) {
      ++count;
    }
  }
  return count;
}

void CThreadPool::Guard() {
  std::unique_lock lock(m_mutex);
  for (;;) {
    m_guard_wake.wait(lock, [&] { return !m_running || m_full || m_unbalanced; });
    if (!m_running) return;
    if (m_unbalanced) {
      m_unbalanced = false;
      lock.unlock();
      Balance();
      lock.lock();
    }
    if (!m_full) continue;
    lock.unlock();
    WatchWhileFull();
    lock.lock();
    // A worker that fills the pool again sets the flag under this lock, after this test.
    if (!Full()) m_full = false;
  }
}

void CThreadPool::Balance() {
  // A listener without a waiting worker gets one from the listener with the most waiting, which
  // keeps at least one; the interrupted worker takes the listener with the fewest. When none
  // can spare one, a group of new workers comes. An interruption that misses (the worker was
  // not yet in accept) is tried again.
  for (int attempt = 0; attempt < 100 && m_running; ++attempt) {
    int drained = -1, richest = -1, most = 1;
    for (int i = 0; i < kMaxListeners; ++i) {
      const Listener& listener = m_listeners[i];
      if (listener.socket.load() < 0 || listener.failed.load()) continue;
      const int users = listener.users.load();
      if (users == 0) drained = i;
      if (users > most) {
        richest = i;
        most = users;
      }
    }
    if (drained < 0) return;
    if (richest < 0) {
      std::lock_guard grow(m_grow_mutex);
      const int count = m_worker_count.load();
      if (!m_running || count >= m_limits.max_workers) return;
      GrowTo(std::min(count + kGrowth, m_limits.max_workers));
    } else {
      const int workers = m_worker_count.load(std::memory_order_acquire);
      for (int i = 0; i < workers; ++i) {
        const Slot& slot = m_slots[i];
        if (slot.state.load() == kIdle && slot.listener.load() == richest) {
          pthread_kill(m_workers[i].native_handle(), kWakeSignal);
          break;
        }
      }
    }
    std::this_thread::sleep_for(1ms);
  }
}

void CThreadPool::WatchWhileFull() {
  while (m_running.load() && Full()) {
    pollfd entries[kMaxListeners];
    Listener* watched[kMaxListeners];
    int count = 0;
    for (Listener& listener : m_listeners) {
      listener.users.fetch_add(1);
      const int socket = listener.socket.load();
      if (socket < 0 || listener.failed.load()) {
        listener.users.fetch_sub(1);
        continue;
      }
      entries[count] = pollfd{socket, POLLIN, 0};
      watched[count++] = &listener;
    }
    const auto slice = static_cast<int>(std::chrono::milliseconds(kGuardSlice).count());
    if (count == 0 || poll(entries, static_cast<nfds_t>(count), slice) <= 0) {
      for (int i = 0; i < count; ++i) watched[i]->users.fetch_sub(1);
      if (count == 0) std::this_thread::sleep_for(kGuardSlice);
      continue;
    }
    bool waiting = false;
    for (int i = 0; i < count; ++i) {
      waiting = waiting || (entries[i].revents & POLLIN) != 0;
      watched[i]->users.fetch_sub(1);
    }
    if (!waiting || !Full()) continue;
    if (!ShedOne()) {
      // Many addresses share the pool fairly: the waiting take their turn as workers free up.
      std::this_thread::sleep_for(kGuardSlice / 5);
      continue;
    }
    // The freed worker takes the next waiting connection before the pool is judged again.
    for (auto end = Clock::now() + kGuardSlice; Full() && Clock::now() < end;)
      std::this_thread::sleep_for(1ms);
  }
}

bool CThreadPool::ShedOne() {
  struct Held {
    std::uint64_t address;
    std::int64_t since;
    int index;
  };
  std::vector<Held> held;
  const int workers = m_worker_count.load(std::memory_order_acquire);
  held.reserve(static_cast<std::size_t>(workers));
  for (int i = 0; i < workers; ++i) {
    const Slot& slot = m_slots[i];
    if (slot.state.load(std::memory_order_acquire) != kServing) continue;
    held.push_back({slot.address.load(std::memory_order_relaxed),
                    slot.since.load(std::memory_order_relaxed), i});
  }
  std::sort(held.begin(), held.end(), [](const Held& a, const Held& b) {
    return a.address != b.address ? a.address < b.address : a.since < b.since;
  });
  // The address holding the most: [first, last) in the sorted list.
  std::size_t first = 0, last = 0;
  for (std::size_t begin = 0, end = 0; begin < held.size(); begin = end) {
    for (end = begin; end < held.size() && held[end].address == held[begin].address;) ++end;
    if (end - begin > last - first) {
      first = begin;
      last = end;
    }
  }
  if (last - first <= static_cast<std::size_t>(m_limits.per_address)) return false;
  // Its newest connection that is still the one seen.
  for (std::size_t i = last; i-- > first;) {
    Slot& slot = m_slots[held[i].index];
    int expected = kServing;
    if (!slot.state.compare_exchange_strong(expected, kShedding, std::memory_order_acq_rel))
      continue;
    if (slot.since.load(std::memory_order_relaxed) != held[i].since) {
      slot.state.store(kServing, std::memory_order_release);
      continue;
    }
    // The worker ends its request as on a vanished client and closes the socket itself.
    shutdown(slot.socket.load(std::memory_order_relaxed), SHUT_RDWR);
    slot.state.store(kServing, std::memory_order_release);
    m_shed_count.fetch_add(1, std::memory_order_relaxed);
    return true;
  }
  return false;
}

int CThreadPool::CountActive(const CConnectionHandler* handler) const {
  int count = 0;
  const int workers = m_worker_count.load(std::memory_order_acquire);
  for (int i = 0; i < workers; ++i) {
    const Slot& slot = m_slots[i];
    if (slot.state.load(std::memory_order_acquire) != kIdle &&
        (!handler || slot.handler.load(std::memory_order_relaxed) == handler)) {
      ++count;
    }
  }
  return count;
}

void CThreadPool::WaitIdle(const CConnectionHandler* handler) const {
  while (CountActive(handler) > 0) std::this_thread::sleep_for(1ms);
}

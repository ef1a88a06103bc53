#include "service/ConnectionKeeper.h"

#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <system_error>
#include <vector>

#include "base/IpAddress.h"

namespace {

using namespace std::chrono_literals;

// How often deadlines are looked at; while connections wait for a worker, how often the workers
// are woken again (a wake-up may come while no worker is in accept).
constexpr auto kTick = 250ms;
constexpr auto kReadyTick = 5ms;

}  // namespace

CConnectionKeeper::CConnectionKeeper(std::function<void()> wake) : m_wake(std::move(wake)) {}

CConnectionKeeper::~CConnectionKeeper() {
  Stop();
  std::lock_guard lock(m_mutex);
  while (!m_waiting.empty()) CloseLocked(m_waiting.begin());
  for (auto& ready : m_ready) ready->connection.Close();
  m_ready.clear();
  if (m_epoll >= 0) close(m_epoll);
  if (m_stop_event >= 0) close(m_stop_event);
}

void CConnectionKeeper::Stop() {
  {
    std::lock_guard lock(m_mutex);
    if (!m_running.exchange(false)) return;
  }
  const std::uint64_t one = 1;
  [[maybe_unused]] const ssize_t written = write(m_stop_event, &one, sizeof one);
  m_thread.join();
}

bool CConnectionKeeper::Start() {
  if (m_running) return true;
  m_epoll = epoll_create1(EPOLL_CLOEXEC);
  m_stop_event = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  if (m_epoll < 0 || m_stop_event < 0) return false;
  epoll_event event{};
  event.events = EPOLLIN;
  event.data.fd = m_stop_event;
  if (epoll_ctl(m_epoll, EPOLL_CTL_ADD, m_stop_event, &event) != 0) return false;
  m_running = true;
  try {
    m_thread = std::thread(&CConnectionKeeper::Run, this);
  } catch (const std::system_error&) {
    m_running = false;
    return false;
  }
  return true;
}

bool CConnectionKeeper::Arm(int socket, const CConnection& connection, bool add) const {
  epoll_event event{};
  // One event per arming: the connection is looked at by one thread at a time. A TLS session
  // may have to write before it reads on.
  const short wanted = connection.HeadEvents();
  event.events = EPOLLRDHUP | EPOLLONESHOT | ((wanted & POLLOUT) != 0 ? EPOLLOUT : 0u) |
                 ((wanted & POLLIN) != 0 ? EPOLLIN : 0u);
  event.data.fd = socket;
  return epoll_ctl(m_epoll, add ? EPOLL_CTL_ADD : EPOLL_CTL_MOD, socket, &event) == 0;
}

void CConnectionKeeper::Park(CConnection& connection, CConnectionHandler* handler) {
  auto waiting = std::make_unique<Waiting>();
  waiting->connection.TakeFrom(connection);
  waiting->handler = handler;
  // An IPv6 visitor counts by its /64, as for the worker cap.
  const std::optional<tessel::IpAddress> address =
      tessel::IpAddress::FromSocket(reinterpret_cast<const sockaddr*>(&waiting->connection.Peer()));
  waiting->address = address ? address->LimitKey() : 0;
  waiting->since = Clock::now();
  const int socket = waiting->connection.Descriptor();

  std::lock_guard lock(m_mutex);
  // Checked under the lock: a stopping service's Forget either sees this one or it is not kept.
  if (!m_running || !waiting->connection.IsRunning()) {
    waiting->connection.Close();
    return;
  }
  // One address keeps a bounded number waiting: its oldest idle one makes room.
  int from_address = 0;
  Table::iterator oldest = m_waiting.end();
  for (auto entry = m_waiting.begin(); entry != m_waiting.end(); ++entry) {
    if (entry->second->address != waiting->address) continue;
    ++from_address;
    if (entry->second->connection.Idle() &&
        (oldest == m_waiting.end() || entry->second->since < oldest->second->since))
      oldest = entry;
  }
  if (from_address >= kMaxPerAddress) {
    if (oldest == m_waiting.end()) {
      waiting->connection.Close();
      return;
    }
    CloseLocked(oldest);
  }
  if (!Arm(socket, waiting->connection, true)) {
    waiting->connection.Close();
    return;
  }
  m_waiting.emplace(socket, std::move(waiting));
}

bool CConnectionKeeper::TakeReady(CConnection& connection,
                                  const std::function<void(CConnectionHandler*)>& claim) {
  std::lock_guard lock(m_mutex);
  if (m_ready.empty()) return false;
  std::unique_ptr<Waiting> ready = std::move(m_ready.front());
  m_ready.pop_front();
  m_ready_count.fetch_sub(1, std::memory_order_acq_rel);
  connection.TakeFrom(ready->connection);
  claim(ready->handler);
  return true;
}

void CConnectionKeeper::Forget(const CConnectionHandler* handler) {
  std::lock_guard lock(m_mutex);
  for (auto entry = m_waiting.begin(); entry != m_waiting.end();) {
    auto next = std::next(entry);
    if (entry->second->handler == handler) CloseLocked(entry);
    entry = next;
  }
  const auto gone = std::remove_if(m_ready.begin(), m_ready.end(), [&](const auto& ready) {
    if (ready->handler != handler) return false;
    ready->connection.Close();
    return true;
  });
  m_ready_count.fetch_sub(static_cast<int>(m_ready.end() - gone), std::memory_order_acq_rel);
  m_ready.erase(gone, m_ready.end());
}

void CConnectionKeeper::CloseOldestIdle(int count) {
  std::lock_guard lock(m_mutex);
  std::vector<std::pair<Clock::time_point, int>> idle;
  for (const auto& [socket, waiting] : m_waiting)
    if (waiting->connection.Idle()) idle.emplace_back(waiting->since, socket);
  std::sort(idle.begin(), idle.end());
  for (int i = 0; i < count && i < static_cast<int>(idle.size()); ++i)
    CloseLocked(m_waiting.find(idle[static_cast<std::size_t>(i)].second));
}

int CConnectionKeeper::WaitingCount() const {
  std::lock_guard lock(m_mutex);
  return static_cast<int>(m_waiting.size() + m_ready.size());
}

void CConnectionKeeper::CloseLocked(Table::iterator entry) {
  const int socket = entry->first;
  epoll_ctl(m_epoll, EPOLL_CTL_DEL, socket, nullptr);
  entry->second->connection.Close();
  m_waiting.erase(entry);
}

void CConnectionKeeper::OnReadable(int socket) {
  std::lock_guard lock(m_mutex);
  const auto entry = m_waiting.find(socket);
  if (entry == m_waiting.end()) return;
  switch (entry->second->connection.ReceiveHead()) {
    case CConnection::HeadArrival::kWhole:
      epoll_ctl(m_epoll, EPOLL_CTL_DEL, socket, nullptr);
      m_ready.push_back(std::move(entry->second));
      m_waiting.erase(entry);
      m_ready_count.fetch_add(1, std::memory_order_acq_rel);
      break;
    case CConnection::HeadArrival::kPartial:
      if (!Arm(socket, entry->second->connection, false)) CloseLocked(entry);
      break;
    case CConnection::HeadArrival::kGone:
      CloseLocked(entry);
      break;
  }
}

void CConnectionKeeper::Expire() {
  const Clock::time_point now = Clock::now();
  std::lock_guard lock(m_mutex);
  for (auto entry = m_waiting.begin(); entry != m_waiting.end();) {
    auto next = std::next(entry);
    const CConnection& connection = entry->second->connection;
    const bool over = connection.Idle() ? now - entry->second->since >= connection.IdleTimeout()
                                        : now >= connection.HeadDeadline();
    if (over || !connection.IsRunning()) CloseLocked(entry);
    entry = next;
  }
}

void CConnectionKeeper::Run() {
  constexpr int kEvents = 256;
  epoll_event events[kEvents];
  Clock::time_point next_expiry = Clock::now() + kTick;
  while (m_running.load(std::memory_order_acquire)) {
    const auto tick = HasReady() ? kReadyTick : kTick;
    const int count = epoll_wait(m_epoll, events, kEvents, static_cast<int>(tick.count()));
    for (int i = 0; i < count; ++i) {
      if (events[i].data.fd == m_stop_event) continue;
      OnReadable(events[i].data.fd);
    }
    if (HasReady()) m_wake();
    if (Clock::now() >= next_expiry) {
      Expire();
      next_expiry = Clock::now() + kTick;
    }
  }
}

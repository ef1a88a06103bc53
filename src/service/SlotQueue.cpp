#include "service/SlotQueue.h"

#include <algorithm>

bool CSlotQueue::Turn(std::uint64_t ticket) const {
  if (m_in_use >= m_slots) return false;
  for (const Waiter& waiter : m_waiting)
    if (m_held.count(waiter.owner) == 0) return waiter.ticket == ticket;
  return m_waiting.front().ticket == ticket;
}

CSlotQueue::Outcome CSlotQueue::Acquire(const std::string& owner,
                                        const std::function<bool()>& keep_waiting,
                                        std::chrono::milliseconds max_wait,
                                        std::chrono::milliseconds check_every) {
  const auto deadline = std::chrono::steady_clock::now() + max_wait;
  std::unique_lock lock(m_mutex);
  const std::uint64_t ticket = m_next_ticket++;
  m_waiting.push_back({ticket, owner});
  const auto leave = [&](Outcome outcome) {
    m_waiting.erase(std::find_if(m_waiting.begin(), m_waiting.end(),
                                 [&](const Waiter& waiter) { return waiter.ticket == ticket; }));
    if (outcome == Outcome::kTaken) {
      ++m_in_use;
      ++m_held[owner];
    }
    // The next in line may find a slot free, or its turn come.
    m_changed.notify_all();
    return outcome;
  };
  for (;;) {
    if (Turn(ticket)) return leave(Outcome::kTaken);
    const auto now = std::chrono::steady_clock::now();
    if (now >= deadline) return leave(Outcome::kTimedOut);
    m_changed.wait_for(lock,
                       std::min<std::chrono::steady_clock::duration>(check_every, deadline - now));
    if (Turn(ticket)) continue;
    lock.unlock();
    const bool wanted = keep_waiting();
    lock.lock();
    if (!wanted) return leave(Outcome::kGaveUp);
  }
}

void CSlotQueue::Release(const std::string& owner) {
  {
    std::lock_guard lock(m_mutex);
    --m_in_use;
    const auto held = m_held.find(owner);
    if (held != m_held.end() && --held->second == 0) m_held.erase(held);
  }
  m_changed.notify_all();
}

int CSlotQueue::InUse() const {
  std::lock_guard lock(m_mutex);
  return m_in_use;
}

int CSlotQueue::Waiting() const {
  std::lock_guard lock(m_mutex);
  return static_cast<int>(m_waiting.size());
}

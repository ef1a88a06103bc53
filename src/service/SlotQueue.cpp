#include "service/SlotQueue.h"

#include <algorithm>

bool CSlotQueue::Acquire(const std::function<bool()>& keep_waiting,
                         std::chrono::milliseconds check_every) {
  std::unique_lock lock(m_mutex);
  const std::uint64_t ticket = m_next_ticket++;
  m_waiting.push_back(ticket);
  for (;;) {
    if (m_in_use < m_slots && m_waiting.front() == ticket) {
      m_waiting.pop_front();
      ++m_in_use;
      // The next in line may find a slot free too.
      m_changed.notify_all();
      return true;
    }
    m_changed.wait_for(lock, check_every);
    if (m_in_use < m_slots && m_waiting.front() == ticket) continue;
    lock.unlock();
    const bool wanted = keep_waiting();
    lock.lock();
    if (!wanted) {
      m_waiting.erase(std::find(m_waiting.begin(), m_waiting.end(), ticket));
      m_changed.notify_all();
      return false;
    }
  }
}

void CSlotQueue::Release() {
  {
    std::lock_guard lock(m_mutex);
    --m_in_use;
  }
  m_changed.notify_all();
}

int CSlotQueue::InUse() const {
  std::lock_guard lock(m_mutex);
  return m_in_use;
}

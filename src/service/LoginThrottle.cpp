#include "service/LoginThrottle.h"

#include <algorithm>
#include <optional>

#include "base/IpAddress.h"

namespace {

// An IPv6 visitor is counted by its /64: the low bits are the visitor's to change at will.
std::string Key(const std::string& address) {
  const std::optional<tessel::IpAddress> parsed = tessel::IpAddress::Parse(address);
  return parsed && parsed->IsV6() ? parsed->LimitText() : address;
}

}  // namespace

void CLoginThrottle::SetClock(Now now) {
  std::lock_guard lock(m_mutex);
  m_now = std::move(now);
}

bool CLoginThrottle::Admits(const std::string& address) {
  std::lock_guard lock(m_mutex);
  const auto found = m_records.find(Key(address));
  if (found == m_records.end() || !found->second.refusing) return true;
  Record& record = found->second;
  const Clock::time_point now = m_now();
  if (now - record.last_attempt >= kWindow) {
    m_records.erase(found);  // a quiet minute ends the episode and its count
    return true;
  }
  record.last_attempt = now;
  return false;
}

bool CLoginThrottle::Failed(const std::string& address) {
  std::lock_guard lock(m_mutex);
  const Clock::time_point now = m_now();
  if (m_records.size() >= m_sweep_at) {
    Sweep(now);
    // Many addresses still active: the next sweep waits until they have doubled.
    m_sweep_at = std::max(kSweepAt, 2 * m_records.size());
  }
  Record& record = m_records[Key(address)];
  if (record.refusing) {
    record.last_attempt = now;
    return false;
  }
  record.failures.push_back(now);
  while (now - record.failures.front() >= kWindow) record.failures.pop_front();
  if (record.failures.size() < static_cast<std::size_t>(kMaxFailures)) return false;
  record.failures.clear();
  record.refusing = true;
  record.last_attempt = now;
  return true;
}

void CLoginThrottle::Sweep(Clock::time_point now) {
  for (auto it = m_records.begin(); it != m_records.end();) {
    const Record& record = it->second;
    const Clock::time_point latest =
        record.refusing ? record.last_attempt
                        : (record.failures.empty() ? Clock::time_point() : record.failures.back());
    if (now - latest >= kWindow)
      it = m_records.erase(it);
    else
      ++it;
  }
}

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

#include "base/AsciiText.h"

namespace {

// Names compare without regard to letter case, so "Admin" counts as "admin".
std::string AccountKey(const std::string& name) {
  std::string key = name;
  for (char& c : key) c = tessel::FoldCase(c);
  return key;
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

std::size_t CLoginThrottle::RecentFailures(
    std::unordered_map<std::string, AccountRecord>::iterator found, Clock::time_point now) {
  std::deque<Clock::time_point>& failures = found->second.failures;
  while (!failures.empty() && now - failures.front() >= kWindow) failures.pop_front();
  const std::size_t count = failures.size();
  if (count == 0) m_accounts.erase(found);
  return count;
}

bool CLoginThrottle::AdmitsAccount(const std::string& name) {
  std::lock_guard lock(m_mutex);
  const auto found = m_accounts.find(AccountKey(name));
  if (found == m_accounts.end() || !found->second.slowed) return true;
  AccountRecord& record = found->second;
  const Clock::time_point now = m_now();
  const Clock::time_point next_check = record.next_check;
  const std::size_t count = RecentFailures(found, now);
  if (count < static_cast<std::size_t>(kMaxAccountFailures)) {
    if (count > 0) record.slowed = false;  // the episode is over
    return true;
  }
  if (now < next_check) return false;
  // The next check is due a delay later whatever this one finds, so that attempts sent together
  // are not all let through.
  const auto beyond = static_cast<int>(count) - kMaxAccountFailures + 2;
  record.next_check =
      now + std::min<std::chrono::milliseconds>(kMaxAccountDelay, kAccountStep * beyond);
  return true;
}

bool CLoginThrottle::AccountFailed(const std::string& name) {
  std::lock_guard lock(m_mutex);
  const Clock::time_point now = m_now();
  if (m_accounts.size() >= m_account_sweep_at) {
    for (auto it = m_accounts.begin(); it != m_accounts.end();) {
      const auto next = std::next(it);
      RecentFailures(it, now);
      it = next;
    }
    m_account_sweep_at = std::max(kSweepAt, 2 * m_accounts.size());
  }
  const auto found = m_accounts.try_emplace(AccountKey(name)).first;
  AccountRecord& record = found->second;
  record.failures.push_back(now);
  const std::size_t count = RecentFailures(found, now);
  if (record.slowed || count < static_cast<std::size_t>(kMaxAccountFailures)) return false;
  record.slowed = true;
  record.next_check = now + kAccountStep;
  return true;
}

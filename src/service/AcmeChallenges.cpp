#include "service/AcmeChallenges.h"

void CAcmeChallenges::Publish(const std::string& token, const std::string& key_authorization) {
  std::lock_guard lock(m_mutex);
  m_answers[token] = key_authorization;
}

void CAcmeChallenges::Withdraw(const std::string& token) {
  std::lock_guard lock(m_mutex);
  m_answers.erase(token);
}

std::optional<std::string> CAcmeChallenges::Answer(std::string_view path) const {
  if (path.substr(0, kPathPrefix.size()) != kPathPrefix) return std::nullopt;
  const std::string_view token = path.substr(kPathPrefix.size());
  std::lock_guard lock(m_mutex);
  const auto found = m_answers.find(token);
  if (found == m_answers.end()) return std::nullopt;
  return found->second;
}

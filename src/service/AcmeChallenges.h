#pragma once
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>

// The answers to pending ACME HTTP-01 challenges, which the HTTP service gives anyone asking for
// kPathPrefix + TOKEN. Every method may be called from any thread.
class CAcmeChallenges {
 public:
  static constexpr std::string_view kPathPrefix = "/.well-known/acme-challenge/";

  void Publish(const std::string& token, const std::string& key_authorization);
  void Withdraw(const std::string& token);
  // The answer for a request path, when it names a pending challenge.
  std::optional<std::string> Answer(std::string_view path) const;

 private:
  mutable std::mutex m_mutex;
  std::map<std::string, std::string, std::less<>> m_answers;
};

#pragma once

#include <chrono>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <unordered_map>

// Slows password guessing to a crawl: after kMaxFailures failed logins from one address within
// kWindow, logins from that address are refused without being checked until kWindow passes with
// no attempt from it. Other addresses are not affected. An IPv6 address counts as its /64, the
// block one home is given. Safe for use by several threads at once.
class CLoginThrottle {
 public:
  using Clock = std::chrono::steady_clock;
  using Now = std::function<Clock::time_point()>;

  static constexpr int kMaxFailures = 10;
  static constexpr std::chrono::seconds kWindow{60};
  // Quiet addresses are forgotten once this many are known, so a flood of addresses cannot
  // make the table grow without end.
  static constexpr std::size_t kSweepAt = 4096;

  // now tells the time; tests pass a clock of their own.
  explicit CLoginThrottle(Now now = Clock::now) : m_now(std::move(now)) {}

  void SetClock(Now now);

  // Called for every login attempt from address before it is checked: false when logins from it
  // are refused now. A refused attempt keeps the refusal going for another kWindow.
  bool Admits(const std::string& address);
  // Records a failed login from address; true when that failure starts a refusal (once per
  // episode, for the log).
  bool Failed(const std::string& address);

 private:
  struct Record {
    std::deque<Clock::time_point> failures;  // within kWindow of the latest, oldest first
    bool refusing = false;
    Clock::time_point last_attempt;  // while refusing
  };

  // Forgets addresses with nothing within kWindow of now.
  void Sweep(Clock::time_point now);

  std::mutex m_mutex;
  Now m_now;
  std::unordered_map<std::string, Record> m_records;
  std::size_t m_sweep_at = kSweepAt;
};

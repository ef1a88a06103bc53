#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <ctime>
#include <functional>
#include <mutex>
#include <string>
#include <thread>

#include "net/AcmeClient.h"
#include "service/AcmeChallenges.h"
#include "service/TlsCertificates.h"

// Keeps an ACME certificate for the owner's domain (setting "CertDomain"), else for the external
// address the Internet check learned (while "internetaccess" is not "0"), unless "CertSource"
// chooses the owner's files or the self-signed certificate: obtains one when there
// is none for that name, renews it when a third of its lifetime is left, and tries again after a
// failure, waiting twice as long each time up to kMaxRetry. Runs on a thread of its own. Each
// failure is reported in words with the time of the next try; the certificate in use stays.
class CAcmeRenewal {
 public:
  // Let's Encrypt's production directory.
  static constexpr const char* kDefaultDirectory = "https://acme-v02.api.letsencrypt.org/directory";
  static constexpr const char* kAccountKeyFile = "acme-account-key.pem";
  static constexpr std::chrono::seconds kFirstRetry{std::chrono::minutes(5)};
  static constexpr std::chrono::seconds kMaxRetry{std::chrono::hours(6)};

  using Setting = std::function<std::string(const std::string& name)>;
  using Report = std::function<void(const std::string& line)>;
  using Clock = std::function<std::time_t()>;
  // Asks the router to forward external port 80 to the HTTP port while a validation runs; the
  // function returned undoes it afterwards. Either may be empty.
  using Forward = std::function<std::function<void()>()>;

  struct Options {
    std::chrono::seconds first_retry = kFirstRetry;
    std::chrono::seconds max_retry = kMaxRetry;
    // How the client polls the certificate authority.
    std::chrono::milliseconds poll_interval{std::chrono::seconds(2)};
  };

  // Everything given must outlive the object.
  CAcmeRenewal(CTlsCertificates& certificates, CAcmeChallenges& challenges, std::string data_folder,
               Setting setting, Report report, Forward forward, Options options);
  CAcmeRenewal(CTlsCertificates& certificates, CAcmeChallenges& challenges, std::string data_folder,
               Setting setting, Report report, Forward forward)
      : CAcmeRenewal(certificates, challenges, std::move(data_folder), std::move(setting),
                     std::move(report), std::move(forward), Options{}) {}
  // Cancels a run under way and waits for the thread.
  ~CAcmeRenewal();
  CAcmeRenewal(const CAcmeRenewal&) = delete;
  CAcmeRenewal& operator=(const CAcmeRenewal&) = delete;

  void Start();
  // The Internet check learned the external address.
  void SetExternalAddress(const std::string& address);
  // Looks again at once (the settings or the clock changed).
  void Wake();
  // The clock renewal is judged by; set before Start (tests move it).
  void SetClock(Clock clock) { m_clock = std::move(clock); }

  // The last failure in words; empty after a success.
  std::string LastError() const;
  // Certificates obtained so far.
  int Obtained() const { return m_obtained.load(); }

 private:
  void Run();
  // The name to keep a certificate for; empty when there is none.
  std::string Identifier() const;
  // When the certificate for identifier is due: now when there is none.
  std::time_t Due(const std::string& identifier) const;
  void Attempt(const std::string& identifier);

  CTlsCertificates& m_certificates;
  CAcmeChallenges& m_challenges;
  const std::string m_data_folder;
  Setting m_setting;
  Report m_report;
  Forward m_forward;
  const Options m_options;
  Clock m_clock = [] { return std::time(nullptr); };

  mutable std::mutex m_mutex;
  std::condition_variable m_wake;
  bool m_woken = false;
  std::string m_external;
  std::string m_error;
  std::string m_failed_for;  // the identifier of the failures counted in m_retry
  std::chrono::seconds m_retry{0};
  std::time_t m_next_try = 0;
  std::atomic<bool> m_stop{false};
  std::atomic<int> m_obtained{0};
  std::thread m_thread;
};

#include "app/AcmeRenewal.h"

#include <algorithm>

CAcmeRenewal::CAcmeRenewal(CTlsCertificates& certificates, CAcmeChallenges& challenges,
                           std::string data_folder, Setting setting, Report report, Forward forward,
                           Options options)
    : m_certificates(certificates),
      m_challenges(challenges),
      m_data_folder(std::move(data_folder)),
      m_setting(std::move(setting)),
      m_report(std::move(report)),
      m_forward(std::move(forward)),
      m_options(options) {}

CAcmeRenewal::~CAcmeRenewal() {
  m_stop = true;
  Wake();
  if (m_thread.joinable()) m_thread.join();
}

void CAcmeRenewal::Start() {
  if (!m_thread.joinable()) m_thread = std::thread([this] { Run(); });
}

void CAcmeRenewal::SetExternalAddress(const std::string& address) {
  {
    std::lock_guard lock(m_mutex);
    if (address == m_external) return;
    m_external = address;
  }
  Wake();
}

void CAcmeRenewal::Wake() {
  std::lock_guard lock(m_mutex);
  m_woken = true;
  m_wake.notify_all();
}

std::string CAcmeRenewal::LastError() const {
  std::lock_guard lock(m_mutex);
  return m_error;
}

std::string CAcmeRenewal::Identifier() const {
  // The owner chose a certificate that is not ACME's.
  const std::string choice = m_setting(CTlsCertificates::kChoiceSetting);
  if (choice == CTlsCertificates::kChoiceOwn || choice == CTlsCertificates::kChoiceSelfSigned)
    return {};
  const std::string domain = m_setting("CertDomain");
  if (!domain.empty()) return domain;
  if (m_setting("internetaccess") == "0") return {};
  std::lock_guard lock(m_mutex);
  return m_external;
}

std::time_t CAcmeRenewal::Due(const std::string& identifier) const {
  const auto kept = m_certificates.KeptAcme();
  if (!kept) return 0;
  const auto names = kept->Names();
  if (std::find(names.begin(), names.end(), identifier) == names.end()) return 0;
  // Renewed with a third of its lifetime left.
  return kept->NotBefore() + (kept->NotAfter() - kept->NotBefore()) * 2 / 3;
}

void CAcmeRenewal::Run() {
  while (!m_stop) {
    const std::string identifier = Identifier();
    std::time_t due = identifier.empty() ? 0 : Due(identifier);
    {
      std::lock_guard lock(m_mutex);
      if (identifier != m_failed_for) m_retry = std::chrono::seconds(0);  // a new name
      if (m_retry.count() > 0) due = std::max(due, m_next_try);
    }
    const std::time_t now = m_clock();
    if (!identifier.empty() && now >= due) {
      Attempt(identifier);
      continue;
    }
    // Looked at again at least once a minute: the settings have no change notice.
    const auto wait =
        std::chrono::seconds(identifier.empty() ? 60 : std::clamp<std::time_t>(due - now, 1, 60));
    std::unique_lock lock(m_mutex);
    m_wake.wait_for(lock, wait, [this] { return m_woken || m_stop; });
    m_woken = false;
  }
}

void CAcmeRenewal::Attempt(const std::string& identifier) {
  CAcmeClient::Options options;
  options.directory = m_setting("AcmeDirectory");
  if (options.directory.empty()) options.directory = kDefaultDirectory;
  options.ca_file = m_setting("AcmeCaFile");
  options.account_key_file = m_data_folder + "/" + kAccountKeyFile;
  options.poll_interval = m_options.poll_interval;
  CAcmeClient client(options);
  client.SetCancel(&m_stop);
  const std::function<void()> undo = m_forward ? m_forward() : nullptr;
  auto certificate = client.Obtain(
      identifier,
      [this](const std::string& token, const std::string& answer) {
        m_challenges.Publish(token, answer);
      },
      [this](const std::string& token) { m_challenges.Withdraw(token); });
  if (undo) undo();
  if (m_stop) return;
  std::string error = client.LastError();
  if (certificate && m_certificates.UseAcme(certificate, &error)) {
    ++m_obtained;
    std::lock_guard lock(m_mutex);
    m_error.clear();
    m_retry = std::chrono::seconds(0);
    m_failed_for.clear();
    return;
  }
  std::lock_guard lock(m_mutex);
  m_retry = m_failed_for == identifier
                ? std::min(m_retry * 2, std::chrono::seconds(m_options.max_retry))
                : m_options.first_retry;
  m_failed_for = identifier;
  m_next_try = m_clock() + m_retry.count();
  m_error = error;
  m_report("HTTPS: no ACME certificate for " + identifier + ": " + error + "; next try at " +
           tessel::LocalTimeText(m_next_try));
}

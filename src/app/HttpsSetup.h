#pragma once

#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "app/AcmeRenewal.h"
#include "service/AcmeChallenges.h"
#include "service/TlsCertificates.h"
#include "service/TlsContext.h"

// The program's HTTPS: the TLS context the service serves, the certificates chosen for it, the
// ACME renewal and the answers to its challenges, and what the Internet check does for them
// (it reports the external address, forwards 443 and shows an https URL once a trusted
// certificate covers the address). The lines that say which certificate is in use, and why ACME
// failed, wait until the log has its receiver (the window's Logs list, or standard output),
// then go there as they come.
class CHttpsSetup {
 public:
  using Setting = std::function<std::string(const std::string& name)>;
  using Line = std::function<void(const std::string& line)>;

  // setting and http_port (0 while nothing listens) must outlive the object.
  CHttpsSetup(const std::string& data_folder, Setting setting, std::function<int()> http_port);
  ~CHttpsSetup();
  CHttpsSetup(const CHttpsSetup&) = delete;
  CHttpsSetup& operator=(const CHttpsSetup&) = delete;

  // Chooses the certificate to serve, installs the Internet check's hooks and starts the ACME
  // renewal. False when no certificate can be served (TLS is then refused).
  bool Start(CAcmeRenewal::Options options = {});
  // Ends the renewal (cancelling a run under way) and the Internet check's hooks; before the
  // service stops.
  void Stop();
  // From now on lines go to line, those held back first. It is called on any thread.
  void SetLog(Line line);

  // What the window shows of HTTPS.
  struct State {
    CTlsCertificates::Status certificate;
    std::string acme_error;  // the last ACME failure in words; empty after a success
  };
  State Current() const;
  // What the Settings dialog shows of HTTPS, as lines for an owner without it: the certificate's
  // line (as at each change) when with_certificate, its issuer, where certificates come from,
  // why the owner's files are not used, and the last ACME error.
  std::vector<std::string> FactLines(bool with_certificate) const;
  // The same of state; choice is the setting that says where certificates come from.
  static std::vector<std::string> FactLines(const State& state, const std::string& choice,
                                            bool with_certificate);
  // The owner changed the settings: the certificate and the renewal look at them again now.
  void SettingsChanged();

  CTlsContext& Context() { return m_context; }
  CTlsCertificates& Certificates() { return m_certificates; }
  const CAcmeChallenges& Challenges() const { return m_challenges; }
  // Null before Start.
  CAcmeRenewal* Renewal() { return m_renewal.get(); }

  // The names of a self-signed certificate: the machine's name, "localhost", the loopback
  // address and the machine's addresses.
  static std::vector<std::string> SelfSignedNames();

 private:
  void Report(const std::string& line);
  // The name friends reach over https at address: one the trusted certificate covers.
  std::string TrustedName(const std::string& address) const;
  // Forwards external port 80 to the HTTP port on the router for a validation.
  std::function<void()> ForwardPort80();

  Setting m_setting;
  std::function<int()> m_http_port;
  std::string m_data_folder;
  CTlsContext m_context;
  CTlsCertificates m_certificates;
  CAcmeChallenges m_challenges;
  std::mutex m_mutex;
  std::vector<std::string> m_held;
  Line m_line;
  std::unique_ptr<CAcmeRenewal> m_renewal;
};

#include "app/HttpsSetup.h"

#include <unistd.h>

#include <algorithm>
#include <climits>

#include "net/InternetCheck.h"
#include "net/UPnPNat.h"

CHttpsSetup::CHttpsSetup(const std::string& data_folder, Setting setting,
                         std::function<int()> http_port)
    : m_setting(std::move(setting)),
      m_http_port(std::move(http_port)),
      m_data_folder(data_folder),
      m_certificates(
          m_context, data_folder, m_setting, [this](const std::string& line) { Report(line); },
          SelfSignedNames) {}

CHttpsSetup::~CHttpsSetup() {
  Stop();
}

void CHttpsSetup::Stop() {
  tessel::SetHttpsHooks({});
  m_renewal.reset();
}

bool CHttpsSetup::Start(CAcmeRenewal::Options options) {
  const bool serving = m_certificates.Start();
  m_renewal = std::make_unique<CAcmeRenewal>(
      m_certificates, m_challenges, m_data_folder, m_setting,
      [this](const std::string& line) { Report(line); }, [this] { return ForwardPort80(); },
      options);
  tessel::SetHttpsHooks(
      {[this](const std::string& address) { m_renewal->SetExternalAddress(address); },
       [this](const std::string& address) { return TrustedName(address); }});
  m_renewal->Start();
  return serving;
}

CHttpsSetup::State CHttpsSetup::Current() const {
  return {m_certificates.Current(), m_renewal ? m_renewal->LastError() : ""};
}

std::vector<std::string> CHttpsSetup::FactLines(bool with_certificate) const {
  std::string choice = m_setting(CTlsCertificates::kChoiceSetting);
  // Unchosen, the owner's files serve when they are named, else ACME's.
  if (choice.empty())
    choice = m_setting("CertFile").empty() ? CTlsCertificates::kChoiceAcme
                                           : CTlsCertificates::kChoiceOwn;
  return FactLines(Current(), choice, with_certificate);
}

std::vector<std::string> CHttpsSetup::FactLines(const State& state, const std::string& choice,
                                                bool with_certificate) {
  std::vector<std::string> lines;
  if (const auto& certificate = state.certificate.certificate) {
    if (with_certificate)
      lines.push_back(tessel::CertificateLine(
          CTlsCertificates::SourceName(state.certificate.source), *certificate));
    lines.push_back("HTTPS: issued by " + certificate->Issuer());
  } else {
    lines.push_back("HTTPS: no certificate in use");
  }
  // Any other word counts as ACME, as it does for the renewal.
  const std::string from = choice == CTlsCertificates::kChoiceOwn          ? "own files"
                           : choice == CTlsCertificates::kChoiceSelfSigned ? "self-signed"
                                                                           : "automatic (ACME)";
  lines.push_back("HTTPS: certificates from " + from);
  if (!state.certificate.own_error.empty())
    lines.push_back("HTTPS: own certificate files not in use: " + state.certificate.own_error);
  lines.push_back("HTTPS: last ACME error: " +
                  (state.acme_error.empty() ? std::string("none") : state.acme_error));
  return lines;
}

void CHttpsSetup::SettingsChanged() {
  m_certificates.Refresh();
  if (m_renewal) m_renewal->Wake();
}

void CHttpsSetup::SetLog(Line line) {
  std::vector<std::string> held;
  {
    std::lock_guard lock(m_mutex);
    m_line = std::move(line);
    held.swap(m_held);
  }
  for (const std::string& text : held) m_line(text);
}

void CHttpsSetup::Report(const std::string& line) {
  Line sink;
  {
    std::lock_guard lock(m_mutex);
    if (!m_line) {
      m_held.push_back(line);
      return;
    }
    sink = m_line;
  }
  sink(line);
}

std::string CHttpsSetup::TrustedName(const std::string& address) const {
  if (!m_certificates.Trusted()) return {};
  const auto certificate = m_context.Certificate();
  if (!certificate) return {};
  const std::vector<std::string> names = certificate->Names();
  const auto covers = [&](const std::string& name) {
    return !name.empty() && std::find(names.begin(), names.end(), name) != names.end();
  };
  const std::string domain = m_setting("CertDomain");
  if (covers(domain)) return domain;
  return covers(address) ? address : "";
}

std::function<void()> CHttpsSetup::ForwardPort80() {
  // Only where the owner lets Tessel change the router's forwardings.
  const int port = m_http_port();
  if (m_setting("internetaccess") == "0" || port == 0) return nullptr;
  auto nat = std::make_shared<CUPnPNat>();
  if (!nat->Discover() || !nat->GetExternalIPAddress()) return nullptr;
  const std::string local = nat->LocalIp();
  // The Internet check's own forwarding when the port is 80 already: it stays.
  if (port == 80) return nullptr;
  const std::string description = "Tessel(" + local + ":" + std::to_string(port) + ")";
  if (!nat->AddPortMapping(description, local, 80, static_cast<uint16_t>(port), "TCP"))
    return nullptr;
  return [nat] { nat->DeletePortMapping(80, "TCP"); };
}

std::vector<std::string> CHttpsSetup::SelfSignedNames() {
  std::vector<std::string> names;
  char host[HOST_NAME_MAX + 1] = {};
  if (gethostname(host, sizeof host - 1) == 0 && host[0]) names.emplace_back(host);
  for (std::string name : {std::string("localhost"), std::string("127.0.0.1")})
    if (names.empty() || names.front() != name) names.push_back(std::move(name));
  for (std::string& address : tessel::GetLocalAddresses()) names.push_back(std::move(address));
  return names;
}

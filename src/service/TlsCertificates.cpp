#include "service/TlsCertificates.h"

#include <sys/stat.h>

CTlsCertificates::CTlsCertificates(CTlsContext& context, std::string data_folder, Setting setting,
                                   Report report, Names names)
    : m_context(context),
      m_data_folder(std::move(data_folder)),
      m_setting(std::move(setting)),
      m_report(std::move(report)),
      m_names(std::move(names)) {}

const char* CTlsCertificates::SourceName(Source source) {
  switch (source) {
    case Source::kOwn:
      return "own";
    case Source::kAcme:
      return "ACME";
    case Source::kSelfSigned:
      return "self-signed";
    case Source::kNone:
      break;
  }
  return "no";
}

CTlsCertificates::FileStamp CTlsCertificates::Stamp(const std::string& path) {
  struct stat status {};
  if (stat(path.c_str(), &status) != 0) return {};
  return {status.st_dev, status.st_ino, status.st_size,
          static_cast<std::int64_t>(status.st_mtim.tv_sec) * 1000000000 + status.st_mtim.tv_nsec};
}

std::string CTlsCertificates::DataPath(const char* name) const {
  return m_data_folder + "/" + name;
}

bool CTlsCertificates::Valid(const CTlsCertificate& certificate) const {
  const std::time_t now = m_clock();
  return certificate.NotBefore() <= now + 3600 && now < certificate.NotAfter();
}

bool CTlsCertificates::Start() {
  std::lock_guard lock(m_mutex);
  m_self_signed = LoadOrMakeSelfSigned();
  std::string ignored;
  auto acme = CTlsCertificate::LoadPem(DataPath(kAcmeFile), DataPath(kAcmeKeyFile), &ignored);
  if (acme && Valid(*acme)) m_acme = acme;
  RefreshLocked(true);
  return m_source != Source::kNone;
}

std::shared_ptr<const CTlsCertificate> CTlsCertificates::LoadOrMakeSelfSigned() {
  const std::string cert_file = DataPath(kSelfSignedFile);
  const std::string key_file = DataPath(kSelfSignedKeyFile);
  std::string error;
  auto kept = CTlsCertificate::LoadPem(cert_file, key_file, &error);
  if (kept && Valid(*kept)) return kept;
  auto made = CTlsCertificate::MakeSelfSigned(m_names(), kSelfSignedDays, &error);
  if (!made) {
    m_report("HTTPS: cannot make a self-signed certificate: " + error);
    return nullptr;
  }
  // Unsaved, it still serves this run; the next start makes another.
  if (!made->SavePem(cert_file, key_file, &error))
    m_report("HTTPS: cannot keep the self-signed certificate: " + error);
  return made;
}

void CTlsCertificates::Refresh() {
  std::lock_guard lock(m_mutex);
  RefreshLocked(false);
}

void CTlsCertificates::RefreshLocked(bool force) {
  const auto now = std::chrono::steady_clock::now();
  bool changed = force;
  if (force || now - m_settings_read >= kSettingsInterval) {
    m_settings_read = now;
    std::string choice = m_setting(kChoiceSetting);
    // The owner's files count unless the owner chose another source.
    const bool own = choice.empty() || choice == kChoiceOwn;
    std::string cert_file = own ? m_setting("CertFile") : "";
    std::string key_file = own ? m_setting("KeyFile") : "";
    if (key_file.empty()) key_file = cert_file;  // one file may hold both
    if (cert_file != m_cert_file || key_file != m_key_file || choice != m_choice) {
      m_cert_file = std::move(cert_file);
      m_key_file = std::move(key_file);
      m_choice = std::move(choice);
      changed = true;
    }
  }
  if (m_cert_file.empty()) {
    if (changed) {
      m_own_error.clear();
      ServeFallback();
    }
    return;
  }
  const FileStamp cert_stamp = Stamp(m_cert_file);
  const FileStamp key_stamp = Stamp(m_key_file);
  if (!changed && cert_stamp == m_cert_stamp && key_stamp == m_key_stamp) return;
  m_cert_stamp = cert_stamp;
  m_key_stamp = key_stamp;
  auto own = LoadOwn();
  if (own && Serve(Source::kOwn, own)) return;
  // At start, or when the files were set just now, something must serve; later the previous
  // own certificate is better than none of the owner's.
  if (force || m_source != Source::kOwn) {
    m_report("HTTPS: cannot use the own certificate files: " + m_own_error);
    ServeFallback();
  } else {
    m_report("HTTPS: cannot use the own certificate files: " + m_own_error +
             "; the previous certificate stays in use");
  }
}

std::shared_ptr<const CTlsCertificate> CTlsCertificates::LoadOwn() {
  std::string error;
  auto own = CTlsCertificate::LoadPem(m_cert_file, m_key_file, &error);
  if (own && !Valid(*own)) {
    error = m_cert_file + ": the certificate expired on " + tessel::LocalTimeText(own->NotAfter());
    own.reset();
  }
  m_own_error = own ? "" : error;
  return own;
}

bool CTlsCertificates::ServeFallback() {
  if (m_choice != kChoiceSelfSigned && m_acme && Valid(*m_acme) && Serve(Source::kAcme, m_acme))
    return true;
  return m_self_signed && Serve(Source::kSelfSigned, m_self_signed);
}

bool CTlsCertificates::Serve(Source source, std::shared_ptr<const CTlsCertificate> certificate) {
  if (source == m_source && certificate == m_context.Certificate()) return true;
  std::string error;
  if (!m_context.Use(certificate, &error)) {
    if (source == Source::kOwn) m_own_error = error;
    m_report(std::string("HTTPS: cannot serve the ") + SourceName(source) +
             " certificate: " + error);
    return false;
  }
  m_source = source;
  m_report(tessel::CertificateLine(SourceName(source), *certificate));
  return true;
}

bool CTlsCertificates::UseAcme(std::shared_ptr<const CTlsCertificate> certificate,
                               std::string* error) {
  std::lock_guard lock(m_mutex);
  if (!CTlsContext::MakeServerContext(*certificate, error)) return false;
  const bool kept = certificate->SavePem(DataPath(kAcmeFile), DataPath(kAcmeKeyFile), error);
  m_acme = std::move(certificate);
  if (m_source != Source::kOwn && m_choice != kChoiceSelfSigned) Serve(Source::kAcme, m_acme);
  return kept;
}

std::shared_ptr<const CTlsCertificate> CTlsCertificates::KeptAcme() const {
  std::lock_guard lock(m_mutex);
  return m_acme;
}

CTlsCertificates::Status CTlsCertificates::Current() const {
  std::lock_guard lock(m_mutex);
  return {m_source, m_context.Certificate(), m_cert_file.empty() ? "" : m_own_error};
}

bool CTlsCertificates::Trusted() const {
  std::lock_guard lock(m_mutex);
  return m_source == Source::kOwn || m_source == Source::kAcme;
}

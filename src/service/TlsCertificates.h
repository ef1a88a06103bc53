#pragma once
#include <sys/types.h>

#include <chrono>
#include <ctime>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "base/TlsCertificate.h"
#include "service/TlsContext.h"

// Chooses the certificate the TLS context serves, in this order: the owner's own files (settings
// "CertFile" and "KeyFile", PEM, chain included), one obtained by ACME, else a self-signed one
// made at the first start. All are kept in files; those of the program in the data folder, mode
// 0600. The owner's files are looked at again before each handshake and taken up as soon as they
// change; files that cannot be used are reported and the certificate in use stays. Each change of
// the certificate in use is reported as a tessel::CertificateLine. Every method may be called
// from any thread. The setting "CertSource" narrows the choice: "own" (the owner's files, else
// the fallbacks), "acme" (the owner's files are not looked at), "self-signed" (neither they nor
// ACME); empty means all in the order above.
class CTlsCertificates {
 public:
  enum class Source { kNone, kOwn, kAcme, kSelfSigned };

  static constexpr const char* kChoiceSetting = "CertSource";
  static constexpr const char* kChoiceOwn = "own";
  static constexpr const char* kChoiceAcme = "acme";
  static constexpr const char* kChoiceSelfSigned = "self-signed";

  // The program's files in the data folder.
  static constexpr const char* kSelfSignedFile = "tls-self-signed.pem";
  static constexpr const char* kSelfSignedKeyFile = "tls-self-signed-key.pem";
  static constexpr const char* kAcmeFile = "tls-acme.pem";
  static constexpr const char* kAcmeKeyFile = "tls-acme-key.pem";
  // How long a self-signed certificate lasts: its fingerprint is what friends check, so it
  // should not change often.
  static constexpr int kSelfSignedDays = 3650;
  // How often the settings naming the owner's files are read again.
  static constexpr std::chrono::seconds kSettingsInterval{1};

  using Setting = std::function<std::string(const std::string& name)>;
  using Report = std::function<void(const std::string& line)>;
  using Names = std::function<std::vector<std::string>()>;
  using Clock = std::function<std::time_t()>;

  struct Status {
    Source source = Source::kNone;
    std::shared_ptr<const CTlsCertificate> certificate;
    std::string own_error;  // why the owner's files are not in use, when they are set
  };

  // context and the functions must outlive the object. names gives the names and addresses a
  // self-signed certificate covers (the machine's name first).
  CTlsCertificates(CTlsContext& context, std::string data_folder, Setting setting, Report report,
                   Names names);

  // Serves the best certificate there is, making the self-signed one when it is missing, expired
  // or unreadable, and reports the one in use. False when none could be served.
  bool Start();
  // Takes up changed own files (and a change of the settings naming them). Cheap when nothing
  // changed: a look at two files' status.
  void Refresh();
  // An ACME certificate was obtained: keeps it in the data folder and serves it unless the
  // owner's files are in use. False, with *error, when it cannot be served or kept.
  bool UseAcme(std::shared_ptr<const CTlsCertificate> certificate, std::string* error);
  // The ACME certificate kept from before, when there is one still valid.
  std::shared_ptr<const CTlsCertificate> KeptAcme() const;
  // What is in use, for the window and the Internet check.
  Status Current() const;
  // Whether browsers trust what is served without asking their user: an own or ACME
  // certificate.
  bool Trusted() const;

  // The clock expiry is judged by; tests pass one of their own.
  void SetClock(Clock clock) { m_clock = std::move(clock); }

  static const char* SourceName(Source source);

 private:
  // A file's identity and version: a replacement (renamed over it) or a rewrite changes it.
  struct FileStamp {
    dev_t device = 0;
    ino_t inode = 0;
    off_t size = -1;
    std::int64_t modified_ns = 0;
    bool operator==(const FileStamp&) const = default;
  };
  static FileStamp Stamp(const std::string& path);

  std::string DataPath(const char* name) const;
  std::shared_ptr<const CTlsCertificate> LoadOrMakeSelfSigned();
  // Loads the owner's files when set; null with m_own_error set when they cannot be used.
  std::shared_ptr<const CTlsCertificate> LoadOwn();
  // Serves certificate from source and reports it when it differs from the one in use.
  bool Serve(Source source, std::shared_ptr<const CTlsCertificate> certificate);
  // Falls back from the owner's files to ACME or self-signed.
  bool ServeFallback();
  bool Valid(const CTlsCertificate& certificate) const;
  void RefreshLocked(bool force);

  CTlsContext& m_context;
  const std::string m_data_folder;
  Setting m_setting;
  Report m_report;
  Names m_names;
  Clock m_clock = [] { return std::time(nullptr); };

  mutable std::mutex m_mutex;
  Source m_source = Source::kNone;
  std::shared_ptr<const CTlsCertificate> m_self_signed;
  std::shared_ptr<const CTlsCertificate> m_acme;
  std::string m_cert_file, m_key_file;  // the settings as last read
  std::string m_choice;
  FileStamp m_cert_stamp, m_key_stamp;  // of the owner's files as last looked at
  std::string m_own_error;
  std::chrono::steady_clock::time_point m_settings_read{};
};

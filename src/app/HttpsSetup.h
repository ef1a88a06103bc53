#pragma once

#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "service/TlsCertificates.h"
#include "service/TlsContext.h"

// The program's HTTPS: the TLS context the service serves and the certificates chosen for it.
// The lines that say which certificate is in use wait until the log has its receiver (the window's
// Logs list, or standard output), then go there as they come.
class CHttpsSetup {
 public:
  using Setting = std::function<std::string(const std::string& name)>;
  using Line = std::function<void(const std::string& line)>;

  // setting must outlive the object.
  CHttpsSetup(const std::string& data_folder, Setting setting);
  CHttpsSetup(const CHttpsSetup&) = delete;
  CHttpsSetup& operator=(const CHttpsSetup&) = delete;

  // Chooses the certificate to serve. False when none can be served (TLS is then refused).
  bool Start();
  // From now on lines go to line, those held back first. It is called on any thread.
  void SetLog(Line line);

  CTlsContext& Context() { return m_context; }
  CTlsCertificates& Certificates() { return m_certificates; }

  // The names of a self-signed certificate: the machine's name, "localhost", the loopback
  // address and the machine's addresses.
  static std::vector<std::string> SelfSignedNames();

 private:
  void Report(const std::string& line);

  CTlsContext m_context;
  CTlsCertificates m_certificates;
  std::mutex m_mutex;
  std::vector<std::string> m_held;
  Line m_line;
};

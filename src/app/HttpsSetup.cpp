#include "app/HttpsSetup.h"

#include <unistd.h>

#include <climits>

#include "net/InternetCheck.h"

CHttpsSetup::CHttpsSetup(const std::string& data_folder, Setting setting)
    : m_certificates(
          m_context, data_folder, std::move(setting),
          [this](const std::string& line) { Report(line); }, SelfSignedNames) {}

bool CHttpsSetup::Start() {
  return m_certificates.Start();
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

std::vector<std::string> CHttpsSetup::SelfSignedNames() {
  std::vector<std::string> names;
  char host[HOST_NAME_MAX + 1] = {};
  if (gethostname(host, sizeof host - 1) == 0 && host[0]) names.emplace_back(host);
  for (std::string name : {std::string("localhost"), std::string("127.0.0.1")})
    if (names.empty() || names.front() != name) names.push_back(std::move(name));
  for (std::string& address : tessel::GetLocalAddresses()) names.push_back(std::move(address));
  return names;
}

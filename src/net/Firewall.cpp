#include "net/Firewall.h"

namespace {

class SystemFirewallBackend final : public CFirewallBackend {
 public:
  FW_ERROR_CODE OpenProfile() override { return FW_OK; }
  void CloseProfile() override {}
  FW_ERROR_CODE FindApp(const std::string&, bool* found, bool* enabled) override {
    *found = false;
    *enabled = false;
    return FW_OK;
  }
  FW_ERROR_CODE AddApp(const std::string&, const std::string&) override { return FW_OK; }
  FW_ERROR_CODE RemoveApp(const std::string&) override { return FW_OK; }
};

}  // namespace

CFirewallBackend& CFirewallBackend::System() {
  static SystemFirewallBackend backend;
  return backend;
}

FW_ERROR_CODE CFirewall::Attach() {
  if (m_attached) return FW_ERR_NOT_ATTACHED;
  const FW_ERROR_CODE code = m_backend.OpenProfile();
  m_attached = code == FW_OK;
  return code;
}

FW_ERROR_CODE CFirewall::Detach() {
  if (m_attached) m_backend.CloseProfile();
  m_attached = false;
  return FW_OK;
}

FW_ERROR_CODE CFirewall::IsAppAuthorized(const char* path, bool* enabled) {
  bool unused = false;
  bool& result = enabled ? *enabled : unused;
  result = false;
  if (!m_attached) return FW_ERR_NOT_ATTACHED;
  if (!path) return FW_ERR_ARGUMENT;
  if (!*path) return FW_ERR_EMPTY_TEXT;
  bool found = false;
  bool on = false;
  const FW_ERROR_CODE code = m_backend.FindApp(path, &found, &on);
  if (code != FW_OK) return code;
  result = found && on;
  return FW_OK;
}

FW_ERROR_CODE CFirewall::AuthorizeApp(const char* path, const char* name) {
  if (!m_attached) return FW_ERR_NOT_ATTACHED;
  if (!path || !name) return FW_ERR_ARGUMENT;
  bool enabled = false;
  const FW_ERROR_CODE code = IsAppAuthorized(path, &enabled);
  if (code != FW_OK) return code;
  if (enabled) return FW_OK;
  if (!*name) return FW_ERR_EMPTY_TEXT;
  return m_backend.AddApp(path, name);
}

FW_ERROR_CODE CFirewall::RevokeApp(const char* path) {
  if (!m_attached) return FW_ERR_NOT_ATTACHED;
  if (!path) return FW_ERR_ARGUMENT;
  bool enabled = false;
  const FW_ERROR_CODE code = IsAppAuthorized(path, &enabled);
  if (code != FW_OK) return code;
  // A disabled entry is the user's choice: leave it.
  if (!enabled) return FW_OK;
  return m_backend.RemoveApp(path);
}

extern "C" int _FirewallAddApplication(const char* path, const char* name) {
  CFirewall firewall;
  firewall.Attach();  // a failure shows as "not attached" below
  const FW_ERROR_CODE code = firewall.AuthorizeApp(path, name);
  firewall.Detach();
  return code;
}

extern "C" int _FirewallRemoveApplication(const char* path) {
  CFirewall firewall;
  firewall.Attach();
  const FW_ERROR_CODE code = firewall.RevokeApp(path);
  firewall.Detach();
  return code;
}

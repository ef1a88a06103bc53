#pragma once

#include <string>

// Results of the firewall component; 0 is success.
enum FW_ERROR_CODE : int {
  FW_OK = 0,
  FW_ERR_NOT_ATTACHED = 1,  // also: Attach while already attached
  FW_ERR_MANAGER = 2,       // the firewall manager cannot be reached
  FW_ERR_POLICY = 3,        // the local policy cannot be read
  FW_ERR_PROFILE = 4,       // the current profile cannot be read
  FW_ERR_ARGUMENT = 7,      // no path or no name
  FW_ERR_APP_LIST = 8,      // the authorised-application list cannot be read
  FW_ERR_ENABLED = 9,       // the enabled state of an entry cannot be read
  FW_ERR_NEW_APP = 10,      // a new entry cannot be created
  FW_ERR_EMPTY_TEXT = 11,   // a path or name is empty
  FW_ERR_SET_IMAGE = 12,    // the path cannot be set on the new entry
  FW_ERR_SET_NAME = 13,     // the name cannot be set on the new entry
  FW_ERR_ADD = 14,          // the new entry cannot be added to the list
  FW_ERR_REMOVE = 15,       // the entry cannot be removed from the list
};

// The system firewall's list of programs allowed to accept connections, as the firewall component
// needs it. Implementations return the FW_ERROR_CODE of the step that failed.
class CFirewallBackend {
 public:
  virtual ~CFirewallBackend() = default;

  // Opens the current profile: FW_OK, FW_ERR_MANAGER, FW_ERR_POLICY or FW_ERR_PROFILE.
  virtual FW_ERROR_CODE OpenProfile() = 0;
  virtual void CloseProfile() = 0;
  // Looks path up in the list: FW_OK with *found (and *enabled when found), FW_ERR_APP_LIST or
  // FW_ERR_ENABLED.
  virtual FW_ERROR_CODE FindApp(const std::string& path, bool* found, bool* enabled) = 0;
  // Adds an enabled entry: FW_OK, FW_ERR_APP_LIST, FW_ERR_NEW_APP, FW_ERR_SET_IMAGE,
  // FW_ERR_SET_NAME or FW_ERR_ADD.
  virtual FW_ERROR_CODE AddApp(const std::string& path, const std::string& name) = 0;
  // Removes the entry of path: FW_OK, FW_ERR_APP_LIST or FW_ERR_REMOVE.
  virtual FW_ERROR_CODE RemoveApp(const std::string& path) = 0;

  // This system's firewall. Linux desktops keep no per-program list, so it admits every program:
  // every operation succeeds and nothing is ever listed.
  static CFirewallBackend& System();
};

// Keeps a program in the firewall's list of authorised applications. Detached at construction;
// every operation but Attach needs the object attached. Not thread-safe.
class CFirewall {
 public:
  explicit CFirewall(CFirewallBackend& backend = CFirewallBackend::System()) : m_backend(backend) {}
  ~CFirewall() { Detach(); }
  CFirewall(const CFirewall&) = delete;
  CFirewall& operator=(const CFirewall&) = delete;

  // Opens the current profile; FW_ERR_NOT_ATTACHED when already attached.
  FW_ERROR_CODE Attach();
  // Releases the profile; always FW_OK.
  FW_ERROR_CODE Detach();
  // *enabled is true when path is listed and enabled.
  FW_ERROR_CODE IsAppAuthorized(const char* path, bool* enabled);
  // Lists path under name unless it is already listed and enabled.
  FW_ERROR_CODE AuthorizeApp(const char* path, const char* name);
  // Removes path's entry when it is listed and enabled; otherwise changes nothing.
  FW_ERROR_CODE RevokeApp(const char* path);

 private:
  CFirewallBackend& m_backend;
  bool m_attached = false;
};

// For installers: add or remove a program's firewall exception with a temporary CFirewall on the
// system firewall. Return an FW_ERROR_CODE. Exported by the tessel executable.
extern "C" int _FirewallAddApplication(const char* path, const char* name);
extern "C" int _FirewallRemoveApplication(const char* path);

#pragma once

#include <atomic>
#include <chrono>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "net/Ipv6Addresses.h"
#include "net/Ipv6Pinhole.h"

class CIpv6Pinhole;
class CUPnPNat;

// Where an Internet check shows how it goes: the main window, or standard output in headless
// mode. Every call comes from the check's own thread; an implementation carries the update to the
// thread its window belongs to.
class InternetCheckView {
 public:
  virtual ~InternetCheckView() = default;
  // The status bar's text field.
  virtual void SetStatusText(const std::string& text) = 0;
  // The address a friend should open.
  virtual void SetPageUrl(const std::string& url) = 0;
  // The address form of the server's URL, from which links to single files are built.
  virtual void SetDirectUrl(const std::string& url) = 0;
  virtual void SetInfoText(const std::string& text) = 0;
  // The IPv6 address friends can open besides the page URL; empty when there is none.
  virtual void SetIpv6Url(const std::string& url) { static_cast<void>(url); }
  // The progress bar runs from 0 to 10.
  virtual void SetProgress(int position) = 0;
  virtual void StepProgress() = 0;
};

namespace tessel {

// The web service that tells callers their external address and keeps the friendly URLs. Its
// requests carry the owner's password digest: over https unless a test's fake says otherwise.
struct WebService {
  std::string host;
  int port = 80;
  bool https = false;
  // The build's web-service URL (https unless the build says otherwise).
  static WebService Default();
  // "https://host" (port 443) or "http://host" (port 80), with ":port" for any other port.
  std::string Url() const;
};

// The IPv4 addresses of this computer's interfaces that are up, loopback excluded, as dotted text
// in the system's interface order.
std::vector<std::string> GetLocalAddresses();

// Asks the web service for this computer's external address ("/getip.php"). Returns it when the
// answer is one dotted IPv4 address (blanks around it allowed), otherwise "". With an address,
// *local_address is this computer's end of the connection that asked; otherwise "". cancel, when
// given and set, stops the request early.
std::string GetWebExternalAddress(const WebService& web, std::string* local_address,
                                  const std::atomic<bool>* cancel = nullptr);

// The MD5 digest of text's bytes as 32 lowercase hexadecimal characters.
std::string Md5Hex(const std::string& text);

// The address friends open: "http://host" on port 80, else "http://host:port".
std::string ServerUrl(const std::string& host, int port);

// What HTTPS needs of every Internet check, whoever runs it (the window or the headless timer).
// Installed by the program before checks run; each may be empty.
struct HttpsHooks {
  // Told each external address a check learns, on the check's thread.
  std::function<void(const std::string& address)> external_address;
  // The name a trusted certificate covers for the external address (the address itself, or the
  // owner's domain), empty when none is served. With one, the check forwards external port 443
  // to the HTTP port too and shows "https://NAME".
  std::function<std::string(const std::string& address)> trusted_name;
};
void SetHttpsHooks(HttpsHooks hooks);

}  // namespace tessel

// Everything one Internet check works with.
struct InternetCheckContext {
  CUPnPNat& nat;  // the process's one gateway client; the check must be its only user meanwhile
  InternetCheckView& view;
  std::function<std::string(const std::string& name)> setting;  // reads a setting
  int http_port = 0;                                            // where the service listens
  tessel::WebService web = tessel::WebService::Default();
  std::function<std::vector<std::string>()> local_addresses = tessel::GetLocalAddresses;
  // This computer's stable IPv6 addresses, global ones first.
  std::function<std::vector<std::string>()> v6_addresses = tessel::GetStableV6Addresses;
  // The pinhole for the service in the gateway's IPv6 firewall, kept from check to check; none
  // is opened when null.
  CIpv6Pinhole* pinhole = nullptr;
  // Pause after the forwarding is made, before the URL is shown.
  std::chrono::milliseconds settle{1000};
  // When given and set, the check ends at its next step (the program is exiting).
  const std::atomic<bool>* cancel = nullptr;
};

// One Internet check, run on the calling thread. With the setting "internetaccess" other than
// "0": learns the external address (gateway, else web service), replaces this computer's port
// forwardings on the gateway with one for the HTTP port (another external port when another host
// holds it), shows the resulting URL, and registers it as the friendly URL when "URLUsername" and
// "URLPassword" are set. With a global IPv6 address it also opens (or renews) a pinhole in the
// gateway's IPv6 firewall and shows that URL too; when the external IPv4 address is one the
// provider shares (or a private one), it says so and the IPv6 URL is the one shown. With "0":
// shows the LAN URL and removes this computer's forwardings and pinhole.
void InternetCheckThread(const InternetCheckContext& context);

// Runs Internet checks on a thread of their own, never two at a time (they share the gateway
// client). Destroying it cancels a running check, waits for it to end and removes the pinhole.
class CInternetCheck {
 public:
  // The settings and the HTTP port are read anew by each check.
  CInternetCheck(CUPnPNat& nat, InternetCheckView& view,
                 std::function<std::string(const std::string& name)> setting,
                 std::function<int()> http_port,
                 tessel::WebService web = tessel::WebService::Default());
  ~CInternetCheck();
  CInternetCheck(const CInternetCheck&) = delete;
  CInternetCheck& operator=(const CInternetCheck&) = delete;

  // Starts a check. False, starting nothing, while the previous check still runs.
  bool Start();
  bool Running() const { return m_running.load(); }
  // Waits until no check runs.
  void Wait();

  // For tests: the pause after the forwarding, and where the local addresses come from.
  void SetSettle(std::chrono::milliseconds settle) { m_settle = settle; }
  void SetLocalAddresses(std::function<std::vector<std::string>()> local_addresses) {
    m_local_addresses = std::move(local_addresses);
  }
  void SetV6Addresses(std::function<std::vector<std::string>()> v6_addresses) {
    m_v6_addresses = std::move(v6_addresses);
  }

 private:
  CUPnPNat& m_nat;
  InternetCheckView& m_view;
  std::function<std::string(const std::string&)> m_setting;
  std::function<int()> m_http_port;
  tessel::WebService m_web;
  std::function<std::vector<std::string>()> m_local_addresses = tessel::GetLocalAddresses;
  std::function<std::vector<std::string>()> m_v6_addresses = tessel::GetStableV6Addresses;
  std::chrono::milliseconds m_settle{1000};
  CIpv6Pinhole m_pinhole;  // closed when the object goes

  std::mutex m_mutex;  // serialises Start, Wait and the destructor
  std::thread m_thread;
  std::atomic<bool> m_running{false};
  std::atomic<bool> m_cancel{false};
};

#include "net/InternetCheck.h"

#include <arpa/inet.h>
#include <curl/curl.h>
#include <ifaddrs.h>
#include <net/if.h>
#include <netinet/in.h>
#include <openssl/evp.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <set>
#include <string_view>

#include "base/AsciiText.h"
#include "base/IpAddress.h"
#include "base/UrlCodec.h"
#include "net/UPnPNat.h"
#include "res/StringIds.h"
#include "res/StringTable.h"

namespace {

using Clock = std::chrono::steady_clock;
using tessel::res::String;

// The web service's answers that matter are a few bytes; the rest of a longer one is not read.
constexpr size_t kMaxAnswer = 1023;
constexpr long kWebConnectTimeoutMs = 10000;
constexpr long kWebTimeoutMs = 30000;
constexpr const char* kProtocol = "TCP";

bool Cancelled(const std::atomic<bool>* cancel) {
  return cancel && cancel->load();
}

void Pause(std::chrono::milliseconds duration, const std::atomic<bool>* cancel) {
  const auto end = Clock::now() + duration;
  for (auto now = Clock::now(); now < end && !Cancelled(cancel); now = Clock::now()) {
    std::this_thread::sleep_for(
        std::min<Clock::duration>(end - now, std::chrono::milliseconds(50)));
  }
}

using tessel::StartsWithNoCase;

// An address friends can be sent to: dotted IPv4, and not 0.0.0.0, which gateways without a
// public address report.
bool IsUsableAddress(const std::string& text) {
  in_addr address{};
  return inet_pton(AF_INET, text.c_str(), &address) == 1 && address.s_addr != 0;
}

// A gateway's port text as a port number; 0 when it is none.
int PortNumber(const std::string& text) {
  if (text.empty() || text.size() > 5) return 0;
  int value = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return 0;
    value = value * 10 + (c - '0');
  }
  return value <= 65535 ? value : 0;
}

// The forwardings of this computer are those whose description starts with this, in any case.
std::string OwnPrefix(const std::string& local_address) {
  return "Tessel(" + local_address + ":";
}

// Reads the gateway's table and removes this computer's forwardings from it. With others given,
// collects the external ports of every other forwarding there. False when the table cannot be
// read.
bool DeleteOwnMappings(CUPnPNat& nat, const std::string& local_address, std::vector<int>* others,
                       const std::atomic<bool>* cancel) {
  if (!nat.ListPortMappings()) return false;
  // Copies: deleting reuses the client.
  const std::vector<std::string> descriptions = nat.MapDescriptions();
  const std::vector<std::string> ports = nat.MapExternalPorts();
  const std::vector<std::string> protocols = nat.MapProtocols();
  const std::string prefix = OwnPrefix(local_address);
  for (size_t i = 0; i < descriptions.size() && !Cancelled(cancel); ++i) {
    const int port = PortNumber(ports[i]);
    if (StartsWithNoCase(descriptions[i], prefix)) {
      // An entry without a valid port cannot be named to the gateway.
      if (port != 0) nat.DeletePortMapping(static_cast<uint16_t>(port), protocols[i]);
    } else if (others && port != 0) {
      others->push_back(port);
    }
  }
  return true;
}

// The HTTP port, unless another host forwards it already: then one past the highest external
// port forwarded to another host, or, when that is past the last port, the first port after the
// HTTP port that no other host holds.
int ChooseExternalPort(int http_port, const std::vector<int>& others) {
  if (std::find(others.begin(), others.end(), http_port) == others.end()) return http_port;
  const int highest = *std::max_element(others.begin(), others.end());
  if (highest < 65535) return highest + 1;
  const std::set<int> taken(others.begin(), others.end());
  for (int step = 1; step < 65535; ++step) {
    const int port = (http_port - 1 + step) % 65535 + 1;
    if (!taken.count(port)) return port;
  }
  return http_port;
}

void EnsureCurl() {
  static std::once_flag once;
  std::call_once(once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
}

struct WebAnswer {
  bool ok = false;  // sent, and an answer read
  std::string body;
  std::string local_address;
};

size_t CollectBody(char* data, size_t size, size_t count, void* user) {
  auto* body = static_cast<std::string*>(user);
  const size_t bytes = size * count;
  const size_t room = kMaxAnswer - std::min(kMaxAnswer, body->size());
  body->append(data, std::min(bytes, room));
  // Once full, stop the transfer: what follows is never looked at.
  return bytes <= room ? bytes : 0;
}

int CheckCancel(void* user, curl_off_t, curl_off_t, curl_off_t, curl_off_t) {
  return Cancelled(static_cast<const std::atomic<bool>*>(user)) ? 1 : 0;
}

// GET target from the web service: through the proxy the environment names, if any; never from
// or into a cache, without cookies, and not following redirections.
WebAnswer WebGet(const tessel::WebService& web, const std::string& target,
                 const std::atomic<bool>* cancel) {
  EnsureCurl();
  WebAnswer answer;
  CURL* curl = curl_easy_init();
  if (!curl) return answer;
  const std::string url =
      (web.https ? "https://" : "http://") + web.host + ":" + std::to_string(web.port) + target;
  curl_slist* headers = nullptr;
  headers = curl_slist_append(headers, "Cache-Control: no-cache");
  headers = curl_slist_append(headers, "Pragma: no-cache");
  curl_easy_setopt(curl, CURLOPT_URL, url.c_str());
  curl_easy_setopt(curl, CURLOPT_PROTOCOLS_STR, web.https ? "https" : "http");
  curl_easy_setopt(curl, CURLOPT_HTTPHEADER, headers);
  curl_easy_setopt(curl, CURLOPT_USERAGENT, "Tessel");
  curl_easy_setopt(curl, CURLOPT_FOLLOWLOCATION, 0L);
  curl_easy_setopt(curl, CURLOPT_NOSIGNAL, 1L);
  // The address the web service sees must be the IPv4 one friends reach and the gateway forwards.
  curl_easy_setopt(curl, CURLOPT_IPRESOLVE, CURL_IPRESOLVE_V4);
  curl_easy_setopt(curl, CURLOPT_CONNECTTIMEOUT_MS, kWebConnectTimeoutMs);
  curl_easy_setopt(curl, CURLOPT_TIMEOUT_MS, kWebTimeoutMs);
  curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, CollectBody);
  curl_easy_setopt(curl, CURLOPT_WRITEDATA, &answer.body);
  if (cancel) {
    curl_easy_setopt(curl, CURLOPT_XFERINFOFUNCTION, CheckCancel);
    curl_easy_setopt(curl, CURLOPT_XFERINFODATA, const_cast<std::atomic<bool>*>(cancel));
    curl_easy_setopt(curl, CURLOPT_NOPROGRESS, 0L);
  }
  const CURLcode result = curl_easy_perform(curl);
  answer.ok =
      result == CURLE_OK || (result == CURLE_WRITE_ERROR && answer.body.size() == kMaxAnswer);
  char* local = nullptr;
  if (answer.ok && curl_easy_getinfo(curl, CURLINFO_LOCAL_IP, &local) == CURLE_OK && local) {
    answer.local_address = local;
  }
  curl_easy_cleanup(curl);
  curl_slist_free_all(headers);
  return answer;
}

// Registers host and port as the friendly URL of the user; true with *friendly_url when the web
// service accepts them.
bool RegisterFriendlyUrl(const InternetCheckContext& context, const std::string& user,
                         const std::string& password, const std::string& host, int port,
                         std::string* friendly_url) {
  // Our own values are safe in a URL; the user name is encoded so that it stays one value.
  const std::string target = "/update.php?username=" + tessel::UrlEncode(user) +
                             "&password=" + tessel::Md5Hex(password) + "&ip=" + host +
                             "&port=" + std::to_string(port);
  const WebAnswer answer = WebGet(context.web, target, context.cancel);
  if (!answer.ok || !StartsWithNoCase(answer.body, "OK")) return false;
  *friendly_url = context.web.Url() + "/" + user;
  return true;
}

void OffRun(const InternetCheckContext& context, const std::string& lan_url) {
  context.view.SetPageUrl(lan_url);
  context.view.SetDirectUrl(lan_url);
  context.view.SetStatusText(lan_url);
  if (context.pinhole && !Cancelled(context.cancel)) context.pinhole->Close(context.nat);
  if (Cancelled(context.cancel) || !context.nat.GetExternalIPAddress()) return;
  DeleteOwnMappings(context.nat, context.nat.LocalIp(), nullptr, context.cancel);
}

std::mutex g_hooks_mutex;
tessel::HttpsHooks g_hooks;

tessel::HttpsHooks Hooks() {
  std::lock_guard lock(g_hooks_mutex);
  return g_hooks;
}

// How friends outside may reach this computer over IPv6.
enum class V6Reach {
  kNone,       // no global address, or the gateway refuses a pinhole
  kNoService,  // the gateway has no IPv6 firewall to ask: maybe, maybe not
  kOpen,       // a pinhole is open, or the gateway's firewall is off
};

// Opens or renews the pinhole for address at port when the gateway's firewall asks for one.
V6Reach OpenV6(const InternetCheckContext& context, const std::string& address, int port) {
  if (address.empty() || Cancelled(context.cancel)) return V6Reach::kNone;
  CUPnPNat& nat = context.nat;
  if (!nat.Discover() || nat.FirewallControlUrl().empty()) return V6Reach::kNoService;
  nat.SetFirewallClient(address);
  bool enabled = true;
  bool inbound_allowed = false;
  if (!nat.GetFirewallStatus(&enabled, &inbound_allowed)) return V6Reach::kNone;
  if (!enabled) return V6Reach::kOpen;
  if (!inbound_allowed || !context.pinhole) return V6Reach::kNone;
  return context.pinhole->Open(nat, address, port) ? V6Reach::kOpen : V6Reach::kNone;
}

// The first global address of addresses; "" when there is none.
std::string GlobalV6(const std::vector<std::string>& addresses) {
  for (const std::string& text : addresses) {
    const std::optional<tessel::IpAddress> address = tessel::IpAddress::Parse(text);
    if (address && address->IsGlobalV6()) return address->Text();
  }
  return {};
}

}  // namespace

namespace tessel {

void SetHttpsHooks(HttpsHooks hooks) {
  std::lock_guard lock(g_hooks_mutex);
  g_hooks = std::move(hooks);
}

WebService WebService::Default() {
  // "scheme://host[:port]" from the build.
  const std::string url = TESSEL_WEB_SERVICE_URL;
  WebService web;
  web.https = url.rfind("https://", 0) == 0;
  web.port = web.https ? 443 : 80;
  const std::size_t start = url.find("://") + 3;
  std::string host = url.substr(start, url.find('/', start) - start);
  const std::size_t colon = host.find(':');
  if (colon != std::string::npos) {
    web.port = std::atoi(host.c_str() + colon + 1);
    host.resize(colon);
  }
  web.host = host;
  return web;
}

std::string WebService::Url() const {
  const std::string scheme = https ? "https://" : "http://";
  return port == (https ? 443 : 80) ? scheme + host : scheme + host + ":" + std::to_string(port);
}

std::vector<std::string> GetLocalAddresses() {
  std::vector<std::string> addresses;
  ifaddrs* list = nullptr;
  if (getifaddrs(&list) != 0) return addresses;
  for (const ifaddrs* item = list; item; item = item->ifa_next) {
    if (!item->ifa_addr || item->ifa_addr->sa_family != AF_INET) continue;
    if (!(item->ifa_flags & IFF_UP) || (item->ifa_flags & IFF_LOOPBACK)) continue;
    char text[INET_ADDRSTRLEN] = {};
    const auto* address = reinterpret_cast<const sockaddr_in*>(item->ifa_addr);
    if (inet_ntop(AF_INET, &address->sin_addr, text, sizeof text) &&
        std::find(addresses.begin(), addresses.end(), text) == addresses.end()) {
      addresses.push_back(text);
    }
  }
  freeifaddrs(list);
  return addresses;
}

std::string GetWebExternalAddress(const WebService& web, std::string* local_address,
                                  const std::atomic<bool>* cancel) {
  local_address->clear();
  const WebAnswer answer = WebGet(web, "/getip.php", cancel);
  // Anything else (an error page, a proxy's notice) is no address to hand to friends.
  const std::string address(tessel::Trim(answer.body, " \t\r\n"));
  if (!answer.ok || !IsUsableAddress(address)) return {};
  *local_address = answer.local_address;
  return address;
}

std::string Md5Hex(const std::string& text) {
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int size = 0;
  if (EVP_Digest(text.data(), text.size(), digest, &size, EVP_md5(), nullptr) != 1) return {};
  std::string hex;
  for (unsigned int i = 0; i < size; ++i) {
    char pair[3];
    std::snprintf(pair, sizeof pair, "%02x", digest[i]);
    hex += pair;
  }
  return hex;
}

std::string ServerUrl(const std::string& host, int port) {
  const std::string name = tessel::UrlHost(host);
  return port == 80 ? "http://" + name : "http://" + name + ":" + std::to_string(port);
}

}  // namespace tessel

void InternetCheckThread(const InternetCheckContext& context) {
  InternetCheckView& view = context.view;
  CUPnPNat& nat = context.nat;
  // The gateway's waits end with the check; the client outlives the flag's owner.
  nat.SetCancel(context.cancel);
  struct ForgetCancel {
    CUPnPNat& nat;
    ~ForgetCancel() { nat.SetCancel(nullptr); }
  } forget_cancel{nat};
  const std::vector<std::string> locals = context.local_addresses();
  std::string host = locals.empty() ? "127.0.0.1" : locals.front();
  const int http_port = context.http_port;
  int url_port = http_port;
  const std::string lan_url = tessel::ServerUrl(host, http_port);

  if (context.setting("internetaccess") == "0") {
    OffRun(context, lan_url);
    return;
  }

  view.SetStatusText(String(tessel::res::IDS_CHECKING_IP));
  view.SetProgress(1);
  std::string external;
  std::string local;
  // A gateway without a public address of its own answers 0.0.0.0: ask the web service then.
  if (nat.GetExternalIPAddress() && IsUsableAddress(nat.ExternalIp())) {
    external = nat.ExternalIp();
    local = nat.LocalIp();
  } else if (!Cancelled(context.cancel)) {
    external = tessel::GetWebExternalAddress(context.web, &local, context.cancel);
  }
  if (Cancelled(context.cancel)) return;
  view.StepProgress();
  if (external.empty()) {
    view.SetProgress(10);
    view.SetStatusText(String(tessel::res::IDS_INTERNET_FAILED));
    view.SetPageUrl(lan_url);
    view.SetDirectUrl(lan_url);
    return;
  }

  host = external;
  const tessel::HttpsHooks hooks = Hooks();
  if (hooks.external_address) hooks.external_address(external);
  view.SetStatusText(String(tessel::res::IDS_INTERNET_IP) + "[" + external + "] " +
                     String(tessel::res::IDS_CHECKING_UPNP));
  std::vector<int> others;
  std::string secure_name;  // where friends reach Tessel over https
  DeleteOwnMappings(nat, local, &others, context.cancel);
  if (Cancelled(context.cancel)) return;
  const int external_port = ChooseExternalPort(http_port, others);
  const std::string description = "Tessel(" + local + ":" + std::to_string(http_port) + ")";
  if (nat.AddPortMapping(description, local, static_cast<uint16_t>(external_port),
                         static_cast<uint16_t>(http_port), kProtocol)) {
    view.SetStatusText(String(tessel::res::IDS_INTERNET_OK));
    url_port = external_port;
    // Browsers go to 443 for https: with a certificate they trust, that is the URL to give.
    const std::string trusted = hooks.trusted_name ? hooks.trusted_name(external) : "";
    if (!trusted.empty() &&
        (http_port == 443 || nat.AddPortMapping(description, local, 443,
                                                static_cast<uint16_t>(http_port), kProtocol))) {
      secure_name = trusted;
    }
  } else {
    view.SetStatusText(String(tessel::res::IDS_UPNP_FAILED));
  }
  // The pinhole is for the HTTP port itself: IPv6 has no address translation.
  const std::string v6_address =
      GlobalV6(context.v6_addresses ? context.v6_addresses() : std::vector<std::string>());
  const V6Reach v6_reach = OpenV6(context, v6_address, http_port);
  Pause(context.settle, context.cancel);
  if (Cancelled(context.cancel)) return;
  view.SetProgress(10);

  const std::string v6_url =
      v6_address.empty() ? std::string() : tessel::ServerUrl(v6_address, http_port);
  // The provider's address (carrier-grade NAT) or a router's behind another: nobody outside
  // reaches the forwarding, and friends are given the IPv6 address when there is one.
  const std::optional<tessel::IpAddress> external_address = tessel::IpAddress::Parse(external);
  if (external_address && external_address->IsNonPublicV4()) {
    const bool v6_usable = v6_reach != V6Reach::kNone;
    const std::string shown = v6_usable ? v6_url : lan_url;
    view.SetPageUrl(shown);
    view.SetDirectUrl(shown);
    if (v6_usable) view.SetInfoText(String(tessel::res::IDS_INFO_DOWNLOAD_FROM) + v6_url);
    view.SetIpv6Url("");  // it is the page URL itself
    view.SetStatusText(v6_usable ? String(tessel::res::IDS_SHARED_IPV4_USE_IPV6) + v6_url
                                 : String(tessel::res::IDS_SHARED_IPV4));
    return;
  }

  const std::string url =
      secure_name.empty() ? tessel::ServerUrl(host, url_port) : "https://" + secure_name;
  const bool both = v6_reach == V6Reach::kOpen;
  view.SetPageUrl(url);
  view.SetDirectUrl(url);
  view.SetInfoText(String(tessel::res::IDS_INFO_DOWNLOAD_FROM) + url + (both ? "  " + v6_url : ""));
  if (both) view.SetIpv6Url(v6_url);
  view.SetStatusText(both ? url + "  " + v6_url : url);

  const std::string user = context.setting("URLUsername");
  const std::string password = context.setting("URLPassword");
  if (user.empty() || password.empty()) return;
  std::string friendly_url;
  if (RegisterFriendlyUrl(context, user, password, host, url_port, &friendly_url)) {
    view.SetStatusText(friendly_url);
    view.SetPageUrl(friendly_url);
  } else if (!Cancelled(context.cancel)) {
    view.SetStatusText(String(tessel::res::IDS_FRIENDLY_URL_FAILED));
  }
}

CInternetCheck::CInternetCheck(CUPnPNat& nat, InternetCheckView& view,
                               std::function<std::string(const std::string&)> setting,
                               std::function<int()> http_port, tessel::WebService web)
    : m_nat(nat),
      m_view(view),
      m_setting(std::move(setting)),
      m_http_port(std::move(http_port)),
      m_web(std::move(web)) {}

CInternetCheck::~CInternetCheck() {
  m_cancel = true;
  Wait();
  // The pinhole lets anyone reach this port: it goes with the program, unlike the forwarding,
  // which the next start replaces.
  if (m_pinhole.IsOpen()) m_pinhole.Close(m_nat);
}

bool CInternetCheck::Start() {
  std::lock_guard lock(m_mutex);
  if (m_running) return false;
  if (m_thread.joinable()) m_thread.join();  // the previous check, already ended
  m_running = true;
  InternetCheckContext context{
      m_nat,          m_view,     m_setting, m_http_port(), m_web, m_local_addresses,
      m_v6_addresses, &m_pinhole, m_settle,  &m_cancel};
  try {
    m_thread = std::thread([this, context = std::move(context)] {
      try {
        InternetCheckThread(context);
      } catch (...) {
        // Out of memory or threads: this check ends, the next one may fare better.
      }
      m_running = false;
    });
  } catch (...) {
    m_running = false;
    return false;
  }
  return true;
}

void CInternetCheck::Wait() {
  std::lock_guard lock(m_mutex);
  if (m_thread.joinable()) m_thread.join();
}

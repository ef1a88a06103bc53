#include "net/InternetCheck.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <atomic>
#include <map>
#include <optional>

#include "net/RecordingView.h"
#include "res/StringTable.h"
#include "support/Eventually.h"
#include "support/FakeGateway.h"

namespace {

using namespace tessel::test;

const std::string kStatus144 = "Checking Internet IP address";
const std::string kStatus145 = "Internet set up failed";
const std::string kStatus148 = "Internet set up successfully.";
const std::string kStatus149 = "UPnP setup failed. Please read UPnP section in help document.";
const std::string kStatus174 = "Friendly URL register failed.";
const std::string kInfo =
    "Please drag the file to the list and your friends can download it from: ";

// The value of element name in text ("" when absent).
std::string Element(const std::string& text, const std::string& name) {
  const size_t start = text.find("<" + name + ">");
  if (start == std::string::npos) return {};
  const size_t from = start + name.size() + 2;
  return text.substr(from, text.find("</" + name + ">", from) - from);
}

// A gateway whose forwarding table changes with its SOAP actions, as a real one's does, with a
// client that has already found it.
class TableGateway {
 public:
  struct Mapping {
    std::string port, protocol, client, description;
    bool operator==(const Mapping&) const = default;
  };

  // firewall: the gateway also has an IPv6 firewall (WANIPv6FirewallControl) to open pinholes in.
  explicit TableGateway(std::vector<Mapping> table = {}, bool firewall = false)
      : m_table(std::move(table)) {
    DescriptionLayout layout;
    if (firewall)
      layout.services.push_back(
          {"urn:schemas-upnp-org:service:WANIPv6FirewallControl:1", "/ctl/IP6FCtl"});
    m_nat = Discovered(m_gateway, layout,
                       [this](const std::string& request) { return Handle(request); });
  }

  CUPnPNat& nat() { return *m_nat; }
  std::vector<Mapping> Table() {
    std::lock_guard lock(m_mutex);
    return m_table;
  }
  void SetExternalIp(const std::string& ip) {
    std::lock_guard lock(m_mutex);
    m_external_ip = ip;
  }
  void SetDelay(std::chrono::milliseconds delay) {
    std::lock_guard lock(m_mutex);
    m_delay = delay;
  }
  // The actions received, with their main argument: "GetExternalIPAddress", "List 0",
  // "Delete 8081/TCP", "Add 9001".
  std::vector<std::string> Actions() {
    std::lock_guard lock(m_mutex);
    return m_actions;
  }
  // Requests that have arrived, answered or not.
  int Received() const { return m_received; }
  // The open pinholes, as "id address port protocol lease".
  std::vector<std::string> Pinholes() {
    std::lock_guard lock(m_mutex);
    std::vector<std::string> list;
    for (const auto& [id, pinhole] : m_pinholes) list.push_back(std::to_string(id) + " " + pinhole);
    return list;
  }
  void SetFirewall(const std::string& enabled, const std::string& inbound_allowed) {
    std::lock_guard lock(m_mutex);
    m_firewall_enabled = enabled;
    m_inbound_allowed = inbound_allowed;
  }
  // Forgets every pinhole, as a restarted gateway does.
  void ForgetPinholes() {
    std::lock_guard lock(m_mutex);
    m_pinholes.clear();
  }

 private:
  FakeGateway::Reply Handle(const std::string& request) {
    const size_t hash = request.find('#');
    const std::string action = request.substr(hash + 1, request.find('"', hash) - hash - 1);
    ++m_received;
    std::unique_lock lock(m_mutex);
    const auto delay = m_delay;
    lock.unlock();
    std::this_thread::sleep_for(delay);
    lock.lock();
    const std::string port = Element(request, "NewExternalPort");
    const std::string protocol = Element(request, "NewProtocol");
    auto same = [&](const Mapping& m) { return m.port == port && m.protocol == protocol; };
    if (action == "GetExternalIPAddress") {
      m_actions.push_back(action);
      return {HttpOk(
          SoapReply("s", "<u:GetExternalIPAddressResponse><NewExternalIPAddress>" + m_external_ip +
                             "</NewExternalIPAddress></u:GetExternalIPAddressResponse>"))};
    }
    if (action == "GetGenericPortMappingEntry") {
      const size_t index = std::stoul(Element(request, "NewPortMappingIndex"));
      m_actions.push_back("List " + std::to_string(index));
      if (index >= m_table.size()) return {Fault(713)};
      const Mapping& m = m_table[index];
      return {HttpOk(SoapReply(
          "s", "<u:GetGenericPortMappingEntryResponse><NewRemoteHost/><NewExternalPort>" + m.port +
                   "</NewExternalPort><NewProtocol>" + m.protocol +
                   "</NewProtocol><NewInternalPort>1</NewInternalPort><NewInternalClient>" +
                   m.client + "</NewInternalClient><NewEnabled>1</NewEnabled>" +
                   "<NewPortMappingDescription>" + m.description +
                   "</NewPortMappingDescription><NewLeaseDuration>0</NewLeaseDuration>" +
                   "</u:GetGenericPortMappingEntryResponse>"))};
    }
    if (action == "DeletePortMapping") {
      m_actions.push_back("Delete " + port + "/" + protocol);
      const auto found = std::find_if(m_table.begin(), m_table.end(), same);
      if (found == m_table.end()) return {Fault(714)};
      m_table.erase(found);
      return {HttpOk(SoapReply("s", "<u:DeletePortMappingResponse/>"))};
    }
    if (action == "AddPortMapping") {
      m_actions.push_back("Add " + port);
      const std::string client = Element(request, "NewInternalClient");
      const auto found = std::find_if(m_table.begin(), m_table.end(), same);
      if (found != m_table.end() && found->client != client) return {Fault(718)};
      if (found != m_table.end()) m_table.erase(found);
      m_table.push_back({port, protocol, client, Element(request, "NewPortMappingDescription")});
      return {HttpOk(SoapReply("s", "<u:AddPortMappingResponse/>"))};
    }
    if (const auto reply = HandleFirewall(action, request)) return *reply;
    return {Fault(401)};
  }

  // The IPv6 firewall's actions, under m_mutex.
  std::optional<FakeGateway::Reply> HandleFirewall(const std::string& action,
                                                   const std::string& request) {
    const std::string id = Element(request, "UniqueID");
    const auto known = id.empty() ? m_pinholes.end() : m_pinholes.find(std::stoi(id));
    if (action == "GetFirewallStatus") {
      m_actions.push_back(action);
      return FakeGateway::Reply{HttpOk(
          SoapReply("s", "<u:GetFirewallStatusResponse><FirewallEnabled>" + m_firewall_enabled +
                             "</FirewallEnabled><InboundPinholeAllowed>" + m_inbound_allowed +
                             "</InboundPinholeAllowed></u:GetFirewallStatusResponse>"))};
    }
    if (action == "AddPinhole") {
      const std::string pinhole =
          Element(request, "InternalClient") + " " + Element(request, "InternalPort") + " " +
          Element(request, "Protocol") + " " + Element(request, "LeaseTime");
      m_actions.push_back("AddPinhole " + pinhole);
      m_pinholes[m_next_pinhole] = pinhole;
      return FakeGateway::Reply{HttpOk(SoapReply("s", "<u:AddPinholeResponse><UniqueID>" +
                                                          std::to_string(m_next_pinhole++) +
                                                          "</UniqueID></u:AddPinholeResponse>"))};
    }
    if (action == "UpdatePinhole" || action == "DeletePinhole") {
      m_actions.push_back(action + " " + id);
      if (known == m_pinholes.end()) return FakeGateway::Reply{Fault(704)};
      if (action == "DeletePinhole") m_pinholes.erase(known);
      return FakeGateway::Reply{HttpOk(SoapReply("s", "<u:" + action + "Response/>"))};
    }
    return std::nullopt;
  }

  std::mutex m_mutex;
  std::map<int, std::string> m_pinholes;
  int m_next_pinhole = 7;
  std::string m_firewall_enabled = "1";
  std::string m_inbound_allowed = "1";
  std::vector<Mapping> m_table;
  std::string m_external_ip = "203.0.113.7";
  std::chrono::milliseconds m_delay{0};
  std::vector<std::string> m_actions;
  std::atomic<int> m_received{0};
  FakeGateway m_gateway;
  std::unique_ptr<CUPnPNat> m_nat;
};

// The web service: answers each path with a fixed reply and records the requests.
class FakeWebService {
 public:
  FakeWebService() {
    m_http.SetHandler([this](const std::string& request) {
      std::lock_guard lock(m_mutex);
      const std::string path = request.substr(4, request.find(' ', 4) - 4);
      const std::string route = path.substr(0, path.find('?'));
      const auto reply = m_replies.find(route);
      return FakeGateway::Reply{reply != m_replies.end() ? reply->second
                                                         : "HTTP/1.1 404 Not Found\r\n\r\n"};
    });
  }
  tessel::WebService Address() const { return {"127.0.0.1", m_http.http_port()}; }
  // route is the path without the query; body is sent with a 200 status.
  void Answer(const std::string& route, const std::string& body) {
    Reply(route, HttpOk(body, "text/plain"));
  }
  void Reply(const std::string& route, const std::string& reply) {
    std::lock_guard lock(m_mutex);
    m_replies[route] = reply;
  }
  std::vector<std::string> Requests() { return m_http.Requests(); }
  void Clear() { m_http.ClearRecords(); }

 private:
  std::mutex m_mutex;
  std::map<std::string, std::string> m_replies;
  FakeGateway m_http;
};

// One check with the given settings; the pause after the forwarding is left out.
struct Check {
  Check(CUPnPNat& nat, tessel::WebService web) : nat(nat), web(std::move(web)) {}

  CUPnPNat& nat;
  tessel::WebService web;
  std::map<std::string, std::string> settings{{"internetaccess", "1"}};
  int http_port = 8080;
  std::vector<std::string> locals;
  std::vector<std::string> v6;
  CIpv6Pinhole pinhole;
  RecordingView view;

  std::vector<std::string> Run() {
    InternetCheckContext context{nat, view,
                                 [this](const std::string& name) {
                                   const auto found = settings.find(name);
                                   return found == settings.end() ? "" : found->second;
                                 },
                                 http_port, web};
    context.local_addresses = [this] { return locals; };
    context.v6_addresses = [this] { return v6; };
    context.pinhole = &pinhole;
    context.settle = std::chrono::milliseconds(0);
    InternetCheckThread(context);
    return view.Take();
  }
};

// The whole run as the window sees it when the forwarding succeeds at url.
std::vector<std::string> SuccessfulRun(const std::string& external_ip, const std::string& url) {
  return {"status:" + kStatus144,
          "progress=1",
          "step",
          "status:Internet IP address:[" + external_ip + "]  Checking UPnP",
          "status:" + kStatus148,
          "progress=10",
          "page:" + url,
          "direct:" + url,
          "info:" + kInfo + url,
          "status:" + url};
}

class InternetCheckTest : public ::testing::Test {
 protected:
  void SetUp() override { tessel::res::SetLanguage(tessel::res::Language::kEnglish); }
};

TEST_F(InternetCheckTest, ReplacesThisComputersForwardingsAndAvoidsOtherHostsPorts) {
  using M = TableGateway::Mapping;
  const M other_on_http_port{"8080", "TCP", "192.168.1.9", "Game"};
  const M other_udp{"9000", "UDP", "192.168.1.8", "Voice"};
  // Another computer's forwardings look like ours but for the address.
  const M other_tessel{"8999", "TCP", "127.0.0.10", "Tessel(127.0.0.10:8080)"};
  // Ports that are no ports can neither be deleted nor be the highest.
  const M own_bad{"x", "TCP", "127.0.0.1", "Tessel(127.0.0.1:7)"};
  const M other_bad{"99999", "TCP", "192.168.1.7", "Big"};
  TableGateway gateway({own_bad,
                        other_bad,
                        other_on_http_port,
                        {"8081", "TCP", "127.0.0.1", "TESSEL(127.0.0.1:8080)"},
                        other_udp,
                        {"9500", "TCP", "127.0.0.1", "tessel(127.0.0.1:80)"},
                        other_tessel});
  FakeWebService web;
  Check check{gateway.nat(), web.Address()};
  check.locals = {"192.168.1.5"};

  // Ours are deleted and do not count; the HTTP port is taken, so one past the others' highest.
  EXPECT_EQ(check.Run(), SuccessfulRun("203.0.113.7", "http://203.0.113.7:9001"));
  EXPECT_EQ(gateway.Actions(),
            (std::vector<std::string>{"GetExternalIPAddress", "List 0", "List 1", "List 2",
                                      "List 3", "List 4", "List 5", "List 6", "List 7",
                                      "Delete 8081/TCP", "Delete 9500/TCP", "Add 9001"}));
  const std::vector<M> expected{
      own_bad,   other_bad,    other_on_http_port,
      other_udp, other_tessel, {"9001", "TCP", "127.0.0.1", "Tessel(127.0.0.1:8080)"}};
  EXPECT_EQ(gateway.Table(), expected);
  EXPECT_TRUE(web.Requests().empty()) << "no web service without need";

  // The next check finds its own forwarding, deletes it and adds it again.
  check.Run();
  EXPECT_EQ(gateway.Table(), expected);

  // Without a clash the external port is the HTTP port; port 80 leaves the URL without one.
  TableGateway plain({other_udp});
  Check on80{plain.nat(), web.Address()};
  on80.http_port = 80;
  EXPECT_EQ(on80.Run(), SuccessfulRun("203.0.113.7", "http://203.0.113.7"));
  EXPECT_EQ(plain.Table().back(), (M{"80", "TCP", "127.0.0.1", "Tessel(127.0.0.1:80)"}));

  // Another host holding the last port: the first free port after the HTTP port instead of 0.
  TableGateway full({other_on_http_port,
                     {"8081", "TCP", "192.168.1.9", "x"},
                     {"65535", "TCP", "192.168.1.9", "y"}});
  Check last{full.nat(), web.Address()};
  EXPECT_EQ(last.Run(), SuccessfulRun("203.0.113.7", "http://203.0.113.7:8082"));
}

TEST_F(InternetCheckTest, ForwardsHttpsAndShowsItOnceATrustedCertificateCoversTheAddress) {
  using M = TableGateway::Mapping;
  struct Case {
    const char* what;
    std::string trusted_name;  // what the certificates say for the address
    std::string url;
    std::vector<M> table;
  };
  const M own{"8080", "TCP", "127.0.0.1", "Tessel(127.0.0.1:8080)"};
  const M https{"443", "TCP", "127.0.0.1", "Tessel(127.0.0.1:8080)"};
  const Case cases[] = {
      {"no trusted certificate", "", "http://203.0.113.7:8080", {own}},
      {"the address", "203.0.113.7", "https://203.0.113.7", {own, https}},
      {"the owner's domain", "files.example", "https://files.example", {own, https}},
  };
  for (const Case& c : cases) {
    TableGateway gateway(std::vector<M>{});
    FakeWebService web;
    std::vector<std::string> told;
    tessel::SetHttpsHooks({[&](const std::string& address) { told.push_back(address); },
                           [&](const std::string&) { return c.trusted_name; }});
    Check check{gateway.nat(), web.Address()};
    EXPECT_EQ(check.Run(), SuccessfulRun("203.0.113.7", c.url)) << c.what;
    EXPECT_EQ(gateway.Table(), c.table) << c.what;
    EXPECT_EQ(told, std::vector<std::string>{"203.0.113.7"}) << c.what;
    // The next check removes both, as every forwarding of this computer, and makes them again.
    check.Run();
    EXPECT_EQ(gateway.Table(), c.table) << c.what;
  }
  tessel::SetHttpsHooks({});
}

TEST_F(InternetCheckTest, FallsBackToTheWebServiceAndEndsWithoutAnyAddress) {
  FakeWebService web;
  web.Answer("/getip.php", "198.51.100.4\n");

  // No gateway answers: the address comes from the web service, the forwarding fails (text 149)
  // and the URL carries the HTTP port.
  FakeGateway silent;
  CUPnPNat lonely("127.0.0.1", silent.ssdp_port());
  Check check{lonely, web.Address()};
  const std::string url = "http://198.51.100.4:8080";
  EXPECT_EQ(check.Run(),
            (std::vector<std::string>{"status:" + kStatus144, "progress=1", "step",
                                      "status:Internet IP address:[198.51.100.4]  Checking UPnP",
                                      "status:" + kStatus149, "progress=10", "page:" + url,
                                      "direct:" + url, "info:" + kInfo + url, "status:" + url}));
  const std::vector<std::string> requests = web.Requests();
  ASSERT_EQ(requests.size(), 1u);
  EXPECT_EQ(requests[0].rfind("GET /getip.php HTTP/1.1\r\n", 0), 0u) << requests[0];
  EXPECT_NE(requests[0].find("\r\nCache-Control: no-cache\r\n"), std::string::npos);
  EXPECT_NE(requests[0].find("\r\nPragma: no-cache\r\n"), std::string::npos);
  EXPECT_EQ(requests[0].find("Cookie"), std::string::npos);

  // A gateway without a public address of its own says 0.0.0.0: the web service decides, and
  // the forwarding goes to this computer's address toward the web service.
  TableGateway private_gateway;
  private_gateway.SetExternalIp("0.0.0.0");
  Check behind{private_gateway.nat(), web.Address()};
  EXPECT_EQ(behind.Run(), SuccessfulRun("198.51.100.4", url));
  ASSERT_EQ(private_gateway.Table().size(), 1u);
  EXPECT_EQ(private_gateway.Table()[0].client, "127.0.0.1");

  // Neither source: text 145, and the LAN URL from the first local address or 127.0.0.1.
  const std::vector<std::string> answers = {"", "<html>502 Bad Gateway</html>", "1.2.3", "0.0.0.0",
                                            "198.51.100.4 198.51.100.5"};
  for (const std::string& answer : answers) {
    web.Answer("/getip.php", answer);
    behind.locals = {"192.168.1.5", "10.0.0.2"};
    EXPECT_EQ(behind.Run(),
              (std::vector<std::string>{"status:" + kStatus144, "progress=1", "step", "progress=10",
                                        "status:" + kStatus145, "page:http://192.168.1.5:8080",
                                        "direct:http://192.168.1.5:8080"}))
        << answer;
  }
  // A redirection is not followed.
  web.Clear();
  web.Reply("/getip.php", "HTTP/1.1 302 Found\r\nLocation: /ip.txt\r\nContent-Length: 0\r\n\r\n");
  web.Answer("/ip.txt", "198.51.100.4");
  behind.locals.clear();
  EXPECT_EQ(behind.Run().back(), "direct:http://127.0.0.1:8080");
  EXPECT_EQ(web.Requests().size(), 1u);

  // Nobody at all: no gateway, and the web service's port closed.
  uint16_t closed = 0;
  close(ListenTcp(&closed));
  Check alone{lonely, {"127.0.0.1", closed}};
  alone.locals = {"192.168.1.5"};
  EXPECT_EQ(alone.Run(),
            (std::vector<std::string>{"status:" + kStatus144, "progress=1", "step", "progress=10",
                                      "status:" + kStatus145, "page:http://192.168.1.5:8080",
                                      "direct:http://192.168.1.5:8080"}));
}

TEST_F(InternetCheckTest, OffRunShowsTheLanUrlAndRemovesThisComputersForwardings) {
  using M = TableGateway::Mapping;
  const M other{"80", "TCP", "127.0.0.10", "Tessel(127.0.0.10:80)"};
  const M unrelated{"8080", "TCP", "192.168.1.9", "Other"};
  TableGateway gateway({{"80", "TCP", "127.0.0.1", "Tessel(127.0.0.1:80)"},
                        other,
                        {"8081", "UDP", "127.0.0.1", "tessel(127.0.0.1:8081)"},
                        unrelated});
  FakeWebService web;
  Check check{gateway.nat(), web.Address()};
  check.settings = {{"internetaccess", "0"}, {"URLUsername", "alice"}, {"URLPassword", "x"}};
  check.http_port = 80;
  check.locals = {"192.168.1.5", "10.0.0.2"};
  EXPECT_EQ(check.Run(),
            (std::vector<std::string>{"page:http://192.168.1.5", "direct:http://192.168.1.5",
                                      "status:http://192.168.1.5"}));
  EXPECT_EQ(gateway.Table(), (std::vector<M>{other, unrelated}));
  EXPECT_EQ(gateway.Actions(),
            (std::vector<std::string>{"GetExternalIPAddress", "List 0", "List 1", "List 2",
                                      "List 3", "List 4", "Delete 80/TCP", "Delete 8081/UDP"}));
  EXPECT_TRUE(web.Requests().empty());

  // Any value but "0" means on, the missing setting too.
  check.settings.clear();
  EXPECT_EQ(check.Run().front(), "status:" + kStatus144);
}

TEST_F(InternetCheckTest, RegistersTheFriendlyUrlOnlyWithBothSettings) {
  TableGateway gateway;
  FakeWebService web;
  Check check{gateway.nat(), web.Address()};
  const std::string web_url = "http://127.0.0.1:" + std::to_string(web.Address().port);
  const std::string url = "http://203.0.113.7:8080";

  check.settings["URLUsername"] = "alice";
  check.settings["URLPassword"] = "secret";
  web.Answer("/update.php", "ok, address recorded");
  std::vector<std::string> events = SuccessfulRun("203.0.113.7", url);
  events.push_back("status:" + web_url + "/alice");
  events.push_back("page:" + web_url + "/alice");
  EXPECT_EQ(check.Run(), events);
  std::vector<std::string> requests = web.Requests();
  ASSERT_EQ(requests.size(), 1u);
  EXPECT_EQ(requests[0].rfind("GET /update.php?username=alice&password="
                              "5ebe2294ecd0e0f08eab7690d2a6ee69&ip=203.0.113.7&port=8080 "
                              "HTTP/1.1\r\n",
                              0),
            0u)
      << requests[0];

  // Refused, or no answer: text 174, and the page URL keeps the address form.
  for (const std::string& reply : {HttpOk("FAIL", "text/plain"), std::string()}) {
    web.Reply("/update.php", reply);
    events = SuccessfulRun("203.0.113.7", url);
    events.push_back("status:" + kStatus174);
    EXPECT_EQ(check.Run(), events);
  }
  uint16_t closed = 0;
  close(ListenTcp(&closed));
  check.web.port = closed;
  EXPECT_EQ(check.Run().back(), "status:" + kStatus174);

  // One of the two settings alone: nothing is sent.
  check.web = web.Address();
  web.Clear();
  check.settings["URLPassword"] = "";
  EXPECT_EQ(check.Run(), SuccessfulRun("203.0.113.7", url));
  check.settings["URLUsername"] = "";
  check.settings["URLPassword"] = "secret";
  EXPECT_EQ(check.Run(), SuccessfulRun("203.0.113.7", url));
  EXPECT_TRUE(web.Requests().empty());

  // A user name stays one value of the query.
  check.settings["URLUsername"] = "a&b c";
  web.Answer("/update.php", "OK");
  check.Run();
  ASSERT_EQ(web.Requests().size(), 1u);
  EXPECT_EQ(web.Requests()[0].rfind("GET /update.php?username=a%26b+c&password=", 0), 0u);
}

TEST_F(InternetCheckTest, OpensAPinholeForTheGlobalIpv6AddressAndShowsBothUrls) {
  TableGateway gateway({}, true);
  FakeWebService web;
  Check check{gateway.nat(), web.Address()};
  check.locals = {"192.168.1.5"};
  // Unique-local and temporary addresses never reach the check; the first global one is used.
  check.v6 = {"fd00::5", "2001:DB8::0:2", "2001:db8::3"};
  const std::string url = "http://203.0.113.7:8080";
  const std::string v6_url = "http://[2001:db8::2]:8080";
  std::vector<std::string> events = SuccessfulRun("203.0.113.7", url);
  events.pop_back();
  events.back() += "  " + v6_url;
  events.push_back("ipv6:" + v6_url);
  events.push_back("status:" + url + "  " + v6_url);
  EXPECT_EQ(check.Run(), events);
  EXPECT_EQ(gateway.Pinholes(), (std::vector<std::string>{"7 2001:db8::2 8080 6 3600"}));

  // Each check renews it; one the gateway forgot is opened again; another port replaces it.
  check.Run();
  gateway.ForgetPinholes();
  check.Run();
  EXPECT_EQ(gateway.Pinholes(), (std::vector<std::string>{"8 2001:db8::2 8080 6 3600"}));
  check.http_port = 8081;
  check.Run();
  EXPECT_EQ(gateway.Pinholes(), (std::vector<std::string>{"9 2001:db8::2 8081 6 3600"}));
  std::vector<std::string> firewall;
  for (const std::string& action : gateway.Actions())
    if (action.find("Pinhole") != std::string::npos) firewall.push_back(action);
  EXPECT_EQ(firewall,
            (std::vector<std::string>{"AddPinhole 2001:db8::2 8080 6 3600", "UpdatePinhole 7",
                                      "UpdatePinhole 7", "AddPinhole 2001:db8::2 8080 6 3600",
                                      "DeletePinhole 8", "AddPinhole 2001:db8::2 8081 6 3600"}));

  // Switched off: the pinhole goes with the forwarding.
  check.settings["internetaccess"] = "0";
  check.Run();
  EXPECT_TRUE(gateway.Pinholes().empty());
  EXPECT_FALSE(check.pinhole.IsOpen());

  // A firewall that is off needs no pinhole; one that allows none leaves the IPv4 run alone.
  check.settings["internetaccess"] = "1";
  gateway.SetFirewall("0", "0");
  EXPECT_EQ(check.Run().back(), "status:http://203.0.113.7:8081  http://[2001:db8::2]:8081");
  gateway.SetFirewall("1", "0");
  EXPECT_EQ(check.Run(), SuccessfulRun("203.0.113.7", "http://203.0.113.7:8081"));
  EXPECT_TRUE(gateway.Pinholes().empty());
}

TEST_F(InternetCheckTest, AGatewayWithoutTheIpv6FirewallLeavesTheIpv4RunAsItIs) {
  TableGateway gateway;
  FakeWebService web;
  Check check{gateway.nat(), web.Address()};
  check.locals = {"192.168.1.5"};
  check.v6 = {"2001:db8::2"};
  EXPECT_EQ(check.Run(), SuccessfulRun("203.0.113.7", "http://203.0.113.7:8080"));
  const std::vector<std::string> actions = gateway.Actions();
  EXPECT_EQ(actions.back(), "Add 8080");
}

TEST_F(InternetCheckTest, AnAddressSharedByTheProviderIsSaidAndTheIpv6UrlShown) {
  const std::string shared =
      "Your provider shares its IPv4 address with other customers: friends outside cannot reach "
      "this computer over IPv4.";
  const std::string use_v6 =
      "Your provider shares its IPv4 address with other customers: friends reach this computer "
      "over IPv6 at ";
  const std::string v6_url = "http://[2001:db8::2]:8080";
  for (const std::string external : {"100.64.1.2", "192.168.0.2"}) {
    SCOPED_TRACE(external);
    for (const bool firewall : {true, false}) {
      TableGateway gateway({}, firewall);
      gateway.SetExternalIp(external);
      FakeWebService web;
      Check check{gateway.nat(), web.Address()};
      check.locals = {"192.168.1.5"};
      check.v6 = {"2001:db8::2"};
      check.settings["URLUsername"] = "alice";
      check.settings["URLPassword"] = "secret";
      const std::vector<std::string> events = check.Run();
      const std::vector<std::string> tail(events.end() - 5, events.end());
      EXPECT_EQ(tail, (std::vector<std::string>{"page:" + v6_url, "direct:" + v6_url,
                                                "info:" + kInfo + v6_url,
                                                "ipv6:", "status:" + use_v6 + v6_url}));
      EXPECT_NE(std::find(events.begin(), events.end(),
                          "status:Internet IP address:[" + external + "]  Checking UPnP"),
                events.end());
      // The shared address is no use to a friendly URL.
      EXPECT_TRUE(web.Requests().empty());
      EXPECT_EQ(gateway.Pinholes().size(), firewall ? 1u : 0u);

      // Without IPv6: said in words, and the LAN URL.
      check.v6.clear();
      const std::vector<std::string> v4_only = check.Run();
      const std::vector<std::string> end(v4_only.end() - 3, v4_only.end());
      EXPECT_EQ(end, (std::vector<std::string>{"direct:http://192.168.1.5:8080",
                                               "ipv6:", "status:" + shared}));
    }
  }
}

TEST_F(InternetCheckTest, WebRequestsGoThroughTheProxyOfTheEnvironment) {
  FakeWebService proxy;
  proxy.Answer("http://tessel.invalid/getip.php", "192.0.2.44");
  const std::string proxy_url = "http://127.0.0.1:" + std::to_string(proxy.Address().port);
  setenv("http_proxy", proxy_url.c_str(), 1);
  std::string local;
  const std::string address = tessel::GetWebExternalAddress({"tessel.invalid", 80}, &local);
  unsetenv("http_proxy");
  EXPECT_EQ(address, "192.0.2.44");
  EXPECT_EQ(local, "127.0.0.1");
  ASSERT_EQ(proxy.Requests().size(), 1u);
  EXPECT_EQ(proxy.Requests()[0].rfind("GET http://tessel.invalid/getip.php HTTP/1.1\r\n", 0), 0u);
}

TEST(InternetCheck, WebAddressAndDigest) {
  FakeWebService web;
  std::string local = "stale";
  // Blanks around the address are no part of it; a long answer is read only so far.
  for (const std::string& answer :
       {std::string(" 198.51.100.4\r\n"), "198.51.100.4" + std::string(5000, ' ')}) {
    web.Answer("/getip.php", answer);
    EXPECT_EQ(tessel::GetWebExternalAddress(web.Address(), &local), "198.51.100.4");
    EXPECT_EQ(local, "127.0.0.1");
  }
  web.Answer("/getip.php", "198.51.100.4" + std::string(2000, ' ') + "x");
  EXPECT_EQ(tessel::GetWebExternalAddress(web.Address(), &local), "198.51.100.4");
  web.Answer("/getip.php", "no address here");
  EXPECT_EQ(tessel::GetWebExternalAddress(web.Address(), &local), "");
  EXPECT_EQ(local, "");

  // RFC 1321's vectors, and a text's UTF-8 bytes.
  EXPECT_EQ(tessel::Md5Hex(""), "d41d8cd98f00b204e9800998ecf8427e");
  EXPECT_EQ(tessel::Md5Hex("abc"), "900150983cd24fb0d6963f7d28e17f72");
  EXPECT_EQ(tessel::Md5Hex("message digest"), "f96b697d7cb7938d525a2f31aaf161d0");
  EXPECT_EQ(tessel::Md5Hex("1234567890123456789012345678901234567890123456789012345678901234567890"
                           "1234567890"),
            "57edf4a22be3c955ac49da2e2107b67a");
  EXPECT_EQ(tessel::Md5Hex("\xe5\xaf\x86\xe7\xa0\x81"), "a8105204604a0b11e916f3879aae3b0b");

  EXPECT_EQ(tessel::ServerUrl("10.0.0.1", 80), "http://10.0.0.1");
  EXPECT_EQ(tessel::ServerUrl("10.0.0.1", 8080), "http://10.0.0.1:8080");
  EXPECT_EQ(tessel::ServerUrl("2001:db8::5", 8080), "http://[2001:db8::5]:8080");
  EXPECT_EQ(tessel::ServerUrl("2001:db8::5", 80), "http://[2001:db8::5]");
  // The web service is asked over https unless the build says otherwise.
  EXPECT_TRUE(tessel::WebService::Default().https);
  EXPECT_EQ(tessel::WebService::Default().port, 443);
  EXPECT_EQ((tessel::WebService{"w.example", 443, true}.Url()), "https://w.example");
  EXPECT_EQ((tessel::WebService{"w.example", 8443, true}.Url()), "https://w.example:8443");
  EXPECT_EQ((tessel::WebService{"w.example", 80}.Url()), "http://w.example");
  // An https service never gets the request in clear: the plain fake is never reached.
  FakeWebService plain;
  plain.Answer("/getip.php", "198.51.100.4");
  tessel::WebService over_https = plain.Address();
  over_https.https = true;
  EXPECT_EQ(tessel::GetWebExternalAddress(over_https, &local), "");
  EXPECT_TRUE(plain.Requests().empty() ||
              plain.Requests().front().find("GET /getip.php") == std::string::npos);
  // The test runs in a namespace with loopback alone.
  EXPECT_TRUE(tessel::GetLocalAddresses().empty());
}

TEST(Ipv6Addresses, StableAddressesAndTheDefaultGatewayFromTheKernelsTables) {
  // Flags: 01 temporary, 20 deprecated, 08 failed duplicate detection, 80 permanent, 100
  // managing temporary addresses (the stable one beside them).
  const std::string if_inet6 =
      "00000000000000000000000000000001 01 80 10 80       lo\n"
      "fd000000000000000000000000000005 02 40 00 80     eth0\n"
      "fe8000000000000002163efffe000001 02 40 20 80     eth0\n"
      "20010db8000000010000000000000007 02 40 00 101    eth0\n"
      "20010db8000000010216 3efffe000002 02 40 00 100   eth0\n"
      "20010db800000001021 63efffe000003 bad\n"
      "20010db8000000010216000000000002 02 40 00 100    eth0\n"
      "20010db8000000010000000000000009 02 40 00 20     eth0\n"
      "20010db800000001000000000000000a 02 40 00 08     eth0\n"
      "20010db8000000010000000000000010 03 40 00 80     wlan0\n"
      "20010db8000000010216000000000002 03 40 00 80     wlan0\n";
  EXPECT_EQ(tessel::StableV6Addresses(if_inet6),
            (std::vector<std::string>{"2001:db8:0:1:216::2", "2001:db8:0:1::10", "fd00::5"}));
  EXPECT_TRUE(tessel::StableV6Addresses("").empty());

  const std::string on_link =
      "fd000000000000000000000000000000 40 00000000000000000000000000000000 00 "
      "00000000000000000000000000000000 00000100 00000001 00000000 00000001     eth0\n";
  const std::string via_router =
      "00000000000000000000000000000000 00 00000000000000000000000000000000 00 "
      "fe800000000000000000000000000001 00000400 00000002 00000000 00000003     eth0\n";
  const std::string via_global =
      "00000000000000000000000000000000 00 00000000000000000000000000000000 00 "
      "20010db8007700000000000000000001 00000400 00000002 00000000 00000003     tl0\n";
  EXPECT_EQ(tessel::DefaultV6Gateway(on_link + via_router), "fe80::1%eth0");
  EXPECT_EQ(tessel::DefaultV6Gateway(via_global), "2001:db8:77::1");
  EXPECT_EQ(tessel::DefaultV6Gateway(on_link), "");
}

TEST_F(InternetCheckTest, ChecksNeverOverlapAndEndWithTheirOwner) {
  TableGateway gateway;
  gateway.SetDelay(std::chrono::milliseconds(300));
  FakeWebService web;
  RecordingView view;
  std::atomic<int> port_reads{0};
  auto check = std::make_unique<CInternetCheck>(
      gateway.nat(), view, [](const std::string&) { return std::string(); },
      [&] { return ++port_reads, 8080; }, web.Address());
  check->SetSettle(std::chrono::milliseconds(0));
  check->SetLocalAddresses([] { return std::vector<std::string>{}; });

  ASSERT_TRUE(check->Start());
  EXPECT_TRUE(check->Running());
  EXPECT_FALSE(check->Start()) << "a second check while the first runs";
  check->Wait();
  EXPECT_FALSE(check->Running());
  EXPECT_EQ(view.Take(), SuccessfulRun("203.0.113.7", "http://203.0.113.7:8080"));
  ASSERT_TRUE(check->Start());
  check->Wait();
  EXPECT_EQ(port_reads, 2) << "the port is read anew by each check";
  const std::vector<std::string> actions = gateway.Actions();
  view.Take();
  EXPECT_EQ(std::count(actions.begin(), actions.end(), "GetExternalIPAddress"), 2);

  // The owner going away cancels a check in its pause and waits for it.
  check->SetSettle(std::chrono::seconds(30));
  ASSERT_TRUE(check->Start());
  const auto start = Clock::now();
  check.reset();
  EXPECT_LT(Clock::now() - start, tessel::test::Scaled(std::chrono::seconds(5)));
  const std::vector<std::string> events = view.Take();
  EXPECT_EQ(std::count(events.begin(), events.end(), "progress=10"), 0);

  // ... and one waiting for a gateway that is slow to answer.
  gateway.nat().SetTimeout(10s);
  gateway.SetDelay(3s);
  check = std::make_unique<CInternetCheck>(
      gateway.nat(), view, [](const std::string&) { return std::string(); }, [] { return 8080; },
      web.Address());
  const int received = gateway.Received();
  ASSERT_TRUE(check->Start());
  ASSERT_TRUE(tessel::test::Eventually([&] { return gateway.Received() > received; }));
  const auto stop = Clock::now();
  check.reset();
  EXPECT_LT(Clock::now() - stop, tessel::test::Scaled(1s));
}

}  // namespace

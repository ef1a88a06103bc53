#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "net/UPnPNat.h"

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

// The searches as the client must send them, byte for byte.
const std::string kSearch =
    "M-SEARCH * HTTP/1.1\r\nST:UPnP:rootdevice\r\nMX: 3\r\nMan:\"ssdp:discover\"\r\nHOST: "
    "239.255.255.250:1900\r\n\r\n";
const std::string kStandardSearch =
    "M-SEARCH * HTTP/1.1\r\nST:upnp:rootdevice\r\nMX: 3\r\nMan:\"ssdp:discover\"\r\nHOST: "
    "239.255.255.250:1900\r\n\r\n";

const char kIgd1[] = "urn:schemas-upnp-org:device:InternetGatewayDevice:1";
const char kWan1[] = "urn:schemas-upnp-org:device:WANDevice:1";
const char kConn1[] = "urn:schemas-upnp-org:device:WANConnectionDevice:1";
const char kIp1[] = "urn:schemas-upnp-org:service:WANIPConnection:1";
const char kPpp1[] = "urn:schemas-upnp-org:service:WANPPPConnection:1";

std::string Hex(size_t n) {
  char buffer[32];
  std::snprintf(buffer, sizeof buffer, "%zx", n);
  return buffer;
}

std::string Replace(std::string text, const std::string& from, const std::string& to) {
  for (size_t at = text.find(from); at != std::string::npos; at = text.find(from, at + to.size())) {
    text.replace(at, from.size(), to);
  }
  return text;
}

struct DescriptionSpec {
  std::string url_base;  // empty: no URLBase element
  std::string igd = kIgd1;
  std::string wan = kWan1;
  std::string connection = kConn1;
  // (type, control URL) of each service of the connection device, in order.
  std::vector<std::pair<std::string, std::string>> services = {{kIp1, "/ctl/IPConn"}};
  bool service_list = true;
};

std::string DescriptionXml(const DescriptionSpec& spec) {
  std::string services;
  for (const auto& [type, control] : spec.services) {
    services += "<service><serviceType>" + type + "</serviceType><serviceId>x</serviceId>" +
                "<controlURL>" + control + "</controlURL><eventSubURL>/evt</eventSubURL></service>";
  }
  return "<?xml version=\"1.0\"?>\r\n<root xmlns=\"urn:schemas-upnp-org:device-1-0\">"
         "<specVersion><major>1</major><minor>0</minor></specVersion>" +
         (spec.url_base.empty() ? "" : "<URLBase>" + spec.url_base + "</URLBase>") +
         "<device><deviceType>" + spec.igd + "</deviceType><friendlyName>Router</friendlyName>" +
         "<serviceList><service><serviceType>urn:schemas-upnp-org:service:Layer3Forwarding:1" +
         "</serviceType></service></serviceList><deviceList>" +
         "<device><deviceType>urn:schemas-upnp-org:device:LANDevice:1</deviceType></device>" +
         "<device><deviceType>" + spec.wan + "</deviceType><deviceList>" + "<device><deviceType>" +
         spec.connection + "</deviceType>" +
         (spec.service_list ? "<serviceList>" + services + "</serviceList>" : "") +
         "</device></deviceList></device></deviceList></device></root>";
}

std::string HttpOk(const std::string& body, const std::string& type = "text/xml") {
  return "HTTP/1.1 200 OK\r\nContent-Type: " + type +
         "\r\nContent-Length: " + std::to_string(body.size()) + "\r\n\r\n" + body;
}

std::string SoapReply(const std::string& prefix, const std::string& inner) {
  return "<?xml version=\"1.0\"?>\r\n<" + prefix + ":Envelope xmlns:" + prefix +
         "=\"http://schemas.xmlsoap.org/soap/envelope/\" " + prefix +
         ":encodingStyle=\"http://schemas.xmlsoap.org/soap/encoding/\"><" + prefix + ":Body>" +
         inner + "</" + prefix + ":Body></" + prefix + ":Envelope>\r\n";
}

std::string Fault(int code) {
  const std::string body = SoapReply(
      "s",
      "<s:Fault><faultcode>s:Client</faultcode><faultstring>UPnPError</faultstring><detail>"
      "<UPnPError xmlns=\"urn:schemas-upnp-org:control-1-0\"><errorCode>" +
          std::to_string(code) + "</errorCode></UPnPError></detail></s:Fault>");
  return "HTTP/1.1 500 Internal Server Error\r\nContent-Type: text/xml\r\nContent-Length: " +
         std::to_string(body.size()) + "\r\n\r\n" + body;
}

int ListenUdp(uint16_t* port) {
  const int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
  socklen_t size = sizeof address;
  getsockname(fd, reinterpret_cast<sockaddr*>(&address), &size);
  *port = ntohs(address.sin_port);
  return fd;
}

int ListenTcp(uint16_t* port) {
  const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
  listen(fd, 16);
  socklen_t size = sizeof address;
  getsockname(fd, reinterpret_cast<sockaddr*>(&address), &size);
  *port = ntohs(address.sin_port);
  return fd;
}

bool Readable(int fd, int ms) {
  pollfd p{fd, POLLIN, 0};
  return poll(&p, 1, ms) > 0;
}

// A gateway on 127.0.0.1: an SSDP answerer on a UDP port and an HTTP server for the description and
// the SOAP control URL. Every datagram and request it receives is recorded.
class FakeGateway {
 public:
  struct Reply {
    std::string bytes;
    bool keep_open = false;  // hold the connection after replying, as a keep-alive server does
  };
  using Handler = std::function<Reply(const std::string& request)>;

  FakeGateway() {
    udp_ = ListenUdp(&ssdp_port_);
    tcp_ = ListenTcp(&http_port_);
    location_ = "http://127.0.0.1:" + std::to_string(http_port_) + "/rootDesc.xml";
    handler_ = [](const std::string&) { return Reply{Fault(401)}; };
    ssdp_thread_ = std::thread([this] { RunSsdp(); });
    http_thread_ = std::thread([this] { RunHttp(); });
  }
  ~FakeGateway() {
    stop_ = true;
    ssdp_thread_.join();
    http_thread_.join();
    close(udp_);
    close(tcp_);
  }

  uint16_t ssdp_port() const { return ssdp_port_; }
  uint16_t http_port() const { return http_port_; }
  std::string Url(const std::string& path) const {
    return "http://127.0.0.1:" + std::to_string(http_port_) + path;
  }
  std::string SearchAnswer(const std::string& location) const {
    return "HTTP/1.1 200 OK\r\nCACHE-CONTROL: max-age=120\r\nST: upnp:rootdevice\r\n"
           "USN: uuid:1::upnp:rootdevice\r\nEXT:\r\nSERVER: Linux UPnP/1.1 Fake/1.0\r\n"
           "LOCATION: " +
           location + "\r\n\r\n";
  }

  // Each search is answered with the next queued datagram; an empty queue stays silent.
  void QueueSsdp(std::vector<std::string> datagrams, bool only_standard_search = false) {
    std::lock_guard lock(mutex_);
    for (auto& d : datagrams) ssdp_answers_.push_back(std::move(d));
    only_standard_ = only_standard_search;
  }
  void SetHandler(Handler handler) {
    std::lock_guard lock(mutex_);
    handler_ = std::move(handler);
  }
  // Serves description for the description path and handler for everything else.
  void ServeDescription(const std::string& description, Handler control = nullptr) {
    SetHandler([description, control](const std::string& request) {
      if (request.rfind("GET /rootDesc.xml ", 0) == 0) return Reply{HttpOk(description), true};
      return control ? control(request) : Reply{Fault(401)};
    });
  }
  // The datagrams received so far, once at least `least` have arrived (or a second has passed).
  std::vector<std::string> Datagrams(size_t least = 0) {
    for (int i = 0; i < 100 && DatagramCount() < least; ++i) std::this_thread::sleep_for(10ms);
    std::lock_guard lock(mutex_);
    return datagrams_;
  }
  size_t DatagramCount() {
    std::lock_guard lock(mutex_);
    return datagrams_.size();
  }
  std::vector<std::string> Requests() {
    std::lock_guard lock(mutex_);
    return requests_;
  }
  void ClearRecords() {
    std::lock_guard lock(mutex_);
    datagrams_.clear();
    requests_.clear();
  }

 private:
  void RunSsdp() {
    std::vector<char> buffer(65536);
    while (!stop_) {
      if (!Readable(udp_, 20)) continue;
      sockaddr_in from{};
      socklen_t size = sizeof from;
      const ssize_t n = recvfrom(udp_, buffer.data(), buffer.size(), 0,
                                 reinterpret_cast<sockaddr*>(&from), &size);
      if (n <= 0) continue;
      std::string datagram(buffer.data(), static_cast<size_t>(n));
      std::lock_guard lock(mutex_);
      datagrams_.push_back(datagram);
      if (only_standard_ && datagram.find("ST:upnp:rootdevice") == std::string::npos) continue;
      if (ssdp_answers_.empty()) continue;
      const std::string answer = std::move(ssdp_answers_.front());
      ssdp_answers_.pop_front();
      sendto(udp_, answer.data(), answer.size(), 0, reinterpret_cast<sockaddr*>(&from), size);
    }
  }

  void RunHttp() {
    while (!stop_) {
      if (!Readable(tcp_, 20)) continue;
      const int fd = accept(tcp_, nullptr, nullptr);
      if (fd < 0) continue;
      std::string request = ReadRequest(fd);
      Handler handler;
      {
        std::lock_guard lock(mutex_);
        requests_.push_back(request);
        handler = handler_;
      }
      const Reply reply = handler(request);
      if (!reply.bytes.empty()) send(fd, reply.bytes.data(), reply.bytes.size(), MSG_NOSIGNAL);
      // A kept connection ends when the client closes it.
      char c;
      while (reply.keep_open && !stop_ && !(Readable(fd, 20) && recv(fd, &c, 1, 0) <= 0)) {
      }
      close(fd);
    }
  }

  std::string ReadRequest(int fd) {
    std::string request;
    char buffer[4096];
    while (Readable(fd, 2000)) {
      const ssize_t n = recv(fd, buffer, sizeof buffer, 0);
      if (n <= 0) break;
      request.append(buffer, static_cast<size_t>(n));
      const size_t head_end = request.find("\r\n\r\n");
      if (head_end == std::string::npos) continue;
      const size_t length_at = request.find("Content-Length: ");
      const size_t length = length_at < head_end ? std::stoul(request.substr(length_at + 16)) : 0;
      if (request.size() >= head_end + 4 + length) break;
    }
    return request;
  }

  int udp_ = -1;
  int tcp_ = -1;
  uint16_t ssdp_port_ = 0;
  uint16_t http_port_ = 0;
  std::string location_;
  std::atomic<bool> stop_{false};
  std::mutex mutex_;
  std::deque<std::string> ssdp_answers_;
  bool only_standard_ = false;
  Handler handler_;
  std::vector<std::string> datagrams_;
  std::vector<std::string> requests_;
  std::thread ssdp_thread_;
  std::thread http_thread_;
};

// The SOAP request the client must send for action, byte for byte.
std::string SoapRequest(uint16_t port, const std::string& service, const std::string& action,
                        const std::string& arguments) {
  const std::string envelope =
      "<?xml version=\"1.0\" encoding=\"utf-8\"?>\r\n<s:Envelope xmlns:s=\"http://"
      "schemas.xmlsoap.org/soap/envelope/\"s:encodingStyle=\"http://schemas.xmlsoap.org/soap/"
      "encoding/\">\r\n<s:Body>\r\n<u:" +
      action + " xmlns:u=\"" + service + "\">\r\n" + arguments + "</u:" + action +
      ">\r\n</s:Body>\r\n</s:Envelope>\r\n";
  return "POST /ctl/IPConn HTTP/1.1\r\nHOST: 127.0.0.1:" + std::to_string(port) +
         "\r\nSOAPACTION:\"" + service + "#" + action +
         "\"\r\nCONTENT-TYPE: text/xml ; TCHARset=\"utf-8\"\r\nContent-Length: " +
         std::to_string(envelope.size()) + " \r\n\r\n" + envelope;
}

std::string EntryReply(const std::string& prefix, const std::string& port,
                       const std::string& client, const std::string& description) {
  return HttpOk(SoapReply(
      prefix, "<u:GetGenericPortMappingEntryResponse xmlns:u=\"" + std::string(kIp1) +
                  "\"><NewRemoteHost></NewRemoteHost><NewExternalPort>" + port +
                  "</NewExternalPort><NewProtocol>TCP</NewProtocol><NewInternalPort>" + port +
                  "</NewInternalPort><NewInternalClient>" + client +
                  "</NewInternalClient><NewEnabled>1</NewEnabled><NewPortMappingDescription>" +
                  description + "</NewPortMappingDescription><NewLeaseDuration>0" +
                  "</NewLeaseDuration></u:GetGenericPortMappingEntryResponse>"));
}

std::string ExternalIpReply(const std::string& prefix, const std::string& response_prefix) {
  return HttpOk(SoapReply(prefix, "<" + response_prefix + ":GetExternalIPAddressResponse xmlns:" +
                                      response_prefix + "=\"" + kIp1 +
                                      "\"><NewExternalIPAddress>203.0.113.7</NewExternalIPAddress>"
                                      "</" +
                                      response_prefix + ":GetExternalIPAddressResponse>"));
}

// A client aimed at the fake, with the gateway found through the description spec.
std::unique_ptr<CUPnPNat> Discovered(FakeGateway& gateway, const DescriptionSpec& spec,
                                     FakeGateway::Handler control = nullptr) {
  gateway.ServeDescription(DescriptionXml(spec), std::move(control));
  gateway.QueueSsdp({gateway.SearchAnswer(gateway.Url("/rootDesc.xml"))});
  auto nat = std::make_unique<CUPnPNat>("127.0.0.1", gateway.ssdp_port());
  nat->SetTimeout(2s);
  EXPECT_TRUE(nat->Discover()) << nat->LastMessage();
  gateway.ClearRecords();
  return nat;
}

TEST(UPnPNat, ParseUrlSplitsHostPortAndPath) {
  std::string host, path;
  int port = -1;
  ASSERT_TRUE(tessel::ParseUrl("http://192.168.1.1:5000/rootDesc.xml", &host, &port, &path));
  EXPECT_EQ(host, "192.168.1.1");
  EXPECT_EQ(port, 5000);
  EXPECT_EQ(path, "/rootDesc.xml");

  ASSERT_TRUE(tessel::ParseUrl("http://10.0.0.1/desc.xml", &host, &port, &path));
  EXPECT_EQ(host, "10.0.0.1");
  EXPECT_EQ(port, 80);
  EXPECT_EQ(path, "/desc.xml");
  EXPECT_FALSE(tessel::ParseUrl("http://10.0.0.1", &host, &port, &path));
  EXPECT_FALSE(tessel::ParseUrl("10.0.0.1:80/x", &host, &port, &path));

  ASSERT_TRUE(tessel::ParseUrl("http://10.0.0.1:x9/", &host, &port, &path));
  EXPECT_EQ(port, 0);
  EXPECT_EQ(path, "/");
  // A ":" in the path is not a port.
  ASSERT_TRUE(tessel::ParseUrl("http://10.0.0.1/a:b", &host, &port, &path));
  EXPECT_EQ(host, "10.0.0.1");
  EXPECT_EQ(port, 80);
  EXPECT_EQ(path, "/a:b");
  ASSERT_TRUE(tessel::ParseUrl("http://10.0.0.1:99999999999/", &host, &port, &path));
  EXPECT_GT(port, 65535);
}

TEST(UPnPNat, DiscoverySearchesFetchesAndWalksTheDescriptionOnce) {
  FakeGateway gateway;
  gateway.ServeDescription(DescriptionXml({}));
  gateway.QueueSsdp({gateway.SearchAnswer(gateway.Url("/rootDesc.xml"))});
  CUPnPNat nat("127.0.0.1", gateway.ssdp_port());
  nat.SetTimeout(5s);

  const auto start = Clock::now();
  ASSERT_TRUE(nat.Discover()) << nat.LastMessage();
  // The description comes with a Content-Length on a kept connection: no waiting for the close.
  EXPECT_LT(Clock::now() - start, 2s);
  EXPECT_TRUE(nat.Found());
  EXPECT_EQ(nat.DescribeUrl(), gateway.Url("/rootDesc.xml"));
  EXPECT_EQ(nat.BaseUrl(), gateway.Url(""));
  EXPECT_EQ(nat.ControlUrl(), gateway.Url("/ctl/IPConn"));
  EXPECT_EQ(nat.ServiceType(), kIp1);
  EXPECT_EQ(nat.Description(), HttpOk(DescriptionXml({})));

  const std::vector<std::string> datagrams = gateway.Datagrams(2);
  ASSERT_GE(datagrams.size(), 2u);
  EXPECT_EQ(kSearch.size(), 99u);
  EXPECT_EQ(datagrams[0], kSearch);
  EXPECT_EQ(datagrams[1], kStandardSearch);
  const std::vector<std::string> requests = gateway.Requests();
  ASSERT_EQ(requests.size(), 1u);
  EXPECT_EQ(requests[0], "GET /rootDesc.xml HTTP/1.1\r\nHost: 127.0.0.1:" +
                             std::to_string(gateway.http_port()) + "\r\n\r\n");

  gateway.ClearRecords();
  EXPECT_TRUE(nat.Discover());
  std::this_thread::sleep_for(50ms);
  EXPECT_TRUE(gateway.Datagrams().empty());
  EXPECT_TRUE(gateway.Requests().empty());
}

TEST(UPnPNat, DiscoveryTakesOnlyAnnouncedLocations) {
  const std::string tv =
      "<?xml version=\"1.0\"?><root><device><deviceType>"
      "urn:schemas-upnp-org:device:MediaRenderer:1</deviceType></device></root>";
  const std::string description = DescriptionXml({});
  FakeGateway gateway;
  gateway.SetHandler([&](const std::string& request) {
    if (request.rfind("GET /tv.xml ", 0) == 0) return FakeGateway::Reply{HttpOk(tv)};
    if (request.rfind("GET /rootDesc.xml ", 0) == 0) return FakeGateway::Reply{HttpOk(description)};
    return FakeGateway::Reply{Fault(401)};
  });
  // The gateway answers only the standard search target. Before its answer: a gateway going down
  // (no LOCATION, though a schema URL), a datagram without LOCATION, and a television.
  gateway.QueueSsdp(
      {"NOTIFY * HTTP/1.1\r\nHOST: 239.255.255.250:1900\r\nNT: urn:schemas-upnp-org:service:"
       "WANIPConnection:1\r\nNTS: ssdp:byebye\r\nUSN: uuid:1\r\n\r\n",
       "HTTP/1.1 200 OK\r\nST: upnp:rootdevice\r\nEXT: http://example.invalid/x\r\n\r\n",
       gateway.SearchAnswer(gateway.Url("/tv.xml")),
       "NOTIFY * HTTP/1.1\r\nHOST: 239.255.255.250:1900\r\nNT: upnp:rootdevice\r\n"
       "NTS: ssdp:alive\r\nlocation:  " +
           gateway.Url("/rootDesc.xml") + " \r\n\r\n"},
      true);
  CUPnPNat nat("127.0.0.1", gateway.ssdp_port());
  nat.SetTimeout(2s);
  ASSERT_TRUE(nat.Discover()) << nat.LastMessage();
  EXPECT_EQ(nat.DescribeUrl(), gateway.Url("/rootDesc.xml"));
  const std::vector<std::string> requests = gateway.Requests();
  ASSERT_EQ(requests.size(), 2u);
  EXPECT_EQ(requests[0].rfind("GET /tv.xml ", 0), 0u);

  // Nobody answers.
  FakeGateway silent;
  CUPnPNat lonely("127.0.0.1", silent.ssdp_port());
  const auto start = Clock::now();
  EXPECT_FALSE(lonely.Discover());
  EXPECT_GE(Clock::now() - start, 900ms);
  EXPECT_EQ(lonely.LastMessage(), "Fail to find an UPNP NAT.\n");
  EXPECT_FALSE(lonely.Found());
  EXPECT_EQ(silent.Datagrams(200).size(), 200u);
}

TEST(UPnPNat, DescriptionWalkChoosesTheWanConnectionService) {
  struct Case {
    DescriptionSpec spec;
    std::string control_url;  // "{}" stands for the fake's address
    std::string service_type;
  };
  const std::string v2 = "urn:schemas-upnp-org:";
  std::vector<Case> cases(5);
  // No URLBase, relative control URL.
  cases[0] = {{}, "{}/ctl/IPConn", kIp1};
  // URLBase, joined without adding or removing "/".
  cases[1].spec.url_base = "http://127.0.0.1:1/base";
  cases[1].spec.services = {{kIp1, "ctl"}};
  cases[1].control_url = "http://127.0.0.1:1/basectl";
  cases[1].service_type = kIp1;
  // Absolute control URLs stay as they are, in either letter case of the scheme.
  cases[2].spec.url_base = "http://127.0.0.1:1";
  cases[2].spec.services = {{kIp1, "HTTP://10.0.0.1/x"}};
  cases[2].control_url = "HTTP://10.0.0.1/x";
  cases[2].service_type = kIp1;
  // The first WAN service listed wins, PPP before IP; other services are skipped.
  cases[3].spec.services = {
      {v2 + "service:WANCommonInterfaceConfig:1", "/c"}, {kPpp1, "/ppp"}, {kIp1, "/ip"}};
  cases[3].control_url = "{}/ppp";
  cases[3].service_type = kPpp1;
  // Version 2 devices and service.
  cases[4].spec.igd = v2 + "device:InternetGatewayDevice:2";
  cases[4].spec.wan = v2 + "device:WANDevice:2";
  cases[4].spec.connection = v2 + "device:WANConnectionDevice:2";
  cases[4].spec.services = {{v2 + "service:WANIPConnection:2", "/ctl/IP2"}};
  cases[4].control_url = "{}/ctl/IP2";
  cases[4].service_type = v2 + "service:WANIPConnection:2";
  for (const Case& c : cases) {
    FakeGateway gateway;
    std::unique_ptr<CUPnPNat> nat = Discovered(gateway, c.spec);
    EXPECT_EQ(nat->ControlUrl(), Replace(c.control_url, "{}", gateway.Url("")));
    EXPECT_EQ(nat->ServiceType(), c.service_type);
  }
}

TEST(UPnPNat, DescriptionWalkFailuresNameWhatIsMissing) {
  struct Case {
    std::string description;
    std::string message;
  };
  DescriptionSpec no_igd;
  no_igd.igd = "urn:schemas-upnp-org:device:InternetGatewayDevice:3";
  DescriptionSpec no_list;
  no_list.service_list = false;
  DescriptionSpec no_service;
  no_service.services = {{"urn:schemas-upnp-org:service:WANIPConnection:3", "/x"}};
  const std::vector<Case> cases = {
      {"<root><a></b></root>",
       "The device descripe XML file is not a valid XML file. Cann't find root element.\n"},
      {DescriptionXml(no_igd),
       "Fail to find device \"urn:schemas-upnp-org:device:InternetGatewayDevice:1 \"\n"},
      {DescriptionXml(no_list),
       " Fail to find serviceList of device \"urn:schemas-upnp-org:device:WANDevice:1 \"\n"},
      {DescriptionXml(no_service),
       "can't find  \" SERVICE_WANIP \" or \" SERVICE_WANPPP \" service.\n"},
  };
  // A failed walk lets the search run its full second: run the cases side by side.
  std::vector<std::string> messages(cases.size());
  std::vector<std::thread> runs;
  for (size_t i = 0; i < cases.size(); ++i) {
    runs.emplace_back([&, i] {
      FakeGateway gateway;
      gateway.ServeDescription(cases[i].description);
      gateway.QueueSsdp({gateway.SearchAnswer(gateway.Url("/rootDesc.xml"))});
      CUPnPNat nat("127.0.0.1", gateway.ssdp_port());
      messages[i] = nat.Discover() || nat.Found() ? "found" : nat.LastMessage();
    });
  }
  for (std::thread& run : runs) run.join();
  for (size_t i = 0; i < cases.size(); ++i) EXPECT_EQ(messages[i], cases[i].message);

  // The base URL cannot be derived from a location without a path.
  FakeGateway gateway;
  gateway.QueueSsdp(
      {gateway.SearchAnswer("http://127.0.0.1:" + std::to_string(gateway.http_port()))});
  CUPnPNat nat("127.0.0.1", gateway.ssdp_port());
  EXPECT_FALSE(nat.Discover());
  EXPECT_EQ(nat.LastMessage(),
            "Fail to parseURl: http://127.0.0.1:" + std::to_string(gateway.http_port()) + "\n");
}

TEST(UPnPNat, ActionsSendExactRequestsAndReadReplies) {
  std::string reply = HttpOk("");
  FakeGateway gateway;
  std::unique_ptr<CUPnPNat> nat =
      Discovered(gateway, {}, [&](const std::string&) { return FakeGateway::Reply{reply}; });
  const uint16_t port = gateway.http_port();

  ASSERT_TRUE(nat->AddPortMapping("Tessel(127.0.0.1:8080)", "127.0.0.1", 9001, 8080, "TCP"));
  ASSERT_EQ(gateway.Requests().size(), 1u);
  EXPECT_EQ(gateway.Requests()[0],
            SoapRequest(port, kIp1, "AddPortMapping",
                        "<NewRemoteHost></NewRemoteHost>\r\n<NewExternalPort>9001</"
                        "NewExternalPort>\r\n<NewProtocol>TCP</NewProtocol>\r\n<NewInternalPort>"
                        "8080</NewInternalPort>\r\n<NewInternalClient>127.0.0.1</"
                        "NewInternalClient>\r\n<NewEnabled>1</NewEnabled>\r\n"
                        "<NewPortMappingDescription>Tessel(127.0.0.1:8080)</"
                        "NewPortMappingDescription>\r\n<NewLeaseDuration>63072000</"
                        "NewLeaseDuration>\r\n"));
  ASSERT_TRUE(nat->DeletePortMapping(9001, "TCP"));
  EXPECT_EQ(gateway.Requests()[1],
            SoapRequest(port, kIp1, "DeletePortMapping",
                        "<NewRemoteHost></NewRemoteHost>\r\n<NewExternalPort>9001</"
                        "NewExternalPort>\r\n<NewProtocol>TCP</NewProtocol>\r\n"));

  reply = Fault(718);
  EXPECT_FALSE(nat->AddPortMapping("Tessel(127.0.0.1:8080)", "127.0.0.1", 9001, 8080, "TCP"));
  EXPECT_EQ(nat->LastMessage(), "Fail to add port mapping (Tessel(127.0.0.1:8080)/TCP)\n");
  EXPECT_FALSE(nat->DeletePortMapping(9001, "UDP"));
  EXPECT_EQ(nat->LastMessage(), "Fail to del port mapping (UDP/9001)\n");

  // The external address, whatever the envelope's prefix.
  for (const std::string prefix : {"SOAP-ENV", "s"}) {
    reply = ExternalIpReply(prefix, "u");
    gateway.ClearRecords();
    ASSERT_TRUE(nat->GetExternalIPAddress()) << prefix;
    EXPECT_EQ(gateway.Requests()[0], SoapRequest(port, kIp1, "GetExternalIPAddress",
                                                 "<NewExternalIPAddress></NewExternalIPAddress>"));
    EXPECT_EQ(nat->ExternalIp(), "203.0.113.7");
    EXPECT_EQ(nat->LocalIp(), "127.0.0.1");
    EXPECT_EQ(nat->Response(), reply);
  }
  reply = ExternalIpReply("s", "m");
  EXPECT_TRUE(nat->GetExternalIPAddress());

  reply = HttpOk("<?xml version=\"1.0\"?><Other/>");
  EXPECT_FALSE(nat->GetExternalIPAddress());
  EXPECT_EQ(nat->LastMessage(),
            "Fail to get mapping info from response data.(NO \"SOAP-ENV:Envelope\" node.)\n");
  reply = HttpOk("<s:Envelope><s:Head/></s:Envelope>");
  EXPECT_FALSE(nat->GetExternalIPAddress());
  EXPECT_EQ(nat->LastMessage(),
            "Fail to get mapping info from response data.(NO \"SOAP-ENV:Body\" node.)\n");
  reply = HttpOk(SoapReply("s", "<u:GetExternalIPAddressResponse/>"));
  EXPECT_FALSE(nat->GetExternalIPAddress());
  reply = Fault(501);
  EXPECT_FALSE(nat->GetExternalIPAddress());

  // An address element without text gives an empty address.
  reply = HttpOk(SoapReply("s",
                           "<u:GetExternalIPAddressResponse><NewExternalIPAddress/>"
                           "</u:GetExternalIPAddressResponse>"));
  EXPECT_TRUE(nat->GetExternalIPAddress());
  EXPECT_EQ(nat->ExternalIp(), "");
}

TEST(UPnPNat, ListingReadsEntriesUntilTheGatewayRefusesAnIndex) {
  struct Entry {
    std::string port, client, description;
  };
  std::vector<Entry> table = {{"8080", "192.168.1.9", "Other"},
                              {"9000", "192.168.1.7", "Tessel(192.168.1.7:80)"},
                              {"8081", "192.168.1.5", "Tessel(192.168.1.5:8081)"}};
  std::string prefix = "s";
  FakeGateway gateway;
  std::unique_ptr<CUPnPNat> nat = Discovered(gateway, {}, [&](const std::string& request) {
    const size_t at = request.find("<NewPortMappingIndex>");
    const size_t index = std::stoul(request.substr(at + 21));
    if (index >= table.size()) return FakeGateway::Reply{Fault(713), true};
    const Entry& e = table[index];
    return FakeGateway::Reply{EntryReply(prefix, e.port, e.client, e.description), true};
  });

  ASSERT_TRUE(nat->ListPortMappings()) << nat->LastMessage();
  EXPECT_EQ(nat->LastMessage(), "Totally 3 mapping entries.\n");
  const std::vector<std::string> requests = gateway.Requests();
  ASSERT_EQ(requests.size(), 4u);
  for (int i = 0; i < 4; ++i) {
    EXPECT_EQ(requests[static_cast<size_t>(i)],
              SoapRequest(gateway.http_port(), kIp1, "GetGenericPortMappingEntry",
                          "<NewPortMappingIndex>" + std::to_string(i) +
                              "</NewPortMappingIndex><NewRemoteHost></NewRemoteHost>\r\n"
                              "<NewExternalPort></NewExternalPort>\r\n<NewProtocol></NewProtocol>"
                              "\r\n<NewInternalPort></NewInternalPort>\r\n<NewInternalClient></"
                              "NewInternalClient>\r\n<NewEnabled>1</NewEnabled>\r\n"
                              "<NewPortMappingDescription></NewPortMappingDescription>\r\n"
                              "<NewLeaseDuration></NewLeaseDuration>\r\n"));
  }
  EXPECT_EQ(nat->MapExternalPorts(), (std::vector<std::string>{"8080", "9000", "8081"}));
  EXPECT_EQ(nat->MapInternalPorts(), (std::vector<std::string>{"8080", "9000", "8081"}));
  EXPECT_EQ(nat->MapProtocols(), (std::vector<std::string>{"TCP", "TCP", "TCP"}));
  EXPECT_EQ(nat->MapClients(),
            (std::vector<std::string>{"192.168.1.9", "192.168.1.7", "192.168.1.5"}));
  EXPECT_EQ(nat->MapDescriptions()[1], "Tessel(192.168.1.7:80)");

  // A second listing starts afresh; an empty table is a successful listing too.
  prefix = "SOAP-ENV";
  table.resize(1);
  ASSERT_TRUE(nat->ListPortMappings());
  EXPECT_EQ(nat->MapExternalPorts(), (std::vector<std::string>{"8080"}));
  table.clear();
  ASSERT_TRUE(nat->ListPortMappings());
  EXPECT_TRUE(nat->MapDescriptions().empty());
  EXPECT_EQ(nat->LastMessage(), "Totally 0 mapping entries.\n");

  // An entry lacking an element fails the listing and keeps the entries read before it.
  table = {{"1", "a", "x"}, {"2", "b", "y"}};
  gateway.SetHandler([&](const std::string& request) {
    if (request.find("<NewPortMappingIndex>0<") != std::string::npos) {
      return FakeGateway::Reply{EntryReply("s", "1", "a", "x")};
    }
    return FakeGateway::Reply{Replace(EntryReply("s", "2", "b", "y"), "Protocol>", "Proto>")};
  });
  EXPECT_FALSE(nat->ListPortMappings());
  EXPECT_EQ(nat->LastMessage(),
            "Fail to get mapping info from response data.(NO \"NewProtocol\" node.)\n");
  EXPECT_EQ(nat->MapExternalPorts(), (std::vector<std::string>{"1"}));

  gateway.SetHandler(
      [&](const std::string&) { return FakeGateway::Reply{HttpOk(SoapReply("s", "<u:Other/>"))}; });
  EXPECT_FALSE(nat->ListPortMappings());
  EXPECT_EQ(nat->LastMessage(),
            "Fail to get mapping info from response data.(NO "
            "\"u:GetGenericPortMappingEntryResponse\" node.)\n");
}

TEST(UPnPNat, ExchangesAreBoundedByTheTimeOut) {
  FakeGateway::Reply reply;
  FakeGateway gateway;
  std::unique_ptr<CUPnPNat> nat =
      Discovered(gateway, {}, [&](const std::string&) { return reply; });
  nat->SetTimeout(300ms);

  auto timed = [&](const char* what) {
    const auto start = Clock::now();
    const bool ok = nat->GetExternalIPAddress();
    const auto elapsed = Clock::now() - start;
    EXPECT_LT(elapsed, 2s) << what;
    return ok;
  };

  // Silent, and replying half of what its Content-Length announces: both fail in time.
  reply = {"", true};
  EXPECT_FALSE(timed("silent"));
  EXPECT_EQ(nat->LastMessage(), "No complete reply from the gateway in time.\n");
  const std::string whole = ExternalIpReply("s", "u");
  reply = {whole.substr(0, whole.size() / 2), true};
  EXPECT_FALSE(timed("half"));
  EXPECT_EQ(nat->LastMessage(), "No complete reply from the gateway in time.\n");

  // A whole reply on a kept connection, by Content-Length or in chunks, completes at once.
  reply = {whole, true};
  EXPECT_TRUE(timed("kept"));
  const size_t body = whole.find("\r\n\r\n") + 4;
  const std::string xml = whole.substr(body);
  const std::string chunked = "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n" + Hex(30) +
                              "\r\n" + xml.substr(0, 30) + "\r\n" + Hex(xml.size() - 30) + "\r\n" +
                              xml.substr(30) + "\r\n0\r\n\r\n";
  reply = {chunked, true};
  EXPECT_TRUE(timed("chunked"));
  EXPECT_EQ(nat->ExternalIp(), "203.0.113.7");
  // Without a length the reply ends when the gateway closes the connection.
  reply = {"HTTP/1.1 200 OK\r\n\r\n" + xml, false};
  EXPECT_TRUE(timed("closed"));

  // A gateway that stops listening.
  uint16_t closed_port = 0;
  close(ListenTcp(&closed_port));
  FakeGateway other;
  DescriptionSpec spec;
  spec.services = {{kIp1, "http://127.0.0.1:" + std::to_string(closed_port) + "/ctl"}};
  std::unique_ptr<CUPnPNat> gone = Discovered(other, spec);
  EXPECT_FALSE(gone->AddPortMapping("d", "127.0.0.1", 1, 1, "TCP"));
  EXPECT_EQ(gone->LastMessage(),
            "Fail to connect to 127.0.0.1:" + std::to_string(closed_port) + " (using TCP)\n");
  EXPECT_FALSE(gone->ListPortMappings());
}

}  // namespace

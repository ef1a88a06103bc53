#pragma once
// A UPnP gateway faked on 127.0.0.1 for the net tests: an SSDP answerer, an HTTP server for the
// description and the SOAP control URL, and the texts a real gateway sends. Its HTTP side also
// stands in for the web service.
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
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "net/UPnPNat.h"
#include "support/Eventually.h"

namespace tessel::test {

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

inline std::string Hex(size_t n) {
  char buffer[32];
  std::snprintf(buffer, sizeof buffer, "%zx", n);
  return buffer;
}

inline std::string Replace(std::string text, const std::string& from, const std::string& to) {
  for (size_t at = text.find(from); at != std::string::npos; at = text.find(from, at + to.size())) {
    text.replace(at, from.size(), to);
  }
  return text;
}

struct DescriptionLayout {
  std::string url_base;  // empty: no URLBase element
  std::string igd = kIgd1;
  std::string wan = kWan1;
  std::string connection = kConn1;
  // (type, control URL) of each service of the connection device, in order.
  std::vector<std::pair<std::string, std::string>> services = {{kIp1, "/ctl/IPConn"}};
  bool service_list = true;
};

inline std::string DescriptionXml(const DescriptionLayout& layout) {
  std::string services;
  for (const auto& [type, control] : layout.services) {
    services += "<service><serviceType>" + type + "</serviceType><serviceId>x</serviceId>" +
                "<controlURL>" + control + "</controlURL><eventSubURL>/evt</eventSubURL></service>";
  }
  return "<?xml version=\"1.0\"?>\r\n<root xmlns=\"urn:schemas-upnp-org:device-1-0\">"
         "<specVersion><major>1</major><minor>0</minor></specVersion>" +
         (layout.url_base.empty() ? "" : "<URLBase>" + layout.url_base + "</URLBase>") +
         "<device><deviceType>" + layout.igd + "</deviceType><friendlyName>Router</friendlyName>" +
         "<serviceList><service><serviceType>urn:schemas-upnp-org:service:Layer3Forwarding:1" +
         "</serviceType></service></serviceList><deviceList>" +
         "<device><deviceType>urn:schemas-upnp-org:device:LANDevice:1</deviceType></device>" +
         "<device><deviceType>" + layout.wan + "</deviceType><deviceList>" +
         "<device><deviceType>" + layout.connection + "</deviceType>" +
         (layout.service_list ? "<serviceList>" + services + "</serviceList>" : "") +
         "</device></deviceList></device></deviceList></device></root>";
}

inline std::string HttpOk(const std::string& body, const std::string& type = "text/xml") {
  return "HTTP/1.1 200 OK\r\nContent-Type: " + type +
         "\r\nContent-Length: " + std::to_string(body.size()) + "\r\n\r\n" + body;
}

inline std::string SoapReply(const std::string& prefix, const std::string& inner) {
  return "<?xml version=\"1.0\"?>\r\n<" + prefix + ":Envelope xmlns:" + prefix +
         "=\"http://schemas.xmlsoap.org/soap/envelope/\" " + prefix +
         ":encodingStyle=\"http://schemas.xmlsoap.org/soap/encoding/\"><" + prefix + ":Body>" +
         inner + "</" + prefix + ":Body></" + prefix + ":Envelope>\r\n";
}

inline std::string Fault(int code) {
  const std::string body = SoapReply(
      "s",
      "<s:Fault><faultcode>s:Client</faultcode><faultstring>UPnPError</faultstring><detail>"
      "<UPnPError xmlns=\"urn:schemas-upnp-org:control-1-0\"><errorCode>" +
          std::to_string(code) + "</errorCode></UPnPError></detail></s:Fault>");
  return "HTTP/1.1 500 Internal Server Error\r\nContent-Type: text/xml\r\nContent-Length: " +
         std::to_string(body.size()) + "\r\n\r\n" + body;
}

inline int ListenUdp(uint16_t* port) {
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

inline int ListenTcp(uint16_t* port) {
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

inline bool Readable(int fd, int ms) {
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
    m_udp = ListenUdp(&m_ssdp_port);
    m_tcp = ListenTcp(&m_http_port);
    m_location = "http://127.0.0.1:" + std::to_string(m_http_port) + "/rootDesc.xml";
    m_handler = [](const std::string&) { return Reply{Fault(401)}; };
    m_ssdp_thread = std::thread([this] { RunSsdp(); });
    m_http_thread = std::thread([this] { RunHttp(); });
  }
  ~FakeGateway() {
    m_stop = true;
    m_ssdp_thread.join();
    m_http_thread.join();
    close(m_udp);
    close(m_tcp);
  }

  uint16_t ssdp_port() const { return m_ssdp_port; }
  uint16_t http_port() const { return m_http_port; }
  std::string Url(const std::string& path) const {
    return "http://127.0.0.1:" + std::to_string(m_http_port) + path;
  }
  std::string SearchAnswer(const std::string& location) const {
    return "HTTP/1.1 200 OK\r\nCACHE-CONTROL: max-age=120\r\nST: upnp:rootdevice\r\n"
           "USN: uuid:1::upnp:rootdevice\r\nEXT:\r\nSERVER: Linux UPnP/1.1 Fake/1.0\r\n"
           "LOCATION: " +
           location + "\r\n\r\n";
  }

  // Each search is answered with the next queued datagram; an empty queue stays silent.
  void QueueSsdp(std::vector<std::string> datagrams, bool only_standard_search = false) {
    std::lock_guard lock(m_mutex);
    for (auto& d : datagrams) m_ssdp_answers.push_back(std::move(d));
    m_only_standard = only_standard_search;
  }
  void SetHandler(Handler handler) {
    std::lock_guard lock(m_mutex);
    m_handler = std::move(handler);
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
    Eventually([&] { return DatagramCount() >= least; }, 1s);
    std::lock_guard lock(m_mutex);
    return m_datagrams;
  }
  size_t DatagramCount() {
    std::lock_guard lock(m_mutex);
    return m_datagrams.size();
  }
  std::vector<std::string> Requests() {
    std::lock_guard lock(m_mutex);
    return m_requests;
  }
  void ClearRecords() {
    std::lock_guard lock(m_mutex);
    m_datagrams.clear();
    m_requests.clear();
  }

 private:
  void RunSsdp() {
    std::vector<char> buffer(65536);
    while (!m_stop) {
      if (!Readable(m_udp, 20)) continue;
      sockaddr_in from{};
      socklen_t size = sizeof from;
      const ssize_t n = recvfrom(m_udp, buffer.data(), buffer.size(), 0,
                                 reinterpret_cast<sockaddr*>(&from), &size);
      if (n <= 0) continue;
      std::string datagram(buffer.data(), static_cast<size_t>(n));
      std::lock_guard lock(m_mutex);
      m_datagrams.push_back(datagram);
      if (m_only_standard && datagram.find("ST:upnp:rootdevice") == std::string::npos) continue;
      if (m_ssdp_answers.empty()) continue;
      const std::string answer = std::move(m_ssdp_answers.front());
      m_ssdp_answers.pop_front();
      sendto(m_udp, answer.data(), answer.size(), 0, reinterpret_cast<sockaddr*>(&from), size);
    }
  }

  void RunHttp() {
    while (!m_stop) {
      if (!Readable(m_tcp, 20)) continue;
      const int fd = accept(m_tcp, nullptr, nullptr);
      if (fd < 0) continue;
      std::string request = ReadRequest(fd);
      Handler handler;
      {
        std::lock_guard lock(m_mutex);
        m_requests.push_back(request);
        handler = m_handler;
      }
      const Reply reply = handler(request);
      if (!reply.bytes.empty()) send(fd, reply.bytes.data(), reply.bytes.size(), MSG_NOSIGNAL);
      // A kept connection ends when the client closes it.
      char c;
      while (reply.keep_open && !m_stop && !(Readable(fd, 20) && recv(fd, &c, 1, 0) <= 0)) {
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

  int m_udp = -1;
  int m_tcp = -1;
  uint16_t m_ssdp_port = 0;
  uint16_t m_http_port = 0;
  std::string m_location;
  std::atomic<bool> m_stop{false};
  std::mutex m_mutex;
  std::deque<std::string> m_ssdp_answers;
  bool m_only_standard = false;
  Handler m_handler;
  std::vector<std::string> m_datagrams;
  std::vector<std::string> m_requests;
  std::thread m_ssdp_thread;
  std::thread m_http_thread;
};

// The SOAP request the client must send for action, byte for byte.
inline std::string SoapRequest(uint16_t port, const std::string& service, const std::string& action,
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

inline std::string EntryReply(const std::string& prefix, const std::string& port,
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

inline std::string ExternalIpReply(const std::string& prefix, const std::string& response_prefix) {
  return HttpOk(SoapReply(prefix, "<" + response_prefix + ":GetExternalIPAddressResponse xmlns:" +
                                      response_prefix + "=\"" + kIp1 +
                                      "\"><NewExternalIPAddress>203.0.113.7</NewExternalIPAddress>"
                                      "</" +
                                      response_prefix + ":GetExternalIPAddressResponse>"));
}

// A client aimed at the fake, with the gateway found through the description layout.
inline std::unique_ptr<CUPnPNat> Discovered(FakeGateway& gateway, const DescriptionLayout& layout,
                                            FakeGateway::Handler control = nullptr) {
  gateway.ServeDescription(DescriptionXml(layout), std::move(control));
  gateway.QueueSsdp({gateway.SearchAnswer(gateway.Url("/rootDesc.xml"))});
  auto nat = std::make_unique<CUPnPNat>("127.0.0.1", gateway.ssdp_port());
  nat->SetTimeout(2s);
  EXPECT_TRUE(nat->Discover()) << nat->LastMessage();
  gateway.ClearRecords();
  return nat;
}

}  // namespace tessel::test

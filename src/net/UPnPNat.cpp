#include "net/UPnPNat.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <initializer_list>
#include <optional>
#include <string_view>

#include "base/AsciiText.h"
#include "net/XmlNode.h"

namespace {

constexpr int kSsdpCycles = 100;
constexpr std::chrono::milliseconds kSsdpWait{10};
constexpr int kSsdpTtl = 10;
constexpr size_t kReceiveBufferSize = 102400;
constexpr int kConnectAttempts = 11;
// A description or SOAP reply is a few kilobytes; a gateway streaming more must not exhaust memory.
constexpr size_t kMaxReplySize = 1 << 20;
// NewPortMappingIndex is a 16-bit value: no honest gateway has more entries.
constexpr int kMaxMappingEntries = 65536;
// A real table's texts take a few kilobytes; a gateway answering every index with long texts must
// not exhaust memory.
constexpr size_t kMaxTableTextSize = 4 << 20;

// Sent as written. Some gateways match the search target case-sensitively and answer only the
// standard "upnp:rootdevice", so the search is sent in both forms.
constexpr std::string_view kSearch =
    "M-SEARCH * HTTP/1.1\r\nST:UPnP:rootdevice\r\nMX: 3\r\nMan:\"ssdp:discover\"\r\n"
    "HOST: 239.255.255.250:1900\r\n\r\n";
constexpr std::string_view kStandardSearch =
    "M-SEARCH * HTTP/1.1\r\nST:upnp:rootdevice\r\nMX: 3\r\nMan:\"ssdp:discover\"\r\n"
    "HOST: 239.255.255.250:1900\r\n\r\n";

constexpr const char* kNoGateway = "Fail to find an UPNP NAT.\n";
constexpr const char* kTimedOut = "No complete reply from the gateway in time.\n";
constexpr const char* kTooLarge = "The gateway's reply is too large.\n";
constexpr const char* kTableTooLarge = "The gateway's mapping table is too large.\n";

constexpr const char* kEnvelope =
    "<?xml version=\"1.0\" encoding=\"utf-8\"?>\r\n<s:Envelope "
    "xmlns:s=\"http://schemas.xmlsoap.org/soap/envelope/\"s:encodingStyle=\"http://"
    "schemas.xmlsoap.org/soap/encoding/\">\r\n<s:Body>\r\n<u:%s xmlns:u=\"%s\">\r\n%s</"
    "u:%s>\r\n</s:Body>\r\n</s:Envelope>\r\n";
constexpr const char* kSoapHeader =
    "POST %s HTTP/1.1\r\nHOST: %s:%u\r\nSOAPACTION:\"%s#%s\"\r\nCONTENT-TYPE: text/xml ; "
    "TCHARset=\"utf-8\"\r\nContent-Length: %d \r\n\r\n";
constexpr const char* kAddArguments =
    "<NewRemoteHost></NewRemoteHost>\r\n<NewExternalPort>%u</NewExternalPort>\r\n<NewProtocol>%s</"
    "NewProtocol>\r\n<NewInternalPort>%u</NewInternalPort>\r\n<NewInternalClient>%s</"
    "NewInternalClient>\r\n<NewEnabled>1</NewEnabled>\r\n<NewPortMappingDescription>%s</"
    "NewPortMappingDescription>\r\n<NewLeaseDuration>63072000</NewLeaseDuration>\r\n";
constexpr const char* kDeleteArguments =
    "<NewRemoteHost></NewRemoteHost>\r\n<NewExternalPort>%u</NewExternalPort>\r\n<NewProtocol>%s</"
    "NewProtocol>\r\n";
constexpr const char* kExternalIpArguments = "<NewExternalIPAddress></NewExternalIPAddress>";
constexpr const char* kEntryArguments =
    "<NewPortMappingIndex>%i</NewPortMappingIndex><NewRemoteHost></NewRemoteHost>\r\n"
    "<NewExternalPort></NewExternalPort>\r\n<NewProtocol></NewProtocol>\r\n<NewInternalPort></"
    "NewInternalPort>\r\n<NewInternalClient></NewInternalClient>\r\n<NewEnabled>1</"
    "NewEnabled>\r\n<NewPortMappingDescription></NewPortMappingDescription>\r\n"
    "<NewLeaseDuration></NewLeaseDuration>\r\n";

constexpr const char* kNoEnvelope =
    "Fail to get mapping info from response data.(NO \"SOAP-ENV:Envelope\" node.)\n";
constexpr const char* kNoBody =
    "Fail to get mapping info from response data.(NO \"SOAP-ENV:Body\" node.)\n";

// Each device step of the description walk: the accepted types (version 2 keeps the version 1
// actions), the child to descend to, and the failure texts.
struct DeviceStep {
  const char* types[2];
  const char* list;
  const char* no_device;
  const char* no_list;
};
constexpr DeviceStep kDeviceSteps[] = {
    {{"urn:schemas-upnp-org:device:InternetGatewayDevice:1",
      "urn:schemas-upnp-org:device:InternetGatewayDevice:2"},
     "deviceList",
     "Fail to find device \"urn:schemas-upnp-org:device:InternetGatewayDevice:1 \"\n",
     " Fail to find deviceList of device \"urn:schemas-upnp-org:device:InternetGatewayDevice:1 "
     "\"\n"},
    {{"urn:schemas-upnp-org:device:WANDevice:1", "urn:schemas-upnp-org:device:WANDevice:2"},
     "deviceList",
     "Fail to find device \"urn:schemas-upnp-org:device:WANDevice:1 \"\n",
     " Fail to find deviceList of device \"urn:schemas-upnp-org:device:WANDevice:1 \"\n"},
    {{"urn:schemas-upnp-org:device:WANConnectionDevice:1",
      "urn:schemas-upnp-org:device:WANConnectionDevice:2"},
     "serviceList",
     "Fail to find device \"urn:schemas-upnp-org:device:WANConnectionDevice:1\"\n",
     " Fail to find serviceList of device \"urn:schemas-upnp-org:device:WANDevice:1 \"\n"},
};
constexpr const char* kServiceTypes[] = {
    "urn:schemas-upnp-org:service:WANIPConnection:1",
    "urn:schemas-upnp-org:service:WANIPConnection:2",
    "urn:schemas-upnp-org:service:WANPPPConnection:1",
};

// Replaces each "%" conversion of pattern, in order, with the next value.
std::string Fill(std::string_view pattern, std::initializer_list<std::string_view> values) {
  std::string out;
  auto value = values.begin();
  for (size_t i = 0; i < pattern.size(); ++i) {
    if (pattern[i] == '%' && i + 1 < pattern.size() && value != values.end()) {
      out += *value++;
      ++i;
    } else {
      out += pattern[i];
    }
  }
  return out;
}

std::string Number(long value) {
  return std::to_string(value);
}

using tessel::EqualsNoCase;
using tessel::StartsWithNoCase;
using tessel::Trim;

// Calls f(name, value) for each header line of an HTTP-style head (the first line excluded).
template <typename F>
void ForEachHeader(std::string_view head, F f) {
  size_t pos = head.find('\n');
  while (pos != std::string_view::npos && pos + 1 < head.size()) {
    const size_t start = pos + 1;
    pos = head.find('\n', start);
    std::string_view line = head.substr(start, pos == std::string_view::npos ? pos : pos - start);
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    if (line.empty()) return;  // end of the head
    const size_t colon = line.find(':');
    if (colon != std::string_view::npos)
      f(Trim(line.substr(0, colon)), Trim(line.substr(colon + 1)));
  }
}

// The description URL an SSDP datagram announces: the LOCATION of a search answer or of an
// "ssdp:alive" notification; empty for anything else (a gateway going down announces no location).
std::string DescriptionUrl(std::string_view datagram) {
  const bool notify = StartsWithNoCase(datagram, "NOTIFY ");
  if (StartsWithNoCase(datagram, "M-SEARCH ")) return {};
  std::string_view location;
  bool alive = false;
  ForEachHeader(datagram, [&](std::string_view name, std::string_view value) {
    if (EqualsNoCase(name, "LOCATION")) location = value;
    if (EqualsNoCase(name, "NTS")) alive = EqualsNoCase(value, "ssdp:alive");
  });
  if (notify && !alive) return {};
  return std::string(location);
}

// The body of a chunked reply once its last chunk has arrived.
std::optional<std::string> Dechunk(std::string_view body) {
  std::string out;
  size_t pos = 0;
  for (;;) {
    const size_t eol = body.find("\r\n", pos);
    if (eol == std::string_view::npos) return std::nullopt;
    size_t size = 0;
    size_t digits = 0;
    for (size_t i = pos; i < eol && digits < 8; ++i, ++digits) {
      const char c = tessel::FoldCase(body[i]);
      if (c >= '0' && c <= '9') {
        size = size * 16 + static_cast<size_t>(c - '0');
      } else if (c >= 'a' && c <= 'f') {
        size = size * 16 + static_cast<size_t>(c - 'a' + 10);
      } else {
        break;
      }
    }
    if (digits == 0) return std::nullopt;
    pos = eol + 2;
    if (size == 0) {
      // Optional trailer lines, then an empty line.
      if (body.substr(pos, 2) == "\r\n" || body.find("\r\n\r\n", pos) != std::string_view::npos) {
        return out;
      }
      return std::nullopt;
    }
    if (body.size() - pos < size + 2) return std::nullopt;
    out.append(body.substr(pos, size));
    pos += size + 2;
  }
}

// Whether reply holds a whole HTTP reply before the gateway closes the connection: the head and
// as many body bytes as Content-Length says, or a chunked body through its last chunk. A chunked
// body is then replaced by its content, so the reply reads as if sent in one piece.
bool CompleteReply(std::string* reply) {
  const size_t head_end = reply->find("\r\n\r\n");
  if (head_end == std::string::npos) return false;
  const std::string_view head(reply->data(), head_end + 2);
  std::optional<size_t> length;
  bool chunked = false;
  ForEachHeader(head, [&](std::string_view name, std::string_view value) {
    if (EqualsNoCase(name, "Content-Length")) {
      size_t n = 0;
      for (char c : value) {
        if (c < '0' || c > '9' || n > kMaxReplySize) break;
        n = n * 10 + static_cast<size_t>(c - '0');
      }
      length = n;
    }
    if (EqualsNoCase(name, "Transfer-Encoding")) {
      chunked = value.size() >= 7 && EqualsNoCase(value.substr(value.size() - 7), "chunked");
    }
  });
  const size_t body_start = head_end + 4;
  if (chunked) {
    std::optional<std::string> body = Dechunk(std::string_view(*reply).substr(body_start));
    if (!body) return false;
    reply->replace(body_start, std::string::npos, *body);
    return true;
  }
  return length && reply->size() - body_start >= *length;
}

int MillisecondsLeft(std::chrono::steady_clock::time_point deadline) {
  const auto left =
      std::chrono::ceil<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
  return left.count() > 0 ? static_cast<int>(left.count()) : 0;
}

std::string FirstText(const XMLNode& node) {
  const char* text = node.TextAt(0);
  return text ? text : "";
}

std::string_view LocalName(const char* name) {
  std::string_view local = name ? name : "";
  const size_t colon = local.rfind(':');
  return colon == std::string_view::npos ? local : local.substr(colon + 1);
}

// SOAP replies name their elements with whatever prefix the gateway chose ("SOAP-ENV:", "s:"...).
XMLNode ChildByLocalName(const XMLNode& parent, std::string_view local) {
  for (int i = 0; i < parent.ChildCount(); ++i) {
    XMLNode child = parent.ChildAt(i);
    if (EqualsNoCase(LocalName(child.Name()), local)) return child;
  }
  return {};
}

// The first element of that local name among the document's children, looking into declarations.
XMLNode FindByLocalName(XMLNode node, std::string_view local) {
  for (int i = 0; i < node.ChildCount();) {
    XMLNode child = node.ChildAt(i);
    if (EqualsNoCase(LocalName(child.Name()), local)) return child;
    if (child.IsDeclaration()) {
      node = child;
      i = 0;
    } else {
      ++i;
    }
  }
  return {};
}

// The response element of a SOAP reply; the null node when missing, with *message naming a missing
// envelope or body.
XMLNode SoapResponse(const std::string& reply, std::string_view response, std::string* message) {
  XMLNode envelope = FindByLocalName(XMLNode::Parse(reply.c_str()), "Envelope");
  if (envelope.IsNull()) {
    *message = kNoEnvelope;
    return {};
  }
  XMLNode body = ChildByLocalName(envelope, "Body");
  if (body.IsNull()) {
    *message = kNoBody;
    return {};
  }
  return ChildByLocalName(body, response);
}

bool IsServiceType(const std::string& type) {
  return std::any_of(std::begin(kServiceTypes), std::end(kServiceTypes),
                     [&](const char* wanted) { return type == wanted; });
}

// The first "device" child of parent whose type is one of types.
XMLNode FindDevice(const XMLNode& parent, const char* const (&types)[2]) {
  int cursor = 0;
  for (XMLNode device = parent.NextChildByName("device", &cursor); !device.IsNull();
       device = parent.NextChildByName("device", &cursor)) {
    const char* type = device.ChildByName("deviceType").TextAt(0);
    if (type && (std::string_view(type) == types[0] || std::string_view(type) == types[1])) {
      return device;
    }
  }
  return {};
}

}  // namespace

namespace tessel {

bool ParseUrl(const std::string& url, std::string* host, int* port, std::string* path) {
  // The path goes into a request line as it is: a blank or control character from a description
  // or an SSDP answer would add lines of the sender's own to a request to any host.
  if (std::any_of(url.begin(), url.end(),
                  [](char c) { return static_cast<unsigned char>(c) <= ' ' || c == '\x7f'; }))
    return false;
  const size_t scheme = url.find("://");
  if (scheme == std::string::npos) return false;
  const size_t start = scheme + 3;
  const size_t slash = url.find('/', start);
  if (slash == std::string::npos) return false;
  // Only a ":" before the path separates a port.
  const size_t colon = url.find(':', start);
  if (colon == std::string::npos || colon > slash) {
    *host = url.substr(start, slash - start);
    *port = 80;
  } else {
    *host = url.substr(start, colon - start);
    int value = 0;
    for (size_t i = colon + 1; i < slash && url[i] >= '0' && url[i] <= '9'; ++i) {
      value = std::min(value * 10 + (url[i] - '0'), 100000);  // past any port; stays invalid
    }
    *port = value;
  }
  *path = url.substr(slash);
  return true;
}

}  // namespace tessel

CUPnPNat::CUPnPNat(std::string ssdp_address, uint16_t ssdp_port)
    : m_ssdp_address(std::move(ssdp_address)), m_ssdp_port(ssdp_port) {}

CUPnPNat::~CUPnPNat() {
  CloseTcp();
  CloseSsdpSocket();
}

bool CUPnPNat::OpenSsdpSocket() {
  in_addr group{};
  if (inet_pton(AF_INET, m_ssdp_address.c_str(), &group) != 1) return false;
  m_udp_socket = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (m_udp_socket < 0) return false;
  const int on = 1;
  setsockopt(m_udp_socket, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
  const bool multicast = IN_MULTICAST(ntohl(group.s_addr));
  if (multicast) {
    const int ttl = kSsdpTtl;
    const int loop = 0;
    setsockopt(m_udp_socket, IPPROTO_IP, IP_MULTICAST_TTL, &ttl, sizeof ttl);
    setsockopt(m_udp_socket, IPPROTO_IP, IP_MULTICAST_LOOP, &loop, sizeof loop);
  }
  // The SSDP port also receives the gateways' notifications; when another program holds it,
  // answers to the search still reach an ephemeral port.
  sockaddr_in local{};
  local.sin_family = AF_INET;
  local.sin_addr.s_addr = htonl(INADDR_ANY);
  local.sin_port = htons(multicast ? m_ssdp_port : 0);
  if (bind(m_udp_socket, reinterpret_cast<sockaddr*>(&local), sizeof local) != 0) {
    local.sin_port = 0;
    if (bind(m_udp_socket, reinterpret_cast<sockaddr*>(&local), sizeof local) != 0) return false;
  }
  if (multicast) {
    ip_mreq membership{};
    membership.imr_multiaddr = group;
    membership.imr_interface.s_addr = htonl(INADDR_ANY);
    m_ssdp_joined = setsockopt(m_udp_socket, IPPROTO_IP, IP_ADD_MEMBERSHIP, &membership,
                               sizeof membership) == 0;
  }
  setsockopt(m_udp_socket, SOL_SOCKET, SO_BROADCAST, &on, sizeof on);
  return true;
}

void CUPnPNat::CloseSsdpSocket() {
  if (m_udp_socket < 0) return;
  if (m_ssdp_joined) {
    ip_mreq membership{};
    inet_pton(AF_INET, m_ssdp_address.c_str(), &membership.imr_multiaddr);
    membership.imr_interface.s_addr = htonl(INADDR_ANY);
    setsockopt(m_udp_socket, IPPROTO_IP, IP_DROP_MEMBERSHIP, &membership, sizeof membership);
    m_ssdp_joined = false;
  }
  close(m_udp_socket);
  m_udp_socket = -1;
}

void CUPnPNat::SendSearches() {
  sockaddr_in target{};
  target.sin_family = AF_INET;
  target.sin_port = htons(m_ssdp_port);
  inet_pton(AF_INET, m_ssdp_address.c_str(), &target.sin_addr);
  for (std::string_view search : {kSearch, kStandardSearch}) {
    sendto(m_udp_socket, search.data(), search.size(), 0, reinterpret_cast<sockaddr*>(&target),
           sizeof target);
  }
}

bool CUPnPNat::Discover() {
  if (m_found) return true;
  if (!OpenSsdpSocket()) {
    CloseSsdpSocket();
    m_last_message = kNoGateway;
    return false;
  }
  std::vector<char> buffer(kReceiveBufferSize);
  // Other UPnP devices (televisions, printers) answer the search too: a description that is not a
  // gateway's does not end the search.
  std::vector<std::string> tried;
  for (int cycle = 0; cycle < kSsdpCycles && !m_found && !Cancelled(); ++cycle) {
    SendSearches();
    // poll keeps the 10 ms accurately (a receive time-out is rounded up to the kernel's ticks).
    if (!WaitFor(m_udp_socket, POLLIN, Clock::now() + kSsdpWait)) continue;
    const ssize_t received = recv(m_udp_socket, buffer.data(), buffer.size(), MSG_DONTWAIT);
    if (received <= 0) continue;
    std::string url =
        DescriptionUrl(std::string_view(buffer.data(), static_cast<size_t>(received)));
    if (url.empty() || std::find(tried.begin(), tried.end(), url) != tried.end()) continue;
    tried.push_back(url);
    m_describe_url = std::move(url);
    m_found = FetchDescription() && ParseDescription();
  }
  CloseSsdpSocket();
  if (!m_found && tried.empty()) m_last_message = kNoGateway;
  return m_found;
}

bool CUPnPNat::Cancelled() const {
  return m_cancel && m_cancel->load();
}

bool CUPnPNat::WaitFor(int fd, short events, Clock::time_point deadline) const {
  // Looks at the cancel flag this often while waiting.
  constexpr int kCancelCheckMs = 50;
  for (;;) {
    if (Cancelled()) return false;
    pollfd p{fd, events, 0};
    const int left = MillisecondsLeft(deadline);
    const int n = poll(&p, 1, std::min(left, kCancelCheckMs));
    if (n > 0) return true;
    if ((n < 0 && errno != EINTR) || left == 0) return false;
  }
}

bool CUPnPNat::ConnectTcp(const std::string& host, int port) {
  CloseTcp();
  in_addr address{};
  if (port > 0 && port <= 65535 && inet_pton(AF_INET, host.c_str(), &address) == 1) {
    sockaddr_in peer{};
    peer.sin_family = AF_INET;
    peer.sin_port = htons(static_cast<uint16_t>(port));
    peer.sin_addr = address;
    const auto deadline = Clock::now() + m_timeout;
    for (int attempt = 0; attempt < kConnectAttempts && Clock::now() < deadline && !Cancelled();
         ++attempt) {
      const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
      if (fd < 0) break;
      int error = 0;
      if (connect(fd, reinterpret_cast<sockaddr*>(&peer), sizeof peer) != 0) {
        error = errno;
        if (error == EINPROGRESS && WaitFor(fd, POLLOUT, deadline)) {
          socklen_t size = sizeof error;
          getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &size);
        }
      }
      if (error == 0) {
        m_tcp_socket = fd;
        return true;
      }
      close(fd);
    }
  }
  m_last_message = Fill("Fail to connect to %s:%i (using TCP)\n", {host, Number(port)});
  return false;
}

void CUPnPNat::CloseTcp() {
  if (m_tcp_socket < 0) return;
  close(m_tcp_socket);
  m_tcp_socket = -1;
}

bool CUPnPNat::Exchange(const std::string& request, std::string* reply) {
  const auto deadline = Clock::now() + m_timeout;
  for (size_t sent = 0; sent < request.size();) {
    const ssize_t n =
        send(m_tcp_socket, request.data() + sent, request.size() - sent, MSG_NOSIGNAL);
    if (n > 0) {
      sent += static_cast<size_t>(n);
    } else if (n < 0 && (errno == EAGAIN || errno == EINTR)) {
      if (!WaitFor(m_tcp_socket, POLLOUT, deadline)) {
        m_last_message = kTimedOut;
        return false;
      }
    } else {
      break;  // the gateway's answer, if any, tells the rest
    }
  }

  // The reply ends when the gateway closes the connection or a read fails, or earlier once it is
  // complete by its own length; a gateway that keeps it open without finishing runs into the
  // deadline.
  reply->clear();
  std::vector<char> chunk(kReceiveBufferSize);
  while (!CompleteReply(reply)) {
    if (!WaitFor(m_tcp_socket, POLLIN, deadline)) {
      m_last_message = kTimedOut;
      return false;
    }
    const ssize_t n = recv(m_tcp_socket, chunk.data(), chunk.size(), 0);
    if (n < 0 && (errno == EAGAIN || errno == EINTR)) continue;
    if (n <= 0) break;
    reply->append(chunk.data(), static_cast<size_t>(n));
    if (reply->size() > kMaxReplySize) {
      m_last_message = kTooLarge;
      return false;
    }
  }
  return true;
}

bool CUPnPNat::FetchDescription() {
  std::string host;
  std::string path;
  int port = 0;
  if (!tessel::ParseUrl(m_describe_url, &host, &port, &path)) {
    m_last_message = "Fail to parseURl: " + m_describe_url + "\n";
    return false;
  }
  if (!ConnectTcp(host, port)) return false;
  const bool ok = Exchange(
      Fill("GET %s HTTP/1.1\r\nHost: %s:%d\r\n\r\n", {path, host, Number(port)}), &m_description);
  CloseTcp();
  return ok;
}

bool CUPnPNat::ParseDescription() {
  XMLNode root = XMLNode::Parse(m_description.c_str(), "root");
  if (root.IsNull()) {
    m_last_message =
        "The device descripe XML file is not a valid XML file. Cann't find root element.\n";
    return false;
  }

  if (const char* base = root.ChildByName("URLBase").TextAt(0)) {
    m_base_url = base;
  } else {
    const size_t slash = m_describe_url.find('/', 7);  // past "http://"
    if (slash == std::string::npos) {
      m_last_message = "Fail to get m_base_url from XMLNode \"URLBase\" or m_describe_url.\n";
      return false;
    }
    m_base_url = m_describe_url.substr(0, slash);
  }

  XMLNode node = root;
  for (const DeviceStep& step : kDeviceSteps) {
    XMLNode device = FindDevice(node, step.types);
    if (device.IsNull()) {
      m_last_message = step.no_device;
      return false;
    }
    node = device.ChildByName(step.list);
    if (node.IsNull()) {
      m_last_message = step.no_list;
      return false;
    }
  }

  int cursor = 0;
  XMLNode service;
  for (service = node.NextChildByName("service", &cursor); !service.IsNull();
       service = node.NextChildByName("service", &cursor)) {
    const char* type = service.ChildByName("serviceType").TextAt(0);
    if (type && IsServiceType(type)) break;
  }
  if (service.IsNull()) {
    m_last_message = "can't find  \" SERVICE_WANIP \" or \" SERVICE_WANPPP \" service.\n";
    return false;
  }
  m_service_type = service.ChildByName("serviceType").TextAt(0);
  m_control_url = FirstText(service.ChildByName("controlURL"));
  if (m_control_url.find("http://") == std::string::npos &&
      m_control_url.find("HTTP://") == std::string::npos) {
    m_control_url = m_base_url + m_control_url;
  }
  return true;
}

bool CUPnPNat::PrepareAction(std::string* host, int* port, std::string* path) {
  if (!Discover()) return false;
  if (!tessel::ParseUrl(m_control_url, host, port, path)) {
    m_last_message = "Fail to parseURl: " + m_control_url + "\n";
    return false;
  }
  return true;
}

bool CUPnPNat::SendSoap(const std::string& path, const std::string& host, int port,
                        const std::string& action, const std::string& arguments,
                        std::string* reply) {
  const std::string envelope = Fill(kEnvelope, {action, m_service_type, arguments, action});
  const std::string header = Fill(kSoapHeader, {path, host, Number(port), m_service_type, action,
                                                Number(static_cast<long>(envelope.size()))});
  return Exchange(header + envelope, reply);
}

bool CUPnPNat::AddPortMapping(const std::string& description, const std::string& internal_client,
                              uint16_t external_port, uint16_t internal_port,
                              const std::string& protocol) {
  std::string host;
  std::string path;
  int port = 0;
  if (!PrepareAction(&host, &port, &path) || !ConnectTcp(host, port)) return false;
  const std::string arguments =
      Fill(kAddArguments,
           {Number(external_port), protocol, Number(internal_port), internal_client, description});
  std::string reply;
  const bool answered = SendSoap(path, host, port, "AddPortMapping", arguments, &reply);
  CloseTcp();
  if (!answered) return false;
  if (reply.find("200 OK") == std::string::npos) {
    m_last_message = Fill("Fail to add port mapping (%s/%s)\n", {description, protocol});
    return false;
  }
  return true;
}

bool CUPnPNat::DeletePortMapping(uint16_t external_port, const std::string& protocol) {
  std::string host;
  std::string path;
  int port = 0;
  if (!PrepareAction(&host, &port, &path) || !ConnectTcp(host, port)) return false;
  std::string reply;
  const bool answered = SendSoap(path, host, port, "DeletePortMapping",
                                 Fill(kDeleteArguments, {Number(external_port), protocol}), &reply);
  CloseTcp();
  if (!answered) return false;
  if (reply.find("200 OK") == std::string::npos) {
    m_last_message = Fill("Fail to del port mapping (%s/%u)\n", {protocol, Number(external_port)});
    return false;
  }
  return true;
}

bool CUPnPNat::GetExternalIPAddress() {
  std::string host;
  std::string path;
  int port = 0;
  if (!PrepareAction(&host, &port, &path) || !ConnectTcp(host, port)) return false;
  std::string reply;
  const bool answered =
      SendSoap(path, host, port, "GetExternalIPAddress", kExternalIpArguments, &reply);
  sockaddr_in local{};
  socklen_t size = sizeof local;
  char dotted[INET_ADDRSTRLEN] = "";
  if (getsockname(m_tcp_socket, reinterpret_cast<sockaddr*>(&local), &size) == 0) {
    inet_ntop(AF_INET, &local.sin_addr, dotted, sizeof dotted);
  }
  CloseTcp();
  if (!answered || reply.find("200 OK") == std::string::npos) return false;

  m_response = std::move(reply);
  std::string message;
  XMLNode response = SoapResponse(m_response, "GetExternalIPAddressResponse", &message);
  if (response.IsNull()) {
    if (!message.empty()) m_last_message = message;
    return false;
  }
  XMLNode address = response.ChildByName("NewExternalIPAddress");
  if (address.IsNull()) return false;
  m_external_ip = FirstText(address);
  m_local_ip = dotted;
  return true;
}

bool CUPnPNat::ListPortMappings() {
  std::string host;
  std::string path;
  int port = 0;
  if (!PrepareAction(&host, &port, &path)) return false;
  m_map_descriptions.clear();
  m_map_clients.clear();
  m_map_protocols.clear();
  m_map_external_ports.clear();
  m_map_internal_ports.clear();
  size_t table_text_size = 0;
  for (int index = 0;; ++index) {
    if (index == kMaxMappingEntries) break;
    if (Cancelled() || !ConnectTcp(host, port)) return false;
    std::string reply;
    const bool answered = SendSoap(path, host, port, "GetGenericPortMappingEntry",
                                   Fill(kEntryArguments, {Number(index)}), &reply);
    CloseTcp();
    if (!answered) return false;
    // The gateway refuses the index past its last entry (a SOAP fault).
    if (reply.find("200 OK") == std::string::npos) break;
    m_response = std::move(reply);
    if (!ParseMappingEntry()) return false;
    for (const auto* list : {&m_map_descriptions, &m_map_clients, &m_map_protocols,
                             &m_map_external_ports, &m_map_internal_ports}) {
      table_text_size += list->back().size();
    }
    if (table_text_size > kMaxTableTextSize) {
      m_last_message = kTableTooLarge;
      return false;
    }
  }
  m_last_message =
      Fill("Totally %i mapping entries.\n", {Number(static_cast<long>(m_map_descriptions.size()))});
  return true;
}

bool CUPnPNat::ParseMappingEntry() {
  std::string message;
  XMLNode response = SoapResponse(m_response, "GetGenericPortMappingEntryResponse", &message);
  if (response.IsNull()) {
    m_last_message = !message.empty() ? message
                                      : "Fail to get mapping info from response data.(NO "
                                        "\"u:GetGenericPortMappingEntryResponse\" node.)\n";
    return false;
  }
  static constexpr const char* kFields[] = {"NewExternalPort", "NewProtocol", "NewInternalPort",
                                            "NewInternalClient", "NewPortMappingDescription"};
  std::string values[std::size(kFields)];
  for (size_t i = 0; i < std::size(kFields); ++i) {
    XMLNode field = response.ChildByName(kFields[i]);
    if (field.IsNull()) {
      m_last_message = std::string("Fail to get mapping info from response data.(NO \"") +
                       kFields[i] + "\" node.)\n";
      return false;
    }
    values[i] = FirstText(field);
  }
  m_map_external_ports.push_back(std::move(values[0]));
  m_map_protocols.push_back(std::move(values[1]));
  m_map_internal_ports.push_back(std::move(values[2]));
  m_map_clients.push_back(std::move(values[3]));
  m_map_descriptions.push_back(std::move(values[4]));
  return true;
}

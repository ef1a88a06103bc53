#include "net/UPnPNat.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <algorithm>
#include <initializer_list>
#include <string_view>

#include "base/AsciiText.h"
#include "net/Ipv6Addresses.h"
#include "net/SsdpSearch.h"
#include "net/XmlNode.h"

namespace {

constexpr int kSsdpCycles = 100;
constexpr std::chrono::milliseconds kSsdpWait{10};
// NewPortMappingIndex is a 16-bit value: no honest gateway has more entries.
constexpr int kMaxMappingEntries = 65536;
// A real table's texts take a few kilobytes; a gateway answering every index with long texts must
// not exhaust memory.
constexpr size_t kMaxTableTextSize = 4 << 20;

constexpr const char* kNoGateway = "Fail to find an UPNP NAT.\n";
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
constexpr const char* kFirewallType = "urn:schemas-upnp-org:service:WANIPv6FirewallControl:1";
// Protocol numbers, as the IPv6 firewall names protocols.
int ProtocolNumber(const std::string& protocol) {
  return tessel::EqualsNoCase(protocol, "UDP") ? 17 : 6;
}
constexpr const char* kPinholeArguments =
    "<RemoteHost></RemoteHost>\r\n<RemotePort>0</RemotePort>\r\n<InternalClient>%s</"
    "InternalClient>\r\n<InternalPort>%u</InternalPort>\r\n<Protocol>%u</Protocol>\r\n"
    "<LeaseTime>%u</LeaseTime>\r\n";

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

CUPnPNat::CUPnPNat(std::string ssdp_address, uint16_t ssdp_port)
    : m_ssdp_address(std::move(ssdp_address)), m_ssdp_port(ssdp_port) {}

CUPnPNat::~CUPnPNat() = default;

void CUPnPNat::SetTimeout(std::chrono::milliseconds timeout) {
  m_http.SetTimeout(timeout);
}

void CUPnPNat::SetCancel(const std::atomic<bool>* cancel) {
  m_cancel = cancel;
  m_http.SetCancel(cancel);
}

bool CUPnPNat::Discover() {
  if (m_found) return true;
  CSsdpSearch search(m_ssdp_address, m_ssdp_port);
  if (!search.Open()) {
    m_last_message = kNoGateway;
    return false;
  }
  // Other UPnP devices (televisions, printers) answer the search too: a description that is not a
  // gateway's does not end the search.
  std::vector<std::string> tried;
  for (int cycle = 0; cycle < kSsdpCycles && !m_found && !Cancelled(); ++cycle) {
    search.SendSearches();
    // poll keeps the 10 ms accurately (a receive time-out is rounded up to the kernel's ticks).
    std::string url = search.ReceiveLocation(Clock::now() + kSsdpWait, m_cancel);
    if (url.empty() || std::find(tried.begin(), tried.end(), url) != tried.end()) continue;
    tried.push_back(url);
    m_describe_url = std::move(url);
    m_found = FetchDescription() && ParseDescription();
  }
  search.Close();
  if (!m_found && tried.empty()) m_last_message = kNoGateway;
  return m_found;
}

bool CUPnPNat::Cancelled() const {
  return m_cancel && m_cancel->load();
}

bool CUPnPNat::ConnectTcp(const std::string& host, int port) {
  if (m_http.Connect(host, port)) return true;
  m_last_message = m_http.LastMessage();
  return false;
}

void CUPnPNat::CloseTcp() {
  m_http.Close();
}

bool CUPnPNat::Exchange(const std::string& request, std::string* reply) {
  if (m_http.Exchange(request, reply)) return true;
  m_last_message = m_http.LastMessage();
  return false;
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
  // Version 2 gateways list their IPv6 firewall beside the connection service.
  m_firewall_control_url.clear();
  int firewall_cursor = 0;
  for (XMLNode other = node.NextChildByName("service", &firewall_cursor); !other.IsNull();
       other = node.NextChildByName("service", &firewall_cursor)) {
    const char* type = other.ChildByName("serviceType").TextAt(0);
    if (!type || std::string_view(type) != kFirewallType) continue;
    m_firewall_control_url = FirstText(other.ChildByName("controlURL"));
    if (!tessel::StartsWithNoCase(m_firewall_control_url, "http://"))
      m_firewall_control_url = m_base_url + m_firewall_control_url;
    break;
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
  if (getsockname(m_http.Socket(), reinterpret_cast<sockaddr*>(&local), &size) == 0) {
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

bool CUPnPNat::FirewallAction(const std::string& action, const std::string& arguments,
                              std::string* reply) {
  std::string host;
  std::string path;
  int port = 0;
  if (!Discover()) return false;
  if (m_firewall_control_url.empty()) {
    m_last_message = "The gateway has no IPv6 firewall service.\n";
    return false;
  }
  if (!tessel::ParseUrl(m_firewall_control_url, &host, &port, &path)) {
    m_last_message = "Fail to parseURl: " + m_firewall_control_url + "\n";
    return false;
  }
  const std::string gateway = m_firewall_client.empty() ? "" : tessel::DefaultV6Gateway();
  if (!gateway.empty() && m_http.Connect(gateway, port, m_firewall_client)) {
    host = "[" + gateway.substr(0, gateway.find('%')) + "]";
  } else if (!ConnectTcp(host, port)) {
    return false;
  }
  const std::string envelope = Fill(kEnvelope, {action, kFirewallType, arguments, action});
  const std::string header = Fill(kSoapHeader, {path, host, Number(port), kFirewallType, action,
                                                Number(static_cast<long>(envelope.size()))});
  std::string answer;
  const bool answered = Exchange(header + envelope, &answer);
  CloseTcp();
  if (!answered) return false;
  if (answer.find("200 OK") == std::string::npos) {
    m_last_message = Fill("Fail to %s in the IPv6 firewall\n", {action});
    return false;
  }
  m_response = std::move(answer);
  std::string message;
  const XMLNode response = SoapResponse(m_response, action + "Response", &message);
  if (response.IsNull()) {
    m_last_message = !message.empty() ? message : "No " + action + "Response in the reply.\n";
    return false;
  }
  *reply = m_response;
  return true;
}

bool CUPnPNat::GetFirewallStatus(bool* enabled, bool* inbound_allowed) {
  std::string reply;
  if (!FirewallAction("GetFirewallStatus", "", &reply)) return false;
  std::string message;
  const XMLNode response = SoapResponse(reply, "GetFirewallStatusResponse", &message);
  *enabled = FirstText(response.ChildByName("FirewallEnabled")) != "0";
  *inbound_allowed = FirstText(response.ChildByName("InboundPinholeAllowed")) == "1";
  return true;
}

bool CUPnPNat::AddPinhole(const std::string& internal_client, uint16_t port,
                          const std::string& protocol, int lease_seconds, int* id) {
  std::string reply;
  const std::string arguments = Fill(
      kPinholeArguments,
      {internal_client, Number(port), Number(ProtocolNumber(protocol)), Number(lease_seconds)});
  if (!FirewallAction("AddPinhole", arguments, &reply)) return false;
  std::string message;
  const std::string unique =
      FirstText(SoapResponse(reply, "AddPinholeResponse", &message).ChildByName("UniqueID"));
  if (unique.empty() || unique.size() > 5 ||
      unique.find_first_not_of("0123456789") != std::string::npos) {
    m_last_message = "The gateway named no pinhole.\n";
    return false;
  }
  *id = std::stoi(unique);
  return true;
}

bool CUPnPNat::UpdatePinhole(int id, int lease_seconds) {
  std::string reply;
  return FirewallAction("UpdatePinhole",
                        Fill("<UniqueID>%u</UniqueID>\r\n<NewLeaseTime>%u</NewLeaseTime>\r\n",
                             {Number(id), Number(lease_seconds)}),
                        &reply);
}

bool CUPnPNat::DeletePinhole(int id) {
  std::string reply;
  return FirewallAction("DeletePinhole", Fill("<UniqueID>%u</UniqueID>\r\n", {Number(id)}), &reply);
}

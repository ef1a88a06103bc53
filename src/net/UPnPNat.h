#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

#include "net/HttpClient.h"

// Client of a UPnP Internet gateway: finds it by SSDP (CSsdpSearch), reads its device description
// over a small HTTP client (CHttpClient), picks its WAN
// IP (or PPP) connection service, and forwards ports through SOAP. What it learns of the gateway is
// kept for the object's life. Every call blocks and reports failure by its result, with the reason
// in LastMessage(). Not thread-safe: one thread at a time (the Internet check) may use it.
class CUPnPNat {
 public:
  static constexpr const char* kSsdpGroup = "239.255.255.250";
  static constexpr uint16_t kSsdpPort = 1900;
  // Bound on each TCP exchange with the gateway (connecting, then sending and reading the reply).
  static constexpr std::chrono::milliseconds kDefaultTimeout = CHttpClient::kDefaultTimeout;

  // The search is sent to ssdp_address:ssdp_port; a non-multicast address (a test's fake gateway)
  // is searched by unicast from an ephemeral port.
  explicit CUPnPNat(std::string ssdp_address = kSsdpGroup, uint16_t ssdp_port = kSsdpPort);
  ~CUPnPNat();
  CUPnPNat(const CUPnPNat&) = delete;
  CUPnPNat& operator=(const CUPnPNat&) = delete;

  void SetTimeout(std::chrono::milliseconds timeout);
  // While cancel is given and set, every call fails at once, and a call in progress ends its
  // waits within about 50 ms and fails. The flag must outlive its use here.
  void SetCancel(const std::atomic<bool>* cancel);

  // Ensures the gateway is known: discovery, description fetch and walk run until they succeed
  // once; later calls succeed at once without sending anything.
  bool Discover();
  // Forwards external_port to internal_client:internal_port for any remote host, enabled, with a
  // lease of 730 days.
  bool AddPortMapping(const std::string& description, const std::string& internal_client,
                      uint16_t external_port, uint16_t internal_port, const std::string& protocol);
  bool DeletePortMapping(uint16_t external_port, const std::string& protocol);
  // Fills ExternalIp() from the gateway and LocalIp() with this host's address toward it.
  bool GetExternalIPAddress();
  // Refills the five mapping lists with the gateway's whole table, read entry by entry until the
  // gateway refuses an index.
  bool ListPortMappings();

  // The gateway's IPv6 firewall (WANIPv6FirewallControl, IGD version 2): its control URL, empty
  // when the gateway has none (known after Discover).
  const std::string& FirewallControlUrl() const { return m_firewall_control_url; }
  // The IPv6 address of this computer the firewall's actions are for. A gateway lets an address
  // open pinholes only for itself, so with one set the actions travel over IPv6 from it to the
  // gateway (the default route's next hop, at the control URL's port and path); without one, or
  // when that fails, to the control URL.
  void SetFirewallClient(const std::string& address) { m_firewall_client = address; }
  // Reads whether the firewall is on and whether it lets pinholes be opened.
  bool GetFirewallStatus(bool* enabled, bool* inbound_allowed);
  // Lets connections from anywhere reach internal_client (an IPv6 address) at port, for
  // lease_seconds (1 to 86400); *id receives the gateway's number for the pinhole.
  bool AddPinhole(const std::string& internal_client, uint16_t port, const std::string& protocol,
                  int lease_seconds, int* id);
  // Gives pinhole id a new lease of lease_seconds from now.
  bool UpdatePinhole(int id, int lease_seconds);
  bool DeletePinhole(int id);

  bool Found() const { return m_found; }
  const std::string& LocalIp() const { return m_local_ip; }
  const std::string& ExternalIp() const { return m_external_ip; }
  const std::string& ServiceType() const { return m_service_type; }
  const std::string& DescribeUrl() const { return m_describe_url; }
  const std::string& ControlUrl() const { return m_control_url; }
  const std::string& BaseUrl() const { return m_base_url; }
  const std::string& Description() const { return m_description; }
  const std::string& Response() const { return m_response; }
  const std::string& LastMessage() const { return m_last_message; }
  // Entry i of each list belongs to the same mapping; values are the gateway's texts.
  const std::vector<std::string>& MapDescriptions() const { return m_map_descriptions; }
  const std::vector<std::string>& MapClients() const { return m_map_clients; }
  const std::vector<std::string>& MapProtocols() const { return m_map_protocols; }
  const std::vector<std::string>& MapExternalPorts() const { return m_map_external_ports; }
  const std::vector<std::string>& MapInternalPorts() const { return m_map_internal_ports; }

 private:
  using Clock = std::chrono::steady_clock;

  bool Cancelled() const;
  bool FetchDescription();
  bool ParseDescription();
  bool ParseMappingEntry();
  // The HTTP client's calls, its failures reported in LastMessage().
  bool ConnectTcp(const std::string& host, int port);
  void CloseTcp();
  bool Exchange(const std::string& request, std::string* reply);
  // One SOAP action on an open connection to the control URL; *reply gets the gateway's answer.
  bool SendSoap(const std::string& path, const std::string& host, int port,
                const std::string& action, const std::string& arguments, std::string* reply);
  // Discovery and the control URL's parts, common to every action.
  bool PrepareAction(std::string* host, int* port, std::string* path);
  // One action of the IPv6 firewall service on a connection of its own; the response element's
  // node text is in *reply. False on any failure, a fault included.
  bool FirewallAction(const std::string& action, const std::string& arguments, std::string* reply);

  CHttpClient m_http;
  bool m_found = false;
  std::string m_local_ip;
  std::string m_external_ip;
  std::string m_service_type;
  std::string m_describe_url;
  std::string m_control_url;
  std::string m_firewall_control_url;
  std::string m_firewall_client;
  std::string m_base_url;
  std::string m_description;
  std::string m_response;
  std::string m_last_message;
  std::vector<std::string> m_map_descriptions;
  std::vector<std::string> m_map_clients;
  std::vector<std::string> m_map_protocols;
  std::vector<std::string> m_map_external_ports;
  std::vector<std::string> m_map_internal_ports;

  std::string m_ssdp_address;
  uint16_t m_ssdp_port;
  const std::atomic<bool>* m_cancel = nullptr;
};

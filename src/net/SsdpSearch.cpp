#include "net/SsdpSearch.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <vector>

#include "base/AsciiText.h"
#include "net/HttpClient.h"
#include "net/SocketWait.h"

namespace {

using tessel::EqualsNoCase;
using tessel::ForEachHeader;
using tessel::StartsWithNoCase;

constexpr int kSsdpTtl = 10;
constexpr std::size_t kReceiveBufferSize = 102400;

// Sent as written. Some gateways match the search target case-sensitively and answer only the
// standard "upnp:rootdevice", so the search is sent in both forms.
constexpr std::string_view kSearch =
    "M-SEARCH * HTTP/1.1\r\nST:UPnP:rootdevice\r\nMX: 3\r\nMan:\"ssdp:discover\"\r\n"
    "HOST: 239.255.255.250:1900\r\n\r\n";
constexpr std::string_view kStandardSearch =
    "M-SEARCH * HTTP/1.1\r\nST:upnp:rootdevice\r\nMX: 3\r\nMan:\"ssdp:discover\"\r\n"
    "HOST: 239.255.255.250:1900\r\n\r\n";

}  // namespace

namespace tessel {

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

}  // namespace tessel

bool CSsdpSearch::Open() {
  Close();
  in_addr group{};
  if (inet_pton(AF_INET, m_address.c_str(), &group) != 1) return false;
  m_socket = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (m_socket < 0) return false;
  const int on = 1;
  setsockopt(m_socket, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
  const bool multicast = IN_MULTICAST(ntohl(group.s_addr));
  if (multicast) {
    const int ttl = kSsdpTtl;
    const int loop = 0;
    setsockopt(m_socket, IPPROTO_IP, IP_MULTICAST_TTL, &ttl, sizeof ttl);
    setsockopt(m_socket, IPPROTO_IP, IP_MULTICAST_LOOP, &loop, sizeof loop);
  }
  // The SSDP port also receives the gateways' notifications; when another program holds it,
  // answers to the search still reach an ephemeral port.
  sockaddr_in local{};
  local.sin_family = AF_INET;
  local.sin_addr.s_addr = htonl(INADDR_ANY);
  local.sin_port = htons(multicast ? m_port : 0);
  if (bind(m_socket, reinterpret_cast<sockaddr*>(&local), sizeof local) != 0) {
    local.sin_port = 0;
    if (bind(m_socket, reinterpret_cast<sockaddr*>(&local), sizeof local) != 0) return false;
  }
  if (multicast) {
    ip_mreq membership{};
    membership.imr_multiaddr = group;
    membership.imr_interface.s_addr = htonl(INADDR_ANY);
    m_joined =
        setsockopt(m_socket, IPPROTO_IP, IP_ADD_MEMBERSHIP, &membership, sizeof membership) == 0;
  }
  setsockopt(m_socket, SOL_SOCKET, SO_BROADCAST, &on, sizeof on);
  return true;
}

void CSsdpSearch::Close() {
  if (m_socket < 0) return;
  if (m_joined) {
    ip_mreq membership{};
    inet_pton(AF_INET, m_address.c_str(), &membership.imr_multiaddr);
    membership.imr_interface.s_addr = htonl(INADDR_ANY);
    setsockopt(m_socket, IPPROTO_IP, IP_DROP_MEMBERSHIP, &membership, sizeof membership);
    m_joined = false;
  }
  close(m_socket);
  m_socket = -1;
}

void CSsdpSearch::SendSearches() {
  sockaddr_in target{};
  target.sin_family = AF_INET;
  target.sin_port = htons(m_port);
  inet_pton(AF_INET, m_address.c_str(), &target.sin_addr);
  for (std::string_view search : {kSearch, kStandardSearch}) {
    sendto(m_socket, search.data(), search.size(), 0, reinterpret_cast<sockaddr*>(&target),
           sizeof target);
  }
}

std::string CSsdpSearch::ReceiveLocation(std::chrono::steady_clock::time_point deadline,
                                         const std::atomic<bool>* cancel) {
  if (!tessel::WaitForSocket(m_socket, POLLIN, deadline, cancel)) return {};
  m_buffer.resize(kReceiveBufferSize);
  const ssize_t received = recv(m_socket, m_buffer.data(), m_buffer.size(), MSG_DONTWAIT);
  if (received <= 0) return {};
  return tessel::DescriptionUrl(std::string_view(m_buffer.data(), static_cast<size_t>(received)));
}

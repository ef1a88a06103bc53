#pragma once
#include <atomic>
#include <chrono>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace tessel {

// The description URL an SSDP datagram announces: the LOCATION of a search answer or of an
// "ssdp:alive" notification; empty for anything else (a gateway going down announces no location).
std::string DescriptionUrl(std::string_view datagram);

}  // namespace tessel

// The search for UPnP root devices by SSDP: the searches go to the multicast group, or by unicast
// from an ephemeral port to any other address (a test's fake gateway); answers and the devices'
// notifications come back on the socket. Closed (leaving the group) when destroyed.
class CSsdpSearch {
 public:
  CSsdpSearch(std::string address, std::uint16_t port)
      : m_address(std::move(address)), m_port(port) {}
  ~CSsdpSearch() { Close(); }
  CSsdpSearch(const CSsdpSearch&) = delete;
  CSsdpSearch& operator=(const CSsdpSearch&) = delete;

  // Opens the socket: on the SSDP port when it is free (the notifications arrive there), else on
  // an ephemeral one, joined to the group when the address is one.
  bool Open();
  void Close();
  // Sends the search in its two spellings.
  void SendSearches();
  // Waits until the deadline for one datagram: the description URL it announces, or empty when
  // none came (or cancel was set) or it announces none.
  std::string ReceiveLocation(std::chrono::steady_clock::time_point deadline,
                              const std::atomic<bool>* cancel);

 private:
  std::string m_address;
  std::uint16_t m_port;
  int m_socket = -1;
  bool m_joined = false;
  std::vector<char> m_buffer;  // one datagram
};

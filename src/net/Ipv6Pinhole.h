#pragma once

#include <chrono>
#include <string>

class CUPnPNat;

// This computer's pinhole in the gateway's IPv6 firewall, which lets friends reach the service's
// port at its global address. Each Internet check renews it; the lease outlasts the time between
// checks several times over, so a pinhole lasts as long as the program checks, and it is removed
// when Internet access is switched off or the program ends. Used by one thread at a time.
class CIpv6Pinhole {
 public:
  static constexpr int kLeaseSeconds = 3600;

  // Opens a pinhole for address:port, or renews the open one when it is for the same address and
  // port (replacing it otherwise, or when the gateway has forgotten it). True when one is open.
  bool Open(CUPnPNat& nat, const std::string& address, int port);
  // Removes the open pinhole, if any. False when the gateway could not be told.
  bool Close(CUPnPNat& nat);

  bool IsOpen() const { return m_id >= 0; }
  int Id() const { return m_id; }

 private:
  int m_id = -1;
  std::string m_address;
  int m_port = 0;
};

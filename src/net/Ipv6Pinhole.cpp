#include "net/Ipv6Pinhole.h"

#include "net/UPnPNat.h"

bool CIpv6Pinhole::Open(CUPnPNat& nat, const std::string& address, int port) {
  nat.SetFirewallClient(address);
  if (IsOpen() && address == m_address && port == m_port && nat.UpdatePinhole(m_id, kLeaseSeconds))
    return true;
  // A gateway that restarted no longer knows the pinhole; one for another address or port goes.
  if (IsOpen() && (address != m_address || port != m_port)) {
    Close(nat);
    nat.SetFirewallClient(address);
  }
  m_id = -1;
  int id = -1;
  if (!nat.AddPinhole(address, static_cast<uint16_t>(port), "TCP", kLeaseSeconds, &id))
    return false;
  m_id = id;
  m_address = address;
  m_port = port;
  return true;
}

bool CIpv6Pinhole::Close(CUPnPNat& nat) {
  if (!IsOpen()) return true;
  nat.SetFirewallClient(m_address);
  const bool deleted = nat.DeletePinhole(m_id);
  m_id = -1;
  return deleted;
}

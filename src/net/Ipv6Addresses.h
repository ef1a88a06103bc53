#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace tessel {

// The IPv6 addresses of this computer that friends can be sent to: global and unique-local ones,
// canonical text, global first, each kept in the system's order. Left out: loopback, link-local
// (valid only on one link, with a zone no URL carries), and addresses that do not last:
// temporary privacy addresses, deprecated ones, and those that failed duplicate detection.
std::vector<std::string> GetStableV6Addresses();

// The same from the text of /proc/net/if_inet6 (one address a line: 32 hexadecimal digits, then
// the interface index, prefix length, scope and flags in hexadecimal, then the interface name).
std::vector<std::string> StableV6Addresses(std::string_view if_inet6);

// The next hop of this computer's default IPv6 route (the router), as text a connection can be
// made to: a link-local one with its interface ("fe80::1%eth0"). Empty without such a route.
std::string DefaultV6Gateway();

// The same from the text of /proc/net/ipv6_route (destination, its prefix length, source, its
// prefix length, next hop, metric, reference count, use, flags, interface name).
std::string DefaultV6Gateway(std::string_view ipv6_route);

}  // namespace tessel

#pragma once
#include <sys/socket.h>

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace tessel {

// An IPv4 or IPv6 address, as peers, accounts, limits and URLs need it. An IPv4 address mapped
// into IPv6 (::ffff:a.b.c.d, as a dual-stack socket reports an IPv4 peer) is that IPv4 address,
// so everything keyed by an address sees an IPv4 visitor the same on either kind of socket.
class IpAddress {
 public:
  // The address text names: dotted IPv4, or IPv6 in any valid spelling (no brackets, zone or
  // blanks). Nullopt for anything else.
  static std::optional<IpAddress> Parse(std::string_view text);
  // The address of an AF_INET or AF_INET6 socket address; nullopt for any other family.
  static std::optional<IpAddress> FromSocket(const sockaddr* address);

  bool IsV6() const { return m_v6; }
  // Dotted IPv4, or IPv6 in its canonical form (RFC 5952: lower case, no leading zeros, the
  // longest run of two or more zero groups as "::").
  std::string Text() const;
  // The text as the host of a URL: IPv6 within brackets.
  std::string UrlHost() const;
  // What limits per visitor count under: an IPv4 address alone, an IPv6 address by its /64, the
  // block one home or phone is given, so that changing the low bits gains nothing.
  std::uint64_t LimitKey() const;
  // The same as text: the IPv4 address, or the /64 ("2001:db8:1:2::/64").
  std::string LimitText() const;

  bool IsLoopback() const;     // 127.0.0.0/8, ::1
  bool IsLinkLocal() const;    // 169.254.0.0/16, fe80::/10
  bool IsUniqueLocal() const;  // fc00::/7
  // An IPv4 address the provider shares among its customers (100.64.0.0/10).
  bool IsSharedV4() const;
  // On the local network: loopback, link-local, the private IPv4 ranges, unique-local IPv6.
  bool IsLan() const;
  // An IPv4 address that cannot be reached from the Internet as it stands: a LAN address, a
  // shared one, or 0.0.0.0.
  bool IsNonPublicV4() const;
  // A global unicast IPv6 address (2000::/3).
  bool IsGlobalV6() const;

  bool operator==(const IpAddress&) const = default;

 private:
  bool m_v6 = false;
  std::array<unsigned char, 16> m_bytes{};  // IPv4 in the first four
};

// The canonical text of an address text (see IpAddress::Text); "" when it is none.
std::string CanonicalAddress(std::string_view text);
// host as a URL writes it: an IPv6 address within brackets (not doubled), anything else as it is.
std::string UrlHost(std::string_view host);

}  // namespace tessel

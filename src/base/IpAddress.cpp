#include "base/IpAddress.h"

#include <arpa/inet.h>
#include <netinet/in.h>

#include <algorithm>
#include <cstdio>
#include <cstring>

namespace tessel {

namespace {

constexpr unsigned char kMappedPrefix[12] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xff, 0xff};

}  // namespace

std::optional<IpAddress> IpAddress::Parse(std::string_view text) {
  // inet_pton reads a C string: a text with a NUL or too long for any address is none.
  if (text.empty() || text.size() >= INET6_ADDRSTRLEN || text.find('\0') != text.npos) return {};
  const std::string copy(text);
  IpAddress address;
  if (inet_pton(AF_INET, copy.c_str(), address.m_bytes.data()) == 1) return address;
  in6_addr v6{};
  if (inet_pton(AF_INET6, copy.c_str(), &v6) != 1) return {};
  sockaddr_in6 socket_address{};
  socket_address.sin6_family = AF_INET6;
  socket_address.sin6_addr = v6;
  return FromSocket(reinterpret_cast<const sockaddr*>(&socket_address));
}

std::optional<IpAddress> IpAddress::FromSocket(const sockaddr* address) {
  IpAddress result;
  if (address->sa_family == AF_INET) {
    const auto* v4 = reinterpret_cast<const sockaddr_in*>(address);
    std::memcpy(result.m_bytes.data(), &v4->sin_addr, 4);
    return result;
  }
  if (address->sa_family != AF_INET6) return {};
  const auto* v6 = reinterpret_cast<const sockaddr_in6*>(address);
  const unsigned char* bytes = v6->sin6_addr.s6_addr;
  if (std::memcmp(bytes, kMappedPrefix, sizeof kMappedPrefix) == 0) {
    std::memcpy(result.m_bytes.data(), bytes + 12, 4);
    return result;
  }
  result.m_v6 = true;
  std::memcpy(result.m_bytes.data(), bytes, 16);
  return result;
}

std::string IpAddress::Text() const {
  char text[INET6_ADDRSTRLEN] = {};
  if (!m_v6) {
    inet_ntop(AF_INET, m_bytes.data(), text, sizeof text);
    return text;
  }
  // The C library writes RFC 5952's form, except that it writes the deprecated IPv4-compatible
  // addresses (::a.b.c.d) in dotted form: those are written here in hexadecimal groups.
  inet_ntop(AF_INET6, m_bytes.data(), text, sizeof text);
  std::string out = text;
  if (out.find('.') != std::string::npos) {
    char groups[16];
    std::snprintf(groups, sizeof groups, "%x:%x", m_bytes[12] << 8 | m_bytes[13],
                  m_bytes[14] << 8 | m_bytes[15]);
    out = std::string("::") + groups;
  }
  return out;
}

std::string IpAddress::UrlHost() const {
  return m_v6 ? "[" + Text() + "]" : Text();
}

std::uint64_t IpAddress::LimitKey() const {
  std::uint64_t key = 0;
  if (!m_v6) {
    // Above every IPv4 key lies the reserved ffff::/16, which no IPv6 peer comes from.
    for (int i = 0; i < 4; ++i) key = key << 8 | m_bytes[i];
    return 0xffffffff00000000ull | key;
  }
  for (int i = 0; i < 8; ++i) key = key << 8 | m_bytes[i];
  return key;
}

std::string IpAddress::LimitText() const {
  if (!m_v6) return Text();
  IpAddress block = *this;
  std::fill(block.m_bytes.begin() + 8, block.m_bytes.end(), 0);
  return block.Text() + "/64";
}

bool IpAddress::IsLoopback() const {
  if (!m_v6) return m_bytes[0] == 127;
  static constexpr unsigned char kLoopback[16] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1};
  return std::memcmp(m_bytes.data(), kLoopback, 16) == 0;
}

bool IpAddress::IsLinkLocal() const {
  if (!m_v6) return m_bytes[0] == 169 && m_bytes[1] == 254;
  return m_bytes[0] == 0xfe && (m_bytes[1] & 0xc0) == 0x80;
}

bool IpAddress::IsUniqueLocal() const {
  return m_v6 && (m_bytes[0] & 0xfe) == 0xfc;
}

bool IpAddress::IsSharedV4() const {
  return !m_v6 && m_bytes[0] == 100 && (m_bytes[1] & 0xc0) == 64;
}

bool IpAddress::IsLan() const {
  if (IsLoopback() || IsLinkLocal() || IsUniqueLocal()) return true;
  if (m_v6) return false;
  return m_bytes[0] == 10 || (m_bytes[0] == 172 && (m_bytes[1] & 0xf0) == 16) ||
         (m_bytes[0] == 192 && m_bytes[1] == 168);
}

bool IpAddress::IsNonPublicV4() const {
  const bool unspecified = std::all_of(m_bytes.begin(), m_bytes.begin() + 4,
                                       [](unsigned char byte) { return byte == 0; });
  return !m_v6 && (IsLan() || IsSharedV4() || unspecified);
}

bool IpAddress::IsGlobalV6() const {
  return m_v6 && (m_bytes[0] & 0xe0) == 0x20;
}

std::string CanonicalAddress(std::string_view text) {
  const std::optional<IpAddress> address = IpAddress::Parse(text);
  return address ? address->Text() : std::string();
}

std::string UrlHost(std::string_view host) {
  const std::optional<IpAddress> address = IpAddress::Parse(host);
  return address && address->IsV6() ? "[" + std::string(host) + "]" : std::string(host);
}

}  // namespace tessel

#include "net/Ipv6Addresses.h"

#include <linux/if_addr.h>

#include <algorithm>
#include <fstream>
#include <optional>
#include <sstream>

#include "base/IpAddress.h"

namespace tessel {

namespace {

// The kernel's own table of the network namespace; no IPv6 there means no file.
std::string ReadTable(const char* path) {
  std::ifstream file(path);
  std::stringstream text;
  text << file.rdbuf();
  return text.str();
}

// 32 hexadecimal digits as an address.
std::optional<IpAddress> HexAddress(const std::string& hex) {
  if (hex.size() != 32) return std::nullopt;
  std::string text;
  for (std::size_t i = 0; i < 32; i += 4) text += (i ? ":" : "") + hex.substr(i, 4);
  return IpAddress::Parse(text);
}

}  // namespace

std::vector<std::string> GetStableV6Addresses() {
  return StableV6Addresses(ReadTable("/proc/net/if_inet6"));
}

std::string DefaultV6Gateway() {
  return DefaultV6Gateway(ReadTable("/proc/net/ipv6_route"));
}

std::string DefaultV6Gateway(std::string_view ipv6_route) {
  std::istringstream lines{std::string(ipv6_route)};
  for (std::string line; std::getline(lines, line);) {
    std::istringstream fields(line);
    std::string destination, length, source, source_length, hop, metric, references, use, flags,
        device;
    if (!(fields >> destination >> length >> source >> source_length >> hop >> metric >>
          references >> use >> flags >> device))
      continue;
    if (destination != std::string(32, '0') || length != "00") continue;
    const std::optional<IpAddress> next = HexAddress(hop);
    if (!next || next->Text() == "::") continue;
    return next->IsLinkLocal() ? next->Text() + "%" + device : next->Text();
  }
  return {};
}

std::vector<std::string> StableV6Addresses(std::string_view if_inet6) {
  constexpr unsigned kFleeting = IFA_F_TEMPORARY | IFA_F_DEPRECATED | IFA_F_DADFAILED;
  std::vector<std::string> global;
  std::vector<std::string> unique_local;
  std::istringstream lines{std::string(if_inet6)};
  for (std::string line; std::getline(lines, line);) {
    std::istringstream fields(line);
    std::string hex, index, prefix, scope, flags_text;
    if (!(fields >> hex >> index >> prefix >> scope >> flags_text)) continue;
    const std::optional<IpAddress> address = HexAddress(hex);
    unsigned long flags = 0;
    try {
      flags = std::stoul(flags_text, nullptr, 16);
    } catch (...) {
      continue;
    }
    if (!address || (flags & kFleeting) != 0) continue;
    if (!address->IsGlobalV6() && !address->IsUniqueLocal()) continue;
    std::vector<std::string>& list = address->IsGlobalV6() ? global : unique_local;
    const std::string canonical = address->Text();
    if (std::find(list.begin(), list.end(), canonical) == list.end()) list.push_back(canonical);
  }
  global.insert(global.end(), unique_local.begin(), unique_local.end());
  return global;
}

}  // namespace tessel

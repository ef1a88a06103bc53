#include "service/RequestOrigin.h"

#include <arpa/inet.h>
#include <limits.h>
#include <unistd.h>

#include <algorithm>
#include <string>

#include "base/AsciiText.h"

namespace {

std::string Lower(std::string_view text) {
  std::string lower(text);
  for (char& c : lower) c = tessel::FoldCase(c);
  return lower;
}

bool AllDigits(std::string_view text) {
  for (char c : text)
    if (c < '0' || c > '9') return false;
  return true;
}

// An authority ("host", "host:port", "[v6]" or "[v6]:port") cut into its host, lower case and
// without brackets, and its port (empty when none). False when it has no such form.
bool SplitAuthority(std::string_view authority, std::string& host, std::string& port,
                    bool& bracketed) {
  std::string_view rest;
  bracketed = !authority.empty() && authority.front() == '[';
  if (bracketed) {
    const std::size_t close = authority.find(']');
    if (close == std::string_view::npos) return false;
    host = Lower(authority.substr(1, close - 1));
    rest = authority.substr(close + 1);
  } else {
    const std::size_t colon = authority.find(':');
    host = Lower(authority.substr(0, colon));
    rest = colon == std::string_view::npos ? std::string_view() : authority.substr(colon);
  }
  if (!rest.empty() && (rest.front() != ':' || !AllDigits(rest.substr(1)))) return false;
  port = rest.empty() ? "" : std::string(rest.substr(1));
  // Leading zeros name the same port.
  while (port.size() > 1 && port.front() == '0') port.erase(0, 1);
  return !host.empty();
}

std::string MachineName() {
  char name[HOST_NAME_MAX + 1] = {};
  if (gethostname(name, sizeof name - 1) != 0) return {};
  return Lower(name);
}

// The authority of an absolute URL ("http://host:port/path"), with the port its scheme implies
// when it names none; false when the text is no such URL.
bool UrlAuthority(std::string_view url, std::string& host, std::string& port) {
  const std::size_t scheme_end = url.find("://");
  if (scheme_end == std::string_view::npos) return false;
  const std::string scheme = Lower(url.substr(0, scheme_end));
  std::string_view authority = url.substr(scheme_end + 3);
  authority = authority.substr(0, authority.find_first_of("/?#"));
  if (const std::size_t at = authority.rfind('@'); at != std::string_view::npos)
    authority.remove_prefix(at + 1);
  bool bracketed = false;
  if (!SplitAuthority(authority, host, port, bracketed)) return false;
  if (port.empty()) port = scheme == "https" ? "443" : scheme == "http" ? "80" : "";
  return true;
}

}  // namespace

bool tessel::IsLocalHostName(std::string_view value) {
  std::string host, port;
  bool bracketed = false;
  if (!SplitAuthority(value, host, port, bracketed)) return false;
  unsigned char address[16];
  if (bracketed) return inet_pton(AF_INET6, host.c_str(), address) == 1;
  if (inet_pton(AF_INET, host.c_str(), address) == 1) return true;
  if (host.back() == '.') host.pop_back();
  if (host == "localhost") return true;
  const std::string machine = MachineName();
  return !host.empty() && host == machine;
}

bool tessel::IsCrossSite(const HttpRequest& request) {
  if (tessel::EqualsNoCase(request.fetch_site, "cross-site")) return true;
  const std::string& source = request.origin.empty() ? request.referer : request.origin;
  if (source.empty()) return false;
  // "Origin: null" comes from pages without an origin of their own (sandboxed, local files).
  std::string source_host, source_port;
  if (!UrlAuthority(source, source_host, source_port)) return true;
  std::string host, port;
  bool bracketed = false;
  if (!SplitAuthority(request.host, host, port, bracketed)) return true;
  if (port.empty()) port = request.secure ? "443" : "80";
  return source_host != host || source_port != port;
}

bool tessel::IsLanAddress(std::string_view address) {
  const std::string text(address);
  unsigned char bytes[16] = {};
  if (inet_pton(AF_INET, text.c_str(), bytes) == 1) {
    const unsigned a = bytes[0], b = bytes[1];
    return a == 127 || a == 10 || (a == 172 && (b & 0xf0) == 16) || (a == 192 && b == 168) ||
           (a == 169 && b == 254) || (a == 100 && (b & 0xc0) == 64);
  }
  if (inet_pton(AF_INET6, text.c_str(), bytes) != 1) return false;
  static const unsigned char kLoopback[16] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1};
  return std::equal(bytes, bytes + 16, kLoopback) || (bytes[0] & 0xfe) == 0xfc ||
         (bytes[0] == 0xfe && (bytes[1] & 0xc0) == 0x80);
}

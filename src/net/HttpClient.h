#pragma once
#include <atomic>
#include <chrono>
#include <cstddef>
#include <string>
#include <string_view>

#include "base/AsciiText.h"

namespace tessel {

// Splits an "http://host[:port]/path" URL. Without a port 80; a port that does not start with a
// digit reads as 0. Fails without "://", without a "/" after the host, or with a blank or control
// character anywhere.
bool ParseUrl(const std::string& url, std::string* host, int* port, std::string* path);

// Calls f(name, value), both trimmed of blanks, for each header line of an HTTP-style head (the
// first line excluded) up to the empty line that ends it.
template <typename F>
void ForEachHeader(std::string_view head, F f) {
  size_t pos = head.find('\n');
  while (pos != std::string_view::npos && pos + 1 < head.size()) {
    const size_t start = pos + 1;
    pos = head.find('\n', start);
    std::string_view line = head.substr(start, pos == std::string_view::npos ? pos : pos - start);
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    if (line.empty()) return;  // end of the head
    const size_t colon = line.find(':');
    if (colon != std::string_view::npos)
      f(tessel::Trim(line.substr(0, colon)), tessel::Trim(line.substr(colon + 1)));
  }
}

}  // namespace tessel

// The small HTTP/1.1 client a gateway is spoken to with: one connection at a time to an IPv4 or
// IPv6 address, a request sent whole, and its reply read until the gateway closes the connection or
// the reply is complete by its own framing (Content-Length, or a chunked body, which is then
// decoded in place). Each connect and each exchange is bounded by the time-out; every wait ends
// within about 50 ms once the cancel flag is set. Failures are false, with the reason in
// LastMessage().
class CHttpClient {
 public:
  // A description or SOAP reply is a few kilobytes; a gateway streaming more must not exhaust
  // memory.
  static constexpr std::size_t kMaxReplySize = 1 << 20;
  static constexpr std::chrono::milliseconds kDefaultTimeout{10000};

  CHttpClient() = default;
  ~CHttpClient();
  CHttpClient(const CHttpClient&) = delete;
  CHttpClient& operator=(const CHttpClient&) = delete;

  void SetTimeout(std::chrono::milliseconds timeout) { m_timeout = timeout; }
  // The flag must outlive its use here.
  void SetCancel(const std::atomic<bool>* cancel) { m_cancel = cancel; }

  // Connects to a dotted IPv4 host or an IPv6 one (a link-local one with its interface,
  // "fe80::1%eth0"), closing an open connection first. With source, an address of this computer
  // of the host's family, the connection comes from there.
  bool Connect(const std::string& host, int port, const std::string& source = "");
  void Close();
  // Sends request on the open connection and reads the whole reply into *reply.
  bool Exchange(const std::string& request, std::string* reply);
  // The open connection's socket; -1 when there is none.
  int Socket() const { return m_socket; }
  const std::string& LastMessage() const { return m_last_message; }

 private:
  bool Cancelled() const;

  int m_socket = -1;
  std::chrono::milliseconds m_timeout = kDefaultTimeout;
  const std::atomic<bool>* m_cancel = nullptr;
  std::string m_last_message;
};

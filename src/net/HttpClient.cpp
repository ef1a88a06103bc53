#include "net/HttpClient.h"

#include <arpa/inet.h>
#include <net/if.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <optional>
#include <vector>

#include "net/SocketWait.h"

namespace {

using Clock = std::chrono::steady_clock;
using tessel::EqualsNoCase;

constexpr std::size_t kReceiveBufferSize = 102400;
constexpr int kConnectAttempts = 11;
constexpr std::size_t kMaxReplySize = CHttpClient::kMaxReplySize;

constexpr const char* kTimedOut = "No complete reply from the gateway in time.\n";
constexpr const char* kTooLarge = "The gateway's reply is too large.\n";

// The body of a chunked reply once its last chunk has arrived.
std::optional<std::string> Dechunk(std::string_view body) {
  std::string out;
  size_t pos = 0;
  for (;;) {
    const size_t eol = body.find("\r\n", pos);
    if (eol == std::string_view::npos) return std::nullopt;
    size_t size = 0;
    size_t digits = 0;
    for (size_t i = pos; i < eol && digits < 8; ++i, ++digits) {
      const char c = tessel::FoldCase(body[i]);
      if (c >= '0' && c <= '9') {
        size = size * 16 + static_cast<size_t>(c - '0');
      } else if (c >= 'a' && c <= 'f') {
        size = size * 16 + static_cast<size_t>(c - 'a' + 10);
      } else {
        break;
      }
    }
    if (digits == 0) return std::nullopt;
    pos = eol + 2;
    if (size == 0) {
      // Optional trailer lines, then an empty line.
      if (body.substr(pos, 2) == "\r\n" || body.find("\r\n\r\n", pos) != std::string_view::npos) {
        return out;
      }
      return std::nullopt;
    }
    if (body.size() - pos < size + 2) return std::nullopt;
    out.append(body.substr(pos, size));
    pos += size + 2;
  }
}

// Whether reply holds a whole HTTP reply before the gateway closes the connection: the head and
// as many body bytes as Content-Length says, or a chunked body through its last chunk. A chunked
// body is then replaced by its content, so the reply reads as if sent in one piece.
bool CompleteReply(std::string* reply) {
  const size_t head_end = reply->find("\r\n\r\n");
  if (head_end == std::string::npos) return false;
  const std::string_view head(reply->data(), head_end + 2);
  std::optional<size_t> length;
  bool chunked = false;
  tessel::ForEachHeader(head, [&](std::string_view name, std::string_view value) {
    if (EqualsNoCase(name, "Content-Length")) {
      size_t n = 0;
      for (char c : value) {
        if (c < '0' || c > '9' || n > kMaxReplySize) break;
        n = n * 10 + static_cast<size_t>(c - '0');
      }
      length = n;
    }
    if (EqualsNoCase(name, "Transfer-Encoding")) {
      chunked = value.size() >= 7 && EqualsNoCase(value.substr(value.size() - 7), "chunked");
    }
  });
  const size_t body_start = head_end + 4;
  if (chunked) {
    std::optional<std::string> body = Dechunk(std::string_view(*reply).substr(body_start));
    if (!body) return false;
    reply->replace(body_start, std::string::npos, *body);
    return true;
  }
  return length && reply->size() - body_start >= *length;
}

// A dotted IPv4 or an IPv6 address (with "%interface" for a link-local one) and port as a socket
// address.
bool SocketAddress(const std::string& host, int port, sockaddr_storage* address, socklen_t* size) {
  auto* v4 = reinterpret_cast<sockaddr_in*>(address);
  if (inet_pton(AF_INET, host.c_str(), &v4->sin_addr) == 1) {
    v4->sin_family = AF_INET;
    v4->sin_port = htons(static_cast<uint16_t>(port));
    *size = sizeof *v4;
    return true;
  }
  auto* v6 = reinterpret_cast<sockaddr_in6*>(address);
  const std::size_t percent = host.find('%');
  if (inet_pton(AF_INET6, host.substr(0, percent).c_str(), &v6->sin6_addr) != 1) return false;
  if (percent != std::string::npos) {
    v6->sin6_scope_id = if_nametoindex(host.substr(percent + 1).c_str());
    if (v6->sin6_scope_id == 0) return false;
  }
  v6->sin6_family = AF_INET6;
  v6->sin6_port = htons(static_cast<uint16_t>(port));
  *size = sizeof *v6;
  return true;
}

}  // namespace

namespace tessel {

bool ParseUrl(const std::string& url, std::string* host, int* port, std::string* path) {
  // The path goes into a request line as it is: a blank or control character from a description
  // or an SSDP answer would add lines of the sender's own to a request to any host.
  if (std::any_of(url.begin(), url.end(),
                  [](char c) { return static_cast<unsigned char>(c) <= ' ' || c == '\x7f'; }))
    return false;
  const size_t scheme = url.find("://");
  if (scheme == std::string::npos) return false;
  const size_t start = scheme + 3;
  const size_t slash = url.find('/', start);
  if (slash == std::string::npos) return false;
  // Only a ":" before the path separates a port.
  const size_t colon = url.find(':', start);
  if (colon == std::string::npos || colon > slash) {
    *host = url.substr(start, slash - start);
    *port = 80;
  } else {
    *host = url.substr(start, colon - start);
    int value = 0;
    for (size_t i = colon + 1; i < slash && url[i] >= '0' && url[i] <= '9'; ++i) {
      value = std::min(value * 10 + (url[i] - '0'), 100000);  // past any port; stays invalid
    }
    *port = value;
  }
  *path = url.substr(slash);
  return true;
}

}  // namespace tessel

CHttpClient::~CHttpClient() {
  Close();
}

bool CHttpClient::Cancelled() const {
  return m_cancel && m_cancel->load();
}

bool CHttpClient::Connect(const std::string& host, int port, const std::string& source) {
  Close();
  sockaddr_storage peer{};
  socklen_t peer_size = 0;
  sockaddr_storage local{};
  socklen_t local_size = 0;
  const bool ok = port > 0 && port <= 65535 && SocketAddress(host, port, &peer, &peer_size) &&
                  (source.empty() || SocketAddress(source, 0, &local, &local_size));
  if (ok) {
    const auto deadline = Clock::now() + m_timeout;
    for (int attempt = 0; attempt < kConnectAttempts && Clock::now() < deadline && !Cancelled();
         ++attempt) {
      const int fd = socket(peer.ss_family, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
      if (fd < 0) break;
      int error = 0;
      if (local_size != 0 && bind(fd, reinterpret_cast<sockaddr*>(&local), local_size) != 0) {
        error = errno;
      } else if (connect(fd, reinterpret_cast<sockaddr*>(&peer), peer_size) != 0) {
        error = errno;
        if (error == EINPROGRESS && tessel::WaitForSocket(fd, POLLOUT, deadline, m_cancel)) {
          socklen_t size = sizeof error;
          getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &size);
        }
      }
      if (error == 0) {
        m_socket = fd;
        return true;
      }
      close(fd);
    }
  }
  m_last_message = "Fail to connect to " + host + ":" + std::to_string(port) + " (using TCP)\n";
  return false;
}

void CHttpClient::Close() {
  if (m_socket < 0) return;
  close(m_socket);
  m_socket = -1;
}

bool CHttpClient::Exchange(const std::string& request, std::string* reply) {
  const auto deadline = Clock::now() + m_timeout;
  for (size_t sent = 0; sent < request.size();) {
    const ssize_t n = send(m_socket, request.data() + sent, request.size() - sent, MSG_NOSIGNAL);
    if (n > 0) {
      sent += static_cast<size_t>(n);
    } else if (n < 0 && (errno == EAGAIN || errno == EINTR)) {
      if (!tessel::WaitForSocket(m_socket, POLLOUT, deadline, m_cancel)) {
        m_last_message = kTimedOut;
        return false;
      }
    } else {
      break;  // the gateway's answer, if any, tells the rest
    }
  }

  // The reply ends when the gateway closes the connection or a read fails, or earlier once it is
  // complete by its own length; a gateway that keeps it open without finishing runs into the
  // deadline.
  reply->clear();
  std::vector<char> chunk(kReceiveBufferSize);
  while (!CompleteReply(reply)) {
    if (!tessel::WaitForSocket(m_socket, POLLIN, deadline, m_cancel)) {
      m_last_message = kTimedOut;
      return false;
    }
    const ssize_t n = recv(m_socket, chunk.data(), chunk.size(), 0);
    if (n < 0 && (errno == EAGAIN || errno == EINTR)) continue;
    if (n <= 0) break;
    reply->append(chunk.data(), static_cast<size_t>(n));
    if (reply->size() > kMaxReplySize) {
      m_last_message = kTooLarge;
      return false;
    }
  }
  return true;
}

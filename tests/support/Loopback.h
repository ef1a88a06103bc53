#pragma once
// Loopback TCP helpers for the tests that talk to real sockets.
#include <arpa/inet.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdlib>
#include <string>
#include <string_view>

namespace loopback {

inline sockaddr_in Address(int port) {
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<uint16_t>(port));
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  return address;
}

// A socket listening on 127.0.0.1 at a free port, which is written to *port.
inline int Listen(int* port) {
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in address = Address(0);
  socklen_t length = sizeof address;
  bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
  listen(fd, 16);
  getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
  *port = ntohs(address.sin_port);
  return fd;
}

// A port that was free a moment ago (the service binds with address reuse).
inline int FreePort() {
  int port = 0;
  close(Listen(&port));
  return port;
}

// Binds fd to *local (none when null), connects it to remote and lets its reads give up after
// seconds: fd, or -1 (fd closed) when binding or connecting fails.
template <typename Local, typename Remote>
inline int BindAndConnect(int fd, const Local* local, const Remote& remote, int seconds) {
  if ((local && bind(fd, reinterpret_cast<const sockaddr*>(local), sizeof *local) != 0) ||
      connect(fd, reinterpret_cast<const sockaddr*>(&remote), sizeof remote) != 0) {
    close(fd);
    return -1;
  }
  timeval limit{seconds, 0};
  setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
  return fd;
}

// A client connected to 127.0.0.1:port whose reads give up after 5 seconds; -1 when refused.
inline int Connect(int port) {
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in address = Address(port);
  return BindAndConnect(fd, static_cast<sockaddr_in*>(nullptr), address, 5);
}

// A client socket bound to `from`, an IPv6 address of this host (see AdoptV6Block) or any
// address when it may be any, and connected to [::1]:port.
inline int ConnectFromV6(const char* from, int port) {
  int fd = socket(AF_INET6, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in6 local{};
  local.sin6_family = AF_INET6;
  inet_pton(AF_INET6, from, &local.sin6_addr);
  int on = 1;
  setsockopt(fd, IPPROTO_IPV6, IPV6_FREEBIND, &on, sizeof on);
  sockaddr_in6 address{};
  address.sin6_family = AF_INET6;
  address.sin6_port = htons(static_cast<uint16_t>(port));
  address.sin6_addr = in6addr_loopback;
  return BindAndConnect(fd, &local, address, 10);
}

// Makes every address of an IPv6 block ("2001:db8::/32") this host's own on loopback, as
// 127.0.0.0/8 is, for ConnectFromV6. Only in the test's private network namespace, as root.
inline bool AdoptV6Block(const std::string& block) {
  const std::string command = "ip -6 route replace local " + block + " dev lo 2>/dev/null";
  return std::system(command.c_str()) == 0;
}

// A client socket bound to `from` (a loopback address) and connected to 127.0.0.1:port; an
// IPv6 `from` connects to [::1]:port instead (ConnectFromV6).
inline int ConnectFrom(const char* from, int port) {
  if (std::string_view(from).find(':') != std::string_view::npos) return ConnectFromV6(from, port);
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in local{};
  local.sin_family = AF_INET;
  inet_pton(AF_INET, from, &local.sin_addr);
  sockaddr_in address = Address(port);
  return BindAndConnect(fd, &local, address, 10);
}

inline void Send(int fd, std::string_view text) {
  send(fd, text.data(), text.size(), MSG_NOSIGNAL);
}

// Every byte received until the peer closes.
inline std::string ReadAll(int fd) {
  std::string out;
  char buffer[65536];
  for (ssize_t got; (got = recv(fd, buffer, sizeof buffer, 0)) > 0;) out.append(buffer, got);
  return out;
}

// Sends request on a new connection and returns the whole reply, or "refused".
inline std::string Exchange(int port, std::string_view request) {
  int fd = Connect(port);
  if (fd < 0) return "refused";
  Send(fd, request);
  std::string reply = ReadAll(fd);
  close(fd);
  return reply;
}

}  // namespace loopback

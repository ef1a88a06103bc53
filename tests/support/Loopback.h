#pragma once
// Loopback TCP helpers for the tests that talk to real sockets.
#include <arpa/inet.h>
#include <sys/socket.h>
#include <unistd.h>

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

// A client connected to 127.0.0.1:port whose reads give up after 5 seconds; -1 when refused.
inline int Connect(int port) {
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in address = Address(port);
  if (connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
    close(fd);
    return -1;
  }
  timeval limit{5, 0};
  setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
  return fd;
}

// A client socket bound to `from` (a loopback address) and connected to 127.0.0.1:port.
inline int ConnectFrom(const char* from, int port) {
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in local{};
  local.sin_family = AF_INET;
  inet_pton(AF_INET, from, &local.sin_addr);
  sockaddr_in address = Address(port);
  if (bind(fd, reinterpret_cast<sockaddr*>(&local), sizeof local) != 0 ||
      connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
    close(fd);
    return -1;
  }
  timeval limit{10, 0};
  setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
  return fd;
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

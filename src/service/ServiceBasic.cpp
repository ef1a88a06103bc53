#include "service/ServiceBasic.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>

#include "service/ThreadPool.h"

CServiceBasic::CServiceBasic(CThreadPool& pool, std::chrono::milliseconds io_timeout,
                             std::chrono::milliseconds head_timeout)
    : m_pool(pool) {
  m_rules.io_timeout = io_timeout;
  m_rules.head_timeout = head_timeout;
}

CServiceBasic::~CServiceBasic() {
  Stop();
}

int CServiceBasic::OpenListener(int port) {
  if (port < 1 || port > 65535) return -1;
  // Blocking: idle workers wait inside accept, and the kernel wakes one per connection. One
  // IPv6 socket takes IPv4 connections too (their peers mapped); without IPv6, IPv4 alone.
  bool v6 = true;
  int fd = socket(AF_INET6, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0 && errno == EAFNOSUPPORT) {
    v6 = false;
    fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  }
  if (fd < 0) return -1;
  int off = 0;
  if (v6 && setsockopt(fd, IPPROTO_IPV6, IPV6_V6ONLY, &off, sizeof off) != 0) {
    close(fd);
    return -1;
  }
  // Lets a restarted server bind again while old connections linger in TIME_WAIT.
  int on = 1;
  setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
  // A connection is handed to accept once its first bytes have come: the worker then finds the
  // request waiting instead of sleeping again until it comes, and a client that connects and
  // says nothing holds no worker. One that stays silent is accepted after this many seconds.
  int defer =
      static_cast<int>(std::chrono::duration_cast<std::chrono::seconds>(kHeadTimeout).count());
  setsockopt(fd, IPPROTO_TCP, TCP_DEFER_ACCEPT, &defer, sizeof defer);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_ANY);
  address.sin_port = htons(static_cast<uint16_t>(port));
  sockaddr_in6 address6{};
  address6.sin6_family = AF_INET6;
  address6.sin6_addr = in6addr_any;
  address6.sin6_port = address.sin_port;
  const int bound = v6 ? bind(fd, reinterpret_cast<sockaddr*>(&address6), sizeof address6)
                       : bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
  if (bound != 0 || listen(fd, SOMAXCONN) != 0) {
    const int error = errno;
    close(fd);
    errno = error;  // start-up names the reason
    return -1;
  }
  return fd;
}

bool CServiceBasic::Start(int port) {
  std::lock_guard lock(m_control_mutex);
  if (m_rules.running) return true;
  int fd = OpenListener(port);
  if (fd < 0) return false;
  return StartAccepting(fd, port);
}

bool CServiceBasic::Restart(int port) {
  std::lock_guard lock(m_control_mutex);
  // Only a listener that is really up makes the same port a no-op: after a failed Restart the
  // recorded port is the old one, and nothing listens on it any more.
  if (port == m_port && m_listen_socket >= 0) return true;
  StopAccepting();
  int fd = OpenListener(port);
  if (fd < 0) return false;
  return StartAccepting(fd, port);
}

bool CServiceBasic::StartAccepting(int listen_socket, int port) {
  const bool was_running = m_rules.running.exchange(true);
  if (!m_pool.AddListener(this, &m_rules, listen_socket)) {
    m_rules.running = was_running;
    close(listen_socket);
    return false;
  }
  m_listen_socket = listen_socket;
  m_port = port;
  return true;
}

void CServiceBasic::Stop() {
  {
    std::lock_guard lock(m_control_mutex);
    if (!m_rules.running) return;
    m_rules.running = false;
    StopAccepting();
  }
  m_pool.WaitIdle(this);
}

void CServiceBasic::StopAccepting() {
  if (m_listen_socket < 0) return;
  m_pool.RemoveListener(this);
  close(m_listen_socket);
  m_listen_socket = -1;
}

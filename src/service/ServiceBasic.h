#pragma once
#include <atomic>
#include <chrono>
#include <cstddef>
#include <mutex>

#include "service/Connection.h"
#include "service/ConnectionHandler.h"

class CThreadPool;

// A listening TCP service: the pool's workers accept its connections and call Handle with them.
class CServiceBasic : public CConnectionHandler {
 public:
  using Clock = std::chrono::steady_clock;

  static constexpr std::chrono::milliseconds kIoTimeout = ConnectionRules::kIoTimeout;
  static constexpr std::chrono::milliseconds kHeadTimeout = ConnectionRules::kHeadTimeout;
  static constexpr std::size_t kLineCapacity = CConnection::kLineCapacity;

  // The pool must outlive the service. The timeouts are kIoTimeout and kHeadTimeout except in
  // tests.
  explicit CServiceBasic(CThreadPool& pool, std::chrono::milliseconds io_timeout = kIoTimeout,
                         std::chrono::milliseconds head_timeout = kHeadTimeout);
  // Stops the service. A derived class must call Stop() in its own destructor, so that no worker
  // calls Handle on a half-destroyed object.
  virtual ~CServiceBasic();
  CServiceBasic(const CServiceBasic&) = delete;
  CServiceBasic& operator=(const CServiceBasic&) = delete;

  // Listens on all local IPv4 and IPv6 addresses at port (1 to 65535) with one socket (IPv4
  // alone where the system has no IPv6) and has the pool's workers accept there (once the pool
  // runs). True when listening; true at once if already running. False
  // leaves the service as it was.
  bool Start(int port);
  // Moves a running service to another port; true at once if it already listens on that port.
  // On failure nothing listens until the next successful Restart, and false is returned.
  bool Restart(int port);
  // Stops listening and waits until the handlers of this service, which give up within about a
  // second, have returned. Does nothing when not running.
  void Stop();

  bool IsRunning() const { return m_rules.running.load(); }
  // How long reads and sends wait for the client before giving up.
  std::chrono::milliseconds IoTimeout() const { return m_rules.io_timeout; }
  // How long a kept connection may wait idle (ConnectionRules::kIdleTimeout but in tests); set
  // before Start.
  void SetIdleTimeout(std::chrono::milliseconds timeout) { m_rules.idle_timeout = timeout; }
  // What the service's connections keep to.
  const ConnectionRules& Rules() const { return m_rules; }
  // The port recorded by the last successful Start or Restart (0 before).
  int Port() const { return m_port.load(); }

 private:
  // Opens, binds and listens; the socket or -1.
  static int OpenListener(int port);
  // Hands listen_socket to the pool's workers; false (and the socket closed) when the pool
  // takes no more services.
  bool StartAccepting(int listen_socket, int port);
  // Takes the listener from the workers and closes it.
  void StopAccepting();

  CThreadPool& m_pool;
  ConnectionRules m_rules;
  std::mutex m_control_mutex;  // serialises Start, Restart and Stop
  int m_listen_socket = -1;
  std::atomic<int> m_port{0};
};

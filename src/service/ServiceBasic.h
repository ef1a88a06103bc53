#pragma once
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/types.h>

#include <atomic>
#include <chrono>
#include <cstddef>
#include <functional>
#include <mutex>
#include <string>
#include <string_view>

class CServiceBasic;
class CThreadPool;

// One accepted connection, as the worker that accepted it serves it.
struct ClientTask {
  static constexpr int kFree = 0;
  static constexpr int kAssigned = 2;  // being served by the worker

  int state = kFree;
  int socket = -1;          // non-blocking: the socket operations below wait with poll
  sockaddr_storage peer{};  // IPv4, or IPv6 (an IPv4 peer of the dual-stack socket mapped)
  CServiceBasic* service = nullptr;
  std::chrono::steady_clock::time_point accepted{};  // the epoch when not known

  // The peer's address as canonical text: dotted IPv4 (also when it came mapped into IPv6), or
  // IPv6 as RFC 5952 writes it, without brackets. Empty when the peer is not known.
  std::string PeerIp() const;
};

// A listening TCP service: the pool's workers accept its connections and call Handle. Also the
// socket operations handlers talk to their client with; each of them gives up once the service
// stops, checking at least once a second, and none raises SIGPIPE.
class CServiceBasic {
 public:
  using Clock = std::chrono::steady_clock;

  // How long a read waits for the next data, and a send for the client to take more.
  static constexpr std::chrono::milliseconds kIoTimeout = std::chrono::seconds(60);
  // How long after the connection is accepted its whole request head must have arrived, however
  // busily a client trickles it in.
  static constexpr std::chrono::milliseconds kHeadTimeout = std::chrono::seconds(30);
  // The line buffer of request heads: lines of more than kLineCapacity - 3 bytes are split.
  static constexpr std::size_t kLineCapacity = 4096;

  // The pool must outlive the service. The timeouts are kIoTimeout and kHeadTimeout except in
  // tests.
  explicit CServiceBasic(CThreadPool& pool, std::chrono::milliseconds io_timeout = kIoTimeout,
                         std::chrono::milliseconds head_timeout = kHeadTimeout);
  // Stops the service. A derived class must call Stop() in its own destructor, so that no worker
  // calls Handle on a half-destroyed object.
  virtual ~CServiceBasic();
  CServiceBasic(const CServiceBasic&) = delete;
  CServiceBasic& operator=(const CServiceBasic&) = delete;

  // Listens on all local IPv4 and IPv6 addresses at port (1 to 65535) with one socket (on IPv4
  // alone where the system has no IPv6) and has the pool's workers accept
  // there (once the pool runs). True when listening; true at once if already running. False
  // leaves the service as it was.
  bool Start(int port);
  // Moves a running service to another port; true at once if it already listens on that port.
  // On failure nothing listens until the next successful Restart, and false is returned.
  bool Restart(int port);
  // Stops listening and waits until the handlers of this service, which give up within about a
  // second, have returned. Does nothing when not running.
  void Stop();

  // Serves one connection on a pool worker. Never closes task.socket: the pool does.
  virtual bool Handle(ClientTask& task) = 0;

  bool IsRunning() const { return m_running.load(); }
  // How long reads and sends wait for the client before giving up.
  std::chrono::milliseconds IoTimeout() const { return m_io_timeout; }
  // When the request head of task's connection must have arrived.
  Clock::time_point HeadDeadline(const ClientTask& task) const;
  // The port recorded by the last successful Start or Restart (0 before).
  int Port() const { return m_port.load(); }

  // A connection's bytes are read through the operations below only, and on the thread that
  // serves it: ReadLines takes what has arrived in one receive and keeps the bytes past the
  // lines it took (an upload's body) on that thread for the connection's later reads.

  // Waits up to timeout for the socket to become readable or report an error or hang-up (TCP
  // urgent data does not count): 1 then (at once while bytes are kept for it), 0 on a timeout
  // (or an interrupted wait), -1 when the wait fails.
  int WaitReadable(int socket, std::chrono::milliseconds timeout) const;
  // Reads up to length bytes that have arrived, without waiting: the kept ones first. As recv
  // with MSG_DONTWAIT: the count, 0 at the end of the stream, -1 with errno set.
  ssize_t Receive(int socket, void* data, std::size_t length) const;
  // Drops the bytes this thread keeps for socket. Whoever closes a connection calls it first (the
  // pool does), so a later connection given the same number never reads them.
  static void ForgetInput(int socket);
  // Sends all length bytes. False on a socket error, a stopped service, or when the client takes
  // nothing for the I/O timeout.
  bool SendChunk(int socket, const void* data, std::size_t length) const;
  // Same contract as SendChunk; the name callers use for whole buffers.
  bool SendAll(int socket, const void* data, std::size_t length) const;
  bool SendString(int socket, std::string_view text) const {
    return SendAll(socket, text.data(), text.size());
  }
  // Reads one line into line, without its end (LF, CR LF or a lone CR), never consuming a byte
  // past that end. At most capacity - 3 bytes are taken; a longer line comes back in pieces.
  // False when the connection ends or fails before a line end, or at the deadline; on a stop or
  // after the I/O timeout without data, true only if part of a line had arrived.
  bool ReadLine(int socket, std::string& line, std::size_t capacity = kLineCapacity,
                Clock::time_point deadline = Clock::time_point::max()) const;
  // Reads lines as ReadLine does, one after the other, and hands each to take, until take
  // returns false (then true is returned) or a ReadLine would return false (then false). Lines
  // that have already arrived are taken together, with one receive for all of them; the bytes
  // received past the last line taken are kept for the next reads.
  bool ReadLines(int socket, const std::function<bool(std::string& line)>& take,
                 std::size_t capacity = kLineCapacity,
                 Clock::time_point deadline = Clock::time_point::max()) const;

 private:
  // Opens, binds and listens; the socket or -1.
  static int OpenListener(int port);
  // Hands listen_socket to the pool's workers; false (and the socket closed) when the pool
  // takes no more services.
  bool StartAccepting(int listen_socket, int port);
  // Takes the listener from the workers and closes it.
  void StopAccepting();
  // How long to wait for a client now: a slice (so that a stop is noticed), cut short by the
  // idle limit counted from last_activity and by the deadline; zero or less when one has passed.
  std::chrono::milliseconds WaitSlice(Clock::time_point last_activity,
                                      Clock::time_point deadline) const;

  CThreadPool& m_pool;
  const std::chrono::milliseconds m_io_timeout;
  const std::chrono::milliseconds m_head_timeout;
  std::mutex m_control_mutex;  // serialises Start, Restart and Stop
  int m_listen_socket = -1;
  std::atomic<int> m_port{0};
  std::atomic<bool> m_running{false};
};

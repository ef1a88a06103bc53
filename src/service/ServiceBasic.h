#pragma once
#include <netinet/in.h>

#include <atomic>
#include <chrono>
#include <cstddef>
#include <functional>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>

class CServiceBasic;
class CThreadPool;

// What a pool slot holds for one accepted connection.
struct ClientTask {
  static constexpr int kFree = 0;
  static constexpr int kAssigned = 2;  // waiting for, or being served by, the slot's worker

  int state = kFree;
  int socket = -1;
  sockaddr_in peer{};
  CServiceBasic* service = nullptr;

  // The peer's IPv4 address in dotted-decimal form.
  std::string PeerIp() const;
};

// A listening TCP service: an accept thread hands each connection to the pool, whose worker calls
// Handle. Also the socket operations handlers talk to their client with; each of them gives up
// once the service stops, checking at least once a second, and none raises SIGPIPE.
class CServiceBasic {
 public:
  // How long a read waits for the next data, and a send for the client to take more.
  static constexpr std::chrono::milliseconds kIoTimeout = std::chrono::seconds(60);
  // The line buffer of request heads: lines of more than kLineCapacity - 3 bytes are split.
  static constexpr std::size_t kLineCapacity = 4096;

  // The pool must outlive the service. io_timeout is kIoTimeout except in tests.
  explicit CServiceBasic(CThreadPool& pool, std::chrono::milliseconds io_timeout = kIoTimeout);
  // Stops the service. A derived class must call Stop() in its own destructor, so that no worker
  // calls Handle on a half-destroyed object.
  virtual ~CServiceBasic();
  CServiceBasic(const CServiceBasic&) = delete;
  CServiceBasic& operator=(const CServiceBasic&) = delete;

  // Listens on all local IPv4 addresses at port (1 to 65535) and starts the accept thread.
  // True when listening; true at once if already running. False leaves the service as it was.
  bool Start(int port);
  // Moves a running service to another port; true at once if it already listens on that port.
  // On failure nothing listens until the next successful Restart, and false is returned.
  bool Restart(int port);
  // Stops listening, ends the accept thread and waits until the handlers of this service, which
  // give up within about a second, have returned. Does nothing when not running.
  void Stop();

  // Serves one connection on a pool worker. Never closes task.socket: the pool does.
  virtual bool Handle(ClientTask& task) = 0;

  bool IsRunning() const { return m_running.load(); }
  // How long reads and sends wait for the client before giving up.
  std::chrono::milliseconds IoTimeout() const { return m_io_timeout; }
  // The port recorded by the last successful Start or Restart (0 before).
  int Port() const { return m_port.load(); }

  // Waits up to timeout for the socket to become readable or report an error or hang-up (TCP
  // urgent data does not count): 1 then, 0 on a timeout (or an interrupted wait), -1 when the
  // wait fails.
  int WaitReadable(int socket, std::chrono::milliseconds timeout) const;
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
  // False when the connection ends or fails before a line end; on a stop or after the I/O
  // timeout without data, true only if part of a line had arrived.
  bool ReadLine(int socket, std::string& line, std::size_t capacity = kLineCapacity) const;
  // Reads lines as ReadLine does, one after the other, and hands each to take, until take
  // returns false (then true is returned) or a ReadLine would return false (then false). Lines
  // that have already arrived are taken together: one peek and one receive for all of them.
  bool ReadLines(int socket, const std::function<bool(std::string& line)>& take,
                 std::size_t capacity = kLineCapacity) const;

 private:
  // The accept loop, on the accept thread.
  void Run(int listen_socket);
  // Opens, binds and listens; the socket or -1.
  static int OpenListener(int port);
  // Sets the service running and starts the accept thread on listen_socket; false (and the
  // socket closed) when no thread can be started.
  bool StartAccepting(int listen_socket, int port);
  // Ends the accept thread (if any) and closes the listener.
  void StopAccepting();

  CThreadPool& m_pool;
  const std::chrono::milliseconds m_io_timeout;
  std::mutex m_control_mutex;  // serialises Start, Restart and Stop
  int m_listen_socket = -1;
  std::atomic<int> m_port{0};
  std::thread m_accept_thread;
  std::atomic<bool> m_running{false};
  std::atomic<bool> m_accept_stop{false};  // tells the current accept thread to end
};

#pragma once
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/types.h>

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>

#include "service/Transport.h"

// What every connection of a service keeps to: whether the service still runs, and its limits.
struct ConnectionRules {
  // How long a read waits for the next data, and a send for the client to take more.
  static constexpr std::chrono::milliseconds kIoTimeout = std::chrono::seconds(60);
  // How long after a request begins its whole head must have arrived, however busily a client
  // trickles it in.
  static constexpr std::chrono::milliseconds kHeadTimeout = std::chrono::seconds(30);
  // How long a kept connection may wait idle for its next request.
  static constexpr std::chrono::milliseconds kIdleTimeout = std::chrono::seconds(15);

  std::atomic<bool> running{false};
  std::chrono::milliseconds io_timeout = kIoTimeout;
  std::chrono::milliseconds head_timeout = kHeadTimeout;
  std::chrono::milliseconds idle_timeout = kIdleTimeout;
};

// One accepted connection: its socket, its peer, its deadlines, the bytes received past a request
// head, and the timed operations every handler talks to its client with. Each operation gives up
// once the service stops, checking at least once a second, and none raises SIGPIPE. A connection
// is used by one thread at a time. Bytes travel through a transport: the plain socket unless
// another is set.
class CConnection {
 public:
  using Clock = std::chrono::steady_clock;

  // The line buffer of request heads: lines of more than kLineCapacity - 3 bytes are split.
  static constexpr std::size_t kLineCapacity = 4096;

  // A closed connection, for the pool to Open.
  CConnection() = default;
  // A connection over socket, accepted now; for tests and tools. It never closes the socket.
  // The rules must outlive it.
  CConnection(int socket, const ConnectionRules& rules, const sockaddr_in& peer = {});
  CConnection(int socket, const ConnectionRules& rules, const sockaddr_in6& peer);
  CConnection(const CConnection&) = delete;
  CConnection& operator=(const CConnection&) = delete;

  // Takes a socket accepted at `accepted` (non-blocking when non_blocking is set: otherwise sends
  // of files make it so for their time). The rules must outlive the connection's use.
  // The peer is an IPv4 or IPv6 socket address.
  void Open(int socket, const ConnectionRules& rules, const sockaddr_storage& peer,
            Clock::time_point accepted, bool non_blocking);
  // Closes the socket and forgets what was kept for it.
  void Close();
  // Takes over other's socket and state, leaving other closed without closing the socket.
  void TakeFrom(CConnection& other);
  // Sends through transport instead of the plain socket from now on, for the rest of the
  // connection's life: it goes with the connection when it waits between requests.
  void UseTransport(std::unique_ptr<CTransport> transport);
  // Whether bytes travel through a transport of their own (TLS) rather than the plain socket.
  bool HasOwnTransport() const { return m_owned != nullptr; }
  // The events to wait for before the next ReceiveHead can go on: readable, unless the transport
  // must write first.
  short HeadEvents() const { return m_transport->PollEvents(POLLIN); }

  // The socket, for the pool (which shuts it down to shed a connection) and for tests. Handlers
  // use the operations below.
  int Descriptor() const { return m_socket; }
  const sockaddr_storage& Peer() const { return m_peer; }
  // The peer's address as canonical text: dotted IPv4 (also when it came mapped into IPv6), or
  // IPv6 as RFC 5952 writes it, without brackets. Empty when the peer is not known.
  std::string PeerIp() const;
  bool IsRunning() const { return m_rules->running.load(std::memory_order_relaxed); }
  std::chrono::milliseconds IoTimeout() const { return m_rules->io_timeout; }
  std::chrono::milliseconds IdleTimeout() const { return m_rules->idle_timeout; }
  // When the head of the request being read must have arrived.
  Clock::time_point HeadDeadline() const { return m_request_start + m_rules->head_timeout; }

  // Waits up to timeout for the connection to become readable or report an error or hang-up
  // (TCP urgent data does not count): 1 then (at once while bytes are kept or held by the
  // transport), 0 on a timeout (or an interrupted wait), -1 when the wait fails.
  int WaitReadable(std::chrono::milliseconds timeout) const;
  // The same for room to send.
  int WaitWritable(std::chrono::milliseconds timeout) const;
  // Reads up to length bytes that have arrived, without waiting: the kept ones first. As recv
  // with MSG_DONTWAIT: the count, 0 at the end of the stream, -1 with errno set.
  ssize_t Receive(void* data, std::size_t length);
  // Receives at least one and at most length bytes, waiting for data up to the I/O timeout and
  // the deadline; the count, or 0 when the connection ended, failed or idled out, the deadline
  // passed or the service stopped.
  std::size_t ReceiveSome(char* data, std::size_t length,
                          Clock::time_point deadline = Clock::time_point::max());
  // Sends all length bytes. False on a socket error, a stopped service, or when the client takes
  // nothing for the I/O timeout.
  bool SendAll(const void* data, std::size_t length);
  bool SendString(std::string_view text) { return SendAll(text.data(), text.size()); }
  // Sends length bytes of file from offset (sendfile where the transport can, else read and
  // sent), adding each delivered byte to bytes_sent. False when the file ends first (it shrank)
  // or sending fails as SendAll's does.
  bool SendFileRange(int file, std::uint64_t offset, std::uint64_t length,
                     std::uint64_t& bytes_sent);
  // Counts the body bytes sent or received from now on into bytes (a running transfer's counter,
  // which must outlive its use); null stops counting.
  void TrackProgress(std::atomic<std::uint64_t>* bytes) { m_progress = bytes; }
  void AddProgress(std::uint64_t count) {
    if (m_progress) m_progress->fetch_add(count, std::memory_order_relaxed);
  }
  // Whether the client has closed its side (or the connection failed). Bytes it sent do not count.
  bool PeerClosed() const;
  // Ends our sending side; the client may still send.
  void ShutdownWrite() { m_transport->ShutdownWrite(); }

  // Persistent connections. A handler that sets KeepAlive before its reply answers in HTTP/1.1
  // with every reply framed, and the connection then waits for its next request, idle.
  void SetKeepAlive(bool keep) { m_keep_alive = keep; }
  bool KeepAlive() const { return m_keep_alive; }
  std::string_view ReplyVersion() const { return m_keep_alive ? "HTTP/1.1" : "HTTP/1.0"; }
  // Counts a request begun on the connection; the count so far.
  int CountRequest() { return ++m_requests; }
  // Nothing has been received on the connection yet.
  bool Fresh() const { return m_requests == 0 && m_kept.empty(); }
  // The connection has answered and now waits, idle, for a request that has not begun.
  void BeginIdle();
  // The handler wants to be called again once a whole head has arrived (the rest of this one, or
  // the next request's), the connection waiting meanwhile without a worker.
  void WaitForHead() { m_wait = true; }
  // Whether WaitForHead or BeginIdle was called since the last time this was asked.
  bool TakeWaitRequest();
  bool Idle() const { return m_idle; }
  Clock::time_point RequestStart() const { return m_request_start; }

  enum class HeadArrival { kWhole, kPartial, kGone };
  // Receives what has arrived of a request head, without waiting, and keeps it for the reads
  // that follow: kWhole once its empty line (or more than kMaxWaitingHead bytes) is in, kPartial
  // while more is to come, kGone when the client has closed or the connection failed first.
  HeadArrival ReceiveHead();
  // A whole head is kept already (pipelined after the last request).
  bool HeadWaiting() const;
  // A whole head has arrived already: kept, or among the bytes the transport holds (which no
  // wait on the socket would show).
  bool HeadArrived() {
    return HeadWaiting() ||
           (m_owned && m_owned->HasPending() && ReceiveHead() == HeadArrival::kWhole);
  }
  // The head bytes kept before a worker takes a connection over, whatever the head's lines.
  static constexpr std::size_t kMaxWaitingHead = 64 << 10;

  // Reads one line into line, without its end (LF, CR LF or a lone CR), never consuming a byte
  // past that end. At most capacity - 3 bytes are taken; a longer line comes back in pieces.
  // False when the connection ends or fails before a line end, or at the deadline; on a stop or
  // after the I/O timeout without data, true only if part of a line had arrived.
  bool ReadLine(std::string& line, std::size_t capacity = kLineCapacity,
                Clock::time_point deadline = Clock::time_point::max());
  // Reads lines as ReadLine does, one after the other, and hands each to take, until take
  // returns false (then true is returned) or a ReadLine would return false (then false). Lines
  // that have already arrived are taken together, with one receive for all of them; the bytes
  // received past the last line taken are kept for the next reads.
  bool ReadLines(const std::function<bool(std::string& line)>& take,
                 std::size_t capacity = kLineCapacity,
                 Clock::time_point deadline = Clock::time_point::max());

 private:
  // How long to wait now: a slice (so that a stop is noticed), cut short by the idle limit
  // counted from progress and by the deadline; zero or less when one has passed.
  std::chrono::milliseconds Slice(Clock::time_point progress, Clock::time_point deadline) const;
  // One poll for events (as the transport needs them), up to timeout: 1, 0 or -1 as WaitReadable.
  int Poll(short events, std::chrono::milliseconds timeout) const;
  // One slice of waiting for events; false when the service has stopped, the I/O timeout since
  // progress or the deadline has passed, or the wait failed.
  bool Await(short events, Clock::time_point progress,
             Clock::time_point deadline = Clock::time_point::max()) const;
  bool HasKept() const { return m_kept_used < m_kept.size(); }
  // Puts bytes in front of whatever is kept: they were received first.
  void Keep(std::string_view bytes);
  // Up to length of the bytes that have arrived, left to be read again: the kept ones, else a
  // peek.
  ssize_t PeekInput(char* into, std::size_t length);
  // Takes exactly count bytes that PeekInput has just shown at into.
  bool ConsumeInput(char* into, std::size_t count);
  bool SendFileZeroCopy(int file, std::uint64_t offset, std::uint64_t length,
                        std::uint64_t& bytes_sent, bool& unsupported);
  bool SendFileByReading(int file, std::uint64_t offset, std::uint64_t length,
                         std::uint64_t& bytes_sent);

  static const ConnectionRules kClosedRules;

  int m_socket = -1;
  sockaddr_storage m_peer{};
  const ConnectionRules* m_rules = &kClosedRules;
  Clock::time_point m_request_start{};
  bool m_non_blocking = false;
  bool m_keep_alive = false;
  bool m_idle = false;
  bool m_wait = false;
  int m_requests = 0;
  CSocketTransport m_plain;
  std::unique_ptr<CTransport> m_owned;  // a transport over the socket, when there is one
  CTransport* m_transport = &m_plain;
  // Bytes received past a request head (the start of an upload's body, or whatever a client sent
  // after its head), for the connection's later reads.
  std::string m_kept;
  std::size_t m_kept_used = 0;
  std::atomic<std::uint64_t>* m_progress = nullptr;
};

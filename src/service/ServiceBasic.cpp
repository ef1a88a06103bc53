#include "service/ServiceBasic.h"

#include <arpa/inet.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstring>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "base/IpAddress.h"
#include "service/ThreadPool.h"

namespace {

using std::chrono::milliseconds;

// Every wait is cut into slices of at most this, so a stop is noticed within one.
constexpr milliseconds kPollSlice = std::chrono::seconds(1);

int PollOne(int socket, short events, milliseconds timeout) {
  pollfd entry{socket, events, 0};
  int result = poll(&entry, 1, static_cast<int>(std::max<milliseconds::rep>(timeout.count(), 0)));
  if (result < 0) return errno == EINTR ? 0 : -1;
  return result > 0 ? 1 : 0;
}

bool WouldBlock(int error) {
  return error == EAGAIN || error == EWOULDBLOCK;
}

// Bytes received past a request head (the start of an upload's body, or whatever a client sent
// after its head), kept for the connection's later reads. A connection is read only by the
// worker that accepted it, which also closes it, so each thread keeps its own: nothing for most
// requests, one connection's at most in the product.
struct KeptInput {
  int socket = -1;
  std::string bytes;
  std::size_t used = 0;
};
thread_local std::vector<KeptInput> t_kept;

KeptInput* KeptFor(int socket) {
  for (KeptInput& kept : t_kept)
    if (kept.socket == socket) return &kept;
  return nullptr;
}

// Puts bytes in front of whatever is kept for socket: they were received first.
void Keep(int socket, std::string_view bytes) {
  if (bytes.empty()) return;
  if (KeptInput* kept = KeptFor(socket)) {
    kept->bytes.replace(0, kept->used, bytes);
    kept->used = 0;
    return;
  }
  t_kept.push_back({socket, std::string(bytes), 0});
}

// Up to length of the bytes that have arrived, left to be read again: the kept ones, else a peek.
ssize_t PeekInput(int socket, char* into, std::size_t length) {
  if (KeptInput* kept = KeptFor(socket)) {
    const std::size_t count = std::min(length, kept->bytes.size() - kept->used);
    std::memcpy(into, kept->bytes.data() + kept->used, count);
    return static_cast<ssize_t>(count);
  }
  return recv(socket, into, length, MSG_PEEK | MSG_DONTWAIT);
}

// Takes exactly count bytes that PeekInput has just shown at into.
bool ConsumeInput(int socket, char* into, std::size_t count) {
  if (KeptInput* kept = KeptFor(socket)) {
    kept->used += count;
    if (kept->used == kept->bytes.size()) CServiceBasic::ForgetInput(socket);
    return true;
  }
  while (count > 0) {
    const ssize_t got = recv(socket, into, count, 0);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) return false;
    into += got;
    count -= static_cast<std::size_t>(got);
  }
  return true;
}

}  // namespace

std::string ClientTask::PeerIp() const {
  const std::optional<tessel::IpAddress> address =
      tessel::IpAddress::FromSocket(reinterpret_cast<const sockaddr*>(&peer));
  return address ? address->Text() : std::string();
}

CServiceBasic::CServiceBasic(CThreadPool& pool, milliseconds io_timeout, milliseconds head_timeout)
    : m_pool(pool), m_io_timeout(io_timeout), m_head_timeout(head_timeout) {}

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
  if (m_running) return true;
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
  const bool was_running = m_running.exchange(true);
  if (!m_pool.AddListener(this, listen_socket)) {
    m_running = was_running;
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
    if (!m_running) return;
    m_running = false;
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

CServiceBasic::Clock::time_point CServiceBasic::HeadDeadline(const ClientTask& task) const {
  const Clock::time_point accepted =
      task.accepted == Clock::time_point{} ? Clock::now() : task.accepted;
  return accepted + m_head_timeout;
}

milliseconds CServiceBasic::WaitSlice(Clock::time_point last_activity,
                                      Clock::time_point deadline) const {
  const Clock::time_point now = Clock::now();
  const auto idle = std::chrono::duration_cast<milliseconds>(now - last_activity);
  milliseconds wait = std::min(kPollSlice, m_io_timeout - idle + milliseconds(1));
  if (deadline != Clock::time_point::max())
    wait = std::min(wait, std::chrono::ceil<milliseconds>(deadline - now));
  return wait;
}

int CServiceBasic::WaitReadable(int socket, milliseconds timeout) const {
  if (KeptFor(socket)) return 1;
  // Not POLLPRI: a TCP urgent byte would keep the wait returning while no byte can be read, and
  // every reader would spin until its idle limit. Errors and hang-ups wake poll regardless.
  return PollOne(socket, POLLIN, timeout);
}

ssize_t CServiceBasic::Receive(int socket, void* data, std::size_t length) const {
  if (!KeptFor(socket)) return recv(socket, data, length, MSG_DONTWAIT);
  char* into = static_cast<char*>(data);
  const ssize_t count = PeekInput(socket, into, length);
  ConsumeInput(socket, into, static_cast<std::size_t>(count));
  return count;
}

void CServiceBasic::ForgetInput(int socket) {
  if (t_kept.empty()) return;
  std::erase_if(t_kept, [&](const KeptInput& kept) { return kept.socket == socket; });
}

bool CServiceBasic::SendChunk(int socket, const void* data, std::size_t length) const {
  const char* next = static_cast<const char*>(data);
  Clock::time_point progress = Clock::now();
  while (length > 0) {
    if (!m_running) return false;
    // Try first and wait only when the socket buffer is full: most replies go out at once.
    ssize_t sent = send(socket, next, length, MSG_NOSIGNAL | MSG_DONTWAIT);
    if (sent > 0) {
      next += sent;
      length -= static_cast<std::size_t>(sent);
      progress = Clock::now();
      continue;
    }
    if (sent < 0 && errno == EINTR) continue;
    if (sent == 0 || !WouldBlock(errno)) return false;
    auto idle = std::chrono::duration_cast<milliseconds>(Clock::now() - progress);
    if (idle > m_io_timeout) return false;
    int ready =
        PollOne(socket, POLLOUT, std::min(kPollSlice, m_io_timeout - idle + milliseconds(1)));
    if (ready < 0) return false;
  }
  return true;
}

bool CServiceBasic::SendAll(int socket, const void* data, std::size_t length) const {
  return SendChunk(socket, data, length);
}

bool CServiceBasic::ReadLine(int socket, std::string& line, std::size_t capacity,
                             Clock::time_point deadline) const {
  line.clear();
  if (capacity <= 3) return false;
  const std::size_t room = capacity - 3;
  line.resize(room);
  std::size_t used = 0;
  auto finish = [&](std::size_t length, bool result) {
    line.resize(length);
    return result;
  };
  // Takes exactly count bytes that a peek has already shown, into the buffer at used.
  auto consume = [&](std::size_t count) {
    if (!ConsumeInput(socket, &line[used], count)) return false;
    used += count;
    return true;
  };

  Clock::time_point activity = Clock::now();
  for (;;) {
    if (!m_running) return finish(used, used > 0);
    // A line cut off by the deadline is of no use: the request is over.
    if (Clock::now() >= deadline) return finish(used, false);
    milliseconds idle = std::chrono::duration_cast<milliseconds>(Clock::now() - activity);
    if (idle > m_io_timeout) return finish(used, used > 0);
    if (used == room) return finish(used, true);  // the rest comes back as the next line

    ssize_t peeked = PeekInput(socket, &line[used], room - used);
    if (peeked < 0 && (WouldBlock(errno) || errno == EINTR)) {
      WaitReadable(socket, WaitSlice(activity, deadline));
      continue;
    }
    if (peeked <= 0) return finish(used, false);
    activity = Clock::now();

    const char* start = &line[used];
    std::size_t count = static_cast<std::size_t>(peeked);
    if (const void* lf = std::memchr(start, '\n', count)) {
      std::size_t end = used + static_cast<std::size_t>(static_cast<const char*>(lf) - start);
      if (!consume(end + 1 - used)) return finish(used, false);
      if (end > 0 && line[end - 1] == '\r') --end;
      return finish(end, true);
    }
    if (const void* cr = std::memchr(start, '\r', count)) {
      std::size_t end = used + static_cast<std::size_t>(static_cast<const char*>(cr) - start);
      if (!consume(end + 1 - used)) return finish(used, false);
      return finish(end, true);
    }
    if (!consume(count)) return finish(used, false);
  }
}

bool CServiceBasic::ReadLines(int socket, const std::function<bool(std::string& line)>& take,
                              std::size_t capacity, Clock::time_point deadline) const {
  if (capacity <= 3) return false;
  const std::size_t room = capacity - 3;
  // A request head fits; a longer run of lines is taken in several goes.
  constexpr std::size_t kReadSize = 16 << 10;
  // On the stack: a heap block this size would come from a heap the workers share, under its lock.
  std::array<char, kReadSize> arrived;
  std::string partial;  // received but not yet taken, when a line spans receives
  std::string line;
  Clock::time_point activity = Clock::now();
  for (;;) {
    if (!m_running || Clock::now() >= deadline) return false;
    // One receive instead of a peek and a receive: what follows the lines is kept instead.
    const ssize_t got = Receive(socket, arrived.data(), arrived.size());
    if (got < 0 && (WouldBlock(errno) || errno == EINTR)) {
      milliseconds idle = std::chrono::duration_cast<milliseconds>(Clock::now() - activity);
      if (idle <= m_io_timeout) {
        WaitReadable(socket, WaitSlice(activity, deadline));
        continue;
      }
      // Quiet past the limit: part of a line that had arrived is a line, as for ReadLine.
      if (partial.empty()) return false;
      line = std::move(partial);
      partial.clear();
      if (!take(line)) return true;
      activity = Clock::now();
      continue;
    }
    if (got <= 0) return false;
    activity = Clock::now();
    std::string_view data(arrived.data(), static_cast<std::size_t>(got));
    if (!partial.empty()) {
      partial.append(data);
      data = partial;
    }
    // The lines ReadLine would return now, each cut from the next room bytes by its rules.
    // A full receive may have cut the last line short: its LF, or more of it, may follow.
    const bool all_arrived = static_cast<std::size_t>(got) < arrived.size();
    std::size_t taken = 0;
    bool more = true;
    while (more) {
      const std::string_view window = data.substr(taken, room);
      std::size_t end = window.find('\n');
      std::size_t next = end + 1;
      if (end != std::string_view::npos) {
        if (end > 0 && window[end - 1] == '\r') --end;
      } else if (window.size() < room && !all_arrived) {
        break;  // receive more for this line
      } else if ((end = window.find('\r')) != std::string_view::npos) {
        next = end + 1;
      } else if (window.size() == room) {
        end = next = room;
      } else {
        break;  // the rest of this line has not arrived
      }
      line.assign(window.substr(0, end));
      taken += next;
      more = take(line);
    }
    if (!more) {
      // What followed the lines (an upload's body) is the connection's next bytes.
      Keep(socket, data.substr(taken));
      return true;
    }
    partial = std::string(data.substr(taken));
  }
}

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

}  // namespace

std::string ClientTask::PeerIp() const {
  char text[INET_ADDRSTRLEN] = {};
  if (!inet_ntop(AF_INET, &peer.sin_addr, text, sizeof text)) return {};
  return text;
}

CServiceBasic::CServiceBasic(CThreadPool& pool, milliseconds io_timeout, milliseconds head_timeout)
    : m_pool(pool), m_io_timeout(io_timeout), m_head_timeout(head_timeout) {}

CServiceBasic::~CServiceBasic() {
  Stop();
}

int CServiceBasic::OpenListener(int port) {
  if (port < 1 || port > 65535) return -1;
  // Blocking: idle workers wait inside accept, and the kernel wakes one per connection.
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return -1;
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
  if (bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
      listen(fd, SOMAXCONN) != 0) {
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
  // Not POLLPRI: a TCP urgent byte would keep the wait returning while no byte can be read, and
  // every reader would spin until its idle limit. Errors and hang-ups wake poll regardless.
  return PollOne(socket, POLLIN, timeout);
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
  // Consumes exactly count bytes that a peek has already shown, into the buffer at used.
  auto consume = [&](std::size_t count) {
    while (count > 0) {
      ssize_t got = recv(socket, &line[used], count, 0);
      if (got < 0 && errno == EINTR) continue;
      if (got <= 0) return false;
      used += static_cast<std::size_t>(got);
      count -= static_cast<std::size_t>(got);
    }
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

    ssize_t peeked = recv(socket, &line[used], room - used, MSG_PEEK | MSG_DONTWAIT);
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
  constexpr std::size_t kPeekSize = 16 << 10;
  // On the stack: a heap block this size would come from a heap the workers share, under its lock.
  std::array<char, kPeekSize> arrived;
  std::string line;
  Clock::time_point activity = Clock::now();
  for (;;) {
    if (!m_running || Clock::now() >= deadline) return false;
    ssize_t peeked = recv(socket, arrived.data(), arrived.size(), MSG_PEEK | MSG_DONTWAIT);
    if (peeked < 0 && (WouldBlock(errno) || errno == EINTR)) {
      // Nothing yet (a client connects before it sends): wait as ReadLine would, then look again.
      milliseconds idle = std::chrono::duration_cast<milliseconds>(Clock::now() - activity);
      if (idle > m_io_timeout) return false;
      WaitReadable(socket, WaitSlice(activity, deadline));
      continue;
    }
    if (peeked > 0) {
      // The lines ReadLine would return now, each cut from the next room bytes by its rules.
      const std::string_view data(arrived.data(), static_cast<std::size_t>(peeked));
      // A full peek may have cut the last line short: its LF, or more of it, may follow.
      const bool all_arrived = data.size() < arrived.size();
      std::size_t taken = 0;
      bool more = true;
      while (more) {
        const std::string_view window = data.substr(taken, room);
        std::size_t end = window.find('\n');
        std::size_t next = end + 1;
        if (end != std::string_view::npos) {
          if (end > 0 && window[end - 1] == '\r') --end;
        } else if (window.size() < room && !all_arrived) {
          break;  // peek again from this line on
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
      // Exactly the bytes of the lines taken leave the socket.
      for (std::size_t left = taken; left > 0;) {
        ssize_t got = recv(socket, arrived.data(), left, 0);
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0) return false;
        left -= static_cast<std::size_t>(got);
      }
      if (!more) return true;
      activity = Clock::now();
      if (taken > 0) continue;
    }
    // Part of a line, the end of the data or an error: the ordinary reader takes it from here.
    if (!ReadLine(socket, line, capacity, deadline)) return false;
    if (!take(line)) return true;
    activity = Clock::now();
  }
}

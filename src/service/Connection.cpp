#include "service/Connection.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstring>
#include <memory>
#include <optional>

#include "base/IpAddress.h"

namespace {

using std::chrono::milliseconds;
using Clock = CConnection::Clock;

// Every wait is cut into slices of at most this, so a stop is noticed within one.
constexpr milliseconds kPollSlice = std::chrono::seconds(1);
// One sendfile call moves at most this much, so a stop is noticed between calls on a fast link.
constexpr std::uint64_t kZeroCopyChunk = 8 << 20;
// The buffer of file sends that read the file.
constexpr std::size_t kReadBlock = 256 << 10;

bool WouldBlock(int error) {
  return error == EAGAIN || error == EWOULDBLOCK;
}

// Puts a socket into non-blocking mode for its lifetime, so that sendfile never waits longer
// than a poll slice; the earlier mode comes back afterwards.
class NonBlockingScope {
 public:
  NonBlockingScope(int socket, bool already) : m_socket(socket) {
    if (already) return;
    m_flags = fcntl(socket, F_GETFL);
    if (m_flags >= 0 && (m_flags & O_NONBLOCK) == 0) fcntl(m_socket, F_SETFL, m_flags | O_NONBLOCK);
  }
  ~NonBlockingScope() {
    if (m_flags >= 0 && (m_flags & O_NONBLOCK) == 0) fcntl(m_socket, F_SETFL, m_flags);
  }
  NonBlockingScope(const NonBlockingScope&) = delete;
  NonBlockingScope& operator=(const NonBlockingScope&) = delete;

 private:
  int m_socket;
  int m_flags = -1;
};

}  // namespace

const ConnectionRules CConnection::kClosedRules{};

CConnection::CConnection(int socket, const ConnectionRules& rules, const sockaddr_in& peer) {
  // An IPv4 socket address whatever its family field says.
  sockaddr_storage storage{};
  auto* v4 = reinterpret_cast<sockaddr_in*>(&storage);
  *v4 = peer;
  v4->sin_family = AF_INET;
  Open(socket, rules, storage, Clock::now(), false);
}

CConnection::CConnection(int socket, const ConnectionRules& rules, const sockaddr_in6& peer) {
  sockaddr_storage storage{};
  *reinterpret_cast<sockaddr_in6*>(&storage) = peer;
  Open(socket, rules, storage, Clock::now(), false);
}

void CConnection::Open(int socket, const ConnectionRules& rules, const sockaddr_storage& peer,
                       Clock::time_point accepted, bool non_blocking) {
  m_socket = socket;
  m_peer = peer;
  m_rules = &rules;
  m_request_start = accepted;
  m_non_blocking = non_blocking;
  m_plain.Attach(socket);
  m_owned.reset();
  m_transport = &m_plain;
  m_kept.clear();
  m_kept_used = 0;
  m_keep_alive = false;
  m_idle = false;
  m_wait = false;
  m_requests = 0;
}

void CConnection::TakeFrom(CConnection& other) {
  m_socket = other.m_socket;
  m_peer = other.m_peer;
  m_rules = other.m_rules;
  m_request_start = other.m_request_start;
  m_non_blocking = other.m_non_blocking;
  m_plain.Attach(m_socket);
  m_owned = std::move(other.m_owned);
  m_transport = m_owned ? m_owned.get() : &m_plain;
  m_kept.swap(other.m_kept);
  m_kept_used = other.m_kept_used;
  m_keep_alive = other.m_keep_alive;
  m_idle = other.m_idle;
  m_wait = other.m_wait;
  m_requests = other.m_requests;
  other.m_socket = -1;
  other.m_plain.Attach(-1);
  other.m_transport = &other.m_plain;
  other.m_rules = &kClosedRules;
  other.m_kept.clear();
  other.m_kept_used = 0;
}

void CConnection::UseTransport(std::unique_ptr<CTransport> transport) {
  m_owned = std::move(transport);
  m_transport = m_owned ? m_owned.get() : &m_plain;
}

void CConnection::BeginIdle() {
  m_idle = true;
  m_keep_alive = false;
  m_wait = true;
  m_request_start = Clock::now();
}

bool CConnection::TakeWaitRequest() {
  const bool wait = m_wait;
  m_wait = false;
  return wait;
}

namespace {

// Whether data holds the empty line that ends a head, by the line rules of ReadLines (a lone CR
// ends a line, and a NUL ends a header line). In doubt, yes: a worker then reads as ever.
bool HoldsHeadEnd(std::string_view data) {
  bool line_start = true;
  for (std::size_t i = 0; i < data.size(); ++i) {
    const char c = data[i];
    if (c == '\n' || c == '\r' || (c == '\0' && line_start)) {
      if (line_start) return true;
      if (c == '\r' && i + 1 < data.size() && data[i + 1] == '\n') ++i;
      line_start = true;
      continue;
    }
    line_start = false;
  }
  return false;
}

}  // namespace

bool CConnection::HeadWaiting() const {
  return HasKept() && (m_kept.size() - m_kept_used >= kMaxWaitingHead ||
                       HoldsHeadEnd(std::string_view(m_kept).substr(m_kept_used)));
}

CConnection::HeadArrival CConnection::ReceiveHead() {
  if (HeadWaiting()) return HeadArrival::kWhole;
  if (m_kept_used > 0) {
    m_kept.erase(0, m_kept_used);
    m_kept_used = 0;
  }
  std::array<char, 16 << 10> arrived;
  for (;;) {
    const ssize_t got = m_transport->Receive(arrived.data(), arrived.size());
    if (got > 0) {
      if (m_idle) {
        m_idle = false;
        m_request_start = Clock::now();
      }
      m_kept.append(arrived.data(), static_cast<std::size_t>(got));
      if (HeadWaiting()) return HeadArrival::kWhole;
      // Bytes a TLS session has decrypted already wake no wait on the socket: take them now.
      if (m_transport->HasPending()) continue;
      return HeadArrival::kPartial;
    }
    if (got < 0 && errno == EINTR) continue;
    if (got < 0 && WouldBlock(errno)) return HeadArrival::kPartial;
    return HeadArrival::kGone;
  }
}

void CConnection::Close() {
  // The session goes before its socket.
  m_transport = &m_plain;
  m_owned.reset();
  if (m_socket >= 0) close(m_socket);
  m_socket = -1;
  m_plain.Attach(-1);
  m_rules = &kClosedRules;
  m_kept.clear();
  m_kept_used = 0;
  m_keep_alive = false;
  m_idle = false;
}

std::string CConnection::PeerIp() const {
  const std::optional<tessel::IpAddress> address =
      tessel::IpAddress::FromSocket(reinterpret_cast<const sockaddr*>(&m_peer));
  return address ? address->Text() : std::string();
}

milliseconds CConnection::Slice(Clock::time_point progress, Clock::time_point deadline) const {
  const Clock::time_point now = Clock::now();
  const auto idle = std::chrono::duration_cast<milliseconds>(now - progress);
  milliseconds wait = std::min(kPollSlice, IoTimeout() - idle + milliseconds(1));
  if (deadline != Clock::time_point::max())
    wait = std::min(wait, std::chrono::ceil<milliseconds>(deadline - now));
  return wait;
}

int CConnection::Poll(short events, milliseconds timeout) const {
  if ((events & POLLIN) != 0 && (HasKept() || m_transport->HasPending())) return 1;
  // Not POLLPRI: a TCP urgent byte would keep the wait returning while no byte can be read, and
  // every reader would spin until its idle limit. Errors and hang-ups wake poll regardless.
  pollfd entry{m_socket, m_transport->PollEvents(events), 0};
  const int result =
      poll(&entry, 1, static_cast<int>(std::max<milliseconds::rep>(timeout.count(), 0)));
  if (result < 0) return errno == EINTR ? 0 : -1;
  return result > 0 ? 1 : 0;
}

bool CConnection::Await(short events, Clock::time_point progress,
                        Clock::time_point deadline) const {
  if (!IsRunning()) return false;
  const milliseconds wait = Slice(progress, deadline);
  if (wait <= milliseconds(0)) return false;
  return Poll(events, wait) >= 0;
}

int CConnection::WaitReadable(milliseconds timeout) const {
  return Poll(POLLIN, timeout);
}

int CConnection::WaitWritable(milliseconds timeout) const {
  return Poll(POLLOUT, timeout);
}

void CConnection::Keep(std::string_view bytes) {
  if (bytes.empty()) return;
  m_kept.replace(0, m_kept_used, bytes);
  m_kept_used = 0;
}

ssize_t CConnection::PeekInput(char* into, std::size_t length) {
  if (HasKept()) {
    const std::size_t count = std::min(length, m_kept.size() - m_kept_used);
    std::memcpy(into, m_kept.data() + m_kept_used, count);
    return static_cast<ssize_t>(count);
  }
  return m_transport->Peek(into, length);
}

bool CConnection::ConsumeInput(char* into, std::size_t count) {
  if (HasKept()) {
    m_kept_used += count;
    if (!HasKept()) {
      m_kept.clear();
      m_kept_used = 0;
    }
    return true;
  }
  while (count > 0) {
    const ssize_t got = m_transport->Receive(into, count);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) return false;
    into += got;
    count -= static_cast<std::size_t>(got);
  }
  return true;
}

ssize_t CConnection::Receive(void* data, std::size_t length) {
  if (!HasKept()) return m_transport->Receive(data, length);
  char* into = static_cast<char*>(data);
  const ssize_t count = PeekInput(into, length);
  ConsumeInput(into, static_cast<std::size_t>(count));
  return count;
}

std::size_t CConnection::ReceiveSome(char* data, std::size_t length, Clock::time_point deadline) {
  const Clock::time_point start = Clock::now();
  for (;;) {
    if (!IsRunning()) return 0;
    const ssize_t got = Receive(data, length);
    if (got > 0) return static_cast<std::size_t>(got);
    if (got == 0) return 0;
    if (errno == EINTR) continue;
    if (!WouldBlock(errno) || !Await(POLLIN, start, deadline)) return 0;
  }
}

bool CConnection::SendAll(const void* data, std::size_t length) {
  const char* next = static_cast<const char*>(data);
  Clock::time_point progress = Clock::now();
  while (length > 0) {
    if (!IsRunning()) return false;
    // Try first and wait only when the socket buffer is full: most replies go out at once.
    const ssize_t sent = m_transport->Send(next, length);
    if (sent > 0) {
      next += sent;
      length -= static_cast<std::size_t>(sent);
      progress = Clock::now();
      continue;
    }
    if (sent < 0 && errno == EINTR) continue;
    if (sent == 0 || !WouldBlock(errno) || !Await(POLLOUT, progress)) return false;
  }
  return true;
}

bool CConnection::SendFileRange(int file, std::uint64_t offset, std::uint64_t length,
                                std::uint64_t& bytes_sent) {
  if (length == 0) return true;
  const NonBlockingScope non_blocking(m_socket, m_non_blocking);
  bool unsupported = false;
  if (SendFileZeroCopy(file, offset, length, bytes_sent, unsupported)) return true;
  return unsupported && SendFileByReading(file, offset, length, bytes_sent);
}

bool CConnection::SendFileZeroCopy(int file, std::uint64_t offset, std::uint64_t length,
                                   std::uint64_t& bytes_sent, bool& unsupported) {
  std::uint64_t done = 0;
  Clock::time_point progress = Clock::now();
  while (done < length) {
    if (!IsRunning()) return false;
    off_t position = static_cast<off_t>(offset + done);
    const auto count = static_cast<std::size_t>(std::min(length - done, kZeroCopyChunk));
    const ssize_t sent = m_transport->SendFile(file, &position, count);
    if (sent > 0) {
      done += static_cast<std::uint64_t>(sent);
      bytes_sent += static_cast<std::uint64_t>(sent);
      AddProgress(static_cast<std::uint64_t>(sent));
      progress = Clock::now();
      continue;
    }
    // The file ended before the range did: it shrank while being sent. What was sent is true;
    // the connection's end tells the client the rest is missing.
    if (sent == 0) return false;
    if (errno == EINTR) continue;
    if ((errno == EINVAL || errno == ENOSYS) && done == 0) {
      unsupported = true;
      return false;
    }
    if (errno != EAGAIN || !Await(POLLOUT, progress)) return false;
  }
  return true;
}

bool CConnection::SendFileByReading(int file, std::uint64_t offset, std::uint64_t length,
                                    std::uint64_t& bytes_sent) {
  const auto buffer = std::make_unique<char[]>(kReadBlock);
  std::uint64_t done = 0;
  while (done < length) {
    const auto want = static_cast<std::size_t>(std::min<std::uint64_t>(length - done, kReadBlock));
    const ssize_t got = pread(file, buffer.get(), want, static_cast<off_t>(offset + done));
    if (got < 0 && errno == EINTR) continue;
    // A short file (it shrank) ends the body; nothing is ever sent in place of missing bytes.
    if (got <= 0) return false;
    if (!SendAll(buffer.get(), static_cast<std::size_t>(got))) return false;
    done += static_cast<std::uint64_t>(got);
    bytes_sent += static_cast<std::uint64_t>(got);
    AddProgress(static_cast<std::uint64_t>(got));
  }
  return true;
}

bool CConnection::PeerClosed() const {
  pollfd entry{m_socket, POLLRDHUP, 0};
  return poll(&entry, 1, 0) > 0 && (entry.revents & (POLLRDHUP | POLLHUP | POLLERR)) != 0;
}

bool CConnection::ReadLine(std::string& line, std::size_t capacity, Clock::time_point deadline) {
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
    if (!ConsumeInput(&line[used], count)) return false;
    used += count;
    return true;
  };

  Clock::time_point activity = Clock::now();
  for (;;) {
    if (!IsRunning()) return finish(used, used > 0);
    // A line cut off by the deadline is of no use: the request is over.
    if (Clock::now() >= deadline) return finish(used, false);
    const auto idle = std::chrono::duration_cast<milliseconds>(Clock::now() - activity);
    if (idle > IoTimeout()) return finish(used, used > 0);
    if (used == room) return finish(used, true);  // the rest comes back as the next line

    const ssize_t peeked = PeekInput(&line[used], room - used);
    if (peeked < 0 && (WouldBlock(errno) || errno == EINTR)) {
      Poll(POLLIN, Slice(activity, deadline));
      continue;
    }
    if (peeked <= 0) return finish(used, false);
    activity = Clock::now();

    const char* start = &line[used];
    const auto count = static_cast<std::size_t>(peeked);
    if (const void* lf = std::memchr(start, '\n', count)) {
      std::size_t end = used + static_cast<std::size_t>(static_cast<const char*>(lf) - start);
      if (!consume(end + 1 - used)) return finish(used, false);
      if (end > 0 && line[end - 1] == '\r') --end;
      return finish(end, true);
    }
    if (const void* cr = std::memchr(start, '\r', count)) {
      const std::size_t end = used + static_cast<std::size_t>(static_cast<const char*>(cr) - start);
      if (!consume(end + 1 - used)) return finish(used, false);
      return finish(end, true);
    }
    if (!consume(count)) return finish(used, false);
  }
}

bool CConnection::ReadLines(const std::function<bool(std::string& line)>& take,
                            std::size_t capacity, Clock::time_point deadline) {
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
    if (!IsRunning() || Clock::now() >= deadline) return false;
    // One receive instead of a peek and a receive: what follows the lines is kept instead.
    const ssize_t got = Receive(arrived.data(), arrived.size());
    if (got < 0 && (WouldBlock(errno) || errno == EINTR)) {
      const auto idle = std::chrono::duration_cast<milliseconds>(Clock::now() - activity);
      if (idle <= IoTimeout()) {
        Poll(POLLIN, Slice(activity, deadline));
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
      Keep(data.substr(taken));
      return true;
    }
    partial = std::string(data.substr(taken));
  }
}

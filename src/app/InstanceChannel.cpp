#include "app/InstanceChannel.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <QSocketNotifier>
#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <thread>

namespace {

// Request head: kind (1 byte), share mode (4 bytes), payload length (4 bytes), little-endian. The
// payload is the path; for kPassword the name, a NUL and the password (a name from the command
// line holds no NUL). An answer is one byte, 1 for done; for the kinds that answer with a text,
// its length (4 bytes) and the text follow.
constexpr std::size_t kHeadSize = 9;
// How long the instance waits for a sender to take an answer's text.
constexpr auto kAnswerPatience = std::chrono::seconds(5);
// Connections of local senders served at once; more are closed at once.
constexpr std::size_t kMaxConnections = 32;
// How long ClaimEndpoint waits for a holder of the lock to answer.
constexpr auto kClaimPatience = std::chrono::seconds(5);

void PutUint32(std::string& out, std::uint32_t value) {
  for (int shift = 0; shift < 32; shift += 8) out += static_cast<char>((value >> shift) & 0xFF);
}

std::uint32_t GetUint32(const unsigned char* in) {
  return in[0] | (in[1] << 8) | (in[2] << 16) | (static_cast<std::uint32_t>(in[3]) << 24);
}

bool FitsSocketName(const std::string& path) {
  return path.size() < sizeof(sockaddr_un{}.sun_path);
}

sockaddr_un SocketAddress(const std::string& path) {
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
  return address;
}

// Whether the peer of a local socket runs as this user.
bool PeerIsUs(int fd) {
  ucred credentials{};
  socklen_t length = sizeof credentials;
  return getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &credentials, &length) == 0 &&
         credentials.uid == geteuid();
}

// Waits until fd is readable; false on time-out or failure.
bool WaitReadable(int fd, std::chrono::steady_clock::time_point deadline) {
  for (;;) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) return false;
    pollfd entry{fd, POLLIN, 0};
    const int ready = poll(&entry, 1, static_cast<int>(left.count()));
    if (ready > 0) return true;
    if (ready < 0 && errno != EINTR) return false;
  }
}

// Sends all of data, also over a non-blocking socket, until deadline.
bool SendAll(
    int fd, const std::string& data,
    std::chrono::steady_clock::time_point deadline = std::chrono::steady_clock::time_point::max()) {
  std::size_t sent = 0;
  while (sent < data.size()) {
    const ssize_t n = send(fd, data.data() + sent, data.size() - sent, MSG_NOSIGNAL);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
          deadline - std::chrono::steady_clock::now());
      pollfd entry{fd, POLLOUT, 0};
      if (left.count() <= 0 || poll(&entry, 1, static_cast<int>(left.count())) < 0) return false;
      continue;
    }
    if (n <= 0) return false;
    sent += static_cast<std::size_t>(n);
  }
  return true;
}

// Reads exactly size bytes into out before deadline.
bool ReadExactly(int fd, std::size_t size, std::string& out,
                 std::chrono::steady_clock::time_point deadline) {
  out.clear();
  char chunk[4096];
  while (out.size() < size) {
    if (!WaitReadable(fd, deadline)) return false;
    const ssize_t n = recv(fd, chunk, std::min(sizeof chunk, size - out.size()), 0);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    out.append(chunk, static_cast<std::size_t>(n));
  }
  return true;
}

bool SafeFolder(const std::string& folder, bool allow_group_read) {
  struct stat st {};
  if (lstat(folder.c_str(), &st) != 0 || !S_ISDIR(st.st_mode) || st.st_uid != geteuid())
    return false;
  return allow_group_read ? (st.st_mode & 022) == 0 : (st.st_mode & 077) == 0;
}

}  // namespace

struct CInstanceChannel::Connection {
  int fd = -1;
  std::string buffer;
  std::unique_ptr<QSocketNotifier> notifier;
};

std::string CInstanceChannel::DefaultFolder() {
  const std::string socket_name = "/tessel.sock";
  if (const char* runtime = std::getenv("XDG_RUNTIME_DIR"); runtime && runtime[0] == '/') {
    const std::string folder = runtime;
    if (SafeFolder(folder, true) && FitsSocketName(folder + socket_name)) return folder;
  }
  // A name in /tmp can be taken by anyone first: use it only as a folder of our own.
  const std::string folder = "/tmp/tessel-" + std::to_string(geteuid());
  if (mkdir(folder.c_str(), 0700) != 0 && errno != EEXIST) return "";
  return SafeFolder(folder, false) ? folder : "";
}

CInstanceChannel::CInstanceChannel(std::string folder) : m_folder(std::move(folder)) {
  if (!m_folder.empty()) {
    m_socket_path = m_folder + "/tessel.sock";
    m_lock_path = m_folder + "/tessel.lock";
  }
}

CInstanceChannel::~CInstanceChannel() {
  Disconnect();
  StopServing();
  m_connections.clear();
  m_closed.clear();
  m_listen_notifier.reset();
  // The endpoint is free before exit senders hear the end, so they may start a new instance.
  if (m_lock >= 0) close(m_lock);
  for (int fd : m_exit_senders) close(fd);
}

bool CInstanceChannel::Connect() {
  Disconnect();
  if (m_socket_path.empty() || !FitsSocketName(m_socket_path)) return false;
  const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return false;
  const sockaddr_un address = SocketAddress(m_socket_path);
  if (connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0 ||
      !PeerIsUs(fd)) {
    close(fd);
    return false;
  }
  m_client = fd;
  return true;
}

bool CInstanceChannel::Send(const InstanceRequest& request, std::string* text) {
  if (text) text->clear();
  std::string payload = request.path;
  if (request.kind == InstanceRequest::kPassword) {
    if (payload.find('\0') != std::string::npos) return false;
    payload += '\0' + request.secret;
  }
  if (m_client < 0 || payload.size() > kMaxPathLength) return false;
  std::string message;
  message += static_cast<char>(request.kind);
  PutUint32(message, static_cast<std::uint32_t>(request.share_mode));
  PutUint32(message, static_cast<std::uint32_t>(payload.size()));
  message += payload;
  if (!SendAll(m_client, message)) return false;

  auto deadline = std::chrono::steady_clock::now() + kAnswerTimeout;
  unsigned char answer = 0;
  if (!WaitReadable(m_client, deadline) || recv(m_client, &answer, 1, 0) != 1) return false;
  if (InstanceRequest::AnswersWithText(request.kind)) {
    std::string length;
    std::string answer_text;
    if (!ReadExactly(m_client, 4, length, deadline)) return false;
    const std::uint32_t size = GetUint32(reinterpret_cast<const unsigned char*>(length.data()));
    if (size > kMaxAnswerLength || !ReadExactly(m_client, size, answer_text, deadline))
      return false;
    if (text) *text = std::move(answer_text);
  }
  if (request.kind == InstanceRequest::kExit && answer == 1) {
    // The instance closes this connection as the last thing before it ends.
    deadline = std::chrono::steady_clock::now() + kAnswerTimeout;
    char rest = 0;
    while (WaitReadable(m_client, deadline)) {
      const ssize_t n = recv(m_client, &rest, 1, 0);
      if (n == 0 || (n < 0 && errno != EINTR)) break;
    }
  }
  return answer == 1;
}

void CInstanceChannel::Disconnect() {
  if (m_client >= 0) close(m_client);
  m_client = -1;
}

CInstanceChannel::Claim CInstanceChannel::ClaimEndpoint() {
  if (m_folder.empty() || !FitsSocketName(m_socket_path)) return Claim::kUnavailable;
  if (m_lock < 0) {
    m_lock = open(m_lock_path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (m_lock < 0) return Claim::kUnavailable;
  }
  // The lock, not the socket file, says who owns the endpoint: the system drops it when its
  // holder ends in any way, so a leftover socket file is known stale.
  const auto deadline = std::chrono::steady_clock::now() + kClaimPatience;
  for (;;) {
    if (flock(m_lock, LOCK_EX | LOCK_NB) == 0) {
      return ListenAt() ? Claim::kOwned : Claim::kUnavailable;
    }
    if (errno != EWOULDBLOCK && errno != EINTR) break;
    if (Connect()) {
      close(m_lock);
      m_lock = -1;
      return Claim::kOtherRunning;
    }
    if (std::chrono::steady_clock::now() >= deadline) {
      close(m_lock);
      m_lock = -1;
      return Claim::kBusy;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  close(m_lock);
  m_lock = -1;
  return Claim::kUnavailable;
}

bool CInstanceChannel::ListenAt() {
  unlink(m_socket_path.c_str());
  const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  if (fd < 0) return false;
  const sockaddr_un address = SocketAddress(m_socket_path);
  if (bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0 ||
      listen(fd, SOMAXCONN) != 0) {
    close(fd);
    return false;
  }
  m_listener = fd;
  return true;
}

void CInstanceChannel::Serve(Handler handler) {
  m_handler = std::move(handler);
  if (m_listener < 0 || m_listen_notifier) return;
  m_listen_notifier = std::make_unique<QSocketNotifier>(m_listener, QSocketNotifier::Read);
  QObject::connect(m_listen_notifier.get(), &QSocketNotifier::activated, [this] { AcceptAll(); });
}

void CInstanceChannel::StopServing() {
  if (m_listener < 0) return;
  m_listen_notifier.reset();
  // Removed while the lock is still held, so it is never a successor's socket.
  unlink(m_socket_path.c_str());
  close(m_listener);
  m_listener = -1;
  while (!m_connections.empty()) Close(*m_connections.back());
  Sweep();
}

void CInstanceChannel::AcceptAll() {
  Sweep();
  for (;;) {
    const int fd = accept4(m_listener, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
    if (fd < 0) {
      if (errno == EINTR || errno == ECONNABORTED) continue;
      return;  // EAGAIN: all taken; anything else: try again at the next wake-up
    }
    if (!PeerIsUs(fd) || m_connections.size() >= kMaxConnections) {
      close(fd);
      continue;
    }
    auto connection = std::make_unique<Connection>();
    connection->fd = fd;
    connection->notifier = std::make_unique<QSocketNotifier>(fd, QSocketNotifier::Read);
    Connection* raw = connection.get();
    QObject::connect(raw->notifier.get(), &QSocketNotifier::activated,
                     [this, raw] { ReadFrom(*raw); });
    m_connections.push_back(std::move(connection));
  }
}

void CInstanceChannel::ReadFrom(Connection& connection) {
  Sweep();
  char chunk[4096];
  bool ended = false;  // the sender sends no more
  for (;;) {
    const ssize_t n = recv(connection.fd, chunk, sizeof chunk, 0);
    if (n > 0) {
      connection.buffer.append(chunk, static_cast<std::size_t>(n));
      if (connection.buffer.size() > kHeadSize + kMaxPathLength) break;  // the rest waits
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    ended = n == 0 || (errno != EAGAIN && errno != EWOULDBLOCK);
    break;
  }

  // Answers every complete request, in order.
  while (connection.buffer.size() >= kHeadSize) {
    const auto* head = reinterpret_cast<const unsigned char*>(connection.buffer.data());
    const std::uint32_t length = GetUint32(head + 5);
    if (length > kMaxPathLength || head[0] < InstanceRequest::kShare ||
        head[0] > InstanceRequest::kPassword) {
      Close(connection);
      return;
    }
    if (connection.buffer.size() < kHeadSize + length) break;  // the rest is yet to come
    InstanceRequest request;
    request.kind = static_cast<InstanceRequest::Kind>(head[0]);
    request.share_mode = static_cast<std::int32_t>(GetUint32(head + 1));
    request.path = connection.buffer.substr(kHeadSize, length);
    connection.buffer.erase(0, kHeadSize + length);
    if (request.kind == InstanceRequest::kPassword) {
      const std::size_t end = request.path.find('\0');
      if (end == std::string::npos) {
        Close(connection);
        return;
      }
      request.secret = request.path.substr(end + 1);
      request.path.resize(end);
    }

    std::string text;
    const bool done = m_handler && m_handler(request, text);
    std::string reply(1, done ? 1 : 0);
    if (InstanceRequest::AnswersWithText(request.kind)) {
      if (text.size() > kMaxAnswerLength) text.resize(kMaxAnswerLength);
      PutUint32(reply, static_cast<std::uint32_t>(text.size()));
      reply += text;
    }
    if (!SendAll(connection.fd, reply, std::chrono::steady_clock::now() + kAnswerPatience)) {
      Close(connection);
      return;
    }
    const char answer = reply[0];
    if (request.kind == InstanceRequest::kExit && answer == 1) {
      // Kept open until the very end: its closing tells the sender the instance has ended.
      connection.notifier->setEnabled(false);
      m_exit_senders.push_back(connection.fd);
      connection.fd = -1;
      Close(connection);
      return;
    }
  }
  if (ended) Close(connection);
}

void CInstanceChannel::Close(Connection& connection) {
  if (connection.notifier) connection.notifier->setEnabled(false);
  if (connection.fd >= 0) close(connection.fd);
  connection.fd = -1;
  auto it = std::find_if(m_connections.begin(), m_connections.end(),
                         [&](const auto& held) { return held.get() == &connection; });
  if (it != m_connections.end()) {
    m_closed.push_back(std::move(*it));
    m_connections.erase(it);
  }
}

void CInstanceChannel::Sweep() {
  m_closed.clear();
}

#include "service/FileSender.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/sendfile.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <memory>

#include "base/FileDescriptor.h"
#include "base/PathText.h"
#include "service/FileIcon.h"
#include "service/HttpDate.h"

namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

// One sendfile call moves at most this much, so a stop is noticed between calls on a fast link.
constexpr std::uint64_t kZeroCopyChunk = 8 << 20;
// The buffer of the reading way.
constexpr std::size_t kReadBlock = 256 << 10;
// A body up to this size is read and sent in one piece with the header: fewer calls than
// sendfile and its mode switches, and one packet instead of two.
constexpr std::uint64_t kSmallBody = 64 << 10;
// Waits for the client are cut into slices of this, so a stop is noticed within one.
constexpr milliseconds kPollSlice = std::chrono::seconds(1);

// Puts a socket into non-blocking mode for its lifetime, so that sendfile never waits longer
// than a poll slice; the earlier mode comes back afterwards.
class NonBlockingScope {
 public:
  explicit NonBlockingScope(int socket) : m_socket(socket), m_flags(fcntl(socket, F_GETFL)) {
    if (m_flags >= 0 && (m_flags & O_NONBLOCK) == 0) fcntl(m_socket, F_SETFL, m_flags | O_NONBLOCK);
  }
  ~NonBlockingScope() {
    if (m_flags >= 0 && (m_flags & O_NONBLOCK) == 0) fcntl(m_socket, F_SETFL, m_flags);
  }
  NonBlockingScope(const NonBlockingScope&) = delete;
  NonBlockingScope& operator=(const NonBlockingScope&) = delete;

 private:
  int m_socket;
  int m_flags;
};

// The name between the quotes of a Content-Disposition filename. Escaping quotes and
// backslashes keeps the quoted text closed where it should be; a CR or LF in a file name
// would otherwise end the header early and let the name write headers of its own.
std::string QuotedFileName(std::string_view name) {
  std::string quoted;
  quoted.reserve(name.size());
  for (char c : name) {
    if (c == '"' || c == '\\') {
      quoted += '\\';
      quoted += c;
    } else if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) {
      quoted += '_';
    } else {
      quoted += c;
    }
  }
  return quoted;
}

// The time of the running program's file: the icons drawn into it change with it alone.
std::time_t ProgramTime() {
  static const std::time_t time = [] {
    struct stat info {};
    return stat("/proc/self/exe", &info) == 0 ? info.st_mtime : std::time_t{0};
  }();
  return time;
}

// The header lines that let a browser keep a reply modified at time.
std::string CacheLines(std::time_t time) {
  return "Cache-Control: max-age=" + std::to_string(CFileSender::kCacheSeconds) +
         "\r\nLast-Modified: " + tessel::FormatHttpDate(time) + "\r\n";
}

// Whether the browser's copy is the one of time: its validator is what we sent, exactly.
bool NotModified(std::optional<std::time_t> if_modified_since, std::time_t time) {
  return if_modified_since && *if_modified_since == time;
}

std::string NotModifiedReply(std::time_t time) {
  return "HTTP/1.0 304 Not Modified\r\n" + CacheLines(time) + "\r\n";
}

}  // namespace

bool CFileSender::SendFile(int socket, const std::string& local_path, const ByteRange& range,
                           std::string_view display_name, std::uint64_t& bytes_sent,
                           std::string_view content_type) const {
  return SendFileCached(socket, local_path, range, display_name, bytes_sent, content_type, false,
                        std::nullopt);
}

bool CFileSender::SendWebFile(int socket, const std::string& local_path, const ByteRange& range,
                              std::optional<std::time_t> if_modified_since,
                              std::string_view content_type, std::uint64_t& bytes_sent) const {
  return SendFileCached(socket, local_path, range, {}, bytes_sent, content_type, true,
                        if_modified_since);
}

bool CFileSender::SendFileCached(int socket, const std::string& local_path, const ByteRange& range,
                                 std::string_view display_name, std::uint64_t& bytes_sent,
                                 std::string_view content_type, bool cache,
                                 std::optional<std::time_t> if_modified_since) const {
  bytes_sent = 0;
  if (display_name.empty()) display_name = tessel::LastComponent(local_path);
  // Non-blocking, so that a pipe placed where a file was expected cannot hold the worker.
  const tessel::FileDescriptor file(
      open(local_path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK));
  struct stat info {};
  if (file.get() < 0 || fstat(file.get(), &info) != 0 || !S_ISREG(info.st_mode)) return false;
  // The validator comes before any range.
  if (cache && NotModified(if_modified_since, info.st_mtime))
    return m_service.SendString(socket, NotModifiedReply(info.st_mtime));

  const std::uint64_t size = static_cast<std::uint64_t>(info.st_size);
  // A range from the end or beyond names no byte. The reply says so with the size, from which a
  // resuming client learns it has the whole file.
  if (!range.Satisfiable(size)) {
    return m_service.SendString(socket,
                                "HTTP/1.0 416 Range Not Satisfiable\r\nAccept-Ranges: bytes\r\n"
                                "Content-Range: bytes */" +
                                    std::to_string(size) + "\r\nContent-Length: 0\r\n\r\n");
  }
  const auto [start, length] = range.Resolve(size);
  // A range that stops before the last byte says so in its Content-Range and Content-Length.
  const bool ends_early = length > 0 && start + length < size;

  std::string head;
  if (start > 0 || ends_early) {
    const std::uint64_t last = ends_early ? start + length - 1 : size - 1;
    head = "HTTP/1.0 206 Partial Content\r\nAccept-Ranges: bytes\r\nContent-Type: " +
           std::string(content_type) + "\r\nContent-Length: " + std::to_string(length) +
           "\r\nContent-Range: bytes " + std::to_string(start) + "-" + std::to_string(last) + "/" +
           std::to_string(size) + "\r\n";
  } else {
    head = "HTTP/1.0 200 OK\r\nAccept-Ranges: bytes\r\nContent-Type: " + std::string(content_type) +
           "\r\nContent-Length: " + std::to_string(length) + "\r\n";
  }
  head += "Content-Disposition: attachment; filename=\"" + QuotedFileName(display_name) + "\"\r\n";
  if (cache) head += CacheLines(info.st_mtime);
  head += "\r\n";
  if (length <= kSmallBody)
    return SendWithHead(socket, file.get(), start, length, head, bytes_sent);
  if (!m_service.SendString(socket, head)) return false;
  return SendBody(socket, file.get(), start, length, bytes_sent);
}

bool CFileSender::SendWithHead(int socket, int file, std::uint64_t offset, std::uint64_t length,
                               std::string& head, std::uint64_t& bytes_sent) const {
  const std::size_t head_size = head.size();
  const auto want = static_cast<std::size_t>(length);
  head.resize(head_size + want);
  std::size_t got = 0;
  while (got < want) {
    const ssize_t read =
        pread(file, &head[head_size + got], want - got, static_cast<off_t>(offset + got));
    if (read < 0 && errno == EINTR) continue;
    if (read <= 0) break;  // the file shrank: what there is goes out, and the reply is short
    got += static_cast<std::size_t>(read);
  }
  head.resize(head_size + got);
  if (!m_service.SendString(socket, head)) return false;
  bytes_sent = got;
  return got == want;
}

bool CFileSender::SendBody(int socket, int file, std::uint64_t offset, std::uint64_t length,
                           std::uint64_t& bytes_sent) const {
  if (length == 0) return true;
  NonBlockingScope non_blocking(socket);
  bool unsupported = false;
  if (SendBodyZeroCopy(socket, file, offset, length, bytes_sent, unsupported)) return true;
  return unsupported && SendBodyByReading(socket, file, offset, length, bytes_sent);
}

bool CFileSender::SendBodyZeroCopy(int socket, int file, std::uint64_t offset, std::uint64_t length,
                                   std::uint64_t& bytes_sent, bool& unsupported) const {
  const milliseconds timeout = m_service.IoTimeout();
  std::uint64_t done = 0;
  Clock::time_point progress = Clock::now();
  while (done < length) {
    if (!m_service.IsRunning()) return false;
    off_t position = static_cast<off_t>(offset + done);
    const std::size_t count = static_cast<std::size_t>(std::min(length - done, kZeroCopyChunk));
    const ssize_t sent = sendfile(socket, file, &position, count);
    if (sent > 0) {
      done += static_cast<std::uint64_t>(sent);
      bytes_sent += static_cast<std::uint64_t>(sent);
      progress = Clock::now();
      continue;
    }
    // The file ended before the range did: it shrank while being sent. What was sent is
    // true; the connection's end tells the client the rest is missing.
    if (sent == 0) return false;
    if (errno == EINTR) continue;
    if ((errno == EINVAL || errno == ENOSYS) && done == 0) {
      unsupported = true;
      return false;
    }
    if (errno != EAGAIN) return false;
    const auto idle = std::chrono::duration_cast<milliseconds>(Clock::now() - progress);
    if (idle > timeout) return false;
    pollfd entry{socket, POLLOUT, 0};
    const milliseconds wait = std::min(kPollSlice, timeout - idle + milliseconds(1));
    if (poll(&entry, 1, static_cast<int>(wait.count())) < 0 && errno != EINTR) return false;
  }
  return true;
}

bool CFileSender::SendBodyByReading(int socket, int file, std::uint64_t offset,
                                    std::uint64_t length, std::uint64_t& bytes_sent) const {
  const auto buffer = std::make_unique<char[]>(kReadBlock);
  std::uint64_t done = 0;
  while (done < length) {
    const std::size_t want =
        static_cast<std::size_t>(std::min<std::uint64_t>(length - done, kReadBlock));
    const ssize_t got = pread(file, buffer.get(), want, static_cast<off_t>(offset + done));
    if (got < 0 && errno == EINTR) continue;
    // A short file (it shrank) ends the body; nothing is ever sent in place of missing bytes.
    if (got <= 0) return false;
    if (!m_service.SendAll(socket, buffer.get(), static_cast<std::size_t>(got))) return false;
    done += static_cast<std::uint64_t>(got);
    bytes_sent += static_cast<std::uint64_t>(got);
  }
  return true;
}

bool CFileSender::SendIcon(int socket, const std::string& path,
                           std::optional<std::time_t> if_modified_since) const {
  // The item's own time changes when it is replaced, perhaps by another kind of item.
  struct stat info {};
  std::time_t time = ProgramTime();
  if (path != ".." && stat(path.c_str(), &info) == 0) time = std::max(time, info.st_mtime);
  if (NotModified(if_modified_since, time)) {
    m_service.SendString(socket, NotModifiedReply(time));
    return true;
  }
  const std::string gif = tessel::FileIconGif(path);
  m_service.SendString(socket, "HTTP/1.0 200 OK\r\nAccept-Ranges: bytes\r\nContent-Length: " +
                                   std::to_string(gif.size()) +
                                   "\r\nContent-Type: application/octet-stream\r\n"
                                   "Content-Disposition: attachment; filename=\"file.gif\"\r\n" +
                                   CacheLines(time) + "\r\n" + gif);
  return true;
}

#include "service/FileSender.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

#include "base/FileDescriptor.h"
#include "base/PathText.h"
#include "service/Connection.h"
#include "service/FileIcon.h"
#include "service/HttpDate.h"

namespace {

// A body up to this size is read and sent in one piece with the header: fewer calls than
// sendfile and its mode switches, and one packet instead of two.
constexpr std::uint64_t kSmallBody = 64 << 10;

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
void AddCacheLines(CReplyHead& head, std::time_t time) {
  head.Add("Cache-Control", "max-age=" + std::to_string(CFileSender::kCacheSeconds))
      .Add("Last-Modified", tessel::FormatHttpDate(time));
}

// Whether the browser's copy is the one of time: its validator is what we sent, exactly.
bool NotModified(std::optional<std::time_t> if_modified_since, std::time_t time) {
  return if_modified_since && *if_modified_since == time;
}

ReplyOutcome SendNotModified(CConnection& connection, std::time_t time) {
  CReplyHead head(connection.ReplyVersion(), 304, "Not Modified");
  AddCacheLines(head, time);
  return {head.Status(), 0, connection.SendString(head.Finish())};
}

}  // namespace

ReplyOutcome CFileSender::SendFile(CConnection& connection, const std::string& local_path,
                                   const ByteRange& range, std::string_view display_name,
                                   std::string_view content_type, bool private_reply) const {
  return SendFileCached(connection, local_path, range, display_name, content_type,
                        private_reply ? Caching::kPrivate : Caching::kNone, std::nullopt);
}

ReplyOutcome CFileSender::SendWebFile(CConnection& connection, const std::string& local_path,
                                      const ByteRange& range,
                                      std::optional<std::time_t> if_modified_since,
                                      std::string_view content_type) const {
  return SendFileCached(connection, local_path, range, {}, content_type, Caching::kPublic,
                        if_modified_since);
}

ReplyOutcome CFileSender::SendFileCached(CConnection& connection, const std::string& local_path,
                                         const ByteRange& range, std::string_view display_name,
                                         std::string_view content_type, Caching caching,
                                         std::optional<std::time_t> if_modified_since) const {
  const bool cache = caching == Caching::kPublic;
  if (display_name.empty()) display_name = tessel::LastComponent(local_path);
  // Non-blocking, so that a pipe placed where a file was expected cannot hold the worker.
  const tessel::FileDescriptor file(
      open(local_path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK));
  struct stat info {};
  if (file.get() < 0 || fstat(file.get(), &info) != 0 || !S_ISREG(info.st_mode)) return {};
  // The validator comes before any range.
  if (cache && NotModified(if_modified_since, info.st_mtime))
    return SendNotModified(connection, info.st_mtime);

  const auto size = static_cast<std::uint64_t>(info.st_size);
  // A range from the end or beyond names no byte. The reply says so with the size, from which a
  // resuming client learns it has the whole file.
  if (!range.Satisfiable(size)) return SendNotSatisfiable(connection, size);
  const ByteRange::Span span = range.Resolve(size);
  const auto [start, length] = span;
  CReplyHead head = DownloadHead(connection, size, span, content_type, display_name);
  if (cache) AddCacheLines(head, info.st_mtime);
  if (caching == Caching::kPrivate) head.Add("Cache-Control", "private");
  std::string& text = head.Finish();
  if (length <= kSmallBody)
    return SendWithHead(connection, file.get(), start, length, text, head.Status());
  ReplyOutcome outcome{head.Status(), 0, false};
  if (!connection.SendString(text)) return outcome;
  outcome.complete = connection.SendFileRange(file.get(), start, length, outcome.body_sent);
  return outcome;
}

CReplyHead CFileSender::DownloadHead(const CConnection& connection, std::uint64_t size,
                                     const ByteRange::Span& span, std::string_view content_type,
                                     std::string_view display_name) {
  const auto [start, length] = span;
  // A range that stops before the last byte says so in its Content-Range and Content-Length.
  const bool ends_early = length > 0 && start + length < size;
  const bool partial = start > 0 || ends_early;
  CReplyHead head(connection.ReplyVersion(), partial ? 206 : 200,
                  partial ? "Partial Content" : "OK");
  head.Add("Accept-Ranges", "bytes")
      .Add("Content-Type", content_type)
      .Add("Content-Length", length);
  if (partial) {
    const std::uint64_t last = ends_early ? start + length - 1 : size - 1;
    head.Add("Content-Range", "bytes " + std::to_string(start) + "-" + std::to_string(last) + "/" +
                                  std::to_string(size));
  }
  head.Add("Content-Disposition", "attachment; filename=\"" + QuotedFileName(display_name) + "\"");
  return head;
}

ReplyOutcome CFileSender::SendNotSatisfiable(CConnection& connection, std::uint64_t size) {
  CReplyHead head(connection.ReplyVersion(), 416, "Range Not Satisfiable");
  head.Add("Accept-Ranges", "bytes")
      .Add("Content-Range", "bytes */" + std::to_string(size))
      .Add("Content-Length", "0");
  return {head.Status(), 0, connection.SendString(head.Finish())};
}

ReplyOutcome CFileSender::SendWithHead(CConnection& connection, int file, std::uint64_t offset,
                                       std::uint64_t length, std::string& head, int status) {
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
  if (!connection.SendString(head)) return {status, 0, false};
  connection.AddProgress(got);
  return {status, got, got == want};
}

ReplyOutcome CFileSender::SendIcon(CConnection& connection, const std::string& path,
                                   std::optional<std::time_t> if_modified_since) const {
  // The item's own time changes when it is replaced, perhaps by another kind of item.
  struct stat info {};
  std::time_t time = ProgramTime();
  if (path != ".." && stat(path.c_str(), &info) == 0) time = std::max(time, info.st_mtime);
  if (NotModified(if_modified_since, time)) return SendNotModified(connection, time);
  const std::string gif = tessel::FileIconGif(path);
  CReplyHead head(connection.ReplyVersion(), 200, "OK");
  head.Add("Accept-Ranges", "bytes")
      .Add("Content-Length", gif.size())
      .Add("Content-Type", kDownloadType)
      .Add("Content-Disposition", "attachment; filename=\"file.gif\"");
  AddCacheLines(head, time);
  std::string& text = head.Finish();
  text += gif;
  return {head.Status(), gif.size(), connection.SendString(text)};
}

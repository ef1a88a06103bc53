#include "service/FolderZipSender.h"

#include <poll.h>

#include "service/FileSender.h"
#include "service/ServiceBasic.h"
#include "service/SlotQueue.h"
#include "service/ZipLayout.h"
#include "service/ZipStream.h"

namespace {

// Whether the client has closed its side. Nothing is sent while waiting or walking, so a client
// that went away shows only as the end of what it sends; a request's stray bytes do not count.
bool ClientClosed(int socket) {
  pollfd entry{socket, POLLRDHUP, 0};
  return poll(&entry, 1, 0) > 0 && (entry.revents & (POLLRDHUP | POLLHUP | POLLERR)) != 0;
}

// The folder's last component, ignoring trailing separators.
std::string LastComponent(std::string folder) {
  while (folder.size() > 1 && folder.back() == '/') folder.pop_back();
  const std::size_t slash = folder.rfind('/');
  return slash == std::string::npos ? folder : folder.substr(slash + 1);
}

}  // namespace

bool CFolderZipSender::SendFolderZip(int socket, const std::string& folder,
                                     const HttpRequest& request, Report& report) const {
  report = Report{};
  const auto wanted = [this, socket] { return m_service.IsRunning() && !ClientClosed(socket); };
  CZipLayout layout;
  {
    CSlotQueue::Hold slot(m_slots, request.client_ip, wanted, m_slot_wait);
    if (slot.outcome() == CSlotQueue::Outcome::kTimedOut) {
      report.busy = true;
      return m_service.SendString(socket, "HTTP/1.0 503 Service Unavailable\r\nRetry-After: " +
                                              std::to_string(kRetryAfter) +
                                              "\r\nContent-Length: 0\r\n\r\n");
    }
    if (slot.outcome() != CSlotQueue::Outcome::kTaken) return false;
    if (!layout.Build(folder, m_bounded ? &m_boundary : nullptr, wanted)) return false;
  }
  const std::uint64_t size = layout.Length();
  const std::string etag = layout.ETag();
  report.walked = true;
  report.archive_size = size;

  // A range of another archive than this one would splice two: the whole archive instead.
  ByteRange range = request.range;
  if (request.has_if_range && request.if_range != etag) range = ByteRange{};
  report.span = range.Resolve(size);
  if (!range.Satisfiable(size))
    return m_service.SendString(socket, CFileSender::NotSatisfiableReply(size));
  const ByteRange::Span span = range.Resolve(size);
  report.span = span;
  std::string head = CFileSender::DownloadHead(size, span, CFileSender::kDownloadType,
                                               LastComponent(folder) + ".zip") +
                     "ETag: " + etag + "\r\n\r\n";
  if (span.length == 0) return m_service.SendString(socket, head);

  CZipStream stream(layout, &m_crcs);
  // The head goes out with the first block: one packet for a small archive.
  const bool sent = stream.Write(
      span.start, span.start + span.length,
      [&](const char* data, std::size_t length) {
        bool ok = false;
        if (!head.empty()) {
          head.append(data, length);
          ok = m_service.SendAll(socket, head.data(), head.size());
          head.clear();
          head.shrink_to_fit();
        } else {
          ok = m_service.SendAll(socket, data, length);
        }
        if (ok) report.bytes_sent += length;
        return ok;
      },
      [this] { return m_service.IsRunning(); });
  report.changed = stream.Changed();
  return sent;
}

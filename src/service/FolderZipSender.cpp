#include "service/FolderZipSender.h"

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>

#include "base/PathText.h"
#include "service/Connection.h"
#include "service/FileSender.h"
#include "service/SlotQueue.h"
#include "service/ZipLayout.h"
#include "service/ZipStream.h"

namespace {

// Holds back part-filled packets while set: each entry's small header then leaves with the
// data after it rather than as a packet of its own. Uncorking at the end sends the rest.
class Cork {
 public:
  explicit Cork(int socket) : m_socket(socket) { Set(1); }
  ~Cork() { Set(0); }
  Cork(const Cork&) = delete;
  Cork& operator=(const Cork&) = delete;

 private:
  void Set(int on) const { setsockopt(m_socket, IPPROTO_TCP, TCP_CORK, &on, sizeof on); }
  int m_socket;
};

}  // namespace

ReplyOutcome CFolderZipSender::SendFolderZip(CConnection& connection, const std::string& folder,
                                             const HttpRequest& request, Report& report) const {
  report = Report{};
  // Nothing is sent while waiting or walking, so a client that went away shows only as the end
  // of what it sends.
  const auto wanted = [&connection] { return connection.IsRunning() && !connection.PeerClosed(); };
  CZipLayout layout;
  {
    CSlotQueue::Hold slot(m_slots, request.client_ip, wanted, m_slot_wait);
    if (slot.outcome() == CSlotQueue::Outcome::kTimedOut) {
      report.busy = true;
      CReplyHead head(connection.ReplyVersion(), 503, "Service Unavailable");
      head.Add("Retry-After", static_cast<std::uint64_t>(kRetryAfter)).Add("Content-Length", "0");
      return {head.Status(), 0, connection.SendString(head.Finish())};
    }
    if (slot.outcome() != CSlotQueue::Outcome::kTaken) return {};
    if (!layout.Build(folder, m_bounded ? &m_boundary : nullptr, wanted)) return {};
  }
  const std::uint64_t size = layout.Length();
  const std::string etag = layout.ETag();
  report.walked = true;
  report.archive_size = size;

  // A range of another archive than this one would splice two: the whole archive instead.
  ByteRange range = request.range;
  if (request.has_if_range && request.if_range != etag) range = ByteRange{};
  report.span = range.Resolve(size);
  if (!range.Satisfiable(size)) return CFileSender::SendNotSatisfiable(connection, size);
  if (m_transfer) m_transfer->SetTotal(static_cast<std::int64_t>(report.span.length));
  CReplyHead reply =
      CFileSender::DownloadHead(connection, size, report.span, CFileSender::kDownloadType,
                                std::string(tessel::LastComponent(folder)) + ".zip");
  reply.Add("ETag", etag);
  if (m_private) reply.Add("Cache-Control", "private");
  std::string head = std::move(reply.Finish());
  ReplyOutcome outcome{reply.Status(), 0, false};

  CZipStream stream(layout, &m_crcs);
  const Cork cork(connection.Descriptor());
  // The head goes out with the first block: one packet for a small archive.
  outcome.complete = stream.Write(
      report.span.start, report.span.start + report.span.length,
      [&](const char* data, std::size_t length) {
        bool sent = false;
        if (!head.empty()) {
          head.append(data, length);
          sent = connection.SendAll(head.data(), head.size());
          head.clear();
          head.shrink_to_fit();
        } else {
          sent = connection.SendAll(data, length);
        }
        if (sent) {
          outcome.body_sent += length;
          connection.AddProgress(length);
        }
        return sent;
      },
      [&connection] { return connection.IsRunning(); },
      [&](int file, std::uint64_t offset, std::uint64_t length) {
        if (!head.empty() && !connection.SendString(head)) return false;
        head.clear();
        return connection.SendFileRange(file, offset, length, outcome.body_sent);
      });
  report.changed = stream.Changed();
  return outcome;
}

#pragma once
#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

#include "service/HttpRequest.h"
#include "service/Reply.h"
#include "service/TransferRegistry.h"
#include "store/ShareBoundary.h"

class CConnection;
class CSlotQueue;
class CZipCrcCache;

// Sends a folder tree as one stored zip archive, written as it is sent, straight from the files:
// its exact length, byte ranges and a validator come from one walk of the tree, so the first
// byte leaves as soon as the walk is done, and no temporary file is ever made.
class CFolderZipSender {
 public:
  // Walks that may run at once. Sending needs no slot (it costs what a file's download does);
  // the walk of a large tree is the part that reads many folders in one go.
  static constexpr int kMaxWalks = 4;
  // How long a request waits for a walk's slot before "503 Service Unavailable".
  static constexpr std::chrono::milliseconds kSlotWait = std::chrono::seconds(10);
  // The Retry-After of that reply, in seconds.
  static constexpr int kRetryAfter = 10;

  // What one send found, beside its reply's outcome.
  struct Report {
    std::uint64_t archive_size = 0;
    bool walked = false;               // the archive's size, and so the span, are known
    ByteRange::Span span;              // the part of the archive the reply is for
    bool busy = false;                 // answered 503: no slot within the wait
    std::vector<std::string> changed;  // files that changed while being sent
  };

  // Both must outlive this object; the send is given up when the service stops.
  CFolderZipSender(CSlotQueue& walk_slots, CZipCrcCache& crcs,
                   std::chrono::milliseconds slot_wait = kSlotWait)
      : m_slots(walk_slots), m_crcs(crcs), m_slot_wait(slot_wait) {}

  // Walks folder (its items are the top entries) holding a slot of client's, then sends the
  // archive (or the part the request's range names, unless an If-Range names another archive)
  // as "<folder's last component>.zip" with its ETag. Nothing is sent (status 0) when the walk
  // finds no folder, or the client left or the service stopped while waiting or walking. With no
  // slot within the wait, the reply is 503 with Retry-After.
  ReplyOutcome SendFolderZip(CConnection& connection, const std::string& folder,
                             const HttpRequest& request, Report& report) const;

  // Links in the folder are followed only where the boundary admits their target (by default
  // every link is followed).
  void SetBoundary(const CShareBoundary& boundary) {
    m_boundary = boundary;
    m_bounded = true;
  }
  // The archive is sent for the visitor alone (a folder only some visitors may have).
  void SetPrivate(bool private_reply) { m_private = private_reply; }
  // The running transfer the archive is, told its length once the walk has found it.
  void Track(CTransferRegistry::Transfer* transfer) { m_transfer = transfer; }

 private:
  CSlotQueue& m_slots;
  CZipCrcCache& m_crcs;
  std::chrono::milliseconds m_slot_wait;
  bool m_private = false;
  CShareBoundary m_boundary;
  bool m_bounded = false;
  CTransferRegistry::Transfer* m_transfer = nullptr;
};

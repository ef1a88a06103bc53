#pragma once
#include <cstdint>
#include <string>

#include "service/ByteRange.h"
#include "service/Reply.h"
#include "store/ShareBoundary.h"

class CConnection;
class CFileSender;
class CSlotQueue;

// Sends a folder tree as one zip archive, built whole in a temporary file first, so that it can
// be sent as an ordinary download with a length and byte ranges.
class CFolderZipSender {
 public:
  // Archives that may exist at once: each takes CPU to build and temporary disk space the size
  // of its folder's archive until its send ends.
  static constexpr int kMaxArchives = 4;

  // Both must outlive this object; the archive is given up when the service stops. Each archive
  // holds one of slots from before its temporary file is made until that file is deleted.
  CFolderZipSender(const CFileSender& files, CSlotQueue& slots) : m_files(files), m_slots(slots) {}

  // Waits for a slot (the client sees no reply meanwhile), archives the contents of folder (not
  // the folder itself: its items are the top entries) into a new file "Tem..." of TempFolder(),
  // sends it (or the part the range names) as "<folder's last component>.zip", and deletes the
  // file, whatever happened. *archive_size (when given) receives the archive's size once it is
  // built (left alone otherwise). Nothing is sent (status 0) when the temporary file cannot be
  // made, the archive cannot be written whole (a damaged archive is never offered), or the
  // service stopped or the client closed the connection while waiting or building.
  ReplyOutcome SendFolderZip(CConnection& connection, const std::string& folder,
                             const ByteRange& range, std::uint64_t* archive_size = nullptr) const;

  // Links in the folder are followed only where the boundary admits their target (by default
  // every link is followed).
  void SetBoundary(const CShareBoundary& boundary) {
    m_boundary = boundary;
    m_bounded = true;
  }

  // The system's temporary folder: $TMPDIR when set and not empty, else /tmp.
  static std::string TempFolder();

 private:
  const CFileSender& m_files;
  CSlotQueue& m_slots;
  CShareBoundary m_boundary;
  bool m_bounded = false;
};

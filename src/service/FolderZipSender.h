#pragma once
#include <cstdint>
#include <string>

class CFileSender;

// Sends a folder tree as one zip archive, built whole in a temporary file first, so that it can
// be sent as an ordinary download with a length and byte ranges.
class CFolderZipSender {
 public:
  // The sender must outlive this object.
  explicit CFolderZipSender(const CFileSender& files) : files_(files) {}

  // Archives the contents of folder (not the folder itself: its items are the top entries) into
  // a new file "Tem..." of TempFolder(), sends it as "<folder's last component>.zip" with the
  // range as CFileSender::SendFile takes it, and deletes the file, whatever happened. bytes_sent
  // receives the body bytes delivered. False, with nothing sent, when the temporary file cannot
  // be made or the archive cannot be written whole (a damaged archive is never offered); false
  // also when sending fails.
  bool SendFolderZip(int socket, const std::string& folder, std::uint64_t range_start,
                     std::int64_t range_length, std::uint64_t& bytes_sent,
                     std::uint64_t range_suffix = 0) const;

  // The system's temporary folder: $TMPDIR when set and not empty, else /tmp.
  static std::string TempFolder();

 private:
  const CFileSender& files_;
};

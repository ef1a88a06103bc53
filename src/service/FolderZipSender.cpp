#include "service/FolderZipSender.h"

#include <fcntl.h>
#include <stdlib.h>
#include <unistd.h>

#include <filesystem>

#include "base/PathText.h"
#include "service/Connection.h"
#include "service/FileSender.h"
#include "service/SlotQueue.h"
#include "service/Zipper.h"

namespace {

// Deletes the temporary archive however the send ends.
class TempFile {
 public:
  explicit TempFile(std::string path) : m_path(std::move(path)) {}
  ~TempFile() { unlink(m_path.c_str()); }
  TempFile(const TempFile&) = delete;
  TempFile& operator=(const TempFile&) = delete;
  const std::string& path() const { return m_path; }

 private:
  std::string m_path;
};

}  // namespace

std::string CFolderZipSender::TempFolder() {
  const char* folder = getenv("TMPDIR");
  return folder != nullptr && *folder != '\0' ? folder : "/tmp";
}

ReplyOutcome CFolderZipSender::SendFolderZip(CConnection& connection, const std::string& folder,
                                             const ByteRange& range,
                                             std::uint64_t* archive_size) const {
  // Asked between items and blocks, and while waiting for a slot: nobody is left to want the
  // archive once the client has gone. Nothing is sent while an archive is built, so a client
  // that went away shows only as the end of what it sends.
  const auto wanted = [&connection] { return connection.IsRunning() && !connection.PeerClosed(); };
  const CSlotQueue::Hold slot(m_slots, wanted);
  if (!slot) return {};

  std::string pattern = TempFolder() + "/TemXXXXXX";
  const int fd = mkostemp(pattern.data(), O_CLOEXEC);
  if (fd < 0) return {};
  close(fd);
  const TempFile archive(pattern);

  // The folder is its own root, so its items are the archive's top entries.
  const std::string root = folder.empty() || folder.back() == '/' ? folder : folder + "/";
  CZipper zipper;
  // A large tree takes long to pack: neither a stop nor a client that left waits for it.
  zipper.SetKeepGoing(wanted);
  if (m_bounded) zipper.SetBoundary(m_boundary);
  if (!zipper.OpenZip(archive.path(), root)) return {};
  zipper.AddFolderToZip(root);
  if (!zipper.CloseZip()) return {};
  if (archive_size != nullptr) {
    std::error_code error;
    const std::uintmax_t size = std::filesystem::file_size(archive.path(), error);
    if (!error) *archive_size = size;
  }

  return m_files.SendFile(connection, archive.path(), range,
                          std::string(tessel::LastComponent(folder)) + ".zip");
}

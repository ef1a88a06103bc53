#include "service/Zipper.h"

#include <fcntl.h>
#include <minizip/zip.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <filesystem>
#include <vector>

#include "base/Utf8.h"
#include "service/FolderListing.h"
#include "service/ZipLayout.h"

namespace {

// Large reads keep the source disk streaming; minizip buffers its own output.
constexpr std::size_t kReadBlock = 256 * 1024;

// "Made by" Unix (host 3) with zip 4.5 features, so unzippers honour the Unix mode in the
// external attributes and the UTF-8 flag (some treat names from DOS hosts as a DOS code page).
constexpr uLong kVersionMadeBy = (3u << 8) | 45u;
constexpr uLong kFlagUtf8Names = 1u << 11;
constexpr uLong kDosDirectory = 0x10;
constexpr std::uint64_t kZip32Limit = 0xFFFFFFFFull;

zipFile Handle(void* archive) {
  return static_cast<zipFile>(archive);
}

std::uint64_t ReadLe(const unsigned char* p, int bytes) {
  std::uint64_t value = 0;
  for (int i = bytes - 1; i >= 0; --i) value = (value << 8) | p[i];
  return value;
}

bool ReadAt(int fd, void* buffer, std::size_t size, std::uint64_t offset) {
  auto* out = static_cast<unsigned char*>(buffer);
  while (size > 0) {
    const ssize_t n = pread(fd, out, size, static_cast<off_t>(offset));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    out += n, size -= static_cast<std::size_t>(n), offset += static_cast<std::uint64_t>(n);
  }
  return true;
}

bool WriteAt(int fd, const void* buffer, std::size_t size, std::uint64_t offset) {
  const auto* in = static_cast<const unsigned char*>(buffer);
  while (size > 0) {
    const ssize_t n = pwrite(fd, in, size, static_cast<off_t>(offset));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    in += n, size -= static_cast<std::size_t>(n), offset += static_cast<std::uint64_t>(n);
  }
  return true;
}

}  // namespace

CZipper::CZipper(std::uint64_t zip64_threshold) : m_zip64_threshold(zip64_threshold) {}

CZipper::~CZipper() {
  CloseZip();
}

bool CZipper::OpenZip(const std::string& zip_path, const std::string& root_folder) {
  CloseZip();
  if (zip_path.empty()) return false;
  std::error_code ec;
  const std::filesystem::path full = std::filesystem::absolute(zip_path, ec).lexically_normal();
  if (ec || !full.has_filename()) return false;
  std::string root;
  if (root_folder.empty()) {
    root = full.parent_path().string();
  } else {
    root = std::filesystem::absolute(root_folder, ec).lexically_normal().string();
    if (ec) return false;
  }
  if (root.empty() || root.back() != '/') root += '/';

  zipFile archive = zipOpen64(full.c_str(), APPEND_STATUS_CREATE);
  if (archive == nullptr) return false;
  m_archive = archive;
  struct stat st {};
  m_archive_id = stat(full.c_str(), &st) == 0 ? FileId(st.st_dev, st.st_ino) : FileId();
  m_zip_path = full.string();
  m_root = root;
  m_write_failed = false;
  m_used_zip64 = false;
  m_abandoned = false;
  m_open_folders.clear();
  m_linked_folders.clear();
  return true;
}

bool CZipper::EntryName(const std::string& path, std::string& full, std::string& name) const {
  const std::string joined = (!path.empty() && path.front() == '/') ? path : m_root + path;
  // Normalising first keeps "a/../../x" from naming an entry, or reading a file, outside the root.
  full = std::filesystem::path(joined).lexically_normal().string();
  if (full + "/" == m_root || full == m_root) {
    name.clear();
    return true;
  }
  if (full.compare(0, m_root.size(), m_root) != 0) return false;
  name = full.substr(m_root.size());
  while (!name.empty() && name.back() == '/') name.pop_back();
  return true;
}

bool CZipper::OpenEntry(const std::string& name, const struct stat& st, bool zip64) {
  zip_fileinfo info{};
  // The streamed archives share these times, entry for entry.
  info.dosDate = CZipLayout::DosTime(st.st_mtime);
  info.internal_fa = 0;
  info.external_fa =
      (static_cast<uLong>(st.st_mode & 0xFFFF) << 16) | (S_ISDIR(st.st_mode) ? kDosDirectory : 0);
  const uLong flags = tessel::IsValidUtf8(name) ? kFlagUtf8Names : 0;
  const int result = zipOpenNewFileInZip4_64(Handle(m_archive), name.c_str(), &info, nullptr, 0,
                                             nullptr, 0, nullptr, Z_DEFLATED, Z_DEFAULT_COMPRESSION,
                                             0, -MAX_WBITS, DEF_MEM_LEVEL, Z_DEFAULT_STRATEGY,
                                             nullptr, 0, kVersionMadeBy, flags, zip64 ? 1 : 0);
  if (result != ZIP_OK) {
    m_write_failed = true;
    return false;
  }
  if (zip64) m_used_zip64 = true;
  return true;
}

bool CZipper::CloseEntry() {
  if (zipCloseFileInZip(Handle(m_archive)) == ZIP_OK) return true;
  m_write_failed = true;
  return false;
}

bool CZipper::AddFolderToZip(const std::string& folder) {
  return AddFolder(folder, false);
}

bool CZipper::AddFolder(const std::string& folder, bool through_link) {
  if (m_archive == nullptr) return false;
  std::string full;
  std::string name;
  if (!EntryName(folder, full, name)) return false;
  struct stat st {};
  if (stat(full.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) return false;
  // A link up the tree would make the archive endless, and every link to a folder packed through
  // a link already (two links to one folder in each of a dozen levels) would multiply it: a
  // folder appears at most at its own place and under the first link that reaches it.
  const FileId id(st.st_dev, st.st_ino);
  if (m_open_folders.count(id) != 0) return false;
  if (through_link && !m_linked_folders.insert(id).second) return false;
  m_open_folders.insert(id);

  bool ok = name.empty() || (OpenEntry(name + "/", st, false) && CloseEntry());
  CFolderListing listing;
  if (ok && listing.Read(full, m_bounded ? &m_boundary : nullptr)) {
    const std::string prefix = full.back() == '/' ? full : full + "/";
    for (const FolderItem& item : listing.Items()) {
      if (Abandoned()) break;
      const std::string child = prefix + item.name;
      if (item.is_folder) {
        AddFolder(child, through_link || item.is_link);
      } else {
        AddFileToZip(child);
      }
    }
  }
  m_open_folders.erase(id);
  return ok && !m_abandoned;
}

bool CZipper::AddFileToZip(const std::string& file) {
  if (m_archive == nullptr) return false;
  std::string full;
  std::string name;
  if (!EntryName(file, full, name) || name.empty()) return false;

  // O_NONBLOCK: opening a pipe must not hang the archive; it is refused below anyway.
  const int fd = open(full.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
  if (fd < 0) return false;
  struct stat st {};
  // The archive itself may lie in the tree (a shared temporary folder): never copy it into itself.
  if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || FileId(st.st_dev, st.st_ino) == m_archive_id) {
    close(fd);
    return false;
  }
  posix_fadvise(fd, 0, 0, POSIX_FADV_SEQUENTIAL);

  const auto size = static_cast<std::uint64_t>(st.st_size);
  if (!OpenEntry(name, st, size >= m_zip64_threshold)) {
    close(fd);
    return false;
  }
  if (!m_buffer) m_buffer = std::make_unique<char[]>(kReadBlock);
  // Only the size seen at open is read: a file growing meanwhile must not outgrow the entry's
  // 32-bit form.
  std::uint64_t left = size;
  bool ok = true;
  while (left > 0) {
    if (Abandoned()) {
      ok = false;
      break;
    }
    const ssize_t n = read(fd, m_buffer.get(),
                           static_cast<std::size_t>(std::min<std::uint64_t>(left, kReadBlock)));
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) ok = false;
    if (n <= 0) break;
    if (zipWriteInFileInZip(Handle(m_archive), m_buffer.get(), static_cast<unsigned>(n)) !=
        ZIP_OK) {
      m_write_failed = true;
      ok = false;
      break;
    }
    left -= static_cast<std::uint64_t>(n);
  }
  if (!CloseEntry()) ok = false;
  close(fd);
  return ok;
}

bool CZipper::Abandoned() {
  if (!m_abandoned && m_keep_going && !m_keep_going()) m_abandoned = m_write_failed = true;
  return m_abandoned;
}

bool CZipper::CloseZip() {
  if (m_archive == nullptr) return true;
  bool ok = zipClose(Handle(m_archive), nullptr) == ZIP_OK && !m_write_failed;
  m_archive = nullptr;
  if (ok) {
    std::error_code ec;
    const std::uintmax_t size = std::filesystem::file_size(m_zip_path, ec);
    if (m_used_zip64 || (!ec && size >= kZip32Limit)) ok = RestoreMadeByUnix();
  }
  m_zip_path.clear();
  m_root.clear();
  m_open_folders.clear();
  m_linked_folders.clear();
  return ok;
}

// minizip rewrites "version made by" as 45 (host 0, DOS) for every entry it gives zip64 fields
// when closing it; put the Unix host back so unzippers still apply the names' UTF-8 flag and the
// Unix modes.
bool CZipper::RestoreMadeByUnix() const {
  const int fd = open(m_zip_path.c_str(), O_RDWR | O_CLOEXEC);
  if (fd < 0) return false;
  struct stat st {};
  unsigned char end[22];
  bool ok = fstat(fd, &st) == 0 && st.st_size >= 22 &&
            ReadAt(fd, end, sizeof end, static_cast<std::uint64_t>(st.st_size) - 22) &&
            ReadLe(end, 4) == 0x06054b50;
  std::uint64_t cd_size = ok ? ReadLe(end + 12, 4) : 0;
  std::uint64_t cd_offset = ok ? ReadLe(end + 16, 4) : 0;
  unsigned char locator[20];
  if (ok && st.st_size >= 22 + 20 + 56 &&
      ReadAt(fd, locator, sizeof locator, static_cast<std::uint64_t>(st.st_size) - 42) &&
      ReadLe(locator, 4) == 0x07064b50) {
    unsigned char end64[56];
    ok = ReadAt(fd, end64, sizeof end64, ReadLe(locator + 8, 8)) && ReadLe(end64, 4) == 0x06064b50;
    cd_size = ok ? ReadLe(end64 + 40, 8) : 0;
    cd_offset = ok ? ReadLe(end64 + 48, 8) : 0;
  }
  std::vector<unsigned char> cd;
  if (ok) {
    ok = cd_offset + cd_size <= static_cast<std::uint64_t>(st.st_size);
    if (ok) cd.resize(cd_size);
    ok = ok && ReadAt(fd, cd.data(), cd.size(), cd_offset);
  }
  bool changed = false;
  for (std::size_t pos = 0; ok && pos < cd.size();) {
    if (pos + 46 > cd.size() || ReadLe(&cd[pos], 4) != 0x02014b50) {
      ok = false;
      break;
    }
    if (cd[pos + 5] == 0) {
      cd[pos + 5] = kVersionMadeBy >> 8;
      changed = true;
    }
    pos += 46 + ReadLe(&cd[pos + 28], 2) + ReadLe(&cd[pos + 30], 2) + ReadLe(&cd[pos + 32], 2);
  }
  if (ok && changed) ok = WriteAt(fd, cd.data(), cd.size(), cd_offset);
  if (close(fd) != 0) ok = false;
  return ok;
}

#include "service/ZipStream.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <zlib.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace {

// Large blocks keep the disk streaming and the sends few.
constexpr std::size_t kBlock = 256 << 10;
// Smaller file data is copied into the block with the headers around it: fewer sends.
constexpr std::uint64_t kZeroCopyMin = 64 << 10;
// Files this large are worth a wider read-ahead; smaller ones are read whole by the first reads'
// own read-ahead, and the hint would be one more system call per entry.
constexpr std::uint64_t kSequentialMin = 1 << 20;

std::uint32_t Crc(std::uint32_t crc, const char* data, std::size_t size) {
  return static_cast<std::uint32_t>(
      crc32_z(crc, reinterpret_cast<const Bytef*>(data), static_cast<z_size_t>(size)));
}

// Closes a file descriptor on every way out.
class FileHandle {
 public:
  explicit FileHandle(int fd) : m_fd(fd) {}
  ~FileHandle() {
    if (m_fd >= 0) close(m_fd);
  }
  FileHandle(const FileHandle&) = delete;
  FileHandle& operator=(const FileHandle&) = delete;
  int get() const { return m_fd; }

 private:
  int m_fd;
};

}  // namespace

CZipStream::CZipStream(const CZipLayout& layout, CZipCrcCache* cache)
    : m_layout(layout),
      m_cache(cache),
      m_crcs(layout.Entries().size()),
      m_known(layout.Entries().size()) {}

CZipStream::~CZipStream() = default;

bool CZipStream::Write(std::uint64_t start, std::uint64_t end, const Sink& sink,
                       const KeepGoing& keep_going, const FileSink& file_sink) {
  end = std::min(end, m_layout.Length());
  if (start >= end) return true;
  if (!m_buffer) m_buffer = std::make_unique<char[]>(kBlock);
  m_used = 0;
  m_pos = start;
  m_end = end;
  m_sink = &sink;
  m_keep_going = &keep_going;
  m_file_sink = file_sink ? &file_sink : nullptr;

  const auto& entries = m_layout.Entries();
  // The first entry that reaches past start: the ones before it are skipped unread.
  std::size_t first = 0;
  for (std::size_t count = entries.size(); count > 0;) {
    const std::size_t half = count / 2;
    if (m_layout.EntryEnd(first + half) <= start) {
      first += half + 1;
      count -= half + 1;
    } else {
      count = half;
    }
  }
  for (std::size_t i = first; i < entries.size() && m_pos < m_end; ++i) {
    if (Stopped() || !Put(entries[i].offset, m_layout.LocalHeader(i)) || !Data(i)) return false;
    if (entries[i].folder || m_pos >= m_end) continue;
    std::uint32_t crc = 0;
    if (!EntryCrc(i, crc) || !Put(m_layout.DataEnd(i), m_layout.Descriptor(i, crc))) return false;
  }
  std::uint64_t at = m_layout.CentralStart();
  for (std::size_t i = 0; i < entries.size() && m_pos < m_end; ++i) {
    const std::uint64_t size = m_layout.CentralRecordSize(i);
    if (at + size > m_pos) {
      std::uint32_t crc = 0;
      if (!EntryCrc(i, crc) || !Put(at, m_layout.CentralRecord(i, crc))) return false;
    }
    at += size;
  }
  if (m_pos < m_end && !Put(at, m_layout.EndRecords())) return false;
  return Flush();
}

bool CZipStream::Put(std::uint64_t region_start, const std::string& bytes) {
  const std::uint64_t region_end = region_start + bytes.size();
  if (region_end <= m_pos || region_start >= m_end) return true;
  const std::uint64_t from = m_pos - region_start;
  const std::uint64_t to = std::min<std::uint64_t>(bytes.size(), m_end - region_start);
  m_pos += to - from;
  return Append(bytes.data() + from, static_cast<std::size_t>(to - from));
}

bool CZipStream::Append(const char* data, std::size_t size) {
  while (size > 0) {
    const std::size_t take = std::min(size, kBlock - m_used);
    std::memcpy(m_buffer.get() + m_used, data, take);
    m_used += take, data += take, size -= take;
    if (m_used == kBlock && !Flush()) return false;
  }
  return true;
}

bool CZipStream::Flush() {
  if (m_used == 0) return true;
  const std::size_t used = m_used;
  m_used = 0;
  return (*m_sink)(m_buffer.get(), used);
}

bool CZipStream::Data(std::size_t i) {
  const CZipLayout::Entry& entry = m_layout.Entries()[i];
  const std::uint64_t data_start = m_layout.DataStart(i);
  if (entry.folder || data_start + entry.size <= m_pos || data_start >= m_end) return true;
  const std::uint64_t from = m_pos - data_start;
  const std::uint64_t to = std::min(entry.size, m_end - data_start);
  struct stat opened {};
  const FileHandle file(OpenEntry(i, opened));
  if (file.get() >= 0 && to - from >= kSequentialMin)
    posix_fadvise(file.get(), 0, 0, POSIX_FADV_SEQUENTIAL);
  bool done = false;
  if (!DataZeroCopy(i, file.get(), opened, from, to, done)) return false;
  if (done) return true;

  std::uint32_t crc = Crc(0, nullptr, 0);
  bool short_read = file.get() < 0;
  for (std::uint64_t at = from; at < to;) {
    if (Stopped()) return false;
    char* room = m_buffer.get() + m_used;
    const auto want = static_cast<std::size_t>(std::min<std::uint64_t>(kBlock - m_used, to - at));
    ssize_t got = short_read ? 0 : pread(file.get(), room, want, static_cast<off_t>(at));
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) {
      short_read = true;
      std::memset(room, 0, want);
      got = static_cast<ssize_t>(want);
    }
    crc = m_split_crc.Update(crc, room, static_cast<std::size_t>(got));
    m_used += static_cast<std::size_t>(got);
    at += static_cast<std::uint64_t>(got);
    m_pos += static_cast<std::uint64_t>(got);
    if (m_used == kBlock && !Flush()) return false;
  }
  if (to < entry.size) return true;  // the range ends inside: no CRC is needed

  const bool unchanged = Unchanged(i, file.get(), short_read);
  if (!unchanged) NoteChanged(i);
  std::uint32_t whole = 0;
  if (from > 0 && unchanged && m_cache != nullptr && m_cache->Find(Path(i), Identity(i), whole)) {
    crc = whole;
  } else if (from > 0) {
    std::uint32_t head = 0;
    bool head_short = false;
    if (!ReadCrc(file.get(), 0, from, head, head_short)) return false;
    crc = static_cast<std::uint32_t>(crc32_combine(head, crc, static_cast<z_off_t>(to - from)));
    if (head_short) NoteChanged(i);
  }
  m_crcs[i] = crc;
  m_known[i] = true;
  if (unchanged && m_cache != nullptr) m_cache->Store(Path(i), Identity(i), crc);
  return true;
}

bool CZipStream::DataZeroCopy(std::size_t i, int file, const struct stat& opened,
                              std::uint64_t from, std::uint64_t to, bool& done) {
  done = false;
  const CZipLayout::Entry& entry = m_layout.Entries()[i];
  if (m_file_sink == nullptr || file < 0 || to - from < kZeroCopyMin) return true;
  // The CRC-32 is needed when the range reaches the entry's end: only a cached one will do, for
  // the file as it was walked and still is.
  const bool needs_crc = to == entry.size;
  std::uint32_t crc = 0;
  if (needs_crc && (m_known[i] || m_cache == nullptr || !Matches(i, opened) ||
                    !m_cache->Find(Path(i), Identity(i), crc)))
    return true;
  if (!Flush() || !(*m_file_sink)(file, from, to - from)) return false;
  m_pos += to - from;
  m_zero_copy_bytes += to - from;
  done = true;
  if (!needs_crc) return true;
  // Written to meanwhile, the file may have sent other bytes than the CRC-32 stands for.
  if (!Unchanged(i, file, false)) {
    NoteChanged(i);
    return false;
  }
  m_crcs[i] = crc;
  m_known[i] = true;
  return true;
}

bool CZipStream::EntryCrc(std::size_t i, std::uint32_t& crc) {
  const CZipLayout::Entry& entry = m_layout.Entries()[i];
  if (entry.folder) {
    crc = 0;
    return true;
  }
  if (m_known[i]) {
    crc = m_crcs[i];
    return true;
  }
  if (m_cache == nullptr || !m_cache->Find(Path(i), Identity(i), crc)) {
    struct stat opened {};
    const FileHandle file(OpenEntry(i, opened));
    bool short_read = false;
    if (!ReadCrc(file.get(), 0, entry.size, crc, short_read)) return false;
    if (Unchanged(i, file.get(), short_read)) {
      if (m_cache != nullptr) m_cache->Store(Path(i), Identity(i), crc);
    } else {
      NoteChanged(i);
    }
  }
  m_crcs[i] = crc;
  m_known[i] = true;
  return true;
}

bool CZipStream::ReadCrc(int file, std::uint64_t from, std::uint64_t to, std::uint32_t& crc,
                         bool& short_read) {
  if (!m_crc_buffer) m_crc_buffer = std::make_unique<char[]>(kBlock);
  crc = Crc(0, nullptr, 0);
  short_read = file < 0;
  for (std::uint64_t at = from; at < to;) {
    if (Stopped()) return false;
    const auto want = static_cast<std::size_t>(std::min<std::uint64_t>(kBlock, to - at));
    ssize_t got = short_read ? 0 : pread(file, m_crc_buffer.get(), want, static_cast<off_t>(at));
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) {
      short_read = true;
      std::memset(m_crc_buffer.get(), 0, want);
      got = static_cast<ssize_t>(want);
    }
    crc = m_split_crc.Update(crc, m_crc_buffer.get(), static_cast<std::size_t>(got));
    at += static_cast<std::uint64_t>(got);
    m_crc_only_bytes += static_cast<std::uint64_t>(got);
  }
  return true;
}

int CZipStream::OpenEntry(std::size_t i, struct stat& st) const {
  // Non-blocking, so that a pipe put where the file was cannot hold the send.
  const int fd = open(Path(i).c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
  if (fd >= 0 && (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode))) {
    close(fd);
    return -1;
  }
  return fd;
}

bool CZipStream::Unchanged(std::size_t i, int file, bool short_read) const {
  struct stat st {};
  return !short_read && file >= 0 && fstat(file, &st) == 0 && Matches(i, st);
}

bool CZipStream::Matches(std::size_t i, const struct stat& st) const {
  const CZipLayout::Entry& entry = m_layout.Entries()[i];
  return static_cast<std::uint64_t>(st.st_size) == entry.size && st.st_mtime == entry.mtime &&
         static_cast<std::uint32_t>(st.st_mtim.tv_nsec) == entry.mtime_nsec &&
         st.st_ino == entry.inode && st.st_dev == entry.device;
}

void CZipStream::NoteChanged(std::size_t i) {
  const std::string name(m_layout.Name(m_layout.Entries()[i]));
  if (m_changed.size() < kMaxChanged &&
      std::find(m_changed.begin(), m_changed.end(), name) == m_changed.end())
    m_changed.push_back(name);
}

CZipCrcCache::Identity CZipStream::Identity(std::size_t i) const {
  const CZipLayout::Entry& entry = m_layout.Entries()[i];
  return {entry.size, entry.mtime, entry.mtime_nsec, entry.device, entry.inode};
}

std::string CZipStream::Path(std::size_t i) const {
  return m_layout.Root() + std::string(m_layout.Name(m_layout.Entries()[i]));
}

#include "service/ZipLayout.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>

#include "base/Utf8.h"
#include "service/FolderListing.h"

namespace {

constexpr std::uint32_t kLocalSignature = 0x04034b50;
constexpr std::uint32_t kDescriptorSignature = 0x08074b50;
constexpr std::uint32_t kCentralSignature = 0x02014b50;
constexpr std::uint32_t kEnd64Signature = 0x06064b50;
constexpr std::uint32_t kLocatorSignature = 0x07064b50;
constexpr std::uint32_t kEndSignature = 0x06054b50;
// "Made by" Unix with zip 4.5 features, as CZipper writes it: unzippers then honour the Unix
// modes and the UTF-8 flag.
constexpr std::uint16_t kMadeBy = (3u << 8) | 45u;
constexpr std::uint16_t kNeeded = 20;
constexpr std::uint16_t kNeededZip64 = 45;
constexpr std::uint16_t kFlagDescriptor = 1u << 3;
constexpr std::uint16_t kFlagUtf8 = 1u << 11;
constexpr std::uint32_t kDosDirectory = 0x10;
constexpr std::uint64_t kLocalSize = 30;
constexpr std::uint64_t kCentralSize = 46;
constexpr std::uint64_t kLocalZip64Extra = 20;  // tag, length, both sizes
constexpr std::uint64_t kEnd64Size = 56;
constexpr std::uint64_t kLocatorSize = 20;
constexpr std::uint64_t kEndSize = 22;
constexpr std::uint64_t kMaxCount16 = 0xFFFF;

void Put16(std::string& out, std::uint64_t value) {
  for (int i = 0; i < 2; ++i) out += static_cast<char>((value >> (8 * i)) & 0xFF);
}
void Put32(std::string& out, std::uint64_t value) {
  for (int i = 0; i < 4; ++i) out += static_cast<char>((value >> (8 * i)) & 0xFF);
}
void Put64(std::string& out, std::uint64_t value) {
  for (int i = 0; i < 8; ++i) out += static_cast<char>((value >> (8 * i)) & 0xFF);
}
std::uint64_t Clamp32(std::uint64_t value) {
  return std::min(value, CZipLayout::kZip32Limit);
}

// FNV-1a, 64 bits: the validator only has to change when the walk does.
void Mix(std::uint64_t& hash, const void* data, std::size_t size) {
  const auto* bytes = static_cast<const unsigned char*>(data);
  for (std::size_t i = 0; i < size; ++i) hash = (hash ^ bytes[i]) * 0x100000001b3ull;
}
template <typename T>
void MixValue(std::uint64_t& hash, T value) {
  Mix(hash, &value, sizeof value);
}

}  // namespace

std::uint32_t CZipLayout::DosTime(std::time_t when) {
  std::tm local{};
  if (localtime_r(&when, &local) == nullptr || local.tm_year < 80) {
    local = std::tm{};
    local.tm_year = 80;
    local.tm_mday = 1;
  } else if (local.tm_year > 207) {
    local = std::tm{};
    local.tm_year = 207, local.tm_mon = 11, local.tm_mday = 31;
    local.tm_hour = 23, local.tm_min = 59, local.tm_sec = 58;
  }
  const auto sec = static_cast<std::uint32_t>(std::min(local.tm_sec, 59));
  const std::uint32_t date = static_cast<std::uint32_t>(local.tm_mday) +
                             32u * static_cast<std::uint32_t>(local.tm_mon + 1) +
                             512u * static_cast<std::uint32_t>(local.tm_year - 80);
  const std::uint32_t time = sec / 2 + 32u * static_cast<std::uint32_t>(local.tm_min) +
                             2048u * static_cast<std::uint32_t>(local.tm_hour);
  return (date << 16) | time;
}

bool CZipLayout::Build(const std::string& folder, const CShareBoundary* boundary,
                       const std::function<bool()>& keep_going) {
  m_entries.clear();
  m_names.clear();
  m_open_folders.clear();
  m_linked_folders.clear();
  m_boundary = boundary;
  m_keep_going = &keep_going;
  m_stopped = false;
  std::error_code ec;
  m_root = std::filesystem::absolute(folder, ec).lexically_normal().string();
  if (ec || m_root.empty()) return false;
  if (m_root.back() != '/') m_root += '/';
  struct stat st {};
  if (stat(m_root.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) return false;
  Walk(m_root, {}, false);
  m_open_folders.clear();
  m_linked_folders.clear();
  m_boundary = nullptr;
  m_keep_going = nullptr;
  if (m_stopped) {
    m_entries.clear();
    m_names.clear();
    return false;
  }
  // The list lives as long as the download: no room left over from its growth.
  m_entries.shrink_to_fit();
  m_names.shrink_to_fit();
  Place();
  return true;
}

// The walk of CZipper::AddFolder, entry for entry.
void CZipLayout::Walk(const std::string& full, const std::string& name, bool through_link) {
  // A tree of a million items takes long to walk: neither a stop nor a client that left waits.
  if (m_stopped || (*m_keep_going && !(*m_keep_going)())) {
    m_stopped = true;
    return;
  }
  struct stat st {};
  if (stat(full.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) return;
  const FileId id(st.st_dev, st.st_ino);
  if (m_open_folders.count(id) != 0) return;
  if (through_link && !m_linked_folders.insert(id).second) return;
  m_open_folders.insert(id);
  if (!name.empty()) Add(name + "/", st);

  CFolderListing listing;
  if (listing.Read(full, m_boundary)) {
    const std::string prefix = full.back() == '/' ? full : full + "/";
    const std::string name_prefix = name.empty() ? name : name + "/";
    for (const FolderItem& item : listing.Items()) {
      const std::string child = prefix + item.name;
      if (item.is_folder) {
        Walk(child, name_prefix + item.name, through_link || item.is_link);
        continue;
      }
      // A file that cannot be read is left out, as the deflating writer leaves it out.
      if (faccessat(AT_FDCWD, child.c_str(), R_OK, AT_EACCESS) != 0) continue;
      Add(name_prefix + item.name, item);
    }
  }
  m_open_folders.erase(id);
}

void CZipLayout::Add(const std::string& name, const struct stat& st) {
  FolderItem item;
  item.is_folder = S_ISDIR(st.st_mode);
  item.size = static_cast<std::uint64_t>(st.st_size);
  item.last_write = st.st_mtime;
  item.last_write_nsec = st.st_mtim.tv_nsec;
  item.mode = st.st_mode;
  item.device = st.st_dev;
  item.inode = st.st_ino;
  Add(name, item);
}

void CZipLayout::Add(const std::string& name, const FolderItem& item) {
  if (name.size() > 0xFFFF) return;
  Entry entry;
  entry.folder = item.is_folder;
  entry.size = entry.folder ? 0 : item.size;
  entry.mtime = item.last_write;
  entry.mtime_nsec = static_cast<std::uint32_t>(item.last_write_nsec);
  entry.device = item.device;
  entry.inode = item.inode;
  entry.mode = static_cast<std::uint16_t>(item.mode & 0xFFFF);
  entry.dos_time = DosTime(item.last_write);
  entry.name_start = static_cast<std::uint32_t>(m_names.size());
  entry.name_length = static_cast<std::uint16_t>(name.size());
  m_names += name;
  m_entries.push_back(entry);
}

void CZipLayout::Place() {
  std::uint64_t at = 0;
  m_central_size = 0;
  for (std::size_t i = 0; i < m_entries.size(); ++i) {
    m_entries[i].offset = at;
    at = EntryEnd(i);
    m_central_size += CentralRecordSize(i);
  }
  m_central_start = at;
  m_length = at + m_central_size + kEndSize;
  if (m_entries.size() >= kMaxCount16 || m_central_size >= kZip32Limit ||
      m_central_start >= kZip32Limit)
    m_length += kEnd64Size + kLocatorSize;
}

std::uint64_t CZipLayout::DataStart(std::size_t i) const {
  const Entry& entry = m_entries[i];
  return entry.offset + kLocalSize + entry.name_length + (LargeEntry(entry) ? kLocalZip64Extra : 0);
}

std::uint64_t CZipLayout::EntryEnd(std::size_t i) const {
  const Entry& entry = m_entries[i];
  if (entry.folder) return DataEnd(i);
  return DataEnd(i) + (LargeEntry(entry) ? 24 : 16);
}

std::uint16_t CZipLayout::Flags(const Entry& entry) const {
  return static_cast<std::uint16_t>((entry.folder ? 0 : kFlagDescriptor) |
                                    (tessel::IsValidUtf8(Name(entry)) ? kFlagUtf8 : 0));
}

std::string CZipLayout::LocalHeader(std::size_t i) const {
  const Entry& entry = m_entries[i];
  const bool large = LargeEntry(entry);
  std::string out;
  out.reserve(kLocalSize + entry.name_length + kLocalZip64Extra);
  Put32(out, kLocalSignature);
  Put16(out, large || entry.offset >= kZip32Limit ? kNeededZip64 : kNeeded);
  Put16(out, Flags(entry));
  Put16(out, 0);  // stored
  Put32(out, entry.dos_time);
  // The CRC follows the data; a header sent before it is known must not depend on whether it is.
  Put32(out, 0);
  Put32(out, Clamp32(entry.size));
  Put32(out, Clamp32(entry.size));
  Put16(out, entry.name_length);
  Put16(out, large ? kLocalZip64Extra : 0);
  out += Name(entry);
  if (large) {
    Put16(out, 1);
    Put16(out, 16);
    Put64(out, entry.size);
    Put64(out, entry.size);
  }
  return out;
}

std::string CZipLayout::Descriptor(std::size_t i, std::uint32_t crc) const {
  const Entry& entry = m_entries[i];
  std::string out;
  if (entry.folder) return out;
  Put32(out, kDescriptorSignature);
  Put32(out, crc);
  if (LargeEntry(entry)) {
    Put64(out, entry.size);
    Put64(out, entry.size);
  } else {
    Put32(out, entry.size);
    Put32(out, entry.size);
  }
  return out;
}

std::uint64_t CZipLayout::CentralRecordSize(std::size_t i) const {
  const Entry& entry = m_entries[i];
  const std::uint64_t fields = (LargeEntry(entry) ? 16 : 0) + (entry.offset >= kZip32Limit ? 8 : 0);
  return kCentralSize + entry.name_length + (fields > 0 ? 4 + fields : 0);
}

std::string CZipLayout::CentralRecord(std::size_t i, std::uint32_t crc) const {
  const Entry& entry = m_entries[i];
  const bool large = LargeEntry(entry);
  const bool far = entry.offset >= kZip32Limit;
  const std::uint64_t fields = (large ? 16 : 0) + (far ? 8 : 0);
  std::string out;
  out.reserve(CentralRecordSize(i));
  Put32(out, kCentralSignature);
  Put16(out, kMadeBy);
  Put16(out, large || far ? kNeededZip64 : kNeeded);
  Put16(out, Flags(entry));
  Put16(out, 0);
  Put32(out, entry.dos_time);
  Put32(out, entry.folder ? 0 : crc);
  Put32(out, Clamp32(entry.size));
  Put32(out, Clamp32(entry.size));
  Put16(out, entry.name_length);
  Put16(out, fields > 0 ? 4 + fields : 0);
  Put16(out, 0);  // comment
  Put16(out, 0);  // disk
  Put16(out, 0);  // internal attributes
  Put32(out, (static_cast<std::uint32_t>(entry.mode) << 16) | (entry.folder ? kDosDirectory : 0));
  Put32(out, Clamp32(entry.offset));
  out += Name(entry);
  if (fields > 0) {
    Put16(out, 1);
    Put16(out, fields);
    if (large) {
      Put64(out, entry.size);
      Put64(out, entry.size);
    }
    if (far) Put64(out, entry.offset);
  }
  return out;
}

std::string CZipLayout::EndRecords() const {
  const std::uint64_t count = m_entries.size();
  std::string out;
  if (m_length - m_central_start - m_central_size > kEndSize) {
    const std::uint64_t end64 = m_central_start + m_central_size;
    Put32(out, kEnd64Signature);
    Put64(out, kEnd64Size - 12);
    Put16(out, kMadeBy);
    Put16(out, kNeededZip64);
    Put32(out, 0);
    Put32(out, 0);
    Put64(out, count);
    Put64(out, count);
    Put64(out, m_central_size);
    Put64(out, m_central_start);
    Put32(out, kLocatorSignature);
    Put32(out, 0);
    Put64(out, end64);
    Put32(out, 1);
  }
  Put32(out, kEndSignature);
  Put16(out, 0);
  Put16(out, 0);
  Put16(out, std::min(count, kMaxCount16));
  Put16(out, std::min(count, kMaxCount16));
  Put32(out, Clamp32(m_central_size));
  Put32(out, Clamp32(m_central_start));
  Put16(out, 0);
  return out;
}

std::string CZipLayout::ETag() const {
  std::uint64_t hash = 0xcbf29ce484222325ull;
  for (const Entry& entry : m_entries) {
    const std::string_view name = Name(entry);
    MixValue(hash, entry.name_length);
    Mix(hash, name.data(), name.size());
    MixValue(hash, entry.size);
    MixValue(hash, entry.mtime);
    MixValue(hash, entry.mtime_nsec);
    MixValue(hash, entry.dos_time);
    MixValue(hash, entry.mode);
  }
  MixValue(hash, m_length);
  char text[24];
  std::snprintf(text, sizeof text, "\"%016llx\"", static_cast<unsigned long long>(hash));
  return text;
}

#pragma once

#include <sys/types.h>

#include <cstdint>
#include <ctime>
#include <functional>
#include <set>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "service/FolderListing.h"
#include "store/ShareBoundary.h"

// The layout of a stored (uncompressed) zip archive of a folder tree, fixed by one walk of the
// tree before any byte is written: every entry's place, the archive's exact length, and the
// bytes of every header. The entries are CZipper's, in its order, with its names, times and
// modes; files carry a data descriptor (flag bit 3) whose CRC-32 is known only once the data
// has been read. Zip64 records appear exactly where a size, an offset or the entry count needs
// them, including the local zip64 extra field of an entry of 4 GiB or more.
class CZipLayout {
 public:
  struct Entry {
    std::uint64_t offset = 0;  // of the local header in the archive
    std::uint64_t size = 0;    // data bytes (0 for folders), as the walk saw the file
    std::int64_t mtime = 0;
    std::uint64_t device = 0;
    std::uint64_t inode = 0;
    std::uint32_t name_start = 0;  // in the names buffer
    std::uint16_t name_length = 0;
    std::uint16_t mode = 0;  // the low 16 bits of st_mode
    std::uint32_t dos_time = 0;
    std::uint32_t mtime_nsec = 0;
    bool folder = false;
  };

  // Walks folder (its items become the top entries; the folder itself has none), leaving out
  // names beginning with ".", items that are not regular files or folders, files that cannot be
  // read, and links the boundary does not admit (when one is given). A folder reached through
  // symbolic links appears at most once, under the first link, and never inside itself.
  // keep_going, when given, is asked before each folder is read. False when folder is not a
  // folder, or keep_going said to stop.
  bool Build(const std::string& folder, const CShareBoundary* boundary = nullptr,
             const std::function<bool()>& keep_going = {});

  std::uint64_t Length() const { return m_length; }
  const std::vector<Entry>& Entries() const { return m_entries; }
  std::string_view Name(const Entry& entry) const {
    return std::string_view(m_names).substr(entry.name_start, entry.name_length);
  }
  // The folder walked, ending in "/": an entry's file is Root() + Name(entry).
  const std::string& Root() const { return m_root; }
  // A strong validator over the walk: every entry's name, size and time, and the length.
  std::string ETag() const;

  // Where the parts of entry i lie in the archive.
  std::uint64_t DataStart(std::size_t i) const;
  std::uint64_t DataEnd(std::size_t i) const { return DataStart(i) + m_entries[i].size; }
  std::uint64_t EntryEnd(std::size_t i) const;
  // Where the central directory begins; it runs to the end of the archive.
  std::uint64_t CentralStart() const { return m_central_start; }

  // The bytes of entry i's local header, and of its data descriptor (files only).
  std::string LocalHeader(std::size_t i) const;
  std::string Descriptor(std::size_t i, std::uint32_t crc) const;
  // Entry i's central directory record, and the records that end the archive.
  std::string CentralRecord(std::size_t i, std::uint32_t crc) const;
  std::string EndRecords() const;
  // The size of CentralRecord(i, ...).
  std::uint64_t CentralRecordSize(std::size_t i) const;

  // The MS-DOS date and time of when in local time, clamped to the years 1980 to 2107.
  static std::uint32_t DosTime(std::time_t when);

  // Entries of at least this many bytes, and offsets of at least this, need zip64 fields.
  static constexpr std::uint64_t kZip32Limit = 0xFFFFFFFFull;

 private:
  using FileId = std::pair<std::uint64_t, std::uint64_t>;

  void Walk(const std::string& full, const std::string& name, bool through_link);
  void Add(const std::string& name, const struct stat& st);
  void Add(const std::string& name, const FolderItem& item);
  void Place();
  bool LargeEntry(const Entry& entry) const { return entry.size >= kZip32Limit; }
  std::uint16_t Flags(const Entry& entry) const;

  std::string m_root;
  const CShareBoundary* m_boundary = nullptr;
  const std::function<bool()>* m_keep_going = nullptr;
  bool m_stopped = false;
  std::set<FileId> m_open_folders;
  std::set<FileId> m_linked_folders;
  std::vector<Entry> m_entries;
  std::string m_names;
  std::uint64_t m_central_start = 0;
  std::uint64_t m_central_size = 0;
  std::uint64_t m_length = 0;
};

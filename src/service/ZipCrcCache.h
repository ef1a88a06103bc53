#pragma once

#include <cstdint>
#include <mutex>
#include <string_view>
#include <unordered_map>

// CRC-32s of files read for zip downloads, so that resuming one does not read again what an
// earlier request read. A CRC holds only for the file it was read from: same path, size, time and
// inode. Bounded: past kMaxEntries it starts afresh. Safe for use by several threads.
class CZipCrcCache {
 public:
  static constexpr std::size_t kMaxEntries = 250000;

  struct Identity {
    std::uint64_t size = 0;
    std::int64_t mtime = 0;
    std::uint32_t mtime_nsec = 0;
    std::uint64_t device = 0;
    std::uint64_t inode = 0;
    bool operator==(const Identity&) const = default;
  };

  // The CRC stored for the file at path when it still has this identity.
  bool Find(std::string_view path, const Identity& identity, std::uint32_t& crc) const;
  void Store(std::string_view path, const Identity& identity, std::uint32_t crc);
  std::size_t Size() const;

 private:
  struct Value {
    Identity identity;
    std::uint32_t crc = 0;
  };

  mutable std::mutex m_mutex;
  // Keyed by the path's hash, which the identity guards: paths themselves would double the size.
  std::unordered_map<std::size_t, Value> m_values;
};

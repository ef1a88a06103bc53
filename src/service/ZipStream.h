#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

struct stat;

#include "service/SplitCrc.h"
#include "service/ZipCrcCache.h"
#include "service/ZipLayout.h"

// Writes any byte range of a laid-out archive, straight from the files. Entries wholly before
// the range are skipped unread; their CRC-32s, needed only for descriptors and the central
// directory, come from the cache or from reading the file without sending it. A file that
// changed since the walk still fills exactly its place: one that grew is cut at its walked size,
// one that shrank (or can no longer be read) is completed with zero bytes, and its CRC-32 is that
// of the bytes written, so the archive stays valid. Not for use by several threads at once.
class CZipStream {
 public:
  // Takes bytes in order; false stops the writing (the client left).
  using Sink = std::function<bool(const char* data, std::size_t size)>;
  // Asked between blocks; false stops the writing.
  using KeepGoing = std::function<bool()>;
  // Sends length bytes of the open file from offset, after what the sink took (sendfile);
  // false stops the writing.
  using FileSink = std::function<bool(int file, std::uint64_t offset, std::uint64_t length)>;

  // Layout (and cache, when given) must outlive this object.
  explicit CZipStream(const CZipLayout& layout, CZipCrcCache* cache = nullptr);
  ~CZipStream();
  CZipStream(const CZipStream&) = delete;
  CZipStream& operator=(const CZipStream&) = delete;

  // Hands the archive's bytes [start, end) (end clamped to the length) to sink, in blocks.
  // With a file sink, file data whose CRC-32 is not needed, or is known from the cache for the
  // file as walked, goes to it instead, unread; should such a file change while it goes out (its
  // CRC-32 then unknown), the writing stops rather than send a wrong one. False when a sink
  // refused some or keep_going said to stop.
  bool Write(std::uint64_t start, std::uint64_t end, const Sink& sink,
             const KeepGoing& keep_going = {}, const FileSink& file_sink = {});

  // Entry names of files that changed size or time between the walk and their reading, or that
  // could not be read whole (at most kMaxChanged of them).
  const std::vector<std::string>& Changed() const { return m_changed; }
  static constexpr std::size_t kMaxChanged = 20;
  // File bytes read only for their CRC-32, not written; file bytes handed to the file sink.
  std::uint64_t CrcOnlyBytes() const { return m_crc_only_bytes; }
  std::uint64_t ZeroCopyBytes() const { return m_zero_copy_bytes; }

 private:
  bool Put(std::uint64_t region_start, const std::string& bytes);
  bool Append(const char* data, std::size_t size);
  bool Flush();
  bool Data(std::size_t i);
  // Data(i)'s bytes [from, to) through the file sink, when that is sound; false in done when
  // it is not (nothing sent then).
  // opened is the file's status as it was opened.
  bool DataZeroCopy(std::size_t i, int file, const struct stat& opened, std::uint64_t from,
                    std::uint64_t to, bool& done);
  bool EntryCrc(std::size_t i, std::uint32_t& crc);
  // The CRC-32 of bytes [from, to) of file (-1: none), completed with zeros where it is short;
  // short_read tells whether it was.
  bool ReadCrc(int file, std::uint64_t from, std::uint64_t to, std::uint32_t& crc,
               bool& short_read);
  // The entry's file opened for reading (-1: none, or not a regular file), its status in opened.
  int OpenEntry(std::size_t i, struct stat& opened) const;
  // Whether the file still is as the walk saw it, and reading it ran whole.
  bool Unchanged(std::size_t i, int file, bool short_read) const;
  // Whether a status of the entry's file is the walk's.
  bool Matches(std::size_t i, const struct stat& st) const;
  void NoteChanged(std::size_t i);
  CZipCrcCache::Identity Identity(std::size_t i) const;
  std::string Path(std::size_t i) const;
  bool Stopped() const { return m_keep_going && *m_keep_going && !(*m_keep_going)(); }

  const CZipLayout& m_layout;
  CZipCrcCache* m_cache;
  std::vector<std::uint32_t> m_crcs;
  std::vector<bool> m_known;
  std::unique_ptr<char[]> m_buffer;
  std::unique_ptr<char[]> m_crc_buffer;
  CSplitCrc m_split_crc;
  std::size_t m_used = 0;
  std::uint64_t m_pos = 0;
  std::uint64_t m_end = 0;
  const Sink* m_sink = nullptr;
  const KeepGoing* m_keep_going = nullptr;
  const FileSink* m_file_sink = nullptr;
  std::vector<std::string> m_changed;
  std::uint64_t m_crc_only_bytes = 0;
  std::uint64_t m_zero_copy_bytes = 0;
};

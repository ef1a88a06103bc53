#pragma once

#include <sys/types.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <set>
#include <string>
#include <utility>

#include "store/ShareBoundary.h"

// Writes a zip archive of files and folder trees (deflate, default level). Entry names are the
// items' paths below a root folder, "/"-separated, UTF-8, folders ending in "/"; entries carry
// Unix modes, and zip64 records are used where an entry or the archive passes 4 GiB.
// Not for use by several threads at once.
class CZipper {
 public:
  // Entries whose size is at least this use the zip64 form. The margin below 4 GiB covers
  // deflate's growth of incompressible data.
  static constexpr std::uint64_t kZip64Threshold = 0xFFFFFFFFull - (64ull << 20);

  // `zip64_threshold` is there for tests, which cannot afford files of 4 GiB.
  explicit CZipper(std::uint64_t zip64_threshold = kZip64Threshold);
  virtual ~CZipper();
  CZipper(const CZipper&) = delete;
  CZipper& operator=(const CZipper&) = delete;

  // Closes any open archive, then creates a new archive at `zip_path` (an existing file is
  // replaced). Entry names are cut from paths below `root_folder`; an empty root means the
  // archive's own folder. Returns whether the archive is open.
  bool OpenZip(const std::string& zip_path, const std::string& root_folder = {});

  // Adds an entry for `folder` (none for the root itself), then every item in it not beginning
  // with ".", in listing order, recursively. A relative path is taken below the root. A folder
  // reached through symbolic links is added under the first link only, so neither loops nor
  // chains of links multiply the archive. Returns false when no archive is
  // open, the path is not a folder below the root, or the folder is already being added (reached
  // again through a link up the tree); true even if the folder's contents could not be read.
  bool AddFolderToZip(const std::string& folder);

  // Adds the regular file `file` (a relative path is taken below the root). Returns false, with
  // no entry written, when no archive is open, the path is not below the root, or the file
  // cannot be opened; false also when reading or writing failed part-way.
  bool AddFileToZip(const std::string& file);

  // From now on, links inside the folders added are followed only where the boundary admits
  // their target; others are left out. Without one, every link is followed.
  void SetBoundary(const CShareBoundary& boundary) {
    m_boundary = boundary;
    m_bounded = true;
  }

  // Asked between items and between blocks of a file while adding; once it answers false,
  // nothing more is added and the archive counts as damaged. Lets a caller end a long build.
  void SetKeepGoing(std::function<bool()> keep_going) { m_keep_going = std::move(keep_going); }

  // Finishes and closes the archive if one is open. Returns true when nothing was open, or when
  // the archive was closed and every write into it succeeded (false means a damaged archive).
  bool CloseZip();

 private:
  // The absolute, normalised form of `path` below the root, and its entry name, or false.
  bool EntryName(const std::string& path, std::string& full, std::string& name) const;
  bool OpenEntry(const std::string& name, const struct stat& st, bool zip64);
  bool CloseEntry();
  bool AddFolder(const std::string& folder, bool through_link);
  bool RestoreMadeByUnix() const;
  // Whether SetKeepGoing's test has said to stop (which marks the archive damaged).
  bool Abandoned();

  using FileId = std::pair<dev_t, ino_t>;

  void* m_archive = nullptr;
  FileId m_archive_id;
  std::string m_zip_path;
  std::string m_root;  // absolute, ends in "/"; empty when no archive is open
  std::uint64_t m_zip64_threshold;
  bool m_write_failed = false;
  bool m_used_zip64 = false;
  bool m_abandoned = false;
  std::function<bool()> m_keep_going;
  std::set<FileId> m_open_folders;    // the folder being added and its ancestors
  std::set<FileId> m_linked_folders;  // folders added through a link (or below one)
  CShareBoundary m_boundary;
  bool m_bounded = false;
  std::unique_ptr<char[]> m_buffer;
};

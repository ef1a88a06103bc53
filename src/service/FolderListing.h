#pragma once

#include <cstdint>
#include <ctime>
#include <string>
#include <vector>

#include "store/ShareBoundary.h"

// One visible item of a folder.
struct FolderItem {
  std::string name;            // the name in the folder, as stored (UTF-8 on this platform)
  bool is_folder = false;      // a folder, or a symbolic link to one
  bool is_link = false;        // reached through a symbolic link
  std::uint64_t size = 0;      // bytes; 0 for folders
  std::time_t last_write = 0;  // last modification, seconds since the epoch
  long last_write_nsec = 0;    // and its nanoseconds
  // What the zip writers need as well, from the same look at the item (links followed).
  std::uint32_t mode = 0;
  std::uint64_t device = 0;
  std::uint64_t inode = 0;
};

// The sorted listing of one folder, shared by the folder pages and the zip writer so both show
// items in the same order.
class CFolderListing {
 public:
  // Reads the items of `folder`: regular files and folders (symbolic links followed), without
  // names beginning with "." (hidden), sorted by NameLess. Items that vanish or cannot be examined
  // while reading, dangling links, devices, pipes and sockets are left out, and so are links whose
  // target the boundary does not admit, when one is given. Returns false, with no items, when
  // the folder cannot be opened.
  bool Read(const std::string& folder, const CShareBoundary* boundary = nullptr);

  const std::vector<FolderItem>& Items() const { return m_items; }

  // The listing order: names compared without regard to letter case (Unicode simple upper case),
  // names equal but for case ordered by their bytes so the order never depends on the file system.
  static bool NameLess(const std::string& a, const std::string& b);

 private:
  std::vector<FolderItem> m_items;
};

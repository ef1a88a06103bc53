#include "service/FolderSnapshots.h"

#include <sys/stat.h>

bool CFolderSnapshots::Stamp::operator==(const Stamp& other) const {
  return device == other.device && inode == other.inode &&
         modified.tv_sec == other.modified.tv_sec && modified.tv_nsec == other.modified.tv_nsec &&
         changed.tv_sec == other.changed.tv_sec && changed.tv_nsec == other.changed.tv_nsec;
}

std::shared_ptr<const CFolderListing> CFolderSnapshots::Get(const std::string& folder,
                                                            const CShareBoundary& boundary) {
  struct stat info {};
  if (stat(folder.c_str(), &info) != 0) return nullptr;
  const Stamp stamp{info.st_dev, info.st_ino, info.st_mtim, info.st_ctim};
  std::shared_ptr<Entry> entry;
  {
    std::lock_guard lock(m_mutex);
    std::shared_ptr<Entry>& found = m_entries[folder + '\0' + boundary.Root()];
    if (!found) {
      // Entries nobody uses and whose listing no page holds any more go.
      std::erase_if(m_entries, [](const auto& item) {
        return item.second && item.second.use_count() == 1 && item.second->listing.expired();
      });
      found = std::make_shared<Entry>();
    }
    entry = found;
  }
  std::lock_guard reading(entry->reading);
  const auto now = std::chrono::steady_clock::now();
  if (entry->stamp == stamp && now - entry->read_at < kMaxAge) {
    if (auto listing = entry->listing.lock()) return listing;
  }
  auto listing = std::make_shared<CFolderListing>();
  if (!listing->Read(folder, &boundary)) return nullptr;
  entry->listing = listing;
  entry->stamp = stamp;
  entry->read_at = now;
  return listing;
}

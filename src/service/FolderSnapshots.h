#pragma once
#include <sys/types.h>

#include <chrono>
#include <ctime>
#include <memory>
#include <mutex>
#include <string>
#include <unordered_map>

#include "service/FolderListing.h"
#include "store/ShareBoundary.h"

// Listings shared by the pages of one folder made at the same time: many readers of a large
// folder hold one listing between them, not one each, and requests arriving together wait for
// one reading of the folder instead of each reading and sorting it. Nothing is kept once no
// page holds it.
class CFolderSnapshots {
 public:
  // A listing older than this is read afresh even while pages still hold it, so a page is never
  // older than this when it starts.
  static constexpr std::chrono::seconds kMaxAge{10};

  // The listing of folder: one that a page still holds, when it is younger than kMaxAge and the
  // folder's times say nothing was added, removed or renamed in it since; else a new one. Null
  // when the folder cannot be read. Items whose links leave boundary are left out; listings of
  // one folder seen through different shares are kept apart.
  std::shared_ptr<const CFolderListing> Get(const std::string& folder,
                                            const CShareBoundary& boundary);

 private:
  struct Stamp {
    dev_t device = 0;
    ino_t inode = 0;
    timespec modified{};
    timespec changed{};
    bool operator==(const Stamp& other) const;
  };
  struct Entry {
    std::mutex reading;  // held while the folder is read, and for the fields below
    std::weak_ptr<const CFolderListing> listing;
    Stamp stamp;
    std::chrono::steady_clock::time_point read_at;
  };

  std::mutex m_mutex;  // guards the map, not the entries
  std::unordered_map<std::string, std::shared_ptr<Entry>> m_entries;
};

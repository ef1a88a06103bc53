#pragma once
#include <string>

#include "service/FolderSnapshots.h"
#include "service/Reply.h"
#include "store/DataFileShare.h"
#include "store/DataSystem.h"

// The two HTML pages, made from the page template of res/ in the current language: the share
// list (the home page) and the listing of a shared folder. Names are HTML-escaped; links carry
// UrlEncode'd share-relative names. Pages are UTF-8 and sent as they are made, without a length
// (the connection's end ends them), compressed with gzip when gzip is set; each page holds a
// buffer of bounded size (CPageStream) whatever its length. Each page's outcome is complete only
// when the whole page went out.
class CSharePages {
 public:
  // The stores must outlive the pages.
  CSharePages(CDataFileShare& shares, CDataSystem& settings)
      : m_shares(shares), m_settings(settings) {}

  // Sends the list of the shares the visitor may see (all when authenticated, else the public
  // ones), oldest first; shares whose path has vanished are left out. The removal link shows
  // for the shares the visitor uploaded when allow_delete is set.
  ReplyOutcome SendShareListPage(CConnection& connection, const std::string& account_name,
                                 bool authenticated, bool allow_upload, bool allow_delete,
                                 bool gzip = false) const;
  // Sends the listing of the folder at local_path, whose share-relative name is relative_name:
  // the parent entry first, then the visible items in listing order, without links that leave
  // the share. Pages of one folder made at the same time share its listing.
  ReplyOutcome SendFolderPage(CConnection& connection, const std::string& local_path,
                              const std::string& relative_name, bool authenticated,
                              bool allow_upload, bool gzip = false) const;

 private:
  // Whether the setting "EnableZipFolder" reads as a non-zero number.
  bool ZipEnabled() const;

  CDataFileShare& m_shares;
  CDataSystem& m_settings;
  mutable CFolderSnapshots m_listings;
};

#pragma once
#include <cstdint>
#include <string>

#include "store/DataFileShare.h"

// Maps a decoded request path to what it names: "/download.htm?file=<share>\<below>" (with
// "&zip=1" or "&icon=1"), "/remove.htm?file=<share>...", "/favicon.ico", "/images/..." and
// "/icons/...", as tessel::ParseRequestTarget reads them. The shares are the store's to look up
// and keep to; the routes and the web folder are this class's.
class CRequestResolver {
 public:
  enum class PathKind {
    kNotFound,   // also outside its share or the web folder
    kFile,       // a shared file; for a removal path, any shared item
    kFolder,     // a shared folder, to be listed
    kFolderZip,  // a shared folder, to be sent as a zip archive
    kIcon,       // the icon of a shared item
    kWebFile,    // a file of the web folder
  };

  // The web folder, where "/images/" and "/favicon.ico" are found, is web_folder, or the share
  // store's program folder + "/web" when empty. The store must outlive the resolver.
  explicit CRequestResolver(CDataFileShare& shares, const std::string& web_folder = "");

  void SetWebFolder(const std::string& web_folder);
  const std::string& WebFolder() const { return m_web_folder; }

  // For any kind but kNotFound, local_path receives the normalised local path, which is the
  // share's path or lies below it, also once its links are resolved (or in the web folder), and
  // relative_name the share-relative name with "\" between folders (only the share's name for a
  // removal, empty for the web folder). A NUL ends the request path. When share_mode is given,
  // it receives the mode of the share found (left alone for the web folder and kNotFound),
  // which spares a caller that needs it a second lookup; file_size likewise receives the size
  // of a kFile download (the file is looked at once).
  PathKind Resolve(const std::string& request_path, std::string& relative_name,
                   std::string& local_path, int* share_mode = nullptr,
                   std::int64_t* file_size = nullptr) const;

 private:
  CDataFileShare& m_shares;
  std::string m_web_folder;
};

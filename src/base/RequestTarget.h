#pragma once
#include <string>
#include <string_view>

// The grammar of the request targets the service answers, in one place: the router and the
// resolution of shared items both read a target through it. Pure text work: nothing is looked up.
namespace tessel {

// What a target names. Route names compare without regard to ASCII case.
enum class Route {
  kOther,       // none of the below
  kLogin,       // "/index.htm"
  kLogout,      // "/logout.htm"
  kRemove,      // "/remove.htm", the item after "?file="
  kUpload,      // "/upload"
  kShareList,   // "/" or "/download.htm?file=/"
  kParentIcon,  // "/download.htm?file=/&icon=1": the icon of a folder page's parent entry
  kFavicon,     // "/favicon.ico" and anything after it
  kWebFile,     // "/images/..." or "/icons/...": a file of the web folder
  kDownload,    // "/download.htm?file=<share>[\<below>]", with "&zip=1" or "&icon=1" anywhere
};

struct RequestTarget {
  Route route = Route::kOther;
  // kDownload and kRemove: the share-relative name as written ("docs\sub\a.txt"), the flags
  // taken out (empty for a removal without "?file="); kWebFile: the whole target. Else empty.
  std::string name;
  bool zip = false;   // kDownload: "&zip=1", a folder as one archive
  bool icon = false;  // kDownload: "&icon=1", the item's icon

  // The share the name lies in: its text before the first "\".
  std::string_view ShareName() const;
};

// Reads a decoded request target (the path of the request line); a NUL ends it.
RequestTarget ParseRequestTarget(std::string_view target);

}  // namespace tessel

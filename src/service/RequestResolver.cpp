#include "service/RequestResolver.h"

#include <sys/stat.h>

#include "base/PathText.h"
#include "base/RequestTarget.h"

CRequestResolver::CRequestResolver(CDataFileShare& shares, const std::string& web_folder)
    : m_shares(shares) {
  SetWebFolder(web_folder);
}

void CRequestResolver::SetWebFolder(const std::string& web_folder) {
  m_web_folder =
      tessel::NormalPath(web_folder.empty() ? m_shares.GetProgramFolder() + "/web" : web_folder);
}

CRequestResolver::PathKind CRequestResolver::Resolve(const std::string& request_path,
                                                     std::string& relative_name,
                                                     std::string& local_path, int* share_mode,
                                                     std::int64_t* file_size) const {
  using tessel::Route;
  relative_name.clear();
  local_path.clear();
  const tessel::RequestTarget target = tessel::ParseRequestTarget(request_path);

  if (target.route == Route::kFavicon) {
    local_path = m_web_folder + "/images/favicon.ico";
    return PathKind::kWebFile;
  }
  if (target.route == Route::kWebFile) {
    std::string below = target.name;
    for (char& c : below)
      if (c == '\\') c = '/';
    std::string local = tessel::NormalPath(m_web_folder + below);
    if (local.size() > tessel::kMaxLocalPath || !tessel::PathContains(m_web_folder, local) ||
        local == m_web_folder)
      return PathKind::kNotFound;
    local_path = std::move(local);
    return PathKind::kWebFile;
  }

  const bool download = target.route == Route::kDownload;
  if (!download && target.route != Route::kRemove) return PathKind::kNotFound;
  CDataFileShare::ShareItem item;
  if (!m_shares.LocateShareItem(target.name, item)) return PathKind::kNotFound;

  struct stat info {};
  if (stat(item.local_path.c_str(), &info) != 0) return PathKind::kNotFound;
  PathKind kind = PathKind::kNotFound;
  if (!download) {
    kind = PathKind::kFile;
  } else if (target.icon) {
    kind = PathKind::kIcon;
  } else if (S_ISDIR(info.st_mode)) {
    kind = target.zip ? PathKind::kFolderZip : PathKind::kFolder;
  } else if (S_ISREG(info.st_mode)) {
    kind = PathKind::kFile;
    if (file_size) *file_size = static_cast<std::int64_t>(info.st_size);
  }
  // Anything else (a pipe, a device, a socket) is not a file to send: opening a pipe would
  // hold the worker until some writer came along.
  if (kind == PathKind::kNotFound) return PathKind::kNotFound;
  relative_name = download ? item.share_name + item.below : item.share_name;
  local_path = std::move(item.local_path);
  if (share_mode) *share_mode = item.share_mode;
  return kind;
}

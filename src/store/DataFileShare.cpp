#include "store/DataFileShare.h"

#include <filesystem>
#include <string_view>
#include <system_error>

#include "base/RequestTarget.h"
#include "base/TimeStamp.h"
#include "store/ShareBoundary.h"

namespace {

// The longest local path a request may name.
constexpr std::size_t kMaxLocalPath = 4096;

std::string ShareQuery(const std::string& share_name) {
  return "select * from fileshare where filename='" + SqlQuote(share_name) + "'";
}

// "." and ".." resolved and repeated or trailing "/" dropped, by the text alone: the checks that
// follow must judge the very path that is then opened, whatever links lie along it.
std::string NormalPath(const std::string& path) {
  std::string normal = std::filesystem::path(path).lexically_normal().string();
  while (normal.size() > 1 && normal.back() == '/') normal.pop_back();
  return normal;
}

// Whether normal path lies at or below normal root. Names are case-sensitive here, and a
// separator must follow the root, so "/srv/Music2" is not inside "/srv/Music".
bool Contains(const std::string& root, const std::string& path) {
  if (path.size() < root.size() || path.compare(0, root.size(), root) != 0) return false;
  return path.size() == root.size() || root.back() == '/' || path[root.size()] == '/';
}

}  // namespace

CDataFileShare::CDataFileShare(const std::string& program_folder, const std::string& web_folder)
    : CDataBasic(program_folder),
      m_web_folder(NormalPath(web_folder.empty() ? GetProgramFolder() + "/web" : web_folder)) {}

CDataFileShare::~CDataFileShare() = default;

bool CDataFileShare::Open() {
  return OpenFile(GetDatabasePath());
}

void CDataFileShare::ReadRecord(CADO::CADORecordset& rs, FileShareRecord& record) {
  rs.GetFieldValue("filename", record.name);
  rs.GetFieldValue("filepath", record.path);
  rs.GetFieldValue("filedesc", record.description);
  rs.GetFieldValue("sharemode", record.share_mode);
  rs.GetFieldValue("sharetime", record.share_time);
  rs.GetFieldValue("uploader", record.uploader);
}

std::string CDataFileShare::UniqueName(CADO::CADORecordset& rs, const std::string& local_path) {
  size_t slash = local_path.rfind('/');
  std::string component = slash == std::string::npos ? local_path : local_path.substr(slash + 1);
  if (component.empty()) component = local_path.substr(0, 1);

  size_t dot = component.rfind('.');
  std::string base = dot == std::string::npos ? component : component.substr(0, dot);
  std::string extension = dot == std::string::npos ? "" : component.substr(dot);

  std::string candidate = component;
  for (int counter = 2;; ++counter) {
    bool taken = rs.Open(ShareQuery(candidate)) && !rs.IsEOF();
    rs.Close();
    if (!taken) return candidate;
    candidate = base + "-" + std::to_string(counter) + extension;
  }
}

std::string CDataFileShare::MakeUniqueShareName(const std::string& local_path) {
  OperationScope scope(*this);
  return UniqueName(scope.Recordset(), local_path);
}

std::string CDataFileShare::ShareFile(const std::string& local_path, const std::string& uploader,
                                      int share_mode) {
  std::string now = tessel::CurrentTimeStamp();
  OperationScope scope(*this);
  CADO::CADORecordset& rs = scope.Recordset();
  // The lock keeps this store's calls apart; the transaction keeps other connections to the file
  // from taking the chosen name between the probe and the insert.
  CADO::CADODatabase& db = scope.Database();
  if (!db.BeginTrans()) return "";
  std::string name = UniqueName(rs, local_path);
  bool added = rs.Open("select * from fileshare") && rs.AddNew();
  if (added) {
    rs.SetFieldValue("filepath", local_path);
    rs.SetFieldValue("filename", name);
    rs.SetFieldValue("sharemode", share_mode);
    rs.SetFieldValue("uploader", uploader);
    rs.SetFieldValue("sharetime", now);
    added = rs.Update() && db.CommitTrans();
  }
  if (!added) db.RollbackTrans();
  return added ? name : "";
}

bool CDataFileShare::AddShare(const FileShareRecord& record) {
  OperationScope scope(*this);
  CADO::CADORecordset& rs = scope.Recordset();
  if (!rs.Open("select * from fileshare") || !rs.AddNew()) return false;
  rs.SetFieldValue("filepath", record.path);
  rs.SetFieldValue("filename", record.name);
  rs.SetFieldValue("filedesc", record.description);
  rs.SetFieldValue("sharemode", record.share_mode);
  rs.SetFieldValue("uploader", record.uploader);
  rs.SetFieldValue("sharetime", tessel::CurrentTimeStamp());
  return rs.Update();
}

bool CDataFileShare::GetShare(const std::string& share_name, FileShareRecord& record) {
  OperationScope scope(*this);
  CADO::CADORecordset& rs = scope.Recordset();
  if (!rs.Open(ShareQuery(share_name)) || rs.IsEOF()) return false;
  ReadRecord(rs, record);
  return true;
}

bool CDataFileShare::ModifyShare(const FileShareRecord& record, const std::string& current_name) {
  OperationScope scope(*this);
  CADO::CADORecordset& rs = scope.Recordset();
  if (!rs.Open(ShareQuery(current_name)) || rs.IsEOF()) return false;
  rs.Edit();
  rs.SetFieldValue("filename", record.name);
  rs.SetFieldValue("filedesc", record.description);
  rs.SetFieldValue("filepath", record.path);
  rs.SetFieldValue("sharemode", record.share_mode);
  rs.SetFieldValue("sharetime", record.share_time);
  rs.SetFieldValue("uploader", record.uploader);
  return rs.Update();
}

bool CDataFileShare::RemoveShare(const std::string& share_name) {
  OperationScope scope(*this);
  return scope.Database().Execute("delete from fileshare where filename='" + SqlQuote(share_name) +
                                  "'");
}

bool CDataFileShare::RemoveUploaderShare(const std::string& share_name,
                                         const std::string& uploader) {
  OperationScope scope(*this);
  return scope.Database().Execute("delete from fileshare where filename='" + SqlQuote(share_name) +
                                  "'and uploader='" + SqlQuote(uploader) + "'");
}

std::string CDataFileShare::GetSharePath(const std::string& share_name) {
  OperationScope scope(*this);
  CADO::CADORecordset& rs = scope.Recordset();
  std::string path;
  if (rs.Open(ShareQuery(share_name)) && !rs.IsEOF()) rs.GetFieldValue("filepath", path);
  return path;
}

bool CDataFileShare::CanAccessShare(const std::string& relative_name,
                                    const std::string& account_name) {
  std::string share_name = relative_name.substr(0, relative_name.find('\\'));
  OperationScope scope(*this);
  CADO::CADORecordset& rs = scope.Recordset();
  int mode = 0;
  if (!rs.Open(ShareQuery(share_name)) || rs.IsEOF() || !rs.GetFieldValue("sharemode", mode)) {
    return false;
  }
  rs.Close();
  if (mode == FileShareRecord::kModePublic) return true;
  return rs.Open("select * from account where accountname='" + SqlQuote(account_name) + "'") &&
         !rs.IsEOF();
}

int CDataFileShare::ListShareNames(std::vector<std::string>& names, std::vector<std::string>& paths,
                                   std::vector<std::string>& uploaders, bool all_shares) {
  names.clear();
  paths.clear();
  uploaders.clear();
  OperationScope scope(*this);
  CADO::CADORecordset& rs = scope.Recordset();
  // Only the three columns listed: the share list page reads every share on every request.
  if (!rs.Open(all_shares
                   ? "select filename, filepath, uploader from fileshare order by sharetime"
                   : "select filename, filepath, uploader from fileshare where sharemode = 0 "
                     "order by sharetime")) {
    return 0;
  }
  for (; !rs.IsEOF(); rs.MoveNext()) {
    std::string name, path, uploader;
    rs.GetFieldValue("filename", name);
    rs.GetFieldValue("filepath", path);
    rs.GetFieldValue("uploader", uploader);
    names.push_back(std::move(name));
    paths.push_back(std::move(path));
    uploaders.push_back(std::move(uploader));
  }
  return static_cast<int>(names.size());
}

int CDataFileShare::ListShares(std::vector<FileShareRecord>& shares) {
  shares.clear();
  OperationScope scope(*this);
  CADO::CADORecordset& rs = scope.Recordset();
  if (!rs.Open("select * from fileshare order by sharetime")) return 0;
  for (; !rs.IsEOF(); rs.MoveNext()) {
    FileShareRecord record;
    ReadRecord(rs, record);
    shares.push_back(std::move(record));
  }
  return static_cast<int>(shares.size());
}

CShareBoundary CDataFileShare::GetShareBoundary(const std::string& relative_name) {
  return CShareBoundary(GetSharePath(relative_name.substr(0, relative_name.find('\\'))));
}

bool CDataFileShare::LocateShareItem(const std::string& value, std::string& share_name,
                                     std::string& below, std::string& local_path, int& share_mode) {
  std::size_t separator = value.find('\\');
  share_name = value.substr(0, separator);
  std::string rest = separator == std::string::npos ? "" : value.substr(separator);
  std::string share_path;
  {
    OperationScope scope(*this);
    CADO::CADORecordset& rs = scope.Recordset();
    if (!rs.Open(ShareQuery(share_name)) || rs.IsEOF()) return false;
    rs.GetFieldValue("filepath", share_path);
    // A mode that is no number is not public: CanAccessShare refuses such a share.
    if (!rs.GetFieldValue("sharemode", share_mode)) share_mode = FileShareRecord::kModeAuth;
  }
  if (share_path.empty()) return false;
  share_path = NormalPath(share_path);
  for (char& c : rest)
    if (c == '\\') c = '/';
  std::string local = NormalPath(share_path + rest);
  if (local.size() > kMaxLocalPath || !Contains(share_path, local)) return false;
  // The text stays inside; the links along it must as well.
  if (!CShareBoundary(share_path).Admits(local)) return false;
  // The name is rebuilt from the normal path, so "Music\live\..\a.mp3" is logged and linked as
  // "Music\a.mp3" and a folder page's parent entry is always its real parent.
  below = local.substr(share_path.size());
  if (!below.empty() && below.front() != '/') below.insert(0, 1, '/');
  for (char& c : below)
    if (c == '/') c = '\\';
  local_path = std::move(local);
  return true;
}

CDataFileShare::PathKind CDataFileShare::ResolveRequestPath(const std::string& request_path,
                                                            std::string& relative_name,
                                                            std::string& local_path,
                                                            int* share_mode) {
  using tessel::Route;
  relative_name.clear();
  local_path.clear();
  const tessel::RequestTarget target = tessel::ParseRequestTarget(request_path);
  const std::string& web_folder = m_web_folder;

  if (target.route == Route::kFavicon) {
    local_path = web_folder + "/images/favicon.ico";
    return PathKind::kWebFile;
  }
  if (target.route == Route::kWebFile) {
    std::string below = target.name;
    for (char& c : below)
      if (c == '\\') c = '/';
    std::string local = NormalPath(web_folder + below);
    if (local.size() > kMaxLocalPath || !Contains(web_folder, local) || local == web_folder)
      return PathKind::kNotFound;
    local_path = std::move(local);
    return PathKind::kWebFile;
  }

  const bool download = target.route == Route::kDownload;
  if (!download && target.route != Route::kRemove) return PathKind::kNotFound;
  std::string share_name, below, local;
  int mode = FileShareRecord::kModePublic;
  if (!LocateShareItem(target.name, share_name, below, local, mode)) return PathKind::kNotFound;

  std::error_code error;
  const std::filesystem::file_status status = std::filesystem::status(local, error);
  if (error || !std::filesystem::exists(status)) return PathKind::kNotFound;
  PathKind kind = PathKind::kNotFound;
  if (!download) {
    kind = PathKind::kFile;
  } else if (target.icon) {
    kind = PathKind::kIcon;
  } else if (std::filesystem::is_directory(status)) {
    kind = target.zip ? PathKind::kFolderZip : PathKind::kFolder;
  } else if (std::filesystem::is_regular_file(status)) {
    kind = PathKind::kFile;
  }
  // Anything else (a pipe, a device, a socket) is not a file to send: opening a pipe would
  // hold the worker until some writer came along.
  if (kind == PathKind::kNotFound) return PathKind::kNotFound;
  relative_name = download ? share_name + below : share_name;
  local_path = std::move(local);
  if (share_mode) *share_mode = mode;
  return kind;
}

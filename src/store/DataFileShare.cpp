#include "store/DataFileShare.h"

#include "base/PathText.h"
#include "base/TimeStamp.h"
#include "store/RecordColumns.h"
#include "store/ShareBoundary.h"

namespace {

constexpr const char* kShareQuery = "select * from fileshare where filename = ?";

constexpr tessel::RecordColumn<FileShareRecord> kColumns[] = {
    {"filename", &FileShareRecord::name},        {"filepath", &FileShareRecord::path},
    {"filedesc", &FileShareRecord::description}, {"sharemode", &FileShareRecord::share_mode},
    {"sharetime", &FileShareRecord::share_time}, {"uploader", &FileShareRecord::uploader},
};

// Adds the record as a new row, reading nothing.
bool InsertShare(CADO::CADODatabase& db, const FileShareRecord& record) {
  static const std::string insert = tessel::InsertStatement<FileShareRecord>("fileshare", kColumns);
  return db.Execute(insert, tessel::RecordValues<FileShareRecord>(kColumns, record));
}

}  // namespace

CDataFileShare::CDataFileShare(const std::string& program_folder) : CDataBasic(program_folder) {}

CDataFileShare::~CDataFileShare() = default;

bool CDataFileShare::Open() {
  return OpenFile(GetDatabasePath());
}

void CDataFileShare::ReadRecord(CADO::CADORecordset& rs, FileShareRecord& record) {
  tessel::ReadRecordColumns<FileShareRecord>(rs, kColumns, record);
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
    bool taken = rs.Open("select 1 from fileshare where filename = ?", {candidate}) && !rs.IsEOF();
    rs.Close();
    if (!taken) return candidate;
    candidate = base + "-" + std::to_string(counter) + extension;
  }
}

std::string CDataFileShare::MakeUniqueShareName(const std::string& local_path) {
  OperationScope scope(*this, Access::kRead);
  return UniqueName(scope.Recordset(), local_path);
}

std::string CDataFileShare::ShareFile(const std::string& local_path, const std::string& uploader,
                                      int share_mode, bool* busy) {
  if (busy) *busy = false;
  FileShareRecord record;
  record.path = local_path;
  record.share_mode = share_mode;
  record.share_time = tessel::CurrentTimeStamp();
  record.uploader = uploader;
  OperationScope scope(*this);
  // The lock keeps this store's calls apart; the transaction keeps other connections to the file
  // from taking the chosen name between the probe and the insert.
  CADO::CADODatabase& db = scope.Database();
  bool added = db.BeginTrans();
  if (added) {
    record.name = UniqueName(scope.Recordset(), local_path);
    added = InsertShare(db, record) && db.CommitTrans();
  }
  if (added) return record.name;
  if (busy) *busy = db.LastErrorWasBusy();
  db.RollbackTrans();
  return "";
}

bool CDataFileShare::AddShare(const FileShareRecord& record) {
  FileShareRecord row = record;
  row.share_time = tessel::CurrentTimeStamp();
  OperationScope scope(*this);
  return InsertShare(scope.Database(), row);
}

bool CDataFileShare::GetShare(const std::string& share_name, FileShareRecord& record) {
  OperationScope scope(*this, Access::kRead);
  CADO::CADORecordset& rs = scope.Recordset();
  if (!rs.Open(kShareQuery, {share_name}) || rs.IsEOF()) return false;
  ReadRecord(rs, record);
  return true;
}

bool CDataFileShare::ModifyShare(const FileShareRecord& record, const std::string& current_name) {
  static const std::string update =
      tessel::UpdateStatement<FileShareRecord>("fileshare", kColumns, "filename");
  SqlValues values = tessel::RecordValues<FileShareRecord>(kColumns, record);
  values.emplace_back(current_name);
  OperationScope scope(*this);
  CADO::CADODatabase& db = scope.Database();
  return db.Execute(update, values) && db.Changes() > 0;
}

bool CDataFileShare::RemoveShare(const std::string& share_name) {
  OperationScope scope(*this);
  return scope.Database().Execute("delete from fileshare where filename = ?", {share_name});
}

bool CDataFileShare::RemoveUploaderShare(const std::string& share_name,
                                         const std::string& uploader) {
  OperationScope scope(*this);
  return scope.Database().Execute("delete from fileshare where filename = ? and uploader = ?",
                                  {share_name, uploader});
}

std::string CDataFileShare::GetSharePath(const std::string& share_name) {
  OperationScope scope(*this, Access::kRead);
  CADO::CADORecordset& rs = scope.Recordset();
  std::string path;
  if (rs.Open(kShareQuery, {share_name}) && !rs.IsEOF()) rs.GetFieldValue("filepath", path);
  return path;
}

bool CDataFileShare::CanAccessShare(const std::string& relative_name,
                                    const std::string& account_name) {
  std::string share_name = relative_name.substr(0, relative_name.find('\\'));
  OperationScope scope(*this, Access::kRead);
  CADO::CADORecordset& rs = scope.Recordset();
  int mode = 0;
  if (!rs.Open(kShareQuery, {share_name}) || rs.IsEOF() || !rs.GetFieldValue("sharemode", mode)) {
    return false;
  }
  rs.Close();
  if (mode == FileShareRecord::kModePublic) return true;
  return rs.Open("select 1 from account where accountname = ?", {account_name}) && !rs.IsEOF();
}

int CDataFileShare::ListShareNames(std::vector<std::string>& names, std::vector<std::string>& paths,
                                   std::vector<std::string>& uploaders, bool all_shares) {
  names.clear();
  paths.clear();
  uploaders.clear();
  OperationScope scope(*this, Access::kRead);
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
  OperationScope scope(*this, Access::kRead);
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

bool CDataFileShare::LocateShareItem(const std::string& relative_name, ShareItem& item) {
  std::size_t separator = relative_name.find('\\');
  item.share_name = relative_name.substr(0, separator);
  std::string rest = separator == std::string::npos ? "" : relative_name.substr(separator);
  std::string share_path;
  {
    OperationScope scope(*this, Access::kRead);
    CADO::CADORecordset& rs = scope.Recordset();
    if (!rs.Open(kShareQuery, {item.share_name}) || rs.IsEOF()) return false;
    rs.GetFieldValue("filepath", share_path);
    // A mode that is no number is not public: CanAccessShare refuses such a share.
    if (!rs.GetFieldValue("sharemode", item.share_mode))
      item.share_mode = FileShareRecord::kModeAuth;
  }
  if (share_path.empty()) return false;
  share_path = tessel::NormalPath(share_path);
  for (char& c : rest)
    if (c == '\\') c = '/';
  std::string local = tessel::NormalPath(share_path + rest);
  if (local.size() > tessel::kMaxLocalPath || !tessel::PathContains(share_path, local))
    return false;
  // The text stays inside; the links along it must as well.
  if (!CShareBoundary(share_path).Admits(local)) return false;
  // The name is rebuilt from the normal path, so "Music\live\..\a.mp3" is logged and linked as
  // "Music\a.mp3" and a folder page's parent entry is always its real parent.
  std::string below = local.substr(share_path.size());
  if (!below.empty() && below.front() != '/') below.insert(0, 1, '/');
  for (char& c : below)
    if (c == '/') c = '\\';
  item.below = std::move(below);
  item.local_path = std::move(local);
  return true;
}

#include "store/DataBasic.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <filesystem>

namespace fs = std::filesystem;

namespace {

// Text columns are declared with text affinity (so "007" stays "007") and compare without regard
// to letter case, keys included; a key is never NULL. Long columns hold whole numbers.
const std::vector<std::string> kCreationStatements = {
    "Create Table account(accountname Varchar(255) Collate NoCase Not Null, "
    "accountdesc Varchar(255) Collate NoCase, authtype Long, enabled Long, allowupload Long, "
    "allowdelete Long, ipaddress Varchar(64) Collate NoCase, "
    "loginpassword Varchar(64) Collate NoCase, createtime Varchar(64) Collate NoCase, "
    "Primary Key(accountname))",
    "Create Table fileshare  (filename Varchar(255) Collate NoCase Not Null, "
    "filepath Text Collate NoCase, filedesc Varchar(255) Collate NoCase, sharemode Long, "
    "sharetime Varchar(64) Collate NoCase, uploader Varchar(255) Collate NoCase, "
    "Primary Key(filename))",
    "Insert Into account Values ( 'local', '', 1, 1, 1, 1, '127.0.0.1', '', '')",
    "Insert Into account Values ( 'admin', '', 0, 1, 1, 1,  '', 'kavor', '')",
    "Create Table config(paramname Varchar(255) Collate NoCase Not Null, "
    "paramvalue Text Collate NoCase, Primary Key(paramname))",
    "Insert Into config Values('localport', '80')",
    "Insert Into config Values('ipaddress', 'Auto bind Internet IP address')",
    "Insert Into config Values('internetaccess', '1')",
    "Insert Into config Values('FileAssociate', '1')",
    "Insert Into config Values('CheckNewVersion', '1')",
};

bool SyncPath(const std::string& path, int flags) {
  int fd = open(path.c_str(), flags | O_CLOEXEC);
  if (fd < 0) return false;
  bool synced = fsync(fd) == 0;
  close(fd);
  return synced;
}

bool FillDatabase(const std::string& path, const std::vector<std::string>& statements) {
  CADO::CADODatabase db;
  bool filled = db.Create(path) && db.BeginTrans();
  for (size_t i = 0; filled && i < statements.size(); ++i) filled = db.Execute(statements[i]);
  if (filled) filled = db.CommitTrans();
  if (!filled) db.RollbackTrans();
  db.Close();
  return filled;
}

// Gives the finished file its name without replacing one that appeared meanwhile.
bool Publish(const std::string& temp, const std::string& path) {
  if (renameat2(AT_FDCWD, temp.c_str(), AT_FDCWD, path.c_str(), RENAME_NOREPLACE) != 0) {
    if (errno == EEXIST) return true;  // another process made it first; the caller opens that
    if (errno != EINVAL && errno != ENOSYS && errno != ENOTSUP) return false;
    if (rename(temp.c_str(), path.c_str()) != 0) return false;  // file system without NOREPLACE
  }
  fs::path folder = fs::path(path).parent_path();
  SyncPath(folder.empty() ? "." : folder.string(), O_RDONLY | O_DIRECTORY);
  return true;
}

// Without trailing "/", so that names join with one; empty means the working folder.
std::string NormalizeFolder(std::string folder) {
  size_t end = folder.find_last_not_of('/');
  if (end == std::string::npos) return folder.empty() ? std::string(".") : std::string("/");
  folder.resize(end + 1);
  return folder;
}

}  // namespace

bool tessel::CreateDatabaseFile(const std::string& path,
                                const std::vector<std::string>& statements) {
  std::string pattern = path + ".new-XXXXXX";
  int fd = mkostemp(pattern.data(), O_CLOEXEC);
  if (fd < 0) return false;
  close(fd);
  const std::string& temp = pattern;
  // The temporary file has no other user, so it keeps the rollback journal, which is gone once
  // the commit returns; the stores' connections switch the published file to the log.
  bool made = FillDatabase(temp, statements) && !fs::exists(temp + "-journal") &&
              SyncPath(temp, O_RDONLY) && Publish(temp, path);
  std::error_code ec;
  fs::remove(temp, ec);
  fs::remove(temp + "-journal", ec);
  return made;
}

CDataBasic::CDataBasic(const std::string& program_folder)
    : m_program_folder(NormalizeFolder(program_folder)) {}

CDataBasic::~CDataBasic() = default;

bool CDataBasic::Open() {
  return false;
}

std::string CDataBasic::GetDatabasePath() const {
  return (m_program_folder == "/" ? "" : m_program_folder) + "/" + kDatabaseFileName;
}

const std::vector<std::string>& CDataBasic::CreationStatements() {
  return kCreationStatements;
}

bool CDataBasic::OpenFile(const std::string& path) {
  std::lock_guard lock(m_lock);
  std::error_code ec;
  if (!fs::exists(path, ec) && !tessel::CreateDatabaseFile(path, kCreationStatements)) {
    return false;
  }
  return m_ado.Database().Open("Data Source=" + path);
}

CADO::CADORecordset& CDataBasic::BeginOperation() {
  auto recordset = std::make_unique<CADO::CADORecordset>(m_ado.Database());
  CADO::CADORecordset& current = *recordset;
  m_lock.lock();
  m_outer.push_back(m_ado.ReplaceRecordset(std::move(recordset)));
  return current;
}

void CDataBasic::EndOperation() {
  std::unique_ptr<CADO::CADORecordset> outer = std::move(m_outer.back());
  m_outer.pop_back();
  m_ado.ReplaceRecordset(std::move(outer));  // destroys the operation's result set
  m_lock.unlock();
}

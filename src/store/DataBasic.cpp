#include "store/DataBasic.h"

#include <fcntl.h>
#include <sqlite3.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <set>
#include <utility>

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

bool HasBytes(const std::string& path) {
  struct stat info {};
  return stat(path.c_str(), &info) == 0 && info.st_size > 0;
}

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
    : m_program_folder(NormalizeFolder(program_folder)) {
  for (Channel* channel : {&m_write, &m_read}) {
    channel->ado.Database().SetErrorListener(
        [this](int code, const std::string& description) { OnEngineError(code, description); });
  }
  m_write.ado.Database().SetConnectionTimeout(kWriteWaitSeconds);
}

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
  std::scoped_lock locks(m_write.lock, m_read.lock);
  // A failure while opening is the caller's to tell, with its reason: no runtime line.
  {
    std::lock_guard lock(m_failure_mutex);
    m_database_path = path;
    m_opening = true;
  }
  std::string error = OpenConnection(path);
  std::lock_guard lock(m_failure_mutex);
  m_opening = false;
  m_open_error = std::move(error);
  return m_open_error.empty();
}

std::string CDataBasic::OpenConnection(const std::string& path) {
  struct stat info {};
  if (stat(path.c_str(), &info) != 0) {
    if (errno != ENOENT) return std::strerror(errno);
    if (!tessel::CreateDatabaseFile(path, kCreationStatements)) {
      const std::string folder = fs::path(path).parent_path().string();
      if (access(folder.empty() ? "." : folder.c_str(), W_OK | X_OK) != 0)
        return std::string("it is missing and cannot be made: ") + std::strerror(errno);
      return "it is missing and cannot be made";
    }
  } else if (S_ISDIR(info.st_mode)) {
    return "it is a folder, not a database file";
  } else if (!S_ISREG(info.st_mode)) {
    return "it is not a regular file";
  } else if (info.st_size == 0 && !HasBytes(path + "-wal")) {
    // An empty file holds nothing to lose (a copy that failed, a disk that filled up): it is
    // made a new database in place, in one transaction, as a missing one would be.
    if (!FillDatabase(path, kCreationStatements) && !HasBytes(path))
      return "it is empty and cannot be made a database";
  }
  // The engine would say "unable to open database file" for any of the reasons the system
  // knows. Asked without opening: closing a descriptor of the file would drop the locks the
  // process's other connections hold on it.
  if (access(path.c_str(), R_OK | W_OK) != 0) return std::strerror(errno);
  CADO::CADODatabase& db = m_write.ado.Database();
  CADO::CADODatabase& reader = m_read.ado.Database();
  reader.Close();
  if (!db.Open("Data Source=" + path)) return db.GetErrorDescription();
  // Another program's database, or one whose making was cut short, lacks our tables.
  for (const char* table : {"account", "fileshare", "config"}) {
    if (!db.Execute(std::string("select 1 from ") + table + " limit 0")) {
      const std::string reason = "it is not a Tessel database (" + db.GetErrorDescription() + ")";
      db.Close();
      return reason;
    }
  }
  // The reading connection is kept from writing by mistake.
  if (!reader.Open("Data Source=" + path) || !reader.Execute("PRAGMA query_only=1")) {
    const std::string reason = reader.GetErrorDescription();
    reader.Close();
    db.Close();
    return reason;
  }
  return "";
}

std::string CDataBasic::GetOpenError() {
  std::lock_guard lock(m_failure_mutex);
  return m_open_error;
}

void CDataBasic::SetFailureSink(FailureSink sink) {
  std::lock_guard lock(m_failure_mutex);
  m_failure_sink = std::move(sink);
}

void CDataBasic::OnEngineError(int code, const std::string& description) {
  std::lock_guard lock(m_failure_mutex);
  // A name already taken is the caller's answer, not a fault of the database.
  if (m_opening || (code & 0xff) == SQLITE_CONSTRAINT || !m_failure_sink ||
      !m_pending_failure.empty())
    return;
  static std::mutex reported_mutex;
  static std::set<std::pair<std::string, int>> reported;
  {
    std::lock_guard lock(reported_mutex);
    if (!reported.emplace(m_database_path, code & 0xff).second) return;
  }
  m_pending_failure = "database " + m_database_path + " failed: " + description;
}

CADO::CADORecordset& CDataBasic::BeginOperation(Access access) {
  Channel& channel = ChannelOf(access);
  auto recordset = std::make_unique<CADO::CADORecordset>(channel.ado.Database());
  CADO::CADORecordset& current = *recordset;
  channel.lock.lock();
  channel.outer.push_back(channel.ado.ReplaceRecordset(std::move(recordset)));
  return current;
}

void CDataBasic::EndOperation(Access access) {
  Channel& channel = ChannelOf(access);
  std::unique_ptr<CADO::CADORecordset> outer = std::move(channel.outer.back());
  channel.outer.pop_back();
  channel.ado.ReplaceRecordset(std::move(outer));  // destroys the operation's result set
  // The sink may wait for another thread (a window) that waits for this store: told unlocked.
  std::string failure;
  FailureSink sink;
  if (channel.outer.empty()) {
    std::lock_guard lock(m_failure_mutex);
    if (!m_pending_failure.empty()) {
      failure = std::exchange(m_pending_failure, {});
      sink = m_failure_sink;
    }
  }
  channel.lock.unlock();
  if (sink) sink(failure);
}

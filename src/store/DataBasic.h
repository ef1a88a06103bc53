#pragma once

#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "base/ProgramFolder.h"
#include "store/ADO.h"

namespace tessel {

// Makes the database file at path holding what the statements create, all or nothing: they run
// in one transaction on a temporary file beside it, which takes the name only when complete. On
// failure nothing is left at path. True also when another process made the file meanwhile.
bool CreateDatabaseFile(const std::string& path, const std::vector<std::string>& statements);

}  // namespace tessel

// Base of the stores: two connections to the program's database file, one for reading and one
// for writing, each with its own recursive lock held for the whole of a store operation, so a
// store may be called from any thread. Reads never wait for a write: the file's log lets them go
// on while a write holds, or waits for, the file's write lock. A write waits at most
// kWriteWaitSeconds for another connection's lock and then fails. Stores never wait for each
// other: each has its own locks and connections.
class CDataBasic {
 public:
  static constexpr const char* kDatabaseFileName = "tessel.mdb";
  // How long a write waits for another connection (another program's included) to let go of the
  // file before it fails, so that a visitor's request is answered instead of left hanging.
  static constexpr int kWriteWaitSeconds = 3;

  // program_folder holds the database file (and the upload folder); by default the folder of the
  // running executable, and the working folder when empty. The connection is not opened here.
  explicit CDataBasic(const std::string& program_folder = tessel::ExecutableFolder());
  virtual ~CDataBasic();
  CDataBasic(const CDataBasic&) = delete;
  CDataBasic& operator=(const CDataBasic&) = delete;

  // Opens the store; the base opens nothing and returns false.
  virtual bool Open();

  // Creates the database file with its tables and default rows when nothing exists at path (or
  // an empty file: it holds nothing to lose), then opens the store's connections on it and
  // checks that the file holds the three tables. True when the connections are open.
  bool OpenFile(const std::string& path);
  // Why the last OpenFile failed, without the file's name ("it is a folder", "Permission
  // denied", "file is not a database"...); empty after a success.
  std::string GetOpenError();

  // Receives one line naming the file and the reason for each kind of failure the database
  // meets while running (a damaged file, a full disk, a vanished table, a lock held too long),
  // the first time that kind is met with that file in this process; a refused duplicate name is
  // no failure. Called after the store operation that met it, on its thread, without the
  // store's locks.
  using FailureSink = std::function<void(const std::string& line)>;
  void SetFailureSink(FailureSink sink);

  const std::string& GetProgramFolder() const { return m_program_folder; }
  // program folder + "/tessel.mdb"
  std::string GetDatabasePath() const;

  // The statements that make a new database file: the three tables and their default rows.
  static const std::vector<std::string>& CreationStatements();

 protected:
  enum class Access { kRead, kWrite };

  // One store operation: takes the lock of the connection it needs and a fresh result set on
  // it for the holder, and gives both back on every way out. Scopes may nest; the inner one
  // restores the outer's result set. A read scope must not enclose a write scope.
  class OperationScope {
   public:
    explicit OperationScope(CDataBasic& store, Access access = Access::kWrite)
        : m_store(store), m_access(access), m_rs(store.BeginOperation(access)) {}
    ~OperationScope() { m_store.EndOperation(m_access); }
    OperationScope(const OperationScope&) = delete;
    OperationScope& operator=(const OperationScope&) = delete;

    CADO::CADORecordset& Recordset() { return m_rs; }
    CADO::CADODatabase& Database() { return m_store.ChannelOf(m_access).ado.Database(); }

   private:
    CDataBasic& m_store;
    Access m_access;
    CADO::CADORecordset& m_rs;
  };

  // Prefer OperationScope; these are its two halves and must be paired on one thread.
  CADO::CADORecordset& BeginOperation(Access access = Access::kWrite);
  void EndOperation(Access access = Access::kWrite);

 private:
  // A connection, its lock and the result sets of enclosing scopes.
  struct Channel {
    CADO ado;
    std::recursive_mutex lock;
    std::vector<std::unique_ptr<CADO::CADORecordset>> outer;
  };
  Channel& ChannelOf(Access access) { return access == Access::kRead ? m_read : m_write; }

  // OpenFile's work: the empty text on success, else the reason.
  std::string OpenConnection(const std::string& path);
  // The connections' failure listener; the connection's lock is held.
  void OnEngineError(int code, const std::string& description);

  Channel m_write;
  Channel m_read;
  std::string m_program_folder;
  std::string m_database_path;  // of the last OpenFile
  std::string m_open_error;
  std::mutex m_failure_mutex;  // guards the three below
  FailureSink m_failure_sink;
  std::string m_pending_failure;  // met during an operation in progress, told at its end
  bool m_opening = false;
};

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

// Base of the stores: one connection to the program's database file and one recursive lock,
// held for the whole of each store operation, so a store may be called from any thread. Stores
// never wait for each other: each has its own lock and connection.
class CDataBasic {
 public:
  static constexpr const char* kDatabaseFileName = "tessel.mdb";

  // program_folder holds the database file (and the upload folder); by default the folder of the
  // running executable, and the working folder when empty. The connection is not opened here.
  explicit CDataBasic(const std::string& program_folder = tessel::ExecutableFolder());
  virtual ~CDataBasic();
  CDataBasic(const CDataBasic&) = delete;
  CDataBasic& operator=(const CDataBasic&) = delete;

  // Opens the store; the base opens nothing and returns false.
  virtual bool Open();

  // Creates the database file with its tables and default rows when nothing exists at path (or
  // an empty file: it holds nothing to lose), then opens the store's connection on it and checks
  // that the file holds the three tables. True when the connection is open.
  bool OpenFile(const std::string& path);
  // Why the last OpenFile failed, without the file's name ("it is a folder", "Permission
  // denied", "file is not a database"...); empty after a success.
  std::string GetOpenError();

  // Receives one line naming the file and the reason for each kind of failure the database
  // meets while running (a damaged file, a full disk, a vanished table), the first time that
  // kind is met with that file in this process; a refused duplicate name is no failure. Called
  // after the store operation that met it, on its thread, without the store's lock.
  using FailureSink = std::function<void(const std::string& line)>;
  void SetFailureSink(FailureSink sink);

  const std::string& GetProgramFolder() const { return m_program_folder; }
  // program folder + "/tessel.mdb"
  std::string GetDatabasePath() const;

  // The statements that make a new database file: the three tables and their default rows.
  static const std::vector<std::string>& CreationStatements();

 protected:
  // One store operation: takes the lock and a fresh result set for the holder, and gives both
  // back on every way out. Scopes may nest; the inner one restores the outer's result set.
  class OperationScope {
   public:
    explicit OperationScope(CDataBasic& store) : m_store(store), m_rs(store.BeginOperation()) {}
    ~OperationScope() { m_store.EndOperation(); }
    OperationScope(const OperationScope&) = delete;
    OperationScope& operator=(const OperationScope&) = delete;

    CADO::CADORecordset& Recordset() { return m_rs; }
    CADO::CADODatabase& Database() { return m_store.m_ado.Database(); }

   private:
    CDataBasic& m_store;
    CADO::CADORecordset& m_rs;
  };

  // Prefer OperationScope; these are its two halves and must be paired on one thread.
  CADO::CADORecordset& BeginOperation();
  void EndOperation();

  CADO m_ado;

 private:
  // OpenFile's work: the empty text on success, else the reason.
  std::string OpenConnection(const std::string& path);
  // The connection's failure listener; the store's lock is held.
  void OnEngineError(int code, const std::string& description);

  std::recursive_mutex m_lock;
  std::string m_program_folder;
  std::string m_database_path;  // of the last OpenFile
  std::string m_open_error;
  FailureSink m_failure_sink;
  std::string m_pending_failure;  // met during the operation in progress, told at its end
  bool m_opening = false;
  std::vector<std::unique_ptr<CADO::CADORecordset>> m_outer;  // result sets of enclosing scopes
};

#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <list>
#include <memory>
#include <string>
#include <utility>
#include <vector>

struct sqlite3;
struct sqlite3_stmt;

// Doubles every "'" so that the value can stand between single quotes in a statement. Only for
// the few interfaces that take SQL text from their caller; values of the stores' own statements
// are bound to "?" parameters instead.
std::string SqlQuote(const std::string& value);

// A value bound to a "?" of a statement, in order: NULL (made by default), a whole number or text
// (bound as text, the empty text included).
struct SqlValue {
  enum class Type { kNull, kInteger, kText };

  SqlValue() = default;
  SqlValue(int number) : type(Type::kInteger), integer(number) {}
  SqlValue(std::int64_t number) : type(Type::kInteger), integer(number) {}
  SqlValue(std::string value) : type(Type::kText), text(std::move(value)) {}
  SqlValue(const char* value) : type(Type::kText), text(value) {}

  Type type = Type::kNull;
  std::int64_t integer = 0;
  std::string text;
};
using SqlValues = std::vector<SqlValue>;

// Database access for the stores: a connection, the result set in use, and SQL text in between.
// Nothing here throws or takes a lock: a connection and its result sets are used by one thread at
// a time (the owning store holds its lock). Every failure returns false and fills the error fields.
class CADO {
  // The rows a result set holds (defined with it).
  struct Snapshot;

 public:
  class CADORecordset;

  class CADODatabase {
   public:
    CADODatabase() = default;
    virtual ~CADODatabase();
    CADODatabase(const CADODatabase&) = delete;
    CADODatabase& operator=(const CADODatabase&) = delete;

    // Opens a connection on an existing database file, closing an open one first. The connection
    // string is "Data Source=<path>" or a bare path; an empty one reuses the last given. User and
    // password are accepted for the callers' sake and not used. The connection writes through a
    // write-ahead log, waits for other connections instead of failing, and syncs every commit.
    bool Open(const std::string& connection_string, const std::string& user = "",
              const std::string& password = "");
    // As Open, but makes the database when the file at path is missing or empty. Meant for a
    // file no other connection uses yet: it keeps the rollback journal instead of the log.
    bool Create(const std::string& path);
    bool IsOpen() const { return m_db != nullptr; }
    void Close();

    // Runs one statement that returns no rows; true when it ran, even if it matched no row.
    // "delete * from" is accepted as a synonym of "delete from".
    bool Execute(const std::string& sql);
    // As Execute, with values bound to the statement's "?" parameters in order; the prepared
    // statement is kept for the next call with the same text.
    bool Execute(const std::string& sql, const SqlValues& values);
    // The rows the last INSERT, UPDATE or DELETE on this connection changed.
    int Changes() const;

    // An explicit transaction: BeginTrans takes the write lock at once (waiting for other
    // connections), CommitTrans retries while readers keep the file busy, RollbackTrans drops it.
    bool BeginTrans();
    bool CommitTrans();
    void RollbackTrans();

    // How long the answer to a query is used again while nothing is written in this process:
    // how late a write by another process may be seen.
    static constexpr std::chrono::milliseconds kResultLifetime{100};

    // Seconds to wait for another connection's lock; 0 keeps the default of 30 seconds. Takes
    // effect at once on an open connection.
    void SetConnectionTimeout(int seconds);
    // Whether the last failure was a lock another connection held beyond the wait.
    bool LastErrorWasBusy() const;

    // Told of every failure the engine reports, on this connection or a result set made on it,
    // with the engine's code and description; called where the failure happens, so it must not
    // use the connection.
    using ErrorListener = std::function<void(int code, const std::string& description)>;
    void SetErrorListener(ErrorListener listener) { m_error_listener = std::move(listener); }

    int GetLastError() const { return m_last_error; }
    const std::string& GetConnectionString() const { return m_connection_string; }
    const std::string& GetLastErrorText() const { return m_last_error_text; }
    // The engine's own words for the last failure, without the connection string.
    const std::string& GetErrorDescription() const { return m_error_description; }

   private:
    friend class CADORecordset;

    bool Connect(const std::string& path, int flags, bool shared);
    void RecordError(int code, const std::string& description);
    void RecordEngineError(int code);
    int BusyTimeoutMs() const;
    // A statement for sql, ready to step with values bound: kept from an earlier call with the
    // same text, or prepared now. Null when it cannot be prepared or bound (rc holds the
    // engine's code) or sql is not exactly one statement (rc is SQLITE_OK). Reset it once done:
    // it stays with the connection.
    sqlite3_stmt* PrepareCached(const std::string& sql, int& rc, const SqlValues& values = {});

    // The rows of query kept by KeepRows, while nothing has been written through any
    // connection of this process since they were read and for kResultLifetime at most; else
    // null.
    const Snapshot* KeptRows(const std::string& query);
    // Keeps rows read for query when the process's write count was writes (before the read).
    void KeepRows(const std::string& query, std::uint64_t writes, const Snapshot& rows);

    // Statements of the latest queries, most recent first. The stores ask the same few questions
    // on every request, and preparing one costs more than running it.
    static constexpr std::size_t kCachedStatements = 24;
    std::list<std::pair<std::string, sqlite3_stmt*>> m_statements;
    // The answers to the latest small queries, most recent first. Answering the same question
    // again with a copy spares a read transaction: its file locks and checks and the waits
    // for the shared memory of the database's log. Writes by other processes are seen once
    // kResultLifetime has passed.
    struct KeptResult {
      std::string query;
      std::uint64_t writes = 0;
      std::chrono::steady_clock::time_point read_at;
      std::shared_ptr<const Snapshot> rows;
    };
    static constexpr std::size_t kKeptResults = 32;
    static constexpr std::size_t kMaxKeptRows = 64;
    std::list<KeptResult> m_results;
    ErrorListener m_error_listener;
    int m_connection_timeout = 0;
    int m_last_error = 0;
    std::string m_connection_string;
    std::string m_last_error_text;
    std::string m_error_description;
    sqlite3* m_db = nullptr;
  };

  // A snapshot of the rows of one SELECT: Open reads them all and ends the statement, so no lock
  // is held between calls. A pending new or changed row is written back at Update by rowid.
  class CADORecordset {
   public:
    enum EditStatus { kEditNone = 0, kEditAdding = 1, kEditEditing = 2 };

    // The database must outlive the result set.
    explicit CADORecordset(CADODatabase& database);
    virtual ~CADORecordset();
    CADORecordset(const CADORecordset&) = delete;
    CADORecordset& operator=(const CADORecordset&) = delete;

    // Closes, then runs the query (an empty one reruns the last) and takes its rows, positioned
    // on the first. Only one statement is accepted. A plain "select ... from <table>" can be
    // changed through AddNew / Edit; other queries are read-only.
    bool Open(const std::string& sql);
    // As Open, with values bound to the query's "?" parameters in order.
    bool Open(const std::string& sql, const SqlValues& values);
    bool IsOpen() const;
    // True when there is no current row: empty result, past the last row, or not open.
    bool IsEOF() const;
    void MoveNext();

    // Reads a column of the current (or pending) row by name, letters in any case. An integer
    // read gives 0 for NULL; a text read gives "" for NULL and the decimal text of a number.
    bool GetFieldValue(const std::string& column, int& value);
    bool GetFieldValue(const std::string& column, std::string& value);

    // Starts a new row (all columns NULL) that Update inserts; false on a read-only result or
    // while another change is pending.
    bool AddNew();
    // Marks the current row for change; Update writes the columns set since.
    void Edit();
    // Sets a column of the pending row; false unless adding or editing. Empty text is NULL.
    bool SetFieldValue(const std::string& column, int value);
    bool SetFieldValue(const std::string& column, const std::string& value);
    // Writes the pending row; with nothing pending it does nothing and returns true. On failure
    // the pending change is dropped and the table is unchanged. The edit status ends as none.
    bool Update();
    void CancelUpdate();
    void Close();

    EditStatus GetEditStatus() const { return m_edit_status; }
    int GetLastError() const { return m_last_error; }
    const std::string& GetLastErrorText() const { return m_last_error_text; }

   private:
    bool Fail(int code, const std::string& description);
    bool FailEngine(int code);
    int ColumnIndex(const std::string& column);
    bool WritePending();

    std::unique_ptr<Snapshot> m_snapshot;
    CADODatabase& m_database;
    EditStatus m_edit_status = kEditNone;
    int m_last_error = 0;
    std::string m_last_error_text;
    std::string m_query;
    SqlValues m_values;
  };

  CADO() = default;
  virtual ~CADO();
  CADO(const CADO&) = delete;
  CADO& operator=(const CADO&) = delete;

  CADODatabase& Database() { return m_database; }
  // The result set of the operation in progress, or null between operations.
  CADORecordset* Recordset() { return m_recordset.get(); }
  // Installs the result set of a new operation and returns the one it replaces.
  std::unique_ptr<CADORecordset> ReplaceRecordset(std::unique_ptr<CADORecordset> recordset);

 private:
  CADODatabase m_database;  // declared first: it outlives the result set
  std::unique_ptr<CADORecordset> m_recordset;
};

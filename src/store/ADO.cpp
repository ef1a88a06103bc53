#include "store/ADO.h"

#include <sqlite3.h>
#include <strings.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdio>
#include <cstring>
#include <thread>

#include "base/AsciiText.h"

namespace {

constexpr int kDefaultBusyTimeoutMs = 30000;
constexpr const char* kLayerSource = "Tessel data access";

// Statements run through any connection of the process that may have written: kept results
// read before the latest of them are not used again.
std::atomic<std::uint64_t> g_writes{0};

// Counts a statement that may write once it has finished, whatever its outcome. Counting it
// before would let a reader on another connection take the count, read the rows the write has
// not changed yet and keep them as current after the write.
class WriteNote {
 public:
  explicit WriteNote(bool may_write = true) : m_may_write(may_write) {}
  WriteNote(const WriteNote&) = delete;
  WriteNote& operator=(const WriteNote&) = delete;
  ~WriteNote() {
    if (m_may_write) g_writes.fetch_add(1, std::memory_order_acq_rel);
  }

 private:
  bool m_may_write;
};

struct Value {
  int type = SQLITE_NULL;  // SQLITE_INTEGER, SQLITE_FLOAT, SQLITE_TEXT, SQLITE_BLOB or SQLITE_NULL
  sqlite3_int64 integer = 0;
  double real = 0;
  std::string text;  // text and blob bytes
};

struct Row {
  bool has_rowid = false;
  sqlite3_int64 rowid = 0;
  std::vector<Value> values;
};

bool IsSpace(char c) {
  return c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '\f';
}

std::string TrimLeft(const std::string& text) {
  return std::string(tessel::TrimLeft(text, " \t\r\n\f"));
}

// True when text at pos starts with the keyword (any letter case) followed by a non-word char.
bool KeywordAt(const std::string& text, size_t pos, const char* keyword) {
  size_t n = strlen(keyword);
  if (text.size() < pos + n || strncasecmp(text.c_str() + pos, keyword, n) != 0) return false;
  if (pos + n == text.size()) return true;
  char next = text[pos + n];
  return !(isalnum(static_cast<unsigned char>(next)) || next == '_');
}

size_t SkipSpace(const std::string& text, size_t pos) {
  while (pos < text.size() && IsSpace(text[pos])) ++pos;
  return pos;
}

// The stores' dialect writes "delete * from t"; the engine knows only "delete from t".
std::string NormalizeDialect(const std::string& sql) {
  size_t pos = SkipSpace(sql, 0);
  if (!KeywordAt(sql, pos, "delete")) return sql;
  size_t star = SkipSpace(sql, pos + 6);
  if (star >= sql.size() || sql[star] != '*') return sql;
  size_t from = SkipSpace(sql, star + 1);
  if (!KeywordAt(sql, from, "from")) return sql;
  return sql.substr(0, star) + sql.substr(from);
}

// What follows the first statement, apart from blanks and semicolons.
bool HasTrailingStatement(const char* tail) {
  for (; tail && *tail; ++tail) {
    if (!IsSpace(*tail) && *tail != ';') return true;
  }
  return false;
}

bool IsBusy(int rc) {
  int primary = rc & 0xff;
  return primary == SQLITE_BUSY || primary == SQLITE_LOCKED;
}

// Steps a statement that has not returned a row yet. The busy handler already waits for other
// connections; a statement can still come back busy where the engine will not wait (a stale
// snapshot, recovery by another connection), and then it is safe to start it again as long as
// nothing of it was committed: in autocommit mode, or for COMMIT, which keeps its transaction.
int StepFirst(sqlite3* db, sqlite3_stmt* stmt, int timeout_ms, bool is_commit) {
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
  auto pause = std::chrono::milliseconds(1);
  for (;;) {
    int rc = sqlite3_step(stmt);
    bool may_retry = is_commit || sqlite3_get_autocommit(db);
    if (!IsBusy(rc) || !may_retry || std::chrono::steady_clock::now() >= deadline) return rc;
    sqlite3_reset(stmt);
    std::this_thread::sleep_for(pause);
    pause = std::min(pause * 2, std::chrono::milliseconds(50));
  }
}

Value ReadColumn(sqlite3_stmt* stmt, int i) {
  Value value;
  value.type = sqlite3_column_type(stmt, i);
  switch (value.type) {
    case SQLITE_INTEGER:
      value.integer = sqlite3_column_int64(stmt, i);
      break;
    case SQLITE_FLOAT:
      value.real = sqlite3_column_double(stmt, i);
      break;
    case SQLITE_TEXT:
    case SQLITE_BLOB: {
      const void* data =
          value.type == SQLITE_TEXT ? sqlite3_column_text(stmt, i) : sqlite3_column_blob(stmt, i);
      int size = sqlite3_column_bytes(stmt, i);
      if (data) value.text.assign(static_cast<const char*>(data), size);
      break;
    }
    default:
      break;
  }
  return value;
}

int BindValue(sqlite3_stmt* stmt, int index, const Value& value) {
  switch (value.type) {
    case SQLITE_INTEGER:
      return sqlite3_bind_int64(stmt, index, value.integer);
    case SQLITE_FLOAT:
      return sqlite3_bind_double(stmt, index, value.real);
    case SQLITE_TEXT:
      return sqlite3_bind_text(stmt, index, value.text.data(), static_cast<int>(value.text.size()),
                               SQLITE_TRANSIENT);
    case SQLITE_BLOB:
      return sqlite3_bind_blob(stmt, index, value.text.data(), static_cast<int>(value.text.size()),
                               SQLITE_TRANSIENT);
    default:
      return sqlite3_bind_null(stmt, index);
  }
}

int BindValues(sqlite3_stmt* stmt, const SqlValues& values) {
  int index = 1;
  for (const SqlValue& value : values) {
    int rc = SQLITE_OK;
    switch (value.type) {
      case SqlValue::Type::kInteger:
        rc = sqlite3_bind_int64(stmt, index, value.integer);
        break;
      case SqlValue::Type::kText:
        rc = sqlite3_bind_text(stmt, index, value.text.data(), static_cast<int>(value.text.size()),
                               SQLITE_TRANSIENT);
        break;
      case SqlValue::Type::kNull:
        rc = sqlite3_bind_null(stmt, index);
        break;
    }
    if (rc != SQLITE_OK) return rc;
    ++index;
  }
  return sqlite3_bind_parameter_count(stmt) == static_cast<int>(values.size()) ? SQLITE_OK
                                                                               : SQLITE_RANGE;
}

// What a kept answer is found by: the query and the values bound to it, each value tagged and
// with its length, so that no two different questions share a key.
std::string ResultKey(const std::string& query, const SqlValues& values) {
  std::string key = query;
  for (const SqlValue& value : values) {
    key += '\0';
    if (value.type == SqlValue::Type::kInteger) {
      key += 'i' + std::to_string(value.integer);
    } else if (value.type == SqlValue::Type::kText) {
      key += 't' + std::to_string(value.text.size()) + ':' + value.text;
    } else {
      key += 'n';
    }
  }
  return key;
}

std::string QuoteIdentifier(const std::string& name) {
  std::string quoted = "\"";
  for (char c : name) {
    quoted += c;
    if (c == '"') quoted += '"';
  }
  return quoted + "\"";
}

std::string ErrorBlock(const char* title, int code, const std::string& source,
                       const std::string& description) {
  char head[64];
  snprintf(head, sizeof head, "%s Error\n\tCode = %08lx\n", title,
           static_cast<unsigned long>(static_cast<uint32_t>(code)));
  return head + std::string("\tCode meaning = ") + sqlite3_errstr(code) + "\n\tSource = " + source +
         "\n\tDescription = " + description + "\n";
}

std::string PathFromConnectionString(const std::string& connection_string) {
  static const std::string kKey = "Data Source=";
  std::string text = TrimLeft(connection_string);
  if (text.size() >= kKey.size() && strncasecmp(text.c_str(), kKey.c_str(), kKey.size()) == 0) {
    return text.substr(kKey.size());
  }
  return connection_string;
}

}  // namespace

std::string SqlQuote(const std::string& value) {
  std::string quoted;
  quoted.reserve(value.size());
  for (char c : value) {
    quoted += c;
    if (c == '\'') quoted += '\'';
  }
  return quoted;
}

// ---------------------------------------------------------------------------------------------
// CADODatabase

CADO::CADODatabase::~CADODatabase() {
  Close();
}

void CADO::CADODatabase::SetConnectionTimeout(int seconds) {
  m_connection_timeout = seconds;
  if (m_db) sqlite3_busy_timeout(m_db, BusyTimeoutMs());
}

bool CADO::CADODatabase::LastErrorWasBusy() const {
  return IsBusy(m_last_error);
}

int CADO::CADODatabase::Changes() const {
  return m_db ? sqlite3_changes(m_db) : 0;
}

int CADO::CADODatabase::BusyTimeoutMs() const {
  return m_connection_timeout > 0 ? m_connection_timeout * 1000 : kDefaultBusyTimeoutMs;
}

void CADO::CADODatabase::RecordError(int code, const std::string& description) {
  m_last_error = code;
  m_error_description = description;
  m_last_error_text = "Connection String = " + m_connection_string + "\n" +
                      ErrorBlock("CADODataBase", code, kLayerSource, description);
}

void CADO::CADODatabase::RecordEngineError(int code) {
  std::string description = m_db ? sqlite3_errmsg(m_db) : sqlite3_errstr(code);
  m_last_error = code;
  m_error_description = description;
  m_last_error_text = "Connection String = " + m_connection_string + "\n" +
                      ErrorBlock("CADODataBase", code, "SQLite", description);
  if (m_error_listener) m_error_listener(code, description);
}

bool CADO::CADODatabase::Open(const std::string& connection_string, const std::string&,
                              const std::string&) {
  Close();
  if (!connection_string.empty()) m_connection_string = connection_string;
  return Connect(PathFromConnectionString(m_connection_string), SQLITE_OPEN_READWRITE, true);
}

bool CADO::CADODatabase::Create(const std::string& path) {
  Close();
  m_connection_string = "Data Source=" + path;
  return Connect(path, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE, false);
}

bool CADO::CADODatabase::Connect(const std::string& path, int flags, bool shared) {
  if (path.empty()) {
    RecordError(SQLITE_CANTOPEN, "No database file was named");
    return false;
  }
  int rc = sqlite3_open_v2(path.c_str(), &m_db, flags | SQLITE_OPEN_FULLMUTEX, nullptr);
  if (rc == SQLITE_OK) {
    sqlite3_extended_result_codes(m_db, 1);
    sqlite3_busy_timeout(m_db, BusyTimeoutMs());
    // The log lets readers and one writer work at once. FULL syncs at every commit, so a write
    // reported done survives a crash or power loss (in the log NORMAL syncs only at checkpoints).
    // Setting the journal mode also proves the file is a database.
    const char* journal = shared ? "PRAGMA journal_mode=WAL" : "PRAGMA journal_mode=DELETE";
    if (Execute(journal) && Execute("PRAGMA synchronous=FULL")) return true;
    Close();  // keeps the error Execute recorded
    return false;
  }
  RecordEngineError(rc);
  sqlite3_close(m_db);
  m_db = nullptr;
  return false;
}

void CADO::CADODatabase::Close() {
  m_results.clear();
  if (!m_db) return;
  for (auto& entry : m_statements) sqlite3_finalize(entry.second);
  m_statements.clear();
  sqlite3_close_v2(m_db);
  m_db = nullptr;
}

bool CADO::CADODatabase::Execute(const std::string& sql) {
  if (!m_db) {
    RecordError(SQLITE_MISUSE, "The connection is not open");
    return false;
  }
  WriteNote note;
  std::string statement = NormalizeDialect(sql);
  sqlite3_stmt* stmt = nullptr;
  const char* tail = nullptr;
  int rc = sqlite3_prepare_v2(m_db, statement.c_str(), -1, &stmt, &tail);
  if (rc != SQLITE_OK) {
    RecordEngineError(rc);
    sqlite3_finalize(stmt);
    return false;
  }
  if (!stmt || HasTrailingStatement(tail)) {
    sqlite3_finalize(stmt);
    RecordError(SQLITE_ERROR, "Exactly one statement is expected");
    return false;
  }
  bool is_commit = KeywordAt(statement, SkipSpace(statement, 0), "commit") ||
                   KeywordAt(statement, SkipSpace(statement, 0), "end");
  rc = StepFirst(m_db, stmt, BusyTimeoutMs(), is_commit);
  while (rc == SQLITE_ROW) rc = sqlite3_step(stmt);
  if (rc != SQLITE_DONE) {
    RecordEngineError(rc);
    sqlite3_finalize(stmt);
    return false;
  }
  sqlite3_finalize(stmt);
  return true;
}

sqlite3_stmt* CADO::CADODatabase::PrepareCached(const std::string& sql, int& rc,
                                                const SqlValues& values) {
  rc = SQLITE_OK;
  sqlite3_stmt* stmt = nullptr;
  for (auto it = m_statements.begin(); it != m_statements.end(); ++it) {
    if (it->first != sql) continue;
    m_statements.splice(m_statements.begin(), m_statements, it);
    stmt = it->second;
    break;
  }
  if (!stmt) {
    const char* tail = nullptr;
    rc = sqlite3_prepare_v2(m_db, sql.c_str(), -1, &stmt, &tail);
    if (rc != SQLITE_OK || !stmt || HasTrailingStatement(tail)) {
      sqlite3_finalize(stmt);
      return nullptr;
    }
    if (m_statements.size() >= kCachedStatements) {
      sqlite3_finalize(m_statements.back().second);
      m_statements.pop_back();
    }
    m_statements.emplace_front(sql, stmt);
  }
  // A kept statement still holds the values of its last use.
  sqlite3_clear_bindings(stmt);
  rc = BindValues(stmt, values);
  return rc == SQLITE_OK ? stmt : nullptr;
}

bool CADO::CADODatabase::Execute(const std::string& sql, const SqlValues& values) {
  if (!m_db) {
    RecordError(SQLITE_MISUSE, "The connection is not open");
    return false;
  }
  WriteNote note;
  int rc = SQLITE_OK;
  sqlite3_stmt* stmt = PrepareCached(sql, rc, values);
  if (!stmt) {
    if (rc == SQLITE_RANGE) {
      RecordError(rc, "The values do not match the statement's parameters");
    } else if (rc != SQLITE_OK) {
      RecordEngineError(rc);
    } else {
      RecordError(SQLITE_ERROR, "Exactly one statement is expected");
    }
    return false;
  }
  rc = StepFirst(m_db, stmt, BusyTimeoutMs(), false);
  while (rc == SQLITE_ROW) rc = sqlite3_step(stmt);
  // Reset ends the statement's hold on the file; the kept statement waits for its next use.
  sqlite3_reset(stmt);
  if (rc != SQLITE_DONE) {
    RecordEngineError(rc);
    return false;
  }
  return true;
}

bool CADO::CADODatabase::BeginTrans() {
  return Execute("BEGIN IMMEDIATE");
}

bool CADO::CADODatabase::CommitTrans() {
  return Execute("COMMIT");
}

void CADO::CADODatabase::RollbackTrans() {
  if (m_db && !sqlite3_get_autocommit(m_db)) Execute("ROLLBACK");
}

// ---------------------------------------------------------------------------------------------
// CADORecordset

struct CADO::Snapshot {
  std::string table;  // empty: the rows cannot be written back
  std::vector<std::string> columns;
  std::vector<Row> rows;
  size_t current = 0;
  Row pending;
  std::vector<bool> dirty;
};

const CADO::Snapshot* CADO::CADODatabase::KeptRows(const std::string& query) {
  for (auto it = m_results.begin(); it != m_results.end(); ++it) {
    if (it->query != query) continue;
    if (it->writes != g_writes.load(std::memory_order_acquire) ||
        std::chrono::steady_clock::now() - it->read_at >= kResultLifetime) {
      m_results.erase(it);
      return nullptr;
    }
    m_results.splice(m_results.begin(), m_results, it);
    return it->rows.get();
  }
  return nullptr;
}

void CADO::CADODatabase::KeepRows(const std::string& query, std::uint64_t writes,
                                  const Snapshot& rows) {
  std::erase_if(m_results, [&](const KeptResult& kept) { return kept.query == query; });
  if (rows.rows.size() > kMaxKeptRows) return;
  if (m_results.size() >= kKeptResults) m_results.pop_back();
  m_results.push_front(
      {query, writes, std::chrono::steady_clock::now(), std::make_shared<const Snapshot>(rows)});
}

CADO::CADORecordset::CADORecordset(CADODatabase& database) : m_database(database) {}

CADO::CADORecordset::~CADORecordset() {
  Close();
}

bool CADO::CADORecordset::Fail(int code, const std::string& description) {
  m_last_error = code;
  m_last_error_text =
      "Query = " + m_query + "\n" + ErrorBlock("CADORecordset", code, kLayerSource, description);
  return false;
}

bool CADO::CADORecordset::FailEngine(int code) {
  std::string description = m_database.m_db ? sqlite3_errmsg(m_database.m_db) : "";
  m_last_error = code;
  m_last_error_text =
      "Query = " + m_query + "\n" + ErrorBlock("CADORecordset", code, "SQLite", description);
  if (m_database.m_error_listener) m_database.m_error_listener(code, description);
  return false;
}

bool CADO::CADORecordset::IsOpen() const {
  return m_snapshot != nullptr;
}

bool CADO::CADORecordset::IsEOF() const {
  return !m_snapshot || m_snapshot->current >= m_snapshot->rows.size();
}

void CADO::CADORecordset::MoveNext() {
  if (!IsEOF()) ++m_snapshot->current;
}

bool CADO::CADORecordset::Open(const std::string& sql) {
  if (!sql.empty()) m_values.clear();
  return Open(sql, m_values);
}

bool CADO::CADORecordset::Open(const std::string& sql, const SqlValues& values) {
  Close();
  if (!sql.empty()) {
    m_query = sql;
    if (&values != &m_values) m_values = values;
  }
  sqlite3* db = m_database.m_db;
  if (!db) return Fail(SQLITE_MISUSE, "The connection is not open");
  std::string query = TrimLeft(m_query);
  // A question asked again is answered with a copy of the rows kept from the last time; inside
  // a transaction the rows are always read. Anything but a question may write.
  const bool keepable = KeywordAt(query, 0, "select") && sqlite3_get_autocommit(db);
  WriteNote note(!keepable);
  const std::string key = keepable ? ResultKey(query, m_values) : std::string();
  if (const Snapshot* kept = keepable ? m_database.KeptRows(key) : nullptr) {
    m_snapshot = std::make_unique<Snapshot>(*kept);
    return true;
  }
  const std::uint64_t writes = g_writes.load(std::memory_order_acquire);

  // A rowid in front of the columns lets a changed row be written back; queries that cannot
  // carry it (views, joins, pragmas) run as given and stay read-only.
  sqlite3_stmt* stmt = nullptr;
  bool with_rowid = false;
  int rc = SQLITE_OK;
  if (KeywordAt(query, 0, "select")) {
    stmt = m_database.PrepareCached("select rowid, " + query.substr(6), rc, m_values);
    with_rowid = stmt != nullptr;
  }
  if (!with_rowid) {
    stmt = m_database.PrepareCached(query, rc, m_values);
    if (rc == SQLITE_RANGE) return Fail(rc, "The values do not match the query's parameters");
    if (rc != SQLITE_OK) return FailEngine(rc);
    if (!stmt) return Fail(SQLITE_ERROR, "Exactly one statement is expected");
  }

  // The columns are read after the first step: a kept statement whose tables changed is
  // prepared again by it, and may then have other columns.
  rc = StepFirst(db, stmt, m_database.BusyTimeoutMs(), false);
  auto snapshot = std::make_unique<Snapshot>();
  int first = with_rowid ? 1 : 0;
  int count = sqlite3_column_count(stmt);
  for (int i = first; i < count; ++i) {
    snapshot->columns.push_back(sqlite3_column_name(stmt, i));
    const char* table = sqlite3_column_table_name(stmt, i);
    if (!with_rowid || !table || (!snapshot->table.empty() && snapshot->table != table)) {
      with_rowid = false;
    } else {
      snapshot->table = table;
    }
  }
  if (!with_rowid) snapshot->table.clear();

  while (rc == SQLITE_ROW) {
    Row row;
    row.has_rowid = with_rowid;
    if (first) row.rowid = sqlite3_column_int64(stmt, 0);
    row.values.reserve(count - first);
    for (int i = first; i < count; ++i) row.values.push_back(ReadColumn(stmt, i));
    snapshot->rows.push_back(std::move(row));
    rc = sqlite3_step(stmt);
  }
  // Reset ends the statement's read of the file, so no snapshot outlives the call.
  sqlite3_reset(stmt);
  if (rc != SQLITE_DONE) return FailEngine(rc);
  if (keepable) m_database.KeepRows(key, writes, *snapshot);
  m_snapshot = std::move(snapshot);
  return true;
}

int CADO::CADORecordset::ColumnIndex(const std::string& column) {
  for (size_t i = 0; i < m_snapshot->columns.size(); ++i) {
    if (strcasecmp(m_snapshot->columns[i].c_str(), column.c_str()) == 0) {
      return static_cast<int>(i);
    }
  }
  Fail(SQLITE_ERROR, "No column named " + column);
  return -1;
}

bool CADO::CADORecordset::GetFieldValue(const std::string& column, std::string& value) {
  if (!m_snapshot) return Fail(SQLITE_MISUSE, "The result set is not open");
  bool pending = m_edit_status != kEditNone;
  if (!pending && IsEOF()) return Fail(SQLITE_ERROR, "There is no current row");
  int index = ColumnIndex(column);
  if (index < 0) return false;
  const Row& row = pending ? m_snapshot->pending : m_snapshot->rows[m_snapshot->current];
  const Value& field = row.values[index];
  switch (field.type) {
    case SQLITE_TEXT:
      value = field.text;
      return true;
    case SQLITE_INTEGER:
      value = std::to_string(field.integer);
      return true;
    case SQLITE_BLOB:
      value.clear();
      return Fail(SQLITE_MISMATCH, "Column " + column + " holds binary data");
    default:  // NULL, and floating-point values, which no table of ours holds
      value.clear();
      return true;
  }
}

bool CADO::CADORecordset::GetFieldValue(const std::string& column, int& value) {
  if (!m_snapshot) return Fail(SQLITE_MISUSE, "The result set is not open");
  bool pending = m_edit_status != kEditNone;
  if (!pending && IsEOF()) return Fail(SQLITE_ERROR, "There is no current row");
  int index = ColumnIndex(column);
  if (index < 0) return false;
  const Row& row = pending ? m_snapshot->pending : m_snapshot->rows[m_snapshot->current];
  const Value& field = row.values[index];
  long long number = 0;
  switch (field.type) {
    case SQLITE_NULL:
      value = 0;
      return true;
    case SQLITE_INTEGER:
      number = field.integer;
      break;
    case SQLITE_TEXT: {
      char* end = nullptr;
      errno = 0;
      number = strtoll(field.text.c_str(), &end, 10);
      if (field.text.empty() || *end != '\0' || errno == ERANGE) {
        return Fail(SQLITE_MISMATCH, "Column " + column + " does not hold a whole number");
      }
      break;
    }
    default:
      return Fail(SQLITE_MISMATCH, "Column " + column + " does not hold a whole number");
  }
  if (number < INT_MIN || number > INT_MAX) {
    return Fail(SQLITE_RANGE, "Column " + column + " is out of the 32-bit range");
  }
  value = static_cast<int>(number);
  return true;
}

bool CADO::CADORecordset::AddNew() {
  if (!m_snapshot) return Fail(SQLITE_MISUSE, "The result set is not open");
  if (m_edit_status != kEditNone) return Fail(SQLITE_MISUSE, "Another change is pending");
  if (m_snapshot->table.empty()) return Fail(SQLITE_READONLY, "The result set cannot be changed");
  m_snapshot->pending = Row{};
  m_snapshot->pending.values.resize(m_snapshot->columns.size());
  m_snapshot->dirty.assign(m_snapshot->columns.size(), false);
  m_edit_status = kEditAdding;
  return true;
}

void CADO::CADORecordset::Edit() {
  if (!m_snapshot || m_edit_status != kEditNone) return;
  // Without a current row the pending row has no rowid, and Update reports it.
  m_snapshot->pending = IsEOF() ? Row{} : m_snapshot->rows[m_snapshot->current];
  m_snapshot->pending.values.resize(m_snapshot->columns.size());
  m_snapshot->dirty.assign(m_snapshot->columns.size(), false);
  m_edit_status = kEditEditing;
}

bool CADO::CADORecordset::SetFieldValue(const std::string& column, int value) {
  if (m_edit_status == kEditNone) return Fail(SQLITE_MISUSE, "No new or changed row is pending");
  int index = ColumnIndex(column);
  if (index < 0) return false;
  Value& field = m_snapshot->pending.values[index];
  field = Value{};
  field.type = SQLITE_INTEGER;
  field.integer = value;
  m_snapshot->dirty[index] = true;
  return true;
}

bool CADO::CADORecordset::SetFieldValue(const std::string& column, const std::string& value) {
  if (m_edit_status == kEditNone) return Fail(SQLITE_MISUSE, "No new or changed row is pending");
  int index = ColumnIndex(column);
  if (index < 0) return false;
  Value& field = m_snapshot->pending.values[index];
  field = Value{};
  if (!value.empty()) {
    field.type = SQLITE_TEXT;
    field.text = value;
  }
  m_snapshot->dirty[index] = true;
  return true;
}

bool CADO::CADORecordset::WritePending() {
  sqlite3* db = m_database.m_db;
  if (!db) return Fail(SQLITE_MISUSE, "The connection is not open");
  WriteNote note;
  Snapshot& s = *m_snapshot;
  bool adding = m_edit_status == kEditAdding;
  if (!adding && !s.pending.has_rowid) return Fail(SQLITE_ERROR, "There is no current row");

  std::vector<int> set;
  for (size_t i = 0; i < s.columns.size(); ++i) {
    if (s.dirty[i]) set.push_back(static_cast<int>(i));
  }
  if (!adding && set.empty()) return true;

  std::string sql;
  if (adding && set.empty()) {
    sql = "INSERT INTO " + QuoteIdentifier(s.table) + " DEFAULT VALUES";
  } else if (adding) {
    std::string names, marks;
    for (int i : set) {
      names += (names.empty() ? "" : ", ") + QuoteIdentifier(s.columns[i]);
      marks += marks.empty() ? "?" : ", ?";
    }
    sql = "INSERT INTO " + QuoteIdentifier(s.table) + " (" + names + ") VALUES (" + marks + ")";
  } else {
    std::string assignments;
    for (int i : set) {
      assignments += (assignments.empty() ? "" : ", ") + QuoteIdentifier(s.columns[i]) + " = ?";
    }
    sql = "UPDATE " + QuoteIdentifier(s.table) + " SET " + assignments + " WHERE rowid = ?";
  }

  sqlite3_stmt* stmt = nullptr;
  int rc = sqlite3_prepare_v2(db, sql.c_str(), -1, &stmt, nullptr);
  int index = 1;
  for (int i : set) {
    if (rc == SQLITE_OK) rc = BindValue(stmt, index++, s.pending.values[i]);
  }
  if (rc == SQLITE_OK && !adding) rc = sqlite3_bind_int64(stmt, index, s.pending.rowid);
  if (rc == SQLITE_OK) rc = StepFirst(db, stmt, m_database.BusyTimeoutMs(), false);
  sqlite3_finalize(stmt);
  if (rc != SQLITE_DONE) return FailEngine(rc);

  if (adding) {
    s.pending.has_rowid = true;
    s.pending.rowid = sqlite3_last_insert_rowid(db);
    s.rows.push_back(s.pending);
    s.current = s.rows.size() - 1;
  } else {
    // Optimistic locking: the row may have been removed through another connection since Open.
    if (sqlite3_changes(db) == 0) return Fail(SQLITE_NOTFOUND, "The row no longer exists");
    s.rows[s.current] = s.pending;
  }
  return true;
}

bool CADO::CADORecordset::Update() {
  if (m_edit_status == kEditNone) return true;
  bool written = WritePending();
  CancelUpdate();
  return written;
}

void CADO::CADORecordset::CancelUpdate() {
  m_edit_status = kEditNone;
  if (m_snapshot) {
    m_snapshot->pending = Row{};
    m_snapshot->dirty.clear();
  }
}

void CADO::CADORecordset::Close() {
  CancelUpdate();
  m_snapshot.reset();
}

// ---------------------------------------------------------------------------------------------
// CADO

CADO::~CADO() {
  m_recordset.reset();
}

std::unique_ptr<CADO::CADORecordset> CADO::ReplaceRecordset(
    std::unique_ptr<CADORecordset> recordset) {
  std::swap(m_recordset, recordset);
  return recordset;
}

#include "db/client/sqlite_backend.h"

#include <sqlite3.h>

#include <cctype>
#include <cstring>
#include <unordered_map>

#include "db/client/sqlite_commit_sync.h"
#include "db/client/wake_sources.h"
#include "db/client/win1252.h"
#include "platform/ascii_case.h"
#include "platform/env.h"

namespace kvr {
namespace {

constexpr size_t kStatementCacheSize = 64;
// The byte of the database file the queue lock locks: far from the bytes
// SQLite locks itself (at 1 GiB), beyond any real file's end.
constexpr uint64_t kQueueLockByte = uint64_t{1} << 62;
constexpr size_t kMaxHolderText = 256;
// The holder locks the byte first and writes its name a moment later: an
// empty name is read again this often, this far apart.
constexpr int kHolderReadTries = 20;
constexpr int64_t kHolderReadPauseMs = 5;

// Checks that a schema has at least one table.
constexpr const char* kSqlSchemaExists =
    "select 1 from sqlite_master where type in ('table','view') "
    "and upper(substr(name, 1, length(?1))) = ?1 limit 1";

DbStatus Status(int code, std::string message) { return DbStatus{code, std::move(message)}; }

struct TextHash {
  using is_transparent = void;
  size_t operator()(std::string_view s) const { return std::hash<std::string_view>()(s); }
};

DbStatus MapError(int ext, const char* text) {
  std::string msg = text ? text : "";
  int primary = ext & 0xFF;
  switch (ext) {
    case SQLITE_CONSTRAINT_UNIQUE:
    case SQLITE_CONSTRAINT_PRIMARYKEY:
      return Status(-1, "ORA-00001: unique constraint violated");
    case SQLITE_CONSTRAINT_NOTNULL:
      return Status(-1400, "ORA-01400: cannot insert NULL");
    default:
      break;
  }
  switch (primary) {
    case SQLITE_CONSTRAINT:
      return Status(-2290, "ORA-02290: check constraint violated");
    case SQLITE_BUSY:
    case SQLITE_LOCKED:
      return Status(-54, "ORA-00054: resource busy");
    case SQLITE_NOTADB:
      return Status(-1157, "ORA-01157: cannot identify/lock data file - not a database");
    case SQLITE_CORRUPT:
      return Status(-1578, "ORA-01578: ORACLE data block corrupted");
    case SQLITE_READONLY:
      return Status(-16000, "ORA-16000: database open for read-only access");
    case SQLITE_CANTOPEN:
      return Status(-1157, "ORA-01157: cannot identify/lock data file");
    case SQLITE_FULL:
      return Status(-1653, "ORA-01653: unable to extend table");
    case SQLITE_IOERR:
      return Status(-1114, "ORA-01114: IO error writing block to file");
    case SQLITE_TOOBIG:
      return Status(-12899, "ORA-12899: value too large for column");
    case SQLITE_MISMATCH:
      return Status(-1722, "ORA-01722: invalid number");
    case SQLITE_RANGE:
      return Status(-1008, "ORA-01008: not all variables bound");
    case SQLITE_NOMEM:
      return Status(-4030, "ORA-04030: out of process memory");
    default:
      break;
  }
  if (msg.find("no such table") != std::string::npos) {
    return Status(-942, "ORA-00942: table or view does not exist");
  }
  if (msg.find("no such column") != std::string::npos ||
      msg.find("no such function") != std::string::npos) {
    return Status(-904, "ORA-00904: invalid identifier");
  }
  if (msg.find("syntax error") != std::string::npos ||
      msg.find("incomplete input") != std::string::npos) {
    return Status(-900, "ORA-00900: invalid SQL statement");
  }
  return Status(-20000, "ORA-20000: " + Utf8ToWin1252(msg));
}

class SqliteBackend : public Backend {
 public:
  SqliteBackend(int busyTimeoutMs, std::function<bool()> stopRequested)
      : busyTimeoutMs_(busyTimeoutMs), stopRequested_(std::move(stopRequested)) {}
  ~SqliteBackend() override {
    for (auto& [text, stmt] : cache_) sqlite3_finalize(stmt);
    // The stop test may belong to an owner that has gone already: closing
    // waits for nobody.
    if (db_) sqlite3_busy_handler(db_, nullptr, nullptr);
    if (db_) sqlite3_close_v2(db_);
  }

  DbStatus Connect(const ConnectTarget& target) override;
  DbStatus Run(const Translation& t, std::span<const Bind> in, RowSet* rows,
               int64_t* affected) override;
  DbStatus SetSchema(std::string_view schema) override;
  DbStatus Commit() override;
  void DeferNextCommitSync() override { commitSync_.Defer(inTxn_); }
  QueueLockResult TryQueueLock(Env& env, const QueueLockRequest& request) override;
  void ReleaseQueueLock() override {
    lockFile_.reset();
    queueLock_.reset();
  }
  bool CheckDatabaseFile() override;
  std::unique_ptr<WakeSource> OpenWakeSource() override {
    return db_ ? MakeSqliteWakeSource(db_) : nullptr;
  }
  Dialect dialect() const override { return Dialect::Sqlite; }
  std::string_view name() const override { return "sqlite"; }
  std::string currentSchema() const override { return schema_; }

 private:
  DbStatus Fail() {
    DbStatus st = MapError(sqlite3_extended_errcode(db_), sqlite3_errmsg(db_));
    // Some errors (I/O, full disk, busy on commit) end the whole transaction.
    if (sqlite3_get_autocommit(db_)) inTxn_ = false;
    return st;
  }
  DbStatus ExecPlain(const char* sql);
  bool HoldsAnotherStatement(const char* tail, const char* end);
  DbStatus ExecCached(std::string_view sql);
  DbStatus BeginIfNeeded();
  sqlite3_stmt* Prepare(std::string_view text, DbStatus* st);
  DbStatus Step(sqlite3_stmt* stmt, RowSet* rows);

  // Waits for another connection's lock like sqlite3_busy_timeout, but
  // ends the wait once a stop is requested.
  static int BusyWait(void* self, int count);

  int busyTimeoutMs_;
  std::function<bool()> stopRequested_;
  sqlite3* db_ = nullptr;
  bool inTxn_ = false;
  bool readOnly_ = false;
  SqliteCommitSync commitSync_;
  std::string schema_;
  std::unordered_map<std::string, sqlite3_stmt*, TextHash, std::equal_to<>> cache_;
  // The queue lock (on the database file) and the lock file that names
  // its holder; the holder's Env and text, to take the lock file anew.
  std::unique_ptr<FileLock> queueLock_;
  std::unique_ptr<FileLock> lockFile_;
  Env* lockEnv_ = nullptr;
  std::string holder_;
};

int SqliteBackend::BusyWait(void* self, int count) {
  constexpr int kStepMs = 10;
  auto* backend = static_cast<SqliteBackend*>(self);
  if (backend->stopRequested_()) return 0;
  if (static_cast<int64_t>(count) * kStepMs >= backend->busyTimeoutMs_) return 0;
  sqlite3_sleep(kStepMs);
  return 1;
}

DbStatus SqliteBackend::ExecPlain(const char* sql) {
  char* err = nullptr;
  int rc = sqlite3_exec(db_, sql, nullptr, nullptr, &err);
  sqlite3_free(err);
  return rc == SQLITE_OK ? DbStatus{} : Fail();
}

DbStatus SqliteBackend::Connect(const ConnectTarget& target) {
  int flags = SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_NOMUTEX;
  if (target.path.rfind("file:", 0) == 0) flags |= SQLITE_OPEN_URI;
  int rc = sqlite3_open_v2(target.path.c_str(), &db_, flags, nullptr);
  if (rc != SQLITE_OK) {
    DbStatus st =
        db_ ? MapError(sqlite3_extended_errcode(db_), sqlite3_errmsg(db_)) : MapError(rc, nullptr);
    return st;
  }
  sqlite3_extended_result_codes(db_, 1);
  commitSync_.Reset();
  if (stopRequested_) {
    sqlite3_busy_handler(db_, &SqliteBackend::BusyWait, this);
  } else {
    sqlite3_busy_timeout(db_, busyTimeoutMs_);
  }
  readOnly_ = sqlite3_db_readonly(db_, "main") == 1;
  // Reading the schema proves the file is a database.
  DbStatus st = ExecPlain("select count(*) from sqlite_master");
  if (st.code != 0) return st;
  if (!readOnly_) {
    st = ExecPlain("PRAGMA journal_mode=WAL");
    if (st.code != 0) return st;
  }
  return {};
}

// Runs a statement without inputs and rows from the statement cache.
DbStatus SqliteBackend::ExecCached(std::string_view sql) {
  DbStatus st;
  sqlite3_stmt* stmt = Prepare(sql, &st);
  if (!stmt) return st;
  st = Step(stmt, nullptr);
  sqlite3_reset(stmt);
  return st;
}

DbStatus SqliteBackend::BeginIfNeeded() {
  if (inTxn_) return {};
  DbStatus st = commitSync_.BeforeBegin(db_);
  if (st.code != 0) return st;
  st = ExecCached(readOnly_ ? "BEGIN" : "BEGIN IMMEDIATE");
  if (st.code == 0) inTxn_ = true;
  return st;
}

// True when the rest of a text behind its first statement compiles to a
// statement of its own (blanks, semicolons and comments do not).
bool SqliteBackend::HoldsAnotherStatement(const char* tail, const char* end) {
  while (tail && tail < end) {
    sqlite3_stmt* next = nullptr;
    const char* after = nullptr;
    int rc = sqlite3_prepare_v2(db_, tail, static_cast<int>(end - tail), &next, &after);
    sqlite3_finalize(next);
    if (rc != SQLITE_OK || next != nullptr) return true;
    if (after == nullptr || after <= tail) return false;
    tail = after;
  }
  return false;
}

sqlite3_stmt* SqliteBackend::Prepare(std::string_view text, DbStatus* st) {
  auto it = cache_.find(text);
  if (it != cache_.end()) return it->second;
  sqlite3_stmt* stmt = nullptr;
  const char* tail = nullptr;
  if (sqlite3_prepare_v2(db_, text.data(), static_cast<int>(text.size()), &stmt, &tail) !=
      SQLITE_OK) {
    *st = Fail();
    sqlite3_finalize(stmt);
    return nullptr;
  }
  if (stmt == nullptr) {
    *st = Status(-900, "ORA-00900: invalid SQL statement");
    return nullptr;
  }
  // SQLite would run the first statement of "a; b" and drop the rest
  // unseen, reporting success for a text the other engine refuses: one
  // statement per call, as in Oracle.
  if (HoldsAnotherStatement(tail, text.data() + text.size())) {
    sqlite3_finalize(stmt);
    *st = Status(-911, "ORA-00911: invalid character");
    return nullptr;
  }
  if (cache_.size() >= kStatementCacheSize) {
    for (auto& [t, s] : cache_) sqlite3_finalize(s);
    cache_.clear();
  }
  cache_.emplace(std::string(text), stmt);
  return stmt;
}

DbStatus SqliteBackend::Step(sqlite3_stmt* stmt, RowSet* rows) {
  int columns = sqlite3_column_count(stmt);
  if (rows) {
    rows->columns = static_cast<size_t>(columns);
    rows->names.clear();
    for (int c = 0; c < columns; ++c) {
      const char* name = sqlite3_column_name(stmt, c);
      rows->names.emplace_back(name ? name : "");
    }
  }
  for (;;) {
    int rc = sqlite3_step(stmt);
    if (rc == SQLITE_DONE) return {};
    if (rc != SQLITE_ROW) return Fail();
    if (!rows) continue;
    for (int c = 0; c < columns; ++c) {
      if (sqlite3_column_type(stmt, c) == SQLITE_NULL) {
        rows->cells.emplace_back(std::nullopt);
        continue;
      }
      const char* text = reinterpret_cast<const char*>(sqlite3_column_text(stmt, c));
      int n = sqlite3_column_bytes(stmt, c);
      rows->cells.emplace_back(Utf8ToWin1252(std::string_view(text ? text : "", n)));
    }
  }
}

DbStatus SqliteBackend::Run(const Translation& t, std::span<const Bind> in, RowSet* rows,
                            int64_t* affected) {
  if (!db_) return Status(kSqlNotConnected, kMsgNotConnected);
  if (static_cast<int>(in.size()) < t.inputCount) {
    return Status(-1008, "ORA-01008: not all variables bound");
  }
  // A select outside a transaction reads what is committed now, as each
  // statement does in Oracle; only a change opens the transaction, so a
  // reader never holds the write lock other programs wait for.
  DbStatus st;
  if (t.kind != StatementKind::Select) st = BeginIfNeeded();
  if (st.code != 0) return st;
  const bool ascii = IsAscii(t.text);
  sqlite3_stmt* stmt = Prepare(ascii ? t.text : Win1252ToUtf8(t.text), &st);
  if (!stmt) return st;
  sqlite3_reset(stmt);
  // Converted texts live until the step is done, so SQLite need not copy.
  std::vector<std::string> converted;
  converted.reserve(static_cast<size_t>(t.inputCount));
  for (int i = 0; i < t.inputCount; ++i) {
    const Bind& b = in[static_cast<size_t>(i)];
    if (!b.isText()) {
      sqlite3_bind_int(stmt, i + 1, b.integer());
    } else if (b.text().empty()) {
      sqlite3_bind_null(stmt, i + 1);  // an empty text is NULL
    } else {
      std::string_view v = b.text();
      if (!IsAscii(v)) v = converted.emplace_back(Win1252ToUtf8(v));
      sqlite3_bind_text(stmt, i + 1, v.data(), static_cast<int>(v.size()), SQLITE_STATIC);
    }
  }
  st = Step(stmt, rows);
  sqlite3_reset(stmt);
  sqlite3_clear_bindings(stmt);  // no pointer to the caller's texts stays behind
  if (st.code == 0 && affected) *affected = sqlite3_changes64(db_);
  return st;
}

DbStatus SqliteBackend::SetSchema(std::string_view schema) {
  if (!db_) return Status(kSqlNotConnected, kMsgNotConnected);
  std::string name(schema);
  if (name.size() >= 2 && name.front() == '"' && name.back() == '"') {
    name = name.substr(1, name.size() - 2);
  } else {
    name = ToUpperAscii(name);
  }
  if (name.empty()) return Status(-900, "ORA-00900: invalid SQL statement");
  Translation check;
  check.text = kSqlSchemaExists;
  check.kind = StatementKind::Select;
  check.inputCount = 1;
  std::string prefix = name + ".";
  Bind in[] = {Bind::Text(prefix)};
  RowSet rows;
  DbStatus st = Run(check, in, &rows, nullptr);
  if (st.code != 0) return st;
  if (rows.rows() == 0) return Status(-1435, "ORA-01435: user does not exist");
  schema_ = name;
  return {};
}

DbStatus SqliteBackend::Commit() {
  if (!db_) return Status(kSqlNotConnected, kMsgNotConnected);
  commitSync_.Committed();
  if (!inTxn_) return {};
  DbStatus st = ExecCached("COMMIT");
  if (st.code == 0 || sqlite3_get_autocommit(db_)) inTxn_ = false;
  return st;
}

// The holder's text in a lock file, read without locking it.
std::string HolderNamedIn(Env& env, const std::string& lockPath) {
  std::string text = env.ReadFile(lockPath).value_or("");
  for (int i = 1; i < kHolderReadTries && text.find_first_not_of(" \n") == std::string::npos; ++i) {
    env.SleepMs(kHolderReadPauseMs);
    text = env.ReadFile(lockPath).value_or("");
  }
  if (text.size() > kMaxHolderText) text.resize(kMaxHolderText);
  for (char& c : text) {
    if (static_cast<unsigned char>(c) < 0x20) c = ' ';
  }
  size_t end = text.find_last_not_of(' ');
  text.erase(end == std::string::npos ? 0 : end + 1);
  return text.substr(std::min(text.size(), text.find_first_not_of(' ')));
}

QueueLockResult LockFailure(const std::string& path, int error) {
  QueueLockResult r;
  r.state = QueueLockState::Failed;
  r.code = -1157;
  r.error = "ORA-01157: cannot lock " + path + ": " + std::strerror(error);
  return r;
}

// One file holds every schema, so the lock belongs to the file: a byte of
// the database file itself, so that no file removed or replaced beside it
// lets a second holder in; a database without a file (in memory,
// temporary) cannot be reached by another connection and needs no lock.
// The holder also locks the file "<database file>.lock" and writes its name
// there for others to read; a holder of that file alone (a controller of
// an earlier make) keeps the queue too.
QueueLockResult SqliteBackend::TryQueueLock(Env& env, const QueueLockRequest& request) {
  QueueLockResult r;
  if (!db_) {
    r.state = QueueLockState::Failed;
    r.code = kSqlNotConnected;
    r.error = kMsgNotConnected;
    return r;
  }
  const char* file = sqlite3_db_filename(db_, "main");
  if (queueLock_ || file == nullptr || *file == '\0') {
    r.state = QueueLockState::Held;
    return r;
  }
  const std::string path(file);
  const std::string lockPath = path + ".lock";
  FileLockResult byte = env.TryLockFileByte(path, kQueueLockByte);
  if (!byte.lock && !byte.busy) return LockFailure(path, byte.error);
  if (byte.busy) {
    r.state = QueueLockState::Busy;
    r.holder = byte.holder.empty() ? HolderNamedIn(env, lockPath) : byte.holder;
    return r;
  }
  FileLockResult f = env.TryLockFile(lockPath, request.holder);
  if (f.lock) {
    queueLock_ = std::move(byte.lock);
    lockFile_ = std::move(f.lock);
    lockEnv_ = &env;
    holder_ = request.holder;
    r.state = QueueLockState::Held;
  } else if (f.busy) {
    r.state = QueueLockState::Busy;
    r.holder = f.holder;
  } else {
    return LockFailure(lockPath, f.error);
  }
  return r;
}

// SQLite compares the file it has open with the file at its path. A lock
// file removed or replaced under its holder is taken anew, so others can
// name the holder again (the queue lock itself stays on the database).
bool SqliteBackend::CheckDatabaseFile() {
  if (!db_) return true;
  int moved = 0;
  if (sqlite3_file_control(db_, "main", SQLITE_FCNTL_HAS_MOVED, &moved) == SQLITE_OK && moved) {
    return false;
  }
  if (queueLock_ && lockEnv_ && !(lockFile_ && lockFile_->AtPath())) {
    lockFile_.reset();
    const char* file = sqlite3_db_filename(db_, "main");
    FileLockResult f = lockEnv_->TryLockFile(std::string(file ? file : "") + ".lock", holder_);
    lockFile_ = std::move(f.lock);
  }
  return true;
}

}  // namespace

std::unique_ptr<Backend> MakeSqliteBackend(int busyTimeoutMs, std::function<bool()> stopRequested) {
  return std::make_unique<SqliteBackend>(busyTimeoutMs, std::move(stopRequested));
}

}  // namespace kvr

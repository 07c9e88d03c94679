#include "db/client/pg_backend.h"

#include <libpq-fe.h>

#include <cctype>
#include <cstdlib>
#include <cstring>

#include "db/client/wake_sources.h"
#include "db/client/win1252.h"
#include "platform/ascii_case.h"

namespace kvr {
namespace {

constexpr unsigned kInt4Oid = 23;

constexpr const char* kSqlBegin = "BEGIN";
constexpr const char* kSqlSavepoint = "SAVEPOINT kvr_stmt";
constexpr const char* kSqlRelease = "RELEASE SAVEPOINT kvr_stmt";
constexpr const char* kSqlRollbackToSavepoint =
    "ROLLBACK TO SAVEPOINT kvr_stmt; RELEASE SAVEPOINT kvr_stmt";
constexpr const char* kSqlRollback = "ROLLBACK";
constexpr const char* kSqlCommit = "COMMIT";
constexpr const char* kSqlSchemaExists = "select 1 from pg_namespace where nspname = $1";
constexpr const char* kSqlSetSearchPath = "select set_config('search_path', $1, false)";

// The queue lock: keys (class, hash of "database.schema"), session level.
constexpr const char* kSqlSetApplicationName = "select set_config('application_name', $1, false)";
constexpr const char* kSqlTryQueueLock =
    "select pg_try_advisory_lock($1, hashtext(current_database() || '.' || $2))";
constexpr const char* kSqlReleaseQueueLock =
    "select pg_advisory_unlock($1, hashtext(current_database() || '.' || $2))";
constexpr const char* kSqlQueueLockHolder =
    "select a.application_name from pg_locks l join pg_stat_activity a on a.pid = l.pid "
    "where l.locktype = 'advisory' and l.granted and l.objsubid = 2 "
    "and l.database = (select oid from pg_database where datname = current_database()) "
    "and l.classid = ($1::int4)::oid "
    "and l.objid = (hashtext(current_database() || '.' || $2))::oid";
// application_name holds at most 63 bytes.
constexpr size_t kMaxApplicationName = 63;

DbStatus Status(int code, std::string message) { return DbStatus{code, std::move(message)}; }

struct StateMap {
  const char* state;
  int code;
  const char* text;
};

constexpr StateMap kStates[] = {
    {"23505", -1, "ORA-00001: unique constraint violated"},
    {"42P01", -942, "ORA-00942: table or view does not exist"},
    {"42703", -904, "ORA-00904: invalid identifier"},
    {"42883", -904, "ORA-00904: invalid identifier"},
    {"22001", -12899, "ORA-12899: value too large for column"},
    {"28P01", -1017, "ORA-01017: invalid username/password; logon denied"},
    {"28000", -1017, "ORA-01017: invalid username/password; logon denied"},
    {"3F000", -1435, "ORA-01435: user does not exist"},
    {"23502", -1400, "ORA-01400: cannot insert NULL"},
    {"23514", -2290, "ORA-02290: check constraint violated"},
    {"23503", -2291, "ORA-02291: integrity constraint violated - parent key not found"},
    {"22P02", -1722, "ORA-01722: invalid number"},
    {"22003", -1438, "ORA-01438: value larger than specified precision"},
    {"40P01", -60, "ORA-00060: deadlock detected while waiting for resource"},
    {"55P03", -54, "ORA-00054: resource busy"},
    {"57014", -1013, "ORA-01013: user requested cancel of current operation"},
    {"25006", -16000, "ORA-16000: database open for read-only access"},
    {"53100", -1653, "ORA-01653: unable to extend table (disk full)"},
    {"58030", -1115, "ORA-01115: IO error reading block from file"},
    {"42601", -900, "ORA-00900: invalid SQL statement"},
    {"53300", -12516, "ORA-12516: TNS:listener could not find available handler"},
};

// The server's primary message, without line ends, for errors we have no
// Oracle text for.
std::string PrimaryMessage(const PGresult* r) {
  const char* m = r ? PQresultErrorField(r, PG_DIAG_MESSAGE_PRIMARY) : nullptr;
  std::string s = Utf8ToWin1252(m ? m : "");
  for (char& c : s) {
    if (c == '\n' || c == '\r') c = ' ';
  }
  return s;
}

DbStatus MapState(const char* state, const PGresult* r) {
  std::string s = state ? state : "";
  for (const StateMap& m : kStates) {
    if (s == m.state) return Status(m.code, m.text);
  }
  if (s.rfind("08", 0) == 0 || s == "57P01" || s == "57P02" || s == "57P03") {
    return Status(kSqlNotConnected, kMsgNotConnected);
  }
  if (s.rfind("42", 0) == 0) return Status(-900, "ORA-00900: " + PrimaryMessage(r));
  return Status(-20000, "ORA-20000: " + PrimaryMessage(r));
}

void CopyRows(const PGresult* r, RowSet* rows) {
  int nr = PQntuples(r), nc = PQnfields(r);
  rows->columns = static_cast<size_t>(nc);
  rows->names.clear();
  for (int c = 0; c < nc; ++c) rows->names.emplace_back(PQfname(r, c));
  rows->cells.reserve(static_cast<size_t>(nr) * static_cast<size_t>(nc));
  for (int i = 0; i < nr; ++i) {
    for (int c = 0; c < nc; ++c) {
      if (PQgetisnull(r, i, c)) {
        rows->cells.emplace_back(std::nullopt);
      } else {
        rows->cells.emplace_back(
            Utf8ToWin1252(std::string_view(PQgetvalue(r, i, c), PQgetlength(r, i, c))));
      }
    }
  }
}

// "-c lock_timeout=N -c statement_timeout=M" in milliseconds; 0 leaves a
// setting at the server's value.
std::string SessionOptions(int lockTimeoutMs, int statementTimeoutMs) {
  std::string o;
  if (lockTimeoutMs > 0) o += "-c lock_timeout=" + std::to_string(lockTimeoutMs);
  if (statementTimeoutMs > 0) {
    if (!o.empty()) o += ' ';
    o += "-c statement_timeout=" + std::to_string(statementTimeoutMs);
  }
  return o;
}

bool Contains(const char* text, const char* part) { return std::strstr(text, part) != nullptr; }

DbStatus MapConnectFailure(const char* text) {
  if (Contains(text, "password authentication failed") || Contains(text, "no password supplied") ||
      Contains(text, "authentication failed") || Contains(text, "pg_hba.conf") ||
      (Contains(text, "role \"") && Contains(text, "does not exist"))) {
    return Status(-1017, "ORA-01017: invalid username/password; logon denied");
  }
  if (Contains(text, "database \"") && Contains(text, "does not exist")) {
    return Status(-12514, "ORA-12514: TNS:listener does not currently know of service requested");
  }
  if (Contains(text, "definition of service") || Contains(text, "service file") ||
      Contains(text, "could not translate host name") || Contains(text, "invalid URI") ||
      Contains(text, "invalid connection option") || Contains(text, "invalid integer value") ||
      Contains(text, "missing \"=\"") || Contains(text, "invalid percent-encoded") ||
      Contains(text, "unterminated quoted string")) {
    return Status(-12154, "ORA-12154: TNS:could not resolve the connect identifier specified");
  }
  if (Contains(text, "timeout expired")) {
    return Status(-12170, "ORA-12170: TNS:Connect timeout occurred");
  }
  if (Contains(text, "too many clients")) {
    return Status(-12516, "ORA-12516: TNS:listener could not find available handler");
  }
  return Status(-12541, "ORA-12541: TNS:no listener");
}

// The inputs of one statement as libpq takes them.
struct PgParams {
  std::vector<std::string> texts;
  std::vector<const char*> values;
  std::vector<unsigned> types;
};

class PgBackend : public Backend {
 public:
  explicit PgBackend(const ConnectionOptions& o)
      : connectTimeout_(o.pgConnectTimeoutSeconds),
        options_(SessionOptions(o.pgLockTimeoutMs, o.pgStatementTimeoutMs)) {}
  ~PgBackend() override {
    if (conn_) PQfinish(conn_);
  }

  DbStatus Connect(const ConnectTarget& target) override;
  DbStatus Run(const Translation& t, std::span<const Bind> in, RowSet* rows,
               int64_t* affected) override;
  DbStatus SetSchema(std::string_view schema) override;
  DbStatus Commit() override;
  QueueLockResult TryQueueLock(Env& env, const QueueLockRequest& request) override;
  void ReleaseQueueLock() override;
  std::unique_ptr<WakeSource> OpenWakeSource() override {
    return broken_ ? nullptr : MakePgWakeSource(conn_);
  }
  Dialect dialect() const override { return Dialect::Postgres; }
  std::string_view name() const override { return "postgres"; }
  std::string currentSchema() const override { return schema_; }

 private:
  DbStatus Broken() {
    broken_ = true;
    inTxn_ = false;
    changed_ = false;
    return Status(kSqlNotConnected, kMsgNotConnected);
  }
  // A failed result: the mapped code; a lost connection marks us broken.
  DbStatus FromResult(const PGresult* r) {
    if (!r || PQstatus(conn_) != CONNECTION_OK) return Broken();
    DbStatus st = MapState(PQresultErrorField(r, PG_DIAG_SQLSTATE), r);
    if (st.code == kSqlNotConnected) return Broken();
    return st;
  }
  // sessionState: the statement changes a setting of the session (its
  // schema, its name), which a rollback of the transaction would undo.
  DbStatus Pipeline(const Translation& t, std::span<const Bind> in, RowSet* rows, int64_t* affected,
                    bool sessionState);
  // What the results of one pipeline said.
  struct PipelineResult {
    RowSet* rows = nullptr;  // the statement's rows go here (may be null)
    int64_t touched = -1;    // rows the statement touched, when it said
    bool failed = false;
    DbStatus status;  // the first failure's
  };
  bool SendPipeline(const char* statement, int inputCount, const PgParams& p, bool first,
                    bool guarded);
  bool ReadPipeline(int queries, int statementAt, PipelineResult* out);
  // The backend's own statements (schema check and switch, the queue lock).
  DbStatus RunOwn(const Translation& t, std::span<const Bind> in, RowSet* rows);
  DbStatus Undo(bool wholeTransaction);
  void RestoreSearchPath();
  DbStatus RunLockStatement(const char* text, const std::string& schema, RowSet* rows);
  std::string LockHolder(const std::string& schema);

  int connectTimeout_;
  std::string options_;  // the session settings sent with the connect
  PGconn* conn_ = nullptr;
  bool broken_ = true;
  bool inTxn_ = false;
  // The open transaction holds a change: a statement that fails must be
  // undone alone (a savepoint around it). Before the first change a failing
  // statement ends the transaction, which undoes nothing else.
  bool changed_ = false;
  std::string schema_;
  bool queueLockHeld_ = false;
  std::string queueLockSchema_;
};

DbStatus PgBackend::Connect(const ConnectTarget& target) {
  std::string timeout = std::to_string(connectTimeout_ > 0 ? connectTimeout_ : 10);
  std::vector<const char*> keys, values;
  auto add = [&](const char* k, const std::string& v) {
    keys.push_back(k);
    values.push_back(v.c_str());
  };
  int expand = 0;
  if (target.kind == BackendKind::PostgresUri) {
    add("dbname", target.uri);  // first, so the keywords after it override the URI
    expand = 1;
  } else if (target.kind == BackendKind::PostgresHost) {
    add("host", target.host);
    if (!target.port.empty()) add("port", target.port);
    add("dbname", target.dbname);
  } else {
    add("service", target.serviceName);
  }
  add("user", target.login);
  add("password", target.password);
  // The controller's Windows-1252 texts are converted here, not by the
  // server: the server's WIN1252 conversion refuses the five bytes that
  // Windows-1252 leaves undefined, which occur in Linux program names (inside
  // UTF-8 characters); the own conversion carries every byte both ways.
  static const std::string kEncoding = "UTF8", kOn = "1", kIdle = "10", kInterval = "5",
                           kCount = "3", kUserTimeout = "30000", kApp = "KVRJOBSTR";
  add("client_encoding", kEncoding);
  add("connect_timeout", timeout);
  add("keepalives", kOn);
  add("keepalives_idle", kIdle);
  add("keepalives_interval", kInterval);
  add("keepalives_count", kCount);
  add("tcp_user_timeout", kUserTimeout);
  add("fallback_application_name", kApp);
  add("options", options_);
  keys.push_back(nullptr);
  values.push_back(nullptr);
  conn_ = PQconnectdbParams(keys.data(), values.data(), expand);
  if (!conn_) return Status(-4030, "ORA-04030: out of process memory");
  if (PQstatus(conn_) != CONNECTION_OK) return MapConnectFailure(PQerrorMessage(conn_));
  broken_ = false;
  return {};
}

// The statement's inputs as libpq takes them: integers as text of type
// int4, an empty text as NULL, other texts in UTF-8.
PgParams ParamsOf(const Translation& t, std::span<const Bind> in) {
  const size_t n = static_cast<size_t>(t.inputCount);
  PgParams p{std::vector<std::string>(n), std::vector<const char*>(n), std::vector<unsigned>(n, 0)};
  for (size_t i = 0; i < n; ++i) {
    const Bind& b = in[i];
    if (!b.isText()) {
      p.texts[i] = std::to_string(b.integer());
      p.values[i] = p.texts[i].c_str();
      p.types[i] = kInt4Oid;
    } else if (b.text().empty()) {
      p.values[i] = nullptr;  // an empty text is NULL
    } else {
      p.texts[i] = IsAscii(b.text()) ? std::string(b.text()) : Win1252ToUtf8(b.text());
      p.values[i] = p.texts[i].c_str();
    }
  }
  return p;
}

bool PgBackend::SendPipeline(const char* statement, int inputCount, const PgParams& p, bool first,
                             bool guarded) {
  if (PQenterPipelineMode(conn_) != 1) return false;
  bool sent = true;
  if (first || guarded) {
    sent = PQsendQueryParams(conn_, first ? kSqlBegin : kSqlSavepoint, 0, nullptr, nullptr, nullptr,
                             nullptr, 0) == 1;
  }
  sent = sent && PQsendQueryParams(conn_, statement, inputCount, p.types.data(), p.values.data(),
                                   nullptr, nullptr, 0) == 1;
  if (guarded) {
    sent = sent &&
           PQsendQueryParams(conn_, kSqlRelease, 0, nullptr, nullptr, nullptr, nullptr, 0) == 1;
  }
  return sent && PQpipelineSync(conn_) == 1;
}

// Reads the results of `queries` queries and the sync; the statement's are
// those at statementAt. False when the connection was lost.
bool PgBackend::ReadPipeline(int queries, int statementAt, PipelineResult* out) {
  for (int q = 0; q <= queries; ++q) {
    bool gone = false;
    // Each query's results end with a null; the sync's result stands alone.
    for (PGresult* r; (r = PQgetResult(conn_)) != nullptr;) {
      ExecStatusType rs = PQresultStatus(r);
      if (rs == PGRES_PIPELINE_SYNC) {
        PQclear(r);
        q = queries + 1;
        break;
      }
      if (rs == PGRES_FATAL_ERROR && !out->failed) {
        out->failed = true;
        out->status = FromResult(r);
        gone = broken_;
      } else if (rs == PGRES_TUPLES_OK && q == statementAt && out->rows) {
        CopyRows(r, out->rows);
      } else if (q == statementAt && (rs == PGRES_COMMAND_OK || rs == PGRES_TUPLES_OK)) {
        out->touched = std::atoll(PQcmdTuples(r));
      }
      PQclear(r);
      if (gone) break;
    }
    if (gone || PQstatus(conn_) != CONNECTION_OK) return false;
  }
  return PQexitPipelineMode(conn_) == 1;
}

// Sends [BEGIN | SAVEPOINT], the statement, [RELEASE] and a sync in one go,
// then reads every result. The savepoint guards the changes the transaction
// holds: while it holds none, the statement is sent alone, and one that
// fails ends the transaction instead.
DbStatus PgBackend::Pipeline(const Translation& t, std::span<const Bind> in, RowSet* rows,
                             int64_t* affected, bool sessionState) {
  const PgParams params = ParamsOf(t, in);
  const std::string converted = IsAscii(t.text) ? std::string() : Win1252ToUtf8(t.text);
  const char* statement = converted.empty() ? t.text.c_str() : converted.c_str();
  // A select outside a transaction runs on its own, as every select reads
  // what is committed at its start anyway: a pass that only reads opens no
  // transaction, and its commit costs no round trip.
  const bool alone = !inTxn_ && t.kind == StatementKind::Select && !sessionState;
  const bool first = !inTxn_ && !alone;
  const bool guarded = inTxn_ && changed_;
  if (!SendPipeline(statement, t.inputCount, params, first, guarded)) return Broken();
  // Results: [BEGIN | SAVEPOINT], the statement (index 1), [RELEASE].
  PipelineResult result;
  result.rows = rows;
  if (!ReadPipeline(guarded ? 3 : first ? 2 : 1, first || guarded ? 1 : 0, &result)) {
    return Broken();
  }
  if (affected && result.touched >= 0) *affected = result.touched;
  if (first && !result.failed) inTxn_ = true;
  if (result.failed) {
    if (alone) return result.status;
    // Without a change before it nothing else is in the transaction: end it.
    DbStatus undo = Undo(!guarded);
    if (undo.code != 0) return undo;
    return result.status;
  }
  // A select changes nothing, nor does an insert, update or delete that
  // touched no row; anything else (DDL) counts as a change.
  const bool rowsStatement = t.kind == StatementKind::Insert || t.kind == StatementKind::Update ||
                             t.kind == StatementKind::Delete;
  if (sessionState ||
      (t.kind != StatementKind::Select && !(rowsStatement && result.touched == 0))) {
    changed_ = true;
  }
  return result.status;
}

DbStatus PgBackend::Undo(bool wholeTransaction) {
  PGresult* r = PQexec(conn_, wholeTransaction ? kSqlRollback : kSqlRollbackToSavepoint);
  bool ok = r && PQresultStatus(r) == PGRES_COMMAND_OK;
  DbStatus st = ok ? DbStatus{} : FromResult(r);
  PQclear(r);
  if (wholeTransaction) {
    inTxn_ = false;
    changed_ = false;
  }
  return st;
}

DbStatus PgBackend::Run(const Translation& t, std::span<const Bind> in, RowSet* rows,
                        int64_t* affected) {
  if (broken_ || !conn_) return Status(kSqlNotConnected, kMsgNotConnected);
  if (PQstatus(conn_) != CONNECTION_OK) return Broken();
  if (static_cast<int>(in.size()) < t.inputCount) {
    return Status(-1008, "ORA-01008: not all variables bound");
  }
  return Pipeline(t, in, rows, affected, false);
}

DbStatus PgBackend::RunOwn(const Translation& t, std::span<const Bind> in, RowSet* rows) {
  if (broken_ || !conn_) return Status(kSqlNotConnected, kMsgNotConnected);
  if (PQstatus(conn_) != CONNECTION_OK) return Broken();
  return Pipeline(t, in, rows, nullptr, true);
}

DbStatus PgBackend::SetSchema(std::string_view schema) {
  if (broken_ || !conn_) return Status(kSqlNotConnected, kMsgNotConnected);
  std::string name(schema);
  if (name.size() >= 2 && name.front() == '"' && name.back() == '"') {
    name = name.substr(1, name.size() - 2);  // a quoted name keeps its case
  } else {
    name = ToLowerAscii(name);
  }
  if (name.empty()) return Status(-900, "ORA-00900: invalid SQL statement");
  Translation check;
  check.text = kSqlSchemaExists;
  check.kind = StatementKind::Select;
  check.inputCount = 1;
  Bind in[] = {Bind::Text(name)};
  RowSet rows;
  DbStatus st = RunOwn(check, in, &rows);
  if (st.code != 0) return st;
  if (rows.rows() == 0) return Status(-1435, "ORA-01435: user does not exist");
  std::string quoted = "\"";
  for (char c : name) {
    quoted += c;
    if (c == '"') quoted += '"';
  }
  quoted += "\"";
  Translation set = check;
  set.text = kSqlSetSearchPath;
  Bind path[] = {Bind::Text(quoted)};
  st = RunOwn(set, path, nullptr);
  if (st.code == 0) schema_ = name;
  return st;
}

DbStatus PgBackend::Commit() {
  if (broken_ || !conn_) return Status(kSqlNotConnected, kMsgNotConnected);
  if (PQstatus(conn_) != CONNECTION_OK) return Broken();
  if (!inTxn_) return {};
  PGresult* r = PQexec(conn_, kSqlCommit);
  bool ok = r && PQresultStatus(r) == PGRES_COMMAND_OK;
  DbStatus st = ok ? DbStatus{} : FromResult(r);
  PQclear(r);
  inTxn_ = false;
  changed_ = false;
  if (!ok && !broken_) RestoreSearchPath();
  return st;
}

// A failed commit rolls the transaction back, and with it a search_path set
// inside it; the current schema, a setting of the session, must stay.
void PgBackend::RestoreSearchPath() {
  if (schema_.empty()) return;
  std::string quoted = "\"";
  for (char c : schema_) {
    quoted += c;
    if (c == '"') quoted += '"';
  }
  quoted += "\"";
  const char* values[] = {quoted.c_str()};
  PQclear(PQexecParams(conn_, kSqlSetSearchPath, 1, nullptr, values, nullptr, nullptr, 0));
}

DbStatus PgBackend::RunLockStatement(const char* text, const std::string& schema, RowSet* rows) {
  Translation t;
  t.text = text;
  t.kind = StatementKind::Select;
  t.inputCount = 2;
  const Bind in[] = {Bind::Int(kQueueLockClass), Bind::Text(schema)};
  return RunOwn(t, in, rows);
}

// The "host pid" of the session holding the lock: its application name
// less the program word; empty when it cannot be read.
std::string PgBackend::LockHolder(const std::string& schema) {
  RowSet rows;
  if (RunLockStatement(kSqlQueueLockHolder, schema, &rows).code != 0 || rows.rows() == 0 ||
      !rows.at(0, 0)) {
    return {};
  }
  const std::string& name = *rows.at(0, 0);
  size_t blank = name.find(' ');
  return blank == std::string::npos ? name : name.substr(blank + 1);
}

QueueLockResult PgBackend::TryQueueLock(Env&, const QueueLockRequest& request) {
  QueueLockResult r;
  r.state = QueueLockState::Failed;
  if (queueLockHeld_ && !broken_) {
    r.state = QueueLockState::Held;
    return r;
  }
  Translation name;
  name.text = kSqlSetApplicationName;
  name.kind = StatementKind::Select;
  name.inputCount = 1;
  std::string app = request.program + " " + request.holder;
  if (app.size() > kMaxApplicationName) app.resize(kMaxApplicationName);
  const Bind in[] = {Bind::Text(app)};
  DbStatus st = RunOwn(name, in, nullptr);
  RowSet rows;
  if (st.code == 0) st = RunLockStatement(kSqlTryQueueLock, request.queueSchema, &rows);
  if (st.code != 0 || rows.rows() != 1 || !rows.at(0, 0)) {
    r.code = st.code != 0 ? st.code : -20000;
    r.error = st.code != 0 ? st.message : "ORA-20000: pg_try_advisory_lock gave no answer";
    return r;
  }
  if (*rows.at(0, 0) == "t") {
    queueLockHeld_ = true;
    queueLockSchema_ = request.queueSchema;
    r.state = QueueLockState::Held;
    return r;
  }
  r.state = QueueLockState::Busy;
  r.holder = LockHolder(request.queueSchema);
  return r;
}

void PgBackend::ReleaseQueueLock() {
  if (!queueLockHeld_) return;
  queueLockHeld_ = false;
  if (!broken_) RunLockStatement(kSqlReleaseQueueLock, queueLockSchema_, nullptr);
}

}  // namespace

std::unique_ptr<Backend> MakePgBackend(const ConnectionOptions& options) {
  return std::make_unique<PgBackend>(options);
}

}  // namespace kvr

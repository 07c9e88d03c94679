#include "db/session.h"

#include <cstdio>

#include "core/logger.h"
#include "platform/env.h"

namespace kvr {

namespace {

constexpr char kSchemaStatementPrefix[] = "ALTER SESSION SET CURRENT_SCHEMA=";
constexpr char kTooLongMessage[] = "ORA-12899: connect text too long";
constexpr char kSchemaTooLongMessage[] = "ORA-12899: schema name too long";

// The connection of a session that has not connected yet: every call
// answers "not connected".
class UnconnectedConnection : public Connection {
 public:
  int Connect(const std::string&) override { return kSqlNotConnected; }
  int Execute(std::string_view, std::span<const Bind>) override { return kSqlNotConnected; }
  int SelectOne(std::string_view, std::span<const Bind>, std::span<const Out>) override {
    return kSqlNotConnected;
  }
  std::unique_ptr<Cursor> Open(std::string_view, std::span<const Bind>, int* status) override {
    if (status) *status = kSqlNotConnected;
    return nullptr;
  }
  int Commit() override { return kSqlNotConnected; }
  QueueLockResult TryQueueLock(Env&, const QueueLockRequest&) override {
    QueueLockResult r;
    r.state = QueueLockState::Failed;
    r.code = kSqlNotConnected;
    r.error = "ORA-03114: not connected to ORACLE";
    return r;
  }
  void ReleaseQueueLock() override {}
  std::string_view BackendName() const override { return {}; }
  int LastCode() const override { return kSqlNotConnected; }
  std::string LastMessage() const override { return "ORA-03114: not connected to ORACLE"; }
};

// Overwrites a text that held the password before it is released.
void Wipe(std::string& s) {
  volatile char* p = s.data();
  for (size_t i = 0; i < s.size(); ++i) p[i] = 0;
  s.clear();
}

}  // namespace

Session::Session(Env& env, Logger& log)
    : env_(env),
      log_(log),
      conn_(std::make_unique<UnconnectedConnection>()),
      lost_(std::make_unique<UnconnectedConnection>()) {}

Session::~Session() { Wipe(password_); }

Connection& Session::Statements::Live() {
  s_.ownCode_ = 0;
  s_.ownMessage_.clear();
  return s_.writesLost_ ? *s_.lost_ : *s_.conn_;
}

int Session::Statements::Connect(const std::string& connectText) {
  return Live().Connect(connectText);
}

int Session::Statements::Execute(std::string_view sql, std::span<const Bind> in) {
  return Live().Execute(sql, in);
}

int Session::Statements::SelectOne(std::string_view sql, std::span<const Bind> in,
                                   std::span<const Out> out) {
  SavedFields saved(out);
  int rc = Live().SelectOne(sql, in, out);
  if ((rc != kSqlOk && !IsRowFault(rc)) || !s_.guardsRows()) return rc;
  return s_.unreadable_.GuardSelectOne(*s_.conn_, rc, out, saved);
}

std::unique_ptr<Cursor> Session::Statements::Open(std::string_view sql, std::span<const Bind> in,
                                                  int* status) {
  std::unique_ptr<Cursor> cursor = Live().Open(sql, in, status);
  if (!s_.guardsRows()) return cursor;
  // A statement without inputs can be read again (its text is kept); the
  // inputs of others need not outlive this call.
  UnreadableRows::Reopen reopen;
  if (in.empty()) {
    Connection* conn = s_.conn_.get();
    reopen = [conn, text = std::string(sql)](int* st) { return conn->Open(text, {}, st); };
  }
  return s_.unreadable_.GuardCursor(std::move(cursor), std::move(reopen), *s_.conn_);
}

int Session::Statements::Commit() {
  Live();
  return s_.Commit();
}

// Asking changes no failure the session recorded (no statement runs).
void Session::Statements::DeferNextCommitSync() {
  Connection* c = s_.writesLost_ ? s_.lost_.get() : s_.conn_.get();
  if (c != nullptr) c->DeferNextCommitSync();
}

int Session::Commit() {
  ownCode_ = 0;
  ownMessage_.clear();
  if (writesLost_) return lost_->Commit();
  int rc = conn_->Commit();
  if (rc == kSqlOk) {
    endedRows_.Committed();
    if (commitWatcher_) commitWatcher_(true);
  } else if (IsWriteFault(rc)) {
    writesLost_ = true;
    endedRows_.Lost();
    if (commitWatcher_) commitWatcher_(false);
  }
  return rc;
}

QueueLockResult Session::Statements::TryQueueLock(Env& env, const QueueLockRequest& request) {
  return Live().TryQueueLock(env, request);
}

int Session::Refuse(int code, const char* message) {
  ownCode_ = code;
  ownMessage_ = message;
  return code;
}

int Session::SQLConnect(const std::string& login, const std::string& password,
                        const std::string& service, const std::string& schema) {
  if (&password != &password_) {
    Wipe(password_);
    password_ = password;
  }
  login_ = login;
  service_ = service;
  schema_ = schema;
  return Connect();
}

int Session::Connect() {
  ownCode_ = 0;
  ownMessage_.clear();
  // Whatever the old connection had not committed is gone with it.
  endedRows_.Lost();
  if (commitWatcher_) commitWatcher_(false);
  queueLock_ = QueueLockResult();  // whatever the old connection held goes with it
  std::string text = login_ + "/" + password_ + "@" + service_;
  if (text.size() > kMaxConnectText) {
    Wipe(text);
    return Refuse(kSqlConnectTextTooLong, kTooLongMessage);
  }
  // The new connection replaces the old one at once, so a broken connection
  // is released as soon as its successor exists and none is ever leaked.
  ConnectionOptions options;
  options.stopRequested = [&env = env_] { return env.StopRequested(); };
  std::unique_ptr<Connection> fresh = MakeConnection(options);
  if (!fresh) {
    Wipe(text);
    return Refuse(kSqlNotConnected, "ORA-03114: not connected to ORACLE");
  }
  int rc = fresh->Connect(text);
  Wipe(text);
  wake_.Close();  // it borrows the old connection
  conn_ = std::move(fresh);
  writesLost_ = false;
  if (rc != kSqlOk) return rc;
  rc = ExecuteSchema(schema_);
  if (rc != kSqlOk) return rc;
  ++connects_;
  if (lockRequired_) TakeQueueLock();
  wake_.Open(*conn_);
  return kSqlOk;
}

void Session::RequireQueueLock(QueueLockRequest request) {
  lockRequired_ = true;
  lockRequest_ = std::move(request);
}

// The old connection is gone before this runs (Connect replaced it), so a
// lock it held is free again for the new one to take.
void Session::TakeQueueLock() {
  queueLock_ = conn_->TryQueueLock(env_, lockRequest_);
  conn_->Commit();  // no transaction stays open behind the try
  ownCode_ = 0;
  ownMessage_.clear();
}

const QueueLockResult& Session::TryQueueLock() {
  if (!lockRequired_) return queueLock_;
  TakeQueueLock();
  if (queueLock_.state == QueueLockState::Failed && queueLock_.code == kSqlNotConnected) {
    int rc = Connect();  // takes the lock when it succeeds
    if (rc != kSqlOk) {
      queueLock_.state = QueueLockState::Failed;
      queueLock_.code = rc;
      GetLastSQLError(nullptr, &queueLock_.error);
    }
  }
  return queueLock_;
}

int Session::ExecuteSchema(const std::string& schema) {
  ownCode_ = 0;
  ownMessage_.clear();
  std::string statement = kSchemaStatementPrefix + schema;
  if (statement.size() > kMaxSchemaStatement) {
    return Refuse(kSqlConnectTextTooLong, kSchemaTooLongMessage);
  }
  return conn_->Execute(statement);
}

int Session::SQLCommit() { return Commit(); }

int Session::SQLSetSchema(const std::string& schema, std::string* message) {
  int rc = ExecuteSchema(schema);
  if (rc != kSqlOk && message) GetLastSQLError(nullptr, message);
  return rc;
}

std::string Session::Scrub(std::string text) const {
  // The client promises no password in its messages; this keeps the promise
  // even when a server echoes a part of the connect text back.
  if (password_.size() >= 3) {
    for (size_t at = text.find(password_); at != std::string::npos; at = text.find(password_, at)) {
      text.replace(at, password_.size(), "***");
    }
  }
  return text;
}

int Session::GetLastSQLError(std::string* state, std::string* message) {
  if (state) state->clear();
  if (ownCode_ != 0) {
    if (message) *message = ownMessage_;
    return ownCode_;
  }
  int code = conn_->LastCode();
  if (message) *message = code == kSqlOk ? std::string() : Scrub(conn_->LastMessage());
  return code;
}

int Session::Checked() {
  if (!endedRows_.empty() && endedRows_.Replay(*conn_) == kSqlOk && SQLCommit() == kSqlOk) {
    endedRows_.Clear();
  }
  return 1;
}

// The database file was deleted or replaced: the rows of the open one are
// nobody's queue any more. The session is lost as after a commit that could
// not write (the caller ends its jobs as for a lost connection), the queue
// lock on the old file is given up, and the next check connects to the
// database the path names now.
int Session::DatabaseReplaced() {
  log_.Main("- Datenbankdatei geloescht oder ersetzt!\n");
  env_.ConsoleWrite("- Datenbankdatei geloescht oder ersetzt!\n");
  writesLost_ = true;
  endedRows_.Lost();
  if (commitWatcher_) commitWatcher_(false);
  conn_->ReleaseQueueLock();
  return 0;
}

int Session::CheckDB(WriteProbe probe) {
  if (!writesLost_ && !conn_->CheckDatabaseFile()) return DatabaseReplaced();
  std::string line;
  int code = probe(*this, &line);
  if (code == kSqlOk) return Checked();

  log_.Main(line);
  char console[128];
  std::snprintf(console, sizeof console, "- Statussatz konnte nicht aktualisiert werden! : %d\n",
                code);
  env_.ConsoleWrite(console);
  int rc = Connect();
  // The new connection must prove that it can write (a file opened read
  // only connects well); a standby writes nothing.
  if (rc == kSqlOk && (!lockRequired_ || queueLock_.held())) {
    std::string again;
    rc = probe(*this, &again);
    if (IsWriteFault(rc)) {
      writesLost_ = true;
    } else {
      rc = kSqlOk;  // another failure (a missing table) is not a lost database
    }
  }
  if (rc != kSqlOk) {
    std::snprintf(console, sizeof console,
                  "- Verbindung zur Datenbank fehlgeschlagen, Fehler : %d\n", rc);
    env_.ConsoleWrite(console);
    log_.Main(console);
    return 0;
  }
  log_.Main("- Neue Datenbankverbindung erstellt\n");
  return Checked();
}

char* TrimRight(char* text) {
  if (!text) return text;
  size_t n = std::char_traits<char>::length(text);
  while (n > 0 && (text[n - 1] == ' ' || text[n - 1] == '\t')) text[--n] = '\0';
  return text;
}

std::string& TrimRight(std::string& text) {
  size_t end = text.find_last_not_of(" \t");
  text.erase(end == std::string::npos ? 0 : end + 1);
  return text;
}

void AppendSessionStatements(StatementList* list) {
  list->push_back({"SetSchema", std::string(kSchemaStatementPrefix) + "KVSYSTEM"});
  AppendUnreadableRowStatements(list);
  AppendEndedRowStatements(list);
}

std::string QueueLockHolder(Env& env) {
  std::string host = env.HostName();
  return (host.empty() ? std::string("?") : host) + " " +
         std::to_string(static_cast<long>(env.SelfPid()));
}

}  // namespace kvr

// Session: the controller's one database session.
//
// Owns the connection to the product's database, the credentials kept for
// reconnecting, and the per-pass check of the connection's health (its
// write probe, the controller's status row, is the caller's). Connecting
// switches to the product's schema with "ALTER SESSION SET CURRENT_SCHEMA=".
// Every operation returns the status code of the client (0, 1403, negative
// Oracle-style codes); CheckDB returns 1 when the session can be used, else 0.
// Before any connect every call answers -3114 (not connected).
//
// The queue lock, once required, is taken by every (re)connect right after
// the schema switch, so no statement of the caller runs on a new connection
// before the outcome is known; it ends with the connection.
//
// A commit that fails because the database cannot be written (read-only,
// I/O error, disk full, lost connection; see IsWriteFault) loses the
// session: every later call answers -3114 until CheckDB has connected anew
// and written the status row. CheckDB looks at its own commit the same way,
// and after a new connection proves that it can write. The ends of running
// rows lost with a commit are written again once writing works (see
// ended_rows.h).
//
// CheckDB also compares the database open with the one the connect text
// names: a SQLite file deleted or replaced is a lost database (0), and the
// next check connects to the file at the path.
//
// While it holds the queue lock, the session sets rows it cannot read aside
// (see unreadable_rows.h) instead of answering their fault.
//
// The connect text carries the password; it is never written to a log, the
// console or an error message. A reconnect makes a new connection and
// releases the broken one once its successor exists.
#pragma once

#include <functional>
#include <memory>
#include <string>

#include "db/client/connection.h"
#include "db/client/named_statement.h"
#include "db/credentials/credential_file.h"
#include "db/ended_rows.h"
#include "db/queue_wake.h"
#include "db/unreadable_rows.h"

namespace kvr {

class Env;
class Logger;

// Longest connect text ("login/password@service"): room for the longest
// login, password and service the credential file can hold, so every file
// that can be read (a PostgreSQL URI naming a primary and its standby with
// their options included) can be used. Longest schema statement.
inline constexpr size_t kMaxConnectText = 3 * kMaxCredentialValue + 2;
inline constexpr size_t kMaxSchemaStatement = 99;
// Returned by SQLConnect when the connect text or the schema statement would
// be longer than allowed; nothing is cut silently.
inline constexpr int kSqlConnectTextTooLong = -12899;

class Session {
 public:
  Session(Env& env, Logger& log);
  ~Session();
  Session(const Session&) = delete;
  Session& operator=(const Session&) = delete;

  // Connects with login/password@service and switches to the schema. Keeps
  // the four values for CheckDB's reconnect. Returns the status code.
  int SQLConnect(const std::string& login, const std::string& password, const std::string& service,
                 const std::string& schema);
  // Commits without ending the session.
  int SQLCommit();
  // Switches to a schema; on failure *message gets the client's text.
  int SQLSetSchema(const std::string& schema, std::string* message);
  // The last statement's code; *state is always empty, *message the last
  // error text (empty after success). Either pointer may be null.
  int GetLastSQLError(std::string* state, std::string* message);
  // The write that proves the database can be written, committed: 0, or
  // the failing code with the line for the main log in *line.
  using WriteProbe = int (*)(Session& session, std::string* line);
  // Runs the probe; reconnects when it fails. 1 when the session can be
  // used, 0 when it cannot.
  int CheckDB(WriteProbe probe);
  // True after a commit that could not write, until CheckDB succeeds.
  bool writesLost() const { return writesLost_; }
  // Told true when a commit made the work since the last one durable, false
  // when that work was lost (a commit that could not write, a new
  // connection). One watcher; an empty function removes it.
  void SetCommitWatcher(std::function<void(bool durable)> watcher) {
    commitWatcher_ = std::move(watcher);
  }
  // The ends of running rows not yet known to be durable.
  EndedRows& endedRows() { return endedRows_; }
  // The current connection (replaced by a reconnect: do not keep it). A
  // statement run through it supersedes a failure the session recorded
  // itself; merely asking for it changes nothing.
  Connection& db() { return statements_; }

  // Makes every later (re)connect take the queue lock (see connection.h).
  void RequireQueueLock(QueueLockRequest request);
  // Asks for the queue lock again (a standby's retry); connects anew first
  // when the connection is gone. The outcome is also kept in queueLock().
  const QueueLockResult& TryQueueLock();
  // The outcome of the last try: after a (re)connect, that connect's.
  const QueueLockResult& queueLock() const { return queueLock_; }
  bool queueLockHeld() const { return queueLock_.held(); }
  // Connects that succeeded, the first included.
  int connectCount() const { return connects_; }
  // The rows set aside as unreadable (see unreadable_rows.h).
  UnreadableRows& unreadableRows() { return unreadable_; }
  // Tells of other programs' changes to the queue (see queue_wake.h).
  QueueWake& wake() { return wake_; }

 private:
  int Connect();
  int Commit();
  // After a check that could write: the lost ends written again.
  int Checked();
  int DatabaseReplaced();
  void TakeQueueLock();
  int ExecuteSchema(const std::string& schema);
  // Records a failure the session found itself (no client call was made).
  int Refuse(int code, const char* message);
  // The text with every occurrence of the password masked.
  std::string Scrub(std::string text) const;

  // Forwards to conn_ and clears the session's own failure before each
  // statement, commit or connect.
  class Statements : public Connection {
   public:
    explicit Statements(Session& session) : s_(session) {}
    int Connect(const std::string& connectText) override;
    int Execute(std::string_view sql, std::span<const Bind> in) override;
    int SelectOne(std::string_view sql, std::span<const Bind> in,
                  std::span<const Out> out) override;
    std::unique_ptr<Cursor> Open(std::string_view sql, std::span<const Bind> in,
                                 int* status) override;
    int Commit() override;
    void DeferNextCommitSync() override;
    QueueLockResult TryQueueLock(Env& env, const QueueLockRequest& request) override;
    void ReleaseQueueLock() override { s_.conn_->ReleaseQueueLock(); }
    bool CheckDatabaseFile() override { return s_.conn_->CheckDatabaseFile(); }
    const RowFault* LastRowFault() const override { return s_.conn_->LastRowFault(); }
    std::string_view BackendName() const override { return s_.conn_->BackendName(); }
    int LastCode() const override { return s_.conn_->LastCode(); }
    std::string LastMessage() const override { return s_.conn_->LastMessage(); }

   private:
    Connection& Live();
    Session& s_;
  };

  // Rows that cannot be read are set aside only by the queue's holder.
  bool guardsRows() const { return lockRequired_ && queueLock_.held(); }

  Env& env_;
  Logger& log_;
  UnreadableRows unreadable_{log_};
  std::unique_ptr<Connection> conn_;
  std::unique_ptr<Connection> lost_;  // answers while writes are lost
  Statements statements_{*this};
  bool writesLost_ = false;
  std::function<void(bool)> commitWatcher_;
  EndedRows endedRows_;
  std::string login_, password_, service_, schema_;
  // A failure of the session's own (code 0: none); cleared by the next call
  // that reaches the connection.
  int ownCode_ = 0;
  std::string ownMessage_;
  bool lockRequired_ = false;
  QueueLockRequest lockRequest_;
  QueueLockResult queueLock_;
  int connects_ = 0;
  QueueWake wake_;
};

// How other controllers name this one as the queue lock's holder: the host
// name ("?" when it has none), a blank, the process id.
std::string QueueLockHolder(Env& env);

// Removes blanks and tabs from the end of the text, in place.
char* TrimRight(char* text);
std::string& TrimRight(std::string& text);

// The session's own statement (the schema switch to KVSYSTEM).
void AppendSessionStatements(StatementList* list);

}  // namespace kvr

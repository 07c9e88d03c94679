// Connection: the database client the system needs, on SQLite or PostgreSQL.
//
// Statements are given exactly as the system writes them (Oracle dialect with
// :bN host variables); the connection translates them for its backend (see
// translate.h) and caches the translation per text. It keeps the client
// behaviour the system relies on: a transaction begins with the first
// statement after a commit; a failing statement undoes only itself; an empty
// text is NULL; texts compare byte by byte; status codes are Oracle's (0,
// 1403, -1, other negative numbers with an "ORA-nnnnn: ..." message); after a
// lost connection every call answers -3114 until Connect is called again.
//
// Every call returns its status code and leaves it, with the message text of
// the last error (at most 70 characters, empty after success), for LastCode()
// and LastMessage(). No call throws. A password never appears in a message.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "db/client/fixed_text.h"
#include "platform/wake_source.h"

namespace kvr {

class Env;

// Status codes of the client.
inline constexpr int kSqlOk = 0;
inline constexpr int kSqlNoData = 1403;
inline constexpr int kSqlDuplicateKey = -1;
inline constexpr int kSqlTableMissing = -942;
inline constexpr int kSqlInvalidIdentifier = -904;
inline constexpr int kSqlSchemaMissing = -1435;
inline constexpr int kSqlInvalidLogin = -1017;
inline constexpr int kSqlValueTooLarge = -12899;
inline constexpr int kSqlNotConnected = -3114;
inline constexpr int kSqlCannotConnect = -12541;  // no listener / unreachable
// A row whose values do not fit the output fields.
inline constexpr int kSqlInvalidNumber = -1722;    // not a number
inline constexpr int kSqlIntegerOverflow = -1455;  // a number beyond 32 bits
inline constexpr int kSqlValueTruncated = -1406;   // a text longer than its field

// A fetched row that could not be delivered whole: every other field holds
// its value, a number that cannot be read stays as the caller cleared it
// (the fetch answers the code), a text longer than its field is cut (the
// fetch answers 0, as an Oracle client with an indicator does). The row's
// values as the database gave them, with the column names, let a caller
// name the row and address it by its full key.
struct RowFault {
  int code = 0;                    // kSqlInvalidNumber, kSqlIntegerOverflow or kSqlValueTruncated
  std::string message;             // "ORA-01722: invalid number"
  std::string column;              // the first failing column, upper case
  std::vector<std::string> names;  // column names, upper case
  std::vector<std::optional<std::string>> values;  // the row as read
  // The value of the named column (upper case); null when absent or NULL.
  const std::string* Value(std::string_view name) const {
    for (size_t i = 0; i < names.size() && i < values.size(); ++i) {
      if (names[i] == name && values[i]) return &*values[i];
    }
    return nullptr;
  }
};

// True for the codes that say the database cannot be written: read-only,
// I/O error, disk full, a file that is no (longer a) database, a lost
// connection. A commit that fails with one of them has lost its work.
inline bool IsWriteFault(int code) {
  switch (code) {
    case -16000:  // read-only
    case -1114:   // I/O error writing
    case -1115:   // I/O error reading
    case -1653:   // disk full
    case -1157:   // file cannot be identified or opened
    case -1578:   // corrupt
    case kSqlNotConnected:
      return true;
    default:
      return false;
  }
}

// True for the codes a fetch answers for a number it cannot read.
inline bool IsRowFault(int code) {
  return code == kSqlInvalidNumber || code == kSqlIntegerOverflow;
}

// An input host variable: a text (empty means NULL) or a 32-bit integer.
// Texts are cut to their width before binding. The text is not copied: it
// must outlive the call.
class Bind {
 public:
  static Bind Text(std::string_view text) { return Bind(text); }
  template <std::size_t N>
  static Bind Text(const FixedText<N>& text) {
    return Bind(text.view());
  }
  static Bind Int(int32_t value) { return Bind(value); }

  bool isText() const { return isText_; }
  std::string_view text() const { return text_; }
  int32_t integer() const { return int_; }

 private:
  explicit Bind(std::string_view t) : isText_(true), text_(t) {}
  explicit Bind(int32_t v) : isText_(false), int_(v) {}
  bool isText_;
  std::string_view text_;
  int32_t int_ = 0;
};

// An output field of a select or fetch: a text buffer of a fixed width (the
// value is cut to the width and zero-terminated) or a 32-bit integer. A NULL
// column leaves the field as the caller cleared it.
class Out {
 public:
  static Out Text(char* buffer, std::size_t width) { return Out(buffer, width); }
  template <std::size_t N>
  static Out Text(FixedText<N>& text) {
    return Out(text.data(), N);
  }
  static Out Int(int32_t* value) { return Out(value); }

  bool isText() const { return text_ != nullptr; }
  char* textBuffer() const { return text_; }
  std::size_t width() const { return width_; }
  int32_t* integer() const { return int_; }

 private:
  Out(char* b, std::size_t w) : text_(b), width_(w) {}
  explicit Out(int32_t* v) : int_(v) {}
  char* text_ = nullptr;
  std::size_t width_ = 0;
  int32_t* int_ = nullptr;
};

// An open cursor. It must not outlive its connection. Closing twice is
// harmless; the destructor closes.
class Cursor {
 public:
  virtual ~Cursor() = default;
  // Fetches the next row into the fields: 0, 1403 after the last row, or an
  // error code. A row that does not fit the fields (see RowFault) is filled
  // as far as it goes; the next fetch moves on.
  virtual int Fetch(std::span<const Out> out) = 0;
  // What did not fit in the row of the last fetch, else null.
  virtual const RowFault* Fault() const { return nullptr; }
  // Ends the cursor. It leaves the last status as it is, so a failed fetch
  // stays what GetLastSQLError reports.
  virtual int Close() = 0;
};

// The queue lock: one controller works a queue (a database and the queue
// table's schema) at a time. PostgreSQL: a session-level advisory lock with
// the keys (kQueueLockClass, hashtext(current_database() || '.' || schema)),
// its holder named by the application_name of the session holding it.
// SQLite: a write lock on a byte of the database file, and one on the file
// "<database file>.lock" beside it, its holder named by the text written
// into that file. Either lock ends with the connection that took it.
enum class QueueLockState { NotTried, Held, Busy, Failed };

struct QueueLockRequest {
  std::string program;      // first word of the application name ("KVRJOBSTR")
  std::string holder;       // how others name the holder: "host pid"
  std::string queueSchema;  // schema of the queue table
};

struct QueueLockResult {
  QueueLockState state = QueueLockState::NotTried;
  std::string holder;  // Busy: the holder's "host pid"; empty when it cannot be named
  int code = 0;        // Failed: a status code (-3114: the connection is gone)
  std::string error;   // Failed: one line saying what went wrong
  bool held() const { return state == QueueLockState::Held; }
};

// First key of the advisory lock, so that the queue lock does not meet the
// single-key advisory locks of other programs: "KVRJ".
inline constexpr int32_t kQueueLockClass = 0x4B56524A;

class Connection {
 public:
  virtual ~Connection() = default;

  // Connects with "login/password@service" (the password may hold blanks).
  // The service chooses the backend: "sqlite:PATH", a "postgresql://" or
  // "postgres://" URI, "host[:port]/dbname", or a libpq service name.
  virtual int Connect(const std::string& connectText) = 0;

  // Runs a statement that returns no rows (DML, DDL, ALTER SESSION ...).
  // An update or delete that touched no row answers 1403.
  virtual int Execute(std::string_view sql, std::span<const Bind> in = {}) = 0;

  // Runs a single-row select ("select ... into :b0:b1, ... from ...", or a
  // plain select whose first row is taken) into the output fields:
  // 0, 1403 when there is no row, or an error code. A row that does not
  // fit answers as a cursor's fetch does (see RowFault).
  virtual int SelectOne(std::string_view sql, std::span<const Bind> in,
                        std::span<const Out> out) = 0;
  // What did not fit in the row of the last SelectOne, else null.
  virtual const RowFault* LastRowFault() const { return nullptr; }

  // Opens a cursor on a select. On failure the result is null and
  // *status holds the code.
  virtual std::unique_ptr<Cursor> Open(std::string_view sql, std::span<const Bind> in,
                                       int* status) = 0;

  // Commits without ending the session.
  virtual int Commit() = 0;

  // Lets the next transaction's commit return before its work is on the
  // disk: a crash of the program keeps it, a power failure may undo it
  // until the next commit that waits for the disk (every other one), which
  // makes it durable with its own. Only for work whose loss changes no
  // row's status. Said while a transaction is open, or on an engine that
  // cannot, it does nothing: the commit waits as always.
  virtual void DeferNextCommitSync() {}

  // Tries, without waiting, for the queue lock (see QueueLockRequest). Held
  // again when this connection holds it already. A PostgreSQL try may leave
  // a transaction open: commit after it. The OS side (the SQLite lock file)
  // goes through env.
  virtual QueueLockResult TryQueueLock(Env& env, const QueueLockRequest& request) = 0;
  // Gives the queue lock up (no-op when not held).
  virtual void ReleaseQueueLock() = 0;
  // False when the database this connection works is no longer the one its
  // connect text names (a SQLite file deleted or replaced since the
  // connect): its rows are nobody's queue any more. Keeps the SQLite lock
  // file of a holder in place.
  virtual bool CheckDatabaseFile() { return true; }

  // A wake source telling of changes other connections commit to the queue
  // table; null when there is none. It must be dropped before the next
  // Connect and before the connection itself.
  virtual std::unique_ptr<WakeSource> OpenWakeSource() { return nullptr; }

  // "sqlite" or "postgres" once connected, empty before.
  virtual std::string_view BackendName() const = 0;

  // Status code and message text of the last call.
  virtual int LastCode() const = 0;
  virtual std::string LastMessage() const = 0;
};

// Tuning of a connection; the defaults serve the controller.
struct ConnectionOptions {
  // How long a SQLite statement waits for a lock another program holds
  // before it fails with -54.
  int sqliteBusyTimeoutMs = 5000;
  // How long a PostgreSQL connect may take before it fails.
  int pgConnectTimeoutSeconds = 10;
  // How long a PostgreSQL statement waits for a lock (fails with -54), and
  // how long it may run at all (fails with -1013); 0: the server's setting.
  int pgLockTimeoutMs = 5000;
  int pgStatementTimeoutMs = 30000;
  // Asked while a SQLite statement waits for a lock: true ends the wait at
  // once (-54), so a stop request is not held up by another program.
  std::function<bool()> stopRequested;
};

// A new, unconnected connection. The backend is chosen at Connect.
std::unique_ptr<Connection> MakeConnection();
std::unique_ptr<Connection> MakeConnection(const ConnectionOptions& options);

}  // namespace kvr

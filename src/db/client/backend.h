// Backend: what the client facade (client_connection.cpp) needs of one
// database engine. Only the facade and the two backends include this.
//
// A backend runs translated statements (translate.h) with their inputs and
// hands back every row of a query at once, as texts in the controller's
// character set (Windows-1252) with NULL kept apart. It keeps the Oracle
// behaviour the system relies on: an implicit transaction from the first
// statement after a commit, statement-level rollback, Oracle status codes
// and "ORA-nnnnn: ..." messages. Nothing throws; once the connection is
// lost every call answers -3114.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "db/client/connect_text.h"
#include "db/client/connection.h"
#include "db/client/translate.h"
#include "platform/wake_source.h"

namespace kvr {

struct DbStatus {
  int code = 0;
  std::string message;  // "ORA-nnnnn: ..." when code is not 0 or 1403
};

// All rows of a query, row by row, column by column.
struct RowSet {
  size_t columns = 0;
  std::vector<std::string> names;  // column names as the engine reports them
  std::vector<std::optional<std::string>> cells;
  size_t rows() const { return columns ? cells.size() / columns : 0; }
  const std::optional<std::string>& at(size_t row, size_t col) const {
    return cells[row * columns + col];
  }
};

inline constexpr const char* kMsgNotConnected = "ORA-03114: not connected to ORACLE";

class Backend {
 public:
  virtual ~Backend() = default;
  virtual DbStatus Connect(const ConnectTarget& target) = 0;
  // Runs a statement. rows (may be null) receives the rows of a query;
  // *affected the number of rows an insert, update or delete touched.
  virtual DbStatus Run(const Translation& t, std::span<const Bind> in, RowSet* rows,
                       int64_t* affected) = 0;
  // ALTER SESSION SET CURRENT_SCHEMA=schema (checked to exist).
  virtual DbStatus SetSchema(std::string_view schema) = 0;
  virtual DbStatus Commit() = 0;
  // See Connection::DeferNextCommitSync.
  virtual void DeferNextCommitSync() {}
  // The queue lock of this engine (see connection.h).
  virtual QueueLockResult TryQueueLock(Env& env, const QueueLockRequest& request) = 0;
  virtual void ReleaseQueueLock() = 0;
  // False when the database open is no longer the one the connect text
  // names (a SQLite file deleted or replaced); true otherwise.
  virtual bool CheckDatabaseFile() { return true; }
  // Tells of changes other connections make to the queue (see
  // wake_sources.h); null when the engine cannot. Must not outlive the
  // backend.
  virtual std::unique_ptr<WakeSource> OpenWakeSource() { return nullptr; }
  virtual Dialect dialect() const = 0;
  virtual std::string_view name() const = 0;
  // Schema for unqualified names (used in SQLite translations), upper case.
  virtual std::string currentSchema() const = 0;
};

}  // namespace kvr

#include "db/client/sqlite_commit_sync.h"

#include <sqlite3.h>

#include <string>

namespace kvr {

namespace {

constexpr int kSyncNormal = 1;
constexpr int kSyncFull = 2;

int ReadLevel(sqlite3* db) {
  sqlite3_stmt* stmt = nullptr;
  int level = -1;
  if (sqlite3_prepare_v2(db, "PRAGMA synchronous", -1, &stmt, nullptr) == SQLITE_OK &&
      sqlite3_step(stmt) == SQLITE_ROW) {
    level = sqlite3_column_int(stmt, 0);
  }
  sqlite3_finalize(stmt);
  return level;
}

bool SetLevel(sqlite3* db, int level) {
  std::string sql = "PRAGMA synchronous=" + std::to_string(level);
  return sqlite3_exec(db, sql.c_str(), nullptr, nullptr, nullptr) == SQLITE_OK &&
         ReadLevel(db) == level;
}

}  // namespace

DbStatus SqliteCommitSync::BeforeBegin(sqlite3* db) {
  bool want = wanted_;
  wanted_ = false;
  if (want == deferred_) return {};
  if (want) {
    if (opened_ < 0) opened_ = ReadLevel(db);
    // A connection that does not sync its commits anyway is left alone.
    if (opened_ >= kSyncFull && SetLevel(db, kSyncNormal)) deferred_ = true;
    return {};
  }
  if (!SetLevel(db, opened_)) {
    return DbStatus{-1114, "ORA-01114: IO error writing block to file (commit level)"};
  }
  deferred_ = false;
  return {};
}

}  // namespace kvr

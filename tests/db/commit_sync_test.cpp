// Commits whose sync is left to the next one: the level each transaction
// commits with, and that such a commit is kept like any other.
#include <gtest/gtest.h>
#include <sqlite3.h>

#include <string>

#include "db/client/connection.h"
#include "db/client/sqlite_commit_sync.h"
#include "support/temp_dir.h"

namespace kvr {
namespace {

int Level(sqlite3* db) {
  sqlite3_stmt* s = nullptr;
  int level = -1;
  if (sqlite3_prepare_v2(db, "PRAGMA synchronous", -1, &s, nullptr) == SQLITE_OK &&
      sqlite3_step(s) == SQLITE_ROW) {
    level = sqlite3_column_int(s, 0);
  }
  sqlite3_finalize(s);
  return level;
}

// Each step: whether the transaction was asked to defer (before it began,
// or once open), whether a commit with nothing open came between the
// request and the transaction, and the level the transaction must commit
// with (2 full, 1 normal).
struct Step {
  bool deferBefore;
  bool deferInside;
  bool emptyCommit;
  int level;
};

struct SyncCase {
  const char* name;
  std::vector<Step> steps;
};

TEST(SqliteCommitSync, LevelOfEachTransaction) {
  const SyncCase cases[] = {
      {"plain commits sync", {{false, false, false, 2}, {false, false, false, 2}}},
      {"one deferred, the next syncs", {{true, false, false, 1}, {false, false, false, 2}}},
      {"deferred twice in a row",
       {{true, false, false, 1}, {true, false, false, 1}, {false, false, false, 2}}},
      {"asked inside a transaction: ignored", {{false, true, false, 2}, {false, false, false, 2}}},
      // A request that met no transaction cannot carry over to a later one.
      {"an empty commit ends the request", {{true, false, true, 2}}},
  };
  for (const SyncCase& c : cases) {
    SCOPED_TRACE(c.name);
    test::TempDir dir;
    sqlite3* db = nullptr;
    ASSERT_EQ(sqlite3_open(dir.File("s.db").c_str(), &db), SQLITE_OK);
    sqlite3_exec(db, "PRAGMA journal_mode=WAL; create table t(a)", nullptr, nullptr, nullptr);
    SqliteCommitSync sync;
    for (const Step& s : c.steps) {
      if (s.deferBefore) sync.Defer(false);
      if (s.emptyCommit) sync.Committed();
      ASSERT_EQ(sync.BeforeBegin(db).code, 0);
      sqlite3_exec(db, "BEGIN IMMEDIATE; insert into t values (1)", nullptr, nullptr, nullptr);
      if (s.deferInside) sync.Defer(true);
      EXPECT_EQ(Level(db), s.level);
      sqlite3_exec(db, "COMMIT", nullptr, nullptr, nullptr);
      sync.Committed();
    }
    sqlite3_close(db);
  }
}

// A deferred commit is seen by others at once and kept when the connection
// goes (a crash of the program loses nothing; only a power failure could).
TEST(SqliteCommitSync, DeferredCommitIsKept) {
  test::TempDir dir;
  auto c = MakeConnection();
  ASSERT_EQ(c->Connect("kvr/pw@sqlite:" + dir.File("e.db")), 0);
  ASSERT_EQ(c->Execute("create table KVSYSTEM.KVRTEST (K1 varchar(14))"), 0);
  ASSERT_EQ(c->Commit(), 0);
  sqlite3* raw = nullptr;
  ASSERT_EQ(sqlite3_open(dir.File("e.db").c_str(), &raw), SQLITE_OK);
  c->DeferNextCommitSync();
  ASSERT_EQ(c->Execute("insert into KVSYSTEM.KVRTEST (K1) values ('deferred')"), 0);
  ASSERT_EQ(c->Commit(), 0);
  c.reset();
  sqlite3_stmt* s = nullptr;
  ASSERT_EQ(sqlite3_prepare_v2(raw, "select count(*) from \"KVSYSTEM.KVRTEST\"", -1, &s, nullptr),
            SQLITE_OK);
  ASSERT_EQ(sqlite3_step(s), SQLITE_ROW);
  EXPECT_EQ(sqlite3_column_int(s, 0), 1);
  sqlite3_finalize(s);
  sqlite3_close(raw);
}

}  // namespace
}  // namespace kvr

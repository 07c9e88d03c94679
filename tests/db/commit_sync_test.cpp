// Commits whose sync is left to the next one: the level each SQLite
// transaction commits with (2 full, 1 normal) after what was asked.
#include <gtest/gtest.h>
#include <sqlite3.h>

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

// One transaction: asked to defer before it began or once open, a commit
// with nothing open between the request and the transaction, its level.
struct Step {
  bool deferBefore, deferInside, emptyCommit;
  int level;
};

TEST(SqliteCommitSync, LevelOfEachTransaction) {
  const struct {
    const char* name;
    std::vector<Step> steps;
  } cases[] = {
      {"plain commits sync", {{false, false, false, 2}, {false, false, false, 2}}},
      {"one deferred, the next syncs", {{true, false, false, 1}, {false, false, false, 2}}},
      {"asked inside a transaction: ignored", {{false, true, false, 2}}},
      // A request that met no transaction cannot carry over to a job's claim.
      {"an empty commit ends the request", {{true, false, true, 2}}},
  };
  for (const auto& c : cases) {
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

}  // namespace
}  // namespace kvr

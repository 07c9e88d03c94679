// Test databases: a fresh database of either engine with every table of the
// KVSYSTEM schema and of the client schema MANDANT1 created, given as the
// parts of a connect text for Session::SQLConnect, so that one test suite
// can run the same cases on SQLite and on PostgreSQL.
//
// MakeTestDatabase reports failures as gtest failures: when PostgreSQL is not
// configured the caller should skip (see Available); when KVR_TEST_REQUIRE_PG
// is 1 and the server cannot be reached the test fails.
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <ostream>
#include <string>

#include "core/config.h"
#include "core/logger.h"
#include "db/client/connection.h"
#include "db/session.h"
#include "platform/fake_env.h"
#include "support/temp_dir.h"
#include "support/test_config.h"

namespace kvr {

enum class Engine { Sqlite, Postgres };

struct TestDatabase {
  std::string login, password, service, schema = "KVSYSTEM";
  bool ok = false;    // the database exists and its tables were created
  std::string error;  // why not, when !ok (never holds the password)
  // "login/password@service"
  std::string connectText() const;
};

// True when the engine can be used by tests (SQLite always; PostgreSQL when
// the KVR_TEST_PG_* settings are present). Does not fail the test.
bool EngineConfigured(Engine engine);

// A fresh database named after the test (PostgreSQL: a new database of
// that name, dropped first when it exists; SQLite: the file
// tempDir/name.db), with the tables applied from the source tree's sql/.
TestDatabase MakeTestDatabase(Engine engine, const std::string& name, const std::string& tempDir);

// Applies the source tree's table definitions to a connected database:
// ApplySchema's result, with *error set on failure.
int ApplyTestSchema(Connection& db, std::string* error);

// The directory holding sql/postgres and sql/sqlite of the source tree.
std::string TestSqlDir();

// "Sqlite" / "Postgres", for test names and messages.
const char* EngineName(Engine engine);
inline std::ostream& operator<<(std::ostream& os, Engine e) { return os << EngineName(e); }
// For INSTANTIATE_TEST_SUITE_P(..., EngineParamName).
template <class Info>
std::string EngineParamName(const Info& info) {
  return EngineName(info.param);
}

// Skips the current test when the engine is not configured, and fails it
// when PostgreSQL is required but cannot be reached. Use at the top of a
// test body or SetUp: KVR_REQUIRE_ENGINE(engine);
#define KVR_REQUIRE_ENGINE(engine)                                              \
  do {                                                                          \
    if (!::kvr::EngineConfigured(engine)) {                                     \
      if (::kvr::PostgresRequired()) {                                          \
        FAIL() << "PostgreSQL is required (KVR_TEST_REQUIRE_PG=1) but not set"; \
      }                                                                         \
      GTEST_SKIP() << ::kvr::EngineName(engine) << " not configured";           \
    }                                                                           \
  } while (0)

// True when KVR_TEST_REQUIRE_PG is 1.
bool PostgresRequired();

// Declares `var` as a fresh TestDatabase of the engine, named after the
// running test, in the directory dir; skips the test when the engine is not
// configured and stops it (failed when required) when the database cannot
// be made.
#define KVR_TEST_DATABASE(var, engine, dir)                                                     \
  KVR_REQUIRE_ENGINE(engine);                                                                   \
  ::kvr::TestDatabase var = ::kvr::MakeTestDatabase(                                            \
      engine,                                                                                   \
      std::string(::testing::UnitTest::GetInstance()->current_test_info()->test_suite_name()) + \
          "_" + ::testing::UnitTest::GetInstance()->current_test_info()->name(),                \
      dir);                                                                                     \
  if (!var.ok) {                                                                                \
    if (engine == ::kvr::Engine::Sqlite || ::kvr::PostgresRequired()) return;                   \
    GTEST_SKIP() << var.error;                                                                  \
  }

// A session with its logger around a FakeEnv in a temporary directory, for
// tests that run on both engines (INSTANTIATE_TEST_SUITE_P with Engine).
class SessionFixture : public ::testing::TestWithParam<Engine> {
 protected:
  SessionFixture() {
    config_ = test::LogsIn(dir_.path());
    log_ = std::make_unique<Logger>(env_, config_);
    session_ = std::make_unique<Session>(env_, *log_);
  }
  int Connect(const TestDatabase& db) {
    return session_->SQLConnect(db.login, db.password, db.service, db.schema);
  }
  std::string MainLog() const { return dir_.Read("KVRJOBCTL.LOG"); }

  // A single integer of a select.
  int32_t Count(const std::string& sql) {
    int32_t n = -1;
    Out out[] = {Out::Int(&n)};
    int rc = session_->db().SelectOne(sql, {}, out);
    EXPECT_EQ(rc, 0) << sql << ": " << session_->db().LastMessage();
    return n;
  }

  FakeEnv env_;
  test::TempDir dir_;
  Config config_;
  std::unique_ptr<Logger> log_;
  std::unique_ptr<Session> session_;
};

}  // namespace kvr

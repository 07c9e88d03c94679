#include "support/test_database.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cctype>
#include <cstdio>
#include <functional>

#include "db/client/connection.h"
#include "db/queue/schema_setup.h"
#include "support/test_pg.h"

namespace kvr {

namespace {

// A short file name for the database: the connect text, path included,
// must stay within kMaxConnectText characters.
std::string SafeFileName(const std::string& name) {
  std::string out;
  for (char c : name) {
    if (out.size() == 12) break;
    out.push_back(std::isalnum(static_cast<unsigned char>(c)) ? c : '_');
  }
  char tag[16];
  std::snprintf(tag, sizeof tag, "_%08zx", std::hash<std::string>{}(name)&0xFFFFFFFFu);
  return out + tag;
}

// Connects and applies the tables; false with db->error set otherwise.
bool ApplyTables(TestDatabase* db) {
  std::unique_ptr<Connection> conn = MakeConnection();
  int rc = conn->Connect(db->connectText());
  if (rc != kSqlOk) {
    db->error = "connect failed: " + conn->LastMessage();
    return false;
  }
  std::string error;
  rc = ApplySchema(*conn, TestSqlDir(), &error);
  if (rc != kSqlOk) {
    db->error = "tables not created (" + std::to_string(rc) + "): " + error;
    return false;
  }
  return true;
}

}  // namespace

std::string TestDatabase::connectText() const { return login + "/" + password + "@" + service; }

const char* EngineName(Engine engine) { return engine == Engine::Sqlite ? "Sqlite" : "Postgres"; }

bool PostgresRequired() { return test::PgRequired(); }

bool EngineConfigured(Engine engine) { return engine == Engine::Sqlite || test::PgConfigured(); }

std::string TestSqlDir() { return KVR_SQL_DIR; }

int ApplyTestSchema(Connection& db, std::string* error) {
  return ApplySchema(db, TestSqlDir(), error);
}

TestDatabase MakeTestDatabase(Engine engine, const std::string& name, const std::string& tempDir) {
  TestDatabase db;
  if (engine == Engine::Sqlite) {
    std::string path = tempDir + "/" + SafeFileName(name) + ".db";
    std::remove(path.c_str());
    std::remove((path + "-wal").c_str());
    std::remove((path + "-shm").c_str());
    db.login = "kvr";
    db.password = "kvr";
    db.service = "sqlite:" + path;
  } else {
    test::PgDatabase pg = test::CreatePgDatabase(name);
    if (!pg.ok) {
      db.error = pg.error;
      if (test::PgRequired()) ADD_FAILURE() << "PostgreSQL required: " << pg.error;
      return db;
    }
    db.login = pg.login;
    db.password = pg.password;
    db.service = pg.service;
  }
  db.ok = ApplyTables(&db);
  if (!db.ok && engine == Engine::Sqlite) ADD_FAILURE() << db.error;
  if (!db.ok && engine == Engine::Postgres && test::PgRequired()) {
    ADD_FAILURE() << "PostgreSQL required: " << db.error;
  }
  return db;
}

}  // namespace kvr

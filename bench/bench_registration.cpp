// bench_registration: the start-up registration with 100 clients of 50
// persons each (5000 per-person rows and the client jobs), per engine: the
// time of the whole registration (walk, standing and per-client jobs,
// system jobs) beside the time of the same inserts through the bare client
// library in one transaction, and their ratio (target <= 2.0).
#include <libpq-fe.h>
#include <sqlite3.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <string>
#include <vector>

#include "bench_support.h"
#include "controller/world.h"
#include "db/queue/schema_setup.h"
#include "jobs/registration.h"
#include "platform/fake_env.h"
#include "support/temp_dir.h"
#include "support/test_database.h"
#include "support/test_pg.h"

namespace kvr {
namespace {

constexpr int kClients = 100;
constexpr int kPersons = 50;

double NowMs() {
  using namespace std::chrono;
  return duration<double, std::milli>(steady_clock::now().time_since_epoch()).count();
}

struct Row {
  std::string da1, ke2, urv, cmd, mrt, rty;
};

bool Fill(Connection& c) {
  std::string error;
  for (int k = 1; k <= kClients; ++k) {
    std::string schema = "MND" + std::to_string(k);
    if (ApplyClientSchema(c, TestSqlDir(), schema, &error) != 0) return false;
    char sql[256];
    std::snprintf(sql, sizeof sql,
                  "insert into KVSYSTEM.KVR112MND (MNDLIZ,MNDNUM,MNDSCH,MNDNA1,MNDKON) values "
                  "('1','%d','%s','Kunde',0)",
                  k, schema.c_str());
    if (c.Execute(sql) != 0) return false;
    for (int p = 1; p <= kPersons; ++p) {
      std::snprintf(sql, sizeof sql,
                    "insert into %s.KVR303SBE (SBEDTQ,SBEPNR,SBEQEV) values ('u%d_%d','%d',1)",
                    schema.c_str(), k, p, k * 1000 + p);
      if (c.Execute(sql) != 0) return false;
    }
  }
  return c.Commit() == 0;
}

std::vector<Row> TakeRows(Connection& c) {
  std::vector<Row> rows;
  int rc = 0;
  auto cursor = c.Open(
      "select JOBDA1 ,JOBKE2 ,JOBURV ,JOBCMD ,JOBMRT ,JOBRTY  from "
      "KVSYSTEM.KVR500JOB",
      {}, &rc);
  for (;;) {
    FixedText<14> da1;
    FixedText<32> ke2;
    FixedText<256> urv, cmd;
    int32_t mrt = 0;
    FixedText<2> rty;
    Out out[] = {Out::Text(da1), Out::Text(ke2), Out::Text(urv),
                 Out::Text(cmd), Out::Int(&mrt), Out::Text(rty)};
    if (!cursor || cursor->Fetch(out) != 0) break;
    rows.push_back({da1.str(), ke2.str(), urv.str(), cmd.str(), std::to_string(mrt), rty.str()});
  }
  c.Execute("delete from KVSYSTEM.KVR500JOB");
  c.Commit();
  return rows;
}

double BareSqlite(const std::string& path, const std::vector<Row>& rows) {
  sqlite3* h = nullptr;
  sqlite3_stmt* st = nullptr;
  if (sqlite3_open(path.c_str(), &h) != SQLITE_OK) return -1;
  double begin = NowMs();
  sqlite3_exec(h, "BEGIN", nullptr, nullptr, nullptr);
  sqlite3_prepare_v2(h,
                     "INSERT INTO \"KVSYSTEM.KVR500JOB\" (JOBDA1,JOBKE2,JOBURV,JOBCMD,JOBMRT,"
                     "JOBRTY,JOBSTV) VALUES (?1,?2,?3,?4,?5,?6,0)",
                     -1, &st, nullptr);
  for (const Row& r : rows) {
    const std::string* v[] = {&r.da1, &r.ke2, &r.urv, &r.cmd, &r.mrt, &r.rty};
    for (int i = 0; i < 6; ++i) sqlite3_bind_text(st, i + 1, v[i]->c_str(), -1, SQLITE_STATIC);
    sqlite3_step(st);
    sqlite3_reset(st);
  }
  sqlite3_finalize(st);
  sqlite3_exec(h, "COMMIT", nullptr, nullptr, nullptr);
  double ms = NowMs() - begin;
  sqlite3_close(h);
  return ms;
}

double BarePostgres(const std::string& dbName, const std::vector<Row>& rows) {
  test::PgSettings s = test::ReadPgSettings();
  std::string info = "host=" + (s.host.empty() ? s.socketDir : s.host) + " port=" + s.port +
                     " user=" + s.user + " password=" + s.password + " dbname=" + dbName;
  PGconn* pg = PQconnectdb(info.c_str());
  if (PQstatus(pg) != CONNECTION_OK) return -1;
  double begin = NowMs();
  PQclear(PQexec(pg, "BEGIN"));
  PQclear(PQprepare(pg, "ins",
                    "insert into kvsystem.kvr500job (jobda1,jobke2,joburv,jobcmd,jobmrt,jobrty,"
                    "jobstv) values ($1,$2,$3,$4,$5::integer,$6,0)",
                    6, nullptr));
  for (const Row& r : rows) {
    const char* v[] = {r.da1.c_str(), r.ke2.c_str(), r.urv.c_str(),
                       r.cmd.c_str(), r.mrt.c_str(), r.rty.c_str()};
    PQclear(PQexecPrepared(pg, "ins", 6, v, nullptr, nullptr, 0));
  }
  PQclear(PQexec(pg, "COMMIT"));
  double ms = NowMs() - begin;
  PQfinish(pg);
  return ms;
}

void Bench(Engine engine) {
  test::TempDir dir;
  std::string name = std::string("bench_registration_") + EngineName(engine);
  TestDatabase db = MakeTestDatabase(engine, name, dir.path());
  std::unique_ptr<Connection> own = MakeConnection();
  if (!db.ok || own->Connect(db.connectText()) != 0 || !Fill(*own)) {
    std::printf("%-8s set-up failed: %s\n", EngineName(engine), db.error.c_str());
    return;
  }
  FakeEnv env;
  env.SetCurrentDir(dir.path());
  Config config;
  config.kvrLog = config.dbgFile = config.mainLogBackup = config.debugLogBackup = "/dev/null";
  World world(env, config, -1);
  world.session().SQLConnect(db.login, db.password, db.service, db.schema);
  JobRegistration& registration = world.registration();
  double begin = NowMs();
  registration.CheckRT04Jobs("ORACLE");
  registration.AddRT04Jobs("ORACLE");
  registration.SQLInsertNewJob();
  registration.AddRT03SystemJobs(env.Now());
  double whole = NowMs() - begin;
  std::vector<Row> rows = TakeRows(*own);
  own.reset();
  double bare = engine == Engine::Sqlite ? BareSqlite(db.service.substr(7), rows)
                                         : BarePostgres(test::PgDatabaseName(name), rows);
  std::printf(
      "%-8s registration: %zu rows in %.1f ms, bare inserts %.1f ms, ratio %.2f "
      "(target <= 2.0)\n",
      EngineName(engine), rows.size(), whole, bare, bare > 0 ? whole / bare : 0.0);
  if (chdir("/") != 0) std::printf("chdir failed\n");
}

}  // namespace
}  // namespace kvr

int main(int argc, char** argv) {
  if (kvr::bench::WantsHelp(argc, argv,
                            "usage: bench_registration\n  (PostgreSQL when the KVR_TEST_PG_* "
                            "settings are present)\n"))
    return 0;
  for (kvr::Engine engine : {kvr::Engine::Sqlite, kvr::Engine::Postgres}) {
    if (!kvr::EngineConfigured(engine)) {
      std::printf("%-8s not configured\n", kvr::EngineName(engine));
      continue;
    }
    kvr::Bench(engine);
  }
  return 0;
}

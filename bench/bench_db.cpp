// bench_db: the cost of the client layer over the bare client library.
//
// For each engine it times the status-row check (update of JOBSTS and
// commit) and the job-row update after a start (SQLUpdateJobRun and
// commit), once through Connection and once with the bare library doing
// the same (sqlite3 prepared statements / libpq PQexecParams between BEGIN
// and COMMIT), and prints microseconds per operation and their ratio. On
// PostgreSQL it also times both updates in one transaction, where the
// second runs inside a savepoint.
// PostgreSQL runs over the local socket of the development server
// (KVR_TEST_PG_*); it is left out when that is not configured.
#include <libpq-fe.h>
#include <sqlite3.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <string>

#include "bench_support.h"
#include "db/client/connection.h"
#include "support/temp_dir.h"
#include "support/test_pg.h"

namespace {

using kvr::Bind;

constexpr const char* kStatusUpdate =
    "update KVSYSTEM.KVR500JOB  set JOBSTS=:b0 where (JOBDA1=:b1 and JOBKE2=:b2)";
constexpr const char* kJobRunUpdate =
    "update KVSYSTEM.KVR500JOB  set JOBSTS=:b0,JOBNAM=:b1,JOBUSR=:b2,JOBNUM=:b3,JOBSDA=:b4,"
    "JOBEDA=:b5,JOBSTV=:b6 where (JOBDA1=:b7 and JOBKE2=:b8)";
constexpr const char* kCreateTable =
    "create table KVSYSTEM.KVR500JOB (JOBDA1 varchar(14), JOBKE2 varchar(32), JOBSTS varchar(2),"
    " JOBNAM varchar(64), JOBUSR varchar(128), JOBNUM varchar(8), JOBSDA varchar(14),"
    " JOBEDA varchar(14), JOBSTV integer, primary key (JOBDA1, JOBKE2))";
constexpr const char* kInsertRows =
    "insert into KVSYSTEM.KVR500JOB (JOBDA1,JOBKE2,JOBSTV) values "
    "('99999999999999','VIVOROVOZE STATUSJOB',0)";
constexpr const char* kInsertJob =
    "insert into KVSYSTEM.KVR500JOB (JOBDA1,JOBKE2,JOBSTV) values ('20260101000000','JOB',0)";

// Bare statements in each backend's own dialect.
constexpr const char* kSqliteStatus =
    "update \"KVSYSTEM.KVR500JOB\" set JOBSTS=?1 where (JOBDA1=?2 and JOBKE2=?3)";
constexpr const char* kSqliteJobRun =
    "update \"KVSYSTEM.KVR500JOB\" set JOBSTS=?1,JOBNAM=?2,JOBUSR=?3,JOBNUM=?4,JOBSDA=?5,"
    "JOBEDA=?6,JOBSTV=?7 where (JOBDA1=?8 and JOBKE2=?9)";
constexpr const char* kPgStatus =
    "update KVSYSTEM.KVR500JOB set JOBSTS=$1 where (JOBDA1=$2 and JOBKE2=$3)";
constexpr const char* kPgJobRun =
    "update KVSYSTEM.KVR500JOB set JOBSTS=$1,JOBNAM=$2,JOBUSR=$3,JOBNUM=$4,JOBSDA=$5,"
    "JOBEDA=$6,JOBSTV=$7 where (JOBDA1=$8 and JOBKE2=$9)";

double MicrosPerOp(int n, const std::function<bool()>& op) {
  auto t0 = std::chrono::steady_clock::now();
  for (int i = 0; i < n; ++i) {
    if (!op()) {
      std::printf("  operation failed at iteration %d\n", i);
      return -1;
    }
  }
  auto t1 = std::chrono::steady_clock::now();
  return std::chrono::duration<double, std::micro>(t1 - t0).count() / n;
}

// Best of several alternating rounds, so both sides see the same machine.
void Compare(const char* engine, const char* what, int n, const std::function<bool()>& ours,
             const std::function<bool()>& bare) {
  MicrosPerOp(n / 10 + 1, ours);
  MicrosPerOp(n / 10 + 1, bare);
  double bestOurs = 1e18, bestBare = 1e18;
  for (int round = 0; round < 5; ++round) {
    bestOurs = std::min(bestOurs, MicrosPerOp(n, ours));
    bestBare = std::min(bestBare, MicrosPerOp(n, bare));
  }
  std::printf("%-9s %-24s connection %9.1f us   bare %9.1f us   ratio %.3f\n", engine, what,
              bestOurs, bestBare, bestOurs / bestBare);
}

Bind kStatusBinds[] = {Bind::Text(""), Bind::Text("99999999999999"),
                       Bind::Text("VIVOROVOZE STATUSJOB")};
Bind kJobBinds[] = {Bind::Text("01"),   Bind::Text("kvrprog.exe"),    Bind::Text(""),
                    Bind::Text("4711"), Bind::Text("20260101000001"), Bind::Text(""),
                    Bind::Int(1),       Bind::Text("20260101000000"), Bind::Text("JOB")};

bool SqliteStep(sqlite3* db, sqlite3_stmt* s) {
  bool ok = sqlite3_step(s) == SQLITE_DONE;
  sqlite3_reset(s);
  (void)db;
  return ok;
}

void BenchSqlite(int n) {
  kvr::test::TempDir dir;
  std::string path = dir.File("bench.db");
  auto c = kvr::MakeConnection();
  if (c->Connect("kvr/pw@sqlite:" + path) != 0 || c->Execute(kCreateTable) != 0 ||
      c->Execute(kInsertRows) != 0 || c->Execute(kInsertJob) != 0 || c->Commit() != 0) {
    std::printf("sqlite: setup failed: %s\n", c->LastMessage().c_str());
    return;
  }
  sqlite3* db = nullptr;
  sqlite3_open(path.c_str(), &db);
  sqlite3_busy_timeout(db, 5000);
  sqlite3_exec(db, "PRAGMA journal_mode=WAL", nullptr, nullptr, nullptr);
  sqlite3_stmt *begin, *commit, *status, *jobRun;
  sqlite3_prepare_v2(db, "BEGIN IMMEDIATE", -1, &begin, nullptr);
  sqlite3_prepare_v2(db, "COMMIT", -1, &commit, nullptr);
  sqlite3_prepare_v2(db, kSqliteStatus, -1, &status, nullptr);
  sqlite3_prepare_v2(db, kSqliteJobRun, -1, &jobRun, nullptr);
  Compare(
      "sqlite", "status-row check", n,
      [&] { return c->Execute(kStatusUpdate, kStatusBinds) == 0 && c->Commit() == 0; },
      [&] {
        sqlite3_bind_null(status, 1);
        sqlite3_bind_text(status, 2, "99999999999999", -1, SQLITE_STATIC);
        sqlite3_bind_text(status, 3, "VIVOROVOZE STATUSJOB", -1, SQLITE_STATIC);
        return SqliteStep(db, begin) && SqliteStep(db, status) && sqlite3_changes(db) == 1 &&
               SqliteStep(db, commit);
      });
  Compare(
      "sqlite", "job-row update", n,
      [&] { return c->Execute(kJobRunUpdate, kJobBinds) == 0 && c->Commit() == 0; },
      [&] {
        const char* t[] = {"01", "kvrprog.exe", nullptr, "4711", "20260101000001", nullptr};
        for (int i = 0; i < 6; ++i) {
          if (t[i])
            sqlite3_bind_text(jobRun, i + 1, t[i], -1, SQLITE_STATIC);
          else
            sqlite3_bind_null(jobRun, i + 1);
        }
        sqlite3_bind_int(jobRun, 7, 1);
        sqlite3_bind_text(jobRun, 8, "20260101000000", -1, SQLITE_STATIC);
        sqlite3_bind_text(jobRun, 9, "JOB", -1, SQLITE_STATIC);
        return SqliteStep(db, begin) && SqliteStep(db, jobRun) && sqlite3_changes(db) == 1 &&
               SqliteStep(db, commit);
      });
  for (sqlite3_stmt* s : {begin, commit, status, jobRun}) sqlite3_finalize(s);
  sqlite3_close(db);
}

bool PgOk(PGresult* r) {
  bool ok = r && PQresultStatus(r) == PGRES_COMMAND_OK;
  PQclear(r);
  return ok;
}

bool PgUpdate(PGconn* pg, const char* sql, int n, const char* const* values, const Oid* types) {
  return PgOk(PQexec(pg, "BEGIN")) &&
         PgOk(PQexecParams(pg, sql, n, types, values, nullptr, nullptr, 0)) &&
         PgOk(PQexec(pg, "COMMIT"));
}

void BenchPostgres(int n) {
  kvr::test::PgDatabase db = kvr::test::CreatePgDatabase("bench_db");
  if (!db.ok) {
    std::printf("postgres: not measured (%s)\n", db.error.c_str());
    return;
  }
  std::string err;
  if (!kvr::test::PgExec(db.name,
                         std::string("create schema kvsystem; ") + kCreateTable + "; " +
                             kInsertRows + "; " + kInsertJob,
                         &err)) {
    std::printf("postgres: setup failed: %s\n", err.c_str());
    return;
  }
  auto c = kvr::MakeConnection();
  if (c->Connect(db.socketConnectText()) != 0) {
    std::printf("postgres: connect failed: %s\n", c->LastMessage().c_str());
    return;
  }
  kvr::test::PgSettings s = kvr::test::ReadPgSettings();
  std::string host = s.socketDir.empty() ? s.host : s.socketDir;
  const char* keys[] = {"host", "port", "user", "password", "dbname", "client_encoding", nullptr};
  const char* vals[] = {host.c_str(),    s.port.c_str(), s.user.c_str(), s.password.c_str(),
                        db.name.c_str(), "WIN1252",      nullptr};
  PGconn* pg = PQconnectdbParams(keys, vals, 0);
  if (PQstatus(pg) != CONNECTION_OK) {
    std::printf("postgres: bare connect failed\n");
    PQfinish(pg);
    return;
  }
  std::printf("postgres over %s\n", s.socketDir.empty() ? "TCP" : "the local socket");
  Compare(
      "postgres", "status-row check", n,
      [&] { return c->Execute(kStatusUpdate, kStatusBinds) == 0 && c->Commit() == 0; },
      [&] {
        const char* v[] = {nullptr, "99999999999999", "VIVOROVOZE STATUSJOB"};
        return PgUpdate(pg, kPgStatus, 3, v, nullptr);
      });
  Compare(
      "postgres", "job-row update", n,
      [&] { return c->Execute(kJobRunUpdate, kJobBinds) == 0 && c->Commit() == 0; },
      [&] {
        const char* v[] = {"01",    "kvrprog.exe", nullptr,          "4711", "20260101000001",
                           nullptr, "1",           "20260101000000", "JOB"};
        const Oid types[] = {0, 0, 0, 0, 0, 0, 23, 0, 0};
        return PgUpdate(pg, kPgJobRun, 9, v, types);
      });
  // The second statement of a transaction runs inside a savepoint: this
  // shows what the savepoint costs (it shares the statement's round trip).
  Compare(
      "postgres", "both in one transaction", n,
      [&] {
        return c->Execute(kStatusUpdate, kStatusBinds) == 0 &&
               c->Execute(kJobRunUpdate, kJobBinds) == 0 && c->Commit() == 0;
      },
      [&] {
        const char* v1[] = {nullptr, "99999999999999", "VIVOROVOZE STATUSJOB"};
        const char* v2[] = {"01",    "kvrprog.exe", nullptr,          "4711", "20260101000001",
                            nullptr, "1",           "20260101000000", "JOB"};
        const Oid types[] = {0, 0, 0, 0, 0, 0, 23, 0, 0};
        return PgOk(PQexec(pg, "BEGIN")) &&
               PgOk(PQexecParams(pg, kPgStatus, 3, nullptr, v1, nullptr, nullptr, 0)) &&
               PgOk(PQexecParams(pg, kPgJobRun, 9, types, v2, nullptr, nullptr, 0)) &&
               PgOk(PQexec(pg, "COMMIT"));
      });
  PQfinish(pg);
}

}  // namespace

int main(int argc, char** argv) {
  if (kvr::bench::WantsHelp(argc, argv,
                            "usage: bench_db [N]\n  N  operations per round (default 2000)\n"))
    return 0;
  int n = argc > 1 ? std::atoi(argv[1]) : 2000;
  if (n <= 0) n = 2000;
  std::printf("bench_db: %d operations per round, best of 5 rounds\n", n);
  BenchSqlite(n);
  BenchPostgres(n);
  return 0;
}

// bench_start: the cost of starting jobs and of an idle pass.
//
// 1. 500 due run type 04 rows of /bin/true started in one pass (select 04,
//    StartJob, as the pass does), per engine: the time per start beside the
//    bare work one start needs (one posix_spawn, one single-row select, one
//    update and one commit through the bare client library), and the ratio
//    (target <= 2.0).
//    Each start claims its row (committed before the process exists),
//    creates the process with the job's mark and writes its id, which goes
//    to disk with the next start's claim: one commit per start, as in the
//    bare work.
// 2. The controller's CPU time per idle pass (GetKvProcs, CheckProcessTime
//    and the four selections with nothing due) with 1000 and with 100000
//    ended rows in the queue (target below 5 ms, the larger within 1.5x).
// 3. The CPU of one supervision (GetKvProcs and CheckProcessTime) with 300
//    running jobs, beside its floor: a waitpid sweep and one read of each
//    job's /proc/PID/stat (target <= 1.5x).
// 4. The time KillAllProcs takes to end 1000 running jobs (target < 10 s).
#include <fcntl.h>
#include <libpq-fe.h>
#include <spawn.h>
#include <sqlite3.h>
#include <strings.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "bench_support.h"
#include "core/config.h"
#include "core/logger.h"
#include "core/service_contact.h"
#include "db/session.h"
#include "exec/job_executor.h"
#include "exec/selection.h"
#include "messages/message_poster.h"
#include "platform/posix_env.h"
#include "support/temp_dir.h"
#include "support/test_config.h"
#include "support/test_database.h"
#include "support/test_pg.h"

extern char** environ;

namespace kvr {
namespace {

constexpr int kStartRows = 500;
constexpr int kBareRounds = 200;
constexpr int kIdlePasses = 50;

double NowMs() {
  using namespace std::chrono;
  return duration<double, std::milli>(steady_clock::now().time_since_epoch()).count();
}

double CpuMs() {
  rusage u{};
  getrusage(RUSAGE_SELF, &u);
  return (u.ru_utime.tv_sec + u.ru_stime.tv_sec) * 1000.0 +
         (u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1000.0;
}

// Everything a JobExecutor stands on, connected to one database.
struct Stack {
  Stack(Env& env, const TestDatabase& db, const std::string& dir) {
    config = test::LogsIn(dir);
    log = std::make_unique<Logger>(env, config);
    session = std::make_unique<Session>(env, *log);
    poster = std::make_unique<MessagePoster>(env, *log, *session);
    contact = std::make_unique<ServiceContact>(env, *log);
    exec = std::make_unique<JobExecutor>(env, *log, *session, *poster, *contact, false, "/");
    ok = session->SQLConnect(db.login, db.password, db.service, db.schema) == 0;
  }
  Config config;
  std::unique_ptr<Logger> log;
  std::unique_ptr<Session> session;
  std::unique_ptr<MessagePoster> poster;
  std::unique_ptr<ServiceContact> contact;
  std::unique_ptr<JobExecutor> exec;
  bool ok = false;
};

// Rows through the bare client: n rows of the run type and status.
bool LoadRows(Engine engine, const TestDatabase& db, const std::string& pgName, int n,
              const char* rty, const char* sts, const char* cmd) {
  char sql[1024];
  if (engine == Engine::Sqlite) {
    std::snprintf(sql, sizeof sql,
                  "WITH RECURSIVE g(i) AS (SELECT 1 UNION ALL SELECT i+1 FROM g WHERE i<%d) "
                  "INSERT INTO \"KVSYSTEM.KVR500JOB\" (JOBDA1,JOBKE2,JOBCMD,JOBRTY,JOBSTS,JOBSTV,"
                  "JOBMRT) SELECT printf('%%014d',i),'J'||i,'%s','%s',NULLIF('%s',''),0,0 FROM g",
                  n, cmd, rty, sts);
    sqlite3* h = nullptr;
    std::string path = db.service.substr(7);
    bool ok = sqlite3_open(path.c_str(), &h) == SQLITE_OK &&
              sqlite3_exec(h, sql, nullptr, nullptr, nullptr) == SQLITE_OK;
    sqlite3_close(h);
    return ok;
  }
  std::snprintf(sql, sizeof sql,
                "insert into kvsystem.kvr500job (jobda1,jobke2,jobcmd,jobrty,jobsts,jobstv,jobmrt) "
                "select lpad(g::text,14,'0'),'J'||g,'%s','%s',nullif('%s',''),0,0 "
                "from generate_series(1,%d) g; analyze kvsystem.kvr500job",
                cmd, rty, sts, n);
  return test::PgExec(pgName, sql);
}

// The bare work of one start, kBareRounds times: ms per round.
double BareStartMs(Engine engine, const TestDatabase& db, const std::string& pgName) {
  const char* select =
      engine == Engine::Sqlite
          ? "SELECT JOBDA1,JOBKE2 FROM \"KVSYSTEM.KVR500JOB\" WHERE JOBRTY='04' AND (JOBSTS IS "
            "NULL OR JOBSTS='  ' OR JOBSTS>='90') AND JOBSTV<=10 ORDER BY JOBDA1,JOBKE2 LIMIT 1"
          : "SELECT jobda1,jobke2 FROM kvsystem.kvr500job WHERE jobrty='04' AND (jobsts IS NULL "
            "OR jobsts='  ' OR jobsts>='90') AND jobstv<=10 ORDER BY jobda1,jobke2 LIMIT 1";
  const char* update = engine == Engine::Sqlite
                           ? "UPDATE \"KVSYSTEM.KVR500JOB\" SET JOBSTS='01',JOBNUM=?1 WHERE "
                             "JOBDA1=?2 AND JOBKE2=?3"
                           : "UPDATE kvsystem.kvr500job SET jobsts='01',jobnum=$1 WHERE "
                             "jobda1=$2 AND jobke2=$3";
  sqlite3* lite = nullptr;
  PGconn* pg = nullptr;
  if (engine == Engine::Sqlite) {
    sqlite3_open(db.service.substr(7).c_str(), &lite);
  } else {
    test::PgSettings s = test::ReadPgSettings();
    std::string info = "host=" + s.host + " port=" + s.port + " user=" + s.user +
                       " password=" + s.password + " dbname=" + pgName;
    pg = PQconnectdb(info.c_str());
    if (PQstatus(pg) != CONNECTION_OK) return -1;
  }
  double begin = NowMs();
  for (int i = 0; i < kBareRounds; ++i) {
    pid_t pid = 0;
    char prog[] = "/bin/true";
    char* argv[] = {prog, nullptr};
    posix_spawn(&pid, prog, nullptr, nullptr, argv, environ);
    std::string num = std::to_string(pid), da1, ke2;
    if (lite != nullptr) {
      sqlite3_exec(lite, "BEGIN", nullptr, nullptr, nullptr);
      sqlite3_stmt* st = nullptr;
      sqlite3_prepare_v2(lite, select, -1, &st, nullptr);
      if (sqlite3_step(st) == SQLITE_ROW) {
        da1 = reinterpret_cast<const char*>(sqlite3_column_text(st, 0));
        ke2 = reinterpret_cast<const char*>(sqlite3_column_text(st, 1));
      }
      sqlite3_finalize(st);
      sqlite3_prepare_v2(lite, update, -1, &st, nullptr);
      sqlite3_bind_text(st, 1, num.c_str(), -1, SQLITE_TRANSIENT);
      sqlite3_bind_text(st, 2, da1.c_str(), -1, SQLITE_TRANSIENT);
      sqlite3_bind_text(st, 3, ke2.c_str(), -1, SQLITE_TRANSIENT);
      sqlite3_step(st);
      sqlite3_finalize(st);
      sqlite3_exec(lite, "COMMIT", nullptr, nullptr, nullptr);
    } else {
      PQclear(PQexec(pg, "BEGIN"));
      PGresult* r = PQexec(pg, select);
      if (PQntuples(r) == 1) {
        da1 = PQgetvalue(r, 0, 0);
        ke2 = PQgetvalue(r, 0, 1);
      }
      PQclear(r);
      const char* values[] = {num.c_str(), da1.c_str(), ke2.c_str()};
      PQclear(PQexecParams(pg, update, 3, nullptr, values, nullptr, nullptr, 0));
      PQclear(PQexec(pg, "COMMIT"));
    }
  }
  double perRound = (NowMs() - begin) / kBareRounds;
  while (waitpid(-1, nullptr, WNOHANG) > 0) {
  }
  if (lite != nullptr) sqlite3_close(lite);
  if (pg != nullptr) PQfinish(pg);
  return perRound;
}

void BenchStarts(Engine engine) {
  test::TempDir dir;
  std::string name = std::string("bench_start_") + EngineName(engine);
  TestDatabase db = MakeTestDatabase(engine, engine == Engine::Sqlite ? "q" : name, dir.path());
  std::string pgName = engine == Engine::Postgres ? test::PgDatabaseName(name) : "";
  if (!db.ok || !LoadRows(engine, db, pgName, kStartRows + kBareRounds, "04", "", "/bin/true")) {
    std::printf("%-8s start: database not usable: %s\n", EngineName(engine), db.error.c_str());
    return;
  }
  // The bare work first, on rows of its own: run after the starts it would
  // find no due row and commit nothing.
  double bare = BareStartMs(engine, db, pgName);
  PosixEnv env;
  Stack s(env, db, dir.path());
  if (!s.ok) return;
  s.exec->ClearProcessTable();
  int sqlCode = 0;
  s.exec->GetKvProcs(&sqlCode);
  int started = 0;
  double begin = NowMs();
  for (;;) {
    JobRow job;
    if (SQLSelectKvr500Job04(*s.session, s.exec->exclusions(), &job) != 0) break;
    int rc = s.exec->StartJob(job);
    if (rc != JobExecutor::kStartOk) break;
    ++started;
  }
  double perStart = (NowMs() - begin) / (started > 0 ? started : 1);
  env.ReapChildren();
  std::printf(
      "%-8s start: %d started, %.3f ms per start, bare work %.3f ms, ratio %.2f "
      "(target <= 2.0)\n",
      EngineName(engine), started, perStart, bare, bare > 0 ? perStart / bare : 0.0);
}

double IdlePassCpuMs(Engine engine, int endedRows) {
  test::TempDir dir;
  std::string name = std::string("bench_idle_") + EngineName(engine) + std::to_string(endedRows);
  TestDatabase db = MakeTestDatabase(engine, engine == Engine::Sqlite ? "q" : name, dir.path());
  std::string pgName = engine == Engine::Postgres ? test::PgDatabaseName(name) : "";
  if (!db.ok || !LoadRows(engine, db, pgName, endedRows, "01", "99", "x")) return -1;
  PosixEnv env;
  Stack s(env, db, dir.path());
  if (!s.ok) return -1;
  double begin = CpuMs();
  for (int pass = 0; pass < kIdlePasses; ++pass) {
    s.exec->SaveProcessTable();
    s.exec->ClearProcessTable();
    s.exec->ResetRunningJobs();
    int sqlCode = 0;
    s.exec->GetKvProcs(&sqlCode);
    s.exec->CheckProcessTime();
    JobRow row;
    SQLSelectKvr500Job05(*s.session, s.exec->exclusions(), &row);
    SQLSelectKvr500Job04(*s.session, s.exec->exclusions(), &row);
    SQLSelectKvr500Job01(*s.session, s.exec->exclusions(), &row);
    SQLReadKvr500Job(*s.session, env, "03", s.exec->exclusions(), &row);
    s.session->SQLCommit();
  }
  return (CpuMs() - begin) / kIdlePasses;
}

void BenchIdle(Engine engine) {
  double small = IdlePassCpuMs(engine, 1000);
  double large = IdlePassCpuMs(engine, 100000);
  std::printf(
      "%-8s idle pass CPU: %.3f ms with 1000 ended rows, %.3f ms with 100000 "
      "(target < 5 ms, ratio %.2f, target <= 1.5)\n",
      EngineName(engine), small, large, small > 0 ? large / small : 0.0);
}

// Starts n sleeping jobs through StartJob; the number started.
int StartSleepers(Stack& s, int n) {
  s.exec->ClearProcessTable();
  int sqlCode = 0;
  s.exec->GetKvProcs(&sqlCode);
  int started = 0;
  for (;;) {
    JobRow job;
    if (started >= n || SQLSelectKvr500Job04(*s.session, s.exec->exclusions(), &job) != 0) break;
    if (s.exec->StartJob(job) != JobExecutor::kStartOk) {
      break;
    }
    ++started;
  }
  return started;
}

// A waitpid sweep and one read of /proc/PID/stat for each pid: CPU ms.
double FloorCpuMs(const std::vector<Pid>& pids, int rounds) {
  double begin = CpuMs();
  char buffer[1024];
  for (int r = 0; r < rounds; ++r) {
    while (waitpid(-1, nullptr, WNOHANG) > 0) {
    }
    for (Pid pid : pids) {
      std::string path = "/proc/" + std::to_string(pid) + "/stat";
      int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
      if (fd < 0) continue;
      if (read(fd, buffer, sizeof buffer) < 0) buffer[0] = 0;
      close(fd);
    }
  }
  return (CpuMs() - begin) / rounds;
}

// The passes and the floor take turns, so that a change of the machine's
// load meanwhile weighs on both alike.
void BenchRunning(Engine engine, int rounds) {
  constexpr int kSupervised = 300, kEnded = 1000;
  test::TempDir dir;
  std::string name = std::string("bench_run_") + EngineName(engine);
  TestDatabase db = MakeTestDatabase(engine, engine == Engine::Sqlite ? "q" : name, dir.path());
  std::string pgName = engine == Engine::Postgres ? test::PgDatabaseName(name) : "";
  if (!db.ok || !LoadRows(engine, db, pgName, kEnded, "04", "", "/bin/sleep 600")) return;
  PosixEnv env;
  Stack s(env, db, dir.path());
  if (!s.ok) return;
  int started = StartSleepers(s, kSupervised);
  std::vector<Pid> pids;
  for (std::size_t i = 0; i < ProcessTable::kCapacity; ++i) {
    if (!s.exec->table()[i].free()) pids.push_back(s.exec->table()[i].pid);
  }
  double supervision = 0, floor = 0;
  for (int r = 0; r < rounds; ++r) {
    double begin = CpuMs();
    s.exec->SaveProcessTable();
    s.exec->ClearProcessTable();
    int sqlCode = 0;
    s.exec->GetKvProcs(&sqlCode);
    s.exec->CheckProcessTime();
    s.session->SQLCommit();
    supervision += CpuMs() - begin;
    floor += FloorCpuMs(pids, 1);
  }
  supervision /= rounds;
  floor /= rounds;
  std::printf(
      "%-8s supervision CPU with %d running jobs: %.3f ms per pass, floor %.3f ms, ratio %.2f "
      "(target <= 1.5)\n",
      EngineName(engine), started, supervision, floor, floor > 0 ? supervision / floor : 0.0);

  started += StartSleepers(s, kEnded - started);
  double endBegin = NowMs();
  s.exec->KillAllProcs(JobExecutor::kReasonServiceLost);
  std::printf("%-8s ending %d running jobs: %.2f s (target < 10 s)\n", EngineName(engine), started,
              (NowMs() - endBegin) / 1000.0);
}

}  // namespace
}  // namespace kvr

int main(int argc, char** argv) {
  constexpr char kUsage[] =
      "usage: bench_start [--engine sqlite|postgres] [--part starts|idle|running] [--rounds N]\n"
      "  Measures on SQLite (a file of its own) and on PostgreSQL (when KVR_TEST_PG_* name a\n"
      "  server): the time per job start beside the bare work of one start, the CPU of an\n"
      "  idle pass, the CPU of one supervision of 300 running jobs beside its floor, and the\n"
      "  time to end 1000 running jobs. Prints one line per figure. --engine and --part\n"
      "  choose one engine and one part (starts, idle, running); --rounds the supervision\n"
      "  passes measured (100).\n";
  if (kvr::bench::WantsHelp(argc, argv, kUsage)) return 0;
  using kvr::Engine;
  auto option = [&](const char* name) {
    for (int i = 1; i + 1 < argc; ++i) {
      if (std::strcmp(argv[i], name) == 0) return std::string(argv[i + 1]);
    }
    return std::string();
  };
  std::string onlyEngine = option("--engine"), onlyPart = option("--part");
  auto wanted = [&](const std::string& only, const char* name) {
    return only.empty() || strcasecmp(only.c_str(), name) == 0;
  };
  for (Engine engine : {Engine::Sqlite, Engine::Postgres}) {
    if (!wanted(onlyEngine, kvr::EngineName(engine))) continue;
    if (!kvr::EngineConfigured(engine)) {
      std::printf("%-8s not configured\n", kvr::EngineName(engine));
      continue;
    }
    if (wanted(onlyPart, "starts")) kvr::BenchStarts(engine);
    if (wanted(onlyPart, "idle")) kvr::BenchIdle(engine);
    if (wanted(onlyPart, "running")) {
      kvr::BenchRunning(engine,
                        static_cast<int>(kvr::bench::LongOption(argc, argv, "--rounds", 100)));
    }
  }
  return 0;
}

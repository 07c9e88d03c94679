// Benchmark of the timed and scheduled jobs: 10000 run type 03 rows with a
// time plan and 10000 run type 07 rows with a schedule. Prints the CPU time
// of one UpdateRT03Jobs and one UpdateRT07Jobs beside reading the same rows
// and writing back as many through the bare client, their ratio, and the
// CPU time of the run types' share of an idle pass. SQLite always,
// PostgreSQL when the KVR_TEST_PG_* settings are present.
#include <sys/resource.h>

#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "bench_support.h"
#include "controller/world.h"
#include "db/client/connection.h"
#include "db/queue/job_table.h"
#include "jobs/closing_jobs.h"
#include "jobs/run_type_list.h"
#include "jobs/scheduled_jobs.h"
#include "jobs/timed_jobs.h"
#include "platform/fake_env.h"
#include "support/temp_dir.h"
#include "support/test_config.h"
#include "support/test_database.h"

namespace kvr {
namespace {

constexpr int kRows = 10000;

double CpuMs() {
  rusage u{};
  getrusage(RUSAGE_SELF, &u);
  return (u.ru_utime.tv_sec + u.ru_stime.tv_sec) * 1e3 +
         (u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e3;
}

void Fill(Session& s) {
  Connection& db = s.db();
  for (int d = 1; d <= 7; ++d) {
    db.Execute(
        "insert into KVSYSTEM.KVR139TPL (TPLZPL,TPLWTG,TPLVON,TPLBIS,TPLVRZ,TPLSTA) values "
        "('P'," +
        std::to_string(d) + ",0,1440,1,1)");
  }
  for (int i = 0; i < kRows; ++i) {
    std::string n = std::to_string(i);
    // Binds refer to their text: the texts must outlive the statements.
    const std::string timedKey = "T" + n, scheduleKey = "S#" + n + "#L#M";
    const Bind t[] = {Bind::Text(timedKey)};
    db.Execute(
        "insert into KVSYSTEM.KVR500JOB (JOBDA1,JOBKE2,JOBCMD,JOBRTY,JOBSCD,JOBSTS,JOBNRT,"
        "JOBSTV,JOBDLS) values ('20260101000000',:b0,'t.exe','03','P','98',"
        "'20000101000000',0,0)",
        t);
    const Bind k[] = {Bind::Text(scheduleKey)};
    const Bind sbe[] = {Bind::Text(n)};
    db.Execute(
        "insert into KVSYSTEM.KVR500JOB (JOBDA1,JOBKE2,JOBCMD,JOBRTY,JOBSTS,JOBNRT,JOBSTV,"
        "JOBDLS,JOBSDA,JOBEDA) values ('20260101000000',:b0,'s.exe','07','98',"
        "'20000101000000',0,0,'20260603063000','20260603064000')",
        k);
    db.Execute(
        "insert into KVSYSTEM.KVR800SCD (SCDNAM,SCDSBE,SCDLIZ,SCDMND,SCDTYP,SCDUHR) "
        "values ('S',:b0,'L','M',2,'1900-01-01 06:30:00')",
        sbe);
  }
  s.SQLCommit();
}

// Reads the run type and writes every row back, through the client alone.
double Bare(Session& s, const char* runType) {
  double start = CpuMs();
  std::vector<JobRow> rows;
  ReadRunTypeJobs(s, runType, rows);
  for (JobRow& row : rows) {
    row.jobsts = kStatusScheduled;
    SQLUpdateJobNextRun(s, row);
  }
  s.SQLCommit();
  return CpuMs() - start;
}

void SetEnded(Session& s) {
  s.db().Execute("update KVSYSTEM.KVR500JOB set JOBSTS='98' where JOBRTY in ('03','07')");
  s.SQLCommit();
}

void RunOn(Engine engine) {
  if (!EngineConfigured(engine)) return;
  test::TempDir dir;
  TestDatabase tdb = MakeTestDatabase(engine, "bench_timed", dir.path());
  if (!tdb.ok) {
    std::printf("%s: no database: %s\n", EngineName(engine), tdb.error.c_str());
    return;
  }
  FakeEnv env;
  env.SetLocalTime(2026, 6, 3, 9, 47, 0);
  World world(env, test::LogsIn(dir.path()), -1);
  Session& session = world.session();
  if (session.SQLConnect(tdb.login, tdb.password, tdb.service, tdb.schema) != 0) return;
  Fill(session);
  TimedJobs& timed = world.timed();
  ScheduledJobs& scheduled = world.scheduled();
  ClosingJobs& closing = world.closing();

  Bare(session, "03");  // warms the statement caches
  double bare03 = Bare(session, "03");
  SetEnded(session);
  double start = CpuMs();
  timed.UpdateRT03Jobs(env.Now());
  session.SQLCommit();
  double own03 = CpuMs() - start;

  double bare07 = Bare(session, "07");
  SetEnded(session);
  start = CpuMs();
  scheduled.UpdateRT07Jobs();
  double own07 = CpuMs() - start;

  // An idle pass: nothing due, the minute's evaluation done.
  env.Advance(10);
  start = CpuMs();
  timed.UpdateRT03Jobs(env.Now());
  double idle03 = CpuMs() - start;
  double mark = CpuMs();
  scheduled.UpdateRT07Jobs();
  double idleUpdate07 = CpuMs() - mark;
  mark = CpuMs();
  scheduled.CheckKvr500Job07(false);
  double idle07 = CpuMs() - mark;
  mark = CpuMs();
  closing.checkKvrJobs08(false);
  closing.checkKvrJobs09(false);
  session.SQLCommit();
  double idle0809 = CpuMs() - mark;
  double idle = CpuMs() - start - idleUpdate07;

  std::printf("%s, %d rows each:\n", EngineName(engine), kRows);
  std::printf("  UpdateRT03Jobs %8.1f ms CPU, bare read+write %8.1f ms, ratio %.2f\n", own03,
              bare03, own03 / bare03);
  std::printf("  UpdateRT07Jobs %8.1f ms CPU, bare read+write %8.1f ms, ratio %.2f\n", own07,
              bare07, own07 / bare07);
  std::printf(
      "  idle pass: run type 03 %.3f ms, UpdateRT07Jobs %.3f ms, run type 07 with its selection "
      "%.3f ms, run types 08 and 09 %.3f ms; run types 03 to 09 %8.3f ms CPU\n",
      idle03, idleUpdate07, idle07, idle0809, idle);
}

}  // namespace
}  // namespace kvr

int main(int argc, char** argv) {
  if (kvr::bench::WantsHelp(
          argc, argv,
          "usage: bench_timed\n  (PostgreSQL when the KVR_TEST_PG_* settings are present)\n"))
    return 0;
  kvr::RunOn(kvr::Engine::Sqlite);
  kvr::RunOn(kvr::Engine::Postgres);
  return 0;
}

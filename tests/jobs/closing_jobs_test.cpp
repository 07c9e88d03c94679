// The daily closing on both engines: closing times become run type 08 rows
// and follow their changes, ended rows are made again for the next
// occurrence, and run type 09 rows that are refused or fail are passed over
// so the rows behind them start in the same pass.
#include "jobs/closing_jobs.h"

#include <gtest/gtest.h>

#include "jobs/jobs_fixture.h"

namespace kvr {
namespace {

class ClosingJobsTest : public JobsFixture {
 protected:
  void Client(const std::string& t01, const std::string& d03) {
    Run("insert into KVSYSTEM.KVR112MND (MNDLIZ,MNDNUM,MNDSCH,MNDKON,MNDT01,MNDT02,MNDT03,"
        "MNDT04,MNDT05,MNDT06,MNDT07,MNDT08,MNDT09,MNDT10,MNDT11,MNDT12,MNDD01,MNDD02,MNDD03,"
        "MNDD04,MNDD05,MNDD06,MNDD07,MNDD08,MNDD09,MNDD10,MNDD11,MNDD12) values "
        "('1','00001','VELTRONIA',0," +
        t01 + ",0,0,0,0,0,0,0,0,0,0,0,0,0," + d03 + ",0,0,0,0,0,0,0,0,0)");
  }
};

TEST_P(ClosingJobsTest, ClosingTimesBecomeRowsAndFollowTheirChanges) {
  env_.SetLocalTime(2026, 12, 31, 10, 0, 0);
  ClosingJobs closing(startContext());
  AddRow("08", "OLD", "", "20261231220000");
  EXPECT_EQ(closing.updateKvr500Job08(), 1);  // no times: rows stay
  EXPECT_EQ(Count("JOBRTY='08'"), 1);
  Run("delete from KVSYSTEM.KVR500JOB");
  Client("1320", "300");
  EXPECT_EQ(closing.updateKvr500Job08(), 1);
  EXPECT_EQ(Count("JOBRTY='08'"), 2);
  EXPECT_EQ(Field("JOBNRT", "NLF+D00"), "20261231220000");
  EXPECT_EQ(Field("JOBCMD", "NLF+D00"), "Nachtlauf.exe");
  EXPECT_EQ(Field("JOBNRT", "NLF+_02"), "20270101050000");
  EXPECT_EQ(Field("JOBCMD", "NLF+_02"), "Nachtlauf.exe /NODNL");
  EXPECT_EQ(Field("JOBDA1", "NLF+_02"), Field("JOBDA1", "NLF+D00"));
  EXPECT_EQ(Field("JOBDA1", "NLF+_02").substr(0, 12), "202612311000");
  env_.Advance(5);
  EXPECT_EQ(closing.updateKvr500Job08(), 1);
  EXPECT_EQ(Count("JOBRTY='08'"), 2);
  Run("update KVSYSTEM.KVR112MND set MNDT01=1350");
  EXPECT_EQ(closing.updateKvr500Job08(), 1);
  EXPECT_EQ(Count("JOBRTY='08'"), 2);
  EXPECT_EQ(Field("JOBNRT", "NLF+D00"), "20261231223000");
  // An ended run is made again for the next occurrence of its time.
  Run("update KVSYSTEM.KVR500JOB set JOBSTS='99' where JOBKE2='NLF+D00'");
  env_.SetLocalTime(2026, 12, 31, 22, 45, 0);
  EXPECT_EQ(closing.updateKvr500Job08(), 1);
  EXPECT_EQ(Field("JOBNRT", "NLF+D00"), "20270101223000");
  EXPECT_EQ(Field("JOBSTS", "NLF+D00"), "");
}

TEST_P(ClosingJobsTest, DueClosingRowsStartUnlessRunType05IsDue) {
  env_.SetLocalTime(2026, 12, 31, 10, 0, 0);
  Client("540", "0");  // 09:00, already past: made for tomorrow
  AddRow("08", "NLF+D00", "", "20261231090000");
  Run("update KVSYSTEM.KVR500JOB set JOBCMD='Nachtlauf.exe', JOBURV='Nachtlauf'");
  ClosingJobs closing(startContext());
  ASSERT_TRUE(closing.checkKvrJobs08(true));
  EXPECT_EQ(Field("JOBSTS", "NLF+D00"), "");
  ASSERT_TRUE(closing.checkKvrJobs08(false));
  EXPECT_EQ(Field("JOBSTS", "NLF+D00"), "01");
  EXPECT_EQ(Count("JOBRTY='08'"), 1);
}

TEST_P(ClosingJobsTest, RefusedAndFailedFollowUpsArePassedOver) {
  AddRow("09", "A-REFUSED", "90", "");
  Run("update KVSYSTEM.KVR500JOB set JOBSTV=11 where JOBKE2='A-REFUSED'");
  AddRow("09", "B-BROKEN", "", "");
  AddRow("09", "C-GOOD", "98", "");
  env_.spawner = [this](const std::string& command) {
    SpawnResult r;
    if (command == "prog B-BROKEN") return r;
    FakeEnv::Process process;
    process.baseName = "prog";
    process.path = "/usr/bin/prog";
    process.startTime = env_.Now();
    r.created = true;
    r.pid = env_.AddProcess(process);
    return r;
  };
  ClosingJobs closing(startContext());
  ASSERT_TRUE(closing.checkKvrJobs09(true));
  EXPECT_EQ(Field("JOBSTS", "C-GOOD"), "98");
  ASSERT_TRUE(closing.checkKvrJobs09(false));
  EXPECT_EQ(Field("JOBSTS", "A-REFUSED"), "90");
  EXPECT_EQ(Field("JOBSTV", "A-REFUSED"), "11");
  EXPECT_EQ(Field("JOBSTS", "B-BROKEN"), "90");
  EXPECT_EQ(Field("JOBSTV", "B-BROKEN"), "1");  // tried once in the pass
  EXPECT_EQ(Field("JOBSTS", "C-GOOD"), "01");
  EXPECT_EQ(env_.spawned.size(), 2u);
}

// A row that cannot be read is set aside ("90") and, still due for this
// run type, passed over: the rows sorted after it start in the same pass,
// and the next pass does not stop at it either.
TEST_P(ClosingJobsTest, UnreadableFollowUpsArePassedOver) {
  if (GetParam() != Engine::Sqlite) GTEST_SKIP() << "typed columns hold no bad values";
  session().RequireQueueLock({"KVRJOBSTR", "test 1", "KVSYSTEM"});
  ASSERT_TRUE(session().TryQueueLock().held());
  struct Bad {
    const char* column;
    const char* value;
  };
  const std::string longKey = "'A-BAD" + std::string(300, 'x') + "'";
  for (const Bad& b : {Bad{"JOBMRT", "'abc'"}, Bad{"JOBSTV", "3000000000"}, Bad{"JOBMRT", "1e300"},
                       Bad{"JOBSTV", "''"}, Bad{"JOBKE2", longKey.c_str()}}) {
    SCOPED_TRACE(std::string(b.column) + "=" + b.value);
    session().db().Execute("delete from KVSYSTEM.KVR500JOB");
    env_.spawned.clear();
    dir_.Write("KVRJOBCTL.LOG", "");
    AddRow("09", "A-BAD", "", "");
    Run(std::string("update KVSYSTEM.KVR500JOB set ") + b.column + "=" + b.value +
        " where JOBKE2='A-BAD'");
    AddRow("09", "B-GOOD", "", "");
    ClosingJobs closing(startContext());
    ASSERT_TRUE(closing.checkKvrJobs09(false));
    EXPECT_EQ(Field("JOBSTS", "B-GOOD"), "01");
    ASSERT_TRUE(closing.checkKvrJobs09(false));
    EXPECT_EQ(env_.spawned.size(), std::string(b.value) == "''" ? 2u : 1u);
    if (std::string(b.value) != "''") {
      EXPECT_EQ(Count("JOBKE2 like 'A-BAD%' and JOBSTS='90'"), 1);
      // Named once, though set aside again in every pass.
      const std::string log = MainLog();
      size_t named = 0;
      for (size_t at = log.find("/ A-BAD"); at != std::string::npos;
           at = log.find("/ A-BAD", at + 1))
        ++named;
      EXPECT_EQ(named, 1u) << log;
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Engines, ClosingJobsTest,
                         ::testing::Values(Engine::Sqlite, Engine::Postgres),
                         EngineParamName<::testing::TestParamInfo<Engine>>);

}  // namespace
}  // namespace kvr

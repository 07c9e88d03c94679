// UpdateRT03Jobs on both engines: each timing kind against its table, rows
// left alone while running or parked, and the once-a-minute evaluation.
#include "jobs/timed_jobs.h"

#include <gtest/gtest.h>

#include "jobs/jobs_fixture.h"

namespace kvr {
namespace {

using TimedJobsTest = JobsFixture;

TEST_P(TimedJobsTest, EveryTimingKindOnceAMinute) {
  env_.SetLocalTime(2026, 6, 3, 9, 47, 0);  // a Wednesday
  Run("insert into KVSYSTEM.KVR139TPL (TPLZPL,TPLWTG,TPLVON,TPLBIS,TPLVRZ,TPLSTA) values "
      "('OFFICE',3,480,1080,30,1)");
  Run("insert into KVSYSTEM.KVR141DZT (DZTZPL,DZTWTG,DZTVON,DZTBIS,DZTVRZ,DZTSTA) values "
      "('OTHER',3,540,600,0,1)");
  AddRow("03", "DAILY", "98", "", ",JOBDLS", ",2");
  AddRow("03", "INTERVAL", "98", "20260603090000", ",JOBDLS", ",3");
  AddRow("03", "PLAN", "98", "20260603093000", ",JOBDLS,JOBSCD", ",NULL,'OFFICE'");
  AddRow("03", "NOSTEP", "98", "20260603090000", ",JOBDLS,JOBSCD", ",7,'OTHER'");
  AddRow("03", "NOPLAN", "99", "20260603090000", ",JOBDLS,JOBSCD", ",0,'NONE'");
  AddRow("03", "RUNNING", "01", "", ",JOBDLS", ",2");
  TimedJobs& timed = world_->timed();
  ASSERT_TRUE(timed.UpdateRT03Jobs(env_.Now()));
  struct Expected {
    const char *ke2, *sts, *nrt;
  } expected[] = {
      {"DAILY", "00", "20260603070000"},  {"INTERVAL", "00", "20260603104700"},
      {"PLAN", "00", "20260603100000"},   {"NOSTEP", "97", "20260603100000"},
      {"NOPLAN", "97", "20260603090000"}, {"RUNNING", "01", ""},
  };
  for (const Expected& e : expected) {
    EXPECT_EQ(Field("JOBSTS", e.ke2), e.sts) << e.ke2;
    EXPECT_EQ(Field("JOBNRT", e.ke2), e.nrt) << e.ke2;
  }
  // Within the minute nothing is evaluated; after it the ended run counts.
  Run("update KVSYSTEM.KVR500JOB set JOBSTS='98' where JOBKE2='PLAN'");
  env_.Advance(59);
  ASSERT_TRUE(timed.UpdateRT03Jobs(env_.Now()));
  EXPECT_EQ(Field("JOBSTS", "PLAN"), "98");
  env_.Advance(1);
  ASSERT_TRUE(timed.UpdateRT03Jobs(env_.Now()));
  EXPECT_EQ(Field("JOBSTS", "PLAN"), "00");
  EXPECT_EQ(Field("JOBNRT", "PLAN"), "20260603103000");
  EXPECT_EQ(MainLog(), "");
}

INSTANTIATE_TEST_SUITE_P(Engines, TimedJobsTest,
                         ::testing::Values(Engine::Sqlite, Engine::Postgres),
                         EngineParamName<::testing::TestParamInfo<Engine>>);

}  // namespace
}  // namespace kvr

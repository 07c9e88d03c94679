// The scheduled jobs on both engines: run requests, re-arming by the
// schedule table, deletion of rows whose schedule is gone, the start of due
// rows, and a request whose write-back fails.
#include "jobs/scheduled_jobs.h"

#include <gtest/gtest.h>
#include <sqlite3.h>

#include "jobs/jobs_fixture.h"

namespace kvr {
namespace {

using ScheduledJobsTest = JobsFixture;

TEST_P(ScheduledJobsTest, RequestsRearmingAndDeletion) {
  env_.SetLocalTime(2026, 6, 3, 9, 0, 0);
  Run("insert into KVSYSTEM.KVR800SCD (SCDNAM,SCDSBE,SCDLIZ,SCDMND,SCDTYP,SCDUHR) values "
      "('DAILY','S','L','M',2,'1900-01-01 06:30:00')");
  const std::string ran = ",JOBSDA,JOBEDA,JOBDLS";
  AddRow("07", "DAILY#S#L#M", "98", "20260603063000", ran, ",'20260603063000','20260603064000',0");
  AddRow("07", "FAILED#S#L#M", "90", "20260603063000", ran, ",'20260603063000','20260603064000',0");
  AddRow("07", "REQUEST", "99", "20260101000000", ran, ",'','',1");
  AddRow("07", "RUNNING", "01", "20260101000000", ran, ",'','',1");
  AddRow("07", "GONE", "98", "20260101000000", ran, ",'20260201000000','20260201010000',0");
  AddRow("07", "RECENT", "98", "20260101000000", ran, ",'20260501000000','20260501010000',0");
  ScheduledJobs scheduled(startContext());
  EXPECT_EQ(scheduled.UpdateRT07Jobs(), 0);
  EXPECT_EQ(Field("JOBSTS", "DAILY#S#L#M"), "00");
  EXPECT_EQ(Field("JOBNRT", "DAILY#S#L#M"), "20260604063000");
  EXPECT_EQ(Field("JOBSTS", "FAILED#S#L#M"), "90");
  EXPECT_EQ(Field("JOBSTS", "REQUEST"), "00");
  EXPECT_EQ(Field("JOBDLS", "REQUEST"), "0");
  EXPECT_EQ(Field("JOBNRT", "REQUEST"), "20260101000000");
  EXPECT_EQ(Field("JOBDLS", "RUNNING"), "1");
  EXPECT_EQ(Count("JOBKE2='GONE'"), 0);
  EXPECT_EQ(Count("JOBKE2='RECENT'"), 1);

  // The request is due at once; the re-armed row waits for tomorrow.
  ASSERT_TRUE(scheduled.CheckKvr500Job07(false));
  EXPECT_EQ(Field("JOBSTS", "REQUEST"), "01");
  EXPECT_EQ(Field("JOBSTS", "DAILY#S#L#M"), "00");
  EXPECT_EQ(Field("JOBSTV", "REQUEST"), "1");
}

// Only ended and requested rows are read; a row its schedule leaves ended
// is looked at again in the next minute, not in every pass.
TEST_P(ScheduledJobsTest, RequestsOfEveryStatusAndEndedRowsOncePerMinute) {
  env_.SetLocalTime(2026, 6, 3, 9, 0, 0);
  const std::string ran = ",JOBSDA,JOBEDA,JOBDLS";
  AddRow("07", "FAILEDREQ", "90", "20260101000000", ran, ",'','',1");
  AddRow("07", "BLANKREQ", "", "20260101000000", ran, ",'','',1");
  AddRow("07", "WAITREQ", "00", "20300101000000", ran, ",'','',1");
  AddRow("07", "LATER#S#L#M", "98", "20260603063000", ran, ",'20260603063000','20260603064000',0");
  ScheduledJobs scheduled(startContext());
  EXPECT_EQ(scheduled.UpdateRT07Jobs(), 0);
  for (const char* key : {"FAILEDREQ", "BLANKREQ", "WAITREQ"}) {
    EXPECT_EQ(Field("JOBSTS", key), "00") << key;
    EXPECT_EQ(Field("JOBDLS", key), "0") << key;
  }
  EXPECT_EQ(Field("JOBSTS", "LATER#S#L#M"), "98");  // no schedule yet: left ended

  Run("insert into KVSYSTEM.KVR800SCD (SCDNAM,SCDSBE,SCDLIZ,SCDMND,SCDTYP,SCDUHR) values "
      "('LATER','S','L','M',2,'1900-01-01 06:30:00')");
  env_.Advance(10);
  scheduled.UpdateRT07Jobs();
  EXPECT_EQ(Field("JOBSTS", "LATER#S#L#M"), "98");
  env_.Advance(60);
  scheduled.UpdateRT07Jobs();
  EXPECT_EQ(Field("JOBSTS", "LATER#S#L#M"), "00");
  EXPECT_EQ(Field("JOBNRT", "LATER#S#L#M"), "20260604063000");
}

TEST_P(ScheduledJobsTest, NothingStartsWhileRunType05IsDue) {
  AddRow("07", "DUE", "00", "20000101000000");
  ScheduledJobs scheduled(startContext());
  ASSERT_TRUE(scheduled.CheckKvr500Job07(true));
  EXPECT_EQ(Field("JOBSTS", "DUE"), "00");
  ASSERT_TRUE(scheduled.CheckKvr500Job07(false));
  EXPECT_EQ(Field("JOBSTS", "DUE"), "01");
  env_.service = [](const std::string&) { return ServiceReply{}; };
  AddRow("07", "LATER", "00", "20000101000000");
  env_.Advance(10);
  EXPECT_FALSE(scheduled.CheckKvr500Job07(false));
}

TEST_P(ScheduledJobsTest, FailedRequestIsLogged) {
  if (GetParam() == Engine::Sqlite) {
    // Straight to the file: the client runs one statement per text.
    ASSERT_EQ(session().SQLCommit(), 0);
    sqlite3* file = nullptr;
    ASSERT_EQ(sqlite3_open(service_.substr(std::string("sqlite:").size()).c_str(), &file),
              SQLITE_OK);
    EXPECT_EQ(sqlite3_exec(file,
                           "CREATE TRIGGER \"KVSYSTEM.NO_REQUEST\" BEFORE UPDATE OF JOBDLS ON "
                           "\"KVSYSTEM.KVR500JOB\" BEGIN SELECT RAISE(ABORT, 'blocked'); END",
                           nullptr, nullptr, nullptr),
              SQLITE_OK);
    sqlite3_close(file);
  } else {
    Run("CREATE FUNCTION kvsystem.no_request() RETURNS trigger LANGUAGE plpgsql AS "
        "'BEGIN RAISE EXCEPTION ''blocked''; END'");
    Run("CREATE TRIGGER no_request BEFORE UPDATE OF jobdls ON kvsystem.kvr500job FOR EACH ROW "
        "EXECUTE FUNCTION kvsystem.no_request()");
  }
  AddRow("07", "REQUEST", "99", "20260101000000", ",JOBDLS", ",1");
  ScheduledJobs scheduled(startContext());
  scheduled.UpdateRT07Jobs();
  EXPECT_EQ(Field("JOBSTS", "REQUEST"), "99");
  EXPECT_NE(MainLog().find("- Fehler Job07 Sofortstart updaten RC: -"), std::string::npos)
      << MainLog();
}

INSTANTIATE_TEST_SUITE_P(Engines, ScheduledJobsTest,
                         ::testing::Values(Engine::Sqlite, Engine::Postgres),
                         EngineParamName<::testing::TestParamInfo<Engine>>);

}  // namespace
}  // namespace kvr

#include "db/queue/job_table.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <ctime>
#include <string>

#include "db/session.h"
#include "support/test_database.h"

namespace kvr {
namespace {

constexpr char kSelectRow[] =
    "select JOBDA1 ,JOBKE2 ,JOBURV ,JOBCMD ,JOBCDI ,JOBPRM ,JOBRUS ,JOBMRT ,JOBRTY ,JOBPRI ,"
    "JOBDLS ,JOBDLT ,JOBBEM ,JOBSCD ,JOBSTS ,JOBNAM ,JOBUSR ,JOBNUM ,JOBSDA ,JOBEDA ,JOBNRT ,"
    "JOBSTV  from KVSYSTEM.KVR500JOB where (JOBDA1=:b0 and JOBKE2=:b1)";

class JobTableTest : public SessionFixture {
 protected:
  // The whole row by key; the result code of the select.
  int ReadRow(std::string_view da1, std::string_view ke2, JobRow* r) {
    r->Clear();
    Bind in[] = {Bind::Text(da1), Bind::Text(ke2)};
    Out out[] = {
        Out::Text(r->jobda1), Out::Text(r->jobke2), Out::Text(r->joburv), Out::Text(r->jobcmd),
        Out::Text(r->jobcdi), Out::Text(r->jobprm), Out::Text(r->jobrus), Out::Int(&r->jobmrt),
        Out::Text(r->jobrty), Out::Int(&r->jobpri), Out::Int(&r->jobdls), Out::Text(r->jobdlt),
        Out::Text(r->jobbem), Out::Text(r->jobscd), Out::Text(r->jobsts), Out::Text(r->jobnam),
        Out::Text(r->jobusr), Out::Text(r->jobnum), Out::Text(r->jobsda), Out::Text(r->jobeda),
        Out::Text(r->jobnrt), Out::Int(&r->jobstv)};
    return session_->db().SelectOne(kSelectRow, in, out);
  }
  static JobRow FullRow(std::string_view da1, std::string_view ke2) {
    JobRow r;
    r.jobda1 = da1;
    r.jobke2 = ke2;
    r.joburv = "ORIGIN";
    r.jobcmd = "prog.exe /x";
    r.jobcdi = "cdi";
    r.jobprm = "1";
    r.jobrus = "rus";
    r.jobmrt = 3600;
    r.jobrty = "01";
    r.jobpri = 5;
    r.jobdls = 2;
    r.jobdlt = "20260101000000";
    r.jobbem = "remark";
    r.jobscd = "PLAN1";
    r.jobsts = "98";
    r.jobnam = "prog.exe";
    r.jobusr = "user";
    r.jobnum = "4711";
    r.jobsda = "20260101010101";
    r.jobeda = "20260101020202";
    r.jobnrt = "20260102000000";
    r.jobstv = 3;
    return r;
  }
  // The local date of now minus the given days, yyyymmdd.
  static std::string DaysAgo(int days) {
    time_t t = time(nullptr) - static_cast<time_t>(days) * 86400;
    std::tm tm{};
    localtime_r(&t, &tm);
    char buf[16];
    std::strftime(buf, sizeof buf, "%Y%m%d", &tm);
    return buf;
  }
};

TEST_P(JobTableTest, KeyedStatementsReportTheirResultCodes) {
  KVR_TEST_DATABASE(db, GetParam(), dir_.path());
  ASSERT_EQ(Connect(db), 0);
  EXPECT_EQ(SQLInsertJob(*session_, "20260101120000", "JOB A", "URV", "a.exe", 60, "01"), 0);
  EXPECT_EQ(SQLInsertJob(*session_, "20260101120000", "JOB A", "X", "b.exe", 0, "04"),
            kSqlDuplicateKey);
  EXPECT_EQ(SQLUpdateJobStatus(*session_, "01", "20260101120000", "JOB A"), 0);
  EXPECT_EQ(SQLUpdateJobStatus(*session_, "01", "20260101120000", "NO JOB"), kSqlNoData);
  EXPECT_EQ(SQLUpdateJobRun(*session_, {.da1 = "20260101120000",
                                        .ke2 = "JOB A",
                                        .status = "01",
                                        .name = "a.exe",
                                        .num = "1234",
                                        .sda = "20260101120001",
                                        .stv = 1}),
            0);
  EXPECT_EQ(MarkStartFailed(*session_, "20260101120000", "NO", 2), kSqlNoData);
  JobRow r;
  ASSERT_EQ(ReadRow("20260101120000", "JOB A", &r), 0);
  EXPECT_EQ(r.joburv, "URV");
  EXPECT_EQ(r.jobcmd, "a.exe");
  EXPECT_EQ(r.jobmrt, 60);
  EXPECT_EQ(r.jobrty, "01");
  EXPECT_EQ(r.jobsts, "01");
  EXPECT_EQ(r.jobnam, "a.exe");
  EXPECT_EQ(r.jobnum, "1234");
  EXPECT_EQ(r.jobsda, "20260101120001");
  EXPECT_EQ(r.jobeda, "");
  EXPECT_EQ(r.jobstv, 1);
  EXPECT_EQ(SQLDeleteJob(*session_, "20260101120000", "JOB A"), 0);
  EXPECT_EQ(SQLDeleteJob(*session_, "20260101120000", "JOB A"), kSqlNoData);
  EXPECT_EQ(ReadRow("20260101120000", "JOB A", &r), kSqlNoData);
  // An empty key part is NULL: refused on either engine, never a row that
  // no keyed update or delete could reach again (and that no duplicate
  // check would ever find).
  EXPECT_EQ(SQLInsertJob(*session_, "20260101120000", "", "URV", "a.exe", 0, "01"), -1400);
  EXPECT_EQ(SQLInsertJob(*session_, "", "JOB B", "URV", "a.exe", 0, "01"), -1400);
  int32_t rows = -1;
  Out count[] = {Out::Int(&rows)};
  EXPECT_EQ(session_->db().SelectOne("select count(*) from KVSYSTEM.KVR500JOB", {}, count), 0);
  EXPECT_EQ(rows, 0);
}

TEST_P(JobTableTest, InputsAreCutToTheirColumnWidths) {
  KVR_TEST_DATABASE(db, GetParam(), dir_.path());
  ASSERT_EQ(Connect(db), 0);
  std::string longName(40, 'N');
  EXPECT_EQ(SQLInsertJob(*session_, "202601011200001234", longName, "", "", 0, "011"), 0);
  JobRow r;
  ASSERT_EQ(ReadRow("20260101120000", longName.substr(0, 32), &r), 0);
  EXPECT_EQ(r.jobrty, "01");
  EXPECT_EQ(SQLDeleteJob(*session_, "20260101120000", longName), 0);
}

TEST_P(JobTableTest, ExpiredRunType01RowsAreDeletedExceptTheMapJob) {
  KVR_TEST_DATABASE(db, GetParam(), dir_.path());
  ASSERT_EQ(Connect(db), 0);
  std::string day30 = DaysAgo(30) + "235959", day31 = DaysAgo(31) + "235959";
  ASSERT_EQ(SQLInsertJob(*session_, day30, "KEEP 30", "", "", 0, "01"), 0);
  ASSERT_EQ(SQLInsertJob(*session_, day31, "DROP 31", "", "", 0, "01"), 0);
  ASSERT_EQ(SQLInsertJob(*session_, day31, "OTHER TYPE", "", "", 0, "04"), 0);
  ASSERT_EQ(SQLInsertJob(*session_, day31, "MAP VERARBEITUNG", "", "", 0, "01"), 0);
  ASSERT_EQ(SQLInsertJob(*session_, "20010101120000", "OLD MAP", "", "", 0, "01"), 0);
  EXPECT_EQ(DeleteExpiredRT01Jobs(*session_), 0);
  JobRow r;
  EXPECT_EQ(ReadRow(day30, "KEEP 30", &r), 0);
  EXPECT_EQ(ReadRow(day31, "DROP 31", &r), kSqlNoData);
  EXPECT_EQ(ReadRow(day31, "OTHER TYPE", &r), 0);
  EXPECT_EQ(ReadRow(day31, "MAP VERARBEITUNG", &r), 0);
  EXPECT_EQ(ReadRow("20010101120000", "OLD MAP", &r), 0);
  EXPECT_EQ(DeleteExpiredRT01Jobs(*session_), kSqlNoData);
}

TEST_P(JobTableTest, ResetRT04StartAttemptsTouchesOnlyRunType04AboveOne) {
  KVR_TEST_DATABASE(db, GetParam(), dir_.path());
  ASSERT_EQ(Connect(db), 0);
  const struct {
    const char* ke2;
    const char* rty;
    int32_t stv, want;
  } rows[] = {{"A", "04", 11, 0}, {"B", "04", 1, 1}, {"C", "04", 2, 0}, {"D", "01", 11, 11}};
  for (const auto& row : rows) {
    ASSERT_EQ(SQLInsertJob(*session_, "20260101000000", row.ke2, "", "", 0, row.rty), 0);
    ASSERT_EQ(MarkStartFailed(*session_, "20260101000000", row.ke2, row.stv), 0);
  }
  EXPECT_EQ(ResetRT04StartAttempts(*session_), 0);
  for (const auto& row : rows) {
    JobRow r;
    ASSERT_EQ(ReadRow("20260101000000", row.ke2, &r), 0);
    EXPECT_EQ(r.jobstv, row.want) << row.ke2;
  }
  EXPECT_EQ(ResetRT04StartAttempts(*session_), kSqlNoData);
}

TEST_P(JobTableTest, RowStatementsWriteTheirColumns) {
  KVR_TEST_DATABASE(db, GetParam(), dir_.path());
  ASSERT_EQ(Connect(db), 0);
  JobRow full = FullRow("20010101120000", "MAP VERARBEITUNG");
  ASSERT_EQ(SQLInsertFullJob(*session_, full), 0);
  EXPECT_EQ(SQLInsertFullJob(*session_, full), kSqlDuplicateKey);
  JobRow r;
  ASSERT_EQ(ReadRow(full.jobda1, full.jobke2, &r), 0);
  EXPECT_EQ(r.jobcdi, "cdi");
  EXPECT_EQ(r.jobrus, "rus");
  EXPECT_EQ(r.jobpri, 5);
  EXPECT_EQ(r.jobdls, 2);
  EXPECT_EQ(r.jobdlt, "20260101000000");
  EXPECT_EQ(r.jobbem, "remark");
  EXPECT_EQ(r.jobscd, "PLAN1");
  EXPECT_EQ(r.jobusr, "user");
  EXPECT_EQ(r.jobnrt, "20260102000000");
  EXPECT_EQ(r.jobstv, 3);

  JobRow change = full;
  change.jobsts = "00";
  change.jobnrt = "20270101000000";
  change.jobdls = 0;
  EXPECT_EQ(SQLUpdateJobNextRun(*session_, change), 0);
  EXPECT_EQ(SQLUpdateJobStatusDls(*session_, change), 0);
  EXPECT_EQ(SQLRescheduleJob(*session_, change), 0);
  ASSERT_EQ(ReadRow(full.jobda1, full.jobke2, &r), 0);
  EXPECT_EQ(r.jobsts, "00");
  EXPECT_EQ(r.jobnrt, "20270101000000");
  EXPECT_EQ(r.jobdls, 0);
  EXPECT_EQ(r.jobstv, 0);
  JobRow missing = change;
  missing.jobke2 = "NONE";
  EXPECT_EQ(SQLUpdateJobNextRun(*session_, missing), kSqlNoData);
  EXPECT_EQ(SQLUpdateJobStatusDls(*session_, missing), kSqlNoData);
  EXPECT_EQ(SQLRescheduleJob(*session_, missing), kSqlNoData);

  JobRow timed = FullRow("20000101070000", "DAILY");
  EXPECT_EQ(SQLInsertTimedJob(*session_, timed), 0);
  EXPECT_EQ(SQLInsertTimedJob(*session_, timed), kSqlDuplicateKey);
  timed.jobke2 = "INTERVAL";
  EXPECT_EQ(SQLInsertTimedJobDls(*session_, timed), 0);
  ASSERT_EQ(ReadRow("20000101070000", "INTERVAL", &r), 0);
  EXPECT_EQ(r.jobdls, 2);
  EXPECT_EQ(r.jobnrt, "20260102000000");
  EXPECT_EQ(r.jobstv, 3);
  EXPECT_EQ(r.jobsts, "");  // not written by the timed insert
  ASSERT_EQ(ReadRow("20000101070000", "DAILY", &r), 0);
  EXPECT_EQ(r.jobdls, 0);
}

TEST_P(JobTableTest, MapJobIsReArmedOnlyWhenEnded) {
  KVR_TEST_DATABASE(db, GetParam(), dir_.path());
  ASSERT_EQ(Connect(db), 0);
  JobRow map = FullRow("20010101120000", "MAP VERARBEITUNG");
  map.jobprm = "0";
  ASSERT_EQ(SQLInsertFullJob(*session_, map), 0);
  EXPECT_EQ(SQLStartMAPJob(*session_, map), kSqlNoData);  // JOBPRM not above '0'
  EXPECT_EQ(SQLStartMAPDeleteJob(*session_, map), 0);     // status 98 is above 90
  JobRow r;
  ASSERT_EQ(ReadRow(map.jobda1, map.jobke2, &r), 0);
  EXPECT_EQ(r.jobsts, "  ");
  EXPECT_EQ(r.jobprm, "2");
  EXPECT_EQ(r.jobsda, "");
  EXPECT_EQ(r.jobeda, "");
  EXPECT_EQ(r.jobstv, 0);
  // Waiting ("  ") is not above "90": neither statement touches it.
  EXPECT_EQ(SQLStartMAPJob(*session_, map), kSqlNoData);
  EXPECT_EQ(SQLStartMAPDeleteJob(*session_, map), kSqlNoData);
  ASSERT_EQ(SQLUpdateJobStatus(*session_, "99", map.jobda1, map.jobke2), 0);
  EXPECT_EQ(SQLStartMAPJob(*session_, map), 0);  // JOBPRM '2' > '0'
  ASSERT_EQ(ReadRow(map.jobda1, map.jobke2, &r), 0);
  EXPECT_EQ(r.jobsts, "  ");
  EXPECT_EQ(r.jobprm, "2");
}

INSTANTIATE_TEST_SUITE_P(Engines, JobTableTest, ::testing::Values(Engine::Sqlite, Engine::Postgres),
                         EngineParamName<::testing::TestParamInfo<Engine>>);

}  // namespace
}  // namespace kvr

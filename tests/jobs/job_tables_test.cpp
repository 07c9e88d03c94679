// The readers of the timed, scheduled and closing jobs on both engines: the
// run type list, time-plan windows (one, none, several), schedule rows with
// their date texts, the client's closing times and the run type 09
// selection that passes over rows.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "exec/selection.h"
#include "jobs/closing_table.h"
#include "jobs/run_type_list.h"
#include "jobs/schedule_table.h"
#include "support/test_database.h"

namespace kvr {
namespace {

class JobTablesTest : public SessionFixture {
 protected:
  void SetUp() override {
    KVR_TEST_DATABASE(db, GetParam(), dir_.path());
    ASSERT_EQ(Connect(db), 0);
    connected_ = true;
  }
  void Run(const std::string& sql) {
    ASSERT_EQ(session_->db().Execute(sql), 0) << sql << ": " << session_->db().LastMessage();
  }
  bool connected_ = false;
};

TEST_P(JobTablesTest, ReadRunTypeJobsReadsOneRunType) {
  Run("insert into KVSYSTEM.KVR500JOB (JOBDA1,JOBKE2,JOBURV,JOBCMD,JOBMRT,JOBRTY,JOBPRI,JOBSCD,"
      "JOBSTS,JOBNRT,JOBSTV,JOBDLS) values ('20260101000000','A','U','a.exe',5,'03',7,'PLAN',"
      "'98','20260603093000',2,NULL)");
  Run("insert into KVSYSTEM.KVR500JOB (JOBDA1,JOBKE2,JOBRTY,JOBDLS) values "
      "('20260101000000','B','03',3)");
  Run("insert into KVSYSTEM.KVR500JOB (JOBDA1,JOBKE2,JOBRTY) values ('20260101000000','C','07')");
  std::vector<JobRow> list;
  ReadRunTypeJobs(*session_, "03", list);
  ASSERT_EQ(list.size(), 2u);
  const JobRow& a = list[0].jobke2 == "A" ? list[0] : list[1];
  const JobRow& b = list[0].jobke2 == "A" ? list[1] : list[0];
  EXPECT_EQ(a.joburv.view(), "U");
  EXPECT_EQ(a.jobcmd.view(), "a.exe");
  EXPECT_EQ(a.jobmrt, 5);
  EXPECT_EQ(a.jobpri, 7);
  EXPECT_EQ(a.jobscd.view(), "PLAN");
  EXPECT_EQ(a.jobsts.view(), "98");
  EXPECT_EQ(a.jobnrt.view(), "20260603093000");
  EXPECT_EQ(a.jobstv, 2);
  EXPECT_EQ(a.jobdls, 0);  // null reads as 0
  EXPECT_EQ(b.jobdls, 3);
  EXPECT_TRUE(b.jobnrt.empty());
}

TEST_P(JobTablesTest, FindTimePlanWindow) {
  Run("insert into KVSYSTEM.KVR139TPL (TPLZPL,TPLWTG,TPLVON,TPLBIS,TPLVRZ,TPLSTA) values "
      "('P',3,480,1080,30,1)");
  Run("insert into KVSYSTEM.KVR139TPL (TPLZPL,TPLWTG,TPLVON,TPLBIS,TPLVRZ,TPLSTA) values "
      "('P',3,1080,1200,10,0)");
  Run("insert into KVSYSTEM.KVR141DZT (DZTZPL,DZTWTG,DZTVON,DZTBIS,DZTVRZ,DZTSTA) values "
      "('P',7,0,600,15,1)");
  Run("insert into KVSYSTEM.KVR141DZT (DZTZPL,DZTWTG,DZTVON,DZTBIS,DZTVRZ,DZTSTA) values "
      "('P',7,300,700,20,1)");
  struct Case {
    const char* plan;
    int32_t weekday, minute, kind;
    int rc;
    int32_t start, end, step;
  } cases[] = {
      {"P", 3, 480, 0, 0, 480, 1080, 30},
      {"P", 3, 1079, 0, 0, 480, 1080, 30},
      {"P", 3, 1080, 0, 1403, 0, 0, 0},  // end excluded; the next window is inactive
      {"P", 3, 479, 0, 1403, 0, 0, 0},
      {"P", 4, 600, 0, 1403, 0, 0, 0},
      {"Q", 3, 600, 0, 1403, 0, 0, 0},
      {"P", 3, 600, 1, 1403, 0, 0, 0},  // other table
      {"P", 7, 100, 5, 0, 0, 600, 15},
      {"P", 7, 650, 1, 0, 300, 700, 20},
      {"P", 7, 400, 1, kSqlTooManyRows, 0, 0, 0},
  };
  for (const Case& c : cases) {
    PlanWindow w;
    EXPECT_EQ(FindTimePlanWindow(*session_, c.plan, c.weekday, c.minute, c.kind, &w), c.rc)
        << c.plan << c.weekday << " " << c.minute;
    EXPECT_EQ(w.start, c.start);
    EXPECT_EQ(w.end, c.end);
    EXPECT_EQ(w.step, c.step);
  }
}

TEST_P(JobTablesTest, ReadScheduleWithItsDates) {
  Run("insert into KVSYSTEM.KVR800SCD (SCDNAM,SCDSBE,SCDLIZ,SCDMND,SCDART,SCDTYP,SCDTAG,SCDDTM,"
      "SCDUHR,SCDDWH,SCDBIS) values ('BACKUP','SB1','00001','00002',4,3,'5',"
      "'2026-06-01 00:00:00','1900-01-01 06:30:15','mehr','2026-12-31 00:00:00')");
  Run("insert into KVSYSTEM.KVR800SCD (SCDNAM,SCDSBE,SCDLIZ,SCDMND,SCDTYP) values "
      "('LOOSE','-','-','-',2)");
  ScheduleRow row;
  ASSERT_EQ(SQLReadKvr800Scd(*session_, SplitScheduleKey("BACKUP#SB1#00001#00002"), &row), 0)
      << session_->db().LastMessage();
  EXPECT_EQ(row.scdart, 4);
  EXPECT_EQ(row.scdtyp, 3);
  EXPECT_EQ(row.scdtag.view(), "5");
  EXPECT_EQ(row.scddtm, 20260601);
  EXPECT_EQ(row.scduhr.view(), "063015");
  EXPECT_EQ(row.scddwh.view(), "mehr");
  EXPECT_EQ(row.scdbis, 20261231);
  EXPECT_EQ(SQLReadKvr800Scd(*session_, SplitScheduleKey("BACKUP#SB1#00001#00003"), &row), 1403);
  // Null dates read as 0, a null time as empty; empty key parts match nothing.
  ASSERT_EQ(SQLReadKvr800Scd(*session_, SplitScheduleKey("LOOSE#-#-#-"), &row), 0);
  EXPECT_EQ(row.scdtyp, 2);
  EXPECT_EQ(row.scddtm, 0);
  EXPECT_EQ(row.scdbis, 0);
  EXPECT_TRUE(row.scduhr.empty());
  EXPECT_EQ(SQLReadKvr800Scd(*session_, SplitScheduleKey("LOOSE"), &row), 1403);
}

TEST_P(JobTablesTest, ClientClosingTimes) {
  ClosingTimes times{};
  EXPECT_EQ(SQLReadKvr112Mnd(*session_, "VELTRONIA", &times), 1403);
  std::string zeros = "0,0,0,0,0,0,0,0,0,0,0,0,0,0,0,0,0,0,0,0,0,0";
  auto client = [&](const char* num, const char* schema, const char* first2, int kon) {
    Run(std::string("insert into KVSYSTEM.KVR112MND (MNDLIZ,MNDNUM,MNDSCH,MNDKON,MNDT01,MNDT02,"
                    "MNDT03,MNDT04,MNDT05,MNDT06,MNDT07,MNDT08,MNDT09,MNDT10,MNDT11,MNDT12,"
                    "MNDD01,MNDD02,MNDD03,MNDD04,MNDD05,MNDD06,MNDD07,MNDD08,MNDD09,MNDD10,"
                    "MNDD11,MNDD12) values ('1','") +
        num + "','" + schema + "'," + std::to_string(kon) + "," + first2 + "," + zeros + ")");
  };
  client("00009", "MANDANT9", "100,200", 0);
  client("00003", "MANDANT3", "300,0", 0);
  client("00001", "MANDANT1", "400,0", 1);  // not a closing client
  ASSERT_EQ(SQLReadKvr112Mnd(*session_, "VELTRONIA", &times), 0);
  EXPECT_EQ(times[0], 300);                // the lowest client number with any time
  client("00005", "VELTRONIA", "0,0", 0);  // no time: not taken
  ASSERT_EQ(SQLReadKvr112Mnd(*session_, "VELTRONIA", &times), 0);
  EXPECT_EQ(times[0], 300);
  Run("update KVSYSTEM.KVR112MND set MNDD12=1320 where MNDSCH='VELTRONIA'");
  ASSERT_EQ(SQLReadKvr112Mnd(*session_, "VELTRONIA", &times), 0);
  EXPECT_EQ(times[0], 0);
  EXPECT_EQ(times[23], 1320);
}

TEST_P(JobTablesTest, Select09PassesOverRows) {
  Run("insert into KVSYSTEM.KVR500JOB (JOBDA1,JOBKE2,JOBURV,JOBCMD,JOBRTY,JOBSTS,JOBSTV) values "
      "('20260101000000','A''1','','a.exe','09','90',11)");
  Run("insert into KVSYSTEM.KVR500JOB (JOBDA1,JOBKE2,JOBURV,JOBCMD,JOBRTY,JOBSTS,JOBSTV) values "
      "('20260101000000','B','X','b.exe','09','',0)");
  ExclusionList list;
  list.SetBlank();
  std::vector<JobKey> passed;
  JobRow row;
  ASSERT_EQ(SelectKvr500Job09Except(*session_, list, passed, &row), 0);
  EXPECT_EQ(row.jobke2.view(), "A'1");
  EXPECT_EQ(row.jobstv, 11);
  passed.push_back(JobKey{row.jobda1, row.jobke2});
  ASSERT_EQ(SelectKvr500Job09Except(*session_, list, passed, &row), 0);
  EXPECT_EQ(row.jobke2.view(), "B");
  EXPECT_EQ(row.joburv.view(), "X");
  passed.push_back(JobKey{row.jobda1, row.jobke2});
  EXPECT_EQ(SelectKvr500Job09Except(*session_, list, passed, &row), 1403);
}

TEST(Select09Text, PassedOverRowsGoBeforeTheOrder) {
  const std::string expected =
      " SELECT JOBDA1,JOBKE2,JOBURV,JOBCMD,JOBMRT,JOBRTY,JOBSTS,JOBSDA,JOBEDA,JOBSTV "
      " FROM KVSYSTEM.KVR500JOB "
      " WHERE JOBRTY = '09' "
      " AND  (JOBSTS is NULL OR JOBSTS = '  ' OR JOBSTS >= '90') "
      " AND   ROWNUM = 1 "
      " AND ((JOBURV is not null AND JOBURV NOT IN ( ' ' )) or (JOBURV is null)) "
      " AND NOT (JOBDA1 = '20260101000000' AND JOBKE2 = 'A''1') "
      " AND NOT (JOBDA1 = '20260101000000' AND JOBKE2 = 'B') "
      " ORDER BY JOBDA1, JOBKE2";
  const std::string_view day = "20260101000000";
  const JobKey keys[] = {{day, std::string_view("A'1")}, {day, std::string_view("B")}};
  EXPECT_EQ(Select09ExceptText("' '", keys), expected);
  EXPECT_EQ(Select09ExceptText("' '", {}), SelectionText09("' '"));
  std::vector<JobKey> many(200, JobKey{day, std::string_view("ABCDEFGHIJKLMNOPQRSTUVWXYZ012345")});
  EXPECT_EQ(Select09ExceptText("' '", many), "");  // too long: never sent
}

INSTANTIATE_TEST_SUITE_P(Engines, JobTablesTest,
                         ::testing::Values(Engine::Sqlite, Engine::Postgres),
                         EngineParamName<::testing::TestParamInfo<Engine>>);

}  // namespace
}  // namespace kvr

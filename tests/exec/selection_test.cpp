// The due rules of every job selection, run on both engines: the statement
// texts go through the client layer's translation, so these cases also pin
// that the translation keeps their meaning (first due row in key order,
// JOBDLT against the server's clock, JOBNRT against the controller's).
#include "exec/selection.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <ctime>
#include <memory>
#include <string>
#include <vector>

#include "db/session.h"
#include "platform/fake_env.h"
#include "support/test_database.h"

namespace kvr {
namespace {

struct Row {
  std::string da1 = "20260101000000", ke2 = "JOB", urv, cmd = "prog.exe", rty, sts, dlt, nrt;
  int32_t mrt = 0, stv = 0;
};

// Local time of the real clock moved by some seconds, as 14 digits.
std::string RealLocalStamp(int64_t offsetSeconds) {
  std::time_t t = std::time(nullptr) + offsetSeconds;
  std::tm local{};
  localtime_r(&t, &local);
  char buffer[32];
  std::strftime(buffer, sizeof buffer, "%Y%m%d%H%M%S", &local);
  return buffer;
}

class SelectionDb : public SessionFixture {
 protected:
  void SetUp() override {
    KVR_REQUIRE_ENGINE(GetParam());
    env_.SetLocalTime(2026, 12, 7, 8, 43, 12);
    std::string name =
        std::string("select_") + ::testing::UnitTest::GetInstance()->current_test_info()->name();
    for (char& c : name) {
      if (c == '/') c = '_';
    }
    db_ = MakeTestDatabase(GetParam(), name, dir_.path());
    ASSERT_TRUE(db_.ok) << db_.error;
    ASSERT_EQ(Connect(db_), 0);
    list_.Clear();
    list_.FinishRebuild();
  }

  void Insert(const Row& r) {
    const Bind in[] = {Bind::Text(r.da1), Bind::Text(r.ke2), Bind::Text(r.urv), Bind::Text(r.cmd),
                       Bind::Int(r.mrt),  Bind::Text(r.rty), Bind::Text(r.sts), Bind::Text(r.dlt),
                       Bind::Text(r.nrt), Bind::Int(r.stv)};
    ASSERT_EQ(session_->db().Execute(
                  "insert into KVSYSTEM.KVR500JOB (JobDa1,JobKe2,JobUrv,JobCmd,JobMrt,JobRty,"
                  "JobSts,JobDlt,JobNrt,JobStv) values (:b0,:b1,:b2,:b3,:b4,:b5,:b6,:b7,:b8,:b9)",
                  in),
              0)
        << session_->db().LastMessage();
  }

  void ClearTable() { session_->db().Execute("delete from KVSYSTEM.KVR500JOB"); }

  // Runs the selection of the run type; the key found or "" with the code.
  int Select(std::string_view runType, std::string* key) {
    int rc;
    if (runType == "05" || runType == "04" || runType == "01") {
      JobRow job;
      rc = runType == "05"   ? SQLSelectKvr500Job05(*session_, list_, &job)
           : runType == "04" ? SQLSelectKvr500Job04(*session_, list_, &job)
                             : SQLSelectKvr500Job01(*session_, list_, &job);
      *key = job.jobda1.str() + "/" + job.jobke2.str();
    } else {
      JobRow row;
      rc = runType == "09" ? SQLSelectKvr500Job09(*session_, list_, &row)
                           : SQLReadKvr500Job(*session_, env_, runType, list_, &row);
      *key = row.jobda1.str() + "/" + row.jobke2.str();
    }
    if (rc != 0) *key = "";
    return rc;
  }

  TestDatabase db_;
  ExclusionList list_;
};

TEST_P(SelectionDb, DueRulesOfEveryRunType) {
  const std::string past = RealLocalStamp(-120), future = RealLocalStamp(120);
  struct Case {
    const char* rty;
    const char* sts;
    int32_t stv;
    std::string dlt, nrt;
    const char* select;  // run type of the selection asked
    bool due;
  };
  const Case cases[] = {
      {"05", "", 0, "", "", "05", true},
      {"05", "  ", 0, past, "", "05", true},
      {"05", "", 0, future, "", "05", false},
      {"05", "00", 0, "", "", "05", false},
      {"05", "90", 0, "", "", "05", false},
      {"04", "", 0, "", "", "04", true},
      {"04", "  ", 3, "", "", "04", true},
      {"04", "90", 10, "", "", "04", true},
      {"04", "98", 10, "", "", "04", true},
      {"04", "99", 1, "", "", "04", true},
      {"04", "98", 11, "", "", "04", false},
      {"04", "01", 0, "", "", "04", false},
      {"01", "", 0, "", "", "01", true},
      {"01", "  ", 0, "", "", "01", true},
      {"01", "01", 0, "", "", "01", false},
      {"01", "90", 0, "", "", "01", false},
      {"01", "98", 0, "", "", "01", false},
      {"06", "", 0, "", "", "01", false},
      {"04", "", 0, "", "", "01", false},
      {"09", "", 50, "", "", "09", true},
      {"09", "90", 11, "", "", "09", true},
      {"09", "98", 0, "", "", "09", true},
      {"09", "01", 0, "", "", "09", false},
      {"03", "00", 0, "", "", "03", true},
      {"03", "", 0, "", "20261207084312", "03", true},
      {"03", "  ", 0, "", "20261207084313", "03", false},
      {"03", "00", 0, "", "20261207084313", "03", false},
      {"03", "01", 0, "", "", "03", false},
      {"03", "97", 0, "", "", "03", false},
      {"07", "00", 0, "", "20000101000000", "07", true},
      {"08", "", 0, "", "", "08", true},
      {"08", "", 0, "", "", "07", false},
  };
  for (const Case& c : cases) {
    ClearTable();
    Row r;
    r.rty = c.rty;
    r.sts = c.sts;
    r.stv = c.stv;
    r.dlt = c.dlt;
    r.nrt = c.nrt;
    Insert(r);
    std::string key;
    int rc = Select(c.select, &key);
    EXPECT_EQ(rc, c.due ? 0 : kSqlNoData)
        << "type " << c.rty << " status '" << c.sts << "' stv " << c.stv << " dlt " << c.dlt
        << " nrt " << c.nrt << " asked " << c.select << ": " << session_->db().LastMessage();
  }
}

TEST_P(SelectionDb, FirstDueRowInKeyOrder) {
  for (const char* rty : {"05", "04", "01", "09", "03"}) {
    ClearTable();
    for (const char* key :
         {"20260103000000/B", "20260101000000/B", "20260102000000/A", "20260101000000/A"}) {
      Row r;
      r.da1 = std::string(key).substr(0, 14);
      r.ke2 = std::string(key).substr(15);
      r.rty = rty;
      Insert(r);
    }
    Row running;  // the oldest key, but not due
    running.da1 = "20250101000000";
    running.rty = rty;
    running.sts = "01";
    Insert(running);
    std::string key;
    EXPECT_EQ(Select(rty, &key), 0) << rty;
    EXPECT_EQ(key, "20260101000000/A") << rty;
  }
}

// Run types 03, 07 and 08 come in the order of their next run; rows without
// one sort after every row with one, as on the system's database.
TEST_P(SelectionDb, ReadOrdersByNextRunWithNullLast) {
  Row a, b, c;
  a.da1 = "20260101000000";
  a.nrt = "";
  b.da1 = "20260102000000";
  b.nrt = "20261207080000";
  c.da1 = "20260103000000";
  c.nrt = "20261207070000";
  for (Row* r : {&a, &b, &c}) {
    r->rty = "03";
    Insert(*r);
  }
  std::string key;
  ASSERT_EQ(Select("03", &key), 0);
  EXPECT_EQ(key, "20260103000000/JOB");
  session_->db().Execute("delete from KVSYSTEM.KVR500JOB where JOBDA1 = '20260103000000'");
  session_->db().Execute("delete from KVSYSTEM.KVR500JOB where JOBDA1 = '20260102000000'");
  ASSERT_EQ(Select("03", &key), 0);
  EXPECT_EQ(key, "20260101000000/JOB");
}

TEST_P(SelectionDb, OriginsOfRunningJobsAreExcluded) {
  struct Case {
    std::vector<std::string> running;  // origins in the list; "FULL" overflows it
    std::string origin;
    bool due;
  };
  const std::vector<Case> cases = {
      {{}, "A", true},
      {{}, "", true},
      {{"A"}, "A", false},  // a lone one-character origin
      {{"A"}, "", true},
      {{"A"}, "AB", true},
      {{"ORIGIN1", "O'Neil"}, "O'Neil", false},
      {{"ORIGIN1", "O'Neil"}, "ORIGIN1", false},
      {{"ORIGIN1", "O'Neil"}, "ORIGIN2", true},
      {{"FULL"}, "ANY", false},
      {{"FULL"}, "", true},
  };
  for (const Case& c : cases) {
    for (const char* rty : {"05", "04", "01", "09", "03"}) {
      ClearTable();
      Row r;
      r.rty = rty;
      r.urv = c.origin;
      Insert(r);
      list_.Clear();
      for (const std::string& o : c.running) {
        if (o != "FULL") {
          list_.AddRunningOrigin(o);
          continue;
        }
        while (!list_.Overflowed()) list_.AddRunningOrigin(std::string(200, 'F'));
      }
      list_.FinishRebuild();
      std::string key;
      EXPECT_EQ(Select(rty, &key), c.due ? 0 : kSqlNoData)
          << rty << " origin '" << c.origin << "' list " << list_.Text() << ": "
          << session_->db().LastMessage();
    }
  }
}

TEST_P(SelectionDb, DeliveredColumns) {
  Row r;
  r.da1 = "20261201120000";
  r.ke2 = "NAME";
  r.urv = "URV";
  r.cmd = "cmd /c x.bat";
  r.rty = "09";
  r.sts = "98";
  r.mrt = 600;
  r.stv = 4;
  Insert(r);
  ASSERT_EQ(session_->db().Execute("update KVSYSTEM.KVR500JOB set JOBSDA='20261201120001', "
                                   "JOBEDA='20261201120002', JOBNRT='20261201000000'"),
            0);
  JobRow row;
  row.jobbem = "stays";
  row.jobnrt = "stays too";
  ASSERT_EQ(SQLSelectKvr500Job09(*session_, list_, &row), 0);
  EXPECT_EQ(row.jobda1, "20261201120000");
  EXPECT_EQ(row.jobke2, "NAME");
  EXPECT_EQ(row.joburv, "URV");
  EXPECT_EQ(row.jobcmd, "cmd /c x.bat");
  EXPECT_EQ(row.jobmrt, 600);
  EXPECT_EQ(row.jobrty, "09");
  EXPECT_EQ(row.jobsts, "98");
  EXPECT_EQ(row.jobsda, "20261201120001");
  EXPECT_EQ(row.jobeda, "20261201120002");
  EXPECT_EQ(row.jobstv, 4);
  EXPECT_EQ(row.jobbem, "stays");
  EXPECT_EQ(row.jobnrt, "stays too");

  ASSERT_EQ(session_->db().Execute("update KVSYSTEM.KVR500JOB set JOBRTY='08', JOBSTS=''"), 0);
  ASSERT_EQ(SQLReadKvr500Job(*session_, env_, "08", list_, &row), 0);
  EXPECT_EQ(row.jobcmd, "cmd /c x.bat");
  EXPECT_EQ(row.jobbem, "");  // cleared first
  EXPECT_EQ(row.jobnrt, "");

  ASSERT_EQ(session_->db().Execute("update KVSYSTEM.KVR500JOB set JOBRTY='01', JOBMRT=NULL"), 0);
  JobRow job;
  job.jobmrt = 99;
  ASSERT_EQ(SQLSelectKvr500Job01(*session_, list_, &job), 0);
  EXPECT_EQ(job.jobmrt, 0);
  EXPECT_EQ(job.jobsts, "");
  EXPECT_EQ(job.joburv, "URV");

  job.jobcmd = "old";
  ASSERT_EQ(SQLSelectKvr500Job04(*session_, list_, &job), kSqlNoData);
  EXPECT_EQ(job.jobcmd, "");
}

TEST_P(SelectionDb, DatabaseErrorsComeBackAsCodes) {
  ASSERT_EQ(session_->db().Execute("drop table KVSYSTEM.KVR500JOB"), 0);
  JobRow job;
  JobRow row;
  EXPECT_LT(SQLSelectKvr500Job05(*session_, list_, &job), 0);
  EXPECT_LT(SQLSelectKvr500Job04(*session_, list_, &job), 0);
  EXPECT_LT(SQLSelectKvr500Job01(*session_, list_, &job), 0);
  EXPECT_LT(SQLSelectKvr500Job09(*session_, list_, &row), 0);
  EXPECT_LT(SQLReadKvr500Job(*session_, env_, "03", list_, &row), 0);
  RunningJobsCursor cursor;
  EXPECT_LT(cursor.Open(*session_, "01"), 0);
  RunningJobRow running;
  EXPECT_NE(cursor.Fetch(&running), 0);
  EXPECT_EQ(cursor.Close(), 0);
}

TEST_P(SelectionDb, RunningJobsCursorReadsManagedRowsOfTheStatus) {
  for (const char* key : {"1/01/01", "2/04/01", "3/06/01", "4/01/98"}) {
    std::string k(key);
    Row r;
    r.da1 = k.substr(0, 1);
    r.rty = k.substr(2, 2);
    r.sts = k.substr(5, 2);
    r.urv = "U" + r.da1;
    r.mrt = 30;
    Insert(r);
  }
  ASSERT_EQ(session_->db().Execute(
                "update KVSYSTEM.KVR500JOB set JOBNAM='prog.exe', JOBNUM='4711', JOBMRT=NULL "
                "where JOBDA1='2'"),
            0);
  RunningJobsCursor cursor;
  ASSERT_EQ(cursor.Open(*session_, "01"), 0);
  std::vector<std::string> seen;
  RunningJobRow row;
  int rc;
  while ((rc = cursor.Fetch(&row)) == 0) {
    seen.push_back(row.jobda1.str());
    EXPECT_EQ(row.jobsts, "01");
    EXPECT_EQ(row.joburv, "U" + row.jobda1.str());
    if (row.jobda1 == "2") {
      EXPECT_EQ(row.jobnam, "prog.exe");
      EXPECT_EQ(row.jobnum, "4711");
      EXPECT_EQ(row.jobmrt, 0);  // NULL after a row with 30
    } else {
      EXPECT_EQ(row.jobmrt, 30);
      EXPECT_EQ(row.jobnam, "");
    }
  }
  EXPECT_EQ(rc, kSqlNoData);
  EXPECT_EQ(cursor.Close(), 0);
  std::sort(seen.begin(), seen.end());
  EXPECT_EQ(seen, (std::vector<std::string>{"1", "2"}));
}

INSTANTIATE_TEST_SUITE_P(Engines, SelectionDb, ::testing::Values(Engine::Sqlite, Engine::Postgres),
                         EngineParamName<::testing::TestParamInfo<Engine>>);

TEST(SelectionText, TooLongTextIsNotBuilt) {
  const std::string huge(7800, 'x');
  EXPECT_EQ(SelectionText05(huge.c_str()), "");
  EXPECT_EQ(ReadJobText("03", "20261207084312", huge.c_str()), "");
  const std::string full(ExclusionList::kCapacity, 'x');
  EXPECT_NE(SelectionText04(full.c_str()), "");
  EXPECT_NE(SelectionText01(full.c_str()), "");
  EXPECT_NE(SelectionText09(full.c_str()), "");
  EXPECT_NE(ReadJobText("03", "20261207084312", full.c_str()).find("JOBNRT <= '20261207084312'"),
            std::string::npos);
}

}  // namespace
}  // namespace kvr

// Rows whose values the controller cannot read: the queue's holder sets a
// waiting row aside ("90") and goes on with the next due row; a running row
// is read with what can be read; others see the row's fault code. Bad
// values can only be stored on SQLite (PostgreSQL's columns are typed).
#include "db/unreadable_rows.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "db/queue/queue_view.h"
#include "exec/exclusion_list.h"
#include "exec/running_jobs_cursor.h"
#include "exec/selection.h"
#include "jobs/run_type_list.h"
#include "support/test_database.h"

namespace kvr {
namespace {

const std::string kLongKey(300, 'K');

struct BadValue {
  const char* column;
  std::string value;  // as written into the insert
  int code;
};

const BadValue kBadValues[] = {
    {"JOBMRT", "'abc'", kSqlInvalidNumber},
    {"JOBMRT", "3000000000", kSqlIntegerOverflow},
    {"JOBMRT", "1e300", kSqlIntegerOverflow},
    {"JOBSTV", "'abc'", kSqlInvalidNumber},
    {"JOBSTV", "3000000000", kSqlIntegerOverflow},
    {"JOBSTV", "-1e300", kSqlIntegerOverflow},
    {"JOBKE2", "'" + kLongKey + "'", kSqlValueTruncated},
};

class UnreadableRowsTest : public SessionFixture {
 protected:
  void SetUp() override {
    KVR_TEST_DATABASE(db, GetParam(), dir_.path());
    session_->RequireQueueLock({"KVRJOBSTR", "test 1", "KVSYSTEM"});
    ASSERT_EQ(Connect(db), 0);
    ASSERT_TRUE(session_->queueLockHeld());
    db_ = db;
  }
  TestDatabase db_;
  // A row of the run type in the status; `column` set to `value` when given.
  void Insert(const std::string& da1, const std::string& ke2, const char* rty, const char* sts,
              const char* column = nullptr, const std::string& value = "") {
    std::string cols = "JOBDA1,JOBRTY,JOBSTS,JOBCMD,JOBNRT,JOBDLT";
    std::string vals = "'" + da1 + "','" + rty + "'," + sts + ",'prog','20000101000000',''";
    std::string key = "'" + ke2 + "'";
    for (const char* c : {"JOBKE2", "JOBMRT", "JOBSTV", "JOBPRI", "JOBDLS"}) {
      bool bad = column && std::string(column) == c;
      cols += std::string(",") + c;
      vals += "," + (bad ? value : std::string(c) == "JOBKE2" ? key : "1");
    }
    ASSERT_EQ(session_->db().Execute("insert into KVSYSTEM.KVR500JOB (" + cols + ") values (" +
                                     vals + ")"),
              0)
        << session_->db().LastMessage();
  }
  std::string Status(const std::string& da1) {
    char sts[8] = "";
    Bind in[] = {Bind::Text(da1)};
    Out out[] = {Out::Text(sts, 2)};
    session_->db().SelectOne("select JOBSTS from KVSYSTEM.KVR500JOB where JOBDA1=:b0", in, out);
    return sts;
  }
  int Mentions(const std::string& part) {
    std::string log = MainLog();
    int n = 0;
    for (size_t at = log.find(part); at != std::string::npos; at = log.find(part, at + 1)) ++n;
    return n;
  }
  // The first due row of the run type, by its own selection.
  int Select(const char* rty, std::string* da1) {
    ExclusionList list;
    list.SetBlank();
    JobRow row;
    JobRow job;
    int rc = 0;
    std::string t = rty;
    if (t == "01") rc = SQLSelectKvr500Job01(*session_, list, &job);
    if (t == "04") rc = SQLSelectKvr500Job04(*session_, list, &job);
    if (t == "05") rc = SQLSelectKvr500Job05(*session_, list, &job);
    if (t == "03" || t == "07") rc = SQLReadKvr500Job(*session_, env_, t, list, &row);
    *da1 = t == "03" || t == "07" ? row.jobda1.str() : job.jobda1.str();
    return rc;
  }
};

// Every bad value in a waiting row of each run type: the row is named once,
// marked "90", and the selection delivers the next due row in the same call.
TEST_P(UnreadableRowsTest, WaitingRowIsSetAsideAndTheNextRowIsSelected) {
  if (GetParam() != Engine::Sqlite) GTEST_SKIP() << "typed columns hold no bad values";
  int n = 0;
  for (const char* rty : {"01", "03", "04", "05", "07"}) {
    for (const BadValue& bad : kBadValues) {
      // Run type 04 selects only JOBSTV <= 10: a bad JOBSTV is never selected.
      if (std::string(rty) == "04" && std::string(bad.column) == "JOBSTV") continue;
      SCOPED_TRACE(std::string(rty) + " " + bad.column + "=" + bad.value.substr(0, 12));
      session_->db().Execute("delete from KVSYSTEM.KVR500JOB");
      const char* sts = std::string(rty) == "03" || std::string(rty) == "07" ? "'00'" : "NULL";
      char bad1[24];
      std::snprintf(bad1, sizeof bad1, "2026010100%04d", ++n);  // each row is named once
      Insert(bad1, "BAD", rty, sts, bad.column, bad.value);
      Insert("20261231000000", "GOOD", rty, sts);
      std::string da1;
      ASSERT_EQ(Select(rty, &da1), 0) << session_->db().LastMessage();
      EXPECT_EQ(da1, "20261231000000");
      EXPECT_EQ(Status(bad1), "90");
      ASSERT_EQ(Select(rty, &da1), 0);
      EXPECT_EQ(da1, "20261231000000");
      EXPECT_EQ(Mentions(std::to_string(bad.code) + " ORA-"), 1) << MainLog();
      EXPECT_EQ(Mentions(std::string("Spalte ") + bad.column + "; Status 90"), 1);
      std::remove(config_.kvrLog.c_str());
    }
  }
}

// A running row is supervised with what can be read; one whose key does not
// fit is left "01"; both are named once, and the rows after them are read.
TEST_P(UnreadableRowsTest, RunningRowsAreReadAsFarAsTheyGo) {
  if (GetParam() != Engine::Sqlite) GTEST_SKIP() << "typed columns hold no bad values";
  Insert("20260101000000", "MRT", "01", "'01'", "JOBMRT", "'abc'");
  Insert("20260101000001", "KEY", "01", "'01'", "JOBKE2", "'" + kLongKey + "'");
  Insert("20260101000002", "GOOD", "01", "'01'");
  for (int pass = 0; pass < 2; ++pass) {
    RunningJobsCursor cursor;
    ASSERT_EQ(cursor.Open(*session_, "01"), 0);
    std::vector<std::string> read;
    RunningJobRow row;
    int rc = 0;
    while ((rc = cursor.Fetch(&row)) == 0) read.push_back(row.jobke2.str());
    EXPECT_EQ(rc, kSqlNoData);
    EXPECT_EQ(read, (std::vector<std::string>{"MRT", "GOOD"}));
  }
  EXPECT_EQ(Status("20260101000001"), "01");
  EXPECT_EQ(Mentions("Laufender Job 20260101000000 / MRT"), 1);
  EXPECT_EQ(Mentions("bleibt auf 01 stehen"), 1);
}

// The timed-job cursor reads JOBPRI and JOBDLS too: a scheduled row with a
// bad one is set aside, the others are listed.
TEST_P(UnreadableRowsTest, TimedListSkipsUnreadableRows) {
  if (GetParam() != Engine::Sqlite) GTEST_SKIP() << "typed columns hold no bad values";
  Insert("20260101000000", "PRI", "03", "'00'", "JOBPRI", "'x'");
  Insert("20260101000001", "DLS", "03", "'00'", "JOBDLS", "1e300");
  Insert("20260101000002", "GOOD", "03", "'00'");
  std::vector<JobRow> list;
  ReadRunTypeJobs(*session_, "03", list);
  ASSERT_EQ(list.size(), 1u);
  EXPECT_EQ(list[0].jobke2.str(), "GOOD");
  EXPECT_EQ(Status("20260101000000"), "90");
  EXPECT_EQ(Status("20260101000001"), "90");
}

// The operator's view lists a row it cannot read whole, with what it can.
TEST_P(UnreadableRowsTest, QueueViewListsUnreadableRows) {
  if (GetParam() != Engine::Sqlite) GTEST_SKIP() << "typed columns hold no bad values";
  Insert("20260101000000", "BAD", "01", "NULL", "JOBMRT", "'abc'");
  Insert("20260101000001", "GOOD", "01", "NULL");
  ASSERT_EQ(session_->SQLCommit(), 0);
  Session viewer(env_, *log_);  // kvrjobctl holds no queue lock
  ASSERT_EQ(viewer.SQLConnect(db_.login, db_.password, db_.service, db_.schema), 0);
  std::vector<JobRow> rows;
  EXPECT_EQ(ReadQueueRows(viewer, "01", &rows), 0);
  ASSERT_EQ(rows.size(), 2u);
  EXPECT_EQ(rows[0].jobke2.str(), "BAD");
  EXPECT_EQ(rows[0].jobmrt, 0);
}

// An empty text in an INTEGER column is NULL: read as 0, no fault.
TEST_P(UnreadableRowsTest, EmptyIntegerIsNull) {
  if (GetParam() != Engine::Sqlite) GTEST_SKIP() << "typed columns hold no empty texts";
  Insert("20260101000000", "EMPTY", "01", "NULL", "JOBMRT", "''");
  JobRow job;
  ExclusionList list;
  list.SetBlank();
  ASSERT_EQ(SQLSelectKvr500Job01(*session_, list, &job), 0);
  EXPECT_EQ(job.jobmrt, 0);
  EXPECT_EQ(MainLog(), "");
}

// Texts other programs store as '' meet the selections' NULL tests as NULL
// does (JOBSTS, JOBURV, JOBDLT, JOBNRT), on both engines.
TEST_P(UnreadableRowsTest, EmptyTextsAreNullInTheSelections) {
  const std::string empty = "substr('x',1,0)";  // '' itself would be sent as NULL
  for (const char* rty : {"01", "03", "05"}) {
    SCOPED_TRACE(rty);
    session_->db().Execute("delete from KVSYSTEM.KVR500JOB");
    std::string sts = std::string(rty) == "03" ? "'00'" : empty;
    ASSERT_EQ(session_->db().Execute(
                  "insert into KVSYSTEM.KVR500JOB (JOBDA1,JOBKE2,JOBRTY,JOBSTS,JOBURV,JOBDLT,"
                  "JOBNRT,JOBCMD,JOBMRT,JOBSTV) values ('20260101000000','E','" +
                  std::string(rty) + "'," + sts + "," + empty + "," + empty + "," + empty +
                  ",'prog',0,0)"),
              0)
        << session_->db().LastMessage();
    EXPECT_EQ(Count("select count(*) from KVSYSTEM.KVR500JOB where JOBURV is null"), 1);
    EXPECT_EQ(Count("select count(*) from KVSYSTEM.KVR500JOB where JOBURV is not null"), 0);
    std::string da1;
    EXPECT_EQ(Select(rty, &da1), 0) << session_->db().LastMessage();
    EXPECT_EQ(da1, "20260101000000");
  }
}

INSTANTIATE_TEST_SUITE_P(Engines, UnreadableRowsTest,
                         ::testing::Values(Engine::Sqlite, Engine::Postgres),
                         EngineParamName<::testing::TestParamInfo<Engine>>);

// Without the queue lock nothing is changed: the fetch answers the row's
// fault, and the code outlives the cursor's close.
TEST(UnreadableRowsClient, FaultCodeSurvivesTheClose) {
  test::TempDir dir;
  KVR_TEST_DATABASE(db, Engine::Sqlite, dir.path());
  std::unique_ptr<Connection> conn = MakeConnection();
  ASSERT_EQ(conn->Connect(db.connectText()), 0);
  ASSERT_EQ(conn->Execute("insert into KVSYSTEM.KVR500JOB (JOBDA1,JOBKE2,JOBMRT) values "
                          "('1','A','abc')"),
            0);
  int status = 0;
  auto cursor = conn->Open("select JOBDA1, JOBKE2, JOBMRT from KVSYSTEM.KVR500JOB", {}, &status);
  ASSERT_TRUE(cursor);
  char da1[15] = "", ke2[33] = "";
  int32_t mrt = 7;
  Out out[] = {Out::Text(da1, 14), Out::Text(ke2, 32), Out::Int(&mrt)};
  EXPECT_EQ(cursor->Fetch(out), kSqlInvalidNumber);
  ASSERT_NE(cursor->Fault(), nullptr);
  EXPECT_EQ(cursor->Fault()->column, "JOBMRT");
  EXPECT_STREQ(ke2, "A");
  EXPECT_EQ(mrt, 7);
  EXPECT_EQ(cursor->Close(), 0);
  EXPECT_EQ(conn->LastCode(), kSqlInvalidNumber);
  EXPECT_EQ(conn->LastMessage(), "ORA-01722: invalid number (JOBMRT)");
}

}  // namespace
}  // namespace kvr

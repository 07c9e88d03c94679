#include <gtest/gtest.h>
#include <sqlite3.h>

#include <cerrno>
#include <string>

#include "db/queue/schema_setup.h"
#include "support/test_database.h"

namespace kvr {
namespace {

TEST(SplitSqlStatementsTest, CommentsQuotesAndEmptyStatements) {
  auto parts = SplitSqlStatements(
      "-- heading; with a semicolon\nCREATE TABLE a (x int);\n;\n"
      "INSERT INTO a VALUES ('x;y') ; -- tail\n  SELECT \"q;\" FROM a  ");
  ASSERT_EQ(parts.size(), 3u);
  EXPECT_EQ(parts[0], "CREATE TABLE a (x int)");
  EXPECT_EQ(parts[1], "INSERT INTO a VALUES ('x;y')");
  EXPECT_EQ(parts[2], "SELECT \"q;\" FROM a");
  EXPECT_TRUE(SplitSqlStatements("-- only a comment\n  \n").empty());
}

class SchemaTest : public SessionFixture {};

// Every column any statement of the controller names, table by table.
const char* const kColumnSelects[] = {
    "select JOBDA1 ,JOBKE2 ,JOBURV ,JOBCMD ,JOBCDI ,JOBPRM ,JOBRUS ,JOBMRT ,JOBRTY ,JOBPRI ,"
    "JOBDLS ,JOBDLT ,JOBBEM ,JOBSCD ,JOBSTS ,JOBNAM ,JOBUSR ,JOBNUM ,JOBSDA ,JOBEDA ,JOBNRT ,"
    "JOBSTV  from KVSYSTEM.KVR500JOB",
    "select MSGUID, MSGTNR, MSGTXT, MSGLNK, MSGMOD, MSGSRC, MSGSCH, MSGCAT, MSGADR, MSGBER, "
    "MSGPRI, MSGTYP, MSGBRK, MSGVAL, MSGDBG, MSGMND, MSGLIZ, MSGTIN, MSGSTS, MSGERF from "
    "KVSYSTEM.KVR200MSG",
    "select MndSch ,MndLiz ,MndNum ,MndKon ,MndNa1 ,MNDT01 ,MNDT12 ,MNDD01 ,MNDD12  from "
    "KvSystem.Kvr112Mnd",
    "select TPLZPL ,TPLWTG ,TPLVON ,TPLBIS ,TPLVRZ ,TPLSTA from KVSYSTEM.KVR139TPL",
    "select DZTZPL ,DZTWTG ,DZTVON ,DZTBIS ,DZTVRZ ,DZTSTA from KVSYSTEM.KVR141DZT",
    "select SCDNAM ,SCDSBE ,SCDLIZ ,SCDMND ,SCDART ,SCDTYP ,SCDTAG ,SCDDTM ,SCDUHR ,SCDDWH ,"
    "SCDBIS from KVSYSTEM.KVR800SCD",
    "select DNLKEY ,DNLUSR ,DNLSTA ,DNLERR from KVSYSTEM.KVRAUTODNL",
    "select count(*) from MANDANT1.Kvr300Pnr",
    "select count(*) from MANDANT1.KVR701PlG",
    "select SbeDtq ,SbePnr ,SbeQev from MANDANT1.Kvr303Sbe",
};

TEST_P(SchemaTest, TablesHoldEveryColumnAndApplyingTwiceDoesNoHarm) {
  KVR_TEST_DATABASE(db, GetParam(), dir_.path());
  ASSERT_EQ(Connect(db), 0);
  std::string error;
  EXPECT_EQ(ApplySchema(env_, session_->db(), TestSqlDir(), &error), 0) << error;
  for (const char* sql : kColumnSelects) {
    int rc = 0;
    auto cursor = session_->db().Open(sql, {}, &rc);
    EXPECT_EQ(rc, 0) << sql << ": " << session_->db().LastMessage();
  }
  EXPECT_NE(ApplySchema(env_, session_->db(), dir_.File("nosql"), &error), 0);
  EXPECT_NE(error.find("nosql"), std::string::npos);
}

// The scripts are listed and read through the Env: a folder or a file it
// cannot read stops the set-up before any statement, naming what failed.
TEST_P(SchemaTest, ScriptsAreReadThroughTheEnv) {
  KVR_TEST_DATABASE(db, GetParam(), dir_.path());
  ASSERT_EQ(Connect(db), 0);
  const std::string folder =
      TestSqlDir() + (GetParam() == Engine::Sqlite ? "/sqlite" : "/postgres");
  struct Case {
    std::string failing;
    bool client;
    std::string said;
  };
  const Case cases[] = {
      {folder, false, "no table definitions (*.sql) found in " + folder},
      {folder + "/01_kvsystem.sql", false, "cannot read " + folder + "/01_kvsystem.sql: "},
      {folder + "/02_mandant1.sql", true, "cannot read " + folder + "/02_mandant1.sql: "},
  };
  for (const Case& c : cases) {
    env_.fileErrors = {{c.failing, EACCES}};
    std::string error;
    int rc = c.client ? ApplyClientSchema(env_, session_->db(), TestSqlDir(), "KUNDE", &error)
                      : ApplySchema(env_, session_->db(), TestSqlDir(), &error);
    EXPECT_EQ(rc, -1) << c.failing;
    EXPECT_EQ(error.rfind(c.said, 0), 0u) << error;
  }
  env_.fileErrors.clear();
  std::string error;
  EXPECT_EQ(ApplyClientSchema(env_, session_->db(), TestSqlDir(), "KUNDE", &error), 0) << error;
}

// Ended rows pile up in the queue; the per-pass selections must find the
// few waiting and running rows by index, not by reading the whole table.
TEST_P(SchemaTest, PassSelectionsUseIndexes) {
  KVR_TEST_DATABASE(db, GetParam(), dir_.path());
  const char* where = "where (JOBRTY='01' and JOBSTS is null) order by JOBDA1, JOBKE2";
  if (GetParam() == Engine::Sqlite) {
    sqlite3* raw = nullptr;
    ASSERT_EQ(sqlite3_open(db.service.substr(7).c_str(), &raw), SQLITE_OK);
    const std::string queries[] = {
        std::string("explain query plan select * from \"KVSYSTEM.KVR500JOB\" ") + where,
        "explain query plan select * from \"KVSYSTEM.KVR500JOB\" where JOBSTS='01' and "
        "JOBRTY<>'06'"};
    for (const std::string& q : queries) {
      sqlite3_stmt* st = nullptr;
      ASSERT_EQ(sqlite3_prepare_v2(raw, q.c_str(), -1, &st, nullptr), SQLITE_OK);
      std::string plan;
      while (sqlite3_step(st) == SQLITE_ROW) {
        plan += reinterpret_cast<const char*>(sqlite3_column_text(st, 3));
        plan += "; ";
      }
      sqlite3_finalize(st);
      EXPECT_NE(plan.find("USING INDEX"), std::string::npos) << q << " -> " << plan;
      EXPECT_EQ(plan.find("TEMP B-TREE"), std::string::npos) << q << " -> " << plan;
    }
    sqlite3_close(raw);
    return;
  }
  ASSERT_EQ(Connect(db), 0);
  ASSERT_EQ(session_->db().Execute(
                "insert into KVSYSTEM.KVR500JOB (JOBDA1, JOBKE2, JOBRTY, JOBSTS, JOBSTV) "
                "select to_char(100000000000 + g, 'FM00000000000000'), 'JOB ' || g, '01', '99', 1 "
                "from generate_series(1, 100000) g"),
            0)
      << session_->db().LastMessage();
  ASSERT_EQ(session_->SQLCommit(), 0);
  ASSERT_EQ(session_->db().Execute("analyze KVSYSTEM.KVR500JOB"), 0);
  const std::string queries[] = {
      std::string("explain select * from KVSYSTEM.KVR500JOB ") + where,
      "explain select * from KVSYSTEM.KVR500JOB where JOBSTS='01' and JOBRTY<>'06'"};
  for (const std::string& q : queries) {
    char plan[512] = "";
    Out out[] = {Out::Text(plan, sizeof plan - 1)};
    ASSERT_EQ(session_->db().SelectOne(q, {}, out), 0) << session_->db().LastMessage();
    EXPECT_EQ(std::string(plan).find("Seq Scan"), std::string::npos) << q << " -> " << plan;
  }
}

INSTANTIATE_TEST_SUITE_P(Engines, SchemaTest, ::testing::Values(Engine::Sqlite, Engine::Postgres),
                         EngineParamName<::testing::TestParamInfo<Engine>>);

}  // namespace
}  // namespace kvr

// A commit that fails at commit time itself, on both engines: under SQLite
// the log file cannot grow (a file size limit, as on a full file system);
// under PostgreSQL a deferred check answers "disk full" at COMMIT. The
// session counts the database as lost, the message of the lost transaction
// goes to the fallback file, and the end decided for a running row is
// written once the database takes writes again.
#include <gtest/gtest.h>
#include <sys/resource.h>

#include <csignal>
#include <string>

#include "db/queue/job_table.h"
#include "messages/poster_world.h"
#include "support/test_pg.h"

namespace kvr {
namespace {

constexpr char kOverrun[] =
    "Programm prog wird wegen Laufzeit\xFC"
    "berschreitung abgebrochen!";

class CommitFault : public ::testing::TestWithParam<Engine> {
 protected:
  void SetUp() override {
    KVR_REQUIRE_ENGINE(GetParam());
    w_.session->RequireQueueLock({"KVRJOBSTR", "test 1", "KVSYSTEM"});
    ASSERT_TRUE(w_.Connect(GetParam(), "commit_fault")) << w_.db.error;
  }
  bool sqlite() const { return GetParam() == Engine::Sqlite; }
  std::string PgName() const { return w_.db.service.substr(w_.db.service.rfind('/') + 1); }

  // The commit, failing where the engine writes at commit time.
  int FailingCommit() {
    if (!sqlite()) return w_.session->SQLCommit();
    struct rlimit old {};
    getrlimit(RLIMIT_FSIZE, &old);
    void (*oldHandler)(int) = std::signal(SIGXFSZ, SIG_IGN);
    struct rlimit tight = old;
    tight.rlim_cur = 2048;  // the log file is past it; the fallback file's line fits
    setrlimit(RLIMIT_FSIZE, &tight);
    int rc = w_.session->SQLCommit();
    setrlimit(RLIMIT_FSIZE, &old);
    std::signal(SIGXFSZ, oldHandler);
    return rc;
  }

  test::PosterWorld w_;
};

TEST_P(CommitFault, CountsAsLostKeepsTheMessageAndWritesTheEndLater) {
  Session& s = *w_.session;
  ASSERT_EQ(s.CheckDB(WriteStatusRow), 1);
  // A running row of process 4711, started at the stamp its end writes.
  ASSERT_EQ(s.db().Execute("insert into KVSYSTEM.KVR500JOB (JOBDA1,JOBKE2,JOBRTY,JOBSTS,JOBNUM,"
                           "JOBSDA) values ('20260101000000','RUN','01','01','4711',"
                           "'20260101000000')"),
            0);
  ASSERT_EQ(s.SQLCommit(), 0);
  std::string error;
  if (!sqlite()) {
    ASSERT_TRUE(
        test::PgExec(PgName(),
                     "CREATE FUNCTION kvsystem.disk_full() RETURNS trigger LANGUAGE plpgsql AS "
                     "'BEGIN RAISE EXCEPTION ''no space left'' USING ERRCODE = ''disk_full''; END';"
                     "CREATE CONSTRAINT TRIGGER disk_full AFTER UPDATE ON kvsystem.kvr500job "
                     "DEFERRABLE INITIALLY DEFERRED FOR EACH ROW WHEN (NEW.jobsts = '99') "
                     "EXECUTE FUNCTION kvsystem.disk_full()",
                     &error))
        << error;
  }
  ASSERT_EQ(SQLUpdateJobRun(s, {.da1 = "20260101000000",
                                .ke2 = "RUN",
                                .status = "99",
                                .name = "prog",
                                .num = "4711",
                                .sda = "20260101000000",
                                .eda = "20260101000100",
                                .stv = 1}),
            0);
  w_.poster->PostNachricht(kOverrun);
  ASSERT_FALSE(w_.FileThere());

  int rc = FailingCommit();
  EXPECT_TRUE(IsWriteFault(rc)) << rc;
  EXPECT_TRUE(s.writesLost());
  const std::string kept = w_.File();
  EXPECT_NE(kept.find(kOverrun), std::string::npos) << kept;
  EXPECT_EQ(w_.poster->heldCount(), 0u);

  if (!sqlite()) {
    ASSERT_TRUE(test::PgExec(PgName(), "DROP TRIGGER disk_full ON kvsystem.kvr500job", &error))
        << error;
  }
  EXPECT_EQ(s.CheckDB(WriteStatusRow), 1);
  EXPECT_TRUE(w_.Logged("- Neue Datenbankverbindung erstellt\n")) << w_.MainLog();
  EXPECT_FALSE(s.writesLost());
  EXPECT_EQ(w_.CountIn("KVSYSTEM.KVR500JOB where JOBKE2='RUN' and JOBSTS='99' and "
                       "JOBEDA='20260101000100'"),
            1);
  EXPECT_EQ(w_.Count(), 0);  // the message went with the lost transaction

  w_.poster->PostNachricht("danach");
  EXPECT_FALSE(w_.FileThere());
  ASSERT_EQ(s.SQLCommit(), 0);
  EXPECT_EQ(w_.Count(" where MSGTXT like '%Laufzeit%'"), 1);
  EXPECT_EQ(w_.Count(), 2);
}

INSTANTIATE_TEST_SUITE_P(Engines, CommitFault, ::testing::Values(Engine::Sqlite, Engine::Postgres),
                         EngineParamName<::testing::TestParamInfo<Engine>>);

}  // namespace
}  // namespace kvr

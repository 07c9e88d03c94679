#include "db/session.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <functional>
#include <string>

#include "core/text.h"
#include "db/queue/job_table.h"
#include "support/test_config.h"
#include "support/test_database.h"
#include "support/test_pg.h"
#include "support/wait.h"

namespace kvr {
namespace {

// Open file descriptors of the process: a leaked connection keeps its
// socket or database file open.
int OpenDescriptors() {
  int n = 0;
  for ([[maybe_unused]] auto& e : std::filesystem::directory_iterator("/proc/self/fd")) ++n;
  return n;
}

TEST(TrimRightTest, RemovesTrailingBlanksAndTabs) {
  const std::pair<const char*, const char*> cases[] = {
      {"abc  \t ", "abc"}, {" \t\t ", ""}, {"abc", "abc"}, {"", ""}, {" a b\t", " a b"}};
  for (auto [in, want] : cases) {
    std::string s = in;
    EXPECT_EQ(TrimRight(s), want);
    char buf[16];
    std::snprintf(buf, sizeof buf, "%s", in);
    EXPECT_STREQ(TrimRight(buf), want);
  }
  EXPECT_EQ(TrimRight(static_cast<char*>(nullptr)), nullptr);
}

class SessionTest : public SessionFixture {};

// Removes the job table, so that the status update fails.
const char* DropJobTable(Engine engine) {
  return engine == Engine::Sqlite ? "drop table \"KVSYSTEM.KVR500JOB\""
                                  : "drop table KVSYSTEM.KVR500JOB";
}

// Another program holding the write lock: the session's statement waits
// its busy time, but not once a stop is requested.
TEST(SessionSqlite, LockWaitEndsAtAStopRequest) {
  test::TempDir dir;
  KVR_TEST_DATABASE(db, Engine::Sqlite, dir.path());
  auto other = MakeConnection();
  ASSERT_EQ(other->Connect(db.connectText()), 0);
  ASSERT_EQ(other->Execute("update KVSYSTEM.KVR500JOB set JOBSTS='01' where JOBKE2='none'"),
            kSqlNoData);  // the write transaction is open now
  FakeEnv env;
  Config config = test::LogsIn(dir.path());
  Logger log(env, config);
  Session session(env, log);
  ASSERT_EQ(session.SQLConnect(db.login, db.password, db.service, db.schema), 0);
  env.RequestStop();
  auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(session.db().Execute("delete from KVSYSTEM.KVR500JOB"), -54);
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(2));
}

TEST_P(SessionTest, ConnectSwitchesSchemaAndReportsNoErrorAfterSuccess) {
  KVR_TEST_DATABASE(db, GetParam(), dir_.path());
  ASSERT_EQ(Connect(db), 0);
  // Unqualified names resolve in the schema the session switched to.
  EXPECT_EQ(Count("select count(*) from KVR500JOB"), 0);
  std::string state = "x", message = "x";
  EXPECT_EQ(session_->GetLastSQLError(&state, &message), 0);
  EXPECT_EQ(state, "");
  EXPECT_EQ(message, "");
  EXPECT_EQ(session_->SQLCommit(), 0);
  EXPECT_EQ(session_->SQLSetSchema("MANDANT1", &message), 0);
  EXPECT_EQ(Count("select count(*) from KVR303SBE"), 0);
}

TEST_P(SessionTest, MissingOrEmptySchemaFailsTheConnect) {
  KVR_TEST_DATABASE(db, GetParam(), dir_.path());
  TestDatabase missing = db;
  missing.schema = "NOSUCHSCHEMA";
  int rc = Connect(missing);
  EXPECT_NE(rc, 0);
  std::string message;
  EXPECT_EQ(session_->GetLastSQLError(nullptr, &message), rc);
  EXPECT_FALSE(message.empty());
  TestDatabase empty = db;
  empty.schema = "";
  EXPECT_NE(Connect(empty), 0);
  EXPECT_NE(session_->SQLSetSchema("NOSUCHSCHEMA", &message), 0);
  EXPECT_FALSE(message.empty());
}

TEST_P(SessionTest, StatusRowIsInsertedOnceAndRewrittenEmpty) {
  KVR_TEST_DATABASE(db, GetParam(), dir_.path());
  ASSERT_EQ(Connect(db), 0);
  EXPECT_EQ(session_->CheckDB(WriteStatusRow), 1);
  EXPECT_EQ(Count("select count(*) from KVSYSTEM.KVR500JOB where JOBDA1='99999999999999' and "
                  "JOBKE2='VIVOROVOZE STATUSJOB' and JOBURV='STATUSJOB' and JOBRTY='99' and "
                  "JOBSTV=0 and JOBMRT=0 and JOBSTS is null and JOBCMD is null"),
            1);
  ASSERT_EQ(SQLUpdateJobStatus(*session_, "01", kStatusRowDa1, kStatusRowKe2), 0);
  ASSERT_EQ(session_->SQLCommit(), 0);
  EXPECT_EQ(session_->CheckDB(WriteStatusRow), 1);
  EXPECT_EQ(Count("select count(*) from KVSYSTEM.KVR500JOB"), 1);
  EXPECT_EQ(Count("select count(*) from KVSYSTEM.KVR500JOB where JOBSTS is null"), 1);
  EXPECT_EQ(env_.console, "");
  EXPECT_EQ(MainLog(), "");
}

TEST_P(SessionTest, FailedStatusUpdateReconnectsWithoutLeakingConnections) {
  KVR_TEST_DATABASE(db, GetParam(), dir_.path());
  ASSERT_EQ(Connect(db), 0);
  ASSERT_EQ(session_->CheckDB(WriteStatusRow), 1);
  // Without the table the status update fails; the new connection works.
  ASSERT_EQ(session_->db().Execute(DropJobTable(GetParam())), 0);
  ASSERT_EQ(session_->SQLCommit(), 0);
  EXPECT_EQ(session_->CheckDB(WriteStatusRow), 1);
  EXPECT_NE(MainLog().find("- Fehler beim Update des Statusjobs! RC: -942\n"), std::string::npos)
      << MainLog();
  EXPECT_NE(MainLog().find("- Neue Datenbankverbindung erstellt\n"), std::string::npos);
  EXPECT_NE(env_.console.find("- Statussatz konnte nicht aktualisiert werden! : -942\n"),
            std::string::npos)
      << env_.console;
  int before = OpenDescriptors();
  for (int i = 0; i < 5; ++i) EXPECT_EQ(session_->CheckDB(WriteStatusRow), 1);
  EXPECT_EQ(OpenDescriptors(), before);
  if (GetParam() == Engine::Postgres) {
    // A released connection's server process ends a moment after the
    // client has gone; give it that moment.
    long sessions = 0;
    test::WaitFor(
        [&] {
          sessions = Count(
              "select count(*) from pg_stat_activity where datname=current_database() "
              "and backend_type='client backend'");
          return sessions == 1;
        },
        std::chrono::seconds(30), std::chrono::milliseconds(100));
    EXPECT_EQ(sessions, 1);
  }
}

// A session that cannot write (read-only) counts as lost: the check
// connects anew, and each end the controller decided for a running row
// while it could not write ("99" of an overrun, "90" of a claim whose
// process could not be created) reaches the row once writing works, but
// only while the row still runs that run: a row started again meanwhile
// keeps its new run. A claim another controller closed "98" meanwhile (it
// found no process) gets the "90"; an ended row keeps its "98".
TEST_P(SessionTest, EndsWrittenWhileReadOnlyReachTheirOwnRunsAfterTheReconnect) {
  KVR_TEST_DATABASE(db, GetParam(), dir_.path());
  session_->RequireQueueLock({"KVRJOBSTR", "test 1", "KVSYSTEM"});
  ASSERT_EQ(Connect(db), 0);
  ASSERT_EQ(session_->CheckDB(WriteStatusRow), 1);
  // key, JOBSTS, JOBNUM and JOBSDA of the row in the database; the status it reads after.
  struct Case {
    const char *key, *sts, *num, *sda, *want;
  };
  const Case cases[] = {
      {"OVERRUN", "01", "4711", "20260101000000", "99"},
      {"CLAIMED", "01", "0", "20260101000000", "90"},
      {"CLAIMCLOSED", "98", "0", "20260101000000", "90"},
      {"RESTARTED", "01", "4712", "20260101000500", "01"},
      {"ENDED", "98", "4711", "20260101000000", "98"},
  };
  for (const Case& c : cases) {
    ASSERT_EQ(session_->db().Execute(StringPrintf(
                  "insert into KVSYSTEM.KVR500JOB (JOBDA1,JOBKE2,JOBRTY,JOBSTS,JOBNUM,JOBSDA) "
                  "values ('20260101000000','%s','01','%s','%s','%s')",
                  c.key, c.sts, c.num, c.sda)),
              0);
  }
  ASSERT_EQ(session_->SQLCommit(), 0);
  ASSERT_EQ(session_->db().Execute(GetParam() == Engine::Sqlite
                                       ? "PRAGMA query_only=1"
                                       : "set default_transaction_read_only = on"),
            0);
  ASSERT_EQ(session_->SQLCommit(), 0);
  for (const char* key : {"OVERRUN", "RESTARTED", "ENDED"}) {
    EXPECT_EQ(SQLUpdateJobRun(*session_, {.da1 = "20260101000000",
                                          .ke2 = key,
                                          .status = "99",
                                          .name = "prog",
                                          .num = "4711",
                                          .sda = "20260101000000",
                                          .eda = "20260101000100",
                                          .stv = 1}),
              -16000);
  }
  for (const char* key : {"CLAIMED", "CLAIMCLOSED"}) {
    EXPECT_EQ(MarkStartFailed(*session_, "20260101000000", key, 2, "20260101000000"), -16000);
  }
  session_->SQLCommit();
  EXPECT_EQ(session_->CheckDB(WriteStatusRow), 1);
  EXPECT_NE(MainLog().find("- Neue Datenbankverbindung erstellt\n"), std::string::npos);
  for (const Case& c : cases) {
    EXPECT_EQ(Count(StringPrintf("select count(*) from KVSYSTEM.KVR500JOB where JOBKE2='%s' and "
                                 "JOBSTS='%s'",
                                 c.key, c.want)),
              1)
        << c.key;
  }
  EXPECT_EQ(Count("select count(*) from KVSYSTEM.KVR500JOB where JOBKE2='OVERRUN' and "
                  "JOBEDA='20260101000100'"),
            1);
  EXPECT_EQ(
      Count("select count(*) from KVSYSTEM.KVR500JOB where JOBKE2 like 'CLAIM%' and JOBSTV=2"), 2);
  EXPECT_TRUE(session_->endedRows().empty());
}

TEST_P(SessionTest, NoPasswordOnFailingPaths) {
  KVR_TEST_DATABASE(db, GetParam(), dir_.path());
  const std::string secret = "Geh31m-Pa55w0rt";
  std::string message;
  if (GetParam() == Engine::Postgres) {
    // Wrong password, and a server that does not answer.
    EXPECT_NE(session_->SQLConnect(db.login, secret, db.service, db.schema), 0);
    session_->GetLastSQLError(nullptr, &message);
    EXPECT_EQ(message.find(secret), std::string::npos) << message;
    EXPECT_NE(session_->SQLConnect(db.login, secret, "127.0.0.1:1/nodb", db.schema), 0);
    EXPECT_EQ(session_->CheckDB(WriteStatusRow), 0);
  } else {
    // The status update fails, and the database's directory has gone, so
    // it cannot be opened again.
    std::filesystem::create_directories(dir_.File("sub"));
    TestDatabase moved = MakeTestDatabase(Engine::Sqlite, "x", dir_.File("sub"));
    ASSERT_TRUE(moved.ok) << moved.error;
    moved.password = secret;
    ASSERT_EQ(Connect(moved), 0);
    ASSERT_EQ(session_->db().Execute(DropJobTable(Engine::Sqlite)), 0);
    ASSERT_EQ(session_->SQLCommit(), 0);
    std::filesystem::rename(dir_.File("sub"), dir_.File("gone"));
    EXPECT_EQ(session_->CheckDB(WriteStatusRow), 0);  // the file has left its path
    EXPECT_EQ(session_->CheckDB(WriteStatusRow), 0);  // and none is there to connect to
  }
  session_->GetLastSQLError(nullptr, &message);
  EXPECT_EQ(message.find(secret), std::string::npos) << message;
  EXPECT_NE(env_.console.find("- Verbindung zur Datenbank fehlgeschlagen, Fehler : "),
            std::string::npos)
      << env_.console;
  EXPECT_EQ(env_.console.find(secret), std::string::npos) << env_.console;
  EXPECT_EQ(MainLog().find(secret), std::string::npos) << MainLog();
  EXPECT_NE(MainLog().find("- Verbindung zur Datenbank fehlgeschlagen, Fehler : "),
            std::string::npos);
}

// The limit leaves room for what the credential file can hold; up to it the
// text reaches the database (SQLite takes any password), beyond it it is
// refused before anything is sent.
TEST_P(SessionTest, ConnectTextUpToTheLimitReachesTheDatabase) {
  KVR_TEST_DATABASE(db, GetParam(), dir_.path());
  const size_t room = kMaxConnectText - db.login.size() - db.service.size() - 2;
  const int wrongPassword = GetParam() == Engine::Sqlite ? kSqlOk : kSqlInvalidLogin;
  const std::pair<size_t, int> cases[] = {{room, wrongPassword},
                                          {room + 1, kSqlConnectTextTooLong}};
  for (auto [length, expected] : cases) {
    SCOPED_TRACE(length);
    EXPECT_EQ(session_->SQLConnect(db.login, std::string(length, 'S'), db.service, db.schema),
              expected);
  }
  EXPECT_GE(kMaxConnectText, 3 * 192u + 2);  // the longest values kvrjobctl writes
}

TEST_P(SessionTest, OverlongConnectTextIsRefusedWithoutConnecting) {
  KVR_TEST_DATABASE(db, GetParam(), dir_.path());
  const std::string secret(kMaxConnectText, 'S');
  EXPECT_EQ(session_->SQLConnect(db.login, secret, db.service, db.schema), kSqlConnectTextTooLong);
  std::string message;
  EXPECT_EQ(session_->GetLastSQLError(nullptr, &message), kSqlConnectTextTooLong);
  EXPECT_EQ(message.find("SSSS"), std::string::npos);
  EXPECT_EQ(session_->SQLCommit(), kSqlNotConnected);
  EXPECT_EQ(session_->SQLConnect(db.login, db.password, db.service, std::string(70, 'K')),
            kSqlConnectTextTooLong);
}

// The session's own failure stays the last error until a call reaches the
// connection; looking at the connection does not wipe it.
TEST_P(SessionTest, OwnFailureLastsUntilTheNextStatement) {
  KVR_TEST_DATABASE(db, GetParam(), dir_.path());
  ASSERT_EQ(Connect(db), 0);
  struct Step {
    const char* what;
    std::function<void()> act;
    int expected;
  };
  const Step steps[] = {
      {"refused schema", [&] { session_->SQLSetSchema(std::string(90, 'K'), nullptr); },
       kSqlConnectTextTooLong},
      {"asking for the connection",
       [&] {
         (void)session_->db().BackendName();
         (void)session_->db().LastMessage();
       },
       kSqlConnectTextTooLong},
      {"a statement",
       [&] {
         EXPECT_EQ(session_->db().Execute("update KVSYSTEM.KVR500JOB set JOBSTV=0"), kSqlNoData);
       },
       kSqlNoData},
      {"refused again", [&] { session_->SQLSetSchema(std::string(90, 'K'), nullptr); },
       kSqlConnectTextTooLong},
      {"a commit", [&] { EXPECT_EQ(session_->db().Commit(), 0); }, kSqlOk},
  };
  for (const Step& step : steps) {
    SCOPED_TRACE(step.what);
    step.act();
    std::string message;
    EXPECT_EQ(session_->GetLastSQLError(nullptr, &message), step.expected) << message;
  }
}

INSTANTIATE_TEST_SUITE_P(Engines, SessionTest, ::testing::Values(Engine::Sqlite, Engine::Postgres),
                         EngineParamName<::testing::TestParamInfo<Engine>>);

TEST(SessionNotConnectedTest, EveryCallAnswersNotConnected) {
  FakeEnv env;
  test::TempDir dir;
  Config config;
  config.kvrLog = dir.File("main.log");
  config.dbgFile = dir.File("dbg.log");
  Logger log(env, config);
  Session session(env, log);
  EXPECT_EQ(session.SQLCommit(), kSqlNotConnected);
  EXPECT_EQ(session.db().Execute("select 1"), kSqlNotConnected);
  EXPECT_EQ(SQLDeleteJob(session, "1", "2"), kSqlNotConnected);
  std::string message;
  EXPECT_EQ(session.GetLastSQLError(nullptr, &message), kSqlNotConnected);
  EXPECT_EQ(session.SQLSetSchema("KVSYSTEM", &message), kSqlNotConnected);
}

// The server goes away and comes back: the check fails while it is down and
// makes a new session once it is up again.
TEST(SessionClusterTest, CheckDBReconnectsAfterServerRestart) {
  if (!test::PgConfigured()) KVR_PG_SKIP_OR_FAIL("KVR_TEST_PG_* not set");
  test::PrivatePgCluster cluster;
  if (!cluster.Init()) KVR_PG_SKIP_OR_FAIL(cluster.error());
  ASSERT_TRUE(cluster.CreateDatabase("kvrrestart")) << cluster.error();
  FakeEnv env;
  test::TempDir dir;
  Config config;
  config.kvrLog = dir.File("main.log");
  config.dbgFile = dir.File("dbg.log");
  Logger log(env, config);
  {
    auto conn = MakeConnection();
    ASSERT_EQ(conn->Connect(cluster.connectText("kvrrestart")), 0) << conn->LastMessage();
    std::string error;
    ASSERT_EQ(ApplyTestSchema(*conn, &error), 0) << error;
  }
  Session session(env, log);
  std::string service = "127.0.0.1:" + std::to_string(cluster.port()) + "/kvrrestart";
  ASSERT_EQ(session.SQLConnect(cluster.login(), cluster.password(), service, "KVSYSTEM"), 0);
  ASSERT_EQ(session.CheckDB(WriteStatusRow), 1);
  ASSERT_TRUE(cluster.Stop()) << cluster.error();
  EXPECT_EQ(session.CheckDB(WriteStatusRow), 0);
  EXPECT_EQ(session.CheckDB(WriteStatusRow), 0);
  ASSERT_TRUE(cluster.Start()) << cluster.error();
  EXPECT_EQ(session.CheckDB(WriteStatusRow), 1);
  EXPECT_EQ(session.CheckDB(WriteStatusRow), 1);
  std::string mainLog = dir.Read("main.log");
  EXPECT_NE(mainLog.find("- Neue Datenbankverbindung erstellt\n"), std::string::npos) << mainLog;
  EXPECT_NE(env.console.find("- Verbindung zur Datenbank fehlgeschlagen, Fehler : "),
            std::string::npos);
  EXPECT_EQ(mainLog.find(cluster.password()), std::string::npos);
  EXPECT_EQ(env.console.find(cluster.password()), std::string::npos);
  int32_t n = -1;
  Out out[] = {Out::Int(&n)};
  ASSERT_EQ(session.db().SelectOne(
                "select count(*) from pg_stat_activity where datname=current_database() "
                "and backend_type='client backend'",
                {}, out),
            0);
  EXPECT_EQ(n, 1);
}

}  // namespace
}  // namespace kvr

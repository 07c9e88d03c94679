// A PostgreSQL server that goes away while a job runs: the controller ends
// its jobs once, keeps its messages in the fallback file, waits the outage
// out, and when the server is back delivers the messages and closes the row.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>

#include "controller/controller_fixture.h"
#include "db/queue/schema_setup.h"
#include "support/test_pg.h"

namespace kvr::test {
namespace {

TEST(ControllerDatabaseLoss, EndsJobsOnceKeepsMessagesAndRecovers) {
  KVR_REQUIRE_ENGINE(Engine::Postgres);
  PrivatePgCluster cluster;
  ASSERT_TRUE(cluster.Init()) << cluster.error();
  ASSERT_TRUE(cluster.CreateDatabase("kvrloss")) << cluster.error();
  {
    auto setup = MakeConnection();
    ASSERT_EQ(setup->Connect(cluster.connectText("kvrloss")), 0) << setup->LastMessage();
    std::string error;
    ASSERT_EQ(ApplySchema(*setup, TestSqlDir(), &error), 0) << error;
  }
  TestDatabase db;
  std::string text = cluster.connectText("kvrloss");
  db.login = cluster.login();
  db.password = cluster.password();
  db.service = text.substr(text.rfind('@') + 1);
  db.ok = true;

  ControllerHarness h("[JOBATR]\nMAXJOBS=3\n", db);
  ASSERT_TRUE(h.StartUp());
  h.AddJob("01", "WORKER", "worker run");
  ASSERT_TRUE(h.controller->RunPass());
  ASSERT_EQ(h.Field("JOBSTS", "WORKER"), "01");
  Pid worker = std::stoi(h.Field("JOBNUM", "WORKER"));
  ASSERT_TRUE(h.controller->RunPass());  // saves the table with the job in it

  ASSERT_TRUE(cluster.Stop()) << cluster.error();
  for (int pass = 1; pass <= 5; ++pass) {
    // Every pass of the outage moves the ended jobs on (reaping them, and
    // SIGKILL for one that ignores SIGTERM once its grace is over).
    int reaped = h.env.reapCalls;
    ASSERT_TRUE(h.controller->RunPass());
    EXPECT_EQ(h.controller->failedChecks(), pass);
    EXPECT_GT(h.env.reapCalls, reaped) << "pass " << pass;
    // Ended at the first failed check, and only then.
    EXPECT_EQ(std::count(h.env.killedIds.begin(), h.env.killedIds.end(), worker), 1)
        << "pass " << pass;
  }
  std::string log = h.MainLog();
  EXPECT_TRUE(Contains(log, "CheckDB: keine DB-Verbindung! Versuche: 5\n")) << log;
  EXPECT_EQ(CountOf(log, "CheckDB: *** Beende Jobs ***!"), 1u);
  EXPECT_EQ(std::count(h.env.killedIds.begin(), h.env.killedIds.end(), worker), 1);
  EXPECT_FALSE(h.env.ProcessAlive(worker));
  EXPECT_FALSE(Contains(log, h.database.password)) << "password in the log";
  EXPECT_FALSE(Contains(h.env.console, h.database.password)) << "password on the console";
  std::string fallback = h.dir.Read("veltronia_php/log/JOBCTLMSG.log");
  EXPECT_TRUE(Contains(fallback, "Datenbankverbindung unterbrochen => Jobs werden beendet!"))
      << fallback;

  ASSERT_TRUE(cluster.Start()) << cluster.error();
  h.DropConnection();
  ASSERT_TRUE(h.controller->RunPass());
  EXPECT_TRUE(h.controller->connectionGood());
  EXPECT_EQ(h.controller->failedChecks(), 0);
  // The messages of the outage reached the table, the file is gone, and the
  // job, whose process the controller ended, reads as ended by it ("99").
  EXPECT_EQ(h.Count("select count(*) from KVSYSTEM.KVR200MSG where MSGTXT like "
                    "'%Datenbankverbindung unterbrochen%'"),
            1);
  EXPECT_EQ(h.Count("select count(*) from KVSYSTEM.KVR200MSG where MSGTXT like "
                    "'%Datenbankverbindung wiederhergestellt%'"),
            1);
  EXPECT_TRUE(h.dir.Read("veltronia_php/log/JOBCTLMSG.log").empty());
  EXPECT_EQ(h.Field("JOBSTS", "WORKER"), "99");
  EXPECT_EQ(std::count(h.env.killedIds.begin(), h.env.killedIds.end(), worker), 1);
}

// `rm kvr.db*; kvrjobctl init`: the rows of the deleted file are nobody's
// queue. The controller ends its jobs as for a lost database, once, and then
// works the file at the path.
TEST(ControllerDatabaseLoss, ReplacedSqliteFileEndsJobsOnceThenWorksTheFileAtThePath) {
  ControllerHarness h;
  ASSERT_TRUE(h.StartUp());
  h.AddJob("01", "WORKER", "worker run");
  ASSERT_TRUE(h.controller->RunPass());
  ASSERT_EQ(h.Field("JOBSTS", "WORKER"), "01");
  Pid worker = std::stoi(h.Field("JOBNUM", "WORKER"));
  ASSERT_TRUE(h.controller->RunPass());

  h.DropConnection();
  TempDir other;
  TestDatabase fresh = MakeTestDatabase(Engine::Sqlite, "fresh", other.path());
  ASSERT_TRUE(fresh.ok) << fresh.error;
  const std::string file = h.database.service.substr(h.database.service.find(':') + 1);
  for (const char* suffix : {"-wal", "-shm"}) std::remove((file + suffix).c_str());
  const std::string freshFile = fresh.service.substr(fresh.service.find(':') + 1);
  ASSERT_EQ(std::rename(freshFile.c_str(), file.c_str()), 0);

  ASSERT_TRUE(h.controller->RunPass());
  EXPECT_EQ(h.controller->failedChecks(), 1);
  EXPECT_EQ(std::count(h.env.killedIds.begin(), h.env.killedIds.end(), worker), 1);
  h.AddJob("01", "NEWROW", "worker run");
  for (int pass = 0; pass < 3; ++pass) ASSERT_TRUE(h.controller->RunPass());
  EXPECT_TRUE(h.controller->connectionGood());
  EXPECT_EQ(h.Field("JOBSTS", "NEWROW"), "01");
  std::string log = h.MainLog();
  EXPECT_EQ(CountOf(log, "Datenbankdatei geloescht oder ersetzt!"), 1u) << log;
  EXPECT_EQ(CountOf(log, "CheckDB: *** Beende Jobs ***!"), 1u) << log;
  EXPECT_TRUE(Contains(log, "Neue Datenbankverbindung erstellt")) << log;
  EXPECT_EQ(std::count(h.env.killedIds.begin(), h.env.killedIds.end(), worker), 1);
}

}  // namespace
}  // namespace kvr::test

// A PostgreSQL server that goes away while a job runs: the controller ends
// its jobs once, keeps its messages in the fallback file, waits the outage
// out, and when the server is back delivers the messages and closes the row.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>

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

// A message that neither the table (away) nor the fallback file (its folder
// gone) took is held and reaches the table in a later pass. It is
// delivered after the service contact, whose wait must find no transaction
// open that keeps other programs from writing the database.
TEST(ControllerDatabaseLoss, HeldMessageReachesTheTableWithoutHoldingTheDatabase) {
  ControllerHarness h;
  ASSERT_TRUE(h.StartUp());
  h.Exec("ALTER TABLE \"KVSYSTEM.KVR200MSG\" RENAME TO \"KVSYSTEM.KVR200MSG_AWAY\"");
  std::filesystem::remove_all(h.dir.File("veltronia_php/log"));
  h.env.spawner = [](const std::string&) { return SpawnResult(); };
  h.AddJob("01", "MISSING", "missing run");
  ASSERT_TRUE(h.controller->RunPass());
  EXPECT_TRUE(Contains(h.MainLog(), "Nachricht (Msg) im Speicher gehalten!")) << h.MainLog();
  h.Exec("ALTER TABLE \"KVSYSTEM.KVR200MSG_AWAY\" RENAME TO \"KVSYSTEM.KVR200MSG\"");

  int written = 0;  // the first failure of another program's write
  h.env.service = [&h, &written](const std::string&) {
    int rc = h.db().Execute("update KVSYSTEM.KVR500JOB set JOBBEM='x' where JOBKE2='MISSING'");
    h.db().Commit();
    if (written == 0) written = rc;
    ServiceReply reply;
    reply.answered = true;
    reply.reply = "OK";
    return reply;
  };
  for (int pass = 0; pass < 2; ++pass) ASSERT_TRUE(h.controller->RunPass());
  EXPECT_EQ(written, 0) << "the database was held through the service contact";
  EXPECT_EQ(h.Count("select count(*) from KVSYSTEM.KVR200MSG where MSGTXT like "
                    "'%konnte nicht gestartet werden%'"),
            1);
  EXPECT_TRUE(Contains(h.MainLog(), "Gehaltene Nachrichten uebertragen: 1 in den Nachrichten-Pool"))
      << h.MainLog();
}

}  // namespace
}  // namespace kvr::test

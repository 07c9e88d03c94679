// Two real controllers on one queue: one works it, the other waits as
// standby; every due row starts exactly once; the holder killed with
// SIGKILL, the standby takes over and adopts the running job. The lock file
// beside a SQLite database removed or replaced lets no second one in.
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <ctime>
#include <fstream>
#include <set>
#include <sstream>

#include "e2e/program_dir.h"
#include "support/test_database.h"
#include "support/test_pg.h"

namespace kvr::test {
namespace {

using std::chrono::seconds;

constexpr int kRows = 200;
constexpr char kIni[] = "[JOBATR]\nMAXJOBS=250\nDBGLOG=1\n";
constexpr char kStandbyLine[] =
    "Warteschlange wird bereits von einem anderen Jobcontroller bearbeitet";
constexpr char kWorking[] = "Ende Initialisierung + Beginn Verarbeitung!";

bool Has(const std::string& text, const std::string& part) {
  return text.find(part) != std::string::npos;
}

struct Shared {
  std::string service, login, password;
};

// Gives the directory the credentials of the shared queue, without making
// its tables again.
void WriteCredentials(ProgramDir& dir, const Shared& q) {
  ASSERT_EQ(dir.Shell("./kvrjobctl credentials --file VELTRONIA.INI --service '" + q.service +
                      "' --schema KVSYSTEM --login '" + q.login + "' --password '" + q.password +
                      "' --db-system ORACLE >/dev/null"),
            0);
}

// A job that notes its name in the shared file and ends.
void InstallMarker(ProgramDir& dir, const std::string& marks) {
  std::ofstream(dir.File("jobmark")) << "#!/bin/sh\necho \"$1\" >> '" << marks << "'\n";
  ASSERT_EQ(dir.Shell("chmod +x jobmark"), 0);
  dir.InstallProgram("/bin/sleep", "jobsleep");
}

void AddDueRows(Connection& db, int rows = kRows) {
  for (int i = 0; i < rows; ++i) {
    char name[16];
    std::snprintf(name, sizeof name, "R%03d", i);
    std::string sql =
        "insert into KVSYSTEM.KVR500JOB (JOBDA1,JOBKE2,JOBURV,JOBCMD,JOBRTY,JOBSTV,JOBMRT) values "
        "('20240501000000','" +
        std::string(name) + "','ORG" + name + "','./jobmark " + name + "','01',0,0)";
    ASSERT_EQ(db.Execute(sql), 0) << db.LastMessage();
  }
  ASSERT_EQ(db.Commit(), 0);
}

std::string Column(Connection& db, const std::string& column, const std::string& ke2) {
  return QueryText(db,
                   "select " + column + " from KVSYSTEM.KVR500JOB where JOBKE2 = '" + ke2 + "'");
}

class QueueLockEndToEnd : public ::testing::TestWithParam<Engine> {};

TEST_P(QueueLockEndToEnd, TwoControllersStartEachRowOnceAndTheStandbyTakesOver) {
  KVR_REQUIRE_ENGINE(GetParam());
  TempDir shared;
  Shared q;
  std::unique_ptr<ProgramDir> a;
  if (GetParam() == Engine::Sqlite) {
    q = {"sqlite:" + shared.File("kvr.db"), "kvr", "demo"};
    a = std::make_unique<ProgramDir>(q.service, q.login, q.password, kIni);
  } else {
    KVR_PG_DATABASE(pg);
    q = {pg.service, pg.login, pg.password};
    a = std::make_unique<ProgramDir>(q.service, q.login, q.password, kIni);
  }
  ProgramDir b("", "", "", kIni);
  WriteCredentials(b, q);
  const std::string marks = shared.File("marks");
  InstallMarker(*a, marks);
  InstallMarker(b, marks);

  const int base = GetParam() == Engine::Sqlite ? 0 : 4;
  pid_t serviceA = a->StartService(SpareInstance(base));
  pid_t serviceB = b.StartService(SpareInstance(base + 1));
  usleep(300 * 1000);
  pid_t ctlA = a->StartController(std::to_string(SpareInstance(base)));
  pid_t ctlB = b.StartController(std::to_string(SpareInstance(base + 1)));
  ASSERT_TRUE(WaitFor([&] {
    return (Has(a->MainLog(), kWorking) && Has(b.MainLog(), kStandbyLine)) ||
           (Has(b.MainLog(), kWorking) && Has(a->MainLog(), kStandbyLine));
  })) << a->MainLog()
      << "\n----\n"
      << b.MainLog();
  const bool aHolds = Has(a->MainLog(), kWorking);
  ProgramDir& holderDir = aHolds ? *a : b;
  ProgramDir& standbyDir = aHolds ? b : *a;
  pid_t holder = aHolds ? ctlA : ctlB;
  pid_t standby = aHolds ? ctlB : ctlA;
  EXPECT_TRUE(Has(standbyDir.MainLog(), " " + std::to_string(holder) + ")"))
      << "the standby names the holder: " << standbyDir.MainLog();

  auto db = a->Connect();
  AddDueRows(*db);
  ASSERT_TRUE(WaitFor(
      [&] {
        return QueryCount(*db,
                          "select count(*) from KVSYSTEM.KVR500JOB where JOBKE2 like 'R%' "
                          "and JOBSTS = '98'") == kRows;
      },
      seconds(90)))
      << QueryCount(*db, "select count(*) from KVSYSTEM.KVR500JOB where JOBSTS = '98'");
  EXPECT_EQ(QueryCount(*db,
                       "select count(*) from KVSYSTEM.KVR500JOB where JOBKE2 like 'R%' "
                       "and JOBSTV <> 1"),
            0);
  std::ifstream in(marks);
  std::multiset<std::string> started;
  for (std::string line; std::getline(in, line);) started.insert(line);
  EXPECT_EQ(started.size(), static_cast<size_t>(kRows));
  EXPECT_EQ(std::set<std::string>(started.begin(), started.end()).size(),
            static_cast<size_t>(kRows));
  EXPECT_FALSE(Has(standbyDir.MainLog(), kWorking)) << standbyDir.MainLog();

  // A long job runs when the holder is killed; the standby takes over and
  // adopts it rather than starting it again.
  // Of today: the take-over's start-up clears run type 01 rows of last month.
  char today[32];
  std::time_t now = std::time(nullptr);
  std::strftime(today, sizeof today, "%Y%m%d%H%M%S", std::localtime(&now));
  ASSERT_EQ(db->Execute("insert into KVSYSTEM.KVR500JOB (JOBDA1,JOBKE2,JOBCMD,JOBRTY,JOBSTV,JOBMRT)"
                        " values ('" +
                        std::string(today) + "','LONG','./jobsleep 60','01',0,0)"),
            0);
  ASSERT_EQ(db->Commit(), 0);
  ASSERT_TRUE(WaitFor([&] {
    return Column(*db, "JOBSTS", "LONG") == "01" && Column(*db, "JOBNUM", "LONG") != "0";
  }));
  const std::string job = Column(*db, "JOBNUM", "LONG");
  kill(holder, SIGKILL);
  WaitExit(holder);
  auto killedAt = std::chrono::steady_clock::now();
  ASSERT_TRUE(WaitFor([&] { return Has(standbyDir.MainLog(), kWorking); }, seconds(15)))
      << standbyDir.MainLog();
  auto took = std::chrono::steady_clock::now() - killedAt;
  EXPECT_LT(took, seconds(8));
  EXPECT_TRUE(Has(standbyDir.MainLog(), "Sperre der Warteschlange erhalten"));
  usleep(2500 * 1000);  // passes of the new holder over the running job
  EXPECT_EQ(Column(*db, "JOBSTS", "LONG"), "01");
  EXPECT_EQ(Column(*db, "JOBNUM", "LONG"), job);
  EXPECT_EQ(Column(*db, "JOBSTV", "LONG"), "1");
  ASSERT_FALSE(job.empty());
  kill(std::stoi(job), SIGKILL);
  EXPECT_TRUE(WaitFor([&] { return Column(*db, "JOBSTS", "LONG") == "98"; }))
      << "the adopted job's end is seen";
  EXPECT_FALSE(Has(holderDir.MainLog(), kStandbyLine));

  kill(serviceA, SIGTERM);
  kill(serviceB, SIGTERM);
  EXPECT_EQ(WaitExit(standby, seconds(40)), 0);
  WaitExit(serviceA, seconds(40));
  WaitExit(serviceB, seconds(40));
}

// The lock file removed before the second controller starts, then replaced
// by another file while both run: the second stays standby, and every row
// runs once.
TEST(QueueLockEndToEndSqlite, RemovedOrReplacedLockFileLetsNoSecondControllerIn) {
  TempDir shared;
  const Shared q{"sqlite:" + shared.File("kvr.db"), "kvr", "demo"};
  const std::string lockFile = shared.File("kvr.db.lock");
  ProgramDir a(q.service, q.login, q.password, kIni);
  ProgramDir b("", "", "", kIni);
  WriteCredentials(b, q);
  const std::string marks = shared.File("marks");
  InstallMarker(a, marks);
  InstallMarker(b, marks);
  const int ia = UniqueInstance(0), ib = SpareInstance(2);
  pid_t serviceA = a.StartService(ia);
  pid_t serviceB = b.StartService(ib);
  pid_t ctlA = a.StartController(std::to_string(ia));
  ASSERT_TRUE(WaitFor([&] { return Has(a.MainLog(), kWorking); })) << a.MainLog();
  ASSERT_EQ(unlink(lockFile.c_str()), 0);
  pid_t ctlB = b.StartController(std::to_string(ib));
  ASSERT_TRUE(WaitFor([&] { return Has(b.MainLog(), kStandbyLine); })) << b.MainLog();
  unlink(lockFile.c_str());
  std::ofstream(lockFile) << "someone else\n";

  constexpr int kFew = 40;
  auto db = a.Connect();
  AddDueRows(*db, kFew);
  const std::string done =
      "select count(*) from KVSYSTEM.KVR500JOB where JOBKE2 like 'R%' and JOBSTS = '98'";
  ASSERT_TRUE(WaitFor([&] { return QueryCount(*db, done) == kFew; }, seconds(60)))
      << QueryCount(*db, done);
  usleep(3000 * 1000);  // the standby's tries of the lock go on meanwhile
  EXPECT_EQ(QueryCount(*db,
                       "select count(*) from KVSYSTEM.KVR500JOB where JOBKE2 like 'R%' "
                       "and JOBSTV <> 1"),
            0);
  std::ifstream in(marks);
  std::multiset<std::string> started;
  for (std::string line; std::getline(in, line);) started.insert(line);
  EXPECT_EQ(started.size(), static_cast<size_t>(kFew));
  EXPECT_EQ(std::set<std::string>(started.begin(), started.end()).size(),
            static_cast<size_t>(kFew));
  EXPECT_FALSE(Has(b.MainLog(), kWorking)) << b.MainLog();
  EXPECT_FALSE(Has(a.MainLog(), kStandbyLine)) << a.MainLog();

  kill(serviceA, SIGTERM);
  kill(serviceB, SIGTERM);
  EXPECT_EQ(WaitExit(ctlA, seconds(40)), 0);
  EXPECT_EQ(WaitExit(ctlB, seconds(40)), 0);
  WaitExit(serviceA, seconds(40));
  WaitExit(serviceB, seconds(40));
}

INSTANTIATE_TEST_SUITE_P(Engines, QueueLockEndToEnd,
                         ::testing::Values(Engine::Sqlite, Engine::Postgres),
                         EngineParamName<::testing::TestParamInfo<Engine>>);

}  // namespace
}  // namespace kvr::test

// Job processes as Linux runs them, on both engines, with the real controller
// in instance mode under the real kvrjobsvc: scripts and exec chains stay
// their jobs and are ended for their time, a second job of the origin
// waits; stopping the service ends every job with its escaped descendants;
// a row naming a process that is not its job never gets it signalled; a
// restarted controller takes over the marked processes a crash left behind
// instead of starting their rows again; a database held busy by another
// connection, across a crash or for half a minute, never runs a row twice.
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <ctime>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "e2e/program_dir.h"
#include "support/test_database.h"
#include "support/test_pg.h"

namespace kvr::test {
namespace {

using std::chrono::seconds;

constexpr char kIni[] = "[JOBATR]\nMAXJOBS=50\nDBGLOG=1\n";

// A program directory on the engine (null when the engine is not set up)
// and the queue its jobs' mark names.
// *client: the command line tool that runs SQL read from its input on it.
std::unique_ptr<ProgramDir> MakeDir(Engine engine, std::string* queue, std::string* client) {
  if (engine == Engine::Sqlite) {
    auto dir = std::make_unique<ProgramDir>("sqlite:kvr.db", "kvr", "demo", kIni);
    *queue = "sqlite:" + dir->dir() + "/kvr.db";
    *client = "sqlite3 kvr.db";
    return dir;
  }
  PgDatabase pg = CreatePgDatabaseForCurrentTest();
  if (!pg.ok) return nullptr;
  *queue = pg.service;
  PgSettings s = ReadPgSettings();
  *client = "PGPASSWORD='" + pg.password + "' psql -q -X -h '" +
            (s.host.empty() ? s.socketDir : s.host) + "' -p '" + s.port + "' -U '" + pg.login +
            "' -d '" + pg.name + "'";
  return std::make_unique<ProgramDir>(pg.service, pg.login, pg.password, kIni);
}

std::string TrimmedLine(const std::string& text) { return text.substr(0, text.find('\n')); }

class JobProcesses : public ::testing::TestWithParam<Engine> {
 protected:
  void SetUp() override {
    KVR_REQUIRE_ENGINE(GetParam());
    dir_ = MakeDir(GetParam(), &queue_, &client_);
    if (!dir_) {
      if (PgRequired()) FAIL() << "PostgreSQL database not made";
      GTEST_SKIP() << "PostgreSQL database not made";
    }
    db_ = dir_->Connect();
    // Of today: the start-up clears run type 01 rows of last month.
    char today[32];
    std::time_t now = std::time(nullptr);
    std::strftime(today, sizeof today, "%Y%m%d%H%M%S", std::localtime(&now));
    da1_ = today;
  }
  void TearDown() override {
    for (pid_t pid : strays_) kill(pid, SIGKILL);
  }

  // A row as the product's other programs write it (texts Windows-1252).
  void Insert(const std::string& ke2, const std::string& cmd, int mrt, const std::string& urv = "",
              const std::string& sts = "", const std::string& num = "",
              const std::string& sda = "") {
    auto text = [](const std::string& v) {
      return v.empty() ? std::string("NULL") : "'" + v + "'";
    };
    std::string sql =
        "insert into KVSYSTEM.KVR500JOB (JOBDA1,JOBKE2,JOBURV,JOBCMD,JOBRTY,JOBSTS,JOBNUM,JOBSDA,"
        "JOBMRT,JOBSTV) values ('" +
        da1_ + "','" + ke2 + "'," + text(urv) + "," + text(cmd) + ",'01'," + text(sts) + "," +
        text(num) + "," + text(sda) + "," + std::to_string(mrt) + ",0)";
    ASSERT_EQ(db_->Execute(sql), 0) << db_->LastMessage();
    db_->Commit();
  }
  std::string Field(const std::string& column, const std::string& ke2) {
    return QueryText(*db_,
                     "select " + column + " from KVSYSTEM.KVR500JOB where JOBKE2 = '" + ke2 + "'");
  }
  // Starts a process of the test (not a job of the controller) in the
  // program directory; its id.
  pid_t Stray(const std::string& command) {
    EXPECT_EQ(dir_->Shell("{ (" + command + ") >/dev/null 2>&1 & echo $! >stray.pid; }"), 0);
    pid_t pid = std::stoi(dir_->Read("stray.pid"));
    strays_.push_back(pid);
    return pid;
  }
  // The environment a job of this controller's instance carries.
  std::string MarkVars(int instance, const std::string& ke2, const std::string& sda) {
    return "KVR_JOB_QUEUE='" + queue_ + "' KVR_JOB_INSTANCE=" + std::to_string(instance) +
           " KVR_JOBDA1=" + da1_ + " KVR_JOBKE2=" + ke2 + " KVR_JOBSDA=" + sda;
  }
  bool Sqlite() const { return GetParam() == Engine::Sqlite; }
  // Runs SQL on the database through the engine's command line tool.
  int RunSql(const std::string& sql) {
    std::ofstream(dir_->File("run.sql")) << sql << "\n";
    return dir_->Shell(client_ + (Sqlite() ? " -bail" : " -v ON_ERROR_STOP=1") +
                       " <run.sql >/dev/null 2>&1");
  }
  // Another connection takes the queue table's write lock (and runs
  // `inside` in that transaction) and holds it until ReleaseBusy: the
  // controller's writes wait and fail meanwhile, its reads go on.
  void HoldBusy(const std::string& inside = "") {
    std::filesystem::remove(dir_->File("held"));
    std::filesystem::remove(dir_->File("release"));
    std::ofstream(dir_->File("hold.sql"))
        << (Sqlite() ? ".timeout 30000\nBEGIN IMMEDIATE;\n"
                     : "begin;\nlock table kvsystem.kvr500job in exclusive mode;\n")
        << inside << "\n"
        << (Sqlite() ? ".system touch held\n" : "\\! touch held\n");
    holder_ = Stray(
        "{ cat hold.sql; while [ ! -e release ]; do sleep 0.1; done; echo 'commit;'; } "
        "| " +
        client_);
    ASSERT_TRUE(WaitFor([&] { return std::filesystem::exists(dir_->File("held")); }));
  }
  void ReleaseBusy() {
    std::ofstream(dir_->File("release")).flush();
    EXPECT_TRUE(WaitFor([&] { return !ProcessRunning(holder_); }, seconds(30)));
  }
  // The lines a job wrote into its runs file: one per start.
  int Runs(const std::string& ke2) {
    std::string text = dir_->Read("runs." + ke2);
    return static_cast<int>(std::count(text.begin(), text.end(), '\n'));
  }
  void StopService(pid_t service) {
    kill(service, SIGTERM);
    EXPECT_EQ(WaitExit(service, seconds(70)), 0);
  }

  std::unique_ptr<ProgramDir> dir_;
  std::string queue_;
  std::string client_;
  pid_t holder_ = 0;
  std::string da1_;
  std::unique_ptr<Connection> db_;
  std::vector<pid_t> strays_;
};

// Every one of these is "01" while it runs, whatever it execs into, "99"
// after its time with its process gone (and the child that went into a
// session of its own), and a second job of its origin does not start
// beside it.
TEST_P(JobProcesses, ExecChainsStayTheirJobsAndAreEndedForTheirTime) {
  const std::string longName(70, 'l');
  dir_->InstallProgram("/bin/sleep", longName);
  ASSERT_EQ(dir_->Shell("printf '#!/bin/sh\\nexec sleep 30\\n' >execsleep.sh && chmod +x "
                        "execsleep.sh && printf '#!/usr/bin/env python3\\nimport time\\n"
                        "time.sleep(30)\\n' >pysleep.py && chmod +x pysleep.py && "
                        "mkdir -p 'Pr\xC3\xBC"
                        "fung' && cp /bin/sleep 'Pr\xC3\xBC"
                        "fung/schl\xC3\xA4"
                        "fer'"),
            0);
  struct Case {
    std::string ke2, cmd;
  };
  const Case cases[] = {{"ENV", "env sleep 30"},
                        {"NICE", "nice sleep 30"},
                        {"SCRIPT", "./execsleep.sh"},
                        {"PYTHON", "./pysleep.py"},
                        {"LONGNAME", "./" + longName + " 30"},
                        {"UMLAUT",
                         "./Pr\xFC"
                         "fung/schl\xE4"
                         "fer 30"},
                        // a child in a session of its own without the mark
                        {"DAEMON",
                         "/bin/sh -c \"setsid env -i sleep 40 & echo $! >daemon.pid; exec sleep "
                         "30\""}};
  for (const Case& c : cases) Insert(c.ke2, c.cmd, 8, c.ke2);
  Insert("SECOND", "sleep 1", 0, "ENV");  // the origin of ENV
  int instance = SpareInstance(5);
  pid_t service = dir_->StartServiceWithController(instance);

  std::vector<pid_t> pids;
  for (const Case& c : cases) {
    EXPECT_TRUE(WaitFor([&] {
      return Field("JOBSTS", c.ke2) == "01" && Field("JOBNUM", c.ke2) != "0";
    })) << c.ke2
        << "\n"
        << dir_->MainLog();
    pids.push_back(std::stoi("0" + Field("JOBNUM", c.ke2)));
  }
  EXPECT_EQ(Field("JOBNAM", "LONGNAME"), std::string(64, 'l'));
  sleep(3);  // more passes: none of them is taken for gone
  bool secondBeside = false;
  for (const Case& c : cases) {
    EXPECT_EQ(Field("JOBSTS", c.ke2), "01") << c.ke2;
    secondBeside = secondBeside || (c.ke2 == "ENV" && Field("JOBSTS", "SECOND") == "01");
  }
  for (size_t i = 0; i < std::size(cases); ++i) {
    EXPECT_TRUE(WaitFor([&] { return Field("JOBSTS", cases[i].ke2) == "99"; })) << cases[i].ke2;
    EXPECT_TRUE(WaitFor([&] { return !ProcessRunning(pids[i]); })) << cases[i].ke2;
  }
  EXPECT_FALSE(secondBeside);
  pid_t daemon = std::stoi("0" + TrimmedLine(dir_->Read("daemon.pid")));
  EXPECT_TRUE(daemon > 1 && WaitFor([&] { return !ProcessRunning(daemon); })) << daemon;
  EXPECT_TRUE(WaitFor([&] { return Field("JOBSTS", "SECOND") == "98"; }));
  StopService(service);
}

// Stopping the service ends every job of the instance, /usr/bin programs
// and the grandchild a job sent into its own session included, and leaves
// no row "01". A row naming a process of someone else closes as ended with
// its line; that process lives on.
TEST_P(JobProcesses, StopEndsEveryJobTreeAndNeverAForeignProcess) {
  const int jobs = 30;
  for (int i = 0; i < jobs; ++i) Insert("S" + std::to_string(i), "/usr/bin/sleep 300", 0);
  Insert("TREE", "/bin/sh -c \"setsid sleep 301 & echo $! >grandchild.pid; exec sleep 302\"", 0);
  pid_t foreign = Stray("exec sleep 303");
  Insert("FOREIGN", "sleep 1", 2, "", "01", std::to_string(foreign), "20260101000000");
  int instance = SpareInstance(6);
  pid_t service = dir_->StartServiceWithController(instance);
  auto running = [&] {
    return QueryCount(
        *db_, "select count(*) from KVSYSTEM.KVR500JOB where JOBRTY = '01' and JOBSTS = '01'");
  };
  EXPECT_TRUE(WaitFor([&] { return running() == jobs + 1 && Field("JOBSTS", "FOREIGN") == "98"; },
                      seconds(60)))
      << dir_->MainLog();
  EXPECT_NE(
      dir_->MainLog().find("FOREIGN: process " + std::to_string(foreign) + " is not this job's"),
      std::string::npos);
  EXPECT_TRUE(WaitFor([&] { return !dir_->Read("grandchild.pid").empty(); }));
  pid_t grandchild = std::stoi(dir_->Read("grandchild.pid"));
  std::vector<pid_t> pids{grandchild};
  for (int i = 0; i < jobs; ++i)
    pids.push_back(std::stoi(Field("JOBNUM", "S" + std::to_string(i))));

  StopService(service);
  EXPECT_EQ(running(), 0);
  for (pid_t pid : pids) EXPECT_TRUE(WaitFor([&] { return !ProcessRunning(pid); })) << pid;
  EXPECT_TRUE(ProcessRunning(foreign));
}

// What a controller killed in the middle of a start leaves behind, and what
// its successor makes of it: a claimed or waiting row whose marked process
// runs is taken over (one run, no second process); a claimed row without
// any process is closed with its line.
TEST_P(JobProcesses, RestartTakesOverWhatACrashLeftRunning) {
  int instance = SpareInstance(7);
  const std::string sda = "20260101120000";
  Insert("CLAIMED", "sleep 300", 0, "", "01", "0", sda);
  Insert("WAITING", "sleep 300", 0, "", "", "", "");
  Insert("NOPROC", "sleep 300", 0, "", "01", "0", sda);
  pid_t claimed = Stray(MarkVars(instance, "CLAIMED", sda) + " exec sleep 300");
  pid_t waiting = Stray(MarkVars(instance, "WAITING", sda) + " exec sleep 300");
  pid_t service = dir_->StartServiceWithController(instance);
  EXPECT_TRUE(WaitFor([&] {
    return Field("JOBNUM", "CLAIMED") == std::to_string(claimed) &&
           Field("JOBNUM", "WAITING") == std::to_string(waiting) &&
           Field("JOBSTS", "NOPROC") == "98";
  })) << dir_->MainLog();
  sleep(2);  // passes go by: nothing is started a second time
  EXPECT_EQ(Field("JOBSTS", "CLAIMED"), "01");
  EXPECT_EQ(Field("JOBNUM", "CLAIMED"), std::to_string(claimed));
  EXPECT_EQ(Field("JOBSTS", "WAITING"), "01");
  EXPECT_EQ(Field("JOBNUM", "WAITING"), std::to_string(waiting));
  EXPECT_EQ(Field("JOBSTS", "NOPROC"), "98");
  std::string log = dir_->MainLog();
  EXPECT_NE(log.find("CLAIMED: process " + std::to_string(claimed) + " of the start at " + sda +
                     " taken over after restart"),
            std::string::npos)
      << log;
  EXPECT_NE(log.find("NOPROC: claimed for its start at " + sda), std::string::npos) << log;
  EXPECT_EQ(log.find("Start PGM: sleep 300"), std::string::npos) << log;
  StopService(service);
  EXPECT_TRUE(WaitFor([&] { return !ProcessRunning(claimed) && !ProcessRunning(waiting); }));
}

// The controller is killed while a started job's row still says "claimed"
// (its process id could not be written: a trigger refuses it, which holds
// that window open) and while another connection holds the database busy.
// Restarted once the database answers, it takes the job's process over:
// the row runs once, "01" with the process, nothing started a second time.
TEST_P(JobProcesses, KilledInTheStartWindowWithTheDatabaseBusyRunsOnceAndIsAdopted) {
  ASSERT_EQ(RunSql(Sqlite() ? "CREATE TRIGGER hold_id BEFORE UPDATE OF JOBNUM ON "
                              "\"KVSYSTEM.KVR500JOB\" WHEN old.JOBNUM='0' AND new.JOBNUM<>'0' "
                              "BEGIN SELECT RAISE(ABORT,'id refused'); END;"
                            : "create function kvsystem.hold_id() returns trigger language plpgsql "
                              "as $$ begin raise exception 'id refused'; end $$;\n"
                              "create trigger hold_id before update on kvsystem.kvr500job for "
                              "each row when (old.jobnum = '0' and new.jobnum <> '0') execute "
                              "function kvsystem.hold_id();"),
            0);
  Insert("WINDOW", "/bin/sh -c \"echo $$ >>runs.WINDOW; exec sleep 300\"", 0);
  int instance = SpareInstance(8);
  pid_t service = dir_->StartService(instance);
  pid_t controller = dir_->StartController(std::to_string(instance));
  ASSERT_TRUE(WaitFor([&] { return Runs("WINDOW") == 1; }, seconds(60))) << dir_->MainLog();
  pid_t job = std::stoi(dir_->Read("runs.WINDOW"));
  EXPECT_EQ(Field("JOBSTS", "WINDOW"), "01");
  EXPECT_EQ(Field("JOBNUM", "WINDOW"), "0");

  HoldBusy(Sqlite() ? "DROP TRIGGER hold_id;" : "drop trigger hold_id on kvsystem.kvr500job;");
  kill(controller, SIGKILL);
  EXPECT_EQ(WaitExit(controller, seconds(20)), 128 + SIGKILL);
  sleep(2);  // the database stays busy a while longer
  ReleaseBusy();
  EXPECT_TRUE(ProcessRunning(job));

  controller = dir_->StartController(std::to_string(instance));
  EXPECT_TRUE(
      WaitFor([&] { return Field("JOBNUM", "WINDOW") == std::to_string(job); }, seconds(60)))
      << dir_->MainLog();
  sleep(2);  // passes go by: nothing is started a second time
  EXPECT_EQ(Field("JOBSTS", "WINDOW"), "01");
  EXPECT_EQ(Runs("WINDOW"), 1);
  EXPECT_TRUE(ProcessRunning(job));
  EXPECT_NE(dir_->MainLog().find("WINDOW: process " + std::to_string(job) + " of the start at "),
            std::string::npos);
  kill(controller, SIGTERM);
  EXPECT_EQ(WaitExit(controller, seconds(70)), 0);
  EXPECT_EQ(Field("JOBSTS", "WINDOW"), "99");
  EXPECT_TRUE(WaitFor([&] { return !ProcessRunning(job); }));
  kill(service, SIGTERM);
  WaitExit(service, seconds(20));
}

// The controller is killed while a job ended for its time still has its
// grace period to go (it ignores SIGTERM): the row says "99" already, with
// its one message, and the restarted controller ends the job instead of
// taking it back as "01".
TEST_P(JobProcesses, OverrunJobOutlivingAKilledControllerIsEndedByItsSuccessor) {
  // (quotes doubled in the statement: the shell's trap '' ignores SIGTERM, past exec too)
  Insert("STUBBORN", "/bin/sh -c \"trap '''' TERM; echo $$ >>runs.STUBBORN; exec sleep 300\"", 2);
  int instance = UniqueInstance(0);
  pid_t service = dir_->StartService(instance);
  pid_t controller = dir_->StartController(std::to_string(instance));
  ASSERT_TRUE(WaitFor([&] { return Field("JOBSTS", "STUBBORN") == "99"; }, seconds(60)))
      << dir_->MainLog();
  kill(controller, SIGKILL);
  EXPECT_EQ(WaitExit(controller, seconds(20)), 128 + SIGKILL);
  pid_t job = std::stoi("0" + TrimmedLine(dir_->Read("runs.STUBBORN")));
  ASSERT_GT(job, 1) << dir_->MainLog();
  EXPECT_EQ(Field("JOBNUM", "STUBBORN"), std::to_string(job));
  const std::string messages =
      "select count(*) from KVSYSTEM.KVR200MSG where MSGTXT like '%Laufzeit%abgebrochen%'";
  EXPECT_EQ(QueryCount(*db_, messages), 1);
  if (!ProcessRunning(job)) {  // its SIGKILL came before the controller's (a slow machine)
    kill(service, SIGTERM);
    WaitExit(service, seconds(20));
    GTEST_SKIP() << "the job's grace period ran out before the controller was killed";
  }

  controller = dir_->StartController(std::to_string(instance));
  EXPECT_TRUE(WaitFor([&] { return !ProcessRunning(job); }, seconds(60))) << dir_->MainLog();
  sleep(2);  // passes go by: the row is not taken back
  EXPECT_EQ(Field("JOBSTS", "STUBBORN"), "99");
  EXPECT_EQ(QueryCount(*db_, messages), 1);
  EXPECT_EQ(Runs("STUBBORN"), 1);
  EXPECT_NE(dir_->MainLog().find("STUBBORN: process " + std::to_string(job) + " of the start at "),
            std::string::npos);
  kill(controller, SIGTERM);
  EXPECT_EQ(WaitExit(controller, seconds(70)), 0);
  kill(service, SIGTERM);
  WaitExit(service, seconds(20));
}

// A due row meets a database another connection holds busy for 30 s: no
// claim is taken meanwhile, so no process; once the database answers the
// row runs, once.
TEST_P(JobProcesses, DatabaseBusyForHalfAMinuteRunsADueJobOnce) {
  int instance = SpareInstance(9);
  pid_t service = dir_->StartService(instance);
  pid_t controller = dir_->StartController(std::to_string(instance));
  ASSERT_TRUE(WaitFor(
      [&] {
        return dir_->MainLog().find("Ende Initialisierung + Beginn Verarbeitung!") !=
               std::string::npos;
      },
      seconds(60)));
  kill(controller, SIGSTOP);  // the row is due before the controller can see it
  Insert("BUSY", "/bin/sh -c \"echo $$ >>runs.BUSY; exec sleep 300\"", 0);
  HoldBusy();
  kill(controller, SIGCONT);
  sleep(30);
  EXPECT_EQ(Runs("BUSY"), 0);
  // The start was tried meanwhile, or (PostgreSQL, where the selection
  // takes the row's lock) a selection met the locked table and timed out.
  const std::string log = dir_->MainLog();
  EXPECT_TRUE(log.find("Fehler Update Kvr500Job RC") != std::string::npos ||
              log.find("ORA-00054") != std::string::npos ||
              log.find("SQLCode: -54") != std::string::npos)
      << "the start was tried meanwhile\n"
      << log;
  ReleaseBusy();
  EXPECT_TRUE(
      WaitFor([&] { return Runs("BUSY") == 1 && Field("JOBNUM", "BUSY").size() > 1; }, seconds(60)))
      << dir_->MainLog();
  sleep(2);
  EXPECT_EQ(Runs("BUSY"), 1);
  EXPECT_EQ(Field("JOBSTS", "BUSY"), "01");
  EXPECT_EQ(Field("JOBNUM", "BUSY"), TrimmedLine(dir_->Read("runs.BUSY")));
  kill(controller, SIGTERM);
  EXPECT_EQ(WaitExit(controller, seconds(70)), 0);
  kill(service, SIGTERM);
  WaitExit(service, seconds(20));
}

INSTANTIATE_TEST_SUITE_P(Engines, JobProcesses, ::testing::Values(Engine::Sqlite, Engine::Postgres),
                         EngineParamName<::testing::TestParamInfo<Engine>>);

}  // namespace
}  // namespace kvr::test

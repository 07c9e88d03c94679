// Job processes as Linux runs them, on both engines, with the real controller
// in instance mode under the real kvrjobsvc: scripts and exec chains stay
// their jobs and are ended for their time, a second job of the origin
// waits; stopping the service ends every job with its escaped descendants;
// a row naming a process that is not its job never gets it signalled; a
// restarted controller takes over the marked processes a crash left behind
// instead of starting their rows again.
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <ctime>
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
std::unique_ptr<ProgramDir> MakeDir(Engine engine, std::string* queue) {
  if (engine == Engine::Sqlite) {
    auto dir = std::make_unique<ProgramDir>("sqlite:kvr.db", "kvr", "demo", kIni);
    *queue = "sqlite:" + dir->dir() + "/kvr.db";
    return dir;
  }
  PgDatabase pg = CreatePgDatabaseForCurrentTest();
  if (!pg.ok) return nullptr;
  *queue = pg.service;
  return std::make_unique<ProgramDir>(pg.service, pg.login, pg.password, kIni);
}

class JobProcesses : public ::testing::TestWithParam<Engine> {
 protected:
  void SetUp() override {
    KVR_REQUIRE_ENGINE(GetParam());
    dir_ = MakeDir(GetParam(), &queue_);
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
  void StopService(pid_t service) {
    kill(service, SIGTERM);
    EXPECT_EQ(WaitExit(service, seconds(70)), 0);
  }

  std::unique_ptr<ProgramDir> dir_;
  std::string queue_;
  std::string da1_;
  std::unique_ptr<Connection> db_;
  std::vector<pid_t> strays_;
};

// Every one of these is "01" while it runs, whatever it execs into, "99"
// after its time with its process gone, and a second job of its origin
// does not start beside it.
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
                         "fer 30"}};
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

INSTANTIATE_TEST_SUITE_P(Engines, JobProcesses, ::testing::Values(Engine::Sqlite, Engine::Postgres),
                         EngineParamName<::testing::TestParamInfo<Engine>>);

}  // namespace
}  // namespace kvr::test

// The controller as a real program: copied into a program directory, watched
// by the real kvrjobsvc, working an SQLite queue with real job processes.
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include "e2e/program_dir.h"

namespace kvr::test {
namespace {

using std::chrono::seconds;

constexpr char kSqlite[] = "sqlite:kvr.db";

std::string JobField(Connection& db, const std::string& column, const std::string& name) {
  return QueryText(db,
                   "select " + column + " from KVSYSTEM.KVR500JOB where JOBKE2 = '" + name + "'");
}

void AddJob(ProgramDir& dir, const std::string& name, const std::string& command,
            const std::string& extra = "") {
  ASSERT_EQ(dir.Shell("./kvrjobctl add --name '" + name + "' --command '" + command + "' " + extra +
                      " >/dev/null"),
            0);
}

// Help and version print and start nothing: no log, no contact, exit 0.
TEST(ControllerEndToEnd, HelpAndVersionStartNothing) {
  ProgramDir dir("", "", "", "");
  const std::pair<const char*, const char*> cases[] = {
      {"--help", "usage: KVRJOBSTR"}, {"-h", "usage: KVRJOBSTR"}, {"--version", "KVRJOBSTR 1."}};
  for (auto [args, text] : cases) {
    EXPECT_EQ(dir.Shell(std::string("./KVRJOBSTR ") + args + " >out.txt 2>&1"), 0) << args;
    EXPECT_NE(dir.Read("out.txt").find(text), std::string::npos) << args << dir.Read("out.txt");
    EXPECT_EQ(dir.MainLog(), "") << args;
  }
  for (const char* prog : {"kvrjobctl", "kvrjobsvc"}) {
    std::string path = prog == std::string("kvrjobsvc") ? std::string(KVR_BIN_DIR) + "/kvrjobsvc"
                                                        : std::string("./kvrjobctl");
    EXPECT_EQ(dir.Shell(path + " --version >out.txt 2>&1"), 0) << prog;
    EXPECT_EQ(dir.Read("out.txt").rfind(std::string(prog) + " 1.", 0), 0u) << dir.Read("out.txt");
  }
}

TEST(ControllerEndToEnd, WithoutServiceWritesBannerLogsFailedContactAndExitsZero) {
  ProgramDir dir("", "", "", "");
  pid_t controller = dir.StartController("");
  EXPECT_EQ(WaitExit(controller), 0);
  std::string log = dir.MainLog();
  EXPECT_NE(log.find("** Jobcontroller KVRJOBSTR wurde gestartet **"), std::string::npos) << log;
  EXPECT_NE(log.find("Service antwortet nicht! ErrCode: "), std::string::npos) << log;
}

TEST(ControllerEndToEnd, InstanceRunsItsPassesAndEndsWhenTheServiceStops) {
  ProgramDir dir(kSqlite, "kvr", "demo");
  int instance = UniqueInstance(1);
  pid_t service = dir.StartService(instance);
  pid_t controller = dir.StartController(std::to_string(instance));
  auto db = dir.Connect();
  // The status row is written by every pass.
  EXPECT_TRUE(WaitFor([&] {
    return QueryCount(*db, "select count(*) from KVSYSTEM.KVR500JOB where JOBRTY = '99'") == 1;
  }));
  std::string log = dir.MainLog();
  EXPECT_NE(
      log.find("** Clusterdienst: JOBCONTROLLER " + std::to_string(instance) + ". gestartet **"),
      std::string::npos)
      << log;
  EXPECT_NE(log.find("Ende Initialisierung + Beginn Verarbeitung!"), std::string::npos) << log;
  EXPECT_TRUE(ProcessRunning(controller));
  EXPECT_TRUE(WaitFor([&] {
    return dir.Read("KVRJOBDBG.LOG").find("kvrjobctl") != std::string::npos ||
           dir.Read("KVRJOBDBG.LOG").find("Service antwortet!") != std::string::npos;
  }));

  kill(service, SIGTERM);
  EXPECT_EQ(WaitExit(service, seconds(40)), 0);
  EXPECT_EQ(WaitExit(controller, seconds(10)), 0);
  log = dir.MainLog();
  EXPECT_NE(log.find("Alle verwalteten Jobs beenden!"), std::string::npos) << log;
  EXPECT_NE(log.find("Flag-Datei NLF wurde geloescht."), std::string::npos) << log;
  EXPECT_EQ(QueryCount(*db,
                       "select count(*) from KVSYSTEM.KVR200MSG where MSGTXT like "
                       "'%Der Jobcontroller wurde beendet!%'"),
            1);
}

TEST(ControllerEndToEnd, WorksARunType01JobFromStartToEnd) {
  ProgramDir dir(kSqlite, "kvr", "demo");
  dir.InstallProgram("/bin/sleep", "JobSleep");
  int instance = UniqueInstance(2);
  pid_t service = dir.StartServiceWithController(instance);
  AddJob(dir, "SHORT", "./JobSleep 2", "--origin DEMO");
  auto db = dir.Connect();
  // "01" with JOBNUM "0" is the claim before the process exists.
  EXPECT_TRUE(WaitFor([&] {
    return JobField(*db, "JOBSTS", "SHORT") == "01" && JobField(*db, "JOBNUM", "SHORT") != "0";
  }));
  EXPECT_EQ(JobField(*db, "JOBNAM", "SHORT"), "jobsleep");
  std::string pid = JobField(*db, "JOBNUM", "SHORT");
  EXPECT_FALSE(pid.empty());
  EXPECT_EQ(JobField(*db, "JOBSDA", "SHORT").size(), 14u);
  EXPECT_TRUE(WaitFor([&] { return JobField(*db, "JOBSTS", "SHORT") == "98"; }));
  EXPECT_EQ(JobField(*db, "JOBEDA", "SHORT").size(), 14u);
  kill(service, SIGTERM);
  EXPECT_EQ(WaitExit(service, seconds(40)), 0);
}

TEST(ControllerEndToEnd, OverrunFailedStartAndOneOriginAtATime) {
  ProgramDir dir(kSqlite, "kvr", "demo");
  dir.InstallProgram("/bin/sleep", "jobsleep");
  int instance = UniqueInstance(3);
  pid_t service = dir.StartServiceWithController(instance);
  AddJob(dir, "LONG", "./jobsleep 60", "--max-runtime 2");
  AddJob(dir, "MISSING", "./no-such-program");
  AddJob(dir, "ORIGIN-A", "./jobsleep 3", "--origin SAME");
  AddJob(dir, "ORIGIN-B", "./jobsleep 3", "--origin SAME");
  auto db = dir.Connect();
  EXPECT_TRUE(WaitFor([&] { return JobField(*db, "JOBSTS", "MISSING") == "90"; }));
  EXPECT_EQ(JobField(*db, "JOBNUM", "MISSING"), "");
  EXPECT_TRUE(WaitFor([&] { return JobField(*db, "JOBSTS", "LONG") == "99"; }));
  EXPECT_TRUE(WaitFor([&] {
    return QueryCount(*db,
                      "select count(*) from KVSYSTEM.KVR200MSG where MSGTXT like "
                      "'%no-such-program konnte nicht gestartet werden!%'") == 1 &&
           QueryCount(*db,
                      "select count(*) from KVSYSTEM.KVR200MSG where MSGTXT like "
                      "'%wegen Laufzeit_berschreitung abgebrochen!%'") == 1;
  }));
  // Never both of one origin at once.
  bool together = false;
  WaitFor([&] {
    together = together || (JobField(*db, "JOBSTS", "ORIGIN-A") == "01" &&
                            JobField(*db, "JOBSTS", "ORIGIN-B") == "01");
    return JobField(*db, "JOBSTS", "ORIGIN-B") == "98";
  });
  EXPECT_FALSE(together);
  EXPECT_EQ(JobField(*db, "JOBSTS", "ORIGIN-A"), "98");
  EXPECT_EQ(JobField(*db, "JOBSTS", "ORIGIN-B"), "98");
  kill(service, SIGTERM);
  EXPECT_EQ(WaitExit(service, seconds(40)), 0);
}

// With an output folder the job's own output and its exit status land in
// its file, and kvrjobctl show prints the file's last lines.
TEST(ControllerEndToEnd, JobOutputGoesToItsFileAndShowPrintsItsTail) {
  ProgramDir dir(kSqlite, "kvr", "demo", "[JOBATR]\nMAXJOBS=3\nDBGLOG=1\nJOBOUTDIR=joblogs\n");
  dir.InstallProgram("/bin/sh", "jobsh");
  int instance = UniqueInstance(9);
  pid_t service = dir.StartServiceWithController(instance);
  AddJob(dir, "TALK", "./jobsh -c \"seq 1 30; echo oops >&2; exit 4\"");
  auto db = dir.Connect();
  ASSERT_TRUE(WaitFor([&] { return JobField(*db, "JOBSTS", "TALK") == "98"; }));
  const std::string file = "joblogs/" + JobField(*db, "JOBSDA", "TALK") + "_TALK.log";
  EXPECT_TRUE(WaitFor([&] { return dir.Read(file).find("exit status 4]") != std::string::npos; }))
      << dir.Read(file);
  std::string content = dir.Read(file);
  EXPECT_EQ(content.rfind("1\n2\n3\n", 0), 0u) << content;
  EXPECT_NE(content.find("30\noops\n"), std::string::npos) << content;
  EXPECT_NE(dir.Read("KVRJOBDBG.LOG").find("Job TALK (PID "), std::string::npos);

  ASSERT_EQ(dir.Shell("./kvrjobctl show TALK >show.out 2>&1"), 0);
  std::string shown = dir.Read("show.out");
  EXPECT_NE(shown.find("output file            " + dir.File(file)), std::string::npos) << shown;
  // The last 20 lines: 14 to 30, the error line, and the status line after a blank one.
  EXPECT_NE(shown.find("\n14\n"), std::string::npos) << shown;
  EXPECT_EQ(shown.find("\n13\n"), std::string::npos) << "20 lines only: " << shown;
  EXPECT_NE(shown.find("30\noops\n\n["), std::string::npos) << shown;
  EXPECT_NE(shown.find(" job controller: exit status 4]\n"), std::string::npos) << shown;
  kill(service, SIGTERM);
  EXPECT_EQ(WaitExit(service, seconds(40)), 0);
}

// Stopping the service and SIGTERM both end the managed jobs, remove the
// flag file and post the final message.
class ShutDownEndToEnd : public ::testing::TestWithParam<bool> {};

TEST_P(ShutDownEndToEnd, EndsRunningJobs) {
  bool bySignal = GetParam();
  ProgramDir dir(kSqlite, "kvr", "demo");
  dir.InstallProgram("/bin/sleep", "jobsleep");
  int instance = UniqueInstance(bySignal ? 4 : 5);
  pid_t service = dir.StartService(instance);
  pid_t controller = dir.StartController(std::to_string(instance));
  AddJob(dir, "RUN1", "./jobsleep 120");
  AddJob(dir, "RUN2", "./jobsleep 120");
  auto db = dir.Connect();
  ASSERT_TRUE(WaitFor([&] {
    return JobField(*db, "JOBSTS", "RUN1") == "01" && JobField(*db, "JOBSTS", "RUN2") == "01";
  }));
  pid_t job1 = std::stoi(JobField(*db, "JOBNUM", "RUN1"));
  pid_t job2 = std::stoi(JobField(*db, "JOBNUM", "RUN2"));
  EXPECT_TRUE(dir.Read("NLF").empty());
  EXPECT_EQ(access(dir.File("NLF").c_str(), F_OK), 0);

  kill(bySignal ? controller : service, SIGTERM);
  EXPECT_EQ(WaitExit(controller, seconds(15)), 0);
  EXPECT_EQ(JobField(*db, "JOBSTS", "RUN1"), "99");
  EXPECT_EQ(JobField(*db, "JOBSTS", "RUN2"), "99");
  EXPECT_TRUE(WaitFor([&] { return !ProcessRunning(job1) && !ProcessRunning(job2); }, seconds(10)));
  EXPECT_NE(access(dir.File("NLF").c_str(), F_OK), 0);
  EXPECT_EQ(QueryCount(*db,
                       "select count(*) from KVSYSTEM.KVR200MSG where MSGTXT like "
                       "'%Der Jobcontroller wurde beendet!%'"),
            1);
  kill(service, SIGTERM);
  WaitExit(service, seconds(40));
}

INSTANTIATE_TEST_SUITE_P(ServiceOrSignal, ShutDownEndToEnd, ::testing::Values(false, true),
                         [](const auto& info) {
                           return info.param ? "Sigterm" : "ServiceStopped";
                         });

TEST(ControllerEndToEnd, RestartedControllerAdoptsRunningJobs) {
  ProgramDir dir(kSqlite, "kvr", "demo");
  dir.InstallProgram("/bin/sleep", "jobsleep");
  int instance = UniqueInstance(6);
  pid_t service = dir.StartServiceWithController(instance);
  AddJob(dir, "ADOPT", "./jobsleep 6");
  auto db = dir.Connect();
  // "01" with JOBNUM "0" is the claim before the process exists.
  ASSERT_TRUE(WaitFor([&] {
    return JobField(*db, "JOBSTS", "ADOPT") == "01" && JobField(*db, "JOBNUM", "ADOPT") != "0";
  }));
  std::string firstPid = JobField(*db, "JOBNUM", "ADOPT");
  std::string firstStart = JobField(*db, "JOBSDA", "ADOPT");
  // Kill the controller hard; the service starts it again.
  ASSERT_EQ(dir.Shell("pkill -KILL -P " + std::to_string(service) + " -x KVRJOBSTR"), 0);
  // The job is not started a second time, and its end is still seen.
  EXPECT_TRUE(WaitFor([&] { return JobField(*db, "JOBSTS", "ADOPT") == "98"; }, seconds(30)));
  EXPECT_EQ(JobField(*db, "JOBNUM", "ADOPT"), firstPid);
  EXPECT_EQ(JobField(*db, "JOBSDA", "ADOPT"), firstStart);
  EXPECT_EQ(JobField(*db, "JOBSTV", "ADOPT"), "1");
  EXPECT_NE(dir.Read("../service.out").find("restart"), std::string::npos)
      << dir.Read("../service.out");
  kill(service, SIGTERM);
  EXPECT_EQ(WaitExit(service, seconds(40)), 0);
}

}  // namespace
}  // namespace kvr::test

// Ending jobs with scripted processes: KillAllProcs for both reasons with
// the spared names, foreign and handed-on process ids and the instance
// directory; KillLeftoverProcess in both modes.
#include <gtest/gtest.h>

#include <algorithm>

#include "exec/exec_text.h"
#include "executor_harness.h"
#include "platform/fake_env.h"

namespace kvr::test {
namespace {

constexpr char kDa1[] = "20260101000000";

class Terminate : public ::testing::TestWithParam<Engine> {
 protected:
  // Skipping here skips the test body; inside a helper it would only return
  // from the helper.
  void SetUp() override { KVR_REQUIRE_ENGINE(GetParam()); }
  void Open(bool instanceMode) {
    h_.Open(env_, GetParam(), {.instanceMode = instanceMode, .programDir = "/opt/kvr1/"});
  }

  // A live process and its row in "01"; the process may carry another name,
  // path or creation time than the row expects.
  Pid AddJob(const std::string& ke2, const std::string& rowName, const std::string& path,
             int64_t createdAfterStart = 0, bool marked = true) {
    FakeEnv::Process p;
    p.path = path;
    p.baseName = std::string(path.substr(path.rfind('/') + 1));
    p.startTime = env_.Now() - 100 + createdAfterStart;
    Job job;
    job.ke2 = ke2;
    job.sts = "01";
    job.nam = rowName;
    job.sda = TimeStamp14(env_, env_.Now() - 100);
    if (marked) p.environment = h_.Mark(job);
    Pid pid = env_.AddProcess(p);
    job.num = std::to_string(pid);
    h_.Insert(job);
    return pid;
  }

  // The table as the controller restores it before ending all jobs.
  void Rebuild() {
    h_.exec().ClearProcessTable();
    int sqlCode = 0;
    ASSERT_EQ(h_.exec().GetKvProcs(&sqlCode), 1);
  }

  bool Killed(Pid pid) {
    return std::find(env_.killedIds.begin(), env_.killedIds.end(), pid) != env_.killedIds.end();
  }
  std::string Status(const std::string& ke2) { return h_.Read(kDa1, ke2).sts; }

  FakeEnv env_;
  ExecutorHarness h_;
};

// Only processes with the row's mark are ended, whatever program they run
// now; the spared names keep their rules.
TEST_P(Terminate, AllProcsEndsOnlyTheJobsOwnProcesses) {
  Open(false);
  Pid own = AddJob("OWN", "prog.exe", "/somewhere/PROG.EXE");
  Pid nacht = AddJob("NACHT", "nachtlauf.exe", "/opt/kvr1/nachtlauf.exe");
  Pid host = AddJob("HOST", "svchost.exe", "/opt/kvr1/svchost.exe");
  Pid execd = AddJob("EXECD", "prog.exe", "/usr/bin/sleep");  // exec'd into another program
  Pid unmarked = AddJob("UNMARKED", "prog.exe", "/opt/kvr1/prog.exe", 0, false);
  Pid reused = AddJob("REUSED", "prog.exe", "/opt/kvr1/prog.exe", 50);
  Job other;
  other.ke2 = "OTHER";
  env_.FindProcess(reused)->environment = h_.Mark(other);  // another job's process
  Pid gone = AddJob("GONE", "prog.exe", "/opt/kvr1/prog.exe");
  Pid cmd = AddJob("CMD", "cmd.exe", "/opt/kvr1/cmd.exe");
  env_.EndProcess(gone);
  Rebuild();
  h_.exec().KillAllProcs(JobExecutor::kReasonServiceLost);

  EXPECT_TRUE(Killed(own) && Killed(execd));
  EXPECT_TRUE(Killed(cmd));  // only spared in instance mode
  EXPECT_FALSE(Killed(nacht) || Killed(host) || Killed(unmarked) || Killed(reused) || Killed(gone));
  EXPECT_TRUE(env_.ProcessAlive(nacht));
  for (const char* ke2 : {"OWN", "NACHT", "CMD", "EXECD"}) EXPECT_EQ(Status(ke2), "99") << ke2;
  EXPECT_EQ(h_.Read(kDa1, "OWN").eda, TimeStamp14(env_, env_.Now()));
  EXPECT_EQ(Status("HOST"), "01");
  EXPECT_EQ(Status("UNMARKED"), "01");  // not known to be the job: row and process left
  EXPECT_EQ(Status("GONE"), "98");    // ended by itself since the last pass: closed, not left "01"
  EXPECT_EQ(Status("REUSED"), "98");  // its job had ended: closed, not ended
  EXPECT_EQ(h_.LogCount("Prozess beendet: nachtlauf.exe ProcessID " + std::to_string(nacht) + "\n"),
            1);
  EXPECT_EQ(h_.LogCount("Prozess beendet: "), 4);
  EXPECT_EQ(h_.LogCount("process " + std::to_string(reused) + " is not this job's"), 1);
  EXPECT_EQ(h_.LogCount("process " + std::to_string(unmarked) + " carries no job mark"), 1);
  EXPECT_EQ(h_.exec().table().CountTaken(), 0u);
  EXPECT_TRUE(env_.serviceCalls.empty());
}

TEST_P(Terminate, DatabaseLossContactsTheServiceOncePerEntry) {
  Open(false);
  for (const char* ke2 : {"A", "B", "C"}) AddJob(ke2, "prog.exe", "/x/prog.exe");
  Rebuild();
  env_.replyDelayMs = 3000;  // every contact is due again
  h_.exec().KillAllProcs(JobExecutor::kReasonDatabaseLost);
  EXPECT_EQ(env_.serviceCalls.size(), 3u);
  EXPECT_EQ(env_.killedIds.size(), 3u);
  EXPECT_NE(env_.lastRequest.find("KVRJOBSTR.EXE"), std::string::npos);
}

// In instance mode the mark stands for the instance's directory: a job of
// /usr/bin is ended, a process with another instance's mark is not.
TEST_P(Terminate, InstanceModeEndsOnlyProcessesWithTheInstancesMark) {
  Open(true);
  Pid inside = AddJob("IN", "prog.exe", "/opt/kvr1/bin/prog.exe");
  Pid usrBin = AddJob("USRBIN", "sleep", "/usr/bin/sleep");
  Pid otherInstance = AddJob("OTHERINST", "prog.exe", "/opt/kvr2/prog.exe");
  std::string& environment = env_.FindProcess(otherInstance)->environment;
  environment.replace(environment.find("/opt/kvr1/"), 10, "/opt/kvr2/");
  Pid cmd = AddJob("CMD", "cmd.exe", "/opt/kvr1/cmd.exe");
  Rebuild();
  h_.exec().KillAllProcs(JobExecutor::kReasonServiceLost);
  EXPECT_TRUE(Killed(inside) && Killed(usrBin));
  EXPECT_FALSE(Killed(otherInstance) || Killed(cmd));
  EXPECT_EQ(Status("IN"), "99");
  EXPECT_EQ(Status("USRBIN"), "99");
  EXPECT_EQ(Status("OTHERINST"), "98");  // the row named a process not its own
  EXPECT_EQ(Status("CMD"), "01");
}

TEST_P(Terminate, LeftoverWithoutInstanceModeEndsEveryProcessOfTheName) {
  Open(false);
  Pid a = AddJob("A", "prog.exe", "/x/prog.exe");
  Pid b = AddJob("B", "prog.exe", "/y/PROG.exe");
  Pid other = AddJob("C", "other.exe", "/x/other.exe");
  Pid unmarked = AddJob("D", "prog.exe", "/x/prog.exe", 0, false);
  FakeEnv::Process self;
  self.pid = env_.selfPid;
  self.baseName = "prog.exe";
  env_.AddProcess(self);
  h_.exec().KillLeftoverProcess(0, "");
  EXPECT_TRUE(env_.killedImages.empty());
  h_.exec().KillLeftoverProcess(a, "Prog.exe");
  EXPECT_FALSE(env_.ProcessAlive(a) || env_.ProcessAlive(b));
  EXPECT_TRUE(env_.ProcessAlive(other));
  EXPECT_TRUE(env_.ProcessAlive(unmarked));  // a process of the name that is no job
  EXPECT_TRUE(env_.ProcessAlive(env_.selfPid));
}

TEST_P(Terminate, LeftoverInInstanceMode) {
  Open(true);
  Pid inside = AddJob("IN", "prog.exe", "/opt/kvr1/prog.exe");
  Pid outside = AddJob("OUT", "prog.exe", "/opt/kvr2/prog.exe", 0, false);
  Pid host = AddJob("HOST", "svchost.exe", "/opt/kvr1/svchost.exe");
  Pid hidden = AddJob("HIDDEN", "prog.exe", "/opt/kvr1/prog.exe");
  env_.FindProcess(hidden)->imageReadable = false;
  Pid gone = AddJob("GONE", "prog.exe", "/opt/kvr1/prog.exe");
  env_.EndProcess(gone);

  h_.exec().KillLeftoverProcess(0, "prog.exe");
  h_.exec().KillLeftoverProcess(inside, "");
  EXPECT_TRUE(env_.killedIds.empty());
  h_.exec().KillLeftoverProcess(inside, "PROG.EXE");
  h_.exec().KillLeftoverProcess(outside, "prog.exe");
  h_.exec().KillLeftoverProcess(host, "svchost.exe");
  h_.exec().KillLeftoverProcess(hidden, "prog.exe");
  h_.exec().KillLeftoverProcess(gone, "prog.exe");
  EXPECT_EQ(env_.killedIds, std::vector<Pid>{inside});
  EXPECT_TRUE(env_.killedImages.empty());
  EXPECT_EQ(h_.LogCount("Prozess wurde nicht beendet: prog.exe (PID: " + std::to_string(outside) +
                        ") Pfad: /opt/kvr2/prog.exe!\n"),
            1);
  EXPECT_EQ(h_.LogCount("Prozess wurde nicht beendet: svchost.exe (PID: "), 1);
  EXPECT_EQ(h_.LogCount("Keine Prozessinformationen vorhanden. Error: 13!\n"), 1);
  EXPECT_EQ(h_.LogCount("Keine Prozessinformationen vorhanden. Error: 3!\n"), 1);
  // Rows of leftover processes are not touched here.
  EXPECT_EQ(Status("IN"), "01");
}

TEST_P(Terminate, RestoredTableKeepsJobsStartedSinceTheCopy) {
  Open(false);
  Pid early = AddJob("EARLY", "prog.exe", "/x/prog.exe");
  Rebuild();
  h_.exec().SaveProcessTable();  // the copy of the pass before
  Job waiting;
  waiting.ke2 = "LATE";
  h_.Insert(waiting);
  ASSERT_EQ(h_.exec().StartJob(RowToStart("late.exe", kDa1, "LATE", "", 0, 0)),
            JobExecutor::kStartOk);
  Pid late = std::stoi(h_.Read(kDa1, "LATE").num);
  // A pass broken after clearing: the table lost EARLY, the copy never had LATE.
  h_.exec().mutableTable()[0].pid = 0;
  h_.exec().RestoreProcessTable();
  EXPECT_EQ(h_.exec().table().CountTaken(), 2u);
  h_.exec().RestoreProcessTable();  // nothing is held twice
  EXPECT_EQ(h_.exec().table().CountTaken(), 2u);
  h_.exec().KillAllProcs(JobExecutor::kReasonServiceLost);
  EXPECT_TRUE(Killed(early));
  EXPECT_TRUE(Killed(late));
  EXPECT_EQ(Status("EARLY"), "99");
  EXPECT_EQ(Status("LATE"), "99");
}

// Passes whose rebuild keeps breaking off leave the table without the
// running jobs; the copy taken from such a table must not forget them, or
// ending all jobs would leave them running.
TEST_P(Terminate, CopyKeepsEveryJobWhileTheRebuildKeepsFailing) {
  Open(false);
  Pid first = AddJob("FIRST", "prog.exe", "/x/prog.exe");
  Pid second = AddJob("SECOND", "prog.exe", "/x/prog.exe");
  h_.exec().SaveProcessTable();
  Rebuild();
  ASSERT_EQ(h_.exec().table().CountTaken(), 2u);
  ASSERT_EQ(h_.session().db().Execute("drop table KVSYSTEM.KVR500JOB"), 0)
      << h_.session().db().LastMessage();
  for (int pass = 0; pass < 3; ++pass) {
    h_.exec().SaveProcessTable();
    h_.exec().ClearProcessTable();
    int sqlCode = 0;
    ASSERT_EQ(h_.exec().GetKvProcs(&sqlCode), 0);
  }
  h_.exec().RestoreProcessTable();
  h_.exec().KillAllProcs(JobExecutor::kReasonServiceLost);
  EXPECT_TRUE(Killed(first));
  EXPECT_TRUE(Killed(second));
}

INSTANTIATE_TEST_SUITE_P(Engines, Terminate, ::testing::Values(Engine::Sqlite, Engine::Postgres),
                         EngineParamName<::testing::TestParamInfo<Engine>>);

}  // namespace
}  // namespace kvr::test

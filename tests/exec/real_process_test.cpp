// Jobs as real processes on both engines: a started job is recorded with
// its lower-cased image name and process id and closed as "98" once it has
// ended; a job over its time is ended and closed as "99"; a command that
// names no program is a failed start "90". Each case states its message.
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include "executor_harness.h"
#include "platform/posix_env.h"

namespace kvr::test {
namespace {

constexpr char kDa1[] = "20260101000000";

class RealJobs : public ::testing::TestWithParam<Engine> {
 protected:
  void SetUp() override {
    KVR_REQUIRE_ENGINE(GetParam());
    env_.SetKillGraceMs(500);
    h_.Open(env_, GetParam());
    ASSERT_TRUE(h_.Supervise());
  }

  // The waiting row; mrt is what the selection would hand to the start.
  void InsertRow(int32_t mrt) {
    Job job;
    job.ke2 = "REAL";
    job.mrt = mrt;
    h_.Insert(job);
  }

  // Supervises until the row leaves "01" or two seconds have passed.
  std::string SuperviseUntilClosed() {
    for (int i = 0; i < 40; ++i) {
      EXPECT_TRUE(h_.Supervise());
      std::string sts = h_.Read(kDa1, "REAL").sts;
      if (sts != "01") return sts;
      env_.SleepMs(50);
    }
    return "01";
  }

  bool Posted(const std::string& text) {
    for (const auto& m : h_.Messages()) {
      if (m.find(text) != std::string::npos) return true;
    }
    return false;
  }

  bool GoneSoon(Pid pid) {
    for (int i = 0; i < 40 && env_.ProcessAlive(pid); ++i) {
      env_.SleepMs(50);
      env_.ReapChildren();
    }
    return !env_.ProcessAlive(pid);
  }

  PosixEnv env_;
  ExecutorHarness h_;
};

TEST_P(RealJobs, StartedJobIsClosedAsGoneWhenItEnds) {
  InsertRow(0);
  ASSERT_EQ(h_.exec().StartJob(RowToStart("/bin/sleep 30", kDa1, "REAL", "", 0, 0)),
            JobExecutor::kStartOk);
  Job row = h_.Read(kDa1, "REAL");
  EXPECT_EQ(row.sts, "01");
  EXPECT_EQ(row.nam, "sleep");
  Pid pid = std::stoi(row.num);
  EXPECT_EQ(getpgid(pid), pid);  // its own process group
  EXPECT_TRUE(env_.ProcessAlive(pid));

  ASSERT_TRUE(h_.Supervise());
  EXPECT_EQ(h_.Read(kDa1, "REAL").sts, "01");  // still running, within its time
  kill(pid, SIGKILL);
  EXPECT_EQ(SuperviseUntilClosed(), "98");
  // A process that is still being torn down has no image left and already
  // reads as ended for the job; it is gone a moment later.
  EXPECT_TRUE(GoneSoon(pid));
}

TEST_P(RealJobs, JobOverItsTimeIsEnded) {
  InsertRow(1);
  ASSERT_EQ(h_.exec().StartJob(RowToStart("/bin/sleep 30", kDa1, "REAL", "", 1, 0)),
            JobExecutor::kStartOk);
  Pid pid = std::stoi(h_.Read(kDa1, "REAL").num);
  env_.SleepMs(3100);  // the start time is known to the second
  ASSERT_TRUE(h_.Supervise());
  EXPECT_EQ(h_.Read(kDa1, "REAL").sts, "99");
  EXPECT_TRUE(
      Posted("Programm sleep wird wegen Laufzeit\xFC"
             "berschreitung abgebrochen!"));
  EXPECT_TRUE(GoneSoon(pid));
}

TEST_P(RealJobs, CommandWithoutProgramFailsToStart) {
  InsertRow(0);
  ASSERT_EQ(h_.exec().StartJob(RowToStart("/nonexistent/kvr_prog.exe -x", kDa1, "REAL", "", 0, 2)),
            JobExecutor::kStartFailed);
  Job row = h_.Read(kDa1, "REAL");
  EXPECT_EQ(row.sts, "90");
  EXPECT_EQ(row.stv, 3);
  EXPECT_TRUE(Posted("Der Job /nonexistent/kvr_prog.exe -x konnte nicht gestartet werden!"));
}

INSTANTIATE_TEST_SUITE_P(Engines, RealJobs, ::testing::Values(Engine::Sqlite, Engine::Postgres),
                         EngineParamName<::testing::TestParamInfo<Engine>>);

// Jobs with an output folder: what a job writes lands in its file, and the
// line at its end tells how it ended.
class RealJobOutput : public ::testing::TestWithParam<Engine> {
 protected:
  void SetUp() override {
    KVR_REQUIRE_ENGINE(GetParam());
    env_.SetKillGraceMs(500);
    JobOutputSettings settings;
    settings.dir = out_.File("output");
    h_.Open(env_, GetParam(), {.output = settings});
  }

  // Starts the row's command; the path of its output file.
  std::string Start(const std::string& command, int32_t mrt) {
    Job job;
    job.ke2 = "REAL";
    job.mrt = mrt;
    h_.Insert(job);
    EXPECT_EQ(h_.exec().StartJob(RowToStart(command, kDa1, "REAL", "", mrt, 0)),
              JobExecutor::kStartOk);
    return out_.File("output/" + h_.Read(kDa1, "REAL").sda + "_REAL.log");
  }

  // Supervises until the file ends with the job controller's line.
  std::string SuperviseUntilEndLine(const std::string& path) {
    std::string content;
    for (int i = 0; i < 100; ++i) {
      EXPECT_TRUE(h_.Supervise());
      content = env_.ReadFile(path, nullptr).value_or("");
      if (content.find(" job controller: ") != std::string::npos) break;
      env_.SleepMs(50);
    }
    return content;
  }

  TempDir out_;
  PosixEnv env_;
  ExecutorHarness h_;
};

TEST_P(RealJobOutput, OutputAndErrorLandInTheFileWithTheExitStatus) {
  std::string path = Start("/bin/sh -c \"echo to-out; echo to-err >&2; exit 3\"", 0);
  std::string content = SuperviseUntilEndLine(path);
  EXPECT_EQ(content.rfind("to-out\nto-err\n\n[", 0), 0u) << content;
  EXPECT_NE(content.find(" job controller: exit status 3]\n"), std::string::npos) << content;
  EXPECT_EQ(h_.Read(kDa1, "REAL").sts, "98");
  EXPECT_NE(h_.DebugLog().find("Job REAL (PID "), std::string::npos);
}

TEST_P(RealJobOutput, JobEndedForItsTimeGetsItsSignalLine) {
  std::string path = Start("/bin/sleep 30", 1);
  env_.SleepMs(3100);  // the start time is known to the second
  std::string content = SuperviseUntilEndLine(path);
  EXPECT_EQ(h_.Read(kDa1, "REAL").sts, "99");
  EXPECT_NE(content.find(" job controller: ended by signal 15 (Terminated)]\n"), std::string::npos)
      << content;
}

INSTANTIATE_TEST_SUITE_P(Engines, RealJobOutput,
                         ::testing::Values(Engine::Sqlite, Engine::Postgres),
                         EngineParamName<::testing::TestParamInfo<Engine>>);

}  // namespace
}  // namespace kvr::test

// The run history on both engines: how each way a job ends is recorded
// with its row's close, a cancel asked for through the row, runs kept while
// the table is missing, and the pruning of old runs.
#include "exec/run_history.h"

#include <gtest/gtest.h>

#include <csignal>

#include "exec/exec_text.h"
#include "executor_harness.h"
#include "platform/fake_env.h"

namespace kvr::test {
namespace {

class RunHistoryTest : public ::testing::TestWithParam<Engine> {
 protected:
  void SetUp() override {
    KVR_REQUIRE_ENGINE(GetParam());
    env_.SetLocalTime(2026, 5, 4, 12, 0, 0);
    h_.Open(env_, GetParam());
  }

  // A live child of prog.exe started 10 s ago, carrying this controller's
  // mark, and its row in "01".
  Pid AddRunning(const std::string& ke2, int32_t mrt = 0, bool child = true) {
    FakeEnv::Process p;
    p.baseName = "prog.exe";
    p.path = "/opt/kvr/prog.exe";
    p.startTime = env_.Now() - 10;
    p.child = child;
    Job job;
    job.ke2 = ke2;
    job.cmd = "prog.exe " + ke2;
    job.sts = "01";
    job.nam = "prog.exe";
    job.sda = TimeStamp14(env_, p.startTime);
    job.mrt = mrt;
    p.environment = h_.Mark(job);
    Pid pid = env_.AddProcess(p);
    job.num = std::to_string(pid);
    h_.Insert(job);
    return pid;
  }

  RunRecord RunOf(const std::string& ke2) {
    std::vector<RunRecord> runs;
    EXPECT_EQ(ReadRuns(h_.session(), "", &runs), 0);
    for (const RunRecord& r : runs) {
      if (r.ke2 == ke2) return r;
    }
    return {};
  }

  FakeEnv env_;
  ExecutorHarness h_;
};

TEST_P(RunHistoryTest, EachEndIsRecordedWithTheRowsClose) {
  struct Case {
    const char* ke2;
    std::optional<ExitStatus> exit;  // nothing: still running at the check
    bool child;
    int32_t mrt;
    const char* result;
    bool failed;
  };
  const Case cases[] = {
      {"OK", ExitStatus{false, 0}, true, 0, "exit 0", false},
      {"THREE", ExitStatus{false, 3}, true, 0, "exit 3", true},
      {"KILLED", ExitStatus{true, SIGKILL}, true, 0, "signal 9", true},
      {"ADOPTED", ExitStatus{false, 0}, false, 0, "unknown", false},
      {"OVER", std::nullopt, true, 5, "overrun", true},
  };
  for (const Case& c : cases) {
    Pid pid = AddRunning(c.ke2, c.mrt, c.child);
    if (c.exit) env_.EndProcess(pid, *c.exit);
  }
  ASSERT_TRUE(h_.Supervise());
  for (const Case& c : cases) {
    SCOPED_TRACE(c.ke2);
    RunRecord run = RunOf(c.ke2);
    EXPECT_EQ(RunResultText(run.how, run.code), c.result);
    EXPECT_EQ(RunFailed(run.how, run.code), c.failed);
    EXPECT_EQ(run.command, std::string("prog.exe ") + c.ke2);
    EXPECT_EQ(run.runType, "01");
    EXPECT_EQ(run.end, TimeStamp14(env_, env_.Now()));
    EXPECT_EQ(run.end, h_.Read("20260101000000", c.ke2).eda);
  }
}

TEST_P(RunHistoryTest, FailureNoticeForABadStatusOrAForeignSignalOnly) {
  h_.exec().history().SetFailureNotice(&h_.poster());
  const std::pair<const char*, std::optional<ExitStatus>> cases[] = {
      {"FINE", ExitStatus{false, 0}},
      {"BAD", ExitStatus{false, 3}},
      {"SHOT", ExitStatus{true, SIGKILL}},
      {"OVER", std::nullopt}};
  for (auto [ke2, exit] : cases) {
    Pid pid = AddRunning(ke2, exit ? 0 : 5);
    if (exit) env_.EndProcess(pid, *exit);
  }
  ASSERT_TRUE(h_.Supervise());
  std::vector<std::string> notices;
  for (const std::string& m : h_.Messages()) {
    // After the posting time: "Programm ... beendet!".
    if (size_t at = m.find("Programm prog.exe (Job "); at != std::string::npos)
      notices.push_back(m.substr(at));
  }
  EXPECT_EQ(notices, (std::vector<std::string>{
                         "Programm prog.exe (Job BAD) wurde mit Status 3 beendet!",
                         "Programm prog.exe (Job SHOT) wurde durch Signal 9 beendet!"}));
}

TEST_P(RunHistoryTest, JobsEndedTogetherCarryTheReason) {
  const std::pair<int, const char*> cases[] = {{JobExecutor::kReasonServiceLost, "shut-down"},
                                               {JobExecutor::kReasonDatabaseLost, "database lost"}};
  for (auto [reason, result] : cases) {
    std::string ke2 = "ALL" + std::to_string(reason);
    AddRunning(ke2);
    ASSERT_TRUE(h_.Supervise());
    h_.exec().KillAllProcs(reason);
    RunRecord run = RunOf(ke2);
    EXPECT_EQ(RunResultText(run.how, run.code), result);
  }
  // After the ending, "99" is an overrun again.
  AddRunning("LATER", 5);
  ASSERT_TRUE(h_.Supervise());
  EXPECT_EQ(RunOf("LATER").how, kRunOverrun);
}

TEST_P(RunHistoryTest, CancelEndsTheJobAsAnOverrunAndPutsItsTimeBack) {
  Pid pid = AddRunning("CANCEL", 600);
  ASSERT_TRUE(h_.Supervise());
  RunRecord run;
  run.da1 = "20260101000000";
  run.ke2 = "CANCEL";
  run.start = h_.Read("20260101000000", "CANCEL").sda;
  run.pid = std::to_string(pid);
  ASSERT_EQ(SQLInsertCancelRequest(h_.session(), run, 600), 0);
  ASSERT_EQ(SQLSetJobMrtForCancel(h_.session(), run.da1, run.ke2), 0);
  h_.session().SQLCommit();
  ASSERT_TRUE(h_.Supervise());
  Job row = h_.Read("20260101000000", "CANCEL");
  EXPECT_EQ(row.sts, "99");
  EXPECT_EQ(row.mrt, 600);
  RunRecord done = RunOf("CANCEL");
  EXPECT_EQ(RunResultText(done.how, done.code), "cancelled");
  EXPECT_EQ(done.end, row.eda);
}

TEST_P(RunHistoryTest, PruneDeletesOldRunsAndAMissingTableCostsOneLine) {
  env_.EndProcess(AddRunning("OLD"));
  ASSERT_TRUE(h_.Supervise());
  env_.Advance(31 * 86400);
  env_.EndProcess(AddRunning("NEW"));
  ASSERT_TRUE(h_.Supervise());
  h_.exec().history().Prune(30);
  std::vector<RunRecord> runs;
  ASSERT_EQ(ReadRuns(h_.session(), "", &runs), 0);
  ASSERT_EQ(runs.size(), 1u);
  EXPECT_EQ(runs[0].ke2, "NEW");

  ASSERT_EQ(h_.session().db().Execute("drop table KVSYSTEM.KVR510RUN"), 0);
  h_.session().SQLCommit();
  h_.exec().history().Prune(30);
  h_.exec().history().Prune(30);
  EXPECT_FALSE(h_.exec().history().enabled());
  EXPECT_EQ(h_.LogCount("Laufprotokoll KVSYSTEM.KVR510RUN nicht vorhanden"), 1);
  AddRunning("AFTER");
  ASSERT_TRUE(h_.Supervise());
  h_.exec().KillAllProcs(JobExecutor::kReasonServiceLost);
  EXPECT_EQ(h_.Read("20260101000000", "AFTER").sts, "99");
}

INSTANTIATE_TEST_SUITE_P(Engines, RunHistoryTest,
                         ::testing::Values(Engine::Sqlite, Engine::Postgres),
                         EngineParamName<::testing::TestParamInfo<Engine>>);

}  // namespace
}  // namespace kvr::test

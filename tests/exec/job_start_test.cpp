// The job start with scripted processes: its five results and what each
// leaves in the row, the process table, the exclusion list and the log.
#include <gtest/gtest.h>

#include <cerrno>

#include "exec/exec_text.h"
#include "executor_harness.h"
#include "platform/fake_env.h"

namespace kvr::test {
namespace {

constexpr char kDa1[] = "20260101000000";

class JobStart : public ::testing::TestWithParam<Engine> {
 protected:
  void SetUp() override {
    KVR_REQUIRE_ENGINE(GetParam());
    h_.Open(env_, GetParam());
    h_.exec().ClearProcessTable();
    int sqlCode = 0;
    ASSERT_EQ(h_.exec().GetKvProcs(&sqlCode), 1);
  }

  void InsertWaiting(const std::string& ke2, int32_t stv = 0) {
    Job job;
    job.ke2 = ke2;
    job.stv = stv;
    job.sts = "90";
    job.nam = "old";
    job.num = "1";
    job.sda = "20250101000000";
    job.eda = "20250101000001";
    h_.Insert(job);
  }

  int Start(const std::string& ke2, const std::string& cmd, int32_t stv,
            const std::string& urv = "") {
    return h_.exec().StartJob(RowToStart(cmd, kDa1, ke2, urv, 60, stv));
  }

  bool PostedFor(const std::string& text) {
    for (const auto& m : h_.Messages()) {
      if (m.find(text) != std::string::npos) return true;
    }
    return false;
  }

  FakeEnv env_;
  ExecutorHarness h_;
};

TEST_P(JobStart, StartedJobIsRecordedInRowAndTable) {
  InsertWaiting("J", 10);  // ten attempts still start
  ASSERT_EQ(Start("J", "C:\\Prog\\KVRTEST.EXE /x", 10, "ORIG"), JobExecutor::kStartOk);
  Pid pid = env_.FindProcess(10000) ? 10000 : 0;
  ASSERT_NE(pid, 0);
  Job row = h_.Read(kDa1, "J");
  EXPECT_EQ(row.sts, "01");
  EXPECT_EQ(row.nam, "kvrtest.exe");  // lower case
  EXPECT_EQ(row.num, std::to_string(pid));
  EXPECT_EQ(row.sda, TimeStamp14(env_, env_.Now()));
  EXPECT_EQ(row.eda, "");
  EXPECT_EQ(row.stv, 1);
  const ProcessEntry& e = h_.exec().table()[0];
  EXPECT_EQ(e.pid, pid);
  EXPECT_EQ(e.programName, std::string_view("kvrtest.exe"));
  EXPECT_EQ(e.jobsts, std::string_view("01"));
  EXPECT_EQ(e.jobmrt, 60);
  EXPECT_EQ(e.jobstv, 0);
  EXPECT_EQ(h_.exec().runningJobs(), 1);
  EXPECT_STREQ(h_.exec().exclusions().Text(), "' ', 'ORIG'");
  EXPECT_EQ(h_.LogCount("Start PGM: C:\\Prog\\KVRTEST.EXE /x Cmd: kvrtest.exe\n"), 1);
}

TEST_P(JobStart, OriginsGrowTheExclusionListOnlyWhenGiven) {
  for (const char* ke2 : {"A", "B", "C"}) InsertWaiting(ke2);
  ASSERT_EQ(Start("A", "a.exe", 0), JobExecutor::kStartOk);
  EXPECT_STREQ(h_.exec().exclusions().Text(), "' '");
  ASSERT_EQ(Start("B", "b.exe", 0, "O'B"), JobExecutor::kStartOk);
  ASSERT_EQ(Start("C", "c.exe", 0, "OC"), JobExecutor::kStartOk);
  EXPECT_STREQ(h_.exec().exclusions().Text(), "' ', 'O''B', 'OC'");
  EXPECT_EQ(h_.exec().runningJobs(), 3);
}

TEST_P(JobStart, RefusedAboveTenAttemptsDoesNothing) {
  InsertWaiting("R", 11);
  EXPECT_EQ(Start("R", "r.exe", 11), JobExecutor::kStartRefused);
  EXPECT_TRUE(env_.spawned.empty());
  Job row = h_.Read(kDa1, "R");
  EXPECT_EQ(row.sts, "90");
  EXPECT_EQ(row.stv, 11);
}

TEST_P(JobStart, FailedCreationMarksTheRowAndTellsTheUsers) {
  InsertWaiting("F", 3);
  env_.spawner = [](const std::string&) { return SpawnResult{false, 0, ENOENT}; };
  EXPECT_EQ(Start("F", "missing.exe -a", 3), JobExecutor::kStartFailed);
  Job row = h_.Read(kDa1, "F");
  EXPECT_EQ(row.sts, "90");
  EXPECT_EQ(row.stv, 4);
  EXPECT_EQ(row.nam + row.num + row.sda + row.eda, "");
  EXPECT_TRUE(PostedFor("Der Job missing.exe -a konnte nicht gestartet werden!"));
  EXPECT_EQ(h_.LogCount("Start PGM: missing.exe -a Cmd:  fehlgeschlagen!\n"), 1);
  EXPECT_EQ(h_.exec().table().CountTaken(), 0u);
  EXPECT_EQ(h_.exec().runningJobs(), 0);
}

// The row is claimed before the process is created: a row that cannot be
// written gets no process at all.
TEST_P(JobStart, UnwritableRowGivesUpdateFailed) {
  // No row of that key: the update touches nothing.
  EXPECT_EQ(Start("NOROW", "n.exe", 0), JobExecutor::kStartUpdateFailed);
  EXPECT_TRUE(env_.spawned.empty());
  EXPECT_TRUE(env_.killedIds.empty());
  EXPECT_EQ(h_.exec().runningJobs(), 0);
  EXPECT_EQ(h_.LogCount("Start PGM: n.exe Cmd:  Fehler Update Kvr500Job RC: 1403\n"), 1);
  EXPECT_EQ(h_.exec().table().CountTaken(), 0u);
}

TEST_P(JobStart, FullTableCreatesNothingAndLeavesTheRowWaiting) {
  InsertWaiting("FULL");
  ProcessTable& table = h_.exec().mutableTable();
  for (size_t i = 0; i < ProcessTable::kCapacity; ++i) table[i].pid = static_cast<Pid>(20000 + i);
  EXPECT_EQ(Start("FULL", "full.exe", 0), JobExecutor::kStartTableFull);
  EXPECT_TRUE(env_.spawned.empty());
  EXPECT_EQ(h_.Read(kDa1, "FULL").sts, "90");
  EXPECT_EQ(h_.LogCount("Start PGM: full.exe Prozesstabelle voll, Job nicht gestartet!\n"), 1);
  table[7].pid = 0;  // one entry comes free
  EXPECT_EQ(Start("FULL", "full.exe", 0), JobExecutor::kStartOk);
  EXPECT_EQ(table[7].jobke2, std::string_view("FULL"));
}

TEST_P(JobStart, ProgramNameLookUp) {
  for (const char* ke2 : {"ENDED", "HIDDEN", "LONG"}) InsertWaiting(ke2);
  // Ended before its name could be read: "unknown" at once, no waiting.
  env_.spawner = [this](const std::string&) {
    FakeEnv::Process p;
    p.alive = false;
    return SpawnResult{true, env_.AddProcess(p), 0};
  };
  ASSERT_EQ(Start("ENDED", "x.exe", 0), JobExecutor::kStartOk);
  EXPECT_EQ(h_.Read(kDa1, "ENDED").nam, "unknown");
  EXPECT_TRUE(env_.sleeps.empty());
  // Alive but its image never readable: the bounded retry, then "unknown".
  env_.spawner = [this](const std::string&) {
    FakeEnv::Process p;
    p.imageReadable = false;
    return SpawnResult{true, env_.AddProcess(p), 0};
  };
  ASSERT_EQ(Start("HIDDEN", "y.exe", 0), JobExecutor::kStartOk);
  EXPECT_EQ(h_.Read(kDa1, "HIDDEN").nam, "unknown");
  EXPECT_EQ(env_.sleeps.size(), static_cast<size_t>(JobExecutor::kNameTries - 1));
  // A name longer than JOBNAM is cut to its 64 characters.
  env_.spawner = nullptr;
  std::string longName(80, 'Z');
  ASSERT_EQ(Start("LONG", "/opt/" + longName, 0), JobExecutor::kStartOk);
  EXPECT_EQ(h_.Read(kDa1, "LONG").nam, std::string(64, 'z'));
}

TEST_P(JobStart, NewProcessWithTheIdOfARunningEntryClosesTheOlderRow) {
  InsertWaiting("NEW");
  // Jobs read before it whose processes are gone: closed by the check, they
  // leave free entries in front of the one that carries the id.
  for (const char* ke2 : {"GONE1", "GONE2"}) {
    Job gone;
    gone.ke2 = ke2;
    gone.sts = "01";
    gone.nam = "gone.exe";
    gone.num = "4000";
    gone.sda = TimeStamp14(env_, env_.Now() - 200);
    h_.Insert(gone);
  }
  FakeEnv::Process p;
  p.baseName = "old.exe";
  p.startTime = env_.Now() - 100;
  Pid pid = env_.AddProcess(p);
  Job old;
  old.ke2 = "OLD";
  old.sts = "01";
  old.nam = "old.exe";
  old.num = std::to_string(pid);
  old.sda = TimeStamp14(env_, p.startTime);
  h_.Insert(old);
  h_.exec().ClearProcessTable();
  int sqlCode = 0;
  ASSERT_EQ(h_.exec().GetKvProcs(&sqlCode), 1);
  h_.exec().CheckProcessTime();
  ASSERT_EQ(h_.exec().runningJobs(), 1);
  env_.spawner = [pid](const std::string&) { return SpawnResult{true, pid, 0}; };
  ASSERT_EQ(Start("NEW", "old.exe", 0), JobExecutor::kStartOk);
  Job closed = h_.Read(kDa1, "OLD");
  EXPECT_EQ(closed.sts, "98");
  EXPECT_EQ(closed.eda, TimeStamp14(env_, env_.Now()));
  EXPECT_EQ(h_.Read(kDa1, "NEW").sts, "01");
  EXPECT_TRUE(env_.killedIds.empty());
  // Only the new job runs: the closed one is neither counted nor kept.
  EXPECT_EQ(h_.exec().runningJobs(), 1);
  EXPECT_EQ(h_.exec().table().CountTaken(), 1u);
}

// The claim of the row is updated but its commit fails: the row is still
// waiting, so no process may be created; the row starts once later.
TEST_P(JobStart, FailedClaimCommitCreatesNothingAndTheRowStartsOnceLater) {
  if (GetParam() != Engine::Postgres) GTEST_SKIP() << "needs a check deferred to the commit";
  Connection& db = h_.session().db();
  ASSERT_EQ(db.Execute("CREATE FUNCTION kvsystem.refuse_start() RETURNS trigger LANGUAGE plpgsql "
                       "AS $f$ BEGIN IF NEW.jobke2 = 'DEFER' AND NEW.jobsts = '01' THEN "
                       "RAISE EXCEPTION 'refused at commit'; END IF; RETURN NEW; END $f$",
                       {}),
            0)
      << db.LastMessage();
  ASSERT_EQ(db.Execute("CREATE CONSTRAINT TRIGGER refuse_start AFTER UPDATE ON kvsystem.kvr500job "
                       "DEFERRABLE INITIALLY DEFERRED FOR EACH ROW EXECUTE FUNCTION "
                       "kvsystem.refuse_start()",
                       {}),
            0)
      << db.LastMessage();
  ASSERT_EQ(h_.session().SQLCommit(), 0);
  Job waiting;
  waiting.ke2 = "DEFER";
  h_.Insert(waiting);

  EXPECT_EQ(Start("DEFER", "defer.exe", 0, "ORIG"), JobExecutor::kStartUpdateFailed);
  EXPECT_TRUE(env_.spawned.empty());          // the claim did not hold: nothing was created
  EXPECT_EQ(h_.Read(kDa1, "DEFER").sts, "");  // still waiting
  EXPECT_EQ(h_.exec().table().CountTaken(), 0u);
  EXPECT_EQ(h_.exec().runningJobs(), 0);
  EXPECT_EQ(h_.LogCount("SQLCommit: Start PGM defer.exe vor dem Start! RC: "), 1);
  Pid first = 0;

  // Once the row can be written the job starts, and only its new process runs.
  ASSERT_EQ(db.Execute("DROP TRIGGER refuse_start ON kvsystem.kvr500job", {}), 0);
  ASSERT_EQ(h_.session().SQLCommit(), 0);
  EXPECT_EQ(Start("DEFER", "defer.exe", 0, "ORIG"), JobExecutor::kStartOk);
  Job row = h_.Read(kDa1, "DEFER");
  EXPECT_EQ(row.sts, "01");
  EXPECT_NE(row.num, std::to_string(first));
  EXPECT_EQ(h_.exec().table().CountTaken(), 1u);
}

// A start's id goes to disk with the next commit. When that commit is lost
// the row reads "0" again: a pass writes the id anew, and the run's end is
// written all the same, by a pass or by the stop (ending every job).
TEST_P(JobStart, RunWhoseIdCommitWasLostIsStillSupervisedAndClosed) {
  struct Case {
    const char* ke2;
    bool passBetween, stop;
    const char* status;
  };
  const Case cases[] = {{"ENDED", false, false, "98"},
                        {"REWRITTEN", true, false, "98"},
                        {"STOPPED", false, true, "99"}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.ke2);
    InsertWaiting(c.ke2);
    ASSERT_EQ(Start(c.ke2, "prog.exe", 0), JobExecutor::kStartOk);
    std::string pid = h_.Read(kDa1, c.ke2).num;
    ASSERT_EQ(h_.session().db().Execute(std::string("update KVSYSTEM.KVR500JOB set JOBNUM='0' "
                                                    "where JOBKE2='") +
                                        c.ke2 + "'"),
              0);
    h_.session().SQLCommit();
    if (c.passBetween) {
      ASSERT_TRUE(h_.Supervise());
      EXPECT_EQ(h_.Read(kDa1, c.ke2).num, pid);
    }
    if (c.stop) {
      h_.exec().KillAllProcs(JobExecutor::kReasonServiceLost);
    } else {
      env_.EndProcess(std::stoi(pid));
      ASSERT_TRUE(h_.Supervise());
    }
    EXPECT_EQ(h_.Read(kDa1, c.ke2).sts, c.status);
  }
}

INSTANTIATE_TEST_SUITE_P(Engines, JobStart, ::testing::Values(Engine::Sqlite, Engine::Postgres),
                         EngineParamName<::testing::TestParamInfo<Engine>>);

}  // namespace
}  // namespace kvr::test

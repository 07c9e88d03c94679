// Supervision of managed jobs with scripted processes: the running-time
// rule, the clock-change window, gone and foreign processes, process ids
// handed on to newer processes, rows whose JOBNUM names no job process.
#include <gtest/gtest.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <ctime>
#include <map>

#include "exec/exec_text.h"
#include "executor_harness.h"
#include "platform/fake_env.h"
#include "support/local_zone.h"

namespace kvr::test {
namespace {

constexpr char kCentralEurope[] = "CET-1CEST,M3.5.0,M10.5.0/3";
constexpr char kMonitoringOff[] =
    "Info: Laufzeit\xFC"
    "berwachung vor Uhrzeitumstellung deaktiviert.\n";
constexpr char kMonitoringOn[] =
    "Info: Laufzeit\xFC"
    "berwachung nach Uhrzeitumstellung aktiviert.\n";

class Supervision : public ::testing::TestWithParam<Engine> {
 protected:
  void SetUp() override {
    KVR_REQUIRE_ENGINE(GetParam());
    h_.Open(env_, GetParam());
  }

  // A live process of prog.exe created ageSeconds ago and its row in "01".
  Pid AddRunning(const std::string& ke2, int64_t ageSeconds, int32_t mrt,
                 std::string sda = "<start>", bool marked = true) {
    FakeEnv::Process p;
    p.baseName = "prog.exe";
    p.path = "/opt/kvr/prog.exe";
    p.startTime = env_.Now() - ageSeconds;
    Job job;
    job.ke2 = ke2;
    job.sts = "01";
    job.nam = "prog.exe";
    job.sda = sda == "<start>" ? TimeStamp14(env_, p.startTime) : sda;
    job.mrt = mrt;
    if (marked) p.environment = h_.Mark(job);
    Pid pid = env_.AddProcess(p);
    job.num = std::to_string(pid);
    h_.Insert(job);
    return pid;
  }

  std::string Status(const std::string& ke2) { return h_.Read("20260101000000", ke2).sts; }
  bool Killed(Pid pid) {
    for (Pid k : env_.killedIds) {
      if (k == pid) return true;
    }
    return false;
  }

  LocalZone zone_{kCentralEurope};
  FakeEnv env_;
  ExecutorHarness h_;
};

TEST_P(Supervision, RunningTimeRuleInWinterAndSummer) {
  struct Case {
    int32_t mrt;
    int64_t age;
    bool ended;
  };
  const Case cases[] = {{60, 61, true},       {60, 60, false},          {0, 1000000, false},
                        {-5, 1000, false},    {INT_MAX, 100000, false}, {1, 2, true},
                        {INT_MIN, 100, false}};
  for (int month : {1, 7}) {
    h_.session().db().Execute("delete from KVSYSTEM.KVR500JOB");
    h_.session().SQLCommit();
    env_.SetLocalTime(2026, month, 14, 12, 0, 0);
    std::vector<Pid> pids;
    for (size_t i = 0; i < std::size(cases); ++i) {
      pids.push_back(AddRunning("M" + std::to_string(month) + "_" + std::to_string(i), cases[i].age,
                                cases[i].mrt));
    }
    ASSERT_TRUE(h_.Supervise());
    for (size_t i = 0; i < std::size(cases); ++i) {
      SCOPED_TRACE("month " + std::to_string(month) + " case " + std::to_string(i));
      Job row = h_.Read("20260101000000", "M" + std::to_string(month) + "_" + std::to_string(i));
      EXPECT_EQ(row.sts, cases[i].ended ? "99" : "01");
      EXPECT_EQ(Killed(pids[i]), cases[i].ended);
      EXPECT_EQ(row.eda, cases[i].ended ? TimeStamp14(env_, env_.Now()) : "");
    }
  }
  EXPECT_EQ(h_.exec().runningJobs(), static_cast<int32_t>(std::size(cases)) - 2);
  EXPECT_EQ(h_.LogCount("END PGM: PGM prog.exe wird wegen Laufzeitueberschreitung beendet!\n"), 4);
  int posted = 0;
  for (const auto& m : h_.Messages()) {
    posted += m.find(
                  "Programm prog.exe wird wegen Laufzeit\xFC"
                  "berschreitung abgebrochen!") != std::string::npos;
  }
  EXPECT_EQ(posted, 4);
}

TEST_P(Supervision, NoJobEndedForTimeInTheNightsOfTheClockChange) {
  for (int month : {3, 10}) {
    SCOPED_TRACE(month);
    int day = month == 3 ? 29 : 25;  // the last Sundays of 2026
    env_.SetLocalTime(2026, month, day, 3, 30, 0);
    std::string ke2 = "WINDOW" + std::to_string(month);
    Pid pid = AddRunning(ke2, 7200, 60);
    ASSERT_TRUE(h_.Supervise());
    env_.Advance(600);
    ASSERT_TRUE(h_.Supervise());
    EXPECT_EQ(Status(ke2), "01");
    EXPECT_FALSE(Killed(pid));
    EXPECT_FALSE(h_.exec().monitoring());

    env_.SetLocalTime(2026, month, day, 6, 0, 0);
    ASSERT_TRUE(h_.Supervise());
    EXPECT_EQ(Status(ke2), "99");
    EXPECT_TRUE(h_.exec().monitoring());
  }
  EXPECT_EQ(h_.LogCount(kMonitoringOff), 2);
  EXPECT_EQ(h_.LogCount(kMonitoringOn), 2);
}

// The window is the night from 01:00 to 05:59 of a Sunday from the 25th of
// March or October on; a job over its time is ended anywhere outside it.
TEST_P(Supervision, ClockChangeWindowBounds) {
  const struct {
    const char* name;
    int y, mo, d, h, mi;
    bool ended;
  } cases[] = {
      {"October Sunday 25th, 01:00", 2026, 10, 25, 1, 0, false},
      {"October Sunday 25th, 05:59", 2026, 10, 25, 5, 59, false},
      {"October Sunday 25th, 00:59", 2026, 10, 25, 0, 59, true},
      {"October Sunday 25th, 06:00", 2026, 10, 25, 6, 0, true},
      {"October Sunday 24th", 2027, 10, 24, 3, 30, true},
      {"March Sunday 24th", 2024, 3, 24, 3, 30, true},
      {"March Sunday 31st", 2024, 3, 31, 3, 30, false},
      {"October Saturday 31st", 2026, 10, 31, 3, 30, true},
      {"April Sunday 26th", 2026, 4, 26, 3, 30, true},
      {"September Sunday 27th", 2026, 9, 27, 3, 30, true},
  };
  for (size_t i = 0; i < std::size(cases); ++i) {
    SCOPED_TRACE(cases[i].name);
    env_.SetLocalTime(cases[i].y, cases[i].mo, cases[i].d, cases[i].h, cases[i].mi, 0);
    std::string ke2 = "BOUND" + std::to_string(i);
    Pid pid = AddRunning(ke2, 7200, 60);
    ASSERT_TRUE(h_.Supervise());
    EXPECT_EQ(Status(ke2), cases[i].ended ? "99" : "01");
    EXPECT_EQ(Killed(pid), cases[i].ended);
  }
}

TEST_P(Supervision, ClockGoingBackNeverEndsAJob) {
  Pid pid = AddRunning("BACK", 0, 60);
  env_.Advance(-3600);  // now lies before the process's creation
  ASSERT_TRUE(h_.Supervise());
  EXPECT_EQ(Status("BACK"), "01");
  EXPECT_FALSE(Killed(pid));
  EXPECT_EQ(h_.exec().table()[0].runningTime, 0u);
}

// A process with the row's mark is the job whatever it runs now; any other
// process under the row's id is never signalled. Without any mark the
// program name and the row's start decide, and an overrun is only closed.
TEST_P(Supervision, IdentityDecidesWhatIsEndedAndWhatIsClosed) {
  struct Case {
    const char* ke2;
    const char* sts;
    bool killed;
  };
  const Case cases[] = {{"GONE", "98", false},     {"EXECD", "99", true},
                        {"OTHERJOB", "98", false}, {"HIDDEN", "98", false},
                        {"REUSED", "98", false},   {"LATE", "98", false},
                        {"UNMARKED", "01", false}, {"EMPTYSDA", "01", false}};
  Pid gone = AddRunning("GONE", 100, 60);
  env_.EndProcess(gone);
  Pid execd = AddRunning("EXECD", 100, 60);
  env_.FindProcess(execd)->baseName = "sleep";  // an exec chain: another image, same process
  Pid otherJob = AddRunning("OTHERJOB", 100, 60);
  Job other;
  other.ke2 = "ELSE";
  env_.FindProcess(otherJob)->environment = h_.Mark(other);
  Pid hidden = AddRunning("HIDDEN", 100, 60);
  env_.FindProcess(hidden)->environmentError = EACCES;  // another user's process
  // Unmarked, same program, created after the row's start: the id was handed on.
  AddRunning("REUSED", 1000, 60, TimeStamp14(env_, env_.Now() - 1003), false);
  // Unmarked, created 2 s after the recorded start (clock resolution) and over its time.
  AddRunning("LATE", 1000, 60, TimeStamp14(env_, env_.Now() - 1002), false);
  AddRunning("UNMARKED", 10, 60, "<start>", false);
  AddRunning("EMPTYSDA", 1000, 60, "", false);  // no start to compare: never over its time
  ASSERT_TRUE(h_.Supervise());
  for (const Case& c : cases) {
    EXPECT_EQ(Status(c.ke2), c.sts) << c.ke2;
    Pid pid = std::stoi(h_.Read("20260101000000", c.ke2).num);
    EXPECT_EQ(Killed(pid), c.killed) << c.ke2;
  }
  EXPECT_EQ(h_.Read("20260101000000", "GONE").eda, TimeStamp14(env_, env_.Now()));
  EXPECT_EQ(h_.LogCount("is not this job's (it carries the mark of job 20260101000000 ELSE"), 1);
  EXPECT_EQ(h_.LogCount("is not this job's (its mark cannot be read: Permission denied)"), 1);
  EXPECT_EQ(h_.LogCount("is not this job's (it carries no job mark and is over the job's time)"),
            1);
  EXPECT_EQ(h_.exec().runningJobs(), 2);
}

// A controller killed at any moment of ending an overrun job: before the
// commit nothing is written, so the successor ends the job itself; from the
// commit on the row reads "99" with its one message, and a job that outlived
// the killed controller (signal never sent, or SIGTERM ignored in its grace
// period), with the marked descendant that left its group, is ended by the
// successor at start-up instead of being taken back as "01".
TEST_P(Supervision, OverrunSurvivesAControllerKilledAtAnyMoment) {
  const char* kOverrun =
      "select count(*) from KVSYSTEM.KVR200MSG where MSGTXT like '%Laufzeit%abgebrochen%'";
  struct Case {
    const char* ke2;
    bool killedBeforeCommit;
    bool descendant;
  };
  const Case cases[] = {{"BEFORECOMMIT", true, false},
                        {"AFTERCOMMIT", false, false},
                        {"WITHDESCENDANT", false, true}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.ke2);
    h_.session().db().Execute("delete from KVSYSTEM.KVR200MSG");
    h_.session().SQLCommit();
    Pid pid = AddRunning(c.ke2, 100, 60);
    Pid descendant = 0;
    if (c.descendant) {
      FakeEnv::Process left = *env_.FindProcess(pid);
      left.pid = left.startTicks = 0;
      descendant = env_.AddProcess(left);  // its own group, the job's mark
    }
    std::string row = "select count(*) from KVSYSTEM.KVR500JOB where JOBKE2='" +
                      std::string(c.ke2) + "' and JOBSTS='99' and JOBNUM='" + std::to_string(pid) +
                      "'";
    if (!c.killedBeforeCommit) {
      long rowAtSignal = -1, messagesAtSignal = -1;
      env_.beforeEnd = [&] {
        rowAtSignal = h_.CountElsewhere(row);
        messagesAtSignal = h_.CountElsewhere(kOverrun);
      };
      for (Pid p : {pid, descendant}) {
        if (p != 0) env_.FindProcess(p)->ignoresTerm = true;
      }
      ASSERT_TRUE(h_.Supervise());
      env_.beforeEnd = nullptr;
      EXPECT_EQ(rowAtSignal, 1);
      EXPECT_EQ(messagesAtSignal, 1);
      for (Pid p : {pid, descendant}) {
        if (p != 0) env_.FindProcess(p)->ignoresTerm = false;  // the SIGKILL never came
      }
    }
    env_.killedIds.clear();
    h_.Restart(env_);
    EXPECT_EQ(h_.exec().AdoptMarkedProcesses(), 0);
    ASSERT_TRUE(h_.Supervise());
    EXPECT_FALSE(env_.ProcessAlive(pid));
    EXPECT_TRUE(Killed(pid));
    if (c.descendant) {
      EXPECT_FALSE(env_.ProcessAlive(descendant));
    }
    EXPECT_EQ(h_.CountElsewhere(row), 1);
    EXPECT_EQ(h_.CountElsewhere(kOverrun), 1);
    EXPECT_EQ(
        h_.LogCount(std::string(c.ke2) + ": process " + std::to_string(pid) + " of the start at"),
        c.killedBeforeCommit ? 0 : 1);
  }
}

// An overrun job ends with the descendants that left its group without its
// mark, found through their parents; a group whose leader is ended is not
// named again, and an orphan (its parent gone, now the controller's child)
// or another user's process is nobody's job to end here.
TEST_P(Supervision, OverrunEndsDescendantsFoundThroughTheirParents) {
  Pid job = AddRunning("TREE", 100, 60);
  struct Case {
    const char* name;
    const char* parent;  // "job", "controller" or another case
    bool ownGroup, ownUser, killed;
  };
  const Case cases[] = {
      {"ingroup", "job", false, true, false},        {"setsid", "job", true, true, true},
      {"setsidchild", "setsid", false, true, false}, {"ingroupsetsid", "ingroup", true, true, true},
      {"orphan", "controller", true, true, false},   {"otheruser", "job", true, false, false}};
  std::map<std::string, Pid> pids{{"job", job}, {"controller", env_.selfPid}};
  for (const Case& c : cases) {
    FakeEnv::Process p;
    p.baseName = "sleep";
    p.startTime = env_.Now() - 50;
    p.parent = pids.at(c.parent);
    p.ownUser = c.ownUser;
    Pid pid = env_.AddProcess(p);
    env_.FindProcess(pid)->group = c.ownGroup ? pid : env_.FindProcess(p.parent)->group;
    if (env_.FindProcess(pid)->group == 0) env_.FindProcess(pid)->group = p.parent;
    pids[c.name] = pid;
  }
  ASSERT_TRUE(h_.Supervise());
  EXPECT_EQ(Status("TREE"), "99");
  EXPECT_TRUE(Killed(job));
  for (const Case& c : cases) EXPECT_EQ(Killed(pids[c.name]), c.killed) << c.name;
}

TEST_P(Supervision, RowsWhoseJobNumNamesNoJobProcessAreClosedAndNeverEnded) {
  FakeEnv::Process init;
  init.pid = 1;
  init.baseName = "prog.exe";
  env_.AddProcess(init);
  FakeEnv::Process self;
  self.pid = env_.selfPid;
  self.baseName = "prog.exe";
  env_.AddProcess(self);
  // "" is a row of another program (kept, counted, logged once); "0" a row
  // claimed for a start whose process is nowhere.
  const char* nums[] = {"", "abc", "-5", "12ab", "0", "1", "4242", "99999999", "+7"};
  for (size_t i = 0; i < std::size(nums); ++i) {
    Job job;
    job.ke2 = "N" + std::to_string(i);
    job.sts = "01";
    job.nam = "prog.exe";
    job.num = nums[i];
    job.sda = TimeStamp14(env_, env_.Now() - 5000);
    job.mrt = 1;
    h_.Insert(job);
  }
  ASSERT_TRUE(h_.Supervise());
  ASSERT_TRUE(h_.Supervise());
  for (size_t i = 0; i < std::size(nums); ++i) {
    EXPECT_EQ(Status("N" + std::to_string(i)), i == 0 ? "01" : "98")
        << "JOBNUM '" << nums[i] << "'";
  }
  EXPECT_TRUE(env_.killedIds.empty());
  EXPECT_EQ(h_.exec().runningJobs(), 1);
  EXPECT_EQ(h_.exec().table().CountTaken(), 0u);
  EXPECT_EQ(h_.LogCount("N0: status 01 without process id, counted as running, not supervised"), 1);
  EXPECT_EQ(h_.LogCount("N4: claimed for its start at "), 1);
}

// With the mark the job needs no image name; without one, only a row that
// expects "unknown" keeps a process whose image cannot be read.
TEST_P(Supervision, UnreadableImageKeepsMarkedAndUnknownJobs) {
  Pid known = AddRunning("KNOWN", 10, 60);
  env_.FindProcess(known)->imageReadable = false;
  Pid unmarked = AddRunning("UNMARKED", 10, 60, "<start>", false);
  env_.FindProcess(unmarked)->imageReadable = false;
  FakeEnv::Process p;
  p.imageReadable = false;
  p.startTime = env_.Now() - 10;
  Pid unknownPid = env_.AddProcess(p);
  Job job;
  job.ke2 = "UNKNOWN";
  job.sts = "01";
  job.nam = "unknown  ";  // trailing blanks are not part of the name
  job.num = std::to_string(unknownPid);
  job.sda = TimeStamp14(env_, p.startTime);
  h_.Insert(job);
  ASSERT_TRUE(h_.Supervise());
  EXPECT_EQ(Status("KNOWN"), "01");
  EXPECT_EQ(Status("UNMARKED"), "98");
  EXPECT_EQ(Status("UNKNOWN"), "01");
}

TEST_P(Supervision, RebuildReadsRunningRowsAndTheirOrigins) {
  AddRunning("A", 1, 0);
  Job other;
  other.ke2 = "B";
  other.urv = "ORIG";
  other.sts = "01";
  other.rty = "04";
  other.nam = "x.exe";
  other.num = "77";
  h_.Insert(other);
  Job notManaged = other;
  notManaged.ke2 = "C";
  notManaged.rty = "06";
  notManaged.urv = "SIX";
  h_.Insert(notManaged);
  Job waiting = other;
  waiting.ke2 = "D";
  waiting.sts = "";
  waiting.urv = "WAIT";
  h_.Insert(waiting);

  h_.exec().ClearProcessTable();
  int sqlCode = -1;
  ASSERT_EQ(h_.exec().GetKvProcs(&sqlCode), 1);
  EXPECT_EQ(sqlCode, 0);
  EXPECT_EQ(h_.exec().runningJobs(), 2);
  EXPECT_STREQ(h_.exec().exclusions().Text(), "'ORIG'");
  EXPECT_EQ(env_.reapCalls, 1);
  const ProcessEntry& b =
      h_.exec().table()[0].jobke2 == "B" ? h_.exec().table()[0] : h_.exec().table()[1];
  EXPECT_EQ(b.pid, 77);
  EXPECT_EQ(b.programName, std::string_view("x.exe"));
  EXPECT_EQ(b.jobrty, std::string_view("04"));
}

TEST_P(Supervision, ReadFailureIsReportedWithTheSqlCode) {
  ASSERT_EQ(
      h_.session().db().Execute(GetParam() == Engine::Sqlite ? "drop table \"KVSYSTEM.KVR500JOB\""
                                                             : "drop table KVSYSTEM.KVR500JOB"),
      0);
  int sqlCode = 0;
  EXPECT_EQ(h_.exec().GetKvProcs(&sqlCode), 0);
  EXPECT_NE(sqlCode, 0);
  EXPECT_EQ(h_.LogCount("RTY01Jobs einlesen: "), 1);
}

// A FakeEnv whose steady clock, as on a real system, does not follow a step
// of the wall clock; the creation times read of processes (boot time plus
// their start since boot) move with the wall clock.
class SteppingEnv : public FakeEnv {
 public:
  int64_t SteadyMillis() override { return FakeEnv::SteadyMillis() - steppedMs_; }
  void StepClock(int64_t seconds, const std::vector<Pid>& pids) {
    Advance(seconds);
    steppedMs_ += seconds * 1000;
    for (Pid pid : pids) {
      if (Process* p = FindProcess(pid)) p->startTime += seconds;
    }
  }

 private:
  int64_t steppedMs_ = 0;
};

class ClockStep : public ::testing::TestWithParam<Engine> {
 protected:
  void SetUp() override {
    KVR_REQUIRE_ENGINE(GetParam());
    h_.Open(env_, GetParam());
  }
  std::string Status(const std::string& ke2) { return h_.Read("20260101000000", ke2).sts; }

  SteppingEnv env_;
  ExecutorHarness h_;
};

// The wall clock set forward while jobs run makes their processes look
// created after the rows' start times; they are still the jobs' own, and
// are neither closed as gone (and then started a second time) nor left
// unsupervised. A process id handed on after the step is still noticed.
TEST_P(ClockStep, ClockSetForwardKeepsRunningJobsAndStillSeesHandedOnIds) {
  const std::string da1 = "20260101000000";
  Job waiting;
  waiting.ke2 = "STARTED";
  h_.Insert(waiting);
  ASSERT_TRUE(h_.Supervise());
  ASSERT_EQ(h_.exec().StartJob(RowToStart("started.exe", da1, "STARTED", "", 0, 0)),
            JobExecutor::kStartOk);
  Pid started = std::stoi(h_.Read(da1, "STARTED").num);
  // A job left running by an earlier run of the controller.
  FakeEnv::Process p;
  p.baseName = "prog.exe";
  p.startTime = env_.Now() - 100;
  Job job;
  job.ke2 = "SEEN";
  job.sts = "01";
  job.nam = "prog.exe";
  job.sda = TimeStamp14(env_, p.startTime);
  job.mrt = 200;
  p.environment = h_.Mark(job);
  Pid seen = env_.AddProcess(p);
  job.num = std::to_string(seen);
  h_.Insert(job);
  env_.Advance(1);
  ASSERT_TRUE(h_.Supervise());

  env_.StepClock(3600, {started, seen});
  ASSERT_TRUE(h_.Supervise());
  EXPECT_EQ(Status("STARTED"), "01");
  EXPECT_EQ(Status("SEEN"), "01");
  EXPECT_TRUE(env_.killedIds.empty());
  EXPECT_EQ(h_.exec().runningJobs(), 2);

  // The running time is not moved by the step: 201 s is over 200.
  env_.Advance(100);
  ASSERT_TRUE(h_.Supervise());
  EXPECT_EQ(Status("SEEN"), "99");
  EXPECT_EQ(Status("STARTED"), "01");

  // The job's process ends and a newer one of the same program gets its id.
  FakeEnv::Process newer;
  newer.pid = started;
  newer.baseName = "started.exe";
  newer.startTime = env_.Now();
  env_.AddProcess(newer);
  env_.Advance(10);
  ASSERT_TRUE(h_.Supervise());
  EXPECT_EQ(Status("STARTED"), "98");
  EXPECT_EQ(env_.killedIds, std::vector<Pid>{seen});
}

INSTANTIATE_TEST_SUITE_P(Engines, ClockStep, ::testing::Values(Engine::Sqlite, Engine::Postgres),
                         EngineParamName<::testing::TestParamInfo<Engine>>);

INSTANTIATE_TEST_SUITE_P(Engines, Supervision, ::testing::Values(Engine::Sqlite, Engine::Postgres),
                         EngineParamName<::testing::TestParamInfo<Engine>>);

}  // namespace
}  // namespace kvr::test

// Job output files with scripted processes: the file a start opens, the
// pruning of old files, the size cap, the line that ends a file for each
// kind of ending, and a folder that cannot be used, which never stops a start.
#include <gtest/gtest.h>

#include <cerrno>
#include <csignal>
#include <fstream>

#include "exec/job_output_files.h"
#include "executor_harness.h"
#include "platform/fake_env.h"

namespace kvr::test {
namespace {

constexpr char kDa1[] = "20260101000000";
constexpr char kStamp[] = "20261207080000";  // the fake clock's start time

class JobOutputFiles : public ::testing::Test {
 protected:
  void SetUp() override {
    KVR_REQUIRE_ENGINE(Engine::Sqlite);
    Open(folder());
  }

  void Open(const std::string& dir, int64_t cap = 1000, int32_t files = 500) {
    JobOutputSettings settings;
    settings.dir = dir;
    settings.capBytes = cap;
    settings.keptFiles = files;
    h_ = std::make_unique<ExecutorHarness>();
    h_->Open(env_, Engine::Sqlite, {.output = settings});
  }

  std::string folder() const { return out_.File("out"); }
  std::string FileOf(const std::string& key) const {
    return folder() + "/" + JobOutputName(kStamp, key);
  }

  // Inserts the row and starts it; the new process's id.
  Pid Start(const std::string& key, int32_t mrt = 0) {
    Job job;
    job.ke2 = key;
    job.mrt = mrt;
    h_->Insert(job);
    EXPECT_EQ(h_->exec().StartJob(RowToStart("prog.exe", kDa1, key, "", mrt, 0)),
              JobExecutor::kStartOk);
    return std::stoi(h_->Read(kDa1, key).num);
  }

  static void Append(const std::string& path, const std::string& text) {
    std::ofstream(path, std::ios::app) << text;
  }
  static std::string Content(const std::string& path) {
    std::ifstream in(path);
    return std::string(std::istreambuf_iterator<char>(in), {});
  }
  static bool EndsWith(const std::string& text, const std::string& tail) {
    return text.size() >= tail.size() &&
           text.compare(text.size() - tail.size(), tail.size(), tail) == 0;
  }

  TempDir out_;
  FakeEnv env_;
  std::unique_ptr<ExecutorHarness> h_;
};

TEST_F(JobOutputFiles, StartOpensTheJobsOwnFileInAFolderItMakes) {
  Start("NIGHT RUN");
  ASSERT_EQ(env_.spawnedOutputs.size(), 1u);
  EXPECT_EQ(env_.spawnedOutputs[0], folder() + "/20261207080000_NIGHT%20RUN.log");
  EXPECT_TRUE(env_.FileSize(env_.spawnedOutputs[0]).has_value());
  EXPECT_EQ(h_->Read(kDa1, "NIGHT RUN").sts, "01");
}

TEST_F(JobOutputFiles, WithoutFolderNothingChanges) {
  Open("");
  Pid pid = Start("PLAIN");
  EXPECT_TRUE(env_.spawnedOutputs.empty());
  EXPECT_EQ(env_.spawned.size(), 1u);
  env_.EndProcess(pid, ExitStatus{false, 3});
  ASSERT_TRUE(h_->Supervise());
  EXPECT_EQ(h_->Read(kDa1, "PLAIN").sts, "98");
  EXPECT_TRUE(env_.ListDirectory(out_.path())->empty());
  EXPECT_EQ(h_->DebugLog(), "");
}

TEST_F(JobOutputFiles, OldestFilesBeyondTheCountAreRemoved) {
  Open(folder(), 1000, 3);
  ASSERT_EQ(env_.MakeDirectory(folder()), 0);
  for (const char* name : {"20261201000000_A.log", "20261202000000_B.log", "20261203000000_C.log",
                           "20261204000000_D.log", "notes.txt"}) {
    Append(folder() + "/" + name, "x\n");
  }
  Start("NEW");
  auto names = *env_.ListDirectory(folder());
  std::sort(names.begin(), names.end());
  EXPECT_EQ(names, (std::vector<std::string>{"20261203000000_C.log", "20261204000000_D.log",
                                             "20261207080000_NEW.log", "notes.txt"}));
}

TEST_F(JobOutputFiles, RunningJobsFilesAreNotPruned) {
  Open(folder(), 1000, 2);
  env_.SetLocalTime(2026, 12, 1, 0, 0, 0);
  Start("LONG");
  for (int day = 2; day <= 4; ++day) {
    env_.SetLocalTime(2026, 12, day, 0, 0, 0);
    std::string key = "K" + std::to_string(day);
    Start(key);
    env_.EndProcess(std::stoi(h_->Read(kDa1, key).num));
    ASSERT_TRUE(h_->Supervise());
  }
  auto names = *env_.ListDirectory(folder());
  std::sort(names.begin(), names.end());
  EXPECT_EQ(names, (std::vector<std::string>{"20261201000000_LONG.log", "20261204000000_K4.log"}));
}

TEST_F(JobOutputFiles, OverLongFileIsCutAtTheCapWithALine) {
  Open(folder(), 40);
  Start("CHATTY");
  const std::string file = FileOf("CHATTY");
  const std::string head(40, 'a');
  struct Step {
    bool fresh;  // the file emptied first
    std::string written;
    std::string content;
  } steps[] = {
      {false, "short\n", "short\n"},                       // within the cap
      {true, head, head},                                  // just at the cap
      {true, head + "b", head + CutOutputLine(40)},        // cut, first time
      {false, "more output\n", head + CutOutputLine(40)},  // later output is cut too
  };
  for (const Step& s : steps) {
    if (s.fresh) {
      ASSERT_EQ(env_.TruncateFile(file, 0), 0);
    }
    Append(file, s.written);
    ASSERT_TRUE(h_->Supervise());
    EXPECT_EQ(Content(file), s.content);
  }
  EXPECT_EQ(h_->Read(kDa1, "CHATTY").sts, "01");
  std::string debug = h_->DebugLog();
  EXPECT_NE(debug.find("Job output: file " + file + " cut at 40 bytes"), std::string::npos)
      << debug;
  EXPECT_EQ(debug.find("cut at"), debug.rfind("cut at")) << "logged once per file";
}

TEST_F(JobOutputFiles, EndingWritesExitStatusOrSignalIntoFileAndDebugLog) {
  struct Case {
    const char* key;
    std::function<void(FakeEnv&, Pid)> end;
    int32_t mrt;
    const char* text;
  } cases[] = {
      {"EXIT3",
       [](FakeEnv& e, Pid p) {
         e.EndProcess(p, ExitStatus{false, 3});
       },
       0, "exit status 3"},
      {"EXIT0", [](FakeEnv& e, Pid p) { e.EndProcess(p); }, 0, "exit status 0"},
      {"KILLED",
       [](FakeEnv& e, Pid p) {
         e.EndProcess(p, ExitStatus{true, SIGKILL});
       },
       0, "ended by signal 9 (Killed)"},
      // Seen while exiting (alive, its image gone), reaped after: its own status.
      {"EXITING", [](FakeEnv& e, Pid p) { e.FindProcess(p)->imageReadable = false; }, 0,
       "exit status 4"},
      // Over its time: ended by the controller, its status comes with the next reaping.
      {"OVERRUN", [](FakeEnv& e, Pid) { e.Advance(120); }, 60, "ended by signal 15 (Terminated)"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.key);
    Pid pid = Start(c.key, c.mrt);
    c.end(env_, pid);
    ASSERT_TRUE(h_->Supervise());
    if (std::string(c.key) == "EXITING") env_.EndProcess(pid, ExitStatus{false, 4});
    ASSERT_TRUE(h_->Supervise());
    EXPECT_NE(h_->Read(kDa1, c.key).sts, "01");
    std::string content = Content(FileOf(c.key));
    EXPECT_TRUE(EndsWith(content, std::string(" job controller: ") + c.text + "]\n")) << content;
    std::string line =
        "Job " + std::string(c.key) + " (PID " + std::to_string(pid) + "): " + c.text;
    EXPECT_NE(h_->DebugLog().find(line), std::string::npos) << h_->DebugLog();
    EXPECT_EQ(h_->exec().output().awaited(), 0u);
  }
}

TEST_F(JobOutputFiles, StatusThatNeverComesIsGivenUpAfterAWhile) {
  FakeEnv::Process p;
  p.baseName = "prog.exe";
  p.child = false;  // started by an earlier controller
  env_.spawner = [&](const std::string&) { return SpawnResult{true, env_.AddProcess(p), 0, 0}; };
  Pid pid = Start("ORPHAN", 60);
  env_.Advance(120);
  ASSERT_TRUE(h_->Supervise());  // ended for its time, no status comes
  EXPECT_EQ(h_->exec().output().awaited(), 1u);
  EXPECT_EQ(Content(FileOf("ORPHAN")), "");
  env_.SleepMs(JobOutput::kStatusWaitMs);
  ASSERT_TRUE(h_->Supervise());
  EXPECT_EQ(h_->exec().output().awaited(), 0u);
  EXPECT_TRUE(EndsWith(Content(FileOf("ORPHAN")), "ended, exit status not known]\n"));
  EXPECT_NE(h_->DebugLog().find("(PID " + std::to_string(pid) + "): ended, exit status not known"),
            std::string::npos);
}

TEST_F(JobOutputFiles, UnusableFolderCostsOneLineAndTheJobStillStarts) {
  struct Case {
    const char* name;
    std::function<void(FakeEnv&, const std::string& dir, const std::string& file)> make;
    const char* line;
    bool fileAsked;  // SpawnWithOutput was used
  } cases[] = {
      {"cannot be made",
       [](FakeEnv& e, const std::string& d, const std::string&) { e.fileErrors[d] = EACCES; },
       "cannot be made (13: Permission denied); job BAD starts without output file", false},
      {"full", [](FakeEnv& e, const std::string& d, const std::string&) { e.freeBytes[d] = 999; },
       "has 999 bytes free, less than the cap of 1000; job BAD starts without output file", false},
      {"file not writable",
       [](FakeEnv& e, const std::string&, const std::string& f) { e.fileErrors[f] = EROFS; },
       "cannot be opened (30: Read-only file system); the job runs without it", true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    FakeEnv env;
    TempDir out;
    std::string dir = out.File("out"), file = dir + "/" + JobOutputName(kStamp, "BAD");
    c.make(env, dir, file);
    JobOutputSettings settings;
    settings.dir = dir;
    settings.capBytes = 1000;
    ExecutorHarness h;
    h.Open(env, Engine::Sqlite, {.output = settings});
    Job job;
    job.ke2 = "BAD";
    h.Insert(job);
    EXPECT_EQ(h.exec().StartJob(RowToStart("prog.exe", kDa1, "BAD", "", 0, 0)),
              JobExecutor::kStartOk);
    EXPECT_EQ(h.Read(kDa1, "BAD").sts, "01");
    EXPECT_EQ(env.spawned.size(), 1u);
    EXPECT_EQ(env.spawnedOutputs.size(), c.fileAsked ? 1u : 0u);
    std::string debug = h.DebugLog();
    EXPECT_NE(debug.find(c.line), std::string::npos) << debug;
    EXPECT_EQ(std::count(debug.begin(), debug.end(), '\n'), 1) << debug;
    // The queue goes on: the next pass supervises the job as ever.
    ASSERT_TRUE(h.Supervise());
    EXPECT_EQ(h.Read(kDa1, "BAD").sts, "01");
  }
}

TEST_F(JobOutputFiles, FailedStartLeavesNoEmptyFile) {
  env_.spawner = [](const std::string&) { return SpawnResult{false, 0, ENOEXEC, 0}; };
  Job job;
  job.ke2 = "NOGO";
  h_->Insert(job);
  EXPECT_EQ(h_->exec().StartJob(RowToStart("prog.exe", kDa1, "NOGO", "", 0, 0)),
            JobExecutor::kStartFailed);
  EXPECT_EQ(env_.spawnedOutputs.size(), 1u);
  EXPECT_FALSE(env_.FileSize(FileOf("NOGO")).has_value());
  EXPECT_EQ(h_->Read(kDa1, "NOGO").sts, "90");
}

TEST_F(JobOutputFiles, JobsEndedAtShutDownGetTheirSignalLineBeforeTheControllerEnds) {
  Pid a = Start("A");
  Job job;
  job.da1 = "20260101000001";
  job.ke2 = "B";
  h_->Insert(job);
  ASSERT_EQ(h_->exec().StartJob(RowToStart("prog.exe", job.da1, "B", "", 0, 0)),
            JobExecutor::kStartOk);
  env_.EndProcess(a, ExitStatus{false, 0});  // A ended by itself meanwhile
  h_->exec().KillAllProcs(JobExecutor::kReasonServiceLost);
  EXPECT_EQ(h_->exec().output().awaited(), 0u);
  EXPECT_TRUE(EndsWith(Content(FileOf("B")), "ended by signal 15 (Terminated)]\n"));
  // Ended by itself: no later pass closes it, so the stop does, with its status.
  EXPECT_TRUE(EndsWith(Content(FileOf("A")), "exit status 0]\n"));
  EXPECT_EQ(h_->Read(kDa1, "A").sts, "98");
}

TEST_F(JobOutputFiles, IdHandedToANewJobGivesTheOldJobOnlyItsOwnStatus) {
  Pid pid = Start("OLD");
  env_.EndProcess(pid, ExitStatus{false, 7});
  env_.ReapChildren();
  // The next start gets the same id while OLD's row still says "01".
  FakeEnv::Process p;
  p.pid = pid;
  p.baseName = "prog.exe";
  p.startTime = env_.Now();
  env_.spawner = [&](const std::string&) { return SpawnResult{true, env_.AddProcess(p), 0, 0}; };
  Start("NEW");
  EXPECT_EQ(h_->Read(kDa1, "OLD").sts, "98");
  EXPECT_TRUE(EndsWith(Content(FileOf("OLD")), "exit status 7]\n"));
  env_.EndProcess(pid, ExitStatus{false, 1});
  ASSERT_TRUE(h_->Supervise());
  EXPECT_TRUE(EndsWith(Content(FileOf("NEW")), "exit status 1]\n"));
  EXPECT_TRUE(EndsWith(Content(FileOf("OLD")), "exit status 7]\n"));
}

}  // namespace
}  // namespace kvr::test

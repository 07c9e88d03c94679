// Job processes on the real system (command words, program look-up,
// posix_spawn settings, /proc inspection, ending a process group with
// SIGKILL after the grace period) and the scripted processes of FakeEnv.
#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <fstream>

#include "platform/command_words.h"
#include "platform/fake_env.h"
#include "platform/posix_env.h"
#include "support/temp_dir.h"

extern char** environ;

namespace kvr {
namespace {

TEST(CommandWords, Split) {
  struct Case {
    const char* line;
    std::vector<std::string> words;
  };
  const Case cases[] = {
      {"a b", {"a", "b"}},
      {"  a\t b  ", {"a", "b"}},
      {"\"a b\" c", {"a b", "c"}},
      {"a\"b c\"d e", {"ab cd", "e"}},
      {"prog \"\" x", {"prog", "", "x"}},
      {"C:\\Prog\\x.exe ..\\files\\y.ini", {"C:/Prog/x.exe", "../files/y.ini"}},
      {"prog \"unclosed rest  ", {"prog", "unclosed rest  "}},
      {"", {}},
      {" \t ", {}},
  };
  for (const Case& c : cases) {
    std::vector<std::string> words{"stale"};
    EXPECT_EQ(SplitCommandLine(c.line, &words), !c.words.empty()) << c.line;
    EXPECT_EQ(words, c.words) << c.line;
  }
}

class ProgramFiles : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_.Write("script", "#!/bin/sh\nexit 0\n");
    dir_.Write("plain", "echo no interpreter line\n");
    dir_.Write("noexec", "#!/bin/sh\n");
    dir_.Write("sub/inner", "#!/bin/sh\n");
    chmod(dir_.File("script").c_str(), 0755);
    chmod(dir_.File("plain").c_str(), 0755);
    chmod(dir_.File("noexec").c_str(), 0644);
    chmod(dir_.File("sub/inner").c_str(), 0755);
  }
  test::TempDir dir_;
};

TEST_F(ProgramFiles, FindProgram) {
  int error = 0;
  EXPECT_EQ(FindProgram("script", dir_.path(), &error), dir_.path() + "/script");
  EXPECT_EQ(FindProgram(dir_.File("sub/inner"), "", &error), dir_.File("sub/inner"));
  struct Case {
    std::string word;
    int error;
  };
  const Case failures[] = {{"plain", ENOEXEC},
                           {"noexec", EACCES},
                           {"sub", EACCES},
                           {"missing_kvr_prog", ENOENT},
                           {dir_.File("noexec"), EACCES},
                           {dir_.File("sub"), EACCES},
                           {dir_.File("none/x"), ENOENT},
                           {"", ENOENT}};
  for (const Case& c : failures) {
    EXPECT_EQ(FindProgram(c.word, dir_.path(), &error), "") << c.word;
    EXPECT_EQ(error, c.error) << c.word;
  }
  // The current directory comes before PATH.
  char* current = get_current_dir_name();
  std::string cwd = current;
  free(current);
  ASSERT_EQ(chdir(dir_.path().c_str()), 0);
  EXPECT_EQ(FindProgram("script", "/bin", &error), "./script");
  EXPECT_EQ(FindProgram("sh", "/bin", &error), "/bin/sh");
  ASSERT_EQ(chdir(cwd.c_str()), 0);
}

class RealProcesses : public ::testing::Test {
 protected:
  bool GoneSoon(Pid pid, int ms = 2000) {
    for (int i = 0; i < ms / 20 && env_.ProcessAlive(pid); ++i) {
      env_.ReapChildren();
      env_.SleepMs(20);
    }
    return !env_.ProcessAlive(pid);
  }
  Pid ReadPid(const std::string& path) {
    for (int i = 0; i < 100; ++i) {
      std::ifstream in(path);
      Pid pid = 0;
      if (in >> pid && pid > 0) return pid;
      env_.SleepMs(20);
    }
    return 0;
  }
  std::string StatusLine(Pid pid, const std::string& key) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    while (std::getline(in, line)) {
      if (line.rfind(key, 0) == 0) return line;
    }
    return "";
  }
  PosixEnv env_;
  test::TempDir dir_;
};

TEST_F(RealProcesses, SpawnedJobGetsItsOwnGroupNullInputAndDefaultSignals) {
  // A signal the parent ignores is back at its default in the child.
  struct sigaction ignore {
  }, before{};
  ignore.sa_handler = SIG_IGN;
  ASSERT_EQ(sigaction(SIGUSR1, &ignore, &before), 0);
  SpawnResult r = env_.Spawn("/bin/sleep 30");
  sigaction(SIGUSR1, &before, nullptr);
  ASSERT_TRUE(r.created) << r.error;
  const std::string ignored = StatusLine(r.pid, "SigIgn:");
  ASSERT_GT(ignored.size(), 8u);
  const unsigned long long ignoredMask = std::stoull(ignored.substr(8), nullptr, 16);
  EXPECT_EQ(ignoredMask & (1ULL << (SIGUSR1 - 1)), 0u) << ignored;
  EXPECT_TRUE(env_.ProcessAlive(r.pid));
  EXPECT_EQ(getpgid(r.pid), r.pid);
  char target[256] = {};
  ASSERT_GT(readlink(("/proc/" + std::to_string(r.pid) + "/fd/0").c_str(), target, 255), 0);
  EXPECT_STREQ(target, "/dev/null");
  EXPECT_EQ(StatusLine(r.pid, "SigBlk:"), "SigBlk:\t0000000000000000");  // we block TERM
  auto image = env_.ProcessImageOf(r.pid);
  ASSERT_TRUE(image.has_value());
  EXPECT_EQ(image->baseName, "sleep");
  EXPECT_EQ(image->path.substr(image->path.size() - 6), "/sleep");
  auto started = env_.ProcessStartTime(r.pid);
  ASSERT_TRUE(started.has_value());
  EXPECT_LE(std::abs(*started - env_.Now()), 2);
  env_.KillById(r.pid);
  EXPECT_TRUE(GoneSoon(r.pid));
  EXPECT_FALSE(env_.ProcessImageOf(r.pid).has_value());
  EXPECT_FALSE(env_.ProcessStartTime(r.pid).has_value());
}

TEST_F(RealProcesses, ProgramsThatCannotRunAreNotCreated) {
  dir_.Write("plain", "echo x\n");
  chmod(dir_.File("plain").c_str(), 0755);
  dir_.Write("noexec", "#!/bin/sh\n");
  const std::pair<std::string, int> cases[] = {{"", EINVAL},
                                               {"   ", EINVAL},
                                               {"/nonexistent/prog -a", ENOENT},
                                               {dir_.path(), EACCES},
                                               {dir_.File("noexec"), EACCES},
                                               {dir_.File("plain"), ENOEXEC}};
  for (const auto& [line, error] : cases) {
    SpawnResult r = env_.Spawn(line);
    EXPECT_FALSE(r.created) << line;
    EXPECT_EQ(r.error, error) << line;
  }
}

TEST_F(RealProcesses, JobIgnoringTermEndsWithItsChildrenAfterTheGrace) {
  env_.SetKillGraceMs(300);
  dir_.Write("stubborn", "#!/bin/sh\ntrap '' TERM\nsleep 30 &\necho $! > " + dir_.File("child") +
                             "\nwait\nwait\n");
  chmod(dir_.File("stubborn").c_str(), 0755);
  SpawnResult r = env_.Spawn(dir_.File("stubborn"));
  ASSERT_TRUE(r.created) << r.error;
  Pid child = ReadPid(dir_.File("child"));
  ASSERT_GT(child, 0);
  env_.KillById(r.pid);
  env_.SleepMs(150);
  env_.ReapChildren();
  EXPECT_TRUE(env_.ProcessAlive(r.pid));  // TERM is ignored
  EXPECT_TRUE(GoneSoon(r.pid));
  EXPECT_TRUE(GoneSoon(child));
}

TEST_F(RealProcesses, EndingAJobEndsTheChildrenOfItsGroup) {
  dir_.Write("parent", "#!/bin/sh\nsleep 30 &\necho $! > " + dir_.File("child") + "\nwait\n");
  chmod(dir_.File("parent").c_str(), 0755);
  SpawnResult r = env_.Spawn("\"" + dir_.File("parent") + "\"");
  ASSERT_TRUE(r.created) << r.error;
  Pid child = ReadPid(dir_.File("child"));
  ASSERT_GT(child, 0);
  env_.KillById(r.pid);
  EXPECT_TRUE(GoneSoon(r.pid, 1000));
  EXPECT_TRUE(GoneSoon(child, 1000));
}

TEST_F(RealProcesses, NeverEndsTheControllerOrItsOwnGroup) {
  env_.KillById(0);
  env_.KillById(-1);
  env_.KillById(getpid());
  env_.SleepMs(20);
  EXPECT_FALSE(env_.StopRequested());
  // A process in the controller's own group (not started as a job).
  pid_t pid = 0;
  char sleepArg[] = "30";
  char prog[] = "/bin/sleep";
  char* argv[] = {prog, sleepArg, nullptr};
  ASSERT_EQ(posix_spawn(&pid, "/bin/sleep", nullptr, nullptr, argv, environ), 0);
  env_.KillById(pid);
  env_.SleepMs(100);
  EXPECT_TRUE(env_.ProcessAlive(pid));
  kill(pid, SIGKILL);
  EXPECT_TRUE(GoneSoon(pid));
}

TEST_F(RealProcesses, KillByImageNameEndsEveryProcessOfThatName) {
  std::string copy = dir_.File("KvrTestSleeper");
  {
    std::ifstream from("/bin/sleep", std::ios::binary);
    std::ofstream to(copy, std::ios::binary);
    to << from.rdbuf();
  }
  chmod(copy.c_str(), 0755);
  SpawnResult a = env_.Spawn(copy + " 30");
  SpawnResult b = env_.Spawn(copy + " 31");
  SpawnResult other = env_.Spawn("/bin/sleep 30");
  ASSERT_TRUE(a.created && b.created && other.created);
  env_.KillByImageName("kvrtestsleeper");
  EXPECT_TRUE(GoneSoon(a.pid));
  EXPECT_TRUE(GoneSoon(b.pid));
  EXPECT_TRUE(env_.ProcessAlive(other.pid));
  env_.KillById(other.pid);
  EXPECT_TRUE(GoneSoon(other.pid));
}

TEST_F(RealProcesses, EndedChildrenAreReaped) {
  SpawnResult r = env_.Spawn("/bin/true");
  ASSERT_TRUE(r.created);
  EXPECT_TRUE(GoneSoon(r.pid));
  env_.ReapChildren();
  struct stat st {};
  EXPECT_NE(stat(("/proc/" + std::to_string(r.pid)).c_str(), &st), 0);  // no zombie left
  EXPECT_FALSE(env_.ProcessAlive(0));
  EXPECT_FALSE(env_.ProcessAlive(-5));
}

TEST(FakeProcesses, ScriptedLifeOfProcesses) {
  FakeEnv env;
  env.SetNow(1000);
  SpawnResult r = env.Spawn("\"C:\\Prog Files\\Kvr.EXE\" /a");
  ASSERT_TRUE(r.created);
  EXPECT_EQ(env.ProcessImageOf(r.pid)->baseName, "Kvr.EXE");
  EXPECT_EQ(env.ProcessStartTime(r.pid), 1000);
  EXPECT_FALSE(env.Spawn("  ").created);
  EXPECT_EQ(env.spawned.size(), 2u);

  FakeEnv::Process hidden;
  hidden.imageReadable = false;
  Pid h = env.AddProcess(hidden);
  EXPECT_NE(h, r.pid);
  EXPECT_TRUE(env.ProcessAlive(h));
  EXPECT_FALSE(env.ProcessImageOf(h).has_value());

  FakeEnv::Process self;
  self.pid = env.selfPid;
  self.baseName = "kvr.exe";
  env.AddProcess(self);
  env.KillByImageName("KVR.exe");
  EXPECT_FALSE(env.ProcessAlive(r.pid));
  EXPECT_FALSE(env.ProcessImageOf(r.pid).has_value());
  EXPECT_TRUE(env.ProcessAlive(env.selfPid));
  env.KillById(h);
  EXPECT_FALSE(env.ProcessAlive(h));
  EXPECT_EQ(env.killedIds, std::vector<Pid>{h});
}

// Polls the reaping until the child's status is kept; nothing after 5 s.
std::optional<ExitStatus> AwaitStatus(PosixEnv& env, Pid pid) {
  for (int i = 0; i < 250; ++i) {
    env.ReapChildren();
    if (auto status = env.TakeExitStatus(pid)) return status;
    env.SleepMs(20);
  }
  return std::nullopt;
}

TEST_F(RealProcesses, ExitStatusOrSignalIsKeptUntilTakenOnce) {
  struct Case {
    const char* command;
    int killWith;  // 0: the job ends by itself
    bool signaled;
    int code;
  } cases[] = {
      {"/bin/sh -c \"exit 3\"", 0, false, 3},
      {"/bin/true", 0, false, 0},
      {"/bin/sleep 30", SIGKILL, true, SIGKILL},
      {"/bin/sleep 30", SIGTERM, true, SIGTERM},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.command);
    SpawnResult r = env_.Spawn(c.command);
    ASSERT_TRUE(r.created) << r.error;
    if (c.killWith != 0) kill(r.pid, c.killWith);
    auto status = AwaitStatus(env_, r.pid);
    ASSERT_TRUE(status.has_value());
    EXPECT_EQ(status->signaled, c.signaled);
    EXPECT_EQ(status->code, c.code);
    EXPECT_FALSE(env_.TakeExitStatus(r.pid).has_value()) << "handed out once";
  }
}

TEST_F(RealProcesses, KeptStatusesAreBounded) {
  std::vector<Pid> pids;
  for (std::size_t i = 0; i < kKeptExitStatuses + 8; ++i) {
    SpawnResult r = env_.Spawn("/bin/true");
    ASSERT_TRUE(r.created) << r.error;
    pids.push_back(r.pid);
    if (i % 64 == 0) env_.ReapChildren();
  }
  for (int i = 0; i < 250 && std::any_of(pids.begin(), pids.end(),
                                         [&](Pid p) {
                                           return kill(p, 0) == 0;  // a zombie still answers
                                         });
       ++i) {
    env_.ReapChildren();
    env_.SleepMs(20);
  }
  std::size_t kept = 0;
  for (Pid pid : pids) kept += env_.TakeExitStatus(pid).has_value() ? 1 : 0;
  EXPECT_EQ(kept, kKeptExitStatuses);
}

TEST_F(RealProcesses, OutputFileTakesStandardOutputAndErrorAndIsAppended) {
  const std::string file = dir_.File("job.log");
  dir_.Write("job.log", "before\n");
  SpawnResult r = env_.SpawnWithOutput("/bin/sh -c \"echo out; echo err >&2\"", file);
  ASSERT_TRUE(r.created) << r.error;
  EXPECT_EQ(r.outputError, 0);
  ASSERT_TRUE(AwaitStatus(env_, r.pid).has_value());
  EXPECT_EQ(dir_.Read("job.log"), "before\nout\nerr\n");
  struct stat st {};
  ASSERT_EQ(stat(file.c_str(), &st), 0);

  // A file that cannot be opened leaves the job on our own output.
  r = env_.SpawnWithOutput("/bin/true", dir_.File("missing/job.log"));
  ASSERT_TRUE(r.created) << r.error;
  EXPECT_EQ(r.outputError, ENOENT);
  EXPECT_TRUE(AwaitStatus(env_, r.pid).has_value());
  // A program that cannot run makes no file.
  r = env_.SpawnWithOutput("/nonexistent/prog", dir_.File("none.log"));
  EXPECT_FALSE(r.created);
  EXPECT_NE(stat(dir_.File("none.log").c_str(), &st), 0);
}

TEST(PosixFiles, DirectoriesSizesCutsAndTails) {
  test::TempDir dir;
  PosixEnv env;
  dir.Write("f.txt", "line1\nline2\nline3\n");
  EXPECT_EQ(env.MakeDirectory(dir.File("d")), 0);
  EXPECT_EQ(env.MakeDirectory(dir.File("d")), 0) << "an existing folder is fine";
  EXPECT_EQ(env.MakeDirectory(dir.File("f.txt")), EEXIST);
  EXPECT_EQ(env.MakeDirectory(dir.File("no/such")), ENOENT);
  auto names = env.ListDirectory(dir.path());
  ASSERT_TRUE(names.has_value());
  std::sort(names->begin(), names->end());
  EXPECT_EQ(*names, (std::vector<std::string>{"d", "f.txt"}));
  int error = 0;
  EXPECT_FALSE(env.ListDirectory(dir.File("gone"), &error).has_value());
  EXPECT_EQ(error, ENOENT);
  EXPECT_EQ(env.FileSize(dir.File("f.txt")), 18);
  EXPECT_FALSE(env.FileSize(dir.File("d")).has_value());
  EXPECT_FALSE(env.FileSize(dir.File("gone")).has_value());
  struct Tail {
    int64_t bytes;
    const char* text;
  } tails[] = {{6, "line3\n"}, {100, "line1\nline2\nline3\n"}, {0, ""}};
  for (const Tail& t : tails) EXPECT_EQ(env.ReadFileTail(dir.File("f.txt"), t.bytes), t.text);
  EXPECT_FALSE(env.ReadFileTail(dir.File("gone"), 10).has_value());
  EXPECT_EQ(env.TruncateFile(dir.File("f.txt"), 5), 0);
  EXPECT_EQ(dir.Read("f.txt"), "line1");
  EXPECT_EQ(env.TruncateFile(dir.File("gone"), 5), ENOENT);
}

TEST(FakeProcesses, ExitStatusComesWithTheReapingAndOnlyForChildren) {
  FakeEnv env;
  Pid child = env.Spawn("prog").pid;
  FakeEnv::Process foreign;
  foreign.child = false;
  Pid other = env.AddProcess(foreign);
  Pid killed = env.Spawn("prog").pid;
  env.EndProcess(child, ExitStatus{false, 4});
  env.EndProcess(other, ExitStatus{false, 4});
  env.KillById(killed);
  EXPECT_FALSE(env.TakeExitStatus(child).has_value()) << "not reaped yet";
  env.ReapChildren();
  EXPECT_EQ(env.TakeExitStatus(child)->code, 4);
  EXPECT_FALSE(env.TakeExitStatus(child).has_value());
  EXPECT_FALSE(env.TakeExitStatus(other).has_value());
  auto term = env.TakeExitStatus(killed);
  ASSERT_TRUE(term.has_value());
  EXPECT_TRUE(term->signaled);
  EXPECT_EQ(term->code, SIGTERM);
}

}  // namespace
}  // namespace kvr

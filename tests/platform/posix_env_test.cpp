#include "platform/posix_env.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>

#include "support/temp_dir.h"

namespace kvr {
namespace {

TEST(NativePath, TurnsBackslashesIntoSlashes) {
  EXPECT_EQ(NativePath(".\\KVRJOBCTL.LOG"), "./KVRJOBCTL.LOG");
  EXPECT_EQ(NativePath("..\\veltronia_php\\log\\JOBCTLMSG.log"),
            "../veltronia_php/log/JOBCTLMSG.log");
  EXPECT_EQ(NativePath("/already/native"), "/already/native");
}

TEST(PosixEnvFiles, AppendReadRenameDeleteThroughWindowsPaths) {
  test::TempDir dir;
  PosixEnv env;
  std::string log = dir.path() + "\\a.log";
  {
    auto file = env.OpenAppend(log, nullptr);
    ASSERT_TRUE(file);
    EXPECT_EQ(file->Size(), 0);
    EXPECT_TRUE(file->Write(std::string("one\0two\n", 8)));
    EXPECT_EQ(file->Size(), 8);
  }
  {
    auto file = env.OpenAppend(log, nullptr);
    ASSERT_TRUE(file);
    EXPECT_EQ(file->Size(), 8);  // appending, not truncating
    EXPECT_TRUE(file->Write("x"));
  }
  EXPECT_EQ(env.ReadFile(log, nullptr).value(), std::string("one\0two\nx", 9));
  EXPECT_TRUE(env.FileReadable(log));

  EXPECT_EQ(env.RenameFile(log, dir.path() + "\\b.log"), 0);
  EXPECT_FALSE(env.FileReadable(log));
  EXPECT_EQ(env.RenameFile(log, dir.path() + "\\c.log"), ENOENT);
  EXPECT_EQ(env.DeleteFile(dir.path() + "\\b.log"), 0);
  EXPECT_EQ(env.DeleteFile(dir.path() + "\\b.log"), ENOENT);
}

TEST(PosixEnvFiles, FailuresCarryErrno) {
  test::TempDir dir;
  PosixEnv env;
  int error = 0;
  EXPECT_FALSE(env.OpenAppend(dir.path() + "/missing/x.log", &error));
  EXPECT_EQ(error, ENOENT);
  EXPECT_FALSE(env.ReadFile(dir.path() + "/none", &error));
  EXPECT_EQ(error, ENOENT);
  EXPECT_FALSE(env.ReadFile(dir.path(), &error));  // a directory is no file
  EXPECT_EQ(error, EISDIR);
  EXPECT_FALSE(env.FileReadable(dir.path()));
  EXPECT_FALSE(env.FreeBytes(dir.path() + "/none").has_value());
  EXPECT_GT(env.FreeBytes(dir.path()).value_or(0), 0u);
}

// Special files are refused at once: nothing waits for a FIFO's writer or
// reader, nothing reads a device without end.
TEST(PosixEnvFiles, SpecialFilesAreRefusedWithoutWaiting) {
  test::TempDir dir;
  PosixEnv env;
  const std::string fifo = dir.File("fifo");
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  ASSERT_EQ(symlink("/dev/zero", dir.File("zero").c_str()), 0);
  dir.Write("big", std::string(kMaxReadFileBytes + 1, 'x'));
  struct Case {
    const char* name;
    int error;
  };
  for (const Case& c : {Case{"fifo", EINVAL}, Case{"zero", EINVAL}, Case{"big", EFBIG}}) {
    int error = 0;
    EXPECT_FALSE(env.ReadFile(dir.File(c.name), &error)) << c.name;
    EXPECT_EQ(error, c.error) << c.name;
    EXPECT_EQ(env.FileReadable(dir.File(c.name)), c.error == EFBIG) << c.name;
  }
  EXPECT_TRUE(env.ReadFile(dir.File("big"), nullptr, kMaxReadFileBytes + 1));
  int error = 0;
  EXPECT_FALSE(env.OpenAppend(fifo, &error));  // no reader: refused, not waited for
  EXPECT_EQ(error, ENXIO);
}

TEST(PosixEnvDirs, ProgramPathAndCurrentDirectory) {
  PosixEnv env;
  std::string self = env.ProgramPath();
  ASSERT_FALSE(self.empty());
  EXPECT_EQ(self.front(), '/');
  EXPECT_NE(self.find("test_platform"), std::string::npos);

  std::string before = env.CurrentDir();
  test::TempDir dir;
  ASSERT_TRUE(env.SetCurrentDir(dir.path()));
  char real[4096];
  ASSERT_NE(realpath(dir.path().c_str(), real), nullptr);
  EXPECT_EQ(env.CurrentDir(), real);
  EXPECT_FALSE(env.SetCurrentDir(dir.path() + "/none"));
  ASSERT_TRUE(env.SetCurrentDir(before));
}

TEST(PosixEnvClock, LocalTimeRoundTripsAndSteadyClockMoves) {
  PosixEnv env;
  int64_t now = env.Now();
  EXPECT_EQ(env.MakeLocalTime(env.LocalTime(now)), now);
  std::tm utc = env.UtcTime(0);
  EXPECT_EQ(utc.tm_year, 70);
  EXPECT_EQ(utc.tm_hour, 0);
  int64_t start = env.SteadyMillis();
  env.SleepMs(30);
  EXPECT_GE(env.SteadyMillis() - start, 30);
}

TEST(PosixEnvSignals, StopSignalIsLatchedAndEndsTheSleepItArrivesIn) {
  {
    PosixEnv env;
    EXPECT_FALSE(env.StopRequested());
    ASSERT_EQ(raise(SIGTERM), 0);  // blocked: waits for the poll
    int64_t start = env.SteadyMillis();
    env.SleepMs(5000);
    EXPECT_LT(env.SteadyMillis() - start, 1000);
    EXPECT_TRUE(env.StopRequested());
    EXPECT_TRUE(env.StopRequested());  // latched
    // Later pauses (those of the shut-down) last as long as they say.
    int64_t later = env.SteadyMillis();
    env.SleepMs(200);
    EXPECT_GE(env.SteadyMillis() - later, 200);
    ASSERT_EQ(raise(SIGINT), 0);  // left pending: taken on destruction
  }
  // The mask is back as it was: nothing of the stop signals stays blocked.
  sigset_t mask;
  pthread_sigmask(SIG_SETMASK, nullptr, &mask);
  EXPECT_EQ(sigismember(&mask, SIGTERM), 0);
  EXPECT_EQ(sigismember(&mask, SIGINT), 0);
}

TEST(PosixEnvConsole, ClosedPipeLosesTheTextWithoutEndingTheProcess) {
  PosixEnv env;
  int fds[2];
  ASSERT_EQ(pipe(fds), 0);
  int savedOut = dup(STDOUT_FILENO);
  close(fds[0]);  // no reader
  dup2(fds[1], STDOUT_FILENO);
  env.ConsoleWrite("lost\n");
  dup2(savedOut, STDOUT_FILENO);
  close(savedOut);
  close(fds[1]);
  sigset_t pending;
  sigpending(&pending);
  EXPECT_EQ(sigismember(&pending, SIGPIPE), 0);
}

}  // namespace
}  // namespace kvr

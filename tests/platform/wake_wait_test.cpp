// PosixEnv's wait for a wake on the real system: a readable descriptor, a
// watched child's end (left for ReapChildren, its exit status kept), a
// stop signal, and the full wait when nothing happens.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include "platform/posix_env.h"

namespace kvr {
namespace {

using Kind = WakeResult::Kind;

TEST(PosixWakeWait, EndsOnWhatHappensFirst) {
  PosixEnv env;
  int pipeFds[2];
  ASSERT_EQ(pipe(pipeFds), 0);
  const int fds[] = {pipeFds[0]};

  // Nothing happens: the whole wait.
  int64_t t0 = env.SteadyMillis();
  EXPECT_EQ(env.WaitForWake(150, fds, {}).kind, Kind::TimedOut);
  EXPECT_GE(env.SteadyMillis() - t0, 150);

  // A readable descriptor, by its index.
  ASSERT_EQ(write(pipeFds[1], "x", 1), 1);
  WakeResult r = env.WaitForWake(5000, fds, {});
  EXPECT_EQ(r.kind, Kind::Readable);
  EXPECT_EQ(r.index, 0);
  char c;
  ASSERT_EQ(read(pipeFds[0], &c, 1), 1);

  // A watched child that ends; one that is not watched does not count.
  SpawnResult quick = env.Spawn("/bin/true");
  SpawnResult slow = env.Spawn("/bin/sleep 30");
  ASSERT_TRUE(quick.created && slow.created);
  const Pid watched[] = {slow.pid, quick.pid};
  t0 = env.SteadyMillis();
  r = env.WaitForWake(20000, fds, watched);
  EXPECT_EQ(r.kind, Kind::ChildEnded);
  EXPECT_EQ(r.child, quick.pid);
  EXPECT_LT(env.SteadyMillis() - t0, 10000);
  env.ReapChildren();  // the wait left the status to be reaped
  ASSERT_TRUE(env.TakeExitStatus(quick.pid).has_value());

  // A stop signal ends the wait too.
  const Pid stillRunning[] = {slow.pid};
  kill(getpid(), SIGTERM);
  EXPECT_EQ(env.WaitForWake(20000, fds, stillRunning).kind, Kind::Stop);
  EXPECT_TRUE(env.StopRequested());

  kill(slow.pid, SIGKILL);
  waitpid(slow.pid, nullptr, 0);
  close(pipeFds[0]);
  close(pipeFds[1]);
}

}  // namespace
}  // namespace kvr

// The job mark: read from an environment text, and carried by a real job
// process through exec, together with the creation time that names it.
#include "platform/job_mark.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <string>

#include "platform/posix_env.h"

namespace kvr {
namespace {

std::string Text(const std::vector<std::string>& vars) {
  std::string text;
  for (const std::string& v : vars) text += v + '\0';
  return text;
}

TEST(JobMark, ReadFromAnEnvironment) {
  JobMark mark{{"sqlite:/q/kvr.db", "3"}, "20261208120000", "NLF+D00", "20261208120001"};
  std::vector<std::string> vars = JobMarkEnvironment(mark);
  std::vector<std::string> without = vars;
  without.erase(without.begin() + 2);
  struct Case {
    std::string environment;
    bool marked;
  };
  const Case cases[] = {
      {Text(vars), true},
      {Text({"PATH=/bin", vars[0], "HOME=/x", vars[1], vars[2], vars[3], vars[4]}), true},
      {Text(without), false},
      {Text(without) + Text({without[2]}), false},  // a name twice is not a missing one
      {"", false},
      {Text(vars).substr(0, Text(vars).size() - 1), true},  // last one without its zero
  };
  for (const Case& c : cases) {
    auto read = JobMarkOf(c.environment);
    ASSERT_EQ(read.has_value(), c.marked);
    if (!read) continue;
    EXPECT_TRUE(SameOwner(read->owner, mark.owner));
    EXPECT_EQ(read->owner.instance, "3");
    EXPECT_TRUE(read->SameRun(mark.jobda1, mark.jobke2, mark.jobsda));
  }
  EXPECT_TRUE(SameOwner({"q", "3"}, {"q", "4"}));  // one queue, another instance
  EXPECT_FALSE(SameOwner({"q", "3"}, {"r", "3"}));
}

// A shell that execs into sleep stays the same process: same id, same
// creation, still carrying the mark; ended through its identity.
TEST(JobMark, RealJobKeepsItsMarkAndCreationThroughExec) {
  PosixEnv env;
  env.SetKillGraceMs(300);
  JobMark mark{{"queue", "-1"}, "20261208120000", "EXEC", "20261208120001"};
  SpawnResult spawn = env.SpawnJobProcess(
      {"/bin/sh -c \"sleep 0.3; exec sleep 30\"", "", JobMarkEnvironment(mark)});
  ASSERT_TRUE(spawn.created);
  auto before = env.ReadProcessStat(spawn.pid);
  ASSERT_TRUE(before && before->alive);
  usleep(600 * 1000);
  auto after = env.ReadProcessStat(spawn.pid);
  ASSERT_TRUE(after && after->alive);
  EXPECT_EQ(after->startTicks, before->startTicks);
  EXPECT_EQ(env.ProcessImageOf(spawn.pid)->baseName, "sleep");
  auto read = JobMarkOf(env.ProcessEnvironment(spawn.pid).value_or(""));
  ASSERT_TRUE(read.has_value());
  EXPECT_TRUE(read->SameRun(mark.jobda1, mark.jobke2, mark.jobsda));

  env.EndProcesses({{spawn.pid, before->startTicks + 1}});  // another creation: left alone
  usleep(100 * 1000);
  env.ReapChildren();
  EXPECT_TRUE(env.ProcessAlive(spawn.pid));
  env.EndProcesses({{spawn.pid, before->startTicks}});
  for (int i = 0; i < 40 && !env.TakeExitStatus(spawn.pid); ++i) {
    usleep(50 * 1000);
    env.ReapChildren();
  }
  EXPECT_FALSE(env.ProcessAlive(spawn.pid));
}

}  // namespace
}  // namespace kvr

#include "platform/fake_env.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cerrno>
#include <functional>

#include "support/temp_dir.h"

namespace kvr {
namespace {

TEST(FakeEnvClock, StartsAtAFixedLocalTimeAndSleepsCarryMilliseconds) {
  FakeEnv env;
  std::tm t = env.LocalTime(env.Now());
  EXPECT_EQ(t.tm_year + 1900, 2026);
  EXPECT_EQ(t.tm_mon + 1, 12);
  EXPECT_EQ(t.tm_mday, 7);
  EXPECT_EQ(t.tm_hour, 8);
  int64_t start = env.Now();
  int64_t steady = env.SteadyMillis();
  env.SleepMs(600);
  EXPECT_EQ(env.Now(), start);
  env.SleepMs(600);
  EXPECT_EQ(env.Now(), start + 1);
  env.SleepMs(2800);
  EXPECT_EQ(env.Now(), start + 4);
  EXPECT_EQ(env.SteadyMillis() - steady, 4000);
  EXPECT_EQ(env.sleeps, (std::vector<int64_t>{600, 600, 2800}));

  env.SetLocalTime(2027, 1, 1, 0, 0, 0);
  t = env.LocalTime(env.Now());
  EXPECT_EQ(t.tm_year + 1900, 2027);
  EXPECT_EQ(t.tm_hour, 0);
}

TEST(FakeEnvService, AnswersOkByDefaultAndRecordsCalls) {
  FakeEnv env;
  char request[kServiceMessageSize] = "KVRJOBSTR.EXE";
  ServiceReply r = env.CallService("\\\\.\\pipe\\kvrjobctl", request, 3000);
  EXPECT_TRUE(r.answered);
  EXPECT_EQ(r.reply, "OK");
  env.service = [](const std::string&) { return ServiceReply{false, "", 111}; };
  r = env.CallService("\\\\.\\pipe\\kvrjobctl2", request, 3000);
  EXPECT_FALSE(r.answered);
  EXPECT_EQ(r.error, 111);
  EXPECT_EQ(env.serviceCalls,
            (std::vector<std::string>{"\\\\.\\pipe\\kvrjobctl", "\\\\.\\pipe\\kvrjobctl2"}));
  EXPECT_EQ(env.lastRequest, "KVRJOBSTR.EXE");
  EXPECT_EQ(env.lastReplyTimeoutMs, 3000);
}

// Files are the real ones, so file behaviour under test is real; the
// calendar conversions follow TZ like the real Env's.
TEST(FakeEnvFiles, FileMethodsWorkOnTheRealFileSystem) {
  test::TempDir dir;
  FakeEnv env;
  const std::string path = dir.path() + "\\f.txt";
  ASSERT_TRUE(env.OpenAppend(path, nullptr)->Write("abc"));
  EXPECT_EQ(dir.Read("f.txt"), "abc");
  EXPECT_EQ(env.ReadFile(path, nullptr).value_or(""), "abc");
  EXPECT_TRUE(env.FileReadable(path));
  EXPECT_EQ(env.RenameFile(path, dir.path() + "/g.txt"), 0);
  EXPECT_FALSE(env.FileReadable(path));
  EXPECT_EQ(env.DeleteFile(dir.path() + "/g.txt"), 0);
  EXPECT_EQ(env.DeleteFile(dir.path() + "/g.txt"), ENOENT);
  std::tm local = env.LocalTime(env.Now());
  local.tm_isdst = -1;
  EXPECT_EQ(env.MakeLocalTime(local), env.Now());
}

// Nothing a unit test does through the fake may start or end a real
// process or reach a real service.
TEST(FakeEnvProcesses, SpawnsKillsAndCallsStayScripted) {
  test::TempDir dir;
  FakeEnv env;
  const std::string marker = dir.path() + "/ran";
  struct Case {
    const char* name;
    std::function<void()> act;
  };
  const Case cases[] = {
      {"spawn", [&] { EXPECT_TRUE(env.Spawn("/bin/touch " + marker).created); }},
      {"kill self", [&] { env.KillById(getpid()); }},
      {"kill by name", [&] { env.KillByImageName("test_platform"); }},
      {"stop", [&] { EXPECT_FALSE(env.StopRequested()); }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    c.act();
  }
  EXPECT_NE(access(marker.c_str(), F_OK), 0);
  EXPECT_EQ(env.spawned, (std::vector<std::string>{"/bin/touch " + marker}));
  EXPECT_EQ(env.killedIds, (std::vector<Pid>{getpid()}));
  EXPECT_EQ(env.killedImages, (std::vector<std::string>{"test_platform"}));
  EXPECT_FALSE(env.ProcessAlive(getpid()));  // no record: the real process is unseen
}

}  // namespace
}  // namespace kvr

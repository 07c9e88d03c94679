#include "platform/fake_env.h"

#include <gtest/gtest.h>

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

}  // namespace
}  // namespace kvr

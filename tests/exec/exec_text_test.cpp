// The executor's text helpers where a slip would end or keep the wrong
// process: JOBNUM reading, the start time a JOBSDA stands for, elapsed time.
#include "exec/exec_text.h"

#include <gtest/gtest.h>

#include <cstdlib>

#include "platform/fake_env.h"
#include "support/local_zone.h"

namespace kvr {
namespace {

TEST(ExecText, PidFromJobNum) {
  const std::pair<const char*, Pid> cases[] = {{"1234", 1234},
                                               {"1234  \t", 1234},
                                               {"007", 7},
                                               {"", 0},
                                               {"  ", 0},
                                               {"-5", 0},
                                               {"+5", 0},
                                               {"12ab", 0},
                                               {" 12", 0},
                                               {"99999999", 99999999},
                                               {"2147483647", 2147483647},
                                               {"2147483648", 0},
                                               {"99999999999", 0}};
  for (const auto& [text, pid] : cases) EXPECT_EQ(PidFromJobNum(text), pid) << "'" << text << "'";
}

TEST(ExecText, StampReadingTakesTheLaterOfTheDoubleHour) {
  LocalZone zone;  // put back even when an assertion ends the test early
  FakeEnv env;
  // 2026-10-25 02:30 occurs twice; the later one is 01:30 UTC.
  auto t = LatestTimeOfStamp(env, "20261025023000");
  ASSERT_TRUE(t.has_value());
  std::tm utc = env.UtcTime(*t);
  EXPECT_EQ(utc.tm_hour, 1);
  EXPECT_EQ(utc.tm_min, 30);
  // An ordinary winter stamp.
  auto w = LatestTimeOfStamp(env, "20260114120000");
  ASSERT_TRUE(w.has_value());
  EXPECT_EQ(env.UtcTime(*w).tm_hour, 11);
  for (const char* bad : {"", "2026011412000", "202601141200000", "2026x114120000",
                          "20261314120000", "20260114250000", "19000101000000"}) {
    EXPECT_FALSE(LatestTimeOfStamp(env, bad).has_value()) << bad;
  }
}

TEST(ExecText, ElapsedSecondsNeverGoesNegative) {
  FakeEnv env;
  EXPECT_EQ(ElapsedSeconds(env, 1000, 1061), 61u);
  EXPECT_EQ(ElapsedSeconds(env, 1061, 1000), 0u);
  EXPECT_EQ(ElapsedSeconds(env, 0, 1780000000), 1780000000u);
}

}  // namespace
}  // namespace kvr

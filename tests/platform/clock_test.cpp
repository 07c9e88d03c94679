#include "platform/clock.h"

#include <gtest/gtest.h>

#include "platform/fake_env.h"
#include "support/local_zone.h"

namespace kvr {
namespace {

std::tm Fields(int year, int month, int day, int hour, int minute, int second) {
  std::tm t{};
  t.tm_year = year - 1900;
  t.tm_mon = month - 1;
  t.tm_mday = day;
  t.tm_hour = hour;
  t.tm_min = minute;
  t.tm_sec = second;
  return t;
}

TEST(TimeStamp14, EveryFieldIsZeroPaddedToItsWidth) {
  struct Case {
    std::tm fields;
    const char* stamp;
  };
  const Case cases[] = {
      {Fields(2026, 12, 8, 0, 43, 12), "20261208004312"},
      {Fields(2026, 1, 2, 3, 4, 5), "20260102030405"},
      {Fields(999, 1, 1, 0, 0, 0), "09990101000000"},  // the year keeps four digits
      {Fields(2026, 12, 31, 23, 59, 59), "20261231235959"},
  };
  for (const Case& c : cases) EXPECT_EQ(TimeStamp14(c.fields), c.stamp);
}

TEST(Clock, LocalConversionRoundTripsAndTheSteadyClockNeverGoesBack) {
  const int64_t t = 1765150992;  // 2025-12-07 23:43:12 UTC
  std::tm utc = UtcTimeOf(t);
  EXPECT_EQ(TimeStamp14(utc), "20251207234312");
  std::tm local = LocalTimeOf(t);
  local.tm_isdst = -1;
  EXPECT_EQ(MakeLocalTimeOf(local), t);
  int64_t first = MonotonicMillis();
  EXPECT_GE(MonotonicMillis(), first);
}

TEST(TimeStamp14, StampReadingTakesTheLaterOfTheDoubleHour) {
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

TEST(TimeStamp14, ElapsedSecondsNeverGoesNegative) {
  FakeEnv env;
  EXPECT_EQ(ElapsedSeconds(env, 1000, 1061), 61u);
  EXPECT_EQ(ElapsedSeconds(env, 1061, 1000), 0u);
  EXPECT_EQ(ElapsedSeconds(env, 0, 1780000000), 1780000000u);
}

}  // namespace
}  // namespace kvr

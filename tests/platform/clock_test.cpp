#include "platform/clock.h"

#include <gtest/gtest.h>

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

}  // namespace
}  // namespace kvr

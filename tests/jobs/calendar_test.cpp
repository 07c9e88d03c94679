// The calendar helpers where a slip moves a job to the wrong day: clock
// changes, month and year ends, Sunday as 7, texts that are not numbers.
#include "jobs/calendar.h"

#include <gtest/gtest.h>

#include "platform/clock.h"
#include "platform/fake_env.h"
#include "support/local_zone.h"

namespace kvr {
namespace {

TEST(Calendar, ShiftedFieldsKeepsWallClockAcrossChanges) {
  LocalZone zone;
  FakeEnv env;
  struct Case {
    int y, mo, d, h, mi;
    int days, months, minutes;
    const char* expected;
  } cases[] = {
      {2026, 12, 31, 8, 0, 1, 0, 0, "20270101080000"},     // year end
      {2028, 1, 31, 12, 0, 0, 1, 0, "20280302120000"},     // 31 February, leap year
      {2027, 1, 31, 12, 0, 0, 1, 0, "20270303120000"},     // 31 February
      {2026, 5, 31, 9, 0, 0, -3, 0, "20260303090000"},     // three months back
      {2026, 10, 25, 0, 30, 1, 0, 0, "20261026003000"},    // summer to winter time
      {2026, 3, 28, 23, 30, 1, 0, 0, "20260329233000"},    // winter to summer time
      {2026, 3, 29, 1, 50, 0, 0, 60, "20260329035000"},    // the skipped hour
      {2026, 12, 31, 23, 30, 0, 0, 60, "20270101003000"},  // minutes over midnight
  };
  for (const Case& c : cases) {
    env.SetLocalTime(c.y, c.mo, c.d, c.h, c.mi, 0);
    std::tm moved = ShiftedFields(env, env.LocalTime(env.Now()), c.days, c.months, c.minutes);
    EXPECT_EQ(TimeStamp14(moved), c.expected) << c.y << "-" << c.mo << "-" << c.d;
  }
}

TEST(Calendar, WeekdayCountsSundayAsSeven) {
  LocalZone zone;
  FakeEnv env;
  const std::pair<int, int> days[] = {{7, 1}, {9, 3}, {12, 6}, {13, 7}};  // December 2026
  for (auto [day, weekday] : days) {
    env.SetLocalTime(2026, 12, day, 10, 0, 0);
    EXPECT_EQ(WeekdayOf(env.LocalTime(env.Now())), weekday) << day;
  }
}

TEST(Calendar, NumbersOfTexts) {
  const std::pair<const char*, int32_t> leading[] = {
      {"", 0},   {"00", 0}, {"01", 1}, {"97", 97}, {"  ", 0},
      {" 5", 5}, {"x1", 0}, {"9a", 9}, {"-3", -3}, {"99999999999", 2147483647}};
  for (auto [text, value] : leading) EXPECT_EQ(LeadingNumber32(text), value) << "'" << text << "'";
  const std::pair<const char*, int32_t> minutes[] = {{"20261231223000", 1350},
                                                     {"20261231240000", 1440},
                                                     {"2026123122300", -1},
                                                     {"", -1},
                                                     {"20261231ab3000", -1}};
  for (auto [text, value] : minutes) EXPECT_EQ(MinuteOfStamp(text), value) << text;
  EXPECT_EQ(DateOfStamp("20261231223000"), 20261231);
  EXPECT_EQ(DateOfStamp(""), 0);
}

}  // namespace
}  // namespace kvr

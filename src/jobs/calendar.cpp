#include "jobs/calendar.h"

#include <cstdio>
#include <limits>

#include "platform/clock.h"

namespace kvr {

std::tm LocalFields(Env& env, int64_t t) { return env.LocalTime(t); }

std::tm ShiftedFields(Env& env, const std::tm& from, int days, int months, int minutes) {
  std::tm moved = from;
  moved.tm_mday += days;
  moved.tm_mon += months;
  moved.tm_min += minutes;
  // The summer-time flag of the starting point would shift the result by an
  // hour (and across midnight) when the target lies on the other side of a
  // clock change; the zone decides afresh for the target.
  moved.tm_isdst = -1;
  return env.LocalTime(env.MakeLocalTime(moved));
}

int32_t DateNumberOf(const std::tm& fields) {
  return (fields.tm_year + 1900) * 10000 + (fields.tm_mon + 1) * 100 + fields.tm_mday;
}

int32_t WeekdayOf(const std::tm& fields) { return fields.tm_wday == 0 ? 7 : fields.tm_wday; }

int32_t MinuteOfDay(const std::tm& fields) { return fields.tm_hour * 60 + fields.tm_min; }

int32_t DateOfStamp(std::string_view stamp) { return LeadingNumber32(stamp.substr(0, 8)); }

int32_t MinuteOfStamp(std::string_view stamp) {
  if (stamp.size() != 14) return -1;
  int digits[4];
  for (int i = 0; i < 4; ++i) {
    char c = stamp[8 + i];
    if (c < '0' || c > '9') return -1;
    digits[i] = c - '0';
  }
  return (digits[0] * 10 + digits[1]) * 60 + digits[2] * 10 + digits[3];
}

}  // namespace kvr

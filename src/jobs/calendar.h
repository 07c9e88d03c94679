// Wall-clock calendar of the timed, scheduled and closing rules: local
// broken-down times, their arithmetic as the calendar normalises it, and the
// texts the job table keeps (14-digit stamps, yyyymmdd dates, statuses).
//
// Arithmetic moves the wall-clock fields and lets the zone rules decide
// summer or winter time afresh, so adding a day across a clock change keeps
// the time of day and the date it should. Pure functions over an Env; no
// clock of their own, nothing here fails.
#pragma once

#include <cstdint>
#include <ctime>
#include <string>
#include <string_view>

#include "core/text.h"
#include "platform/clock.h"
#include "platform/env.h"

namespace kvr {

// The local time at t.
std::tm LocalFields(Env& env, int64_t t);

// The fields moved by the given amounts and normalised by the calendar
// (31 January + 1 month is 2 or 3 March; month and year ends roll over).
std::tm ShiftedFields(Env& env, const std::tm& from, int days, int months, int minutes);

// yyyymmdd as a number (year * 10000 + month * 100 + day).
int32_t DateNumberOf(const std::tm& fields);

// Monday 1 ... Saturday 6, Sunday 7.
int32_t WeekdayOf(const std::tm& fields);

// Hour * 60 + minute.
int32_t MinuteOfDay(const std::tm& fields);

// The leading decimal number of a status text (JOBSTS).
inline int32_t StatusValue(std::string_view status) { return LeadingNumber32(status); }

// The date of a 14-digit stamp: the number of its first eight characters
// (empty gives 0).
int32_t DateOfStamp(std::string_view stamp);

// Hour * 60 + minute of a 14-digit stamp's characters 9 to 12; -1 when the
// text is not 14 characters or those are not digits.
int32_t MinuteOfStamp(std::string_view stamp);

}  // namespace kvr

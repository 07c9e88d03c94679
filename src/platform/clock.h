// Clock readers and calendar conversions of the C library, shared by every
// Env and by the tools: the steady clock in milliseconds, local (follows
// TZ) and UTC broken-down time, the 14-digit local time stamp
// YYYYMMDDHHMMSS the job table and the messages write (and what a stamp
// stands for), and the civil-date arithmetic of elapsed time. Pure
// functions; the controller reaches the clock through its Env.
#pragma once

#include <cstdint>
#include <ctime>
#include <optional>
#include <string>
#include <string_view>

namespace kvr {

class Env;

// Milliseconds of CLOCK_MONOTONIC; only differences are meaningful.
int64_t MonotonicMillis();

std::tm LocalTimeOf(int64_t t);
std::tm UtcTimeOf(int64_t t);
// Local broken-down time back to calendar seconds, like mktime().
int64_t MakeLocalTimeOf(std::tm local);

// The fields as "YYYYMMDDHHMMSS" (the year with at least four digits).
std::string TimeStamp14(const std::tm& fields);
// The stamp of the local time t.
std::string TimeStamp14(Env& env, int64_t t);

// The latest calendar time a local 14-digit stamp can stand for (in the hour
// that occurs twice when the clocks go back, the later one); nothing when
// the text is not a valid stamp.
std::optional<int64_t> LatestTimeOfStamp(Env& env, std::string_view stamp);

// Seconds from 'from' to 'to', both taken as UTC calendar fields and counted
// the same way; a negative span (the clock went back) gives 0.
uint32_t ElapsedSeconds(Env& env, int64_t from, int64_t to);

}  // namespace kvr

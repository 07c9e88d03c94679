// Clock readers and calendar conversions of the C library, shared by every
// Env and by the tools: the steady clock in milliseconds, local (follows
// TZ) and UTC broken-down time, and the 14-digit local time stamp
// YYYYMMDDHHMMSS the job table and the messages write. Pure functions; the
// controller reaches them through its Env.
#pragma once

#include <cstdint>
#include <ctime>
#include <string>

namespace kvr {

// Milliseconds of CLOCK_MONOTONIC; only differences are meaningful.
int64_t MonotonicMillis();

std::tm LocalTimeOf(int64_t t);
std::tm UtcTimeOf(int64_t t);
// Local broken-down time back to calendar seconds, like mktime().
int64_t MakeLocalTimeOf(std::tm local);

// The fields as "YYYYMMDDHHMMSS" (the year with at least four digits).
std::string TimeStamp14(const std::tm& fields);

}  // namespace kvr

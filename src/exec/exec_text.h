// Small text helpers of the job executor: bounded formatting, the local
// 14-digit time stamp, the process id of a JOBNUM text, the creation time a
// JOBSDA text stands for. Pure functions; nothing here fails loudly.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "platform/env.h"

namespace kvr {

// Longest text a formatted log line or message of the executor can have.
inline constexpr std::size_t kExecTextSize = 2048;

// snprintf into a buffer of kExecTextSize bytes (longer results are cut).
std::string BoundedPrintf(const char* format, ...) __attribute__((format(printf, 1, 2)));

// "%04d%02d%02d%02d%02d%02d" of the local time t.
std::string LocalStampOf(Env& env, int64_t t);

// The process id a JOBNUM text names: only decimal digits (trailing blanks
// and tabs allowed); 0 for an empty, signed, non-numeric or too large text.
Pid PidFromJobNum(std::string_view jobnum);

// The latest calendar time a local 14-digit stamp can stand for (in the hour
// that occurs twice when the clocks go back, the later one); nothing when
// the text is not a valid stamp.
std::optional<int64_t> LatestTimeOfStamp(Env& env, std::string_view stamp);

// Seconds from 'from' to 'to', both taken as UTC calendar fields and counted
// the same way; a negative span (the clock went back) gives 0.
uint32_t ElapsedSeconds(Env& env, int64_t from, int64_t to);

// ASCII lower case.
std::string LowerCase(std::string_view text);

// Without trailing blanks and tabs.
std::string_view TrimmedRight(std::string_view text);

}  // namespace kvr

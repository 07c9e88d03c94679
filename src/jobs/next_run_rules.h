// Next-run rules of the timed jobs (run type 03): from a row's status and
// last planned run, the current time and its timing kind's figures, the
// status and JOBNRT the row is to have. The row is changed in memory only;
// each rule returns whether it changed it. No database, no clock of their
// own: the current time is passed in.
#pragma once

#include <cstdint>
#include <ctime>
#include <string_view>

#include "db/queue/job_table.h"
#include "platform/env.h"

namespace kvr {

// Timing kinds (JOBDLS) of run type 03 rows; any other value follows a time
// plan (0: table KVR139TPL, others: KVR141DZT).
inline constexpr int32_t kTimingDaily = 2;
inline constexpr int32_t kTimingInterval = 3;
inline constexpr int32_t kTimingPlan139 = 0;

// A window of a time plan: minutes from midnight, start included, end not,
// and the step between runs in minutes.
struct PlanWindow {
  int32_t start = 0;
  int32_t end = 0;
  int32_t step = 0;
};

// A status whose value is 1 to 10: a run is in progress; the rules leave
// such a row alone.
bool RunInProgress(std::string_view status);

// Daily system job: once a day at dailyTime (six digits hhmmss).
bool NextRunDaily(Env& env, JobRow& row, int64_t now, std::string_view dailyTime);

// Interval system job: cycleMinutes after the end of a run is noticed.
bool NextRunInterval(Env& env, JobRow& row, int64_t now, int32_t cycleMinutes);

// Time-plan job. localNow is the current local time; window is the one
// window of the plan found for its weekday and minute, null when none (or
// more than one) was found. A window with a step of 0 or less is used up
// after its first run; a next run that would reach 24:00 parks the row
// ("97") until the next day sets it afresh.
bool NextRunByTimePlan(JobRow& row, const std::tm& localNow, const PlanWindow* window);

}  // namespace kvr

#include "jobs/next_run_rules.h"

#include <cstdio>
#include <string>

#include "jobs/calendar.h"
#include "platform/clock.h"

namespace kvr {

namespace {

constexpr int32_t kMinutesPerDay = 24 * 60;

bool RunEnded(int32_t status) { return status >= 90 && status <= 99; }

// A JOBNRT that is not a full stamp has never been set.
bool HasFullStamp(const JobRow& row) { return row.jobnrt.size() == 14; }

}  // namespace

bool RunInProgress(std::string_view status) {
  int32_t value = StatusValue(status);
  return value >= 1 && value <= 10;
}

bool NextRunDaily(Env& env, JobRow& row, int64_t now, std::string_view dailyTime) {
  std::tm local = LocalFields(env, now);
  std::string current = TimeStamp14(local);
  if (!HasFullStamp(row)) {
    row.jobnrt = current.substr(0, 8) + std::string(dailyTime);
    row.jobsts = kStatusScheduled;
    return true;
  }
  if (row.jobnrt.view() < current && RunEnded(StatusValue(row.jobsts))) {
    std::string tomorrow = TimeStamp14(ShiftedFields(env, local, 1, 0, 0));
    row.jobnrt = tomorrow.substr(0, 8) + std::string(dailyTime);
    row.jobsts = kStatusScheduled;
    return true;
  }
  return false;
}

bool NextRunInterval(Env& env, JobRow& row, int64_t now, int32_t cycleMinutes) {
  std::tm local = LocalFields(env, now);
  std::string current = TimeStamp14(local);
  if (!HasFullStamp(row)) {
    row.jobnrt = current;
    row.jobsts = kStatusScheduled;
    return true;
  }
  if (row.jobnrt.view() < current && RunEnded(StatusValue(row.jobsts))) {
    row.jobnrt = TimeStamp14(ShiftedFields(env, local, 0, 0, cycleMinutes));
    row.jobsts = kStatusScheduled;
    return true;
  }
  return false;
}

bool NextRunByTimePlan(JobRow& row, const std::tm& localNow, const PlanWindow* window) {
  const int32_t status = StatusValue(row.jobsts);
  if (window == nullptr) {
    if (status == 97) return false;
    row.jobsts = kStatusNoFurtherRun;
    return true;
  }
  const std::string today = TimeStamp14(localNow).substr(0, 8);
  const int32_t nowMinute = MinuteOfDay(localNow);
  int32_t last = -1;
  if (HasFullStamp(row) && row.jobnrt.view().substr(0, 8) >= today) {
    last = MinuteOfStamp(row.jobnrt);
  }
  int64_t next = 0;
  std::string_view newStatus;
  if (last < window->start) {
    next = window->start;
    newStatus = kStatusScheduled;
  } else if (RunEnded(status)) {
    // A step of 0 or less would never leave the window: it is used up.
    next = window->step > 0 ? int64_t{last} + window->step : int64_t{window->end};
    while (window->step > 0 && next <= nowMinute && next < window->end) next += window->step;
    if (next < window->end && next < kMinutesPerDay) {
      newStatus = kStatusScheduled;
    } else if (status != 97) {
      newStatus = kStatusNoFurtherRun;
    } else {
      return false;
    }
  } else {
    return false;
  }
  row.jobsts = newStatus;
  // A next run at 24:00 or later is not a time of this day; the parked row
  // keeps its last planned run and is set afresh by the next day's window.
  if (next < kMinutesPerDay) {
    char time[16];
    std::snprintf(time, sizeof time, "%02d%02d00", static_cast<int>(next / 60),
                  static_cast<int>(next % 60));
    row.jobnrt = today + time;
  }
  return true;
}

}  // namespace kvr

// TimedJobs: run type 03, the jobs that recur by a daily time, an interval
// or a time plan. Owns the next-check time of the once-a-minute evaluation.
// UpdateRT03Jobs brings the rows' next run (JOBNRT) and status up to date
// before the pass selects the due ones; it reports success always (a row
// whose write-back fails is logged and tried again a minute later).
#pragma once

#include <cstdint>
#include <string>

namespace kvr {

class Env;
class Logger;
class Session;
struct JobRow;

class TimedJobs {
 public:
  // Seconds between two evaluations of the run type 03 rows.
  static constexpr int64_t kCheckIntervalSeconds = 60;

  // dailyJobTime: "hhmmss" of the daily rows; intervalMinutes: the
  // interval rows' period.
  TimedJobs(Env& env, Logger& log, Session& session, std::string dailyJobTime,
            int32_t intervalMinutes);

  bool UpdateRT03Jobs(int64_t passTime);

 private:
  // Applies the rule of the row's timing kind; true when it changed the row.
  bool NextRun(JobRow& row, int64_t now);
  bool NextRunByTimePlan(JobRow& row, int64_t now);

  Env& env_;
  Logger& log_;
  Session& session_;
  const std::string dailyJobTime_;
  const int32_t intervalMinutes_;
  int64_t nextCheck_ = 0;
};

}  // namespace kvr

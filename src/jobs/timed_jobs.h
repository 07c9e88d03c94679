// TimedJobs: run type 03, the jobs that recur by a daily time, an interval
// or a time plan. Owns the next-check time of the once-a-minute evaluation.
// UpdateRT03Jobs brings the rows' next run (JOBNRT) and status up to date
// before the pass selects the due ones; it reports success always (a row
// whose write-back fails is logged and tried again a minute later).
#pragma once

#include <cstdint>

namespace kvr {

struct JobRow;
struct Subsystems;

class TimedJobs {
 public:
  // Seconds between two evaluations of the run type 03 rows.
  static constexpr int64_t kCheckIntervalSeconds = 60;

  explicit TimedJobs(Subsystems& sys);

  bool UpdateRT03Jobs(int64_t passTime);

 private:
  // Applies the rule of the row's timing kind; true when it changed the row.
  bool NextRun(JobRow& row, int64_t now);
  bool NextRunByTimePlan(JobRow& row, int64_t now);

  Subsystems& sys_;
  int64_t nextCheck_ = 0;
};

}  // namespace kvr

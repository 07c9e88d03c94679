// TimedJobs: run type 03, the jobs that recur by a daily time, an interval
// or a time plan. Owns the next-check time of the once-a-minute evaluation.
// UpdateRT03Jobs brings the rows' next run (JOBNRT) and status up to date
// before the pass selects the due ones; it reports success always.
#pragma once

#include <cstdint>

namespace kvr {

struct Subsystems;

class TimedJobs {
 public:
  explicit TimedJobs(Subsystems& sys);

  bool UpdateRT03Jobs(int64_t passTime);

 private:
  Subsystems& sys_;
};

}  // namespace kvr

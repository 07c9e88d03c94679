#include "jobs/timed_jobs.h"

#include "exec/subsystems.h"

namespace kvr {

TimedJobs::TimedJobs(Subsystems& sys) : sys_(sys) {}

bool TimedJobs::UpdateRT03Jobs(int64_t) { return true; }

}  // namespace kvr

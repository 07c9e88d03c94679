#include "jobs/scheduled_jobs.h"

#include "exec/subsystems.h"

namespace kvr {

ScheduledJobs::ScheduledJobs(Subsystems& sys) : sys_(sys) {}

bool ScheduledJobs::CheckKvr500Job07(bool) { return true; }

}  // namespace kvr

#include "jobs/registration.h"

#include "db/queue/job_table.h"
#include "exec/subsystems.h"

namespace kvr {

JobRegistration::JobRegistration(Subsystems& sys) : sys_(sys) {}

void JobRegistration::CheckRT04Jobs() {}

void JobRegistration::AddRT04Jobs() {}

void JobRegistration::SQLInsertNewJob() {}

void JobRegistration::AddExportJob() {}

int JobRegistration::AddRT03SystemJobs(int64_t) { return 0; }

int JobRegistration::ResetRT04StartAttempts() { return kvr::ResetRT04StartAttempts(sys_.session); }

int JobRegistration::DeleteExpiredRT01Jobs() { return kvr::DeleteExpiredRT01Jobs(sys_.session); }

}  // namespace kvr

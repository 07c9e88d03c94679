#include "housekeeping/housekeeping.h"

#include "exec/subsystems.h"
#include "jobs/registration.h"

namespace kvr {

Housekeeping::Housekeeping(Subsystems& sys, JobRegistration& registration)
    : sys_(sys), registration_(registration) {}

void Housekeeping::cleanupServer() {}

void Housekeeping::CheckDiskSpace() {}

void Housekeeping::checkMAPVerarbeitungsjob(const std::string&) {}

void Housekeeping::CheckDownloads() {}

}  // namespace kvr

// Housekeeping: the chores around the main work. The server clean-up
// (transfer files, expired single runs, the activity-check program), the
// four-hourly disk-space warning, the re-arming of the MAP processing job,
// and the new data export after an interrupted download. Owns the next
// disk-check time and the month of the last MAP re-arming. Nothing here
// reports failure to its caller; failures are logged.
#pragma once

#include <string>

namespace kvr {

struct Subsystems;
class JobRegistration;

class Housekeeping {
 public:
  Housekeeping(Subsystems& sys, JobRegistration& registration);

  void cleanupServer();
  void CheckDiskSpace();
  // passTimestamp: the pass's 14-digit local time stamp.
  void checkMAPVerarbeitungsjob(const std::string& passTimestamp);
  void CheckDownloads();

 private:
  Subsystems& sys_;
  JobRegistration& registration_;
};

}  // namespace kvr

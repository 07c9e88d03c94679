// Housekeeping: the chores around the controller's main work.
//
// cleanupServer deletes the terminal component's transfer files, removes
// the expired run type 01 rows and ends the activity check (outside
// instance mode); CheckDiskSpace warns the users every four hours when the
// controller's file system or the root file system has less than 1000 MB
// free; checkMAPVerarbeitungsjob re-arms the MAP processing job once it has
// finished (with the delete parameter at the first pass and at each new
// month); CheckDownloads registers a new export after an interrupted
// download. It owns the next disk check time and the last MAP month.
//
// Every failure is written to the main log and the pass goes on; nothing
// here stops the controller. Kills by image name go through the platform
// layer, which never ends the controller, its service or PID 1.
#pragma once

#include <cstdint>
#include <string>

#include "db/client/named_statement.h"

namespace kvr {

struct Subsystems;
class JobRegistration;

class Housekeeping {
 public:
  // Seconds between two disk checks, and the warning limit in megabytes.
  static constexpr int64_t kDiskCheckInterval = 14400;
  static constexpr uint64_t kLowSpaceMb = 1000;
  // Longest mount point the disk check works with.
  static constexpr std::size_t kMaxDriveText = 260;

  Housekeeping(Subsystems& s, JobRegistration& registration);

  void cleanupServer();
  void CheckDiskSpace();
  void checkMAPVerarbeitungsjob(const std::string& passTimestamp);
  void CheckDownloads();

  int64_t nextDiskCheck() const { return nextDiskCheck_; }

 private:
  void CheckDrive(const std::string& drive, long round);

  Subsystems& sys_;
  JobRegistration& registration_;
  int64_t nextDiskCheck_ = 0;
  std::string lastMapMonth_;
};

void AppendHousekeepingStatements(StatementList* list);

}  // namespace kvr

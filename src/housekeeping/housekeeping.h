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
#include <string_view>

#include "db/client/named_statement.h"

namespace kvr {

class Env;
class JobRegistration;
class Logger;
class MessagePoster;
class RunHistory;
class Session;

class Housekeeping {
 public:
  // Seconds between two disk checks, and the warning limit in megabytes.
  static constexpr int64_t kDiskCheckInterval = 14400;
  static constexpr uint64_t kLowSpaceMb = 1000;
  // Longest mount point the disk check works with.
  static constexpr std::size_t kMaxDriveText = 260;

  struct Settings {
    int32_t runHistoryDays = 30;  // days the run history keeps
    bool instanceMode = false;    // the activity check is ended only outside
  };

  Housekeeping(Env& env, Logger& log, Session& session, MessagePoster& poster, RunHistory& history,
               JobRegistration& registration, Settings settings);

  void cleanupServer();
  void CheckDiskSpace();
  void checkMAPVerarbeitungsjob(const std::string& passTimestamp);
  // dbSystem: the credential set's DB_SYSTEM, which names the loader ended.
  void CheckDownloads(std::string_view dbSystem);

  int64_t nextDiskCheck() const { return nextDiskCheck_; }

 private:
  void CheckDrive(const std::string& drive, long round);

  Env& env_;
  Logger& log_;
  Session& session_;
  MessagePoster& poster_;
  RunHistory& history_;
  JobRegistration& registration_;
  const Settings settings_;
  int64_t nextDiskCheck_ = 0;
  std::string lastMapMonth_;
};

void AppendHousekeepingStatements(StatementList* list);

}  // namespace kvr

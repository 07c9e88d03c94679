// Controller: the top of KVRJOBSTR. It owns the World (configuration, logs,
// service contact, database session, message poster, job executor and the
// modules of the job-table work), keeps the credential set and the pass
// state, and runs the start-up, the endless loop of passes and the
// shut-down in the system's order. Run() returns the program's exit status
// (0 for every orderly end).
//
// One controller works a queue: right after its connect it takes the queue
// lock (see Session). Without it the controller is a standby: it keeps its
// service contacts, asks for the lock once a pass, works no rows, writes no
// status row and posts no messages; with the lock it goes on with the
// start-up from the flag file on. A reconnect that finds the lock taken by
// another controller makes it a standby again.
//
// Unless the configuration turns wake-ups off, the wait after each pass's
// service contact ends early when there is new work (see PaceWait): a change
// another program commits to the queue, or the end of a managed job.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "controller/world.h"
#include "core/command_line.h"
#include "core/config.h"
#include "core/pace_wait.h"
#include "db/credentials/credential_file.h"
#include "db/session.h"
#include "exec/job_executor.h"
#include "platform/env.h"

namespace kvr {

class Controller {
 public:
  // Reads the configuration and builds the world; nothing touches the
  // database before StartUp.
  Controller(Env& env, CommandLine commandLine);
  ~Controller();

  // Start-up, passes until the service stops answering, shut-down. The
  // exit status: 0, or kExitStartupFailed when the database could not be
  // used at start-up (with a line naming the cause).
  int Run();

  // Pieces of Run() for tests that drive the controller step by step.
  // StartUp returns true when the main loop may begin.
  bool StartUp();
  // One pass; false when the service no longer answers (shut down next).
  bool RunPass();
  void ShutDown();

  // State the tests look at.
  bool instanceMode() const { return commandLine_.instanceMode(); }
  const std::string& pipeName() const { return world_.contact().pipeName(); }
  int32_t failedChecks() const { return failedChecks_; }
  bool connectionGood() const { return connectionGood_; }
  bool standby() const { return standby_; }
  World& world() { return world_; }
  JobExecutor& executor() { return world_.executor(); }
  Session& session() { return world_.session(); }
  // The wait between passes; null with wake-ups off.
  PaceWait* paceWait() { return world_.config().wakeUps ? &pace_ : nullptr; }
  const Config& config() const { return world_.config(); }

 private:
  // Start-up steps.
  void WriteBanner();
  void CreateMessageRecord();
  void ReadCredentials();
  bool ConnectDatabase();
  // Steps from the flag file to the main loop; false: stop (no answer).
  bool StartFromDatabase();

  // Standby (controller_standby.cpp).
  QueueLockRequest LockRequest();
  void EnterStandby(bool afterRunning);
  void NoteStandby(const QueueLockResult& lock);
  bool StandbyPass();  // false: the service no longer answers, or a stop
  void ShutDownStandby();

  // Pass steps.
  bool CheckDatabase();  // false: the pass ends after the check
  void AfterReconnect();
  bool WorkRunTypes();  // false: the pass ends after a failure line
  void SetUpPaceWait();

  Env& env_;
  CommandLine commandLine_;
  World world_;
  PaceWait pace_;  // used with wake-ups on

  // The credential set as read at start-up.
  CredentialSet credentials_;

  // Pass state.
  int64_t passTime_ = 0;
  std::string passTimestamp_;
  bool connectionGood_ = true;
  int32_t failedChecks_ = 0;

  // Queue lock state.
  bool standby_ = false;
  bool startFailed_ = false;       // the database could not be used at start-up
  bool stoppedInStartUp_ = false;  // a contact of a takeover's start-up failed
  std::string standbyNote_;        // what the last standby line said, to say it once
};

}  // namespace kvr

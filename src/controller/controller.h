// Controller: the top of KVRJOBSTR. It owns every subsystem (configuration,
// logs, service contact, database session, message poster, job executor),
// the instance number and mode, the credentials and the pass state, and runs
// the start-up, the endless loop of passes and the shut-down in the system's
// order. Run() returns the program's exit status (0 for every orderly end).
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "core/command_line.h"
#include "core/config.h"
#include "core/logger.h"
#include "core/service_contact.h"
#include "db/session.h"
#include "exec/job_executor.h"
#include "messages/message_poster.h"
#include "platform/env.h"

namespace kvr {

class Controller {
 public:
  Controller(Env& env, CommandLine commandLine);
  ~Controller();

  // Start-up, passes until the service stops answering, shut-down.
  int Run();

  // Pieces of Run() for tests that drive the controller step by step.
  // StartUp returns true when the main loop may begin.
  bool StartUp();
  // One pass; false when the service no longer answers (shut down next).
  bool RunPass();
  void ShutDown();

  // State the tests look at.
  bool instanceMode() const { return commandLine_.instanceMode(); }
  const std::string& pipeName() const { return contact_->pipeName(); }
  int32_t failedChecks() const { return failedChecks_; }
  bool connectionGood() const { return connectionGood_; }
  JobExecutor& executor() { return *executor_; }
  Session& session() { return *session_; }
  const Config& config() const { return config_; }

 private:
  // Start-up steps.
  void WriteBanner();
  void CreateMessageRecord();
  void ReadCredentials();
  bool ConnectDatabase();

  // Pass steps.
  bool CheckDatabase();  // false: the pass ends after the check
  void AfterReconnect();
  bool WorkRunType05();
  bool WorkRunType04();
  bool WorkRunType01();
  bool WorkRunType03();
  void LogSelectionError(const char* selection);
  bool StartSelected(std::string_view command, std::string_view jobda1, std::string_view jobke2,
                     std::string_view joburv, int32_t jobmrt, int32_t jobstv);
  bool EndOfLoop(const char* failureLine);
  bool RetireRefusedRow(std::string_view command, std::string_view jobda1,
                        std::string_view jobke2, int32_t jobstv);

  // Steps whose work is not built yet (timed jobs, schedules, daily
  // closing, start-up registration, housekeeping). Each sits at its place
  // in the sequence and reports success without doing anything or logging.
  void CleanupServer();
  void CheckRT04Jobs();
  void AddRT04Jobs();
  void InsertNewJobs();
  void AddRT03SystemJobs();
  void CheckDiskSpace();
  void CheckMAPVerarbeitungsjob();
  bool UpdateRT03Jobs();
  bool WorkRunType07();
  bool WorkRunType08();
  bool WorkRunType09();
  void CheckDownloads();

  Env& env_;
  CommandLine commandLine_;
  Config config_;
  std::unique_ptr<Logger> log_;
  std::unique_ptr<ServiceContact> contact_;
  std::unique_ptr<Session> session_;
  std::unique_ptr<MessagePoster> poster_;
  std::unique_ptr<JobExecutor> executor_;

  // Credentials as read at start-up.
  std::string serviceName_, schema_, login_, password_;
  std::string dbSystem_, programDbWord_;

  // Pass state.
  int64_t passTime_ = 0;
  std::string passTimestamp_;
  bool connectionGood_ = true;
  int32_t failedChecks_ = 0;
  bool passError_ = false;
  bool runType05Due_ = false;
};

}  // namespace kvr

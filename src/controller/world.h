// World: the controller's objects, built once, in the order they depend on
// each other.
//
// Owns the configuration, the log writers, the service contact (its pipe
// name from the instance number), the database session, the message poster
// (its fallback file set), the job executor, and the modules of the
// job-table work: the start loops of run types 05, 04, 01 and 03, the
// registration, the timed, scheduled and daily-closing jobs and the
// housekeeping, each given only the lower objects it uses. The Controller
// owns one; the tests and benchmarks build theirs the same way. Complete
// after construction: building never fails and touches no database. The
// facts read later from the credential file go to the calls that use them.
#pragma once

#include <cstdint>

#include "core/config.h"
#include "core/logger.h"
#include "core/service_contact.h"
#include "db/session.h"
#include "exec/job_executor.h"
#include "housekeeping/housekeeping.h"
#include "jobs/closing_jobs.h"
#include "jobs/registration.h"
#include "jobs/run_type_loops.h"
#include "jobs/scheduled_jobs.h"
#include "jobs/start_loop.h"
#include "jobs/timed_jobs.h"
#include "messages/message_poster.h"
#include "platform/env.h"

namespace kvr {

// Where messages go that the message table does not take.
inline constexpr char kMessageFallbackFile[] = "..\\veltronia_php\\log\\JOBCTLMSG.log";

class World {
 public:
  // config: as read at start-up (ReadConfig); instance: -1 for the single
  // controller, else the instance number (instance mode).
  World(Env& env, Config config, int32_t instance);
  World(const World&) = delete;
  World& operator=(const World&) = delete;

  Env& env() const { return env_; }
  const Config& config() const { return config_; }
  int32_t instance() const { return instance_; }
  bool instanceMode() const { return instance_ >= 0; }

  Logger& log() { return log_; }
  ServiceContact& contact() { return contact_; }
  const ServiceContact& contact() const { return contact_; }
  Session& session() { return session_; }
  MessagePoster& poster() { return poster_; }
  JobExecutor& executor() { return executor_; }
  // What the modules that start jobs are given.
  const StartContext& startContext() const { return startContext_; }

  RunTypeLoops& loops() { return loops_; }
  JobRegistration& registration() { return registration_; }
  TimedJobs& timed() { return timed_; }
  ScheduledJobs& scheduled() { return scheduled_; }
  ClosingJobs& closing() { return closing_; }
  Housekeeping& housekeeping() { return housekeeping_; }

 private:
  Env& env_;
  const Config config_;
  const int32_t instance_;
  Logger log_;
  ServiceContact contact_;
  Session session_;
  MessagePoster poster_;
  JobExecutor executor_;
  const StartContext startContext_;
  RunTypeLoops loops_;
  JobRegistration registration_;
  TimedJobs timed_;
  ScheduledJobs scheduled_;
  ClosingJobs closing_;
  Housekeeping housekeeping_;
};

}  // namespace kvr

// Subsystems: the controller's lower subsystems, built in one place.
//
// Owns, in the order they depend on each other, the configuration, the log
// writers, the service contact, the database session, the message poster and
// the job executor, together with the instance number and the start-up facts
// the job-table work reads (the database system word and the program
// database word, set when the credentials are read). The Controller owns one;
// tests, benchmarks and the operator's tool build one the same way, so a
// module of jobs/ or housekeeping/ needs a single reference to reach them.
// Building never fails; nothing here touches the database.
#pragma once

#include <cstdint>
#include <string>

#include "core/config.h"
#include "core/logger.h"
#include "core/service_contact.h"
#include "db/session.h"
#include "exec/job_executor.h"
#include "messages/message_poster.h"
#include "platform/env.h"

namespace kvr {

struct Subsystems {
  // config: as read at start-up (ReadConfig); instance: -1 for the single
  // controller, else the instance number (instance mode).
  Subsystems(Env& env, Config config, int32_t instance);
  Subsystems(const Subsystems&) = delete;
  Subsystems& operator=(const Subsystems&) = delete;

  bool instanceMode() const { return instance >= 0; }

  Env& env;
  const Config config;
  const int32_t instance;
  Logger log;
  ServiceContact contact;
  Session session;
  MessagePoster poster;
  JobExecutor executor;

  // The credential file's DB_SYSTEM as read, and the same word with "MSSQL"
  // given as "SQLSERVER"; both go into program file names.
  std::string dbSystem;
  std::string programDbWord;
};

}  // namespace kvr

// ExecutorHarness: a JobExecutor with everything it stands on (logs in a
// temporary directory, a session on a fresh database of either engine, the
// message poster and the service contact) around a given Env, plus the
// helpers the executor tests share: inserting and reading job rows, the
// messages posted and the main log. The logs and the database are made by
// Open; everything above them is one World, built in one place and built
// again by Restart.
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "core/config.h"
#include "core/logger.h"
#include "core/service_contact.h"
#include "db/session.h"
#include "exec/job_executor.h"
#include "messages/message_poster.h"
#include "platform/env.h"
#include "support/temp_dir.h"
#include "support/test_database.h"

namespace kvr::test {

// A job row as a test writes or reads it.
struct Job {
  std::string da1 = "20260101000000", ke2 = "JOB", urv, cmd = "prog.exe", rty = "01", sts, nam, num,
              sda, eda;
  int32_t mrt = 0, stv = 0;
};

// The selected row a start takes: command, key, origin, running time and
// the attempts so far.
inline JobRow RowToStart(std::string_view cmd, std::string_view da1, std::string_view ke2,
                         std::string_view urv, int32_t mrt, int32_t stv) {
  JobRow row;
  row.jobcmd = cmd;
  row.jobda1 = da1;
  row.jobke2 = ke2;
  row.joburv = urv;
  row.jobmrt = mrt;
  row.jobstv = stv;
  return row;
}

// How the harness builds its executor.
struct ExecutorOptions {
  bool instanceMode = false;
  std::string programDir = "/opt/kvr/";
  JobOutputSettings output = {};
};

class ExecutorHarness {
 public:
  // Builds everything and connects; a gtest failure when that fails. With
  // an output folder the debug log is on (DebugLog reads it).
  void Open(Env& env, Engine engine, ExecutorOptions options = {});

  JobExecutor& exec() { return world_->exec; }
  Session& session() { return world_->session; }
  ServiceContact& contact() { return world_->contact; }
  MessagePoster& poster() { return world_->poster; }

  void Insert(const Job& job);
  // A second connection to the test's database (what other programs see).
  std::unique_ptr<Connection> Connect();
  // The row of the key; ke2 empty in the result when it does not exist.
  Job Read(const std::string& da1, const std::string& ke2);
  // MSGTXT of every message posted, oldest first.
  std::vector<std::string> Messages();
  std::string MainLog() { return dir_.Read("KVRJOBCTL.LOG"); }
  std::string DebugLog() { return dir_.Read("KVRJOBDBG.LOG"); }
  // How often the text occurs in the main log.
  int LogCount(const std::string& text);
  // The controller killed (nothing uncommitted survives) and started again
  // on the same database, with the same logs and the same processes.
  void Restart(Env& env);
  // The first column of the first row of the query on another connection:
  // what another program sees committed. -1 when it cannot be read.
  long CountElsewhere(const std::string& sql);
  // One pass's supervision: save, clear, rebuild, check (true: rebuilt).
  bool Supervise();
  // The environment of a process that carries this controller's mark for
  // the row (FakeEnv::Process::environment).
  std::string Mark(const Job& job) const;

  const std::string& dir() const { return dir_.path(); }

 private:
  // The objects above the logs, in the order they stand on each other.
  struct World {
    World(Env& env, Logger& log, const ExecutorOptions& options);
    Session session;
    MessagePoster poster;
    ServiceContact contact;
    JobExecutor exec;
  };

  TempDir dir_;
  Config config_;
  TestDatabase db_;
  ExecutorOptions options_;
  std::unique_ptr<Logger> log_;
  std::unique_ptr<World> world_;
};

// A test name usable as a database name.
std::string CurrentTestName(const char* prefix);

}  // namespace kvr::test

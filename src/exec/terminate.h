// JobTerminator: ending the controller's jobs.
//
// KillAllProcs ends every managed job when the watching service or the
// database is lost, and writes each end into its row; KillLeftoverProcess
// ends a standing job's leftover process at start-up. Only processes that
// carry this controller's mark are ever ended, each with its whole tree;
// system hosts and, in instance mode, command interpreters are never ended.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "exec/end_writer.h"
#include "exec/executor_state.h"
#include "exec/job_identity.h"
#include "platform/env.h"

namespace kvr {

class Logger;
class Session;
class ServiceContact;
class JobOutput;

class JobTerminator {
 public:
  // KillAllProcs reasons.
  static constexpr int kReasonServiceLost = 11;
  static constexpr int kReasonDatabaseLost = 12;

  // instanceMode: ends only processes of the controller's own directory
  // and spares command interpreters.
  JobTerminator(Env& env, Logger& log, Session& session, ServiceContact& contact,
                ExecutorState& state, JobIdentity& identity, EndWriter& ends, JobOutput& output,
                bool instanceMode);

  // Ends every managed job (reason kReasonServiceLost or kReasonDatabaseLost).
  void KillAllProcs(int reason);
  // Ends a standing job's leftover process (instance mode: this id, only
  // with this controller's mark; otherwise every marked process of the
  // image name).
  void KillLeftoverProcess(Pid pid, std::string_view programName);

 private:
  void CloseForAllProcs(ProcessEntry& entry, std::string_view status, JobEnding ending,
                        Pid loggedPid);
  void WriteAllEnds(const std::vector<char>& verdicts, std::vector<std::string>& why,
                    JobEnding ending, int reason);
  void AwaitEnded(const std::vector<ProcessRef>& ended);
  void KillLeftoverByName(const std::string& name);

  Env& env_;
  Logger& log_;
  Session& session_;
  ServiceContact& contact_;
  ExecutorState& state_;
  JobIdentity& identity_;
  EndWriter& ends_;
  JobOutput& output_;
  bool instanceMode_;
};

}  // namespace kvr

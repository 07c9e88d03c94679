// JobExecutor: starting, supervising and ending the controller's jobs.
//
// Owns, through its parts, the process table and its saved copy, the
// exclusion list of the running jobs' origins, the running-jobs count and
// the running-time monitoring flag. Each pass the controller saves and clears the table,
// rebuilds it from the rows in status "01" (GetKvProcs), supervises it
// (CheckProcessTime) and starts the due jobs (StartJob). KillAllProcs ends
// every managed job when the watching service or the database is lost;
// KillLeftoverProcess ends a standing job's leftover process at start-up.
//
// A job's process is the one with the job's id and creation time, whatever
// it execs into: known from the start, or, for a row read back, from the
// job mark the process carries (platform/job_mark.h: this controller's
// queue and instance, the row's key and start time). No signal ever goes to
// a process without this queue's mark; a row naming another process is
// closed as gone and the process left alone. Only rows whose process has no
// mark at all (started by other programs or before marks) are judged by the
// program name and the row's start time, and are never signalled. A start
// claims its row ("01", JOBNUM "0", JOBSDA) before the process is created,
// so a crash never starts a row twice; a restarted controller adopts the
// marked processes its rows do not name yet.
//
// Every change of a job row is committed at once, with three exceptions:
// the process id of a started job goes with the next commit (the next
// start's claim or the end of the pass); the ends found by one supervision
// are committed together after it; the claims of a start batch are
// committed together before their processes are created. Failures are
// written to the main log and never stop the caller. Processes are reached
// only through Env. Nothing throws.
//
// The work is done by parts with one owner each, sharing the table, its
// copy, the exclusion list and the running count through ExecutorState:
// TableRebuild (the table's life in a pass), JobIdentity (which process is
// a job's, its tree), EndWriter (the one place an end is written),
// Supervisor, JobStarter, JobTerminator and JobAdoption. JobExecutor builds
// them around the objects it is given and passes the calls on.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "core/config.h"
#include "db/queue/job_table.h"
#include "exec/end_writer.h"
#include "exec/exclusion_list.h"
#include "exec/executor_state.h"
#include "exec/job_adoption.h"
#include "exec/job_identity.h"
#include "exec/job_output.h"
#include "exec/job_start.h"
#include "exec/process_table.h"
#include "exec/run_history.h"
#include "exec/supervision.h"
#include "exec/table_rebuild.h"
#include "exec/terminate.h"
#include "platform/env.h"
#include "platform/job_mark.h"

namespace kvr {

class Logger;
class Session;
class MessagePoster;
class ServiceContact;

class JobExecutor {
 public:
  // StartJob results.
  static constexpr int kStartOk = JobStarter::kStartOk;
  static constexpr int kStartTableFull = JobStarter::kStartTableFull;
  static constexpr int kStartUpdateFailed = JobStarter::kStartUpdateFailed;
  static constexpr int kStartRefused = JobStarter::kStartRefused;
  static constexpr int kStartFailed = JobStarter::kStartFailed;

  // KillAllProcs reasons.
  static constexpr int kReasonServiceLost = JobTerminator::kReasonServiceLost;
  static constexpr int kReasonDatabaseLost = JobTerminator::kReasonDatabaseLost;

  static constexpr int kNameTries = JobStarter::kNameTries;
  static constexpr int kNameRetryMs = JobStarter::kNameRetryMs;
  static constexpr int64_t kStartTolerance = Supervisor::kStartTolerance;
  static constexpr int64_t kBirthToleranceMs = Supervisor::kBirthToleranceMs;

  // programDir: the controller's directory with leading and trailing '/';
  // instance mode ends only processes whose executable lies below it.
  // output: where the jobs' standard output goes (no folder: nowhere new).
  // instance: the number the jobs' mark carries (-1 single controller).
  JobExecutor(Env& env, Logger& log, Session& session, MessagePoster& poster,
              ServiceContact& contact, bool instanceMode, std::string programDir,
              JobOutputSettings output = {}, int32_t instance = -1);
  ~JobExecutor();
  JobExecutor(const JobExecutor&) = delete;
  JobExecutor& operator=(const JobExecutor&) = delete;

  // The saved copy: taken before each rebuild (after a rebuild that broke
  // off, the table is added to the copy), cleared at start-up. Restore
  // (before all jobs are ended) adds to the table every saved entry it does
  // not hold, so that neither the jobs of a half-rebuilt table nor those
  // started since the copy was taken are missed.
  void SaveProcessTable() { rebuild_.SaveProcessTable(); }
  void RestoreProcessTable() { rebuild_.RestoreProcessTable(); }
  void ClearSavedProcessTable() { rebuild_.ClearSavedProcessTable(); }
  // Clears every entry and empties the exclusion list.
  void ClearProcessTable() { rebuild_.ClearProcessTable(); }

  // Rebuilds the table from the rows in status "01" (reaping ended children
  // first). 1 rebuilt; 0 reading failed, *sqlCode the last SQL error code.
  int GetKvProcs(int* sqlCode) { return rebuild_.GetKvProcs(sqlCode); }
  // Closes entries whose process is gone ("98") or over its time ("99").
  void CheckProcessTime() { supervisor_.CheckProcessTime(); }
  // Closes as "98" an older entry that carries a newly created process id.
  void CheckProcessID(Pid pid) { ends_.CheckProcessID(pid); }
  // Starts the selected row (JOBCMD, its key, JOBURV, JOBMRT, and JOBSTV,
  // the attempts so far): kStartOk, kStartTableFull, kStartUpdateFailed,
  // kStartRefused or kStartFailed.
  int StartJob(const JobRow& row) { return starter_.StartJob(row); }
  // A start batch: StartJob claims its row (counted as running, its origin
  // excluded) and answers kStartOk; the claims are committed together, and
  // only then are their processes created, when the batch holds
  // kMaxStartBatch claims and at FinishStartBatch. A creation that fails is
  // handled as in a single start. FinishStartBatch is false when the claims'
  // commit failed (no process was created) or a started job's row could not
  // be written.
  static constexpr std::size_t kMaxStartBatch = JobStarter::kMaxStartBatch;
  void BeginStartBatch() { starter_.BeginStartBatch(); }
  bool FinishStartBatch() { return starter_.FinishStartBatch(); }
  // Ends every managed job (reason kReasonServiceLost or kReasonDatabaseLost).
  void KillAllProcs(int reason) { terminator_.KillAllProcs(reason); }
  // Ends a standing job's leftover process (instance mode: this id, only
  // below the program directory; otherwise every process of the image name).
  void KillLeftoverProcess(Pid pid, std::string_view programName) {
    terminator_.KillLeftoverProcess(pid, programName);
  }
  // At start-up, before the first selection: every process with this
  // controller's mark whose row does not name it becomes that row's running
  // job ("01" with its id), except the processes of a run whose row says it
  // was ended ("99" with the mark's start), which are ended. The number
  // adopted.
  int AdoptMarkedProcesses() { return adoption_.AdoptMarkedProcesses(); }
  const MarkOwner& markOwner() const { return identity_.owner(); }
  // Names the queue in the jobs' mark: the database service as the
  // credentials give it (a relative SQLite path taken from the current
  // directory). Until then the program directory names it.
  void SetMarkQueue(const std::string& service) { identity_.SetMarkQueue(service); }

  int32_t runningJobs() const { return state_->runningJobs; }
  void ResetRunningJobs() { state_->runningJobs = 0; }
  bool monitoring() const { return supervisor_.monitoring(); }
  ExclusionList& exclusions() { return state_->exclusions; }
  const ProcessTable& table() const { return state_->table; }
  ProcessTable& mutableTable() { return state_->table; }
  const ProcessTable& savedTable() const { return state_->saved; }
  JobOutput& output() { return output_; }
  RunHistory& history() { return history_; }

 private:
  // In the order they are built: each part takes the ones above it.
  std::unique_ptr<ExecutorState> state_;
  JobOutput output_;
  RunHistory history_;
  JobIdentity identity_;
  EndWriter ends_;
  TableRebuild rebuild_;
  Supervisor supervisor_;
  JobStarter starter_;
  JobTerminator terminator_;
  JobAdoption adoption_;
};

// The statements of the job identity's reads and writes of a run's row.
void AppendJobIdentityStatements(StatementList* list);

}  // namespace kvr

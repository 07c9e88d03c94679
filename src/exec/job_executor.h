// JobExecutor: starting, supervising and ending the controller's jobs.
//
// Owns the process table and its saved copy, the exclusion list of the
// running jobs' origins, the running-jobs count and the running-time
// monitoring flag. Each pass the controller saves and clears the table,
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
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "core/config.h"
#include "db/queue/job_table.h"
#include "exec/exclusion_list.h"
#include "exec/job_output.h"
#include "exec/process_table.h"
#include "exec/run_history.h"
#include "platform/env.h"
#include "platform/job_mark.h"

namespace kvr {

class Logger;
class Session;
class MessagePoster;
class ServiceContact;
struct RunningJobRow;

// How a job ended, as its end is written into its row.
struct JobEnding {
  enum Kind {
    kExited,               // code: exit status
    kSignaled,             // code: the signal's number
    kOverrun,              // ended for its running time
    kShutDown,             // ended because the watching service stopped
    kDatabaseLost,         // ended because the database connection was lost
    kUnknownAfterRestart,  // claimed before a crash, no process found
    kUnknown,              // gone, its exit status not known to us
  };
  Kind kind = kUnknown;
  int code = 0;
  static JobEnding Of(const std::optional<ExitStatus>& status);
};

class JobExecutor {
 public:
  // StartJob results.
  static constexpr int kStartOk = 1;
  static constexpr int kStartTableFull = 87;     // no free entry; nothing was done
  static constexpr int kStartUpdateFailed = 88;  // the row could not be written
  static constexpr int kStartRefused = 89;       // more than 10 attempts; nothing done
  static constexpr int kStartFailed = 90;        // the process could not be created

  // KillAllProcs reasons.
  static constexpr int kReasonServiceLost = 11;
  static constexpr int kReasonDatabaseLost = 12;

  // Tries and wait of the program name look-up after a start.
  static constexpr int kNameTries = 50;
  static constexpr int kNameRetryMs = 100;
  // Seconds a process may seem to be created after the row's start time
  // (clock resolution, the start time is taken just before the creation).
  static constexpr int64_t kStartTolerance = 2;
  // Milliseconds a process may seem to be created after the creation known
  // for the job (both are read in whole seconds of the wall clock).
  static constexpr int64_t kBirthToleranceMs = (kStartTolerance + 3) * 1000;

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
  void SaveProcessTable();
  void RestoreProcessTable();
  void ClearSavedProcessTable();
  // Clears every entry and empties the exclusion list.
  void ClearProcessTable();

  // Rebuilds the table from the rows in status "01" (reaping ended children
  // first). 1 rebuilt; 0 reading failed, *sqlCode the last SQL error code.
  int GetKvProcs(int* sqlCode);
  // Closes entries whose process is gone ("98") or over its time ("99").
  void CheckProcessTime();
  // Closes as "98" an older entry that carries a newly created process id.
  void CheckProcessID(Pid pid);
  // Starts the selected row (JOBCMD, its key, JOBURV, JOBMRT, and JOBSTV,
  // the attempts so far): kStartOk, kStartTableFull, kStartUpdateFailed,
  // kStartRefused or kStartFailed.
  int StartJob(const JobRow& row);
  // A start batch: StartJob claims its row (counted as running, its origin
  // excluded) and answers kStartOk; the claims are committed together, and
  // only then are their processes created, when the batch holds
  // kMaxStartBatch claims and at FinishStartBatch. A creation that fails is
  // handled as in a single start. FinishStartBatch is false when the claims'
  // commit failed (no process was created) or a started job's row could not
  // be written.
  static constexpr std::size_t kMaxStartBatch = 64;
  void BeginStartBatch();
  bool FinishStartBatch();
  // Ends every managed job (reason kReasonServiceLost or kReasonDatabaseLost).
  void KillAllProcs(int reason);
  // Ends a standing job's leftover process (instance mode: this id, only
  // below the program directory; otherwise every process of the image name).
  void KillLeftoverProcess(Pid pid, std::string_view programName);
  // At start-up, before the first selection: every process with this
  // controller's mark whose row does not name it becomes that row's running
  // job ("01" with its id), except the processes of a run whose row says it
  // was ended ("99" with the mark's start), which are ended. The number
  // adopted.
  int AdoptMarkedProcesses();
  const MarkOwner& markOwner() const { return owner_; }
  // Names the queue in the jobs' mark: the database service as the
  // credentials give it (a relative SQLite path taken from the current
  // directory). Until then the program directory names it.
  void SetMarkQueue(const std::string& service);

  int32_t runningJobs() const { return runningJobs_; }
  void ResetRunningJobs() { runningJobs_ = 0; }
  bool monitoring() const { return monitoring_; }
  ExclusionList& exclusions() { return exclusions_; }
  const ProcessTable& table() const { return *table_; }
  ProcessTable& mutableTable() { return *table_; }
  const ProcessTable& savedTable() const { return *saved_; }
  JobOutput& output() { return output_; }
  RunHistory& history() { return history_; }

 private:
  // A process of the controller's user and the mark it carries.
  struct MarkedProcess {
    Pid pid = 0;
    ProcessStat stat;
    JobMark mark;
  };
  enum class Identity { kOwn, kForeign, kUnmarked, kGone };

  // Rebuild pieces (job_executor.cpp).
  void FillEntry(ProcessEntry& entry, const RunningJobRow& row);
  void CarryBirth(ProcessEntry& entry, std::size_t index);
  void FindClaimedProcess(ProcessEntry& entry);
  void LogUnsupervised(const ProcessEntry& entry);

  // Identity pieces (job_identity.cpp).
  Identity Identify(const ProcessEntry& entry, std::string* why);
  std::vector<MarkedProcess> MarkedProcesses();
  // The job's process and its descendants that left its group.
  std::vector<ProcessRef> JobTree(const ProcessEntry& entry,
                                  const std::vector<MarkedProcess>& marked);
  // The descendants of the roots found through their parents (those that
  // left the group and dropped the mark while their parent lives), each
  // group of the tree named once.
  std::vector<ProcessRef> DescendantsOf(const std::vector<ProcessRef>& roots);
  void CloseForeign(ProcessEntry& entry, const std::string& why);
  bool AdoptOne(const MarkedProcess& process, const std::vector<MarkedProcess>& marked);
  void LogCursorFailure(const char* format, int rc, int* sqlCode);

  // Supervision pieces (supervision.cpp).
  void CheckEntries();
  void CommitEnds();
  void CheckEntry(ProcessEntry& entry);
  void UpdateRunningTime(ProcessEntry& entry, int64_t created);
  bool InSuspensionWindow(int64_t now);
  void CloseEntry(ProcessEntry& entry, std::string_view status, JobEnding ending,
                  const char* updateFormat, const char* commitFormat);
  void CloseGone(ProcessEntry& entry, bool idHandedOn);
  void CheckUnmarked(ProcessEntry& entry, const ProcessStat& stat);
  void WriteStartedId(ProcessEntry& entry);
  void EndOverrunningJob(ProcessEntry& entry);
  // 1: created no later than the job's process (known creation, else the
  // row's start), 0: created later (another process), nothing: the start
  // time cannot be read or compared.
  std::optional<bool> CreatedByJob(const ProcessEntry& entry, std::optional<int64_t> created);
  // The steady-clock moment of a wall-clock creation time.
  int64_t BirthMs(int64_t created);

  // Start pieces (job_start.cpp).
  // `why`: the errno of the failed creation, or kNotConvertible; claimedAt:
  // the start time of the row's claim (empty: not claimed).
  int StartFailed(const std::string& command, std::string_view jobda1, std::string_view jobke2,
                  int32_t attempts, int why, std::string_view claimedAt);
  std::string FindProgramName(Pid pid);
  SpawnResult SpawnJob(const std::string& command, std::string_view stamp, std::string_view jobda1,
                       std::string_view jobke2);
  struct ClaimedStart {
    std::string command, jobda1, jobke2, joburv;
    int32_t jobmrt = 0;
    int32_t attempts = 0;
    std::string stamp;
  };
  int ClaimRow(const std::string& command, std::string_view stamp, int32_t attempts,
               std::string_view jobda1, std::string_view jobke2, bool commit);
  bool EntryFreeForClaim() const;
  bool LaunchClaims();
  int Launch(const ClaimedStart& start, bool counted);
  std::vector<std::string> RunningOutputNames() const;
  void AddStartedOrigin(std::string_view origin);

  // Terminating pieces (terminate.cpp).
  void CloseForAllProcs(ProcessEntry& entry, std::string_view status, JobEnding ending,
                        Pid loggedPid);
  void WriteAllEnds(const std::vector<char>& verdicts, std::vector<std::string>& why,
                    JobEnding ending, int reason);
  void AwaitEnded(const std::vector<ProcessRef>& ended);
  void KillLeftoverByName(const std::string& name);

  // The one place a job's end is written: JOBSTS and JOBEDA (now) in the
  // entry and the row, knowing how the job ended; the update's result,
  // nothing committed. Only the row of the entry's own run is written (still
  // "01" with the entry's process id and start time), so an entry of an
  // earlier run never closes a later one.
  int WriteEnd(ProcessEntry& entry, std::string_view status, JobEnding ending);
  // Ends the job's process with its descendants; pauseMs waited after.
  void EndJob(const ProcessEntry& entry, int pauseMs);

  Env& env_;
  Logger& log_;
  Session& session_;
  MessagePoster& poster_;
  ServiceContact& contact_;
  bool instanceMode_;
  std::string programDir_;

  std::unique_ptr<ProcessTable> table_;
  std::unique_ptr<ProcessTable> saved_;
  ExclusionList exclusions_;
  int32_t runningJobs_ = 0;
  bool monitoring_ = true;
  std::optional<int64_t> windowCheckedAt_;  // the second InSuspensionWindow last looked at
  bool inWindow_ = false;
  bool rebuildBroken_ = false;  // the last GetKvProcs did not read every row
  MarkOwner owner_;
  std::vector<std::string> unsupervisedLogged_;  // rows "01" without id, logged once
  // The ends written by one supervision, committed together after it.
  struct PendingEnd {
    const char* commitFormat;
    std::string jobnam;
  };
  bool endsBatched_ = false;
  bool batching_ = false;             // StartJob only claims (see BeginStartBatch)
  std::vector<ClaimedStart> claims_;  // claimed, not committed, no process yet
  std::vector<PendingEnd> endsPending_;
  JobOutput output_;
  RunHistory history_;
};

void AppendJobIdentityStatements(StatementList* list);

}  // namespace kvr

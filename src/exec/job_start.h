// JobStarter: one due row becomes a job process.
//
// A start claims its row ("01", JOBNUM "0", JOBSDA) and commits the claim
// before the process is created, so a crash never starts a row twice. The
// process gets the job's mark in its environment and its command line in
// UTF-8; it is recorded in a free entry of the table and in the row (status
// "01" with program name, id and start time), counted as running, and its
// origin joins the exclusion list. A failed creation marks the row "90",
// counts the attempt and tells the users. In a start batch the claims are
// committed together before their processes are created.
#pragma once

#include <cstddef>
#include <cstdint>
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
class MessagePoster;
class JobOutput;
class RunHistory;
struct JobRow;

class JobStarter {
 public:
  // StartJob results.
  static constexpr int kStartOk = 1;
  static constexpr int kStartTableFull = 87;     // no free entry; nothing was done
  static constexpr int kStartUpdateFailed = 88;  // the row could not be written
  static constexpr int kStartRefused = 89;       // more than 10 attempts; nothing done
  static constexpr int kStartFailed = 90;        // the process could not be created
  // Tries and wait of the program name look-up after a start.
  static constexpr int kNameTries = 50;
  static constexpr int kNameRetryMs = 100;
  static constexpr std::size_t kMaxStartBatch = 64;

  JobStarter(Env& env, Logger& log, Session& session, MessagePoster& poster, ExecutorState& state,
             const JobIdentity& identity, EndWriter& ends, JobOutput& output, RunHistory& history);

  // Starts the selected row (JOBCMD, its key, JOBURV, JOBMRT, and JOBSTV,
  // the attempts so far).
  int StartJob(const JobRow& row);
  void BeginStartBatch();
  bool FinishStartBatch();

 private:
  struct ClaimedStart {
    std::string command, jobda1, jobke2, joburv;
    int32_t jobmrt = 0;
    int32_t attempts = 0;
    std::string stamp;
  };
  // `why`: the errno of the failed creation, or kNotConvertible; claimedAt:
  // the start time of the row's claim (empty: not claimed).
  int StartFailed(const std::string& command, std::string_view jobda1, std::string_view jobke2,
                  int32_t attempts, int why, std::string_view claimedAt);
  std::string FindProgramName(Pid pid);
  SpawnResult SpawnJob(const std::string& command, std::string_view stamp, std::string_view jobda1,
                       std::string_view jobke2);
  int ClaimRow(const std::string& command, std::string_view stamp, int32_t attempts,
               std::string_view jobda1, std::string_view jobke2, bool commit);
  bool EntryFreeForClaim() const;
  bool LaunchClaims();
  int Launch(const ClaimedStart& start, bool counted);
  // Creates the process of a committed claim and fills its entry, without
  // touching the database; nothing when the creation failed (*error: why).
  ProcessEntry* Create(const ClaimedStart& start, bool counted, int* error);
  // Writes a created job's process id into its row, with the start's line.
  int RecordStart(const ClaimedStart& start, ProcessEntry& entry);
  std::vector<std::string> RunningOutputNames() const;
  void AddStartedOrigin(std::string_view origin);

  Env& env_;
  Logger& log_;
  Session& session_;
  MessagePoster& poster_;
  ExecutorState& state_;
  const JobIdentity& identity_;
  EndWriter& ends_;
  JobOutput& output_;
  RunHistory& history_;
  bool batching_ = false;             // StartJob only claims (see BeginStartBatch)
  std::vector<ClaimedStart> claims_;  // claimed, not committed, no process yet
};

}  // namespace kvr

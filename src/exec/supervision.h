// Supervisor: the managed jobs looked at once per pass.
//
// CheckProcessTime looks at every entry of the table: a job whose process
// is gone, carries another program, or was created after the job's start
// (its id was handed on) is closed as "98" and left alone; a job over its
// maximum running time is ended and closed as "99". The ends found by one
// look are committed together after it. Owns the running-time monitoring
// flag, off in the night hours when the clocks change.
#pragma once

#include <cstdint>
#include <optional>

#include "exec/end_writer.h"
#include "exec/executor_state.h"
#include "exec/job_identity.h"
#include "platform/env.h"

namespace kvr {

class Logger;
class Session;
class MessagePoster;
class JobOutput;

class Supervisor {
 public:
  // Seconds a process may seem to be created after the row's start time
  // (clock resolution, the start time is taken just before the creation).
  static constexpr int64_t kStartTolerance = 2;
  // Milliseconds a process may seem to be created after the creation known
  // for the job (both are read in whole seconds of the wall clock).
  static constexpr int64_t kBirthToleranceMs = (kStartTolerance + 3) * 1000;

  Supervisor(Env& env, Logger& log, Session& session, MessagePoster& poster, ExecutorState& state,
             JobIdentity& identity, EndWriter& ends, JobOutput& output);

  // Closes entries whose process is gone ("98") or over its time ("99").
  void CheckProcessTime();
  bool monitoring() const { return monitoring_; }

 private:
  void CheckEntries();
  void CheckEntry(ProcessEntry& entry);
  void UpdateRunningTime(ProcessEntry& entry, int64_t created);
  bool InSuspensionWindow(int64_t now);
  void CheckUnmarked(ProcessEntry& entry, const ProcessStat& stat);
  void WriteStartedId(ProcessEntry& entry);
  void EndOverrunningJob(ProcessEntry& entry);
  // 1: created no later than the job's process (known creation, else the
  // row's start), 0: created later (another process), nothing: the start
  // time cannot be read or compared.
  std::optional<bool> CreatedByJob(const ProcessEntry& entry, std::optional<int64_t> created);
  // The steady-clock moment of a wall-clock creation time.
  int64_t BirthMs(int64_t created);

  Env& env_;
  Logger& log_;
  Session& session_;
  MessagePoster& poster_;
  ExecutorState& state_;
  JobIdentity& identity_;
  EndWriter& ends_;
  JobOutput& output_;
  bool monitoring_ = true;
  std::optional<int64_t> windowCheckedAt_;  // the second InSuspensionWindow last looked at
  bool inWindow_ = false;
};

}  // namespace kvr

// ScheduledJobs: run type 07, the jobs that run by the schedule table. Each
// pass re-arms the rows after their run by their schedule (or deletes rows
// whose schedule is gone or over once their last end is three months old),
// takes the operators' run requests (JOBDLS 1), and starts the due rows
// unless a run type 05 job is due. CheckKvr500Job07 returns false when the
// pass must end: a read or a row update failed, or the service stopped
// answering.
#pragma once

#include <cstdint>
#include <string>
#include <unordered_set>

#include "jobs/start_loop.h"

namespace kvr {

struct JobRow;

class ScheduledJobs {
 public:
  explicit ScheduledJobs(const StartContext& ctx);

  bool CheckKvr500Job07(bool runType05Due);

  // Requests and re-arming of every run type 07 row, then a commit; the
  // commit's result.
  int UpdateRT07Jobs();

  // Re-arms or deletes one ended row by its schedule: 1 handled (also when
  // nothing changed), 0 when a database error was logged. *staysEnded (when
  // given) tells whether the row is still there and ended afterwards.
  int NextRunBySchedule(JobRow& row, bool* staysEnded = nullptr);

 private:
  void LogError(const char* what, int rc);
  // Ended rows left as they were in the current minute, by key, status and
  // end time; cleared when the minute changes.
  bool LeftThisMinute(const JobRow& row, int64_t now);
  void RememberLeft(const JobRow& row);

  StartContext ctx_;
  int64_t leftMinute_ = -1;
  std::unordered_set<std::string> leftThisMinute_;
};

}  // namespace kvr

// ScheduledJobs: run type 07, the jobs that run by the schedule table. Each
// pass re-arms the rows after their run by their schedule (or deletes rows
// whose schedule is gone or over once their last end is three months old),
// takes the operators' run requests (JOBDLS 1), and starts the due rows
// unless a run type 05 job is due. CheckKvr500Job07 returns false when the
// pass must end: a read or a row update failed, or the service stopped
// answering.
#pragma once

namespace kvr {

struct JobRow;
struct Subsystems;

class ScheduledJobs {
 public:
  explicit ScheduledJobs(Subsystems& sys);

  bool CheckKvr500Job07(bool runType05Due);

  // Requests and re-arming of every run type 07 row, then a commit; the
  // commit's result.
  int UpdateRT07Jobs();

  // Re-arms or deletes one ended row by its schedule: 1 handled (also when
  // nothing changed), 0 when a database error was logged.
  int NextRunBySchedule(JobRow& row);

 private:
  void LogError(const char* what, int rc);

  Subsystems& sys_;
};

}  // namespace kvr

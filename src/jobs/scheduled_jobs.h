// ScheduledJobs: run type 07, the jobs that run by the schedule table. Each
// pass re-arms the rows after their run by their schedule, takes the
// operators' run requests, and starts the due rows unless a run type 05 job
// is due. CheckKvr500Job07 returns false when the pass must end.
#pragma once

namespace kvr {

struct Subsystems;

class ScheduledJobs {
 public:
  explicit ScheduledJobs(Subsystems& sys);

  bool CheckKvr500Job07(bool runType05Due);

 private:
  Subsystems& sys_;
};

}  // namespace kvr

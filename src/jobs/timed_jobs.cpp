#include "jobs/timed_jobs.h"

#include <vector>

#include "db/queue/job_table.h"
#include "exec/subsystems.h"
#include "jobs/calendar.h"
#include "jobs/next_run_rules.h"
#include "jobs/run_type_list.h"

namespace kvr {

TimedJobs::TimedJobs(Subsystems& sys) : sys_(sys) {}

bool TimedJobs::UpdateRT03Jobs(int64_t passTime) {
  if (passTime < nextCheck_) return true;
  nextCheck_ = passTime + kCheckIntervalSeconds;
  std::vector<JobRow> rows;
  ReadRunTypeJobs(sys_.session, kRunType03, rows);
  for (JobRow& row : rows) {
    if (RunInProgress(row.jobsts)) continue;
    if (!NextRun(row, passTime)) continue;
    int rc = SQLUpdateJobNextRun(sys_.session, row);
    if (rc != 0) sys_.log.MainF("- Fehler Job03 updaten RC: %ld\n", static_cast<long>(rc));
  }
  return true;
}

bool TimedJobs::NextRun(JobRow& row, int64_t now) {
  switch (row.jobdls) {
    case kTimingDaily:
      return kvr::NextRunDaily(sys_.env, row, now, sys_.config.dailyJobTime);
    case kTimingInterval:
      return kvr::NextRunInterval(sys_.env, row, now, sys_.config.intervalMinutes);
    default:
      return NextRunByTimePlan(row, now);
  }
}

bool TimedJobs::NextRunByTimePlan(JobRow& row, int64_t now) {
  std::tm local = LocalFields(sys_.env, now);
  PlanWindow window;
  int rc = FindTimePlanWindow(sys_.session, row.jobscd, WeekdayOf(local), MinuteOfDay(local),
                              row.jobdls, &window);
  return kvr::NextRunByTimePlan(row, local, rc == 0 ? &window : nullptr);
}

}  // namespace kvr

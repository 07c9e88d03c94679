#include "jobs/timed_jobs.h"

#include <utility>
#include <vector>

#include "core/logger.h"
#include "db/queue/job_table.h"
#include "db/session.h"
#include "jobs/calendar.h"
#include "jobs/next_run_rules.h"
#include "jobs/run_type_list.h"
#include "platform/env.h"

namespace kvr {

TimedJobs::TimedJobs(Env& env, Logger& log, Session& session, std::string dailyJobTime,
                     int32_t intervalMinutes)
    : env_(env),
      log_(log),
      session_(session),
      dailyJobTime_(std::move(dailyJobTime)),
      intervalMinutes_(intervalMinutes) {}

bool TimedJobs::UpdateRT03Jobs(int64_t passTime) {
  if (passTime < nextCheck_) return true;
  nextCheck_ = passTime + kCheckIntervalSeconds;
  std::vector<JobRow> rows;
  ReadRunTypeJobs(session_, kRunType03, rows);
  for (JobRow& row : rows) {
    if (RunInProgress(row.jobsts)) continue;
    if (!NextRun(row, passTime)) continue;
    int rc = SQLUpdateJobNextRun(session_, row);
    if (rc != 0) log_.MainF("- Fehler Job03 updaten RC: %ld\n", static_cast<long>(rc));
  }
  return true;
}

bool TimedJobs::NextRun(JobRow& row, int64_t now) {
  switch (row.jobdls) {
    case kTimingDaily:
      return kvr::NextRunDaily(env_, row, now, dailyJobTime_);
    case kTimingInterval:
      return kvr::NextRunInterval(env_, row, now, intervalMinutes_);
    default:
      return NextRunByTimePlan(row, now);
  }
}

bool TimedJobs::NextRunByTimePlan(JobRow& row, int64_t now) {
  std::tm local = LocalFields(env_, now);
  PlanWindow window;
  int rc = FindTimePlanWindow(session_, row.jobscd, WeekdayOf(local), MinuteOfDay(local),
                              row.jobdls, &window);
  return kvr::NextRunByTimePlan(row, local, rc == 0 ? &window : nullptr);
}

}  // namespace kvr

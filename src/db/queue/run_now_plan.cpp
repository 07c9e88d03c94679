#include "db/queue/run_now_plan.h"

namespace kvr {

namespace {

constexpr int32_t kScheduleRequest = 1;
constexpr int32_t kDailySystemJob = 2;
constexpr int32_t kIntervalSystemJob = 3;
constexpr int32_t kMaxStartAttempts = 10;  // the start refuses a row above it

// A next run that has not come (or is missing) is set to now.
void NextRunNow(JobRow* r, std::string_view now) {
  if (r->jobnrt.view().empty() || r->jobnrt.view() > now) r->jobnrt = now;
}

}  // namespace

RunNowPlan PlanRunNow(const JobRow& row, std::string_view now) {
  RunNowPlan plan;
  plan.row = row;
  JobRow& r = plan.row;
  const std::string_view rty = row.jobrty.view();
  if (row.jobsts.view() == kStatusRunning) {
    plan.refused = true;
    plan.reason = "the job is running (process " + row.jobnum.str() + "); wait until it has ended";
  } else if (rty == kRunType01 || rty == kRunType09) {
    r.jobsts = kStatusWaiting;
  } else if (rty == kRunType05) {
    r.jobsts = kStatusWaiting;
    if (r.jobdlt.view() > now) r.jobdlt = "";
    plan.note = "an exclusive job starts only when no other managed job runs";
  } else if (rty == kRunType04) {
    r.jobsts = kStatusWaiting;
    r.jobstv = 0;
  } else if (rty == kRunType03 || rty == kRunType08) {
    r.jobsts = kStatusScheduled;
    r.jobnrt = now;
    if (rty == kRunType03 && row.jobdls != kDailySystemJob && row.jobdls != kIntervalSystemJob) {
      plan.note =
          "a job of a time plan runs only while the plan has a window open now; "
          "outside one the controller parks it again";
    }
  } else if (rty == kRunType07) {
    r.jobdls = kScheduleRequest;
    NextRunNow(&r, now);
  } else if (rty == kRunType06) {
    plan.refused = true;
    plan.reason = "run type 06 is not managed by the controller";
  } else if (rty == kRunType99) {
    plan.refused = true;
    plan.reason = "this is the controller's status row, not a job";
  } else {
    plan.refused = true;
    plan.reason = "the run type '" + row.jobrty.str() + "' is not one the controller starts";
  }
  if (!plan.refused && r.jobstv > kMaxStartAttempts) r.jobstv = 0;
  return plan;
}

}  // namespace kvr

#include "jobs/scheduled_jobs.h"

#include <string>
#include <vector>

#include "core/logger.h"
#include "core/service_contact.h"
#include "db/queue/job_table.h"
#include "db/session.h"
#include "jobs/calendar.h"
#include "jobs/run_type_list.h"
#include "jobs/schedule_rules.h"
#include "jobs/schedule_table.h"
#include "jobs/start_loop.h"
#include "platform/env.h"

namespace kvr {

namespace {

constexpr int32_t kRunRequest = 1;

// A request whose write-back failed would otherwise be lost without trace.
constexpr char kRequestFailedLine[] = "- Fehler Job07 Sofortstart updaten RC: %ld\n";

std::string LeftKey(const JobRow& row) {
  std::string key(row.jobda1.view());
  for (std::string_view part : {row.jobke2.view(), row.jobsts.view(), row.jobeda.view()}) {
    key += '\x1f';
    key += part;
  }
  return key;
}

}  // namespace

ScheduledJobs::ScheduledJobs(const StartContext& ctx) : ctx_(ctx) {}

void ScheduledJobs::LogError(const char* what, int rc) {
  std::string state, message;
  int code = ctx_.session.GetLastSQLError(&state, &message);
  ctx_.log.Main("Fehler (07)\n");
  ctx_.log.MainF(
      "%s! RC: %ld\n-   SQLCode GetLastSQLError: %ld\n-   SQLState: %s\n-   SQLMsg: %s\n", what,
      static_cast<long>(rc), static_cast<long>(code), state.c_str(), message.c_str());
}

bool ScheduledJobs::LeftThisMinute(const JobRow& row, int64_t now) {
  const int64_t minute = now / 60;
  if (minute != leftMinute_) {
    leftMinute_ = minute;
    leftThisMinute_.clear();
    return false;
  }
  return leftThisMinute_.count(LeftKey(row)) != 0;
}

void ScheduledJobs::RememberLeft(const JobRow& row) { leftThisMinute_.insert(LeftKey(row)); }

int ScheduledJobs::UpdateRT07Jobs() {
  std::vector<JobRow> rows;
  // Waiting rows need nothing here; reading only ended and requested rows
  // keeps an idle pass from fetching the whole run type.
  ReadEndedOrRequestedJobs(ctx_.session, kRunType07, rows);
  const int64_t now = ctx_.env.Now();
  for (JobRow& row : rows) {
    int32_t status = StatusValue(row.jobsts);
    if (status >= 1 && status <= 10) continue;
    if (row.jobdls == kRunRequest) {
      row.jobsts = kStatusScheduled;
      row.jobdls = 0;
      int rc = SQLUpdateJobStatusDls(ctx_.session, row);
      if (rc != 0) ctx_.log.MainF(kRequestFailedLine, static_cast<long>(rc));
    } else if (status > 90 && !LeftThisMinute(row, now)) {
      bool staysEnded = false;
      NextRunBySchedule(row, &staysEnded);
      if (staysEnded) RememberLeft(row);
    }
  }
  return ctx_.session.SQLCommit();
}

int ScheduledJobs::NextRunBySchedule(JobRow& row, bool* staysEnded) {
  bool ignored = false;
  if (!staysEnded) staysEnded = &ignored;
  *staysEnded = true;
  const int64_t now = ctx_.env.Now();
  ScheduleRow schedule;
  int rc = SQLReadKvr800Scd(ctx_.session, SplitScheduleKey(row.jobke2), &schedule);
  if (rc != 0 && rc != kSqlNoData) {
    LogError("SQLReadKvr800Scd", rc);
    return 0;
  }
  ScheduleDecision decision = DecideBySchedule(ctx_.env, now, row, rc == 0 ? &schedule : nullptr);
  if (decision.action == ScheduleAction::kDelete) {
    SQLDeleteJob(ctx_.session, row.jobda1, row.jobke2);
    *staysEnded = false;
    return 1;
  }
  if (decision.action == ScheduleAction::kLeave) return 1;
  row.jobsts = kStatusScheduled;
  row.jobnrt = decision.jobnrt;
  rc = SQLRescheduleJob(ctx_.session, row);
  if (rc != 0) {
    LogError("SQLReadKvr800Scd", rc);
    return 0;
  }
  *staysEnded = false;
  return 1;
}

bool ScheduledJobs::CheckKvr500Job07(bool runType05Due) {
  UpdateRT07Jobs();
  if (!ctx_.contact.Contact("CheckKvr500Job07 Beginn", false)) return false;
  return RunStartLoop(ctx_, StartPolicyOf(kRunType07), runType05Due).passGoesOn;
}

}  // namespace kvr

#include "jobs/closing_jobs.h"

#include <string>
#include <vector>

#include "core/service_contact.h"
#include "db/queue/job_table.h"
#include "db/session.h"
#include "jobs/closing_rules.h"
#include "jobs/closing_table.h"
#include "jobs/run_type_list.h"
#include "jobs/start_loop.h"
#include "platform/env.h"

namespace kvr {

namespace {

constexpr char kClosingSchema[] = "VELTRONIA";

}  // namespace

ClosingJobs::ClosingJobs(const StartContext& ctx) : ctx_(ctx) {}

int ClosingJobs::updateKvr500Job08() {
  Session& db = ctx_.session;
  if (!ctx_.contact.Contact("updateKvr500Job08 Beginn", false)) return 0;
  ClosingTimes times{};
  int rc = SQLReadKvr112Mnd(db, kClosingSchema, &times);
  if (rc == kSqlNoData) return 1;
  if (rc != 0) return 0;
  std::vector<JobRow> rows;
  ReadRunTypeJobs(db, kRunType08, rows);
  ClosingReconciliation plan = ReconcileClosingRows(rows, times);
  for (std::size_t i : plan.finished) SQLDeleteJob(db, rows[i].jobda1, rows[i].jobke2);
  if (!ctx_.contact.Contact("updateKvr500Job08 Step 1", false)) return 0;
  for (std::size_t i : plan.unmatched) SQLDeleteJob(db, rows[i].jobda1, rows[i].jobke2);
  db.SQLCommit();
  if (!ctx_.contact.Contact("updateKvr500Job08 Step 2", false)) return 0;
  rows.clear();
  for (const JobRow& row : NewClosingRows(ctx_.env, ctx_.env.Now(), plan.untaken)) {
    SQLInsertTimedJob(db, row);
  }
  db.SQLCommit();
  return ctx_.contact.Contact("updateKvr500Job08 Ende", false) ? 1 : 0;
}

bool ClosingJobs::checkKvrJobs08(bool runType05Due) {
  updateKvr500Job08();
  return RunStartLoop(ctx_, StartPolicyOf(kRunType08), runType05Due).passGoesOn;
}

bool ClosingJobs::checkKvrJobs09(bool runType05Due) {
  return RunStartLoop(ctx_, StartPolicyOf(kRunType09), runType05Due).passGoesOn;
}

}  // namespace kvr

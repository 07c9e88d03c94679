#include "jobs/closing_jobs.h"

#include <string>
#include <vector>

#include "db/queue/job_table.h"
#include "exec/selection.h"
#include "exec/subsystems.h"
#include "jobs/closing_rules.h"
#include "jobs/closing_table.h"
#include "jobs/run_type_list.h"

namespace kvr {

namespace {

constexpr char kClosingSchema[] = "VELTRONIA";

}  // namespace

ClosingJobs::ClosingJobs(Subsystems& sys) : sys_(sys) {}

void ClosingJobs::LogReadError(int rc) {
  std::string state, message;
  int code = sys_.session.GetLastSQLError(&state, &message);
  sys_.log.MainF(
      "SQLReadKvr500Job! RC: %ld\n-   SQLCode GetLastSQLError: %ld\n-   SQLState: %s\n-   "
      "SQLMsg: %s\n",
      static_cast<long>(rc), static_cast<long>(code), state.c_str(), message.c_str());
}

int ClosingJobs::updateKvr500Job08() {
  Session& db = sys_.session;
  if (!sys_.contact.Contact("updateKvr500Job08 Beginn", false)) return 0;
  ClosingTimes times{};
  int rc = SQLReadKvr112Mnd(db, kClosingSchema, &times);
  if (rc == kSqlNoData) return 1;
  if (rc != 0) return 0;
  std::vector<JobRow> rows;
  ReadRunTypeJobs(db, kRunType08, rows);
  ClosingReconciliation plan = ReconcileClosingRows(rows, times);
  for (std::size_t i : plan.finished) SQLDeleteJob(db, rows[i].jobda1, rows[i].jobke2);
  if (!sys_.contact.Contact("updateKvr500Job08 Step 1", false)) return 0;
  for (std::size_t i : plan.unmatched) SQLDeleteJob(db, rows[i].jobda1, rows[i].jobke2);
  db.SQLCommit();
  if (!sys_.contact.Contact("updateKvr500Job08 Step 2", false)) return 0;
  rows.clear();
  for (const JobRow& row : NewClosingRows(sys_.env, sys_.env.Now(), plan.untaken)) {
    SQLInsertTimedJob(db, row);
  }
  db.SQLCommit();
  return sys_.contact.Contact("updateKvr500Job08 Ende", false) ? 1 : 0;
}

bool ClosingJobs::checkKvrJobs08(bool runType05Due) {
  updateKvr500Job08();
  sys_.executor.exclusions().SetBlank();
  bool failed = false;
  while (!runType05Due) {
    JobRow row;
    int rc = SQLReadKvr500Job(sys_.session, sys_.env, kRunType08, sys_.executor.exclusions(), &row);
    if (rc == kSqlNoData) break;
    if (rc != 0) {
      LogReadError(rc);
      failed = true;
      break;
    }
    // The row's own attempts are not passed: a closing run is never refused.
    int start =
        sys_.executor.StartJob(row.jobcmd, row.jobda1, row.jobke2, row.joburv, row.jobmrt, 0);
    if (start == JobExecutor::kStartUpdateFailed) {
      failed = true;
      break;
    }
    // No free process entry: the row is as it was; it waits for a later pass.
    if (start == JobExecutor::kStartTableFull) break;
    if (!sys_.contact.Contact("checkKvrJobs08", false)) return false;
  }
  return !failed;
}

bool ClosingJobs::checkKvrJobs09(bool runType05Due) {
  sys_.executor.exclusions().SetBlank();
  // A refused (more than 10 attempts) or failed row stays due for this
  // selection; it is left out for the rest of the pass.
  std::vector<JobKey> passedOver;
  bool failed = false;
  UnreadableRows& unreadable = sys_.session.unreadableRows();
  unreadable.TakeSetAside();
  while (!runType05Due && passedOver.size() < kMaxPassedOver) {
    JobRow row;
    int rc = SelectKvr500Job09Except(sys_.session, sys_.executor.exclusions(), passedOver, &row);
    // A row set aside as unreadable is still due here ("90"): passed over,
    // so the rows sorted after it are selected.
    size_t known = passedOver.size();
    for (const auto& [da1, ke2] : unreadable.TakeSetAside()) {
      passedOver.push_back(
          JobKey{std::string_view(da1), std::string_view(ke2), ke2.size() > kJobKe2Width});
    }
    if (rc == kSqlNoData && passedOver.size() > known) continue;
    if (rc == kSqlNoData) break;
    if (rc != 0) {
      LogReadError(rc);
      failed = true;
      break;
    }
    int start = sys_.executor.StartJob(row.jobcmd, row.jobda1, row.jobke2, row.joburv, row.jobmrt,
                                       row.jobstv);
    if (start == JobExecutor::kStartUpdateFailed) {
      failed = true;
      break;
    }
    if (start != JobExecutor::kStartOk) passedOver.push_back(JobKey{row.jobda1, row.jobke2});
    if (!sys_.contact.Contact("checkKvrJobs09", false)) return false;
  }
  return !failed;
}

}  // namespace kvr

// The pass's selection loops of run types 05, 04, 01 and 03: each selects one
// due row at a time and hands it to the job start, whose update of the row
// (status "01" or "90", or a grown exclusion list) makes the next selection
// see the next row. Each returns false when the pass must end here.
#include <cstdio>

#include "controller/controller.h"
#include "db/job_table.h"
#include "exec/selection.h"

namespace kvr {

namespace {

// A start that did nothing to its row (refused, or no free process entry)
// would make the same row come back at once: the loop must end there.
bool RowUnchanged(int startResult) {
  return startResult == JobExecutor::kStartRefused ||
         startResult == JobExecutor::kStartTableFull;
}

}  // namespace

// Starts one selected row; false when the loop around it must end (a failed
// row update is a pass error).
bool Controller::StartSelected(std::string_view command, std::string_view jobda1,
                               std::string_view jobke2, std::string_view joburv, int32_t jobmrt,
                               int32_t jobstv) {
  int start = executor_->StartJob(command, jobda1, jobke2, joburv, jobmrt, jobstv);
  if (start == JobExecutor::kStartUpdateFailed) {
    passError_ = true;
    return false;
  }
  if (start == JobExecutor::kStartRefused) return RetireRefusedRow(command, jobda1, jobke2, jobstv);
  return !RowUnchanged(start);
}

// A waiting row whose attempts are used up is refused at every start and,
// being the oldest due row, would come back first in every pass: it would
// hold back every row of its run type behind it for good (and a run type 05
// row every other run type). It is marked as failed instead, as its last
// failed start would have marked it, so the queue moves on and an operator
// sees it. True when the row was changed and the loop may go on.
bool Controller::RetireRefusedRow(std::string_view command, std::string_view jobda1,
                                  std::string_view jobke2, int32_t jobstv) {
  int rc = SQLUpdateJobRun(*session_, kStatusStartFailed, "", "", "", "", "", jobstv, jobda1,
                           jobke2);
  if (rc == 0) rc = session_->SQLCommit();
  log_->MainF("Start PGM: %.*s Startversuche ueberschritten (%ld), Status 90 gesetzt! RC: %ld\n",
              static_cast<int>(command.size()), command.data(), static_cast<long>(jobstv),
              static_cast<long>(rc));
  return rc == 0;
}

bool Controller::EndOfLoop(const char* failureLine) {
  if (!passError_) return true;
  log_->Main(failureLine);
  return false;
}

bool Controller::WorkRunType05() {
  SelectedJob job;
  int rc = SQLSelectKvr500Job05(*session_, executor_->exclusions(), &job);
  if (rc == kSqlNoData) return true;
  if (rc != 0) {
    LogSelectionError("SQLSelectKvr500Job05");
    log_->Main("Fehler bei der Ermittlung der Jobs mit RunType 05!\n");
    return false;
  }
  runType05Due_ = true;
  if (executor_->runningJobs() != 0) return true;  // waits for a pass without jobs
  if (!StartSelected(job.jobcmd, job.jobda1, job.jobke2, job.joburv, job.jobmrt, job.jobstv) &&
      passError_) {
    log_->Main("Fehler beim Starten der Jobs mit RunType 05!\n");
    return false;
  }
  return true;
}

bool Controller::WorkRunType04() {
  int rc = 0;
  while (rc == 0 && !runType05Due_) {
    SelectedJob job;
    rc = SQLSelectKvr500Job04(*session_, executor_->exclusions(), &job);
    if (rc == kSqlNoData) break;
    if (rc != 0) {
      LogSelectionError("SQLSelectKvr500Job04");
      break;
    }
    if (!StartSelected(job.jobcmd, job.jobda1, job.jobke2, job.joburv, job.jobmrt, job.jobstv))
      break;
    if (!contact_->Contact("Start RT04Jobs", false)) break;
  }
  return EndOfLoop("Fehler bei der Verarbeitung der Jobs mit RunType 04!\n");
}

bool Controller::WorkRunType01() {
  int rc = 0;
  while (rc == 0 && executor_->runningJobs() < config_.maxJobs && !runType05Due_) {
    SelectedJob job;
    rc = SQLSelectKvr500Job01(*session_, executor_->exclusions(), &job);
    if (rc == kSqlNoData) break;
    if (rc != 0) {
      LogSelectionError("SQLSelectKvr500Job01");
      break;
    }
    if (!StartSelected(job.jobcmd, job.jobda1, job.jobke2, job.joburv, job.jobmrt, job.jobstv))
      break;
  }
  return EndOfLoop("Fehler bei der Verarbeitung der Jobs mit RunType 01!\n");
}

bool Controller::WorkRunType03() {
  int rc = 0;
  while (rc == 0 && !runType05Due_) {
    JobRow row;
    rc = SQLReadKvr500Job(*session_, env_, kRunType03, executor_->exclusions(), &row);
    if (rc == kSqlNoData) break;
    if (rc != 0) {
      std::string state, message;
      int code = session_->GetLastSQLError(&state, &message);
      log_->MainF(
          "SQLReadKvr500Job! RC: %ld\n-   SQLCode GetLastSQLError: %ld\n-   SQLState: %s\n-   "
          "SQLMsg: %s\n",
          static_cast<long>(rc), static_cast<long>(code), state.c_str(), message.c_str());
      passError_ = true;
      break;
    }
    // Timed jobs are started with no attempts counted.
    if (!StartSelected(row.jobcmd, row.jobda1, row.jobke2, row.joburv, row.jobmrt, 0)) break;
  }
  return EndOfLoop("Fehler bei der Verarbeitung der Jobs mit RunType 03!\n");
}

}  // namespace kvr

#include "jobs/run_type_loops.h"

#include "db/queue/job_table.h"
#include "exec/selection.h"
#include "exec/subsystems.h"

namespace kvr {

namespace {

constexpr char kSelectionErrorFormat[] =
    "%s! Fehler SQLCode: %ld\n-   SQLState: %s\n-   SQLMsg: %s\n";

// A start that did nothing to its row (refused, or no free process entry)
// would make the same row come back at once: the loop must end there.
bool RowUnchanged(int startResult) {
  return startResult == JobExecutor::kStartRefused || startResult == JobExecutor::kStartTableFull;
}

}  // namespace

RunTypeLoops::RunTypeLoops(Subsystems& sys) : sys_(sys) {}

void RunTypeLoops::BeginPass() {
  passError_ = false;
  runType05Due_ = false;
}

void RunTypeLoops::LogSelectionError(const char* selection) {
  std::string state, message;
  int code = sys_.session.GetLastSQLError(&state, &message);
  sys_.log.MainF(kSelectionErrorFormat, selection, static_cast<long>(code), state.c_str(),
                 message.c_str());
  passError_ = true;
}

bool RunTypeLoops::StartSelected(std::string_view command, std::string_view jobda1,
                                 std::string_view jobke2, std::string_view joburv, int32_t jobmrt,
                                 int32_t jobstv) {
  int start = sys_.executor.StartJob(command, jobda1, jobke2, joburv, jobmrt, jobstv);
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
bool RunTypeLoops::RetireRefusedRow(std::string_view command, std::string_view jobda1,
                                    std::string_view jobke2, int32_t jobstv) {
  int rc =
      SQLUpdateJobRun(sys_.session, kStatusStartFailed, "", "", "", "", "", jobstv, jobda1, jobke2);
  if (rc == 0) rc = sys_.session.SQLCommit();
  sys_.log.MainF("Start PGM: %.*s Startversuche ueberschritten (%ld), Status 90 gesetzt! RC: %ld\n",
                 static_cast<int>(command.size()), command.data(), static_cast<long>(jobstv),
                 static_cast<long>(rc));
  return rc == 0;
}

bool RunTypeLoops::EndOfLoop(const char* failureLine) {
  if (!passError_) return true;
  sys_.log.Main(failureLine);
  return false;
}

bool RunTypeLoops::WorkRunType05() {
  SelectedJob job;
  int rc = SQLSelectKvr500Job05(sys_.session, sys_.executor.exclusions(), &job);
  if (rc == kSqlNoData) return true;
  if (rc != 0) {
    LogSelectionError("SQLSelectKvr500Job05");
    sys_.log.Main("Fehler bei der Ermittlung der Jobs mit RunType 05!\n");
    return false;
  }
  runType05Due_ = true;
  if (sys_.executor.runningJobs() != 0) return true;  // waits for a pass without jobs
  if (!StartSelected(job.jobcmd, job.jobda1, job.jobke2, job.joburv, job.jobmrt, job.jobstv) &&
      passError_) {
    sys_.log.Main("Fehler beim Starten der Jobs mit RunType 05!\n");
    return false;
  }
  return true;
}

bool RunTypeLoops::WorkRunType04() {
  int rc = 0;
  while (rc == 0 && !runType05Due_) {
    SelectedJob job;
    rc = SQLSelectKvr500Job04(sys_.session, sys_.executor.exclusions(), &job);
    if (rc == kSqlNoData) break;
    if (rc != 0) {
      LogSelectionError("SQLSelectKvr500Job04");
      break;
    }
    if (!StartSelected(job.jobcmd, job.jobda1, job.jobke2, job.joburv, job.jobmrt, job.jobstv))
      break;
    if (!sys_.contact.Contact("Start RT04Jobs", false)) break;
  }
  return EndOfLoop("Fehler bei der Verarbeitung der Jobs mit RunType 04!\n");
}

// The claims of the rows selected here are committed together before
// their processes are created (one commit, one sync, for many starts).
bool RunTypeLoops::WorkRunType01() {
  sys_.executor.BeginStartBatch();
  int rc = 0;
  while (rc == 0 && sys_.executor.runningJobs() < sys_.config.maxJobs && !runType05Due_) {
    SelectedJob job;
    rc = SQLSelectKvr500Job01(sys_.session, sys_.executor.exclusions(), &job);
    if (rc == kSqlNoData) break;
    if (rc != 0) {
      LogSelectionError("SQLSelectKvr500Job01");
      break;
    }
    if (!StartSelected(job.jobcmd, job.jobda1, job.jobke2, job.joburv, job.jobmrt, job.jobstv))
      break;
  }
  if (!sys_.executor.FinishStartBatch()) passError_ = true;
  return EndOfLoop("Fehler bei der Verarbeitung der Jobs mit RunType 01!\n");
}

bool RunTypeLoops::WorkRunType03() {
  int rc = 0;
  while (rc == 0 && !runType05Due_) {
    JobRow row;
    rc = SQLReadKvr500Job(sys_.session, sys_.env, kRunType03, sys_.executor.exclusions(), &row);
    if (rc == kSqlNoData) break;
    if (rc != 0) {
      std::string state, message;
      int code = sys_.session.GetLastSQLError(&state, &message);
      sys_.log.MainF(
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

// EndWriter: writing a job's end. The row is closed only while it is still
// in the entry's run; the run history records the run with the row; the
// ends of one supervision are committed together.
#include "exec/end_writer.h"

#include <string>

#include "core/logger.h"
#include "db/client/connection.h"
#include "db/queue/job_table.h"
#include "db/session.h"
#include "exec/exec_text.h"
#include "exec/job_output.h"
#include "exec/run_history.h"

namespace kvr {

namespace {

constexpr char kForeignProcess[] =
    "Job %s %s: process %d is not this job's (%s); row closed as ended, process left alone\n";
constexpr char kGoneUpdateFailed[] = "Update CheckProcessTime(2): %s Fehler RC: %ld\n";
constexpr char kGoneCommitFailed[] = "SQLCommit: CheckProcessTime(2): Job beendet %s! RC: %ld\n";
constexpr char kReusedUpdateFailed[] = "- Update JobStatus: %s CheckProcessID! Fehler RC: %ld\n";
constexpr char kReusedCommitFailed[] = "SQLCommit: CheckProcessID: Job %s! RC: %ld\n";

constexpr char kRunNotClosed[] =
    "Job %s %s: the row no longer runs process %s of the start at %s; end not written\n";

// The run history's word for how a job ended.
std::string_view RunEndOf(const JobEnding& ending) {
  switch (ending.kind) {
    case JobEnding::kExited:
      return kRunExit;
    case JobEnding::kSignaled:
      return kRunSignal;
    case JobEnding::kOverrun:
      return kRunOverrun;
    case JobEnding::kShutDown:
      return kRunShutdown;
    case JobEnding::kDatabaseLost:
      return kRunDbLost;
    case JobEnding::kUnknownAfterRestart:
    case JobEnding::kUnknown:
      break;
  }
  return kRunUnknown;
}

}  // namespace

JobEnding JobEnding::Of(const std::optional<ExitStatus>& status) {
  if (!status) return {kUnknown, 0};
  return {status->signaled ? kSignaled : kExited, status->code};
}

EndWriter::EndWriter(Env& env, Logger& log, Session& session, ExecutorState& state,
                     JobOutput& output, RunHistory& history)
    : env_(env), log_(log), session_(session), state_(state), output_(output), history_(history) {}

// A row no longer in this run (closed by another program, or started again
// since the entry was taken) is left as it is, with a line; the caller
// goes on as after a written end.
int EndWriter::WriteEnd(ProcessEntry& entry, std::string_view status, JobEnding ending) {
  entry.jobeda = TimeStamp14(env_, env_.Now());
  entry.jobsts = status;
  // The run's process id as the row may hold it, besides the claim's "0".
  FixedText<8> num(entry.jobnum.view());
  if (entry.idUnwritten && entry.pid != 0) num = std::to_string(entry.pid);
  const JobRunUpdate end{.da1 = entry.jobda1,
                         .ke2 = entry.jobke2,
                         .status = status,
                         .name = entry.jobnam,
                         .user = entry.jobusr,
                         .num = entry.jobnum,
                         .sda = entry.jobsda,
                         .eda = entry.jobeda,
                         .stv = entry.jobstv};
  int rc = WriteRunEnd(session_.db(), end, num, entry.jobsda);
  // An end stays known until it is durable.
  session_.endedRows().Note(rc, end, entry.jobsda, num);
  if (rc == kSqlNoData) {
    log_.MainF(kRunNotClosed, entry.jobda1.c_str(), entry.jobke2.c_str(), num.c_str(),
               entry.jobsda.c_str());
    return 0;
  }
  // Committed with the row; kept for later while the connection is gone.
  if (rc == 0 || rc == kSqlNotConnected) {
    history_.Record(entry, RunEndOf(ending), ending.code);
  }
  return rc;
}

void EndWriter::CloseEntry(ProcessEntry& entry, std::string_view status, JobEnding ending,
                           const char* updateFormat, const char* commitFormat) {
  if (updateFormat == nullptr) updateFormat = kGoneUpdateFailed;
  if (commitFormat == nullptr) commitFormat = kGoneCommitFailed;
  int rc = WriteEnd(entry, status, ending);
  if (rc != 0) {
    log_.MainF(updateFormat, entry.jobnam.c_str(), static_cast<long>(rc));
  } else if (endsBatched_) {
    endsPending_.push_back({commitFormat, entry.jobnam.str()});
  } else if (int commit = session_.SQLCommit(); commit != 0) {
    log_.MainF(commitFormat, entry.jobnam.c_str(), static_cast<long>(commit));
  }
  entry.pid = 0;
  --state_.runningJobs;
}

// The job's process has ended (or its id went to another process, whose
// status is not the job's): the row gets "98" with how the job ended.
void EndWriter::CloseGone(ProcessEntry& entry, bool idHandedOn) {
  Pid pid = entry.pid;
  std::optional<ExitStatus> status;
  if (!idHandedOn) status = env_.TakeExitStatus(pid);
  CloseEntry(entry, kStatusGone, JobEnding::Of(status), kGoneUpdateFailed, kGoneCommitFailed);
  output_.Ended(pid, entry.jobsda.view(), entry.jobke2.view(), false, status);
}

void EndWriter::CloseForeign(ProcessEntry& entry, const std::string& why) {
  log_.MainF(kForeignProcess, entry.jobda1.c_str(), entry.jobke2.c_str(),
             static_cast<int>(entry.pid), why.c_str());
  CloseEntry(entry, kStatusGone, JobEnding{}, nullptr, nullptr);
}

// Every entry is looked at: entries closed earlier in the pass leave gaps,
// so the running jobs count says nothing about where the taken ones are.
// The closed entry is freed and no longer counted as running.
void EndWriter::CheckProcessID(Pid pid) {
  for (std::size_t i = 0; i < ProcessTable::kCapacity; ++i) {
    ProcessEntry& entry = state_.table[i];
    if (entry.pid != pid || entry.jobsts.view() != kStatusRunning) continue;
    CloseEntry(entry, kStatusGone, JobEnding{}, kReusedUpdateFailed, kReusedCommitFailed);
    // The id went to the new job: only a status kept now is this one's.
    output_.Ended(pid, entry.jobsda.view(), entry.jobke2.view(), false);
  }
}

void EndWriter::BeginBatch() {
  endsPending_.clear();
  endsBatched_ = true;
}

void EndWriter::CommitBatch() {
  endsBatched_ = false;
  CommitEnds();
}

// A failed commit is written once for each end it held, in the line that
// end's own commit would have written.
void EndWriter::CommitEnds() {
  if (endsPending_.empty()) return;
  if (int commit = session_.SQLCommit(); commit != 0) {
    for (const PendingEnd& end : endsPending_) {
      log_.MainF(end.commitFormat, end.jobnam.c_str(), static_cast<long>(commit));
    }
  }
  endsPending_.clear();
}

}  // namespace kvr

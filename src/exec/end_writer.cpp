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

// The end of one run: the row must still be running with the entry's
// process id (or the "0" of its claim, as long as the id is not written or
// not committed) and the entry's start time. An entry of an earlier run (kept in the saved copy
// of the table) thus never closes the row's later run.
constexpr char kCloseRun[] =
    "update KVSYSTEM.KVR500JOB  set JOBSTS=:b0,JOBNAM=:b1,JOBUSR=:b2,JOBNUM=:b3,JOBSDA=:b4,"
    "JOBEDA=:b5,JOBSTV=:b6 where ((JOBDA1=:b7 and JOBKE2=:b8) and JOBSTS='01' and "
    "rtrim(JOBNUM) in (:b9,:b10) and (rtrim(JOBSDA)=:b11 or JOBSDA is null))";
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

void AppendEndWriterStatements(StatementList* list) { list->push_back({"CloseJobRun", kCloseRun}); }

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
  FixedText<2> sts(status);
  FixedText<8> num(entry.jobnum.view()), claim(kClaimedJobNum);
  if (entry.idUnwritten && entry.pid != 0) num = std::to_string(entry.pid);
  FixedText<14> sda(TrimmedRight(entry.jobsda.view()));
  const Bind in[] = {Bind::Text(sts),          Bind::Text(entry.jobnam), Bind::Text(entry.jobusr),
                     Bind::Text(entry.jobnum), Bind::Text(entry.jobsda), Bind::Text(entry.jobeda),
                     Bind::Int(entry.jobstv),  Bind::Text(entry.jobda1), Bind::Text(entry.jobke2),
                     Bind::Text(num),          Bind::Text(claim),        Bind::Text(sda)};
  int rc = session_.db().Execute(kCloseRun, in);
  // An end stays known until it is durable.
  session_.endedRows().Note(rc, sts.view(), entry.jobnam.view(), entry.jobusr.view(),
                            entry.jobnum.view(), entry.jobsda.view(), entry.jobeda.view(),
                            entry.jobstv, entry.jobda1.view(), entry.jobke2.view());
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

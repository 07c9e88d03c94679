#include "jobs/start_loop.h"

#include <string>
#include <vector>

#include "core/logger.h"
#include "core/service_contact.h"
#include "db/queue/job_table.h"
#include "db/session.h"
#include "exec/job_executor.h"
#include "exec/selection.h"
#include "jobs/closing_table.h"

namespace kvr {

namespace {

constexpr char kSelectionErrorFormat[] =
    "%s! Fehler SQLCode: %ld\n-   SQLState: %s\n-   SQLMsg: %s\n";
constexpr char kReadErrorFormat[] =
    "SQLReadKvr500Job! RC: %ld\n-   SQLCode GetLastSQLError: %ld\n-   SQLState: %s\n-   "
    "SQLMsg: %s\n";
constexpr char kRetiredFormat[] =
    "Start PGM: %.*s Startversuche ueberschritten (%ld), Status 90 gesetzt! RC: %ld\n";

constexpr char kFound05Failed[] = "Fehler bei der Ermittlung der Jobs mit RunType 05!\n";
constexpr char kStart05Failed[] = "Fehler beim Starten der Jobs mit RunType 05!\n";
constexpr char kWork04Failed[] = "Fehler bei der Verarbeitung der Jobs mit RunType 04!\n";
constexpr char kWork01Failed[] = "Fehler bei der Verarbeitung der Jobs mit RunType 01!\n";
constexpr char kWork03Failed[] = "Fehler bei der Verarbeitung der Jobs mit RunType 03!\n";

// The run types that start jobs, in the order of the pass. The 07, 08 and
// 09 loops leave their failure lines to their callers; a closing run (08)
// is never refused.
constexpr StartPolicy kPolicies[] = {
    {kRunType05, RowSource::kSelect05, StartGate::kNothingRunning, kCountsAttempts | kOneRow,
     "SQLSelectKvr500Job05", "", "", kFound05Failed, kStart05Failed},
    {kRunType04, RowSource::kSelect04, StartGate::kNone, kCountsAttempts, "SQLSelectKvr500Job04",
     "Start RT04Jobs", "", kWork04Failed, kWork04Failed},
    {kRunType01, RowSource::kSelect01, StartGate::kBelowMaxJobs, kCountsAttempts | kBatchesStarts,
     "SQLSelectKvr500Job01", "", "", kWork01Failed, kWork01Failed},
    {kRunType03, RowSource::kDueByTime, StartGate::kNone, 0, "", "", "", kWork03Failed,
     kWork03Failed},
    {kRunType07, RowSource::kDueByTime, StartGate::kNone, kBlankExclusions | kContactLossEndsPass,
     "", "CheckKvr500Job07 Ende", "Fehler (07)\n", "", ""},
    {kRunType08, RowSource::kDueByTime, StartGate::kNone, kBlankExclusions | kContactLossEndsPass,
     "", "checkKvrJobs08", "", "", ""},
    {kRunType09, RowSource::kPassingOver, StartGate::kNone,
     kCountsAttempts | kPassesOver | kBlankExclusions | kContactLossEndsPass, "", "checkKvrJobs09",
     "", "", ""},
};

// What the loop does after one start.
enum class AfterStart { kNext, kLoopEnds, kPassEnds };

// The loop's state in one pass.
struct Loop {
  StartContext& ctx;
  const StartPolicy& policy;
  std::vector<JobKey> passedOver;
  StartLoopResult result;
};

int Select(Loop& loop, JobRow* row) {
  StartContext& ctx = loop.ctx;
  const ExclusionList& list = ctx.executor.exclusions();
  switch (loop.policy.source) {
    case RowSource::kSelect05:
      return SQLSelectKvr500Job05(ctx.session, list, row);
    case RowSource::kSelect04:
      return SQLSelectKvr500Job04(ctx.session, list, row);
    case RowSource::kSelect01:
      return SQLSelectKvr500Job01(ctx.session, list, row);
    case RowSource::kDueByTime:
      return SQLReadKvr500Job(ctx.session, ctx.env, loop.policy.runType, list, row);
    case RowSource::kPassingOver:
      return SelectKvr500Job09Except(ctx.session, list, loop.passedOver, row);
  }
  return kSqlNoData;
}

// A row set aside as unreadable is still due for a selection that takes
// rows in "90": it is passed over, so the rows sorted after it come. True
// when one was added. (A key longer than its field is passed over by its
// field's width.)
bool PassOverUnreadable(Loop& loop) {
  std::size_t known = loop.passedOver.size();
  for (const auto& [da1, ke2] : loop.ctx.session.unreadableRows().TakeSetAside()) {
    loop.passedOver.push_back(
        JobKey{std::string_view(da1), std::string_view(ke2), ke2.size() > kJobKe2Width});
  }
  return loop.passedOver.size() > known;
}

void LogSelectionError(Loop& loop, int rc) {
  const StartPolicy& p = loop.policy;
  std::string state, message;
  int code = loop.ctx.session.GetLastSQLError(&state, &message);
  if (!p.errorLead.empty()) loop.ctx.log.Main(p.errorLead);
  if (!p.selectionName.empty()) {
    std::string name(p.selectionName);
    loop.ctx.log.MainF(kSelectionErrorFormat, name.c_str(), static_cast<long>(code), state.c_str(),
                       message.c_str());
  } else {
    loop.ctx.log.MainF(kReadErrorFormat, static_cast<long>(rc), static_cast<long>(code),
                       state.c_str(), message.c_str());
  }
}

// A waiting row whose attempts are used up is refused at every start and,
// being the oldest due row, would come back first in every pass: it would
// hold back every row of its run type behind it for good (and a run type 05
// row every other run type). It is marked as failed instead, as its last
// failed start would have marked it, so the queue moves on and an operator
// sees it. True when the row was changed and the loop may go on.
bool RetireRefusedRow(StartContext& ctx, const JobRow& row) {
  int rc = MarkStartFailed(ctx.session, row.jobda1, row.jobke2, row.jobstv);
  if (rc == 0) rc = ctx.session.SQLCommit();
  std::string_view command = row.jobcmd.view();
  ctx.log.MainF(kRetiredFormat, static_cast<int>(command.size()), command.data(),
                static_cast<long>(row.jobstv), static_cast<long>(rc));
  return rc == 0;
}

AfterStart Start(Loop& loop, JobRow& row) {
  if (!loop.policy.Has(kCountsAttempts)) row.jobstv = 0;
  int start = loop.ctx.executor.StartJob(row);
  if (start == JobExecutor::kStartUpdateFailed) return AfterStart::kPassEnds;
  if (start == JobExecutor::kStartOk) return AfterStart::kNext;
  if (loop.policy.Has(kPassesOver)) {
    loop.passedOver.push_back(JobKey{row.jobda1, row.jobke2});
    return AfterStart::kNext;
  }
  // A refused row or one without a free process entry is as it was and
  // would come back at once; a failed start left it "90".
  if (start == JobExecutor::kStartRefused) {
    return RetireRefusedRow(loop.ctx, row) ? AfterStart::kNext : AfterStart::kLoopEnds;
  }
  return start == JobExecutor::kStartTableFull ? AfterStart::kLoopEnds : AfterStart::kNext;
}

bool MaySelect(const Loop& loop) {
  if (loop.policy.gate == StartGate::kBelowMaxJobs &&
      loop.ctx.executor.runningJobs() >= loop.ctx.maxJobs) {
    return false;
  }
  return !loop.policy.Has(kPassesOver) || loop.passedOver.size() < kMaxPassedOver;
}

StartLoopResult EndPass(Loop& loop, std::string_view line) {
  if (!line.empty()) loop.ctx.log.Main(line);
  loop.result.passGoesOn = false;
  loop.result.failed = true;
  return loop.result;
}

}  // namespace

const StartPolicy& StartPolicyOf(std::string_view runType) {
  for (const StartPolicy& policy : kPolicies) {
    if (policy.runType == runType) return policy;
  }
  return kPolicies[0];
}

namespace {

StartLoopResult SelectAndStart(StartContext& ctx, const StartPolicy& policy, bool runType05Due) {
  Loop loop{ctx, policy, {}, {}};
  if (policy.Has(kBlankExclusions)) ctx.executor.exclusions().SetBlank();
  if (policy.Has(kPassesOver)) ctx.session.unreadableRows().TakeSetAside();
  while (!runType05Due && MaySelect(loop)) {
    JobRow row;
    int rc = Select(loop, &row);
    if (policy.Has(kPassesOver) && PassOverUnreadable(loop) && rc == kSqlNoData) continue;
    if (rc == kSqlNoData) break;
    if (rc != 0) {
      LogSelectionError(loop, rc);
      return EndPass(loop, policy.selectFailedLine);
    }
    loop.result.rowSelected = true;
    if (policy.gate == StartGate::kNothingRunning && ctx.executor.runningJobs() != 0) break;
    AfterStart next = Start(loop, row);
    if (next == AfterStart::kPassEnds) return EndPass(loop, policy.startFailedLine);
    if (next == AfterStart::kLoopEnds || policy.Has(kOneRow)) break;
    if (!policy.contactLabel.empty() &&
        !ctx.contact.Contact(std::string(policy.contactLabel).c_str(), false)) {
      loop.result.passGoesOn = !policy.Has(kContactLossEndsPass);
      break;
    }
  }
  return loop.result;
}

}  // namespace

StartLoopResult RunStartLoop(StartContext& ctx, const StartPolicy& policy, bool runType05Due) {
  if (!policy.Has(kBatchesStarts)) return SelectAndStart(ctx, policy, runType05Due);
  // The claims made so far are launched however the loop ended.
  ctx.executor.BeginStartBatch();
  StartLoopResult result = SelectAndStart(ctx, policy, runType05Due);
  if (!ctx.executor.FinishStartBatch() && !result.failed) {
    ctx.log.Main(policy.startFailedLine);
    result.passGoesOn = false;
    result.failed = true;
  }
  return result;
}

}  // namespace kvr

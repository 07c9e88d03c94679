// kvrjobctl run-now KEY: makes a job row due at the controller's next pass
// in the way its run type allows; refused for a running row.
#include <cstdio>
#include <string>
#include <vector>

#include "ctl_command.h"
#include "db/client/win1252.h"
#include "db/queue/run_now_plan.h"
#include "db/session.h"
#include "job_view.h"
#include "platform/clock.h"

namespace kvr::ctl {

namespace {

constexpr char kHelp[] =
    "usage: kvrjobctl run-now KEY [--file PATH | --connect L/P@S]\n"
    "Makes the job due at the controller's next pass, keeping its kind:\n"
    "  01, 09   a blank status          04   a blank status, attempts back to 0\n"
    "  05       a blank status, no earliest start in the future\n"
    "  03, 08   status 00, next run now 07   the scheduling request (JOBDLS 1),\n"
    "                                        next run now when it lies ahead\n"
    "A timed or scheduled job gets its next regular run from its plan after\n"
    "this run. Refused for a running job, run type 06 and the status row.\n"
    "KEY is the job's name (JOBKE2) when no other row has it, else JOBDA1/JOBKE2.\n";

// Writes the planned columns unless the row has started meanwhile.
constexpr char kMakeDue[] =
    "update KVSYSTEM.KVR500JOB  set JOBSTS=:b0,JOBNRT=:b1,JOBDLT=:b2,JOBDLS=:b3,JOBSTV=:b4 "
    "where ((JOBDA1=:b5 and JOBKE2=:b6) and (JOBSTS is null or JOBSTS<>'01'))";

int WritePlan(Session& session, const JobRow& r) {
  const Bind in[] = {Bind::Text(r.jobsts), Bind::Text(r.jobnrt), Bind::Text(r.jobdlt),
                     Bind::Int(r.jobdls),  Bind::Int(r.jobstv),  Bind::Text(r.jobda1),
                     Bind::Text(r.jobke2)};
  int rc = session.db().Execute(kMakeDue, in);
  if (rc == kSqlOk) return session.SQLCommit();
  session.SQLCommit();
  return rc;
}

}  // namespace

int RunRunNow(Env& env, const std::vector<std::string>& args) {
  Options o;
  std::string key;
  if (int rc = ParseKeyCommand(args, {}, {}, kHelp, &key, &o); rc >= 0) return rc;
  ToolSession tool(env);
  if (!ConnectTarget(env, o, &tool)) return kExitError;
  JobRow row;
  if (int rc = FindJob(tool, key, &row); rc != kExitOk) return rc;
  const std::string name = row.jobda1.str() + "/" + row.jobke2.str();
  RunNowPlan plan = PlanRunNow(row, TimeStamp14(env, env.Now()));
  if (plan.refused) {
    std::fprintf(stderr, "kvrjobctl: %s not made due: %s\n", Win1252ToUtf8(name).c_str(),
                 plan.reason.c_str());
    return kExitError;
  }
  int rc = WritePlan(tool.session(), plan.row);
  if (rc == kSqlNoData) {
    std::fprintf(stderr,
                 "kvrjobctl: %s not made due: it has started (or gone) meanwhile; "
                 "kvrjobctl show tells its state\n",
                 Win1252ToUtf8(name).c_str());
    return kExitError;
  }
  if (rc != kSqlOk) return ReportDatabaseError(tool, "the job could not be changed", rc);
  std::printf("%s is due; the controller's next pass starts it\n", Win1252ToUtf8(name).c_str());
  if (!plan.note.empty()) std::printf("note: %s\n", plan.note.c_str());
  return kExitOk;
}

}  // namespace kvr::ctl

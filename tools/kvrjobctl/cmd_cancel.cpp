// kvrjobctl cancel KEY and delete KEY: ending a running job through the
// controller, and removing a row that does not run.
//
// cancel never signals a process itself: it writes the request into the
// run history and sets the row's JOBMRT to 1, so that the controller ends
// the job at its next pass as it ends an overrun, by its own rules (only a
// process that is still the job's), closes the row "99", records the run
// as cancelled and puts JOBMRT back.
#include <cstdio>
#include <string>
#include <vector>

#include "ctl_command.h"
#include "db/client/win1252.h"
#include "db/session.h"
#include "exec/run_history.h"
#include "job_view.h"

namespace kvr::ctl {

namespace {

constexpr char kCancelHelp[] =
    "usage: kvrjobctl cancel KEY [--file PATH | --connect L/P@S]\n"
    "Has the controller end a running job (status 01) at its next pass, the way\n"
    "it ends a job over its maximum running time: its process group gets\n"
    "SIGTERM, then SIGKILL after a grace period, the row becomes 99 and the run\n"
    "is recorded as cancelled (kvrjobctl history). A user message about the\n"
    "ended program is posted as for an overrun. Refused for a row that is not\n"
    "running. Needs the run history (kvrjobctl init).\n"
    "KEY is the job's name (JOBKE2) when no other row has it, else JOBDA1/JOBKE2.\n";

constexpr char kDeleteHelp[] =
    "usage: kvrjobctl delete KEY [--file PATH | --connect L/P@S]\n"
    "Removes a job row from the queue. Refused while the row runs (status 01):\n"
    "kvrjobctl cancel ends it first. Standing jobs (run type 04) and the\n"
    "product's system jobs are registered again when the controller starts.\n"
    "KEY is the job's name (JOBKE2) when no other row has it, else JOBDA1/JOBKE2.\n";

constexpr char kDeleteNotRunning[] =
    "delete  from KVSYSTEM.KVR500JOB  where ((JOBDA1=:b0 and JOBKE2=:b1) and (JOBSTS is null or "
    "JOBSTS<>'01'))";

std::string KeyText(const JobRow& row) {
  return Win1252ToUtf8(row.jobda1.str() + "/" + row.jobke2.str());
}

int AskCancel(ToolSession& tool, const JobRow& row) {
  RunRecord run;
  run.da1 = row.jobda1.str();
  run.ke2 = row.jobke2.str();
  run.start = row.jobsda.str();
  run.pid = row.jobnum.str();
  Session& s = tool.session();
  int rc = SQLInsertCancelRequest(s, run, row.jobmrt);
  if (rc == kSqlOk) rc = SQLSetJobMrtForCancel(s, run.da1, run.ke2);
  if (rc == kSqlOk) return s.SQLCommit();
  s.SQLCommit();
  return rc;
}

}  // namespace

int RunCancel(Env& env, const std::vector<std::string>& args) {
  Options o;
  std::string key;
  if (int rc = ParseKeyCommand(args, {}, {}, kCancelHelp, &key, &o); rc >= 0) return rc;
  ToolSession tool(env);
  if (!ConnectTarget(env, o, &tool)) return kExitError;
  JobRow row;
  if (int rc = FindJob(tool, key, &row); rc != kExitOk) return rc;
  if (row.jobsts.view() != kStatusRunning) {
    std::fprintf(stderr, "kvrjobctl: %s is not running (status '%s'); nothing to cancel\n",
                 KeyText(row).c_str(), row.jobsts.c_str());
    return kExitError;
  }
  int rc = AskCancel(tool, row);
  if (rc == kSqlDuplicateKey) {
    std::printf("%s is being cancelled already\n", KeyText(row).c_str());
    return kExitOk;
  }
  if (rc == kSqlNoData) {
    std::fprintf(stderr, "kvrjobctl: %s has ended meanwhile\n", KeyText(row).c_str());
    return kExitError;
  }
  if (rc != kSqlOk) return ReportDatabaseError(tool, "the cancel could not be written", rc);
  std::printf("%s: the controller ends it at its next pass; kvrjobctl history shows the run\n",
              KeyText(row).c_str());
  return kExitOk;
}

int RunDelete(Env& env, const std::vector<std::string>& args) {
  Options o;
  std::string key;
  if (int rc = ParseKeyCommand(args, {}, {}, kDeleteHelp, &key, &o); rc >= 0) return rc;
  ToolSession tool(env);
  if (!ConnectTarget(env, o, &tool)) return kExitError;
  JobRow row;
  if (int rc = FindJob(tool, key, &row); rc != kExitOk) return rc;
  const Bind in[] = {Bind::Text(row.jobda1), Bind::Text(row.jobke2)};
  int rc = tool.session().db().Execute(kDeleteNotRunning, in);
  tool.session().SQLCommit();
  if (rc == kSqlNoData) {
    std::fprintf(stderr, "kvrjobctl: %s is running; kvrjobctl cancel ends it first\n",
                 KeyText(row).c_str());
    return kExitError;
  }
  if (rc != kSqlOk) return ReportDatabaseError(tool, "the row could not be deleted", rc);
  std::printf("%s deleted\n", KeyText(row).c_str());
  return kExitOk;
}

}  // namespace kvr::ctl

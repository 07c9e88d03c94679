#include "add_run_types.h"

#include <cstdio>
#include <cstdlib>

#include "db/client/connection.h"
#include "db/queue/job_table.h"
#include "jobs/schedule_table.h"

namespace kvr::ctl {

namespace {

constexpr char kSetTiming[] =
    "update KVSYSTEM.KVR500JOB  set JOBSCD=:b0,JOBDLS=:b1,JOBSTS=:b2 where (JOBDA1=:b3 and "
    "JOBKE2=:b4)";

constexpr char kCountPlan139[] =
    "select count(*) into :b0  from KVSYSTEM.KVR139TPL where (TPLZPL=:b1 and TPLSTA=1)";
constexpr char kCountPlan141[] =
    "select count(*) into :b0  from KVSYSTEM.KVR141DZT where (DZTZPL=:b1 and DZTSTA=1)";

}  // namespace

bool TimePlanExists(Session& session, const RunTypeChoice& choice) {
  if (choice.runType != "03" || choice.plan.empty()) return true;
  int32_t windows = 0;
  const Bind in[] = {Bind::Text(choice.plan)};
  const Out out[] = {Out::Int(&windows)};
  const char* sql = choice.timing == 0 ? kCountPlan139 : kCountPlan141;
  int rc = session.db().SelectOne(sql, in, out);
  session.SQLCommit();
  if (rc == kSqlOk && windows > 0) return true;
  std::fprintf(stderr,
               "kvrjobctl: time plan '%s' has no active window in %s (%d); the controller would "
               "park the job (status 97). kvrjobctl add --help describes time plans\n",
               choice.plan.c_str(),
               choice.timing == 0 ? "KVSYSTEM.KVR139TPL" : "KVSYSTEM.KVR141DZT", rc);
  return false;
}

bool ReadRunTypeChoice(const Options& o, RunTypeChoice* choice) {
  choice->runType = o.Get("run-type", "01");
  choice->plan = o.Get("time-plan");
  choice->schedule = o.Get("schedule");
  const std::string timing = o.Get("timing", "0");
  char* end = nullptr;
  long kind = std::strtol(timing.c_str(), &end, 10);
  bool ok = end != timing.c_str() && *end == '\0' && kind >= 0 && kind <= 99;
  choice->timing = static_cast<int32_t>(kind);
  if (choice->runType == "01") {
    ok = ok && !o.Has("time-plan") && !o.Has("timing") && !o.Has("schedule");
  } else if (choice->runType == "03") {
    // Daily (2) and interval (3) rows need no plan; every other kind does.
    bool needsPlan = kind != 2 && kind != 3;
    ok = ok && !o.Has("schedule") && choice->plan.size() <= 10 &&
         (choice->plan.empty() != needsPlan);
  } else if (choice->runType == "07") {
    ok = ok && !o.Has("time-plan") && !o.Has("timing") && !choice->schedule.empty() &&
         choice->schedule.size() <= 32;
  } else {
    ok = false;
  }
  if (!ok) {
    std::fprintf(stderr,
                 "kvrjobctl: --run-type 01, 03 (--time-plan PLAN of up to 10 characters, or "
                 "--timing 2 or 3) or 07 (--schedule NAME#SBE#LIZ#MND, up to 32 characters)\n");
  }
  return ok;
}

bool ScheduleExists(Session& session, RunTypeChoice* choice) {
  ScheduleRow row;
  int rc = SQLReadKvr800Scd(session, SplitScheduleKey(choice->schedule), &row);
  choice->scheduleType = row.scdtyp;
  if (rc == kSqlOk) return true;
  std::fprintf(stderr, "kvrjobctl: no schedule %s in KVSYSTEM.KVR800SCD (%d)\n",
               choice->schedule.c_str(), rc);
  return false;
}

int ApplyRunTypeChoice(Session& session, const RunTypeChoice& choice, const std::string& da1,
                       const std::string& ke2) {
  if (choice.runType == "01") return kSqlOk;
  const bool once = choice.scheduleType == -1 || choice.scheduleType == 1;
  const std::string_view status = choice.runType == "03" ? kStatusNoFurtherRun
                                  : once                 ? kStatusWaiting
                                                         : kStatusGone;
  const Bind in[] = {Bind::Text(choice.plan), Bind::Int(choice.runType == "03" ? choice.timing : 0),
                     Bind::Text(status), Bind::Text(da1), Bind::Text(ke2)};
  return session.db().Execute(kSetTiming, in);
}

}  // namespace kvr::ctl

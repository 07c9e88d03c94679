#include "jobs/run_type_list.h"

#include <memory>
#include <new>

#include "db/client/connection.h"
#include "db/session.h"

namespace kvr {

namespace {

constexpr char kTimedJobCursor[] =
    "select JOBDA1 ,JOBKE2 ,JOBURV ,JOBCMD ,JOBMRT ,JOBRTY ,JOBPRI ,JOBSCD ,JOBSTS ,JOBSDA "
    ",JOBEDA ,JOBNRT ,JOBSTV , coalesce (JOBDLS,0)  from KvSystem.Kvr500Job where JobRty=:b0";

// The rows of a run type that need work in a pass: ended ones (a status
// above "90") and, in a second read, run requests of the others. Waiting
// rows are left out so an idle pass does not fetch every row of the run
// type; two reads because an OR of both would be answered by a scan.
constexpr char kEndedCursor[] =
    "select JOBDA1 ,JOBKE2 ,JOBURV ,JOBCMD ,JOBMRT ,JOBRTY ,JOBPRI ,JOBSCD ,JOBSTS ,JOBSDA "
    ",JOBEDA ,JOBNRT ,JOBSTV , coalesce (JOBDLS,0)  from KvSystem.Kvr500Job where (JobRty=:b0 "
    "and JOBSTS>'90')";
constexpr char kRequestedCursor[] =
    "select JOBDA1 ,JOBKE2 ,JOBURV ,JOBCMD ,JOBMRT ,JOBRTY ,JOBPRI ,JOBSCD ,JOBSTS ,JOBSDA "
    ",JOBEDA ,JOBNRT ,JOBSTV , coalesce (JOBDLS,0)  from KvSystem.Kvr500Job where ((JobRty=:b0 "
    "and JOBDLS=1) and (JOBSTS is null or JOBSTS<='90'))";

constexpr char kSelectWindow139[] =
    "select TPLVON ,TPLBIS ,TPLVRZ into :b0:b1,:b2:b3,:b4:b5  from KVSYSTEM.KVR139TPL where "
    "((((TPLZPL=:b6 and TPLWTG=:b7) and TPLVON<=:b8) and TPLBIS>:b8) and TPLSTA=1)";

constexpr char kSelectWindow141[] =
    "select DZTVON ,DZTBIS ,DZTVRZ into :b0:b1,:b2:b3,:b4:b5  from KVSYSTEM.KVR141DZT where "
    "((((DZTZPL=:b6 and DZTWTG=:b7) and DZTVON<=:b8) and DZTBIS>:b8) and DZTSTA=1)";

// The list grows by room for this many rows at a time.
constexpr std::size_t kListStep = 10;

bool Append(std::vector<JobRow>& list, const JobRow& row) {
  try {
    if (list.size() == list.capacity()) list.reserve(list.size() + kListStep);
    list.push_back(row);
    return true;
  } catch (const std::bad_alloc&) {
    return false;
  }
}

void ReadJobList(Session& session, const char* statement, std::string_view runType,
                 std::vector<JobRow>& list) {
  FixedText<2> type(runType);
  const Bind in[] = {Bind::Text(type)};
  int status = 0;
  std::unique_ptr<Cursor> cursor = session.db().Open(statement, in, &status);
  if (!cursor || status != 0) return;
  JobRow row;
  const Out out[] = {Out::Text(row.jobda1), Out::Text(row.jobke2), Out::Text(row.joburv),
                     Out::Text(row.jobcmd), Out::Int(&row.jobmrt), Out::Text(row.jobrty),
                     Out::Int(&row.jobpri), Out::Text(row.jobscd), Out::Text(row.jobsts),
                     Out::Text(row.jobsda), Out::Text(row.jobeda), Out::Text(row.jobnrt),
                     Out::Int(&row.jobstv), Out::Int(&row.jobdls)};
  for (;;) {
    row.Clear();
    if (cursor->Fetch(out) != 0) break;
    if (!Append(list, row)) break;
  }
  cursor->Close();
}

}  // namespace

void ReadRunTypeJobs(Session& session, std::string_view runType, std::vector<JobRow>& list) {
  ReadJobList(session, kTimedJobCursor, runType, list);
}

void ReadEndedOrRequestedJobs(Session& session, std::string_view runType,
                              std::vector<JobRow>& list) {
  ReadJobList(session, kEndedCursor, runType, list);
  ReadJobList(session, kRequestedCursor, runType, list);
}

int FindTimePlanWindow(Session& session, std::string_view planId, int32_t weekday, int32_t minute,
                       int32_t timingKind, PlanWindow* window) {
  FixedText<10> plan(planId);
  const Bind in[] = {Bind::Text(plan), Bind::Int(weekday), Bind::Int(minute)};
  const char* text = timingKind == kTimingPlan139 ? kSelectWindow139 : kSelectWindow141;
  int status = 0;
  std::unique_ptr<Cursor> cursor = session.db().Open(text, in, &status);
  if (!cursor) return status != 0 ? status : kSqlNotConnected;
  if (status != 0) return status;
  PlanWindow found;
  const Out out[] = {Out::Int(&found.start), Out::Int(&found.end), Out::Int(&found.step)};
  int rc = cursor->Fetch(out);
  if (rc == 0) {
    // A select into allows one row only; a second window is an error.
    PlanWindow second;
    const Out more[] = {Out::Int(&second.start), Out::Int(&second.end), Out::Int(&second.step)};
    if (cursor->Fetch(more) == 0) rc = kSqlTooManyRows;
  }
  cursor->Close();
  if (rc == 0) *window = found;
  return rc;
}

void AppendRunTypeListStatements(StatementList* list) {
  list->insert(list->end(), {{"TimedJobCursor", kTimedJobCursor},
                             {"EndedJobCursor", kEndedCursor},
                             {"RequestedJobCursor", kRequestedCursor},
                             {"TimePlanWindow139", kSelectWindow139},
                             {"TimePlanWindow141", kSelectWindow141}});
}

}  // namespace kvr

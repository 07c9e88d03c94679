#include "exec/selection.h"

#include <cstdio>
#include <ctime>
#include <memory>

#include "db/client/connection.h"
#include "db/session.h"
#include "platform/clock.h"
#include "platform/env.h"

namespace kvr {

namespace {

constexpr char kSelect05[] =
    " SELECT       JOBDA1,JOBKE2,JOBURV,JOBCMD,JOBMRT,JOBRTY,JOBSTS,JOBSDA,JOBEDA,JOBSTV "
    " FROM KVSYSTEM.KVR500JOB "
    " WHERE JOBRTY = '05' "
    " AND  (JOBDLT is null     OR JOBDLT <= to_char(sysdate, 'yyyymmddhh24miss')) "
    " AND  (JOBSTS is NULL     OR JOBSTS =  '  ') "
    " AND   ROWNUM = 1 "
    " AND ((JOBURV is not null AND JOBURV NOT IN ( %s )) or (JOBURV is null)) "
    " ORDER BY JOBDA1, JOBKE2 ";

constexpr char kSelect04[] =
    " SELECT       JOBDA1,JOBKE2,JOBURV,JOBCMD,JOBMRT,JOBRTY,JOBSTS,JOBSDA,JOBEDA,JOBSTV "
    " FROM KVSYSTEM.KVR500JOB "
    " WHERE JOBRTY = '04' "
    " AND  (JOBSTS is NULL OR JOBSTS = '  ' OR JOBSTS >= '90') "
    " AND   JOBSTV <= 10 "
    " AND   ROWNUM = 1 "
    " AND ((JOBURV is not null AND JOBURV NOT IN ( %s )) or (JOBURV is null)) "
    " ORDER BY JOBDA1, JOBKE2";

constexpr char kSelect01[] =
    " SELECT       JOBDA1,JOBKE2,JOBURV,JOBCMD,JOBMRT,JOBRTY,JOBSTS,JOBSDA,JOBEDA,JOBSTV "
    " FROM KVSYSTEM.KVR500JOB "
    " WHERE JOBRTY = '01' "
    " AND   (JOBSTS is NULL OR JOBSTS = '  ') "
    " AND   ROWNUM = 1 "
    " AND   ((JOBURV is not null AND JOBURV NOT IN ( %s )) or (JOBURV is null)) "
    " ORDER BY JOBDA1, JOBKE2 ";

constexpr char kSelect09[] =
    " SELECT JOBDA1,JOBKE2,JOBURV,JOBCMD,JOBMRT,JOBRTY,JOBSTS,JOBSDA,JOBEDA,JOBSTV "
    " FROM KVSYSTEM.KVR500JOB "
    " WHERE JOBRTY = '09' "
    " AND  (JOBSTS is NULL OR JOBSTS = '  ' OR JOBSTS >= '90') "
    " AND   ROWNUM = 1 "
    " AND ((JOBURV is not null AND JOBURV NOT IN ( %s )) or (JOBURV is null)) "
    " ORDER BY JOBDA1, JOBKE2";

constexpr char kReadJob[] =
    "SELECT JOBDA1, JOBKE2, JOBURV, JOBCMD, JOBMRT, JOBRTY,        JOBSTS, JOBSDA, JOBEDA, "
    "JOBSTV   FROM KVSYSTEM.KVR500JOB  WHERE JOBRTY = '%s'    AND (JOBSTS is NULL OR JOBSTS = "
    "'  ' OR JOBSTS = '00')    AND (JOBNRT <= '%s' OR JOBNRT IS NULL)    AND ((JOBURV is not "
    "null AND JOBURV NOT IN ( %s )) OR         (JOBURV is null))  ORDER BY JOBNRT, JOBDA1, "
    "JOBKE2 ";

// Formats into the statement buffer; empty when the text would be longer
// than the statement limit, so it is never sent.
template <class... Args>
std::string Build(const char* format, Args... args) {
  char buffer[kSelectionBufferSize];
  int n = std::snprintf(buffer, sizeof buffer, format, args...);
  if (n < 0 || static_cast<std::size_t>(n) > kMaxSelectionLength) return std::string();
  return std::string(buffer, static_cast<std::size_t>(n));
}

// Opens a cursor on the text, fetches one row into the fields, closes. The
// fields hold the row only when the result is 0.
int FetchOne(Session& session, const std::string& text, std::span<const Out> out) {
  if (text.empty()) return kSqlStatementTooLong;
  int status = 0;
  std::unique_ptr<Cursor> cursor = session.db().Open(text, {}, &status);
  if (!cursor) return status != 0 ? status : kSqlNotConnected;
  if (status != 0) return status;
  int fetched = cursor->Fetch(out);
  int closed = cursor->Close();
  if (fetched != 0) return fetched;
  return closed;
}

// The ten columns a selection delivers.
struct SelectedJob {
  FixedText<14> jobda1;
  FixedText<32> jobke2;
  FixedText<256> joburv, jobcmd;
  int32_t jobmrt = 0;
  FixedText<2> jobrty, jobsts;
  FixedText<14> jobsda, jobeda;
  int32_t jobstv = 0;
};

// The ten columns of every selection, in the order of the select list.
int FetchJob(Session& session, const std::string& text, SelectedJob* job) {
  const Out out[] = {Out::Text(job->jobda1), Out::Text(job->jobke2), Out::Text(job->joburv),
                     Out::Text(job->jobcmd), Out::Int(&job->jobmrt), Out::Text(job->jobrty),
                     Out::Text(job->jobsts), Out::Text(job->jobsda), Out::Text(job->jobeda),
                     Out::Int(&job->jobstv)};
  return FetchOne(session, text, out);
}

void CopyInto(const SelectedJob& job, JobRow* row) {
  row->jobda1 = job.jobda1;
  row->jobke2 = job.jobke2;
  row->joburv = job.joburv;
  row->jobcmd = job.jobcmd;
  row->jobmrt = job.jobmrt;
  row->jobrty = job.jobrty;
  row->jobsts = job.jobsts;
  row->jobsda = job.jobsda;
  row->jobeda = job.jobeda;
  row->jobstv = job.jobstv;
}

// Clears the row and fills its ten columns on success.
int SelectInto(Session& session, const std::string& text, JobRow* row) {
  row->Clear();
  SelectedJob found;
  int rc = FetchJob(session, text, &found);
  if (rc == 0) CopyInto(found, row);
  return rc;
}

}  // namespace

std::string SelectionText05(const char* list) { return Build(kSelect05, list); }
std::string SelectionText04(const char* list) { return Build(kSelect04, list); }
std::string SelectionText01(const char* list) { return Build(kSelect01, list); }
std::string SelectionText09(const char* list) { return Build(kSelect09, list); }

std::string ReadJobText(std::string_view runType, std::string_view localTime, const char* list) {
  std::string type(runType), time(localTime);
  return Build(kReadJob, type.c_str(), time.c_str(), list);
}

int SQLSelectKvr500Job05(Session& session, const ExclusionList& list, JobRow* row) {
  return SelectInto(session, SelectionText05(list.Text()), row);
}

int SQLSelectKvr500Job04(Session& session, const ExclusionList& list, JobRow* row) {
  return SelectInto(session, SelectionText04(list.Text()), row);
}

int SQLSelectKvr500Job01(Session& session, const ExclusionList& list, JobRow* row) {
  return SelectInto(session, SelectionText01(list.Text()), row);
}

int SelectJobColumnsInto(Session& session, const std::string& text, JobRow* row) {
  SelectedJob found;
  int rc = FetchJob(session, text, &found);
  if (rc == 0) CopyInto(found, row);
  return rc;
}

int SQLSelectKvr500Job09(Session& session, const ExclusionList& list, JobRow* row) {
  return SelectJobColumnsInto(session, SelectionText09(list.Text()), row);
}

int SQLReadKvr500Job(Session& session, Env& env, std::string_view runType,
                     const ExclusionList& list, JobRow* row) {
  const std::string now = TimeStamp14(env.LocalTime(env.Now()));
  return SelectInto(session, ReadJobText(runType, now.c_str(), list.Text()), row);
}

void AppendSelectionStatements(StatementList* list) {
  // Sample exclusion lists: a blank origin, two origins (one with a quote),
  // and the list that overflowed.
  list->insert(list->end(), {{"Select05", Build(kSelect05, "' '")},
                             {"Select04", Build(kSelect04, "' '")},
                             {"Select01", Build(kSelect01, "'ORIGIN1', 'O''X'")},
                             {"Select09", Build(kSelect09, "NULL")},
                             {"ReadKvr500Job", Build(kReadJob, "03", "20261208120000", "' '")}});
}

}  // namespace kvr
